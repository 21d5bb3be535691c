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
// Where no XSCALE log exists, ovostats's table file stands for a log: given
// as the starting log its table of all the observations is read, given as
// the final log its table of the data kept (common/layout/merging_table).
//
// The logs are read and their shells paired by common/layout/shell_statistics,
// which ovoreport shares.
//
// Built twice from this file: with MERGETAB_RSYM_HEADER defined, the R
// column of the table is headed "rsym" instead of "rmerge".

#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/layout/merging_table.hpp"
#include "common/layout/shell_statistics.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "mergetab/mergetab.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace shell_statistics = common::shell_statistics;
using shell_statistics::isUndefined;
using shell_statistics::pairRows;
using shell_statistics::sameShell;
using shell_statistics::ShellRow;
using shell_statistics::ShellTable;
using shell_statistics::TableLine;
using shell_statistics::trimmedLabel;

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
    if (!shell_statistics::readTable(log, table)) {
        common::report(std::string(shell_statistics::kMissingTable) + " in " + log.name() +
                       "; the statistics file is left empty");
        return false;
    }
    return true;
}

// Whether `name` is a regular file that starts as a table of ovostats does
// (a pipe is never looked into: it is read once, as a log).
bool isOvostatsTable(const std::string& name) {
    struct stat info;
    if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "rb"), std::fclose);
    if (!file) return false;
    char first[64] = {};
    const size_t got = std::fread(first, 1, sizeof first, file.get());
    return common::merging_table::startsTable(std::string_view(first, got));
}

// The half of an ovostats table file that stands for a run: its table of
// all the observations before, of those kept after; false (reported) when
// the file has no such table.
bool scanTables(common::InputFile& file, bool kept, ShellTable& table) {
    namespace merging_table = common::merging_table;
    const std::string wanted = kept ? merging_table::kKeptName : merging_table::kAllName;
    while (const std::optional<merging_table::Table> t = merging_table::readTable(file)) {
        if (t->name == wanted) {
            table = merging_table::asShellTable(*t, file.name());
            return true;
        }
    }
    common::report("no table \"" + wanted + "\" in " + file.name() + "; the statistics file is left empty");
    return false;
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
    // ovostats's tables stand for the two runs where no XSCALE log exists:
    // the table of all the observations before, that of the data kept after.
    const bool startingTables = isOvostatsTable(names.startingLog);
    const bool finalTables = isOvostatsTable(names.finalLog);
    const auto scan = [](common::InputFile& file, bool tables, bool kept, ShellTable& table) {
        return tables ? scanTables(file, kept, table) : scanLog(file, table);
    };
    if (scan(startingLog, startingTables, false, starting) && scan(finalLog, finalTables, true, finished)) {
        // The data kept end before all the data do: no hint about XSCALE's shells.
        if (!startingTables && !finalTables) {
            reportDifferentShells(starting, finished, names.startingLog, names.finalLog);
        }
        writeStatisticsTable(statistics, starting, finished);
    } else {
        status = common::kExitNoResult;
    }
    common::say("all done");
    return status;
}

}  // namespace mergetab
