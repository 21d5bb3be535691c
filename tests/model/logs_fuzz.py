#!/usr/bin/env python3
"""Random Phaser logs and XSCALE.LP pairs run through honer, mergetab and
mergetab-rsym, every byte compared with honer_model.py / mergetab_model.py.

Build the programs first, then run by hand from the repository root:

    cmake -B build-model2 -S . && cmake --build build-model2 -j2 --target honer mergetab mergetab-rsym
    python3 tests/model/logs_fuzz.py --bin build-model2/bin --cases 3000

Options: --seed S (default 1), --only honer|mergetab, --case K (run one case,
print its inputs and both outcomes), --keep DIR (write the folder of every
differing case there), --show N (details of the first N differences),
--realdata DIR (also every Phaser log in DIR/phaser and every ordered pair of
.LP files in DIR/xscale, e.g. ../shared/realdata).

Each case runs in a fresh temporary folder with the answers on standard
input.  Compared: the exit status; the terminal output line by line (the
number after "Preparing cad to apply a B-factor of" only by value, its
format being free); every file in the folder afterwards, byte for byte,
including files that must not exist or must be left untouched; and that
standard error carries a report when the run fails or ends without a result
(for mergetab, naming the log without a marker line).
"""

import argparse
import glob
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True     # no __pycache__ left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import honer_model  # noqa: E402
import mergetab_model  # noqa: E402
from honer_model import f32_round  # noqa: E402

PRINTABLE = bytes(range(32, 127))


# ------------------------------------------------------------------ helpers

def rtext(rng, n, alphabet=PRINTABLE):
    return bytes(rng.choice(alphabet) for _ in range(n))


def place(rng, text, width):
    """A number text in a field: right-justified mostly, sometimes left or
    in the middle; a text longer than the field spills (the caller cuts)."""
    if len(text) >= width:
        return text
    r = rng.random()
    if r < 0.8:
        return text.rjust(width)
    if r < 0.9:
        return text.ljust(width)
    pad = rng.randint(0, width - len(text))
    return (b' ' * pad + text).ljust(width)


def join_lines(rng, lines):
    """Lines to file bytes: LF or CRLF (per file or per line), the last line
    sometimes without its LF, now and then a stray CR."""
    mode = rng.random()
    out = []
    odd = rng.randrange(len(lines)) if lines and mode > 0.97 else None
    for k, line in enumerate(lines):
        if mode < 0.6:
            end = b'\n'
        elif mode < 0.85:
            end = b'\r\n'
        else:
            end = rng.choice([b'\n', b'\r\n'])
        if k == odd:
            end = b'\r\r\n'                            # one CR stays in the line
        out.append(line + end)
    data = b''.join(out)
    if data and rng.random() < 0.1:
        data = data[:-1]
        if data.endswith(b'\r') and rng.random() < 0.5:
            data = data[:-1]
    if rng.random() < 0.03:
        data = big_filler(rng, len(data), b'\r\n' if mode >= 0.6 else b'\n') + data
    return data


BUFFER = 1 << 20


def big_filler(rng, size, end):
    """Lines of x that push the rest of the file across the 1 MB mark (or,
    now and then, one line longer than that), so that lines, CR LF pairs and
    fields of the table fall on a buffer boundary."""
    if rng.random() < 0.15:
        return b'x' * rng.randint(BUFFER - 10, 3 * BUFFER) + end
    total = BUFFER - rng.randint(0, max(size, 1))
    if rng.random() < 0.3:
        total += BUFFER                              # the second boundary
    out = []
    left = total
    while left > 0:
        n = min(left, rng.randint(1, 200))
        if n <= len(end):
            out.append(b'\n' * n)
        else:
            out.append(b'x' * (n - len(end)) + end)
        left -= n
    return b''.join(out)


NAME_CHARS = b'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-'


