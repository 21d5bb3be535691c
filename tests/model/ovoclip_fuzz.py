#!/usr/bin/env python3
"""Random whole-run comparison of the built ovoclip against ovoclip_model.py.

Each case is a fresh folder holding an input script and an XDS reflection
file made up at random (cells of every lattice and some impossible ones,
orthogonal, skew and zero axis matrices, limits equal, zero, negative,
infinite or without a decimal point; headers with long lines, carriage
returns and decoy markers; indices with leading zeros and plus signs; F and
sigma in integer, fixed, exponent and special notation, with commas and
trailing words, now and then a mean F/sigma too wide for the planeview
script; records short and long; damaged records; missing or existing
files; names longer than 80 characters, and names refused for a NUL byte
or a length past 4096 bytes).  ovoclip runs there with its answers on standard input,
and every file it creates and its exit status are compared byte for byte
with the model.  Terminal output is not compared.

Run by hand (not part of the test suite):
    cmake -B build-model -S . && cmake --build build-model -j2 --target ovoclip
    python3 tests/model/ovoclip_fuzz.py --exe build-model/bin/ovoclip --cases 3000
Options: --seed N (default 1), --keep DIR (failing cases are copied there,
default /tmp/ovoclip-fuzz-failures), --case N (run only case N of the seed,
and keep its folder), -v (print every case).
A failing case folder holds the inputs, the answers in 'stdin', the files
the program wrote and, under 'expected/', the files the model predicts.
To rerun one, copy its inputs (the script, the XDS file, any file that
existed before) to an empty folder and run there
    /path/to/ovoclip < stdin
or regenerate it with --seed S --case N, which keeps the folder.
"""

import argparse
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ovoclip_model as model  # noqa: E402


# ------------------------------------------------------------ number texts

def fit(text, width, fallback):
    return text if len(text) <= width else fallback


def fixed_field(rng, value, width, decimals, allow_odd=True):
    """A Fw.d input field holding `value` in one of many notations."""
    plain = ('%*.*f' % (width, decimals, value))
    if len(plain) > width:
        plain = ('%*.*E' % (width, max(0, width - 8), value))
    if not allow_odd:
        return plain
    r = rng.random()
    if r < 0.45:
        return plain
    if r < 0.55:
        return fit('%-*.*f' % (width, decimals, value), width, plain)
    if r < 0.65:  # more decimals than the field says: taken as written
        return fit('%*.*f' % (width, decimals + rng.randint(1, 4), value), width, plain)
    if r < 0.72:  # no point: implied decimals
        scaled = int(round(value * 10 ** decimals))
        return fit('%*d' % (width, scaled), width, plain)
    if r < 0.78:
        return fit('%*.*E' % (width, rng.randint(1, 4), value), width, plain)
    if r < 0.82:  # a point and no decimals
        return fit('%*d.' % (width - 1, int(value)), width, plain)
    if r < 0.85 and value == 0:
        return ' ' * width
    if r < 0.88:  # a D exponent, or an exponent on a field with implied decimals
        if rng.random() < 0.5:
            return fit(('%.*E' % (rng.randint(1, 3), value)).replace('E', 'D').rjust(width), width, plain)
        mant = int(round(value * 10 ** decimals / 10))
        return fit(('%dE1' % mant).rjust(width), width, plain)
    if r < 0.92:  # leading plus, blanks after the number
        return fit(('+%.*f' % (decimals, value) if value >= 0 else '%.*f' % (decimals, value)).center(width),
                   width, plain)
    return fit(('%.6g' % value).rjust(width), width, plain)


