"""Answers one program's questions on standard input, for every rule of the
workflow (the Snakefile imports it; /usr/bin/python3, standard library only).

A step runs in a folder of its own, <data set>/.part/<step>/, so that nothing
it writes carries a name the workflow takes as done until the whole step has
finished:

  run_step()   runs the program there with the answers, one a line, keeps what
               it said (standard output, then standard error) as
               <data set>/<step>.terminal and writes <data set>/status/<step>.json
               last: {"step", "status": "ok"|"failed", "message", "exit"}.
               A failure is a finished step too (the data set stops there, the
               other data sets go on); only a run cut short leaves no status.
  publish()    moves a good step's files from its folder to the data set's
               folder, under the names the Snakefile declares.
  read_status(), summary(): what the Snakefile and the index read back.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

PART = ".part"
STATUS = "status"


def _write_atomically(path, text):
    tmp = "%s.tmp-%d" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def _remove(work):
    """Removes a step's folder, and .part/ once it is empty."""
    shutil.rmtree(work, ignore_errors=True)
    try:
        os.rmdir(os.path.dirname(work))
    except OSError:
        pass


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


def run_step(folder, step, command, answers, outputs, transcript, stdin_text=None):
    """Runs `command` (a list: the program and its arguments) in the step's
    folder with `answers` on standard input, one a line (None: standard input
    is /dev/null), and expects the files named in `outputs` (plain names)
    there afterwards. Always writes the transcript and the status file; a
    program that fails (any exit status but 0, or a file missing) is recorded
    as "failed" with its message, and nothing of it is published."""
    work = os.path.join(folder, PART, step)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.makedirs(os.path.join(folder, STATUS), exist_ok=True)
    started = time.time()
    log = os.path.join(work, step + ".terminal")
    with open(log, "wb") as out:
        if answers is None:
            feed = None
        else:
            feed = "".join(a + "\n" for a in answers).encode()
        try:
            proc = subprocess.run(command, cwd=work, input=feed,
                                  stdin=subprocess.DEVNULL if feed is None else None,
                                  stdout=out, stderr=subprocess.PIPE)
            code, err = proc.returncode, proc.stderr
        except OSError as e:  # the program itself is missing or not runnable
            code, err = 127, ("%s: %s\n" % (command[0], e.strerror)).encode()
        out.write(err)
    seconds = time.time() - started
    stderr_lines = err.decode("utf-8", "backslashreplace").splitlines()
    missing = [name for name in outputs if not os.path.isfile(os.path.join(work, name))]
    ok = code == 0 and not missing
    os.replace(log, transcript)
    record = {"step": step, "status": "ok" if ok else "failed",
              "message": None if ok else _message(code, stderr_lines, missing),
              "exit": code, "seconds": round(seconds, 3)}
    if not ok:
        with open(transcript, "a", encoding="utf-8") as t:
            t.write("\n[workflow] step %s failed: %s\n" % (step, record["message"]))
        _remove(work)
    _write_atomically(status_path(folder, step), json.dumps(record, indent=1) + "\n")


def publish(folder, step, names, targets):
    """Moves a good step's files into place (each given today's time, so that
    they are newer than the status file the move follows)."""
    status = read_status(status_path(folder, step))
    if status["status"] != "ok":
        raise RuntimeError("step %s of %s failed; nothing to publish" % (step, folder))
    work = os.path.join(folder, PART, step)
    for name, target in zip(names, targets):
        os.replace(os.path.join(work, name), target)
        os.utime(target)
    _remove(work)


def summary(name, status_files, path):
    """The data set's one line: the first failed step, or ok."""
    record = {"name": name, "status": "ok", "step": None, "message": None, "seconds": 0.0}
    for f in status_files:
        s = read_status(f)
        record["seconds"] = round(record["seconds"] + s.get("seconds", 0.0), 3)
        if s["status"] != "ok":
            record.update(status="failed", step=s["step"], message=s["message"])
            break
    _write_atomically(path, json.dumps(record, indent=1) + "\n")


def main(argv):
    """answer.py run JOB            (JOB: JSON with folder, step, command, answers, makes, transcript)
       answer.py publish FOLDER STEP NAME...
       answer.py summary NAME OUTPUT STATUS..."""
    if len(argv) == 2 and argv[0] == "run":
        job = json.loads(argv[1])
        run_step(job["folder"], job["step"], job["command"], job["answers"], job["makes"], job["transcript"])
    elif len(argv) >= 3 and argv[0] == "publish":
        names = argv[3:]
        publish(argv[1], argv[2], names, [os.path.join(argv[1], n) for n in names])
    elif len(argv) >= 3 and argv[0] == "summary":
        summary(argv[1], argv[3:], argv[2])
    else:
        print(main.__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
