#include "common/reflections/mtz_file.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/mtz_input.hpp"
#include "common/records.hpp"
#include "common/reflections/cell_check.hpp"
#include "common/reflections/merge.hpp"

namespace common::reflections {

namespace {

// Rows read at once: 64k rows of up to 16 columns is 4 MB.
constexpr size_t kBlockBytes = size_t{4} << 20;

std::string columnList(const gemmi::Mtz& mtz) {
    std::string present;
    for (const gemmi::Mtz::Column& c : mtz.columns) present += " " + c.label + "(" + std::string(1, c.type) + ")";
    return present;
}

int columnOf(const MtzHeaders& headers, const std::string& label, const std::string& types) {
    const gemmi::Mtz::Column* found = headers.mtz.column_with_label(label);
    if (found == nullptr) {
        common::fail("no column " + label + " in " + common::quoted(headers.name) + "; its columns:" +
                     columnList(headers.mtz));
    }
    if (types.find(found->type) == std::string::npos) {
        common::fail("column " + label + " of " + common::quoted(headers.name) + " is of type " +
                     std::string(1, found->type) + ", not " + types);
    }
    return static_cast<int>(found->idx);
}

MtzHeaders readHeaders(const std::string& path, bool withData) {
    MtzHeaders headers;
    headers.name = path;
    try {
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) {
            common::fail("cannot read " + common::quoted(path) + ": not a regular file");
        }
        headers.fileSize = std::filesystem::file_size(path, error);
        if (error) common::fail("cannot read " + common::quoted(path) + ": " + error.message());
        gemmi::fileptr_t file = gemmi::file_open(path.c_str(), "rb");
        gemmi::FileStream stream{file.get()};
        if (withData) {
            common::readMtzChecked(headers.mtz, stream, headers.fileSize);
        } else {
            common::checkMtzClaims(stream, headers.fileSize);
            headers.mtz.read_all_headers(stream);
            const auto& columns = headers.mtz.columns;
            if (columns.size() < 3 || columns[0].type != 'H' || columns[1].type != 'H' || columns[2].type != 'H') {
                gemmi::fail("its first three columns are not the indices H, K, L (a cut file?)");
            }
        }
    } catch (const common::RunTimeFailure&) {
        throw;
    } catch (const std::exception& e) {
        common::fail("cannot read " + common::quoted(path) + " as MTZ: " + e.what());
    }
    const gemmi::Mtz& mtz = headers.mtz;
    if (mtz.spacegroup == nullptr) common::fail(common::quoted(path) + " names no space group");
    headers.spaceGroup = mtz.spacegroup;
    // gemmi leaves its 1 A cube in place of a cell of zeros; the cell is the
    // file's (CELL), else its first data set's (DCELL).
    const gemmi::UnitCell& cell = mtz.get_cell();
    headers.cell = {static_cast<float>(cell.a), static_cast<float>(cell.b), static_cast<float>(cell.c),
                    static_cast<float>(cell.alpha), static_cast<float>(cell.beta), static_cast<float>(cell.gamma)};
    if (!cell.is_crystal()) {
        common::fail(common::quoted(path) + ": the cell (CELL and DCELL records) is missing or zero");
    }
    checkCellValues(common::quoted(path) + ": the cell", headers.cell);
    checkCellAgainstGroup(common::quoted(path), headers.cell, *headers.spaceGroup);
    if (headers.unmerged()) {
        const gemmi::Mtz::Column* isym = mtz.column_with_label("M/ISYM");
        if (isym == nullptr || isym->type != 'Y') {
            common::fail(common::quoted(path) + " holds batches but no M/ISYM column (type Y): unmerged data "
                         "need it to turn each observation back to its measured indices");
        }
        if (mtz.symops.empty()) common::fail(common::quoted(path) + " holds unmerged data but no symmetry operators");
    }
    return headers;
}

}  // namespace

MtzHeaders readMtzHeaders(const std::string& path) { return readHeaders(path, false); }

MtzHeaders readMtzWhole(const std::string& path) {
    MtzHeaders headers = readHeaders(path, true);
    const size_t columns = headers.mtz.columns.size();
    for (size_t r = 0; r < static_cast<size_t>(headers.mtz.nreflections); ++r) {
        checkRowIndices(headers.name, static_cast<int64_t>(r) + 1, &headers.mtz.data[r * columns]);
    }
    return headers;
}

