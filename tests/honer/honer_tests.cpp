// honer run as a driver would run it: two names on standard input, a Phaser
// log in a scratch folder, the cad input file read back.

#include "testsupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kPrompts = " Please type phaser log file\n Type name of cad input file\n";

std::string cadScript(const std::string& record2) {
    return "title apply a negative iso B\n" + record2 +
           "\nLABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n";
}

// A table as Phaser prints it, with `value` in columns 6 onwards of the
// third record after the heading.
std::string table(const std::string& value) {
    return "   Principal components of anisotropic part of B affecting observed amplitudes:\n"
           "     eigenB (A^2)     direction cosines (orthogonal coordinates)\n"
           "         1.854              1.0000  -0.0000  -0.0000\n"
           "         0.021              0.0000   0.0000   1.0000\n"
           "     " + value + "\n";
}

struct HonerRun {
    testsupport::ScratchDir dir;
    testsupport::RunResult result;
    bool cadExists() const { return fs::exists(dir / "cad.com"); }
    std::string cad() const { return readFile(dir / "cad.com"); }
};

void runHoner(HonerRun& run, const std::string& log, const std::string& input = "phaser.log\ncad.com\n") {
    writeFile(run.dir / "phaser.log", log);
    run.result = testsupport::run(testsupport::program("honer"), input, run.dir.path());
}

TEST(Honer, WorkedValueGivesTheWholeScriptAndDialogue) {
    HonerRun run;
    runHoner(run, "Phaser banner\n" + table("  -23.456   0.0000   1.0000") + "more log\n");
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.out, kPrompts +
                                  " Hurray I found the principle components\n"
                                  " Preparing cad to apply a B-factor of -23.456\n"
                                  " honer is finished\n");
    EXPECT_EQ(run.cad(), cadScript("SCAL FILE_NUMBER 1 1.00      -23.456"));
}

TEST(Honer, ValueFieldIsF93InColumns6To14) {
    const struct {
        std::string field;   // from column 6 on
        std::string record2; // value part, columns 25-36
        std::string shown;
    } cases[] = {
        {"5.09", "       5.090", "5.09"},        // sign kept, not negated
        {"  -25", "      -0.025", "-0.025"},     // no point: three implied decimals
        {"", "       0.000", "0"},               // blank field
        {"     ", "       0.000", "0"},
        {"    1234567", "      12.345", "12.345"},  // columns 15 on are not seen
        {"-1.875E1", "     -18.750", "-18.75"},
    };
    for (const auto& c : cases) {
        HonerRun run;
        runHoner(run, table(c.field));
        EXPECT_EQ(run.result.status, 0) << c.field << run.result.err;
        EXPECT_EQ(run.cad(), cadScript("SCAL FILE_NUMBER 1 1.00 " + c.record2)) << c.field;
        EXPECT_NE(run.result.out.find("B-factor of " + c.shown + "\n"), std::string::npos) << run.result.out;
    }
}

TEST(Honer, HeadingOnlyAtColumns6To11AndOnlyTheFirst) {
    HonerRun run;
    const std::string decoys = "    eigenB off by one to the left\n      eigenB one to the right\n"
                               "     EIGENB in capitals\n     eigen\n\n";
    runHoner(run, decoys + table("-1.5") + table("-9.0"));
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.cad(), cadScript("SCAL FILE_NUMBER 1 1.00       -1.500"));
}

TEST(Honer, NoHeadingLeavesAnEmptyScriptAndExitsOne) {
    for (const std::string& log : {std::string(), std::string("    eigenB\n      eigenB\n     Eigenb\nend\n")}) {
        HonerRun run;
        runHoner(run, log);
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, kPrompts + " You Yorv always get what you want\n");
        EXPECT_NE(run.result.err.find("honer: no \"eigenB\" heading in columns 6-11 of phaser.log"),
                  std::string::npos) << run.result.err;
        ASSERT_TRUE(run.cadExists());
        EXPECT_EQ(run.cad(), "");
    }
}

TEST(Honer, CarriageReturnsAndLongNames) {
    HonerRun run;
    const std::string name(120, 'L');
    writeFile(run.dir / name, "     eigenB\r\nx\r\ny\r\n     -2.5\r\n");
    // The whole answer is the name; trailing blanks are dropped.
    run.result = testsupport::run(testsupport::program("honer"), name + "\ncad.com   \n", run.dir.path());
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.cad(), cadScript("SCAL FILE_NUMBER 1 1.00       -2.500"));
}

TEST(Honer, StandardInputEndingAtEitherPrompt) {
    for (const std::string& input : {std::string(), std::string("phaser.log\n")}) {
        HonerRun run;
        runHoner(run, table("-1.0"), input);
        EXPECT_EQ(run.result.status, 2);
        EXPECT_NE(run.result.err.find("honer: end of standard input"), std::string::npos) << run.result.err;
        EXPECT_FALSE(run.cadExists());
    }
}

TEST(Honer, LogEndingInsideTheTable) {
    const std::string heading = "     eigenB\n";
    const struct {
        std::string log;
        std::string report;
    } cases[] = {
        {heading, "end of file phaser.log after line 1"},
        {heading + "a\n", "end of file phaser.log after line 2"},
        {heading + "a\nb\n", "end of file phaser.log after line 3"},
    };
    for (const auto& c : cases) {
        HonerRun run;
        runHoner(run, c.log);
        EXPECT_EQ(run.result.status, 2);
        EXPECT_EQ(run.result.out, kPrompts + " Hurray I found the principle components\n");
        EXPECT_NE(run.result.err.find(c.report), std::string::npos) << run.result.err;
        ASSERT_TRUE(run.cadExists());
        EXPECT_EQ(run.cad(), "");
    }
}

TEST(Honer, RealPhaserLogs) {
    const fs::path dir = testsupport::realDataDir();
    if (dir.empty() || !fs::is_directory(dir / "phaser")) GTEST_SKIP() << "no real Phaser logs beside this clone";
    const std::pair<std::string, std::string> logs[] = {
        {"ccp4i2_phaser_simple_test_MR_AUTO_summary_2.8.3.txt", "      -1.875"},
        {"ccp4i2_phaser_expert_asu_test_MR_AUTO_summary_2.8.3.txt", "     -21.460"},
        {"ccp4i2_phaser_simple_no_solution_test_MR_AUTO_summary_2.8.3.txt", "      -4.976"},
        {"ccp4i2_phaser_expert_tncs_test_MR_AUTO_summary_2.8.3.txt", "      -2.649"},
        {"rapd_thaumatin_P41212_phaser-2.6.0_MR_AUTO.log", "      -2.263"},
        {"rapd_1P7R_P222_phaser-2.6.0_MR_AUTO.log", "     -13.163"},
    };
    for (const auto& [name, value] : logs) {
        if (!fs::exists(dir / "phaser" / name)) continue;
        HonerRun run;
        fs::copy_file(dir / "phaser" / name, run.dir / "phaser.log");
        run.result = testsupport::run(testsupport::program("honer"), "phaser.log\ncad.com\n", run.dir.path());
        EXPECT_EQ(run.result.status, 0) << name << run.result.err;
        EXPECT_EQ(run.cad(), cadScript("SCAL FILE_NUMBER 1 1.00 " + value)) << name;
    }
}

}  // namespace
