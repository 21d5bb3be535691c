// Every program answers -h, --help and --version and refuses any other
// argument before it asks or opens anything, even when its inputs are there
// and the run would succeed: one table, a row a program (programs.hpp).
#include <gtest/gtest.h>

#include "programs.hpp"

namespace {

using programs::Program;

class Arguments : public testing::TestWithParam<Program> {};

TEST_P(Arguments, HelpVersionAndOthersRefused) {
    const Program& p = GetParam();
    failures::Folder f;
    for (const auto& [name, content] : p.inputs) f.write(name, content);
    const auto program = testsupport::program(p.name);

    const auto help = testsupport::run(program, "", f.dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(p.name.substr(0, p.name.find('-')) + ": ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Options: -h or --help, --version."), std::string::npos) << help.out;
    const auto shortForm = testsupport::run(program, "", f.dir.path(), {"-h"});
    EXPECT_EQ(shortForm.status, 0);
    EXPECT_EQ(shortForm.out, help.out);
    const auto version = testsupport::run(program, "", f.dir.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind(p.name + " ", 0), 0u) << version.out;
    for (const std::string other : {"x", "--helpx", "-", "-hh"}) {
        const auto refused = testsupport::run(program, p.answers, f.dir.path(), {other});
        EXPECT_EQ(refused.status, 2) << other;
        EXPECT_EQ(refused.out, "") << other;
        failures::expectReport(refused, p.name, {});
    }
    EXPECT_EQ(f.contents(), p.inputs);
}

INSTANTIATE_TEST_SUITE_P(Every, Arguments, testing::ValuesIn(programs::all()),
                         [](const auto& row) { return programs::testName(row.param.name); });

}  // namespace
