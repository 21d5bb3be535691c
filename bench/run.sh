#!/usr/bin/env bash
# Times every program on large generated inputs against the floor of the
# same bytes, and prints one table.
#
#   bench/run.sh [REPETITIONS]            (default 5)
#
# Sizes (environment, defaults as shown):
#   MERGED=10000000     reflections in the merged XDS file   (about 410 MB)
#   UNMERGED=5000000    reflections in the unmerged XDS file (about 460 MB)
#   UNMERGED_FIT=1000000  observations in ovofit's unmerged file (about 92 MB)
#   STATS=10000000      observations in ovostats's unmerged file (about 920 MB)
#   P1_RADIUS=156       the P1 file of unique reflections only (8.0 M, 326 MB)
#   FIN=10000000        records in the fin file               (about 1.1 GB)
#   PLANES=1000000      records in the plane-heavy fin file   (about 110 MB;
#                       one record in eleven in a zone h=0, k=0 or l=0)
#   LOG_BYTES=1000000000  bytes of the Phaser log and of each XSCALE.LP log
#   CASES="..."         the cases to run (default all: ovoclip-merged
#                       ovofit-merged ovoscale-scaled ovoclip-unmerged ovofit-unmerged-fit ovofit-p1
#                       planeview planeview-planes honer mergetab ovostats-unmerged)
#   SCALED=78           radius in h, k, l of the merged P1 file for ovoscale
#                       (78: about 1.0 M unique reflections, 41 MB)
# TMPDIR (default /tmp) gets a scratch folder for the inputs and outputs,
# about 6 GB at the default sizes, removed at the end. BENCH_DEBUG=1 prints
# every run as it ends, with the page-in counters of the system (a run that
# reads from the disk instead of the page cache shows there).
#
# The programs are built in Release in build-bench. Each repetition runs,
# for every case, the floor and the program one after the other, the floor
# first in odd repetitions and last in even ones. The floors:
#   ovoclip    cp of the input file (GNU cp copies in the kernel with
#              copy_file_range), and cat of it into a new file (read and
#              write through a buffer, as the program does)
#   planeview  cat of the fin file twice to /dev/null (it reads it twice)
#   honer      cat of the log to /dev/null
#   mergetab   cat of both logs to /dev/null
#   ovofit     ovoclip on the same file (ovofit reads it whole and merges):
#              the merged file (within 2 x of ovoclip), 1e6 unmerged
#              observations (within 3 x), and the P1 file of 8 M unique
#              reflections for the peak memory (40 bytes a reflection)
#   ovostats   ovofit on the same unmerged file (both read it through the
#              reflection layer and bring each observation to the unit;
#              ovostats reads it twice): within 2 x, its peak within ovofit's
#   ovoscale   ovofit on the same merged file of unique reflections (both
#              read and merge it with the same code; ovoscale is to stay
#              within 3 x of ovofit, its peak below 64 bytes a unique
#              reflection plus 16 MB)
# Every input is read once before the timing, so all runs read from the page
# cache, and before each run the outputs of the last are removed and what is
# waiting to be written goes to the disk (sync), untimed. The table gives medians over the repetitions of the wall time and of
# the CPU time (user + system, steadier on a busy machine), input MB/s and
# records (lines) per second from the wall time, the largest peak resident
# set, and the ratios of the program's medians to the floor's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
merged=${MERGED:-10000000}
unmerged=${UNMERGED:-5000000}
unmergedFit=${UNMERGED_FIT:-1000000}
p1Radius=${P1_RADIUS:-156}
fin=${FIN:-10000000}
planes=${PLANES:-1000000}
logBytes=${LOG_BYTES:-1000000000}
scaled=${SCALED:-78}
stats=${STATS:-10000000}
cases=${CASES:-ovoclip-merged ovofit-merged ovoscale-scaled ovoclip-unmerged ovofit-unmerged-fit ovofit-p1 planeview planeview-planes honer mergetab ovostats-unmerged}
build="$top/build-bench"

echo "== building Release in $build"
cmake -B "$build" -S "$top" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ovoclip ovofit ovoscale planeview honer mergetab ovostats generate_xds generate_logs generate_fin timeit \
  >/dev/null
bin="$build/bin"
tools="$build/bench-bin"

