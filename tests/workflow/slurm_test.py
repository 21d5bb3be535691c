#!/usr/bin/python3
"""The workflow through its SLURM profile on a one-node cluster of its own,
with --mem enforced: three generated data sets and a damaged one.

  slurm_test.py SOURCE_DIR BIN_DIR SCRATCH_DIR

Starts munged, slurmctld and slurmd (Debian's packages) as its children, on
a private munge socket, free ports and SLURM_CONF, and stops them at the
end. Exit 0: passed; 77: skipped (not root, or a package missing, said on
standard output); anything else: failed, with the reason.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE, BIN, SCRATCH = sys.argv[1:4]
GENERATE = os.path.join(SOURCE, "tests", "workflow", "make_dataset.py")
DATA, OUT = os.path.join(SCRATCH, "in"), os.path.join(SCRATCH, "out")
NODE = "ovo%d" % os.getpid()  # also names slurmd's cgroups: no clash with another cluster
TOOLS = ["munged", "munge", "slurmctld", "slurmd", "sbatch", "scontrol", "scancel", "squeue", "snakemake", "gs"]
JOBS = ["cut", "scale_initial", "scale", "report", "stats", "mergetab"]  # a data set's SLURM jobs (unmerged data: ovostats, and mergetab from its table)
STATES = re.compile(r"JobId=(\d+) .*?JobName=(\S+) .*?JobState=(\S+)")


def fail(why):
    print("FAILED:", why)
    sys.exit(1)


def skip(why):
    print("SKIPPED:", why)
    sys.exit(77)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cgroup_memory_works():
    """Whether a cgroup v1 memory limit can be set here (slurmd's
    task/cgroup needs it, and proctrack/cgroup the freezer beside it);
    else slurmd's own poll enforces --mem (cgroup v2 hosts, say)."""
    if not os.path.isdir("/sys/fs/cgroup/freezer"):
        return False
    probe = "/sys/fs/cgroup/memory/%s-probe" % NODE
    try:
        os.mkdir(probe)
    except OSError:
        return False
    try:
        with open(os.path.join(probe, "memory.limit_in_bytes"), "w") as f:
            f.write(str(50 << 20))
        return True
    except OSError:
        return False
    finally:
        os.rmdir(probe)


