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
EIGEN = [(19.164, (1.0, 0.0, 0.0)), (-2.717, (0.0, 1.0, 0.0)), (-16.408, (0.0, 0.0, 1.0))]


def phaser_log():
    text = "Phaser log\n   Space-Group Name (Hall Symbol): P 2 2 2 ( P 2 2)\n"
    text += "     eigenB (A^2)     direction cosines (orthogonal coordinates)\n"
    for value, cos in EIGEN:
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


def xscale(rows):
    return " XSCALE log\n" + shell_lines(rows)


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
CIF = "data_ovofit\n_reflns.pdbx_example_limit 2.115\n_reflns.pdbx_note '<b>&amp</b>'\n"


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


def base_files(hostile=False):
    group = "P 2 2 2 (16)" if not hostile else "<script>alert(1)</script> & 'x' \"y\" \xe9"
    return {
        "ovoclip.inp": script(CELL, IDENTITY, (3.0, 2.5, 2.1)),
        "planeview.inp": "    21389\n    10245\n        0.65\n    11144.00\n",
        "phaser.log": phaser_log(),
        "cad_negB.inp": "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -16.408\nend\n",
        "ovofit.inp": script(MONO, AXES_TILTED, (2.8424, 2.4453, 2.1151)),
        "ovofit.terminal": (" Please type in name of XDS reflection file\n space group %s; cell 54.87\n" % group +
                            limits_table()),
        "ovofit.svg": SVG,
        "ovofit.cif": CIF,
        "page.png": png(),
        "XSCALE_start.LP": xscale(START),
        "XSCALE_final.LP": xscale(FINAL) if not hostile else xscale(FINAL + [("<b>&'", 5, 1, 1.0, 1.0, 1.0)]),
    }


ORDER = ["ovoclip.inp", "planeview.inp", "phaser.log", "cad_negB.inp", "ovofit.inp", "ovofit.terminal",
         "ovofit.svg", "ovofit.cif", "page.png", "XSCALE_start.LP", "XSCALE_final.LP"]

# name: (files left out, renamed files, the final log's kind, hostile)
HOSTILE_NAME = b"<i>&amp;\"'\xc3\xa9\xff.LP"
CASES = {
    "whole": ([], {}, "xscale", False),
    "no_ovofit": (["ovofit.inp", "ovofit.terminal", "ovofit.svg", "ovofit.cif"], {}, "xscale", False),
    "no_scaling": (["phaser.log", "cad_negB.inp"], {}, "xscale", False),
    "correct_log": ([], {"XSCALE_final.LP": "CORRECT.LP"}, "correct", False),
    "hostile": ([], {"XSCALE_start.LP": HOSTILE_NAME}, "xscale", True),
}


def make_run(folder, case):
    left_out, renames, kind, hostile = CASES[case]
    files = base_files(hostile)
    if kind == "correct":
        files["XSCALE_final.LP"] = correct(FINAL)
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
        answers.append(target)
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