def new_name(rng, taken):
    """A new name, mostly short, now and then longer than the 80 or 90
    characters the programs once cut names to (but within one folder
    entry's 255)."""
    while True:
        r = rng.random()
        if r < 0.75:
            n = rng.randint(1, 12)
        elif r < 0.9:
            n = rng.choice([80, 90, 91, 255])
        else:
            n = rng.randint(13, 255)
        name = rtext(rng, n, NAME_CHARS)
        if rng.random() < 0.08:
            name = b' ' + name[1:] if n > 1 else name      # leading blank
        if rng.random() < 0.05 and n > 2:
            i = rng.randint(1, n - 2)
            name = name[:i] + b' ' + name[i + 1:]           # embedded blank
        if name in (b'.', b'..') or name.strip() == b'' or name.endswith(b' '):
            continue
        if name not in taken:
            return name


def answer_for(rng, name):
    """An answer line naming `name`: as is or with trailing blanks (even
    past 4096 bytes); now and then one that names no file (a NUL byte in
    it, or more than 4096 bytes, blanks inside counted)."""
    r = rng.random()
    if r < 0.7:
        return name
    if r < 0.9:
        return name + b' ' * rng.choice([rng.randint(1, 120), 5000])
    return rng.choice([name[:1] + b'\0' + name[1:], name + b'x' * rng.randint(4097, 5000),
                       name + b' ' * rng.randint(4097, 4200) + b'x'])


# ------------------------------------------------------------------ honer

def honer_value_field(rng):
    r = rng.random()
    if r < 0.35:
        v = rng.uniform(-999, 999)
        text = (b'%.' + str(rng.randint(0, 4)).encode() + b'f') % v
        if rng.random() < 0.1:
            text = text.rstrip(b'0')
    elif r < 0.5:
        text = b'%d' % rng.randint(-99999999, 999999999)
        if rng.random() < 0.5:
            text = b'%d' % rng.randint(-999, 9999)
    elif r < 0.55:
        text = b''
    elif r < 0.62:
        text = rng.choice([b'-0', b'-0.000', b'0', b'-.0004', b'-0.0005', b'.0005', b'0.0015',
                           b'+5.09', b'5.09', b'-23.456', b'-25', b'25', b'5.', b'.5', b'-.5'])
    elif r < 0.72:
        text = rng.choice([b'1.5e2', b'-2E-3', b'25e1', b'1.0D+3', b'1d2', b'-1.5E+1', b'3e38',
                           b'4e38', b'-4e38', b'1e-50', b'1.0e9', b'1E8', b'2.5e-4', b'-2.5e-4',
                           b'1.2345e5', b'9.9999e8', b'99999999.', b'999999999',
                           b'1.5+2', b'12-3', b'-2.5-1', b'5+0'])
    elif r < 0.8:
        text = rng.choice([b'Inf', b'-inf', b'Infinity', b'NaN', b'+NaN', b'-Infinity', b'nan',
                           b'INF', b'+inf'])
    else:
        text = rng.choice([b'abc', b'1.2.3', b'--5', b'1e', b'- 5', b'1 5', b'.', b'-', b'+',
                           b'e5', b'1.5x', b'12,5', b'0x1A', b'1_000', b'5-', b'1e+', b'*****',
                           b'N/A', b'1.5 2', b'Infx', b'\t-23.4', b'5.0\t'])
    return place(rng, text, 9)


def near_heading(rng):
    return rng.choice([
        b'    eigenB (A^2)', b'      eigenB', b'     EIGENB', b'     Eigenb', b'     eigenb',
        b'     eigen B', b'     eige', b'     eigen', b'    eigenB', b'eigenB', b'\teigenB',
        b'     eigenb (A^2)     direction cosines', b'   Principal components of anisotropic part',
        b'        10.730              0.7575   0.6528  -0.0000', b'', b'  eigenB  eigenB',
    ])


