// Inputs at the edges of what ovoclip must handle, run through the whole
// program: indices that fill their six columns, and every kind of cell,
// from right angles to a flat cell and a cell with an edge of zero.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "failure_support.hpp"

namespace {

using failures::Folder;
using failures::pad;

std::string format(const char* pattern, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

struct Cell {
    double a, b, c, alpha, beta, gamma;
};

std::string script(const Cell& cell, double limit1, double limit2, double limit3) {
    return "XDS_ASCII.HKL\ntrunc.hkl\n" +
           format("%8.2f%8.2f%8.2f%8.2f%8.2f%8.2f\n", cell.a, cell.b, cell.c, cell.alpha, cell.beta, cell.gamma) +
           format("%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f\n", 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0,
                  1.0) +
           format("%12.4f%12.4f%12.4f\n", limit1, limit2, limit3);
}

const std::string kHeader = "!FORMAT=XDS_ASCII    MERGE=TRUE\n!END_OF_HEADER\n";
const std::string kCopiedHeader = pad("!FORMAT=XDS_ASCII    MERGE=TRUE", 80) + "\n!END_OF_HEADER\n";

std::string planeviewScript(long in, long rejected, const std::string& mean) {
    return format("%9ld\n%9ld\n", in, rejected) + mean + "\n" + format("%9ld.00\n", in - rejected);
}

TEST(Extremes, SixDigitIndicesFillTheirColumnsAndComeBackUnchanged) {
    const std::vector<std::string> records = {
        "123456-12345999999  1.000E+02  1.000E+01",
        "-99999-99999-99999  1.000E+02  1.000E+01 carried",
        "     0999999     0  1.000E+02  1.000E+01",
        "000001    +0 -0000  1.000E+02  1.000E+01",
    };
    std::string data = kHeader;
    for (const auto& r : records) data += r + "\n";
    data += "!END_OF_DATA\n";

    // Limits of 0: the ellipsoid is unbounded along every axis, all is kept.
    {
        Folder f;
        f.write("ovo.inp", script({50, 60, 70, 90, 90, 90}, 0, 0, 0));
        f.write("XDS_ASCII.HKL", data);
        ASSERT_EQ(f.run("ovoclip", "ovo.inp\npv.inp\n").status, 0) << f.result.err;
        EXPECT_EQ(f.read("trunc.hkl"), kCopiedHeader + pad(records[0], 76) + "\n" + pad(records[1], 76) + "\n" +
                                           pad(records[2], 76) + "\n" +
                                           pad("     1     0     0  1.000E+02  1.000E+01", 76) + "\n!END_OF_DATA\n");
        EXPECT_EQ(f.read("pv.inp"), planeviewScript(4, 0, "        0.00"));
    }
    // A real ellipsoid: the far ones are rejected, and their F and sigma
    // summed.
    {
        Folder f;
        f.write("ovo.inp", script({50, 60, 70, 90, 90, 90}, 2.5, 2.0, 1.8));
        f.write("XDS_ASCII.HKL", data);
        ASSERT_EQ(f.run("ovoclip", "ovo.inp\npv.inp\n").status, 0) << f.result.err;
        EXPECT_EQ(f.read("trunc.hkl"),
                  kCopiedHeader + pad("     1     0     0  1.000E+02  1.000E+01", 76) + "\n!END_OF_DATA\n");
        EXPECT_EQ(f.read("pv.inp"), planeviewScript(4, 3, "       10.00"));
    }
}

// The length of the reciprocal-lattice vector of (h, k, l), in double
// precision from the reciprocal metric: a plain oracle for the single-
// precision frame of the program.
double reciprocalLength(const Cell& cell, int h, int k, int l) {
    const double rad = M_PI / 180;
    const double ca = std::cos(cell.alpha * rad), cb = std::cos(cell.beta * rad), cg = std::cos(cell.gamma * rad);
    const double sa = std::sin(cell.alpha * rad), sb = std::sin(cell.beta * rad), sg = std::sin(cell.gamma * rad);
    const double v = cell.a * cell.b * cell.c * std::sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg);
    const double as = cell.b * cell.c * sa / v, bs = cell.a * cell.c * sb / v, cs = cell.a * cell.b * sg / v;
    const double cas = (cb * cg - ca) / (sb * sg), cbs = (ca * cg - cb) / (sa * sg), cgs = (ca * cb - cg) / (sa * sb);
    const double d2 = h * h * as * as + k * k * bs * bs + l * l * cs * cs + 2 * k * l * bs * cs * cas +
                      2 * h * l * as * cs * cbs + 2 * h * k * as * bs * cgs;
    return std::sqrt(d2);
}

// The number after `label` on an echo line of the terminal ("Infinity" and
// "NaN" included).
double echoed(const std::string& out, const std::string& label) {
    const size_t at = out.find(label);
    if (at == std::string::npos) return -12345;
    return std::strtod(out.c_str() + at + label.size(), nullptr);
}

void expectNear(double actual, double expected, const std::string& what) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << what << " = " << actual;
    } else if (std::isinf(expected)) {
        EXPECT_EQ(actual, expected) << what;
    } else if (std::fabs(expected) < 1e-6) {
        EXPECT_LT(std::fabs(actual), 1e-6) << what << " = " << actual;
    } else {
        EXPECT_NEAR(actual / expected, 1.0, 1e-4) << what << " = " << actual;
    }
}

