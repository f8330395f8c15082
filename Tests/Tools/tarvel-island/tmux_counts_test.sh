#!/usr/bin/env bash
# Who waits and who works, on every surface at once: tarvel-island in a private tmux server (it
# starts a real `tarvel serve`), real tarvel-hook processes with what real agents sent, and at
# each step a sample of the island's header and window title, `tarvel status` (plain, --json,
# --tmux), GET /v1/status, the state's attentionCount, and the web page in a real headless
# Chromium kept open through the run (its header's count, its rows, its tab title; read by
# page_reader.py), which must all say the same.
# - a prompt answered with "a": no screen of the island shows the session waiting or asks to
#   answer in the agent afterwards; its row says "Allowed on this terminal" until its next event;
# - a prompt let go while no display was open, which Codex then asks in its own dialog: waiting
#   everywhere, the island and the page say "Answer in Codex" and the island offers no answer
#   keys, until Codex goes on.
# Exit 77 (skipped) without tmux or curl; without chromium or python3 the page is left out.
# Usage: tmux_counts_test.sh <bin directory>
set -u
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fixtures="$here/../../Fixtures/agents"
for tool in tmux curl; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
server="tarvel-counts-test-$$"
serve_pid=""
page_pid=""
page_open=""
cleanup() {
  if [ -n "$page_pid" ]; then
    exec 7>&- 8<&-  # the reader closes its browser at the end of its input
    for _ in $(seq 100); do kill -0 "$page_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$page_pid" 2>/dev/null
  fi
  tmux -L "$server" kill-server >/dev/null 2>&1
  if [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
t() { tmux -L "$server" "$@"; }
screen() { t capture-pane -p -J -t "island:$window" 2>/dev/null; }
fail() { echo "FAIL: $*"; echo "--- screen ---"; screen; exit 1; }
api() { curl -s --max-time 10 --unix-socket "$HOME/.tarvel/api.sock" "http://l$1"; }

# A document as the agent sent it (Tests/Fixtures/agents/<agent>/<name>.json), for `session`.
document() {  # agent name session
  sed -E "s/\"session_id\":\"[^\"]*\"/\"session_id\":\"$3\"/" "$fixtures/$1/$2.json"
}
# The hooks run as children of this script, which stands for their agent: it runs throughout.
send() {  # provider agent name session
  "$bin/tarvel-hook" --provider "$1" < <(document "$2" "$3" "$4") >/dev/null ||
    fail "the hook for $3 failed"
}

# The web page, read by one headless Chromium for the whole run (none: the page is left out).
start_page() {
  command -v chromium >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1 ||
    { echo "note: no chromium or python3: the web page is not sampled"; return 0; }
  mkfifo "$work/page.in" "$work/page.out"
  python3 "$here/page_reader.py" "$work" <"$work/page.in" >"$work/page.out" 2>"$work/page.err" &
  page_pid=$!
  exec 7>"$work/page.in" 8<"$work/page.out"
}
# One command to the reader, and its answer ("error: ..." when it could not).
page() {  # command...
  local line
  printf '%s\n' "$*" >&7 && IFS= read -r -t 120 line <&8 ||
    line="error: the page reader stopped: $(cat "$work/page.err")"
  printf '%s' "$line"
}
open_page() {
  [ -n "$page_pid" ] || return 0
  local done
  done=$(page open "$(HOME="$HOME" "$bin/tarvel" web --no-open | head -n 1)")
  [ "$done" = ok ] || fail "the page did not open: $done"
  page_open=1
}
close_page() {
  [ -n "$page_open" ] || return 0
  local done
  done=$(page blank)
  [ "$done" = ok ] || fail "the page was not left: $done"
  page_open=""
}
# Waits until a row of the page says `text` (when the page is read).
page_row() {  # text
  [ -n "$page_open" ] || return 0
  for _ in $(seq 300); do [ "$(page row "$1")" = yes ] && return 0; sleep 0.2; done
  return 1
}

# Every surface's counts in one line; "W waiting · K working" when they all agree.
sample() {
  local island title json plain tmux_line status attention waiting working
  island=$(screen | grep -oE '[0-9]+ waiting · [0-9]+ working' | head -n 1)
  title=$(t display-message -p -t "island:$window" '#{pane_title}')
  json=$(HOME="$HOME" "$bin/tarvel" status --json)
  plain=$(HOME="$HOME" "$bin/tarvel" status)
  tmux_line=$(HOME="$HOME" "$bin/tarvel" status --tmux)
  status=$(api /v1/status)
  attention=$(api /v1/state | grep -oE '"attentionCount":[0-9]+' | head -n 1 | cut -d: -f2)
  waiting=$(printf '%s' "$status" | grep -oE '"waiting":[0-9]+' | cut -d: -f2)
  working=$(printf '%s' "$status" | grep -oE '"working":[0-9]+' | cut -d: -f2)
  local agreed="$waiting waiting · $working working" differs=""
  [ "$island" = "$agreed" ] || differs+="; island '$island'"
  if [ "$waiting" = 0 ]; then
    [ "$title" = "Tarvel" ] || differs+="; title '$title'"
  else
    [ "$title" = "Tarvel · $waiting waiting" ] || differs+="; title '$title'"
  fi
  printf '%s' "$json" | grep -qF "\"waiting\":$waiting" &&
    printf '%s' "$json" | grep -qF "\"working\":$working" || differs+="; --json $json"
  if [ "$waiting" = 0 ] && [ "$working" = 0 ]; then
    [ "$plain" = "idle" ] || differs+="; plain '$plain'"
  else
    [ "$plain" = "$agreed" ] || differs+="; plain '$plain'"
  fi
  if [ "$waiting" != 0 ]; then
    case $tmux_line in *"$waiting waiting"*) ;; *) differs+="; --tmux '$tmux_line'" ;; esac
  fi
  [ "$attention" = "$waiting" ] || differs+="; attentionCount $attention"
  if [ -n "$page_open" ]; then
    local shown page_waiting page_title page_rows
    shown=$(page sample)
    IFS='|' read -r page_waiting page_title page_rows _ <<<"$shown"
    local page_wanted="Tarvel"
    [ "$waiting" = 0 ] || page_wanted="($waiting) Tarvel"
    [ "$page_waiting" = "$waiting" ] && [ "$page_rows" = "$waiting" ] &&
      [ "$page_title" = "$page_wanted" ] || differs+="; page '$shown'"
  fi
  printf '%s%s\n' "$agreed" "$differs"
}
# Waits up to 60 s until every surface agrees on `counts` (the limit only ends a failing run).
expect() {  # step counts
  local seen=""
  for _ in $(seq 300); do
    seen=$(sample)
    [ "$seen" = "$2" ] && return 0
    sleep 0.2
  done
  fail "$1: every surface should say '$2'; seen: $seen"
}
wait_for() {  # text
  for _ in $(seq 600); do screen | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
start_island() {  # window
  window=$1
  t new-window -d -t island: -n "$window" "env HOME='$HOME' '$bin/tarvel-island'; sleep 600" ||
    fail "the island's window did not open"
}

export HOME="$work/home"
mkdir -p "$HOME/.config/tarvel"
# The service the island starts serves the web page too, on a free port.
echo 'http = "127.0.0.1:0"' >"$HOME/.config/tarvel/config.toml"
# A window that stays while the island's come and go.
t -f /dev/null new-session -d -s island -n keep -x 120 -y 40 "sleep 600" ||
  fail "tmux did not start"
t set-option -g remain-on-exit on >/dev/null
start_island first
for _ in $(seq 600); do [ -S "$HOME/.tarvel/api.sock" ] && break; sleep 0.1; done
for pid in $(pgrep -f "^$bin/tarvel serve\$"); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "HOME=$HOME" && serve_pid=$pid
done
[ -n "$serve_pid" ] || fail "no service process for this HOME"
wait_for "No agent activity yet." || fail "empty screen not shown"
start_page
open_page
expect "nothing yet" "0 waiting · 0 working"

claude=11111111-1111-4111-8111-111111111111
codex=01a257f2-4a1b-7a73-a4ad-9c71cb0eaa25
send claude-code claude SessionStart "$claude"
expect "a Claude Code that just started waits for its first prompt" "0 waiting · 0 working"
send claude-code claude UserPromptSubmit "$claude"
expect "it works on its prompt" "0 waiting · 1 working"

# 1. A prompt held here, answered with "a".
"$bin/tarvel-hook" --provider claude-code \
  < <(document claude answered-in-dialog/1-PermissionRequest "$claude") >"$work/allow.json" &
hook=$!
wait_for "[a] allow" || fail "allow is not offered"
expect "it waits for a person" "1 waiting · 0 working"
t send-keys -t island:first a
# No screen shows the answer beside the session still waiting, nor ever sends the person to the
# agent.
for _ in $(seq 60); do
  shown=$(screen)
  case $shown in
    *"Answer in"* | *"No hook is waiting"*) fail "the island sends the person to the agent" ;;
    *Allowed*)
      case $shown in
        *"Needs attention"* | *" Waiting"* | *"[a] allow"*)
          fail "the island shows the answer beside the session still waiting" ;;
      esac
      break ;;
  esac
  sleep 0.05
