// report.html. The page is written as it is composed, the pictures streamed
// into it as base64, so memory does not grow with them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/records.hpp"
#include "common/escape.hpp"
#include "ovoreport/report.hpp"

namespace ovoreport {

using common::escapeHtml;
using common::escapeHtmlLines;
using common::appendBase64;

namespace {

namespace stats = common::shell_statistics;

// Fixed decimals; a value that rounds to zero shows no minus sign.
std::string fixed(double value, int decimals) {
    std::string text = common::fixedText(static_cast<float>(value), decimals);
    if (!text.empty() && text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}
std::string h(std::string_view text) { return escapeHtml(text); }
// A whole number as SVG and CSS read it ("310", never the "310." of F format).
std::string whole(double value) { return std::to_string(static_cast<long long>(std::lround(value))); }

// "(from NAME)" after a number: the name within the run's folder, the name
// as given on hovering.
std::string from(const Run& run, const std::string& file) {
    const std::string shown = run.shown(file);
    return "<span class=\"src\"" + (shown == file ? std::string() : " title=\"" + h(file) + "\"") + ">" + h(shown) +
           "</span>";
}

constexpr const char* kAngstrom = "&#xC5;";

// The style sheet: a column of at most 960 pixels, tables and pictures
// that shrink with the window, and an A4 page when printed.
constexpr const char* kStyle = R"(
body { font-family: sans-serif; margin: 0 auto; padding: 0 12px; max-width: 960px; color: #111; line-height: 1.35; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; border-bottom: 1px solid #999; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.5em 0; max-width: 100%; }
th, td { border: 1px solid #bbb; padding: 2px 6px; text-align: right; vertical-align: top; }
th { background: #eee; } td.t, th.t { text-align: left; }
.src { color: #555; font-size: 0.85em; overflow-wrap: anywhere; }
.src::before { content: "from "; }
.warn { border: 2px solid #b03a2e; background: #fdedec; padding: 4px 10px; }
.missing { border: 1px solid #b9770e; background: #fef9e7; padding: 4px 10px; }
pre { white-space: pre-wrap; overflow-wrap: anywhere; background: #f6f6f6; padding: 6px; font-size: 0.85em; }
img, svg { max-width: 100%; height: auto; }
.plots { display: flex; flex-wrap: wrap; gap: 8px; }
.plots svg { width: 310px; }
td, li, p { overflow-wrap: anywhere; }
.stats { font-size: 0.8em; }
@page { size: A4; margin: 14mm; }
@media print {
  body { max-width: none; padding: 0; font-size: 9pt; }
  h2 { margin-top: 1em; }
  h2, h3 { break-after: avoid; }
  /* a heading stays with what follows it; a long table or block may break */
  .keep, figure, .plots svg, tr, .warn, .missing { break-inside: avoid; }
  h2 + table, pre { break-before: avoid; }
  figure { margin: 0.5em 0; }
  figure.plot img { max-height: 85mm; }
  .page img { max-height: 110mm; }
  table.files, pre { font-size: 7.5pt; }
  table.files td { padding: 0 4px; }
  .plots svg { width: 32%; }
}
)";

class Page {
public:
    explicit Page(common::OutputFile& out) : out_(out) {}
    Page& operator<<(std::string_view text) {
        out_.writeText(text);
        return *this;
    }
    // The bytes of `file` as base64, streamed.
    void base64Of(const std::string& file) {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(file.c_str(), "rb"), std::fclose);
        if (!in) common::fail("cannot open " + common::quoted(file) + " to embed it in the report");
        std::vector<unsigned char> chunk(3 * 21845);
        std::string encoded;
        for (;;) {
            const size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
            encoded.clear();
            appendBase64(encoded, chunk.data(), got);
            out_.writeText(encoded);
            if (got < chunk.size()) break;
        }
        if (std::ferror(in.get())) common::fail("cannot read " + common::quoted(file) + " to embed it in the report");
    }

private:
    common::OutputFile& out_;
};

// ------------------------------------------------------------ pieces

std::string combination(const std::array<double, 3>& c) {
    static const char* kStar[3] = {"a*", "b*", "c*"};
    std::string text;
    for (size_t i = 0; i < 3; ++i) {
        const double v = c[i];
        if (!std::isfinite(v)) return "(not defined: the cell or the axis is degenerate)";
        if (std::fabs(v) < 0.0005) continue;
        if (!text.empty()) text += v < 0 ? " &#x2212; " : " + ";
        else if (v < 0) text += "&#x2212;";
        const std::string magnitude = fixed(std::fabs(v), 3);
        if (magnitude != "1.000") text += magnitude + " ";
        text += kStar[i];
    }
    return text.empty() ? "0" : text;
}

void ellipsoidTable(Page& page, const Ellipsoid& e) {
    page << "<table><tr><th>axis</th><th>limit (" << kAngstrom << ")</th>"
         << "<th class=\"t\">direction (orthonormal frame: x along a, y in the a-b plane, z along c*)</th>"
         << "<th class=\"t\">as a combination of a*, b*, c*</th></tr>\n";
    for (int i = 0; i < 3; ++i) {
        page << "<tr><td>" << std::to_string(i + 1) << "</td><td>" << fixed(e.limitOfRow[i], 3) << "</td><td class=\"t\">"
             << fixed(e.axes[i][0], 4) << ", " << fixed(e.axes[i][1], 4) << ", " << fixed(e.axes[i][2], 4)
             << "</td><td class=\"t\">" << combination(e.reciprocalCombination[static_cast<size_t>(i)]) << "</td></tr>\n";
    }
    page << "</table>\n";
}

void runInNumbers(Page& page, const Run& run) {
    page << "<section id=\"numbers\"><div class=\"keep\"><h2>The run in numbers</h2>\n<table>\n";
    const auto row = [&](const std::string& what, const std::string& value, const std::string& file) {
        page << "<tr><th class=\"t\">" << what << "</th><td class=\"t\">" << value << "</td><td class=\"t\">"
             << (file.empty() ? std::string() : from(run, file)) << "</td></tr>\n";
    };
    if (run.applied) {
        const common::UnitCell& c = run.applied->cell;
        row("cell", fixed(c.a, 2) + ", " + fixed(c.b, 2) + ", " + fixed(c.c, 2) + " " + kAngstrom + "; " +
                        fixed(c.alpha, 2) + ", " + fixed(c.beta, 2) + ", " + fixed(c.gamma, 2) + "&#xB0;",
            run.applied->file);
    }
    if (run.spaceGroup) row("space group", h(*run.spaceGroup), run.spaceGroupFile);
    if (run.truncation) {
        const Truncation& t = *run.truncation;
        const RecordKind& k = run.recordKind;
        const std::string kind = !k.merged ? "records (observations if the data are unmerged, unique reflections if merged)"
                                 : *k.merged ? "unique reflections (merged data)"
                                             : "observations (unmerged data)";
        row("records in: " + kind, std::to_string(t.read), t.file);
        row("rejected (outside the ellipsoid): " + kind, std::to_string(t.rejected), t.file);
        row("kept: " + kind, std::to_string(t.kept), t.file);
        row("mean I/&#x3C3;(I) of the rejected (&#x3A3; I / &#x3A3; &#x3C3;(I))", fixed(t.meanRejected, 2), t.file);
    }
    if (run.recordKind.merged && !*run.recordKind.merged) {
        if (run.recordKind.uniqueIn) {
            row("unique reflections in (the observations merged by ovofit)", std::to_string(*run.recordKind.uniqueIn),
                run.recordKind.uniqueInFile);
        }
        if (run.recordKind.uniqueKept) {
            row("unique reflections kept (merged by ovoscale)", std::to_string(*run.recordKind.uniqueKept),
                run.recordKind.uniqueKeptFile);
        }
    }
    if (run.anisotropy) {
        const Anisotropy& a = *run.anisotropy;
        for (size_t n = 0; n < 3; ++n) {
            const Component& c = a.components[n];
            row("principal component " + std::to_string(n + 1) + " of the anisotropic B",
                fixed(c.value, 3) + " " + kAngstrom + "&#xB2; along (" + fixed(c.cosines[0], 4) + ", " +
                    fixed(c.cosines[1], 4) + ", " + fixed(c.cosines[2], 4) + ")",
                a.file);
        }
        row("range of the components", fixed(a.range(), 3) + " " + kAngstrom + "&#xB2;", a.file);
    }
    if (run.isotropicB) {
        row("isotropic B (the trace of B over 3)",
            fixed(run.isotropicB->b, 3) + " " + kAngstrom + "&#xB2;" +
                (run.isotropicB->rough ? " (rough: the data end before 3.5 " + std::string(kAngstrom) +
                                             ", where a protein's fall is not yet a Wilson B)"
                                       : ""),
            run.isotropicB->file);
    }
    if (run.appliedB) row("B applied", fixed(run.appliedB->b, 3) + " " + kAngstrom + "&#xB2;", run.appliedB->file);
    page << "</table></div>\n";
    if (run.applied) {
        page << "<div class=\"keep\"><h3>The ellipsoid applied</h3><p>" << from(run, run.applied->file) << "</p>\n";
        ellipsoidTable(page, *run.applied);
        page << "</div>\n";
    }
    page << "</section>\n";
}

void ovofitSection(Page& page, const Run& run) {
    page << "<section id=\"ovofit\"><div class=\"keep\"><h2>ovofit's measurement</h2>\n";
    if (run.ovofitLimits) {
        const OvofitLimits& limits = *run.ovofitLimits;
        page << "<p>Limits by axis " << from(run, limits.file) << "; the input script takes those by " << h(limits.criterion)
             << ".</p>\n<table><tr><th>axis</th><th class=\"t\">direction</th><th>shell edge (" << kAngstrom
             << ")</th><th>by I/&#x3C3; (" << kAngstrom << ")</th><th>by CC&#xBD; (" << kAngstrom << ")</th></tr>\n";
        const auto value = [](const FittedLimit& f) {
            return fixed(f.angstrom, 3) + (f.mark.empty() ? std::string() : " (" + h(f.mark) + ")");
        };
        for (size_t i = 0; i < limits.axes.size(); ++i) {
            const FittedAxis& a = limits.axes[i];
            page << "<tr><td>" << std::to_string(i + 1) << "</td><td class=\"t\">" << h(a.direction) << "</td><td>"
                 << value(a.shellEdge) << "</td><td>" << value(a.bySigma) << "</td><td>"
                 << (a.byHalfSets ? value(*a.byHalfSets) : std::string("&#x2014;")) << "</td></tr>\n";
        }
        page << "</table>\n<p>A mark: beyond, the signal stays above the threshold to the data&#39;s edge (the "
                "limit is that edge); lowest, it is below already in the lowest shell.</p>\n";
    } else {
        page << "<p>Its limits by I/&#x3C3; and CC&#xBD; are not shown: "
             << (run.answers.ovofitTranscript.empty() ? std::string("no transcript of ovofit was given.")
                                                      : "no table of them in " + h(run.answers.ovofitTranscript) + ".")
             << "</p>\n";
    }
    page << "</div>\n";
    if (run.measured) {
        page << "<div class=\"keep\"><h3>The ellipsoid ovofit measured</h3><p>" << from(run, run.measured->file) << "</p>\n";
        ellipsoidTable(page, *run.measured);
        page << "</div>\n";
    }
    if (run.plotUsable) {
        page << "<figure class=\"plot\"><img alt=\"ovofit's plot of mean I/sigma against resolution along each axis\" src=\"data:image/svg+xml;base64,";
        page.base64Of(run.answers.ovofitPlot);
        page << "\"/><figcaption>ovofit's plot " << from(run, run.answers.ovofitPlot) << "</figcaption></figure>\n";
    }
    page << "</section>\n";
}

void pageSection(Page& page, const Run& run) {
    page << "<section id=\"page\" class=\"page\"><div class=\"keep\"><h2>The report page</h2>\n";
    if (run.pictureUsable) {
        page << "<figure><img alt=\"the twelve panels: the h=0, k=0 and l=0 planes at four stages\" src=\"data:image/png;base64,";
        page.base64Of(run.answers.pagePicture);
        page << "\"/><figcaption>Pseudo-precession images of the h=0, k=0 and l=0 planes: initial, truncated, "
                "anisotropically scaled, isotropic B applied "
             << from(run, run.answers.pagePicture) << "</figcaption></figure>\n";
    } else {
        page << "<p>Not shown: no picture of the page was given, or it is not a PNG picture.</p>\n";
    }
    page << "</div></section>\n";
}

// ------------------------------------------------------------ statistics

std::string cell(const stats::ShellRow* row, float stats::ShellRow::*field, int decimals) {
    if (!row || stats::isUndefined(row->*field) || !std::isfinite(row->*field)) return "";
    return fixed(row->*field, decimals);
}

std::string countCell(const stats::ShellRow* row) {
    if (!row) return "";
    return row->observedCount ? std::to_string(*row->observedCount) : fixed(row->observed, 0);
}

struct Point {
    double s2;  // 1/d^2
    double value;
};

// One plot: the value against resolution (x at 1/d^2, labelled in d), the
// starting run and the final one.
// A value above `cap` (when not 0) is drawn at the top, and the plot says so.
void plot(Page& page, const std::string& title, const std::string& unitLabel, const std::vector<Point> series[2],
          double cap) {
    constexpr double kLeft = 52, kRight = 300, kTop = 44, kBottom = 186, kWidth = 310, kHeight = 226;
    double sMax = 0, yMax = 0;
    bool capped = false;
    for (int k = 0; k < 2; ++k) {
        for (const Point& p : series[k]) {
            sMax = std::max(sMax, p.s2);
            yMax = std::max(yMax, cap > 0 ? std::min(p.value, cap) : p.value);
            capped = capped || (cap > 0 && p.value > cap);
        }
    }
    if (sMax <= 0) sMax = 0.25;
    // A round top for the value axis: 1, 2 or 5 times a power of ten, in five steps.
    const double raw = yMax > 0 ? yMax / 5 : 1;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= raw) break;
    }
    const double top = step * std::max(1.0, std::ceil(yMax / step));
    const auto x = [&](double s2) { return kLeft + (kRight - kLeft) * s2 / sMax; };
    const auto y = [&](double v) { return kBottom - (kBottom - kTop) * std::clamp(v, 0.0, top) / top; };

    page << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << whole(kWidth) << " " << whole(kHeight)
         << "\" role=\"img\" font-size=\"10\" font-family=\"sans-serif\"><title>" << title
         << " against resolution, before and after</title>\n";
    page << "<text x=\"" << whole(kWidth / 2) << "\" y=\"14\" text-anchor=\"middle\" font-size=\"12\">" << title
         << "</text>\n";
    page << "<line x1=\"" << fixed(kLeft, 1) << "\" y1=\"" << fixed(kBottom, 1) << "\" x2=\"" << fixed(kRight, 1)
         << "\" y2=\"" << fixed(kBottom, 1) << "\" stroke=\"black\"/>\n";
    page << "<line x1=\"" << fixed(kLeft, 1) << "\" y1=\"" << fixed(kBottom, 1) << "\" x2=\"" << fixed(kLeft, 1)
         << "\" y2=\"" << fixed(kTop, 1) << "\" stroke=\"black\"/>\n";
    const int steps = static_cast<int>(std::lround(top / step));
    for (int i = 0; i <= steps; ++i) {
        const double v = step * i;
        page << "<line x1=\"" << fixed(kLeft - 4, 1) << "\" y1=\"" << fixed(y(v), 1) << "\" x2=\"" << fixed(kLeft, 1)
             << "\" y2=\"" << fixed(y(v), 1) << "\" stroke=\"black\"/><text x=\"" << fixed(kLeft - 6, 1) << "\" y=\""
             << fixed(y(v) + 3, 1) << "\" text-anchor=\"end\">" << (step < 1 ? fixed(v, 1) : whole(v)) << "</text>\n";
    }
    // Resolution ticks at five even steps of 1/d^2, labelled in d.
    for (int i = 1; i <= 5; ++i) {
        const double s2 = sMax * i / 5;
        page << "<line x1=\"" << fixed(x(s2), 1) << "\" y1=\"" << fixed(kBottom, 1) << "\" x2=\"" << fixed(x(s2), 1)
             << "\" y2=\"" << fixed(kBottom + 4, 1) << "\" stroke=\"black\"/><text x=\"" << fixed(x(s2), 1) << "\" y=\""
             << fixed(kBottom + 15, 1) << "\" text-anchor=\"middle\">" << fixed(1 / std::sqrt(s2), 2) << "</text>\n";
    }
    page << "<text x=\"" << whole((kLeft + kRight) / 2) << "\" y=\"" << whole(kHeight - 8)
         << "\" text-anchor=\"middle\">resolution d (" << kAngstrom << "), at even steps of 1/d&#xB2;</text>\n";
    page << "<text transform=\"translate(12 " << whole((kTop + kBottom) / 2)
         << ") rotate(-90)\" text-anchor=\"middle\">" << unitLabel << "</text>\n";
    if (capped) {
        page << "<text x=\"" << fixed(kRight, 1) << "\" y=\"" << fixed(kTop - 3, 1) << "\" text-anchor=\"end\" font-size=\"8\">"
             << "values above " << whole(cap) << " drawn at the top</text>\n";
    }
    static const char* kColour[2] = {"#2471a3", "#c0392b"};
    static const char* kDash[2] = {"", " stroke-dasharray=\"5 3\""};
    static const char* kName[2] = {"before (starting run)", "after (final run)"};
    for (int k = 0; k < 2; ++k) {
        std::string points;
        for (const Point& p : series[k]) points += fixed(x(p.s2), 1) + "," + fixed(y(p.value), 1) + " ";
        if (!points.empty()) {
            page << "<polyline fill=\"none\" stroke=\"" << kColour[k] << "\" stroke-width=\"1.5\"" << kDash[k]
                 << " points=\"" << points << "\"/>\n";
            for (const Point& p : series[k]) {
                page << "<circle cx=\"" << fixed(x(p.s2), 1) << "\" cy=\"" << fixed(y(p.value), 1) << "\" r=\"2.2\" fill=\""
                     << kColour[k] << "\"/>\n";
            }
        }
        // The legend in one row between the title and the plot.
        const double lx = kLeft + 10 + 130 * k, ly = 30;
        page << "<line x1=\"" << fixed(lx, 1) << "\" y1=\"" << fixed(ly, 1) << "\" x2=\"" << fixed(lx + 18, 1)
             << "\" y2=\"" << fixed(ly, 1) << "\" stroke=\"" << kColour[k] << "\" stroke-width=\"1.5\"" << kDash[k]
             << "/><text x=\"" << fixed(lx + 22, 1) << "\" y=\"" << fixed(ly + 3, 1) << "\">" << kName[k] << "</text>\n";
    }
    page << "</svg>\n";
}

// ovostats's two tables side by side: all the observations and those
// inside the ellipsoid, shell by shell, then the overall row.
void mergingTables(Page& page, const Run& run, const MergingTables& m) {
    namespace table = common::merging_table;
    const table::Table* halves[2] = {&m.all, m.kept ? &*m.kept : nullptr};
    page << "<p>Computed by ovostats from the unmerged observations " << from(run, m.file)
         << (m.kept ? ": all of them, and those inside the ellipsoid (kept)." : ": all of them (no ellipsoid was given).")
         << " Completeness in the sphere of each shell and inside the ellipsoid; R values as fractions; "
            "I/&#x3C3;(I) of the merged reflections.</p>\n";
    struct Column {
        const char* heading;
        std::string (*cell)(const table::Shell&);
    };
    static const Column kColumns[] = {
        {"observed", [](const table::Shell& s) { return std::to_string(s.observations); }},
        {"unique", [](const table::Shell& s) { return std::to_string(s.unique); }},
        {"completeness (%)", [](const table::Shell& s) { return s.completeness ? fixed(*s.completeness, 1) : std::string(); }},
        {"in the ellipsoid (%)",
         [](const table::Shell& s) { return s.completenessEllipsoid ? fixed(*s.completenessEllipsoid, 1) : std::string(); }},
        {"multiplicity", [](const table::Shell& s) { return s.multiplicity ? fixed(*s.multiplicity, 2) : std::string(); }},
        {"R<sub>merge</sub>", [](const table::Shell& s) { return s.rMerge ? fixed(*s.rMerge, 3) : std::string(); }},
        {"R<sub>meas</sub>", [](const table::Shell& s) { return s.rMeas ? fixed(*s.rMeas, 3) : std::string(); }},
        {"R<sub>pim</sub>", [](const table::Shell& s) { return s.rPim ? fixed(*s.rPim, 3) : std::string(); }},
        {"I/&#x3C3;(I)", [](const table::Shell& s) { return s.iOverSigma ? fixed(*s.iOverSigma, 1) : std::string(); }},
        {"CC<sub>1/2</sub>", [](const table::Shell& s) { return s.ccHalf ? fixed(*s.ccHalf, 3) : std::string(); }},
    };
    const int sides = m.kept ? 2 : 1;
    page << "<table class=\"stats\"><tr><th rowspan=\"2\">shell (" << kAngstrom << ")</th><th rowspan=\"2\">possible</th>";
    for (const Column& c : kColumns) page << "<th colspan=\"" << std::to_string(sides) << "\">" << c.heading << "</th>";
    page << "</tr>\n<tr>";
    for (size_t i = 0; i < std::size(kColumns); ++i) page << (sides == 2 ? "<th>all</th><th>kept</th>" : "<th>all</th>");
    page << "</tr>\n";
    const auto row = [&](const std::string& label, const table::Shell& all, const table::Shell* kept) {
        page << "<tr><td>" << h(label) << "</td><td>" << std::to_string(all.possible) << "</td>";
        for (const Column& c : kColumns) {
            page << "<td>" << c.cell(all) << "</td>";
            if (sides == 2) page << "<td>" << (kept ? c.cell(*kept) : std::string()) << "</td>";
        }
        page << "</tr>\n";
    };
    for (size_t i = 0; i < m.all.shells.size(); ++i) {
        const table::Shell& s = m.all.shells[i];
        const table::Shell* k = halves[1] && i < halves[1]->shells.size() ? &halves[1]->shells[i] : nullptr;
        row(fixed(s.dMax, 2) + " - " + fixed(s.dMin, 2), s, k);
    }
    row("overall", m.all.overall, halves[1] ? &halves[1]->overall : nullptr);
    page << "</table>\n";
}

void statisticsSection(Page& page, const Run& run) {
    page << "<section id=\"statistics\"><div class=\"keep\"><h2>The statistics</h2>\n";
    if (!run.statistics) {
        if (run.merging) {
            mergingTables(page, run, *run.merging);
        } else {
            page << "<p>Not shown: no XSCALE.LP or CORRECT.LP with a table of statistics by shell was given.</p>";
        }
        page << "</div></section>\n";
        return;
    }
    const Statistics& s = *run.statistics;
    const auto kind = [](const stats::ShellTable& t) { return t.fromCorrect ? "CORRECT log, whole data set" : "XSCALE log"; };
    page << "<p>Before: "
         << (s.startingFile.empty() ? std::string("not given") : from(run, s.startingFile) + " (" + kind(s.starting) + ")")
         << ". After: "
         << (s.finalFile.empty() ? std::string("not given") : from(run, s.finalFile) + " (" + kind(s.finished) + ")")
         << ". Shells of equal limits share a row; a shell of one log only has a row of its own. Observed: "
            "observations; redundancy: observations per unique reflection.</p>\n";
    page << "<table class=\"stats\"><tr><th rowspan=\"2\">shell (" << kAngstrom << ")</th><th colspan=\"2\">observed (observations)</th>"
         << "<th colspan=\"2\">redundancy</th><th colspan=\"2\">completeness (%)</th><th colspan=\"2\">R<sub>merge</sub> (%)</th>"
         << "<th colspan=\"2\">I/&#x3C3;(I)</th></tr>\n<tr>";
    for (int i = 0; i < 5; ++i) page << "<th>before</th><th>after</th>";
    page << "</tr>\n";
    std::vector<Point> completeness[2], isigma[2], rmerge[2];
    for (const stats::TableLine& line : s.lines) {
        const stats::ShellRow* label = line.before ? line.before : line.after;
        page << "<tr><td>" << h(stats::trimmedLabel(label)) << "</td><td>" << countCell(line.before) << "</td><td>"
             << countCell(line.after) << "</td>";
        for (float stats::ShellRow::*field : {&stats::ShellRow::redundancy, &stats::ShellRow::completeness,
                                              &stats::ShellRow::rmerge, &stats::ShellRow::isigma}) {
            page << "<td>" << cell(line.before, field, 1) << "</td><td>" << cell(line.after, field, 1) << "</td>";
        }
        page << "</tr>\n";
        const stats::ShellRow* halves[2] = {line.before, line.after};
        for (int k = 0; k < 2; ++k) {
            const stats::ShellRow* row = halves[k];
            if (!row || (k == 0 ? s.starting.total() : s.finished.total()) == row) continue;
            const std::optional<double> d = stats::shellLimit(row->label);
            if (!d || !(*d > 0)) continue;
            const double s2 = 1 / (*d * *d);
            const auto add = [&](std::vector<Point>& to, float value) {
                if (!stats::isUndefined(value) && std::isfinite(value)) to.push_back({s2, value});
            };
            if (row->secondCount > 0) {  // a shell beyond a run's cut has nothing to plot
                add(completeness[k], row->completeness);
                add(isigma[k], row->isigma);
                add(rmerge[k], row->rmerge);
            }
        }
    }
    page << "</table></div>\n<div class=\"plots\">\n";
    plot(page, "Completeness", "completeness (%)", completeness, 0);
    plot(page, "I/&#x3C3;(I)", "mean I/&#x3C3;(I)", isigma, 0);
    plot(page, "Rmerge", "Rmerge (%)", rmerge, 100);
    page << "</div>\n";
    if (run.merging) mergingTables(page, run, *run.merging);
    page << "</section>\n";
}

void depositionSection(Page& page, const Run& run) {
    page << "<section id=\"deposition\"><div class=\"keep\"><h2>The deposition block</h2>\n";
    if (!run.ellipsoidDifferences.empty()) {
        page << "<div class=\"warn\"><p><strong>Warning:</strong> the ellipsoid applied " << from(run, run.applied->file)
             << " differs from the one ovofit measured " << from(run, run.measured->file) << ":</p><ul>\n";
        for (const std::string& d : run.ellipsoidDifferences) page << "<li>" << h(d) << "</li>\n";
        page << "</ul><p>The items below describe the ellipsoid applied; ovofit&#39;s signal and completeness items, "
                "which describe its own, are left out.</p></div>\n";
    }
    if (run.deposition) {
        const Deposition& d = *run.deposition;
        page << "<p>One <code>_reflns</code> block, its keys first, to copy into the data block of the entry&#39;s "
                "mmCIF file (it has no <code>data_</code> line of its own; give <code>_reflns.entry_id</code> the "
                "entry&#39;s <code>_entry.id</code>).";
        if (!d.ellipsoidSource.empty()) page << " The ellipsoid: " << h(d.ellipsoidSource) << ".";
        if (!d.file.empty()) page << " ovofit&#39;s items " << from(run, d.file) << ".";
        if (run.anisotropy) {
            page << " The B tensor " << from(run, run.anisotropy->file)
                 << ": each eigenvalue is the principal component less the smallest component (the logs give "
                    "components that sum to zero; the dictionary allows no negative eigenvalue), so the first "
                    "table&#39;s ";
            std::string list;
            for (const Component& c : run.anisotropy->components) list += (list.empty() ? "" : ", ") + fixed(c.value, 3);
            page << list << " " << kAngstrom << "&#xB2; are written as ";
            float smallest = run.anisotropy->components[0].value;
            for (const Component& c : run.anisotropy->components) smallest = std::min(smallest, c.value);
            list.clear();
            for (const Component& c : run.anisotropy->components) list += (list.empty() ? "" : ", ") + fixed(c.value - smallest, 3);
            page << list << ".";
        }
        page << "</p></div>\n<pre>" << escapeHtmlLines(d.text()) << "</pre>\n";
    } else {
        page << "<p>Not shown: no ellipsoid, mmCIF fragment of ovofit or table of principal components was given.</p></div>\n";
    }
    page << "</section>\n";
}

void filesSection(Page& page, const Run& run) {
    page << "<section id=\"files\"><h2>The files of the run</h2>\n<table class=\"files\"><tr><th class=\"t\">file</th><th>size (bytes)</th>"
            "<th class=\"t\">read for this report</th></tr>\n";
    for (const RunFile& f : run.files) {
        page << "<tr><td class=\"t\">" << h(f.name) << "</td><td>" << (f.size ? std::to_string(*f.size) : std::string("?"))
             << "</td><td class=\"t\">" << (f.read ? "yes" : "") << "</td></tr>\n";
    }
    page << "</table>\n</section>\n";
}

}  // namespace

void writeHtml(common::OutputFile& html, const Run& run) {
    Page page(html);
    page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
            // Nothing from outside, and no script: the pictures are data: URIs.
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
            "style-src 'unsafe-inline'\"/>\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n<title>Anisotropy report: "
         << h(run.dataSet) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
         << "<h1>Anisotropy correction of " << h(run.dataSet) << "</h1>\n";
    page << "<p class=\"about\">Data set <strong>" << h(run.dataSet) << "</strong> (named after " << h(run.dataSetFrom)
         << "); report written " << h(run.written) << " by ovoreport " << h(run.version) << ", in the run&#39;s folder "
         << h(run.folder) << ".";
    if (run.ovofitLimits) {
        const OvofitLimits& l = *run.ovofitLimits;
        page << " ovofit&#39;s parameters: limits by " << h(l.criterion) << ", I/&#x3C3;(I) threshold "
             << fixed(l.iOverSigmaThreshold, 2) << ", CC&#xBD; threshold " << fixed(l.ccThreshold, 2) << ".";
    }
    if (run.applied) {
        page << " Limits applied: " << fixed(run.applied->limitOfRow[0], 3) << ", " << fixed(run.applied->limitOfRow[1], 3)
             << ", " << fixed(run.applied->limitOfRow[2], 3) << " " << kAngstrom << ".";
    }
    page << "</p>\n";
    if (!run.symmetryWarnings.empty()) {
        page << "<div class=\"warn\"><p><strong>Warning:</strong> a log of other data? Its cell or space group is not "
                "the data&#39;s:</p><ul>\n";
        for (const std::string& w : run.symmetryWarnings) page << "<li>" << h(w) << "</li>\n";
        page << "</ul></div>\n";
    }
    if (!run.missing.empty()) {
        page << "<div class=\"missing\"><p><strong>Missing from this run</strong> (the rest is shown):</p><ul>\n";
        for (const std::string& m : run.missing) page << "<li>" << h(m) << "</li>\n";
        page << "</ul></div>\n";
    }
    runInNumbers(page, run);
    ovofitSection(page, run);
    pageSection(page, run);
    statisticsSection(page, run);
    depositionSection(page, run);
    filesSection(page, run);
    page << "</body>\n</html>\n";
}

}  // namespace ovoreport
