// Reading a stage with gemmi, from an MTZ file or from an mmCIF file of
// structure factors as deposited: the header checks, the two columns, and
// the rows reduced to the reflections with both values.
#include "finjoin/stage.hpp"

#include <gemmi/cif.hpp>
#include <gemmi/gz.hpp>
#include <gemmi/mmcif_impl.hpp>  // the cell and space group of a block
#include <gemmi/mtz.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/hkl_key.hpp"
#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/file_names.hpp"
#include "common/layout/fin_file.hpp"
#include "common/records.hpp"

namespace finjoin {

namespace {


// gemmi's messages may run over several lines; a report is one.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// The data of a damaged file must lie between the first 80 bytes and the
// headers, or gemmi would allocate what the header claims.
template <typename Stream>
void readHeadersAndData(gemmi::Mtz& mtz, Stream& stream) {
    mtz.read_all_headers(stream);
    const int64_t columns = static_cast<int64_t>(mtz.columns.size());
    const int64_t rows = mtz.nreflections;
    if (columns < 3 || mtz.columns[0].type != 'H' || mtz.columns[1].type != 'H' || mtz.columns[2].type != 'H') {
        gemmi::fail("its first three columns are not the indices H, K, L (a cut file?)");
    }
    if (rows < 0 || 80 + 4 * columns * rows > 4 * (mtz.header_offset - 1)) {
        gemmi::fail("the headers announce more data than the file holds");
    }
    if (rows > 0) mtz.read_raw_data(stream);  // nothing to read into for none
}

// The bytes of a compressed file are read whole, for either format; an
// MTZ file that is not compressed is read from the file.
void readMtz(gemmi::Mtz& mtz, const std::string& path, const gemmi::CharArray& text) {
    if (text) {
        gemmi::MemoryStream stream = text.stream();
        readHeadersAndData(mtz, stream);
    } else {
        gemmi::fileptr_t file = gemmi::file_open(path.c_str(), "rb");
        gemmi::FileStream stream{file.get()};
        readHeadersAndData(mtz, stream);
    }
}

bool startsAsMtz(const char* bytes, size_t size) { return size >= 4 && std::memcmp(bytes, "MTZ ", 4) == 0; }

bool fileStartsAsMtz(const std::string& path) {
    gemmi::fileptr_t file = gemmi::file_open(path.c_str(), "rb");
    char head[4];
    return startsAsMtz(head, std::fread(head, 1, sizeof head, file.get()));
}

std::string amplitudeColumns(const gemmi::Mtz& mtz) {
    std::string labels;
    for (const gemmi::Mtz::Column* column : mtz.columns_with_type('F')) labels += " " + column->label;
    return labels.empty() ? " none" : labels;
}

const gemmi::Mtz::Column& findColumn(const gemmi::Mtz& mtz, const std::string& file, const std::string& label,
                                     char type, std::string_view meaning) {
    const gemmi::Mtz::Column* column = mtz.column_with_label(label);
    if (!column) {
        common::fail("no column " + label + " in " + common::quoted(file) + "; its amplitude columns (type F):" +
                     amplitudeColumns(mtz));
    }
    if (column->type != type) {
        common::fail("column " + label + " of " + common::quoted(file) + " is of type " + std::string(1, column->type) +
                     ", not " + std::string(1, type) + " (" + std::string(meaning) + ")");
    }
    return *column;
}

bool missing(float value, float valm) { return std::isnan(value) || (!std::isnan(valm) && value == valm); }

std::string rowText(const int32_t (&index)[3]) {
    return std::to_string(index[0]) + " " + std::to_string(index[1]) + " " + std::to_string(index[2]);
}

// The indices of a row, whole numbers within I4.
void takeIndices(const float* row, const std::string& file, int32_t (&index)[3]) {
    for (int i = 0; i < 3; ++i) {
        const float value = row[i];
        if (!(value >= common::fin_file::kIndexMin && value <= common::fin_file::kIndexMax)) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + common::quoted(file) +
                         ": an index outside the fin file's I4 columns (-999 to 9999)");
        }
        index[i] = static_cast<int32_t>(value);
        if (static_cast<float>(index[i]) != value) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + common::quoted(file) + ": an index is not a whole number");
        }
    }
}

