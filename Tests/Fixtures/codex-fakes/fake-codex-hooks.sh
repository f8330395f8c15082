#!/bin/sh
# Plays "codex app-server" for the installer's tests: answers "hooks/list" with two hooks running
# the tarvel relay when ~/.codex/hooks.json holds its command, each trusted once
# ~/.codex/config.toml has its [hooks.state."<key>"] table. Like Codex, it answers "initialize"
# first.
[ "$1" = app-server ] || exit 2
command="$HOME/.tarvel/bin/tarvel-hook --provider codex"
while IFS= read -r line; do
  case $line in
    *'"initialize"'*)
      printf '{"id":1,"result":{"userAgent":"fake"}}\n'
      ;;
    *'"hooks/list"'*)
      hooks=""
      if grep -qF "\"$command\"" "$HOME/.codex/hooks.json" 2>/dev/null; then
        for event in stop session_start; do
          key="$HOME/.codex/hooks.json:$event:0:0"
          status=untrusted
          grep -qF "[hooks.state.\"$key\"]" "$HOME/.codex/config.toml" 2>/dev/null && status=trusted
          hooks="$hooks${hooks:+,}{\"key\":\"$key\",\"command\":\"$command\",\"currentHash\":\"sha256:$event\",\"trustStatus\":\"$status\"}"
        done
      fi
      printf '{"id":2,"result":{"data":[{"hooks":[%s]}]}}\n' "$hooks"
      exit 0
      ;;
  esac
done
