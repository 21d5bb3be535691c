// Reading a stage with gemmi: the header checks, the two columns, and the
// rows reduced to the reflections with both values.
#include "finjoin/stage.hpp"

#include <gemmi/gz.hpp>
#include <gemmi/mtz.hpp>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "common/failure.hpp"
#include "common/files.hpp"
#include "common/fin_layout.hpp"
#include "common/records.hpp"

namespace finjoin {

namespace {

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

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

void readMtz(gemmi::Mtz& mtz, const std::string& name) {
    // gemmi takes "-" for standard input; a file of that name is meant.
    const std::string path = name == "-" ? "./-" : name;
    gemmi::MaybeGzipped input(path);
    if (input.is_compressed()) {
        const gemmi::CharArray text = input.uncompress_into_buffer();
        gemmi::MemoryStream stream = text.stream();
        readHeadersAndData(mtz, stream);
    } else {
        gemmi::fileptr_t file = gemmi::file_open(path.c_str(), "rb");
        gemmi::FileStream stream{file.get()};
        readHeadersAndData(mtz, stream);
    }
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
        common::fail("no column " + label + " in " + quoted(file) + "; its amplitude columns (type F):" +
                     amplitudeColumns(mtz));
    }
    if (column->type != type) {
        common::fail("column " + label + " of " + quoted(file) + " is of type " + std::string(1, column->type) +
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
        if (!(value >= common::kFinIndexMin && value <= common::kFinIndexMax)) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + quoted(file) +
                         ": an index outside the fin file's I4 columns (-999 to 9999)");
        }
        index[i] = static_cast<int32_t>(value);
        if (static_cast<float>(index[i]) != value) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + quoted(file) + ": an index is not a whole number");
        }
    }
}

void checkValue(float value, const std::string& label, const int32_t (&index)[3], const std::string& file) {
    if (!common::finValueFits(value)) {
        common::fail("reflection " + rowText(index) + " of " + quoted(file) + ": " + label + " " +
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
        unpackIndices(twice->key, index[0], index[1], index[2]);
        common::fail("reflection " + rowText(index) + " appears twice in " + quoted(file) +
                     "; merged data are expected, one row a reflection");
    }
}

}  // namespace

StageData readStage(const StageRequest& request) {
    const std::string& file = request.file;
    // Opened first as every input is, for the same report on a missing or
    // unreadable file or a folder.
    { common::InputFile opened(file); }

    gemmi::Mtz mtz;
    try {
        readMtz(mtz, file);
    } catch (const std::exception& error) {
        common::fail("cannot read " + quoted(file) + " as an MTZ file: " + oneLine(error.what()));
    }

    StageData stage;
    stage.spaceGroup = mtz.spacegroup               ? mtz.spacegroup->xhm()
                       : mtz.spacegroup_name.empty() ? "none"
                                                     : mtz.spacegroup_name;
    stage.cellEdges[0] = mtz.cell.a;
    stage.cellEdges[1] = mtz.cell.b;
    stage.cellEdges[2] = mtz.cell.c;
    stage.fileReflections = static_cast<uint64_t>(mtz.nreflections);

    const size_t fColumn = findColumn(mtz, file, request.fLabel, 'F', "an amplitude").idx;
    const size_t sigmaColumn = findColumn(mtz, file, request.sigmaLabel, 'Q', "a standard deviation").idx;

    const size_t width = mtz.columns.size();
    double minInverseD2 = INFINITY, maxInverseD2 = 0;
    stage.rows.reserve(static_cast<size_t>(mtz.nreflections));
    for (size_t at = 0; at < mtz.data.size(); at += width) {
        const float* row = mtz.data.data() + at;
        const float F = row[fColumn], sigF = row[sigmaColumn];
        if (missing(F, mtz.valm) || missing(sigF, mtz.valm)) continue;
        int32_t index[3];
        takeIndices(row, file, index);
        checkValue(F, request.fLabel, index, file);
        checkValue(sigF, request.sigmaLabel, index, file);
        stage.rows.push_back({packIndices(index[0], index[1], index[2]), F, sigF});
        const double inverseD2 = mtz.cell.calculate_1_d2_double(index[0], index[1], index[2]);
        if (inverseD2 > 0) {
            minInverseD2 = std::min(minInverseD2, inverseD2);
            maxInverseD2 = std::max(maxInverseD2, inverseD2);
        }
    }
    if (maxInverseD2 > 0) {
        stage.lowResolution = 1 / std::sqrt(minInverseD2);
        stage.highResolution = 1 / std::sqrt(maxInverseD2);
    }
    mtz = gemmi::Mtz();  // the file's data go before the rows are sorted
    sortAndCheckUnique(stage.rows, file);
    return stage;
}

}  // namespace finjoin
