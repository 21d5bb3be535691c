#pragma once

#include <string>

#include "ovostats/statistics.hpp"

namespace ovostats {

// The answer to the question of shells: blank, "N", "volume N" or limits.
ShellChoice shellChoiceFrom(const std::string& answer);

int runOvostats();

}  // namespace ovostats
