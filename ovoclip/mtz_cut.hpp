// The cut of an MTZ file: the rows whose indices lie inside the ellipsoid
// kept with every column, the others counted. A merged file keeps its
// reflections; an unmerged one every observation of a kept reflection (its
// row holds the indices of the asymmetric unit, which its M/ISYM turns back
// to the measured ones, and the ellipsoid, a quadratic form, is the same at
// h and -h), batches and all. The counts for planeview's script are the
// rows: reflections of merged data, observations of unmerged data, as for
// an XDS file.
#pragma once

#include <string>

#include "common/output_file.hpp"
#include "common/reflections/mtz_file.hpp"
#include "ovoclip/truncation.hpp"

namespace ovoclip {

// Reads the MTZ file `input` whole through the reflection layer (headers
// held to the size, indices whole numbers) and creates `output` (all or
// nothing), before anything else of the run is written; cut() then keeps
// the rows inside the ellipsoid, writes them and tallies the rejected rows'
// value and sigma (IMEAN, I of unmerged data, the first of I(+) and I(-)
// present, or F: as the layer chooses them).
class MtzCut {
public:
    MtzCut(const std::string& input, const std::string& output);
    void cut(const EllipsoidFrame& frame, TruncationTally& tally);

private:
    common::AllOrNothingFile file_;
    common::reflections::MtzHeaders headers_;
};

}  // namespace ovoclip
