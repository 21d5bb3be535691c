// The run-time failure: one line on standard error naming the program, the
// operation and the file (with line and columns for a read), exit status 2.
//
// A failure is thrown and caught in runProgram, so that every open output
// file is flushed and closed by its destructor on the way out and keeps each
// record written before the failure.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace common {

inline constexpr int kExitFailure = 2;      // a failed open, read or write
inline constexpr int kExitNoResult = 1;     // finished, but produced nothing

class RunTimeFailure : public std::runtime_error {
public:
    explicit RunTimeFailure(const std::string& what) : std::runtime_error(what), message_(what) {}
    // The whole message: what() would end at a NUL byte quoted from a file.
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

[[noreturn]] void fail(std::string message);

// Name used in front of every report on standard error.
void setProgramName(std::string_view name);
const std::string& programName();

// Writes "program: message" on standard error, every byte outside
// printable ASCII shown escaped (\x00, \x1b).
void report(std::string_view message);
std::string escapedForTerminal(std::string_view text);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed.
void openStandardStreams();

// The suite's version, as --version prints it.
const char* suiteVersion();

// Runs body(); a RunTimeFailure is reported and gives kExitFailure.
// Standard output is flushed in every case.
int runProgram(std::string_view name, int (*body)());

// The same for a program given its command line: "--help" (or "-h") prints `help`,
// "--version" the suite's version, both with status 0; any other argument
// is refused with a one-line usage message and status 2. Drivers give none.
int runProgram(std::string_view name, int argc, char** argv, std::string_view help, int (*body)());

}  // namespace common
