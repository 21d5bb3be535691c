// XDS_ASCII data whose limits are known, with the noise of real data: in a
// cone along each of three axes u_i the mean I/sigma(I) is
//
//     S = threshold * exp(steepness * (1 - E)),  E = sum over i of (s . u_i)^2 L_i^2,
//
// so that it crosses the threshold on the ellipsoid with the limits L_i;
// each reflection's true intensity is drawn from Wilson's acentric
// distribution about the mean <I> = 1000 exp(-2 E) (the axes of the falloff
// those of the limits), its sigma <I> / S, and the intensity given is the
// true one with normal noise of that sigma: E[I / sigma] = S exactly.
//
// Unmerged: each reflection measured `multiplicity` times with a flat <I> of
// 1000 and the same sigma for each observation, chosen so that the CC1/2 of
// two half-set means, <I>^2 / (<I>^2 + 2 sigma^2 / multiplicity) = R / (1 + R),
// falls through 0.30 on the ellipsoid of the limits ccLimits:
// R = 3/7 exp(steepness * (1 - E_cc)).
#pragma once

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include <gemmi/symmetry.hpp>

#include "ovofit/ellipsoid.hpp"

namespace known_limits {

struct Model {
    int spaceGroup = 16;
    common::UnitCell cell{40, 50, 60, 90, 90, 90};
    double turn = 0;  // degrees about b from a*, for the first axis (monoclinic)
    double limits[3] = {2.6, 2.2, 1.9};
    double ccLimits[3] = {2.5, 2.1, 1.9};
    double dHigh = 1.6, dLow = 30;
    double threshold = 1.5;
    double steepness = 3;
    int multiplicity = 0;  // 0: merged data
    double kept = 1;       // the share of the reflections written, the others left out at random
    unsigned seed = 7;

    // The axes in the frame: u1 turned from a* about b, u2 along b, u3 = u1 x u2.
    void axes(double u[3][3]) const {
        const ovofit::Frame frame = ovofit::makeFrame(cell);
        double astar[3];
        frame.coordinates(1, 0, 0, astar);
        const double length = std::hypot(astar[0], astar[2]);
        const double t = turn * M_PI / 180;
        const double x = astar[0] / length, z = astar[2] / length;
        u[0][0] = x * std::cos(t) + z * std::sin(t), u[0][1] = 0, u[0][2] = -x * std::sin(t) + z * std::cos(t);
        u[1][0] = 0, u[1][1] = 1, u[1][2] = 0;
        u[2][0] = u[0][1] * u[1][2] - u[0][2] * u[1][1];
        u[2][1] = u[0][2] * u[1][0] - u[0][0] * u[1][2];
        u[2][2] = u[0][0] * u[1][1] - u[0][1] * u[1][0];
    }
};

inline std::string xds(const Model& m) {
    const bool merged = m.multiplicity == 0;
    char line[200];
    std::string text = std::string("!FORMAT=XDS_ASCII    MERGE=") + (merged ? "TRUE" : "FALSE") +
                       "    FRIEDEL'S_LAW=TRUE\n";
    std::snprintf(line, sizeof line, "!SPACE_GROUP_NUMBER=%5d\n!UNIT_CELL_CONSTANTS=%10.3f%10.3f%10.3f%8.3f%8.3f%8.3f\n",
                  m.spaceGroup, m.cell.a, m.cell.b, m.cell.c, m.cell.alpha, m.cell.beta, m.cell.gamma);
    text += line;
    text += "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n";
    const gemmi::SpaceGroup& group = gemmi::get_spacegroup_by_number(m.spaceGroup);
    const gemmi::GroupOps ops = group.operations();
    const gemmi::ReciprocalAsu asu(&group);
    const ovofit::Frame frame = ovofit::makeFrame(m.cell);
    double u[3][3];
    m.axes(u);
    std::mt19937_64 random(m.seed);
    std::exponential_distribution<double> wilson(1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<size_t> anyOp(0, ops.sym_ops.size() - 1);
    const int most = static_cast<int>(std::max({m.cell.a, m.cell.b, m.cell.c}) / m.dHigh) + 1;
    auto measure = [&](const double s[3], const double (&limits)[3]) {
        double e = 0;
        for (int i = 0; i < 3; ++i) e += std::pow((u[i][0] * s[0] + u[i][1] * s[1] + u[i][2] * s[2]) * limits[i], 2);
        return e;
    };
    for (int h = -most; h <= most; ++h) {
        for (int k = -most; k <= most; ++k) {
            for (int l = -most; l <= most; ++l) {
                if (!asu.is_in({{h, k, l}}) || ops.is_systematically_absent({{h, k, l}})) continue;
                double s[3];
                frame.coordinates(h, k, l, s);
                const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
                if (s2 * m.dHigh * m.dHigh > 1 || s2 * m.dLow * m.dLow < 1) continue;
                if (m.kept < 1 && std::uniform_real_distribution<double>(0, 1)(random) >= m.kept) continue;
                if (merged) {
                    const double e = measure(s, m.limits);
                    const double signal = m.threshold * std::exp(m.steepness * (1 - e));
                    const double mean = 1000 * std::exp(-2 * e);
                    const double sigma = mean / signal;
                    std::snprintf(line, sizeof line, "%6d%6d%6d%11.3E%11.3E\n", h, k, l,
                                  mean * wilson(random) + sigma * normal(random), sigma);
                    text += line;
                    continue;
                }
                const double r = 3.0 / 7.0 * std::exp(m.steepness * (1 - measure(s, m.ccLimits)));
                const double mean = 1000, truth = mean * wilson(random);
                const double sigma = mean * std::sqrt(m.multiplicity / (2 * r));
                for (int n = 0; n < m.multiplicity; ++n) {
                    // Each observation under an operation of the group, or its Friedel mate.
                    const gemmi::Op::Miller mate = ops.sym_ops[anyOp(random)].apply_to_hkl({{h, k, l}});
                    const int sense = random() % 2 ? 1 : -1;
                    std::snprintf(line, sizeof line, "%6d%6d%6d%11.3E%11.3E\n", sense * mate[0], sense * mate[1],
                                  sense * mate[2], truth + sigma * normal(random), sigma);
                    text += line;
                }
            }
        }
    }
    return text + "!END_OF_DATA\n";
}

}  // namespace known_limits
