// honer: finds the table of principal components in a Phaser log and writes
// a CAD keyword script that applies one of its B values, with a scale of
// 1.00, to FP_ISO and SIGFP_ISO.
//
// Run: two file names on standard input (the Phaser log, the cad input file
// to create). The heading of the table is the first log record whose columns
// 6-11 read "eigenB"; the B value is in columns 6-14 of the third record
// after it. Exit 0 with a script written, 1 when the log holds no heading
// (the cad input file then stays empty), 2 on a failed open or read.

#include "common/layout/cad_script.hpp"
#include "common/layout/eigen_b.hpp"
#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/layout/fits.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "honer/honer.hpp"

#include <string>
#include <string_view>

namespace {

struct HonerFileNames {
    std::string log;
    std::string cadInput;
};

HonerFileNames askFileNames() {
    HonerFileNames names;
    names.log = common::askFileName("Please type phaser log file", "name of the phaser log");
    names.cadInput = common::askFileName("Type name of cad input file", "name of the cad input file");
    return names;
}

void writeCadInput(common::OutputFile& cad, float negB) {
    namespace layout = common::cad_script;
    cad.writeRecord(layout::kTitleRecord);
    const std::string scale = layout::scaleRecord(negB);
    // planeview reads the value back from columns 25-36.
    common::requireFits(cad, std::string_view(scale).substr(layout::kScaleKeywords.size()), "the B value", negB);
    cad.writeRecord(scale);
    cad.writeRecord(layout::inputLabelsRecord(layout::kApplyToF, layout::kApplyToSigma));
    cad.writeRecord(layout::outputLabelsRecord(layout::kResultF, layout::kResultSigma));
    cad.writeRecord(layout::kEndRecord);
    cad.close();
}

}  // namespace

namespace honer {

int runHoner() {
    const HonerFileNames names = askFileNames();
    common::InputFile log(names.log);
    common::OutputFile cad(names.cadInput);

    if (!common::eigen_b::findHeading(log)) {
        common::report("no \"eigenB\" heading in columns 6-11 of " + log.name() +
                       "; the cad input file is left empty");
        common::say("You Yorv always get what you want");
        return common::kExitNoResult;
    }
    common::say("Hurray I found the principle components");

    const float negB = common::eigen_b::readResharpeningB(log);
    writeCadInput(cad, negB);

    common::say(common::FreeLine().text("Preparing cad to apply a B-factor of").real(negB));
    common::say("honer is finished");
    return 0;
}

}  // namespace honer
