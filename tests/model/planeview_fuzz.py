#!/usr/bin/env python3
"""Random whole-run comparison of the built planeview against
planeview_model.py.

Each case is a fresh folder holding an ovoclip input script, a fin file, a
planeview script and a cad input file made up at random: cells of every
lattice and impossible ones (flat, zero edges, zero angles, words), limits
equal, zero, negative, huge, not a number, without a decimal point, or tuned
so that dots land on the edge of their fields; fin records in and out of the
three zones with indices written in many ways, amplitudes and sigmas of 0,
negative, huge, tiny, Infinity and NaN, written plain, with exponents (E, D,
bare sign), implied decimals, extra decimals, leading plus signs, short and
long records, blank records, CRLF line ends, an empty file; means that cancel
to 0 or nearly; planeview scripts with Infinity or NaN means and huge counts;
cad files with positive, negative and huge B; names longer than 80
characters.  Failure cases: missing files, names refused (a NUL byte, more
than 4096 bytes), an existing page, a page in a missing folder, short files,
a bad number in each file, standard input that ends early.  planeview runs
there with its five answers on standard input; its exit status, every byte
of the page and the set of files in the folder are compared with the model,
the prompts and echo labels loosely (their numbers not at all).

Run by hand (not part of the test suite):
    cmake -B build-model3 -S . && cmake --build build-model3 -j2 --target planeview
    python3 tests/model/planeview_fuzz.py --exe build-model3/bin/planeview --cases 2000
Options: --seed N (default 1), --keep DIR (failing cases are copied there,
default /tmp/planeview-fuzz-failures), --case N (run only case N of the
seed and keep its folder), -v (print every case).
A kept case folder holds the inputs, the answers in 'stdin', what the
program wrote, and 'expected.ps', the page the model predicts.  To rerun it
by hand, copy it, remove the page and run  /path/to/planeview < stdin  there.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True   # no bytecode cache in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import planeview_model as model  # noqa: E402


# ------------------------------------------------------------ number texts

SPECIALS = ['Infinity', 'Inf', '-Infinity', '-inf', 'NaN', 'nan', '+INF', 'infinity', '-NaN']


def fixed_text(rng, value, width, decimals):
    """A Fw.d input field that reads as about `value`, in one of many
    notations.  The model reads the text, so it need not be exact."""
    if isinstance(value, str):
        assert len(value) <= width, value
        return value.rjust(width) if rng.random() < 0.7 else value.ljust(width)
    plain = '%*.*f' % (width, decimals, value)
    if len(plain) > width:
        plain = ('%.*E' % (max(0, width - 7), value)).rjust(width)
        if len(plain) > width:
            plain = ('%.0E' % value).rjust(width)
    r = rng.random()
    cand = plain
    if r < 0.40:
        pass
    elif r < 0.48:
        cand = '%-*.*f' % (width, decimals, value)
    elif r < 0.55:   # more decimals: taken as written
        cand = '%*.*f' % (width, decimals + rng.randint(1, 5), value)
    elif r < 0.62:   # no point: implied decimals
        cand = '%*d' % (width, int(round(value * 10 ** decimals)))
    elif r < 0.67:
        cand = ('%.*E' % (rng.randint(0, 4), value)).rjust(width)
    elif r < 0.70:
        cand = ('%.*e' % (rng.randint(0, 3), value)).replace('e', rng.choice(['D', 'd'])).rjust(width)
    elif r < 0.73:   # exponent without a point: implied decimals still apply
        cand = ('%dE%d' % (int(round(value * 10 ** decimals / 100)), 2)).rjust(width)
    elif r < 0.76:   # bare signed exponent
        cand = ('%.3f%+d' % (value / 100, 2)).rjust(width)
    elif r < 0.80:   # leading plus, blanks after
        cand = (('+' if value >= 0 else '') + '%.*f' % (decimals, value)).center(width)
    elif r < 0.84:   # .5 and -.5 forms
        t = '%.*f' % (decimals, value)
        t = t.replace('0.', '.', 1) if t.startswith(('0.', '-0.')) else t
        cand = t.rjust(width)
    elif r < 0.87:   # a point and no decimals
        cand = ('%d.' % int(value)).rjust(width)
    elif r < 0.90:   # leading zeros
        cand = ('%0*.*f' % (width, decimals, value))
    elif r < 0.94:
        cand = ('%.9g' % value).rjust(width)
    elif r < 0.97 and value == 0:
        cand = rng.choice([' ' * width, '-0'.rjust(width), '-0.0'.rjust(width), '+0'.rjust(width)])
    else:
        cand = ('%.8g' % value).ljust(width)
    out = cand if len(cand) <= width else plain
    assert len(out) == width, (value, out)
    return out


BAD_NUMBERS = ['abc', '1.2.3', '1e', '--1', '1 2', '+-3', '.', '-', 'E5', '1,5', '0x10', '\t12',
               '12\t', 'Infinit', 'nana', '1e+', '***', '1.5 e2', 'one', '#', '1\r5', '\xe91',
               'Infinite', 'i n f', '1.5E+2.0', '1e5e5', '1..5', '5-', '+.', '.e5', '1d', '1+']


def bad_field(rng, width):
    t = rng.choice(BAD_NUMBERS)
    return t.rjust(width)[:width] if rng.random() < 0.6 else t.ljust(width)[:width]


def int_text(rng, v, width):
    r = rng.random()
    if r < 0.7:
        t = '%*d' % (width, v)
    elif r < 0.78:
        t = '%-*d' % (width, v)
    elif r < 0.84:
        t = ('%+d' % v).rjust(width)
    elif r < 0.9:
        t = ('-%0*d' % (width - 1, -v)) if v < 0 else '%0*d' % (width, v)
    elif r < 0.95:
        t = ('%d' % v).center(width)
    elif v == 0:
        t = rng.choice([' ' * width, '-0'.rjust(width), '+0'.ljust(width), '0'.ljust(width),
                        '00'.center(width)])
    else:
        t = '%*d' % (width, v)
    return t if len(t) <= width else '%*d' % (width, v)


def rand_amplitude(rng):
    r = rng.random()
    if r < 0.30:
        return 0.0
    if r < 0.65:
        return round(rng.uniform(1, 3000), rng.choice([0, 1, 2]))
    if r < 0.75:
        return round(-rng.uniform(0.01, 500), 2)
    if r < 0.80:
        return float('%.3g' % (10 ** rng.uniform(5, 38.5)))
    if r < 0.83:
        return rng.choice(['1E39', '-1E39', '3.4028235E38', '1E-40', '1.4E-45', '-2E-39',
                           '1E9999999999', '-1E999999999', '1E-999999999', '0E99999999', '1.5+99999',
                           '000000000001', '.00000000001', '3.4028236E38', '3.4028234E38',
                           '1.1754944-38', '7.006492E-46', '7.006493E-46', 'INFINITY', '+NaN',
                           '-infinity', '99999999999.', '-9999999999.'])
    if r < 0.87:
        return rng.choice(SPECIALS)
    if r < 0.92:   # many digits: rounding to float32
        return rng.choice([123456789.99, 16777217.01, 16777217.0, 33554433.0, 99999999.99,
                           rng.randint(10 ** 7, 10 ** 9 - 1) + rng.randint(0, 99) / 100.0])
    return round(rng.uniform(0.001, 1), 3)


def rand_sigma(rng, f):
    r = rng.random()
    if r < 0.15:
        return 0.0
    if r < 0.25 and isinstance(f, float):
        return round(f / 2.5, 2) if rng.random() < 0.5 else f / 2.5  # ratio exactly or nearly 2.5
    if r < 0.75:
        return round(rng.uniform(0.1, 300), 2)
    if r < 0.85:
        return round(-rng.uniform(0.1, 100), 2)
    if r < 0.9:
        return rng.choice(SPECIALS)
    return float('%.3g' % (10 ** rng.uniform(-3, 30)))


# ------------------------------------------------------------ the script

def random_cell(rng):
    kind = rng.choice(['ortho', 'ortho', 'mono', 'mono', 'hex', 'rhombo', 'tri', 'tri', 'odd'])
    e = lambda: round(rng.uniform(5, 300), rng.choice([0, 1, 2]))
    if kind == 'ortho':
        return kind, [e(), e(), e(), 90, 90, 90]
    if kind == 'mono':
        return kind, [e(), e(), e(), 90, round(rng.uniform(90, 130), 2), 90]
    if kind == 'hex':
        x = e()
        return kind, [x, x, e(), 90, 90, 120]
    if kind == 'rhombo':
        x = e()
        a = round(rng.uniform(40, 115), 2)
        return kind, [x, x, x, a, a, a]
    if kind == 'tri':
        return kind, [e(), e(), e()] + [round(rng.uniform(60, 120), 2) for _ in range(3)]
    odd = rng.choice([
        [0, 50, 60, 90, 90, 90], [50, 0, 0, 90, 90, 90], [50, 60, 70, 0, 90, 90],
        [50, 60, 70, 120, 120, 120], [50, 60, 70, 180, 90, 90], [-50, 60, 70, 90, 90, 90],
        [50, 60, 70, 90, 90, 0], [10, 20, 30, 90, 90, 90], [0.01, 60, 70, 90, 90, 90],
        [9999.99, 0.01, 70, 90, 90, 90], [50, 60, 70, -90, 270, 450], [50, 60, 70, 100, 110, 150],
        [0, 0, 0, 0, 0, 0], ['Infinity', 60, 70, 90, 90, 90], [50, 60, 70, 'NaN', 90, 90],
        [50, 60, 70, 90, 90, 1e6], [50, 60, 70, 60, 60, 60]])
    return kind, list(odd)


def random_limits(rng):
    r = rng.random()
    if r < 0.45:
        return [round(rng.uniform(1.2, 4.5), rng.choice([1, 2, 3, 4])) for _ in range(3)]
    if r < 0.55:
        x = round(rng.uniform(1.2, 4), 2)
        y = round(rng.uniform(1.2, 4), 2)
        v = [x, x, y]
        rng.shuffle(v)
        return v
    if r < 0.6:
        x = round(rng.uniform(1.2, 4), 2)
        return [x, x, x]
    choices = [0.0, -1.5, -2.0, 'NaN', 'Infinity', '-Infinity', 99.95, 99.94, -9.95, -9.94,
               99.96, 9.95, 0.05, 0.25, 0.35, -0.04, 1e5, 250.0, 1234.5678, 0.0001, 1e-30, 'blank',
               'implied']
    v = []
    for _ in range(3):
        if rng.random() < 0.5:
            v.append(rng.choice(choices))
        else:
            v.append(round(rng.uniform(1.2, 4.5), 2))
    return v


def limit_text(rng, v, plain=False):
    if plain:
        return '%12.4f' % v
    if v == 'blank':
        return ' ' * 12
    if v == 'implied':
        return ('%d' % rng.randint(1, 99999)).rjust(12)
    return fixed_text(rng, v, 12, 4)


def junk_record(rng):
    r = rng.random()
    if r < 0.4:
        return rng.choice(['XDS_ASCII.HKL', 'truncated.hkl', 'abc', '', '  1.0 0.0 0.0'])
    if r < 0.7:
        return ' '.join('%.4f' % rng.uniform(-1, 1) for _ in range(9))
    if r < 0.85:
        return 'x' * rng.randint(0, 150)
    return rng.choice(['not a number at all', '\xe9t\xe9', '*' * 108, '\t\t'])


def make_script(rng, case):
    kind, cell = random_cell(rng)
    limits = random_limits(rng)
    tuned = None
    if rng.random() < 0.08:
        tuned = tune_for_edge(rng)
        cell, limits = tuned['cell'], tuned['limits']
        kind = 'tuned'
    case['cell_kind'] = kind
    cell_fields = []
    for v in cell:
        cell_fields.append(fixed_text(rng, v, 8, 2) if rng.random() < 0.85 or isinstance(v, str)
                           else ('%8.2f' % v if len('%8.2f' % v) <= 8 else fixed_text(rng, v, 8, 2)))
    rec3 = ''.join(cell_fields)
    if rng.random() < 0.1:
        rec3 += rng.choice([' extra', '   12.00', 'zzz'])
    if rng.random() < 0.05:   # short record 3: the missing fields read 0
        rec3 = rec3[:rng.randint(0, 47)]
    rec5 = ''.join(limit_text(rng, v, tuned is not None) for v in limits)
    if rng.random() < 0.3:
        rec5 += ''.join('%12.4f' % rng.uniform(-5, 5) for _ in range(rng.randint(1, 6)))
    if rng.random() < 0.05:
        rec5 += 'garbage beyond the limits'
    if rng.random() < 0.04:
        rec5 = rec5[:rng.randint(0, 35)]
    recs = [junk_record(rng), junk_record(rng), rec3, junk_record(rng), rec5]
    if rng.random() < 0.2:
        recs += [junk_record(rng) for _ in range(rng.randint(1, 3))]
    return recs, tuned


def tune_for_edge(rng):
    """An orthogonal cell and three equal limits such that a dot of index 1
    (or -1) lands close to the edge of its F8.2 field."""
    edge = rng.choice([9999.995, -999.995, 99999.995, -9999.995])
    a = round(rng.uniform(5, 200), 2)
    b = round(rng.uniform(5, 200), 2)
    c = round(rng.uniform(5, 200), 2)
    # y: zone h=0, record 0 0 l: v = l * cstar * s; x: zone l=0, record h 0 0
    if edge in (9999.995, -999.995):
        centre = rng.choice([350.0, 200.0])
        axis = c
        target = edge - centre
    else:
        centre = rng.choice([150.0, 300.0, 450.0, 600.0])
        axis = a
        target = edge - centre
    n = rng.choice([1, 2, 3, 7])
    s = abs(target) * axis / n
    maxres = s / 70.0
    jitter = rng.choice([0, 0, 1, -1, 2, -2]) * 1e-4
    lim = round(maxres + jitter, 4)
    if lim >= 1e7:
        lim = round(maxres, 0)
    return {'cell': [a, b, c, 90, 90, 90], 'limits': [lim, lim, lim], 'index': n,
            'sign': 1 if target > 0 else -1, 'edge': edge}


# ------------------------------------------------------------ the fin file

def random_indices(rng, hmax):
    r = rng.random()
    v = lambda: rng.randint(-hmax, hmax)
    if r < 0.25:
        h, k, l = 0, v(), v()
    elif r < 0.45:
        h, k, l = v(), 0, v()
    elif r < 0.65:
        h, k, l = v(), v(), 0
    elif r < 0.75:
        z = [0, 0, v()]
        rng.shuffle(z)
        h, k, l = z
    elif r < 0.78:
        h, k, l = 0, 0, 0
    elif r < 0.82:
        h, k, l = [rng.choice([0, 9999, -999, 5000, -500]) for _ in range(3)]
    else:
        h, k, l = v(), v(), v()
    return h, k, l


def fin_record(rng, hmax, hkl=None):
    h, k, l = hkl if hkl is not None else random_indices(rng, hmax)
    text = ''.join(int_text(rng, x, 4) for x in (h, k, l))
    for _ in range(4):
        f = rand_amplitude(rng)
        s = rand_sigma(rng, f)
        text += fixed_text(rng, f, 12, 2) + fixed_text(rng, s, 12, 2)
    r = rng.random()
    if r < 0.08:
        text = text[:rng.randint(0, 107)]
    elif r < 0.13:
        text = text.rstrip(' ')
    elif r < 0.2:
        text += rng.choice(['  extra words', '*' * 20, '\t', 'abc 1.0 2.0', ' ' * 30])
    return text


def printed_value(rng):
    """A value as a program prints it in F12.2, whole part of 0 to 9 digits."""
    r = rng.random()
    if r < 0.15:
        return 0.0
    digits = rng.randint(0, 9)
    whole = rng.randint(10 ** (digits - 1), 10 ** digits - 1) if digits else 0
    v = whole + rng.randint(0, 99) / 100.0
    return -v if r > 0.92 and digits < 9 else v


def printed_record(rng, hmax):
    h, k, l = random_indices(rng, hmax)
    text = '%4d%4d%4d' % (h, k, l) + ''.join('%12.2f' % printed_value(rng) for _ in range(8))
    text = text.replace('   -0.00', '    0.00')
    if rng.random() < 0.1:
        text = text[:rng.randint(0, 108)]
    return text


def make_fin(rng, case, tuned):
    n = rng.choice([0, 1, 2, 3, 5, 8, 12, 20, 30, 40]) if rng.random() < 0.97 else 0
    hmax = rng.choice([3, 10, 30, 60, 200])
    recs = []
    mode = rng.random()
    printed = rng.random() < 0.3
    for _ in range(n):
        if printed and rng.random() < 0.95:
            recs.append(printed_record(rng, hmax))
        elif rng.random() < 0.04:
            recs.append(rng.choice(['', ' ' * rng.randint(1, 120)]))
        else:
            recs.append(fin_record(rng, hmax))
    if tuned is not None:
        i, sg = tuned['index'], tuned['sign']
        hkl = (0, 0, sg * i) if tuned['edge'] in (9999.995, -999.995) else (sg * i, 0, 0)
        for _ in range(rng.randint(1, 3)):
            recs.insert(rng.randint(0, len(recs)), fin_record(rng, hmax, hkl))
    if mode < 0.1 and recs:
        # amplitudes that cancel: the mean of init is 0 or nearly
        a = round(rng.uniform(10, 1000), 2)
        b = -a if rng.random() < 0.5 else -(a - rng.choice([0.01, 0.02, 0.05, 1.0]))
        for f in (a, b):
            hkl = (0, rng.randint(-5, 5), rng.randint(-5, 5))
            recs.append(''.join('%4d' % x for x in hkl) + '%12.2f%12.2f' % (f, abs(f) / 10)
                        + '%12.2f%12.2f' % (f, -1.0) * 3)
        rng.shuffle(recs)
    elif mode < 0.15:
        # a gray level near the end of F8.3: 1.5 - F / mean close to
        # -999.9995 (F / mean near 1001.5) or to 9999.9995 (near -9998.5)
        a = round(rng.uniform(100, 5000), 2)
        cnt = rng.randint(2, 4)
        jitter = rng.choice([-1e-3, -1e-4, 0, 1e-4, 1e-3, 0.5])
        if rng.random() < 0.5:
            mean = a / (1001.4995 + jitter)
            f1, s1 = a, 1.0
        else:
            mean = a / (9998.4995 + jitter)
            f1, s1 = -a, -1.0
        b = round(cnt * mean - f1, 2)
        recs = ['%4d%4d%4d%12.2f%12.2f' % (0, 1, 2, f1, s1), '%4d%4d%4d%12.2f%12.2f' % (1, 2, 1, b, 1.0)]
        recs += ['   1   1   1'] * (cnt - 2)
        rng.shuffle(recs)
    case['fin_mode'] = mode
    return recs


# ------------------------------------------------------------ the other files

def make_pv(rng):
    def count():
        r = rng.random()
        if r < 0.6:
            return rng.randint(0, 200000)
        if r < 0.8:
            return rng.choice([0, 999999999, 123456789, -99999999, -1, 16777217, 2 ** 24])
        return rng.randint(-1000, 10 ** 9 - 1)
    r_in, r_rej = count(), count()
    r_rem = count() if rng.random() < 0.2 else r_in - r_rej
    mean = rng.choice([round(rng.uniform(0, 20), 2), round(rng.uniform(0, 20), 2), 0.0,
                       'Infinity', 'NaN', '-Infinity', 'Inf', 999.99, 999.995, 999.994, 1000.0,
                       0.004, 0.005, -0.001, -99.99, -99.995, -100.0, 1e10, 1e30, 2.345,
                       12345678.9])
    rec1 = int_text(rng, r_in, 9)
    rec2 = int_text(rng, r_rej, 9)
    rec3 = fixed_text(rng, mean, 12, 2)
    rem_text = '%d.00' % r_rem
    if len(rem_text) <= 12 and rng.random() < 0.8:
        rec4 = rem_text.rjust(12)
    else:
        rec4 = int_text(rng, r_rem, 9) + rng.choice(['', '.00', '.5', ' junk'])
    recs = [rec1, rec2, rec3, rec4]
    if rng.random() < 0.1:
        recs = [x + rng.choice([' trailing', '   ']) for x in recs]
    if rng.random() < 0.15:
        recs.append('extra record')
    return recs


def make_cad(rng):
    b = rng.choice([round(rng.uniform(-60, 60), 3), round(rng.uniform(-60, 60), 3), 12.5, -23.456,
                    0.0, 5.09, 1e6, -1e6, 99999.99, 99999.994, 99999.995, -9999.99, -9999.995,
                    -0.004, 'NaN', 'Infinity', '-Infinity', 12345678.0, 'implied'])
    if b == 'implied':
        field = ('%d' % rng.randint(-99999, 99999)).rjust(12)
    else:
        field = fixed_text(rng, b, 12, 3)
    prefix = 'SCAL FILE_NUMBER 1 1.00 '
    if rng.random() < 0.05:
        prefix = rng.choice(['scale file 1 1.00        ', 'X' * 24])[:24]
    rec2 = prefix + field
    if rng.random() < 0.05:
        rec2 = rec2[:rng.randint(24, 35)]
    if rng.random() < 0.05:
        rec2 += ' more text'
    recs = ['title apply a negative iso B', rec2, 'LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO ',
            'LABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB', 'end']
    if rng.random() < 0.1:
        recs = recs[:2]
    return recs


def join_records(rng, recs, allow_cr_at_end=True):
    """Records to file bytes: LF or CRLF, with or without a final line end."""
    eol = '\r\n' if rng.random() < 0.15 else '\n'
    text = eol.join(recs)
    if recs:
        r = rng.random()
        if r < 0.85:
            text += eol
        elif r < 0.88 and allow_cr_at_end:
            text += '\r'
    return text.encode('latin-1')


# ------------------------------------------------------------ one case

NAMES = ['ovoclip.inp', 'fin.dat', 'page.ps', 'planeview.inp', 'cad.inp']


def make_case(rng):
    case = {}
    script, tuned = make_script(rng, case)
    fin = make_fin(rng, case, tuned)
    pv = make_pv(rng)
    cad = make_cad(rng)
    names = list(NAMES)
    answers = list(NAMES)
    dirs = {b''}
    pre = {}   # files present before the run besides the four inputs
    # names: the whole answer, leading blanks part of it, trailing ones not
    for i in range(5):
        r = rng.random()
        if r < 0.1:
            answers[i] = names[i] + ' ' * rng.randint(1, 90)
        elif r < 0.15:
            names[i] = ' ' + names[i]
            answers[i] = names[i]
        elif r < 0.2:
            names[i] = 'long_' * rng.choice([16, 40]) + names[i]
            answers[i] = names[i] + rng.choice(['', '  ', ' ' * 5000])
        elif r < 0.23:
            names[i] = 'with blank ' + names[i]
            answers[i] = names[i]
    failure = None
    if rng.random() < 0.3:
        failure = rng.choice(['no script', 'no fin', 'no pv', 'no cad', 'page exists',
                              'page is fin', 'page in missing folder', 'page in folder',
                              'stdin short', 'script short', 'script bad', 'fin bad',
                              'fin bad late', 'pv short', 'pv bad', 'cad short', 'cad bad',
                              'empty answer', 'rec4 bad ignored', 'page is folder', 'cad is pv',
                              'fin is script', 'pv rec4 asterisks', 'name refused'])
    case['failure'] = failure
    if failure == 'no script':
        answers[0] = 'missing.inp'
    elif failure == 'no fin':
        answers[1] = 'missing.fin'
    elif failure == 'no pv':
        answers[3] = 'missing.pv'
    elif failure == 'no cad':
        answers[4] = 'missing.cad'
    elif failure == 'page exists':
        pre[names[2]] = b'an old page\n'
    elif failure == 'page is fin':
        answers[2] = answers[1]
    elif failure == 'page in missing folder':
        names[2] = answers[2] = 'nowhere/page.ps'
    elif failure == 'page in folder':
        dirs.add(b'sub')
        names[2] = answers[2] = 'sub/page.ps'
    elif failure == 'page is folder':
        dirs.add(b'sub')
        answers[2] = 'sub' + rng.choice(['', '   '])
    elif failure == 'cad is pv':
        answers[4] = answers[3]
    elif failure == 'fin is script':
        answers[1] = answers[0]
    elif failure == 'pv rec4 asterisks':
        pv[3] = '*' * 12
    elif failure == 'stdin short':
        answers = answers[:rng.randint(0, 4)]
    elif failure == 'script short':
        script = script[:rng.randint(0, 4)]
    elif failure == 'script bad':
        i = rng.choice([2, 4])
        rec = script[i].ljust(48 if i == 2 else 36)
        f = rng.randrange(6 if i == 2 else 3)
        w = 8 if i == 2 else 12
        script[i] = rec[:f * w] + bad_field(rng, w) + rec[(f + 1) * w:]
    elif failure in ('fin bad', 'fin bad late'):
        rec = fin_record(rng, 10).ljust(108)
        f = rng.randrange(11)
        start, w = (f * 4, 4) if f < 3 else (12 + (f - 3) * 12, 12)
        rec = rec[:start] + bad_field(rng, w) + rec[start + w:]
        pos = len(fin) if failure == 'fin bad late' else rng.randint(0, len(fin))
        fin.insert(pos, rec)
    elif failure == 'pv short':
        pv = pv[:rng.randint(0, 3)]
    elif failure == 'pv bad':
        i = rng.randrange(4)
        w = 12 if i == 2 else 9
        pv[i] = bad_field(rng, w) + pv[i][w:]
    elif failure == 'cad short':
        cad = cad[:rng.randint(0, 1)]
    elif failure == 'cad bad':
        cad[1] = cad[1][:24].ljust(24) + bad_field(rng, 12) + cad[1][36:]
    elif failure == 'empty answer':
        answers[rng.randrange(5)] = rng.choice(['', '   '])
    elif failure == 'name refused':   # a NUL byte, or more than 4096 bytes
        i = rng.randrange(5)
        answers[i] = rng.choice([answers[i][:2] + '\0' + answers[i][2:], answers[i] + 'x' * 4097,
                                 answers[i] + ' ' * 4097 + 'x'])
    elif failure == 'rec4 bad ignored':
        script[3] = 'not numbers here ' * 3
    files = {}
    files[names[0]] = join_records(rng, script)
    files[names[1]] = join_records(rng, fin)
    files[names[3]] = join_records(rng, pv)
    files[names[4]] = join_records(rng, cad)
    for k, v in pre.items():
        files[k] = v
    eol = '\r\n' if rng.random() < 0.1 else '\n'
    stdin = eol.join(answers)
    if answers and rng.random() < 0.9:
        stdin += eol
    case['stdin'] = stdin.encode('latin-1')
    case['files'] = {k.encode('latin-1'): v for k, v in files.items()}
    case['dirs'] = dirs
    return case


# ------------------------------------------------------------ running

def write_tree(root, case):
    for d in case['dirs']:
        if d:
            os.makedirs(os.path.join(root, d.decode()), exist_ok=True)
    for name, data in case['files'].items():
        with open(os.path.join(root.encode(), name), 'wb') as fh:
            fh.write(data)
    with open(os.path.join(root, '.stdin'), 'wb') as fh:
        fh.write(case['stdin'])


def snapshot(root):
    out = {}
    for dp, dn, fn in os.walk(root.encode()):
        rel = os.path.relpath(dp, root.encode())
        rel = b'' if rel == b'.' else rel
        for f in fn:
            with open(os.path.join(dp, f), 'rb') as fh:
                out[os.path.join(rel, f)] = fh.read()
    out.pop(b'.stdin', None)
    return out


def first_difference(a, b):
    n = min(len(a), len(b))
    for i in range(n):
        if a[i] != b[i]:
            return i
    return n if len(a) != len(b) else -1


def line_context(data, pos):
    start = data.rfind(b'\n', 0, pos) + 1
    end = data.find(b'\n', pos)
    end = len(data) if end < 0 else end
    return data.count(b'\n', 0, pos) + 1, data[start:end]


def check_terminal(stdout, expected):
    """Prompts and echo labels in order; numbers not compared."""
    pos = 0
    for text in model.PROMPTS[:expected.prompts] + expected.echoes:
        at = stdout.find(text, pos)
        if at < 0:
            return 'terminal: %r missing (after byte %d)' % (text, pos)
        pos = at + len(text)
    if expected.status == 0 and not stdout.rstrip().endswith(b'bye'):
        return 'terminal: last line is not bye'
    # echo lines the run must not reach
    for text in (b'astar= ', b'maximum resolution is', b'ave|F|', b'scaling the reciprocal cell by',
                 b'negB applied by cad was', b' bye'):
        if text.strip() not in b''.join(expected.echoes) and text.strip() in stdout:
            return 'terminal: %r shown, but the run should end before it' % text
    return None


def run_case(exe, case, root, timeout=60):
    write_tree(root, case)
    before = snapshot(root)
    with open(os.path.join(root, '.stdin'), 'rb') as fh:
        stdin = fh.read()
    try:
        proc = subprocess.run([exe], cwd=root, input=stdin, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return ['timeout'], None
    after = snapshot(root)
    exp = model.run(case['stdin'], case['files'], case['dirs'])
    problems = []
    if proc.returncode != exp.status:
        problems.append('exit status %d, expected %d (%s); stderr %r'
                        % (proc.returncode, exp.status, exp.why, proc.stderr[:300]))
    if (proc.returncode != 0) != bool(proc.stderr):
        problems.append('stderr %r with exit status %d' % (proc.stderr[:200], proc.returncode))
    expected_files = dict(before)
    page_name = None
    if exp.page is not None:
        new = [n for n in after if n not in before]
        if len(new) != 1:
            problems.append('expected one new file (the page), found %r' % new)
        else:
            page_name = new[0]
            expected_files[page_name] = exp.page
    for n in sorted(set(after) | set(expected_files)):
        if n not in after:
            problems.append('file %r missing' % n)
        elif n not in expected_files:
            problems.append('unexpected file %r' % n)
        elif after[n] != expected_files[n]:
            i = first_difference(expected_files[n], after[n])
            ln, got = line_context(after[n], i)
            _, want = line_context(expected_files[n], i)
            problems.append('file %r differs at byte %d, line %d:\n      got      %r\n      expected %r'
                            % (n, i, ln, got, want))
    t = check_terminal(proc.stdout, exp)
    if t:
        problems.append(t)
    return problems, (exp, proc, page_name)


def keep_case(keep, seed, n, root, case, info):
    dest = os.path.join(keep, 'seed%d-case%d' % (seed, n))
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(root, dest)
    os.rename(os.path.join(dest, '.stdin'), os.path.join(dest, 'stdin'))
    if info is not None:
        exp, proc, _ = info
        if exp.page is not None:
            with open(os.path.join(dest, 'expected.ps'), 'wb') as fh:
                fh.write(exp.page)
        with open(os.path.join(dest, 'terminal.out'), 'wb') as fh:
            fh.write(proc.stdout + b'--- stderr\n' + proc.stderr)
    return dest


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--exe', required=True)
    ap.add_argument('--cases', type=int, default=2000)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--case', type=int, default=None)
    ap.add_argument('--keep', default='/tmp/planeview-fuzz-failures')
    ap.add_argument('-v', action='store_true')
    args = ap.parse_args()
    exe = os.path.abspath(args.exe)
    bad = 0
    stats = {}
    work = tempfile.mkdtemp(prefix='planeview-fuzz-')
    try:
        for n in range(args.cases):
            rng = random.Random('%d-%d' % (args.seed, n))
            case = make_case(rng)
            if args.case is not None and n != args.case:
                continue
            root = os.path.join(work, 'case%d' % n)
            os.makedirs(root)
            problems, info = run_case(exe, case, root)
            key = 'status %s' % (info[0].status if info else '?')
            if info and info[0].status:
                key += ' (%s)' % info[0].why.split(' ')[0]
            stats[key] = stats.get(key, 0) + 1
            if info and info[0].page:
                stats['dot records'] = stats.get('dot records', 0) + info[0].page.count(b'arc fill') - 3
                narr = info[0].page.split(b'/Helvetica findfont\n', 1)[-1]
                for word in (b'**', b'Inf', b'NaN', b'-0.0'):
                    if word in narr.split(b'20 275 moveto')[0]:
                        k = 'narrative with %s' % word.decode()
                        stats[k] = stats.get(k, 0) + 1
            if problems:
                bad += 1
                dest = keep_case(args.keep, args.seed, n, root, case, info)
                print('case %d (%s, failure %s): %s\n  kept in %s' % (
                    n, case['cell_kind'], case['failure'], '\n  '.join(problems), dest))
            elif args.v:
                print('case %d ok (%s, failure %s, status %d)' % (
                    n, case['cell_kind'], case['failure'], info[0].status))
            if args.case is not None:
                print('folder kept: %s' % keep_case(args.keep, args.seed, n, root, case, info))
            shutil.rmtree(root, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    total = args.cases if args.case is None else 1
    print('%d cases, %d differing; %s' % (total, bad, ', '.join('%s: %d' % kv for kv in sorted(stats.items()))))
    print('rules taken: %s' % ', '.join('%s: %d' % kv for kv in sorted(model.COVERAGE.items())))
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
