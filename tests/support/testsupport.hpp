// Running the built programs as a driver script would, in a scratch folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Whether the tests run under AddressSanitizer, whose shadow memory comes
// on top of what a program holds.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

struct RunResult {
    int status = -1;        // exit status, or -1 when killed by a signal
    std::string out;        // standard output
    std::string err;        // standard error
};

// Path of a built program, e.g. program("ovoclip").
std::string program(const std::string& name);

// Runs `exe` with no arguments (or `args`) in `workdir`, feeding `input` on
// standard input and capturing both output streams.
RunResult run(const std::string& exe, const std::string& input, const std::filesystem::path& workdir,
              const std::vector<std::string>& args = {});

// A fresh empty folder, removed when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);
std::vector<std::string> lines(const std::string& text);  // split at '\n'; no trailing empty piece

// The tests' one random generator: xorshift64 from a fixed seed, so every
// machine and library draws the same cases (the distributions of <random>
// differ between libraries). random(n) is a draw from 0 to n - 1.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed == 0 ? 1 : seed) {}
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    uint64_t operator()(uint64_t n) { return next() % n; }

private:
    uint64_t state_;
};

// The folder of real files written by the outside programs, or empty when
// this clone has none beside it.
std::filesystem::path realDataDir();

}  // namespace testsupport