MtzColumns chooseMtzColumns(const MtzHeaders& headers, const std::string& labels) {
    const gemmi::Mtz& mtz = headers.mtz;
    MtzColumns chosen;
    std::istringstream words(labels);
    std::string value, sigma, extra;
    words >> value >> sigma >> extra;
    if (!value.empty() && (sigma.empty() || !extra.empty())) {
        common::fail("the labels \"" + labels + "\" are not two column labels (I SIGI or F SIGF)");
    }
    if (headers.unmerged()) {
        chosen.isym = columnOf(headers, "M/ISYM", "Y");
        chosen.batch = columnOf(headers, "BATCH", "B");
        if (value.empty()) value = "I", sigma = "SIGI";
        chosen.value = columnOf(headers, value, "J");
        chosen.sigma = columnOf(headers, sigma, "Q");
        chosen.labels = value + " " + sigma;
        return chosen;
    }
    if (value.empty()) {
        // I(+) and I(-) (Iplus, Iminus as some write them): the first two
        // columns of anomalous intensities (type K), each with its sigma
        // (type M) right after it.
        std::vector<size_t> pairs;
        for (size_t i = 3; i + 1 < mtz.columns.size(); ++i) {
            if (mtz.columns[i].type == 'K' && mtz.columns[i + 1].type == 'M') pairs.push_back(i);
        }
        if (pairs.size() >= 2) {
            chosen.plus = static_cast<int>(pairs[0]), chosen.sigmaPlus = chosen.plus + 1;
            chosen.minus = static_cast<int>(pairs[1]), chosen.sigmaMinus = chosen.minus + 1;
            chosen.labels = mtz.columns[pairs[0]].label + " " + mtz.columns[pairs[0] + 1].label + " " +
                            mtz.columns[pairs[1]].label + " " + mtz.columns[pairs[1] + 1].label;
        }
        if (mtz.column_with_label("IMEAN") != nullptr) {
            value = "IMEAN", sigma = "SIGIMEAN";
        } else if (chosen.anomalous()) {
            return chosen;
        } else if (mtz.column_with_label("FP") != nullptr) {
            value = "FP", sigma = "SIGFP";
        } else if (mtz.column_with_label("F") != nullptr) {
            value = "F", sigma = "SIGF";
        } else {
            common::fail(common::quoted(headers.name) + " holds none of IMEAN, I(+) and I(-), FP, F; name the "
                         "columns to read (I SIGI or F SIGF); its columns:" + columnList(mtz));
        }
    }
    chosen.value = columnOf(headers, value, "JF");
    chosen.sigma = columnOf(headers, sigma, "Q");
    chosen.amplitudes = mtz.columns[static_cast<size_t>(chosen.value)].type == 'F';
    chosen.labels = value + " " + sigma + (chosen.anomalous() ? " " + chosen.labels : "");
    return chosen;
}

void checkRowIndices(const std::string& file, int64_t rowNumber, const float* row) {
    for (int i = 0; i < 3; ++i) {
        const float x = row[i];
        if (!(std::fabs(x) < static_cast<float>(kIndexLimit)) || x != std::nearbyint(x)) {
            common::fail("row " + std::to_string(rowNumber) + " of " + common::quoted(file) + ": the indices " +
                         common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) +
                         (std::fabs(x) < static_cast<float>(kIndexLimit) ? " are not whole numbers"
                                                                        : " reach beyond " + std::to_string(kIndexLimit - 1)));
        }
    }
}

MtzRows::MtzRows(const MtzHeaders& headers) : headers_(headers), columns_(headers.mtz.columns.size()) {
    left_ = headers.mtz.nreflections;
    if (left_ == 0) return;
    file_ = std::fopen(headers.name.c_str(), "rb");
    if (file_ == nullptr || std::fseek(file_, 80, SEEK_SET) != 0) {
        common::fail("cannot read " + common::quoted(headers.name) + ": it cannot be opened again for its rows");
    }
    block_.resize(std::max<size_t>(1, kBlockBytes / (4 * columns_)) * columns_);
}

MtzRows::~MtzRows() {
    if (file_ != nullptr) std::fclose(file_);
}

