#include "common/failure.hpp"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace common {

namespace {
std::string& nameStorage() {
    static std::string name = "program";
    return name;
}
}  // namespace

// Descriptors 0, 1 and 2 open before any file is: a closed one would be the
// next file opened, and a prompt or a report meant for the terminal would
// land in that file. A closed one reads and writes /dev/null instead.
void openStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) ::close(opened);  // cannot happen: fd was the lowest free
    }
}

std::string escapedForTerminal(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xf]);
        }
    }
    return out;
}

void fail(std::string message) { throw RunTimeFailure(message); }

void setProgramName(std::string_view name) { nameStorage() = std::string(name); }
const std::string& programName() { return nameStorage(); }

void report(std::string_view message) {
    std::fflush(stdout);
    // Names and fields come from the input: a damaged file's NUL or escape
    // bytes are shown, not sent to the terminal.
    std::string line = programName();
    line += ": ";
    line += escapedForTerminal(message);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

const char* suiteVersion() { return SUITE_VERSION; }

int runProgram(std::string_view name, int (*body)()) {
    setProgramName(name);
    openStandardStreams();
    // A write past a file-size limit fails as any failed write does, with a
    // report, rather than end the run without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    int status = kExitFailure;
    try {
        status = body();
    } catch (const RunTimeFailure& failure) {
        report(failure.message());
        status = kExitFailure;
    } catch (const std::bad_alloc&) {
        report("out of memory");
        status = kExitFailure;
    } catch (const std::exception& error) {
        // A library's own failure, caught here rather than by abort(): the
        // run unwinds, and its output files go as on any failure.
        std::string what = error.what();
        for (char& c : what) if (c == '\n') c = ' ';
        report("failed: " + what);
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
    openStandardStreams();
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fwrite(help.data(), 1, help.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("%.*s %s\n", static_cast<int>(name.size()), name.data(), SUITE_VERSION);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }
    if (argc > 1) {
        report("takes no arguments (it asks for its files on standard input); usage: " + std::string(name) +
               " [-h | --help | --version]");
        return kExitFailure;
    }
    return runProgram(name, body);
}

}  // namespace common
