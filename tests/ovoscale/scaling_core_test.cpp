// The numerical core of the anisotropic scaling, as small tables: the
// protein curve at known points (the correction as cctbx evaluates it), the
// likelihood's derivatives against finite differences, the error model's
// fit of known coefficients, and the tensors a Laue class allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "common/protein_reference.hpp"
#include "ovoscale/scaling.hpp"

namespace {

// gamma of the protein correction at d (A), evaluated by cctbx 2022
// (mmtbx.scaling.absolute_scaling.gamma_protein), and held at its ends.
TEST(ScalingCore, ProteinCorrectionAtKnownPoints) {
    const struct {
        double d, gamma;
    } points[] = {{20, -0.3567959177228194}, {10, -0.34629582818283594}, {7, -0.6378335516191114},
                  {5, -0.23436159600776624}, {4.2, 0.19397858834664922}, {3.5, 0.18407857272973482},
                  {2.7, -0.24600137669045108}, {2.0, -0.05867946992325106}, {1.7, -0.2973549221725977},
                  {1.5, -0.24328411713708598}, {1.0, 0.1553964881557764}, {0.6, 0.1553964881557764}};
    for (const auto& p : points) {
        const double s2 = 1 / (p.d * p.d);
        EXPECT_NEAR(common::protein_reference::proteinCorrection(s2), p.gamma, 1e-12) << p.d;
        EXPECT_NEAR(common::protein_reference::meanIntensity(s2),
                    common::protein_reference::randomAtomIntensity(s2) * (1 + p.gamma), 1e-9) << p.d;
    }
    // The random-atom sum at s = 0 is the sum of Z^2 of the residue:
    // 5*36 + 8*1 + 1.35*49 + 1.5*64 + 0.04*256 = 360.39 (form factors to 0.3 %).
    EXPECT_NEAR(common::protein_reference::randomAtomIntensity(0), 360.39, 0.01 * 360.39);
}

// The first and second derivatives in eta of one measurement's
// log-likelihood against central differences of the value (and of the
// first derivative), over weak, negative, strong, centric and amplitude
// measurements.
TEST(ScalingCore, LikelihoodDerivativesMatchFiniteDifferences) {
    const ovoscale::PosteriorTable table;
    const struct {
        double value, sigma;
        bool centric, amplitude;
        double eta;
    } cases[] = {
        {120, 10, false, false, std::log(100.0)},  {-15, 10, false, false, std::log(20.0)},
        {3, 10, false, false, std::log(5.0)},      {5000, 30, false, false, std::log(800.0)},
        {40, 10, true, false, std::log(60.0)},     {-8, 10, true, false, std::log(10.0)},
        {2e5, 400, false, false, std::log(1e5)},   {0.5, 1, false, false, std::log(0.01)},
        {12, 2, false, true, std::log(100.0)},     {3, 2, true, true, std::log(30.0)},
        {30, 1, false, true, std::log(2000.0)},
    };
    for (const auto& c : cases) {
        ovoscale::Measurement m{};
        m.value = c.value, m.sigma = c.sigma, m.centric = c.centric, m.epsilon = 1;
        const double h = 1e-4;
        const auto at = ovoscale::measurementTerms(table, m, c.amplitude, c.eta);
        const auto up = ovoscale::measurementTerms(table, m, c.amplitude, c.eta + h);
        const auto down = ovoscale::measurementTerms(table, m, c.amplitude, c.eta - h);
        const double first = (up[0] - down[0]) / (2 * h), second = (up[1] - down[1]) / (2 * h);
        EXPECT_NEAR(at[1], first, 1e-5 * std::max(1.0, std::fabs(first))) << c.value << " " << c.eta;
        EXPECT_NEAR(at[2], second, 1e-4 * std::max(1.0, std::fabs(second))) << c.value << " " << c.eta;
    }
}

// Bins of exact a + b S + c S^2 give back the coefficients; negative ones
// are never fitted.
TEST(ScalingCore, ErrorModelRecoversKnownCoefficients) {
    const struct {
        double a, b, c;
    } models[] = {{100, 0, 0}, {100, 2, 0}, {10, 0.5, 1e-3}, {0, 1, 0}, {50, 0, 4e-4}};
    for (const auto& truth : models) {
        ovoscale::ErrorModelFit fit;
        for (double s = 0.1; s < 1e5; s *= 1.01) fit.add(s, truth.a + truth.b * s + truth.c * s * s);
        const ovoscale::ErrorModel got = fit.finish();
        for (const double s : {1.0, 100.0, 1e4}) {
            const double want = truth.a + truth.b * s + truth.c * s * s;
            EXPECT_NEAR(got.at(s), want, 0.02 * want) << truth.a << " " << truth.b << " " << truth.c << " at " << s;
        }
        EXPECT_GE(got.a, 0);
        EXPECT_GE(got.b, 0);
        EXPECT_GE(got.c, 0);
    }
    // Variances falling with S (not a counting model) give a constant, not a
    // negative slope.
    ovoscale::ErrorModelFit falling;
    for (double s = 1; s < 1e4; s *= 1.05) falling.add(s, 1000 / std::sqrt(s) + 1);
    const ovoscale::ErrorModel got = falling.finish();
    EXPECT_GE(got.b, 0);
    EXPECT_GE(got.c, 0);
}

}  // namespace

