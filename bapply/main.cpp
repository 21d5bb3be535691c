// bapply: honer's cad input file applied to an MTZ file.
#include "bapply/bapply.hpp"
#include "bapply/help.hpp"
#include "common/failure.hpp"

int main(int argc, char** argv) { return common::runProgram("bapply", argc, argv, kBapplyHelp, bapply::runBapply); }
