#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "common/cell.hpp"

using common::computeReciprocalCell;
using common::UnitCell;

namespace {

void expectNear5(float actual, double expected) {
    EXPECT_NEAR(actual, expected, std::fabs(expected) * 5e-5) << "expected " << expected;
}

}  // namespace

TEST(Cell, PiIsTheSinglePrecisionConstant) {
    uint32_t bits = 0;
    std::memcpy(&bits, &common::kPi, sizeof bits);
    EXPECT_EQ(bits, 0x40490FDBu);
    // (90 * pi) / 180 with the product rounded first.
    EXPECT_EQ(common::degreesToRadians(90.0f), 1.5707964f);
}

TEST(Cell, OrthorhombicRightAnglesAreNotSnappedToZero) {
    const auto r = computeReciprocalCell(UnitCell{10, 20, 30, 90, 90, 90});
    EXPECT_EQ(r.volume, 6000.0f);
    EXPECT_EQ(r.astar, 0.1f);
    EXPECT_EQ(r.bstar, 0.05f);
    EXPECT_EQ(r.cstar, 0.033333335f);
    EXPECT_EQ(r.sinalphastar, 1.0f);
    EXPECT_EQ(r.sinbetastar, 1.0f);
    EXPECT_EQ(r.singammastar, 1.0f);
    for (float c : {r.cosalphastar, r.cosbetastar, r.cosgammastar}) EXPECT_NEAR(c, 4.371139e-8, 1e-13);
}

TEST(Cell, MonoclinicHexagonalTriclinicRhombohedral) {
    auto m = computeReciprocalCell(UnitCell{50, 60, 70, 90, 110, 90});
    expectNear5(m.cosbetastar, 0.34202);
    expectNear5(m.sinbetastar, 0.93969);
    expectNear5(m.bstar, 1.0 / 60);
    expectNear5(m.astar, 0.021284);
    expectNear5(m.cstar, 0.015203);
    EXPECT_LT(std::fabs(m.cosalphastar), 1e-6);
    EXPECT_LT(std::fabs(m.cosgammastar), 1e-6);

    auto h = computeReciprocalCell(UnitCell{80, 80, 120, 90, 90, 120});
    expectNear5(h.astar, 0.014434);
    expectNear5(h.bstar, 0.014434);
    expectNear5(h.cstar, 0.0083333);
    expectNear5(h.cosgammastar, 0.5);
    expectNear5(h.singammastar, 0.86603);

    auto t = computeReciprocalCell(UnitCell{40, 50, 60, 70, 80, 100});
    expectNear5(t.volume, 1.0747e5);
    expectNear5(t.astar, 0.026231);
    expectNear5(t.bstar, 0.021992);
    expectNear5(t.cstar, 0.018327);
    expectNear5(t.cosalphastar, -0.38375);
    expectNear5(t.cosbetastar, -0.25182);
    expectNear5(t.cosgammastar, 0.25182);
    expectNear5(t.sinalphastar, 0.92344);
    expectNear5(t.sinbetastar, 0.96777);
    expectNear5(t.singammastar, 0.96777);

    auto rh = computeReciprocalCell(UnitCell{10, 10, 10, 60, 60, 60});
    expectNear5(rh.volume, 707.11);
    expectNear5(rh.astar, 0.12247);
    expectNear5(rh.cosalphastar, -0.33333);
    expectNear5(rh.sinalphastar, 0.94281);
    expectNear5(rh.cosgammastar, -0.33333);
}

TEST(Cell, ImpossibleCellsGiveNotANumberWithoutTrapping) {
    auto flat = computeReciprocalCell(UnitCell{10, 10, 10, 120, 120, 120});
    EXPECT_TRUE(std::isnan(flat.volume));
    EXPECT_TRUE(std::isnan(flat.astar));
    EXPECT_TRUE(std::isnan(flat.sinalphastar));
    EXPECT_NEAR(flat.cosalphastar, 1.0, 1e-6);
    EXPECT_NEAR(flat.cosgammastar, 1.0, 1e-6);

    auto zero = computeReciprocalCell(UnitCell{0, 20, 30, 90, 90, 90});
    EXPECT_EQ(zero.volume, 0.0f);
    EXPECT_TRUE(std::isinf(zero.astar));
}

// The frame against the direct axes built in it from the cell alone: a
// along x, b in the x-y plane, c above it; h, k, l are the products of the
// frame's vector with a, b and c (s . a = h and so on).
TEST(Cell, OrthonormalFrameTakesIndicesToVectorsDualToTheDirectAxes) {
    const UnitCell cells[] = {{50, 60, 70, 90, 90, 90}, {45, 55, 65, 90, 105, 90}, {80, 80, 120, 90, 90, 120},
                              {40, 50, 60, 70, 80, 100}, {10, 10, 10, 60, 60, 60}};
    for (const UnitCell& cell : cells) {
        const double rad = M_PI / 180;
        const double ca = std::cos(cell.alpha * rad), cb = std::cos(cell.beta * rad);
        const double cg = std::cos(cell.gamma * rad), sg = std::sin(cell.gamma * rad);
        const double cx = cell.c * cb, cy = cell.c * (ca - cb * cg) / sg;
        const double axes[3][3] = {{cell.a, 0, 0},
                                   {cell.b * cg, cell.b * sg, 0},
                                   {cx, cy, std::sqrt(double{cell.c} * cell.c - cx * cx - cy * cy)}};
        const auto reciprocal = computeReciprocalCell(cell);
        const auto wide = common::orthonormalFrame<double>(cell, reciprocal);
        const auto narrow = common::orthonormalFrame<float>(cell, reciprocal);
        for (const auto& hkl : {std::array{1, 0, 0}, std::array{0, 1, 0}, std::array{0, 0, 1},
                                std::array{7, -3, 11}, std::array{-20, 15, 2}}) {
            double s[3];
            float t[3];
            wide.coordinates(hkl[0], hkl[1], hkl[2], s);
            narrow.coordinates(hkl[0], hkl[1], hkl[2], t);
            for (size_t i = 0; i < 3; ++i) {
                const double dual = s[0] * axes[i][0] + s[1] * axes[i][1] + s[2] * axes[i][2];
                const double dualNarrow = t[0] * axes[i][0] + t[1] * axes[i][1] + t[2] * axes[i][2];
                EXPECT_NEAR(dual, hkl[i], 2e-5) << cell.a << " " << cell.gamma << " index " << i;
                EXPECT_NEAR(dualNarrow, hkl[i], 2e-4) << cell.a << " " << cell.gamma << " index " << i;
            }
        }
    }
}
