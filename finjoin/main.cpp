// finjoin: the fin file from the four stages of the data in MTZ files.
#include "common/failure.hpp"
#include "finjoin/help.hpp"
#include "finjoin/run.hpp"

int main(int argc, char** argv) { return common::runProgram("finjoin", argc, argv, kFinjoinHelp, finjoin::runFinjoin); }
