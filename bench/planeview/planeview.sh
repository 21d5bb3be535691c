#!/usr/bin/env bash
# Times planeview on a generated fin file against reading the same file
# twice with cat (planeview reads it twice), and reports its peak memory.
#   bench/planeview/planeview.sh [COUNT]      (default 10000000, about 1.1 GB)
# The fin file and the page go to a scratch folder under ${TMPDIR:-/tmp},
# removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
count=${1:-10000000}
build="$top/build-bench-planeview"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release -DSUITE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target planeview >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/planeview-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
g++ -O2 -std=c++20 -o generate_fin "$here/generate_fin.cpp"
./generate_fin "$count" in.fin
printf 'XDS_ASCII.HKL\ntruncated.hkl\n   50.00   60.00   70.00   90.00  100.00   90.00\n      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n      2.5000      2.0000      1.8000\n' > ovo.inp
printf '%9d\n%9d\n%12.2f\n%12.2f\n' 12000000 2000000 1.87 10000000 > pv.inp
printf 'title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -12.345\nLABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n' > cad.inp
bytes=$(stat -c %s in.fin)
echo "fin file: $count records, $bytes bytes"
cat in.fin >/dev/null   # warm the page cache
now() { date +%s.%N; }
# Wall time and CPU time (user + system) of each; on a busy machine the CPU
# times are the steadier comparison.
for rep in 1 2 3; do
  rm -f page.ps
  t0=$(now)
  /usr/bin/time -f '%U %S' -o cat.txt sh -c 'cat in.fin >/dev/null; cat in.fin >/dev/null'
  t1=$(now)
  /usr/bin/time -v -o time.txt "$build/bin/planeview" <<<$'ovo.inp\nin.fin\npage.ps\npv.inp\ncad.inp' >/dev/null
  t2=$(now)
  peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt)
  pvcpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' time.txt)
  catcpu=$(awk '{ print $1 + $2 }' cat.txt)
  awk -v a="$t0" -v b="$t1" -v c="$t2" -v m="$peak" -v n="$bytes" -v r="$count" -v p="$(stat -c %s page.ps)" \
      -v pc="$pvcpu" -v cc="$catcpu" \
    'BEGIN { cat2=b-a; pv=c-b; printf "rep: wall: cat twice %.3f s, planeview %.3f s (%.1f M records/s), ratio %.2f; cpu: cat twice %.2f s, planeview %.2f s, ratio %.2f; peak %d KB, page %d bytes\n", cat2, pv, r/pv/1e6, pv/cat2, cc, pc, (cc > 0 ? pc/cc : 0), m, p }'
done
