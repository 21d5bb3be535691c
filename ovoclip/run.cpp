// ovoclip's run: the input script, the reslimit file, the truncation pass and
// the planeview script, in the order a run takes them.
#include "ovoclip/run.hpp"

#include <optional>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "common/reflections/reflection_file.hpp"
#include "ovoclip/input_script.hpp"
#include "ovoclip/mtz_cut.hpp"
#include "ovoclip/summary.hpp"
#include "ovoclip/truncation.hpp"

namespace ovoclip {

namespace {

void echoCell(const common::UnitCell& cell, const common::ReciprocalCell& reciprocal) {
    // The angles go to radians and back, as the ellipsoid test sees them.
    auto roundTrip = [](float degrees) { return (180.0f * common::degreesToRadians(degrees)) / common::kPi; };
    common::say(common::FreeLine().text("a= ").real(cell.a).text(" b= ").real(cell.b).text(" c= ").real(cell.c));
    common::say(common::FreeLine()
                    .text("alpha= ")
                    .real(roundTrip(cell.alpha))
                    .text(" beta= ")
                    .real(roundTrip(cell.beta))
                    .text(" gamma= ")
                    .real(roundTrip(cell.gamma)));
    common::say(common::FreeLine()
                    .text("astar= ")
                    .real(reciprocal.astar)
                    .text(" bstar= ")
                    .real(reciprocal.bstar)
                    .text(" cstar=")
                    .real(reciprocal.cstar));
    common::say(common::FreeLine().text("cosalpha*=").real(reciprocal.cosalphastar));
}

}  // namespace

int runOvoclip() {
    const InputScript script = readInputScript();
    // An MTZ file, merged or unmerged, is read whole and its cut created
    // before anything is written; the XDS file is read as ever, a record at
    // a time, after the reslimit file.
    const std::string inputName = common::fileNameFrom(script.inputReflectionFile);
    std::optional<MtzCut> mtzCut;
    if (common::reflections::isMtz(inputName)) {
        mtzCut.emplace(inputName, common::fileNameFrom(script.outputReflectionFile));
    }

    // The reslimit file is written and closed before either reflection file
    // is opened, so it is whole whatever happens later (a signal, a full
    // disk); an empty one would block the next run.
    common::OutputFile resLimitFile(resLimitFileName(script.inputReflectionFile));
    const ResolutionLimits limits = limitsByRow(script.limits);
    common::say(common::FreeLine()
                    .text("Low, medium and high res limits")
                    .real(limits.lowResLimit)
                    .real(limits.mediumResLimit)
                    .real(limits.highResLimit));
    resLimitFile.writeRecord(resLimitRecord(limits));
    resLimitFile.close();

    TruncationTally tally;
    const common::UnitCell& cell = script.cell;
    const common::ReciprocalCell reciprocal = common::computeReciprocalCell(cell);
    if (mtzCut) {
        echoCell(cell, reciprocal);
        mtzCut->cut(prepareEllipsoid(cell, reciprocal, script.ellipsoidAxes, limits), tally);
        writePlaneviewScript(tally);
        return 0;
    }
    common::InputFile input(inputName);
    common::OutputFile output(common::fileNameFrom(script.outputReflectionFile));
    echoCell(cell, reciprocal);

    const EllipsoidFrame frame = prepareEllipsoid(cell, reciprocal, script.ellipsoidAxes, limits);
    if (truncateReflectionFile(input, output, frame, tally) == PassEnd::headerNotEnded) {
        common::report("no end-of-header line (\"!END_OF_HEADER\" in columns 1-14) was found in " + input.name() +
                       "; no reflections were read");
        return common::kExitNoResult;
    }
    output.close();

    writePlaneviewScript(tally);
    return 0;
}

}  // namespace ovoclip