void checkValue(float value, const std::string& label, const int32_t (&index)[3], const std::string& file) {
    if (!common::fin_file::valueFits(value)) {
        common::fail("reflection " + rowText(index) + " of " + common::quoted(file) + ": " + label + " " +
                     common::generalText(value) + " does not fit the fin file's F12.2 columns");
    }
}

void sortAndCheckUnique(std::vector<StageRow>& rows, const std::string& file) {
    auto byKey = [](const StageRow& a, const StageRow& b) { return a.key < b.key; };
    if (!std::is_sorted(rows.begin(), rows.end(), byKey)) std::sort(rows.begin(), rows.end(), byKey);
    const auto twice = std::adjacent_find(rows.begin(), rows.end(),
                                          [](const StageRow& a, const StageRow& b) { return a.key == b.key; });
    if (twice != rows.end()) {
        int32_t index[3];
        common::unpackHkl(twice->key, index[0], index[1], index[2]);
        common::fail("reflection " + rowText(index) + " appears twice in " + common::quoted(file) +
                     "; merged data are expected, one row a reflection");
    }
}

void takeResolution(StageData& stage, const gemmi::UnitCell& cell, const int32_t (&index)[3], double& minInverseD2,
                    double& maxInverseD2) {
    if (!stage.cellKnown) return;
    const double inverseD2 = cell.calculate_1_d2_double(index[0], index[1], index[2]);
    if (inverseD2 > 0) {
        minInverseD2 = std::min(minInverseD2, inverseD2);
        maxInverseD2 = std::max(maxInverseD2, inverseD2);
    }
}

void setResolution(StageData& stage, double minInverseD2, double maxInverseD2) {
    if (maxInverseD2 > 0) {
        stage.lowResolution = 1 / std::sqrt(minInverseD2);
        stage.highResolution = 1 / std::sqrt(maxInverseD2);
    }
}

void readMtzStage(const StageRequest& request, const std::string& path, const gemmi::CharArray& text,
                  StageData& stage) {
    const std::string& file = request.file;
    gemmi::Mtz mtz;
    try {
        readMtz(mtz, path, text);
    } catch (const std::exception& error) {
        common::fail("cannot read " + common::quoted(file) + " as an MTZ file: " + oneLine(error.what()));
    }

    stage.spaceGroup = mtz.spacegroup               ? mtz.spacegroup->xhm()
                       : mtz.spacegroup_name.empty() ? "none"
                                                     : mtz.spacegroup_name;
    if (mtz.spacegroup) stage.spaceGroupHall = mtz.spacegroup->hall;
    stage.cellKnown = true;
    stage.cellEdges[0] = mtz.cell.a;
    stage.cellEdges[1] = mtz.cell.b;
    stage.cellEdges[2] = mtz.cell.c;
    stage.fileReflections = static_cast<uint64_t>(mtz.nreflections);
    stage.fLabel = request.fLabel.empty() ? request.usualMtzF : request.fLabel;
    stage.sigmaLabel = request.sigmaLabel.empty() ? request.usualMtzSigma : request.sigmaLabel;

    const size_t fColumn = findColumn(mtz, file, stage.fLabel, 'F', "an amplitude").idx;
    const size_t sigmaColumn = findColumn(mtz, file, stage.sigmaLabel, 'Q', "a standard deviation").idx;

    const size_t width = mtz.columns.size();
    double minInverseD2 = INFINITY, maxInverseD2 = 0;
    stage.rows.reserve(static_cast<size_t>(mtz.nreflections));
    for (size_t at = 0; at < mtz.data.size(); at += width) {
        const float* row = mtz.data.data() + at;
        const float F = row[fColumn], sigF = row[sigmaColumn];
        if (missing(F, mtz.valm) || missing(sigF, mtz.valm)) continue;
        int32_t index[3];
        takeIndices(row, file, index);
        checkValue(F, stage.fLabel, index, file);
        checkValue(sigF, stage.sigmaLabel, index, file);
        stage.rows.push_back({common::packHkl(index[0], index[1], index[2]), F, sigF});
        takeResolution(stage, mtz.cell, index, minInverseD2, maxInverseD2);
    }
    setResolution(stage, minInverseD2, maxInverseD2);
}

