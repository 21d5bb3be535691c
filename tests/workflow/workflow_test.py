#!/usr/bin/python3
"""The Snakemake workflow on four generated data sets, one of them damaged,
then a fifth added to the finished run.

  workflow_test.py SOURCE_DIR BIN_DIR SCRATCH_DIR

Exit 0: passed; 77: skipped (snakemake or Ghostscript missing, said on
standard output); anything else: failed, with the reason.
"""

import concurrent.futures
import html.parser
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

SOURCE, BIN, SCRATCH = sys.argv[1:4]
SNAKEFILE = os.path.join(SOURCE, "workflow", "Snakefile")
GENERATE = os.path.join(SOURCE, "tests", "workflow", "make_dataset.py")
DATA, OUT = os.path.join(SCRATCH, "in"), os.path.join(SCRATCH, "out")

# What a good data set's folder holds afterwards, by step (mergetab from the
# logs in "a", which has both, from ovostats's table in the others).
MADE = {
    "ovofit": ["ovofit.inp", "ovofit.svg", "ovofit.cif"],
    "ovoclip": ["XDS_ASCII_trunc.HKL", "XDS_ASCII._reslimit.dat", "planeview.inp"],
    "ovoscale_trunc": ["ovoscale_trunc.mtz", "ovoscale_trunc.log"],
    "ovoscale_initial": ["ovoscale_initial.mtz", "ovoscale_initial.log"],
    "honer": ["cad_negB.inp"], "bapply": ["cad_negB.mtz"], "finjoin": ["stages.fin"],
    "planeview": ["page.ps"], "render": ["page.png", "page.pdf"], "mergetab": ["statistics.html"],
    "ovoreport": ["report.html", "report.json"], "ovostats": ["ovostats.txt", "ovostats.json"],
}
FIFTH = 'e <b>&"5\''  # the index must show this name as text


def fail(why):
    print("FAILED:", why)
    sys.exit(1)


def snakemake(*extra):
    return snakemake_in(DATA, OUT, *extra)


def snakemake_in(data, out, *extra):
    command = ["snakemake", "-s", SNAKEFILE, "--cores", "2", "--keep-going",
               "--config", "data=" + data, "out=" + out, "bin=" + BIN] + list(extra)
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode != 0:
        fail("snakemake %s ended with status %d:\n%s" % (" ".join(extra), run.returncode, run.stdout[-4000:]))
    return run.stdout


def make(name, seed, damage=None):
    folder = os.path.join(DATA, name)
    os.makedirs(folder)
    hkl = os.path.join(folder, "XDS_ASCII.HKL")
    subprocess.run([sys.executable, GENERATE, hkl, "16000", str(seed), "2.0"], check=True)
    if damage:
        with open(hkl) as f:
            lines = f.readlines()
        with open(hkl, "w") as f:
            f.writelines(line for line in lines if not line.startswith(damage))


def files_of(folder):
    """Every file under the folder with its modification time."""
    found = {}
    for root, _, names in os.walk(folder):
        for n in names:
            path = os.path.join(root, n)
            found[os.path.relpath(path, folder)] = os.stat(path).st_mtime_ns
    return found


