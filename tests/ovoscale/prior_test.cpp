// French and Wilson's anisotropic prior against generated truth
// (tests/model/anisotropic_data.py: a protein-like curve that is not the
// one ovoscale fits with, a known tensor, sigma(I) from the true intensity,
// from the measured one, or constant): the mean amplitude along each
// principal direction in the outer shells and of the reflections measured
// below zero is the mean true amplitude; and the prior's shells as a table.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gemmi/mtz.hpp>

#include "ovoscale/prior.hpp"
#include "scaling_data.hpp"
#include "testsupport.hpp"

namespace {

struct Axis {
    double value;
    std::array<double, 3> u;
};

struct Reflection {
    double s2, cosines[3];
    double trueF, f, intensity;
};

// Along each principal axis: the reflections within 35 degrees of it.
constexpr double kCone = 0.8191520443;  // cos 35 degrees

TEST(FrenchWilson, AnisotropicPriorGivesTheTrueMeanAmplitudeAlongEachAxis) {
    // Where sigma(I) moves with the intensity the posterior takes an error
    // that follows the true intensity (posterior.hpp), held for sigma from
    // the measured and from the true intensity alike. Taken as exact, the
    // sigma read gave -5 to -21 % below zero and down to -7 % in the outer
    // shells.
    const struct {
        const char* shape;
        const char* noise;
    } cases[] = {{"orthorhombic", "constant"}, {"monoclinic", "constant"}, {"monoclinic", "true"}, {"monoclinic", "observed"}};
    for (const auto& c : cases) {
        const std::string what = std::string(c.shape) + ", sigma " + c.noise;
        testsupport::ScratchDir dir;
        const std::string generate = std::string("/usr/bin/python3 ") + SUITE_SOURCE_DIR +
                                     "/tests/model/anisotropic_data.py " + c.shape + " " + c.noise + " 5 11 " +
                                     (dir / "d.hkl").string() + " " + (dir / "truth.txt").string();
        ASSERT_EQ(std::system(generate.c_str()), 0) << generate;
        const testsupport::RunResult result =
            testsupport::run(testsupport::program("ovoscale"), "d.hkl\nout.mtz\nout.log\n", dir.path());
        ASSERT_EQ(result.status, 0) << what << result.err;
        const std::string logText = testsupport::readFile(dir / "out.log");
        EXPECT_NE(logText.find("French and Wilson prior: anisotropic"), std::string::npos);
        EXPECT_NE(logText.find(std::string(c.noise) == "constant" ? "(the error model is constant)"
                                                                  : "Gaussian error whose variance follows the true intensity"),
                  std::string::npos)
            << what;

        std::ifstream truthFile(dir / "truth.txt");
        std::vector<Axis> axes;
        std::map<std::array<int, 3>, double> trueF;
        std::string line;
        while (std::getline(truthFile, line)) {
            std::istringstream in(line);
            if (line.rfind("axis", 0) == 0) {
                std::string word;
                Axis a;
                in >> word >> a.value >> a.u[0] >> a.u[1] >> a.u[2];
                axes.push_back(a);
            } else {
                int h, k, l;
                double f;
                if (in >> h >> k >> l >> f) trueF[{h, k, l}] = f;
            }
        }
        ASSERT_EQ(axes.size(), 3u);
        std::map<std::array<int, 3>, double> measured;
        {
            std::ifstream hkl(dir / "d.hkl");
            while (std::getline(hkl, line)) {
                if (line.empty() || line[0] == '!') continue;
                std::istringstream in(line);
                int h, k, l;
                double i, sigma;
                if (in >> h >> k >> l >> i >> sigma) measured[{h, k, l}] = i;
            }
        }
        const gemmi::Mtz mtz = gemmi::read_mtz_file((dir / "out.mtz").string());
        std::vector<Reflection> rows;
        for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); ++r) {
            const float* row = &mtz.data[r * mtz.columns.size()];
            const std::array<int, 3> hkl = {static_cast<int>(row[0]), static_cast<int>(row[1]), static_cast<int>(row[2])};
            if (std::isnan(row[3])) continue;
            const auto s = scaling_data::reciprocalVector(mtz.cell, hkl[0], hkl[1], hkl[2]);
            Reflection x;
            x.s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
            for (size_t a = 0; a < 3; ++a)
                x.cosines[a] = std::fabs(s[0] * axes[a].u[0] + s[1] * axes[a].u[1] + s[2] * axes[a].u[2]) / std::sqrt(x.s2);
            x.trueF = trueF.at(hkl);
            x.f = row[3];
            x.intensity = measured.at(hkl);
            rows.push_back(x);
        }
        ASSERT_GT(rows.size(), 100000u) << what;
        for (size_t a = 0; a < 3; ++a) {
            std::vector<const Reflection*> cone;
            for (const Reflection& x : rows)
                if (x.cosines[a] > kCone) cone.push_back(&x);
            std::sort(cone.begin(), cone.end(), [](const Reflection* x, const Reflection* y) { return x->s2 < y->s2; });
            // Ten shells of equal count; the outer three, each and together,
            // and I < 0. A shell of the weak axis holds 2000 reflections
            // that are mostly noise, and a tenth of an A^2 of the fitted
            // tensor moves their prior: each within 5 %, together within 3 %
            // (seeds 11-13: each -4.4 % to +1.8 %, together within 2 %).
            // bench/french_wilson_shells.py draws these cases with 4 times
            // the reflections: there every single shell is within 3 %.
            constexpr size_t kShells = 10;
            std::string report;
            double outerF = 0, outerTrue = 0;
            for (size_t shell = kShells - 3; shell < kShells; ++shell) {
                double fSum = 0, trueSum = 0;
                for (size_t i = cone.size() * shell / kShells; i < cone.size() * (shell + 1) / kShells; ++i)
                    fSum += cone[i]->f, trueSum += cone[i]->trueF;
                EXPECT_NEAR(fSum / trueSum, 1, 0.05) << what << ", axis " << axes[a].value << ", shell " << shell;
                outerF += fSum, outerTrue += trueSum;
                char text[64];
                std::snprintf(text, sizeof text, " shell %zu %+.1f%%", shell + 1, 100 * (fSum / trueSum - 1));
                report += text;
            }
            EXPECT_NEAR(outerF / outerTrue, 1, 0.03) << what << ", axis " << axes[a].value << ", outer shells";
            double fSum = 0, trueSum = 0;
            size_t negative = 0;
            for (const Reflection* x : cone)
                if (x->intensity < 0) fSum += x->f, trueSum += x->trueF, ++negative;
            ASSERT_GT(negative, 250u) << what << ", axis " << axes[a].value;
            EXPECT_NEAR(fSum / trueSum, 1, 0.03) << what << ", axis " << axes[a].value << ", I < 0";
            std::printf("[ ovoscale ] %s, along the %+.0f axis (%zu reflections):%s (together %+.1f%%); I < 0 (%zu) %+.1f%%\n",
                        what.c_str(), axes[a].value, cone.size(), report.c_str(), 100 * (outerF / outerTrue - 1), negative,
                        100 * (fSum / trueSum - 1));
        }
    }
}

