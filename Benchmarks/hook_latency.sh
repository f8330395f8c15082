#!/usr/bin/env bash
# Hook latency: times QuoyaCodexHook on a typical 1 KB hook document while tarvel-monitor listens
# on the island socket, in turn with a floor program that only reads its input and answers "{}".
# Prints each one's median wall time, their ratio and the hook's peak resident set size.
# Targets: median within 1.5x the floor, peak RSS under 4 MiB.
#
# usage: Benchmarks/hook_latency.sh [BIN_DIR] [RUNS]   (defaults: build/dev/bin, 1000)
# HOOK=tarvel-hook times the general relay instead, with tarvel-monitor on the default socket
# (target: median within 2x the floor).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/dev/bin}" && pwd)
runs=${2:-1000}
hook=${HOOK:-QuoyaCodexHook}
if [[ "$hook" == QuoyaCodexHook ]]; then
  monitor_args=(--island); socket_rel=.quoya-island/events.sock; target=1.5
else
  monitor_args=(); socket_rel=.tarvel/agent.sock; target=2.0
fi
for program in "$hook" tarvel-monitor hook_timer hook_floor; do
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

HOME="$home" "$bin/tarvel-monitor" "${monitor_args[@]}" >"$events" 2>"$home/monitor.log" &
monitor=$!
for _ in $(seq 100); do
  [[ -S "$home/$socket_rel" ]] && break
  sleep 0.05
done
[[ -S "$home/$socket_rel" ]] || { echo "tarvel-monitor did not start" >&2; cat "$home/monitor.log" >&2; exit 1; }

echo "hook latency: $runs runs each, $(wc -c <"$here/hook_document.json") byte document"
HOME="$home" "$bin/hook_timer" "$runs" "$here/hook_document.json" "$bin/$hook" "$bin/hook_floor" | tee "$home/result.txt"
sleep 0.2
echo "events delivered: $(wc -l <"$events") (expected $((runs + 1)))"

ratio=$(awk '/^ratio/ {print $NF}' "$home/result.txt")
rss=$(awk -v hook="$hook" '$1 == hook {print $(NF-1)}' "$home/result.txt")
awk -v ratio="$ratio" -v rss="$rss" -v target="$target" 'BEGIN {
  printf "target median <= %.1fx floor: %s (%.2fx)\n", target, (ratio <= target ? "met" : "MISSED"), ratio
  printf "target peak RSS < 4096 KiB: %s (%d KiB)\n", (rss < 4096 ? "met" : "MISSED"), rss
}'
