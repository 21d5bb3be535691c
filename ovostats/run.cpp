// ovostats's run: the answers, the data set's header, the two passes over
// its observations, then the table and the JSON file, both or neither.
#include "ovostats/run.hpp"

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/layout/input_script.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "ovostats/input.hpp"

namespace ovostats {

namespace {

namespace merging_table = common::merging_table;

constexpr int kMostShells = 200;

int shellCountFrom(const std::string& word, const std::string& answer) {
    if (word.empty() || word.size() > 4 || word.find_first_not_of("0123456789") != std::string::npos) {
        common::fail("the shells \"" + answer + "\" are not a number of shells from 1 to " +
                     std::to_string(kMostShells));
    }
    const int count = std::stoi(word);
    if (count < 1 || count > kMostShells) {
        common::fail("the shells \"" + answer + "\" are not a number of shells from 1 to " +
                     std::to_string(kMostShells));
    }
    return count;
}

// The script's ellipsoid, read as ovoclip reads records 3 to 5 (records 1
// and 2, the names, are not used here).
common::EllipsoidFrame readEllipsoid(const std::string& name) {
    common::InputFile script(name);
    namespace layout = common::input_script;
    common::InputScript contents;
    script.nextOrFail("record 1, the name of the XDS reflection file");
    script.nextOrFail("record 2, the name of the truncated file");
    const std::string cellRecord(script.nextOrFail("record 3, the cell"));
    contents.cell = layout::readCell(cellRecord, script);
    layout::readAxes(script.nextOrFail("record 4, the ellipsoid axes"), script, contents.ellipsoidAxes);
    layout::readLimits(script.nextOrFail("record 5, the three resolution limits"), script, contents.limits);
    for (const float limit : contents.limits) {
        if (!(limit > 0)) common::fail(script.name() + ": record 5 holds a limit that is not above 0");
    }
    return common::ellipsoidOfScript(contents);
}

}  // namespace

ShellChoice shellChoiceFrom(const std::string& answer) {
    std::istringstream in(answer);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    ShellChoice choice;
    if (words.empty()) return choice;
    if (words[0] == "volume" || words[0] == "VOLUME") {
        if (words.size() != 2) common::fail("the shells \"" + answer + "\" are not \"volume\" and a number");
        choice.kind = ShellChoice::equalVolume;
        choice.count = shellCountFrom(words[1], answer);
        return choice;
    }
    if (words.size() == 1 && words[0].find('.') == std::string::npos) {
        choice.count = shellCountFrom(words[0], answer);
        return choice;
    }
    choice.kind = ShellChoice::given;
    for (const std::string& w : words) {
        float value = 0;
        if (common::parseFreeNumber(w, value) != common::ParseStatus::ok || !(value > 0) || !std::isfinite(value)) {
            common::fail("the shell limit \"" + w + "\" is not a positive number");
        }
        if (!choice.dMin.empty() && !(value < choice.dMin.back())) {
            common::fail("the shell limits \"" + answer + "\" do not fall from the largest to the smallest");
        }
        choice.dMin.push_back(value);
    }
    if (choice.dMin.size() > kMostShells) common::fail("more than " + std::to_string(kMostShells) + " shell limits");
    return choice;
}

int runOvostats() {
    const std::string dataName = common::askFileName("Please type in name of the unmerged reflection file",
                                                     "name of the reflection file");
    const std::string scriptName =
        common::askFileName("Please type the ovoclip input script (blank for none)", "name of the input script");
    const ShellChoice shells = shellChoiceFrom(common::ask("Please type the shells (blank for 10)", "shells"));
    const std::string tableName =
        common::askFileName("Please type the name of the table to create", "name of the table");
    const std::string jsonName =
        common::askFileName("Please type the name of the JSON file to create", "name of the JSON file");
    if (dataName.empty()) common::fail("no name was given for the reflection file");
    if (tableName.empty()) common::fail("no name was given for the table");
    if (jsonName.empty()) common::fail("no name was given for the JSON file");
    if (tableName == jsonName) common::fail("the table and the JSON file have one name: " + common::quoted(tableName));

    Setup setup;
    if (!scriptName.empty()) setup.ellipsoid = readEllipsoid(scriptName);
    const auto input = std::make_unique<ObservationInput>(dataName);
    setup.cell = input->cell;
    setup.spaceGroup = input->spaceGroup;
    setup.friedelsLaw = input->friedelsLaw;
    setup.shells = shells;
    setup.recordsAtMost = input->recordsAtMost;

    // Both outputs exist under hidden names until both are complete.
    common::AllOrNothingFile table(tableName);
    common::AllOrNothingFile json(jsonName);

    MergingStatistics statistics(setup);
    input->forEach([&](const Observation& o) { statistics.addFirst(o); });
    if (!statistics.endFirstPass()) {
        common::report("no observation of " + common::quoted(dataName) +
                       " can be counted (none with sigma above 0 outside the systematic absences): nothing written");
        return common::kExitNoResult;
    }
    input->forEach([&](const Observation& o) { statistics.addSecond(o); });
    const std::vector<merging_table::Table> tables = statistics.tables();
    if (input->merged) {
        common::report("warning: " + common::quoted(dataName) +
                       " says its data are merged: every reflection counts once, and Rmerge and CC1/2 are not defined");
    }

    const Tally& tally = statistics.tally();
    common::say(input->kind + " file " + dataName + ", space group " + setup.spaceGroup->xhm() +
                (setup.friedelsLaw ? ", Friedel's law on" : ", Friedel mates apart"));
    common::say("observations used " + std::to_string(tally.used) + ", left out for their sigma or I " +
                std::to_string(tally.leftOut) + ", systematically absent " + std::to_string(tally.absent) +
                ", beyond the shells " + std::to_string(tally.outsideShells));
    for (const merging_table::Table& t : tables) {
        for (const std::string& line : merging_table::lines(t)) {
            table.writeRecord(line);
            common::say(line);
        }
    }
    json.writeText(merging_table::json(tables));
    table.flush();
    json.flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) common::fail("cannot write to standard output");
    table.close();
    json.close();
    return 0;
}

}  // namespace ovostats