namespace {

// Noise-free measurements at the given reciprocal vectors from a known B.
class Points : public ovoscale::MeasurementSource {
public:
    Points(const std::vector<std::array<double, 3>>& s, const ovoscale::Sym6& b) {
        for (const auto& v : s) {
            ovoscale::Measurement m{};
            m.s[0] = v[0], m.s[1] = v[1], m.s[2] = v[2];
            const double s2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
            m.value = 1000 * common::protein_reference::meanIntensity(s2) *
                      std::exp(-ovoscale::quadratic(b, ovoscale::monomials(m.s)) / 2);
            m.sigma = 1e-3 * m.value;
            m.epsilon = 1;
            points_.push_back(m);
        }
    }
    void forEach(const std::function<void(const ovoscale::Measurement&)>& use) const override {
        for (const auto& m : points_) use(m);
    }

private:
    std::vector<ovoscale::Measurement> points_;
};

// The six tensors of unit norm of a triclinic B.
std::vector<ovoscale::Sym6> triclinicBasis() {
    const double r = 1 / std::sqrt(2.0);
    return {{1, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0},
            {0, 0, 0, r, 0, 0}, {0, 0, 0, 0, r, 0}, {0, 0, 0, 0, 0, r}};
}

}  // namespace

// What the data leave open, from the points alone: a plane (the z
// component missing: B's zz held at the mean of xx and yy, xz and yz at
// zero, the rest exact), a line along x (y and z missing), and one shell
// (the isotropic B at zero, the anisotropic part exact).
TEST(ScalingCore, UndeterminedTermsAreNamedAndHeld) {
    std::vector<std::array<double, 3>> plane, line, shell;
    for (int h = -12; h <= 12; ++h)
        for (int k = -12; k <= 12; ++k)
            if (h * h + k * k >= 4) plane.push_back({h / 25.0, k / 25.0, 0.0});
    for (int h = 3; h <= 40; ++h) line.push_back({h / 80.0, 0.0, 0.0});
    for (int i = 0; i < 2000; ++i) {  // Fibonacci points on the sphere of radius 0.4
        const double z = 1 - (2 * i + 1) / 2000.0, phi = i * M_PI * (3 - std::sqrt(5.0));
        const double rho = std::sqrt(1 - z * z);
        shell.push_back({0.4 * rho * std::cos(phi), 0.4 * rho * std::sin(phi), 0.4 * z});
    }
    const ovoscale::Sym6 truth = {50, 30, 40, 5, 3, -4};
    const ovoscale::PosteriorTable table;
    const struct {
        const char* name;
        const std::vector<std::array<double, 3>>* points;
        size_t missing;
        bool isotropicHeld;
        ovoscale::Sym6 expected;
    } cases[] = {
        {"plane z = 0", &plane, 1, false, {50, 30, 40, 5, 0, 0}},
        {"line along x", &line, 2, false, {50, 50, 50, 0, 0, 0}},
        {"one shell", &shell, 0, true, {10, -10, 0, 5, 3, -4}},
    };
    for (const auto& c : cases) {
        const Points source(*c.points, truth);
        const ovoscale::ScalingFit fit = ovoscale::fitScaling(source, false, triclinicBasis(), table);
        EXPECT_TRUE(fit.converged) << c.name;
        EXPECT_EQ(fit.missingDirections.size(), c.missing) << c.name;
        EXPECT_EQ(fit.isotropicHeld, c.isotropicHeld) << c.name;
        EXPECT_GT(fit.heldTerms, 0) << c.name;
        for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(fit.b[i], c.expected[i], 0.05) << c.name << " term " << i;
    }
}

