#!/usr/bin/env bash
# The walker against pushes on the chest, in the physics world, its loop
# closed and open (--open-loop) on the same script and the same pushes:
#   - walking at 0.15 m/s: a 100 ms push at 8 moments spread over a stride
#     (two steps, 0.6 s), from the front, the back, the left and the right;
#     the largest impulse survived at each moment, by bisection;
#   - standing ready, no command: the largest impulse survived each way;
#   - 60 s straight at 0.15 m/s: the sideways drift and the heading at the end;
#   - the fastest forward command held 30 s: the speed over its last 20 s.
# Survived means no fall within 3 s of the push (the stand-in's "the robot
# fell"), and, walking, going on forward at a third of the command or more
# over the last of those seconds. The posture log's GPS and heading say
# where the robot went; the walker never reads them.
#   bench/walker_push.sh [BUILD_DIR] [walking|standing|straight|fastest|all]
set -euo pipefail
build=$(realpath "${1:-build/release}")
what=${2:-all}
modes=${MODES:-closed open}  # which loops to play
walker=$build/walker/walker
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The walk starts at the script's 0 (the stand-in's 128 ms): steady by 4 s.
first_push_ms=4000
stride_ms=600
moments=8
push_ms=100
after_ms=3000
steps=7    # bisection steps: 4.8 N·s / 2^7, 0.04 N·s apart
most=4.8   # N·s, the bisection's top

# Runs the walker with script $1 and extra arguments; pushes $2; until $3 ms.
# Leaves the posture log in $dir/log.csv and stderr in $dir/err.
play() {
  local script=$1 pushes=$2 stop=$3
  shift 3
  printf '%b' "$script" >"$dir/walk.txt"
  STANDIN_WORLD=physics STANDIN_PACE=fast STANDIN_STOP_MS=$stop STANDIN_PUSH="$pushes" \
    STANDIN_POSTURE_LOG=$dir/log.csv "$walker" --script "$dir/walk.txt" "$@" \
    </dev/null >/dev/null 2>"$dir/err"
}

# Whether the robot survives a push of $3 N·s at $4 ms along ($1, $2);
# walking at $5 m/s; the walker's extra arguments after.
survives() {
  local ux=$1 uy=$2 impulse=$3 at=$4 speed=$5
  shift 5
  local force
  force=$(awk -v j="$impulse" -v ms=$push_ms 'BEGIN { printf "%.3f", j / (ms / 1000) }')
  local fx fy
  fx=$(awk -v f="$force" -v u="$ux" 'BEGIN { printf "%.3f", f * u }')
  fy=$(awk -v f="$force" -v u="$uy" 'BEGIN { printf "%.3f", f * u }')
  local end=$((at + push_ms + after_ms))
  local script="0 walk $speed 0 0\n"
  [ "$speed" = 0 ] && script="# standing\n"
  play "$script" "$at:$fx,$fy,0:$push_ms" $end "$@"
  grep -q "the robot fell" "$dir/err" && return 1
  [ "$speed" = 0 ] && return 0
  # Walking on: over the last second, forward along the commanded heading.
  awk -F, -v from=$((end - 1000)) -v speed="$speed" '
    NR > 1 && $1 >= from { if (x0 == "") x0 = $27; x1 = $27 }
    END { exit !(x1 - x0 >= speed / 3) }' "$dir/log.csv"
}

# The largest impulse survived, N·s, by bisection; arguments as survives's
# without the impulse.
largest() {
  local ux=$1 uy=$2 at=$3 speed=$4
  shift 4
  local low=0 high=$most k
  for ((k = 0; k < steps; k++)); do
    local mid
    mid=$(awk -v a=$low -v b=$high 'BEGIN { printf "%.4f", (a + b) / 2 }')
    if survives "$ux" "$uy" "$mid" "$at" "$speed" "$@"; then low=$mid; else high=$mid; fi
  done
  printf '%.2f' "$low"
}

directions=("front -1 0" "back 1 0" "left 0 -1" "right 0 1")

walking() {
  for mode in $modes; do
    local args=()
    [ $mode = open ] && args=(--open-loop)
    for d in "${directions[@]}"; do
      read -r name ux uy <<<"$d"
      local line="walking $mode $name:" least=
      for ((m = 0; m < moments; m++)); do
        local at=$((first_push_ms + m * stride_ms / moments))
        local j
        j=$(largest "$ux" "$uy" $at 0.15 "${args[@]}")
        line+=" $j"
        least=$(awk -v a="$least" -v b="$j" 'BEGIN { print (a == "" || b < a) ? b : a }')
      done
      echo "$line  (least $least N·s)"
    done
  done
}

standing() {
  for mode in $modes; do
    local args=()
    [ $mode = open ] && args=(--open-loop)
    local line="standing $mode:"
    for d in "${directions[@]}"; do
      read -r name ux uy <<<"$d"
      line+=" $name $(largest "$ux" "$uy" 3000 0 "${args[@]}")"
    done
    echo "$line N·s"
  done
}

# Plays `script` until `stop` ms with each loop of $modes, and prints what
# the awk `program` makes of the posture log (the loop in its `mode`); a
# fall is told as "NAME LOOP: fell".
held_walk() {
  local name=$1 script=$2 stop=$3 program=$4
  for mode in $modes; do
    local args=()
    [ $mode = open ] && args=(--open-loop)
    play "$script" "" "$stop" "${args[@]}"
    awk -F, -v mode=$mode "$program" "$dir/log.csv"
    if grep -q "the robot fell" "$dir/err"; then echo "$name $mode: fell"; fi
  done
}

straight() {
  # From the walk's start (the script's 0 is 128 ms) to 60 s later.
  held_walk straight "0 walk 0.15 0 0\n" 62000 '
    NR > 1 && $1 >= 128 && x0 == "" { x0 = $27; y0 = $28 }
    NR > 1 && $1 <= 60128 { x1 = $27; y1 = $28; yaw = $33 }
    END { d = sqrt((x1 - x0)^2 + (y1 - y0)^2)
          printf "straight %s: 60 s at 0.15 m/s went %.2f m, %.3f m sideways (%.1f%%), heading %.3f rad at the end\n",
            mode, x1 - x0, y1 - y0, 100 * (y1 - y0) / d, yaw }'
}

fastest() {
  held_walk fastest "0 walk 1 0 0\n" 32200 '
    NR > 1 && $1 >= 12000 && x0 == "" { x0 = $27; t0 = $1 }
    NR > 1 && $1 <= 32000 { x1 = $27; t1 = $1; if ($30 > tilt) tilt = $30 }
    END { printf "fastest %s: walk 1 0 0 held 30 s: %.3f m/s over the last 20 s, tilt at most %.2f rad\n",
            mode, (x1 - x0) / ((t1 - t0) / 1000), tilt }'
}

case $what in
  walking) walking ;;
  standing) standing ;;
  straight) straight ;;
  fastest) fastest ;;
  all) straight; fastest; standing; walking ;;
  *) echo "usage: bench/walker_push.sh [BUILD_DIR] [walking|standing|straight|fastest|all]" >&2; exit 2 ;;
esac
