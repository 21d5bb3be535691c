// mergetab: the statistics by resolution shell of two XSCALE runs, the
// starting run and the final run, side by side in a preformatted HTML table.
//
// Run: three file names on standard input (starting XSCALE.LP, final
// XSCALE.LP, statistics file to create). In each log the table follows the
// first line with "= -3.0" in columns 46-51: three lines are skipped, then
// the shell rows are read by columns, up to and including the "total" row,
// at most 21 rows. A CORRECT log (its first non-blank line holds
// "***** CORRECT *****") has one table for each growing range of images;
// the table of the whole data set is the one after the line that begins
// "STATISTICS OF SAVED DATA SET". XSCALE and CORRECT list as many shells as
// the run's RESOLUTION_SHELLS asks for (20 by default in XSCALE, 9 in
// CORRECT), so the two logs may list different shells: rows pair when their
// limits are equal, a shell of one log only has a line of its own (the two
// lists merged from low to high resolution), the totals share the last line,
// and standard error says so once. Both logs are read completely before the
// statistics file gets its records, so it holds all of them or none.
// Exit 0 with a table written, 1 when a log has no marker line (the
// statistics file then stays empty), 2 on a failed open or read.
//
// Built twice from this file: with MERGETAB_RSYM_HEADER defined, the R
// column of the table is headed "rsym" instead of "rmerge".

#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "mergetab/mergetab.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

#ifdef MERGETAB_RSYM_HEADER
constexpr std::string_view kHeader1 =
    "resolution   observed     redundancy    completenes         rsym          i/sigma ";
#else
constexpr std::string_view kHeader1 =
    "resolution   observed     redundancy    completenes        rmerge         i/sigma ";
#endif
constexpr std::string_view kHeader2 =
    "           before/after  before/after   before/after    before/after   before/after";
static_assert(kHeader1.size() == 82 && kHeader2.size() == 83);

// A log line is seen as its first 90 characters.
constexpr size_t kLineWidth = 90;

constexpr std::string_view kMarker = "= -3.0";
constexpr int kMarkerFirst = 46;
constexpr int kMarkerLast = 51;

constexpr std::string_view kCorrectBanner = "***** CORRECT *****";
constexpr std::string_view kWholeDataSet = "STATISTICS OF SAVED DATA SET";

constexpr int kSkippedLines = 3;
// A table ends with its "total" row, or after 21 rows when none comes.
constexpr int kMaxRows = 21;
constexpr size_t kLabelWidth = 6;

struct ShellRow {
    std::string label;  // columns 4-9 as they stand, always 6 characters
    float observed = 0;
    float secondCount = 0;  // UNIQUE reflections
    float thirdCount = 0;   // POSSIBLE reflections; read, not used
    float completeness = 0;
    float rmerge = 0;
    float isigma = 0;
    // observed truncated toward zero; empty when it has no 32-bit value
    std::optional<int32_t> observedCount;
    float redundancy = 0;
};

struct ShellTable {
    std::array<ShellRow, kMaxRows> rows;
    int count = 0;          // rows read, the total row included
    bool hasTotal = false;  // the last row read is the "total" row

    int shellCount() const { return hasTotal ? count - 1 : count; }
    const ShellRow* shell(int j) const { return j < shellCount() ? &rows[static_cast<size_t>(j)] : nullptr; }
    const ShellRow* total() const { return hasTotal ? &rows[static_cast<size_t>(count - 1)] : nullptr; }
};

struct MergetabFileNames {
    std::string startingLog;
    std::string finalLog;
    std::string statistics;
};

MergetabFileNames askFileNames() {
    MergetabFileNames names;
    names.startingLog = common::askFileName("Please name starting XSCALE.LP file",
                                            "name of the starting XSCALE.LP file");
    names.finalLog =
        common::askFileName("Please name final XSCALE.LP file", "name of the final XSCALE.LP file");
    names.statistics =
        common::askFileName("Please name output statistics file", "name of the statistics file");
    return names;
}

std::string_view lineBuffer(std::string_view line) { return line.substr(0, std::min(line.size(), kLineWidth)); }