def honer_log(rng):
    lines = []
    for _ in range(rng.choice([0, 0, 1, 2, 3, 5, 8])):
        lines.append(near_heading(rng) if rng.random() < 0.5 else rtext(rng, rng.randint(0, 60)))
    if rng.random() < 0.85:
        r = rng.random()
        prefix = b'     ' if r < 0.7 else rtext(rng, 5)
        tail = rng.choice([b'', b' (A^2)     direction cosines (orthogonal coordinates)', rtext(rng, 20)])
        lines.append(prefix + b'eigenB' + tail)
        after = rng.choice([3, 3, 3, 3, 3, 3, 0, 1, 2])
        for k in range(after):
            if k < 2:
                lines.append(rng.choice([b'', rtext(rng, rng.randint(0, 50)), b'     eigenB second',
                                         b'        10.730              0.7575']))
            else:
                prefix = b'     ' if rng.random() < 0.7 else rtext(rng, 5)
                field = honer_value_field(rng)
                r = rng.random()
                if r < 0.5:
                    tail = b'              0.0000   0.0000   1.0000'
                elif r < 0.7:
                    tail = rtext(rng, rng.randint(0, 30))
                else:
                    tail = b''
                line = prefix + field + tail
                if rng.random() < 0.1:
                    line = line[:rng.randint(0, len(line))]
                lines.append(line)
        for _ in range(rng.choice([0, 0, 1, 4])):
            if rng.random() < 0.3:
                lines += [b'     eigenB again', b'', b'', b'     ' + place(rng, b'777.777', 9)]
            else:
                lines.append(rtext(rng, rng.randint(0, 70)))
    return join_lines(rng, lines)


def honer_case(rng):
    files = {}
    log = new_name(rng, files)
    cad = new_name(rng, {log: 1})
    r = rng.random()
    if r < 0.04:
        pass                                    # the log does not exist
    else:
        files[log] = honer_log(rng)
    r = rng.random()
    if r < 0.04:
        files[cad] = b'left alone\n'            # the cad file exists
    elif r < 0.06:
        cad = log                               # the same name
    answers = [answer_for(rng, log), answer_for(rng, cad)]
    r = rng.random()
    if r < 0.03:
        answers[rng.randint(0, 1)] = rng.choice([b'', b'   '])
    eol = b'\r\n' if rng.random() < 0.05 else b'\n'
    stdin = b''.join(a + eol for a in answers)
    r = rng.random()
    if r < 0.03:
        stdin = b''.join(a + eol for a in answers[:rng.randint(0, 1)])
    elif r < 0.05:
        stdin = stdin[:-1]                       # last answer without its LF
    return files, stdin


# ------------------------------------------------------------------ mergetab

def number_text(rng, kind, fault=False):
    """A number for one of the shell-row fields; with `fault`, a slice that
    holds no number."""
    if fault:
        return rng.choice([b'', b'abc', b'1.2.3', b'--5', b'1e', b'.', b'-', b'+', b'e5', b'1.5x',
                           b'0x1A', b'N/A', b'*****', b',5', b'1_0', b'5%', b'5-', b'1.5e+',
                           b'\t5', b'5\t'])
    r = rng.random()
    if r < 0.05:
        words = [b'Inf', b'-inf', b'NaN', b'nan', b'+inf', b'INF']
        if kind not in ('isigma', 'secondCount'):
            words += [b'Infinity', b'-Infinity']
        return rng.choice(words)
    if r < 0.09:
        return rng.choice([b'1.5e3', b'1e10', b'-2.5E-1', b'5423E0', b'1.0D+2', b'3e38', b'4e38',
                           b'1e-50', b'-0', b'-0.0', b'0', b'0.0', b'1.5+2', b'12-3', b'-2.5-1', b'2.147483647E9', b'-2.2e9',
                           b'2147483647', b'2147483648', b'-2147483648', b'-2147483649', b'9999999999'])
    if r < 0.13:
        # a number with something after it in the same slice
        return number_text(rng, kind).strip() + rng.choice([b' 12', b',7', b' x', b',', b' ,', b'  %'])
    if kind in ('observed', 'secondCount', 'thirdCount'):
        r = rng.random()
        if r < 0.5:
            return b'%d' % rng.randint(0, 99999)
        if r < 0.6:
            return b'%d' % rng.randint(1000000, 9999999)
        if r < 0.65:
            return b'%d' % rng.randint(10000000, 99999999999)
        if r < 0.7:
            return b'0'
        if r < 0.8:
            return b'%d' % rng.randint(-99999, -1)
        if r < 0.9:
            return b'%.1f' % rng.uniform(-5, 100000)
        return b'%.*f' % (rng.randint(0, 3), rng.uniform(-1, 1))
    if kind in ('completeness', 'rmerge'):
        r = rng.random()
        if r < 0.5:
            return b'%.1f' % rng.uniform(0, 100)
        if r < 0.65:
            return b'%.1f' % rng.uniform(1000, 99999)
        if r < 0.75:
            return b'%.2f' % (rng.randint(-400, 400) / 4 + rng.choice([0, 0.05, -0.05, 0.025]))
        if r < 0.85:
            return rng.choice([b'99.95', b'999.95', b'9999.95', b'99999.9', b'-0.04', b'-0.05',
                               b'0.25', b'0.75', b'2.5', b'-99999.9', b'-999.9', b'-9999.9', b'0.05',
                               b'1078.0', b'12345.67', b'-99.9', b'-99.0', b'-99.90', b'-99', b'-99.8'])
        return b'%.*f' % (rng.randint(0, 4), rng.uniform(-200, 2000))
    # isigma
    r = rng.random()
    if r < 0.6:
        return b'%.2f' % rng.uniform(-5, 100)
    if r < 0.75:
        return rng.choice([b'42.45', b'0.25', b'-0.04', b'999.95', b'9999.9', b'99999.', b'-999.9',
                           b'-99.95', b'0.05', b'12.25', b'12.35', b'-99.9', b'-99.0', b'-99.00'])
    return b'%.*f' % (rng.randint(0, 3), rng.uniform(-10000, 100000))


