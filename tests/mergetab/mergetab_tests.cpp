// mergetab and mergetab-rsym run as a driver would run them: three names on
// standard input, two XSCALE.LP logs in a scratch folder, the statistics
// file read back.

#include "testsupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::lines;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kPrompts =
    " Please name starting XSCALE.LP file\n Please name final XSCALE.LP file\n Please name output statistics file\n";
const std::string kMarkerLine =
    " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION";
const std::string kHeader1 = " resolution   observed     redundancy    completenes        rmerge         i/sigma ";
const std::string kHeader2 = "            before/after  before/after   before/after    before/after   before/after";

struct Shell {
    std::string label = "  2.00", observed = "1000", unique = "250", possible = "260", completeness = "99.0",
                rmerge = "3.0", isigma = "20.00";
};

// A shell row laid out as XSCALE writes it: each value right-justified in
// its field, a percent sign after completeness and R-factor.
std::string shellRow(const Shell& s) {
    char text[160];
    std::snprintf(text, sizeof text, "   %6s%12s%8s%10s%11s%%%10s%%%21s%6s   0.5%%", s.label.c_str(),
                  s.observed.c_str(), s.unique.c_str(), s.possible.c_str(), s.completeness.c_str(),
                  s.rmerge.c_str(), "", s.isigma.c_str());
    return text;
}

// Marker, three lines, the 21 rows (the first given, the rest ordinary).
std::string table(const Shell& first = Shell(), const Shell& rest = Shell()) {
    std::string t = kMarkerLine + "\n RESOLUTION     NUMBER OF REFLECTIONS\n   LIMIT     OBSERVED\n\n";
    t += shellRow(first) + "\n";
    for (int j = 2; j <= 21; ++j) t += shellRow(rest) + "\n";
    return t;
}

struct MergetabRun {
    testsupport::ScratchDir dir;
    testsupport::RunResult result;
    bool statisticsExists() const { return fs::exists(dir / "stats.html"); }
    std::string statistics() const { return readFile(dir / "stats.html"); }
};

const std::string kAnswers = "start.lp\nfinal.lp\nstats.html\n";

void runMergetab(MergetabRun& run, const std::string& startLog, const std::string& finalLog,
                 const std::string& program = "mergetab", const std::string& input = kAnswers) {
    writeFile(run.dir / "start.lp", startLog);
    writeFile(run.dir / "final.lp", finalLog);
    run.result = testsupport::run(testsupport::program(program), input, run.dir.path());
}

// Row 4 of the statistics file: the first shell row.
std::string firstRow(MergetabRun& run) {
    const auto rows = lines(run.statistics());
    return rows.size() > 3 ? rows[3] : "";
}

TEST(Mergetab, WorkedRowAndTheWholeFile) {
    MergetabRun run;
    // 5423/795 (unique) gives 6.8; the possible count 2000 must not be the divisor.
    runMergetab(run, "log head\n" + table({"  8.22", "5423", "795", "2000", "99.0", "3.2", "47.43"}),
                table({"  8.22", "5400", "795", "2000", "98.5", "3.0", "50.12"}));
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.out, kPrompts + " all done\n");
    const std::string worked = "    8.22     5423  5400     6.8  6.8    99.0%   98.5%     3.2%   3.0%    47.4  50.1";
    const std::string ordinary = "    2.00     1000  1000     4.0  4.0    99.0%   99.0%     3.0%   3.0%    20.0  20.0";
    ASSERT_EQ(worked.size(), 83u);
    std::string expected = " <pre>\n" + kHeader1 + "\n" + kHeader2 + "\n" + worked + "\n";
    for (int j = 2; j <= 21; ++j) expected += ordinary + "\n";
    expected += " </pre>\n";
    EXPECT_EQ(run.statistics(), expected);
}

