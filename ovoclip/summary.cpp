#include "ovoclip/summary.hpp"

#include "common/files.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace ovoclip {

PlaneviewScript formatPlaneviewScript(const TruncationTally& tally) {
    PlaneviewScript script;
    common::appendInteger(script.records[0], tally.reflectionsIn, 9);
    common::appendInteger(script.records[1], tally.reflectionsRejected, 9);
    common::appendFixed(script.records[2], tally.meanRejectedFOverSigma, 12, 2);
    // The kept count, exact, in the F12.2 layout: the point stands in column
    // 10, so columns 1-9 read back as the count in I9.
    const std::string remaining = std::to_string(tally.reflectionsIn - tally.reflectionsRejected) + ".00";
    if (remaining.size() > 12) {
        script.records[3].assign(12, '*');
    } else {
        script.records[3].assign(12 - remaining.size(), ' ');
        script.records[3] += remaining;
    }
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
