#!/usr/bin/env bash
# Runs tarvel-island inside a private tmux server with a temporary HOME, sends Claude Code hook
# documents through tarvel-hook, reads the screen, answers the permission prompt with a key and
# checks that the waiting hook printed the allow answer. Exit 77 (skipped) without tmux.
# Usage: tmux_test.sh <bin directory> <fixtures directory>
set -u
bin=$1
fixtures=$2
command -v tmux >/dev/null 2>&1 || { echo "SKIP: tmux is not installed"; exit 77; }

work=$(mktemp -d)
server="tarvel-island-test-$$"
cleanup() {
  tmux -L "$server" kill-server >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- screen ---"; tmux -L "$server" capture-pane -p -t island 2>/dev/null; exit 1; }

# Polls the screen until it shows the text (up to 10 s).
wait_for_screen() {
  for _ in $(seq 100); do
    tmux -L "$server" capture-pane -p -t island 2>/dev/null | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

export HOME="$work/home"
mkdir -p "$HOME"
tmux -L "$server" -f /dev/null new-session -d -s island -x 120 -y 30 \
  "env HOME='$HOME' '$bin/tarvel-island'; sleep 30" || fail "tmux did not start"
for _ in $(seq 100); do [ -S "$HOME/.tarvel/reply.sock" ] && break; sleep 0.1; done
[ -S "$HOME/.tarvel/agent.sock" ] || fail "no event socket"
wait_for_screen "No agent activity yet." || fail "empty screen not shown"

# A second instance is refused while the first listens.
second=$(HOME="$HOME" "$bin/tarvel-island" </dev/null 2>&1)
echo "$second" | grep -qF "Another Tarvel instance is already listening on this socket." ||
  fail "second instance not refused: $second"

# A prompt, then a permission request that waits for the answer.
"$bin/tarvel-hook" --provider claude-code <"$fixtures/agents/claude/UserPromptSubmit.json" >/dev/null
sed 's/f4c0ee25/a34702ef/' "$fixtures/agents/claude/UserPromptSubmit.json" |
  sed 's/"prompt":"hello"/"prompt":"create the file"/' |
  "$bin/tarvel-hook" --provider claude-code >/dev/null
"$bin/tarvel-hook" --provider claude-code <"$fixtures/agents/claude/PermissionRequest.json" \
  >"$work/answer.json" &
hook=$!
wait_for_screen "Waiting" || fail "the permission prompt is not shown"
wait_for_screen "[a] allow" || fail "allow is not offered while the hook waits"
wait_for_screen "1 waiting" || fail "the waiting count is not shown"
tmux -L "$server" send-keys -t island a
for _ in $(seq 100); do kill -0 "$hook" 2>/dev/null || break; sleep 0.1; done
kill -0 "$hook" 2>/dev/null && { kill "$hook"; fail "the hook did not receive the answer"; }
wait "$hook"
grep -q '"behavior":"allow"' "$work/answer.json" || fail "hook printed: $(cat "$work/answer.json")"

# Quitting restores the terminal, saves the sessions and removes the socket files.
tmux -L "$server" send-keys -t island q
for _ in $(seq 100); do [ -S "$HOME/.tarvel/agent.sock" ] || break; sleep 0.1; done
[ -S "$HOME/.tarvel/agent.sock" ] && fail "event socket left behind"
[ -S "$HOME/.tarvel/reply.sock" ] && fail "reply socket left behind"
grep -q '"sessions"' "$HOME/.tarvel/sessions.json" || fail "sessions were not saved"
echo "PASS"
