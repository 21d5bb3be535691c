// finjoin's run: the dialogue (a reflection file and two labels for each of
// the four stages, then the fin file), the stages read and checked, and the
// fin file created only then, and whole or not at all, so a failed run
// leaves none. The files and
// what ends a run: README.md, "finjoin".

#include "finjoin/run.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.hpp"
#include "common/output_file.hpp"
#include "common/layout/fin_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "finjoin/join.hpp"
#include "finjoin/stage.hpp"

namespace finjoin {

namespace {

struct StageNames {
    std::string_view data;      // in the prompts
    std::string_view label;     // on the terminal, as planeview heads them
    std::string_view fLabel;    // the usual labels
    std::string_view sigmaLabel;
};

constexpr StageNames kStages[common::fin_file::kDataSets] = {
    {"the initial data", "init", "FP", "SIGFP"},
    {"the truncated data", "trunc", "FP", "SIGFP"},
    {"the anisotropically scaled data", "aniso", "FP_ISO", "SIGFP_ISO"},
    {"the data with the isotropic B applied", "isob", "FP_ISOB", "SIGFP_ISOB"},
};

struct Dialogue {
    StageRequest stages[common::fin_file::kDataSets];
    std::string fin;
};

// A label answer without its surrounding blanks; a blank answer stays
// blank, for the usual label of the file's format.
std::string askLabel(std::string_view what, std::string_view usual) {
    const std::string prompt = "Type " + std::string(what) + " label (blank for " + std::string(usual) + ")";
    const std::string answer = common::ask(prompt, std::string(what) + " label");
    const size_t first = answer.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const size_t last = answer.find_last_not_of(" \t");
    return answer.substr(first, last - first + 1);
}

Dialogue askStagesAndFinName() {
    Dialogue dialogue;
    for (int set = 0; set < common::fin_file::kDataSets; ++set) {
        const StageNames& names = kStages[set];
        StageRequest& request = dialogue.stages[set];
        request.file = common::askFileName("Type MTZ file of " + std::string(names.data),
                                           "reflection file of " + std::string(names.data));
        request.fLabel = askLabel("F", names.fLabel);
        request.sigmaLabel = askLabel("sigma", names.sigmaLabel);
        request.usualMtzF = names.fLabel;
        request.usualMtzSigma = names.sigmaLabel;
    }
    dialogue.fin = common::askFileName("Type fin file to create", "name of the fin file");
    return dialogue;
}

void sayStage(int set, const StageRequest& request, const StageData& stage) {
    common::say(common::FreeLine()
                    .text(std::string(kStages[set].label) + ":")
                    .text(request.file)
                    .text("columns")
                    .text(stage.fLabel)
                    .text(stage.sigmaLabel));
    common::say(common::FreeLine()
                    .text("reflections taken")
                    .integer(static_cast<int64_t>(stage.rows.size()))
                    .text("of")
                    .integer(static_cast<int64_t>(stage.fileReflections))
                    .text("resolution")
                    .text(common::fixedText(static_cast<float>(stage.lowResolution), 2))
                    .text("to")
                    .text(common::fixedText(static_cast<float>(stage.highResolution), 2)));
}

// The files of one data flow share the space group; their cells may differ
// a little after scaling, more is worth a word. Each is compared with the
// first file that gives it; an mmCIF file may give neither.
struct Reference {
    std::string spaceGroup, spaceGroupHall, spaceGroupFile;
    double cellEdges[3] = {};
    double cellAngles[3] = {};
    std::string cellFile;
};

bool sameSpaceGroup(const Reference& reference, const StageData& stage) {
    if (!reference.spaceGroupHall.empty() && !stage.spaceGroupHall.empty()) {
        return reference.spaceGroupHall == stage.spaceGroupHall;
    }
    return reference.spaceGroup == stage.spaceGroup;  // a name gemmi does not know
}

void compareWithReference(Reference& reference, const StageData& stage, const std::string& file) {
    if (stage.spaceGroup.empty()) {
        common::report("warning: \"" + file + "\" gives no space group; it is not compared with the other files'");
    } else if (reference.spaceGroupFile.empty()) {
        reference.spaceGroup = stage.spaceGroup;
        reference.spaceGroupHall = stage.spaceGroupHall;
        reference.spaceGroupFile = file;
    } else if (!sameSpaceGroup(reference, stage)) {
        common::fail("space group " + stage.spaceGroup + " of \"" + file + "\" differs from " + reference.spaceGroup +
                     " of \"" + reference.spaceGroupFile + "\"");
    }

    if (!stage.cellKnown) {
        common::report("warning: \"" + file + "\" gives no cell; no resolution is shown for it and its cell is not "
                       "compared with the other files'");
        return;
    }
    if (reference.cellFile.empty()) {
        for (int i = 0; i < 3; ++i) {
            reference.cellEdges[i] = stage.cellEdges[i];
            reference.cellAngles[i] = stage.cellAngles[i];
        }
        reference.cellFile = file;
        return;
    }
    auto three = [](const double (&values)[3]) {
        return common::fixedText(static_cast<float>(values[0]), 2) + " " +
               common::fixedText(static_cast<float>(values[1]), 2) + " " +
               common::fixedText(static_cast<float>(values[2]), 2);
    };
    for (int edge = 0; edge < 3; ++edge) {
        if (std::fabs(stage.cellEdges[edge] - reference.cellEdges[edge]) > 0.01 * reference.cellEdges[edge]) {
            common::report("warning: the cell edges of \"" + file + "\" (" + three(stage.cellEdges) +
                           ") differ by more than 1% from those of \"" + reference.cellFile + "\"");
            break;
        }
    }
    // An angle of another setting or another lattice, not scaling.
    for (int angle = 0; angle < 3; ++angle) {
        if (std::fabs(stage.cellAngles[angle] - reference.cellAngles[angle]) > 1) {
            common::report("warning: the cell angles of \"" + file + "\" (" + three(stage.cellAngles) +
                           ") differ by more than 1 degree from those of \"" + reference.cellFile + "\"");
            break;
        }
    }
}

}  // namespace

int runFinjoin() {
    const Dialogue dialogue = askStagesAndFinName();

    std::vector<JoinedReflection> table;
    Reference reference;
    for (int set = 0; set < common::fin_file::kDataSets; ++set) {
        const StageRequest& request = dialogue.stages[set];
        StageData stage = readStage(request);
        compareWithReference(reference, stage, request.file);
        sayStage(set, request, stage);
        joinStage(table, stage.rows, set);
    }

    // Nothing to draw: no file, rather than an empty one.
    if (table.empty()) {
        common::report("no reflection has F and sigma in any of the four stages; no fin file written");
        return common::kExitNoResult;
    }

    // Complete or not there: a run that fails or is ended while writing
    // leaves no fin file to block the next one.
    common::RunOutputs outputs;
    common::AllOrNothingFile fin(outputs, dialogue.fin);
    const uint64_t written = writeFinFile(fin, table);
    fin.close();
    const auto records = static_cast<int64_t>(written);
    common::say(common::FreeLine().text("records written to").text(dialogue.fin).integer(records));
    outputs.keep();  // with the transcript written
    return 0;
}

}  // namespace finjoin
