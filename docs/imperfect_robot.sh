#!/bin/sh
# The imperfect robot's figures in docs/standin.md, measured in the physics
# world with the probe controller of the tests:
#   docs/imperfect_robot.sh [BUILD]     (BUILD defaults to build/release)
# draws docs/servo_response.png and prints the standing tables.
set -eu
build=${1:-build/release}
probe=$build/tests/standin_probe
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

run() {  # run NAME SCRIPT [VARIABLE=VALUE...]: the posture log in $data/NAME.csv
  name=$1 script=$2
  shift 2
  env STANDIN_PACE=fast STANDIN_WORLD=physics STANDIN_POSTURE_LOG="$data/$name.csv" "$@" \
    "$probe" <"$script" >/dev/null 2>"$data/$name.err"
}

# The left shoulder's pitch (larm_joint_1, column 15) commanded from hanging
# to 0.5 rad at 100 ms, 2 ms steps.
printf 'live\nget larm_joint_1\nrepeat 50 step 2\nset larm_joint_1 0.5\nrepeat 150 step 2\n' \
  >"$data/step.txt"
run step_perfect "$data/step.txt"
run step_latency "$data/step.txt" STANDIN_SERVO_LATENCY=30
run step_backlash "$data/step.txt" STANDIN_SERVO_BACKLASH=0.02
run step_both "$data/step.txt" STANDIN_SERVO_LATENCY=30 STANDIN_SERVO_BACKLASH=0.02

# The same arm swept slowly from 0.8 rad (forward) to -0.8 (back) at
# 0.05 rad/s: gravity's pull on the shoulder reverses at 0.
awk 'BEGIN { print "live\nget larm_joint_1\nrepeat 50 step 10";
             for (n = 0; n <= 3200; ++n) printf "set larm_joint_1 %.4f\nstep 10\n", 0.8 - n * 0.0005;
             print "repeat 50 step 10" }' >"$data/sweep.txt"
run sweep_perfect "$data/sweep.txt" STANDIN_POSTURE=larm_joint_1=0.8
run sweep_backlash "$data/sweep.txt" STANDIN_POSTURE=larm_joint_1=0.8 STANDIN_SERVO_BACKLASH=0.02
# The hanging arm's shoulder roll (larm_joint_2, column 16), unloaded,
# commanded up in steps of 0.004 rad every 200 ms.
awk 'BEGIN { print "live\nget larm_joint_2\nrepeat 20 step 10";
             for (n = 1; n <= 10; ++n) printf "set larm_joint_2 %.3f\nrepeat 20 step 10\n", n * 0.004 }' \
  >"$data/stairs.txt"
run stairs_perfect "$data/stairs.txt"
run stairs_deadband "$data/stairs.txt" STANDIN_SERVO_DEADBAND=0.01
gnuplot -e "data='$data'" docs/servo_response.gp

# Standing: 10 s, 10 ms steps; the last row, the largest tilt, the fall.
printf 'live\nrepeat 1000 step 10\n' >"$data/stand.txt"
stand() {  # stand LABEL [VARIABLE=VALUE...]: one table row
  label=$1
  shift
  run stand "$data/stand.txt" "$@"
  awk -F, -v label="$label" -v err="$data/stand.err" '
    NR == 2 { x0 = $27; y0 = $28; z0 = $29 }
    NR > 1 && $30 > most { most = $30 }
    END {
      fell = "stands"
      while ((getline line < err) > 0)
        if (line ~ /fell at/) { sub(/.*fell at /, "", line); fell = "falls at " line }
      moved = sqrt(($27 - x0) ^ 2 + ($28 - y0) ^ 2) * 1000
      printf "| %s | %s | %.1f | %.1f | %.1f |\n", label, fell, most * 57.29578, $30 * 57.29578, moved
    }' "$data/stand.csv"
}
echo "| setting | 10 s standing | largest tilt, ° | tilt at 10 s, ° | pelvis moved, mm |"
echo "|---|---|---|---|---|"
stand "none"
for d in 1 2 3 4 5; do stand "STANDIN_FLOOR_SLOPE=0,$d (down ahead)" STANDIN_FLOOR_SLOPE=0,$d; done
for d in 1 3 5; do stand "STANDIN_FLOOR_SLOPE=0,-$d (down behind)" STANDIN_FLOOR_SLOPE=0,-$d; done
for d in 1 3 5; do stand "STANDIN_FLOOR_SLOPE=$d,0 (down to the right)" STANDIN_FLOOR_SLOPE=$d,0; done
for mu in 0.03 0.05 0.06 0.1; do
  stand "STANDIN_FLOOR_SLOPE=0,3 STANDIN_FLOOR_FRICTION=$mu" STANDIN_FLOOR_SLOPE=0,3 \
    STANDIN_FLOOR_FRICTION=$mu
done
for f in 0.5 0.8 1.25 2; do stand "STANDIN_MASS_SCALE=$f" STANDIN_MASS_SCALE=$f; done
for x in 20 50 -50; do stand "STANDIN_COM_SHIFT=$x,0" STANDIN_COM_SHIFT=$x,0; done
stand "STANDIN_COM_SHIFT=0,50" STANDIN_COM_SHIFT=0,50
crouch=lleg_joint_3=-0.505,rleg_joint_3=-0.505,lleg_joint_4=1.01,rleg_joint_4=1.01
crouch=$crouch,lleg_joint_5=-0.505,rleg_joint_5=-0.505
stand "walking crouch" STANDIN_POSTURE=$crouch
for f in 0.5 0.4 0.3; do
  stand "walking crouch, STANDIN_SERVO_STRENGTH=$f" STANDIN_POSTURE=$crouch STANDIN_SERVO_STRENGTH=$f
done

# Bumps: ten floors of each height.
echo
echo "| bumps up to | stands on | largest tilt of those standing, ° |"
echo "|---|---|---|"
for mm in 2 5 10 20 30; do
  for seed in 1 2 3 4 5 6 7 8 9 10; do stand "$seed" STANDIN_FLOOR_BUMPS=$mm:$seed; done |
    awk -F'|' -v mm="$mm" '
      $3 ~ /stands/ { ++up; if ($4 + 0 > most) most = $4 + 0 }
      END { printf "| %s mm | %d of 10 floors | %.1f |\n", mm, up, most }'
done
