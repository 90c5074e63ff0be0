#!/usr/bin/env bash
# Whole-program figure: motion_player playing a one-million-row file at a
# 1 ms row period on the stand-in as fast as possible, against `wc -l` on
# the same file.
#   bench/player_vs_wc.sh [BUILD_DIR]   (default build/release)
# A run is timed from start to the prompt that follows the end of the file;
# the program is then ended with SIGTERM, as the simulator would end it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Everything printed up to the prompt after the file: start-up, the prompt,
# the loader's and the loop's texts, the next prompt.
prompt='Give the name of the csv file: '
expected=$(printf '\nstarting reset\n%sinterpolating\nThe interpolation is over\nExecuting your file...\n%s' \
  "$prompt" "$prompt" | wc -c)

play() {
  local out=$dir/out
  rm -f "$out"
  mkfifo "$out"
  # The stop time is only a safety net; the run ends at the next prompt.
  (cd "$dir" && STANDIN_WORLD=kinematic STANDIN_PACE=fast STANDIN_STOP_MS=1000000000 \
    exec "$build/motion_player/motion_player" <<<"$name") >"$out" &
  local pid=$!
  head -c "$expected" <"$out"
  kill -TERM $pid
  wait $pid || true
}

cat "$file" >/dev/null  # warm the page cache for both
wc_us=$(best wc -l "$file")
play_us=$(best play)
printf 'file: %d rows, %d bytes\n' $rows "$(stat -c %s "$file")"
awk -v w="$wc_us" -v p="$play_us" -v n=$((rows / 50)) 'BEGIN {
  printf "wc -l:         %8.1f ms\n", w / 1000
  printf "motion_player: %8.1f ms (%d playing steps of 50 rows)\n", p / 1000, n
  printf "ratio:         %8.2f x\n", p / w
}'