class Table(html.parser.HTMLParser):
    """The rows of index.html's table as text, and the links."""

    def __init__(self):
        super().__init__()
        self.rows, self.links, self.cell = [], [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th"):
            self.cell = ""
        elif tag == "a":
            self.links.append(dict(attrs)["href"])

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.rows[-1].append(self.cell)
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def numbers(value):
    """Every number within a JSON value, those written in its texts too."""
    if isinstance(value, bool):
        return []
    if isinstance(value, str):
        found = []
        for word in value.replace("'", " ").split():
            try:
                found.append(float(word))
            except ValueError:
                pass
        return found
    if isinstance(value, (int, float)):
        return [float(value)]
    if isinstance(value, list):
        return [x for v in value for x in numbers(v)]
    if isinstance(value, dict):
        return [x for v in value.values() for x in numbers(v)]
    return []


def page_text(out):
    with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
        return f.read()
# The index's merging statistics against ovostats's JSON file, its table of
# the data kept: the index key, the place in the table, the half unit of the
# last digit the report's copy (ovostats's text table) keeps.
STATISTICS = [
    ("completeness", ("overall", "completeness_ellipsoid"), 0.05),
    ("completeness_spherical", ("overall", "completeness"), 0.05),
    ("multiplicity", ("overall", "multiplicity"), 0.005),
    ("cc_half_outer", ("outer", "cc_half"), 0.00005),
]


def check_statistics(out, row):
    """A data set's statistics in the index are those ovostats measured."""
    with open(os.path.join(out, row["name"], "ovostats", "ovostats.json"), encoding="utf-8") as f:
        kept = json.load(f)["kept"]
    for key, (part, item), within in STATISTICS:
        value = kept[part][item]
        if not isinstance(row[key], (int, float)) or abs(row[key] - value) > within * (1 + 1e-6):
            fail("%s: the index's %s %r, ovostats's %s %s %r" % (row["name"], key, row[key], part, item, value))


def check_index(expected_names):
    with open(os.path.join(OUT, "index.json"), encoding="utf-8") as f:
        index = json.load(f)
    if sorted(r["name"] for r in index) != sorted(expected_names):
        fail("index.json lists %s, not %s" % ([r["name"] for r in index], expected_names))
    for row in index:
        if row["name"] == "damaged":
            if row["status"] != "failed" or row["step"] != "ovofit" or "UNIT_CELL_CONSTANTS" not in (row["message"] or ""):
                fail("the damaged data set's row: %s" % row)
            continue
        if row["status"] != "ok" or row["step"] is not None:
            fail("a good data set's row: %s" % row)
        with open(os.path.join(OUT, row["name"], "ovoreport", "report.json"), encoding="utf-8") as f:
            in_report = numbers(json.load(f))
        for key in ("cell", "limits", "completeness", "b_range", "b_applied"):
            values = numbers(row[key])
            if not values:
                fail("%s: no %s in the index" % (row["name"], key))
            for v in values:
                if not any(abs(v - r) <= 1e-9 * max(1.0, abs(r)) for r in in_report):
                    fail("%s: %s %r of the index is not in its report.json" % (row["name"], key, v))
        if not row["space_group"] or not row["criterion"]:
            fail("%s: space group or criterion missing: %s" % (row["name"], row))
        # each limit with its axis, in the order a*, b*, c*
        if [x.get("axis") for x in row["limits"]] != ["a*", "b*", "c*"]:
            fail("%s: the limits' axes %s" % (row["name"], row["limits"]))
    good = [r for r in index if r["status"] == "ok"]
    for row in good:
        shown = ", ".join("%.2f along %s" % (x["limit"], x["axis"]) for x in row["limits"])
        if shown not in page_text(OUT):
            fail("%s: index.html does not show the limits as %r" % (row["name"], shown))
        if row["data"] != "XDS, unmerged":
            fail("%s: the index says its data are %r" % (row["name"], row["data"]))
        check_statistics(OUT, row)
    with open(os.path.join(OUT, "index.html"), encoding="utf-8") as f:
        page = f.read()
    table = Table()
    table.feed(page)
    body = [r for r in table.rows[1:]]
    if len(body) != len(expected_names):
        fail("index.html has %d rows for %d data sets" % (len(body), len(expected_names)))
    damaged = [r for r in body if r[0] == "damaged"][0]
    if "failed" not in damaged or "ovofit" not in damaged or not any("UNIT_CELL" in c for c in damaged):
        fail("index.html's row of the damaged data set: %s" % damaged)
    for link in table.links:
        target = os.path.join(OUT, *[urllib.parse.unquote(p) for p in link.split("/")])
        if not os.path.isfile(target):
            fail("index.html links to %s, which does not exist" % link)
    if len(table.links) != len(expected_names) - 1:
        fail("index.html has %d report links" % len(table.links))
    return index, page


PROBE = """<script>
window.__problems = [];
window.addEventListener('error', function (e) { __problems.push('error ' + e.message); }, true);
window.addEventListener('load', function () {
  var p = __problems, w = document.documentElement.scrollWidth;
  if (w > 1024) p.push('page ' + w + ' pixels wide');
  var all = document.body.getElementsByTagName('*');
  for (var j = 0; j < all.length; j++) { var r = all[j].getBoundingClientRect(); if (r.right > 1024.5) { p.push(all[j].tagName + ' reaches ' + r.right); break; } }
  var d = document.createElement('div'); d.id = 'index-check'; d.textContent = p.length ? 'PROBLEMS: ' + p.join('; ') : 'ALL-GOOD';
  document.body.appendChild(d);
});
</script>"""


def check_in_chromium():
    """The index as headless Chromium prints it: one A4 page holding every row."""
    if shutil.which("chromium") is None or shutil.which("pdftotext") is None:
        print("index not checked in a browser: chromium or pdftotext is not installed")
        return
    pdf = os.path.join(SCRATCH, "index.pdf")
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-pdf-header-footer",
                    "--user-data-dir=" + os.path.join(SCRATCH, "chromium"), "--print-to-pdf=" + pdf,
                    "file://" + os.path.join(OUT, "index.html")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    # Loaded in a 1024-pixel window with a probe added at its end: no script
    # error, no console error, nothing wider than the window.
    probe = os.path.join(SCRATCH, "index-probe.html")
    page = open(os.path.join(OUT, "index.html"), encoding="utf-8").read()
    open(probe, "w", encoding="utf-8").write(page.replace("</body>", PROBE + "</body>"))
    dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                          "--no-first-run", "--disable-background-networking", "--disable-component-update",
                          "--disable-sync", "--hide-scrollbars", "--window-size=1024,800",
                          "--enable-logging=stderr", "--v=0",
                          "--user-data-dir=" + os.path.join(SCRATCH, "chromium-probe"),
                          "--virtual-time-budget=5000", "--dump-dom", "file://" + probe],
                         capture_output=True, timeout=120)
    verdict = dom.stdout.decode("utf-8", "replace").split('index-check">')[1:2]
    if not verdict or not verdict[0].startswith("ALL-GOOD"):
        fail("the index in Chromium: %s" % (verdict[0][:300] if verdict else dom.stderr[-600:]))
    console = [l for l in dom.stderr.decode("utf-8", "replace").splitlines() if "CONSOLE" in l and "ERROR" in l.upper()]
    if console:
        fail("the index in Chromium: console errors %s" % console[:3])
    text = subprocess.run(["pdftotext", "-layout", pdf, "-"], stdout=subprocess.PIPE, text=True).stdout
    info = subprocess.run(["pdfinfo", pdf], stdout=subprocess.PIPE, text=True).stdout
    if "Pages:           1" not in info or "(A4)" not in info:
        fail("index.pdf is not one A4 page:\n" + info)
    for word in ("a", "b", "c", "damaged", "failed", "UNIT_CELL_CONSTANTS", FIFTH.split()[0], "<b>&"):
        if word not in text.split() and word not in text:
            fail("the printed index lacks %r:\n%s" % (word, text))


