// The statistics by resolution shell of an XSCALE.LP or CORRECT.LP log, and
// the pairing of the shells of two such logs, a starting and a final run.
// mergetab puts the pairs side by side in its table, ovoreport in its
// report; both read and pair them here so that the two never differ.
//
// In each log the table follows the first line with "= -3.0" in columns
// 46-51: three lines are skipped, then the shell rows are read by columns,
// up to and including the "total" row, at most 21 rows. A CORRECT log (its
// first non-blank line holds "***** CORRECT *****") has one table for each
// growing range of images; the table of the whole data set is the one after
// the line that begins "STATISTICS OF SAVED DATA SET". A log line is seen as
// its first 90 characters.
//
// A shell row, whole right-justified fields: label 4-9, observed 10-21,
// unique 22-29, possible 30-39, completeness 40-50, R-factor 52-61,
// I/sigma 84-89 (a count of a million observations starts in column 15 and
// an R-factor of 1000% in column 56, so narrower slices would cut off
// leading digits). The redundancy is observed over unique reflections.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/input_file.hpp"

namespace common::shell_statistics {

// A table ends with its "total" row, or after 21 rows when none comes.
inline constexpr int kMaxRows = 21;
inline constexpr size_t kLabelWidth = 6;

// What a report says the log lacks when readTable finds no table.
inline constexpr std::string_view kMissingTable =
    "no marker line (\"= -3.0\" in columns 46-51; in a CORRECT log, after the line STATISTICS OF SAVED DATA SET)";

// What XDS writes where a value has no meaning (older versions -99.0).
inline constexpr float kXdsUndefined = -99.9f;
inline bool isUndefined(float value) { return value == kXdsUndefined || value == -99.0f; }

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
    // observed over unique; kXdsUndefined for a shell without unique
    // reflections (beyond a run's cut), which has none
    float redundancy = 0;
};

struct ShellTable {
    std::array<ShellRow, kMaxRows> rows;
    int count = 0;           // rows read, the total row included
    bool hasTotal = false;   // the last row read is the "total" row
    bool fromCorrect = false;  // the log is CORRECT's (its whole-data table)

    int shellCount() const { return hasTotal ? count - 1 : count; }
    const ShellRow* shell(int j) const { return j < shellCount() ? &rows[static_cast<size_t>(j)] : nullptr; }
    const ShellRow* total() const { return hasTotal ? &rows[static_cast<size_t>(count - 1)] : nullptr; }
};

// Reads the compared table of the log into `table`; false when the log has
// no marker line (nothing is reported). A shell row with a field that is no
// number, or a log that ends inside the table, ends the run with a report
// naming the line.
bool readTable(InputFile& log, ShellTable& table);

// The shell limit of a label: columns 4-9 without their blanks, when they
// are one finite number and nothing else.
std::optional<double> shellLimit(std::string_view label);
bool sameShell(const ShellRow& a, const ShellRow& b);

// One line of the paired table.
struct TableLine {
    const ShellRow* before = nullptr;  // null where the starting log has no row for this line
    const ShellRow* after = nullptr;   // likewise the final log
};

// Shell rows pair when their limits are equal, or when neither label is a
// number and the two labels are equal once their blanks are removed; otherwise the two lists,
// each from low to high resolution, are merged: the row of the larger limit
// comes first on a line of its own, the other half blank, and a row whose
// label is not a number comes out where it stands, before the other log's
// next row. The two total rows share the last line. Two logs of the same
// shells thus pair row by row. The lines point into the two tables.
std::vector<TableLine> pairRows(const ShellTable& starting, const ShellTable& finished);

// The label without its blanks around it; "(none)" for no row, "(blank)"
// for a blank label.
std::string trimmedLabel(const ShellRow* row);

}  // namespace common::shell_statistics
