// ovofit's run: the answers, one pass over the XDS file with the merge, the
// axes and the three limits, then the input script and the plot.
#include "ovofit/run.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include <gemmi/unitcell.hpp>

#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "common/file_names.hpp"
#include "common/layout/input_script.hpp"
#include "common/layout/limits_table.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "common/reflections/merge.hpp"
#include "common/reflections/reflection_file.hpp"
#include "ovofit/deposition.hpp"
#include "ovofit/ellipsoid.hpp"
#include "ovofit/plot.hpp"

namespace ovofit {

namespace {

constexpr double kDefaultThreshold = 1.5;  // I/sigma(I), the classic F/sigma(F) of 3

struct Answers {
    std::string xdsFile, truncatedFile, script, plot, deposition;
    double threshold = kDefaultThreshold;
    Criterion criterion = Criterion::signal;
};

Criterion criterionFrom(const std::string& answer) {
    const size_t first = answer.find_first_not_of(' ');
    if (first == std::string::npos) return Criterion::signal;
    std::string word = answer.substr(first);
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "I/SIGMA" || word == "I/SIGMA(I)") return Criterion::signal;
    if (word == "CC1/2" || word == "CC_HALF") return Criterion::correlation;
    common::fail("the limit criterion \"" + answer + "\" is neither I/sigma nor CC1/2");
}

// Exactly one number, positive and finite: "1,5" or "1.5 2.5" is refused,
// not read as far as it goes.
double thresholdFrom(const std::string& answer) {
    const size_t first = answer.find_first_not_of(' ');
    if (first == std::string::npos) return kDefaultThreshold;
    const std::string number = answer.substr(first, answer.find_last_not_of(' ') + 1 - first);
    float value = 0;
    if (number.find_first_of(" ,;\t") != std::string::npos ||
        common::parseFreeNumber(number, value) != common::ParseStatus::ok || !(value > 0) || !std::isfinite(value)) {
        common::fail("the threshold \"" + answer + "\" is not one positive number");
    }
    return value;
}

void checkScriptName(const std::string& name, const std::string& what) {
    if (name.empty()) common::fail("no name was given for the " + what);
    if (!common::input_script::nameFits(name)) {
        common::fail("the name of the " + what + " holds a character that its record in the input script cannot hold");
    }
}

Answers askAnswers() {
    Answers answers;
    answers.xdsFile = common::askFileName("Please type in name of XDS reflection file",
                                          "name of the XDS reflection file");
    // Refused at once when it cannot be opened, before the other questions;
    // the reflection layer opens it again to read it.
    { const common::InputFile opened(answers.xdsFile); }
    answers.threshold = thresholdFrom(
        common::ask("Please type the I/sigma(I) threshold (blank for 1.5)", "I/sigma(I) threshold"));
    answers.truncatedFile = common::askFileName("Please type the name of the truncated file for ovoclip",
                                                "name of the truncated file");
    // ovoclip would write its truncated file over what it reads, or over
    // its own script.
    if (!answers.truncatedFile.empty() && common::sameFile(answers.truncatedFile, answers.xdsFile)) {
        common::fail("the truncated file \"" + answers.truncatedFile + "\" is the XDS reflection file itself");
    }
    answers.script = common::askFileName("Please type the name of the input script to create",
                                         "name of the input script");
    if (!answers.script.empty() && !answers.truncatedFile.empty() && common::sameFile(answers.truncatedFile, answers.script)) {
        common::fail("the truncated file \"" + answers.truncatedFile + "\" is the input script being written");
    }
    answers.plot = common::askFileName("Please type the name of the plot to create (blank for none)",
                                       "name of the plot");
    // Asked after today's five, a missing answer a blank one: drivers that
    // give five answers run as before.
    answers.criterion = criterionFrom(common::askOrBlank(
        "Please type the limit criterion, I/sigma or CC1/2 (blank for I/sigma)", "limit criterion"));
    answers.deposition = common::fileNameFrom(common::askOrBlank(
        "Please type the name of the deposition mmCIF fragment to create (blank for none)",
        "name of the deposition fragment"));
    if (const std::string fault = common::faultOfFileName(answers.deposition); !fault.empty()) {
        common::fail("the name of the deposition fragment names no file: " + fault);
    }
    for (const std::string* other : {&answers.xdsFile, &answers.script, &answers.plot}) {
        if (!answers.deposition.empty() && !other->empty() && common::sameFile(answers.deposition, *other)) {
            common::fail("the deposition fragment \"" + answers.deposition + "\" is another file of this run");
        }
    }
    checkScriptName(answers.xdsFile, "XDS reflection file");
    checkScriptName(answers.truncatedFile, "truncated file");
    if (answers.script.empty()) common::fail("no name was given for the input script");
    return answers;
}

std::vector<MergedReflection> readAndMerge(common::reflections::ReflectionFile& file,
                                           std::vector<HalfMeans>& halves) {
    // The records a file's size can hold bound its unique reflections: a
    // merged file's list is made that large at once, an unmerged file's
    // table never grows beyond room for them.
    const common::reflections::ReflectionHeader& header = file.header();
    const size_t room = header.recordsAtMost;
    Merger merger(*header.spaceGroup, header.friedelsLaw, header.merged ? room : 0, !header.merged, room);
    int64_t records = 0;
    file.forEach([&](const Observation& observation) {
        ++records;
        if (!merger.add(observation)) {
            file.failAtRecord(1, 18, "indices beyond " + std::to_string(kIndexLimit - 1) +
                                         " in the asymmetric unit cannot be merged");
        }
    });
    std::vector<MergedReflection> merged = merger.result();
    halves = merger.takeHalfMeans();
    common::say(common::FreeLine()
                    .integer(records)
                    .text(header.merged ? "records of merged data read;" : "records of unmerged data read;")
                    .integer(merger.leftOut())
                    .text("left out (sigma(I) not above 0);")
                    .integer(merger.used())
                    .text("records merged to")
                    .integer(static_cast<int64_t>(merged.size()))
                    // Counted as ovostats counts them only where Friedel's law
                    // holds: it merges the mates, this fit keeps them apart.
                    .text(header.friedelsLaw ? "unique reflections; systematic absences left out:"
                                             : "unique reflections (Friedel mates apart); systematic absences left out:")
                    .integer(merger.absent())
                    .text("unique reflections"));
    return merged;
}

std::string directionName(const EllipsoidAxes& axes, int i) {
    if (axes.fitted) return "a principal axis of the falloff";
    static const char* kFrameAxes[3] = {"x, along a", "y, in the a-b plane normal to a", "z, along c*"};
    return kFrameAxes[i];
}

const char* markOf(Crossing where) {
    return where == Crossing::beyond ? " (beyond: still above at the data's edge along the axis, written as that edge)"
           : where == Crossing::atStart ? " (already below in the lowest shell: its low edge)"
                                         : "";
}

void showAxis(const AxisLimit& axis, const EllipsoidAxes& axes, int i, double threshold, const std::string& combination) {
    common::RecordBuffer record;
    record.text("axis ").integer(i + 1, 1).text(" along");
    for (const double component : axis.direction) record.fixed(static_cast<float>(component), 8, 4);
    common::say(std::string(record.view()) + " (" + directionName(axes, i) + "), " + combination);
    const bool paired = axis.correlation.has_value();
    common::say(std::string("  shell   d from     d to  reflections  mean I/sigma    fitted") +
                (paired ? "   pairs   CC1/2    fitted" : ""));
    int number = 0;
    for (const Shell& shell : axis.shells) {
        record.clear();
        record.integer(++number, 7)
            .fixed(static_cast<float>(1.0 / shell.sLow), 9, 2)
            .fixed(static_cast<float>(1.0 / shell.sHigh), 9, 2)
            .integer(shell.count, 13)
            .fixed(static_cast<float>(shell.meanIOverSigma), 14, 2);
        if (axis.signal) record.fixed(static_cast<float>(axis.signal->at(shell.meanS2)), 10, 2);
        else record.textRight("-", 10);
        if (paired) {
            record.integer(shell.pairs, 8);
            if (shell.pairs >= kFewestPairs) record.fixed(static_cast<float>(shell.cc), 8, 3);
            else record.textRight("-", 8);
            record.fixed(static_cast<float>(axis.correlation->at(shell.meanS2)), 10, 3);
        }
        common::say(record.view());
    }
    record.clear();
    record.text("limit along axis ").integer(i + 1, 1).text(":").fixed(static_cast<float>(axis.shellEdge), 8, 3);
    const std::string at = " A: ";
    const std::string below = "mean I/sigma falls below " + common::generalText(static_cast<float>(threshold));
    switch (axis.edge) {
    case LimitEdge::belowThreshold:
        common::say(std::string(record.view()) + at + "the edge of the last shell before " + below);
        break;
    case LimitEdge::neverBelow:
        common::say(std::string(record.view()) + at +
                    "the signal never falls below the threshold; the data's own edge");
        break;
    case LimitEdge::firstShellBelow:
        common::say(std::string(record.view()) + at + "already the lowest shell is below the threshold; its low edge");
        break;
    }
    record.clear();
    record.text("fitted I/sigma limit along axis ").integer(i + 1, 1).text(":").fixed(static_cast<float>(axis.bySignal.limit), 8, 3);
    if (axis.signal) {
        auto term = [](double value, const char* power) {
            return std::string(value < 0 ? " - " : " + ") + common::generalText(static_cast<float>(std::fabs(value))) + power;
        };
        common::say(std::string(record.view()) + at + "where exp(" + common::generalText(static_cast<float>(axis.signal->p[0])) +
                    term(axis.signal->p[1], " x") + term(axis.signal->p[2], " x^2") + "), x = d*^2, crosses " +
                    common::generalText(static_cast<float>(threshold)) + markOf(axis.bySignal.where));
    } else {
        common::say(std::string(record.view()) + at + "no curve could be fitted to the shells: the shell edge");
    }
    if (axis.byCorrelation) {
        record.clear();
        record.text("fitted CC1/2 limit along axis ").integer(i + 1, 1).text(":").fixed(static_cast<float>(axis.byCorrelation->limit), 8, 3);
        common::say(std::string(record.view()) + at + "where 1/(1 + exp((x - " +
                    common::generalText(static_cast<float>(axis.correlation->middle)) + ")/" +
                    common::generalText(static_cast<float>(axis.correlation->width)) + ")) falls below " +
                    common::fixedText(static_cast<float>(kCorrelationThreshold), 2) + markOf(axis.byCorrelation->where));
    }
}

// The direction as a combination of unit vectors along a*, b* and c*
// ("0.87 a* - 0.50 c*"), terms below half a hundredth left out.
std::string combinationText(const Frame& frame, const double direction[3]) {
    double basis[3][3];  // the unit vectors along a*, b*, c*, in the frame
    for (int i = 0; i < 3; ++i) {
        frame.coordinates(i == 0, i == 1, i == 2, basis[i]);
        const double length = std::sqrt(basis[i][0] * basis[i][0] + basis[i][1] * basis[i][1] + basis[i][2] * basis[i][2]);
        for (double& v : basis[i]) v /= length;
    }
    // direction = sum of c_i basis_i: Cramer's rule on the columns basis_i.
    auto det = [](const double* x, const double* y, const double* z) {
        return x[0] * (y[1] * z[2] - y[2] * z[1]) - y[0] * (x[1] * z[2] - x[2] * z[1]) + z[0] * (x[1] * y[2] - x[2] * y[1]);
    };
    const double whole = det(basis[0], basis[1], basis[2]);
    const double c[3] = {det(direction, basis[1], basis[2]) / whole, det(basis[0], direction, basis[2]) / whole,
                         det(basis[0], basis[1], direction) / whole};
    static const char* kNames[3] = {" a*", " b*", " c*"};
    std::string text;
    for (int i = 0; i < 3; ++i) {
        if (!(std::fabs(c[i]) >= 0.005)) continue;
        const std::string magnitude = common::fixedText(static_cast<float>(std::fabs(c[i])), 2);
        if (text.empty()) text = (c[i] < 0 ? "-" : "") + magnitude + kNames[i];
        else text += (c[i] < 0 ? " - " : " + ") + magnitude + kNames[i];
    }
    return text;
}

common::limits_table::Limit tableLimit(double angstrom, Crossing where) {
    using common::limits_table::Mark;
    return {angstrom, where == Crossing::beyond ? Mark::beyond : where == Crossing::atStart ? Mark::lowest : Mark::none};
}

common::limits_table::Table limitsTable(const Answers& answers, const std::vector<AxisLimit>& limits,
                                        const std::vector<std::string>& combinations) {
    common::limits_table::Table table;
    table.criterion = answers.criterion == Criterion::correlation ? common::limits_table::Criterion::cc
                                                                  : common::limits_table::Criterion::iOverSigma;
    table.iOverSigmaThreshold = answers.threshold;
    table.ccThreshold = kCorrelationThreshold;
    for (size_t i = 0; i < 3; ++i) {
        const AxisLimit& axis = limits[i];
        common::limits_table::Axis& row = table.axes[i];
        std::copy(axis.direction, axis.direction + 3, row.direction.begin());
        row.combination = combinations[i];
        row.shellEdge = tableLimit(axis.shellEdge, axis.edge == LimitEdge::neverBelow ? Crossing::beyond
                                                   : axis.edge == LimitEdge::firstShellBelow ? Crossing::atStart
                                                                                             : Crossing::within);
        row.iOverSigma = tableLimit(axis.bySignal.limit, axis.bySignal.where);
        if (axis.byCorrelation) row.cc = tableLimit(axis.byCorrelation->limit, axis.byCorrelation->where);
    }
    return table;
}

// Each axis in the row of its limit's rank, as ovoclip pairs them; record 5
// keeps the limits in the order of the axes, nearest a*, b*, c*, which is
// how planeview takes them.
common::InputScript scriptFor(const Answers& answers, const common::reflections::ReflectionHeader& header,
                              const std::vector<AxisLimit>& limits) {
    const double measured[3] = {limits[0].limit, limits[1].limit, limits[2].limit};
    const std::array<int, 3> order = common::input_script::rowsByLimit(measured);
    common::InputScript script;
    script.inputReflectionFile = answers.xdsFile;
    script.outputReflectionFile = answers.truncatedFile;
    script.cell = header.cell;
    for (size_t row = 0; row < 3; ++row) {
        const AxisLimit& axis = limits[static_cast<size_t>(order[row])];
        for (int j = 0; j < 3; ++j) script.ellipsoidAxes[row][j] = static_cast<float>(axis.direction[j]);
    }
    for (size_t i = 0; i < 3; ++i) script.limits[i] = static_cast<float>(limits[i].limit);
    return script;
}

}  // namespace

