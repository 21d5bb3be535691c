// mergetab: the statistics by resolution shell of two XSCALE runs, the
// starting run and the final run, side by side in a preformatted HTML table.
//
// Run: three file names on standard input (starting XSCALE.LP, final
// XSCALE.LP, statistics file to create). In each log the table follows the
// first line with "= -3.0" in columns 46-51: three lines are skipped, then
// 21 shell rows are read by columns. Both logs are read completely before
// the statistics file gets its 25 records, so it holds all of them or none.
// Exit 0 with a table written, 1 when a log has no marker line (the
// statistics file then stays empty), 2 on a failed open or read.
//
// Built twice from this file: with MERGETAB_RSYM_HEADER defined, the R
// column of the table is headed "rsym" instead of "rmerge".

#include "common/failure.hpp"
#include "common/files.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "mergetab/mergetab.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

constexpr size_t kNameWidth = 90;
// A log line is seen as its first 90 characters.
constexpr size_t kLineWidth = 90;

constexpr std::string_view kMarker = "= -3.0";
constexpr int kMarkerFirst = 46;
constexpr int kMarkerLast = 51;

constexpr int kSkippedLines = 3;
constexpr int kShellRows = 21;
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

using ShellTable = std::array<ShellRow, kShellRows>;

struct MergetabFileNames {
    std::string startingLog;
    std::string finalLog;
    std::string statistics;
};

MergetabFileNames askFileNames() {
    MergetabFileNames names;
    names.startingLog = common::askFileName("Please name starting XSCALE.LP file",
                                            "name of the starting XSCALE.LP file", kNameWidth);
    names.finalLog =
        common::askFileName("Please name final XSCALE.LP file", "name of the final XSCALE.LP file", kNameWidth);
    names.statistics =
        common::askFileName("Please name output statistics file", "name of the statistics file", kNameWidth);
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

    row.redundancy = row.observed / row.secondCount;
    row.observedCount = truncateToCount(row.observed);
    return row;
}

// Skips the three lines after the marker and reads the 21 shell rows.
void readShellRows(common::InputFile& log, ShellTable& table) {
    for (int i = 1; i <= kSkippedLines; ++i) {
        log.nextOrFail("line " + std::to_string(i) + " of the 3 lines after the \"= -3.0\" marker line");
    }
    for (int j = 0; j < kShellRows; ++j) {
        const std::string_view line =
            log.nextOrFail("shell row " + std::to_string(j + 1) + " of " + std::to_string(kShellRows));
        table[static_cast<size_t>(j)] = readShellRow(line, log);
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

void appendObservedCount(common::RecordBuffer& record, const std::optional<int32_t>& count) {
    if (count) {
        record.integer(*count, 6);
    } else {
        record.text("******");
    }
}

// A8, 3X, I6, I6, 3X, F5.1, F5.1, 1X, F7.1, '%', F7.1, '%', 1X, F7.1, '%',
// F6.1, '%', 1X, F7.1, F6.1
void writeTableRow(common::OutputFile& statistics, const ShellRow& before, const ShellRow& after) {
    common::RecordBuffer record;
    record.blanks(2);
    appendEscapedLabel(record, before.label);
    record.blanks(3);
    appendObservedCount(record, before.observedCount);
    appendObservedCount(record, after.observedCount);
    record.blanks(3).fixed(before.redundancy, 5, 1).fixed(after.redundancy, 5, 1);
    record.blanks(1).fixed(before.completeness, 7, 1).text("%").fixed(after.completeness, 7, 1).text("%");
    record.blanks(1).fixed(before.rmerge, 7, 1).text("%").fixed(after.rmerge, 6, 1).text("%");
    record.blanks(1).fixed(before.isigma, 7, 1).fixed(after.isigma, 6, 1);
    statistics.writeRecord(record.view());
}

void writeStatisticsTable(common::OutputFile& statistics, const ShellTable& starting, const ShellTable& finished) {
    statistics.writeRecord(common::FreeLine().text("<pre>").str());
    statistics.writeRecord(common::FreeLine().text(kHeader1).str());
    statistics.writeRecord(common::FreeLine().text(kHeader2).str());
    for (size_t j = 0; j < starting.size(); ++j) writeTableRow(statistics, starting[j], finished[j]);
    statistics.writeRecord(common::FreeLine().text("</pre>").str());
    statistics.close();
}

// Reads the table of one log into `table`; false when the log has no marker
// line, after reporting it.
bool scanLog(common::InputFile& log, ShellTable& table) {
    if (!findMarker(log)) {
        common::report("no marker line (\"= -3.0\" in columns 46-51) in " + log.name() +
                       "; the statistics file is left empty");
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
        writeStatisticsTable(statistics, starting, finished);
    } else {
        status = common::kExitNoResult;
    }
    common::say("all done");
    return status;
}

}  // namespace mergetab
