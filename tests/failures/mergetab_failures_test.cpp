// mergetab on damaged, missing and misnamed inputs: what it reports, its
// exit status, and exactly which files the folder holds afterwards.
#include <gtest/gtest.h>

#include <cstdio>

#include "failure_support.hpp"

namespace {

namespace fs = std::filesystem;

using failures::Contents;
using failures::expectFailure;
using failures::Folder;
using failures::kFolder;

const std::string kMarker = " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION";

std::string row(int j) {
    char text[128];
    std::snprintf(text, sizeof text, "   %6.2f%12d%8d%10d%11.1f%%%10.1f%%%21s%6.2f", 10.0 - 0.4 * j, 1000 + j, 250, 260,
                  99.0, 3.0, "", 20.0);
    return text;
}

// A log: a line of its own, the marker, three lines, the 21 shell rows and a
// closing line.
std::string log() {
    std::string text = "XSCALE log\n" + kMarker + "\n RESOLUTION\n   LIMIT\n\n";
    for (int j = 1; j <= 21; ++j) text += row(j) + "\n";
    return text + " total\n";
}

// The first n lines of the log.
std::string firstLines(const std::string& text, size_t n) {
    size_t cut = 0;
    for (size_t i = 0; i < n; ++i) cut = text.find('\n', cut) + 1;
    return text.substr(0, cut);
}

const std::string kAnswers = "start.lp\nfinal.lp\nstats.html\n";

TEST(MergetabFailures, EitherLogEndingAtEachLineOfItsTable) {
    // Line 2 is the marker; 3 to 5 are skipped; 6 to 26 are the rows.
    for (const bool finalLog : {false, true}) {
        for (size_t n = 2; n <= 25; ++n) {
            SCOPED_TRACE((finalLog ? "final log, lines: " : "starting log, lines: ") + std::to_string(n));
            const std::string cut = firstLines(log(), n);
            const Contents before = {{"start.lp", finalLog ? log() : cut}, {"final.lp", finalLog ? cut : log()}};
            Folder f;
            for (const auto& [name, content] : before) f.write(name, content);
            const std::string name = finalLog ? "final.lp" : "start.lp";
            expectFailure(f.run("mergetab", kAnswers), "mergetab",
                          {"end of file " + name + " after line " + std::to_string(n),
                           n < 5 ? "lines after the \"= -3.0\" marker" : "shell row " + std::to_string(n - 4)});
            Contents after = before;
            after["stats.html"] = "";  // created before the logs are read, and left empty
            EXPECT_EQ(f.contents(), after);
            EXPECT_EQ(f.result.out.find("all done"), std::string::npos);
        }
    }
}

TEST(MergetabFailures, FolderGivenForEachFile) {
    const struct {
        std::string answers, named;
        Contents after;
    } cases[] = {
        {"logs\nfinal.lp\nstats.html\n", "\"logs\"", {{"logs", kFolder}, {"final.lp", log()}}},
        {"start.lp\nlogs\nstats.html\n", "\"logs\"", {{"logs", kFolder}, {"final.lp", log()}, {"start.lp", log()}}},
        {"start.lp\nfinal.lp\nlogs\n", "\"logs\"", {{"logs", kFolder}, {"final.lp", log()}, {"start.lp", log()}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers);
        Folder f;
        f.mkdir("logs");
        f.write("final.lp", log());
        if (c.after.count("start.lp")) f.write("start.lp", log());
        expectFailure(f.run("mergetab", c.answers), "mergetab", {c.named});
        EXPECT_EQ(f.contents(), c.after);
    }
}

TEST(MergetabFailures, NamesThatCannotBeOpenedEvenByRoot) {
    const struct {
        std::string answers, named, why;
    } cases[] = {
        {"start.lp/x\nfinal.lp\nstats.html\n", "\"start.lp/x\"", "Not a directory"},
        {"start.lp\n\nstats.html\n", "empty name", ""},
        {"start.lp\nfinal.lp\nno/folder/stats.html\n", "\"no/folder/stats.html\"", "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers);
        Folder f;
        f.write("start.lp", log());
        f.write("final.lp", log());
        expectFailure(f.run("mergetab", c.answers), "mergetab", {c.named, c.why});
        EXPECT_EQ(f.contents(), (Contents{{"start.lp", log()}, {"final.lp", log()}}));
    }
}

TEST(MergetabFailures, UnreadableLog) {
    Folder f;
    f.write("start.lp", log());
    f.write("final.lp", log());
    failures::expectUnreadableInput(f, "mergetab", kAnswers, "final.lp");
}

TEST(MergetabFailures, StatisticsNamedLikeALogLeavesTheLogAlone) {
    Folder f;
    f.write("start.lp", log());
    f.write("final.lp", "other\n");
    expectFailure(f.run("mergetab", "start.lp\nfinal.lp\nfinal.lp\n"), "mergetab", {"\"final.lp\"", "already exists"});
    EXPECT_EQ(f.contents(), (Contents{{"start.lp", log()}, {"final.lp", "other\n"}}));
}

TEST(MergetabFailures, TheSameLogTwiceIsReadTwice) {
    Folder f;
    f.write("both.lp", log());
    ASSERT_EQ(f.run("mergetab", "both.lp\nboth.lp\nstats.html\n").status, 0) << f.result.err;
    EXPECT_EQ(testsupport::lines(f.read("stats.html")).size(), 25u);
}

TEST(MergetabFailures, LeadingAndEmbeddedBlanksArePartOfEveryName) {
    Folder f;
    f.write("  start log.lp", log());
    f.write(" final  log.lp", log());
    ASSERT_EQ(f.run("mergetab", "  start log.lp   \n final  log.lp\n stats  table.html  \n").status, 0) << f.result.err;
    const Contents after = f.contents();
    EXPECT_EQ(after.size(), 3u);
    ASSERT_EQ(after.count(" stats  table.html"), 1u);
    EXPECT_EQ(testsupport::lines(after.at(" stats  table.html")).size(), 25u);
}

}  // namespace
