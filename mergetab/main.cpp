// mergetab (and mergetab-rsym): the before/after table of two XSCALE.LP logs.
#include "common/failure.hpp"
#include "mergetab/help.hpp"
#include "mergetab/mergetab.hpp"

int main(int argc, char** argv) {
    return common::runProgram(mergetab::kProgramName, argc, argv, kMergetabHelp, mergetab::runMergetab);
}
