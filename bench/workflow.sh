#!/usr/bin/env bash
# The workflow over many data sets: COUNT (default 20) generated, unmerged
# data sets of 1e5 to 5e5 observations (tests/workflow/make_dataset.py, to
# 1.6 A), run by Snakemake with --cores 2 --scheduler greedy (as README
# advises for many data sets; SCHEDULER=ilp for Snakemake's default, which
# solves an integer program at every round). Prints the wall time of the whole
# run against the programs' own time summed over every step (each step's
# status file keeps its program's wall time) and halved for the two cores:
# the difference is the workflow's overhead (Snakemake's start, its graph,
# its jobs and the driver).
#
#   bench/workflow.sh [COUNT]      BIN (default build/bin) the programs' folder,
#                                  SCHEDULER (default greedy) Snakemake's scheduler,
#                                  SNAKEMAKE_ARGS more options,
#                                  KEEP=1 keeps the generated data, DATA=FOLDER reuses them
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-20}
bin=$(cd "${BIN:-build/bin}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/workflow-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -n "${DATA:-}" ]; then   # data sets made by an earlier run (KEEP=1)
  ln -s "$(cd "$DATA" && pwd)" "$work/in"
  count=0
elif [ -n "${KEEP:-}" ]; then
  trap - EXIT
  echo "inputs kept in $work/in"
fi
for i in $(seq 1 "$count"); do
  observations=$((100000 + (i - 1) * 400000 / (count > 1 ? count - 1 : 1)))
  mkdir -p "$work/in/set$i"
  /usr/bin/python3 tests/workflow/make_dataset.py "$work/in/set$i/XDS_ASCII.HKL" "$observations" "$i" 1.6 &
  [ $((i % 2)) -eq 0 ] && wait
done
wait
du -sh "$work/in"
uptime
/usr/bin/time -f '%e %U %S' -o "$work/time" \
  snakemake -s workflow/Snakefile --cores 2 --keep-going --quiet --scheduler "${SCHEDULER:-greedy}" ${SNAKEMAKE_ARGS:-} \
  --config data="$work/in" out="$work/out" bin="$bin" >"$work/snakemake.log" 2>&1 \
  || { tail -20 "$work/snakemake.log"; exit 2; }
uptime
/usr/bin/python3 - "$work/out" "$work/time" <<'PY'
import glob, json, os, sys
out = sys.argv[1]
wall, user, system = (float(x) for x in open(sys.argv[2]).read().split()[-3:])
steps = {}
for f in glob.glob(os.path.join(out, "*", "status", "*.json")):
    s = json.load(open(f))
    steps.setdefault(s["step"], []).append((s["seconds"], s["cpu_seconds"]))
index = json.load(open(os.path.join(out, "index.json")))
summed = sum(w for v in steps.values() for w, _ in v)
cpu = sum(c for v in steps.values() for _, c in v)
print("data sets %d (%d ok), steps %d" % (len(index), sum(r["status"] == "ok" for r in index),
                                           sum(len(v) for v in steps.values())))
for step, v in sorted(steps.items(), key=lambda kv: -sum(w for w, _ in kv[1])):
    print("  %-17s %7.2f s wall summed, %7.2f s CPU, %6.2f s at most" % (
        step, sum(w for w, _ in v), sum(c for _, c in v), max(w for w, _ in v)))
print("programs: wall summed %.1f s, over two cores %.1f s; CPU %.1f s" % (summed, summed / 2, cpu))
print("the run:  wall %.1f s, CPU %.1f s (Snakemake, drivers and programs)" % (wall, user + system))
print("overhead: wall %.1f s = %.0f %% of the programs' wall over two cores; CPU %.1f s = %.0f %% of theirs"
      % (wall - summed / 2, 100 * (wall - summed / 2) / (summed / 2), user + system - cpu,
         100 * (user + system - cpu) / cpu))
PY
