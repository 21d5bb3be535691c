// The table of limits that ovofit prints on its standard output, and the
// reader that finds it again in a transcript of that output (the report
// program's way in). Fixed columns:
//
//   heading  "limits of the ellipsoid (A), criterion " (1-39), the criterion
//            right-aligned in 40-46 ("I/sigma" or "  CC1/2"),
//            ", I/sigma threshold" (47-65), F8.3 (66-73),
//            ", CC1/2 threshold" (74-90), F6.2 (91-96)
//   columns  kColumns, the names of the columns below
//   3 rows   I4 the axis (1-4); 3F8.4 its direction cosines in the frame, x
//            along a, y in the a-b plane, z along c* (5-28); F10.3 the
//            shell-edge limit (29-38) and its mark (39-45); F10.3 the limit
//            of the fitted I/sigma curve (46-55) and its mark (56-62);
//            F10.3 the limit of the fitted CC1/2 curve, or "-" right-aligned
//            for none (63-72), and its mark (73-79); 3X; from 83 to the end,
//            the direction as a combination of unit vectors along a*, b*,
//            c*, such as "0.87 a* - 0.50 c*"
//   end      kEnd
//
// A mark is blanks, " beyond" (the signal stays above the threshold to the
// data's edge along the axis: the limit written is that edge) or " lowest"
// (already below in the lowest shell: the limit written is its low edge).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace common::limits_table {

inline constexpr std::string_view kHeading = "limits of the ellipsoid (A), criterion ";
inline constexpr std::string_view kColumns =
    "axis   direction cosines x, y, z  shell edge       I/sigma fitted     CC1/2 fitted      along";
inline constexpr std::string_view kEnd = "end of the limits";

enum class Mark { none, beyond, lowest };
enum class Criterion { iOverSigma, cc };

struct Limit {
    double angstrom = 0;
    Mark mark = Mark::none;
};

struct Axis {
    std::array<double, 3> direction{};  // unit vector in the frame
    std::string combination;            // of a*, b*, c*
    Limit shellEdge;                    // the edge of the last shell above the I/sigma threshold
    Limit iOverSigma;                   // where the fitted mean I/sigma crosses its threshold
    std::optional<Limit> cc;            // where the fitted CC1/2 falls below its threshold (unmerged data)
};

struct Table {
    Criterion criterion = Criterion::iOverSigma;  // the limits the script takes
    double iOverSigmaThreshold = 1.5;
    double ccThreshold = 0.30;
    std::array<Axis, 3> axes;
    double threshold() const { return criterion == Criterion::cc ? ccThreshold : iOverSigmaThreshold; }
};

// The lines of the table, without line ends.
std::vector<std::string> lines(const Table& table);

// The first table in the transcript `path` (ovofit's standard output kept
// in a file); none when it holds no heading line. A table that is there but
// damaged (a row missing or a field that is not a number) ends the run with
// the file, line and columns in the report.
std::optional<Table> find(const std::string& path);

}  // namespace common::limits_table
