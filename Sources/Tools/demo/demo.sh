#!/usr/bin/env bash
# The demo: in a throw-away home directory, starts the display service (tarvel serve) and the
# terminal display (tarvel-island) in a private tmux session, feeds tarvel-hook with hook
# documents captured from real Claude Code, Codex and Gemini CLI sessions (sessions at work, a
# sub-agent, a permission request), prints the display, answers the permission prompt with the
# display's key as a user would, and prints the display again and what the hook answered the
# agent. Everything it started is stopped and its files are removed, whatever happens.
#
# usage: Sources/Tools/demo/demo.sh [BIN_DIR]
#   TARVEL_DEMO_CAPTURE=FILE also keeps the screen with the prompt, colours included.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
bin=$(cd "${1:-$root/build/bin}" && pwd)
fixtures="$root/Tests/Fixtures/agents"
for program in tarvel tarvel-hook tarvel-island; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program: run make build first" >&2; exit 2; }
done
command -v tmux >/dev/null || { echo "the demo needs tmux (apt install tmux)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-demo.XXXXXX")
home="$work/home"
# The captures' project folder, moved into the demo's home.
mkdir -p "$home/proj"
# The private tmux server's socket lives in the throw-away folder, so it goes with it.
tmux=(tmux -S "$work/tmux.sock")
serve=""
hook=""
cleanup() {
  "${tmux[@]}" kill-server >/dev/null 2>&1 || true
  [[ -n "$hook" ]] && kill "$hook" 2>/dev/null
  if [[ -n "$serve" ]]; then
    kill -TERM "$serve" 2>/dev/null
    wait "$serve" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

screen() { "${tmux[@]}" capture-pane -p -t demo 2>/dev/null; }
fail() {
  echo "demo failed: $*" >&2
  echo "--- the display ---" >&2
  screen >&2 || true
  echo "--- the service's log ---" >&2
  cat "$work/serve.log" >&2 2>/dev/null || true
  exit 1
}
# Polls the display until it shows the text (up to 30 s, for a busy machine).
wait_for_screen() {
  for _ in $(seq 300); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}
# Prints the display between two rules, without its trailing blank lines.
show_screen() {
  local rule
  rule=$(printf '%*s' "$("${tmux[@]}" display -p -t demo '#{pane_width}')" '' | tr ' ' -)
  echo "  $rule"
  screen | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' | sed 's/^/  /'
  echo "  $rule"
}

# The demo's service must not reach this desktop's session bus: no real notifications.
isolated=(env -u DBUS_SESSION_BUS_ADDRESS -u XDG_RUNTIME_DIR HOME="$home")

echo "A throw-away home directory: $work/home"
"${isolated[@]}" "$bin/tarvel" serve --no-notify >"$work/serve.log" 2>&1 &
serve=$!
for _ in $(seq 600); do
  [[ -S "$home/.tarvel/api.sock" ]] && break
  sleep 0.05
done
[[ -S "$home/.tarvel/api.sock" ]] || fail "tarvel serve did not start"
echo "Started the display service: tarvel serve"
"${tmux[@]}" -f /dev/null new-session -d -s demo -x 116 -y 18 \
  "${isolated[*]} '$bin/tarvel-island'" || fail "tmux did not start"
wait_for_screen "No agent activity yet." || fail "the display did not start"
echo "Started the terminal display in a private tmux session: tarvel-island"
echo

# Hook documents as the agents wrote them. The captures come from several sessions; each agent's
# are put into one session here, so the display shows one line per agent.
claude=f4c0ee25-073b-4dab-af99-9e3fb0e47089
codex=01a25408-6a69-7fa1-9ac0-1a9bd699e5be
gemini=b0e4eb94-3125-45fe-8c60-7cd905596230
# Gemini CLI dates its documents; the captures' dates become now.
now=$(date -u +%Y-%m-%dT%H:%M:%S.000Z)
document() { # file, session id the capture is moved into
  sed -E -e "s/\"session_id\":\"[^\"]*\"/\"session_id\":\"$2\"/" \
    -e "s/\"timestamp\":\"[^\"]*\"/\"timestamp\":\"$now\"/" \
    -e "s|/home/dev|$home|g" "$fixtures/$1"
}
steps=(
  "claude-code|Claude Code|claude/SessionStart.json|$claude"
  "claude-code|Claude Code|claude/UserPromptSubmit.json|$claude"
  "claude-code|Claude Code|claude/PreToolUse.json|$claude"
  "claude-code|Claude Code|claude/SubagentStart.json|$claude"
  "codex|Codex|codex/SessionStart.json|$codex"
  "codex|Codex|codex/UserPromptSubmit.json|$codex"
  "codex|Codex|codex/PreToolUse.json|$codex"
  "gemini-cli|Gemini CLI|gemini/SessionStart.json|$gemini"
  "gemini-cli|Gemini CLI|gemini/BeforeAgent.json|$gemini"
  "gemini-cli|Gemini CLI|gemini/BeforeTool.json|$gemini"
)
for step in "${steps[@]}"; do
  IFS='|' read -r provider agent file session <<<"$step"
  # Run by this script itself (not in a subshell that ends at once): the hook records its parent
  # as the agent, and the service ends a session whose agent process is gone.
  document "$file" "$session" | HOME="$home" "$bin/tarvel-hook" --provider "$provider" >"$work/step.json"
  answer=$(<"$work/step.json")
  # The hook answers "{}" (go on as you would) to every step that does not wait.
  [[ $answer == "{}" ]] || fail "tarvel-hook answered $answer to $file"
  printf '  %-11s %-17s reported; the agent went on at once\n' "$agent" "$(basename "$file" .json)"
done

# The permission request: the hook holds Claude Code until the display answers.
document claude/PermissionRequest.json "$claude" |
  HOME="$home" "$bin/tarvel-hook" --provider claude-code >"$work/answer.json" &
hook=$!
printf '  %-11s %-17s asks for permission; Claude Code waits for the answer...\n' "Claude Code" "PermissionRequest"
wait_for_screen "[a] allow" || fail "the permission prompt did not appear"
# TARVEL_DEMO_CAPTURE keeps this screen with its colours (Sources/Tools/demo/picture.py makes
# the README's picture from it).
[[ -n "${TARVEL_DEMO_CAPTURE:-}" ]] && "${tmux[@]}" capture-pane -e -p -t demo >"$TARVEL_DEMO_CAPTURE"
echo
echo "The terminal display (tmux capture-pane):"
show_screen
echo
echo "Pressing a (allow) in the display..."
"${tmux[@]}" send-keys -t demo a
for _ in $(seq 300); do
  kill -0 "$hook" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$hook" 2>/dev/null && fail "the hook did not receive the answer"
wait "$hook" || fail "the hook exited with status $?"
hook=""
grep -q '"behavior":"allow"' "$work/answer.json" || fail "the hook answered: $(cat "$work/answer.json")"
# Allowed, Claude Code runs the command and reports it.
document claude/PostToolUse.json "$claude" | HOME="$home" "$bin/tarvel-hook" --provider claude-code >/dev/null
wait_for_screen "0 waiting" || true  # the screen is shown either way
echo
echo "The display after the answer, once Claude Code ran the command (PostToolUse):"
show_screen
echo
echo "What Claude Code was told: allow this once (its hook answer: behavior \"allow\"), so it ran the command."
echo
"${tmux[@]}" send-keys -t demo q
echo "Stopped the display and the service and removed the home directory. To use it with your"
echo "agents: make install, then tarvel install --agent claude-code (or another agent: tarvel"
echo "install --help lists them)."
