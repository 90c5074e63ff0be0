#!/usr/bin/env bash
# Whole-program figure of the physics world: motion_skim playing a long
# file in the physics world as fast as possible, trace and log off, against
# a bare mj_step loop on the same model for the same simulated time.
#   bench/physics_vs_mj_step.sh [BUILD_DIR]   (default build/release)
# Prints the simulated time over the wall time (and over the CPU time, the
# figure that holds on a busy machine), and the stand-in's CPU time per
# simulated second over the bare loop's. Best of three runs each.
set -euo pipefail
build=$(realpath "${1:-build/release}")
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The arms swing while the robot stands: 300,000 rows at 1 ms. The skim
# plays 100 rows per 64 ms step, so 3,000 steps, 192 s of simulated time.
rows=300000
"$build/tools/motion_gen" swing 1 $((rows / 1000)) >"$dir/long.csv"
steps=$((rows / 100))
simulated_ms=$((128 + 64 * steps))

# Best wall and CPU (user + system) seconds of "$@" over $runs runs.
best() {
  local best_wall= best_cpu= wall cpu line
  for _ in $(seq $runs); do
    line=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>"$dir/err"; } 2>&1)
    [ ! -s "$dir/err" ] || { cat "$dir/err" >&2; exit 1; }
    wall=$(awk '{ print $1 }' <<<"$line")
    cpu=$(awk '{ print $2 + $3 }' <<<"$line")
    best_wall=$(awk -v a="$wall" -v b="${best_wall:-$wall}" 'BEGIN { print (a < b ? a : b) }')
    best_cpu=$(awk -v a="$cpu" -v b="${best_cpu:-$cpu}" 'BEGIN { print (a < b ? a : b) }')
  done
  echo "$best_wall $best_cpu"
}

skim() {
  (cd "$dir" && echo long.csv | STANDIN_WORLD=physics STANDIN_PACE=fast \
    STANDIN_STOP_MS=$simulated_ms exec "$build/motion_skim/motion_skim")
}

read -r skim_wall skim_cpu < <(best skim)
"$build/bench/mj_step_bench" "$root/standin/robot.xml" $((simulated_ms / 1000)) >"$dir/bare.txt"
grep -v '^bare' "$dir/bare.txt"
bare_cpu_ms=$(sed -n 's/.*, \([0-9.]*\) ms CPU per simulated second$/\1/p' "$dir/bare.txt")
bare_wall_ms=$(sed -n 's/.*: [0-9]* steps, \([0-9.]*\) ms wall.*/\1/p' "$dir/bare.txt")
awk -v s="$simulated_ms" -v w="$skim_wall" -v c="$skim_cpu" -v bc="$bare_cpu_ms" \
  -v bw="$bare_wall_ms" -v rows=$rows -v steps=$steps 'BEGIN {
  sim = s / 1000
  printf "motion_skim: %d rows, %d control steps, %.1f s simulated in %.2f s wall, %.2f s CPU\n",
    rows, steps, sim, w, c
  printf "bare mj_step loop: %.2f ms wall, %.2f ms CPU per simulated second\n", bw, bc
  printf "simulated time / wall time: %6.1f x real time (goal >= 50)\n", sim / w
  printf "simulated time / CPU time:  %6.1f x real time\n", sim / c
  printf "stand-in CPU per simulated second / bare loop: %.3f x (goal <= 1.1)\n", (c / sim * 1000) / bc
}'
