"""The index of a workflow run: OUT/index.json and OUT/index.html, one row a
data set, failed ones included. The numbers come from each data set's
report.json (ovoreport's), the merging statistics from the report's copy of
ovostats's tables or, without a report, from ovostats's own JSON file; the
status, the failing step and the message from its steps' status files
(runstep's, common/layout/step_status.hpp). Standard library only.

The page needs no script and no network: a plain table, printed on A4 in
landscape; a small inline script only lets a click on a heading sort it.
"""

import html
import json
import os
import urllib.parse

REPORT = "ovoreport"  # the step whose folder holds report.html and report.json
STATS = "ovostats"  # the step whose folder holds ovostats.json

COLUMNS = [  # key, heading, kind (for sorting and the cell's shape)
    ("name", "Data set", "text"),
    ("data", "Data", "text"),
    ("status", "Status", "text"),
    ("step", "Failed step", "text"),
    ("message", "Message", "text"),
    ("space_group", "Space group", "text"),
    ("cell", "Cell (\u00c5, \u00b0)", "cell"),
    ("limits", "Limits (\u00c5) by axis", "limits"),
    ("criterion", "Criterion", "text"),
    # the data kept: complete in the ellipsoid and in its sphere
    ("completeness", "Compl. in ellipsoid (%)", "number"),
    ("completeness_spherical", "Compl. in sphere (%)", "number"),
    ("multiplicity", "Mult.", "number"),
    ("cc_half_outer", "CC\u00bd, outer shell", "number"),
    ("b_range", "Anisotropic B range (\u00c5\u00b2)", "number"),
    ("b_applied", "B applied (\u00c5\u00b2)", "number"),
    ("report", "Report", "link"),
]


def _dig(data, *path):
    for key in path:
        if isinstance(data, dict) and key in data:
            data = data[key]
        else:
            return None
    return data


def _deposition_item(report, name):
    """One item of ovofit's mmCIF fragment as the report quotes it."""
    text = _dig(report, "deposition", "text")
    if not isinstance(text, str):
        return None
    for line in text.splitlines():
        words = line.split(None, 1)
        if len(words) == 2 and words[0] == "_reflns." + name:
            return words[1].strip().strip("'\"")
    return None