# Data set folders the workflow is given beside a good one: each is run or
# listed in the index as failed, with the reason (folder name, the file's
# name, the index's status, a word of its message; None: it runs).
ODD_FOLDERS = [
    ("{brace}", "XDS_ASCII.HKL", "failed", "{ or }"),
    ("a space", "XDS_ASCII.HKL", "ok", None),
    ("it's", "XDS_ASCII.HKL", "ok", None),
    ("bytes \udcff\udcfe", "XDS_ASCII.HKL", "failed", "not valid UTF-8"),
    ("index.html", "XDS_ASCII.HKL", "failed", "the index's own file"),
    ("lower", "xds_ascii.hkl", "ok", None),
    ("good", "XDS_ASCII.HKL", "ok", None),
]

# Runs that must stop before any job, saying why: the settings or the data
# folder given, the words the message must hold.
REFUSED_RUNS = [
    (["criterion=CC12"], ["'CC12' is not one of"]),
    (["critrion=CC1/2"], ["critrion"]),
    (["threshold=-1"], ["threshold", "-1"]),
    (["apply_b_from=final"], ["'final' is not one of"]),
    (["data=EMPTY"], ["no data set in", "XDS_ASCII.HKL"]),
    (["data="], ["give --config data=FOLDER"]),
]


# The SLURM profile's job-status command: what scontrol says of job 5 (or
# its error), what sacct says when slurmctld has forgotten the job (blank:
# no accounting), and the answer Snakemake must get.
INVALID = "slurm_load_jobs error: Invalid job id specified"
STATUS_ROWS = [
    ("JobId=5 JobName=ovo-cut JobState=COMPLETED Reason=None", "", "success"),
    ("JobId=5 JobName=ovo-cut JobState=RUNNING Reason=None", "", "running"),
    ("JobId=5 JobName=ovo-cut JobState=PENDING Reason=Resources", "", "running"),
    ("JobId=5 JobName=ovo-cut JobState=COMPLETING Reason=None", "", "running"),
    ("JobId=5 JobName=ovo-cut JobState=CANCELLED Reason=None", "", "failed"),
    ("JobId=5 JobName=ovo-cut JobState=OUT_OF_MEMORY Reason=OutOfMemory", "", "failed"),
    ("JobId=5 JobName=ovo-cut JobState=TIMEOUT Reason=TimeLimit", "", "failed"),
    ("JobId=5 JobName=ovo-cut JobState=NODE_FAIL Reason=NodeDown", "", "failed"),
    ("JobId=5 JobName=ovo-cut JobState=FAILED Reason=NonZeroExitCode", "", "failed"),
    (INVALID, "COMPLETED", "success"),
    (INVALID, "CANCELLED by 0", "failed"),
    (INVALID, "", "failed"),
    ("slurm_load_jobs error: Socket timed out on send/recv operation", "", "running"),
]


