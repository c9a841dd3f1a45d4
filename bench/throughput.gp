# End-to-end throughput against request size, from tessal_bench's throughput.dat.
# Called with -e "datafile='...'; outfile='...'".
set terminal png size 900,600
set output outfile
set title "tessal end to end on the simulator: throughput against request size"
set xlabel "request size"
set ylabel "MB/s"
set logscale xy 2
set xtics ("1 KiB" 1024, "4 KiB" 4096, "16 KiB" 16384, "64 KiB" 65536, "256 KiB" 262144, \
           "1 MiB" 1048576, "4 MiB" 4194304, "8 MiB" 8388608)
set key outside top center horizontal
set grid
plot datafile using 1:2 with linespoints title "WRITE, link 2 MB/s", \
     datafile using 1:3 with linespoints title "READ, link 2 MB/s", \
     datafile using 1:4 with linespoints title "WRITE, unlimited link", \
     datafile using 1:5 with linespoints title "READ, unlimited link", \
     2 with lines dashtype 2 lc rgb "black" title "link rate"
