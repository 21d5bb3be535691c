// The terminal dialogue: free-format lines on standard output, one answer
// line a question from standard input.
#pragma once

#include <string>
#include <string_view>

#include "common/records.hpp"

namespace common {

// Writes one free-format line.
void say(const FreeLine& line);
// Writes one free-format line of a single text item.
void say(std::string_view text);

// Writes the prompt, flushes standard output, then reads one line. The end
// of standard input ends the run, naming `what` was being asked for.
std::string ask(std::string_view prompt, std::string_view what);

// Asks for a file name: the answer's first `width` characters, trailing
// blanks dropped.
std::string askFileName(std::string_view prompt, std::string_view what, size_t width = 80);

}  // namespace common
