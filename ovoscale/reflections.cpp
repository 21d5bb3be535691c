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

namespace {

// The inverse-variance weighted mean of I+ and I-, what the merge of all
// their observations at once gives.
MergedReflection meanOf(const MergedReflection& r, const MergedReflection* plus, const MergedReflection* minus) {
    double weights = 0, sum = 0;
    for (const MergedReflection* m : {plus, minus}) {
        if (m == nullptr) continue;
        const double w = 1 / (m->sigma * m->sigma);
        weights += w;
        sum += w * m->intensity;
    }
    return MergedReflection::of(r.h(), r.k(), r.l(), sum / weights, 1 / std::sqrt(weights));
}

Mates matesOf(const MergedReflection* plus, const MergedReflection* minus, bool centric) {
    Mates mates;
    if (centric) {
        // Both mates are one reflection: its mean in each.
        const MergedReflection mean = meanOf(plus != nullptr ? *plus : *minus, plus, minus);
        mates.plus = mates.minus = static_cast<float>(mean.intensity);
        mates.sigmaPlus = mates.sigmaMinus = static_cast<float>(mean.sigma);
        return mates;
    }
    if (plus != nullptr) mates.plus = static_cast<float>(plus->intensity), mates.sigmaPlus = static_cast<float>(plus->sigma);
    if (minus != nullptr) mates.minus = static_cast<float>(minus->intensity), mates.sigmaMinus = static_cast<float>(minus->sigma);
    return mates;
}

}  // namespace

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
    if (!header.friedelsLaw) {
        // One row a unique reflection: the mean of its mates, which the fit
        // takes, and the mates beside it.
        const gemmi::GroupOps operations = data.spaceGroup->operations();
        std::vector<MergedReflection> rows;
        common::reflections::forEachFriedelPair(data.rows, [&](const common::reflections::FriedelPair& pair) {
            const MergedReflection& r = pair.either();
            const bool centric = operations.is_reflection_centric({{r.h(), r.k(), r.l()}});
            data.mates.push_back(matesOf(pair.plus, pair.minus, centric));
            rows.push_back(meanOf(r, pair.plus, pair.minus));
        });
        data.rows = std::move(rows);
        data.mates.shrink_to_fit();
    }
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
    gemmi::Mtz& mtz = headers.mtz;
    const bool meanOnly = chosen.value < 0;  // I(+) and I(-) alone
    const std::string value = meanOnly ? "" : mtz.columns[static_cast<size_t>(chosen.value)].label;
    const std::string sigma = meanOnly ? "" : mtz.columns[static_cast<size_t>(chosen.sigma)].label;
    const gemmi::GroupOps operations = headers.spaceGroup->operations();
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
        float x = NAN, e = NAN;
        if (chosen.anomalous()) {
            Mates mates{common::reflections::mtzValue(mtz, row, chosen.plus),
                        common::reflections::mtzValue(mtz, row, chosen.sigmaPlus),
                        common::reflections::mtzValue(mtz, row, chosen.minus),
                        common::reflections::mtzValue(mtz, row, chosen.sigmaMinus)};
            if (!(mates.sigmaPlus > 0) || !std::isfinite(mates.plus)) mates.plus = mates.sigmaPlus = NAN;
            if (!(mates.sigmaMinus > 0) || !std::isfinite(mates.minus)) mates.minus = mates.sigmaMinus = NAN;
            const MergedReflection plus = MergedReflection::of(h, k, l, mates.plus, mates.sigmaPlus);
            const MergedReflection minus = MergedReflection::of(h, k, l, mates.minus, mates.sigmaMinus);
            const bool centric = operations.is_reflection_centric({{h, k, l}});
            const bool hasPlus = !std::isnan(mates.plus), hasMinus = !std::isnan(mates.minus);
            if (hasPlus || hasMinus) {
                // A centric reflection's mates are one measurement written
                // twice, or once: the first present.
                const MergedReflection* p = hasPlus ? &plus : nullptr;
                const MergedReflection* m = hasMinus && !(centric && hasPlus) ? &minus : nullptr;
                mates = matesOf(p, m, centric);
                if (meanOnly) {
                    const MergedReflection mean = meanOf(plus, p, m);
                    x = static_cast<float>(mean.intensity), e = static_cast<float>(mean.sigma);
                }
            }
            data.mates.push_back(mates);
        }
        if (!meanOnly) x = row[chosen.value], e = row[chosen.sigma];
        const bool missing = std::isnan(x) || std::isnan(e) || (!std::isnan(mtz.valm) && (x == mtz.valm || e == mtz.valm));
        const double sigmaValue = missing || !(e > 0) || !std::isfinite(x) ? NAN : e;
        if (!std::isnan(sigmaValue)) ++present;
        data.rows.push_back(MergedReflection::of(h, k, l, x, sigmaValue));
    }
    data.summary = common::FreeLine()
                       .integer(mtz.nreflections)
                       .text("reflections read, columns " + chosen.labels + ";")
                       .integer(present)
                       .text(std::string("with a value and a positive sigma (") +
                             (data.amplitudes ? "amplitudes" : "intensities") + ")")
                       .str();
    data.mtz = std::move(mtz);
    return data;
}

}  // namespace ovoscale
