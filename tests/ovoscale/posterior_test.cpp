// The posterior's moments against the independent model at 40 digits
// (tests/model/french_wilson_model.py --moments), over mu from -40 to 1e8:
// what ovoscale reads (the table inside, the series outside), each series
// on both sides of its seam (-32, 64), and the quadrature beyond the table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "french_wilson_model.hpp"
#include "ovoscale/posterior.hpp"

namespace {

struct Truth {
    std::string prior;
    double mu;
    ovoscale::Moments m;
};

std::vector<Truth> modelMoments() {
    const french_wilson_model::Pipe pipe = french_wilson_model::lines("--moments");
    std::vector<Truth> rows;
    if (!pipe) return rows;
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream in(line);
        Truth t;
        if (in >> t.prior >> t.mu >> t.m.logNorm >> t.m.meanRoot >> t.m.mean >> t.m.varRoot >> t.m.var) rows.push_back(t);
    }
    return rows;
}

// The largest relative difference of the four moments, and the absolute
// one of the log of the normalising integral.
double worstDifference(const ovoscale::Moments& got, const ovoscale::Moments& want) {
    double worst = std::fabs(got.logNorm - want.logNorm);
    for (const auto field : {&ovoscale::Moments::meanRoot, &ovoscale::Moments::mean, &ovoscale::Moments::varRoot,
                             &ovoscale::Moments::var}) {
        worst = std::max(worst, std::fabs(got.*field / (want.*field) - 1));
    }
    return worst;
}

TEST(Posterior, MomentsEqualAnIndependentIntegrationFromMinus40To1e8) {
    const std::vector<Truth> rows = modelMoments();
    ASSERT_GE(rows.size(), 40u) << "the model gave no moments (is python3-mpmath installed?)";
    const ovoscale::PosteriorTable table;
    struct Way {
        const char* name;
        double low, high;  // the mu where it is expected to hold
        double tolerance;
        ovoscale::Moments (*at)(const ovoscale::PosteriorTable&, ovoscale::Prior, double);
    };
    const Way ways[] = {
        {"what ovoscale reads", -1e300, 1e300, 2e-8,
         [](const ovoscale::PosteriorTable& t, ovoscale::Prior p, double mu) { return t.at(p, mu); }},
        {"the Gaussian series", 63, 1e300, 1e-12,
         [](const ovoscale::PosteriorTable&, ovoscale::Prior p, double mu) { return ovoscale::asymptoticMoments(p, mu); }},
        {"the exponential series", -1e300, -31, 1e-12,
         [](const ovoscale::PosteriorTable&, ovoscale::Prior p, double mu) { return ovoscale::asymptoticMoments(p, mu); }},
        {"the quadrature", -40, 80, 1e-12,
         [](const ovoscale::PosteriorTable&, ovoscale::Prior p, double mu) { return ovoscale::integrateMoments(p, mu); }},
    };
    for (const Way& way : ways) {
        double worst = 0;
        int compared = 0;
        for (const Truth& t : rows) {
            if (t.mu < way.low || t.mu > way.high) continue;
            const ovoscale::Prior prior = t.prior == "centric" ? ovoscale::Prior::centric : ovoscale::Prior::acentric;
            const ovoscale::Moments got = way.at(table, prior, t.mu);
            const double difference = worstDifference(got, t.m);
            EXPECT_LE(difference, way.tolerance) << way.name << ", " << t.prior << " mu " << t.mu;
            EXPECT_GT(got.varRoot, 0) << way.name << ", " << t.prior << " mu " << t.mu;
            worst = std::max(worst, difference);
            ++compared;
        }
        EXPECT_GE(compared, 8) << way.name;
        std::printf("[ ovoscale ] %s: %d moments, largest relative difference %.1e\n", way.name, compared, worst);
    }
}

// French and Wilson's sigma of a very strong reflection: F = sqrt(I) and
// sigma(F) = sigma(I) / (2 sqrt(I)) to first order, never 0.
TEST(Posterior, StrongReflectionKeepsItsSigma) {
    const ovoscale::PosteriorTable table;
    for (const double signal : {1e2, 1e4, 1e6, 1e8, 1e10}) {
        for (const ovoscale::Prior prior : {ovoscale::Prior::acentric, ovoscale::Prior::centric}) {
            const double sigma = 3;
            const ovoscale::Amplitude a = ovoscale::frenchWilson(table, prior, signal * sigma, sigma, 1e3 * signal * sigma);
            const double f = std::sqrt(signal * sigma);
            EXPECT_NEAR(a.f / f, 1, 1.0 / signal) << signal;
            EXPECT_NEAR(a.sigma / (sigma / (2 * f)), 1, 2.0 / signal) << signal;
        }
    }
}

}  // namespace

