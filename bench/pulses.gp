# The motor signal the virtual controller saw, a few pulses per level.
# Called with -e "data='<folder>'; output='<png>'; machine='<text>'".
set terminal pngcairo size 1100,1000 font ",10" noenhanced
set output output
set multiplot layout 4,1 title "Motor signal at the HID library boundary (" . machine . ")"
on_ms = "30 50 75 99"
off_ms = "70 50 25 1"
set xlabel "ms since the first shown switch-on"
set xrange [-10:*]
set autoscale xfixmax
set yrange [-0.3:3.3]
set ytics ("off" 0, "on" 1, "off" 2, "on" 3)
set grid xtics
set key outside right
do for [level = 1:4] {
    set title sprintf("Level %d: %s ms on, %s ms off", level, word(on_ms, level), word(off_ms, level))
    plot sprintf("%s/target_%d.dat", data, level) using 1:(-0.3):(0):(3.6) \
             with vectors nohead dashtype 3 linecolor rgb "gray40" title "target edges", \
         sprintf("%s/busy_%d.dat", data, level) using 1:($2 + 2) \
             with lines linewidth 2 linecolor rgb "#c0392b" title "busy-wait (program)", \
         sprintf("%s/sleeping_%d.dat", data, level) using 1:2 \
             with lines linewidth 2 linecolor rgb "#2471a3" title "sleeping (bench driver)"
}
unset multiplot
