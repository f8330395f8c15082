#!/usr/bin/env bash
# The demo as `make demo` runs it, in a temporary folder of its own: it succeeds, speaks in plain
# words (no hook JSON), shows the prompt and the answer, and leaves no file and no process behind.
# usage: demo_test.sh BIN_DIR
set -uo pipefail
bin=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
command -v tmux >/dev/null || { echo "skipped: no tmux"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/tmp"
failures=0
check() { # description, command...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}

TMPDIR="$tmp/tmp" TMUX_TMPDIR="$tmp/tmp" bash "$root/Sources/Tools/demo/demo.sh" "$bin" \
  >"$tmp/out" 2>"$tmp/err" </dev/null
status=$?
check "the demo succeeds (status $status): $(cat "$tmp/err")" test "$status" -eq 0
check "the demo shows the prompt" grep -qF "[a] allow" "$tmp/out"
check "the demo says what the agent was told" grep -qF "What Claude Code was told: allow" "$tmp/out"
check "no hook JSON in what the demo prints" bash -c "! grep -qE '\\{\"|hookSpecificOutput' '$tmp/out'"
# Its programs are gone once it has returned: their command lines name its folder.
leftover=$(pgrep -af "$tmp/tmp/tarvel-demo")
check "no process of the demo left: $leftover" test -z "$leftover"
left=$(find "$tmp/tmp" -mindepth 1)
check "nothing left in the temporary folder: $left" test -z "$left"

if ((failures)); then
  echo "--- the demo's output ---"
  cat "$tmp/out" "$tmp/err"
  exit 1
fi
echo "demo: ok"
