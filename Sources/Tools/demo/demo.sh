#!/usr/bin/env bash
# The demo: in a throw-away home directory, starts tarvel-monitor on the island socket, runs the
# hook command on hook documents captured from real Codex, Claude Code and Gemini CLI sessions,
# shows what the hook answered and each event the island received, and stops the monitor.
#
# usage: Sources/Tools/demo/demo.sh BIN_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
bin=$(cd "${1:-$root/build/bin}" && pwd)
fixtures="$root/Tests/Fixtures/agents"
for program in QuoyaCodexHook tarvel-monitor; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program: run make build first" >&2; exit 2; }
done

home=$(mktemp -d)
events="$home/events.jsonl"
monitor=""
cleanup() {
  if [[ -n "$monitor" ]]; then kill -TERM "$monitor" 2>/dev/null || true; wait "$monitor" 2>/dev/null || true; fi
  rm -rf "$home"
}
trap cleanup EXIT

HOME="$home" "$bin/tarvel-monitor" --island >"$events" 2>"$home/monitor.log" &
monitor=$!
socket="$home/.quoya-island/events.sock"
for _ in $(seq 100); do
  [[ -S "$socket" ]] && break
  sleep 0.05
done
[[ -S "$socket" ]] || { echo "tarvel-monitor did not start:" >&2; cat "$home/monitor.log" >&2; exit 1; }
echo "tarvel-monitor listens on ~/.quoya-island/events.sock (HOME=$home)"
echo

# One string field of an event line (the shared encoder writes compact JSON, keys sorted).
field() { sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p" <<<"$2"; }

# agent, document, hook arguments
steps=(
  "Codex|codex/SessionStart.json|"
  "Codex|codex/UserPromptSubmit.json|"
  "Codex|codex/PreToolUse.json|"
  "Codex|codex/Stop.json|"
  "Claude Code|claude/PermissionRequest.json|--provider claude-code"
  "Gemini CLI|gemini/BeforeTool.json|--provider gemini-cli"
)
delivered=0
for step in "${steps[@]}"; do
  IFS='|' read -r agent file arguments <<<"$step"
  before=$(wc -l <"$events")
  # shellcheck disable=SC2086  # the arguments are meant to split
  answer=$(HOME="$home" "$bin/QuoyaCodexHook" $arguments <"$fixtures/$file")
  status=$?
  echo "$agent, $(basename "$file" .json): QuoyaCodexHook ${arguments:-(no arguments)} answered '$answer', exit $status"
  line=""
  for _ in $(seq 40); do
    if (($(wc -l <"$events") > before)); then line=$(sed -n "$((before + 1))p" "$events"); break; fi
    sleep 0.05
  done
  if [[ -z "$line" ]]; then
    echo "  (no event arrived)"
  else
    delivered=$((delivered + 1))
    echo "  event    $(field type "$line")  state $(field state "$line")  provider $(field provider "$line")"
    echo "  hook     $(field hookEvent "$line")  session $(field sessionId "$line")"
    echo "  task     $(field task "$line")"
    echo "  activity $(field activity "$line")"
  fi
  echo
done

echo "The island received $delivered of ${#steps[@]} events. The last one as sent on the wire:"
tail -n 1 "$events"
