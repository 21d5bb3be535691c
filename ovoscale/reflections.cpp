#include "ovoscale/reflections.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/layout/xds_record.hpp"
#include "common/records.hpp"
#include "ovofit/xds_file.hpp"

namespace ovoscale {

bool isMtz(const std::string& path) {
    // Only a regular file is looked into: a pipe read here would lose its
    // first bytes. gemmi reads an MTZ file by seeking, which a pipe cannot.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;  // the open that follows reports it
    char start[4] = {};
    const size_t got = std::fread(start, 1, 4, file);
    std::fclose(file);
    return got == 4 && std::string_view(start, 4) == "MTZ ";
}

ReflectionData readXds(const std::string& path) {
    common::InputFile xds(path);
    const ovofit::XdsHeader header = ovofit::readXdsHeader(xds);
    ReflectionData data;
    data.cell = header.cell;
    data.spaceGroup = gemmi::find_spacegroup_by_number(header.spaceGroupNumber);
    if (data.spaceGroup == nullptr) {
        common::fail(xds.name() + ": no space group numbered " + std::to_string(header.spaceGroupNumber));
    }
    // A merged file holds each unique reflection once at most: its size
    // bounds them, and the merge's table is made that large at once.
    std::error_code unknown;
    const uintmax_t bytes = std::filesystem::file_size(xds.name(), unknown);
    const size_t expected =
        header.merged && !unknown ? static_cast<size_t>(bytes / (common::xds_record::kPrintedRecordLength + 1)) : 0;
    ovofit::Merger merger(*data.spaceGroup, header.friedelsLaw, expected);
    ovofit::Observation observation;
    int64_t records = 0;
    while (ovofit::readObservation(xds, observation)) {
        ++records;
        if (!merger.add(observation)) {
            xds.failAt(1, 18, "indices beyond " + std::to_string(ovofit::kIndexLimit - 1) +
                                  " in the asymmetric unit cannot be merged");
        }
    }
    data.rows = merger.result();
    data.rows.shrink_to_fit();  // the merge's table is larger than its result
    data.summary = common::FreeLine()
                       .integer(records)
                       .text(header.merged ? "records of merged data read;" : "records of unmerged data read;")
                       .integer(merger.leftOut())
                       .text("left out (sigma(I) not above 0);")
                       .integer(static_cast<int64_t>(data.rows.size()))
                       .text("unique reflections")
                       .str();
    return data;
}

namespace {

// What the headers claim must fit the file's size before gemmi allocates
// for it: the rows fill exactly the bytes between the first 80 and the
// headers.
void checkSize(gemmi::Mtz& probe, gemmi::FileStream& stream, uint64_t fileSize) {
    probe.read_first_bytes(stream);
    const int64_t offset = probe.header_offset;
    if (offset < 21 || static_cast<uint64_t>(4 * (offset - 1)) > fileSize) {
        gemmi::fail("the headers' position " + std::to_string(offset) + " lies outside the file (a cut file?)");
    }
    const auto dataBytes = static_cast<uint64_t>(4 * (offset - 1) - 80);
    probe.read_main_headers(stream);
    const uint64_t claimed = 4 * static_cast<uint64_t>(probe.columns.size()) * static_cast<uint64_t>(probe.nreflections);
    if (claimed != dataBytes) {
        gemmi::fail("the headers announce " + std::to_string(probe.nreflections) + " reflections of " +
                    std::to_string(probe.columns.size()) + " columns, " + std::to_string(claimed) +
                    " bytes, where the file has " + std::to_string(dataBytes) + " (a damaged file?)");
    }
}

const gemmi::Mtz::Column& column(const gemmi::Mtz& mtz, const std::string& file, const std::string& label,
                                 const std::string& types) {
    const gemmi::Mtz::Column* found = mtz.column_with_label(label);
    if (found == nullptr) {
        std::string present;
        for (const gemmi::Mtz::Column& c : mtz.columns) present += " " + c.label + "(" + std::string(1, c.type) + ")";
        common::fail("no column " + label + " in " + common::quoted(file) + "; its columns:" + present);
    }
    if (types.find(found->type) == std::string::npos) {
        common::fail("column " + label + " of " + common::quoted(file) + " is of type " + std::string(1, found->type) +
                     ", not " + types);
    }
    return *found;
}

}  // namespace

ReflectionData readMtz(const std::string& path, const std::string& labels) {
    ReflectionData data;
    gemmi::Mtz mtz;
    try {
        std::error_code error;
        const uintmax_t size = std::filesystem::file_size(path, error);
        if (error) common::fail("cannot read " + common::quoted(path) + ": " + error.message());
        gemmi::fileptr_t file = gemmi::file_open(path.c_str(), "rb");
        gemmi::FileStream stream{file.get()};
        gemmi::Mtz probe;
        checkSize(probe, stream, size);
        if (!stream.seek(0)) gemmi::fail("cannot go back to the start");
        mtz.read_all_headers(stream);
        if (mtz.columns.size() < 3 || mtz.columns[0].type != 'H' || mtz.columns[1].type != 'H' ||
            mtz.columns[2].type != 'H') {
            gemmi::fail("its first three columns are not the indices H, K, L");
        }
        if (mtz.nreflections > 0) mtz.read_raw_data(stream);
    } catch (const common::RunTimeFailure&) {
        throw;
    } catch (const std::exception& e) {
        common::fail("cannot read " + common::quoted(path) + " as MTZ: " + e.what());
    }
    if (!mtz.batches.empty()) {
        common::fail(common::quoted(path) + " holds unmerged data (" + std::to_string(mtz.batches.size()) +
                     " batches); give merged intensities or amplitudes");
    }
    if (mtz.spacegroup == nullptr) common::fail(common::quoted(path) + " names no space group");

    std::istringstream words(labels);
    std::string value, sigma, extra;
    words >> value >> sigma >> extra;
    if (value.empty()) {
        value = mtz.column_with_label("IMEAN") != nullptr ? "IMEAN" : "FP";
        sigma = value == "IMEAN" ? "SIGIMEAN" : "SIGFP";
    } else if (sigma.empty() || !extra.empty()) {
        common::fail("the labels \"" + labels + "\" are not two column labels (I SIGI or F SIGF)");
    }
    const gemmi::Mtz::Column& v = column(mtz, path, value, "JF");
    const gemmi::Mtz::Column& s = column(mtz, path, sigma, "Q");
    data.amplitudes = v.type == 'F';
    data.valueLabel = value;
    data.sigmaLabel = sigma;

    const gemmi::UnitCell& cell = mtz.get_cell();
    data.cell = {static_cast<float>(cell.a), static_cast<float>(cell.b), static_cast<float>(cell.c),
                 static_cast<float>(cell.alpha), static_cast<float>(cell.beta), static_cast<float>(cell.gamma)};
    data.spaceGroup = mtz.spacegroup;
    const size_t columns = mtz.columns.size();
    data.rows.reserve(static_cast<size_t>(mtz.nreflections));
    int64_t present = 0;
    for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); ++r) {
        const float* row = &mtz.data[r * columns];
        const auto h = static_cast<int32_t>(row[0]), k = static_cast<int32_t>(row[1]), l = static_cast<int32_t>(row[2]);
        if (!(std::fabs(row[0]) < ovofit::kIndexLimit && std::fabs(row[1]) < ovofit::kIndexLimit &&
              std::fabs(row[2]) < ovofit::kIndexLimit)) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + common::quoted(path) + ": an index out of range");
        }
        const float x = row[static_cast<size_t>(v.idx)], e = row[static_cast<size_t>(s.idx)];
        const bool missing = std::isnan(x) || std::isnan(e) || (!std::isnan(mtz.valm) && (x == mtz.valm || e == mtz.valm));
        const double sigmaValue = missing || !(e > 0) || !std::isfinite(x) ? NAN : e;
        if (!std::isnan(sigmaValue)) ++present;
        data.rows.push_back(ovofit::MergedReflection::of(h, k, l, x, sigmaValue));
    }
    data.summary = common::FreeLine()
                       .integer(mtz.nreflections)
                       .text("reflections read, columns " + value + " " + sigma + ";")
                       .integer(present)
                       .text(std::string("with a value and a positive sigma (") +
                             (data.amplitudes ? "amplitudes" : "intensities") + ")")
                       .str();
    data.mtz = std::move(mtz);
    return data;
}

}  // namespace ovoscale
