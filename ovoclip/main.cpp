// ovoclip: cuts an XDS reflection file to an ellipsoid in reciprocal space.
#include "common/failure.hpp"
#include "ovoclip/help.hpp"
#include "ovoclip/run.hpp"

int main(int argc, char** argv) {
    return common::runProgram("ovoclip", argc, argv, kOvoclipHelp, ovoclip::runOvoclip);
}