def free_slice(rng, value, kind=None):
    """An 11-column free-format slice holding value (a float, or a word)."""
    if isinstance(value, str):
        return value.rjust(11) if rng.random() < 0.7 else value.ljust(11)
    r = rng.random() if kind is None else kind
    if r < 0.35:
        s = '%11.3E' % value
    elif r < 0.5:
        s = '%11.2f' % value
    elif r < 0.58:
        s = '%11d' % int(value)
    elif r < 0.64:
        s = '%-11.4f' % value
    elif r < 0.7:  # comma after the number, more after it
        s = ('%.3f,' % value + rng.choice(['', '7', 'x', ',5', ' 9'])).rjust(11)
    elif r < 0.75:  # a word after the number
        s = ('%.2f' % value + ' ' + rng.choice(['abc', '1.0', '*', 'e5'])).ljust(11)
    elif r < 0.8:
        s = ('%.9g' % value).rjust(11)
    elif r < 0.84:
        s = ('%.4e' % value).replace('e+0', 'e').replace('e-0', 'e-').center(11)
    elif r < 0.88:  # .5 or 5. forms
        t = '%.3f' % value
        if t.startswith('0.'):
            t = t[1:]
        elif t.startswith('-0.'):
            t = '-' + t[2:]
        s = t.rjust(11)
    elif r < 0.92:
        s = ('%d.' % int(value)).rjust(11)
    elif r < 0.96:
        s = ('+%.1f' % value if value >= 0 else '%.1f' % value).rjust(11)
    else:
        s = ('%dE%d' % (rng.randint(1, 99), rng.randint(-3, 3))).rjust(11)
    if len(s) > 11:
        s = ('%11.3E' % value)[:11]
    return s


def index_field(rng, v):
    r = rng.random()
    if r < 0.7:
        return '%6d' % v
    if r < 0.76:  # leading zeros
        return ('-%05d' % -v) if v < 0 else '%06d' % v
    if r < 0.82:
        return ('%+6d' % v)
    if r < 0.86 and v >= 0:
        return '+%05d' % v
    if r < 0.91:
        return '%-6d' % v
    if r < 0.95:
        return ('%5d ' % v) if abs(v) < 10000 else '%6d' % v
    if v == 0:
        return rng.choice(['      ', '     0', '-0    ', '+0    ', '000000'])
    return '%6d' % v


# ------------------------------------------------------------ cell, axes, limits

def random_cell(rng):
    kind = rng.choice(['cubic', 'ortho', 'ortho', 'mono', 'mono', 'hex', 'rhombo', 'tri', 'tri',
                       'odd'])
    e = lambda: round(rng.uniform(20, 250), rng.choice([0, 1, 2]))
    if kind == 'cubic':
        x = e()
        return kind, [x, x, x, 90, 90, 90]
    if kind == 'ortho':
        return kind, [e(), e(), e(), 90, 90, 90]
    if kind == 'mono':
        return kind, [e(), e(), e(), 90, round(rng.uniform(90, 130), 2), 90]
    if kind == 'hex':
        x = e()
        return kind, [x, x, e(), 90, 90, 120]
    if kind == 'rhombo':
        x = e()
        a = round(rng.uniform(50, 110), 2)
        return kind, [x, x, x, a, a, a]
    if kind == 'tri':
        return kind, [e(), e(), e()] + [round(rng.uniform(60, 120), 2) for _ in range(3)]
    odd = rng.choice([
        [0, 50, 60, 90, 90, 90], [50, 60, 70, 0, 90, 90], [50, 60, 70, 120, 120, 120],
        [50, 60, 70, 180, 90, 90], [-50, 60, 70, 90, 90, 90], [50, 60, 70, 90, 90, 0],
        [50, 50, 50, 60, 60, 60], [10, 20, 30, 90, 90, 90], [1e-2, 60, 70, 90, 90, 90],
        [9999.99, 0.01, 70, 90, 90, 90], [50, 60, 70, -90, 270, 450],
        [50, 60, 70, 100, 110, 150]])
    return kind, list(odd)


def normalise(v):
    n = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / n for x in v]