def _float(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


CRITERIA = {"local <I/sigmaI>": "I/sigma", "local wCC_half": "CC1/2"}


def from_report(report):
    """The index's numbers from one report.json (ovoreport's), None for each
    one it lacks: the cell and space group, the limits of the ellipsoid
    applied, the criterion and the completeness inside the ellipsoid (from
    ovofit's deposition items), the range of the anisotropic B and the B
    applied."""
    cell = _dig(report, "cell")
    if isinstance(cell, dict):
        cell = [cell.get(k) for k in ("a", "b", "c", "alpha", "beta", "gamma")]
    axes = _dig(report, "ellipsoid_applied", "axes")
    signal = _deposition_item(report, "pdbx_signal_type")
    limits = None
    if isinstance(axes, list):
        # each limit with the reciprocal axis its own lies nearest, in the order a*, b*, c*
        order = {"a*": 0, "b*": 1, "c*": 2}
        limits = [{"limit": a.get("limit"), "axis": a.get("nearest")} for a in axes if isinstance(a, dict)]
        limits.sort(key=lambda x: order.get(x["axis"], 3))
    return {
        "cell": cell,
        "space_group": _dig(report, "space_group", "name"),
        "limits": limits,
        "criterion": CRITERIA.get(signal, signal),
        "completeness": _float(_deposition_item(report, "pdbx_percent_possible_ellipsoidal")),
        "b_range": _dig(report, "anisotropic_b", "range"),
        "b_applied": _dig(report, "b_applied", "b"),
    }


def from_statistics(tables):
    """The merging statistics of the data kept (ovostats's table "kept",
    which the deposition takes): the overall completeness in the sphere and
    in the ellipsoid, the multiplicity, and CC1/2 of the outer shell."""
    kept = _dig(tables, "kept")
    return {
        "completeness": _dig(kept, "overall", "completeness_ellipsoid"),
        "completeness_spherical": _dig(kept, "overall", "completeness"),
        "multiplicity": _dig(kept, "overall", "multiplicity"),
        "cc_half_outer": _dig(kept, "outer", "cc_half"),
    }


def _read_json(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def outcome(folder, steps):
    """The data set's status, failing step and message from its steps'
    status files: the first step of the chain that failed."""
    for step in steps:
        status = _read_json(os.path.join(folder, "status", step + ".json"))
        if status is None:
            continue  # a step this data set does not have
        if status["status"] == "failed":
            return "failed", step, status.get("message")
    return "ok", None, None


DATA = {"XDS_ASCII unmerged": "XDS, unmerged", "XDS_ASCII merged": "XDS, merged",
        "MTZ unmerged": "MTZ, unmerged", "MTZ merged": "MTZ, merged"}


def rows(out, names, steps, kinds=None):
    result = []
    for name in names:
        folder = os.path.join(out, name)
        status, step, message = outcome(folder, steps)
        kind = (kinds or {}).get(name)
        row = {"name": name, "data": DATA.get(kind, kind), "status": status, "step": step, "message": message}
        report = _read_json(os.path.join(folder, REPORT, "report.json")) if status == "ok" else None
        row.update(from_report(report if report is not None else {}))
        # The statistics as the report has them, else (no report: a later
        # step failed) as ovostats wrote them.
        tables = _dig(report, "merging_statistics", "tables")
        if not isinstance(tables, dict):
            tables = _read_json(os.path.join(folder, STATS, "ovostats.json"))
        statistics = from_statistics(tables if isinstance(tables, dict) else {})
        if statistics["completeness"] is None:
            statistics["completeness"] = row["completeness"]  # ovofit's count, without ovostats
        row.update(statistics)
        has_report = status == "ok" and os.path.isfile(os.path.join(folder, REPORT, "report.html"))
        row["report"] = "/".join(urllib.parse.quote(p) for p in (name, REPORT, "report.html")) if has_report else None
        result.append(row)
    return result


def _number(value, digits=2):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return "" if value is None else str(value)
    return "%.*f" % (digits, value)


def _cell_text(key, kind, value):
    if value is None:
        return "", ""
    if kind == "number":
        return _number(value, 3 if key == "cc_half_outer" else 2), _number(value, 6)
    if kind == "limits" and isinstance(value, list):
        text = ", ".join("%s along %s" % (_number(x.get("limit")), x.get("axis") or "?") for x in value)
        smallest = min((x["limit"] for x in value if isinstance(x.get("limit"), (int, float))), default=None)
        return text, _number(smallest, 6)
    if kind in ("cell", "triple") and isinstance(value, list):
        text = " ".join(_number(v) for v in value)
        return text, text
    return str(value), str(value)


def page(table):
    head = "".join('<th scope="col" data-kind="%s">%s</th>' % (kind, html.escape(title))
                   for _, title, kind in COLUMNS)
    body = []
    for row in table:
        cells = []
        for key, _, kind in COLUMNS:
            if key == "report":
                link = row["report"]
                cells.append("<td>%s</td>" % ('<a href="%s">report</a>' % html.escape(link) if link else ""))
                continue
            text, sort = _cell_text(key, kind, row[key])
            cls = ' class="%s"' % (row["status"] if key == "status" else key) if key in ("status", "message") else ""
            cells.append('<td%s data-sort="%s">%s</td>' % (cls, html.escape(sort), html.escape(text)))
        body.append("<tr>%s</tr>" % "".join(cells))
    failed = sum(1 for r in table if r["status"] != "ok")
    return """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Data sets: index of the reports</title>
<style>
body { font-family: sans-serif; margin: 1em; color: #000; }
table { border-collapse: collapse; width: 100%%; font-size: 10pt; }
th, td { border: 1px solid #999; padding: 2px 4px; text-align: left; vertical-align: top; }
td { overflow-wrap: break-word; }
td.message { overflow-wrap: anywhere; min-width: 12em; }
th { background: #eee; cursor: pointer; }
td.failed { color: #a00; font-weight: bold; }
@page { size: A4 landscape; margin: 10mm; }
@media print { body { margin: 0; } table { font-size: 7pt; } th { cursor: auto; } a { color: #000; } }
</style>
</head>
<body>
<h1>Data sets</h1>
<p>%d data sets, %d good, %d failed. A click on a heading sorts by it.</p>
<table id="index">
<thead><tr>%s</tr></thead>
<tbody>
%s
</tbody>
</table>
<script>
(function () {
  var table = document.getElementById("index");
  var heads = table.tHead.rows[0].cells;
  for (var i = 0; i < heads.length; i++) {
    heads[i].addEventListener("click", (function (column, kind) {
      var up = true;
      return function () {
        var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
        rows.sort(function (x, y) {
          var a = x.cells[column].getAttribute("data-sort") || x.cells[column].textContent;
          var b = y.cells[column].getAttribute("data-sort") || y.cells[column].textContent;
          if (kind === "number") {
            var p = parseFloat(a), q = parseFloat(b);
            if (isNaN(p) || isNaN(q)) return isNaN(p) - isNaN(q);
            return up ? p - q : q - p;
          }
          return up ? a.localeCompare(b) : b.localeCompare(a);
        });
        up = !up;
        rows.forEach(function (r) { body.appendChild(r); });
      };
    })(i, heads[i].getAttribute("data-kind")));
  }
})();
</script>
</body>
</html>
""" % (len(table), len(table) - failed, failed, head, "\n".join(body))


def _write(path, text):
    tmp = "%s.tmp-%d" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def refused_rows(refused):
    """Data sets the workflow did not run (a folder name it cannot carry):
    failed, before any step, with the reason."""
    table = []
    for name, why in sorted(refused.items()):
        row = {"name": name, "data": None, "status": "failed", "step": None, "message": why}
        row.update(from_report({}))
        row.update(from_statistics({}))
        row["report"] = None
        table.append(row)
    return table


def write(out, names, steps, html_path, json_path, refused=None, kinds=None):
    table = sorted(rows(out, names, steps, kinds) + refused_rows(refused or {}), key=lambda r: r["name"])
    _write(json_path, json.dumps(table, indent=1, ensure_ascii=False) + "\n")
    _write(html_path, page(table))


if __name__ == "__main__":
    import sys
    args = sys.argv[1:]
    refused, kinds = {}, {}
    while args and args[0].startswith(("--refused=", "--kinds=")):
        option, value = args.pop(0).split("=", 1)
        if option == "--refused":  # {"name": "why it was not run"}
            refused = json.loads(value)
        else:  # {"name": "XDS_ASCII unmerged", ...}: the kind of each data set's reflections
            kinds = json.loads(value)
    if len(args) < 4:
        print("usage: index.py [--refused=JSON] [--kinds=JSON] OUT INDEX.html INDEX.json STEP,STEP,... NAME...",
              file=sys.stderr)
        sys.exit(2)
    write(args[0], args[4:], args[3].split(","), args[1], args[2], refused, kinds)
