#!/usr/bin/env bash
# Whole-program figure: motion_skim playing a one-million-row file on the
# stand-in as fast as possible, against `wc -l` on the same file.
#   bench/skim_vs_wc.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
source "$(dirname "$0")/common.sh"

# The skim plays 100 rows per 64 ms step: stop one step after the last row.
steps=$((rows / 100))
stop=$((128 + 64 * (steps + 1)))

skim() {
  (cd "$dir" && echo "$name" | STANDIN_WORLD=kinematic STANDIN_PACE=fast STANDIN_STOP_MS=$stop \
    "$build/motion_skim/motion_skim")
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