# A data set's folder by the file it holds (in ../shared/realdata, "as NAME"
# copied under that name; or made here: "generated merged" an XDS file of
# one observation a reflection marked MERGE=TRUE, "generated anomalous" an
# unmerged one marked FRIEDEL'S_LAW=FALSE, "two" two MTZ files,
# "text" a text file named .mtz, "packed" a file named .mtz.gz), run with
# criterion=CC1/2: the index's Data, status and a word of its message, the
# criterion ovofit took (merged data: I/sigma whatever the setting), and
# whether ovostats and mergetab ran.
KINDS = [
    ("xds merged", "generated merged", "XDS, merged", "ok", None, "I/sigma", False),
    ("xds anomalous", "generated anomalous", "XDS, unmerged", "ok", None, "CC1/2", True),
    ("aimless unmerged", "mtz/HKLOUT_unmerged.mtz", "MTZ, unmerged", "ok", None, "CC1/2", True),
    ("merged imean", "mtz/CDK1CyclinBCKS2Compound23.mtz", "MTZ, merged", "ok", None, "I/sigma", False),
    ("merged free set", "mtz/nt5073v16_xBAZ2BAx8281_free.mtz", "MTZ, merged", "ok", None, "I/sigma", False),
    ("only anomalous", "mtz/merged_intensities_Xe.mtz", "MTZ, merged", "ok", None, "I/sigma", False),
    ("odd name", "mtz/merged_intensities_Xe.mtz as it's a.mtz", "MTZ, merged", "ok", None, "I/sigma", False),
    ("brace", "mtz/merged_intensities_Xe.mtz as x{y}.mtz", None, "failed", "{ or }", None, False),
    ("two", "two", None, "failed", "2 MTZ files", None, False),
    ("text", "text", None, "failed", "no MTZ header", None, False),
    ("packed", "packed", None, "failed", "unpack it", None, False),
]


