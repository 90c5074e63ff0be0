#!/usr/bin/env bash
# robustness: 100 runs of a 10 s motion in the physics world on two cores,
# goal under a minute. The motion is motion_gen's wave at 10 ms a row for
# 10 s; the robots are drawn from the default ranges (bumps on most floors,
# the dearest setting). Prints the wall time and the CPU time of the 100
# drawn runs alone (--rank-runs 0), and of the whole default report (the
# nominal robot and each setting at its ends too).
#   bench/robustness_bench.sh [BUILD_DIR]   (default build/release)
# On a machine others share, the wall time grows with their load; the CPU
# time over two is what two idle cores take.
set -euo pipefail
build=$(realpath "${1:-build/release}")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$build/tools/motion_gen" wave 10 10 >"$dir/wave.csv"

measure() {  # label, then the tool's arguments
  local label=$1
  shift
  local t0 t1 before after
  before=$(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
  t0=$(date +%s%N)
  "$build/tools/robustness" "$@" "$dir/wave.csv" >"$dir/report.txt"
  t1=$(date +%s%N)
  # The children's CPU time, reaped: fields 16 and 17 of our own stat.
  after=$(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
  local runs
  runs=$(head -1 "$dir/report.txt" | sed 's/.*survived [0-9]* of \([0-9]*\) runs.*/\1/')
  awk -v l="$label" -v w=$((t1 - t0)) -v c=$((after - before)) -v hz="$(getconf CLK_TCK)" 'BEGIN {
    printf "%-40s wall %6.1f s   CPU %6.1f s (over two cores %5.1f s)\n", l, w / 1e9, c / hz, c / hz / 2
  }'
  head -1 "$dir/report.txt"
}

measure "100 drawn runs, 2 jobs" --runs 100 --rank-runs 0 --jobs 2
measure "the default report (100 + 27 runs), 2 jobs" --jobs 2
