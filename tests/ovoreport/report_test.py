#!/usr/bin/python3
"""ovoreport end to end, over a table of runs made here with known numbers:
the whole run, one without ovofit, one without the scaling log and the cad
file, a CORRECT log in place of the final XSCALE log, and one of hostile
names and contents. Each report must parse back as balanced HTML with
nothing from outside and no script, hold every section's heading and say
what is missing; its JSON must parse back with the numbers written into the
files. Failures leave no report. With --browser the whole run's report is
loaded in headless Chromium (skipped, saying so, when there is none).

usage: report_test.py --exe build/bin/ovoreport --out DIR [--browser]"""
import argparse, html.parser, resource, json, math, os, shutil, struct, subprocess, sys, tempfile, zlib

try:
    import gemmi  # python3-gemmi: the deposition block read back
except ImportError:
    gemmi = None

PDBX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "pdbx")

HEADINGS = ["The run in numbers", "ovofit's measurement", "The report page", "The statistics",
            "The deposition block", "The files of the run"]
VOID = {"meta", "img", "br", "hr", "link", "input", "col", "area", "base", "wbr", "source", "track", "embed"}
failures = []
checked = [0]


def check(condition, what):
    checked[0] += 1
    if not condition:
        failures.append(what)
        print("FAIL:", what)


# ------------------------------------------------------------------ the files

CELL = (54.87, 68.32, 82.96, 90.0, 90.0, 90.0)
MONO = (50.00, 60.00, 70.00, 90.0, 105.0, 90.0)
AXES_TILTED = [(0.6, 0.8, 0.0), (-0.8, 0.6, 0.0), (0.0, 0.0, 1.0)]


def script(cell, axes, limits):
    rows = "".join("%12.4f" % v for axis in axes for v in axis)
    return ("XDS_ASCII.HKL\nXDS_ASCII_trunc.HKL\n" + "".join("%8.2f" % v for v in cell) + "\n" + rows + "\n" +
            "".join("%12.4f" % v for v in limits) + "\n")


IDENTITY = [(1, 0, 0), (0, 1, 0), (0, 0, 1)]
EIGEN = [(19.164, (1.0, -0.0, 0.0)), (-2.717, (0.0, 1.0, -0.0)), (-16.408, (-0.0, 0.0, 1.0))]
ISOTROPIC_B = 50.928


def phaser_log(eigen=EIGEN, rough=False):
    text = "Phaser log\n   Space-Group Name (Hall Symbol): P 2 2 2 ( P 2 2)\n"
    text += "   Isotropic B (trace/3):%11.3f\n" % ISOTROPIC_B
    if rough:  # ovoscale's line for data ending before 3.5 A
        text += ("   Isotropic B: the data end at 4.50 A, before the Wilson region (3.5 A and beyond); it follows "
                 "the reference curve's shape as much as the data's fall, and is rough\n")
    text += "     eigenB (A^2)     direction cosines (orthogonal coordinates)\n"
    for value, cos in eigen:
        text += "     %9.3f%11s%9.4f%9.4f%9.4f\n" % ((value, "") + cos)
    # a later table, not the one applied
    text += "     eigenB (A^2)     direction cosines (orthogonal coordinates)\n"
    for value, cos in EIGEN:
        text += "     %9.3f%11s%9.4f%9.4f%9.4f\n" % ((value + 1, "") + cos)
    return text


# shell rows: label, observed, unique, completeness, rmerge, isigma
START = [(" 5.00", 4000, 1000, 99.0, 3.1, 30.5), (" 3.00", 3000, 1000, 98.0, 8.2, 12.25),
         (" 2.50", 2000, 900, 90.0, 40.5, 3.5), (" 2.10", 1500, 800, 80.0, 235.2, 0.6)]
FINAL = [(" 5.00", 4000, 1000, 99.0, 3.1, 30.5), (" 3.00", 3000, 1000, 98.0, 8.2, 12.25),
         (" 2.50", 1000, 500, 60.0, 20.5, 4.5), (" 2.10", 0, 0, 0.0, -99.9, 0.0)]


def shell_lines(rows):
    text = " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION\n RESOLUTION\n   LIMIT\n\n"
    total = [sum(r[1] for r in rows), sum(r[2] for r in rows)]
    for label, obs, uniq, comp, rm, isg in rows + [("total", total[0], total[1], 90.0, 10.0, 8.0)]:
        text += "   %6s%12d%8d%10d%11.1f%%%10.1f%%%21s%6.2f\n" % (label, obs, uniq, uniq + 10, comp, rm, "", isg)
    return text


SYMMETRY = " SPACE_GROUP_NUMBER=16\n UNIT_CELL_CONSTANTS=  54.87  68.32  82.96  90.00  90.00  90.00\n"
OTHER_CRYSTAL = " SPACE_GROUP_NUMBER=21\n UNIT_CELL_CONSTANTS=  83.09  96.79  57.95  90.00  90.00  90.00\n"


def xscale(rows, symmetry=SYMMETRY):
    return " XSCALE log\n" + symmetry + shell_lines(rows)


