#!/usr/bin/env bash
# Runs every benchmark once: the Google Benchmark programs, then the whole-command hook timings.
# usage: Benchmarks/run.sh [BIN_DIR]   (default: build/dev/bin, where make test builds them)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/dev/bin}" && pwd)
for program in "$bin"/*Benchmark*; do
  [[ -x "$program" ]] || continue
  echo "== $(basename "$program")"
  "$program" --benchmark_min_time=0.2
done
echo "== QuoyaCodexHook latency"
bash "$here/hook_latency.sh" "$bin" 300
echo "== tarvel-hook latency"
HOOK=tarvel-hook bash "$here/hook_latency.sh" "$bin" 300
echo "== tarvel-hook burst"
bash "$here/hook_burst.sh" "$bin" 500
echo "== tarvel-hook burst against tarvel serve"
SERVER=serve bash "$here/hook_burst.sh" "$bin" 1000
echo "== event servers against the floor"
bash "$here/event_server.sh" "$bin"
echo "== the display service from 300 to 10,000 sessions"
python3 "$here/service_curve.py" "$bin"
echo "== the display service at 3,000 sessions, sent at full speed with the state read throughout"
python3 "$here/service_scale.py" "$bin" 3000 50 --full-speed
echo "== memory held for stalled stream readers"
python3 "$here/stalled_readers.py" "$bin"
echo "== prompt release (nobody can answer, last answerer gone, agent went on)"
python3 "$here/prompt_release.py" "$bin"
echo "== a prompt to the phone through ntfy, and Allow from the phone back to the hook"
python3 "$here/phone_push.py" "$bin"
