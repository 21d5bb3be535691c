// The run of planeview, from the five prompts to "bye".
//
// The fin file is read twice, once for the mean amplitudes and once to
// draw; the dots of each record are written as the record is read, so
// memory does not depend on the length of the file. The B value of the cad
// input file is read where the narrative comes to it, so that a cad input
// file that fails to read leaves the page ending just before it.

#include "planeview/run.hpp"

#include "common/cell.hpp"
#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "planeview/inputs.hpp"
#include "planeview/page.hpp"
#include "planeview/panels.hpp"

namespace planeview {

namespace {

using common::FreeLine;
using common::say;

void echoCell(const common::UnitCell& cell, const common::ReciprocalCell& r, const Limits& limits) {
    say(FreeLine().text("a= ").real(cell.a).text(" b= ").real(cell.b).text(" c= ").real(cell.c));
    say(FreeLine().text("alpha= ").real(cell.alpha).text(" beta= ").real(cell.beta).text(" gamma= ").real(cell.gamma));
    say(FreeLine().text("astar= ").real(r.astar).text(" bstar= ").real(r.bstar).text(" cstar=").real(r.cstar));
    say(FreeLine().text("volume of direct unit cell= ").real(r.volume));
    say(FreeLine().text("cosalpha*= ").real(r.cosalphastar));
    say(FreeLine().text("cosbeta*= ").real(r.cosbetastar));
    say(FreeLine().text("cosgamma*= ").real(r.cosgammastar));
    say(FreeLine().text("sinalpha*= ").real(r.sinalphastar));
    say(FreeLine().text("sinbeta*= ").real(r.sinbetastar));
    say(FreeLine().text("singamma*= ").real(r.singammastar));
    say(FreeLine().text("limit on a* is").real(limits.onAstar));
    say(FreeLine().text("limit on b* is").real(limits.onBstar));
    say(FreeLine().text("limit on c* is").real(limits.onCstar));
}

}  // namespace

int runPlaneview() {
    const FileNames names = askFileNames();

    common::InputFile script(names.inputScript);
    common::InputFile fin(names.finFile);
    common::OutputFile page(names.page);
    common::InputFile planeviewScript(names.planeviewScript);
    common::InputFile cadInput(names.cadInput);

    const CellAndLimits input = readCellAndLimits(script);
    const common::ReciprocalCell reciprocal = common::computeReciprocalCell(input.cell);
    echoCell(input.cell, reciprocal, input.limits);
    const float maxResolution = chooseMaxResolution(input.limits);
    say(FreeLine().text("maximum resolution is").real(maxResolution));

    writePageHeader(page);

    const AmplitudeStats stats = gatherAmplitudeStats(fin);
    FreeLine means;  // 0s for a fin file without records
    means.text("ave|F|init,trunc,aniso,isob");
    for (const float mean : stats.meanF) means.real(mean);
    say(means);

    const float plotScale = maxResolution * 70.0f;
    say(FreeLine().text("scaling the reciprocal cell by").real(plotScale));

    fin.rewind();
    drawPanels(fin, reciprocal, plotScale, stats.meanF, page);

    const TruncationSummary summary = readTruncationSummary(planeviewScript);
    writeNarrativeBeforeB(summary, input.limits, page);
    const float negB = readNegB(cadInput);
    writeNarrativeFromB(negB, page);
    say(FreeLine().text("negB applied by cad was").real(negB));

    writeLegendAndLabels(page);
    page.close();  // a failed write is reported before "bye"

    say("bye");
    return 0;
}

}  // namespace planeview
