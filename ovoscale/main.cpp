// ovoscale: French and Wilson's amplitudes and the anisotropy correction.
#include "common/failure.hpp"
#include "ovoscale/help.hpp"
#include "ovoscale/run.hpp"

int main(int argc, char** argv) {
    return common::runProgram("ovoscale", argc, argv, kOvoscaleHelp, ovoscale::runOvoscale);
}