// The shells: how many the data allow, and the correction they give back
// where the data are a known multiple of the expectation, smooth or bent.
TEST(FrenchWilson, PriorShellsFollowTheDataAroundTheExpectation) {
    const struct {
        int64_t count;
        int shells;
    } counts[] = {{1, 1}, {60, 1}, {120, 2}, {499, 9}, {500, 10}, {1999, 10}, {2000, 10}, {4000, 20}, {10000, 50},
                  {1000000, 50}};
    for (const auto& c : counts) EXPECT_EQ(ovoscale::ReflectionPrior::shellCount(c.count), c.shells) << c.count;

    // I/E = c(s^2) exactly: a constant, a straight line in ln c (kept
    // exactly by the local line), and noise shells that take a tenth of
    // sigma.
    const struct {
        const char* what;
        double (*correction)(double s2);
        double tolerance;
    } shapes[] = {
        {"constant 1.3", [](double) { return 1.3; }, 1e-12},
        {"exp(2 s^2)", [](double s2) { return std::exp(2 * s2); }, 1e-3},
        {"bump", [](double s2) { return 1 + 0.2 * std::exp(-std::pow((s2 - 0.1) / 0.04, 2)); }, 0.03},
    };
    for (const auto& shape : shapes) {
        const int64_t n = 20000;
        ovoscale::ReflectionPrior prior(0.0004, 0.25, n);
        for (int64_t i = 0; i < n; ++i) {
            // s^3 uniform: equal reciprocal volume.
            const double cube = 0.000008 + (0.125 - 0.000008) * (static_cast<double>(i) + 0.5) / static_cast<double>(n);
            const double s2 = std::pow(cube, 2.0 / 3.0);
            const double expected = 100 * std::exp(-10 * s2);
            prior.add(s2, expected * shape.correction(s2), 1, expected);
        }
        prior.finish();
        EXPECT_EQ(prior.shells(), 50);
        for (const double s2 : {0.02, 0.05, 0.1, 0.2}) {
            EXPECT_NEAR(prior.correctionAt(s2) / shape.correction(s2), 1, shape.tolerance) << shape.what << " at " << s2;
            EXPECT_NEAR(prior.meanAt(s2, 7.0), 7.0 * prior.correctionAt(s2), 1e-12);
        }
    }
    // A shell of noise: mean I below a tenth of mean sigma takes the tenth.
    ovoscale::ReflectionPrior noise(0.01, 0.02, 10);
    for (int i = 0; i < 10; ++i) noise.add(0.015, i % 2 ? -1.0 : 0.5, 4.0, 2.0);
    noise.finish();
    EXPECT_NEAR(noise.correctionAt(0.015), 0.4 / 2.0, 1e-12);
}

}  // namespace
