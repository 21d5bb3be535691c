#!/usr/bin/env python3
"""Independent reference model of `mergetab` and `mergetab-rsym`, written from
the description of XSCALE.LP, the statistics file and the dialogue, not from
the C++ code.  Number rules come from honer_model.py beside it.

Run by hand, in a folder holding two XSCALE.LP logs, like the program:

    printf 'start.LP\\nfinal.LP\\nstats.html\\n' | python3 tests/model/mergetab_model.py [--rsym]

It prints what mergetab would print, creates the statistics file as mergetab
would, and exits with its status (0 table written, 1 a log without a marker
line, 2 run-time failure).  logs_fuzz.py imports `run` and compares it with
the real programs.

What it holds to:
- each number is read from its whole right-justified field: observed 10-21,
  secondCount 22-29, thirdCount 30-39, completeness 40-50, rmerge 52-61,
  isigma 84-89; the first item of the field (ended by a blank or a comma)
  must be a number, so an empty first item (a leading comma) is not;
- the table is the one after the first marker line; in a CORRECT log (its
  first line that is not all blanks holds "***** CORRECT *****") the first
  marker line after a line that begins, after its blanks, with "STATISTICS
  OF SAVED DATA SET" (no such pair: as a log without a marker line);
- a table ends after its first row whose label, blanks removed, is "total",
  or after 21 rows when none comes;
- a label's limit: the label without its blanks when that is wholly one
  finite number (sign, digits with at most one point, exponent); two shells
  pair when both have a limit and the limits are equal, or when neither has
  one and the labels without their blanks are the same text.  The two shell lists
  are merged: a pair shares a line; otherwise the starting shell comes first
  alone when it has no limit, or when the final one has a limit and is
  smaller, else the final shell comes alone.  The two total rows share the
  last line.  Where a line has no row of one table, its half is blanks
  (percent signs too) and the label is the other table's;
- when the two shell lists differ (some position without a pair), one report
  on standard error with the first differing labels; status stays 0;
- a completeness, rmerge or isigma of -99.9 or -99.0 (in single precision)
  is written as blanks of its field, percent sign included;
- redundancy is observed / secondCount in single precision; a shell with a
  secondCount of 0 has none, written as blanks like an undefined value;
- '&', '<' and '>' of the label are written as HTML entities (the row grows);
- the two count columns are I6, widened to one more than the widest count
  of the table when a count needs more than five characters (the words
  "observed" and the first "before/after" get as many blanks on each side);
  an observed value that no 32-bit integer holds, or not finite, prints as
  asterisks of that width;
- a log without a marker line: the statistics file stays empty, " all done"
  is still written on the terminal, standard error names that log, exit 1.
"""

import math
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from honer_model import (Answers, NotANumber, Outcome, EXIT_NO_RESULT, columns,  # noqa: E402
                         f32_div, f32_round, file_name, free_line, read_free, split_records,
                         write_fixed, write_integer)

LINE_LENGTH = 90
ROWS = 21
MARKER = b'= -3.0'

HEADER_1 = b'resolution   observed     redundancy    completenes        rmerge         i/sigma '
HEADER_1_RSYM = b'resolution   observed     redundancy    completenes         rsym          i/sigma '
HEADER_2 = b'           before/after  before/after   before/after    before/after   before/after'

# whole right-justified fields of a shell row, first and last column
FIELDS = (('observed', 10, 21), ('secondCount', 22, 29), ('thirdCount', 30, 39),
          ('completeness', 40, 50), ('rmerge', 52, 61), ('isigma', 84, 89))


def escape(label):
    return label.replace(b'&', b'&amp;').replace(b'<', b'&lt;').replace(b'>', b'&gt;')


def observed_count(observed):
    """`observed` truncated toward zero, or None when no 32-bit integer holds it."""
    if not math.isfinite(observed):
        return None
    n = math.trunc(observed)
    if n < -2 ** 31 or n > 2 ** 31 - 1:
        return None
    return n


class ReadFailure(Exception):
    pass


class NoMarker(Exception):
    pass


def is_total(label):
    return label.replace(b' ', b'') == b'total'


def read_table(data):
    """The shell rows after the first marker line of one log, up to the total
    row or 21 of them: (shells, total row or None)."""
    lines = [l[:LINE_LENGTH] for l in split_records(data)]
    pos = 0
    banner = next((n for n, l in enumerate(lines) if l.strip(b' ')), None)
    if banner is not None and b'***** CORRECT *****' in lines[banner]:
        saved = next((n for n in range(banner + 1, len(lines))
                      if lines[n].lstrip(b' ').startswith(b'STATISTICS OF SAVED DATA SET')), None)
        if saved is None:
            raise NoMarker()
        pos = saved + 1
    while True:
        if pos >= len(lines):
            raise NoMarker()
        line = lines[pos]
        pos += 1
        if columns(line, 46, 51) == MARKER:
            break
    pos += 3
    rows = []
    for _ in range(ROWS):
        if rows and is_total(rows[-1]['label']):
            break
        if pos >= len(lines):
            raise ReadFailure('log ends within the table')
        line = lines[pos]
        pos += 1
        row = {'label': columns(line, 4, 9)}
        for name, first, last in FIELDS:
            try:
                row[name] = read_free(columns(line, first, last))
            except NotANumber:
                raise ReadFailure('%s is not a number' % name)
        row['redundancy'] = (None if row['secondCount'] == 0
                             else f32_div(row['observed'], row['secondCount']))
        row['observedCount'] = observed_count(row['observed'])
        rows.append(row)
    if is_total(rows[-1]['label']):
        return rows[:-1], rows[-1]
    return rows, None


