// A field of a file that another program of the suite reads back: when the
// value did not fit (the field is asterisks), the run fails, naming the
// file, the field and the value, rather than end well with a file that the
// next program cannot read. ovoclip guards the planeview script with it,
// honer the B value of the cad input file.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/output_file.hpp"

namespace common {

void requireFits(const OutputFile& file, std::string_view field, std::string_view what, float value);
void requireFits(const OutputFile& file, std::string_view field, std::string_view what, int64_t value);

}  // namespace common
