#!/usr/bin/env bash
# Whole-program figures of the physics world: motion_skim playing long files
# in the physics world as fast as possible, trace and log off, against a
# bare mj_step loop on the same model for the same simulated time.
#   bench/physics_vs_mj_step.sh [BUILD_DIR]   (default build/release)
# Two files of 300,000 rows at 1 ms, 3,000 control steps, 192 s simulated:
# - swing: the arms swing while the robot stands, a motion's workload;
# - still: every row the zero posture, the robot standing still, the bare
#   loop's very workload, so that their ratio is the stand-in's own cost
#   (library calls, servo setpoints, sensors, fall watch, file reading).
# Prints the simulated time over the wall time and over the CPU time (user
# + system: the figure that holds on a busy machine), and the stand-in's
# CPU time per simulated second over the bare loop's. Best of three runs.
set -euo pipefail
build=$(realpath "${1:-build/release}")
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

rows=300000
"$build/tools/motion_gen" swing 1 $((rows / 1000)) >"$dir/swing.csv"
awk -v n=$rows 'BEGIN { for (r = 0; r < n; ++r)
  print "1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, R ,R ,R,R" }' >"$dir/still.csv"
# The skim plays 100 rows per 64 ms step after its 128 ms first step.
steps=$((rows / 100))
simulated_ms=$((128 + 64 * steps))

# Best wall and CPU seconds of "$@" over $runs runs.
best() {
  local best_wall= best_cpu= line
  for _ in $(seq $runs); do
    line=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>"$dir/err"; } 2>&1)
    [ ! -s "$dir/err" ] || { cat "$dir/err" >&2; exit 1; }
    read -r best_wall best_cpu < <(awk -v l="$line" -v w="$best_wall" -v c="$best_cpu" 'BEGIN {
      split(l, t, " "); cpu = t[2] + t[3]
      if (w == "" || t[1] < w) w = t[1]
      if (c == "" || cpu < c) c = cpu
      print w, c }')
  done
  echo "$best_wall $best_cpu"
}

skim() {  # skim FILE
  (cd "$dir" && echo "$1" | STANDIN_WORLD=physics STANDIN_PACE=fast \
    STANDIN_STOP_MS=$simulated_ms exec "$build/motion_skim/motion_skim")
}

read -r swing_wall swing_cpu < <(best skim swing.csv)
read -r still_wall still_cpu < <(best skim still.csv)
"$build/bench/mj_step_bench" "$root/standin/robot.xml" $((simulated_ms / 1000)) >"$dir/bare.txt"
grep -v '^bare' "$dir/bare.txt"
bare_cpu_ms=$(sed -n 's/.*, \([0-9.]*\) ms CPU per simulated second$/\1/p' "$dir/bare.txt")
awk -v s="$simulated_ms" -v sw="$swing_wall" -v sc="$swing_cpu" -v tw="$still_wall" \
  -v tc="$still_cpu" -v bc="$bare_cpu_ms" -v rows=$rows -v steps=$steps 'BEGIN {
  sim = s / 1000
  printf "motion_skim, %d rows, %d control steps, %.1f s simulated:\n", rows, steps, sim
  printf "  swing: %6.2f s wall, %5.2f s CPU: %5.1f x real time (wall), %5.1f x (CPU); goal >= 50\n",
    sw, sc, sim / sw, sim / sc
  printf "  still: %6.2f s wall, %5.2f s CPU: %5.1f x real time (wall), %5.1f x (CPU)\n",
    tw, tc, sim / tw, sim / tc
  printf "bare mj_step loop, standing still: %.2f ms CPU per simulated second\n", bc
  printf "stand-in standing still over the bare loop, CPU per simulated second: %.3f x; goal <= 1.1\n",
    (tc / sim * 1000) / bc
}'
