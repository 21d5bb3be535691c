"""Answers one program's questions on standard input, for every rule of the
workflow (/usr/bin/python3, standard library only):

  answer.py JOB     JOB: JSON with folder (the data set's output folder),
                    step, command (the program and its arguments), answers
                    (one a line on standard input; null: none), makes (the
                    files the program must write, plain names) and after
                    (the status files of the steps it reads from).

The program runs in <folder>/.<step>.part/, so that nothing it writes carries
a name the workflow takes as done before the whole step has finished. Then,
whatever happened, the step leaves

  <folder>/<step>/             the program's files, moved there whole once it
                               succeeded (empty when it failed),
  <folder>/<step>.terminal     what it said: standard output, then standard error,
  <folder>/status/<step>.json  written last: {"step", "status", "message",
                               "exit", "seconds", "cpu_seconds"} (the
                               program's wall and CPU time), the status "ok", "failed"
                               (message: the program's last line on standard
                               error) or "skipped" (a step it reads from did
                               not succeed; nothing is run).

A failure is a finished step: the data set stops there, the other data sets
go on. Only a run cut short leaves no status file, and the step runs again.
"""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time

STATUS = "status"


def _write_atomically(path, text):
    tmp = "%s.tmp-%d" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def _remove(work):
    shutil.rmtree(work, ignore_errors=True)


def status_path(folder, step):
    return os.path.join(folder, STATUS, step + ".json")


def read_status(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def _message(status, stderr_lines, missing):
    """The program's own last word on standard error, else what the exit says."""
    for line in reversed(stderr_lines):
        if line.strip():
            return line.strip()
    if missing:
        return "finished without writing " + ", ".join(missing)
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = "signal %d" % -status
        return "ended by " + name
    return "exit status %d" % status


def run_step(folder, step, command, answers, makes, after):
    work = os.path.join(folder, "." + step + ".part")
    done = os.path.join(folder, step)
    transcript = os.path.join(folder, step + ".terminal")
    os.makedirs(os.path.join(folder, STATUS), exist_ok=True)
    for path in after:
        before = read_status(path)
        if before["status"] != "ok":
            os.makedirs(done, exist_ok=True)
            with open(transcript, "w", encoding="utf-8") as t:
                t.write("[workflow] step %s not run: step %s did not succeed\n" % (step, before["step"]))
            record = {"step": step, "status": "skipped", "message": "after step %s" % before["step"],
                      "exit": None, "seconds": 0.0, "cpu_seconds": 0.0}
            _write_atomically(status_path(folder, step), json.dumps(record, indent=1) + "\n")
            return
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    started = time.time()
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    log = os.path.join(work, step + ".terminal")
    with open(log, "wb") as out:
        feed = None if answers is None else "".join(a + "\n" for a in answers).encode()
        try:
            proc = subprocess.run(command, cwd=work, input=feed,
                                  stdin=subprocess.DEVNULL if feed is None else None,
                                  stdout=out, stderr=subprocess.PIPE)
            code, err = proc.returncode, proc.stderr
        except OSError as e:  # the program itself is missing or not runnable
            code, err = 127, ("%s: %s\n" % (command[0], e.strerror)).encode()
        out.write(err)
    seconds = time.time() - started
    now = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = now.ru_utime + now.ru_stime - used.ru_utime - used.ru_stime
    stderr_lines = err.decode("utf-8", "backslashreplace").splitlines()
    missing = [name for name in makes if not os.path.isfile(os.path.join(work, name))]
    ok = code == 0 and not missing
    record = {"step": step, "status": "ok" if ok else "failed",
              "message": None if ok else _message(code, stderr_lines, missing),
              "exit": code, "seconds": round(seconds, 3), "cpu_seconds": round(cpu, 3)}
    if not ok:
        with open(log, "a", encoding="utf-8") as t:
            t.write("\n[workflow] step %s failed: %s\n" % (step, record["message"]))
    os.replace(log, transcript)
    if ok:
        os.replace(work, done)
    else:
        _remove(work)
        os.makedirs(done, exist_ok=True)
    _write_atomically(status_path(folder, step), json.dumps(record, indent=1) + "\n")


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    job = json.loads(argv[0])
    run_step(job["folder"], job["step"], job["command"], job["answers"], job["makes"], job["after"])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
