// File names as the programs take them from an answer or a record, and as
// their reports quote them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace common {

// The longest file name taken, in bytes (a path as long as the system
// allows); a longer one, or one holding a NUL byte, names no file.
inline constexpr size_t kLongestName = 4096;

// Why `name` cannot name a file, or empty when it can.
std::string faultOfFileName(std::string_view name);

// A file name from an answer or a record: trailing blanks are not part of
// it, leading and embedded blanks are.
std::string fileNameFrom(std::string_view field);

// The name between double quotes, as every report shows it.
std::string quoted(std::string_view name);
// For a std::string: an exact match, so that a call with one is never taken
// by std::quoted through the argument's namespace.
inline std::string quoted(const std::string& name) { return quoted(std::string_view(name)); }
// The same for a name that may be refused for its length: past 80 bytes it
// is cut and ends in "...", so that it does not fill the terminal.
std::string quotedStart(std::string_view name);

// True when both names lead to one file, or would once the second exists
// (an output named like an input, or two outputs named alike).
bool sameFile(const std::string& x, const std::string& y);

}  // namespace common