TEST(Mergetab, RsymVariantDiffersInTheHeaderOnly) {
    MergetabRun plain, rsym;
    const std::string start = table({"  8.22", "5423", "795", "2000", "99.0", "3.2", "47.43"});
    const std::string final = table({"  4.00", "-0.5", "0", "0", "1e9", "1078.0", "Inf"});
    runMergetab(plain, start, final);
    runMergetab(rsym, start, final, "mergetab-rsym");
    EXPECT_EQ(rsym.result.status, 0) << rsym.result.err;
    EXPECT_EQ(rsym.result.out, plain.result.out);
    auto plainLines = lines(plain.statistics()), rsymLines = lines(rsym.statistics());
    ASSERT_EQ(rsymLines.size(), 25u);
    EXPECT_EQ(rsymLines[1], " resolution   observed     redundancy    completenes         rsym          i/sigma ");
    plainLines.erase(plainLines.begin() + 1);
    rsymLines.erase(rsymLines.begin() + 1);
    EXPECT_EQ(rsymLines, plainLines);
}

TEST(Mergetab, ValuesFromWholeFieldsAndTooWideValues) {
    const struct {
        Shell start, final;
        std::string row;
    } cases[] = {
        // A seven-digit count starts in column 15; an R-factor of 1078.0 in column 56.
        {{"  1.90", "1234567", "1000", "1", "99.0", "1078.0", "1.0"},
         {"  1.90", "5423.7", "1000", "1", "99.0", "1078.0", "1.0"},
         "    1.90   ******  5423   *****  5.4    99.0%   99.0%  1078.0%1078.0%     1.0   1.0"},
        // Redundancy of 1000 and more, infinite and undefined; values too wide.
        {{"  1.90", "100000", "10", "1", "12345678", "123456.0", "1234567"},
         {"  1.90", "5", "0", "1", "-0.04", "-12345.0", "NaN"},
         "    1.90   100000     5   *****  Inf *******%   -0.0% *******%******% *******   NaN"},
        {{"  1.90", "0", "0", "1", "1", "1", "1"},
         {"  1.90", "-0.5", "1", "1", "1", "1", "1"},
         "    1.90        0     0     NaN -0.5     1.0%    1.0%     1.0%   1.0%     1.0   1.0"},
        // observed beyond 32 bits or not finite: asterisks, not undefined behaviour.
        {{"  1.90", "3e9", "1", "1", "1", "1", "1"},
         {"  1.90", "-Inf", "1", "1", "1", "1", "1"},
         "    1.90   ************   ***** -Inf     1.0%    1.0%     1.0%   1.0%     1.0   1.0"},
        {{"  1.90", "NaN", "1", "1", "1", "1", "1"},
         {"  1.90", "-3e9", "1,2", "1", "1", "1", "1.5,9"},
         "    1.90   ************     NaN*****     1.0%    1.0%     1.0%   1.0%     1.0   1.5"},
    };
    for (const auto& c : cases) {
        MergetabRun run;
        runMergetab(run, table(c.start), table(c.final));
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(firstRow(run), c.row);
    }
}

TEST(Mergetab, LabelsCopiedEscapedAndPairedByPosition) {
    const std::pair<std::string, std::string> labels[] = {
        {"      ", "        "}, {" total", "   total"}, {"a<b&c>", "  a&lt;b&amp;c&gt;"}};
    for (const auto& [label, shown] : labels) {
        MergetabRun run;
        runMergetab(run, table({label, "5423"}), table({"XXXXXX", "5400"}));
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(firstRow(run), shown + "     5423  5400    21.7 21.6    99.0%   99.0%     3.0%   3.0%    20.0  20.0");
    }
}

TEST(Mergetab, MarkerOnlyAtColumns46To51AndOnlyTheFirst) {
    const std::string decoys = std::string(44, ' ') + "= -3.0 one column left\n" + std::string(46, ' ') +
                               "= -3.0 one column right\n" + std::string(45, ' ') + "= -3.\n";
    const std::string second = table({"  9.99", "7777"});
    MergetabRun run;
    runMergetab(run, decoys + table({"  8.22", "5423"}) + second, second);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(firstRow(run).substr(0, 23), "    8.22     5423  7777");

    // Only decoys: no table at all.
    MergetabRun none;
    runMergetab(none, decoys, table());
    EXPECT_EQ(none.result.status, 1);
}