scratch=${TMPDIR:-/tmp}
needKb=$(( (scaled * scaled * scaled * 2 * 41 * 3 + merged * 41 * 3 + unmerged * 92 * 3 + unmergedFit * 92 + stats * 92 + p1Radius * p1Radius * p1Radius * 90 + (fin + planes) * 110 + logBytes * 3 + 200000000) / 1024 ))
availKb=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
if [ "$availKb" -lt "$needKb" ]; then
  echo "run.sh: $scratch has $((availKb / 1024)) MB free, the run needs about $((needKb / 1024)) MB" >&2
  exit 2
fi
work=$(mktemp -d "$scratch/suite-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "== generating inputs in $work"
"$tools/generate_xds" merged "$merged" merged.hkl
"$tools/generate_xds" unmerged "$unmerged" unmerged.hkl
"$tools/generate_xds" unmerged "$unmergedFit" unmerged-fit.hkl
"$tools/generate_xds" unmerged "$stats" stats.hkl
"$tools/generate_xds" p1 "$p1Radius" p1.hkl
"$tools/generate_fin" "$fin" in.fin
"$tools/generate_fin" "$planes" planes.fin 22
"$tools/generate_xds" scaled "$scaled" scaled.hkl
phaserLines=$("$tools/generate_logs" phaser "$logBytes" phaser.log 1 | awk '{ print $1 }')
startLines=$("$tools/generate_logs" xscale "$logBytes" start.LP 2 | awk '{ print $1 }')
finalLines=$("$tools/generate_logs" xscale "$logBytes" final.LP 3 | awk '{ print $1 }')

# ovoclip: orthogonal 50 x 60 x 70 A cell, identity axes, limits 2.5, 2.0
# and 1.8 A.
for kind in merged unmerged; do
  printf '%s.hkl\nout.hkl\n   50.00   60.00   70.00   90.00   90.00   90.00\n' "$kind" > "ovo-$kind.inp"
  printf '      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n' \
    >> "ovo-$kind.inp"
  printf '      2.5000      2.0000      1.8000\n' >> "ovo-$kind.inp"
  printf 'ovo-%s.inp\npv-out.inp\n' "$kind" > "answers-ovoclip-$kind"
done
# ovofit's other two files: unmerged observations, and the P1 file of unique
# reflections only (its oblique cell in ovoclip's script too).
printf 'unmerged-fit.hkl\nout.hkl\n   50.00   60.00   70.00   90.00   90.00   90.00\n' > ovo-unmerged-fit.inp
printf 'p1.hkl\nout.hkl\n   50.00   60.00   70.00   80.00   95.00  105.00\n' > ovo-p1.inp
for kind in unmerged-fit p1; do
  printf '      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n' \
    >> "ovo-$kind.inp"
  printf '      2.5000      2.0000      1.8000\n' >> "ovo-$kind.inp"
  printf 'ovo-%s.inp\npv-out.inp\n' "$kind" > "answers-ovoclip-$kind"
  printf '%s.hkl\n\nout.hkl\nfit.inp\n\n' "$kind" > "answers-ovofit-$kind"
done
# planeview: its five inputs.
printf 'XDS_ASCII.HKL\ntruncated.hkl\n   50.00   60.00   70.00   90.00  100.00   90.00\n' > pv-ovo.inp
printf '      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n' \
  >> pv-ovo.inp
printf '      2.5000      2.0000      1.8000\n' >> pv-ovo.inp
printf '%9d\n%9d\n%12.2f\n%12.2f\n' 12000000 2000000 1.87 10000000 > pv.inp
printf 'title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -12.345\nLABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \n' > cad.inp
printf 'LABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n' >> cad.inp
printf 'pv-ovo.inp\nin.fin\npage.ps\npv.inp\ncad.inp\n' > answers-planeview
printf 'pv-ovo.inp\nplanes.fin\npage.ps\npv.inp\ncad.inp\n' > answers-planeview-planes
printf 'phaser.log\nhoner-cad.inp\n' > answers-honer
printf 'merged.hkl\n\nout.hkl\nfit.inp\n\n' > answers-ovofit
printf 'start.LP\nfinal.LP\nstatistics.html\n' > answers-mergetab
printf 'scaled.hkl\nscaled.mtz\nscaled.log\n' > answers-ovoscale
printf 'scaled.hkl\n\nout.hkl\nfit.inp\n\n' > answers-ovofit-scaled
printf 'stats.hkl\n\nout.hkl\nfit.inp\n\n' > answers-ovofit-stats
printf 'stats.hkl\n\n\nstats.txt\nstats.json\n' > answers-ovostats

size() { stat -c %s "$1"; }
cat scaled.hkl merged.hkl unmerged.hkl unmerged-fit.hkl stats.hkl p1.hkl in.fin planes.fin phaser.log start.LP final.LP > /dev/null  # into the page cache

results="$work/results.txt"
: > "$results"
# time CASE TOOL [timeit options] -- COMMAND...: one timed run, appended to
# the results; a failing command ends the benchmark.
time_run() {
  local name=$1 tool=$2
  shift 2
  local line
  if ! line=$("$tools/timeit" "$@" 2>&1 >/dev/null | tail -n 1); then
    echo "run.sh: $name/$tool failed: $line" >&2
    exit 2
  fi
  echo "$name $tool $line" >> "$results"
  if [ -n "${BENCH_DEBUG:-}" ]; then echo "$name $tool $line $(awk '/^pgpgin|^pgpgout|^pgmajfault/ { printf "%s=%s ", $1, $2 }' /proc/vmstat)" >&2; fi
}
# Removes the outputs of the last run and writes back what is waiting to be
# written, so that no run pays for the writes of the one before.
clean() {
  rm -f out.hkl pv-out.inp ./*_reslimit.dat copy.hkl page.ps honer-cad.inp statistics.html fit.inp scaled.mtz scaled.log \
    stats.txt stats.json
  sync
}

run_case() {  # CASE FLOOR-FIRST
  local name=$1 floorFirst=$2
  local -a floors program
  case $name in
    ovoclip-merged | ovoclip-unmerged)
      local input=${name#ovoclip-}.hkl
      floors=("cp:--:cp:$input:copy.hkl" "cat>file:-o:copy.hkl:--:cat:$input")
      program=(-i "answers-$name" -o /dev/null -- "$bin/ovoclip") ;;
    planeview)
      floors=("2cats:-o:/dev/null:--:cat:in.fin:in.fin")
      program=(-i answers-planeview -o /dev/null -- "$bin/planeview") ;;
    planeview-planes)
      floors=("2cats:-o:/dev/null:--:cat:planes.fin:planes.fin")
      program=(-i answers-planeview-planes -o /dev/null -- "$bin/planeview") ;;
    honer)
      floors=("cat:-o:/dev/null:--:cat:phaser.log")
      program=(-i answers-honer -o /dev/null -- "$bin/honer") ;;
    ovofit-merged)
      floors=("ovoclip:-i:answers-ovoclip-merged:-o:/dev/null:--:$bin/ovoclip")
      program=(-i answers-ovofit -o /dev/null -- "$bin/ovofit") ;;
    ovoscale-scaled)
      floors=("ovofit:-i:answers-ovofit-scaled:-o:/dev/null:--:$bin/ovofit")
      program=(-i answers-ovoscale -o /dev/null -- "$bin/ovoscale") ;;
    ovofit-unmerged-fit | ovofit-p1)
      local kind=${name#ovofit-}
      floors=("ovoclip:-i:answers-ovoclip-$kind:-o:/dev/null:--:$bin/ovoclip")
      program=(-i "answers-ovofit-$kind" -o /dev/null -- "$bin/ovofit") ;;
    ovostats-unmerged)
      floors=("ovofit:-i:answers-ovofit-stats:-o:/dev/null:--:$bin/ovofit")
      program=(-i answers-ovostats -o /dev/null -- "$bin/ovostats") ;;
    mergetab)
      floors=("cat:-o:/dev/null:--:cat:start.LP:final.LP")
      program=(-i answers-mergetab -o /dev/null -- "$bin/mergetab") ;;
  esac
  run_floors() {
    local floor
    for floor in "${floors[@]}"; do
      IFS=: read -r -a parts <<<"$floor"
      clean
      time_run "$name" "${parts[0]}" "${parts[@]:1}"
    done
  }
  if [ "$floorFirst" = 1 ]; then run_floors; fi
  clean
  time_run "$name" program "${program[@]}"
  case $name in  # the program did its work
    ovoclip-*) [ -s out.hkl ] && [ -s pv-out.inp ] ;;
    planeview | planeview-planes) [ -s page.ps ] ;;
    honer) grep -q "^SCAL FILE_NUMBER 1 1.00      -13.163$" honer-cad.inp ;;
    mergetab) [ "$(wc -l < statistics.html)" = 25 ] ;;
    ovofit-*) [ "$(wc -l < fit.inp)" = 5 ] ;;
    ovoscale-scaled) [ -s scaled.mtz ] && grep -q "^     eigenB" scaled.log ;;
    ovostats-unmerged) [ -s stats.txt ] && [ -s stats.json ] ;;
  esac || { echo "run.sh: $name wrote no result" >&2; exit 2; }
  if [ "$name" = ovoclip-merged ]; then keptMerged=$(size out.hkl); fi
  if [ "$name" = ovoclip-unmerged ]; then keptUnmerged=$(size out.hkl); fi
  if [ "$floorFirst" != 1 ]; then run_floors; fi
  clean
}

start=$(date +%s)
for ((rep = 1; rep <= reps; rep++)); do
  echo "== repetition $rep of $reps"
  for name in $cases; do
    run_case "$name" $((rep % 2))
  done
done

# CASE BYTES RECORDS: one block of the table, for a case that ran.
report() {
  case " $cases " in *" $1 "*) ;; *) return 0 ;; esac
  awk -v name="$1" -v bytes="$2" -v records="$3" '
    function median(list, n,   a, i, j, t) {
      n = split(list, a, " ")
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    $1 == name {
      if (!($2 in seen)) { seen[$2] = 1; order[++tools] = $2 }
      wall[$2] = wall[$2] " " $3; cpu[$2] = cpu[$2] " " ($4 + $5)
      if ($6 > peak[$2]) peak[$2] = $6
    }
    END {
      pw = median(wall["program"]); pc = median(cpu["program"])
      printf "%-17s %-9s %8.3f %8.3f %9.0f %8.2f %9.1f", name, "program", pw, pc, bytes / pw / 1e6, records / pw / 1e6, peak["program"] / 1024
      printf "\n"
      for (t = 1; t <= tools; t++) {
        if (order[t] == "program") continue
        fw = median(wall[order[t]]); fc = median(cpu[order[t]])
        printf "%-17s %-9s %8.3f %8.3f %9.0f %8s %9.1f   wall x%.2f  cpu x%.2f\n", "", order[t], fw, fc, bytes / fw / 1e6, "", peak[order[t]] / 1024, pw / fw, (fc > 0 ? pc / fc : 0)
      }
    }' "$results"
}

echo
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $reps repetitions, $(( $(date +%s) - start )) s of timing"
echo "   merged $merged reflections ($(size merged.hkl) bytes, ${keptMerged:-none} written), unmerged $unmerged ($(size unmerged.hkl) bytes, ${keptUnmerged:-none} written)"
echo "   fin $fin records ($(size in.fin) bytes), plane-heavy fin $planes records ($(size planes.fin) bytes), Phaser log $phaserLines lines ($(size phaser.log) bytes)"
echo "   XSCALE.LP logs $startLines + $finalLines lines ($(( $(size start.LP) + $(size final.LP) )) bytes)"
echo "   medians; MB/s of input and M records/s from the wall time; ratios = program / floor"
printf "%-17s %-9s %8s %8s %9s %8s %9s\n" case run "wall s" "cpu s" "MB/s" "Mrec/s" "peak MB"
report ovoclip-merged "$(size merged.hkl)" "$merged"
report ovoclip-unmerged "$(size unmerged.hkl)" "$unmerged"
report planeview "$(size in.fin)" "$fin"
report planeview-planes "$(size planes.fin)" "$planes"
report honer "$(size phaser.log)" "$phaserLines"
report mergetab "$(( $(size start.LP) + $(size final.LP) ))" "$((startLines + finalLines))"
report ovofit-merged "$(size merged.hkl)" "$merged"
scaledUnique=$(( $(wc -l < scaled.hkl) - 6 ))
report ovoscale-scaled "$(size scaled.hkl)" "$scaledUnique"
echo "   ovoscale: $scaledUnique unique reflections; peak target 64 bytes each + 16 MB = $(( (scaledUnique * 64 + 16777216) / 1048576 )) MB"
report ovofit-unmerged-fit "$(size unmerged-fit.hkl)" "$unmergedFit"
report ovofit-p1 "$(size p1.hkl)" "$(grep -vc '^!' p1.hkl)"
report ovostats-unmerged "$(size stats.hkl)" "$stats"
echo
echo "   every run, wall/cpu seconds in the order run:"
awk '{ key = $1 " " $2; if (!(key in seen)) { seen[key] = 1; order[++n] = key }
       runs[key] = runs[key] sprintf(" %.3f/%.3f", $3, $4 + $5) }
     END { for (i = 1; i <= n; i++) printf "   %-28s%s\n", order[i], runs[order[i]] }' "$results"