LABEL_CHARS = b'0123456789.  ab&<>"\'total'


def shell_row(rng, fault=None, given_label=None):
    """One shell row; `fault` names a field to spoil, or 'short' for a line
    cut before its last field; `given_label` for a row of that label."""
    line = bytearray(b' ' * 90)

    def put(first, last, text):
        cut = place(rng, text, last - first + 1)
        # a text longer than its field runs on to the right
        line[first - 1:first - 1 + len(cut)] = cut

    if rng.random() < 0.1:
        line[0:3] = rtext(rng, 3)
    r = rng.random()
    if r < 0.7:
        label = b'%6.2f' % rng.uniform(0.5, 99)
    elif r < 0.8:
        label = b' total'
    elif r < 0.9:
        label = rtext(rng, 6, LABEL_CHARS)
    elif r < 0.97:
        label = rtext(rng, 6)
    else:
        label = rtext(rng, 6, bytes(range(1, 256)).replace(b'\n', b'').replace(b'\r', b''))
    line[3:9] = label if given_label is None else given_label
    put(10, 21, number_text(rng, 'observed', fault == 'observed'))
    put(22, 29, number_text(rng, 'secondCount', fault == 'secondCount'))
    put(30, 39, number_text(rng, 'thirdCount', fault == 'thirdCount'))
    put(40, 50, number_text(rng, 'completeness', fault == 'completeness'))
    line[50] = ord('%') if rng.random() < 0.9 else rng.choice(PRINTABLE)
    put(52, 61, number_text(rng, 'rmerge', fault == 'rmerge'))
    if line[61] == ord(' '):
        line[61] = ord('%')
    if rng.random() < 0.7:
        line[62:83] = b'      2.9%     1512  '
    elif rng.random() < 0.5:
        line[62:83] = rtext(rng, 21)
    put(84, 89, number_text(rng, 'isigma', fault == 'isigma'))
    line = bytes(line)
    if fault == 'short':
        return line[:rng.randint(0, 88)]
    r = rng.random()
    if r < 0.3:
        line = line[:89]
    elif r < 0.5:
        line = line[:90]
    elif r < 0.6:
        line = line + rtext(rng, rng.randint(1, 60))
    else:
        line = line.rstrip(b' ')
    return line


MARKER_LINE = b' SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION'


def near_marker(rng):
    r = rng.randint(0, 9)
    if r == 0:
        return b' SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE  >= -3.0 AS FUNCTION OF RESOLUTION'
    if r == 1:
        return b' SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE>= -3.0 AS FUNCTION OF RESOLUTION'
    if r == 2:
        return MARKER_LINE[:50]                         # cut inside the marker
    if r == 3:
        return b' ' * 45 + b'= -3.1'
    if r == 4:
        return b' ' * 45 + b'=  -3.0'
    if r == 5:
        return b' ' * 45 + b'= -3,0'
    if r == 6:
        return b' ' * 90 + b'= -3.0'                    # beyond column 90
    if r == 7:
        return b' ' * 45 + b'=-3.0 '
    if r == 8:
        return b' ' * 44 + b'= -3.0'
    return b' SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0'[1:]