def random_axes(rng):
    r = rng.random()
    if r < 0.3:
        return [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    if r < 0.4:
        p = [0, 1, 2]
        rng.shuffle(p)
        return [[1 if j == p[i] else 0 for j in range(3)] for i in range(3)]
    if r < 0.7:  # a rotation
        a = normalise([rng.gauss(0, 1) for _ in range(3)])
        b = [rng.gauss(0, 1) for _ in range(3)]
        d = sum(x * y for x, y in zip(a, b))
        b = normalise([y - d * x for x, y in zip(a, b)])
        c = [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]
        return [a, b, c]
    if r < 0.85:
        return [[rng.uniform(-2, 2) for _ in range(3)] for _ in range(3)]
    if r < 0.93:
        m = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
        m[rng.randrange(3)] = [0, 0, 0]
        return m
    return [[0, 0, 0], [0, 0, 0], [0, 0, 0]]


def random_limits(rng):
    r = rng.random()
    base = rng.uniform(1.2, 4.0)
    if r < 0.55:
        return [round(base * rng.uniform(1, 1.8), rng.choice([1, 2, 3, 4])) for _ in range(3)]
    if r < 0.65:
        x = round(base, 2)
        return [x, x, x]
    if r < 0.72:
        x = round(base, 2)
        return [x, x, round(base * 1.5, 2)]
    if r < 0.8:
        v = [round(base * rng.uniform(1, 1.8), 2) for _ in range(3)]
        v[rng.randrange(3)] = 0.0
        return v
    if r < 0.86:
        v = [round(base * rng.uniform(1, 1.8), 2) for _ in range(3)]
        v[rng.randrange(3)] = -v[0]
        return v
    if r < 0.9:
        return [round(base, 2), 'Infinity', round(base * 1.3, 2)]
    if r < 0.94:
        return [round(base * rng.uniform(1, 1.8), 4) for _ in range(3)]
    return [rng.choice([0.0, 1e-4, 1e5, 123456.7, 1e-3]) for _ in range(3)]


def limit_field(rng, v):
    if isinstance(v, str):
        return rng.choice([v, v.lower(), 'inf', '+INF']).rjust(12)
    if v == 0 and rng.random() < 0.4:
        return ' ' * 12
    return fixed_field(rng, v, 12, 4)


# ------------------------------------------------------------ the XDS file

HEADER_LINES = [
    "!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=TRUE",
    "!OUTPUT_FILE=XDS_ASCII.HKL        DATE=14-Mar-2019",
    "!Generated by CORRECT   (VERSION Jan 26, 2018  BUILT=20180409)",
    "!SPACE_GROUP_NUMBER=   19",
    "!UNIT_CELL_CONSTANTS=    51.234    62.345    73.456  90.000  90.000  90.000",
    "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=12",
    "!ITEM_H=1", "!ITEM_K=2", "!ITEM_L=3", "!ITEM_IOBS=4", "!ITEM_SIGMA(IOBS)=5",
    "!X-RAY_WAVELENGTH=  0.979500", "!",
]
PRINTABLE = ''.join(chr(c) for c in range(32, 127))


def random_header(rng):
    lines = []
    for _ in range(rng.choice([0, 1, 3, 8, 15])):
        r = rng.random()
        if r < 0.5:
            lines.append(rng.choice(HEADER_LINES))
        elif r < 0.75:
            lines.append(''.join(rng.choice(PRINTABLE) for _ in range(rng.randint(0, 130))))
        elif r < 0.8:
            lines.append('')
        elif r < 0.85:
            lines.append('!' + '=' * rng.randint(78, 100))
        elif r < 0.9:  # decoy markers
            lines.append(rng.choice(['!end_of_header', ' !END_OF_HEADER', '!END_OF_HEADE',
                                     '!End_Of_Header', '\t!END_OF_HEADER']))
        elif r < 0.95:  # a carriage return inside a line
            lines.append('abc\rdef ' + 'x' * rng.randint(0, 90))
        else:
            lines.append(' ' * rng.randint(1, 100))
    return lines


def near_surface(rng, hmax, ellipsoid):
    """Indices whose ellipsoid measure is close to 1, where rounding decides."""
    best = None
    for _ in range(40):
        hkl = [rng.randint(-m, m) for m in hmax]
        e = ellipsoid.measure(*hkl)
        if e != e:
            return hkl
        d = abs(e - 1.0)
        if best is None or d < best[0]:
            best = (d, hkl)
        if d < 1e-3:
            break
    return best[1]


def random_record_at(rng, hkl, special_rate, precise=False):
    return random_record(rng, None, special_rate, None, hkl, precise)


def random_record(rng, hmax, special_rate=0.0, ellipsoid=None, hkl=None, precise=False):
    if hkl is not None:
        h, k, l = hkl
    elif ellipsoid is not None and rng.random() < 0.7:
        h, k, l = near_surface(rng, hmax, ellipsoid)
    else:
        h, k, l = [rng.randint(-m, m) for m in hmax]
    r = rng.random() if hkl is None else 1.0
    if r < 0.02:
        h, k, l = 0, 0, 0
    elif r < 0.04:
        h = rng.choice([-99999, 999999, 123456, -12345])
    elif r < 0.06:
        h, k, l = rng.choice([(h, 0, 0), (0, k, 0), (0, 0, l), (h, k, 0)])
    idx = index_field(rng, h) + index_field(rng, k) + index_field(rng, l)
    fv = rng.choice([rng.uniform(-50, 5000), rng.expovariate(1 / 300.0), rng.uniform(0, 1),
                     round(rng.uniform(0, 1e5), 1), float(rng.randint(0, 99999)),
                     rng.uniform(-1e7, 1e7)])
    if rng.random() < 0.004:  # a mean F/sigma too wide for the planeview script
        fv = rng.uniform(1e9, 1e13)
    sv = rng.choice([rng.uniform(0.5, 60), rng.uniform(0.01, 1), -1.0, 0.0,
                     float(rng.randint(1, 300)), rng.uniform(1, 1e4)])
    rf = rng.random()
    if precise:
        # many digits in F and a small sigma: the mean shows single-precision rounding
        fs = rng.choice(['%11.4f' % rng.uniform(1e3, 99999), '%11.3f' % rng.uniform(1e5, 999999),
                         '%11.9g' % rng.uniform(0, 1e7), '%11d' % rng.randint(16777000, 16778000)])
        ss = rng.choice(['1', '0.5', '2', '3.0', '7', '0.1']).rjust(11)
    elif rf < special_rate:
        fs = free_slice(rng, rng.choice(['Inf', 'NaN', '-infinity', 'nan', '+Inf']))
    else:
        fs = free_slice(rng, fv)
    if precise:
        pass
    elif rf > 1 - special_rate:
        ss = free_slice(rng, rng.choice(['Inf', 'NaN', 'INF', '-Inf']))
    else:
        ss = free_slice(rng, sv)
    tail_kind = rng.random()
    if tail_kind < 0.3:
        tail = ''
    elif tail_kind < 0.6:  # merged XSCALE style
        tail = ' %9.1f%9.1f%9.1f%4d%4d %7.2f' % (
            rng.uniform(0, 3000), rng.uniform(0, 3000), rng.uniform(0, 2000), rng.randint(0, 99),
            rng.randint(-99, 99), rng.uniform(-180, 180))
        tail = tail[:36]
    elif tail_kind < 0.85:  # unmerged CORRECT style, longer than 76
        tail = ' %7.1f%7.1f%8.1f%9.5f%4d%4d%8.2f' % (
            rng.uniform(0, 3000), rng.uniform(0, 3000), rng.uniform(0, 2000), rng.uniform(0, 1),
            rng.randint(0, 99), rng.randint(-99, 99), rng.uniform(-180, 180))
    elif tail_kind < 0.92:
        tail = ' ' * rng.randint(1, 60)
    else:
        tail = ''.join(rng.choice(PRINTABLE + '\t') for _ in range(rng.randint(0, 70)))
    line = idx + fs + ss + tail
    if rng.random() < 0.05:  # cut short, mostly after sigma
        low = 40 if rng.random() < 0.995 else 31
        line = line[:rng.randint(low, max(low, len(line)))]
    if rng.random() < 0.05:
        line = line.rstrip(' ')
        if len(line) < 30:
            line = idx + fs + ss
    return line


def damaged_record(rng, hmax):
    r = rng.random()
    good = random_record(rng, hmax)
    if r < 0.35:  # index columns that are not three integers: ends the data
        bad = rng.choice(['  12.5', 'abcdef', ' 12 a ', '******', '  1e2 ', ' --1  ', '  1-2 ',
                          '!END_O', '   +  '])
        pos = rng.randrange(3) * 6
        return good[:pos] + bad + good[pos + 6:], 'index'
    if r < 0.5:
        return good[:18] + rng.choice([' ' * 11, '        abc', '  1.2.3    ', '     --5   ',
                                      '  1.5x     ']) + good[29:], 'F'
    if r < 0.65:
        return good[:29] + rng.choice([' ' * 11, '      xyz  ', '   1e      ', '  .        ']) + good[40:], 'sigma'
    if r < 0.75:
        return good[:rng.randint(18, 29)], 'short'
    if r < 0.85:
        return '', 'empty'
    return rng.choice(['!END_OF_DATA', '!end_of_data', 'END', ' !END_OF_DATA']), 'end'


def script_ellipsoid(records):
    """The model's ellipsoid for the script records, or None if they do not read."""
    try:
        rec = [r.ljust(108) for r in records[2:5]]
        cell = [model.parse_fixed(rec[0][i * 8:i * 8 + 8], 2) for i in range(6)]
        flat = [model.parse_fixed(rec[1][i * 12:i * 12 + 12], 4) for i in range(9)]
        lim = [model.parse_fixed(rec[2][i * 12:i * 12 + 12], 4) for i in range(3)]
    except (model.ReadFailure, IndexError):
        return None
    return model.Ellipsoid(cell, [flat[0:3], flat[3:6], flat[6:9]], *model.sort_limits(*lim))


def double_components(cell, axes, hkl):
    """t1, t2, t3 of a reflection, in double precision."""
    a, b, c, al, be, ga = [math.radians(x) if i >= 3 else x for i, x in enumerate(cell)]
    ca, cb, cg = math.cos(al), math.cos(be), math.cos(ga)
    sa, sb, sg = math.sin(al), math.sin(be), math.sin(ga)
    v = math.sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg)
    vol = a * b * c * v
    astar, bstar, cstar = sa * b * c / vol, sb * a * c / vol, sg * a * b / vol
    cas = (cb * cg - ca) / (sb * sg)
    cbs = (ca * cg - cb) / (sa * sg)
    h, k, l = hkl
    s1 = h / a
    s2 = -h * cg / (sg * a) + k / (sg * b)
    s3 = h * astar * cbs + k * cas * bstar + l * cstar
    return [r[0] * s1 + r[1] * s2 + r[2] * s3 for r in axes]


