// The anisotropic scaling: the likelihood of every measurement under
// Wilson's distribution (acentric or centric, with epsilon) of a mean
// intensity k epsilon R(s^2) exp(-s^T B s / 2), R the protein reference
// curve (common/protein_reference.hpp: the random-atom sum times the
// empirical protein correction), maximised over ln k and the terms of a
// symmetric B that the Laue class allows. Amplitudes are then reduced by
// exp(-s^T B s / 4).
//
// The measurement error enters for intensities as a Gaussian error of I
// convolved with Wilson's distribution of the true intensity, the
// normalising integral of French and Wilson's posterior (posterior.hpp).
// Its variance is not each reflection's sigma(I)^2 as read but an error
// model of the expected intensity S of the reflection,
//
//     sigma^2 = a + b S + c S^2,
//
// the form of the error models of scaling programs (a background and
// constant term, one of counting statistics and one proportional to the
// intensity), fitted to the sigmas read as the mean sigma(I)^2 of the
// reflections of like S. Integration programs estimate sigma(I) from the
// observed counts, so a measurement above its mean carries a larger sigma
// than one below; taken as exact, such sigmas pull the mean intensity of
// weak shells down and overstate the falloff along the weak direction (by
// a tenth at a mean I/sigma(I) of 5, by half at 1.7). The error variance
// at the expected intensity is independent of the measurement and is, on
// average over the true intensity, the variance of the error (counting
// statistics: the variance of a measurement is linear in its true
// intensity), so the fit is unbiased whether the sigmas came from the
// observed intensity, from the true one, or are constant. S depends on
// the fit: the error model is fitted at the S of the starting point (a
// straight line through the shells' mean intensities), the scaling with
// the model's sigmas at that S, the error model again at the S of that
// fit, and so on, until B moves by less than 0.05 A^2 (at most five
// rounds; above 60 000 reflections all but the last on 60 000 of them,
// evenly spread). The log-likelihood far below zero in mu is
// taken from its series, not as the difference of two numbers of mu^2/2.
//
// The standard errors of the isotropic B and of the anisotropic part come
// from the curvature of the log-likelihood at its maximum.
//
// For amplitudes F with sigma(F) the error enters as a complex Gaussian
// error added to the structure factor, whose amplitude error is sigma(F):
// Wilson's distribution of F with the variance S + 2 sigma(F)^2 (acentric)
// or S + sigma(F)^2 (centric).
//
// Terms of B that the data do not determine (every reflection in one
// plane, as a single zone; every reflection at one resolution) are found
// from the linear dependence of the fit's derivatives before the fit, left
// out of it, and then set to the least anisotropic tensor the data allow:
// the anisotropic part held at zero along a missing direction, the
// isotropic B at zero where the data span no resolution. ScalingFit says
// which (missingDirections, isotropicHeld, heldTerms).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"
#include "ovoscale/posterior.hpp"

