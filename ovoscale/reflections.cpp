#include "ovoscale/reflections.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/records.hpp"
#include "common/reflections/mtz_file.hpp"

namespace ovoscale {

ReflectionData readMerging(const std::string& path, const std::string& labels) {
    common::reflections::ReflectionOptions options;
    options.labels = labels;
    common::reflections::ReflectionFile file(path, options);
    const common::reflections::ReflectionHeader& header = file.header();
    ReflectionData data;
    data.cell = header.cell;
    data.spaceGroup = header.spaceGroup;
    // A merged file holds each unique reflection once at most: its size
    // bounds them, and the merge's table is made that large at once.
    common::reflections::Merger merger(*data.spaceGroup, header.friedelsLaw, header.merged ? header.recordsAtMost : 0);
    common::reflections::Observation observation;
    int64_t records = 0;
    while (file.next(observation)) {
        ++records;
        if (!merger.add(observation)) {
            file.failAtRecord(1, 18, "indices beyond " + std::to_string(common::reflections::kIndexLimit - 1) +
                                         " in the asymmetric unit cannot be merged");
        }
    }
    data.rows = merger.result();
    data.rows.shrink_to_fit();  // the merge's table is larger than its result
    common::FreeLine summary;
    summary.integer(records);
    if (file.mtz() != nullptr) {
        summary.text("observations of unmerged data read from MTZ, columns " + header.columns + ";");
    } else {
        summary.text(header.merged ? "records of merged data read;" : "records of unmerged data read;");
    }
    data.summary = summary.integer(merger.leftOut())
                       .text("left out (sigma(I) not above 0);")
                       .integer(static_cast<int64_t>(data.rows.size()))
                       .text("unique reflections")
                       .str();
    return data;
}

ReflectionData readMergedMtz(const std::string& path, const std::string& labels) {
    // Unmerged data are merged; the headers say which before the rows are read.
    if (common::reflections::readMtzHeaders(path).unmerged()) return readMerging(path, labels);
    ReflectionData data;
    common::reflections::MtzHeaders headers = common::reflections::readMtzWhole(path);
    const common::reflections::MtzColumns chosen = common::reflections::chooseMtzColumns(headers, labels);
    if (chosen.value < 0) {
        common::fail(common::quoted(path) + " holds I(+) and I(-) but no mean; give the labels of one");
    }
    gemmi::Mtz& mtz = headers.mtz;
    const gemmi::Mtz::Column& v = mtz.columns[static_cast<size_t>(chosen.value)];
    const gemmi::Mtz::Column& s = mtz.columns[static_cast<size_t>(chosen.sigma)];
    const std::string value = v.label, sigma = s.label;
    data.amplitudes = chosen.amplitudes;
    data.valueLabel = value;
    data.sigmaLabel = sigma;
    data.cell = headers.cell;
    data.spaceGroup = headers.spaceGroup;
    const size_t columns = mtz.columns.size();
    data.rows.reserve(static_cast<size_t>(mtz.nreflections));
    int64_t present = 0;
    for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); ++r) {
        const float* row = &mtz.data[r * columns];
        const auto h = static_cast<int32_t>(row[0]), k = static_cast<int32_t>(row[1]), l = static_cast<int32_t>(row[2]);
        const float x = row[static_cast<size_t>(v.idx)], e = row[static_cast<size_t>(s.idx)];
        const bool missing = std::isnan(x) || std::isnan(e) || (!std::isnan(mtz.valm) && (x == mtz.valm || e == mtz.valm));
        const double sigmaValue = missing || !(e > 0) || !std::isfinite(x) ? NAN : e;
        if (!std::isnan(sigmaValue)) ++present;
        data.rows.push_back(MergedReflection::of(h, k, l, x, sigmaValue));
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
