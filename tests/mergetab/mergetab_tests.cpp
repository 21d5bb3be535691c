// mergetab and mergetab-rsym run as a driver would run them: three names on
// standard input, two XSCALE.LP logs in a scratch folder, the statistics
// file read back.

#include "testsupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
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

const std::string kTableHead = kMarkerLine + "\n RESOLUTION     NUMBER OF REFLECTIONS\n   LIMIT     OBSERVED\n\n";

// Marker, three lines, the 21 rows (the first given, the rest ordinary,
// none labelled total).
std::string table(const Shell& first = Shell(), const Shell& rest = Shell()) {
    std::string t = kTableHead + shellRow(first) + "\n";
    for (int j = 2; j <= 21; ++j) t += shellRow(rest) + "\n";
    return t;
}

// A table as XSCALE and CORRECT end it: `n` shells labelled by resolution
// from `top` down, the "total" row when asked for, then a blank line and
// text that is no shell row.
std::string endedTable(int n, bool total, double top, Shell shell) {
    std::string t = kTableHead;
    char label[32];
    for (int j = 0; j < n; ++j) {
        std::snprintf(label, sizeof label, "%6.2f", top - 0.25 * j);
        shell.label = label;
        t += shellRow(shell) + "\n";
    }
    shell.label = " total";
    if (total) t += shellRow(shell) + "\n";
    return t + "\n NUMBER OF REFLECTIONS IN SELECTED SUBSET OF IMAGES   37911\n";
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
    const std::string final = table({"  8.22", "-0.5", "0", "0", "1e9", "1078.0", "Inf"});
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
        // A seven-digit count starts in column 15 (and widens the count
        // columns); an R-factor of 1078.0 starts in column 56.
        {{"  1.90", "1234567", "1000", "1", "99.0", "1078.0", "1.0"},
         {"  1.90", "5423.7", "1000", "1", "99.0", "1078.0", "1.0"},
         "    1.90    1234567    5423   *****  5.4    99.0%   99.0%  1078.0%1078.0%     1.0   1.0"},
        // Redundancy of 1000 and more, and none where a shell has no unique
        // reflection (blank); values too wide.
        {{"  1.90", "100000", "10", "1", "12345678", "123456.0", "1234567"},
         {"  1.90", "5", "0", "1", "-0.04", "-12345.0", "NaN"},
         "    1.90    100000      5   *****      *******%   -0.0% *******%******% *******   NaN"},
        {{"  1.90", "0", "0", "1", "1", "1", "1"},
         {"  1.90", "-0.5", "1", "1", "1", "1", "1"},
         "    1.90        0     0         -0.5     1.0%    1.0%     1.0%   1.0%     1.0   1.0"},
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

// A line of the tables that endedTable() writes, with the starting half,
// the final half or both; a missing half is blanks, its percent signs too.
std::string pairedLine(const std::string& label, bool before, bool after) {
    const auto b = [&](const std::string& field) { return before ? field : std::string(field.size(), ' '); };
    const auto a = [&](const std::string& field) { return after ? field : std::string(field.size(), ' '); };
    return "  " + label + "   " + b("  1000") + a("  1100") + "   " + b("  4.0") + a("  4.4") + " " + b("   99.0%") +
           a("   98.0%") + " " + b("    3.0%") + a("   3.5%") + " " + b("   20.0") + a("  21.0");
}

std::string labelAt(double top, int j) {
    char label[32];
    std::snprintf(label, sizeof label, "%6.2f", top - 0.25 * j);
    return label;
}

TEST(Mergetab, TablesOfAnyLengthPairShellsAndTotals) {
    const Shell startShell, finalShell{"", "1100", "250", "260", "98.0", "3.5", "21.00"};
    const struct {
        int startShells;
        bool startTotal;
        int finalShells;
        bool finalTotal;
    } cases[] = {
        {9, true, 9, true},    // CORRECT against CORRECT
        {20, true, 9, true},   // XSCALE's default against RESOLUTION_SHELLS of 9
        {9, true, 20, true},   // the final table's own labels on its lone lines
        {21, false, 9, true},  // no total row within 21 rows: 21 shells
        {0, true, 3, true},    // a table of its total row alone
        {3, true, 21, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.startShells) + (c.startTotal ? "+total" : "") + " against " +
                     std::to_string(c.finalShells) + (c.finalTotal ? "+total" : ""));
        MergetabRun run;
        runMergetab(run, "log head\n" + endedTable(c.startShells, c.startTotal, 9.0, startShell),
                    endedTable(c.finalShells, c.finalTotal, 9.0, finalShell));
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        // Shells that one log lists and the other does not: said once.
        const bool differ = c.startShells != c.finalShells;
        EXPECT_EQ(run.result.err.find("RESOLUTION_SHELLS=") != std::string::npos, differ) << run.result.err;
        std::vector<std::string> expected = {" <pre>", kHeader1, kHeader2};
        for (int j = 0; j < std::max(c.startShells, c.finalShells); ++j) {
            const bool before = j < c.startShells, after = j < c.finalShells;
            expected.push_back(pairedLine(labelAt(9.0, j), before, after));
        }
        if (c.startTotal || c.finalTotal) expected.push_back(pairedLine(" total", c.startTotal, c.finalTotal));
        expected.push_back(" </pre>");
        EXPECT_EQ(lines(run.statistics()), expected);
    }
    // The label with its blanks removed must be "total", nothing else.
    for (const auto& [label, ends] : {std::pair<std::string, bool>{"total ", true}, {"to tal", true},
                                      {"TOTAL ", false}, {"totals", false}, {"  tota", false}}) {
        Shell first;
        first.label = label;
        MergetabRun run;
        runMergetab(run, table(first), table());
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        // The total row closes the table; any other label is a shell.
        const auto rows = lines(run.statistics());
        ASSERT_GE(rows.size(), 5u);
        EXPECT_EQ(rows[rows.size() - 2].substr(2, 6) == label, ends) << label;
    }
    EXPECT_EQ(pairedLine("  6.75", true, false),
              "    6.75     1000           4.0         99.0%             3.0%           20.0      ");
}

