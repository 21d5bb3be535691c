// The anisotropic scaling: the likelihood of every measurement under
// Wilson's distribution (acentric or centric, with epsilon) of a mean
// intensity k epsilon R(s^2) exp(-s^T B s / 2), R the protein reference
// curve (common/protein_reference.hpp), maximised over ln k and the terms of
// a symmetric B that the Laue class allows. Amplitudes are then reduced by
// exp(-s^T B s / 4).
//
// The measurement error enters exactly for intensities: the likelihood of
// a measured I with its sigma is Wilson's distribution of the true
// intensity convolved with the Gaussian error, the normalising integral of
// French and Wilson's posterior (posterior.hpp). For amplitudes F with
// sigma(F) it enters as a complex Gaussian error added to the structure
// factor, whose amplitude error is sigma(F): Wilson's distribution of F
// with the variance S + 2 sigma(F)^2 (acentric) or S + sigma(F)^2 (centric).
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

struct ScalingFit {
    bool converged = false;
    int iterations = 0;
    double logScale = 0;        // ln k
    Sym6 b{};                   // the whole B tensor
    double logLikelihood = 0;
    int64_t reflections = 0;
};

// `amplitudes`: the values are F and sigma(F), else I and sigma(I).
ScalingFit fitScaling(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
                      const PosteriorTable& table);

// The mean intensity the fit expects of a reflection at s (orthonormal
// frame) of multiplicity epsilon: k epsilon R(s^2) exp(-s^T B s / 2), through
// the curve the fit used. French and Wilson's prior (prior.hpp) calls this
// one function, so that it follows the fit's model whatever that becomes.
double expectedIntensity(const ScalingFit& fit, const double s[3], int epsilon);

// The principal components of a symmetric tensor: values largest first,
// each with its unit vector (the largest component of each made positive).
struct Principal {
    std::array<double, 3> values{};
    std::array<std::array<double, 3>, 3> vectors{};
};
Principal principalComponents(const Sym6& b);

}  // namespace ovoscale