def marker_line(rng):
    r = rng.random()
    if r < 0.6:
        return MARKER_LINE
    if r < 0.7:
        return MARKER_LINE[:51]
    if r < 0.8:
        return rtext(rng, 45) + b'= -3.0'
    if r < 0.9:
        return rtext(rng, 45) + b'= -3.0' + rtext(rng, rng.randint(1, 80))
    return b' ' * 45 + b'= -3.0' + b' ' * 40 + b'tail'


# Shell limits shared by the logs of a case (a run with and without the
# same RESOLUTION_SHELLS=), so that rows pair, some shells only in one log.
GRID = [b'%6.2f' % (9.0 - 0.25 * k) for k in range(30)] + [b'  9.0 ', b'9.0000', b' 8.7 5']


def grid_labels(rng, n):
    picked = sorted(rng.sample(range(30), min(n, 30)))
    labels = [GRID[k] for k in picked]
    if labels and rng.random() < 0.2:
        labels[rng.randrange(len(labels))] = rng.choice(GRID[30:] + [b'  abc ', b'   nan', b' 1e999'])
    return labels


def correct_head(rng):
    """The head of a CORRECT log: its banner, tables of the first images, and
    the line before the table of the whole data set (sometimes missing)."""
    lines = [b'', b' ***** CORRECT ***** (VERSION January 10, 2014)  15-May-2014']
    for _ in range(rng.randint(0, 2)):
        lines += [MARKER_LINE, b'', b'', b''] + [shell_row(rng) for _ in range(rng.randint(3, 21))]
    if rng.random() < 0.9:
        lines.append(rng.choice([b'  STATISTICS OF SAVED DATA SET "XDS_ASCII.HKL" (DATA_RANGE=       1    1800)',
                                 b'STATISTICS OF SAVED DATA SET', b' STATISTICS OF SAVED DATA  SET']))
    return lines


def xscale_log(rng):
    lines = []
    if rng.random() < 0.2:
        lines += correct_head(rng)
    elif rng.random() < 0.05:
        lines += [b'  ', b' ***** XSCALE ***** ***** CORRECT *****' if rng.random() < 0.5 else b' x',
                  b' ***** CORRECT *****']
    labels = grid_labels(rng, 21) if rng.random() < 0.5 else None
    for _ in range(rng.choice([0, 1, 3, 6])):
        lines.append(near_marker(rng) if rng.random() < 0.5 else rtext(rng, rng.randint(0, 100)))
    if rng.random() < 0.93:
        lines.append(marker_line(rng))
        skipped = rng.choice([3] * 80 + [0, 1, 2])
        for _ in range(skipped):
            lines.append(rng.choice([b'', b' RESOLUTION     NUMBER OF REFLECTIONS    COMPLETENESS',
                                     rtext(rng, rng.randint(0, 120)), MARKER_LINE]))
        if skipped == 3:
            nrows = rng.choice([21] * 60 + [0, 5, 20] + [9] * 10 + [20] * 10)
            fault_row = rng.randint(0, 20) if rng.random() < 0.12 else None
            fault = rng.choice(['observed', 'secondCount', 'thirdCount', 'completeness', 'rmerge',
                                'isigma', 'short'])
            for k in range(nrows):
                label = labels[k] if labels is not None and k < len(labels) else None
                lines.append(shell_row(rng, fault if k == fault_row else None, given_label=label))
            if nrows < 21 and rng.random() < 0.6:
                lines.append(shell_row(rng, given_label=rng.choice([b' total', b'total ', b'   tot'])))
            r = rng.random()
            if nrows < 21 and r < 0.5:
                for _ in range(21 - nrows):
                    lines.append(shell_row(rng))                 # the rows that follow read as rows
            elif r < 0.7:
                lines += [b'', b'', b' ========== STATISTICS OF INPUT DATA SET ==========']
            if rng.random() < 0.3:
                lines.append(MARKER_LINE)                        # a second table, never read
                lines += [b'', b'', b'']
                lines += [shell_row(rng) for _ in range(21)]
    return join_lines(rng, lines)


