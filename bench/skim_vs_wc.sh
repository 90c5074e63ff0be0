#!/usr/bin/env bash
# Whole-program figure: motion_skim playing a one-million-row file on the
# stand-in as fast as possible, against `wc -l` on the same file.
#   bench/skim_vs_wc.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
build=${1:-build/release}
rows=1000000
runs=5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
file=$dir/million.csv

# 1 ms rows for 1000 s: one million rows.
"$build/tools/motion_gen" swing 1 1000 >"$file"
[ "$(wc -l <"$file")" -eq $rows ] || { echo "generator gave the wrong row count" >&2; exit 1; }

# The skim plays 100 rows per 64 ms step: stop one step after the last row.
steps=$((rows / 100))
stop=$((128 + 64 * (steps + 1)))

best() {  # best wall time in ms of "$@" over $runs runs
  local best_ns=0
  for _ in $(seq $runs); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    local ns=$((t1 - t0))
    if [ $best_ns -eq 0 ] || [ $ns -lt $best_ns ]; then best_ns=$ns; fi
  done
  echo $((best_ns / 1000))
}

skim() {
  echo "$file" | STANDIN_PACE=fast STANDIN_STOP_MS=$stop "$build/motion_skim/motion_skim"
}

cat "$file" >/dev/null  # warm the page cache for both
wc_us=$(best wc -l "$file")
skim_us=$(best skim)
printf 'file: %d rows, %d bytes\n' $rows "$(stat -c %s "$file")"
awk -v w="$wc_us" -v s="$skim_us" -v n=$steps 'BEGIN {
  printf "wc -l:       %8.1f ms\n", w / 1000
  printf "motion_skim: %8.1f ms (%d control steps)\n", s / 1000, n
  printf "ratio:       %8.2f x\n", s / w
}'