def kinds():
    """Each kind of reflection file through the workflow: the chain does
    what the file allows, and the index says which kind it was."""
    real = os.path.normpath(os.path.join(SOURCE, "..", "shared", "realdata"))
    data, out = os.path.join(SCRATCH, "kinds-in"), os.path.join(SCRATCH, "kinds-out")
    rows = []
    for name, source, *expected in KINDS:
        folder = os.path.join(data, name)
        source, _, copy = source.partition(" as ")
        if source.startswith("mtz/") and not os.path.isfile(os.path.join(real, source)):
            print("%s not tried: no %s in %s" % (name, source, real))
            continue
        os.makedirs(folder)
        if source.startswith("mtz/"):
            shutil.copy(os.path.join(real, source), os.path.join(folder, copy or os.path.basename(source)))
        elif source.startswith("generated"):
            hkl = os.path.join(folder, "XDS_ASCII.HKL")
            merged = source == "generated merged"
            subprocess.run([sys.executable, GENERATE, hkl, "4000" if merged else "12000", "21", "3.0"], check=True)
            with open(hkl) as f:
                text = f.read()
            text = (text.replace("MERGE=FALSE", "MERGE=TRUE", 1) if merged
                    else text.replace("FRIEDEL'S_LAW=TRUE", "FRIEDEL'S_LAW=FALSE", 1))
            with open(hkl, "w") as f:
                f.write(text)
        else:
            for file in {"two": ("a.mtz", "b.MTZ"), "text": ("scaled.mtz",), "packed": ("scaled.mtz.gz",)}[source]:
                with open(os.path.join(folder, file), "w") as f:
                    f.write("not an MTZ file\n")
        rows.append((name, *expected))
    if not rows:
        return
    snakemake_in(data, out, "criterion=CC1/2")
    with open(os.path.join(out, "index.json"), encoding="utf-8") as f:
        index = {row["name"]: row for row in json.load(f)}
    for name, data_kind, status, word, criterion, statistics in rows:
        row = index.get(name)
        if (row is None or row["data"] != data_kind or row["status"] != status
                or (word and word not in (row["message"] or "")) or row["criterion"] != criterion):
            fail("the data set %r in the index: %s" % (name, row))
        if status != "ok":
            continue
        ran = {step: os.path.isfile(os.path.join(out, name, "status", step + ".json")) for step in ("ovostats", "mergetab")}
        if ran != {"ovostats": statistics, "mergetab": statistics}:
            fail("%s: steps run %s" % (name, ran))
        if statistics:
            check_statistics(out, row)
        elif row["completeness_spherical"] is not None or row["completeness"] is None:
            fail("%s: merged data, yet statistics in the index: %s" % (name, row))


def check_status_command():
    """The profile's cluster-status, run as Snakemake runs it (the command,
    a space, sbatch's answer), against stand-ins for scontrol and sacct."""
    import yaml
    with open(os.path.join(SOURCE, "workflow", "profiles", "slurm", "config.yaml")) as f:
        command = yaml.safe_load(f)["cluster-status"]
    tools = os.path.join(SCRATCH, "fake-slurm")
    os.makedirs(tools)
    for tool, text in (("scontrol", '[ "$*" = "show job -o 5" ] && printf "%s\\n" "$SCONTROL" || echo "' + INVALID + '"'),
                       ("sacct", '[ "$*" = "-n -X -P -o State -j 5" ] && [ -n "$SACCT" ] && printf "%s\\n" "$SACCT"')):
        with open(os.path.join(tools, tool), "w") as f:
            f.write("#!/bin/sh\n" + text + "\nexit 0\n")
        os.chmod(os.path.join(tools, tool), 0o755)
    for scontrol, sacct, expected in STATUS_ROWS:
        for job in ("5", "5;cluster"):
            env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"], SCONTROL=scontrol, SACCT=sacct)
            answer = subprocess.run("%s '%s'" % (command, job), shell=True, env=env,
                                    stdout=subprocess.PIPE, text=True).stdout.strip()
            if answer != expected:
                fail("the status command for job %s, scontrol %r, sacct %r: %r, not %r"
                     % (job, scontrol, sacct, answer, expected))