def mergetab_case(rng):
    files = {}
    start = new_name(rng, files)
    final = new_name(rng, {start: 1})
    stats = new_name(rng, {start: 1, final: 1})
    if rng.random() < 0.05:
        final = start                                   # one log named twice
    if rng.random() > 0.03:
        files[start] = xscale_log(rng)
    if final not in files and rng.random() > 0.03:
        files[final] = xscale_log(rng)
    r = rng.random()
    if r < 0.03:
        files[stats] = b'old statistics\n'
    elif r < 0.05:
        stats = rng.choice([start, final])
    answers = [answer_for(rng, start), answer_for(rng, final), answer_for(rng, stats)]
    if rng.random() < 0.03:
        answers[rng.randint(0, 2)] = rng.choice([b'', b'  '])
    eol = b'\r\n' if rng.random() < 0.05 else b'\n'
    stdin = b''.join(a + eol for a in answers)
    r = rng.random()
    if r < 0.03:
        stdin = b''.join(a + eol for a in answers[:rng.randint(0, 2)])
    elif r < 0.05:
        stdin = stdin[:-1]
    return files, stdin


# ------------------------------------------------------------------ running

def snapshot(folder):
    out = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), 'rb') as f:
            out[os.fsencode(name)] = f.read()
    return out


def run_program(exe, files, stdin):
    folder = tempfile.mkdtemp(prefix='logsfuzz.')
    try:
        for name, content in files.items():
            with open(os.path.join(os.fsencode(folder), name), 'wb') as f:
                f.write(content)
        p = subprocess.run([exe], input=stdin, cwd=folder, capture_output=True, timeout=30)
        return p.returncode, p.stdout, p.stderr, snapshot(folder)
    finally:
        shutil.rmtree(folder)


def same_value(text, value):
    try:
        got = f32_round(float(text))
    except (ValueError, OverflowError):
        return False
    if math.isnan(value):
        return math.isnan(got)
    return got == value and math.copysign(1, got) == math.copysign(1, value)


def compare(program, expect, files, result):
    """List of differences between the model's outcome and the run."""
    status, stdout, stderr, after = result
    diffs = []
    if status != expect.status:
        diffs.append('exit status: model %d, program %d' % (expect.status, status))
    got_lines = stdout.splitlines(keepends=True)
    want = expect.stdout
    for i in range(max(len(want), len(got_lines))):
        w = want[i] if i < len(want) else None
        g = got_lines[i] if i < len(got_lines) else None
        if isinstance(w, tuple):
            prefix = b' Preparing cad to apply a B-factor of '
            if g is None or not g.startswith(prefix) or not g.endswith(b'\n') \
                    or not same_value(g[len(prefix):-1].strip(), w[1]):
                diffs.append('terminal line %d: model %s %r, program %r' % (i + 1, prefix, w[1], g))
        elif w != g:
            diffs.append('terminal line %d: model %r, program %r' % (i + 1, w, g))
    expected_files = dict(files)
    expected_files.update(expect.created)
    for name in sorted(set(expected_files) | set(after)):
        if name not in after:
            diffs.append('file %r missing' % name)
        elif name not in expected_files:
            diffs.append('file %r should not exist (%d bytes)' % (name, len(after[name])))
        elif after[name] != expected_files[name]:
            w = expected_files[name].splitlines(keepends=True)
            g = after[name].splitlines(keepends=True)
            k = next((i for i in range(max(len(w), len(g)))
                      if i >= len(w) or i >= len(g) or w[i] != g[i]), None)
            diffs.append('file %r line %d: model %r, program %r'
                         % (name, (k or 0) + 1, w[k] if k is not None and k < len(w) else None,
                            g[k] if k is not None and k < len(g) else None))
    if expect.stderr_required and not stderr.strip():
        diffs.append('no report on standard error')
    if not expect.stderr_required and not expect.stderr_optional and stderr:
        diffs.append('unexpected standard error %r' % stderr[:200])
    for name in expect.stderr_names:
        if name not in stderr:
            diffs.append('standard error does not name %r: %r' % (name, stderr[:300]))
    if expect.status == 2 and stderr and not stderr.startswith(program.encode() + b':'):
        diffs.append('failure report does not start with the program name: %r' % stderr[:200])
    return diffs