// Counts of six digits ran together and seven turned to asterisks: a count
// of more than five characters widens both count columns of the table.
TEST(Mergetab, WideCountsWidenBothCountColumns) {
    const struct {
        std::string startObserved, finalObserved;
        std::string header1, header2, row;
    } cases[] = {
        {"99999", "-9999", kHeader1, kHeader2,
         "    2.00    99999 -9999   400.0-40.0    99.0%   99.0%     3.0%   3.0%    20.0  20.0"},
        {"125173", "982732",
         " resolution    observed      redundancy    completenes        rmerge         i/sigma ",
         "             before/after   before/after   before/after    before/after   before/after",
         "    2.00    125173 982732   500.7*****    99.0%   99.0%     3.0%   3.0%    20.0  20.0"},
        {"1234567", "-123456",
         " resolution     observed       redundancy    completenes        rmerge         i/sigma ",
         "              before/after    before/after   before/after    before/after   before/after",
         "    2.00    1234567 -123456   **********    99.0%   99.0%     3.0%   3.0%    20.0  20.0"},
        // A count no 32-bit integer holds is asterisks of the widened width.
        {"3e9", "125173", " resolution    observed      redundancy    completenes        rmerge         i/sigma ",
         "             before/after   before/after   before/after    before/after   before/after",
         "    2.00   ******* 125173   *****500.7    99.0%   99.0%     3.0%   3.0%    20.0  20.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.startObserved + " " + c.finalObserved);
        Shell start, final;
        start.observed = c.startObserved;
        final.observed = c.finalObserved;
        MergetabRun run;
        runMergetab(run, table(start), table(final));
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        const auto rows = lines(run.statistics());
        ASSERT_EQ(rows.size(), 25u);
        EXPECT_EQ(rows[1], c.header1);
        EXPECT_EQ(rows[2], c.header2);
        EXPECT_EQ(rows[3], c.row);
        // Every line of the table takes the same width.
        EXPECT_EQ(rows[4].size(), c.row.size());
    }
}

// Rows pair when their labels, blanks removed, are equal as numbers, or,
// when neither is a number, equal as text; the starting log's label is
// shown. A label that is no number pairs with no number and comes first,
// alone.
TEST(Mergetab, LabelsCopiedEscapedAndPairedByTheirLimits) {
    const struct {
        std::string label, shown;
        bool paired;
        std::string finalLabel = "  8.22";
    } labels[] = {{"      ", "        ", false},  {"  8.22", "    8.22", true},    {"8.2200", "  8.2200", true},
                  {" 8. 22", "   8. 22", true},   {"822e-2", "  822e-2", true},    {"  8.23", "    8.23", false},
                  {"a<b&c>", "  a&lt;b&amp;c&gt;", false}, {"  8.2x", "    8.2x", false},
                  {"      ", "        ", true, "      "}, {" <2&> ", "   &lt;2&amp;&gt; ", true, "<2&>  "},
                  {" <2&> ", "   &lt;2&amp;&gt; ", false, " <3&> "}};
    for (const auto& l : labels) {
        MergetabRun run;
        runMergetab(run, table({l.label, "5423"}), table({l.finalLabel, "5400"}));
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(run.result.err.empty(), l.paired) << l.label;
        EXPECT_EQ(firstRow(run), l.shown + (l.paired ? "     5423  5400    21.7 21.6    99.0%   99.0%     3.0%   3.0%    20.0  20.0"
                                                     : "     5423          21.7         99.0%             3.0%           20.0      "))
            << l.label;
    }
}

// XDS writes -99.9 (or -99.0) where a value is undefined: blanks of the
// field's width, the percent sign too. Other values near it are numbers.
TEST(Mergetab, UndefinedValuesLeftBlank) {
    const struct {
        Shell start;
        std::string row;
    } cases[] = {
        {{"  8.22", "5423", "795", "2000", "-99.9", "-99.9", "-99.9"},
         "    8.22     5423  5400     6.8  6.8            99.0%            3.0%          20.0"},
        {{"  8.22", "5423", "795", "2000", "-99.0", "-99.0", "-99.0"},
         "    8.22     5423  5400     6.8  6.8            99.0%            3.0%          20.0"},
        {{"  8.22", "5423", "795", "2000", "-99.8", "-99.95", "-99"},  // -99.95 is -99.9499... in single precision
         "    8.22     5423  5400     6.8  6.8   -99.8%   99.0%   -99.9%   3.0%          20.0"},
    };
    for (const auto& c : cases) {
        MergetabRun run, swapped;
        Shell final{"  8.22", "5400", "795", "2000", "99.0", "3.0", "20.0"};
        runMergetab(run, table(c.start), table(final));
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(firstRow(run), c.row);
    }
    Shell undefined{"  2.00", "5400", "795", "2000", "-99.9", "-99.9", "-99.9"};
    MergetabRun run;
    runMergetab(run, table(), table(undefined));
    EXPECT_EQ(firstRow(run), "    2.00     1000  5400     4.0  6.8    99.0%             3.0%           20.0      ");
}

// A CORRECT log has one table for each growing range of images; the one of
// the whole data set follows STATISTICS OF SAVED DATA SET. An XSCALE log
// keeps its first table.
TEST(Mergetab, CorrectLogGivesTheWholeDataTable) {
    const std::string firstImages = table({"  8.22", "1111"});
    const std::string wholeData = table({"  8.22", "9999"});
    const std::string saved = "  STATISTICS OF SAVED DATA SET \"XDS_ASCII.HKL\" (DATA_RANGE=       1    1800)\n";
    const struct {
        std::string log;
        int status;
        std::string observed;
    } cases[] = {
        {"\n ***** CORRECT ***** (VERSION January 10, 2014)\n" + firstImages + saved + wholeData, 0, "9999"},
        {" ***** CORRECT *****\n" + firstImages + saved + "\n" + wholeData + firstImages, 0, "9999"},
        {"\n ***** XSCALE ***** (VERSION January 10, 2014)\n" + firstImages + saved + wholeData, 0, "1111"},
        {"\n head\n ***** CORRECT *****\n" + firstImages + saved + wholeData, 0, "1111"},  // not its banner
        {" ***** CORRECT *****\n" + firstImages, 1, ""},                  // no whole-data table
        {" ***** CORRECT *****\n" + firstImages + saved, 1, ""},
        {" ***** CORRECT *****\n" + saved + firstImages, 0, "1111"},
    };
    for (const auto& c : cases) {
        MergetabRun run;
        runMergetab(run, c.log, table({"  8.22", "5400"}));
        EXPECT_EQ(run.result.status, c.status) << c.log.substr(0, 60);
        if (c.status == 0) EXPECT_EQ(firstRow(run).substr(9, 8), "    " + c.observed) << c.log.substr(0, 60);
        else EXPECT_EQ(run.statistics(), "");
    }
}

TEST(Mergetab, MarkerOnlyAtColumns46To51AndOnlyTheFirst) {
    const std::string decoys = std::string(44, ' ') + "= -3.0 one column left\n" + std::string(46, ' ') +
                               "= -3.0 one column right\n" + std::string(45, ' ') + "= -3.\n";
    const std::string second = table({"  8.22", "7777"});
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

// An existing statistics file: tests/failures/names_test.cpp, over every program.
TEST(Mergetab, FailedOpensAndEndedDialogue) {
    const struct {
        std::string answers, named;
        size_t prompts;
    } cases[] = {
        // A missing starting log stops before the final log is opened.
        {"gone.lp\nalso-gone.lp\nstats.html\n", "\"gone.lp\"", 3},
        {"start.lp\nmissing.lp\nstats.html\n", "missing.lp", 3},
        {"", "mergetab: end of standard input", 1},
        {"start.lp\n", "mergetab: end of standard input", 2},
        {"start.lp\nfinal.lp\n", "mergetab: end of standard input", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers);
        MergetabRun run;
        runMergetab(run, table(), table(), "mergetab", c.answers);
        EXPECT_EQ(run.result.status, 2);
        EXPECT_EQ(lines(run.result.out).size(), c.prompts);
        EXPECT_NE(run.result.err.find(c.named), std::string::npos) << run.result.err;
        EXPECT_EQ(run.result.err.find("also-gone.lp"), std::string::npos);
        EXPECT_FALSE(run.statisticsExists());
    }
}

TEST(Mergetab, LongNamesAndCarriageReturns) {
    MergetabRun run;
    const std::string name(90, 'N');
    std::string crlf;
    for (const auto& line : lines(table({"  8.22", "5423"}))) crlf += line + "\r\n";
    writeFile(run.dir / (name + "WHOLE"), crlf);
    runMergetab(run, "", table({"  8.22", "5400"}), "mergetab", name + "WHOLE\nfinal.lp\nstats.html  \n");
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(firstRow(run).substr(0, 23), "    8.22     5423  5400");
}

// The observed count of the first table's total row, read as a user would
// read the log: after the first "= -3.0" line, the row labelled total.
// The compared table of a real log, read here on its own: the shell limits
// and the total row's count. In a CORRECT log, the table after STATISTICS
// OF SAVED DATA SET (the whole data set); in an XSCALE log, the first.
struct RealTable {
    std::vector<double> limits;
    std::string total;
};
RealTable realTable(const fs::path& log) {
    RealTable t;
    const auto all = lines(readFile(log));
    const bool correct = all.size() > 1 && all[1].find("***** CORRECT *****") != std::string::npos;
    bool saved = !correct, inTable = false;
    for (const auto& line : all) {
        if (!saved) {
            saved = line.find("STATISTICS OF SAVED DATA SET") != std::string::npos;
        } else if (!inTable) {
            inTable = line.size() >= 51 && line.compare(45, 6, "= -3.0") == 0;
        } else if (line.size() >= 21 && line.compare(3, 6, " total") == 0) {
            const auto digits = line.find_first_not_of(' ', 9);
            t.total = line.substr(digits, 21 - digits);
            return t;
        } else if (line.size() >= 21 && std::isdigit(static_cast<unsigned char>(line[8]))) {
            t.limits.push_back(std::stod(line.substr(3, 6)));
        }
    }
    return t;
}

TEST(Mergetab, EveryPairOfRealLogs) {
    const fs::path dir = testsupport::realDataDir() / "xscale";
    if (testsupport::realDataDir().empty() || !fs::is_directory(dir))
        GTEST_SKIP() << "no real XSCALE.LP and CORRECT.LP logs in ../shared/realdata/xscale beside this clone";
    std::vector<std::string> logs;
    for (const auto& entry : fs::directory_iterator(dir)) logs.push_back(entry.path().filename().string());
    std::sort(logs.begin(), logs.end());
    ASSERT_GE(logs.size(), 10u);
    for (const auto& start : logs) {
        for (const auto& final : logs) {
            SCOPED_TRACE(start + " against " + final);
            MergetabRun run;
            // Linked into the scratch folder: short names wherever the clone lies.
            fs::create_symlink(dir / start, run.dir / "start.lp");
            if (final != start) fs::create_symlink(dir / final, run.dir / "final.lp");
            run.result = testsupport::run(testsupport::program("mergetab"),
                                          "start.lp\n" + std::string(final == start ? "start.lp" : "final.lp") +
                                              "\nstats.html\n",
                                          run.dir.path());
            ASSERT_EQ(run.result.status, 0) << run.result.err;
            const auto rows = lines(run.statistics());
            ASSERT_GE(rows.size(), 14u);  // nine shells and the total at least
            const RealTable a = realTable(dir / start), b = realTable(dir / final);
            std::istringstream total(rows[rows.size() - 2]);
            std::string label, before, after;
            total >> label >> before >> after;
            EXPECT_EQ(label, "total");
            EXPECT_EQ(before, a.total);
            EXPECT_EQ(after, b.total);
            // Each line one shell: both halves of the same limit, or one blank.
            const size_t width = 6 + (rows[1].size() - 83) / 2;  // of each count column
            size_t paired = 0;
            for (size_t r = 3; r + 2 < rows.size(); ++r) {
                const double limit = std::stod(rows[r].substr(2, 6));
                const bool hasBefore = rows[r][10 + width] != ' ';
                const bool hasAfter = rows[r][10 + 2 * width] != ' ';
                const bool inA = std::count(a.limits.begin(), a.limits.end(), limit) > 0;
                const bool inB = std::count(b.limits.begin(), b.limits.end(), limit) > 0;
                EXPECT_TRUE(hasBefore ? inA : inB) << rows[r];
                if (hasBefore && hasAfter) {
                    EXPECT_TRUE(inA && inB) << rows[r];
                    ++paired;
                }
            }
            EXPECT_EQ(rows.size() - 5, a.limits.size() + b.limits.size() - paired);
            EXPECT_EQ(run.result.err.empty(), a.limits == b.limits) << run.result.err;
        }
    }

    // The whole data set of baz2b x839: images 1 to 1800, not the first 201.
    EXPECT_EQ(realTable(dir / "ccp4i2_baz2b_x839_CORRECT.LP").total, "336211");

    // Two pairs pinned byte for byte: counts of seven digits, and 20 shells
    // against 9, no two alike.
    const struct {
        std::string start, final;
        size_t rows;
        std::vector<std::pair<size_t, std::string>> pinned;
    } pinned[] = {
        {"ccp4i2_baz2b_x828_XSCALE.LP", "xia2_playpen_x1335_XSCALE.LP", 44,
         {{1, " resolution    observed      redundancy    completenes        rmerge         i/sigma "},
          {3, "    9.93            20306          5.4            96.2%           20.4%           7.4"},
          {4, "    8.50      1512            3.8         98.8%             2.7%           42.4      "},
          {27, "    2.56      7160  31983     3.7  2.0    99.9%   74.5%     7.8% 144.6%    14.2   0.6"},
          {42, "   total    125173 982732     3.5  4.1    99.6%   72.2%     4.8%  51.8%    14.1   2.2"}}},
        {"ccp4i2_baz2b_x828_XSCALE.LP", "xia2_doc_2006_XSCALE.LP", 34,
         {{3, "    8.50      1512            3.8         98.8%             2.7%           42.4      "},
          {5, "    4.95             4533          2.5            97.5%            3.1%          23.6"},
          {32, "   total    125173 110259     3.5  2.4    99.6%   95.9%     4.8%   5.1%    14.1  11.0"}}},
    };
    for (const auto& p : pinned) {
        SCOPED_TRACE(p.start + " against " + p.final);
        MergetabRun run;
        fs::create_symlink(dir / p.start, run.dir / "start.lp");
        fs::create_symlink(dir / p.final, run.dir / "final.lp");
        run.result = testsupport::run(testsupport::program("mergetab"), kAnswers, run.dir.path());
        const auto rows = lines(run.statistics());
        ASSERT_EQ(rows.size(), p.rows);
        for (const auto& [at, row] : p.pinned) EXPECT_EQ(rows[at], row);
    }
}

}  // namespace
