// mergetab's run, kept apart from main so that other drivers (the fuzz
// targets) go through the very same code.
#pragma once

#include <string_view>

namespace mergetab {

#ifdef MERGETAB_RSYM_HEADER
inline constexpr std::string_view kProgramName = "mergetab-rsym";
#else
inline constexpr std::string_view kProgramName = "mergetab";
#endif

// The whole dialogue and the three files; returns the exit status (0, or 1
// when a log has no marker line). A failed open or read throws
// common::RunTimeFailure.
int runMergetab();

}  // namespace mergetab
