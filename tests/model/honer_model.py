#!/usr/bin/env python3
"""Independent reference model of `honer`, written from the description of its
files and dialogue, not from the C++ code.

It also holds the number rules shared with mergetab_model.py: single-precision
arithmetic (every result rounded once to the nearest float32, ties to even),
Fw.d and free-format input, Fw.d and Iw output.

Run by hand, in a folder holding a Phaser log, like the program itself:

    printf 'phaser.log\\ncad.inp\\n' | python3 tests/model/honer_model.py

It prints what honer would print, creates the cad input file the way honer
would, and exits with honer's status (0 script written, 1 no eigenB table,
2 run-time failure).  logs_fuzz.py imports `run` and compares it with the
real program.

Readings this model takes where the documented rules leave room (each one
agrees with the programs):
- Fw.d input: an all-blank field is +0; blanks around the number are
  ignored, blanks or tabs inside it make it not a number; the exponent is
  E or D in either case, or a bare sign (1.5+2 is 150); Inf, Infinity and
  NaN in any case, with a sign; a value beyond the float32 range is an
  infinity; the decimal text is rounded once, correctly, to float32.
- Fw.d output of a negative zero keeps the minus sign (-0.000).
- Text lines: a CR just before the LF is dropped, a CR at the very end of a
  file without a LF is kept; the last line counts without its LF.
- Terminal answers follow the same line rule.
- A log without the table: exit 1, the empty cad input file, and standard
  error may carry a note.
"""

import math
import os
import re
import struct
import sys
from decimal import Decimal, ROUND_HALF_EVEN, localcontext
from fractions import Fraction

EXIT_OK = 0
EXIT_NO_RESULT = 1
EXIT_FAILURE = 2

# ------------------------------------------------------------------ float32

FLT_MIN_EXP = -126      # smallest normal exponent
FLT_MANT = 23           # stored mantissa bits
TWO_128 = Fraction(2) ** 128


def f32_round(value):
    """Nearest float32 to an exact rational (ties to even); returns a Python
    float holding that float32 exactly, or +-inf on overflow.  Used for
    numbers read from text, which must not pass through a double first."""
    if isinstance(value, float):
        if math.isnan(value) or math.isinf(value) or value == 0:
            return value
        value = Fraction(value)
    if value == 0:
        return 0.0
    negative = value < 0
    mag = -value if negative else value
    # exponent e with 2**e <= mag < 2**(e+1)
    e = mag.numerator.bit_length() - mag.denominator.bit_length()
    if Fraction(2) ** e > mag:
        e -= 1
    elif Fraction(2) ** (e + 1) <= mag:
        e += 1
    step_exp = max(e, FLT_MIN_EXP) - FLT_MANT
    q = mag / (Fraction(2) ** step_exp)
    n = q.numerator // q.denominator
    rest = q - n
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and n % 2 == 1):
        n += 1
    result = Fraction(n) * Fraction(2) ** step_exp
    if result >= TWO_128:
        out = math.inf
    else:
        out = float(result)
    return -out if negative else out


