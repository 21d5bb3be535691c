// The pipeline in one folder: ovoclip cuts an XDS file to an ellipsoid and
// writes the planeview script, honer writes the cad input file from a Phaser
// log, the fin file lists the four stages, and planeview draws them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <tuple>

#include "planeview_files.hpp"

namespace {

using testsupport::ScratchDir;

bool built(const std::string& name) { return std::filesystem::exists(testsupport::program(name)); }

struct Reflection {
    int h, k, l;
    double F, sigF;
};

// A 50 x 60 x 70 A cell to 2.2 A, one reflection of each Friedel pair, the
// amplitudes falling off with resolution and a little scatter.
std::vector<Reflection> syntheticData() {
    std::vector<Reflection> data;
    unsigned state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return static_cast<double>((state >> 8) & 0xffff) / 65536.0;
    };
    for (int h = 0; h <= 22; ++h) {
        for (int k = -27; k <= 27; ++k) {
            for (int l = -31; l <= 31; ++l) {
                if (h == 0 && (k < 0 || (k == 0 && l < 0))) continue;
                const double s2 = (h / 50.0) * (h / 50.0) + (k / 60.0) * (k / 60.0) + (l / 70.0) * (l / 70.0);
                if (s2 > 1 / (2.2 * 2.2)) continue;
                const double F = 400 * std::exp(-12 * s2) * (0.4 + 1.2 * next()) + 1;
                data.push_back({h, k, l, F, 2 + 0.02 * F + 8 * s2 * 4});
            }
        }
    }
    return data;
}

