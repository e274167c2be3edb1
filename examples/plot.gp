# Draws examples/damped.png from the converter's own output:
#   build/release/curvedump examples/damped.bin && gnuplot examples/plot.gp
set terminal pngcairo size 800,450 font "sans,10"
set output "examples/damped.png"
set title "examples/damped.bin: series 2 against series 1"
set xlabel "series 1 (time, s)"
set ylabel "series 2 (signal)"
set grid
set key off
plot "examples/damped.bin.txt" using 1:2 with linespoints pointtype 7 pointsize 0.4 linewidth 1.5