def tune_limits(rng, rec3, rec4, limits):
    """Scales the limits so that one reflection lies on the ellipsoid."""
    try:
        cell = [model.parse_fixed(rec3.ljust(48)[i * 8:i * 8 + 8], 2) for i in range(6)]
        flat = [model.parse_fixed(rec4.ljust(108)[i * 12:i * 12 + 12], 4) for i in range(9)]
        if any(isinstance(x, str) or x <= 0 for x in limits):
            return None
        axes = [flat[0:3], flat[3:6], flat[6:9]]
        low, med, high = model.sort_limits(*limits)
        hmax = hmax_for(rng, cell, limits)
        hkl = [rng.randint(0, m) for m in hmax]
        if rng.random() < 0.3:
            hkl = rng.choice([(hkl[0], 0, 0), (0, hkl[1], 0), (0, 0, hkl[2])])
        if hkl == [0, 0, 0] or hkl == (0, 0, 0):
            return None
        t = double_components(cell, axes, hkl)
        e = t[0] ** 2 * low ** 2 + t[1] ** 2 * med ** 2 + t[2] ** 2 * high ** 2
        if not (e > 0) or math.isinf(e):
            return None
        s = 1 / math.sqrt(e)
        fmt = rng.choice(['%12.9g', '%12.8g', '%12.7g', '%12.4f'])
        rec5 = ''.join(fmt % (x * s) for x in limits)
        return rec5, tuple(hkl)
    except (model.ReadFailure, ValueError, ZeroDivisionError, OverflowError):
        return None


