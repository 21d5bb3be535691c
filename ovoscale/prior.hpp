// French and Wilson's prior mean intensity of each reflection: the mean
// intensity the anisotropic fit expects at the reflection's own direction
// (expectedIntensity in scaling.hpp: the fitted curve, scale and B tensor),
// times a smooth isotropic correction c(s^2), the ratio of the data's mean
// intensity to that expectation in shells of equal reciprocal volume.
//
// The tensor puts the anisotropy into the prior, so that weak reflections
// along the weak direction are pulled towards their own small mean rather
// than towards the mean of their whole shell (which inflates their
// amplitudes); the correction keeps the prior on the data's own scale where
// the fitted curve does not follow it (below the fit's low-resolution limit,
// where solvent and shape rule, and wherever a protein's mean intensity
// departs from the curve).
//
// The shells: one per 200 reflections, at least 10 (while each keeps 50
// reflections) and at most 50. In each, c is sum(I/epsilon) over
// sum(E/epsilon), E the expected intensity; a shell whose mean is not above
// a tenth of its mean sigma(I)/epsilon (a shell of noise) takes that tenth.
// ln c is smoothed by a straight line fitted through the shell and the two
// on either side of it (weighted by their counts; one-sided at the ends), and
// interpolated linearly in s^2 between the shells' mean s^2.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace ovoscale {

class ReflectionPrior {
public:
    // The range of s^2 and the number of reflections fix the shells.
    ReflectionPrior(double s2Low, double s2High, int64_t count);
    // One reflection: its I/epsilon, sigma(I)/epsilon and E/epsilon.
    void add(double s2, double intensityOverEpsilon, double sigmaOverEpsilon, double expectedOverEpsilon);
    void finish();
    // The prior mean intensity per epsilon of a reflection whose expected
    // intensity per epsilon is `expectedOverEpsilon`.
    double meanAt(double s2, double expectedOverEpsilon) const { return expectedOverEpsilon * correctionAt(s2); }
    double correctionAt(double s2) const { return std::exp(logCorrectionAt(s2)); }
    double logCorrectionAt(double s2) const;
    int shells() const { return static_cast<int>(sums_.size()); }

    static int shellCount(int64_t count);

private:
    int shellOf(double s2) const;
    double cubeLow_, cubeStep_;
    struct Sum {
        double intensity = 0, sigma = 0, expected = 0, s2 = 0;
        int64_t count = 0;
    };
    std::vector<Sum> sums_;
    std::vector<double> centre_, logCorrection_;
};

// The mean sigma(I)^2 of the data at a measured intensity I and an expected
// one S: bins of asinh(I / s0) a quarter wide from -6 to 20 (s0 the error
// at zero intensity) in rows of ln(S / s0) a unit wide from -5 to 7; each
// bin of 20 or more reflections a point (its mean I, its mean sigma^2),
// linear in I between the points of a row and level beyond them; a row of
// fewer than three points takes the whole data's curve. A reflection's
// sigma^2 over this is its own precision against that of others measured
// alike and expected alike: its multiplicity and background, not the way
// the integration program let sigma follow the measured intensity (which
// the bins of I take out) nor the way the error follows the true intensity
// (which the rows of S take out, where a whole data set's curve would mix
// the weak direction's reflections with the strong ones').
class MeasuredError {
public:
    explicit MeasuredError(double scale) : scale_(scale > 0 ? scale : 1.0) {}
    void add(double intensity, double variance, double expected);
    void finish();
    double at(double intensity, double expected) const;

private:
    static constexpr int kBins = 104, kRows = 12;
    static constexpr double kLowest = -6.0, kWidth = 0.25, kLowestRow = -5.0;
    static constexpr int64_t kLeast = 20;
    // Fixed arrays, no allocation: a small block taken from the heap here
    // split the memory the fit had freed, and the MTZ's rows then raised the
    // peak by 27 MB.
    struct Curve {
        int64_t count[kBins] = {};
        double intensity[kBins] = {}, variance[kBins] = {};
        double at[kBins] = {}, value[kBins] = {};
        int points = 0;
        void finish();
        double valueAt(double x) const;
    };
    int binOf(double intensity) const;
    int rowOf(double expected) const;
    double scale_;
    Curve whole_;
    std::array<Curve, kRows> rows_{};
};

}  // namespace ovoscale
