#include "common/failure.hpp"

#include <cstdio>
#include <new>

namespace common {

namespace {
std::string& nameStorage() {
    static std::string name = "program";
    return name;
}
}  // namespace

void fail(std::string message) { throw RunTimeFailure(message); }

void setProgramName(std::string_view name) { nameStorage() = std::string(name); }
const std::string& programName() { return nameStorage(); }

void report(std::string_view message) {
    std::fflush(stdout);
    std::string line = programName();
    line += ": ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

int runProgram(std::string_view name, int (*body)()) {
    setProgramName(name);
    int status = kExitFailure;
    try {
        status = body();
    } catch (const RunTimeFailure& failure) {
        report(failure.what());
        status = kExitFailure;
    } catch (const std::bad_alloc&) {
        report("out of memory");
        status = kExitFailure;
    }
    if (std::fflush(stdout) != 0 && status == 0) {
        report("cannot write to standard output");
        status = kExitFailure;
    }
    return status;
}

int runProgram(std::string_view name, int argc, char** argv, std::string_view help, int (*body)()) {
    setProgramName(name);
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::fwrite(help.data(), 1, help.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("%.*s %s\n", static_cast<int>(name.size()), name.data(), SUITE_VERSION);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }
    if (argc > 1) {
        report("takes no arguments (it asks for its files on standard input); usage: " + std::string(name) +
               " [--help | --version]");
        return kExitFailure;
    }
    return runProgram(name, body);
}

}  // namespace common
