# The time of one scan against the number of processes, for both workloads:
#   gnuplot -e "results='DIR'" bench/plot.gp > docs/sweep-time.png
set terminal pngcairo size 960,420 font ",10"
set multiplot layout 1,2
set xlabel "processes"
set ylabel "ms"
set key top left
set grid
do for [kind in "descriptors maps"] {
  set title kind eq "maps" ? "2,000 map lines a process" : "64 descriptors a process"
  file = results . "/" . kind . ".dat"
  plot file using 1:2 with linespoints title "sweep", \
       file using 1:3 with linespoints title "fuser -m", \
       file using 1:4 with linespoints title "lsof"
}
unset multiplot