TEST(Mergetab, LogWithoutMarkerLeavesTheFileEmptyAndExitsOne) {
    // A starting log without a marker: the final log is not read, so a
    // broken table there changes nothing.
    const std::string broken = kMarkerLine + "\n\n\n\nnot a row\n";
    const struct {
        std::string start, final, named;
    } cases[] = {{"", broken, "start.lp"}, {"no marker here\n", broken, "start.lp"}, {table(), "", "final.lp"}};
    for (const auto& c : cases) {
        MergetabRun run;
        runMergetab(run, c.start, c.final);
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, kPrompts + " all done\n");
        EXPECT_NE(run.result.err.find("mergetab: no marker line"), std::string::npos) << run.result.err;
        EXPECT_NE(run.result.err.find(c.named), std::string::npos) << run.result.err;
        ASSERT_TRUE(run.statisticsExists());
        EXPECT_EQ(run.statistics(), "");
    }
}

TEST(Mergetab, NonNumericSliceNamesFileLineAndColumns) {
    const std::pair<std::string Shell::*, std::string> fields[] = {
        {&Shell::observed, "columns 10-21"},   {&Shell::unique, "columns 22-29"},
        {&Shell::possible, "columns 30-39"},   {&Shell::completeness, "columns 40-50"},
        {&Shell::rmerge, "columns 52-61"},     {&Shell::isigma, "columns 84-89"}};
    for (const auto& [field, columns] : fields) {
        for (const char* bad : {"1.2.3", ""}) {
            Shell shell;
            shell.*field = bad;
            MergetabRun run;
            runMergetab(run, table(), "head\n" + table(Shell(), shell));
            EXPECT_EQ(run.result.status, 2) << columns;
            // Marker on line 2, three skipped lines, the bad row is row 2.
            EXPECT_NE(run.result.err.find("line 7 of final.lp, " + columns), std::string::npos) << run.result.err;
            EXPECT_EQ(run.statistics(), "");
        }
    }
}

TEST(Mergetab, LogEndingInsideTheTable) {
    const std::string full = table();
    const auto all = lines(full);
    for (const size_t kept : {size_t(1), size_t(3), size_t(14)}) {
        std::string cut;
        for (size_t i = 0; i < kept; ++i) cut += all[i] + "\n";
        MergetabRun run;
        runMergetab(run, cut, full);
        EXPECT_EQ(run.result.status, 2);
        EXPECT_NE(run.result.err.find("end of file start.lp after line " + std::to_string(kept)), std::string::npos)
            << run.result.err;
        EXPECT_EQ(run.result.out, kPrompts);
        EXPECT_EQ(run.statistics(), "");
    }
}

TEST(Mergetab, FailedOpensAndEndedDialogue) {
    {   // A missing starting log stops before the final log is opened.
        MergetabRun run;
        run.result = testsupport::run(testsupport::program("mergetab"), "gone.lp\nalso-gone.lp\nstats.html\n",
                                      run.dir.path());
        EXPECT_EQ(run.result.status, 2);
        EXPECT_NE(run.result.err.find("\"gone.lp\""), std::string::npos) << run.result.err;
        EXPECT_EQ(run.result.err.find("also-gone.lp"), std::string::npos);
        EXPECT_FALSE(run.statisticsExists());
    }
    {
        MergetabRun run;
        runMergetab(run, table(), table(), "mergetab", "start.lp\nmissing.lp\nstats.html\n");
        EXPECT_EQ(run.result.status, 2);
        EXPECT_NE(run.result.err.find("missing.lp"), std::string::npos);
        EXPECT_FALSE(run.statisticsExists());
    }
    {
        MergetabRun run;
        writeFile(run.dir / "stats.html", "earlier table\n");
        runMergetab(run, table(), table());
        EXPECT_EQ(run.result.status, 2);
        EXPECT_NE(run.result.err.find("stats.html"), std::string::npos);
        EXPECT_EQ(run.statistics(), "earlier table\n");
    }
    const std::string partial[] = {"", "start.lp\n", "start.lp\nfinal.lp\n"};
    for (size_t answered = 0; answered < 3; ++answered) {
        MergetabRun run;
        runMergetab(run, table(), table(), "mergetab", partial[answered]);
        EXPECT_EQ(run.result.status, 2);
        EXPECT_EQ(lines(run.result.out).size(), answered + 1);
        EXPECT_NE(run.result.err.find("mergetab: end of standard input"), std::string::npos) << run.result.err;
        EXPECT_FALSE(run.statisticsExists());
    }
}

