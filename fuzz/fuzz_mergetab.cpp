// mergetab's whole run on two fuzzed XSCALE.LP logs. The statistics file
// holds all 25 records after a complete run and nothing otherwise.
//
// Input: the starting log, the separator byte, the final log.
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "mergetab/mergetab.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::splitParts(data, size, 2);
    fuzz::clearSandbox();
    fuzz::writeFile("start.lp", parts[0]);
    fuzz::writeFile("final.lp", parts[1]);

    const int status = fuzz::runProgram("mergetab", mergetab::runMergetab, "start.lp\nfinal.lp\nstats.html\n");

    const std::string statistics = fuzz::readFile("stats.html");
    if (status != 0) {
        fuzz::check(statistics.empty(), "statistics file written by a run without a result");
        return 0;
    }
    const auto records = fuzz::lines(statistics);
    fuzz::check(records.size() == 25 && records[0] == " <pre>" && records[24] == " </pre>",
                "statistics file is not the 25 records");
    for (size_t j = 3; j < 24; ++j) {
        // 83 columns, more only where a label character became an entity.
        fuzz::check(records[j].size() >= 83 && records[j].size() <= 83 + 6 * 4, "table row of the wrong length");
        fuzz::check(records[j].find_first_of("<>") == std::string::npos, "markup in a table row");
    }
    return 0;
}