def hmax_for(rng, cell, limits):
    try:
        lim = min(abs(x) for x in limits if not isinstance(x, str) and x != 0)
    except ValueError:
        lim = 2.0
    lim = max(lim, 0.5)
    out = []
    for edge in cell[:3]:
        m = int(abs(edge) / lim * rng.choice([0.8, 1.0, 1.25])) + 1
        out.append(max(1, min(m, 300)))
    return out


# ------------------------------------------------------------ one case

NAMES_IN = ['XDS_ASCII.HKL', 'XDS_ASCII.HKL', 'in.hkl', 'sub/XDS_ASCII.HKL', 'sub/in.hkl', 'abcdefghij',
            ' lead.hkl', 'my data.hkl', 'x', 'INTEGRATE_and_more.HKL', 'deep_' * 30 + 'XDS.HKL']
NAMES_OUT = ['TRUNC.HKL', 'out.hkl', 'sub/out.hkl', 'ellipsoid truncated.hkl', 'deep_' * 30 + 'TRUNC.HKL']
PV_NAMES = ['planeview.inp', 'pv.dat', ' planeview with blanks', 'deep_' * 30 + 'planeview.inp']


def refused_name(rng, name):
    """A name no file can have: a NUL byte in it, or more than 4096 bytes
    (blanks inside count, trailing ones do not)."""
    return rng.choice([name[:2] + '\0' + name[2:], name + 'x' * rng.randint(4097, 5000),
                       name + ' ' * rng.randint(4097, 4200) + 'x'])


