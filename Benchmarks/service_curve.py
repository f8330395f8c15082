#!/usr/bin/env python3
"""The display service as the number of sessions grows: runs service_scale.py at 300, 1,000,
3,000 and 10,000 sessions (50 events each, as fast as four senders go) and prints, per size, the
events taken in, the service's CPU time per event, its peak RSS, the slowest /v1/state read during
the run and the largest state, each also as a ratio to the 300-session figure, and how many
sessions the service held at the end (it holds and saves up to 10,000, so every size is held
whole). Per
event the cost should stay flat as sessions grow; memory should grow about linearly with them.
Targets at 3,000 sessions: every event taken in, at most 40 us of CPU per event, peak RSS at most
200 MiB, every /v1/state read within 100 ms and at most 2 MB.
Usage: service_curve.py <bin directory> [events per session] [sizes...]
"""
import json, os, subprocess, sys

bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/dev/bin")
per_session = int(sys.argv[2]) if len(sys.argv) > 2 else 50
sizes = [int(size) for size in sys.argv[3:]] or [300, 1000, 3000, 10000]
here = os.path.dirname(os.path.abspath(__file__))

results = []
for size in sizes:
    run = subprocess.run([sys.executable, os.path.join(here, "service_scale.py"), bin_dir,
                          str(size), str(per_session)], capture_output=True, text=True)
    lines = [line for line in run.stdout.splitlines() if line.startswith("result ")]
    if not lines:
        sys.exit(f"{size} sessions: no result\n{run.stdout}{run.stderr}")
    results.append(json.loads(lines[-1][len("result "):]))
    print(f"{size} sessions done", file=sys.stderr, flush=True)

base = results[0]
print(f"{'sessions':>9} {'held':>5} {'events in':>17} {'CPU/event':>14} {'peak RSS':>17} "
      f"{'slowest state':>18} {'largest state':>18}")
for result in results:
    def ratio(key):
        return result[key] / base[key] if base[key] else 0
    print(f"{result['sessions']:>9} {result.get('sessionsHeld', 0):>5} "
          f"{result['received']:>8}/{result['events']:<8} "
          f"{result['cpuPerEventMicroseconds']:>6.1f} us x{ratio('cpuPerEventMicroseconds'):<4.2f} "
          f"{result['peakRSSMiB']:>6.0f} MiB x{ratio('peakRSSMiB'):<5.2f} "
          f"{result['slowestStateMilliseconds']:>7.1f} ms x{ratio('slowestStateMilliseconds'):<5.2f} "
          f"{result['largestStateBytes'] / 1e6:>6.2f} MB x{ratio('largestStateBytes'):<5.2f}")
print(f"(ratios to {base['sessions']} sessions; sizes grow x"
      + ", x".join(f"{r['sessions'] / base['sessions']:g}" for r in results[1:]) + ")")
missed = [r for r in results if r["received"] < r["events"]]
sys.exit(1 if missed else 0)
