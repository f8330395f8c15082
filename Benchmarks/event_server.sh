#!/usr/bin/env bash
# Event server throughput: tarvel-monitor and tarvel serve against a floor server (event_floor:
# one poll loop that only accepts, reads and writes each connection's bytes, no decoding), in the
# same run, in turn. event_sender sends EVENTS events from two threads, one connection per event
# as hooks do, and times until each server has taken every event sent in (a line written for
# each; for tarvel serve, its "eventsReceived" in GET /v1/status, which it publishes at most
# every 50 ms (further apart only with thousands of sessions), so its time includes up to one
# such interval: 50,000 events, about a second, keep that below 5%). The ratio of the medians is the
# figure: absolute rates swing with the machine's load. Each server's CPU time per event (all its
# threads; clock-tick resolution) is printed beside its rate.
# Target: tarvel-monitor and tarvel serve at least 0.85x the floor, every event delivered once.
#
# usage: Benchmarks/event_server.sh [BIN_DIR] [EVENTS] [ROUNDS]   (defaults: build/dev/bin, 50000, 5)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/dev/bin}" && pwd)
events=${2:-50000}
rounds=${3:-5}
for program in tarvel-monitor tarvel event_floor event_sender; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program: build first" >&2; exit 2; }
done

home=$(mktemp -d)
server=""
cleanup() {
  if [[ -n "$server" ]]; then kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$home"
}
trap cleanup EXIT
socket="$home/.tarvel/agent.sock"
mkdir -p "$home/.tarvel" && chmod 700 "$home/.tarvel"

# The process's CPU time so far (user and system, all threads), in clock ticks.
ticks=$(getconf CLK_TCK)
cpuTicks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# One line per round and server: "NAME RATE FAILED CPU_MICROSECONDS_PER_EVENT".
measure() {
  local name=$1; shift
  : >"$home/out.jsonl"
  HOME="$home" "$@" >"$home/out.jsonl" 2>"$home/server.log" &
  server=$!
  for _ in $(seq 100); do
    [[ -S "$socket" ]] && break
    sleep 0.05
  done
  [[ -S "$socket" ]] || { echo "$name did not start" >&2; cat "$home/server.log" >&2; exit 1; }
  local target="$home/out.jsonl"
  if [[ $name == "tarvel-serve" ]]; then
    target="api:$home/.tarvel/api.sock"
    for _ in $(seq 100); do
      [[ -S "$home/.tarvel/api.sock" ]] && break
      sleep 0.05
    done
  fi
  local result before after
  before=$(cpuTicks "$server")
  result=$("$bin/event_sender" "$socket" "$target" "$events" "$here/event_line.json") || {
    echo "$name: $result" >&2; exit 1; }
  after=$(cpuTicks "$server")
  kill -TERM "$server"; wait "$server" 2>/dev/null || true; server=""
  local sent failed delivered
  sent=$(awk '{print $2}' <<<"$result"); failed=$(awk '{print $4}' <<<"$result")
  delivered=$(awk '{print $6}' <<<"$result")
  if [[ $name != "tarvel-serve" ]]; then delivered=$(wc -l <"$home/out.jsonl"); fi
  [[ $delivered -eq $((sent - failed)) ]] || { echo "$name took $delivered of $((sent - failed)) events" >&2; exit 1; }
  echo "$name $(awk '{print $(NF-1)}' <<<"$result") $failed $(( (after - before) * 1000000 / ticks / events ))"
  rm -f "$socket"
  rm -rf "$home/.tarvel/sessions.json" "$home/.tarvel/api.sock" "$home/.tarvel/reply.sock"
}

echo "event server: $events events per round, $rounds rounds, two client threads"
for _ in $(seq "$rounds"); do
  measure floor "$bin/event_floor" "$socket"
  measure tarvel-monitor "$bin/tarvel-monitor"
  measure tarvel-serve "$bin/tarvel" serve --no-notify
done | tee "$home/rates.txt"
awk '
  { rates[$1] = rates[$1] " " $2; failed[$1] += $3; cpu[$1] = cpu[$1] " " $4 }
  function median(list,   values, n, i, j, t) {
    n = split(list, values, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && values[j - 1] + 0 > values[j] + 0; j--) {
      t = values[j]; values[j] = values[j - 1]; values[j - 1] = t }
    return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
  }
  END {
    floor = median(rates["floor"]); monitor = median(rates["tarvel-monitor"])
    serve = median(rates["tarvel-serve"])
    printf "floor          median %.0f events/s, %.0f us CPU per event (failed sends %d)\n",
      floor, median(cpu["floor"]), failed["floor"]
    printf "tarvel-monitor median %.0f events/s, %.0f us CPU per event (failed sends %d)\n",
      monitor, median(cpu["tarvel-monitor"]), failed["tarvel-monitor"]
    printf "tarvel serve   median %.0f events/s, %.0f us CPU per event (failed sends %d)\n",
      serve, median(cpu["tarvel-serve"]), failed["tarvel-serve"]
    printf "target >= 0.85x floor: tarvel-monitor %s (%.2fx), tarvel serve %s (%.2fx)\n",
      (monitor / floor >= 0.85 ? "met" : "MISSED"), monitor / floor,
      (serve / floor >= 0.85 ? "met" : "MISSED"), serve / floor
  }' "$home/rates.txt"
