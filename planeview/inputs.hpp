// What planeview reads: the five file names, the cell and limits of the
// ovoclip input script, the amplitude means of the fin file, the counts of
// the planeview script and the B of the cad input file.
#pragma once

#include <cstdint>
#include <string>

#include "common/cell.hpp"
#include "common/input_file.hpp"
#include "planeview/fin_fields.hpp"

namespace planeview {

struct FileNames {
    std::string inputScript;      // the ovoclip input script
    std::string finFile;          // h, k, l and F, sigF of the four data sets
    std::string page;             // the PostScript report page, created
    std::string planeviewScript;  // the four counts written by ovoclip
    std::string cadInput;         // the cad input file written by honer
};

// The three limits in the order read: along a*, b* and c*.
struct Limits {
    float onAstar = 0, onBstar = 0, onCstar = 0;
};

struct CellAndLimits {
    common::UnitCell cell;
    Limits limits;
};

// The first pass over the fin file. The records are counted in 64 bits and
// the amplitudes summed in double precision, so that the means stay right
// for files of any length; each mean is rounded once to a float.
struct AmplitudeStats {
    uint64_t recordCount = 0;
    double sumF[kDataSets] = {};
    float meanF[kDataSets] = {};  // 0 while no record has been counted
};

struct TruncationSummary {
    int32_t reflectionsIn = 0;
    int32_t reflectionsRejected = 0;
    float meanRejectedFOverSigma = 0;
    int32_t reflectionsRemaining = 0;
};

// The five prompts, each followed by one line of standard input.
FileNames askFileNames();

// Records 1 to 5 of the ovoclip input script: the cell from record 3 and the
// limits from the first three fields of record 5.
CellAndLimits readCellAndLimits(common::InputFile& script);

// The smallest limit; ties go to the earlier one, and a limit that is not a
// number makes the comparisons fail towards the limit on c*.
float chooseMaxResolution(const Limits& limits);

// Reads the fin file to its end, every field of every record.
AmplitudeStats gatherAmplitudeStats(common::InputFile& fin);

// The four records of the planeview script; the fourth, written as a real
// with its point in column 10, is read as the integer in columns 1-9.
TruncationSummary readTruncationSummary(common::InputFile& planeviewScript);

// The B value of record 2 of the cad input file, columns 25-36.
float readNegB(common::InputFile& cadInput);

}  // namespace planeview
