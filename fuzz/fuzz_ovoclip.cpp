// ovoclip's whole run on a fuzzed input script and XDS reflection file.
//
// Input: records 3 onwards of the input script (cell, axes, limits), the
// separator byte, then the XDS file. Records 1 and 2 name the files and are
// fixed here, so that the run writes only inside its own folder.
//
// Beyond not crashing, a run keeps its promises: a complete run ends the
// truncated file with its end-of-data line and writes a planeview script
// whose counts agree with the records kept; an early end leaves no
// planeview script.
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "ovoclip/run.hpp"

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
        fuzz::check(!fuzz::fileExists("pv.inp"), "planeview script written by a run that did not finish");
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
    return 0;
}
