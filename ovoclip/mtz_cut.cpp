// gemmi's MTZ writer is compiled here, before the header includes gemmi.
#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>
#undef GEMMI_WRITE_IMPLEMENTATION

#include "ovoclip/mtz_cut.hpp"

#include <cmath>

#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace ovoclip {

namespace reflections = common::reflections;

// The output is created first, as the XDS route creates its own: a name
// taken ends the run before the reading.
MtzCut::MtzCut(const std::string& input, const std::string& output)
    : file_(output), headers_(reflections::readMtzWhole(input)) {}

void MtzCut::cut(const EllipsoidFrame& frame, TruncationTally& tally) {
    common::say("reading the MTZ file now");
    reflections::MtzHeaders& headers = headers_;
    common::AllOrNothingFile& file = file_;
    const reflections::MtzColumns chosen = reflections::chooseMtzColumns(headers, "");
    gemmi::Mtz& mtz = headers.mtz;
    const size_t columns = mtz.columns.size();
    const auto rows = static_cast<size_t>(mtz.nreflections);
    size_t kept = 0;
    for (size_t r = 0; r < rows; ++r) {
        const float* row = &mtz.data[r * columns];
        ++tally.reflectionsIn;
        if (isInsideEllipsoid(static_cast<int32_t>(row[0]), static_cast<int32_t>(row[1]), static_cast<int32_t>(row[2]),
                              frame)) {
            if (kept != r) std::copy(row, row + columns, &mtz.data[kept * columns]);
            ++kept;
            continue;
        }
        ++tally.reflectionsRejected;
        // The row's value: the mean, or the first mate present.
        float value = NAN, sigma = NAN;
        for (const auto& [v, s] : {std::pair{chosen.value, chosen.sigma}, std::pair{chosen.plus, chosen.sigmaPlus},
                                   std::pair{chosen.minus, chosen.sigmaMinus}}) {
            if (v < 0 || !std::isnan(value)) continue;
            value = reflections::mtzValue(mtz, row, v);
            sigma = reflections::mtzValue(mtz, row, s);
            if (std::isnan(sigma)) value = NAN;
        }
        if (!std::isnan(value)) {
            tally.sumRejectedF += value;
            tally.sumRejectedSigma += sigma;
        }
    }
    if (tally.reflectionsRejected > 0 && tally.sumRejectedSigma > 0) {
        tally.meanRejectedFOverSigma = static_cast<float>(tally.sumRejectedF / tally.sumRejectedSigma);
    }
    common::say(common::FreeLine().integer(tally.reflectionsIn).text(" reflections were input"));
    if (headers.unmerged()) {
        common::say(common::FreeLine()
                        .text("unmerged data: each row an observation, kept with its reflection; columns")
                        .text(chosen.labels));
    } else {
        common::say(common::FreeLine().text("merged data; every column kept; the counts from columns").text(chosen.labels));
    }
    mtz.data.resize(kept * columns);
    mtz.nreflections = static_cast<int>(kept);
    mtz.history.insert(mtz.history.begin(), "ovoclip: the reflections inside the ellipsoid kept");
    mtz.write_to_stream([&file](const void* bytes, size_t size, size_t count) {
        file.writeText(std::string_view(static_cast<const char*>(bytes), size * count));
        return count;
    });
    file.close();
}

}  // namespace ovoclip
