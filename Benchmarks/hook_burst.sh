#!/usr/bin/env bash
# Hook burst: starts COUNT tarvel-hook commands at once against an idle tarvel-monitor, as agents
# with sub-agents do, and counts the events delivered. Every hook must still answer "{}" with
# status 0 within its bounds (0.8 s to read its input, 0.25 s per send).
# Target: every event delivered (COUNT of COUNT).
# With SERVER=serve the hooks go to `tarvel serve` instead, counted by its "eventsReceived".
#
# usage: [SERVER=serve] Benchmarks/hook_burst.sh [BIN_DIR] [COUNT]   (defaults: build/dev/bin, 500)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/dev/bin}" && pwd)
count=${2:-500}
for program in tarvel-hook tarvel-monitor hook_burst; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program: build first" >&2; exit 2; }
done

home=$(mktemp -d)
events="$home/events.jsonl"
monitor=""
cleanup() {
  if [[ -n "$monitor" ]]; then kill -TERM "$monitor" 2>/dev/null || true; wait "$monitor" 2>/dev/null || true; fi
  rm -rf "$home"
}
trap cleanup EXIT

server=${SERVER:-monitor}
if [[ $server == serve ]]; then
  HOME="$home" "$bin/tarvel" serve --no-notify >/dev/null 2>"$home/monitor.log" &
else
  HOME="$home" "$bin/tarvel-monitor" >"$events" 2>"$home/monitor.log" &
fi
monitor=$!
# How many events the server has taken in.
received() {
  if [[ $server == serve ]]; then
    python3 -c 'import http.client, json, socket, sys
class C(http.client.HTTPConnection):
    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX); self.sock.connect(sys.argv[1])
c = C("localhost"); c.request("GET", "/v1/status")
print(json.loads(c.getresponse().read())["eventsReceived"])' "$home/.tarvel/api.sock"
  else
    wc -l <"$events"
  fi
}
for _ in $(seq 100); do
  [[ -S "$home/.tarvel/agent.sock" ]] && break
  sleep 0.05
done
[[ -S "$home/.tarvel/agent.sock" ]] || { echo "the $server did not start" >&2; cat "$home/monitor.log" >&2; exit 1; }
if [[ $server == serve ]]; then
  for _ in $(seq 100); do
    [[ -S "$home/.tarvel/api.sock" ]] && break
    sleep 0.05
  done
fi

status=0
HOME="$home" "$bin/hook_burst" "$count" "$here/hook_document.json" "$bin/tarvel-hook" \
  --provider codex | tee "$home/result.txt" || status=$?
# The server hands events over once each connection has ended; give the last ones a moment.
for _ in $(seq 40); do
  [[ $(received) -ge $count ]] && break
  sleep 0.05
done
delivered=$(received)
echo "events delivered: $delivered of $count"
slowest=$(awk '{print $(NF-1)}' "$home/result.txt")
awk -v delivered="$delivered" -v count="$count" -v slowest="$slowest" 'BEGIN {
  printf "target every event delivered: %s (%d of %d, slowest hook %.3f s)\n",
    (delivered == count ? "met" : "MISSED"), delivered, count, slowest
}'
exit "$status"
