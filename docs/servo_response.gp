# One servo of the imperfect robot: gnuplot -e "data='DIR'" docs/servo_response.gp,
# DIR holding the posture logs docs/imperfect_robot.sh writes.
set terminal pngcairo size 1500,460 font ",10"
set output 'docs/servo_response.png'
set datafile separator ','
set multiplot layout 1,3
set grid
set key bottom right

set title 'Latency and backlash: a step from 0 to 0.5 rad at 100 ms'
set xlabel 'time, ms'
set ylabel 'shoulder pitch (larm\_joint\_1), rad'
set xrange [60:400]
set arrow from 100,0 to 100,0.5 nohead dt 3 lc rgb '#888888'
set arrow from 100,0.5 to 400,0.5 nohead dt 3 lc rgb '#888888'
plot data.'/step_perfect.csv' every ::1 using 1:15 with lines lw 2 lc rgb '#1f77b4' title 'perfect', \
     data.'/step_latency.csv' every ::1 using 1:15 with lines lw 2 lc rgb '#ff7f0e' title 'latency 30 ms', \
     data.'/step_backlash.csv' every ::1 using 1:15 with lines lw 2 lc rgb '#2ca02c' title 'backlash 0.02 rad', \
     data.'/step_both.csv' every ::1 using 1:15 with lines lw 2 dt 2 lc rgb '#d62728' title 'both'
unset arrow

set title 'Backlash: the arm swept from forward to back; the load reverses near 0'
set xlabel 'commanded angle, rad (0.05 rad/s)'
set ylabel 'angle less command, rad'
set xrange [0.8:-0.8]
set yrange [-0.02:0.02]
set key top left
# The command at row t (ms): 0.8 until 500 ms, then 0.0005 rad less each 10 ms step.
cmd(t) = t <= 500 ? 0.8 : (t >= 32510 ? -0.8 : 0.8 - 0.0005 * (t - 500) / 10)
plot data.'/sweep_perfect.csv' every ::1 using (cmd($1)):($15 - cmd($1)) with lines lw 2 lc rgb '#1f77b4' title 'perfect', \
     data.'/sweep_backlash.csv' every ::1 using (cmd($1)):($15 - cmd($1)) with lines lw 2 lc rgb '#2ca02c' title 'backlash 0.02 rad'

set title 'Deadband: commands 0.004 rad apart, every 200 ms'
set xlabel 'time, ms'
set ylabel 'shoulder roll (larm\_joint\_2), rad'
set xrange [0:2200]
set yrange [-0.002:0.044]
set key top left
stairs(t) = t < 200 ? 0 : 0.004 * (int((t - 200) / 200) + 1 > 10 ? 10 : int((t - 200) / 200) + 1)
plot data.'/stairs_perfect.csv' every ::1 using 1:(stairs($1 - 1)) with steps dt 3 lc rgb '#888888' title 'command', \
     data.'/stairs_perfect.csv' every ::1 using 1:16 with lines lw 2 lc rgb '#1f77b4' title 'perfect', \
     data.'/stairs_deadband.csv' every ::1 using 1:16 with lines lw 2 lc rgb '#9467bd' title 'deadband 0.01 rad'
unset multiplot
