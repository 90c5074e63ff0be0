#!/usr/bin/env bash
# The walker's whole run in the physics world, as fast as possible, trace
# and log off: 60 s of simulated walking (forward, a curve, sideways,
# backward, a stop) over its wall and CPU time: the real-time factor, with
# the gait engine, the stand-in and the physics together. Best of three.
#   bench/walker_realtime.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
build=$(realpath "${1:-build/release}")
runs=3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
simulated_ms=60000
cat >"$dir/walk.txt" <<'SCRIPT'
0 walk 0.2 0 0
15000 walk 0.1 0 0.3
30000 walk 0 0.05 0
45000 walk -0.1 0 0
58000 stop
SCRIPT
best_wall= best_cpu=
for _ in $(seq $runs); do
  line=$( { TIMEFORMAT='%R %U %S'; time STANDIN_PACE=fast STANDIN_STOP_MS=$simulated_ms \
    "$build/walker/walker" --script "$dir/walk.txt" >/dev/null 2>"$dir/err" </dev/null; } 2>&1)
  if grep -q "fell" "$dir/err"; then cat "$dir/err" >&2; exit 1; fi
  read -r best_wall best_cpu < <(awk -v l="$line" -v w="$best_wall" -v c="$best_cpu" 'BEGIN {
    split(l, t, " "); cpu = t[2] + t[3]
    if (w == "" || t[1] < w) w = t[1]
    if (c == "" || cpu < c) c = cpu
    print w, c }')
done
awk -v s=$simulated_ms -v w="$best_wall" -v c="$best_cpu" 'BEGIN {
  printf "walker: %.0f s simulated in %.2f s wall, %.2f s CPU: %.0fx real time (wall), %.0fx (CPU)\n",
    s / 1000, w, c, s / 1000 / w, s / 1000 / c }'
