// The ovoclip input script, the one file that three programs share: ovofit
// (or a driver) writes it, ovoclip reads all of it, planeview records 3 and 5.
//
//   1  A80     name of the XDS reflection file to truncate
//   2  A80     name of the truncated reflection file to create
//   3  6F8.2   a, b, c (Angstrom), alpha, beta, gamma (degrees)
//   4  9F12.4  the ellipsoid axes, row by row
//   5  3F12.4  three resolution limits (Angstrom)
//
// ovoclip pairs the largest limit with row 1, the middle one with row 2 and
// the smallest with row 3, whatever their order in record 5
// (limitsByRow); a writer puts each axis in the row of its limit's rank
// (rowsByLimit), and record 5 in the order it likes.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/cell.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"

namespace common {

struct InputScript {
    std::string inputReflectionFile;   // record 1; as read, the whole record, blank-padded to 80 columns at least
    std::string outputReflectionFile;  // record 2; likewise
    UnitCell cell;
    float ellipsoidAxes[3][3] = {};    // row i is paired with the i-th largest limit
    float limits[3] = {};              // Angstrom, in record order
};

namespace input_script {

// The limits of rows 1, 2 and 3 of record 4: lowResLimit >= mediumResLimit
// >= highResLimit (a larger number is a lower resolution).
struct ResolutionLimits {
    float lowResLimit = 0;
    float mediumResLimit = 0;
    float highResLimit = 0;
};

// The reader's side: record 5 sorted, the largest first.
ResolutionLimits limitsByRow(const float limits[3]);

// The writer's side, for limits measured along three axes: the axis to put
// in each row, from the largest limit to the smallest, equal limits in the
// axes' order. Whatever order record 5 then keeps the limits in,
// limitsByRow gives each row its own axis's limit.
std::array<int, 3> rowsByLimit(const double limits[3]);

// Records 1 and 2: the whole record is the name. It is kept blank-padded
// to at least kNameColumns, the A80 of the older scripts, from whose first
// ten columns ovoclip names its reslimit file. A name that can name no file
// (a NUL byte, longer than kLongestName, a record cut by the reader) ends
// the run, before anything is made from it.
inline constexpr size_t kNameColumns = 80;
std::string readName(std::string_view record, const InputFile& script);

// Records 3, 4 and 5 from their lines; a field that is not a number ends the
// run with a report naming the line of `script` and the columns.
UnitCell readCell(std::string_view record, const LineSource& script);
void readAxes(std::string_view record, const LineSource& script, float axes[3][3]);
void readLimits(std::string_view record, const LineSource& script, float limits[3]);

// Whether a name written as record 1 or 2 reads back as the same name:
// one that names a file, not empty, without a trailing blank or a line
// break.
bool nameFits(std::string_view name);

// The five records as text. The names are written as they are opened
// (trailing blanks dropped) and left-justified, so that they read back
// unchanged. A number too large for its field comes out as asterisks,
// which no reader takes: check with unwritableRecord before writing.
std::array<std::string, 5> records(const InputScript& contents);

// The number (1-5) of the first record with a field of asterisks, or 0.
int unwritableRecord(const std::array<std::string, 5>& records);

void write(OutputFile& script, const std::array<std::string, 5>& records);

}  // namespace input_script

}  // namespace common
