#!/usr/bin/env bash
# Times the reflection layer reading an unmerged MTZ file (bench/
# read_reflections: every observation at its measured indices, with its
# batch) against gemmi alone reading the same file (bench/read_mtz),
# alternately, and prints one row each; then ovofit's CC1/2 run on the file
# once, for scale.
#
#   bench/unmerged_mtz.sh [REPETITIONS]        (default 5)
#
# OBSERVATIONS=10000000 (generate_mtz unmerged: 16 columns as Aimless writes
# them, 3600 batches, about 640 MB); TMPDIR (default /tmp) gets the scratch
# folder, removed at the end. BUILD_DIR (default build-bench) is built in
# Release. Medians of the wall and CPU time, the largest peak resident set,
# and the layer's ratios to gemmi.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
n=${OBSERVATIONS:-10000000}
build=${BUILD_DIR:-$top/build-bench}

echo "== building Release in $build"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ovofit generate_mtz read_mtz read_reflections timeit >/dev/null
tools="$build/bench-bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/unmerged-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== generating an unmerged MTZ file of $n observations in $work"
"$tools/generate_mtz" unmerged "$n" unmerged.mtz
cat unmerged.mtz > /dev/null  # into the page cache

results=$work/results
: > "$results"
time_run() {  # NAME COMMAND...
  local name=$1
  shift
  echo "$name $("$tools/timeit" "$@" 2>&1 >/dev/null | tail -n 1)" >> "$results"
}
for ((rep = 1; rep <= reps; rep++)); do
  if ((rep % 2)); then time_run gemmi -- "$tools/read_mtz" unmerged.mtz; fi
  time_run layer -- "$tools/read_reflections" unmerged.mtz
  if ! ((rep % 2)); then time_run gemmi -- "$tools/read_mtz" unmerged.mtz; fi
done
printf 'unmerged.mtz\n\ncut.mtz\nfit.inp\n\nCC1/2\n\n' > answers
time_run ovofit -i answers -- "$build/bin/ovofit"
[ -s fit.inp ] || { echo "unmerged_mtz.sh: ovofit wrote no script" >&2; exit 2; }

echo
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $reps repetitions; $n observations, $(stat -c %s unmerged.mtz) bytes"
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
    printf "layer against gemmi: ratio wall x%.2f  cpu x%.2f\n", median(wall["layer"]) / median(wall["gemmi"]), median(cpu["layer"]) / median(cpu["gemmi"])
  }' "$results"
