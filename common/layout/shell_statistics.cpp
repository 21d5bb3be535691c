// The shell statistics of XSCALE and CORRECT logs (see the header).
#include "common/layout/shell_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "common/records.hpp"

namespace common::shell_statistics {

namespace {

// A log line is seen as its first 90 characters.
constexpr size_t kLineWidth = 90;

constexpr std::string_view kMarker = "= -3.0";
constexpr int kMarkerFirst = 46;
constexpr int kMarkerLast = 51;

constexpr std::string_view kCorrectBanner = "***** CORRECT *****";
constexpr std::string_view kWholeDataSet = "STATISTICS OF SAVED DATA SET";

constexpr int kSkippedLines = 3;

std::string_view lineBuffer(std::string_view line) { return line.substr(0, std::min(line.size(), kLineWidth)); }

// Reads up to and including the first marker line; false when the log ends
// first. The table stands near the end of a long log: the log is searched
// for the marker rather than read line by line (the marker lies within the
// 90 columns of a line that are seen).
bool findMarker(InputFile& log) {
    static_assert(kMarkerLast - kMarkerFirst + 1 == kMarker.size() && kMarkerLast <= kLineWidth);
    std::string_view line;
    return log.skipToLine(kMarker, kMarkerFirst, line);
}

bool isMarkerLine(std::string_view seen) {
    return seen.size() >= kMarkerLast && seen.substr(kMarkerFirst - 1, kMarker.size()) == kMarker;
}

std::string_view withoutLeadingBlanks(std::string_view seen) {
    const size_t first = seen.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string_view() : seen.substr(first);
}

// In a CORRECT log: reads up to the line that begins (after its blanks)
// "STATISTICS OF SAVED DATA SET" and then to the first marker line after
// it; false when either is missing.
bool findWholeDataTable(InputFile& log) {
    std::string_view line;
    while (log.next(line)) {
        if (withoutLeadingBlanks(lineBuffer(line)).starts_with(kWholeDataSet)) return findMarker(log);
    }
    return false;
}

// Reads up to and including the marker line of the table that is compared:
// the first one of an XSCALE log, the one of the whole data set in a CORRECT
// log, whose first table covers only the first images. The log's first
// non-blank line tells which program wrote it.
bool findTable(InputFile& log, bool& fromCorrect) {
    std::string_view line;
    while (log.next(line)) {
        const std::string_view seen = lineBuffer(line);
        if (withoutLeadingBlanks(seen).empty()) continue;
        if (seen.find(kCorrectBanner) != std::string_view::npos) {
            fromCorrect = true;
            return findWholeDataTable(log);
        }
        return isMarkerLine(seen) || findMarker(log);
    }
    return false;
}

std::optional<int32_t> truncateToCount(float observed) {
    // Every float strictly between these bounds truncates to a 32-bit value;
    // NaN fails both tests.
    if (observed > -2147483649.0 && observed < 2147483648.0) return static_cast<int32_t>(observed);
    return std::nullopt;
}

// One shell row. Each number is read from its whole right-justified field
// (label 4-9, observed 10-21, secondCount 22-29, thirdCount 30-39,
// completeness 40-50, rmerge 52-61, isigma 84-89): a count of a million
// observations starts in column 15 and an R-factor of 1000% in column 56, so
// narrower slices would cut off leading digits. The redundancy is observed
// over UNIQUE reflections.
ShellRow readShellRow(std::string_view line, const InputFile& log) {
    ShellRow row;
    RecordCursor cursor(lineBuffer(line), log);
    cursor.skip(3);
    row.label = std::string(cursor.readText(6));
    row.label.resize(kLabelWidth, ' ');
    row.observed = cursor.readFree(12);
    row.secondCount = cursor.readFree(8);
    row.thirdCount = cursor.readFree(10);
    row.completeness = cursor.readFree(11);
    cursor.skip(1);
    row.rmerge = cursor.readFree(10);
    cursor.skip(22);
    row.isigma = cursor.readFree(6);

    // A shell without unique reflections (beyond a run's cut) has no
    // redundancy: marked undefined as XDS marks its own, and written blank.
    row.redundancy = row.secondCount == 0 ? kXdsUndefined : row.observed / row.secondCount;
    row.observedCount = truncateToCount(row.observed);
    return row;
}

// XSCALE and CORRECT close the table with a row labelled "total".
bool isTotalLabel(std::string_view label) {
    std::string word;
    for (const char c : label) {
        if (c != ' ') word += c;
    }
    return word == "total";
}

// Skips the three lines after the marker and reads the shell rows up to and
// including the total row, at most 21 of them.
void readShellRows(InputFile& log, ShellTable& table) {
    for (int i = 1; i <= kSkippedLines; ++i) {
        log.nextOrFail("line " + std::to_string(i) + " of the 3 lines after the \"= -3.0\" marker line");
    }
    table.count = 0;
    table.hasTotal = false;
    while (table.count < kMaxRows && !table.hasTotal) {
        const std::string_view line = log.nextOrFail("shell row " + std::to_string(table.count + 1) +
                                                     " (the table ends with its \"total\" row)");
        ShellRow& row = table.rows[static_cast<size_t>(table.count++)];
        row = readShellRow(line, log);
        table.hasTotal = isTotalLabel(row.label);
    }
}

}  // namespace

bool readTable(InputFile& log, ShellTable& table) {
    table.fromCorrect = false;
    if (!findTable(log, table.fromCorrect)) return false;
    readShellRows(log, table);
    return true;
}

// The shell limit of a label: columns 4-9 without their blanks, when they
// are one finite number (digits with at most one point, an optional sign
// and exponent) and nothing else.
std::optional<double> shellLimit(std::string_view label) {
    std::string text;
    for (const char c : label) {
        if (c != ' ') text += c;
    }
    size_t at = 0;
    const auto digits = [&] {
        const size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at - from;
    };
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    size_t mantissa = digits();
    if (at < text.size() && text[at] == '.') {
        ++at;
        mantissa += digits();
    }
    if (mantissa == 0) return std::nullopt;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (digits() == 0) return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    const double value = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

bool sameShell(const ShellRow& a, const ShellRow& b) {
    const std::optional<double> limitA = shellLimit(a.label);
    const std::optional<double> limitB = shellLimit(b.label);
    if (limitA || limitB) return limitA && limitB && *limitA == *limitB;
    // Two labels that are no numbers (a blank one, "<2&>") are the same
    // shell when they read alike, blanks aside.
    const auto withoutBlanks = [](std::string_view label) {
        std::string text;
        for (const char c : label) {
            if (c != ' ') text += c;
        }
        return text;
    };
    return withoutBlanks(a.label) == withoutBlanks(b.label);
}

// Shell rows pair when their limits are equal, or when neither label is a
// number and the two read alike, blanks aside; otherwise the two lists,
// each from low to high resolution, are merged: the row of the larger limit
// comes first on a line of its own, the other half blank, and a row whose
// label is not a number comes out where it stands, before the other log's
// next row. The two total rows share the last line. Two logs of the same
// shells thus pair row by row.
std::vector<TableLine> pairRows(const ShellTable& starting, const ShellTable& finished) {
    std::vector<TableLine> lines;
    int i = 0;
    int j = 0;
    while (i < starting.shellCount() || j < finished.shellCount()) {
        const ShellRow* a = starting.shell(i);
        const ShellRow* b = finished.shell(j);
        if (a && b && sameShell(*a, *b)) {
            lines.push_back({a, b});
            ++i;
            ++j;
            continue;
        }
        const std::optional<double> limitA = a ? shellLimit(a->label) : std::nullopt;
        const std::optional<double> limitB = b ? shellLimit(b->label) : std::nullopt;
        const bool startingFirst = a && (!b || !limitA || (limitB && *limitA > *limitB));
        if (startingFirst) {
            lines.push_back({a, nullptr});
            ++i;
        } else {
            lines.push_back({nullptr, b});
            ++j;
        }
    }
    if (starting.hasTotal || finished.hasTotal) lines.push_back({starting.total(), finished.total()});
    return lines;
}

std::string trimmedLabel(const ShellRow* row) {
    if (!row) return "(none)";
    const size_t first = row->label.find_first_not_of(' ');
    if (first == std::string::npos) return "(blank)";
    return row->label.substr(first, row->label.find_last_not_of(' ') - first + 1);
}

}  // namespace common::shell_statistics