def real_cases(folder):
    """Every real Phaser log through honer, every ordered pair of real .LP
    files (XSCALE and CORRECT) through mergetab."""
    cases = []
    phaser = sorted(glob.glob(os.path.join(folder, 'phaser', '*')))
    lps = sorted(glob.glob(os.path.join(folder, 'xscale', '*.LP')))
    for path in phaser:
        with open(path, 'rb') as f:
            cases.append(('honer', {b'phaser.log': f.read()}, b'phaser.log\ncad.inp\n'))
    contents = []
    for path in lps:
        with open(path, 'rb') as f:
            contents.append(f.read())
    for a in range(len(lps)):
        for b in range(len(lps)):
            files = {b'start.LP': contents[a]}
            names = b'start.LP\nstart.LP\nstats.html\n'
            if a != b:
                files[b'final.LP'] = contents[b]
                names = b'start.LP\nfinal.LP\nstats.html\n'
            cases.append(('mergetab', files, names))
    return cases


def make_case(seed, index, only):
    rng = random.Random('%d/%d' % (seed, index))
    kind = only or ('honer' if rng.random() < 0.4 else 'mergetab')
    if kind == 'honer':
        files, stdin = honer_case(rng)
    else:
        files, stdin = mergetab_case(rng)
    return kind, files, stdin


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--bin', default='build-model2/bin')
    ap.add_argument('--cases', type=int, default=3000)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--only', choices=['honer', 'mergetab'])
    ap.add_argument('--case', type=int)
    ap.add_argument('--keep')
    ap.add_argument('--show', type=int, default=10)
    ap.add_argument('--realdata', help='also run every Phaser log and every pair of .LP files here')
    args = ap.parse_args()
    args.bin = os.path.abspath(args.bin)

    indices = [args.case] if args.case is not None else list(range(args.cases))
    real = real_cases(args.realdata) if args.realdata else []
    indices += ['real%d' % i for i in range(len(real))]
    runs = 0
    differing = 0
    kinds = {}
    outcomes = {}
    shown = 0
    for index in indices:
        if isinstance(index, str):
            kind, files, stdin = real[int(index[4:])]
            if args.only and kind != args.only:
                continue
        else:
            kind, files, stdin = make_case(args.seed, index, args.only)
        if kind == 'honer':
            targets = [('honer', honer_model.run(stdin, files))]
        else:
            targets = [('mergetab', mergetab_model.run(stdin, files, rsym=False)),
                       ('mergetab-rsym', mergetab_model.run(stdin, files, rsym=True))]
        for program, expect in targets:
            result = run_program(os.path.join(args.bin, program), files, stdin)
            runs += 1
            key = (program, expect.status, expect.why)
            outcomes[key] = outcomes.get(key, 0) + 1
            diffs = compare(program, expect, files, result)
            if args.case is not None:
                print('case %d (%s)\nstdin: %r' % (index, program, stdin))
                for name, content in files.items():
                    print('file %r:\n%s' % (name, content.decode('latin-1')))
                print('model: status %d %s\nprogram: status %d\nstdout %r\nstderr %r'
                      % (expect.status, expect.why, result[0], result[1], result[2]))
            if diffs:
                differing += 1
                kinds[diffs[0].split(':')[0]] = kinds.get(diffs[0].split(':')[0], 0) + 1
                if shown < args.show or args.case is not None:
                    shown += 1
                    print('--- case %s, %s: %d difference(s)' % (index, program, len(diffs)))
                    for d in diffs[:6]:
                        print('   ', d)
                if args.keep:
                    folder = os.path.join(args.keep, 'case%s-%s' % (index, program))
                    os.makedirs(folder, exist_ok=True)
                    for name, content in files.items():
                        with open(os.path.join(os.fsencode(folder), name), 'wb') as f:
                            f.write(content)
                    with open(os.path.join(folder, 'STDIN'), 'wb') as f:
                        f.write(stdin)
    print('\n%d cases, %d program runs, %d with differences' % (len(indices), runs, differing))
    for (program, status, why), n in sorted(outcomes.items()):
        print('  %-14s model status %d %-34s %5d' % (program, status, why or '(complete)', n))
    for k, n in sorted(kinds.items()):
        print('  first difference "%s": %d' % (k, n))
    sys.exit(1 if differing else 0)


if __name__ == '__main__':
    main()
