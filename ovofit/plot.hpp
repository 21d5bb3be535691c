// The plot: mean I/sigma(I) against resolution along the three axes, with the
// threshold and the three limits marked, as an SVG drawing.
#pragma once

#include <string>
#include <vector>

#include "common/output_file.hpp"
#include "ovofit/ellipsoid.hpp"

namespace ovofit {

// `names`: each axis as a combination of a*, b*, c* ("1.00 a*"), for the legend.
void writePlot(common::OutputFile& plot, const std::vector<AxisLimit>& axes, double threshold,
               const std::vector<std::string>& names);

}  // namespace ovofit
