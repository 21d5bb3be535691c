// The plot: mean I/sigma(I) against resolution along the three axes, with the
// threshold and the three limits marked, as an SVG drawing.
#pragma once

#include <vector>

#include "common/output_file.hpp"
#include "ovofit/ellipsoid.hpp"

namespace ovofit {

void writePlot(common::OutputFile& plot, const std::vector<AxisLimit>& axes, double threshold);

}  // namespace ovofit
