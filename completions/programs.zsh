# zsh completion for tarvel-island, tarvel-monitor, tarvel-hook and QuoyaCodexHook. The build puts
# it after tarvel's own (`tarvel completions zsh`, made from tarvel's command table, with the
# "#compdef" line naming every program), whose _tarvel_agents and _tarvel_command it uses.

case $service in
  tarvel-island)
    _arguments \
      '(- *)--version[print the version]' \
      '(- *)'{-h,--help}'[print a short usage]' \
      '(--no-bell)--island[show the older island hook'\''s events (~/.quoya-island/events.sock)]' \
      '(--island)--no-bell[no terminal bell for new prompts]' \
      '--stats[print frame and event counters at exit]'
    ;;
  tarvel-monitor)
    _arguments \
      '(- *)--version[print the version]' \
      '(- *)'{-h,--help}'[print a short usage]' \
      '(--island)--socket[listen on this socket]:socket:_files' \
      '(--socket)--island[listen on the island socket]' \
      '(--sessions --codex-titles)--store[print the island store after each event]' \
      '(--store --codex-titles)--sessions[print the sessions after each change]' \
      '--pretty[with --sessions: one readable line per change]' \
      '--max-payload[the longest event line accepted]:bytes' \
      '(--store --sessions)--codex-titles[print the titles of Codex threads]' \
      '--codex[the Codex program for --codex-titles]:program:_files' \
      '*:thread id:_guard "^-*" "thread id"'
    ;;
  tarvel-hook)
    _arguments \
      '(- *)--version[print the version]' \
      '(- *)'{-h,--help}'[print a short usage]' \
      '--provider[the agent that runs the hook]:agent:_tarvel_agents'
    ;;
  QuoyaCodexHook)
    _arguments \
      '(- *)--version[print the version]' \
      '(- *)'{-h,--help}'[print a short usage]' \
      '--provider[the agent that runs the hook, when not Codex]:agent:(claude-code gemini-cli)'
    ;;
  *)
    _tarvel_command
    ;;
esac
