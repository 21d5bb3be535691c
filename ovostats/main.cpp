// ovostats: the merging statistics of unmerged data, all of them and those
// inside the ellipsoid.
#include "common/failure.hpp"
#include "ovostats/help.hpp"
#include "ovostats/run.hpp"

int main(int argc, char** argv) {
    return common::runProgram("ovostats", argc, argv, kOvostatsHelp, ovostats::runOvostats);
}