// Reads up to and including the first marker line; false when the log ends
// first. The table stands near the end of a long log: the log is searched
// for the marker rather than read line by line (the marker lies within the
// 90 columns of a line that are seen).
bool findMarker(common::InputFile& log) {
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
bool findWholeDataTable(common::InputFile& log) {
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
bool findTable(common::InputFile& log) {
    std::string_view line;
    while (log.next(line)) {
        const std::string_view seen = lineBuffer(line);
        if (withoutLeadingBlanks(seen).empty()) continue;
        if (seen.find(kCorrectBanner) != std::string_view::npos) return findWholeDataTable(log);
        return isMarkerLine(seen) || findMarker(log);
    }
    return false;
}

// What XDS writes where a value has no meaning.
constexpr float kXdsUndefined = -99.9f;

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
ShellRow readShellRow(std::string_view line, const common::InputFile& log) {
    ShellRow row;
    common::RecordCursor cursor(lineBuffer(line), log);
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
void readShellRows(common::InputFile& log, ShellTable& table) {
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

// The label goes into a web page: markup characters are written as
// entities.
void appendEscapedLabel(common::RecordBuffer& record, std::string_view label) {
    for (const char c : label) {
        switch (c) {
            case '&': record.text("&amp;"); break;
            case '<': record.text("&lt;"); break;
            case '>': record.text("&gt;"); break;
            default: record.text(std::string_view(&c, 1)); break;
        }
    }
}

// The two count columns are I6 while every count fits in five characters,
// so that a blank stands before each; a wider count widens both columns of
// the whole table, and the header words above them move with them.
struct TableLayout {
    int countWidth = 6;
    std::string header1;
    std::string header2;
};

size_t countCharacters(int32_t count) { return std::to_string(count).size(); }

// `header` with `extra` blanks before and after the word at [first, end),
// which then stays centred over the widened count columns.
std::string widenAround(std::string_view header, size_t first, size_t end, int extra) {
    std::string widened(header);
    widened.insert(end, static_cast<size_t>(extra), ' ');
    widened.insert(first, static_cast<size_t>(extra), ' ');
    return widened;
}

struct TableLine {
    const ShellRow* before = nullptr;  // null where table 1 has no row for this line
    const ShellRow* after = nullptr;   // likewise table 2
};

TableLayout layoutFor(const std::vector<TableLine>& lines) {
    size_t widest = 0;
    for (const TableLine& line : lines) {
        for (const ShellRow* row : {line.before, line.after}) {
            if (row && row->observedCount) widest = std::max(widest, countCharacters(*row->observedCount));
        }
    }
    TableLayout layout;
    const int extra = widest > 5 ? static_cast<int>(widest) - 5 : 0;
    layout.countWidth = 6 + extra;
    static_assert(kHeader1.substr(13, 8) == "observed" && kHeader2.substr(11, 12) == "before/after");
    layout.header1 = widenAround(kHeader1, 13, 21, extra);
    layout.header2 = widenAround(kHeader2, 11, 23, extra);
    return layout;
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
    return limitA && limitB && *limitA == *limitB;
}

// Shell rows pair when their limits are equal; otherwise the two lists,
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

// Once, when the two logs do not list the same shells in the same order:
// the first two labels that differ, and how to get a line-by-line table.
void reportDifferentShells(const ShellTable& starting, const ShellTable& finished, const std::string& startingName,
                           const std::string& finalName) {
    const int shells = std::max(starting.shellCount(), finished.shellCount());
    for (int j = 0; j < shells; ++j) {
        const ShellRow* a = starting.shell(j);
        const ShellRow* b = finished.shell(j);
        if (a && b && sameShell(*a, *b)) continue;
        common::report("the two logs list different shells: shell " + std::to_string(j + 1) + " is " +
                       trimmedLabel(a) + " in " + startingName + " but " + trimmedLabel(b) + " in " + finalName +
                       "; a shell of one log only has a line of its own. For a line-by-line table, give both "
                       "XSCALE runs the same RESOLUTION_SHELLS=");
        return;
    }
}

void appendObservedCount(common::RecordBuffer& record, const ShellRow* row, int width) {
    if (!row) {
        record.blanks(width);
    } else if (row->observedCount) {
        record.integer(*row->observedCount, width);
    } else {
        record.text(std::string(static_cast<size_t>(width), '*'));
    }
}

// XDS writes -99.9 (older versions -99.0) where a value has no meaning, an
// R-factor of a shell without repeated measurements for one.
bool isUndefined(float value) { return value == kXdsUndefined || value == -99.0f; }

// Fw.d of one field of the row, or w blanks for the blank half of a line
// and for a value that is undefined.
void appendValue(common::RecordBuffer& record, const ShellRow* row, float ShellRow::*field, int width) {
    if (row && !isUndefined(row->*field)) {
        record.fixed(row->*field, width, 1);
    } else {
        record.blanks(width);
    }
}

// Fw.d and its percent sign, blanks together.
void appendPercentage(common::RecordBuffer& record, const ShellRow* row, float ShellRow::*field, int width) {
    appendValue(record, row, field, width);
    record.text(row && !isUndefined(row->*field) ? "%" : " ");
}

// A8, 3X, Iw, Iw, 3X, F5.1, F5.1, 1X, F7.1, '%', F7.1, '%', 1X, F7.1, '%',
// F6.1, '%', 1X, F7.1, F6.1 with w = 6 unless a count needs more
void writeTableRow(common::OutputFile& statistics, const TableLine& line, int countWidth) {
    const ShellRow* before = line.before;
    const ShellRow* after = line.after;
    common::RecordBuffer record;
    record.blanks(2);
    appendEscapedLabel(record, before ? before->label : after->label);
    record.blanks(3);
    appendObservedCount(record, before, countWidth);
    appendObservedCount(record, after, countWidth);
    record.blanks(3);
    appendValue(record, before, &ShellRow::redundancy, 5);
    appendValue(record, after, &ShellRow::redundancy, 5);
    record.blanks(1);
    appendPercentage(record, before, &ShellRow::completeness, 7);
    appendPercentage(record, after, &ShellRow::completeness, 7);
    record.blanks(1);
    appendPercentage(record, before, &ShellRow::rmerge, 7);
    appendPercentage(record, after, &ShellRow::rmerge, 6);
    record.blanks(1);
    appendValue(record, before, &ShellRow::isigma, 7);
    appendValue(record, after, &ShellRow::isigma, 6);
    statistics.writeRecord(record.view());
}

void writeStatisticsTable(common::OutputFile& statistics, const ShellTable& starting, const ShellTable& finished) {
    const std::vector<TableLine> lines = pairRows(starting, finished);
    const TableLayout layout = layoutFor(lines);
    statistics.writeRecord(common::FreeLine().text("<pre>").str());
    statistics.writeRecord(common::FreeLine().text(layout.header1).str());
    statistics.writeRecord(common::FreeLine().text(layout.header2).str());
    for (const TableLine& line : lines) writeTableRow(statistics, line, layout.countWidth);
    statistics.writeRecord(common::FreeLine().text("</pre>").str());
    statistics.close();
}

// Reads the table of one log into `table`; false when the log has no marker
// line, after reporting it.
bool scanLog(common::InputFile& log, ShellTable& table) {
    if (!findTable(log)) {
        common::report("no marker line (\"= -3.0\" in columns 46-51; in a CORRECT log, after the line "
                       "STATISTICS OF SAVED DATA SET) in " +
                       log.name() + "; the statistics file is left empty");
        return false;
    }
    readShellRows(log, table);
    return true;
}

}  // namespace

namespace mergetab {

int runMergetab() {
    const MergetabFileNames names = askFileNames();
    common::InputFile startingLog(names.startingLog);
    common::InputFile finalLog(names.finalLog);
    common::OutputFile statistics(names.statistics);

    ShellTable starting;
    ShellTable finished;
    int status = 0;
    if (scanLog(startingLog, starting) && scanLog(finalLog, finished)) {
        reportDifferentShells(starting, finished, names.startingLog, names.finalLog);
        writeStatisticsTable(statistics, starting, finished);
    } else {
        status = common::kExitNoResult;
    }
    common::say("all done");
    return status;
}

}  // namespace mergetab
