# End-to-end throughput against request size, from tessal_bench's throughput.dat.
# Called with -e "datafile='...'; outfile='...'".
set terminal png size 900,560
set output outfile
set title "tessal end to end on the simulator: throughput against request size"
set xlabel "request size (bytes)"
set ylabel "MB/s"
set logscale xy 2
set format x "%.0b%B"
set key top left
set grid
plot datafile using 1:2 with linespoints title "WRITE, link 2 MB/s", \
     datafile using 1:3 with linespoints title "READ, link 2 MB/s", \
     datafile using 1:4 with linespoints title "WRITE, unlimited link", \
     datafile using 1:5 with linespoints title "READ, unlimited link", \
     2 with lines dashtype 2 title "link rate 2 MB/s"
