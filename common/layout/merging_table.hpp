// The merging statistics of unmerged data by resolution shell, as ovostats
// writes them and ovoreport, mergetab and the workflow's index read them:
// one table for all the observations and one for those inside the
// ellipsoid, in a text file and in a JSON file; and the deposition items
// (_reflns, _reflns_shell) made from a table.
//
// The text file, one table after the other:
//   "ovostats table: <name>"                   the table's heading ("all" or "kept")
//   "friedel: true|false"
//   the column heading line (kColumnHeading, or kAnomalousHeading)
//   one line a shell, then "overall", "inner" and "outer" lines, whose
//   first field is the label in place of d_max, d_min
//   "end of table"
// Fields are separated by blanks; a value not defined (no ellipsoid, no
// reflection measured twice) is "-". Shell lines: d_max d_min n_obs
// n_unique n_possible n_possible_ellipsoid completeness
// completeness_ellipsoid multiplicity r_merge r_meas r_pim i_over_sigma
// cc_half, then with Friedel's law off anomalous_completeness
// anomalous_multiplicity cc_anom.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/input_file.hpp"
#include "common/layout/shell_statistics.hpp"

namespace common::merging_table {

struct Shell {
    double dMax = 0, dMin = 0;  // Angstrom
    int64_t observations = 0;
    int64_t unique = 0;
    int64_t possible = 0;
    std::optional<int64_t> possibleInEllipsoid;
    std::optional<double> completeness;            // percent of possible
    std::optional<double> completenessEllipsoid;   // unique inside / possible inside, percent
    std::optional<double> multiplicity;
    std::optional<double> rMerge, rMeas, rPim;     // fractions
    std::optional<double> iOverSigma;
    std::optional<double> ccHalf;
    // Friedel's law off only.
    std::optional<double> anomalousCompleteness;   // percent of possible acentric with both mates
    std::optional<double> anomalousMultiplicity;
    std::optional<double> ccAnomalous;
};

struct Table {
    std::string name;          // "all" or "kept"
    bool friedelsLaw = true;
    std::vector<Shell> shells; // lowest resolution first
    Shell overall, inner, outer;
};

inline constexpr const char* kAllName = "all";
inline constexpr const char* kKeptName = "kept";

// The column heading line of a table.
std::string heading(bool friedelsLaw);

// The lines of one table, each without its line end.
std::vector<std::string> lines(const Table& table);

// The next table of the file, or nothing at the end of the file. A line
// that does not hold what its place calls for ends the run with the file,
// the line and the field.
std::optional<Table> readTable(InputFile& file);

// Whether a file's first line is the start of a table (a file of ovostats
// rather than a log).
bool startsTable(std::string_view firstLine);

// A table as the rows of a log's table, for the programs that pair a
// starting and a final run (mergetab): a row a shell labelled by its
// high-resolution limit (F6.2), then the "total" row of the overall one;
// completeness and Rmerge in percent, a value not defined as XDS marks it.
// More shells than a log's table holds ends the run.
shell_statistics::ShellTable asShellTable(const Table& table, const std::string& file);

// Both tables as a JSON object {"all": {...}, "kept": {...}}; each table is
// {"friedels_law": ..., "shells": [...], "overall": {...}, "inner": {...},
// "outer": {...}}; values not defined are null.
std::string json(const std::vector<Table>& tables);

// The deposition items of a table (the data deposited: the kept one): the
// _reflns items of its overall row, the names without "_reflns.", and a
// _reflns_shell loop, a row a shell, the tags without "_reflns_shell.".
// Values as mmCIF writes them; "?" for a value not defined.
struct DepositionItems {
    std::vector<std::pair<std::string, std::string>> reflns;
    std::vector<std::string> shellTags;
    std::vector<std::vector<std::string>> shellRows;
};
DepositionItems depositionItems(const Table& table);

}  // namespace common::merging_table
