#include "fuzz_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "common/failure.hpp"

namespace fuzz {

namespace {

std::filesystem::path& sandbox() {
    static std::filesystem::path path;
    return path;
}

void removeSandbox() {
    std::error_code ignored;
    if (!sandbox().empty()) std::filesystem::remove_all(sandbox(), ignored);
}

}  // namespace

std::vector<std::string_view> splitParts(const uint8_t* data, size_t size, size_t parts) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> result;
    size_t start = 0;
    while (result.size() + 1 < parts) {
        const size_t end = all.find(kSeparator, start);
        if (end == std::string_view::npos) break;
        result.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    result.push_back(start <= all.size() ? all.substr(start) : std::string_view());
    while (result.size() < parts) result.emplace_back();
    return result;
}

void enterSandbox() {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : nullptr;
    std::string pattern = (base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
                          "suite-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) broken("cannot create the working folder " + pattern);
    sandbox() = pattern;
    std::filesystem::current_path(sandbox());
    std::atexit(removeSandbox);
}

void clearSandbox() {
    for (const auto& entry : std::filesystem::directory_iterator(sandbox())) {
        std::filesystem::remove_all(entry.path());
    }
}

void writeFile(const std::string& name, std::string_view content) {
    std::ofstream out(name, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) broken("cannot write " + name);
}

bool fileExists(const std::string& name) { return ::access(name.c_str(), F_OK) == 0; }

std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) broken("cannot read " + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

namespace {
std::string& report() {
    static std::string text;
    return text;
}
}  // namespace

const std::string& lastReport() { return report(); }

int runProgram(std::string_view name, int (*body)(), const std::string& answers) {
    writeFile(".answers", answers);
    if (std::freopen(".answers", "r", stdin) == nullptr) broken("cannot point standard input at the answers");

    // The program's own lines on both streams are swapped for a sink and a
    // memory stream while it runs; the sanitizers and libFuzzer write to the
    // descriptor itself.
    static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
    static FILE* sink = std::fopen("/dev/null", "w");
    char* errText = nullptr;
    size_t errSize = 0;
    FILE* const errStream = open_memstream(&errText, &errSize);
    if (errStream == nullptr) broken("cannot open a memory stream");
    FILE* const savedOut = stdout;
    FILE* const savedErr = stderr;
    if (!verbose) stdout = sink;
    stderr = errStream;
    const int status = common::runProgram(name, body);
    stdout = savedOut;
    stderr = savedErr;
    std::fclose(errStream);
    report().assign(errText, errSize);
    std::free(errText);
    if (verbose) std::fwrite(report().data(), 1, report().size(), stderr);
    check(status == 0 || status == common::kExitNoResult || status == common::kExitFailure,
          "exit status " + std::to_string(status));
    return status;
}

std::vector<std::string_view> fileLines(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            result.push_back(text);
            break;
        }
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        result.push_back(line);
        text.remove_prefix(end + 1);
    }
    return result;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz target: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz

// The files of a run each get a buffer of some hundred kilobytes. Under
// AddressSanitizer a block that large is a fresh mapping every time, and
// zeroing it costs a page fault every 4 KB, which made a run of a program
// ten to twenty times slower than its work. The fuzz targets are linked
// with --wrap for new[] and delete[] of the program code, so that such
// blocks are kept and handed out again for the same size; every other
// allocation goes to the sanitizer's allocator as usual.
namespace {
constexpr size_t kLargeBlock = size_t(64) << 10;
constexpr int kKept = 32;
struct KeptBlock {
    void* block = nullptr;
    size_t size = 0;
    bool free = false;
};
KeptBlock kept[kKept];
}  // namespace

extern "C" void* __real__Znam(size_t size);
extern "C" void __real__ZdaPv(void* block);

extern "C" void* __wrap__Znam(size_t size) {
    if (size < kLargeBlock) return __real__Znam(size);
    for (KeptBlock& k : kept) {
        if (k.block != nullptr && k.free && k.size == size) {
            k.free = false;
            return k.block;
        }
    }
    void* block = __real__Znam(size);
    for (KeptBlock& k : kept) {
        if (k.block == nullptr) {
            k = {block, size, false};
            break;
        }
    }
    return block;
}

extern "C" void __wrap__ZdaPv(void* block) {
    if (block != nullptr) {
        for (KeptBlock& k : kept) {
            if (k.block == block) {
                k.free = true;
                return;
            }
        }
    }
    __real__ZdaPv(block);
}
