# bash completion for tarvel, tarvel-island, tarvel-monitor, tarvel-hook and QuoyaCodexHook.
# Source it, or install it as bash-completion's "tarvel" (with links of that name for the other
# programs, since bash-completion loads a file by the name of the command being completed).

_tarvel_agents="claude-code codex gemini-cli cursor"

# Sets COMPREPLY to the words of $1 that start with $2.
_tarvel_words() {
  mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
}

_tarvel() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=''
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # --agent=NAME: bash splits it at "=" unless COMP_WORDBREAKS leaves "=" out.
  if [[ $cur == = && $prev == --agent ]]; then
    _tarvel_words "$_tarvel_agents" ""
    return
  fi
  if [[ $prev == = ]] && ((COMP_CWORD > 1)) && [[ ${COMP_WORDS[COMP_CWORD - 2]} == --agent ]]; then
    _tarvel_words "$_tarvel_agents" "$cur"
    return
  fi
  if [[ $cur == --agent=* ]]; then
    mapfile -t COMPREPLY < <(compgen -P --agent= -W "$_tarvel_agents" -- "${cur#--agent=}")
    return
  fi

  # The command is the first word that is not an option.
  local command='' position=0 i
  for ((i = 1; i < COMP_CWORD; i++)); do
    if [[ ${COMP_WORDS[i]} != -* ]]; then
      command=${COMP_WORDS[i]}
      position=$i
      break
    fi
  done

  case $command in
    "")
      _tarvel_words "install uninstall doctor serve status log web stop restart config service remote container help --help --version" "$cur"
      ;;
    config)
      if ((COMP_CWORD == position + 1)); then
        _tarvel_words "get set unset edit path" "$cur"
      elif ((COMP_CWORD == position + 2)); then
        _tarvel_words "http notify notify_finished hold_without_answerers" "$cur"
      fi
      ;;
    restart)
      _tarvel_words "--no-notify --notify-finished --http" "$cur"
      ;;
    install | uninstall)
      if [[ $prev == --agent ]]; then
        _tarvel_words "$_tarvel_agents" "$cur"
      else
        _tarvel_words "--agent --dry-run --force" "$cur"
      fi
      ;;
    serve)
      case $prev in
        --notify-finished | --http | --history-rows) ;;  # seconds, [ADDRESS:]PORT, rows
        *) _tarvel_words "--no-notify --notify-finished --http --hold-without-answerers --history-rows" "$cur" ;;
      esac
      ;;
    log)
      case $prev in
        --agent) _tarvel_words "$_tarvel_agents" "$cur" ;;
        -n | --project | --since) ;;  # a number of rows, a project's name, 2h or a date
        *) _tarvel_words "--json -n --agent --project --since --help" "$cur" ;;
      esac
      ;;
    status)
      _tarvel_words "--json --tmux" "$cur"
      ;;
    web)
      _tarvel_words "--no-open" "$cur"
      ;;
    service)
      ((COMP_CWORD == position + 1)) && _tarvel_words "install uninstall" "$cur"
      ;;
    remote)
      if ((COMP_CWORD == position + 1)); then
        _tarvel_words "add list remove status" "$cur"
      elif [[ $prev == --agent ]]; then
        _tarvel_words "$_tarvel_agents" "$cur"
      elif [[ ${COMP_WORDS[position + 1]} == add ]] && ((COMP_CWORD > position + 2)); then
        _tarvel_words "--agent" "$cur"
      fi
      ;;
  esac
}

_tarvel_island() {
  _tarvel_words "--island --no-bell --stats --help --version" "${COMP_WORDS[COMP_CWORD]}"
}

_tarvel_monitor() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=''
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    --socket | --codex)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    --max-payload) ;;
    *)
      _tarvel_words "--socket --island --store --sessions --pretty --max-payload --codex-titles
                     --codex --help --version" "$cur"
      ;;
  esac
}

# The hooks are run by agents; these are what a person may type.
_tarvel_hook() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=''
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  if [[ $prev == --provider && ${COMP_WORDS[0]##*/} == QuoyaCodexHook ]]; then
    _tarvel_words "claude-code gemini-cli" "$cur"
  elif [[ $prev == --provider ]]; then
    _tarvel_words "$_tarvel_agents" "$cur"
  elif ((COMP_CWORD == 1)); then
    _tarvel_words "--provider --help --version" "$cur"
  else
    COMPREPLY=()
  fi
}

complete -F _tarvel tarvel
complete -F _tarvel_island tarvel-island
complete -F _tarvel_monitor tarvel-monitor
complete -F _tarvel_hook tarvel-hook QuoyaCodexHook
