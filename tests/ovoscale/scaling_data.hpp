// Merged XDS_ASCII data drawn from a known anisotropic falloff: the mean
// intensity of a reflection is
//
//     k epsilon R(s^2) exp(-s^T B s / 2),  B = Biso I + Baniso,
//
// R the protein reference curve, s in the orthonormal frame (x along a, y
// in the a-b plane, z along c*), here taken from gemmi's fractionalisation
// matrix. The true intensity J is drawn from Wilson's distribution
// (exponential for acentric reflections, chi-square of one degree for
// centric ones), or is the mean itself when `noiseFree`; the measurement
// is J plus a Gaussian error of one sigma for all reflections, chosen so
// that the mean I/sigma over all reflections is `meanSignal`.
#pragma once

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

#include "common/protein_reference.hpp"

namespace scaling_data {

using Tensor = std::array<std::array<double, 3>, 3>;

struct Model {
    int spaceGroup = 16;  // P222
    double cell[6] = {50, 60, 70, 90, 90, 90};
    double dLow = 40, dHigh = 2.0;
    double scale = 1000;   // k
    double bIso = 40;
    Tensor bAniso{};       // in the orthonormal frame, trace 0
    bool noiseFree = false;
    double meanSignal = 5;  // mean I/sigma(I) over all reflections
    unsigned seed = 7;
};

struct Truth {
    int h, k, l;
    double s2;
    double trueF;  // sqrt(J)
    double intensity, sigma;
    bool centric;
};

// s of h, k, l in the orthonormal frame.
inline std::array<double, 3> reciprocalVector(const gemmi::UnitCell& cell, int h, int k, int l) {
    const gemmi::Mat33& f = cell.frac.mat;  // x_frac = F x_cart, so s_cart = F^T h
    return {f.a[0][0] * h + f.a[1][0] * k + f.a[2][0] * l, f.a[0][1] * h + f.a[1][1] * k + f.a[2][1] * l,
            f.a[0][2] * h + f.a[1][2] * k + f.a[2][2] * l};
}

inline double quadraticForm(const Tensor& b, const std::array<double, 3>& s) {
    double sum = 0;
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j) sum += s[i] * b[i][j] * s[j];
    return sum;
}

// The unique reflections (gemmi's asymmetric unit) with their truth.
inline std::vector<Truth> draw(const Model& m) {
    const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_number(m.spaceGroup);
    const gemmi::GroupOps ops = group->operations();
    const gemmi::ReciprocalAsu asu(group);
    const gemmi::UnitCell cell(m.cell[0], m.cell[1], m.cell[2], m.cell[3], m.cell[4], m.cell[5]);
    std::mt19937_64 random(m.seed);
    std::normal_distribution<double> normal(0, 1);
    std::vector<Truth> rows;
    std::vector<double> means;
    const int hMax = static_cast<int>(m.cell[0] / m.dHigh) + 1, kMax = static_cast<int>(m.cell[1] / m.dHigh) + 1,
              lMax = static_cast<int>(m.cell[2] / m.dHigh) + 1;
    for (int h = -hMax; h <= hMax; ++h) {
        for (int k = -kMax; k <= kMax; ++k) {
            for (int l = -lMax; l <= lMax; ++l) {
                const gemmi::Op::Miller hkl{{h, k, l}};
                if (!asu.is_in(hkl) || ops.is_systematically_absent(hkl)) continue;
                const std::array<double, 3> s = reciprocalVector(cell, h, k, l);
                const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
                if (s2 * m.dHigh * m.dHigh > 1 || s2 * m.dLow * m.dLow < 1) continue;
                const bool centric = ops.is_reflection_centric(hkl);
                const double mean = m.scale * ops.epsilon_factor(hkl) * common::protein_reference::meanIntensity(s2) *
                                    std::exp(-(m.bIso * s2 + quadraticForm(m.bAniso, s)) / 2);
                double j = mean;
                if (!m.noiseFree) {
                    if (centric) {
                        const double g = normal(random);
                        j = mean * g * g;
                    } else {
                        const double x = normal(random), y = normal(random);
                        j = mean * (x * x + y * y) / 2;
                    }
                }
                rows.push_back({h, k, l, s2, std::sqrt(j), j, 0, centric});
                means.push_back(mean);
            }
        }
    }
    // One sigma for all: the mean of mean/sigma is meanSignal.
    double sum = 0;
    for (const double mean : means) sum += mean;
    const double sigma = m.noiseFree ? 0 : sum / static_cast<double>(means.size()) / m.meanSignal;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (m.noiseFree) {
            rows[i].sigma = rows[i].intensity * 1e-3;
        } else {
            rows[i].sigma = sigma;
            rows[i].intensity += sigma * normal(random);
        }
    }
    return rows;
}

inline std::string xds(const Model& m, const std::vector<Truth>& rows) {
    std::string text = "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n!Generated with a known anisotropy\n";
    char line[200];
    std::snprintf(line, sizeof line, "!SPACE_GROUP_NUMBER=%5d\n", m.spaceGroup);
    text += line;
    std::snprintf(line, sizeof line, "!UNIT_CELL_CONSTANTS=%10.3f%10.3f%10.3f%8.3f%8.3f%8.3f\n", m.cell[0], m.cell[1],
                  m.cell[2], m.cell[3], m.cell[4], m.cell[5]);
    text += line;
    text += "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n";
    for (const Truth& r : rows) {
        std::snprintf(line, sizeof line, "%6d%6d%6d%11.3E%11.3E\n", r.h, r.k, r.l, r.intensity, r.sigma);
        text += line;
    }
    return text + "!END_OF_DATA\n";
}

}  // namespace scaling_data
