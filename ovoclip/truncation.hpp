// The one pass over the XDS reflection file: the header copied, every
// reflection tested against the ellipsoid, the kept ones written unchanged,
// the rejected ones counted and their F and sigma summed.
#pragma once

#include <cstdint>

#include "common/cell.hpp"
#include "common/column_classes.hpp"  // SUITE_SSE2
#include "common/ellipsoid.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "ovoclip/input_script.hpp"

namespace ovoclip {

struct TruncationTally {
    int64_t reflectionsIn = 0;
    int64_t reflectionsRejected = 0;
    // Double sums: single-precision ones stop growing on files of millions
    // of reflections. The mean is their ratio, rounded once to float.
    double sumRejectedF = 0;
    double sumRejectedSigma = 0;
    float meanRejectedFOverSigma = 0;  // 0 while nothing is rejected
};

using common::EllipsoidFrame;
using common::ellipsoidMeasure;
using common::ellipsoidMeasureScalar;
#if SUITE_SSE2
using common::ellipsoidMeasureSse2;
#endif
using common::isInsideEllipsoid;
using common::prepareEllipsoid;

enum class PassEnd {
    complete,       // the data ended and the end-of-data line was written
    headerNotEnded  // the file ended inside its header: nothing else written
};

PassEnd truncateReflectionFile(common::InputFile& input, common::OutputFile& output, const EllipsoidFrame& frame,
                               TruncationTally& tally);

}  // namespace ovoclip