int runOvofit() {
    const Answers answers = askAnswers();

    common::reflections::ReflectionFile file(answers.xdsFile);
    const common::reflections::ReflectionHeader& header = file.header();
    const gemmi::SpaceGroup* spaceGroup = header.spaceGroup;
    common::say(common::FreeLine()
                    .text("space group " + std::string(spaceGroup->hm) + " (" + std::to_string(spaceGroup->number) +
                          "); cell")
                    .real(header.cell.a)
                    .real(header.cell.b)
                    .real(header.cell.c)
                    .real(header.cell.alpha)
                    .real(header.cell.beta)
                    .real(header.cell.gamma)
                    .text(header.friedelsLaw ? "; Friedel's law holds" : "; Friedel's law does not hold"));
    if (file.mtz() != nullptr) {
        common::say(std::string(common::reflections::kindName(header.kind)) + "; columns " + header.columns);
    }

    if (answers.criterion == Criterion::correlation && header.merged) {
        common::fail(file.mtz() == nullptr
                         ? header.name + " holds merged data (MERGE=TRUE): CC1/2 needs the unmerged observations; "
                                         "answer I/sigma or give the unmerged file"
                         : common::quoted(header.name) + " holds merged data (no batches): CC1/2 needs the unmerged "
                                                         "observations; answer I/sigma or give the unmerged file");
    }
    std::vector<HalfMeans> halves;
    const std::vector<MergedReflection> merged = readAndMerge(file, halves);
    // Data too few to measure give no result, which is not a failed read.
    EllipsoidAxes axes;
    std::vector<AxisLimit> limits;
    try {
        axes = chooseAxes(*spaceGroup, header.cell, merged);
        common::say("axes: " + axes.description);
        limits = measureLimits(*spaceGroup, header.cell, axes, merged, halves, answers.threshold, answers.criterion);
    } catch (const TooFewReflections& tooFew) {
        common::report(tooFew.message() + " in " + header.name + "; no script was written");
        return common::kExitNoResult;
    }
    const Frame frame = makeFrame(header.cell);
    std::vector<std::string> combinations;
    for (size_t i = 0; i < 3; ++i) {
        combinations.push_back(combinationText(frame, limits[i].direction));
        showAxis(limits[i], axes, static_cast<int>(i), answers.threshold, combinations.back());
    }
    if (answers.criterion == Criterion::correlation) {
        for (size_t i = 0; i < 3; ++i) {
            if (!limits[i].byCorrelation) {
                common::say("axis " + std::to_string(i + 1) + ": too few reflections measured twice for a CC1/2 "
                            "curve; the script takes the fitted I/sigma limit");
            }
        }
    }
    for (const std::string& line : common::limits_table::lines(limitsTable(answers, limits, combinations))) {
        common::say(line);
    }

    const Completeness completeness = measureCompleteness(*spaceGroup, header.cell, limits, merged);
    showCompleteness(completeness);

    const common::InputScript script = scriptFor(answers, header, limits);
    common::RecordBuffer summary;
    summary.text("limits");
    for (const float limit : script.limits) summary.fixed(limit, 8, 3);
    const auto [best, worst] = std::minmax_element(std::begin(script.limits), std::end(script.limits));
    summary.text(" A along axes 1, 2, 3; worst/best").fixed(*worst / *best, 7, 3);
    common::say(summary.view());

    // Checked before the script is created, so that no script is left that
    // ovoclip cannot read.
    const std::array<std::string, 5> records = common::input_script::records(script);
    if (const int bad = common::input_script::unwritableRecord(records)) {
        common::fail("a value does not fit its field in record " + std::to_string(bad) +
                     " of the input script; no script was written");
    }
    // All or nothing: both files are written under hidden names and appear
    // under their own only when both are complete, so that a failed or
    // interrupted run leaves nothing that blocks the next.
    common::RunOutputs outputs;
    common::AllOrNothingFile scriptFile(outputs, answers.script);
    common::input_script::write(scriptFile, records);
    std::optional<common::AllOrNothingFile> plot;
    if (!answers.plot.empty()) {
        plot.emplace(outputs, answers.plot);
        writePlot(*plot, limits, answers.threshold, combinations);
        plot->flush();
    }
    std::optional<common::AllOrNothingFile> deposition;
    if (!answers.deposition.empty()) {
        deposition.emplace(outputs, answers.deposition);
        writeDeposition(*deposition, limits, completeness, answers.criterion,
                        answers.criterion == Criterion::correlation ? kCorrelationThreshold : answers.threshold);
        deposition->flush();
    }
    // Not a script without its plot and fragment: a name that cannot be
    // taken, or a transcript that cannot be written, takes back the names
    // this run took, and only those.
    scriptFile.close();
    if (plot) plot->close();
    if (deposition) deposition->close();
    common::say("input script for ovoclip written to " + answers.script);
    if (plot) common::say("plot written to " + answers.plot);
    if (deposition) common::say("deposition fragment written to " + answers.deposition);
    outputs.keep();
    return 0;
}

}  // namespace ovofit
