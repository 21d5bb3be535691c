// honer on damaged, missing and misnamed inputs: what it reports, its exit
// status, and exactly which files the folder holds afterwards.
#include <gtest/gtest.h>

#include "failure_support.hpp"

namespace {

namespace fs = std::filesystem;

using failures::Contents;
using failures::expectFailure;
using failures::Folder;
using failures::kFolder;

const std::string kLog = "Phaser log\n     eigenB (A^2)     direction cosines\n         1.854\n         0.021\n     -23.456   0.0\n";
const std::string kCad =
    "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -23.456\n"
    "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n";
const std::string kFound = " Hurray I found the principle components\n";

TEST(HonerFailures, FolderGivenForEitherFile) {
    {
        Folder f;
        f.mkdir("logs");
        expectFailure(f.run("honer", "logs\ncad.com\n"), "honer", {"\"logs\"", "directory"});
        EXPECT_EQ(f.contents(), (Contents{{"logs", kFolder}}));  // the cad input file comes second
    }
    {
        Folder f;
        f.write("phaser.log", kLog);
        f.mkdir("cad");
        expectFailure(f.run("honer", "phaser.log\ncad\n"), "honer", {"\"cad\""});
        EXPECT_EQ(f.contents(), (Contents{{"phaser.log", kLog}, {"cad", kFolder}}));
    }
}

TEST(HonerFailures, NamesThatCannotBeOpenedEvenByRoot) {
    const struct {
        std::string answers, named, why;
    } cases[] = {
        {"phaser.log/x\ncad.com\n", "\"phaser.log/x\"", "Not a directory"},
        {"phaser.log\nno/folder/cad.com\n", "\"no/folder/cad.com\"", "No such file"},
        {"\ncad.com\n", "empty name", ""},
        {"phaser.log\n\n", "empty name", ""},
        {"phaser.log\n   \n", "empty name", ""},  // only blanks: trailing ones are no part of a name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers);
        Folder f;
        f.write("phaser.log", kLog);
        expectFailure(f.run("honer", c.answers), "honer", {c.named, c.why});
        EXPECT_EQ(f.contents(), (Contents{{"phaser.log", kLog}}));
    }
}

TEST(HonerFailures, UnreadableLog) {
    Folder f;
    f.write("phaser.log", kLog);
    failures::expectUnreadableInput(f, "honer", "phaser.log\ncad.com\n", "phaser.log");
}

TEST(HonerFailures, CadInputNamedLikeTheLogLeavesTheLogAlone) {
    Folder f;
    f.write("phaser.log", kLog);
    expectFailure(f.run("honer", "phaser.log\nphaser.log\n"), "honer", {"\"phaser.log\"", "already exists"});
    EXPECT_EQ(f.result.out, " Please type phaser log file\n Type name of cad input file\n");
    EXPECT_EQ(f.contents(), (Contents{{"phaser.log", kLog}}));
}

TEST(HonerFailures, ValueFieldThatIsNoNumber) {
    for (const std::string value : {"    1.2.3", "     --5", "   12a", "     1E", "    1,5"}) {
        SCOPED_TRACE(value);
        const std::string log = "     eigenB\n\n\n     " + value + "\n";
        Folder f;
        f.write("phaser.log", log);
        expectFailure(f.run("honer", "phaser.log\ncad.com\n"), "honer", {"line 4 of phaser.log, columns 6-14"});
        EXPECT_EQ(f.result.out.substr(f.result.out.size() - kFound.size()), kFound);
        EXPECT_EQ(f.contents(), (Contents{{"phaser.log", log}, {"cad.com", ""}}));
    }
}

TEST(HonerFailures, LeadingAndEmbeddedBlanksArePartOfBothNames) {
    Folder f;
    f.write("  my phaser.log", kLog);
    ASSERT_EQ(f.run("honer", "  my phaser.log  \n cad  in.com \n").status, 0) << f.result.err;
    EXPECT_EQ(f.contents(), (Contents{{"  my phaser.log", kLog}, {" cad  in.com", kCad}}));
}

}  // namespace