def make_case(rng):
    """Returns (files {path: bytes}, dirs, stdin bytes, description)."""
    files = {}
    dirs = {''}
    desc = []
    kind, cell = random_cell(rng)
    axes = random_axes(rng)
    limits = random_limits(rng)
    desc.append(kind)
    name_in = rng.choice(NAMES_IN)
    name_out = rng.choice(NAMES_OUT)
    if name_in.startswith('sub/') or name_out.startswith('sub/'):
        dirs.add('sub')
    crlf_script = rng.random() < 0.1

    rec3 = ''.join(fixed_field(rng, v, 8, 2) for v in cell)
    if rng.random() < 0.1:
        rec3 += rng.choice([' trailing words', '   12.00', 'x'])
    rec4 = ''.join(fixed_field(rng, v, 12, 4) for row in axes for v in row)
    if rng.random() < 0.1:
        rec4 = rec4.rstrip(' ')
    if rng.random() < 0.05:
        rec4 += '  ignored'
    rec5 = ''.join(limit_field(rng, v) for v in limits)
    tuned = None
    if rng.random() < 0.35:
        tuned = tune_limits(rng, rec3, rec4, limits)
        if tuned is not None:
            rec5, target = tuned
            desc.append('tuned%s' % (tuple(target),))
    if rng.random() < 0.2:
        rec5 += rng.choice(['      0.0000', '  anything', ' 1.0 2.0 3.0', '        abc'])
    rec1, rec2 = name_in, name_out
    if rng.random() < 0.1:
        rec1 = rec1 + ' ' * rng.choice([rng.randint(1, 90), 5000])
    records = [rec1, rec2, rec3, rec4, rec5]
    if rng.random() < 0.1:
        records.append('a sixth record that nobody reads')

    # failures and odd set-ups
    fault = None
    r = rng.random()
    if r < 0.012:
        fault = 'script-short'
        records = records[:rng.randint(0, 4)]
    elif r < 0.024:
        fault = 'script-bad-number'
        i = rng.choice([2, 3, 4])
        width = 8 if i == 2 else 12
        pos = rng.randrange(6 if i == 2 else 3) * width
        records[i] = records[i].ljust(pos + width)
        records[i] = records[i][:pos] + rng.choice(['abc', '1.2.3', '--1', '1e']).rjust(width) + records[i][pos + width:]
    elif r < 0.036:
        fault = 'reslimit-exists'
    elif r < 0.048:
        fault = 'output-exists'
    elif r < 0.06:
        fault = 'input-missing'
    elif r < 0.072:
        fault = 'planeview-exists'
    elif r < 0.08:
        fault = 'stdin-empty'
    elif r < 0.092:
        fault = 'stdin-one-line'
    elif r < 0.1:
        fault = 'script-missing'
    elif r < 0.105 and name_in.startswith('sub/'):
        fault = 'subdir-missing'
        dirs.discard('sub')
        if name_out.startswith('sub/'):
            name_out = 'TRUNC.HKL'
            records[1] = name_out
    elif r < 0.115:
        fault = 'name-refused'
    if fault:
        desc.append(fault)

    eol = '\r\n' if crlf_script else '\n'
    script = eol.join(records) + (eol if records else '')
    files['ovoclip.inp'] = script.encode('latin-1')

    # the XDS file
    header = random_header(rng)
    marker = rng.random()
    lines = list(header)
    header_ends = True
    if marker < 0.04:
        header_ends = False
        desc.append('no-end-of-header')
    else:
        lines.append(rng.choice(['!END_OF_HEADER'] * 6 + ['!END_OF_HEADER   stuff after',
                                                          '!END_OF_HEADERX']))
    if header_ends:
        hmax = hmax_for(rng, cell, limits)
        n = rng.choice([0, 1, 2, 5, 20, 50, 100, 200, 400, 1000]) if rng.random() > 0.02 else 4000
        special_rate = 0.0 if rng.random() < 0.9 else rng.choice([0.002, 0.02])
        ellipsoid = None
        if rng.random() < 0.3:
            ellipsoid = script_ellipsoid(records)
            if ellipsoid is not None:
                desc.append('near-surface')
        precise = rng.random() < 0.15
        if precise:
            desc.append('precise')
        for _ in range(n):
            lines.append(random_record(rng, hmax, special_rate, ellipsoid, None, precise))
        if tuned is not None:
            # the target and its sign variants, each a near tie at E = 1
            h, k, l = tuned[1]
            for sh in (1, -1):
                for sk in (1, -1):
                    for sl in (1, -1):
                        at = rng.randrange(len(lines) - len(header) + 1) + len(header) + 1
                        lines.insert(at, random_record_at(rng, (sh * h, sk * k, sl * l), special_rate, precise))
        end = rng.random()
        if end < 0.06:
            bad, what = damaged_record(rng, hmax)
            lines.append(bad)
            desc.append('damaged-' + what)
            for _ in range(rng.randint(0, 5)):
                lines.append(random_record(rng, hmax))
            if rng.random() < 0.5:
                lines.append('!END_OF_DATA')
        elif end < 0.09:
            desc.append('no-end-of-data')
        else:
            lines.append(rng.choice(['!END_OF_DATA'] * 8 + ['!END_OF_DATA   ', '!end_of_data']))
            if rng.random() < 0.1:
                lines.append('   1   2   3 anything after the end is never read')
    le = rng.random()
    if le < 0.15:
        text = '\r\n'.join(lines) + '\r\n'
    elif le < 0.2:
        text = ''.join(x + rng.choice(['\n', '\r\n']) for x in lines)
    elif le < 0.25 and lines and not lines[-1].endswith('\r'):
        text = '\n'.join(lines)  # no line feed after the last line
    else:
        text = '\n'.join(lines) + ('\n' if lines else '')
    if fault != 'input-missing':
        files[name_in] = text.encode('latin-1')

    # names typed on the terminal
    pv_name = rng.choice(PV_NAMES)
    answers = [rng.choice(['ovoclip.inp', 'ovoclip.inp   ', 'ovoclip.inp\r']), pv_name + rng.choice(['', '  ', '\r'])]
    if fault == 'name-refused':
        which = rng.randrange(4)
        if which < 2:
            records[which] = refused_name(rng, records[which])
            script = eol.join(records) + eol
            files['ovoclip.inp'] = script.encode('latin-1')
        else:
            answers[which - 2] = refused_name(rng, answers[which - 2])
    if fault == 'script-missing':
        answers[0] = 'nonexistent.inp'
    if fault == 'stdin-empty':
        answers = []
    if fault == 'stdin-one-line':
        answers = answers[:1]
    stdin = ''.join(a + '\n' for a in answers)
    if answers and rng.random() < 0.05:
        stdin = stdin[:-1]  # no line feed after the last answer

    res_name = name_in.split('/')[-1].ljust(10)[:10] + '_reslimit.dat'
    if fault == 'reslimit-exists':
        files[res_name] = b'old reslimit\n'
    if fault == 'output-exists':
        files[name_out] = b'old output\n'
    if fault == 'planeview-exists':
        files[pv_name.rstrip(' ')] = b'old planeview\n'
    return files, dirs, stdin.encode('latin-1'), ' '.join(desc)


