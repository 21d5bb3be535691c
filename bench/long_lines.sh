#!/usr/bin/env bash
# Peak resident memory of every program when a line of an input, or an
# answer, is LINE_MB long (default 100; 500 for the second column of the
# table in README.md), and when planeview's fin file is /dev/zero (stopped
# at its first field).
#
#   bench/long_lines.sh [LINE_MB]
#
# The programs are built in Release in build-bench (BIN=folder takes them
# from there instead, e.g. an older build; ZERO=0 leaves out the /dev/zero
# run, which an older build reads until memory runs out); the inputs (about
# four times LINE_MB) go to a scratch folder under TMPDIR, removed at the
# end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mb=${1:-100}
build="$top/build-bench"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ovoclip planeview honer mergetab timeit >/dev/null
bin=${BIN:-$build/bin}
timeit="$build/bench-bin/timeit"
work=$(mktemp -d "${TMPDIR:-/tmp}/suite-long-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# LINE_MB bytes of one letter, no line feed.
long() { head -c $((mb << 20)) /dev/zero | tr '\0' "$1"; }

cell="   50.00   60.00   70.00   90.00   90.00   90.00"
axes="      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000"
limits="      2.5000      2.0000      1.8000"
printf 'long_input.hkl\ncut.hkl\n%s\n%s\n%s\n' "$cell" "$axes" "$limits" > ovo.inp
{ printf '!TITLE '; long h; printf '\n!END_OF_HEADER\n    19     0     0  1.000E+02  1.000E+01'; long r
  printf '\n!END_OF_DATA\n'; } > long_input.hkl
{ long x; printf '\n     eigenB\n\n\n     -23.456'; long y; printf '\n'; } > phaser.log
{ printf 'XSCALE log\n'; long x
  printf '\n SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION\n\n\n\n'
  for j in $(seq 1 21); do
    printf '   %6.2f%12d%8d%10d%11.1f%%%10.1f%%%21s%6.2f' "$((10 - j / 3))" $((1000 + j)) 250 260 99.0 3.0 "" 20.0
    [ "$j" = 1 ] && long ' '
    printf '\n'
  done; } > xscale.lp
printf 'x.hkl\ny.hkl\n%s\naxes\n%s\n' "$cell" "$limits" > script.inp
{ printf '   0   6   0      250.00       10.00        0.00        0.00        0.00        0.00        0.00        0.00'
  long ' '; printf '\n'; } > fin.dat
{ printf '    45678'; long p; printf '\n     5678\n        1.23\n    40000.00\n'; } > pv.inp
{ printf 'title\nSCAL FILE_NUMBER 1 1.00      -23.456'; long c; printf '\nLABI\nLABO\nend\n'; } > cad.inp

peak() {  # program, answers (or "long" for a LINE_MB answer)
  local program=$1 answers=$2 kb
  rm -f cut.hkl pv.out cad.com stats.html out.ps long_inpu_reslimit.dat
  if [ "$answers" = long ]; then long a > answer; else printf '%b' "$answers" > answer; fi
  # timeit's own line ("wall user sys peak_kB") comes after any report.
  kb=$({ "$timeit" -i answer -o /dev/null -- "$bin/$program" 2>&1 || true; } | tail -1 | awk '{ print $4 }')
  printf '%-10s %-28s %6.1f MB\n' "$program" "$3" "$(echo "$kb / 1024" | bc -l)"
}

echo "== peak resident memory, lines and answers of $mb MB"
peak ovoclip 'ovo.inp\npv.out\n' "header line and record"
peak honer 'phaser.log\ncad.com\n' "log lines"
peak mergetab 'xscale.lp\nxscale.lp\nstats.html\n' "log line and shell row"
peak planeview 'script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n' "fin, planeview script, cad"
if [ "${ZERO:-1}" != 0 ]; then
  peak planeview 'script.inp\n/dev/zero\nout.ps\npv.inp\ncad.inp\n' "/dev/zero as the fin file"
fi
for program in ovoclip honer mergetab planeview; do peak "$program" long "answer"; done