TEST(Pipeline, OvoclipAndHonerFilesDrawnByPlaneview) {
    if (!built("ovoclip") || !built("honer")) {
        GTEST_SKIP() << "ovoclip or honer is not built here: the pipeline is not run";
    }
    ScratchDir dir;
    const std::vector<Reflection> data = syntheticData();

    // The XDS file: intensities and their sigmas.
    std::string xds = "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n"
                      "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n"
                      "!END_OF_HEADER\n";
    for (const Reflection& r : data) {
        xds += pvtest::format("%6d%6d%6d%11.3E%11.3E\n", r.h, r.k, r.l, r.F * r.F, 2 * r.F * r.sigF);
    }
    xds += "!END_OF_DATA\n";
    testsupport::writeFile(dir / "XDS_ASCII.HKL", xds);
    // Limits 3.0 along a*, 2.5 along b*, 2.2 along c*, in the order read.
    const std::string script = pvtest::inputScript(pvtest::Cell{}, 3.0, 2.5, 2.2);
    testsupport::writeFile(dir / "ovoclip.inp", script);
    const auto ovoclip = testsupport::run(testsupport::program("ovoclip"), "ovoclip.inp\nplaneview.inp\n", dir.path());
    ASSERT_EQ(ovoclip.status, 0) << ovoclip.err;

    testsupport::writeFile(dir / "phaser.log",
                           "Anisotropy correction\n"
                           "     eigenB (A^2)   direction\n"
                           "     ------\n"
                           "\n"
                           "     -12.345   1.0 0.0 0.0\n");
    const auto honer = testsupport::run(testsupport::program("honer"), "phaser.log\ncad_negB.com\n", dir.path());
    ASSERT_EQ(honer.status, 0) << honer.err;

    // The reflections that ovoclip kept, from its truncated file.
    std::set<std::tuple<int, int, int>> kept;
    bool inData = false;
    for (const std::string& line : testsupport::lines(testsupport::readFile(dir / "truncated.hkl"))) {
        const std::string marker = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (marker.rfind("!END_OF_HEADER", 0) == 0) {
            inData = true;
        } else if (marker.rfind("!END_OF_DATA", 0) == 0) {
            break;
        } else if (inData) {
            kept.insert({std::stoi(line.substr(0, 6)), std::stoi(line.substr(6, 6)), std::stoi(line.substr(12, 6))});
        }
    }
    ASSERT_GT(kept.size(), 1000u);
    ASSERT_LT(kept.size(), data.size());

    // The fin file: init, trunc (0 where cut), aniso and iso scaled from it.
    std::string fin;
    size_t zoneDotsInit = 0, zoneDotsTrunc = 0;
    for (const Reflection& r : data) {
        const bool in = kept.count({r.h, r.k, r.l}) > 0;
        const double s2 = (r.h / 50.0) * (r.h / 50.0) + (r.k / 60.0) * (r.k / 60.0) + (r.l / 70.0) * (r.l / 70.0);
        pvtest::FinRow row;
        row.h = r.h;
        row.k = r.k;
        row.l = r.l;
        row.F[0] = r.F;
        row.sigF[0] = r.sigF;
        row.F[1] = in ? r.F : 0;
        row.sigF[1] = in ? r.sigF : 0;
        row.F[2] = in ? r.F * std::exp(2 * (r.h / 50.0) * (r.h / 50.0)) : 0;
        row.sigF[2] = row.sigF[1];
        row.F[3] = in ? row.F[2] * std::exp(12.345 * s2 / 4) : 0;
        row.sigF[3] = row.sigF[1];
        fin += pvtest::finLine(row) + "\n";
        const auto zones = static_cast<size_t>((r.h == 0) + (r.k == 0) + (r.l == 0));
        zoneDotsInit += 2 * zones;
        if (in) zoneDotsTrunc += 2 * zones;
    }
    testsupport::writeFile(dir / "fin.dat", fin);

    const auto planeview = testsupport::run(testsupport::program("planeview"),
                                            "ovoclip.inp\nfin.dat\nreport.ps\nplaneview.inp\ncad_negB.com\n", dir.path());
    ASSERT_EQ(planeview.status, 0) << planeview.err;
    const std::string page = testsupport::readFile(dir / "report.ps");
    if (const char* copy = std::getenv("PLANEVIEW_PIPELINE_PAGE")) testsupport::writeFile(copy, page);
    const std::vector<std::string> records = testsupport::lines(page);

    // The narrative carries ovoclip's counts and honer's B.
    const std::vector<std::string> pv = testsupport::lines(testsupport::readFile(dir / "planeview.inp"));
    ASSERT_EQ(pv.size(), 4u);
    const std::vector<std::string> dots = pvtest::dotRecords(records);
    const size_t narrative = 4 + dots.size();
    ASSERT_EQ(records.size(), narrative + 26 + 42);
    EXPECT_EQ(records[narrative + 9], pvtest::format("(%10zu reflections were in the initial data set.)show", data.size()));
    EXPECT_EQ(records[narrative + 10],
              pvtest::format("(%10zu were discarded because they fell outside)show", data.size() - kept.size()));
    EXPECT_EQ(records[narrative + 12], "(1/ 3.0,   1/ 2.5,   1/ 2.2 \\305)show (-1) exponent");
    EXPECT_EQ(records[narrative + 15], "(average F/sigma of" + pv[2].substr(6) + ".)show");
    EXPECT_EQ(records[narrative + 17], pvtest::format("(%10zu reflections remain after ellipsoidal )show", kept.size()));
    EXPECT_EQ(records[narrative + 20], "(data set.  Lastly, an isotropic B of  -12.35 \\305)show (2) exponent");
    EXPECT_TRUE(planeview.out.find(" negB applied by cad was -12.345\n") != std::string::npos) << planeview.out;

    // Every reflection of a zone is a pair of dots in the init column, every
    // kept one a pair in the trunc column; all fit on the page.
    size_t initDots = 0, truncDots = 0;
    for (const std::string& record : dots) {
        if (record.find("arc fill") == std::string::npos) continue;
        const double x = std::stod(record.substr(0, 8));
        if (x > 75 && x < 225) ++initDots;
        if (x > 225 && x < 375) ++truncDots;
    }
    EXPECT_EQ(initDots, zoneDotsInit);
    EXPECT_EQ(truncDots, zoneDotsTrunc);
}

}  // namespace