def odd_cases():
    """The folder names, the refused settings, a run cut short by Ctrl-C
    and the start folder left as it was, on a second small input."""
    data, out = os.path.join(SCRATCH, "odd-in"), os.path.join(SCRATCH, "odd-out")
    start = os.path.join(SCRATCH, "start")  # where Snakemake is started: left empty
    empty = os.path.join(SCRATCH, "empty")
    for folder in (data, start, empty):
        os.makedirs(folder)
    for seed, (name, file, _, _) in enumerate(ODD_FOLDERS, 10):
        os.makedirs(os.path.join(data, name))
        subprocess.run([sys.executable, GENERATE, os.path.join(data, name, file), "8000", str(seed), "2.0"], check=True)

    def run(*config, data=data, interrupt_after=None, cwd=start):
        command = ["snakemake", "-s", SNAKEFILE, "--cores", "2", "--keep-going",
                   "--config", "data=" + data, "out=" + out, "bin=" + BIN] + list(config)
        proc = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, start_new_session=True)
        if interrupt_after:  # Ctrl-C, as a terminal sends it: to the whole group
            while not os.path.exists(interrupt_after) and proc.poll() is None:
                time.sleep(0.005)
            os.killpg(proc.pid, signal.SIGINT)
        text = proc.communicate(timeout=300)[0]
        if "Traceback" in text:
            fail("snakemake %s: a traceback:\n%s" % (" ".join(config), text[-3000:]))
        return proc.returncode, text

    def refused(case):  # each from a folder of its own: they run at once
        number, (config, words) = case
        config = [c.replace("EMPTY", empty) for c in config]
        folder = os.path.join(SCRATCH, "start-%d" % number)
        os.makedirs(folder)
        status, text = run(*config, data=config[0][5:] if config[0].startswith("data=") else data, cwd=folder)
        if status == 0 or any(w not in text for w in words) or os.path.exists(out) or os.listdir(folder):
            return "snakemake %s: status %d, %s made, %s left where it started, without %s:\n%s" % (
                config, status, "OUT" if os.path.exists(out) else "nothing", os.listdir(folder), words, text[-2000:])
        return None

    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        for problem in pool.map(refused, enumerate(REFUSED_RUNS)):
            if problem:
                fail(problem)

    # Ctrl-C once a job's first step is done: the next plain run redoes it.
    status, text = run(interrupt_after=os.path.join(out, "good", "status", "ovofit.json"))
    status, text = run()
    if status != 0:
        fail("the run after Ctrl-C ended with status %d:\n%s" % (status, text[-3000:]))
    with open(os.path.join(out, "index.json"), encoding="utf-8") as f:
        index = {row["name"]: row for row in json.load(f)}
    for name, _, expected, word in ODD_FOLDERS:
        shown = os.fsencode(name).decode("utf-8", "backslashreplace")
        row = index.get(shown)
        if row is None or row["status"] != expected or (word and word not in row["message"]):
            fail("the folder %r in the index: %s" % (name, row))
    if os.listdir(start):
        fail("Snakemake left %s in the folder it started in" % os.listdir(start))
    read_only_checkout(data, out)


