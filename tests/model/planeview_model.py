#!/usr/bin/env python3
"""Independent model of planeview, written from the description of its files,
its dialogue and its page, not from its C++ sources.  planeview_fuzz.py uses
it to predict, byte for byte, the report page a run writes, its exit status
and the prompts it shows.

Number rules (Fw.d and Iw input and output, float32 rounding, lines of a
text file) come from honer_model.py, which was checked against the common
reader and writer.  Single precision is emulated there: every operation is
done in double and rounded to float32 at once (exact for + - * /, sqrt, since
a double holds more than twice the bits of a float); cos and sin are taken
in double of the float32 argument and rounded to float32.

Readings taken here where the description leaves room or was settled later:
- the fin records are counted in a 64-bit integer and the four amplitude
  sums kept in double; each mean is sum / count rounded once to float32;
- a gray level that is not a number writes no colour record; one that is
  infinite or does not fit F8.3 is written as 999.999 or -999.999;
- a dot whose x or y is not finite or does not fit F8.2 is left out, and so
  is one whose y fills all eight columns (it would run into x); its mate is
  drawn if it fits;
- the numbers of the narrative are written by the common Fw.d / Iw writer
  (Infinity, NaN, asterisks as they come);
- a carriage return just before a line feed is not part of a line, in the
  files and in the answers on standard input.

Run by hand, in a folder holding the four input files:
    printf 'ovoclip.inp\\nfin.dat\\npage.ps\\nplaneview.inp\\ncad.inp\\n' | \\
        python3 /path/to/tests/model/planeview_model.py /tmp/expected
prints the predicted exit status and the reason, and writes the page the
run would create under /tmp/expected (the current folder is only read).
Exit statuses: 0 page complete, 2 run-time failure (open, read, number).
"""

import math
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import honer_model as hm  # noqa: E402

EXIT_OK = 0
EXIT_FAILURE = 2

f32 = hm.f32
div = hm.f32_div
NotANumber = hm.NotANumber


def add(a, b):
    return f32(a + b)


def sub(a, b):
    return f32(a - b)


def mul(a, b):
    return f32(a * b)


def finite(x):
    return not (math.isnan(x) or math.isinf(x))


def sqrt32(x):
    if math.isnan(x) or x < 0:
        return math.nan
    return f32(math.sqrt(x))


def cos32(x):
    return f32(math.cos(x)) if finite(x) else math.nan


def sin32(x):
    return f32(math.sin(x)) if finite(x) else math.nan


PI = f32(3.1415927)


# ------------------------------------------------------------ fields

_INTEGER = re.compile(rb'[+-]?[0-9]+')


def read_integer(field):
    """Iw input: blanks around the digits ignored, all blank reads 0."""
    text = field.strip(b' ')
    if not text:
        return 0
    if not _INTEGER.fullmatch(text):
        raise NotANumber(field)
    v = int(text)
    if v < -2 ** 31 or v >= 2 ** 31:
        raise NotANumber(field)
    return v


def read_fixed(field, decimals):
    return hm.read_fixed(field, decimals)


def col(line, first, last):
    return hm.columns(line, first, last)


F = hm.write_fixed
I = hm.write_integer


# ------------------------------------------------------------ the cell

def reciprocal_cell(a, b, c, alpha, beta, gamma):
    def radians(d):
        return div(mul(d, PI), 180.0)
    ar, br, gr = radians(alpha), radians(beta), radians(gamma)
    ca, cb, cg = cos32(ar), cos32(br), cos32(gr)
    sa, sb, sg = sin32(ar), sin32(br), sin32(gr)
    t = mul(mul(add(ca, ca), cb), cg)
    v = sqrt32(add(sub(sub(sub(1.0, mul(ca, ca)), mul(cb, cb)), mul(cg, cg)), t))
    abc = mul(mul(a, b), c)
    vol = mul(abc, v)
    return {
        'volume': vol,
        'astar': div(mul(sa, mul(b, c)), vol),
        'bstar': div(mul(sb, mul(a, c)), vol),
        'cstar': div(mul(sg, mul(a, b)), vol),
        'cosalphastar': div(sub(mul(cb, cg), ca), mul(sb, sg)),
        'cosbetastar': div(sub(mul(ca, cg), cb), mul(sa, sg)),
        'cosgammastar': div(sub(mul(ca, cb), cg), mul(sa, sb)),
        'sinalphastar': div(vol, mul(mul(abc, sb), sg)),
        'sinbetastar': div(vol, mul(mul(abc, sa), sg)),
        'singammastar': div(vol, mul(mul(abc, sa), sb)),
    }


