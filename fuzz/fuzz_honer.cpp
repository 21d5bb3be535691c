// honer's whole run on a fuzzed Phaser log. The cad input file holds its
// five records after a complete run and nothing otherwise.
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "honer/honer.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::clearSandbox();
    fuzz::writeFile("phaser.log", std::string_view(reinterpret_cast<const char*>(data), size));

    const int status = fuzz::runProgram("honer", honer::runHoner, "phaser.log\ncad.com\n");

    const std::string cad = fuzz::readFile("cad.com");
    if (status != 0) {
        fuzz::check(cad.empty(), "cad input file written by a run without a result");
        return 0;
    }
    const auto records = fuzz::lines(cad);
    fuzz::check(records.size() == 5 && records[0] == "title apply a negative iso B" &&
                    records[1].size() == 36 && records[1].compare(0, 24, "SCAL FILE_NUMBER 1 1.00 ") == 0 &&
                    records[2] == "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO " &&
                    records[3] == "LABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB" && records[4] == "end",
                "cad input file is not the five records");
    return 0;
}