def read_only_checkout(data, out):
    """The README's command for a checkout nobody can write to (--directory
    OUT), started in the checkout made read-only in a mount namespace of
    its own (the scratch folder, which may lie within, left writable): no
    traceback, nothing to do after the runs above."""
    aside = tempfile.mkdtemp(prefix="scratch-view-")  # the scratch folder's writable view, kept aside
    view = ('mount --bind "$1" "$2" && mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" "$0" '
            '&& mount --bind "$2" "$1" && ! touch "$0/.probe" 2>/dev/null && cd "$0" && shift 2 && exec "$@"')
    probe = subprocess.run(["unshare", "-m", "sh", "-c", view, SOURCE, SCRATCH, aside, "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        os.rmdir(aside)
        print("read-only checkout not tried: no private mount namespace here (%s)" % probe.stderr.strip()[-200:])
        return
    run = subprocess.run(["unshare", "-m", "sh", "-c", view, SOURCE, SCRATCH, aside, "snakemake", "-s", "workflow/Snakefile",
                          "--directory", out, "--cores", "2", "--config", "data=" + data, "out=" + out, "bin=" + BIN],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    os.rmdir(aside)
    if run.returncode != 0 or "Traceback" in run.stdout or "Nothing to be done" not in run.stdout:
        fail("from a read-only checkout: status %d:\n%s" % (run.returncode, run.stdout[-3000:]))
    if not os.listdir(os.path.join(out, ".snakemake", "log")):
        fail("no log of Snakemake's in OUT/.snakemake/log")


def main():
    for tool in ("snakemake", "gs"):
        if shutil.which(tool) is None:
            print("SKIPPED: %s is not installed (apt-get install --no-install-recommends %s)"
                  % (tool, "snakemake" if tool == "snakemake" else "ghostscript"))
            sys.exit(77)
    shutil.rmtree(SCRATCH, ignore_errors=True)
    os.makedirs(DATA)
    for seed, name in enumerate(("a", "b", "c"), 1):
        make(name, seed)
    make("damaged", 4, damage="!UNIT_CELL_CONSTANTS=")
    for log, name in (("XSCALE_start.LP", "XSCALE.LP"), ("XSCALE_final.LP", "XSCALE_final.LP")):
        shutil.copy(os.path.join(SOURCE, "examples", log), os.path.join(DATA, "a", name))

    snakemake()
    for name in ("a", "b", "c"):
        folder = os.path.join(OUT, name)
        for step, made in MADE.items():
            wanted = [os.path.join(step, m) for m in made] + [step + ".terminal", "status/%s.json" % step]
            missing = [w for w in wanted if not os.path.isfile(os.path.join(folder, w))]
            if missing:
                fail("%s lacks %s" % (name, missing))
        with open(os.path.join(folder, "mergetab", "statistics.html"), encoding="utf-8") as f:
            if "total" not in f.read():  # from the logs in "a", from ovostats's table in the others
                fail("%s: mergetab's table has no total row" % name)
        if any(n.endswith(".part") for n in os.listdir(folder)):
            fail("%s keeps a step's scratch folder" % name)
        # The page's picture at 150 dpi: 700 x 750 points are 1458 x 1563
        # pixels (PNG's header: width and height after the signature and IHDR).
        with open(os.path.join(folder, "render", "page.png"), "rb") as f:
            head = f.read(24)
        if head[:8] != b"\x89PNG\r\n\x1a\n" or (int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")) != (1458, 1563):
            fail("%s: render/page.png is not 700 x 750 points at 150 dpi (%r)" % (name, head))
    # The damaged data set: ovofit failed and says why; what needs its
    # files was skipped, with empty folders; what does not (ovoscale on the
    # initial data) ran on its own.
    damaged = os.path.join(OUT, "damaged")
    statuses = {}
    for step in MADE:
        path = os.path.join(damaged, "status", step + ".json")
        if os.path.exists(path):
            with open(path) as f:
                statuses[step] = json.load(f)["status"]
    expected = {step: "skipped" for step in MADE}
    expected.update(ovofit="failed", ovoscale_initial=statuses.get("ovoscale_initial"))
    if statuses != expected:
        fail("the damaged data set's steps: %s" % statuses)
    if os.listdir(os.path.join(damaged, "ovofit")) not in ([], [".snakemake_timestamp"]):
        fail("the failed step's folder is not empty: %s" % os.listdir(os.path.join(damaged, "ovofit")))
    with open(os.path.join(damaged, "ovofit.terminal")) as f:
        if "UNIT_CELL_CONSTANTS" not in f.read():
            fail("the damaged data set's transcript does not say why")
    check_index(["a", "b", "c", "damaged"])

    if "Nothing to be done" not in snakemake("-n"):
        fail("a second run has work to do")

    before = files_of(OUT)
    make(FIFTH, 5)
    snakemake()
    after = files_of(OUT)
    changed = sorted({p.split(os.sep)[0] for p in after if before.get(p) != after[p]} - {".snakemake"})
    if changed != sorted([FIFTH, "index.html", "index.json", "index.log"]):
        fail("adding a fifth data set changed %s" % changed)
    _, page = check_index(["a", "b", "c", "damaged", FIFTH])
    if "<b>&" in page or 'e &lt;b&gt;&amp;&quot;5&#x27;' not in page:
        fail("index.html does not escape the fifth data set's name")
    check_in_chromium()
    check_status_command()
    kinds()
    odd_cases()
    print("passed: three good data sets, the damaged one failed at ovofit, nothing to redo, the fifth alone; "
          "odd folder names run or listed, bad settings refused, a run after Ctrl-C redoes the step, a read-only checkout; each kind of reflection file run as it allows")


if __name__ == "__main__":
    main()
