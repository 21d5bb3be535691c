// Reflections of an MTZ file as the suite reads them through gemmi: the
// headers held to the file's size before gemmi allocates, the cell and the
// space group checked, the columns of merged data (IMEAN, I(+)/I(-), F) or
// of unmerged data (M/ISYM, BATCH, I, as Aimless and DIALS write them)
// found by their labels, and the rows read a block at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gemmi/mtz.hpp>

#include "common/cell.hpp"
#include "common/reflections/xds_file.hpp"

namespace common::reflections {

// The headers of an MTZ file (no data yet), checked: the size claims
// (common::checkMtzClaims), the first three columns H, K, L, a named space
// group, a cell that is one (gemmi takes a cell of zeros for a 1 A cube)
// and that the group allows. Any fault ends the run naming the file.
struct MtzHeaders {
    std::string name;
    uint64_t fileSize = 0;
    gemmi::Mtz mtz{false};
    common::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    bool unmerged() const { return !mtz.batches.empty() || mtz.column_with_label("M/ISYM") != nullptr; }
};
MtzHeaders readMtzHeaders(const std::string& path);

// The headers and all the rows (for a program that carries the columns
// through), every row's indices checked as readMtzRows does.
MtzHeaders readMtzWhole(const std::string& path);

// The columns observations are taken from. A merged file: one value and its
// sigma (IMEAN SIGIMEAN, or amplitudes), and/or the pairs of I(+) and I(-);
// an unmerged one: I SIGI with M/ISYM and BATCH.
struct MtzColumns {
    int value = -1, sigma = -1;            // the mean (IMEAN, F, I of unmerged data)
    int plus = -1, sigmaPlus = -1;         // I(+) SIGI(+) (F(+) SIGF(+))
    int minus = -1, sigmaMinus = -1;       // I(-) SIGI(-)
    int isym = -1, batch = -1;             // unmerged data
    bool amplitudes = false;
    std::string labels;                    // those used, for the terminal: "IMEAN SIGIMEAN"
    bool anomalous() const { return plus >= 0 && minus >= 0; }
};

// `labels` "V SIGV" as typed chooses the value (a pair of anomalous columns
// is then not taken); blank chooses by what the file holds: unmerged I SIGI;
// merged IMEAN SIGIMEAN, and I(+) SIGI(+) I(-) SIGI(-) beside it or alone,
// else FP SIGFP or F SIGF. A label not in the file, or a column of the wrong
// type, ends the run naming the file and listing its columns.
MtzColumns chooseMtzColumns(const MtzHeaders& headers, const std::string& labels);

// The value at `column` of a row, or NaN when missing (NaN or the file's
// VALM).
inline float mtzValue(const gemmi::Mtz& mtz, const float* row, int column) {
    const float v = row[column];
    return (!std::isnan(mtz.valm) && v == mtz.valm) ? NAN : v;
}

// The rows of an MTZ file, read from the file a block at a time (memory
// bounded whatever the file), each row's indices checked to be integers
// within the merge's limits; a row that is not ends the run naming the file
// and the row.
class MtzRows {
public:
    explicit MtzRows(const MtzHeaders& headers);
    ~MtzRows();
    MtzRows(const MtzRows&) = delete;
    MtzRows& operator=(const MtzRows&) = delete;
    // The next row (columns as in the headers), or false after the last.
    bool next(const float*& row);
    int64_t rowNumber() const { return row_; }  // of the last row given, from 1

private:
    const MtzHeaders& headers_;
    std::FILE* file_ = nullptr;
    std::vector<float> block_;
    size_t columns_;
    size_t inBlock_ = 0, at_ = 0;
    int64_t row_ = 0, left_ = 0;
};

// Ends the run unless h, k, l of a row are integers within the merge's
// limits: "row N of FILE: ...".
void checkRowIndices(const std::string& file, int64_t rowNumber, const float* row);

// Observations from an MTZ file's rows: of unmerged data their indices as
// measured (the unit's turned back by M/ISYM, minus them for an odd one) and
// their batch; of merged data each row's value, or with `anomalous` columns
// its I(+) at the row's indices and its I(-) at minus them; amplitudes as
// intensities, F^2 with sigma 2 F sigma(F) (at least sigma(F)^2). Missing
// values are not given.
class MtzObservations {
public:
    MtzObservations(const MtzHeaders& headers, const MtzColumns& columns);
    bool next(Observation& observation);
    int64_t rowNumber() const { return rows_.rowNumber(); }

private:
    const MtzHeaders& headers_;
    MtzColumns columns_;
    MtzRows rows_;
    // The inverse rotations of the file's symmetry operators (SYMM records,
    // in their order), for M/ISYM: h' = h R^-1, whole numbers.
    std::vector<std::array<int32_t, 9>> inverse_;
    const float* pending_ = nullptr;  // a merged row whose I(-) is still to give
};

}  // namespace common::reflections
