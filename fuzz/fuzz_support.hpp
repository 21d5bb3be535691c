// Shared by the fuzz targets that run a whole program: a private working
// folder, the fuzz input cut into the program's input files, standard input
// pointed at the answers, and the program's run called exactly as its main
// calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// The byte that separates the files of one fuzz input (ASCII record
// separator). Missing parts are empty files.
inline constexpr char kSeparator = '\x1e';

std::vector<std::string_view> splitParts(const uint8_t* data, size_t size, size_t parts);

// Creates the working folder (in /dev/shm when there is one) and makes it
// the current directory; removed at exit. Call from LLVMFuzzerInitialize.
void enterSandbox();

// Removes every file of the working folder: each run starts from nothing.
void clearSandbox();

void writeFile(const std::string& name, std::string_view content);
bool fileExists(const std::string& name);
std::string readFile(const std::string& name);
std::vector<std::string> lines(const std::string& text);  // split at '\n'

// Runs body() through common::runProgram with `answers` on standard input.
// The program's terminal output goes nowhere and what it writes on standard
// error is kept for lastReport() (both are shown when FUZZ_VERBOSE is set).
// Any status but 0, 1 or 2 aborts.
int runProgram(std::string_view name, int (*body)(), const std::string& answers);
const std::string& lastReport();

// The lines of a file as common::InputFile reads them: a carriage return
// just before a line feed is no part of its line, and a last line without a
// line feed is a line.
std::vector<std::string_view> fileLines(std::string_view text);
bool contains(const std::string& text, const std::string& part);

// Aborts with a message: a broken promise of the program, not a crash of
// its own, but a finding all the same.
[[noreturn]] void broken(const std::string& what);
inline void check(bool ok, const std::string& what) {
    if (!ok) broken(what);
}

}  // namespace fuzz