// mmCIF: the first block whose _refln loop holds h, k and l. Items are
// named without "_refln." (F_meas_au), in any case as CIF allows.

constexpr std::string_view kRefln = "_refln.";

// An answer may give the whole tag, _refln.F_meas_au.
std::string itemName(const std::string& label, const char* usual) {
    if (label.empty()) return usual;
    return gemmi::istarts_with(label, std::string(kRefln)) ? label.substr(kRefln.size()) : label;
}

int findItem(const gemmi::cif::Loop& loop, const std::string& item) {
    return loop.find_tag_lc(std::string(kRefln) + gemmi::to_lower(item));
}

std::string amplitudeItems(const gemmi::cif::Loop& loop) {
    std::string items;
    for (const std::string& tag : loop.tags) {
        if (gemmi::istarts_with(tag, "_refln.f_")) items += " " + tag.substr(kRefln.size());
    }
    return items.empty() ? " none" : items;
}

size_t itemColumn(const gemmi::cif::Loop& loop, const std::string& file, const std::string& label) {
    const int column = findItem(loop, label);
    if (column < 0) {
        common::fail("no item _refln." + label + " in " + common::quoted(file) + "; its amplitude items (F_*):" +
                     amplitudeItems(loop));
    }
    return static_cast<size_t>(column);
}

// A value of the loop as a float: NaN for '?' and '.' (no value) where that
// is allowed, a report for anything that is not a number.
float cifNumber(const std::string& value, const gemmi::cif::Loop& loop, size_t column, size_t row,
                const std::string& file, bool mayBeMissing = true) {
    auto where = [&] { return "row " + std::to_string(row + 1) + " of the _refln loop of " + common::quoted(file) + ": "; };
    if (gemmi::cif::is_null(value)) {
        if (!mayBeMissing) common::fail(where() + loop.tags[column] + " has no value");
        return NAN;
    }
    const double number = gemmi::cif::as_number(value);
    if (std::isnan(number)) {
        common::fail(where() + loop.tags[column] + " " + oneLine(value.substr(0, 40)) + " is not a number");
    }
    // Beyond the range of float the value is infinite, which fits no column.
    if (std::fabs(number) > FLT_MAX) return number > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(number);
}