class Cluster:
    """munged, slurmctld and slurmd on one node, all in one folder."""

    def __init__(self):
        # Short: munge's socket name must fit in 108 bytes.
        self.base = tempfile.mkdtemp(prefix="ovo-slurm-", dir="/tmp")
        self.children = []
        self.env = dict(os.environ, SLURM_CONF=os.path.join(self.base, "slurm.conf"))

    def path(self, *names):
        return os.path.join(self.base, *names)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def run(self, *command, check=True):
        done = subprocess.run(command, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if check and done.returncode != 0:
            fail("%s: status %d: %s" % (" ".join(command), done.returncode, done.stdout))
        return done.stdout

    def start(self):
        for d in ("munge", "key", "state", "spool", "log"):
            os.mkdir(self.path(d))
        os.chmod(self.base, 0o755)
        os.chmod(self.path("munge"), 0o755)  # munged wants the socket's folder open to all
        os.chmod(self.path("key"), 0o700)
        with open(self.path("key", "munge.key"), "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(self.path("key", "munge.key"), 0o400)
        socket_name = self.path("munge", "munge.socket")
        self.spawn("munged", "-F", "--socket=" + socket_name, "--key-file=" + self.path("key", "munge.key"),
                   "--log-file=" + self.path("log", "munged.log"), "--pid-file=" + self.path("munge", "munged.pid"),
                   "--seed-file=" + self.path("key", "munged.seed"))
        self.wait_for(lambda: os.path.exists(socket_name), "munged's socket")

        # The node as slurmd finds it, a tenth of its memory kept back.
        found = self.run("slurmd", "-C").splitlines()[0]
        memory = int(re.search(r"RealMemory=(\d+)", found).group(1))
        node = re.sub(r"NodeName=\S+", "NodeName=%s NodeHostname=localhost NodeAddr=127.0.0.1" % NODE, found)
        node = re.sub(r"RealMemory=\d+", "RealMemory=%d" % (memory * 9 // 10), node)
        self.cgroups = cgroup_memory_works()
        if self.cgroups:  # --mem as a cgroup limit
            enforce = "ProctrackType=proctrack/cgroup\nTaskPlugin=task/cgroup\nJobAcctGatherType=jobacct_gather/none\n"
            self.write("cgroup.conf", "CgroupPlugin=cgroup/v1\nCgroupMountpoint=/sys/fs/cgroup\n"
                       "ConstrainRAMSpace=yes\nConstrainSwapSpace=no\nConstrainCores=no\nConstrainDevices=no\n")
        else:  # slurmd's poll kills a job over its --mem
            enforce = ("ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
                       "JobAcctGatherType=jobacct_gather/linux\nJobAcctGatherFrequency=task=1\n"
                       "JobAcctGatherParams=OverMemoryKill\n")
        self.write("slurm.conf", """ClusterName=ovotest
SlurmctldHost=localhost
SlurmctldPort={ctld}
SlurmdPort={d}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={socket}
StateSaveLocation={base}/state
SlurmdSpoolDir={base}/spool
SlurmctldPidFile={base}/slurmctld.pid
SlurmdPidFile={base}/slurmd.pid
SlurmctldLogFile={base}/log/slurmctld.log
SlurmdLogFile={base}/log/slurmd.log
MailProg=/bin/true
MpiDefault=none
ReturnToService=2
MinJobAge=900
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
{enforce}{node} State=UNKNOWN
PartitionName=standard Nodes={name} Default=YES MaxTime=INFINITE State=UP
""".format(ctld=free_port(), d=free_port(), socket=socket_name, base=self.base, enforce=enforce,
           node=node, name=NODE))
        self.spawn("slurmctld", "-D", "-i")
        self.spawn("slurmd", "-D", "-N", NODE)
        self.wait_for(lambda: " idle " in " %s " % self.run("sinfo", "-h", "-o", "%T", check=False).strip(),
                      "the node idle")

    def spawn(self, *command):
        log = open(self.path("log", command[0] + ".out"), "w")
        self.children.append(subprocess.Popen(command, env=self.env, stdout=log, stderr=subprocess.STDOUT))

    def wait_for(self, ready, what, seconds=30):
        end = time.time() + seconds
        while not ready():
            if time.time() > end:
                logs = "".join(open(self.path("log", n), errors="replace").read()[-1500:]
                               for n in sorted(os.listdir(self.path("log"))))
                fail("no %s after %d s; logs:\n%s" % (what, seconds, logs))
            for child in self.children:
                if child.poll() is not None:
                    fail("%s ended with status %d waiting for %s" % (child.args[0], child.returncode, what))
            time.sleep(0.2)

    def jobs(self):
        """Every job slurmctld knows: id -> (name, state)."""
        text = self.run("scontrol", "show", "job", "-o", check=False)
        return {int(m.group(1)): (m.group(2), m.group(3)) for m in STATES.finditer(text)}

    def stop(self):
        if self.children:
            self.run("scancel", "--full", *[str(j) for j in self.jobs()], check=False)
        for child in reversed(self.children):  # slurmd, slurmctld, munged
            child.send_signal(signal.SIGTERM)
            try:
                child.wait(timeout=15)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        for hierarchy in ("memory", "freezer", "cpuset", "devices"):
            top = os.path.join("/sys/fs/cgroup", hierarchy, "slurm_" + NODE)
            for root, _, _ in sorted(os.walk(top), key=lambda w: -w[0].count("/")):
                try:
                    os.rmdir(root)
                except OSError:
                    pass
        shutil.rmtree(self.base, ignore_errors=True)


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


def snakemake(cluster, *extra, wait=True):
    """The README's command through the profile, started in the checkout
    with the profile's path relative to it, as the README gives it: the
    status command must be found once the Snakefile's workdir has moved to
    OUT, and Snakemake's log must not stay in the checkout."""
    command = ["snakemake", "-s", "workflow/Snakefile", "--profile", "workflow/profiles/slurm",
               "--config", "data=" + DATA, "out=" + OUT, "bin=" + BIN] + list(extra)
    # CI=true: Snakemake 7 asks after its cluster jobs every second instead
    # of every 10 s (its own setting for test runs): the same checks, a
    # quarter of the time.
    run = subprocess.Popen(command, cwd=SOURCE, env=dict(cluster.env, CI="true"), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    if not wait:
        return run
    text, _ = run.communicate(timeout=300)
    return run.returncode, text


def check_enforced(cluster):
    """A job over its --mem is ended by SLURM: the limit the workflow's jobs
    meet is real."""
    job = int(cluster.run("sbatch", "--parsable", "--mem=30M", "--output=/dev/null", "--job-name=hog", "--wrap",
                          "%s -c 'x = b\"1\" * (300 << 20); import time; time.sleep(3)'" % sys.executable).strip())
    cluster.wait_for(lambda: cluster.jobs().get(job, ("", "PENDING"))[1] not in ("PENDING", "RUNNING", "COMPLETING"),
                     "the end of a job over its memory", 60)
    state = cluster.jobs()[job][1]
    if state == "COMPLETED":
        fail("a job of 300 MB completed under --mem=30M: memory is not enforced")
    return state


def main():
    if os.geteuid() != 0:
        skip("slurmd must run as root to enforce --mem")
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        skip("%s not installed (apt-get install --no-install-recommends slurmctld slurmd slurm-client munge "
             "snakemake ghostscript)" % ", ".join(missing))
    shutil.rmtree(SCRATCH, ignore_errors=True)
    os.makedirs(DATA)
    for seed, name in enumerate(("a", "b", "c"), 1):
        make(name, seed)
    make("damaged", 4, damage="!UNIT_CELL_CONSTANTS=")
    had_records = os.path.exists(os.path.join(SOURCE, ".snakemake"))
    cluster = Cluster()
    try:
        started = time.time()
        cluster.start()
        hog = check_enforced(cluster)
        print("cluster up in %.1f s, --mem enforced by %s (a job over it ended %s)"
              % (time.time() - started, "cgroup v1" if cluster.cgroups else "slurmd's poll", hog))
        run_workflow(cluster)
    finally:
        cluster.stop()
    if not had_records and os.path.exists(os.path.join(SOURCE, ".snakemake")):
        fail("the runs left Snakemake's records (.snakemake/) in the checkout they started in")


def run_workflow(cluster):
    # 0. A misspelt setting stops the run before anything is submitted.
    before = cluster.jobs()
    status, text = snakemake(cluster, "criterion=CC12")
    if status == 0 or "'CC12' is not one of" not in text or cluster.jobs() != before:
        fail("criterion=CC12: status %d, %d jobs submitted:\n%s" % (status, len(cluster.jobs()) - len(before), text[-2000:]))

    # 1. A job cancelled while it runs: the run sees it end, and ends.
    started = time.time()
    run = snakemake(cluster, wait=False)
    cancelled = None
    while cancelled is None and run.poll() is None and time.time() - started < 120:
        running = [j for j, (name, state) in cluster.jobs().items() if name == "ovo-cut" and state == "RUNNING"]
        if running:
            cancelled = min(running)
            cluster.run("scancel", str(cancelled))
        time.sleep(0.2)
    if cancelled is None:
        run.kill()
        fail("no ovo-cut job seen running:\n" + run.communicate()[0][-3000:])
    try:
        text, _ = run.communicate(timeout=180)
    except subprocess.TimeoutExpired:
        run.kill()
        fail("the run still waits 180 s after its job %d was cancelled" % cancelled)
    if run.returncode == 0 or "Error in rule cut" not in text:
        fail("a run with a cancelled job ended with status %d:\n%s" % (run.returncode, text[-3000:]))
    first = time.time() - started

    # 2. The next run completes the data set whose job was cancelled.
    started = time.time()
    status, text = snakemake(cluster)
    if status != 0:
        fail("the run after the cancel ended with status %d:\n%s" % (status, text[-4000:]))
    second = time.time() - started
    jobs = cluster.jobs()
    ours = {j: s for j, s in jobs.items() if s[0].startswith("ovo-")}
    states = sorted({s[1] for j, s in ours.items() if j != cancelled})
    if states != ["COMPLETED"] or jobs[cancelled][1] != "CANCELLED":
        fail("the workflow's jobs ended %s (job %d %s)" % (states, cancelled, jobs[cancelled][1]))
    done = sorted(s[0] for j, s in ours.items() if j != cancelled)
    if done != sorted(["ovo-" + job for job in JOBS] * 4):
        fail("the jobs that completed: %s, not one of each for each data set" % done)
    logs = [n for n in os.listdir(os.path.join(OUT, ".snakemake")) if n.startswith("slurm-")]
    if sorted(logs) != sorted("slurm-%d.log" % j for j in ours):
        fail("SLURM's job logs %s for the jobs %s" % (logs, sorted(ours)))

    # What the run made: every good data set's report, the index with the
    # damaged data set failed at ovofit.
    with open(os.path.join(OUT, "index.json"), encoding="utf-8") as f:
        index = {row["name"]: row for row in json.load(f)}
    if sorted(index) != ["a", "b", "c", "damaged"]:
        fail("index.json lists %s" % sorted(index))
    for name in ("a", "b", "c"):
        if index[name]["status"] != "ok" or not index[name]["report"]:
            fail("%s in the index: %s" % (name, index[name]))
        for made in ("ovoreport/report.html", "ovoreport/report.json", "render/page.pdf"):
            if not os.path.isfile(os.path.join(OUT, name, made)):
                fail("%s lacks %s" % (name, made))
    damaged = index["damaged"]
    if damaged["status"] != "failed" or damaged["step"] != "ovofit" or "UNIT_CELL" not in damaged["message"]:
        fail("the damaged data set in the index: %s" % damaged)
    if not os.path.isfile(os.path.join(OUT, "index.html")):
        fail("no index.html")

    # 3. A second run has nothing to do and submits nothing.
    status, text = snakemake(cluster)
    if status != 0 or "Nothing to be done" not in text or len(cluster.jobs()) != len(jobs):
        fail("a second run (status %d) had work to do:\n%s" % (status, text[-3000:]))
    print("passed: criterion=CC12 refused before submitting; job %d cancelled, that run ended in %.0f s; the next "
          "completed the data set in %.0f s; %d jobs COMPLETED through SLURM; a third run had nothing to do"
          % (cancelled, first, second, len(done)))


if __name__ == "__main__":
    main()