done
wait "$hook"
grep -qF '"behavior":"allow"' "$work/allow.json" || fail "the hook printed: $(cat "$work/allow.json")"
expect "answered here: its agent goes on" "0 waiting · 1 working"
wait_for "Allowed on this terminal" || fail "the row does not say how its prompt ended"
page_row "Allowed on this terminal" || fail "the page's row does not say how its prompt ended"
screen | grep -qE "Answer in|No hook is waiting" && fail "the island sends the person to the agent"
send claude-code claude answered-in-dialog/4-Stop "$claude"
expect "its turn ended" "0 waiting · 0 working"

# 2. No display open: a Codex prompt is let go at once, and Codex asks in its own dialog.
close_page
t kill-window -t island:first
for _ in $(seq 300); do api /v1/state | grep -qF '"answerers":[]' && break; sleep 0.2; done
send codex codex UserPromptSubmit "$codex"
"$bin/tarvel-hook" --provider codex \
  < <(document codex answered-in-own-screen/1-PermissionRequest "$codex") >"$work/released.json"
[ "$(cat "$work/released.json")" = "{}" ] || fail "the let-go hook printed: $(cat "$work/released.json")"
start_island second
open_page
wait_for "Answer in Codex" || fail "the island does not send the person to Codex"
page_row "Answer in Codex" || fail "the page does not send the person to Codex"
expect "Codex asks in its own dialog" "1 waiting · 0 working"
screen | grep -qF "[a] allow" && fail "answer keys are offered for a prompt no hook waits on"
send codex codex answered-in-own-screen/2-PostToolUse "$codex"
expect "allowed in Codex: it runs the tool" "0 waiting · 1 working"
send codex codex answered-in-own-screen/3-Stop "$codex"
expect "its turn ended" "0 waiting · 0 working"
echo "PASS: every surface counts alike; an answer leaves nobody waiting; Codex's own dialog waits"
