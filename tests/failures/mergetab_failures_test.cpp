// mergetab on damaged logs: what it reports, its exit status, and exactly
// which files the folder holds afterwards. Missing, misnamed and unreadable
// files: names_test.cpp, over every program.
#include <gtest/gtest.h>

#include <cstdio>

#include "failure_support.hpp"

namespace {

using failures::Contents;
using failures::expectFailure;
using failures::Folder;

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

TEST(MergetabFailures, TheSameLogTwiceIsReadTwice) {
    Folder f;
    f.write("both.lp", log());
    ASSERT_EQ(f.run("mergetab", "both.lp\nboth.lp\nstats.html\n").status, 0) << f.result.err;
    EXPECT_EQ(testsupport::lines(f.read("stats.html")).size(), 25u);
}

}  // namespace
