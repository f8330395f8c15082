#!/usr/bin/env bash
# Builds with one progress line instead of the build log; the log stays in BUILD_DIR/build.log
# and its end is shown when the build fails.
# usage: cmake/quiet-build.sh BUILD_DIR JOBS LABEL
set -uo pipefail
dir=$1 jobs=$2 label=$3
log="$dir/build.log"
start=$SECONDS
# Ninja's status line is "[done/total] ..."; show the fraction, in place on a terminal.
NINJA_STATUS='[%f/%t] ' cmake --build "$dir" -j "$jobs" 2>&1 | tee "$log" | {
  shown=-1
  while IFS= read -r line; do
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
    percent=$((BASH_REMATCH[1] * 100 / BASH_REMATCH[2]))
    if [[ -t 1 ]]; then
      printf '\r%s: %d%%' "$label" "$percent"
    elif ((percent / 25 > shown)); then
      shown=$((percent / 25))
      printf '%s: %d%%\n' "$label" "$percent"
    fi
  done
  [[ -t 1 ]] && printf '\r\033[K'
}
status=${PIPESTATUS[0]}
if ((status != 0)); then
  echo "$label: failed; the end of $log:" >&2
  tail -n 40 "$log" >&2
  exit "$status"
fi
echo "$label: done in $((SECONDS - start)) s."
