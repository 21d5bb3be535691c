// The whole pipeline on the bundled example data, answered as run-example
// and a driver script answer it: every stage computed from XDS_ASCII.HKL
// (ovofit, ovoclip, ovoscale on the truncated and the initial data, honer
// on ovoscale's log, bapply, finjoin, planeview, mergetab). Every file
// written, and what each program says on the terminal, must stay byte for
// byte as kept in expected/: speed work and refactoring must not change a
// single column. A difference is shown as a diff, and the files as made are
// left in the build folder (pipeline-actual/). After an intended change,
// regenerate them with
//
//   SUITE_REGENERATE_EXPECTED=1 build/tests-bin/pipeline_tests
//
// and review the change with git diff before committing it.
//
// And the example against the model it was drawn from: ovoscale finds the
// generator's anisotropy in the truncated data, and honer takes its
// resharpening B.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/input_file.hpp"
#include "common/layout/cad_script.hpp"
#include "common/layout/eigen_b.hpp"
#include "testsupport.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path kExpected = fs::path(SUITE_SOURCE_DIR) / "tests" / "pipeline" / "expected";

struct Step {
    const char* program;
    const char* answers;
    const char* terminal;  // what it said, kept under this name
};

const Step kSteps[] = {
    {"ovofit", "XDS_ASCII.HKL\n\nXDS_ASCII_trunc.HKL\novofit.inp\novofit.svg\n", "ovofit.terminal"},
    {"ovoclip", "ovoclip.inp\nplaneview.inp\n", "ovoclip.terminal"},
    {"ovoscale", "XDS_ASCII_trunc.HKL\novoscale_trunc.mtz\novoscale_trunc.log\n", "ovoscale_trunc.terminal"},
    {"ovoscale", "XDS_ASCII.HKL\novoscale_initial.mtz\novoscale_initial.log\n", "ovoscale_initial.terminal"},
    {"honer", "ovoscale_trunc.log\ncad_negB.inp\n", "honer.terminal"},
    {"bapply", "cad_negB.inp\novoscale_trunc.mtz\ncad_negB.mtz\n", "bapply.terminal"},
    {"finjoin", "ovoscale_initial.mtz\n\n\novoscale_trunc.mtz\n\n\novoscale_trunc.mtz\n\n\ncad_negB.mtz\n\n\nstages.fin\n",
     "finjoin.terminal"},
    {"planeview", "ovoclip.inp\nstages.fin\npage.ps\nplaneview.inp\ncad_negB.inp\n", "planeview.terminal"},
    {"mergetab", "XSCALE_start.LP\nXSCALE_final.LP\nstatistics.html\n", "mergetab.terminal"},
    {"mergetab-rsym", "XSCALE_start.LP\nXSCALE_final.LP\nstatistics-rsym.html\n", "mergetab-rsym.terminal"},
};

const char* const kInputs[] = {"XDS_ASCII.HKL", "ovoclip.inp", "XSCALE_start.LP", "XSCALE_final.LP"};

const char* const kWritten[] = {"ovofit.inp",         "ovofit.svg",         "XDS_ASCII._reslimit.dat",
                                "XDS_ASCII_trunc.HKL", "planeview.inp",      "ovoscale_trunc.log",
                                "ovoscale_initial.log", "cad_negB.inp",      "stages.fin",
                                "page.ps",             "statistics.html",    "statistics-rsym.html"};

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
    for (const char* name : kInputs) fs::copy_file(examples / name, dir / name);
    std::vector<std::string> compared(std::begin(kWritten), std::end(kWritten));
    for (const Step& step : kSteps) {
        const auto result = testsupport::run(testsupport::program(step.program), step.answers, dir.path());
        ASSERT_EQ(result.status, 0) << step.program << ": " << result.err;
        EXPECT_EQ(result.err, "") << step.program;
        testsupport::writeFile(dir / step.terminal, result.out);
        compared.push_back(step.terminal);
    }

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

// examples/generate.py drew the example with amplitude B factors of 70, 48
// and 34 A^2 along a*, b* and c* (the frame's x, y and z in this
// orthorhombic cell): their anisotropic part is each less their mean.
TEST(Pipeline, OvoscaleFindsTheGeneratorsAnisotropyAndHonerTakesItsResharpeningB) {
    constexpr double kAmplitudeB[3] = {70, 48, 34};
    constexpr double kTolerance = 2.0;  // A^2, each component
    const double mean = (kAmplitudeB[0] + kAmplitudeB[1] + kAmplitudeB[2]) / 3;

    testsupport::ScratchDir dir;
    const fs::path examples = fs::path(SUITE_SOURCE_DIR) / "examples";
    for (const char* name : {"XDS_ASCII.HKL", "ovoclip.inp"}) fs::copy_file(examples / name, dir / name);
    for (const Step& step : kSteps) {
        const std::string program = step.program;
        if (program != "ovoclip" && std::string(step.terminal) != "ovoscale_trunc.terminal" && program != "honer") continue;
        const auto result = testsupport::run(testsupport::program(program), step.answers, dir.path());
        ASSERT_EQ(result.status, 0) << program << ": " << result.err;
    }

    common::InputFile log((dir / "ovoscale_trunc.log").string());
    ASSERT_TRUE(common::eigen_b::findHeading(log));
    const common::eigen_b::Table table = common::eigen_b::readTable(log);
    // Largest first: a*, b*, c*.
    for (size_t axis = 0; axis < 3; ++axis) {
        SCOPED_TRACE("component " + std::to_string(axis + 1));
        EXPECT_NEAR(table[axis].value, kAmplitudeB[axis] - mean, kTolerance);
        EXPECT_GT(std::fabs(table[axis].cosines[axis]), 0.999f);
    }

    // honer's record 2 carries the most negative component as the log has it.
    common::InputFile cad((dir / "cad_negB.inp").string());
    cad.nextOrFail("the title");
    EXPECT_EQ(common::cad_script::readScaleRecord(cad.nextOrFail("the scale record"), cad), table[2].value);
}
