// The whole pipeline on the bundled example data, answered as run-example
// and a driver script answer it. Every file written, and what each program
// says on the terminal, must stay byte for byte as kept in expected/: speed
// work and refactoring must not change a single column. A difference is
// shown as a diff, and the files as made are left in the build folder
// (pipeline-actual/). After an intended change, regenerate them with
//
//   SUITE_REGENERATE_EXPECTED=1 build/tests-bin/pipeline_tests
//
// and review the change with git diff before committing it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "testsupport.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path kExpected = fs::path(SUITE_SOURCE_DIR) / "tests" / "pipeline" / "expected";

struct Step {
    const char* program;
    const char* answers;
};

const Step kSteps[] = {
    {"ovofit", "XDS_ASCII.HKL\n\nXDS_ASCII_trunc.HKL\novofit.inp\novofit.svg\n"},
    {"ovoclip", "ovoclip.inp\nplaneview.inp\n"},
    {"honer", "phaser.log\ncad_negB.inp\n"},
    {"finjoin", "XDS_ASCII.mtz\n\n\nXDS_ASCII_trunc.mtz\n\n\nphaser_aniso.mtz\n\n\ncad_negB.mtz\n\n\nstages.fin\n"},
    {"planeview", "ovoclip.inp\nstages.fin\npage.ps\nplaneview.inp\ncad_negB.inp\n"},
    {"mergetab", "XSCALE_start.LP\nXSCALE_final.LP\nstatistics.html\n"},
    {"mergetab-rsym", "XSCALE_start.LP\nXSCALE_final.LP\nstatistics-rsym.html\n"},
};

const char* const kWritten[] = {"ovofit.inp", "ovofit.svg",   "XDS_ASCII._reslimit.dat", "XDS_ASCII_trunc.HKL",
                                "planeview.inp", "cad_negB.inp", "page.ps", "statistics.html", "statistics-rsym.html"};

// The fin file that finjoin makes from the example's four MTZ files is the
// example's own fin file, which the MTZ files were made from.
const char* const kFinFile = "stages.fin";

// The first lines of `diff -u expected actual`.
std::string diffOf(const fs::path& expected, const fs::path& actual) {
    const auto result = testsupport::run("/usr/bin/diff", "", actual.parent_path(),
                                         {"-u", expected.string(), actual.string()});
    const std::vector<std::string> lines = testsupport::lines(result.out);
    std::string shown;
    for (size_t i = 0; i < lines.size() && i < 40; ++i) shown += lines[i] + "\n";
    if (lines.size() > 40) shown += "... (" + std::to_string(lines.size() - 40) + " more lines)\n";
    return shown;
}

}  // namespace

TEST(Pipeline, ExampleDataGivesTheKeptFilesByteForByte) {
    testsupport::ScratchDir dir;
    const fs::path examples = fs::path(SUITE_SOURCE_DIR) / "examples";
    for (const char* name : {"XDS_ASCII.HKL", "ovoclip.inp", "phaser.log", "XDS_ASCII.mtz", "XDS_ASCII_trunc.mtz",
                             "phaser_aniso.mtz", "cad_negB.mtz", "XSCALE_start.LP", "XSCALE_final.LP"}) {
        fs::copy_file(examples / name, dir / name);
    }
    std::vector<std::string> compared(std::begin(kWritten), std::end(kWritten));
    for (const Step& step : kSteps) {
        const auto result = testsupport::run(testsupport::program(step.program), step.answers, dir.path());
        ASSERT_EQ(result.status, 0) << step.program << ": " << result.err;
        EXPECT_EQ(result.err, "") << step.program;
        const std::string terminal = std::string(step.program) + ".terminal";
        testsupport::writeFile(dir / terminal, result.out);
        compared.push_back(terminal);
    }

    EXPECT_TRUE(testsupport::readFile(dir / kFinFile) == testsupport::readFile(examples / kFinFile))
        << "finjoin's fin file differs from examples/stages.fin:\n"
        << diffOf(examples / kFinFile, dir / kFinFile);

    const bool regenerate = std::getenv("SUITE_REGENERATE_EXPECTED") != nullptr;
    const fs::path kept = fs::current_path() / "pipeline-actual";
    bool anyDiffers = false;
    for (const std::string& name : compared) {
        if (regenerate) {
            fs::create_directories(kExpected);
            fs::copy_file(dir / name, kExpected / name, fs::copy_options::overwrite_existing);
            continue;
        }
        ASSERT_TRUE(fs::exists(kExpected / name)) << "no expected " << name << ": regenerate (see the top of this file)";
        if (testsupport::readFile(dir / name) == testsupport::readFile(kExpected / name)) continue;
        anyDiffers = true;
        fs::create_directories(kept);
        fs::copy_file(dir / name, kept / name, fs::copy_options::overwrite_existing);
        ADD_FAILURE() << name << " differs from tests/pipeline/expected (made one kept in " << kept.string()
                      << "):\n"
                      << diffOf(kExpected / name, kept / name);
    }
    if (regenerate) GTEST_SKIP() << "expected files regenerated in " << kExpected.string();
    if (!anyDiffers) fs::remove_all(kept);
}