TEST(Extremes, EveryKindOfCellThroughTheWholeProgram) {
    const double nan = NAN, inf = INFINITY;
    const struct {
        const char* what;
        Cell cell;
        double astar, bstar, cstar, cosalphastar;  // as echoed
        bool cutByResolution;  // false: every E is not a number, all is kept
    } cases[] = {
        {"right angles", {10, 20, 30, 90, 90, 90}, 0.1, 0.05, 0.033333335, 4.371139e-8, true},
        {"monoclinic", {50, 60, 70, 90, 110, 90}, 0.021284, 1.0 / 60, 0.015203, 0, true},
        {"hexagonal", {80, 80, 120, 90, 90, 120}, 0.014434, 0.014434, 0.0083333, 0, true},
        {"triclinic", {40, 50, 60, 70, 80, 100}, 0.026231, 0.021992, 0.018327, -0.38375, true},
        {"rhombohedral", {10, 10, 10, 60, 60, 60}, 0.12247, 0.12247, 0.12247, -0.33333, true},
        {"flat", {10, 10, 10, 120, 120, 120}, nan, nan, nan, 1, false},
        {"zero edge", {0, 60, 70, 90, 90, 90}, inf, nan, nan, 4.371139e-8, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Three equal limits and the identity matrix: a plain resolution cut
        // at the sphere of radius 1/limit, put where about half the box of
        // reflections falls outside.
        double limit = 2.0;
        if (c.cutByResolution) {
            limit = 1 / (3 * std::max({c.astar, c.bstar, c.cstar}));
            limit = std::stod(format("%.4f", limit));
        }
        std::string data = kHeader;
        std::string kept = kCopiedHeader;
        long in = 0, rejected = 0;
        for (int h = -4; h <= 4; ++h) {
            for (int k = -4; k <= 4; ++k) {
                for (int l = -4; l <= 4; ++l) {
                    const std::string record = format("%6d%6d%6d%11.3E%11.3E", h, k, l, 200.0, 100.0);
                    if (c.cutByResolution) {
                        const double e = std::pow(reciprocalLength(c.cell, h, k, l) * limit, 2);
                        if (std::fabs(e - 1) < 1e-3) continue;  // too close to call in single precision
                        if (e > 1) {
                            ++rejected;
                        } else {
                            kept += pad(record, 76) + "\n";
                        }
                    } else {
                        kept += pad(record, 76) + "\n";
                    }
                    data += record + "\n";
                    ++in;
                }
            }
        }
        data += "!END_OF_DATA\n";
        if (c.cutByResolution) {
            EXPECT_GT(rejected, in / 10);  // a cut with both sides well filled
            EXPECT_LT(rejected, in - in / 10);
        }

        Folder f;
        f.write("ovo.inp", script(c.cell, limit, limit, limit));
        f.write("XDS_ASCII.HKL", data);
        ASSERT_EQ(f.run("ovoclip", "ovo.inp\npv.inp\n").status, 0) << f.result.err;
        if (c.cell.a < 2) {  // no crystal has it: read as written, with a warning
            EXPECT_NE(f.result.err.find("warning: record 3 of ovo.inp, columns 1-8"), std::string::npos) << f.result.err;
        } else {
            EXPECT_EQ(f.result.err, "");
        }
        expectNear(echoed(f.result.out, "astar= "), c.astar, "astar");
        expectNear(echoed(f.result.out, " bstar= "), c.bstar, "bstar");
        expectNear(echoed(f.result.out, " cstar="), c.cstar, "cstar");
        expectNear(echoed(f.result.out, "cosalpha*="), c.cosalphastar, "cosalpha*");
        EXPECT_EQ(f.read("trunc.hkl"), kept + "!END_OF_DATA\n");
        EXPECT_EQ(f.read("pv.inp"), planeviewScript(in, rejected, rejected > 0 ? "        2.00" : "        0.00"));
        // F8.3 of the limit as the program holds it, a float.
        EXPECT_EQ(f.read("XDS_ASCII._reslimit.dat"),
                  "INCLUDE_RESOLUTION_RANGE=500 " + format("%8.3f", static_cast<double>(static_cast<float>(limit))) + "\n");
    }
}

}  // namespace