namespace ovoscale {

// A symmetric tensor as the coefficients of the monomials
// sx^2, sy^2, sz^2, 2 sx sy, 2 sx sz, 2 sy sz: s^T B s = sum b_i m_i.
using Sym6 = std::array<double, 6>;

inline Sym6 monomials(const double s[3]) {
    return {s[0] * s[0], s[1] * s[1], s[2] * s[2], 2 * s[0] * s[1], 2 * s[0] * s[2], 2 * s[1] * s[2]};
}
inline double quadratic(const Sym6& b, const Sym6& m) {
    return b[0] * m[0] + b[1] * m[1] + b[2] * m[2] + b[3] * m[3] + b[4] * m[4] + b[5] * m[5];
}

// The tensors that every rotation of the group leaves unchanged, in the
// orthonormal frame: an orthonormal basis of them (1 cubic, 2 tetragonal,
// trigonal and hexagonal, 3 orthorhombic, 4 monoclinic, 6 triclinic).
std::vector<Sym6> invariantTensors(const gemmi::GroupOps& operations, const common::OrthonormalFrame<double>& frame);

// One unique reflection as the fit sees it.
struct Measurement {
    double s[3];        // reciprocal-lattice vector in the orthonormal frame
    double value;       // I, or F
    double sigma;
    int epsilon;
    bool centric;
};

// The reflections the fit takes, in passes: `forEach` calls its argument
// with every one of them (those in the fitted range, not rejected).
class MeasurementSource {
public:
    virtual ~MeasurementSource() = default;
    virtual void forEach(const std::function<void(const Measurement&)>& use) const = 0;
};

// sigma(I)^2 = a + b S + c S^2 of the expected intensity S.
struct ErrorModel {
    double a = 0, b = 0, c = 0;
    double at(double expected) const { return a + expected * (b + c * expected); }
};

// Fits the error model to the mean of sigma^2 in bins of S: `expected` and
// `variance` of each reflection. Each coefficient is at least 0; a model of
// a alone where the bins say nothing more.
class ErrorModelFit {
public:
    void add(double expected, double variance);
    void add(double expected, double variance, double logExpected);  // ln S known
    ErrorModel finish() const;

private:
    static constexpr int kBins = 48;
    static constexpr double kLowest = -30, kWidth = 1.5;  // ln S from -30 to 42
    double count_[kBins] = {}, expected_[kBins] = {}, square_[kBins] = {}, variance_[kBins] = {};
};

struct ScalingFit {
    bool converged = false;
    int iterations = 0;
    double logScale = 0;        // ln k
    Sym6 b{};                   // the whole B tensor
    double logLikelihood = 0;
    int64_t reflections = 0;
    bool errorModelUsed = false;  // intensities: the sigmas of the error model
    ErrorModel errorModel;
    int rounds = 0;               // fits with sigmas of the error model
    // What the data leave open: directions (unit vectors in the frame)
    // along which no fitted reflection has a component, whose anisotropic
    // part is held at zero; the isotropic B, held at 0 where every fitted
    // reflection lies at one resolution; the number of terms so held.
    std::vector<std::array<double, 3>> missingDirections;
    bool isotropicHeld = false;
    int heldTerms = 0;
    // Standard errors (A^2) from the curvature at the optimum: of the
    // isotropic B, of the worst-determined combination of unit norm of the
    // anisotropic part, and the larger of the two.
    double isotropicError = 0, anisotropicError = 0, largestError = 0;
};

// One measurement's log-likelihood (value, first and second derivative)
// against the mean intensity exp(eta), for the tests: intensities with the
// Gaussian error sigma, amplitudes with sigma(F).
std::array<double, 3> measurementTerms(const PosteriorTable& table, const Measurement& m, bool amplitude, double eta);

// `amplitudes`: the values are F and sigma(F), else I and sigma(I).
ScalingFit fitScaling(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
                      const PosteriorTable& table);

// The mean intensity the fit expects of a reflection at s (orthonormal
// frame) of multiplicity epsilon: k epsilon R(s^2) exp(-s^T B s / 2), through
// the curve the fit used. French and Wilson's prior (prior.hpp) calls this
// one function, so that it follows the fit's model whatever that becomes.
double expectedIntensity(const ScalingFit& fit, const double s[3], int epsilon);

// The fit's scale and B once more, from `fit`, against the reference curve
// times exp(logShape(s^2)), an isotropic correction of the data's own
// (intensities, the error model of `fit` kept; one round, on a quarter
// million of the reflections evenly spread where there are more). Where the
// curve's shape differs from the data's, the fit puts part of the
// difference into the anisotropic part, the more so the weaker the data
// (the weak direction's information lies at lower resolution than the
// strong one's): on generated data at a mean I/sigma(I) of 5 with constant
// sigmas, a range 0.3-0.45 A^2 short of 30. Against the data's own shape
// that part returns. Not converged (and `fit` as it was) where terms were
// held or the fit did not converge.
ScalingFit refineScaling(const MeasurementSource& source, const std::vector<Sym6>& basis, const PosteriorTable& table,
                         const ScalingFit& fit, const std::function<double(double)>& logShape);

// The principal components of a symmetric tensor: values largest first,
// each with its unit vector (the largest component of each made positive).
struct Principal {
    std::array<double, 3> values{};
    std::array<std::array<double, 3>, 3> vectors{};
};
Principal principalComponents(const Sym6& b);

}  // namespace ovoscale