def max_resolution(l1, l2, l3):
    if l1 <= l2 and l1 <= l3:
        return l1
    if l2 <= l1 and l2 <= l3:
        return l2
    return l3


# ------------------------------------------------------------ the page text

HEADER = [b'%!PS', b'%%BoundingBox: 0 -50 700 700', b'%%PageBoundingBox: 0 -50 700 700',
          b'0 setgray']


def narrative_head(r_in, r_rej, limits, mean_fs, r_rem):
    """The narrative up to the B sentence: every string closes on its own
    line (the blank between words inside it); the unit is the Latin-1 Aring
    with its exponent raised where the text ends."""
    l1, l2, l3 = limits
    return [
        b'/Helvetica findfont dup length dict begin',
        b'{1 index /FID ne {def} {pop pop} ifelse} forall',
        b'/Encoding ISOLatin1Encoding def currentdict end',
        b'/Helvetica-ISOLatin1 exch definefont pop',
        b'/exponent {currentfont exch /Helvetica-ISOLatin1 findfont 10 scalefont setfont',
        b'0 6 rmoveto show 0 -6 rmoveto setfont} def',
        b'/Helvetica-ISOLatin1 findfont',
        b'15 scalefont setfont 0 0 0 setrgbcolor',
        b'30 670 moveto',
        b'(' + I(r_in, 10) + b' reflections were in the initial data set.)show',
        b'(' + I(r_rej, 10) + b' were discarded because they fell outside)show',
        b' 40 650 moveto (the specified ellipsoid with dimensions )show',
        b'(1/' + F(l1, 4, 1) + b',   1/' + F(l2, 4, 1) + b',   1/' + F(l3, 4, 1) + b' \\305)show (-1) exponent',
        b'(  along a*,b*,c*, respectively.)show',
        b'40 630 moveto (These discarded reflections had an )show',
        b'(average F/sigma of' + F(mean_fs, 6, 2) + b'.)show',
        b'40 610 moveto',
        b'(' + I(r_rem, 10) + b' reflections remain after ellipsoidal )show',
        b'(truncation.  Anisotropic scale factors were then)show',
        b'40 590 moveto (applied to remove anisotropy from the )show',
    ]


def narrative_tail(negb):
    """The narrative from the B sentence."""
    return [
        b'(data set.  Lastly, an isotropic B of' + F(negb, 8, 2) + b' \\305)show (2) exponent',
        b'40 570 moveto (was applied to restore the magnitude )show',
        b'(of the high resolution reflections diminished by)show',
        b'40 550 moveto (anisotropic scaling. )show',
        b'(The following pseudo precession images illustrate )show',
        b'(the individual steps.)show',
    ]