bool MtzRows::next(const float*& row) {
    if (at_ == inBlock_) {
        if (left_ == 0) return false;
        const size_t rows = std::min(static_cast<size_t>(left_), block_.size() / columns_);
        if (std::fread(block_.data(), 4 * columns_, rows, file_) != rows) {
            common::fail("cannot read " + common::quoted(headers_.name) + ": the file ended within row " +
                         std::to_string(row_ + 1) + " (a cut file?)");
        }
        if (!headers_.mtz.same_byte_order) {
            for (size_t i = 0; i < rows * columns_; ++i) gemmi::swap_four_bytes(&block_[i]);
        }
        left_ -= static_cast<int64_t>(rows);
        inBlock_ = rows;
        at_ = 0;
    }
    row = &block_[at_++ * columns_];
    ++row_;
    checkRowIndices(headers_.name, row_, row);
    return true;
}

MtzObservations::MtzObservations(const MtzHeaders& headers, const MtzColumns& columns)
    : headers_(headers), columns_(columns), rows_(headers) {
    if (columns_.isym < 0) return;
    for (const gemmi::Op& op : headers.mtz.symops) {
        const gemmi::Op inverse = op.inverse();
        std::array<int32_t, 9> m;
        for (size_t i = 0; i < 3; ++i) {
            for (size_t j = 0; j < 3; ++j) {
                if (inverse.rot[i][j] % gemmi::Op::DEN != 0) {
                    common::fail(common::quoted(headers.name) + ": a symmetry operator does not turn indices "
                                 "into whole numbers");
                }
                m[3 * i + j] = inverse.rot[i][j] / gemmi::Op::DEN;
            }
        }
        inverse_.push_back(m);
    }
}

bool MtzObservations::next(Observation& o) {
    const gemmi::Mtz& mtz = headers_.mtz;
    for (;;) {
        if (pending_ != nullptr) {
            const float* row = pending_;
            pending_ = nullptr;
            const float value = mtzValue(mtz, row, columns_.minus), sigma = mtzValue(mtz, row, columns_.sigmaMinus);
            if (!std::isnan(value) && !std::isnan(sigma)) {
                o.h = -static_cast<int32_t>(row[0]), o.k = -static_cast<int32_t>(row[1]), o.l = -static_cast<int32_t>(row[2]);
                o.intensity = value, o.sigma = sigma, o.batch = 0;
                return true;
            }
        }
        const float* row = nullptr;
        if (!rows_.next(row)) return false;
        const auto h = static_cast<int32_t>(row[0]), k = static_cast<int32_t>(row[1]), l = static_cast<int32_t>(row[2]);
        if (columns_.isym >= 0) {
            // M/ISYM is 256 M + ISYM, a whole number below 512; anything
            // else names no operator (and is not cast).
            const float isymValue = row[columns_.isym];
            const int isym = isymValue >= 0 && isymValue < 512 ? static_cast<int>(isymValue) & 0xFF : 0;
            if (isym < 1 || static_cast<size_t>((isym - 1) / 2) >= inverse_.size()) {
                common::fail("row " + std::to_string(rows_.rowNumber()) + " of " + common::quoted(headers_.name) +
                             ": M/ISYM " + common::generalText(isymValue) + " names no symmetry operator of the file's " +
                             std::to_string(inverse_.size()));
            }
            const std::array<int32_t, 9>& m = inverse_[static_cast<size_t>((isym - 1) / 2)];
            const int32_t sign = isym % 2 == 1 ? 1 : -1;
            o.h = sign * (m[0] * h + m[3] * k + m[6] * l);
            o.k = sign * (m[1] * h + m[4] * k + m[7] * l);
            o.l = sign * (m[2] * h + m[5] * k + m[8] * l);
            const float batch = row[columns_.batch];
            o.batch = std::fabs(batch) < 1e9f ? static_cast<int32_t>(batch) : 0;  // a missing one 0
        } else {
            o.h = h, o.k = k, o.l = l, o.batch = 0;
        }
        if (columns_.anomalous() && columns_.value < 0) {
            pending_ = row;  // I(-) next
            const float value = mtzValue(mtz, row, columns_.plus), sigma = mtzValue(mtz, row, columns_.sigmaPlus);
            if (std::isnan(value) || std::isnan(sigma)) continue;
            o.intensity = value, o.sigma = sigma;
            return true;
        }
        const float value = mtzValue(mtz, row, columns_.value), sigma = mtzValue(mtz, row, columns_.sigma);
        if (std::isnan(value) || std::isnan(sigma)) continue;
        o.intensity = value, o.sigma = sigma;
        return true;
    }
}

}  // namespace common::reflections
