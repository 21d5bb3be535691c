// The closing step: the planeview script and the last terminal lines.
#pragma once

#include <string>

#include "ovoclip/truncation.hpp"

namespace ovoclip {

// The four records of the planeview script, each without its line end.
struct PlaneviewScript {
    std::string records[4];
};

PlaneviewScript formatPlaneviewScript(const TruncationTally& tally);

// Asks for the name, creates the file and writes the four records with
// their terminal lines.
void writePlaneviewScript(const TruncationTally& tally);

}  // namespace ovoclip
