// finjoin run as a driver runs it, on MTZ files written here with gemmi and
// mmCIF files written as text: the union of the stages and its order,
// missing values, labels, column types, space groups, values at the edges
// of the fin file's columns, gzip, and the real MTZ files of ../shared (and
// mmCIF made from them) read back by planeview.
#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/gz.hpp>
#include <gemmi/mtz.hpp>
#include <gemmi/mtz2cif.hpp>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/layout/fin_file.hpp"
#include "common/records.hpp"
#include "failures/failure_support.hpp"

namespace {

using failures::Folder;

constexpr float kNaN = NAN;

struct MtzFile {
    std::vector<std::pair<std::string, char>> columns = {{"FP", 'F'}, {"SIGFP", 'Q'}};
    std::vector<std::vector<float>> rows;  // h, k, l, then the columns
    std::string spaceGroup = "P 2 2 2";
    double a = 50;  // b = 60, c = 70, right angles
};

void writeMtz(const Folder& folder, const std::string& name, const MtzFile& file) {
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_name(file.spaceGroup);
    mtz.set_cell_for_all(gemmi::UnitCell(file.a, 60, 70, 90, 90, 90));
    mtz.add_dataset("test");
    for (const auto& [label, type] : file.columns) mtz.add_column(label, type, -1, -1, false);
    std::vector<float> data;
    for (const auto& row : file.rows) data.insert(data.end(), row.begin(), row.end());
    mtz.set_data(data.data(), data.size());
    std::string bytes;  // written by gemmi to memory: it cannot write a file of no rows
    mtz.write_to_string(bytes);
    folder.write(name, bytes);
}

void gzip(const Folder& folder, const std::string& name) {
    const std::string bytes = folder.read(name);
    gzFile out = gzopen((folder / (name + ".gz")).c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(gzwrite(out, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    gzclose(out);
}

// Structure factors as deposited: cell, symmetry (a blank name leaves it
// out) and a _refln loop of h, k, l, status, F and sigma.
std::string mmcif(const std::string& rows, const std::string& spaceGroup = "P 2 2 2") {
    std::string text = "data_r1abcsf\n_cell.length_a 50.0\n_cell.length_b 60.0\n_cell.length_c 70.0\n"
                       "_cell.angle_alpha 90.0\n_cell.angle_beta 90.0\n_cell.angle_gamma 90.0\n";
    if (!spaceGroup.empty()) text += "_symmetry.space_group_name_H-M '" + spaceGroup + "'\n";
    return text + "loop_\n_refln.index_h\n_refln.index_k\n_refln.index_l\n_refln.status\n_refln.F_meas_au\n"
                  "_refln.F_meas_sigma_au\n" + rows;
}

// Four stages, each "file\nF label\nsigma label\n", then the fin file.
std::string answers(const std::vector<std::string>& stages, const std::string& fin = "joined.fin") {
    std::string text;
    for (const std::string& stage : stages) text += stage + "\n";
    return text + fin + "\n";
}

TEST(Finjoin, UnionSortedOnceEachWithZerosWhereAStageLacksAValue) {
    Folder f;
    // Unsorted; 0 0 1 has no F here, 3 3 3 no sigma in its only stage.
    writeMtz(f, "a.mtz", {.rows = {{2, -1, 5, 30.125f, 0.015f}, {1, 0, 0, 10, 1}, {0, 0, 1, kNaN, 1},
                                   {-999, 2, 3, 20, 2}}});
    writeMtz(f, "b.mtz", {.columns = {{"FP_ISO", 'F'}, {"SIGFP_ISO", 'Q'}},
                          .rows = {{0, 0, 1, 4, 0.4f}, {1, 0, 0, 5, 0.5f}, {3, 3, 3, 7, kNaN}}});
    // Other labels, an extra column, and the widest value that fits.
    writeMtz(f, "c.mtz", {.columns = {{"FREE", 'I'}, {"Fnew", 'F'}, {"SIGnew", 'Q'}},
                          .rows = {{9999, 5, 5, 1, 999999936.0f, -0.004f}}});
    const auto& result = f.run("finjoin", answers({"a.mtz\n\n", "a.mtz\n \n", "b.mtz\n\n", "c.mtz\n  Fnew \nSIGnew"}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(f.read("joined.fin"),
              "-999   2   3       20.00        2.00       20.00        2.00        0.00        0.00        0.00        0.00\n"
              "   0   0   1        0.00        0.00        0.00        0.00        4.00        0.40        0.00        0.00\n"
              "   1   0   0       10.00        1.00       10.00        1.00        5.00        0.50        0.00        0.00\n"
              "   2  -1   5       30.12        0.01       30.12        0.01        0.00        0.00        0.00        0.00\n"
              "9999   5   5        0.00        0.00        0.00        0.00        0.00        0.00999999936.00       -0.00\n");
    const std::vector<std::string> out = testsupport::lines(result.out);
    ASSERT_EQ(out.size(), 22u) << result.out;
    EXPECT_EQ(out[13], " init: a.mtz columns FP SIGFP");
    EXPECT_EQ(out[14].rfind(" reflections taken 3 of 4 resolution ", 0), 0u) << out[14];
    EXPECT_EQ(out[19], " isob: c.mtz columns Fnew SIGnew");
    EXPECT_EQ(out[21], " records written to joined.fin 5");
}

TEST(Finjoin, GzipFileEmptyFileAndCellsThatDifferOnlyWarn) {
    Folder f;
    writeMtz(f, "a.mtz", {.rows = {{1, 2, 3, 10, 1}}});
    gzip(f, "a.mtz");
    writeMtz(f, "empty.mtz", {});
    writeMtz(f, "b.mtz", {.columns = {{"FP_ISO", 'F'}, {"SIGFP_ISO", 'Q'}}, .rows = {{1, 2, 3, 5, 0.5f}}, .a = 50.4});
    writeMtz(f, "c.mtz", {.columns = {{"FP_ISOB", 'F'}, {"SIGFP_ISOB", 'Q'}}, .rows = {{1, 2, 3, 6, 0.6f}}, .a = 51});
    const auto& result = f.run("finjoin", answers({"a.mtz.gz\n\n", "empty.mtz\n\n", "b.mtz\n\n", "c.mtz\n\n"}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(f.read("joined.fin"), "   1   2   3       10.00        1.00        0.00        0.00        5.00        0.50"
                                    "        6.00        0.60\n");
    EXPECT_NE(result.out.find(" trunc: empty.mtz columns FP SIGFP\n reflections taken 0 of 0 resolution 0.00 to 0.00\n"),
              std::string::npos) << result.out;
    // 50.4 is within 1% of 50, 51 is not.
    EXPECT_EQ(result.err, "finjoin: warning: the cell edges of \"c.mtz\" (51.00 60.00 70.00) differ by more than 1% "
                          "from those of \"a.mtz.gz\"\n");
}

// mmCIF beside MTZ: '?' and '.' are no value, blank labels take F_meas_au
// and F_meas_sigma_au, a whole tag is taken, gzip is read by content, and
// space groups are compared as groups whatever their names.
TEST(Finjoin, MmcifStagesJoinedWithMtz) {
    Folder f;
    f.write("a.cif", mmcif("1 0 0 o 10.5 1.25\n0 0 1 o ? 1\n2 -1 5 f 30.125 .\n-3 2 1 o 7 0.7\n"));
    gzip(f, "a.cif");
    writeMtz(f, "b.mtz", {.columns = {{"FP_ISO", 'F'}, {"SIGFP_ISO", 'Q'}}, .rows = {{0, 0, 1, 4, 0.4f}}});
    const auto& result = f.run("finjoin", answers({"a.cif\n\n", "a.cif.gz\n\n", "b.mtz\n\n",
                                                   "a.cif\n_REFLN.F_meas_au\nF_MEAS_SIGMA_AU"}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(f.read("joined.fin"),
              "  -3   2   1        7.00        0.70        7.00        0.70        0.00        0.00        7.00        0.70\n"
              "   0   0   1        0.00        0.00        0.00        0.00        4.00        0.40        0.00        0.00\n"
              "   1   0   0       10.50        1.25       10.50        1.25        0.00        0.00       10.50        1.25\n");
    EXPECT_NE(result.out.find(" init: a.cif columns F_meas_au F_meas_sigma_au\n reflections taken 2 of 4 "
                              "resolution 50.00 to 14.26\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" isob: a.cif columns F_meas_au F_MEAS_SIGMA_AU\n"), std::string::npos) << result.out;

    const struct {
        std::string cifGroup, mtzGroup;
        int status;
        std::string err;
    } groups[] = {
        {"P 1 21 1", "P 21", 0, ""},
        {"", "P 2 2 2", 0, "finjoin: warning: \"g.cif\" gives no space group; it is not compared with the other files'\n"},
        {"P 21 21 21", "P 2 2 2", 2, "finjoin: space group P 21 21 21 of \"g.cif\" differs from P 2 2 2 of \"g.mtz\"\n"},
    };
    for (const auto& g : groups) {
        SCOPED_TRACE(g.cifGroup);
        Folder h;
        h.write("g.cif", mmcif("1 1 1 o 1 1\n", g.cifGroup));
        writeMtz(h, "g.mtz", {.rows = {{1, 1, 1, 1, 1}}, .spaceGroup = g.mtzGroup});
        const auto& run = h.run("finjoin", answers({"g.mtz\n\n", "g.cif\n\n", "g.cif\n\n", "g.cif\n\n"}));
        EXPECT_EQ(run.status, g.status);
        EXPECT_EQ(run.err.substr(0, g.err.size()), g.err);
    }
}

TEST(Finjoin, FailuresReportOneLineAndCreateNoFinFile) {
    const std::string good = "good.mtz\nFP\nSIGFP";
    const std::string bad = "bad.mtz\nFP\nSIGFP";
    const struct {
        std::string why;
        MtzFile file;
        std::vector<std::string> stages;
        std::vector<std::string> fragments;
        std::string cif = "";  // bad.cif
    } cases[] = {
        {"starts as MTZ", {}, {"text.mtz\n\n", good, good, good}, {"cannot read \"text.mtz\" as an MTZ file", "MTZ"}},
        {"neither MTZ nor CIF", {}, {good, good, "junk.mtz\n\n", good}, {"\"junk.mtz\" is neither MTZ nor mmCIF"}},
        {"CIF with a NUL byte", {}, {good, "bad.cif\n\n", good, good}, {"\"bad.cif\" is neither MTZ nor mmCIF"},
         mmcif(std::string("1 1 1 o 1 1\n2 2 2 o 2") + '\0' + " 2\n")},
        {"CIF loop cut short", {}, {good, "bad.cif\n\n", good, good}, {"\"bad.cif\" is neither MTZ nor mmCIF", "loop"},
         mmcif("1 1 1 o 1 1\n2 2 2 o 2\n")},
        {"CIF without reflections", {}, {good, "bad.cif\n\n", good, good},
         {"\"bad.cif\" is neither MTZ nor mmCIF with reflections", "_refln loop"}, "data_x\n_cell.length_a 5\n"},
        {"CIF item not there", {}, {good, "bad.cif\nF_calc\n", good, good},
         {"no item _refln.F_calc in \"bad.cif\"", "amplitude items (F_*): F_meas_au F_meas_sigma_au"},
         mmcif("1 1 1 o 1 1\n")},
        {"CIF value not a number", {}, {good, good, "bad.cif\n\n", good},
         {"row 2 of the _refln loop of \"bad.cif\": _refln.F_meas_sigma_au 0.5x is not a number"},
         mmcif("1 1 1 o 1 1\n1 1 2 o 1 0.5x\n")},
        {"CIF index missing", {}, {good, good, good, "bad.cif\n\n"},
         {"row 1 of the _refln loop of \"bad.cif\"", "_refln.index_k has no value"}, mmcif("1 ? 1 o 1 1\n")},
        {"CIF value beyond float", {}, {good, good, good, "bad.cif\n\n"},
         {"reflection 1 1 1 of \"bad.cif\": F_meas_au Infinity", "F12.2"}, mmcif("1 1 1 o 1e300 1\n")},
        {"CIF unmerged", {}, {good, good, good, "bad.cif\n\n"}, {"reflection 1 1 1 appears twice in \"bad.cif\""},
         mmcif("1 1 1 o 1 1\n1 1 1 o 2 1\n")},
        {"label not there", {.columns = {{"FP", 'F'}, {"SIGFP", 'Q'}, {"FC", 'F'}}, .rows = {{1, 1, 1, 1, 1, 1}}},
         {good, good, "bad.mtz\nFP_ISO\n", good},
         {"no column FP_ISO in \"bad.mtz\"", "amplitude columns (type F): FP FC"}},
        {"F of type J", {.columns = {{"FP", 'J'}, {"SIGFP", 'Q'}}, .rows = {{1, 1, 1, 1, 1}}},
         {bad, good, good, good}, {"column FP of \"bad.mtz\" is of type J, not F"}},
        {"sigma of type F", {.columns = {{"FP", 'F'}, {"SIGFP", 'F'}}, .rows = {{1, 1, 1, 1, 1}}},
         {good, good, good, bad}, {"column SIGFP of \"bad.mtz\" is of type F, not Q"}},
        {"space groups", {.rows = {{1, 1, 1, 1, 1}}, .spaceGroup = "P 21 21 21"},
         {good, bad, good, good}, {"space group P 21 21 21 of \"bad.mtz\" differs from P 2 2 2 of \"good.mtz\""}},
        {"index outside I4", {.rows = {{1, 1, 1, 1, 1}, {10000, 0, 1, 1, 1}}},
         {good, good, bad, good}, {"reflection 10000 0 1 of \"bad.mtz\"", "I4"}},
        {"index not whole", {.rows = {{1, 1, 1.5f, 1, 1}}}, {bad, good, good, good}, {"1 1 1.5", "whole"}},
        {"value outside F12.2", {.rows = {{1, 2, 3, 1, -1e8f}}},
         {good, good, good, bad}, {"reflection 1 2 3 of \"bad.mtz\": SIGFP -1e+08", "F12.2"}},
        {"infinite value", {.rows = {{1, 2, 3, INFINITY, 1}}}, {bad, good, good, good}, {"FP Infinity"}},
        {"unmerged", {.rows = {{1, 2, 3, 4, 1}, {1, 2, 3, 5, 1}}},
         {bad, good, good, good}, {"reflection 1 2 3 appears twice in \"bad.mtz\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Folder f;
        writeMtz(f, "good.mtz", {.rows = {{1, 1, 1, 1, 1}}});
        writeMtz(f, "bad.mtz", c.file);
        f.write("text.mtz", "MTZ is not what this is\n");
        f.write("junk.mtz", std::string("\x1f\x8b\0\xff binary", 11));
        if (!c.cif.empty()) f.write("bad.cif", c.cif);
        failures::expectFailure(f.run("finjoin", answers(c.stages)), "finjoin", c.fragments);
        EXPECT_FALSE(f.exists("joined.fin"));
    }
}

// A file cut short, and one whose header claims a billion reflections:
// reported, and nothing allocated for the claim.
TEST(Finjoin, DamagedFiles) {
    Folder f;
    writeMtz(f, "good.mtz", {.rows = {{1, 1, 1, 1, 1}, {1, 1, 2, 1, 1}}});
    const std::string bytes = f.read("good.mtz");
    f.write("cut.mtz", bytes.substr(0, bytes.size() / 2));
    std::string claim = bytes;
    const size_t ncol = claim.find("NCOL ");
    ASSERT_NE(ncol, std::string::npos);
    claim.replace(ncol, 80, failures::pad("NCOL        5   1000000000        0", 80));
    f.write("claim.mtz", claim);
    for (const auto& [file, why] : {std::pair<std::string, std::string>{"cut.mtz", ""},
                                    {"claim.mtz", "more data than the file holds"}}) {
        failures::expectFailure(f.run("finjoin", answers({file + "\n\n", "good.mtz\n\n", "good.mtz\nFP\nSIGFP",
                                                          "good.mtz\nFP\nSIGFP"})),
                                "finjoin", {"cannot read \"" + file + "\" as an MTZ file", why});
    }
}

TEST(Finjoin, ExistingFinFileOrShortDialogue) {
    Folder f;
    writeMtz(f, "good.mtz", {.rows = {{1, 1, 1, 1, 1}}});
    f.write("joined.fin", "kept\n");
    failures::expectFailure(f.run("finjoin", answers({"good.mtz\n\n", "good.mtz\n\n", "good.mtz\nFP\nSIGFP",
                                                      "good.mtz\nFP\nSIGFP"})),
                            "finjoin", {"\"joined.fin\"", "exists"});
    EXPECT_EQ(f.read("joined.fin"), "kept\n");
    failures::expectFailure(f.run("finjoin", "good.mtz\n\n\ngood.mtz\n"), "finjoin", {"end of standard input"});
}

// The real files hold one data set each, so each serves all four stages:
// every value must be the file's FP or SIGFP rounded to two decimals, and
// planeview must draw the page from the fin file.
TEST(Finjoin, RealMtzFilesReadBackByPlaneview) {
    const auto real = testsupport::realDataDir();
    if (real.empty()) GTEST_SKIP() << "../shared/realdata is absent: the real MTZ files are not tried";
    for (const std::string name : {"gemmi_5e5z.mtz", "gemmi_5wkd_phases.mtz.gz"}) {
        SCOPED_TRACE(name);
        const std::string path = (real / "mtz" / name).string();
        const gemmi::Mtz mtz = gemmi::read_mtz(gemmi::MaybeGzipped(path), true);
        std::vector<std::string> expected;
        const gemmi::Mtz::Column& fp = mtz.get_column_with_label("FP");
        const gemmi::Mtz::Column& sigfp = mtz.get_column_with_label("SIGFP");
        for (size_t i = 0; i < static_cast<size_t>(mtz.nreflections); ++i) {
            if (std::isnan(fp[i]) || std::isnan(sigfp[i])) continue;
            common::fin_file::Record record;
            record.h = static_cast<int32_t>(mtz.columns[0][i]);
            record.k = static_cast<int32_t>(mtz.columns[1][i]);
            record.l = static_cast<int32_t>(mtz.columns[2][i]);
            for (int set = 0; set < common::fin_file::kDataSets; ++set) {
                record.F[set] = fp[i];
                record.sigF[set] = sigfp[i];
            }
            common::RecordBuffer text;
            common::fin_file::appendRecord(text, record);
            expected.emplace_back(text.view());
        }
        std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
            auto indices = [](const std::string& r) {
                return std::make_tuple(std::stoi(r.substr(0, 4)), std::stoi(r.substr(4, 4)), std::stoi(r.substr(8, 4)));
            };
            return indices(a) < indices(b);
        });

        Folder f;
        const std::string stage = path + "\nFP\nSIGFP";
        const auto& result = f.run("finjoin", answers({stage, stage, stage, stage}));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(testsupport::lines(f.read("joined.fin")), expected);

        // The same data as deposited, converted by gemmi: the same fin file,
        // but for a last digit where the text of the mmCIF file rounded the
        // MTZ file's float once already (73.925 for 73.92501).
        gemmi::MtzToCif toCif;
        toCif.with_comments = false;
        std::ostringstream cif;
        toCif.write_cif(mtz, nullptr, nullptr, cif);
        f.write("sf.cif", cif.str());
        const auto& fromCif = f.run("finjoin", answers({"sf.cif\n\n", "sf.cif\n\n", "sf.cif\n\n", "sf.cif\n\n"},
                                                       "cif.fin"));
        ASSERT_EQ(fromCif.status, 0) << fromCif.err;
        EXPECT_EQ(fromCif.err, "");
        const std::vector<std::string> fromMtz = testsupport::lines(f.read("joined.fin"));
        const std::vector<std::string> fromMmcif = testsupport::lines(f.read("cif.fin"));
        ASSERT_EQ(fromMmcif.size(), fromMtz.size());
        for (size_t i = 0; i < fromMtz.size(); ++i) {
            ASSERT_EQ(fromMmcif[i].substr(0, 12), fromMtz[i].substr(0, 12));
            for (size_t at = 12; at < fromMtz[i].size(); at += 12) {
                EXPECT_NEAR(std::stod(fromMmcif[i].substr(at, 12)), std::stod(fromMtz[i].substr(at, 12)), 0.0101)
                    << fromMtz[i];
            }
        }

        f.write("ovoclip.inp", "a\nb\n   50.00   50.00   50.00   90.00   90.00   90.00\n\n      2.0000      2.0000      2.0000\n");
        f.write("planeview.inp", "      100\n       10\n        1.50\n       90.00\n");
        f.write("cad.inp", "title\nSCAL FILE_NUMBER 1 1.00      -12.000\n");
        const auto& drawn = f.run("planeview", "ovoclip.inp\njoined.fin\npage.ps\nplaneview.inp\ncad.inp\n");
        EXPECT_EQ(drawn.status, 0) << drawn.err;
        EXPECT_NE(f.read("page.ps").find("showpage"), std::string::npos);
    }
}

}  // namespace
