// One stage of the data: the F and sigma columns of a reflection file,
// reduced to the reflections that have both values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace finjoin {

// What the dialogue gives for one stage. A blank label takes the usual one:
// for an MTZ file the stage's own, for an mmCIF file F_meas_au and
// F_meas_sigma_au.
struct StageRequest {
    std::string file;
    std::string fLabel;  // an MTZ column or an mmCIF _refln. item, or blank
    std::string sigmaLabel;
    std::string usualMtzF;
    std::string usualMtzSigma;
};

struct StageRow {
    uint64_t key = 0;  // common::packHkl, within the fin file's I4 range
    float F = 0;
    float sigF = 0;
};

struct StageData {
    std::vector<StageRow> rows;  // sorted by key, each reflection once
    uint64_t fileReflections = 0;
    std::string fLabel;          // the labels read
    std::string sigmaLabel;
    // As named in the file: an MTZ file without one says "none", an mmCIF
    // file without one leaves it empty (not known). The Hall symbol, where
    // the name is one gemmi knows, tells groups apart whatever their names.
    std::string spaceGroup;
    std::string spaceGroupHall;
    bool cellKnown = false;      // an mmCIF file may give none
    double cellEdges[3] = {};    // a, b, c
    double cellAngles[3] = {};   // alpha, beta, gamma (degrees)
    double lowResolution = 0;    // d of the reflections taken (A); 0 without any
    double highResolution = 0;
};

// Reads the reflection file (gzip-compressed when its name ends in .gz): MTZ
// when it starts with "MTZ ", mmCIF otherwise. A row is taken when F and
// sigma both hold a value; every index taken and every value taken must fit
// the fin file. Any fault ends the run with a report naming the file.
StageData readStage(const StageRequest& request);

}  // namespace finjoin
