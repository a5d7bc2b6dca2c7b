# Plots the output of pdsplit with gnuplot (5.2 or later):
#   top:    the total DOS (file iDOS of `pdsplit -t`)
#   bottom: one atom's projected DOS summed per orbital s, p, d (and f)
#           (file iLDOS001 of `pdsplit -p 1`)
# against the energy minus the Fermi level, which is marked at E = 0.
# Spin-polarised files show spin up above zero and spin down, negated, below.
# l- and l,m-projected files both work: for l,m the m components are added.
#
# In a calculation folder, after `pdsplit -t` and `pdsplit -p 1`:
#   gnuplot /usr/share/pdsplit/plot.gp            -> dos.png in this folder
# (`cmake --install` puts the script in <prefix>/share/pdsplit/.)
# Another folder, atom, output file or energy window:
#   gnuplot -e "dir='run1'; atom='iLDOS002'; out='run1.png'; emin=-6; emax=4" plot.gp

if (!exists("dir"))  dir  = "."
if (!exists("atom")) atom = "iLDOS001"
if (!exists("out"))  out  = "dos.png"
tfile = dir."/iDOS"
pfile = dir."/".atom
place = (dir eq ".") ? GPVAL_PWD : dir

# A value below 1e-99 is written without the letter E ("0.1000-149"), which
# gnuplot would read as 0.1: the data are plotted through sed, which puts
# the E in ("0.1000E-149").
data(f) = sprintf("< sed -E 's/([0-9])([-+][0-9]{3})/\\1E\\2/g' '%s'", f)

# --- what kind of file: count the columns of the first line
stats tfile nooutput
spin = (STATS_columns == 5)            # E, up, down, int up, int down
stats pfile nooutput
nval = STATS_columns - 1               # values per line
nper = spin ? nval / 2 : nval          # values per spin channel: 3 or 4 (l), 9 or 16 (l,m)
if (nper != 3 && nper != 4 && nper != 9 && nper != 16) {
    print sprintf("%s: %d value columns is not a projected DOS file", pfile, nval)
    exit status 1
}

# Orbital k (1 s, 2 p, 3 d, 4 f) covers the per-channel values first[k] .. last[k].
norb = (nper == 4 || nper == 16) ? 4 : 3
array name[4] = ["s", "p", "d", "f"]
array first[4]
array last[4]
if (nper <= 4) {
    do for [k=1:4] { first[k] = k; last[k] = k }
} else {
    first[1] = 1;  last[1] = 1          # s
    first[2] = 2;  last[2] = 4          # py pz px
    first[3] = 5;  last[3] = 9          # dxy dyz dz2 dxz x2-y2
    first[4] = 10; last[4] = 16         # fy3x2 fxyz fyz2 fz3 fxz2 fzx2 fx3
}
# File column of value j of spin channel s (0 up, 1 down): spin-polarised
# lines hold each value as up then down.
col(j, s) = spin ? 2*j + s : 1 + j
orb(k, s) = sum [j=first[k]:last[k]] column(col(j, s))

# --- page
if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 900,600 font "Sans,10" linewidth 1.2
} else {
    set terminal png size 900,600
}
set output out

array colour[4] = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd"]
set style line 100 lc rgb "black" dt 2 lw 1
set arrow 1 from 0, graph 0 to 0, graph 1 nohead ls 100 front
set label 1 "E_F" at 0, graph 1 offset 0.5, -1 front
set xzeroaxis lt -1 lw 0.5
set grid xtics lc rgb "#dddddd"
set key top left Left reverse opaque box width 1
if (exists("emin") && exists("emax")) { set xrange [emin:emax] } else { set xrange [*:*] }
set mxtics 2

set multiplot layout 2,1 title sprintf("%s, %s", place, spin ? "spin-polarised" : "not spin-polarised")

set title "Total DOS"
set ylabel "DOS (states/eV)"
unset xlabel
if (spin) {
    plot data(tfile) using 1:2 with lines lc rgb "black" title "up", \
         ''    using 1:(-$3) with lines lc rgb "#777777" title "down (negated)"
} else {
    plot data(tfile) using 1:2 with lines lc rgb "black" title "total"
}

set title sprintf("Projected DOS of %s%s", atom, spin ? ", spin up above zero, spin down below" : "")
set xlabel "E - E_F (eV)"
set ylabel "projected DOS (states/eV)"
if (spin) {
    plot for [k=1:norb] data(pfile) using 1:(orb(k, 0)) with lines lc rgb colour[k] title name[k], \
         for [k=1:norb] data(pfile) using 1:(-orb(k, 1)) with lines lc rgb colour[k] notitle
} else {
    plot for [k=1:norb] data(pfile) using 1:(orb(k, 0)) with lines lc rgb colour[k] title name[k]
}
unset multiplot
set output