def f32(x):
    """A double rounded to float32 (struct 'f' rounds to nearest, ties to
    even; a result beyond the float32 range is an infinity)."""
    if math.isnan(x) or math.isinf(x):
        return x
    try:
        return struct.unpack('f', struct.pack('f', x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def f32_div(a, b):
    """a / b of two float32 values in single precision, IEEE rules for
    zeros, infinities and NaN (no trap on a zero divisor).  The double
    quotient is correctly rounded to 53 bits, more than twice 24 + 2, so
    rounding it once more to 24 bits gives the correctly rounded float32
    quotient."""
    if math.isnan(a) or math.isnan(b) or (math.isinf(a) and math.isinf(b)):
        return math.nan
    if b == 0:
        if a == 0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return f32(a / b)


# ------------------------------------------------------------------ reading

class NotANumber(Exception):
    """A field or slice that does not hold a number: a run-time read failure."""


# the exponent: E or D in either case with an optional sign, or (the old
# convention of formatted input) a sign alone, as in 1.5+2 or 12-3
_NUMBER = re.compile(rb'^([+-]?)(\d*)(?:(\.)(\d*))?(?:[eEdD]([+-]?\d+)|([+-]\d+))?$')
_SPECIAL = re.compile(rb'^([+-]?)(inf|infinity|nan)$', re.IGNORECASE)


def _decimal_value(text, implied_decimals):
    """Value of a number text; `implied_decimals` applies when it has no
    point.  Raises NotANumber."""
    special = _SPECIAL.match(text)
    if special:
        if special.group(2).lower() == b'nan':
            return math.nan
        return -math.inf if special.group(1) == b'-' else math.inf
    m = _NUMBER.match(text)
    if not m:
        raise NotANumber(text)
    sign, whole, point, frac, exp, bare_exp = m.groups()
    exp = exp if exp is not None else bare_exp
    frac = frac or b''
    if not whole and not frac:
        raise NotANumber(text)
    digits = (whole + frac) or b'0'
    scale = -len(frac)
    if point is None:
        scale -= implied_decimals
    if exp is not None:
        scale += int(exp)
    mantissa = int(digits)
    negative = sign == b'-'
    if mantissa == 0:
        return -0.0 if negative else 0.0
    # far outside float32 either way: avoid huge powers of ten
    magnitude = len(digits.lstrip(b'0')) + scale
    if magnitude > 60:
        return -math.inf if negative else math.inf
    if magnitude < -60:
        return -0.0 if negative else 0.0
    value = Fraction(mantissa) * Fraction(10) ** scale
    return f32_round(-value if negative else value)


def read_fixed(field, decimals):
    """Fw.d input: all blank reads 0; blanks before and after the number are
    ignored; without a point the digits carry `decimals` implied decimals."""
    text = field.strip(b' ')
    if not text:
        return 0.0
    return _decimal_value(text, decimals)


def read_free(slice_):
    """Free-format input: the first item of the slice, delimited by blanks or
    a comma; a number without a point is a whole number."""
    text = slice_.lstrip(b' ')
    end = len(text)
    for i, ch in enumerate(text):
        if ch in b' ,':
            end = i
            break
    item = text[:end]
    if not item:
        raise NotANumber(slice_)
    return _decimal_value(item, 0)


def columns(line, first, last):
    """Columns first..last (1-based, inclusive), blank-filled past the end."""
    part = line[first - 1:last]
    return part + b' ' * (last - first + 1 - len(part))


def split_records(data):
    """Records of a text file: lines ended by LF (the last may lack it), a
    CR just before the LF not part of the line."""
    if not data:
        return []
    pieces = data.split(b'\n')
    if pieces[-1] == b'':
        pieces.pop()
    out = []
    for i, p in enumerate(pieces):
        terminated = i < len(pieces) - 1 or data.endswith(b'\n')
        if terminated and p.endswith(b'\r'):
            p = p[:-1]
        out.append(p)
    return out


# ------------------------------------------------------------------ writing

def write_fixed(value, width, decimals):
    """Fw.d output: half-to-even on the exact binary value; 0 before the
    point when there is room; minus kept on a value rounding to zero;
    Infinity/-Infinity/NaN, Inf/-Inf when narrower, asterisks narrower still."""
    if math.isnan(value) or math.isinf(value):
        if math.isnan(value):
            choices = ['NaN']
        elif value > 0:
            choices = ['Infinity', 'Inf']
        else:
            choices = ['-Infinity', '-Inf']
        for c in choices:
            if len(c) <= width:
                return c.rjust(width).encode()
        return b'*' * width
    negative = math.copysign(1.0, value) < 0
    with localcontext() as ctx:
        ctx.prec = 200
        q = Decimal(abs(value)).quantize(Decimal(1).scaleb(-decimals), rounding=ROUND_HALF_EVEN)
        text = format(q, 'f')
    if decimals == 0:
        text += '.'
    if negative:
        text = '-' + text
    if len(text) > width:
        if text.startswith('0.'):
            text = text[1:]
        elif text.startswith('-0.'):
            text = '-' + text[2:]
    if len(text) > width:
        return b'*' * width
    return text.rjust(width).encode()


def write_integer(value, width):
    """Iw output: right-justified, asterisks when it does not fit."""
    text = str(value)
    if len(text) > width:
        return b'*' * width
    return text.rjust(width).encode()


def free_line(*texts):
    """A free-format line of text items."""
    return (' ' + ' '.join(texts) + '\n').encode()


# ------------------------------------------------------------------ answers

class Answers:
    """Terminal answers: one line a question; None once input has ended."""

    def __init__(self, data):
        # one line a question, a CR before the LF not part of it
        self.lines = split_records(data)
        self.pos = 0

    def next(self):
        if self.pos >= len(self.lines):
            return None
        line = self.lines[self.pos]
        self.pos += 1
        return line


LONGEST_NAME = 4096


def file_name(answer):
    """The whole answer, trailing blanks dropped; None when it names no
    file (a NUL byte in it, or more than 4096 bytes): the run ends at that
    prompt."""
    name = answer.rstrip(b' ')
    if b'\0' in name or len(name) > LONGEST_NAME:
        return None
    return name


# ------------------------------------------------------------------ outcome

class Outcome:
    """What a run does: terminal lines, exit status, files written.

    stdout: list of expected terminal lines (bytes, with LF); an item may be
            a tuple ('negB', value) for the line whose number format is free.
    created: {name: bytes} files that must exist afterwards with that content.
    absent: names that must not exist afterwards.
    stderr_names: texts the report on standard error must contain.
    stderr_required / stderr_optional: a report on standard error must /
            may appear (otherwise standard error stays empty).
    """

    def __init__(self):
        self.stdout = []
        self.status = EXIT_OK
        self.created = {}
        self.absent = []
        self.stderr_names = []
        self.stderr_required = False
        self.stderr_optional = False
        self.why = ''

    def fail(self, why):
        self.status = EXIT_FAILURE
        self.stderr_required = True
        self.why = why
        return self


HEADING = b'eigenB'
CAD_RECORDS = (b'title apply a negative iso B\n',
               b'SCAL FILE_NUMBER 1 1.00 ',
               b'LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \n',
               b'LABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\n',
               b'end\n')


def run(stdin, files):
    """Model one run.  `stdin` is the bytes fed to the terminal, `files` a
    {name(bytes): content(bytes)} of the files present in the working folder
    before the run."""
    out = Outcome()
    answers = Answers(stdin)
    names = []
    for prompt in ('Please type phaser log file', 'Type name of cad input file'):
        out.stdout.append(free_line(prompt))
        answer = answers.next()
        if answer is None:
            return out.fail('terminal input ended')
        names.append(file_name(answer))
        if names[-1] is None:
            return out.fail('answer names no file')
    log_name, cad_name = names
    if log_name not in files or log_name == b'':
        if cad_name and cad_name not in files:
            out.absent.append(cad_name)
        return out.fail('log cannot be opened')
    if cad_name == b'' or cad_name in files:
        return out.fail('cad input file cannot be created')
    out.created[cad_name] = b''
    records = split_records(files[log_name])
    heading = None
    for i, rec in enumerate(records):
        if columns(rec, 6, 11) == HEADING:
            heading = i
            break
    if heading is None:
        out.stdout.append(free_line('You Yorv always get what you want'))
        out.status = EXIT_NO_RESULT
        out.stderr_optional = True      # a note may say why; not required
        return out
    out.stdout.append(free_line('Hurray I found the principle components'))
    if heading + 3 >= len(records):
        return out.fail('log ends within the table')
    try:
        negb = read_fixed(columns(records[heading + 3], 6, 14), 3)
    except NotANumber:
        return out.fail('value field is not a number')
    field = write_fixed(negb, 12, 3)
    if b'*' in field:
        # planeview reads the B back: the file stops before its record
        out.created[cad_name] = CAD_RECORDS[0]
        return out.fail('B value does not fit its field')
    out.created[cad_name] = (CAD_RECORDS[0] + CAD_RECORDS[1] + field + b'\n'
                             + CAD_RECORDS[2] + CAD_RECORDS[3] + CAD_RECORDS[4])
    out.stdout.append(('negB', negb))
    out.stdout.append(free_line('honer is finished'))
    return out


def _main():
    stdin = sys.stdin.buffer.read()

    class Folder(dict):
        def __contains__(self, name):
            return os.path.isfile(name)

        def __getitem__(self, name):
            with open(name, 'rb') as f:
                return f.read()

    out = run(stdin, Folder())
    for line in out.stdout:
        if isinstance(line, tuple):
            line = free_line('Preparing cad to apply a B-factor of', repr(line[1]))
        sys.stdout.buffer.write(line)
    for name, content in out.created.items():
        with open(name, 'xb') as f:
            f.write(content)
    if out.why:
        sys.stderr.write('honer (model): %s\n' % out.why)
    sys.exit(out.status)


if __name__ == '__main__':
    _main()
