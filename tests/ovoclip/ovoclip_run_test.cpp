// ovoclip run as a driver runs it: answers on standard input, a fresh
// folder, every file it writes compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstring>

#include "testsupport.hpp"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::run;
using testsupport::ScratchDir;
using testsupport::writeFile;

namespace {

const std::string kOrthogonalScript =
    "XDS_ASCII.HKL\n"
    "trunc.hkl\n"
    "   50.00   60.00   70.00   90.00   90.00   90.00\n"
    "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n"
    "      2.5000      2.0000      1.8000\n";

const std::string kHeader =
    "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n"
    "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n"
    "!END_OF_HEADER\n";

std::string pad(std::string s, size_t n) {
    if (s.size() < n) s.resize(n, ' ');
    return s;
}

struct Ovoclip {
    ScratchDir dir;
    testsupport::RunResult result;

    void run(const std::string& answers = "ovo.inp\npv.inp\n") {
        result = testsupport::run(testsupport::program("ovoclip"), answers, dir.path());
    }
    std::string file(const std::string& name) const { return readFile(dir / name); }
    bool exists(const std::string& name) const { return fs::exists(dir / name); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST(OvoclipRun, CutsTheWorkedExampleAndWritesEveryFile) {
    Ovoclip o;
    writeFile(o.dir / "ovo.inp", kOrthogonalScript);
    writeFile(o.dir / "XDS_ASCII.HKL",
              kHeader +
                  "    19     0     0  1.000E+02  1.000E+01\n"
                  "    21     0     0  1.000E+02  1.000E+01\n"   // E = 1.1025: rejected
                  "  +000    30    -0  3.000E+01  3.000E+01   12.5   7.0\n"  // E = 1: kept
                  "     0    31     0         30         20\n"   // rejected
                  "     0     0    38      1,2,3   4.5e+00 extra columns carried well beyond seventy-six\r\n"
                  "     0     0   -39       -0.5        0.5\n"    // rejected
                  "!END_OF_DATA\n"
                  "   not read   \n");
    o.run();
    ASSERT_EQ(o.result.status, 0) << o.result.err;
    EXPECT_EQ(o.result.err, "");
    EXPECT_EQ(o.file("trunc.hkl"),
              pad("!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE", 80) + "\n" +
                  pad("!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000", 80) + "\n" +
                  "!END_OF_HEADER\n" +
                  pad("    19     0     0  1.000E+02  1.000E+01", 76) + "\n" +
                  pad("     0    30     0  3.000E+01  3.000E+01   12.5   7.0", 76) + "\n" +
                  "     0     0    38      1,2,3   4.5e+00 extra columns carried well beyond seventy-six\n"
                  "!END_OF_DATA\n");
    EXPECT_EQ(o.file("XDS_ASCII._reslimit.dat"), "INCLUDE_RESOLUTION_RANGE=500    1.800\n");
    // (100 + 30 - 0.5) / (10 + 20 + 0.5)
    EXPECT_EQ(o.file("pv.inp"), "        6\n        3\n        4.25\n        3.00\n");
    EXPECT_EQ(o.result.out,
              " Please type in name of input script\n"
              " Low, medium and high res limits 2.5 2 1.8\n"
              " a=  50  b=  60  c=  70\n"
              " alpha=  90  beta=  90  gamma=  90\n"
              " astar=  0.02  bstar=  0.016666668  cstar= 0.014285714\n"
              " cosalpha*= 4.3711392e-08\n"
              " reading the fin file now ardo\n"
              " done writing the header\n"
              " 6  reflections were input\n"
              " Please type in name of planeview script\n"
              " 3  were rejected for being outside the ellipsoid\n"
              " These had an average F/sigma =  4.2459016\n"
              " 3 reflections remain after ellipsoidal truncation\n");
    EXPECT_EQ(o.files(), (std::vector<std::string>{"XDS_ASCII.HKL", "XDS_ASCII._reslimit.dat", "ovo.inp",
                                                   "pv.inp", "trunc.hkl"}));
}

TEST(OvoclipRun, ReadsItsOwnOutputBackAsAnXdsFile) {
    Ovoclip o;
    writeFile(o.dir / "ovo.inp", kOrthogonalScript);
    std::string data = kHeader;
    for (int h = -25; h <= 25; h += 5) {
        for (int l = -40; l <= 40; l += 8) {
            char line[80];
            std::snprintf(line, sizeof line, "%6d%6d%6d%11.3E%11.3E%8.1f\n", h, 3, l, 100.0 + h, 10.0, 1.5);
            data += line;
        }
    }
    writeFile(o.dir / "XDS_ASCII.HKL", data + "!END_OF_DATA\n");
    o.run();
    ASSERT_EQ(o.result.status, 0) << o.result.err;

    // Cutting the cut file again with the same ellipsoid keeps everything.
    writeFile(o.dir / "again.inp", "trunc.hkl\ntrunc2.hkl\n" + kOrthogonalScript.substr(kOrthogonalScript.find('\n', 14) + 1));
    o.run("again.inp\npv2.inp\n");
    ASSERT_EQ(o.result.status, 0) << o.result.err;
    const std::string first = o.file("pv.inp");
    const std::string second = o.file("pv2.inp");
    const int kept = std::stoi(testsupport::lines(first)[3].substr(0, 9));
    EXPECT_GT(kept, 10);
    EXPECT_EQ(std::stoi(testsupport::lines(second)[0]), kept);
    EXPECT_EQ(testsupport::lines(second)[1], "        0");
    EXPECT_EQ(o.file("trunc2.hkl"), o.file("trunc.hkl"));
}

TEST(OvoclipRun, HeaderWithoutItsEndProducesNothingAndSaysSo) {
    Ovoclip o;
    writeFile(o.dir / "ovo.inp", kOrthogonalScript);
    writeFile(o.dir / "XDS_ASCII.HKL", "!FORMAT=XDS_ASCII\n !END_OF_HEADER\n!end_of_header\n     1     2     3 1 1\n");
    o.run();
    EXPECT_EQ(o.result.status, 1);
    EXPECT_NE(o.result.err.find("XDS_ASCII.HKL"), std::string::npos) << o.result.err;
    EXPECT_NE(o.result.err.find("no end-of-header line"), std::string::npos) << o.result.err;
    EXPECT_EQ(o.result.out.find("done writing the header"), std::string::npos);
    EXPECT_EQ(o.file("trunc.hkl"), pad("!FORMAT=XDS_ASCII", 80) + "\n" + pad(" !END_OF_HEADER", 80) + "\n" +
                                       pad("!end_of_header", 80) + "\n" + pad("     1     2     3 1 1", 80) + "\n");
    EXPECT_FALSE(o.exists("pv.inp"));
}

TEST(OvoclipRun, DamagedRecordEndsTheDataWithAWarning) {
    Ovoclip o;
    writeFile(o.dir / "ovo.inp", kOrthogonalScript);
    writeFile(o.dir / "XDS_ASCII.HKL", kHeader +
                                           "     1     0     0        1.0        1.0\n"
                                           "     1     x     0        1.0        1.0\n"
                                           "     2     0     0        1.0        1.0\n"
                                           "!END_OF_DATA\n");
    o.run();
    ASSERT_EQ(o.result.status, 0) << o.result.err;
    EXPECT_NE(o.result.err.find("warning: line 5 of XDS_ASCII.HKL"), std::string::npos) << o.result.err;
    EXPECT_EQ(o.file("pv.inp").substr(0, 10), "        1\n");
    EXPECT_EQ(o.file("trunc.hkl").substr(o.file("trunc.hkl").size() - 13), "!END_OF_DATA\n");
}

// The failures not in tests/failures/ovoclip_failures_test.cpp (which
// also has every field of the script, each end of the data and each bad
// value) nor in tests/failures/names_test.cpp (missing and misnamed files).
TEST(OvoclipRun, FailuresReportTheFileAndKeepWhatWasWritten) {
    struct Case {
        const char* what;
        std::string script;      // empty: no script file
        std::string data;        // empty: no XDS file
        std::vector<std::string> existing;
        std::string answers;
        std::string errorPattern;
        std::vector<std::string> filesAfter;
    };
    const std::string goodData = kHeader + "     1     0     0        1.0        1.0\n!END_OF_DATA\n";
    const std::vector<Case> cases = {
        {"no answer", kOrthogonalScript, goodData, {}, "", "end of standard input", {"XDS_ASCII.HKL", "ovo.inp"}},
        {"short script", kOrthogonalScript.substr(0, kOrthogonalScript.rfind("      2.5")), goodData, {},
         "ovo.inp\npv.inp\n", "end of file ovo.inp after line 4", {"XDS_ASCII.HKL", "ovo.inp"}},
        {"reslimit exists", kOrthogonalScript, goodData, {"XDS_ASCII._reslimit.dat"}, "ovo.inp\npv.inp\n",
         "cannot create \"XDS_ASCII._reslimit.dat\": the file already exists",
         {"XDS_ASCII.HKL", "XDS_ASCII._reslimit.dat", "ovo.inp"}},
        {"blank value", kOrthogonalScript, kHeader + "     1     0     0\n", {}, "ovo.inp\npv.inp\n",
         "line 4 of XDS_ASCII.HKL, columns 19-29: no number",
         {"XDS_ASCII.HKL", "XDS_ASCII._reslimit.dat", "ovo.inp", "trunc.hkl"}},
        {"no planeview name", kOrthogonalScript, goodData, {}, "ovo.inp\n", "end of standard input",
         {"XDS_ASCII.HKL", "XDS_ASCII._reslimit.dat", "ovo.inp", "trunc.hkl"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Ovoclip o;
        if (!c.script.empty()) writeFile(o.dir / "ovo.inp", c.script);
        if (!c.data.empty()) writeFile(o.dir / "XDS_ASCII.HKL", c.data);
        for (const auto& name : c.existing) writeFile(o.dir / name, "untouched\n");
        o.run(c.answers);
        EXPECT_EQ(o.result.status, 2);
        EXPECT_EQ(o.result.err.rfind("ovoclip: ", 0), 0u) << o.result.err;
        EXPECT_NE(o.result.err.find(c.errorPattern), std::string::npos) << o.result.err;
        EXPECT_EQ(std::count(o.result.err.begin(), o.result.err.end(), '\n'), 1) << o.result.err;
        EXPECT_EQ(o.files(), c.filesAfter);
        for (const auto& name : c.existing) EXPECT_EQ(o.file(name), "untouched\n");
        if (o.exists("XDS_ASCII._reslimit.dat") && c.existing.empty()) {
            EXPECT_EQ(o.file("XDS_ASCII._reslimit.dat"), "INCLUDE_RESOLUTION_RANGE=500    1.800\n");
        }
    }
}

TEST(OvoclipRun, NamesKeepLeadingAndEmbeddedBlanksAndAreTakenWhole) {
    Ovoclip o;
    const std::string longName(79, 'n');
    writeFile(o.dir / "my in.hkl", kHeader + "!END_OF_DATA\n");
    writeFile(o.dir / (longName + "xTRAILING"), std::string(" my in.hkl\nout file.hkl   \n") + kOrthogonalScript.substr(24));
    o.run(longName + "xTRAILING\n pv file  \n");
    ASSERT_EQ(o.result.status, 2) << o.result.err;  // " my in.hkl" has a leading blank: not found
    EXPECT_NE(o.result.err.find("\" my in.hkl\""), std::string::npos) << o.result.err;
    EXPECT_TRUE(o.exists(" my in.hkl_reslimit.dat"));
}

// The reslimit file is named by the reflection file's own name (after its
// last '/') and made in the folder the run starts in, whatever folders
// record 1 names; a record 1 without one gives the name it always gave.
TEST(OvoclipRun, ReslimitFileIsNamedByTheFilesOwnNameInTheCurrentFolder) {
    const struct {
        const char* what;
        std::string dataPath;  // where the XDS file is, from the run's folder
        bool absolute;         // record 1 names it from the root
        std::string resLimit;
    } cases[] = {
        {"no folder", "XDS_ASCII.HKL", false, "XDS_ASCII._reslimit.dat"},
        {"short name", "x.hkl", false, "x.hkl     _reslimit.dat"},
        {"one folder", "data/XDS_ASCII.HKL", false, "XDS_ASCII._reslimit.dat"},
        {"folders with blanks, short name", "my data/run 1/in.hkl", false, "in.hkl    _reslimit.dat"},
        {"from the root", "data/protein/INTEGRATE_and_more.HKL", true, "INTEGRATE__reslimit.dat"},
        {"dot folder", "./abcdefghijklm.hkl", false, "abcdefghij_reslimit.dat"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Ovoclip o;
        const fs::path data = o.dir / c.dataPath;
        fs::create_directories(data.parent_path());
        writeFile(data, kHeader + "    19     0     0  1.000E+02  1.000E+01\n!END_OF_DATA\n");
        const std::string record1 = c.absolute ? data.string() : c.dataPath;
        writeFile(o.dir / "ovo.inp", record1 + kOrthogonalScript.substr(kOrthogonalScript.find('\n')));
        o.run();
        ASSERT_EQ(o.result.status, 0) << o.result.err;
        EXPECT_EQ(o.file(c.resLimit), "INCLUDE_RESOLUTION_RANGE=500    1.800\n");
        // Nothing else was made anywhere under the run's folder.
        std::vector<std::string> made;
        for (const auto& e : fs::recursive_directory_iterator(o.dir.path())) {
            if (e.is_regular_file()) made.push_back(fs::relative(e.path(), o.dir.path()).string());
        }
        std::sort(made.begin(), made.end());
        std::vector<std::string> expected{fs::path(c.dataPath).lexically_normal().string(), c.resLimit, "ovo.inp",
                                          "pv.inp", "trunc.hkl"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(made, expected);
    }
}

// A number typed without its decimal point keeps its implied decimals (a
// limit of 3 is 0.0003 A) and the run goes on, but a limit below 0.5 A or a
// cell edge below 2 A is named on standard error, field by field.
TEST(OvoclipRun, LimitsAndEdgesNoCrystalHasAreReadAsTypedWithAWarning) {
    const std::string kCell = "   50.00   60.00   70.00   90.00   90.00   90.00";
    const std::string kLimits = "      2.5000      2.0000      1.8000";
    const struct {
        const char* what;
        std::string cell, limits;
        std::string resLimit;                       // its record
        std::vector<std::vector<std::string>> warnings;  // the fragments of each line, in order
    } cases[] = {
        {"plausible", kCell, kLimits, "INCLUDE_RESOLUTION_RANGE=500    1.800", {}},
        {"at the bounds", "    2.00    2.00    2.00   90.00   90.00   90.00", "      0.5000      0.5000      0.5000",
         "INCLUDE_RESOLUTION_RANGE=500    0.500", {}},
        {"limit without its point", kCell, "         500           3      2.0000",
         "INCLUDE_RESOLUTION_RANGE=500    0.000",
         {{"record 5 of ovo.inp, columns 1-12", "\"500\" reads as 0.0500 A", "4 implied decimals", "\"500.0\""},
          {"record 5 of ovo.inp, columns 13-24", "\"3\" reads as 0.0003 A", "below 0.5 A", "\"3.0\" for 3 A"}}},
        {"blank and negative limits", kCell, "      2.5000                 -1.5",
         "INCLUDE_RESOLUTION_RANGE=500   -1.500",
         {{"columns 13-24", "\"\" reads as 0.0000 A", "a blank field reads as 0"},
          {"columns 25-36", "\"-1.5\" reads as -1.5000 A"}}},
        {"cell edges without their point", "     100   60.00     150   90.00   90.00   90.00", kLimits,
         "INCLUDE_RESOLUTION_RANGE=500    1.800",
         {{"record 3 of ovo.inp, columns 1-8", "cell edge \"100\" reads as 1.00 A", "below 2 A",
           "2 implied decimals in this field (F8.2)"},
          {"record 3 of ovo.inp, columns 17-24", "\"150\" reads as 1.50 A"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Ovoclip o;
        writeFile(o.dir / "XDS_ASCII.HKL", kHeader + "!END_OF_DATA\n");
        writeFile(o.dir / "ovo.inp", "XDS_ASCII.HKL\ntrunc.hkl\n" + c.cell + "\n" +
                                         kOrthogonalScript.substr(kOrthogonalScript.find("\n      1.0000") + 1,
                                                                  109) +
                                         c.limits + "\n");
        o.run();
        ASSERT_EQ(o.result.status, 0) << o.result.err;
        EXPECT_EQ(o.file("XDS_ASCII._reslimit.dat"), c.resLimit + "\n");
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = o.result.err.find('\n', at)) != std::string::npos; at = end + 1) {
            lines.push_back(o.result.err.substr(at, end - at));
        }
        ASSERT_EQ(lines.size(), c.warnings.size()) << o.result.err;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].rfind("ovoclip: warning: ", 0), 0u) << lines[i];
            for (const std::string& fragment : c.warnings[i]) {
                EXPECT_NE(lines[i].find(fragment), std::string::npos) << "missing \"" << fragment << "\" in " << lines[i];
            }
        }
    }
}

// Real unmerged files from CORRECT and XSCALE (records of 89 to 91
// characters): every kept record is the input record unchanged, the header
// is whole, and the cut file reads back as an XDS file.
TEST(OvoclipRun, RealXdsFilesKeepTheirRecordsWhole) {
    const fs::path real = testsupport::realDataDir();
    if (real.empty()) GTEST_SKIP() << "no ../shared/realdata beside this clone: real XDS files not tried";
    int tried = 0;
    for (const auto& entry : fs::directory_iterator(real / "xds")) {
        SCOPED_TRACE(entry.path().string());
        const std::string input = readFile(entry.path());
        std::vector<std::string> in = testsupport::lines(input);
        float cell[6] = {};
        for (const auto& line : in) {
            const auto at = line.find("UNIT_CELL_CONSTANTS=");
            if (at == std::string::npos) continue;
            std::sscanf(line.c_str() + at + 20, "%f %f %f %f %f %f", &cell[0], &cell[1], &cell[2], &cell[3], &cell[4],
                        &cell[5]);
            break;
        }
        char script[512];
        std::snprintf(script, sizeof script,
                      "real.hkl\ncut.hkl\n%8.2f%8.2f%8.2f%8.2f%8.2f%8.2f\n%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f\n"
                      "%12.4f%12.4f%12.4f\n",
                      cell[0], cell[1], cell[2], cell[3], cell[4], cell[5], 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0,
                      2.8, 2.4, 2.0);
        Ovoclip o;
        writeFile(o.dir / "real.hkl", input);
        writeFile(o.dir / "ovo.inp", script);
        o.run();
        ASSERT_EQ(o.result.status, 0) << o.result.err;
        const std::vector<std::string> out = testsupport::lines(o.file("cut.hkl"));

        const auto inHeaderEnd = std::find(in.begin(), in.end(), "!END_OF_HEADER");
        const auto outHeaderEnd = std::find(out.begin(), out.end(), "!END_OF_HEADER");
        ASSERT_NE(outHeaderEnd, out.end());
        ASSERT_EQ(inHeaderEnd - in.begin(), outHeaderEnd - out.begin());
        for (size_t i = 0; i < static_cast<size_t>(inHeaderEnd - in.begin()); ++i) EXPECT_EQ(pad(in[i], 80), out[i]);

        // Kept records are input records, unchanged and in order.
        auto next = inHeaderEnd + 1;
        size_t kept = 0;
        for (auto line = outHeaderEnd + 1; line != out.end() && *line != "!END_OF_DATA"; ++line, ++kept) {
            while (next != in.end() && pad(*next, 76) != *line) ++next;
            ASSERT_NE(next, in.end()) << "not an input record: " << *line;
            ++next;
        }
        EXPECT_EQ(out.back(), "!END_OF_DATA");
        const std::string count = std::to_string(kept) + ".00";
        EXPECT_EQ(testsupport::lines(o.file("pv.inp"))[3], std::string(12 - count.size(), ' ') + count);

        // The cut file is an XDS file again: cutting it once more keeps all.
        writeFile(o.dir / "again.inp", std::string("cut.hkl\ncut2.hkl\n") + std::string(script).substr(std::string(script).find("\n", 9) + 1));
        o.run("again.inp\npv2.inp\n");
        ASSERT_EQ(o.result.status, 0) << o.result.err;
        EXPECT_EQ(o.file("cut2.hkl"), o.file("cut.hkl"));
        ++tried;
    }
    EXPECT_GT(tried, 0);
}

