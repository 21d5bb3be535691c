// ovoclip's whole run on a fuzzed input script and XDS reflection file.
//
// Input: records 3 onwards of the input script (cell, axes, limits), the
// separator byte, then the XDS file. Records 1 and 2 name the files and are
// fixed here, so that the run writes only inside its own folder.
//
// Beyond not crashing, a run keeps its promises: a complete run ends the
// truncated file with its end-of-data line and writes a planeview script
// whose counts agree with the records kept; an early end leaves no
// planeview script. And a complete run writes exactly what a plain reading
// of the same files gives: every record read field by field with the
// common reader, tested with the same ellipsoid, written with the I6 writer
// (the program itself reads the records as XDS writes them in place, by
// quicker means that must give the same result).
#include <cstdint>
#include <string>
#include <string_view>

#include "common/cell.hpp"
#include "common/records.hpp"
#include "fuzz_support.hpp"
#include "ovoclip/input_script.hpp"
#include "ovoclip/run.hpp"
#include "ovoclip/summary.hpp"
#include "ovoclip/truncation.hpp"

namespace {

std::string padded(std::string_view text, size_t width) {
    std::string out(text);
    if (out.size() < width) out.resize(width, ' ');
    return out + "\n";
}

// The truncated file and the planeview script of a complete run, the plain
// way.
void expectedRun(const std::string& data, std::string& truncated, std::string& planeview) {
    const ovoclip::InputScript script = ovoclip::readInputScriptFrom("ovo.inp");
    const common::ReciprocalCell reciprocal = common::computeReciprocalCell(script.cell);
    const ovoclip::EllipsoidFrame frame = ovoclip::prepareEllipsoid(script.cell, reciprocal, script.ellipsoidAxes,
                                                                    ovoclip::limitsByRow(script.limits));
    const auto lines = fuzz::fileLines(data);
    size_t i = 0;
    for (; i < lines.size() && lines[i].substr(0, 14) != "!END_OF_HEADER"; ++i) truncated += padded(lines[i], 80);
    truncated += "!END_OF_HEADER\n";
    ovoclip::TruncationTally tally;
    for (++i; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        int32_t h = 0, k = 0, l = 0;
        if (common::parseInteger(common::columns(line, 1, 6), h) != common::ParseStatus::ok ||
            common::parseInteger(common::columns(line, 7, 12), k) != common::ParseStatus::ok ||
            common::parseInteger(common::columns(line, 13, 18), l) != common::ParseStatus::ok) {
            break;
        }
        float f = 0, sigma = 0;
        fuzz::check(common::parseFreeNumber(common::columns(line, 19, 29), f) == common::ParseStatus::ok &&
                        common::parseFreeNumber(common::columns(line, 30, 40), sigma) == common::ParseStatus::ok,
                    "a complete run over a value that is no number");
        ++tally.reflectionsIn;
        if (!ovoclip::isInsideEllipsoid(h, k, l, frame)) {
            ++tally.reflectionsRejected;
            tally.sumRejectedF += f;
            tally.sumRejectedSigma += sigma;
            continue;
        }
        std::string record;
        common::appendInteger(record, h, 6);
        common::appendInteger(record, k, 6);
        common::appendInteger(record, l, 6);
        if (line.size() > 18) record += line.substr(18);
        truncated += padded(record, 76);
    }
    truncated += "!END_OF_DATA\n";
    if (tally.reflectionsRejected > 0) {
        tally.meanRejectedFOverSigma = static_cast<float>(tally.sumRejectedF / tally.sumRejectedSigma);
    }
    for (const std::string& record : ovoclip::formatPlaneviewScript(tally).records) planeview += record + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::splitParts(data, size, 2);
    fuzz::clearSandbox();
    fuzz::writeFile("ovo.inp", "XDS_ASCII.HKL\ntrunc.hkl\n" + std::string(parts[0]));
    fuzz::writeFile("XDS_ASCII.HKL", parts[1]);

    const int status = fuzz::runProgram("ovoclip", ovoclip::runOvoclip, "ovo.inp\npv.inp\n");

    if (status != 0) {
        // Only a value too wide for its field stops the run inside the
        // planeview script, which then holds the records before it.
        fuzz::check(!fuzz::fileExists("pv.inp") ||
                        (fuzz::contains(fuzz::lastReport(), "does not fit") &&
                         fuzz::lines(fuzz::readFile("pv.inp")).size() < 4),
                    "planeview script written by a run that did not finish");
        return 0;
    }
    fuzz::check(fuzz::readFile("XDS_ASCII._reslimit.dat").size() == 38, "reslimit record not 37 characters");

    const auto out = fuzz::lines(fuzz::readFile("trunc.hkl"));
    size_t at = 0;
    while (at < out.size() && out[at] != "!END_OF_HEADER") {
        fuzz::check(out[at].size() >= 80, "header line shorter than 80 characters");
        ++at;
    }
    fuzz::check(at < out.size(), "no end-of-header line in a complete run");
    fuzz::check(!out.empty() && out.back() == "!END_OF_DATA", "no end-of-data line at the end of a complete run");
    const size_t kept = out.size() - at - 2;
    for (size_t i = at + 1; i + 1 < out.size(); ++i) {
        fuzz::check(out[i].size() >= 76, "kept record shorter than 76 characters");
    }

    const auto pv = fuzz::lines(fuzz::readFile("pv.inp"));
    fuzz::check(pv.size() == 4 && pv[0].size() == 9 && pv[1].size() == 9 && pv[2].size() == 12 &&
                    pv[3].size() == 12,
                "planeview script not I9, I9, F12.2, F12.2");
    const long long in = std::stoll(pv[0]);
    const long long rejected = std::stoll(pv[1]);
    fuzz::check(in - rejected == static_cast<long long>(kept), "counts disagree with the records kept");
    fuzz::check(pv[3] == std::string(12 - std::to_string(kept).size() - 3, ' ') + std::to_string(kept) + ".00",
                "record 4 is not the kept count");

    std::string truncated, planeview;
    expectedRun(std::string(parts[1]), truncated, planeview);
    fuzz::check(fuzz::readFile("trunc.hkl") == truncated, "truncated file differs from the plain reading");
    fuzz::check(fuzz::readFile("pv.inp") == planeview, "planeview script differs from the plain reading");
    return 0;
}
