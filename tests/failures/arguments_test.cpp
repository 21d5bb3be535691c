// Every program answers --help and --version and refuses any other
// argument before it asks or opens anything, even when its inputs are there
// and the run would succeed: one table, a row a program.
#include <gtest/gtest.h>

#include "failure_support.hpp"

namespace {

using failures::Contents;
using failures::Folder;

struct Program {
    std::string name;
    std::string firstPrompt;  // the help describes the dialogue
    std::string answers;      // a run that would succeed with `inputs`
    Contents inputs;
};

const std::string kLog = "x\n     eigenB\nx\nx\n     -1.000\n";
const std::string kScript =
    "in.hkl\nout.hkl\n   50.00   60.00   70.00   90.00   90.00   90.00\n"
    "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n"
    "      2.0000      2.0000      2.0000\n";

const Program kPrograms[] = {
    {"ovoclip", "Please type in name of input script", "ovo.inp\npv.inp\n",
     {{"ovo.inp", kScript}, {"in.hkl", "!END_OF_HEADER\n!END_OF_DATA\n"}}},
    {"honer", "Please type phaser log file", "phaser.log\ncad.com\n", {{"phaser.log", kLog}}},
    {"planeview", "Type fin file with 4 data sets", "ovo.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n",
     {{"ovo.inp", kScript}, {"fin.dat", ""}, {"pv.inp", "1\n1\n1\n1\n"}, {"cad.inp", "t\nSCAL FILE_NUMBER 1 1.00 1\n"}}},
    {"mergetab", "Please name starting XSCALE.LP file", "a.LP\nb.LP\nstats.html\n", {}},
    {"mergetab-rsym", "Please name starting XSCALE.LP file", "a.LP\nb.LP\nstats.html\n", {}},
};

class Arguments : public testing::TestWithParam<Program> {};

TEST_P(Arguments, HelpAndVersionAnswerAndOtherArgumentsAreRefused) {
    const Program& p = GetParam();
    Folder f;
    for (const auto& [name, content] : p.inputs) f.write(name, content);
    const auto program = testsupport::program(p.name);

    const auto help = testsupport::run(program, "", f.dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(p.firstPrompt), std::string::npos) << help.out;
    const auto version = testsupport::run(program, "", f.dir.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind(p.name + " ", 0), 0u) << version.out;
    for (const std::string other : {"x", "--helpx", "-"}) {
        const auto refused = testsupport::run(program, p.answers, f.dir.path(), {other});
        EXPECT_EQ(refused.status, 2) << other;
        EXPECT_EQ(refused.out, "") << other;
        failures::expectReport(refused, p.name, {});
    }
    EXPECT_EQ(f.contents(), p.inputs);
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, Arguments, testing::ValuesIn(kPrograms),
                         [](const testing::TestParamInfo<Program>& info) {
                             std::string name = info.param.name;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
