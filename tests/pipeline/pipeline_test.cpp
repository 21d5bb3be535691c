// The whole pipeline on the bundled example data, answered as run-example
// and a driver script answer it. Every file written must stay byte for byte
// what it was when the example was made: speed work and refactoring must
// not change a single column.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "testsupport.hpp"

namespace fs = std::filesystem;

namespace {

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

struct Expected {
    const char* name;
    size_t size;
    uint64_t hash;
};

}  // namespace

TEST(Pipeline, ExampleDataGivesTheSameFilesByteForByte) {
    testsupport::ScratchDir dir;
    const fs::path examples = fs::path(SUITE_SOURCE_DIR) / "examples";
    for (const char* name : {"XDS_ASCII.HKL", "ovoclip.inp", "phaser.log", "stages.fin", "XSCALE_start.LP",
                             "XSCALE_final.LP"}) {
        fs::copy_file(examples / name, dir / name);
    }
    struct Step {
        const char* program;
        const char* answers;
    };
    const Step steps[] = {
        {"ovoclip", "ovoclip.inp\nplaneview.inp\n"},
        {"honer", "phaser.log\ncad_negB.inp\n"},
        {"planeview", "ovoclip.inp\nstages.fin\npage.ps\nplaneview.inp\ncad_negB.inp\n"},
        {"mergetab", "XSCALE_start.LP\nXSCALE_final.LP\nstatistics.html\n"},
        {"mergetab-rsym", "XSCALE_start.LP\nXSCALE_final.LP\nstatistics-rsym.html\n"},
    };
    for (const Step& step : steps) {
        const auto result = testsupport::run(testsupport::program(step.program), step.answers, dir.path());
        ASSERT_EQ(result.status, 0) << step.program << ": " << result.err;
        EXPECT_EQ(result.err, "") << step.program;
    }

    const Expected expected[] = {
        {"XDS_ASCII._reslimit.dat", 38, 0x877dc2efb6f4df11ULL},
        {"XDS_ASCII_trunc.HKL", 859583, 0x09ad2cb83c7fe42bULL},
        {"planeview.inp", 46, 0xd90aa900d4f863c8ULL},
        {"cad_negB.inp", 143, 0x9bfea04fc6ebc81aULL},
        {"page.ps", 718908, 0x1da8b4cd298f2cb6ULL},
        {"statistics.html", 1948, 0x6dfbe61777652967ULL},
        {"statistics-rsym.html", 1948, 0x2f666d32de99d7b0ULL},
    };
    for (const Expected& e : expected) {
        const std::string bytes = testsupport::readFile(dir / e.name);
        EXPECT_EQ(bytes.size(), e.size) << e.name;
        EXPECT_EQ(fnv1a(bytes), e.hash) << e.name;
    }
    // The readable ones, spelled out.
    EXPECT_EQ(testsupport::readFile(dir / "planeview.inp"), "    21389\n    10245\n        0.65\n    11144.00\n");
    EXPECT_EQ(testsupport::readFile(dir / "XDS_ASCII._reslimit.dat"), "INCLUDE_RESOLUTION_RANGE=500    2.100\n");
    EXPECT_EQ(testsupport::lines(testsupport::readFile(dir / "cad_negB.inp"))[1], "SCAL FILE_NUMBER 1 1.00      -16.408");
}