LEGEND = [
    b'20 275 moveto 700 275 lineto stroke',
    b'20 125 moveto 700 125 lineto stroke',
    b'/Helvetica findfont',
    b'15 scalefont setfont 0 0 0 setrgbcolor',
    b'150 480 moveto (large magnitude F)show',
    b'stroke 140 485 5 0 360 arc fill ',
    b'0.6 setgray',
    b'300 480 moveto (small magnitude F)show',
    b'stroke 290 485 5 0 360 arc fill',
    b'1 0 0 setrgbcolor',
    b'450 480 moveto (F/sigma under 2.5)show',
    b'stroke 440 485 5 0 360 arc fill',
    b'/Helvetica findfont',
    b'15 scalefont setfont 0 0 0 setrgbcolor',
    b'180 420 moveto (TRUNCATION)show',
    b'320 440 moveto (ANISOTROPIC)show',
    b'340 420 moveto (SCALING)show',
    b'480 420 moveto (ISOTROPIC -B)show',
    b'3.0 setlinewidth',
    b'210 400 moveto 240 400 lineto stroke',
    b'newpath 250 400 moveto -10 7 rlineto',
    b'0 -14 rlineto closepath fill',
    b'350 400 moveto 380 400 lineto stroke',
    b'newpath 390 400 moveto -10 7 rlineto',
    b'0 -14 rlineto closepath fill',
    b'510 400 moveto 540 400 lineto stroke',
    b'newpath 550 400 moveto -10 7 rlineto',
    b'0 -14 rlineto closepath fill',
    b'30 400 moveto (H=0) show',
    b'30 250 moveto (K=0) show',
    b'30 100 moveto (L=0) show',
    b'1 setlinewidth',
    b'120 470 moveto 470 0 rlineto 0 30 rlineto',
    b'-470 0 rlineto 0 -30 rlineto stroke',
    b' /Helvetica findfont 10 scalefont setfont',
    b'10 380 moveto (b* horiz.)show',
    b'10 360 moveto (c* vert.)show',
    b'10 230 moveto (a* horiz.)show',
    b'10 210 moveto (c* vert.)show',
    b'10  80 moveto (a* horiz.)show',
    b'10  60 moveto (b* vert.)show',
    b'showpage',
]

RED = b'1 0 0 setrgbcolor'

# How often each rule of the panels was taken, summed over all runs (the
# fuzz driver reports it, to show the rare branches were reached).
COVERAGE = {}


def _seen(what):
    COVERAGE[what] = COVERAGE.get(what, 0) + 1
COLUMN_X = (150.0, 300.0, 450.0, 600.0)


# ------------------------------------------------------------ the panels

def read_fin_record(line):
    """(3I4,8F12.2): h, k, l and the eight amplitudes and sigmas."""
    h = read_integer(col(line, 1, 4))
    k = read_integer(col(line, 5, 8))
    l = read_integer(col(line, 9, 12))
    vals = [read_fixed(col(line, 13 + 12 * i, 24 + 12 * i), 2) for i in range(8)]
    return h, k, l, vals


def zone_position(zone, h, k, l, rc, s):
    hr, kr, lr = float(h), float(k), float(l)   # |index| < 10**4: exact in float32
    if zone == 'h':
        w = mul(mul(lr, rc['cstar']), s)
        return add(mul(w, rc['cosalphastar']), mul(mul(kr, rc['bstar']), s)), mul(w, rc['sinalphastar'])
    if zone == 'k':
        w = mul(mul(lr, rc['cstar']), s)
        return add(mul(w, rc['cosbetastar']), mul(mul(hr, rc['astar']), s)), mul(w, rc['sinbetastar'])
    w = mul(mul(kr, rc['bstar']), s)
    return add(mul(w, rc['cosgammastar']), mul(mul(hr, rc['astar']), s)), mul(w, rc['singammastar'])


def colour_record(f, sig, mean):
    """The colour record of one dot, or None."""
    r = div(f, sig)
    if r > 2.5:
        g = sub(1.5, div(f, mean))
        if math.isnan(g):
            _seen('gray NaN')
            return None
        text = F(g, 8, 3) if finite(g) else b'*'
        if b'*' in text:
            _seen('gray clamped %s' % ('infinite' if not finite(g) else 'finite'))
            text = b' 999.999' if g > 0 else b'-999.999'
        elif not text.startswith(b' '):
            _seen('gray in all 8 columns')
        return text + b' setgray'
    if 2.5 >= r:
        _seen('red at 2.5' if r == 2.5 else 'red')
        return RED
    _seen('ratio NaN')
    return None