def count_field(row, width):
    if row is None:
        return b' ' * width
    n = row['observedCount']
    return b'*' * width if n is None else write_integer(n, width)


UNDEFINED = (f32_round(-99.9), f32_round(-99.0))


def undefined(row, name):
    if row is None:
        return True
    if name == 'redundancy':
        return row[name] is None
    return row[name] in UNDEFINED


def fixed_field(row, name, width):
    return b' ' * width if undefined(row, name) else write_fixed(row[name], width, 1)


def percent(row, name):
    return b' ' if undefined(row, name) else b'%'


def table_row(a, b, width):
    label = (a if a is not None else b)['label']
    return (b'  ' + escape(label) + b'   '
            + count_field(a, width) + count_field(b, width) + b'   '
            + fixed_field(a, 'redundancy', 5) + fixed_field(b, 'redundancy', 5) + b' '
            + fixed_field(a, 'completeness', 7) + percent(a, 'completeness')
            + fixed_field(b, 'completeness', 7) + percent(b, 'completeness') + b' '
            + fixed_field(a, 'rmerge', 7) + percent(a, 'rmerge')
            + fixed_field(b, 'rmerge', 6) + percent(b, 'rmerge') + b' '
            + fixed_field(a, 'isigma', 7) + fixed_field(b, 'isigma', 6) + b'\n')


LIMIT = re.compile(rb'[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z')


def limit(row):
    text = row['label'].replace(b' ', b'')
    if not LIMIT.match(text):
        return None
    value = float(text)
    return value if math.isfinite(value) else None


def same_shell(a, b):
    if limit(a) is not None or limit(b) is not None:
        return limit(a) is not None and limit(a) == limit(b)
    return a['label'].replace(b' ', b'') == b['label'].replace(b' ', b'')


def shells_differ(start, final):
    (shells_a, _), (shells_b, _) = start, final
    return len(shells_a) != len(shells_b) or not all(same_shell(a, b) for a, b in zip(shells_a, shells_b))


def pair_rows(start, final):
    (shells_a, total_a), (shells_b, total_b) = start, final
    pairs = []
    i = j = 0
    while i < len(shells_a) or j < len(shells_b):
        a = shells_a[i] if i < len(shells_a) else None
        b = shells_b[j] if j < len(shells_b) else None
        if a is not None and b is not None and same_shell(a, b):
            pairs.append((a, b))
            i += 1
            j += 1
        elif a is not None and (b is None or limit(a) is None
                                or (limit(b) is not None and limit(a) > limit(b))):
            pairs.append((a, None))
            i += 1
        else:
            pairs.append((None, b))
            j += 1
    if total_a is not None or total_b is not None:
        pairs.append((total_a, total_b))
    return pairs


def count_width(pairs):
    widest = max([len(str(r['observedCount'])) for pair in pairs for r in pair
                  if r is not None and r['observedCount'] is not None] + [0])
    return widest + 1 if widest > 5 else 6


def widen(header, first, end, extra):
    return header[:first] + b' ' * extra + header[first:end] + b' ' * extra + header[end:]


def run(stdin, files, rsym=False):
    """Model one run.  `stdin` is the bytes fed to the terminal, `files` a
    {name(bytes): content(bytes)} of the files present before the run."""
    out = Outcome()
    answers = Answers(stdin)
    names = []
    for prompt in ('Please name starting XSCALE.LP file', 'Please name final XSCALE.LP file',
                   'Please name output statistics file'):
        out.stdout.append(free_line(prompt))
        answer = answers.next()
        if answer is None:
            return out.fail('terminal input ended')
        names.append(file_name(answer))
        if names[-1] is None:
            return out.fail('answer names no file')
    start, final, stats = names
    for log in (start, final):
        if log == b'' or log not in files:
            if stats and stats not in files:
                out.absent.append(stats)
            return out.fail('log cannot be opened')
    if stats == b'' or stats in files:
        return out.fail('statistics file cannot be created')
    out.created[stats] = b''
    tables = []
    for log in (start, final):
        try:
            tables.append(read_table(files[log]))
        except NoMarker:
            out.stdout.append(free_line('all done'))
            out.status = EXIT_NO_RESULT
            out.stderr_required = True
            out.stderr_names.append(log)
            return out
        except ReadFailure as e:
            return out.fail(str(e))
    if shells_differ(*tables):
        out.stderr_required = True
    pairs = pair_rows(*tables)
    width = count_width(pairs)
    header_1 = widen(HEADER_1_RSYM if rsym else HEADER_1, 13, 21, width - 6)
    header_2 = widen(HEADER_2, 11, 23, width - 6)
    text = free_line('<pre>') + b' ' + header_1 + b'\n' + b' ' + header_2 + b'\n'
    for a, b in pairs:
        text += table_row(a, b, width)
    text += free_line('</pre>')
    out.created[stats] = text
    out.stdout.append(free_line('all done'))
    return out


def _main():
    rsym = '--rsym' in sys.argv[1:]
    stdin = sys.stdin.buffer.read()

    class Folder(dict):
        def __contains__(self, name):
            return os.path.isfile(name)

        def __getitem__(self, name):
            with open(name, 'rb') as f:
                return f.read()

    out = run(stdin, Folder(), rsym)
    for line in out.stdout:
        sys.stdout.buffer.write(line)
    for name, content in out.created.items():
        with open(name, 'xb') as f:
            f.write(content)
    if out.why or out.stderr_names:
        sys.stderr.write('mergetab (model): %s %s\n' % (out.why, b' '.join(out.stderr_names).decode(errors='replace')))
    sys.exit(out.status)


if __name__ == '__main__':
    _main()
