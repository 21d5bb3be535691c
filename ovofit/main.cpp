// ovofit: measures the truncation ellipsoid from an XDS reflection file and
// writes ovoclip's input script.
#include "common/failure.hpp"
#include "ovofit/help.hpp"
#include "ovofit/run.hpp"

int main(int argc, char** argv) {
    return common::runProgram("ovofit", argc, argv, kOvofitHelp, ovofit::runOvofit);
}