void readCifStage(const StageRequest& request, const std::string& path, const gemmi::CharArray& text,
                  StageData& stage) {
    const std::string& file = request.file;
    gemmi::cif::Document document;
    try {
        document = text ? gemmi::cif::read_memory(text.data(), text.size(), path.c_str())
                        : gemmi::cif::read_file(path);
    } catch (const std::exception& error) {
        common::fail(common::quoted(file) + " is neither MTZ nor mmCIF: " + oneLine(error.what()));
    }
    gemmi::cif::Block* block = nullptr;
    gemmi::cif::Loop* loop = nullptr;
    for (gemmi::cif::Block& candidate : document.blocks) {
        loop = candidate.find_loop("_refln.index_h").get_loop();
        if (loop && loop->has_tag("_refln.index_k") && loop->has_tag("_refln.index_l")) {
            block = &candidate;
            break;
        }
    }
    if (!block) {
        common::fail(common::quoted(file) + " is neither MTZ nor mmCIF with reflections: no block has a _refln loop with "
                     "index_h, index_k, index_l");
    }

    gemmi::UnitCell cell;
    const gemmi::SpaceGroup* group = nullptr;
    const std::string* groupName = nullptr;
    try {
        gemmi::impl::set_cell_from_mmcif(*block, cell);
        groupName = gemmi::impl::find_spacegroup_hm_value(*block);
        if (groupName && gemmi::cif::is_null(*groupName)) groupName = nullptr;
        if (groupName) group = gemmi::find_spacegroup_by_name(gemmi::cif::as_string(*groupName), cell.alpha, cell.gamma);
    } catch (const std::exception& error) {
        common::fail("cannot read the cell or space group of " + common::quoted(file) + ": " + oneLine(error.what()));
    }
    // A cell of '?' reads as 1 1 1, one of words as NaN: neither is known.
    stage.cellKnown = cell.is_crystal() && cell.a > 0 && cell.b > 0 && cell.c > 0 && cell.alpha > 0 &&
                      cell.beta > 0 && cell.gamma > 0 && std::isfinite(cell.volume) && cell.volume > 0;
    if (stage.cellKnown) {
        stage.cellEdges[0] = cell.a;
        stage.cellEdges[1] = cell.b;
        stage.cellEdges[2] = cell.c;
    }
    if (group) {
        stage.spaceGroup = group->xhm();
        stage.spaceGroupHall = group->hall;
    } else if (groupName) {
        stage.spaceGroup = oneLine(gemmi::cif::as_string(*groupName).substr(0, 40));
    }

    stage.fLabel = itemName(request.fLabel, "F_meas_au");
    stage.sigmaLabel = itemName(request.sigmaLabel, "F_meas_sigma_au");
    const size_t fColumn = itemColumn(*loop, file, stage.fLabel);
    const size_t sigmaColumn = itemColumn(*loop, file, stage.sigmaLabel);
    const size_t indexColumns[3] = {static_cast<size_t>(loop->find_tag("_refln.index_h")),
                                    static_cast<size_t>(loop->find_tag("_refln.index_k")),
                                    static_cast<size_t>(loop->find_tag("_refln.index_l"))};

    const size_t width = loop->tags.size();
    stage.fileReflections = loop->length();
    stage.rows.reserve(loop->length());
    double minInverseD2 = INFINITY, maxInverseD2 = 0;
    for (size_t row = 0, at = 0; at < loop->values.size(); ++row, at += width) {
        const float F = cifNumber(loop->values[at + fColumn], *loop, fColumn, row, file);
        const float sigF = cifNumber(loop->values[at + sigmaColumn], *loop, sigmaColumn, row, file);
        if (std::isnan(F) || std::isnan(sigF)) continue;
        float indices[3];
        for (int i = 0; i < 3; ++i) {
            indices[i] = cifNumber(loop->values[at + indexColumns[i]], *loop, indexColumns[i], row, file, false);
        }
        int32_t index[3];
        takeIndices(indices, file, index);
        checkValue(F, stage.fLabel, index, file);
        checkValue(sigF, stage.sigmaLabel, index, file);
        stage.rows.push_back({common::packHkl(index[0], index[1], index[2]), F, sigF});
        takeResolution(stage, cell, index, minInverseD2, maxInverseD2);
    }
    setResolution(stage, minInverseD2, maxInverseD2);
}

}  // namespace

StageData readStage(const StageRequest& request) {
    const std::string& file = request.file;
    // Opened first as every input is, for the same report on a missing or
    // unreadable file or a folder.
    { common::InputFile opened(file); }

    // gemmi takes "-" for standard input; a file of that name is meant.
    const std::string path = file == "-" ? "./-" : file;
    gemmi::CharArray text;  // a compressed file's bytes
    bool mtz = false;
    try {
        gemmi::MaybeGzipped input(path);
        if (input.is_compressed()) {
            text = input.uncompress_into_buffer();
            mtz = startsAsMtz(text.data(), text.size());
        } else {
            mtz = fileStartsAsMtz(path);
        }
    } catch (const std::exception& error) {
        common::fail("cannot read " + common::quoted(file) + ": " + oneLine(error.what()));
    }

    StageData stage;
    // Whichever the format, the file's data go before the rows are sorted.
    if (mtz) {
        readMtzStage(request, path, text, stage);
    } else {
        readCifStage(request, path, text, stage);
    }
    text = gemmi::CharArray();
    sortAndCheckUnique(stage.rows, file);
    return stage;
}

}  // namespace finjoin
