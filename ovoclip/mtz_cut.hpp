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

#include "ovoclip/truncation.hpp"

namespace ovoclip {

// Reads the MTZ file `input` through the reflection layer (headers held to
// the size, indices whole numbers), writes the kept rows to `output` all or
// nothing, and tallies the rejected rows' value and sigma (IMEAN, I of
// unmerged data, the mean of I(+) and I(-), or F; as chosen by the layer).
void cutMtzFile(const std::string& input, const std::string& output, const EllipsoidFrame& frame,
                TruncationTally& tally);

}  // namespace ovoclip
