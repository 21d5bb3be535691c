#!/usr/bin/env bash
# Times ovoclip on a generated merged XDS file against cp of the same file.
#   bench/ovoclip.sh [COUNT] [merged|unmerged]     (default 10000000 merged)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000000}
kind=${2:-merged}
build="$top/build-bench"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release -DSUITE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target ovoclip generate_xds >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/ovoclip-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/bench-bin/generate_xds" "$kind" "$count" in.hkl
printf 'in.hkl\nout.hkl\n   50.00   60.00   70.00   90.00   90.00   90.00\n      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n      2.5000      2.0000      1.8000\n' > ovo.inp
bytes=$(stat -c %s in.hkl)
cat in.hkl >/dev/null   # warm the page cache
for rep in 1 2 3; do
  rm -f copy.hkl out.hkl pv.inp ./*_reslimit.dat
  t0=$(date +%s.%N); cp in.hkl copy.hkl; t1=$(date +%s.%N)
  rm -f copy.hkl
  t1b=$(date +%s.%N)
  /usr/bin/time -f '%M' -o mem.txt "$build/bin/ovoclip" <<<$'ovo.inp\npv.inp' >/dev/null
  t2=$(date +%s.%N)
  t2=$(awk -v a="$t2" -v b="$t1b" -v c="$t1" 'BEGIN { printf "%.9f", a - b + c }')
  awk -v a="$t0" -v b="$t1" -v c="$t2" -v m="$(cat mem.txt)" -v n="$bytes" -v r="$count" \
    'BEGIN { cp=b-a; ov=c-b; printf "rep: cp %.3f s, ovoclip %.3f s (%.0f MB/s, %.1f M records/s), ratio %.2f, peak %d KB\n", cp, ov, n/ov/1e6, r/ov/1e6, ov/cp, m }'
done