def dot_record(x, y):
    if not (finite(x) and finite(y)):
        _seen('dot not finite')
        return None
    xs, ys = F(x, 8, 2), F(y, 8, 2)
    if b'*' in xs or b'*' in ys:
        _seen('dot too wide')
        return None
    if not ys.startswith(b' '):
        _seen('dot y in all 8 columns')
        return None
    if not xs.startswith(b' '):
        _seen('dot x in all 8 columns')
    if abs(y) >= 9999.98 or -999.995 < y <= -999.98 or abs(x) >= 99999.98 or -9999.995 < x <= -9999.98:
        _seen('dot just inside an edge')
    return xs + ys + b' 1 0 360 arc fill'


def panel_records(h, k, l, vals, rc, s, means):
    out = []
    for zone, zero, yc in (('h', h, 350.0), ('k', k, 200.0), ('l', l, 50.0)):
        if zero != 0:
            continue
        u, v = zone_position(zone, h, k, l, rc, s)
        # A panel is the disc of 75 points round its centre: a reflection
        # whose dot (radius 1) would reach past it is not drawn at all.
        if not add(mul(u, u), mul(v, v)) <= 5476.0:
            _seen('outside its panel')
            continue
        for i in range(4):
            f, sig = vals[2 * i], vals[2 * i + 1]
            if f == 0:
                continue
            c = colour_record(f, sig, means[i])
            if c is not None:
                out.append(c)
            xc = COLUMN_X[i]
            for x, y in ((add(xc, u), add(yc, v)), (sub(xc, u), sub(yc, v))):
                d = dot_record(x, y)
                if d is not None:
                    out.append(d)
    return out


# ------------------------------------------------------------ the run

PROMPTS = [b'Please type ovoclip input file', b'Type fin file with 4 data sets',
           b'Type output ps file', b'Please type the planeview input file',
           b'Please type the cad -B input file']

ECHO_LABELS = [b'a= ', b'alpha= ', b'astar= ', b'volume of direct unit cell= ', b'cosalpha*= ',
               b'cosbeta*= ', b'cosgamma*= ', b'sinalpha*= ', b'sinbeta*= ', b'singamma*= ',
               b'limit on a* is', b'limit on b* is', b'limit on c* is',
               b'maximum resolution is', b'ave|F|init,trunc,aniso,isob',
               b'scaling the reciprocal cell by', b'negB applied by cad was', b'bye']


class Outcome:
    """status; page: bytes of the page, or None when the run creates none;
    prompts: how many prompts are shown; echoes: the echo labels shown (in
    order); values: a few numbers of the run, for the record of a case."""

    def __init__(self):
        self.status = EXIT_OK
        self.page = None
        self.prompts = 0
        self.echoes = []
        self.values = {}
        self.why = 'normal end'


class _Fail(Exception):
    pass