def check_case(case, folder, result):
    left_out, renames, kind, hostile = CASES[case]
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
                                  "ovofit.svg": "ovofit_plot", "ovofit.cif": "ovofit_cif"}[name]] is None,
              "%s: %s read" % (case, name))
    if left_out:
        check("Missing from this run" in body and len(data["missing"]) >= len(left_out),
              "%s: the report does not say what is missing" % case)

    # the run in numbers
    check([data["cell"][k] for k in ("a", "b", "c", "alpha", "beta", "gamma")] == list(CELL), "%s: cell" % case)
    t = data["truncation"]
    check((t["read"], t["rejected"], t["kept"]) == (21389, 10245, 11144) and close(t["mean_rejected"], 0.65),
          "%s: truncation %s" % (case, t))
    check([a["limit"] for a in data["ellipsoid_applied"]["axes"]] == [3.0, 2.5, 2.1], "%s: limits" % case)
    if "phaser.log" in left_out:
        check(data["anisotropic_b"] is None and data["b_applied"] is None, "%s: B without its files" % case)
    else:
        comps = data["anisotropic_b"]["components"]
        check([c["eigenvalue"] for c in comps] == [v for v, _ in EIGEN], "%s: eigenvalues %s" % (case, comps))
        check([c["eigenvector_ortho"] for c in comps] == [list(c) for _, c in EIGEN], "%s: eigenvectors" % case)
        check(close(data["anisotropic_b"]["range"], 19.164 + 16.408, 1e-5), "%s: range" % case)
        check(data["b_applied"]["b"] == -16.408 and data["b_applied"]["file"] == "cad_negB.inp", "%s: B applied" % case)
        dep = data["deposition"]["text"]
        # each less the smallest: the dictionary allows no negative eigenvalue
        smallest = min(v for v, _ in EIGEN)
        for n, (value, cos) in enumerate(EIGEN, 1):
            check("_reflns.pdbx_aniso_B_tensor_eigenvalue_%d   %.3f" % (n, value - smallest) in dep,
                  "%s: eigenvalue %d" % (case, n))
            for i, x in enumerate(cos, 1):
                check("_reflns.pdbx_aniso_B_tensor_eigenvector_%d_ortho[%d]   %.4f" % (n, i, x) in dep,
                      "%s: eigenvector %d[%d]" % (case, n, i))
        check("_reflns.pdbx_aniso_B_tensor_eigenvalue_1" in body, "%s: the deposition block is not in the page" % case)

    # ovofit: its ellipsoid, its axes as combinations of a*, b*, c*, the warning
    if "ovofit.inp" in left_out:
        check(data["ellipsoid_measured"] is None and data["ellipsoid_differences"] == [], "%s: ovofit" % case)
        check("Warning" not in body, "%s: a warning without ovofit" % case)
    else:
        for axis, expected in zip(data["ellipsoid_measured"]["axes"], AXES_TILTED):
            want = reciprocal_combination(MONO, expected)
            check(all(abs(x - y) < 2e-4 for x, y in zip(axis["reciprocal"], want)),
                  "%s: combination %s, expected %s" % (case, axis["reciprocal"], want))
        check(len(data["ellipsoid_differences"]) >= 3 and "Warning" in body, "%s: no warning" % case)
        limits = data["ovofit_limits"]
        check(limits is not None and limits["criterion"] == "I/sigma", "%s: ovofit's limits %s" % (case, limits))
        if limits:
            for axis, (cos, edge, m1, sig, m2, cc, m3, comb) in zip(limits["axes"], LIMITS):
                check(axis["cosines"] == list(cos) and axis["direction"] == comb and
                      axis["shell_edge"] == {"limit": edge, "mark": m1.strip() or None} and
                      axis["by_isigma"] == {"limit": sig, "mark": m2.strip() or None} and axis["by_cc_half"] is None,
                      "%s: ovofit's limits along %s: %s" % (case, comb, axis))
            check("2.913" in body and "beyond" in body, "%s: ovofit's limits not in the page" % case)
        check("_reflns.pdbx_example_limit" in data["deposition"]["text"], "%s: ovofit's items" % case)
        check(any(src.startswith("data:image/svg+xml;base64,") for src in page.images), "%s: no plot" % case)
    check(any(src.startswith("data:image/png;base64,") for src in page.images), "%s: no page picture" % case)

    # the statistics, paired by label; undefined values null
    s = data["statistics"]
    check(s["final_from_correct"] == (kind == "correct"), "%s: CORRECT log not recognised" % case)
    lines = [l for l in s["lines"] if l["label"] != "total"]
    for line, before, after in zip(lines, START, FINAL):
        b, a = line["before"], line["after"]
        check(close(line["limit"], float(before[0])), "%s: limit %s" % (case, line))
        check(b["observed"] == before[1] and close(b["completeness"], before[3]) and close(b["rmerge"], before[4])
              and close(b["isigma"], before[5]), "%s: before %s" % (case, b))
        check(close(b["redundancy"], before[1] / before[2], 1e-5), "%s: redundancy %s" % (case, b))
        if after[2] == 0:
            check(a["rmerge"] is None and a["redundancy"] is None, "%s: undefined values %s" % (case, a))
        else:
            check(a["observed"] == after[1] and close(a["rmerge"], after[4]), "%s: after %s" % (case, a))
    check(body.count("before (starting run)") == 3, "%s: three plots with their legend" % case)

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
