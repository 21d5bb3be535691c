#include "ovoclip/summary.hpp"

#include "common/layout/fits.hpp"
#include "common/output_file.hpp"
#include "common/layout/planeview_script.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace ovoclip {

PlaneviewScript formatPlaneviewScript(const TruncationTally& tally) {
    namespace layout = common::planeview_script;
    PlaneviewScript script;
    script.records[0] = layout::countRecord(tally.reflectionsIn);
    script.records[1] = layout::countRecord(tally.reflectionsRejected);
    script.records[2] = layout::meanRecord(tally.meanRejectedFOverSigma);
    script.records[3] = layout::keptRecord(int64_t{tally.reflectionsIn} - tally.reflectionsRejected);
    return script;
}

void writePlaneviewScript(const TruncationTally& tally) {
    const std::string name =
        common::askFileName("Please type in name of planeview script", "name of the planeview script");
    common::OutputFile file(name);
    const PlaneviewScript script = formatPlaneviewScript(tally);
    // planeview reads each of these back: a field of asterisks would stop it.
    common::requireFits(file, script.records[0], "the count of reflections read", tally.reflectionsIn);
    file.writeRecord(script.records[0]);
    common::say(common::FreeLine()
                    .integer(tally.reflectionsRejected)
                    .text(" were rejected for being outside the ellipsoid"));
    common::requireFits(file, script.records[1], "the count of rejected reflections", tally.reflectionsRejected);
    file.writeRecord(script.records[1]);
    common::say(common::FreeLine().text("These had an average F/sigma = ").real(tally.meanRejectedFOverSigma));
    common::requireFits(file, script.records[2], "the mean F/sigma of the rejected reflections",
                        tally.meanRejectedFOverSigma);
    file.writeRecord(script.records[2]);
    const int64_t remaining = tally.reflectionsIn - tally.reflectionsRejected;
    common::say(common::FreeLine().integer(remaining).text("reflections remain after ellipsoidal truncation"));
    common::requireFits(file, script.records[3], "the count of remaining reflections", remaining);
    file.writeRecord(script.records[3]);
    file.close();
}

}  // namespace ovoclip
