# Throughput against input size, log axes. Called by bench/run with
# data='docs/bench.dat', out='docs/bench.png', files (the last column of a
# file-to-file tool) and columns (1 + the tool count).
set terminal pngcairo size 900,560 font ",11" noenhanced
set output out
set title "wavwrap and its peers: whole-process throughput (higher is better)"
set xlabel "input size (bytes)"
set ylabel "MiB/s"
set logscale xy
set format x "%.0s%cB"
set key left top
set grid
set key autotitle columnhead
# One colour per tool; the pipelines dashed.
colours = "#9400d3 #009e73 #56b4e9 #e69f00 #c0b020 #0072b2 #e51e10 #000000 #d55e00 #808080 #f0a0c0 #50a050 #a05000 #3050a0"
plot for [i=2:files] data using 1:i with linespoints lw 2 pt 7 lc rgb word(colours, i - 1), \
     for [i=files+1:columns] data using 1:i with linespoints lw 2 pt 7 lc rgb word(colours, i - 1) dt 2
