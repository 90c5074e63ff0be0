#!/usr/bin/env bash
# Regenerates the bundled motions with the project's own generator, composes
# the keyframe demo, and checks them: each must pass motion_check without a
# finding.
#   motions/regenerate.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
# Row periods divide 50 ms, so motion_player plays them at their own pace.
# motion  row period (ms)  length (s)
while read -r motion period seconds; do
  "$build/tools/motion_gen" "$motion" "$period" "$seconds" >"motions/${motion}_${period}ms.csv"
done <<'LIST'
wave 10 12
squat 10 9
step 10 10
bow 25 6
swing 1 8
LIST
# Keyframe scripts, each in a folder with its tuner-style postures.
# script  row period (ms)
while read -r script period; do
  "$build/tools/motion_compose" "motions/$script/$script.keys" --period "$period" \
    -o "motions/${script}_${period}ms.csv"
done <<'LIST'
salute 10
LIST
# Walks, each passing motion_check and walking in the physics world.
# file  motion_walk arguments
while read -r name args; do
  # shellcheck disable=SC2086
  "$build/tools/motion_walk" -o "motions/${name}_10ms.csv" $args >/dev/null
done <<'LIST'
walk_forward --steps 16 --stride 0.04
walk_backward --steps 12 --stride -0.04
walk_left --steps 12 --stride 0 --side 0.02 --step-time 0.4 --lift 0.02
turn_left --steps 12 --stride 0 --turn 0.15
turn_right --steps 12 --stride 0 --turn -0.15
LIST
"$build/tools/motion_check" motions/*.csv
