// honer's whole run on a fuzzed Phaser log, against a plain reading of the
// same log: the log read line by line to the first "eigenB" in columns
// 6-11, the value three lines further on in columns 6-14 (F9.3). The run
// must end the same way (status, and the line named in the report) and a
// complete run must write the five records with that value. (The program
// itself searches the log's buffer for the heading instead of reading it
// line by line.)
#include <cstdint>
#include <string>

#include "common/records.hpp"
#include "fuzz_support.hpp"
#include "honer/honer.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    fuzz::clearSandbox();
    fuzz::writeFile("phaser.log", log);

    const int status = fuzz::runProgram("honer", honer::runHoner, "phaser.log\ncad.com\n");
    const std::string& report = fuzz::lastReport();
    const std::string cad = fuzz::readFile("cad.com");
    // A run without a result leaves the file empty, or with its title alone
    // when the value did not fit its field.
    if (status != 0) {
        fuzz::check(cad.empty() || cad == "title apply a negative iso B\n", "cad input file written by a run without a result");
    }

    const auto lines = fuzz::fileLines(log);
    size_t heading = 0;
    while (heading < lines.size() && common::columns(lines[heading], 6, 11) != "eigenB") ++heading;
    if (heading == lines.size()) {
        fuzz::check(status == 1 && fuzz::contains(report, "no \"eigenB\" heading"), "a log without a heading");
        return 0;
    }
    if (heading + 3 >= lines.size()) {
        fuzz::check(status == 2 && fuzz::contains(report, "end of file phaser.log after line " +
                                                              std::to_string(lines.size()) + ":"),
                    "a log ending after its heading: " + report);
        return 0;
    }
    float negB = 0;
    if (common::parseFixed(common::columns(lines[heading + 3], 6, 14), 3, negB) != common::ParseStatus::ok) {
        fuzz::check(status == 2 && fuzz::contains(report, "line " + std::to_string(heading + 4) +
                                                              " of phaser.log, columns 6-14"),
                    "a value that is no number: " + report);
        return 0;
    }
    std::string scale = "SCAL FILE_NUMBER 1 1.00 ";
    common::appendFixed(scale, negB, 12, 3);
    if (scale.find('*') != std::string::npos) {
        fuzz::check(status == 2 && fuzz::contains(report, "the B value"), "a value too wide for F12.3: " + report);
        return 0;
    }
    fuzz::check(status == 0, "a log with its value: status " + std::to_string(status) + " " + report);
    fuzz::check(cad == "title apply a negative iso B\n" + scale +
                           "\nLABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n",
                "cad input file is not the five records with the value of the log");
    return 0;
}