def correct(rows):
    partial = [(l, o // 2, u, c / 2, r, i / 2) for (l, o, u, c, r, i) in rows]
    return (" ***** CORRECT *****\n" + shell_lines(partial) +
            "\n STATISTICS OF SAVED DATA SET \"XDS_ASCII.HKL\"\n" + shell_lines(rows))


def png():
    width, height = 12, 8
    raw = b"".join(b"\0" + bytes([200, 30, 30]) * width for _ in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


SVG = ('<svg xmlns="http://www.w3.org/2000/svg" width="200" height="100" viewBox="0 0 200 100">'
       '<text x="10" y="50">ovofit &amp; plot</text></svg>\n')
# ovofit's fragment, as ovofit writes it (its own data block).
CIF = ("data_ovofit\n_reflns.pdbx_ordinal 1\n_reflns.entry_id UNNAMED\n_reflns.pdbx_diffrn_id 1\n"
       "_reflns.d_resolution_low 38.023\n_reflns.d_resolution_high 2.115\n"
       "_reflns.pdbx_signal_type 'local <I/sigmaI>'\n"
       "_reflns.pdbx_signal_details 'mean I/sigma(I) <b>&amp</b>, fitted'\n"
       "_reflns.pdbx_observed_signal_threshold 1.50\n_reflns.pdbx_percent_possible_ellipsoidal 98.9\n"
       "_reflns.pdbx_percent_possible_spherical 98.6\n#\nloop_\n_reflns_shell.pdbx_ordinal\n"
       "_reflns_shell.pdbx_diffrn_id\n_reflns_shell.d_res_low\n_reflns_shell.d_res_high\n"
       "_reflns_shell.pdbx_percent_possible_ellipsoidal\n  1 1   38.023    4.681    99.5\n"
       "  2 1    4.681    2.115    ?\n#\n")


# ovofit's table of limits in its transcript, in the columns of
# common/layout/limits_table.hpp: axis, cosines, shell edge, I/sigma and
# CC1/2 limits each with a mark of 7 columns, then the combination; each
# line after the blank that starts every line ovofit says.
LIMITS = [((1.0, 0.0, 0.0), 2.842, "", 2.913, "", None, "", "a*"),
          ((0.0, 1.0, 0.0), 2.445, "", 2.401, "", None, "", "b*"),
          ((0.0, 0.0, 1.0), 2.115, " beyond", 2.0, " beyond", None, "", "c*")]


def limits_table():
    text = ("limits of the ellipsoid (A), criterion " + "%7s" % "I/sigma" + ", I/sigma threshold" + "%8.3f" % 1.5 +
            ", CC1/2 threshold" + "%6.2f" % 0.3 + "\n")
    text += "axis   direction cosines x, y, z  shell edge       I/sigma fitted     CC1/2 fitted      along\n"
    for n, (cos, edge, m1, sig, m2, cc, m3, comb) in enumerate(LIMITS, 1):
        text += "%4d%8.4f%8.4f%8.4f" % ((n,) + cos) + "%10.3f%-7s%10.3f%-7s" % (edge, m1, sig, m2)
        text += ("%10s" % "-" if cc is None else "%10.3f" % cc) + "%-7s" % m3 + "   " + comb + "\n"
    text += "end of the limits\n"
    # as ovofit says each line on the terminal: after one blank
    return "".join(" " + line + "\n" for line in text.splitlines())


RECORDS = {False: " 21389 records of merged data read; 0 left out (sigma(I) not above 0); 21389 merged to 21389 "
                  "unique reflections; systematic absences left out: 0\n",
           True: " 61000 records of unmerged data read; 0 left out (sigma(I) not above 0); 61000 merged to 21389 "
                 "unique reflections; systematic absences left out: 0\n"}


def base_files(hostile=False, unmerged=False):
    group = "P 2 2 2 (16)" if not hostile else "<script>alert(1)</script> & 'x' \"y\" \xe9"
    return {
        "ovoclip.inp": script(CELL, IDENTITY, (3.0, 2.5, 2.1)),
        "planeview.inp": "    21389\n    10245\n        0.65\n    11144.00\n",
        "phaser.log": phaser_log(),
        "cad_negB.inp": "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -16.408\nend\n",
        "ovofit.inp": script(MONO, AXES_TILTED, (2.8424, 2.4453, 2.1151)),
        "ovofit.terminal": (" Please type in name of XDS reflection file\n space group %s; cell 54.87\n" % group +
                            RECORDS[unmerged] + limits_table()),
        "ovofit.svg": SVG,
        "ovofit.cif": CIF,
        "page.png": png(),
        "XSCALE_start.LP": xscale(START),
        "XSCALE_final.LP": xscale(FINAL) if not hostile else xscale(FINAL + [("<b>&'", 5, 1, 1.0, 1.0, 1.0)]),
    }


ORDER = ["ovoclip.inp", "planeview.inp", "phaser.log", "cad_negB.inp", "ovofit.inp", "ovofit.terminal",
         "ovofit.svg", "ovofit.cif", "page.png", "XSCALE_start.LP", "XSCALE_final.LP"]

# name: (files left out, renamed files, the final log's kind, hostile, what else)
HOSTILE_NAME = b"<i>&amp;\"'\xc3\xa9\xff.LP"
CASES = {
    "whole": ([], {}, "xscale", False, set()),
    "no_ovofit": (["ovofit.inp", "ovofit.terminal", "ovofit.svg", "ovofit.cif"], {}, "xscale", False, set()),
    "no_scaling": (["phaser.log", "cad_negB.inp"], {}, "xscale", False, set()),
    "correct_log": ([], {"XSCALE_final.LP": "CORRECT.LP"}, "correct", False, set()),
    "hostile": ([], {"XSCALE_start.LP": HOSTILE_NAME}, "xscale", True, set()),
    # ovofit's ellipsoid applied as it is: its signal items and completeness go into the block
    "ovofit_applied": ([], {}, "xscale", False, {"ovofit_applied", "unmerged"}),
    # logs of another crystal; a CORRECT.LP without a final log; eigenvalues that are no numbers; an
    # isotropic B the log calls rough
    "other_crystal": (["XSCALE_final.LP"], {"XSCALE_start.LP": "CORRECT.LP"}, "xscale", False,
                      {"other_crystal", "nan_eigen", "rough_b"}),
    # every name given whole, as the workflow gives them: shown within the run's folder
    "absolute": ([], {}, "xscale", False, {"absolute"}),
}


def make_run(folder, case):
    left_out, renames, kind, hostile, extra = CASES[case]
    files = base_files(hostile, "unmerged" in extra)
    if kind == "correct":
        files["XSCALE_final.LP"] = correct(FINAL)
    if "ovofit_applied" in extra:
        files["ovoclip.inp"] = files["ovofit.inp"]
        mono = " SPACE_GROUP_NUMBER=16\n UNIT_CELL_CONSTANTS=" + "".join("%7.2f" % v for v in MONO) + "\n"
        files["XSCALE_start.LP"], files["XSCALE_final.LP"] = xscale(START, mono), xscale(FINAL, mono)
    if "other_crystal" in extra:
        files["XSCALE_start.LP"] = xscale(START, OTHER_CRYSTAL)
    if "nan_eigen" in extra:
        files["phaser.log"] = phaser_log([(float("nan"), EIGEN[0][1])] + EIGEN[1:], "rough_b" in extra)
    answers = []
    for name in ORDER:
        if name in left_out:
            answers.append(b"")
            continue
        target = renames.get(name, name)
        target = target if isinstance(target, bytes) else target.encode()
        content = files[name]
        with open(os.path.join(folder.encode(), target), "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode("utf-8", "surrogateescape"))
        answers.append(os.path.join(os.path.abspath(folder).encode(), target) if "absolute" in extra else target)
    return b"\n".join(answers + [b"report.html", b"report.json"]) + b"\n"


def run(exe, folder, answers):
    return subprocess.run([exe], input=answers, cwd=folder, capture_output=True, timeout=60)


# ------------------------------------------------------------------ the checks

class Strict(html.parser.HTMLParser):
    """Balanced tags, nothing from outside, no script, the text kept."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.problems, self.text, self.headings, self.images = [], [], [], [], []
        self.in_heading = None

    def handle_starttag(self, tag, attrs):
        self.check_attrs(tag, attrs)
        if tag not in VOID:
            self.stack.append(tag)
        if tag in ("h1", "h2", "h3"):
            self.in_heading = ""
        if tag == "img":
            self.images.append(dict(attrs).get("src", ""))

    def handle_startendtag(self, tag, attrs):
        self.check_attrs(tag, attrs)
        if tag == "img":
            self.images.append(dict(attrs).get("src", ""))

    def check_attrs(self, tag, attrs):
        if tag in ("script", "iframe", "object", "embed", "link", "base", "form"):
            self.problems.append("a <%s> element" % tag)
        for name, value in attrs:
            if name.startswith("on"):
                self.problems.append("an event handler %s" % name)
            if name in ("src", "href", "xlink:href", "action") and not (value or "").startswith(("data:", "#")):
                self.problems.append("a resource from outside: %s=%r" % (name, value))

    def handle_endtag(self, tag):
        if tag in VOID:
            return
        if not self.stack or self.stack[-1] != tag:
            self.problems.append("</%s> closes %s" % (tag, self.stack[-1] if self.stack else "nothing"))
            return
        self.stack.pop()
        if tag in ("h1", "h2", "h3") and self.in_heading is not None:
            self.headings.append(self.in_heading.strip())
            self.in_heading = None

    def handle_data(self, data):
        self.text.append(data)
        if self.in_heading is not None:
            self.in_heading += data


def parse_html(text):
    p = Strict()
    p.feed(text)
    p.close()
    if p.stack:
        p.problems.append("unclosed: %s" % p.stack)
    return p


def close(a, b, tol=1e-6):
    return a is not None and b is not None and abs(a - b) <= tol * max(1.0, abs(b))


def reciprocal_combination(cell, v):
    """The axis v (orthonormal frame: x along a, y in the a-b plane, z along
    c*) as u a* + v b* + w c*, largest |coefficient| 1: from the direct
    basis, independently of the program's lower-triangular frame."""
    a, b, c, al, be, ga = cell
    al, be, ga = (math.radians(x) for x in (al, be, ga))
    av = (a, 0.0, 0.0)
    bv = (b * math.cos(ga), b * math.sin(ga), 0.0)
    cx = c * math.cos(be)
    cy = c * (math.cos(al) - math.cos(be) * math.cos(ga)) / math.sin(ga)
    cv = (cx, cy, math.sqrt(c * c - cx * cx - cy * cy))
    # v . a = u (a*.a) = u, and so on: the coefficients are v's dot products with a, b, c.
    coeff = [sum(x * y for x, y in zip(v, d)) for d in (av, bv, cv)]
    big = max(abs(x) for x in coeff)
    return [x / big for x in coeff]


def dictionary():
    """Each _reflns and _reflns_shell item the dictionary defines: its type,
    enumeration and ranges (from the extensions' save frames), None for an
    item of the main dictionary, whose name alone is listed."""
    names = {}
    with open(os.path.join(PDBX, "reflns-item-names.txt")) as f:
        for line in f:
            if line.strip():
                names[line.strip()] = None
    for dic in ("aniso-diffraction-extension.dic", "signal-extension.dic", "anomalous-stats-extension.dic"):
        block = gemmi.cif.read(os.path.join(PDBX, dic))[0]
        for name in names:
            frame = block.find_frame(name)
            if frame is None:
                continue
            ranges = [(r[0], r[1]) for r in frame.find("_item_range.", ["minimum", "maximum"])]
            enums = [gemmi.cif.as_string(v) for v in frame.find_values("_item_enumeration.value")]
            names[name] = (frame.find_value("_item_type.code"), enums, ranges)
    return names


def valid(definition, value):
    """A value against its item's type, enumeration and ranges (exclusive
    bounds, or one value where minimum equals maximum); ? and . always."""
    if value in ("?", "."):
        return True
    if definition is None:
        return True
    kind, enums, ranges = definition
    text = gemmi.cif.as_string(value)
    if enums and text not in enums:
        return False
    if kind in ("float", "int"):
        try:
            number = float(text) if kind == "float" else int(text)
        except ValueError:
            return False
        if not math.isfinite(number):
            return False
        if ranges:
            def inside(low, high):
                if low == high:
                    return number == float(low)
                return (low == "." or number > float(low)) and (high == "." or number < float(high))
            return any(inside(lo, hi) for lo, hi in ranges)
    return True


DICTIONARY = []


def check_deposition(case, text, applied, extra):
    """The block read back with gemmi: one _reflns block, its keys first, no
    data_ line, every item the dictionary's and valid; the ellipsoid applied,
    the convention of the eigenvalues stated, ovofit's signal items only
    when its ellipsoid is the one applied."""
    check(not any(line.startswith("data_") for line in text.splitlines()), "%s: a data_ line in the block" % case)
    check(("less the smallest" in text) == ("_reflns.pdbx_aniso_B_tensor_eigenvalue_1" in text),
          "%s: the eigenvalues' convention not stated" % case)
    if gemmi is None:
        print("SKIPPED: no python3-gemmi: the deposition block was not read back")
        return
    if not DICTIONARY:
        if os.path.isdir(PDBX):
            DICTIONARY.append(dictionary())
        else:
            print("SKIPPED: no %s (the wwPDB dictionary's text beside the checkout): "
                  "the block's items were not checked against the dictionary" % PDBX)
            DICTIONARY.append(None)
    definitions = DICTIONARY[0]
    block = gemmi.cif.read_string("data_check\n" + text)[0]
    pairs, loops_seen, split = [], False, False
    for item in block:
        if item.pair is not None:
            pairs.append((item.pair[0], item.pair[1]))
            split = split or loops_seen
        elif item.loop is not None:
            loops_seen = True
            for tag in item.loop.tags:
                if definitions is None:
                    continue
                check(tag in definitions, "%s: %s is no item of the dictionary" % (case, tag))
                for value in block.find_values(tag):
                    check(valid(definitions.get(tag), value), "%s: %s %r" % (case, tag, value))
    check(not split, "%s: _reflns items after a loop: the block is split" % case)
    tags = [t for t, _ in pairs]
    check(tags[:3] == ["_reflns.pdbx_ordinal", "_reflns.entry_id", "_reflns.pdbx_diffrn_id"],
          "%s: keys first: %s" % (case, tags[:3]))
    check(len(tags) == len(set(tags)), "%s: an item twice" % case)
    values = dict(pairs)
    for tag, value in pairs:
        if definitions is None:
            break
        check(tag in definitions, "%s: %s is no item of the dictionary" % (case, tag))
        check(valid(definitions.get(tag), value), "%s: %s %r" % (case, tag, value))
    check(values["_reflns.entry_id"] == case, "%s: entry_id %s" % (case, values["_reflns.entry_id"]))
    cells = applied
    for n in range(3):
        check(close(float(values["_reflns.pdbx_aniso_diffraction_limit_%d" % (n + 1)]), cells[1][n], 1e-3),
              "%s: limit %d" % (case, n + 1))
        for i in range(3):
            check(close(float(values["_reflns.pdbx_aniso_diffraction_limit_axis_%d_ortho[%d]" % (n + 1, i + 1)]),
                        cells[0][n][i], 1e-3), "%s: axis %d[%d]" % (case, n + 1, i + 1))
    with_signal = "ovofit_applied" in extra
    check(("_reflns.pdbx_signal_type" in values) == with_signal and
          ("_reflns.pdbx_percent_possible_ellipsoidal" in values) == with_signal and
          (block.find_values("_reflns_shell.d_res_high").get_loop() is not None) == with_signal,
          "%s: ovofit's signal items %s where its ellipsoid is %sapplied" % (case, "absent" if with_signal else "present",
                                                                          "" if with_signal else "not "))
    if with_signal:
        check(gemmi.cif.as_string(values["_reflns.pdbx_signal_details"]) == "mean I/sigma(I) <b>&amp</b>, fitted",
              "%s: signal details" % case)
    check("_reflns.pdbx_percent_possible_spherical" not in values, "%s: the sphere's completeness of the data before the cut" % case)
    if "nan_eigen" in extra:
        check(all(values["_reflns.pdbx_aniso_B_tensor_eigenvalue_%d" % n] == "?" for n in (1, 2, 3)),
              "%s: eigenvalues that are no numbers" % case)
    elif "_reflns.pdbx_aniso_B_tensor_eigenvalue_1" in values:
        smallest = min(v for v, _ in EIGEN)
        for n, (value, cos) in enumerate(EIGEN, 1):
            check(close(float(values["_reflns.pdbx_aniso_B_tensor_eigenvalue_%d" % n]), value - smallest, 1e-4),
                  "%s: eigenvalue %d" % (case, n))
            for i, x in enumerate(cos, 1):
                check(close(float(values["_reflns.pdbx_aniso_B_tensor_eigenvector_%d_ortho[%d]" % (n, i)]), x),
                      "%s: eigenvector %d[%d]" % (case, n, i))


def check_case(case, folder, result):
    left_out, renames, kind, hostile, extra = CASES[case]
    check(result.returncode == 0, "%s: status %d: %s" % (case, result.returncode, result.stderr[-400:]))
    if result.returncode != 0:
        return
    with open(os.path.join(folder, "report.html"), "rb") as f:
        raw = f.read()
    text = raw.decode("ascii")  # every character outside ASCII is a reference
    page = parse_html(text)
    check(not page.problems, "%s: %s" % (case, page.problems[:5]))
    for heading in HEADINGS:
        check(heading in page.headings, "%s: no heading %r" % (case, heading))
    check("url(" not in text and "@import" not in text, "%s: a url() in the page" % case)
    body = "".join(page.text)
    with open(os.path.join(folder, "report.json"), encoding="ascii") as f:
        data = json.load(f)

    # the missing parts are named
    for name in left_out:
        check(data["files_read"][{"ovoclip.inp": "applied_script", "planeview.inp": "planeview_script",
                                  "phaser.log": "scaling_log", "cad_negB.inp": "cad_script",
                                  "ovofit.inp": "ovofit_script", "ovofit.terminal": "ovofit_transcript",
                                  "ovofit.svg": "ovofit_plot", "ovofit.cif": "ovofit_cif",
                                  "XSCALE_final.LP": "final_log"}[name]] is None,
              "%s: %s read" % (case, name))
    if left_out:
        check("Missing from this run" in body and len(data["missing"]) >= len(left_out),
              "%s: the report does not say what is missing" % case)

    # what the report is of: the data set (the folder of record 1's XDS file), when, by which version
    check(data["data_set"] == case and ("<title>Anisotropy report: %s</title>" % case) in text,
          "%s: the data set's name %r" % (case, data["data_set"]))
    check(data["version"] and ("ovoreport " + data["version"]) in body and data["written"][:2] == "20" and
          data["written"] in body, "%s: the version and date" % case)
    # labels: no "-0.0000", I/sigma(I) of the rejected, a plot's axis without "(no unit)"
    check("-0.0000" not in body and "\u22120.0000" not in body, "%s: a negative zero shown" % case)
    check("mean I/\u03c3(I) of the rejected" in body and "sum F" not in body, "%s: the rejected mean's label" % case)
    check("(no unit)" not in body, "%s: an axis labelled (no unit)" % case)

    # the run in numbers
    check([data["cell"][k] for k in ("a", "b", "c", "alpha", "beta", "gamma")] ==
          list(MONO if "ovofit_applied" in extra else CELL), "%s: cell" % case)
    t = data["truncation"]
    check((t["read"], t["rejected"], t["kept"]) == (21389, 10245, 11144) and close(t["mean_rejected"], 0.65),
          "%s: truncation %s" % (case, t))
    if "ovofit.terminal" in left_out:
        check(t["counts"] is None and "observations if the data are unmerged" in body, "%s: counts %s" % (case, t))
    elif "unmerged" in extra:
        check(t["counts"] == "observations" and t["unique_in"] == 21389 and "observations (unmerged data)" in body and
              "unique reflections in" in body, "%s: counts of observations %s" % (case, t))
    else:
        check(t["counts"] == "unique reflections" and "unique reflections (merged data)" in body,
              "%s: counts of unique reflections %s" % (case, t))
    applied_limits = [2.8424, 2.4453, 2.1151] if "ovofit_applied" in extra else [3.0, 2.5, 2.1]
    check(all(close(a["limit"], b, 1e-6) for a, b in zip(data["ellipsoid_applied"]["axes"], applied_limits)),
          "%s: limits" % case)
    applied_axes = AXES_TILTED if "ovofit_applied" in extra else IDENTITY
    if "ovofit_applied" not in extra:
        check([a["nearest"] for a in data["ellipsoid_applied"]["axes"]] == ["a*", "b*", "c*"], "%s: nearest axes" % case)
    if "phaser.log" in left_out:
        check(data["anisotropic_b"] is None and data["b_applied"] is None and data["isotropic_b"] is None,
              "%s: B without its files" % case)
    else:
        comps = data["anisotropic_b"]["components"]
        if "nan_eigen" not in extra:
            check([c["eigenvalue"] for c in comps] == [v for v, _ in EIGEN], "%s: eigenvalues %s" % (case, comps))
            check(close(data["anisotropic_b"]["range"], 19.164 + 16.408, 1e-5), "%s: range" % case)
        check([c["eigenvector_ortho"] for c in comps] == [list(c) for _, c in EIGEN], "%s: eigenvectors" % case)
        check(data["b_applied"]["b"] == -16.408 and os.path.basename(data["b_applied"]["file"]) == "cad_negB.inp", "%s: B applied" % case)
        check(close(data["isotropic_b"]["b"], ISOTROPIC_B) and "50.928" in body, "%s: isotropic B" % case)
        check(("rough: the data end before 3.5" in body) == ("rough_b" in extra), "%s: isotropic B called rough" % case)
        check("_reflns.pdbx_aniso_B_tensor_eigenvalue_1" in body, "%s: the deposition block is not in the page" % case)
    check_deposition(case, data["deposition"]["text"],
                     (applied_axes, sorted(applied_limits, reverse=True)), extra)

    # ovofit: its ellipsoid, its axes as combinations of a*, b*, c*, the warning
    if "ovofit.inp" in left_out:
        check(data["ellipsoid_measured"] is None and data["ellipsoid_differences"] == [], "%s: ovofit" % case)
        check("Warning" not in body, "%s: a warning without ovofit" % case)
    else:
        for axis, expected in zip(data["ellipsoid_measured"]["axes"], AXES_TILTED):
            want = reciprocal_combination(MONO, expected)
            check(all(abs(x - y) < 2e-4 for x, y in zip(axis["reciprocal"], want)),
                  "%s: combination %s, expected %s" % (case, axis["reciprocal"], want))
        if "ovofit_applied" in extra:
            check(data["ellipsoid_differences"] == [], "%s: differences %s" % (case, data["ellipsoid_differences"]))
        else:
            check(len(data["ellipsoid_differences"]) >= 3 and "Warning" in body, "%s: no warning" % case)
        limits = data["ovofit_limits"]
        check(limits is not None and limits["criterion"] == "I/sigma", "%s: ovofit's limits %s" % (case, limits))
        parameters = dict(data["parameters"], file=os.path.basename(data["parameters"]["file"]))
        check(parameters == {"file": "ovofit.terminal", "criterion": "I/sigma", "isigma_threshold": 1.5,
                             "cc_half_threshold": 0.3}, "%s: parameters %s" % (case, data["parameters"]))
        if limits:
            for axis, (cos, edge, m1, sig, m2, cc, m3, comb) in zip(limits["axes"], LIMITS):
                check(axis["cosines"] == list(cos) and axis["direction"] == comb and
                      axis["shell_edge"] == {"limit": edge, "mark": m1.strip() or None} and
                      axis["by_isigma"] == {"limit": sig, "mark": m2.strip() or None} and axis["by_cc_half"] is None,
                      "%s: ovofit's limits along %s: %s" % (case, comb, axis))
            check("2.913" in body and "beyond" in body, "%s: ovofit's limits not in the page" % case)
        check(any(src.startswith("data:image/svg+xml;base64,") for src in page.images), "%s: no plot" % case)
    check(any(src.startswith("data:image/png;base64,") for src in page.images), "%s: no page picture" % case)

    # logs of another crystal: a warning naming the log, the cells and the space groups
    warnings = data["symmetry_warnings"]
    if "other_crystal" in extra:
        check(len(warnings) == 2 and "CORRECT.LP" in warnings[0] and "21" in warnings[0] and "83.09" in warnings[1]
              and "a log of other data" in body, "%s: no warning of another crystal: %s" % (case, warnings))
    else:
        check(warnings == [], "%s: symmetry warnings %s" % (case, warnings))

    # the statistics, paired by label; undefined values null; a log alone shown alone
    s = data["statistics"]
    check(s["final_from_correct"] == (kind == "correct"), "%s: CORRECT log not recognised" % case)
    lines = [l for l in s["lines"] if l["label"] != "total"]
    for line, before, after in zip(lines, START, FINAL):
        b, a = line["before"], line["after"]
        check(close(line["limit"], float(before[0])), "%s: limit %s" % (case, line))
        check(b["observed"] == before[1] and close(b["completeness"], before[3]) and close(b["rmerge"], before[4])
              and close(b["isigma"], before[5]), "%s: before %s" % (case, b))
        check(close(b["redundancy"], before[1] / before[2], 1e-5), "%s: redundancy %s" % (case, b))
        if "XSCALE_final.LP" in left_out:
            check(a is None, "%s: a final log that was not given: %s" % (case, a))
        elif after[2] == 0:
            check(a["rmerge"] is None and a["redundancy"] is None, "%s: undefined values %s" % (case, a))
        else:
            check(a["observed"] == after[1] and close(a["rmerge"], after[4]), "%s: after %s" % (case, a))
    check(len(lines) == len(START) + hostile, "%s: %d lines of statistics" % (case, len(lines)))
    check(body.count("before (starting run)") == 3, "%s: three plots with their legend" % case)
    # Rmerge of 235 % is drawn at the top of a plot to 100 %
    check("values above 100 drawn at the top" in body, "%s: the Rmerge plot's top" % case)

    # names shown within the run's folder, the whole name on hovering
    shown = [m for m in text.split('<span class="src"')[1:]]
    check(shown and not any(os.path.abspath(folder) in m.split(">", 1)[1].split("<", 1)[0] for m in shown),
          "%s: a whole path shown as a file's name" % case)
    if "absolute" in extra:
        check(any(('title="%s/' % os.path.abspath(folder)) in m for m in shown), "%s: no whole name on hovering" % case)

    # the files with their sizes
    sizes = {f["name"]: f["size"] for f in data["files"]}
    check(sizes.get("planeview.inp") == os.path.getsize(os.path.join(folder, "planeview.inp")), "%s: sizes" % case)

    if hostile:
        check("<script>alert(1)</script> & 'x' \"y\" \u00e9" in body, "hostile: the space group not shown as text")
        check(data["space_group"]["name"] == "<script>alert(1)</script> & 'x' \"y\" \u00e9", "hostile: JSON space group")
        shown = "<i>&amp;\"'\u00e9\\xFF.LP"
        check(shown in body and data["statistics"]["starting_file"] == shown, "hostile: the file name %r" % shown)
        check(any(l["label"] == "<b>&'" for l in data["statistics"]["lines"]), "hostile: the label")


def failure_cases(exe, work):
    """A file that cannot be read, a report that exists, a file-size limit,
    a full standard output, a picture that is a pipe, a JSON file named like
    the report spelt otherwise: status 2, one line, and no report, nor a
    hidden one."""
    for what in ("missing_input", "bad_number", "report_exists", "file_size_limit", "standard_output_full",
                 "picture_a_fifo", "json_named_./report.html", "json_named_absolute", "json_named_sub/../report.html"):
        folder = tempfile.mkdtemp(dir=work)
        answers = make_run(folder, "whole")
        limit, stdout = None, subprocess.PIPE
        if what.startswith("json_named_"):
            # The report's own name spelt otherwise: refused before either file is made.
            os.mkdir(os.path.join(folder, "sub"))
            same = os.path.join(folder, "report.html") if what.endswith("absolute") else what[len("json_named_"):]
            answers = answers.replace(b"report.json\n", same.encode() + b"\n")
        if what == "missing_input":
            os.remove(os.path.join(folder, "cad_negB.inp"))
        elif what == "bad_number":
            with open(os.path.join(folder, "planeview.inp"), "w") as f:
                f.write("    21389\n    1x245\n        0.65\n    11144.00\n")
        elif what == "report_exists":
            with open(os.path.join(folder, "report.html"), "w") as f:
                f.write("kept")
        elif what == "file_size_limit":
            limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        elif what == "standard_output_full":
            stdout = open("/dev/full", "wb")
        else:
            os.remove(os.path.join(folder, "page.png"))
            os.mkfifo(os.path.join(folder, "page.png"))
        before = sorted(os.listdir(folder))
        result = subprocess.run([exe], input=answers, cwd=folder, stdout=stdout, stderr=subprocess.PIPE,
                                timeout=60, preexec_fn=limit)
        check(result.returncode == 2 and result.stderr.count(b"\n") == 1 and result.stderr.startswith(b"ovoreport: "),
              "%s: status %d, %r" % (what, result.returncode, result.stderr))
        check(sorted(os.listdir(folder)) == before, "%s: left %s" % (what, sorted(set(os.listdir(folder)) - set(before))))
        if what == "report_exists":
            check(open(os.path.join(folder, "report.html")).read() == "kept", "the existing report was changed")


# ------------------------------------------------------------------ the browser

# The whole run's report on A4: the numbers and ovofit's limits, ovofit's
# ellipsoid and plot with the report page, the statistics, the deposition
# block and the files.
MOST_PAGES = 4

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars", "--window-size=1024,800"]

CHECK_SCRIPT = """<script>
window.__problems = [];
window.addEventListener('error', function (e) { __problems.push('error ' + (e.message || (e.target && e.target.tagName))); }, true);
document.addEventListener('securitypolicyviolation', function (e) { __problems.push('csp ' + e.blockedURI); });
window.addEventListener('load', function () {
  var p = __problems, imgs = document.images;
  for (var i = 0; i < imgs.length; i++) if (!(imgs[i].naturalWidth > 0 && imgs[i].naturalHeight > 0)) p.push('image ' + i + ' has no size');
  if (imgs.length < 2) p.push('only ' + imgs.length + ' images');
  var w = document.documentElement.scrollWidth;
  if (w > 1024) p.push('page ' + w + ' pixels wide');
  var all = document.body.getElementsByTagName('*');
  for (var j = 0; j < all.length; j++) { var r = all[j].getBoundingClientRect(); if (r.right > 1024.5) { p.push(all[j].tagName + ' reaches ' + r.right); break; } }
  var d = document.createElement('div'); d.id = 'browser-check'; d.textContent = p.length ? 'PROBLEMS: ' + p.join('; ') : 'ALL-GOOD ' + imgs.length;
  document.body.appendChild(d);
});
</script>"""


def browser(exe, work, out):
    chromium = shutil.which("chromium") or ("/usr/bin/chromium" if os.path.exists("/usr/bin/chromium") else None)
    if not chromium:
        print("SKIPPED: no chromium (apt-get install chromium): the report was not checked in a browser")
        return
    folder = os.path.join(work, "browser")
    os.mkdir(folder)
    result = run(exe, folder, make_run(folder, "whole"))
    check(result.returncode == 0, "browser: ovoreport failed: %r" % result.stderr)
    report = os.path.join(folder, "report.html")
    page = open(report, encoding="ascii").read()
    # The check is a script, which the report's policy forbids: a copy allows inline scripts, nothing more.
    policy = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"
    check(policy in page, "browser: the report's content security policy")
    probe = page.replace(policy, policy + "; script-src 'unsafe-inline'").replace("</body>", CHECK_SCRIPT + "</body>")
    probe_file = os.path.join(folder, "probe.html")
    open(probe_file, "w", encoding="ascii").write(probe)
    os.makedirs(out, exist_ok=True)

    def chromium_run(*args):
        profile = tempfile.mkdtemp(dir=work)
        return subprocess.run([chromium] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile,
                                                             "--enable-logging=stderr", "--v=0"] + list(args),
                              capture_output=True, timeout=120, cwd=folder)

    dom = chromium_run("--virtual-time-budget=5000", "--dump-dom", "file://" + probe_file)
    verdict = [l for l in dom.stdout.decode("utf-8", "replace").split("browser-check\">")[1:2]]
    check(verdict and verdict[0].startswith("ALL-GOOD"), "browser: %s" % (verdict[0][:300] if verdict else dom.stderr[-600:]))
    console = [l for l in dom.stderr.decode("utf-8", "replace").splitlines() if "CONSOLE" in l and "ERROR" in l.upper()]
    check(not console, "browser: console errors %s" % console[:3])
    shot = os.path.join(out, "report-screenshot.png")
    pdf = os.path.join(out, "report.pdf")
    for f in (shot, pdf):
        if os.path.exists(f):
            os.remove(f)
    chromium_run("--screenshot=" + shot, "file://" + report)
    check(os.path.exists(shot) and os.path.getsize(shot) > 1000, "browser: no screenshot")
    chromium_run("--no-pdf-header-footer", "--print-to-pdf=" + pdf, "file://" + report)
    check(os.path.exists(pdf) and os.path.getsize(pdf) > 1000, "browser: no PDF")
    if os.path.exists(pdf) and shutil.which("pdftotext"):
        text = subprocess.run(["pdftotext", "-layout", pdf, "-"], capture_output=True).stdout.decode("utf-8", "replace")
        text = " ".join(text.replace("\u2019", "'").split())
        for heading in HEADINGS:
            check(heading in text, "browser: the PDF lacks the heading %r" % heading)
        pages = subprocess.run(["pdfinfo", pdf], capture_output=True).stdout.decode()
        check("(A4)" in pages, "browser: the PDF is not A4: %s" % pages)
        # Printed: few pages, and no heading last on a page (kept with what follows it).
        count = int(next(l.split()[1] for l in pages.splitlines() if l.startswith("Pages:")))
        check(count <= MOST_PAGES, "browser: %d pages printed, at most %d expected" % (count, MOST_PAGES))
        headings = HEADINGS + ["The ellipsoid applied", "The ellipsoid ovofit measured"]
        for n in range(1, count + 1):
            one = subprocess.run(["pdftotext", "-layout", "-f", str(n), "-l", str(n), pdf, "-"],
                                 capture_output=True).stdout.decode("utf-8", "replace").replace("\u2019", "'")
            last = [l.strip() for l in one.splitlines() if l.strip()][-2:]
            check(not any(l in headings for l in last), "browser: page %d ends with a heading: %s" % (n, last))
    print("kept: %s and %s" % (shot, pdf))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--browser", action="store_true")
    args = parser.parse_args()
    exe = os.path.abspath(args.exe)
    work = tempfile.mkdtemp(prefix="ovoreport-test-")
    try:
        if args.browser:
            browser(exe, work, os.path.abspath(args.out))
        else:
            for case in CASES:
                folder = os.path.join(work, case)
                os.mkdir(folder)
                result = run(exe, folder, make_run(folder, case))
                check_case(case, folder, result)
            failure_cases(exe, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d checks, %d failures" % (checked[0], len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
