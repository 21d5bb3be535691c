// planeview: one PostScript page of pseudo-precession images of the h=0, k=0
// and l=0 planes of four stages of a data set, with the numbers of the
// truncation and of the isotropic B in a paragraph above them.
#include "common/failure.hpp"
#include "planeview/help.hpp"
#include "planeview/run.hpp"

int main(int argc, char** argv) {
    return common::runProgram("planeview", argc, argv, kPlaneviewHelp, planeview::runPlaneview);
}
