// honer: the CAD script with the eigenB value of a Phaser log.
#include "common/failure.hpp"
#include "honer/help.hpp"
#include "honer/honer.hpp"

int main(int argc, char** argv) { return common::runProgram("honer", argc, argv, kHonerHelp, honer::runHoner); }
