#!/usr/bin/env python3
"""Independent model of ovoclip, written from the description of its files,
not from its C++ sources.  Used by ovoclip_fuzz.py to predict, byte for byte,
every file a run writes and its exit status.

Single precision is emulated with Python floats: every operation is done in
double and rounded to float32 at once (exact for + - * / and sqrt, since a
double holds more than twice the bits of a float).  cos and sin are taken in
double of the float32 argument and rounded to float32.  Decimal text is
converted to float32 with one correct rounding (via fractions), never through
a double first.

Run by hand:
    cd some/folder/with/the/input/files
    printf 'ovoclip.inp\\nplaneview.inp\\n' | \\
        python3 /path/to/tests/model/ovoclip_model.py /tmp/expected
prints the predicted exit status and writes the files the run would create
(relative to the current folder) under /tmp/expected.  The current folder is
only read.

Exit statuses: 0 result, 1 no result (XDS header without its end line),
2 run-time failure (a name that names no file, open, read or number, or a
planeview-script value too wide for its field).
"""

import math
import os
import re
import struct
import sys
from fractions import Fraction

# ------------------------------------------------------------ float32 helpers

FLT_MAX = float.fromhex('0x1.fffffep+127')


def f32(x):
    """Round a Python float (double) to the nearest float32 (as a double)."""
    if x != x or x in (math.inf, -math.inf):
        return x
    try:
        return struct.unpack('f', struct.pack('f', x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def add(a, b):
    return f32(a + b)


def sub(a, b):
    return f32(a - b)


def mul(a, b):
    return f32(a * b)


def div(a, b):
    return f32(ddiv(a, b))


def ddiv(a, b):
    """IEEE double division without Python's ZeroDivisionError."""
    if b == 0:
        if a != a or a == 0:
            return math.nan
        neg = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
        return -math.inf if neg else math.inf
    return a / b


def sqrt32(x):
    if x != x or x < 0:
        return math.nan
    return f32(math.sqrt(x))


def cos32(x):
    if x != x or x in (math.inf, -math.inf):
        return math.nan
    return f32(math.cos(x))


def sin32(x):
    if x != x or x in (math.inf, -math.inf):
        return math.nan
    return f32(math.sin(x))


def fraction_to_f32(fr, negative=False):
    """Correctly rounded (half to even) float32 of an exact rational."""
    if fr < 0:
        negative = not negative
        fr = -fr
    if fr == 0:
        return -0.0 if negative else 0.0
    e = fr.numerator.bit_length() - fr.denominator.bit_length()
    if Fraction(2) ** e > fr:
        e -= 1
    while Fraction(2) ** (e + 1) <= fr:
        e += 1
    if e < -126:
        e = -126
    quantum = Fraction(2) ** (e - 23)
    m = fr / quantum
    mi = m.numerator // m.denominator
    rem = m - mi
    if rem > Fraction(1, 2) or (rem == Fraction(1, 2) and mi % 2 == 1):
        mi += 1
    value = mi * quantum
    if value > Fraction(FLT_MAX):
        v = math.inf
    else:
        v = float(value)
    return -v if negative else v


PI = f32(3.1415927)


# ------------------------------------------------------------ field readers

class ReadFailure(Exception):
    pass


_SPECIAL = re.compile(r'^([+-]?)(inf|infinity|nan)$', re.IGNORECASE)
_FIXED = re.compile(r'^([+-]?)(\d*)(?:\.(\d*))?(?:[eEdD]([+-]?\d+))?$')
_FREE = re.compile(r'^([+-]?)(\d*)(?:\.(\d*))?(?:[eEdD]([+-]?\d+))?$')


def _special(text):
    m = _SPECIAL.match(text)
    if not m:
        return None
    if m.group(2).lower() == 'nan':
        return math.nan
    return -math.inf if m.group(1) == '-' else math.inf


def parse_integer(field):
    """Iw: blanks around the digits ignored, all blank is 0; None if not an integer."""
    t = field.strip(' ')
    if t == '':
        return 0
    if not re.fullmatch(r'[+-]?\d+', t):
        return None
    v = int(t)
    if v < -2**31 or v >= 2**31:
        return None
    return v


def parse_fixed(field, decimals):
    """Fw.d input: implied decimals when the field has no point."""
    t = field.strip(' ')
    if t == '':
        return 0.0
    s = _special(t)
    if s is not None:
        return s
    m = _FIXED.match(t)
    if not m:
        raise ReadFailure('not a number: %r' % field)
    sign, ip, fp, ex = m.groups()
    if ip == '' and (fp is None or fp == ''):
        raise ReadFailure('not a number: %r' % field)
    if fp is None:
        value = Fraction(int(ip), 10 ** decimals)
    else:
        value = Fraction(int((ip or '0') + fp), 10 ** len(fp))
    if ex is not None:
        value *= Fraction(10) ** int(ex)
    return fraction_to_f32(value, sign == '-')


def parse_free(slice_):
    """The first item of a slice, delimited by blanks or a comma."""
    t = slice_.lstrip(' ')
    item = re.match(r'[^ ,]*', t).group(0)
    if item == '':
        raise ReadFailure('no value: %r' % slice_)
    s = _special(item)
    if s is not None:
        return s
    m = _FREE.match(item)
    if not m:
        raise ReadFailure('not a number: %r' % slice_)
    sign, ip, fp, ex = m.groups()
    if ip == '' and (fp is None or fp == ''):
        raise ReadFailure('not a number: %r' % slice_)
    if fp is None:
        value = Fraction(int(ip))
    else:
        value = Fraction(int((ip or '0') + fp), 10 ** len(fp))
    if ex is not None:
        value *= Fraction(10) ** int(ex)
    return fraction_to_f32(value, sign == '-')


# ------------------------------------------------------------ field writers

def write_integer(value, width):
    s = str(value)
    return s.rjust(width) if len(s) <= width else '*' * width


def write_fixed(value, width, decimals):
    if value != value:
        s = 'NaN'
    elif value == math.inf:
        s = 'Infinity' if width >= 8 else 'Inf'
    elif value == -math.inf:
        s = '-Infinity' if width >= 9 else '-Inf'
    else:
        s = '%.*f' % (decimals, value)
        if len(s) > width:
            if s.startswith('0.'):
                s = s[1:]
            elif s.startswith('-0.'):
                s = '-' + s[2:]
    return s.rjust(width) if len(s) <= width else '*' * width


# ------------------------------------------------------------ the cell

def degrees_to_radians(deg):
    return div(mul(deg, PI), 180.0)


def reciprocal_cell(a, b, c, alpha, beta, gamma):
    ar, br, gr = degrees_to_radians(alpha), degrees_to_radians(beta), degrees_to_radians(gamma)
    ca, cb, cg = cos32(ar), cos32(br), cos32(gr)
    sa, sb, sg = sin32(ar), sin32(br), sin32(gr)
    ca2, cb2, cg2 = mul(ca, ca), mul(cb, cb), mul(cg, cg)
    t = mul(mul(add(ca, ca), cb), cg)
    v = sqrt32(add(sub(sub(sub(1.0, ca2), cb2), cg2), t))
    abc = mul(mul(a, b), c)
    volume = mul(abc, v)
    r = {
        'volume': volume,
        'astar': div(mul(sa, mul(b, c)), volume),
        'bstar': div(mul(sb, mul(a, c)), volume),
        'cstar': div(mul(sg, mul(a, b)), volume),
        'cosalphastar': div(sub(mul(cb, cg), ca), mul(sb, sg)),
        'cosbetastar': div(sub(mul(ca, cg), cb), mul(sa, sg)),
        'cosgammastar': div(sub(mul(ca, cb), cg), mul(sa, sb)),
        'sinalphastar': div(volume, mul(mul(abc, sb), sg)),
        'sinbetastar': div(volume, mul(mul(abc, sa), sg)),
        'singammastar': div(volume, mul(mul(abc, sa), sb)),
    }
    return r


class Ellipsoid:
    """Everything isInsideEllipsoid needs, formed once for the pass."""

    def __init__(self, cell, axes, low, medium, high):
        a, b, c, alpha, beta, gamma = cell
        rc = reciprocal_cell(*cell)
        gr = degrees_to_radians(gamma)
        cg, sg = cos32(gr), sin32(gr)
        self.m11 = div(1.0, a)
        self.m21 = -div(cg, mul(sg, a))
        self.m22 = div(1.0, mul(sg, b))
        self.m31 = mul(rc['astar'], rc['cosbetastar'])
        self.m32 = mul(rc['cosalphastar'], rc['bstar'])
        self.m33 = rc['cstar']
        self.axes = axes
        self.q = [div(1.0, mul(low, low)), div(1.0, mul(medium, medium)),
                  div(1.0, mul(high, high))]

    def measure(self, h, k, l):
        hr, kr, lr = f32(float(h)), f32(float(k)), f32(float(l))
        s1 = mul(hr, self.m11)
        s2 = add(mul(hr, self.m21), mul(kr, self.m22))
        s3 = add(add(mul(hr, self.m31), mul(kr, self.m32)), mul(lr, self.m33))
        terms = []
        for i in range(3):
            r = self.axes[i]
            t = add(add(mul(r[0], s1), mul(r[1], s2)), mul(r[2], s3))
            terms.append(div(mul(t, t), self.q[i]))
        return add(add(terms[0], terms[1]), terms[2])

    def inside(self, h, k, l):
        return not (self.measure(h, k, l) > 1.0)


def sort_limits(l1, l2, l3):
    if l1 >= l2 and l1 >= l3:
        low, rest = l1, (l2, l3)
    elif l2 >= l1 and l2 >= l3:
        low, rest = l2, (l1, l3)
    else:
        low, rest = l3, (l1, l2)
    med, high = (rest[0], rest[1]) if rest[0] >= rest[1] else (rest[1], rest[0])
    return low, med, high


# ------------------------------------------------------------ files

def split_lines(data):
    """Lines of a file (latin-1 text); a CR just before LF is dropped."""
    text = data.decode('latin-1')
    parts = text.split('\n')
    if parts and parts[-1] == '':
        parts.pop()
    lines = []
    for i, p in enumerate(parts):
        followed_by_lf = i < len(parts) - 1 or text.endswith('\n')
        if followed_by_lf and p.endswith('\r'):
            p = p[:-1]
        lines.append(p)
    return lines


LONGEST_NAME = 4096


def file_name(line):
    """A file name: the whole line, trailing blanks dropped; a name holding
    a NUL byte or longer than 4096 bytes names no file and ends the run."""
    name = line.rstrip(' ')
    if '\0' in name or len(name) > LONGEST_NAME:
        raise Failure(2, 'no file name: %r...' % name[:80])
    return name


class Failure(Exception):
    def __init__(self, status, why):
        super().__init__(why)
        self.status = status


def run_model(files, dirs, stdin_bytes):
    """Predicts one run.

    files: {relative path: bytes} present before the run; dirs: set of
    existing directories (relative, '' is the run folder).  Returns
    (exit status, {path: bytes} of the files the run creates, reason).
    """
    created = {}
    answers = split_lines(stdin_bytes)

    def exists(path):
        return path in files or path in created or path.rstrip('/') in dirs

    def create(path):
        d = os.path.dirname(path)
        if path == '' or exists(path) or (d not in dirs):
            raise Failure(2, 'cannot create %r' % path)
        created[path] = bytearray()
        return created[path]

    def open_old(path):
        if path in files:
            return files[path]
        if path in created:
            return bytes(created[path])
        raise Failure(2, 'cannot open %r' % path)

    def fixed_fields(line, n, width, decimals):
        vals = []
        for i in range(n):
            field = line[i * width:(i + 1) * width].ljust(width)
            try:
                vals.append(parse_fixed(field, decimals))
            except ReadFailure as e:
                raise Failure(2, str(e))
        return vals

    try:
        if len(answers) < 1:
            raise Failure(2, 'end of input at the first prompt')
        script = split_lines(open_old(file_name(answers[0])))
        if len(script) < 5:
            raise Failure(2, 'script has fewer than five records')
        name_in = file_name(script[0])
        name_out = file_name(script[1])
        cell = fixed_fields(script[2], 6, 8, 2)
        axes_flat = fixed_fields(script[3], 9, 12, 4)
        limits = fixed_fields(script[4], 3, 12, 4)
        axes = [axes_flat[0:3], axes_flat[3:6], axes_flat[6:9]]

        # the reslimit file is named by the first ten characters of the
        # reflection file's own name, the part after the last slash, and is
        # made in the folder the run starts in
        own_name = script[0].split('/')[-1]
        reslimit = create(own_name[:10].ljust(10) + '_reslimit.dat')
        low, med, high = sort_limits(*limits)
        reslimit += ('INCLUDE_RESOLUTION_RANGE=500 ' + write_fixed(high, 8, 3) + '\n').encode('latin-1')

        xds = split_lines(open_old(name_in))
        out = create(name_out)
        ell = Ellipsoid(cell, axes, low, med, high)

        it = iter(xds)
        for line in it:
            if line[:14] == '!END_OF_HEADER':
                break
            out += (line.ljust(80) + '\n').encode('latin-1')
        else:
            raise Failure(1, 'no end-of-header line')
        out += b'!END_OF_HEADER\n'

        count_in = 0
        rejected = 0
        sum_f = 0.0
        sum_sigma = 0.0
        mean = 0.0
        for line in it:
            head = line[:18].ljust(18)
            h, k, l = (parse_integer(head[0:6]), parse_integer(head[6:12]),
                       parse_integer(head[12:18]))
            if h is None or k is None or l is None:
                break
            rest = line[18:]
            padded = rest.ljust(58)
            try:
                fval = parse_free(padded[0:11])
                sval = parse_free(padded[11:22])
            except ReadFailure as e:
                raise Failure(2, str(e))
            count_in += 1
            if ell.inside(h, k, l):
                out += ('%6d%6d%6d' % (h, k, l) + padded + '\n').encode('latin-1')
            else:
                rejected += 1
                sum_f += fval
                sum_sigma += sval
                mean = f32(ddiv(sum_f, sum_sigma))
        else:
            raise Failure(2, 'end of file in the data')
        out += b'!END_OF_DATA\n'

        if len(answers) < 2:
            raise Failure(2, 'end of input at the planeview prompt')
        pv = create(file_name(answers[1]))
        remaining = count_in - rejected
        remaining_text = str(remaining) + '.00'
        # planeview reads these back: a field that does not fit ends the
        # run, the records before it written
        for record in (write_integer(count_in, 9), write_integer(rejected, 9),
                       write_fixed(mean, 12, 2),
                       remaining_text.rjust(12) if len(remaining_text) <= 12 else '*' * 12):
            if '*' in record:
                raise Failure(2, 'planeview script field does not fit: %r' % record)
            pv += (record + '\n').encode('latin-1')
        status, why = 0, 'normal end'
    except Failure as f:
        status, why = f.status, str(f)
    return status, {p: bytes(v) for p, v in created.items()}, why


# ------------------------------------------------------------ by hand

def _snapshot(root):
    files, dirs = {}, {''}
    for dp, dn, fn in os.walk(root):
        rel = os.path.relpath(dp, root)
        rel = '' if rel == '.' else rel
        for d in dn:
            dirs.add(os.path.join(rel, d))
        for f in fn:
            with open(os.path.join(dp, f), 'rb') as fh:
                files[os.path.join(rel, f)] = fh.read()
    return files, dirs


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    files, dirs = _snapshot('.')
    status, created, why = run_model(files, dirs, sys.stdin.buffer.read())
    for path, data in created.items():
        target = os.path.join(sys.argv[1], path)
        os.makedirs(os.path.dirname(target) or '.', exist_ok=True)
        with open(target, 'wb') as fh:
            fh.write(data)
    print('exit status %d (%s); files: %s' % (status, why, ', '.join(repr(p) for p in created)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