def run(stdin, files, dirs=(b'',)):
    """Model one run.  stdin: bytes on standard input; files: {name: bytes}
    of the files in the run folder (names relative, bytes); dirs: the
    folders that exist (b'' is the run folder)."""
    out = Outcome()
    page = []

    def fail(why):
        out.status = EXIT_FAILURE
        out.why = why
        raise _Fail()

    def records(name):
        return hm.split_records(files[name])

    try:
        answers = hm.Answers(stdin)
        names = []
        for i in range(5):
            out.prompts = i + 1
            a = answers.next()
            if a is None:
                fail('standard input ended at prompt %d' % (i + 1))
            names.append(hm.file_name(a))
            if names[-1] is None:
                fail('answer %d names no file' % (i + 1))
        n_script, n_fin, n_page, n_pv, n_cad = names

        def must_exist(name, what):
            if name == b'' or name not in files:
                fail('%s %r cannot be opened' % (what, name))

        must_exist(n_script, 'ovoclip input script')
        must_exist(n_fin, 'fin file')
        if n_page == b'' or n_page in files or n_page in dirs or n_page.endswith(b'/') \
                or os.path.dirname(n_page) not in dirs:
            fail('page %r cannot be created' % n_page)
        out.page = b''
        must_exist(n_pv, 'planeview script')
        must_exist(n_cad, 'cad input file')

        script = records(n_script)
        if len(script) < 3:
            fail('ovoclip input script ends before record 3')
        try:
            cell = [read_fixed(col(script[2], 1 + 8 * i, 8 + 8 * i), 2) for i in range(6)]
        except NotANumber:
            fail('cell field not a number')
        if len(script) < 5:
            fail('ovoclip input script ends before record 5')
        try:
            limits = [read_fixed(col(script[4], 1 + 12 * i, 12 + 12 * i), 4) for i in range(3)]
        except NotANumber:
            fail('limit field not a number')
        rc = reciprocal_cell(*cell)
        maxres = max_resolution(*limits)
        out.values.update(cell=cell, limits=limits, rc=rc, maxres=maxres)
        out.echoes.extend(ECHO_LABELS[:14])

        page.extend(HEADER)
        fin = records(n_fin)
        parsed = []
        count = 0
        sums = [0.0, 0.0, 0.0, 0.0]
        for n, line in enumerate(fin):
            try:
                rec = read_fin_record(line)
            except NotANumber:
                fail('fin record %d not numbers' % (n + 1))
            parsed.append(rec)
            count += 1
            for i in range(4):
                sums[i] += rec[3][2 * i]
        means = [f32(s / count) if count else 0.0 for s in sums]
        out.values.update(count=count, means=means)
        out.echoes.append(ECHO_LABELS[14])
        s = mul(maxres, 70.0)
        out.values['plotScale'] = s
        out.echoes.append(ECHO_LABELS[15])
        for h, k, l, vals in parsed:
            page.extend(panel_records(h, k, l, vals, rc, s, means))

        pv = records(n_pv)
        summary = []
        for n, (first, last, kind) in enumerate(((1, 9, 'I'), (1, 9, 'I'), (1, 12, 'F'), (1, 9, 'I'))):
            if n >= len(pv):
                fail('planeview script ends before record %d' % (n + 1))
            try:
                field = col(pv[n], first, last)
                summary.append(read_integer(field) if kind == 'I' else read_fixed(field, 2))
            except NotANumber:
                fail('planeview script record %d not a number' % (n + 1))
        r_in, r_rej, mean_fs, r_rem = summary
        out.values.update(summary=summary)
        page.extend(narrative_head(r_in, r_rej, limits, mean_fs, r_rem))

        cad = records(n_cad)
        if len(cad) < 2:
            fail('cad input file ends before record 2')
        try:
            negb = read_fixed(col(cad[1], 25, 36), 3)
        except NotANumber:
            fail('cad B field not a number')
        out.values['negB'] = negb
        page.extend(narrative_tail(negb))
        out.echoes.append(ECHO_LABELS[16])
        page.extend(LEGEND)
        out.echoes.append(ECHO_LABELS[17])
    except _Fail:
        pass
    if out.page is not None:
        out.page = b''.join(r + b'\n' for r in page)
    return out


# ------------------------------------------------------------ by hand

def _main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2

    class Folder(dict):
        def __contains__(self, name):
            return os.path.isfile(name)

        def __getitem__(self, name):
            with open(name, 'rb') as fh:
                return fh.read()

    class Dirs:
        def __contains__(self, name):
            return name == b'' or os.path.isdir(name)

    out = run(sys.stdin.buffer.read(), Folder(), Dirs())
    print('exit status %d (%s)' % (out.status, out.why))
    if out.page is not None:
        os.makedirs(sys.argv[1], exist_ok=True)
        with open(os.path.join(sys.argv[1], 'page.ps'), 'wb') as fh:
            fh.write(out.page)
        print('page written to %s' % os.path.join(sys.argv[1], 'page.ps'))
    return 0


if __name__ == '__main__':
    sys.exit(_main())
