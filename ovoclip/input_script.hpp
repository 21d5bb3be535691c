// The ovoclip input script and everything done before the first reflection:
// the limits sorted, the reslimit file for XSCALE, the echo of the cell.
#pragma once

#include <string>
#include <string_view>

#include "common/cell.hpp"
#include "common/layout/input_script.hpp"

namespace ovoclip {

using common::InputScript;
using common::input_script::limitsByRow;
using common::input_script::ResolutionLimits;

// Asks for the script's name, opens it and reads its five records.
InputScript readInputScript();
// Reads the five records from an open script (the dialogue left out),
// warning on standard error of a cell edge below 2 A or a limit below
// 0.5 A, which a number typed without its decimal point gives.
InputScript readInputScriptFrom(const std::string& name);

// The first ten characters of the reflection file's own name (after its
// last '/'), blank-padded, followed by "_reslimit.dat": a name without a
// folder, so the file is made in the current folder.
std::string resLimitFileName(std::string_view inputReflectionFile);

// ('INCLUDE_RESOLUTION_RANGE=500 ',F8.3)
std::string resLimitRecord(const ResolutionLimits& limits);

}  // namespace ovoclip