TEST(Mergetab, LongNamesAndCarriageReturns) {
    MergetabRun run;
    const std::string name(90, 'N');
    std::string crlf;
    for (const auto& line : lines(table({"  8.22", "5423"}))) crlf += line + "\r\n";
    writeFile(run.dir / name, crlf);
    runMergetab(run, "", table({"  8.22", "5400"}), "mergetab", name + "CUT\nfinal.lp\nstats.html  \n");
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(firstRow(run).substr(0, 23), "    8.22     5423  5400");
}

TEST(Mergetab, HelpAndVersionAnswerAndOtherArgumentsAreRefused) {
    for (const std::string program : {"mergetab", "mergetab-rsym"}) {
        testsupport::ScratchDir dir;
        const auto help = testsupport::run(testsupport::program(program), "", dir.path(), {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("Please name starting XSCALE.LP file"), std::string::npos);
        const auto version = testsupport::run(testsupport::program(program), "", dir.path(), {"--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out.rfind(program + " ", 0), 0u);
        const auto other = testsupport::run(testsupport::program(program), kAnswers, dir.path(), {"start.lp"});
        EXPECT_EQ(other.status, 2);
        EXPECT_EQ(other.out, "");
        EXPECT_TRUE(fs::is_empty(dir.path()));
    }
}

TEST(Mergetab, RealXscaleLogs) {
    const fs::path dir = testsupport::realDataDir() / "xscale";
    if (testsupport::realDataDir().empty() || !fs::exists(dir / "ccp4i2_baz2b_x828_XSCALE.LP") ||
        !fs::exists(dir / "xia2_playpen_x1335_XSCALE.LP") || !fs::exists(dir / "xia2_doc_2006_XSCALE.LP"))
        GTEST_SKIP() << "no real XSCALE.LP logs beside this clone";
    MergetabRun run;
    run.result = testsupport::run(testsupport::program("mergetab"),
                                  (dir / "ccp4i2_baz2b_x828_XSCALE.LP").string() + "\n" +
                                      (dir / "xia2_playpen_x1335_XSCALE.LP").string() + "\n" +
                                      (run.dir / "stats.html").string() + "\n",
                                  run.dir.path());
    ASSERT_EQ(run.result.status, 0) << run.result.err << "(names longer than 90 characters?)";
    const auto rows = lines(run.statistics());
    ASSERT_EQ(rows.size(), 25u);
    EXPECT_EQ(rows[3], "    8.50     1512 20306     3.8  5.4    98.8%   96.2%     2.7%  20.4%    42.4   7.4");
    // The total row: redundancy 125173/35514 and 982732/242578.
    EXPECT_EQ(rows[23], "   total   125173982732     3.5  4.1    99.6%   72.2%     4.8%  51.8%    14.1   2.2");

    // Only ten rows before a blank line: the blank 11th row is not a number.
    MergetabRun shortTable;
    shortTable.result = testsupport::run(testsupport::program("mergetab"),
                                         (dir / "xia2_doc_2006_XSCALE.LP").string() + "\n" +
                                             (dir / "ccp4i2_baz2b_x828_XSCALE.LP").string() + "\nstats.html\n",
                                         shortTable.dir.path());
    EXPECT_EQ(shortTable.result.status, 2);
    EXPECT_NE(shortTable.result.err.find("line 286 of"), std::string::npos) << shortTable.result.err;
}

}  // namespace