# ------------------------------------------------------------ running

def write_tree(root, files, dirs):
    for d in sorted(dirs):
        if d:
            os.makedirs(os.path.join(root, d), exist_ok=True)
    for path, data in files.items():
        if os.path.dirname(path) not in dirs:
            continue  # its folder is missing on purpose
        with open(os.path.join(root, path), 'wb') as fh:
            fh.write(data)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def show_difference(path, expected, actual):
    i = first_difference(expected, actual)
    line_no = expected[:i].count(b'\n') + 1
    start = expected.rfind(b'\n', 0, i) + 1
    exp_line = expected[start:expected.find(b'\n', i) if expected.find(b'\n', i) >= 0 else None]
    act_start = actual.rfind(b'\n', 0, i) + 1
    act_end = actual.find(b'\n', i)
    act_line = actual[act_start:act_end if act_end >= 0 else None]
    return ('%s: %d bytes expected, %d written; first difference at byte %d, line %d\n'
            '    expected %r\n    actual   %r' % (path, len(expected), len(actual), i, line_no,
                                                 exp_line, act_line))


# The fixed texts of the dialogue, in the order a normal run writes them.
# Numbers and the blanks around them are the program's own choice and are
# not checked.
TERMINAL_TEXTS = [
    'Please type in name of input script', 'Low, medium and high res limits',
    'a= ', ' b= ', ' c= ', 'alpha= ', ' beta= ', ' gamma= ', 'astar= ', ' bstar= ', ' cstar=',
    'cosalpha*=', 'reading the fin file now ardo', 'done writing the header',
    ' reflections were input', 'Please type in name of planeview script',
    ' were rejected for being outside the ellipsoid', 'These had an average F/sigma = ',
    'reflections remain after ellipsoidal truncation',
]


