#include "planeview/inputs.hpp"

#include "common/layout/cad_script.hpp"
#include "common/layout/planeview_script.hpp"
#include "common/layout/input_script.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace planeview {

FileNames askFileNames() {
    FileNames names;
    names.inputScript = common::askFileName("Please type ovoclip input file", "name of the ovoclip input file");
    names.finFile = common::askFileName("Type fin file with 4 data sets", "name of the fin file");
    names.page = common::askFileName("Type output ps file", "name of the output ps file");
    names.planeviewScript =
        common::askFileName("Please type the planeview input file", "name of the planeview input file");
    names.cadInput = common::askFileName("Please type the cad -B input file", "name of the cad -B input file");
    return names;
}

CellAndLimits readCellAndLimits(common::InputFile& script) {
    CellAndLimits result;
    script.nextOrFail("record 1 of the ovoclip input file (input reflection file)");
    script.nextOrFail("record 2 of the ovoclip input file (output reflection file)");

    namespace layout = common::input_script;
    result.cell = layout::readCell(script.nextOrFail("record 3 of the ovoclip input file (the cell)"), script);
    script.nextOrFail("record 4 of the ovoclip input file (the ellipsoid axes)");
    float limits[3];
    layout::readLimits(script.nextOrFail("record 5 of the ovoclip input file (the limits)"), script, limits);
    result.limits = {limits[0], limits[1], limits[2]};
    return result;
}

float chooseMaxResolution(const Limits& limits) {
    const float l1 = limits.onAstar, l2 = limits.onBstar, l3 = limits.onCstar;
    if (l1 <= l2 && l1 <= l3) return l1;
    if (l2 <= l1 && l2 <= l3) return l2;
    return l3;
}

AmplitudeStats gatherAmplitudeStats(common::InputFile& fin) {
    AmplitudeStats stats;
    double sum0 = 0, sum1 = 0, sum2 = 0, sum3 = 0;
    uint64_t count = 0;
    float F[kDataSets] = {};
    std::string_view line;
    while (fin.next(line)) {
        readFinAmplitudesForMeans(line, fin, F);
        ++count;
        sum0 += F[0];
        sum1 += F[1];
        sum2 += F[2];
        sum3 += F[3];
    }
    stats.recordCount = count;
    stats.sumF[0] = sum0;
    stats.sumF[1] = sum1;
    stats.sumF[2] = sum2;
    stats.sumF[3] = sum3;
    if (count > 0) {
        const double n = static_cast<double>(count);
        for (int set = 0; set < kDataSets; ++set) stats.meanF[set] = static_cast<float>(stats.sumF[set] / n);
    }
    return stats;
}

TruncationSummary readTruncationSummary(common::InputFile& planeviewScript) {
    namespace layout = common::planeview_script;
    TruncationSummary summary;
    summary.reflectionsIn = layout::readCount(
        planeviewScript.nextOrFail("record 1 of the planeview input file (reflections in)"), planeviewScript);
    summary.reflectionsRejected = layout::readCount(
        planeviewScript.nextOrFail("record 2 of the planeview input file (reflections rejected)"), planeviewScript);
    summary.meanRejectedFOverSigma = layout::readMean(
        planeviewScript.nextOrFail("record 3 of the planeview input file (mean F/sigma)"), planeviewScript);
    summary.reflectionsRemaining = layout::readCount(
        planeviewScript.nextOrFail("record 4 of the planeview input file (reflections remaining)"), planeviewScript);
    return summary;
}

float readNegB(common::InputFile& cadInput) {
    cadInput.nextOrFail("record 1 of the cad -B input file (title)");
    return common::cad_script::readScaleRecord(
        cadInput.nextOrFail("record 2 of the cad -B input file (SCAL with the B value)"), cadInput);
}

}  // namespace planeview
