// ovoreport: one run's files in one report, report.html and report.json.
#include "common/failure.hpp"
#include "ovoreport/help.hpp"
#include "ovoreport/ovoreport.hpp"

int main(int argc, char** argv) {
    return common::runProgram("ovoreport", argc, argv, kOvoreportHelp, ovoreport::runOvoreport);
}