def check_terminal(stdout, status):
    problems = []
    if status == 0:
        at = 0
        for text in TERMINAL_TEXTS:
            found = stdout.find(text, at)
            if found < 0:
                problems.append('terminal: %r missing or out of order' % text)
                break
            at = found + len(text)
    elif status == 1:
        for text in ('done writing the header', ' reflections were input'):
            if text in stdout:
                problems.append('terminal: %r after a header without its end' % text)
    if any(line[:1] != ' ' for line in stdout.splitlines() if line):
        problems.append('terminal: a line that does not begin with a blank')
    return problems


def run_case(exe, rng, workdir, verbose=False):
    files, dirs, stdin, desc = make_case(rng)
    root = tempfile.mkdtemp(dir=workdir)
    write_tree(root, files, dirs)
    before_files, before_dirs = model._snapshot(root)
    status, expected, why = model.run_model(before_files, before_dirs, stdin)
    try:
        proc = subprocess.run([exe], cwd=root, input=stdin, capture_output=True, timeout=120)
        actual_status = proc.returncode
    except subprocess.TimeoutExpired:
        actual_status = 'timeout'
        proc = None
    after_files, _ = model._snapshot(root)
    problems = []
    if actual_status != status:
        problems.append('exit status: expected %s (%s), got %s' % (status, why, actual_status))
    for path, data in before_files.items():
        if after_files.get(path) != data:
            problems.append('%s: an existing file was changed or removed' % path)
    if proc is not None:
        problems += check_terminal(proc.stdout.decode('latin-1'), status)
    created = {p: d for p, d in after_files.items() if p not in before_files}
    for path in sorted(set(created) | set(expected)):
        if path not in created:
            problems.append('%r: expected but not written' % path)
        elif path not in expected:
            problems.append('%r: written but not expected' % path)
        elif created[path] != expected[path]:
            problems.append(show_difference(path, expected[path], created[path]))
    return root, desc, problems, proc, status, why, stdin, expected


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--exe', default='build-model/bin/ovoclip')
    ap.add_argument('--cases', type=int, default=1000)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--case', type=int, default=None)
    ap.add_argument('--keep', default='/tmp/ovoclip-fuzz-failures')
    ap.add_argument('-v', action='store_true')
    args = ap.parse_args()
    exe = os.path.abspath(args.exe)
    workdir = tempfile.mkdtemp(prefix='ovoclip-fuzz-')
    failures = 0
    statuses = {}
    indices = [args.case] if args.case is not None else range(args.cases)
    for n in indices:
        rng = random.Random('%d/%d' % (args.seed, n))
        root, desc, problems, proc, status, why, stdin, expected = run_case(exe, rng, workdir)
        statuses[status] = statuses.get(status, 0) + 1
        if args.v or problems:
            print('case %d [%s]: %s' % (n, desc, 'OK' if not problems else 'DIFFERS'))
        if problems:
            failures += 1
            for p in problems:
                print('  ' + p)
            if proc is not None and proc.stderr:
                print('  stderr: ' + proc.stderr.decode('latin-1').strip().replace('\n', '\n          '))
        if problems or args.case is not None:
            keep = os.path.join(args.keep, 'seed%d-case%d' % (args.seed, n))
            shutil.rmtree(keep, ignore_errors=True)
            shutil.copytree(root, keep)
            with open(os.path.join(keep, 'stdin'), 'wb') as fh:
                fh.write(stdin)
            for path, data in expected.items():
                target = os.path.join(keep, 'expected', path)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, 'wb') as fh:
                    fh.write(data)
            if problems:
                print('  kept in ' + keep)
        shutil.rmtree(root, ignore_errors=True)
    shutil.rmtree(workdir, ignore_errors=True)
    print('%d cases, %d differ; expected exit statuses: %s' % (
        len(indices), failures, ', '.join('%s: %d' % kv for kv in sorted(statuses.items()))))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
