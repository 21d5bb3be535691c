#!/usr/bin/env bash
# Times bapply on one MTZ file against gemmi alone reading and writing the
# same file (bench/copy_mtz), alternately, and prints one row.
#
#   bench/bapply.sh [REPETITIONS]        (default 5)
#
# MTZ=1000000 reflections (H, K, L, FP_ISO, SIGFP_ISO: generate_mtz's third
# stage, about 20 MB); TMPDIR (default /tmp) gets the scratch folder, removed
# at the end. Built in Release in build-bench. Medians of the wall and CPU
# time, the largest peak resident set, and bapply's ratios to the floor.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
n=${MTZ:-1000000}
build=${BUILD_DIR:-$top/build-bench}  # a Release build folder

echo "== building Release in $build"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target bapply honer generate_mtz copy_mtz timeit >/dev/null
tools="$build/bench-bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/bapply-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== generating an MTZ file of $n reflections in $work"
"$tools/generate_mtz" random "$n" .
rm -f stage1.mtz stage2.mtz stage4.mtz
printf 'log\n     eigenB (A^2)\n x\n y\n     -16.408\n' > phaser.log
printf 'phaser.log\ncad.inp\n' | "$build/bin/honer" >/dev/null
printf 'cad.inp\nstage3.mtz\nout.mtz\n' > answers
cat stage3.mtz > /dev/null  # into the page cache

results=$work/results
: > "$results"
time_run() {  # NAME COMMAND...
  local name=$1
  shift
  rm -f out.mtz
  sync
  echo "$name $("$tools/timeit" "$@" 2>&1 >/dev/null | tail -n 1)" >> "$results"
}
for ((rep = 1; rep <= reps; rep++)); do
  if ((rep % 2)); then time_run gemmi -- "$tools/copy_mtz" stage3.mtz out.mtz; fi
  time_run bapply -i answers -- "$build/bin/bapply"
  [ -s out.mtz ] || { echo "bapply.sh: bapply wrote no MTZ file" >&2; exit 2; }
  if ! ((rep % 2)); then time_run gemmi -- "$tools/copy_mtz" stage3.mtz out.mtz; fi
done

echo
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $reps repetitions; an MTZ file of $(stat -c %s stage3.mtz) bytes"
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
    printf "ratio wall x%.2f  cpu x%.2f\n", median(wall["bapply"]) / median(wall["gemmi"]), median(cpu["bapply"]) / median(cpu["gemmi"])
  }' "$results"
