#!/usr/bin/env bash
# Times finjoin joining four MTZ files against gemmi alone reading the same
# four files (bench/read_mtz), alternately, and prints one row; for scale,
# also cat writing a copy of the fin file (the bytes finjoin writes).
#
#   bench/finjoin.sh [REPETITIONS]        (default 5)
#
# MTZ=1000000 reflections a file (the truncated stage lacks a tenth), about
# 20 MB each; TMPDIR (default /tmp) gets the scratch folder, removed at the
# end. Built in Release in build-bench. Medians of the wall and CPU time,
# the largest peak resident set, and finjoin's ratios to the floor.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
n=${MTZ:-1000000}
build="$top/build-bench"

echo "== building Release in $build"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target finjoin generate_mtz read_mtz timeit >/dev/null
tools="$build/bench-bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/finjoin-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== generating four MTZ files of $n reflections in $work"
"$tools/generate_mtz" random "$n" .
printf 'stage1.mtz\n\n\nstage2.mtz\n\n\nstage3.mtz\n\n\nstage4.mtz\n\n\nout.fin\n' > answers
cat stage?.mtz > /dev/null  # into the page cache
rm -f written.fin

results=$work/results
: > "$results"
time_run() {  # NAME COMMAND...
  local name=$1
  shift
  rm -f out.fin copy.fin
  sync
  echo "$name $("$tools/timeit" "$@" 2>&1 >/dev/null | tail -n 1)" >> "$results"
}
for ((rep = 1; rep <= reps; rep++)); do
  if ((rep % 2)); then time_run gemmi -- "$tools/read_mtz" stage1.mtz stage2.mtz stage3.mtz stage4.mtz; fi
  time_run finjoin -i answers -- "$build/bin/finjoin"
  [ -s out.fin ] || { echo "finjoin.sh: finjoin wrote no fin file" >&2; exit 2; }
  records=$(wc -l < out.fin)
  mv out.fin written.fin
  time_run cat -o copy.fin -- cat written.fin
  if ! ((rep % 2)); then time_run gemmi -- "$tools/read_mtz" stage1.mtz stage2.mtz stage3.mtz stage4.mtz; fi
done

echo
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $reps repetitions; four files of $(stat -c %s stage1.mtz) bytes, $records fin records"
awk '
  function median(list,   a, n, i, j, t) {
    n = split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { wall[$1] = wall[$1] " " $2; cpu[$1] = cpu[$1] " " ($3 + $4); if ($5 > peak[$1]) peak[$1] = $5 }
  END {
    printf "%-8s %8s %8s %9s\n", "run", "wall s", "cpu s", "peak MB"
    for (name in wall) printf "%-8s %8.3f %8.3f %9.1f\n", name, median(wall[name]), median(cpu[name]), peak[name] / 1024
    printf "ratio wall x%.2f  cpu x%.2f\n", median(wall["finjoin"]) / median(wall["gemmi"]), median(cpu["finjoin"]) / median(cpu["gemmi"])
  }' "$results"
