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

// Writes the prompt, flushes standard output, then reads one line without
// its trailing blanks, of at most the longest name: a longer answer ends
// the run, as does the end of standard input, naming `what` was asked for.
std::string ask(std::string_view prompt, std::string_view what);

// The same, but the end of standard input is a blank answer: for questions
// added at the end of a dialogue, so that drivers written before them run
// unchanged.
std::string askOrBlank(std::string_view prompt, std::string_view what);

// Asks for a file name: the whole answer, trailing blanks dropped. A name
// that can name no file (a NUL byte in it) ends the run before anything
// is opened.
std::string askFileName(std::string_view prompt, std::string_view what);

}  // namespace common
