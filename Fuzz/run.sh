#!/usr/bin/env bash
# Runs every fuzz target for a while, each on its own corpus.
#   Fuzz/run.sh <bin dir> [seconds per target]
# New inputs go to a scratch corpus under the bin dir, so Fuzz/corpus/ stays small; crashes
# and leaks stop the run with a non-zero status and leave their input in the bin dir.
set -euo pipefail

bin_dir=${1:?usage: Fuzz/run.sh <bin dir> [seconds per target]}
seconds=${2:-60}
fuzz_dir=$(cd "$(dirname "$0")" && pwd)

run_target() {
  local target=$1 corpus=$2
  local binary="$bin_dir/$target"
  if [[ ! -x $binary ]]; then
    echo "skipping $target: not built"
    return 0
  fi
  local scratch="$bin_dir/corpus-$target"
  mkdir -p "$scratch"
  echo "== $target for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$binary" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$bin_dir/$target-" \
    -dict="$fuzz_dir/json.dict" "$scratch" "$fuzz_dir/corpus/$corpus" 2>&1 |
    grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|==[0-9]+==|SUMMARY|ERROR|INFO: (seed|-max_len))' || true
  return "${PIPESTATUS[0]}"
}

status=0
run_target fuzz_hook_payload hook_payload || status=$?
run_target fuzz_event_line event_line || status=$?
run_target fuzz_codex_hook codex_hook || status=$?
exit "$status"