// French and Wilson's amplitudes with an error that follows the intensity,
// against the independent model (french_wilson_model.py --varying): the
// quadrature everywhere; what ovoscale writes, the quadrature below I/sigma
// 4, the sigma read from 8 on (within 1 % of the model where the prior and
// the error model let such a measurement happen) and no step at either
// end of the blend. A constant error gives the table's amplitude.
TEST(Posterior, VaryingErrorEqualsAnIndependentIntegration) {
    const french_wilson_model::Pipe pipe = french_wilson_model::lines("--varying");
    ASSERT_TRUE(pipe);
    const ovoscale::PosteriorTable table;
    char line[512];
    int compared = 0;
    double worst = 0, worstSwitch = 0;
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream in(line);
        std::string name;
        double intensity, sigma, mean, f, sd;
        // The model's sigma^2 + b (J - I) + c (J^2 - I^2).
        ovoscale::ErrorVariance error;
        if (!(in >> name >> intensity >> sigma >> mean >> error.b >> error.c >> f >> sd)) continue;
        error.a = sigma * sigma - error.b * intensity - error.c * intensity * intensity;
        const ovoscale::Prior prior = name == "centric" ? ovoscale::Prior::centric : ovoscale::Prior::acentric;
        const std::string what = name + " I " + std::to_string(intensity) + " S " + std::to_string(mean) + " b " +
                                 std::to_string(error.b) + " c " + std::to_string(error.c);
        const ovoscale::Amplitude a = ovoscale::varyingPosterior(prior, intensity, sigma, mean, error);
        EXPECT_NEAR(a.f / f, 1, 1e-6) << what;
        EXPECT_NEAR(a.sigma / sd, 1, 1e-5) << what;
        worst = std::max({worst, std::fabs(a.f / f - 1), std::fabs(a.sigma / sd - 1)});

        const ovoscale::Amplitude used = ovoscale::frenchWilson(table, prior, intensity, sigma, mean, error);
        const ovoscale::Amplitude read = ovoscale::frenchWilson(table, prior, intensity, sigma, mean);
        const double signal = intensity / sigma;
        // Possible: a mean intensity of a tenth of sigma does not give
        // I/sigma 8, nor does a variance that grows by more than sigma^2
        // from J = 0 to I.
        const bool possible = mean >= intensity && error.b * intensity + error.c * intensity * intensity <= sigma * sigma;
        if (signal < ovoscale::kVaryingFrom) {
            EXPECT_EQ(used.f, a.f) << what;
        } else if (signal >= ovoscale::kVaryingUpTo) {
            EXPECT_EQ(used.f, read.f) << what;
            if (possible) {
                EXPECT_NEAR(used.f / f, 1, 0.01) << what;
                worstSwitch = std::max(worstSwitch, std::fabs(used.f / f - 1));
            }
        }
        EXPECT_NEAR(ovoscale::varyingPosterior(prior, intensity, sigma, mean, {sigma * sigma, 0, 0}).f / read.f, 1, 1e-6)
            << what;
        EXPECT_EQ(ovoscale::frenchWilson(table, prior, intensity, sigma, mean, {}).f, read.f) << what;

        // Either end of the blend, approached from both sides.
        for (const double end : {ovoscale::kVaryingFrom, ovoscale::kVaryingUpTo}) {
            const ovoscale::Amplitude below = ovoscale::frenchWilson(table, prior, end * sigma * (1 - 1e-12), sigma, mean, error);
            const ovoscale::Amplitude above = ovoscale::frenchWilson(table, prior, end * sigma * (1 + 1e-12), sigma, mean, error);
            EXPECT_NEAR(below.f / above.f, 1, 1e-8) << what << " at I/sigma " << end;
            EXPECT_NEAR(below.sigma / above.sigma, 1, 1e-7) << what << " at I/sigma " << end;
        }
        ++compared;
    }
    EXPECT_GE(compared, 200) << "the model gave no amplitudes";
    std::printf("[ ovoscale ] varying error: %d amplitudes, largest relative difference %.1e; from I/sigma 8 on %.1e\n",
                compared, worst, worstSwitch);
}
