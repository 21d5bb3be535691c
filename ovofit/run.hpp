#pragma once

namespace ovofit {

// The whole run: the dialogue, the reading and merging of the XDS file, the
// axes and limits, the input script for ovoclip and the plot.
int runOvofit();

}  // namespace ovofit
