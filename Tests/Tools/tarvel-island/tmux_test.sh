#!/usr/bin/env bash
# Runs tarvel-island inside a private tmux server with a temporary HOME and no service running:
# the island starts `tarvel serve`, Claude Code hook documents go through tarvel-hook, the
# permission prompt is answered with a key and the waiting hook prints the allow answer; after
# that another waiting prompt is still reachable, and quitting leaves the service and its prompt
# alone. Exit 77 (skipped) without tmux.
# Usage: tmux_test.sh <bin directory> <fixtures directory>
set -u
bin=$1
fixtures=$2
command -v tmux >/dev/null 2>&1 || { echo "SKIP: tmux is not installed"; exit 77; }

work=$(mktemp -d)
server="tarvel-island-test-$$"
cleanup() {
  tmux -L "$server" kill-server >/dev/null 2>&1
  [ -n "${serve_pid:-}" ] && kill "$serve_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- screen ---"; tmux -L "$server" capture-pane -p -t island 2>/dev/null; exit 1; }

# Polls the screen until it shows the text (up to 60 s: only a failing run waits that long).
wait_for_screen() {
  for _ in $(seq 600); do
    tmux -L "$server" capture-pane -p -t island 2>/dev/null | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

export HOME="$work/home"
# The service the island starts must not reach the desktop's session bus (no real notifications).
isolated="env -u DBUS_SESSION_BUS_ADDRESS -u XDG_RUNTIME_DIR"
mkdir -p "$HOME"
tmux -L "$server" -f /dev/null new-session -d -s island -x 120 -y 30 \
  "$isolated HOME='$HOME' '$bin/tarvel-island'; sleep 30" || fail "tmux did not start"
for _ in $(seq 600); do [ -S "$HOME/.tarvel/api.sock" ] && break; sleep 0.1; done
[ -S "$HOME/.tarvel/agent.sock" ] || fail "the island did not start a service"
# The service of this HOME (other tests may run services of their own meanwhile).
serve_pid=""
for pid in $(pgrep -f "^$bin/tarvel serve\$"); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "HOME=$HOME" && serve_pid=$pid
done
[ -n "$serve_pid" ] || fail "no service process for this HOME"
wait_for_screen "No agent activity yet." || fail "empty screen not shown"

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
for _ in $(seq 600); do kill -0 "$hook" 2>/dev/null || break; sleep 0.1; done
kill -0 "$hook" 2>/dev/null && { kill "$hook"; fail "the hook did not receive the answer"; }
wait "$hook"
grep -q '"behavior":"allow"' "$work/answer.json" || fail "hook printed: $(cat "$work/answer.json")"

# Another prompt is still reachable after the first was answered.
sed 's/a34702ef-72d2-4879-a175-c91e0f3f8d8c/b34702ef-72d2-4879-a175-c91e0f3f8d8c/g' \
  "$fixtures/agents/claude/PermissionRequest.json" |
  "$bin/tarvel-hook" --provider claude-code >"$work/second.json" &
second_hook=$!
for _ in $(seq 600); do
  HOME="$HOME" "$bin/tarvel" status --json | grep -q '"prompts":1' && break
  sleep 0.1
done
wait_for_screen "[a] allow" || fail "the second prompt is not answerable"

# Quitting the last display leaves the service running and releases the second prompt: nobody is
# left to answer it, so its agent asks in its own terminal.
tmux -L "$server" send-keys -t island q
for _ in $(seq 200); do kill -0 "$second_hook" 2>/dev/null || break; sleep 0.1; done
kill -0 "$second_hook" 2>/dev/null && { kill "$second_hook"; fail "the waiting hook was held after the last display quit"; }
wait "$second_hook"
[ "$(cat "$work/second.json")" = "{}" ] || fail "second hook printed: $(cat "$work/second.json")"
HOME="$HOME" "$bin/tarvel" status >/dev/null || fail "the service stopped with the island"

# A new island attaches to the same service and answers a new prompt.
tmux -L "$server" new-window -d -t island: -n again "$isolated HOME='$HOME' '$bin/tarvel-island'; sleep 30"
for _ in $(seq 600); do
  HOME="$HOME" "$bin/tarvel" status --json >/dev/null 2>&1 && \
    HOME="$HOME" curl -s --unix-socket "$HOME/.tarvel/api.sock" http://l/v1/state 2>/dev/null | grep -qF '"kind":"terminal"' && break
  sleep 0.1
done
sed 's/a34702ef-72d2-4879-a175-c91e0f3f8d8c/c34702ef-72d2-4879-a175-c91e0f3f8d8c/g' \
  "$fixtures/agents/claude/PermissionRequest.json" |
  "$bin/tarvel-hook" --provider claude-code >"$work/third.json" &
third_hook=$!
for _ in $(seq 600); do
  tmux -L "$server" capture-pane -p -t island:again 2>/dev/null | grep -qF "[d] deny" && break
  sleep 0.1
done
tmux -L "$server" send-keys -t island:again d
for _ in $(seq 600); do kill -0 "$third_hook" 2>/dev/null || break; sleep 0.1; done
kill -0 "$third_hook" 2>/dev/null && { kill "$third_hook"; fail "the third hook was not answered"; }
grep -q '"behavior":"deny"' "$work/third.json" || fail "third hook printed: $(cat "$work/third.json")"

# A prompt answered in the agent's own dialog leaves the display, which says where it went.
sed 's/a34702ef-72d2-4879-a175-c91e0f3f8d8c/d34702ef-72d2-4879-a175-c91e0f3f8d8c/g' \
  "$fixtures/agents/claude/PermissionRequest.json" |
  "$bin/tarvel-hook" --provider claude-code >"$work/fourth.json" &
fourth_hook=$!
for _ in $(seq 600); do
  tmux -L "$server" capture-pane -p -t island:again 2>/dev/null | grep -qF "[d] deny" && break
  sleep 0.1
done
sed 's/da27457f-8ee9-4651-82a5-71a19268b878/d34702ef-72d2-4879-a175-c91e0f3f8d8c/g' \
  "$fixtures/agents/claude/PostToolUse.json" | "$bin/tarvel-hook" --provider claude-code >/dev/null
for _ in $(seq 600); do kill -0 "$fourth_hook" 2>/dev/null || break; sleep 0.1; done
kill -0 "$fourth_hook" 2>/dev/null && { kill "$fourth_hook"; fail "the fourth hook was not withdrawn"; }
for _ in $(seq 600); do
  tmux -L "$server" capture-pane -p -t island:again 2>/dev/null | grep -qF "Answered in the agent" && break
  sleep 0.1
done
tmux -L "$server" capture-pane -p -t island:again | grep -qF "Answered in the agent" ||
  fail "the display does not say the prompt was answered in the agent"
tmux -L "$server" send-keys -t island:again q

# Stopping the service saves the sessions and removes its socket files.
kill -TERM "$serve_pid"
# The service ends its servers one after the other: wait for the process itself.
# (Gone, or a zombie where nothing reaps orphans.)
running() { [ -e "/proc/$serve_pid" ] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$serve_pid/stat" 2>/dev/null; }
for _ in $(seq 600); do running || break; sleep 0.1; done
running && fail "the service did not stop on SIGTERM"
[ -S "$HOME/.tarvel/agent.sock" ] && fail "event socket left behind"
[ -S "$HOME/.tarvel/reply.sock" ] && fail "reply socket left behind"
grep -q '"sessions"' "$HOME/.tarvel/sessions.json" || fail "sessions were not saved"
echo "PASS"
