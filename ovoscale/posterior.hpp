// The posterior of a true intensity J >= 0 given a measurement I with a
// Gaussian error sigma and Wilson's prior of mean intensity S:
//
//   acentric  p(J) = exp(-J/S) / S
//   centric   p(J) = exp(-J/(2S)) / sqrt(2 pi S J)
//
// In x = J/sigma the posterior is x^a exp(-(x - mu)^2 / 2) on x >= 0, with
// a = 0 and mu = I/sigma - sigma/S (acentric), a = -1/2 and
// mu = I/sigma - sigma/(2S) (centric): every moment depends on mu alone.
// French and Wilson's amplitude is F = sqrt(sigma) E[sqrt(x)], its standard
// deviation sqrt(sigma Var(sqrt(x))); the same normalising integral is the
// likelihood of the measurement that the anisotropic scaling maximises.
#pragma once

#include <array>
#include <vector>

namespace ovoscale {

enum class Prior { acentric = 0, centric = 1 };

struct Moments {
    double logNorm = 0;    // log of the integral of x^a exp(-(x-mu)^2/2) over x >= 0
    double meanRoot = 0;   // E[sqrt(x)]
    double mean = 0;       // E[x]
    double varRoot = 0;    // Var(sqrt(x))
    double var = 0;        // Var(x)
};

// The integrals by Gauss-Legendre quadrature in t = sqrt(x) (which takes
// away the centric prior's pole at 0), over the range where the integrand
// is above exp(-60) of its peak, 8 panels of 16 points: relative error
// below 1e-12 for -40 <= mu <= 80.
Moments integrateMoments(Prior prior, double mu);

// Beyond the table, the asymptotic series in 1/mu^2 (mu > 64: a nearly
// Gaussian posterior; mu < -32: nearly exponential in x), each to below
// 1e-12 relative there. The variances are series of their own, whose
// cancelling leading terms cancel in the coefficients: no difference of
// nearly equal moments, so Var(sqrt(x)) = 1/(4 mu) keeps its precision at
// mu = 1e8 and beyond.
Moments asymptoticMoments(Prior prior, double mu);

// integrateMoments on a grid of mu from -32 to 64 in steps of 1/64, made
// once, read through four-point (cubic) interpolation: within 1e-8 of the
// integrals everywhere (the interpolation error is h^4 f''''/...,
// h = 1/64); the asymptotic series outside.
class PosteriorTable {
public:
    PosteriorTable();
    Moments at(Prior prior, double mu) const;
    // logNorm, mean and var alone (what the likelihood and its derivatives
    // take), the others left 0: the fit's passes read nothing else.
    Moments likelihoodAt(Prior prior, double mu) const;

private:
    template <bool kAll>
    Moments interpolate(Prior prior, double mu) const;
    static constexpr double kLow = -32.0;
    static constexpr double kHigh = 64.0;
    static constexpr double kStepsPerUnit = 64.0;
    std::array<std::vector<Moments>, 2> nodes_;
};

// An intensity this far below zero in sigmas is rejected: no true
// intensity J >= 0 (the whole of either prior) makes such a measurement
// likelier than 3e-5.
inline constexpr double kRejectBelow = -4.0;
inline bool rejected(double intensity, double sigma) { return !(intensity >= kRejectBelow * sigma); }

struct Amplitude {
    double f = 0;
    double sigma = 0;
};

// mu of a measurement against a prior mean intensity (epsilon times the
// shell's mean).
inline double muOf(Prior prior, double intensity, double sigma, double priorMean) {
    return intensity / sigma - sigma / (prior == Prior::acentric ? priorMean : 2.0 * priorMean);
}

// French and Wilson's posterior mean amplitude and its standard deviation.
Amplitude frenchWilson(const PosteriorTable& table, Prior prior, double intensity, double sigma, double priorMean);

// The variance of a measurement's error at the true intensity J it came
// from, v(J) = a + b J + c J^2 (run.cpp makes it from the scaling's error
// model, on the scale of the reflection's own sigma). French and Wilson's
// posterior takes it, floored at sigma^2/4, in place of the constant
// sigma^2 of the value read: where sigma(I) was estimated from the
// measured intensity, a measurement below zero is known less well at the
// positive J it came from than its sigma says, and with the sigma read
// taken as exact the amplitudes of such measurements come out 5-20 %
// small.
struct ErrorVariance {
    double a = 0, b = 0, c = 0;
    bool constant() const { return !(b > 0 || c > 0); }
};

// Below kVaryingFrom in I/sigma(I) French and Wilson's posterior takes the
// varying error (varyingPosterior); from kVaryingUpTo on, the sigma(I) read
// (the table), whose amplitudes there differ from the varying error's by
// less than 1 % on data whose variance grows with the intensity; between,
// a linear blend of the two. The quadrature costs about 40 times a look in
// the table, and most reflections of good data lie above the blend.
inline constexpr double kVaryingFrom = 4.0;
inline constexpr double kVaryingUpTo = 8.0;
// Whether the varying error has a part in a measurement's amplitude at all
// (the caller need not work out its ErrorVariance otherwise).
inline bool takesVaryingError(double intensity, double sigma) { return intensity < kVaryingUpTo * sigma; }

// The posterior mean amplitude and its standard deviation with the varying
// error, by Gauss-Legendre quadrature in t = sqrt(J / sigma) over the range
// where the integrand is above exp(-40) of its largest value (relative
// error below 1e-7 of F against an independent integration).
Amplitude varyingPosterior(Prior prior, double intensity, double sigma, double priorMean, const ErrorVariance& error);

// French and Wilson's amplitude with the varying error where it matters,
// the table's elsewhere, blended between (the same as frenchWilson for a
// constant error).
Amplitude frenchWilson(const PosteriorTable& table, Prior prior, double intensity, double sigma, double priorMean,
                       const ErrorVariance& error);

}  // namespace ovoscale
