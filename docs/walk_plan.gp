# The walk's plan over its footprints: gnuplot -e "plan='plan.csv'" docs/walk_plan.gp
# after build/release/tools/motion_walk -o walk.csv --plan-csv plan.csv
set terminal pngcairo size 1100,420 font ",10"
set output 'docs/walk_plan.png'
set datafile separator ','
set key autotitle columnhead top left
set size ratio -1
set xlabel 'x forward, m'
set ylabel 'y left, m'
set title 'motion_walk: the planned centre of mass and centre of pressure over the footprints (16 steps of 4 cm)' noenhanced
# Soles 0.13 x 0.074 m, drawn where each foot stands.
plot plan every ::1 using ($12==1 ? $8 : 1/0):9:(0.065):(0.037) with boxxyerror fs empty lc rgb '#bbbbbb' title 'left sole', \
     '' every ::1 using ($17==1 ? $13 : 1/0):14:(0.065):(0.037) with boxxyerror fs empty lc rgb '#dddddd' title 'right sole', \
     '' using 6:7 with lines lw 1 lc rgb '#888888' dt 2 title 'pressure reference', \
     '' using 4:5 with lines lw 2 lc rgb '#d62728' title 'planned centre of pressure', \
     '' using 2:3 with lines lw 2 lc rgb '#1f77b4' title 'planned centre of mass'
