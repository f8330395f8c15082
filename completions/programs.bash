# bash completion for tarvel-island, tarvel-monitor, tarvel-hook and QuoyaCodexHook. The build
# puts it after tarvel's own (`tarvel completions bash`, made from tarvel's command table), whose
# _tarvel_words and $_tarvel_agents it uses, and installs the whole as bash-completion's "tarvel"
# and under each program's name.

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

complete -F _tarvel_island tarvel-island
complete -F _tarvel_monitor tarvel-monitor
complete -F _tarvel_hook tarvel-hook QuoyaCodexHook