// The prior's tensor: noise-free intensities of a known B on the curve times
// an isotropic shape of the data's own, cut by an ellipsoid (2, 2.5 and
// 3.3 A along x, y, z), so that each direction spans its own resolution
// range and the shape leaks into the fit's anisotropic part; refined
// against the curve times that shape, B comes back.
TEST(ScalingCore, RefinedAgainstTheDataShapeGivesBackTheTensor) {
    const ovoscale::Sym6 truth = {45, 30, 15, 0, 0, 0};
    const struct {
        const char* name;
        double (*logShape)(double s2);
        double leak;  // the least error of a term of the fit itself
    } cases[] = {
        {"none", [](double) { return 0.0; }, 0},
        {"scale 1.3", [](double) { return std::log(1.3); }, 0},
        {"+20 % at 4.5 A, -8 % at 3 A", [](double s2) {
             const double d = 1 / std::sqrt(s2);
             return std::log(1 + 0.2 * std::exp(-std::pow((d - 4.5) / 0.6, 2)) - 0.08 * std::exp(-std::pow((d - 3.0) / 0.4, 2)));
         }, 0.5},
        {"falling 25 % over the range", [](double s2) { return -0.25 * (s2 - 0.04) / 0.21 + 0.3 * (s2 - 0.04) * (s2 - 0.04) / 0.0441; }, 0.1},
    };
    const std::vector<ovoscale::Sym6> basis = {{1, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0}};
    const ovoscale::PosteriorTable table;
    for (const auto& c : cases) {
        std::vector<ovoscale::Measurement> points;
        for (int h = -25; h <= 25; ++h)
            for (int k = -25; k <= 25; ++k)
                for (int l = -25; l <= 25; ++l) {
                    ovoscale::Measurement m{};
                    m.s[0] = h / 50.0, m.s[1] = k / 50.0, m.s[2] = l / 50.0;
                    const double s2 = m.s[0] * m.s[0] + m.s[1] * m.s[1] + m.s[2] * m.s[2];
                    if (s2 < 0.04 || m.s[0] * m.s[0] / 0.25 + m.s[1] * m.s[1] / 0.16 + m.s[2] * m.s[2] / 0.09 > 1) continue;
                    m.value = 1000 * common::protein_reference::meanIntensity(s2) * std::exp(c.logShape(s2)) *
                              std::exp(-ovoscale::quadratic(truth, ovoscale::monomials(m.s)) / 2);
                    m.sigma = 1e-3 * m.value;
                    m.epsilon = 1;
                    points.push_back(m);
                }
        struct Source : ovoscale::MeasurementSource {
            const std::vector<ovoscale::Measurement>* rows;
            void forEach(const std::function<void(const ovoscale::Measurement&)>& use) const override {
                for (const auto& m : *rows) use(m);
            }
        } source;
        source.rows = &points;
        const ovoscale::ScalingFit fit = ovoscale::fitScaling(source, false, basis, table);
        ASSERT_TRUE(fit.converged) << c.name;
        double worst = 0;
        for (size_t i = 0; i < 3; ++i) worst = std::max(worst, std::fabs((fit.b[i] - (fit.b[0] + fit.b[1] + fit.b[2]) / 3) - (truth[i] - 30)));
        std::printf("[ ovoscale ] %s: the fit's anisotropic part off by up to %.3f A^2\n", c.name, worst);
        EXPECT_GE(worst, c.leak) << c.name << ": the shape no longer leaks; the case tests nothing";
        const ovoscale::ScalingFit refined = ovoscale::refineScaling(source, basis, table, fit, c.logShape);
        ASSERT_TRUE(refined.converged) << c.name;
        for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(refined.b[i], truth[i], 0.02) << c.name << " term " << i;
        EXPECT_NEAR(refined.logScale, std::log(1000.0), 1e-3) << c.name;
    }
}
