# A motion's centre of pressure and margin before and after --balance:
#   gnuplot -e "before='before.csv'; after='after.csv'" docs/balancer_plot.gp
# after motion_check --balance --balance-csv of the motion and of the result
# (docs/balancer.md shows the commands). Time runs from the file's second
# row on, so that the player's approach to the first row (longer after:
# the hips start over the left sole) does not shift one against the other.
set terminal pngcairo size 1100,640 font ",10"
set output 'docs/balancer_plot.png'
set datafile separator ','
stats before every ::1 using ($1 > 1 ? $2 : 1/0) nooutput
t0b = STATS_min
stats after every ::1 using ($1 > 1 ? $2 : 1/0) nooutput
t0a = STATS_min
# Before, the robot falls: the check stops judging once the centre of
# pressure leaves the support; the curve stops 0.1 s later.
stats before every ::1 using ($10 < 0 ? $2 : 1/0) nooutput
fall = STATS_min + 0.1
set multiplot layout 2,1 title 'docs/balance\_lift.keys: the right foot lifted with no weight shift, before and after motion\_compose --balance'
set key top right
set xlabel 'time in the motion, s'
set xrange [-0.1:3.2]
set ylabel 'y left, mm'
set title 'centre of pressure across the robot (the check''s, as the robot sways on its servos)'
set label 1 'before: falls' at fall - t0b + 0.03, 5 tc rgb '#d62728'
plot before every ::1 using ($2 - t0b):($2 <= fall ? $6*1000 : 1/0) with lines lw 2 lc rgb '#d62728' title 'before', \
     after every ::1 using ($2 - t0a):($6*1000) with lines lw 2 lc rgb '#1f77b4' title 'after', \
     after every ::1 using ($2 - t0a):($8*1000) with lines lw 1 dt 2 lc rgb '#888888' title 'middle of the support, after'
set ylabel 'margin, mm'
set yrange [-30:60]
set title 'its margin inside the support''s edge (below 0: outside, the robot falls)'
set label 1 'before: falls' at fall - t0b + 0.03, -20 tc rgb '#d62728'
plot before every ::1 using ($2 - t0b):($2 <= fall ? $10 : 1/0) with lines lw 2 lc rgb '#d62728' title 'before', \
     after every ::1 using ($2 - t0a):10 with lines lw 2 lc rgb '#1f77b4' title 'after', \
     15 with lines lw 1 dt 2 lc rgb '#2ca02c' title '--margin 15 (the default)', \
     0 with lines lw 1 lc rgb '#000000' notitle
unset multiplot
