#include "ovoscale/scaling.hpp"

#include <algorithm>
#include <cmath>

#include <gemmi/eig3.hpp>
#include <gemmi/unitcell.hpp>

#include "common/protein_reference.hpp"

namespace ovoscale {

namespace {

using Matrix = std::array<std::array<double, 3>, 3>;

Matrix toMatrix(const Sym6& b) {
    return {{{b[0], b[3], b[4]}, {b[3], b[1], b[5]}, {b[4], b[5], b[2]}}};
}
Sym6 fromMatrix(const Matrix& m) {
    return {m[0][0], m[1][1], m[2][2], 0.5 * (m[0][1] + m[1][0]), 0.5 * (m[0][2] + m[2][0]),
            0.5 * (m[1][2] + m[2][1])};
}
double dot(const Sym6& x, const Sym6& y) {  // Frobenius
    return x[0] * y[0] + x[1] * y[1] + x[2] * y[2] + 2 * (x[3] * y[3] + x[4] * y[4] + x[5] * y[5]);
}
Matrix multiply(const Matrix& x, const Matrix& y) {
    Matrix r{};
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j)
            for (size_t k = 0; k < 3; ++k) r[i][j] += x[i][k] * y[k][j];
    return r;
}
Matrix transpose(const Matrix& x) {
    Matrix r{};
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j) r[i][j] = x[j][i];
    return r;
}

// ln R(s^2) of the reference curve, tabulated to s^2 = 4 (0.5 A), linear
// in between (relative error below 1e-6); computed directly beyond.
class LogReference {
public:
    LogReference() {
        values_.resize(kSteps + 1);
        for (int i = 0; i <= kSteps; ++i) values_[static_cast<size_t>(i)] = std::log(common::protein_reference::meanIntensity(i * kStep));
    }
    double at(double s2) const {
        const double u = s2 / kStep;
        if (!(u < kSteps)) return std::log(common::protein_reference::meanIntensity(s2));
        const auto i = static_cast<size_t>(u);
        const double f = u - static_cast<double>(i);
        return values_[i] + f * (values_[i + 1] - values_[i]);
    }

private:
    static constexpr int kSteps = 16384;
    static constexpr double kStep = 4.0 / kSteps;
    std::vector<double> values_;
};

const LogReference& referenceCurve() {
    static const LogReference reference;
    return reference;
}

struct Terms {
    double value = 0, first = 0, second = 0;  // l, dl/d eta, d2l/d eta2
};

// One measurement's log-likelihood against the mean intensity exp(eta).
Terms intensityTerms(const PosteriorTable& table, const Measurement& m, double eta) {
    const double mean = std::exp(eta);
    const double w = m.centric ? 0.5 : 1.0;
    const double r = m.value / m.sigma;
    const double q = m.sigma / (m.centric ? 2 * mean : mean);  // d mu / d eta
    const double mu = r - q;
    const Moments moments = table.at(m.centric ? Prior::centric : Prior::acentric, mu);
    Terms t;
    t.value = -w * eta - 0.5 * q * (2 * r - q) + moments.logNorm;
    t.first = -w + moments.mean * q;
    t.second = moments.var * q * q - moments.mean * q;
    return t;
}

Terms amplitudeTerms(const Measurement& m, double eta) {
    const double mean = std::exp(eta);
    const double w = m.centric ? 0.5 : 1.0;
    const double spread = mean + (m.centric ? 1.0 : 2.0) * m.sigma * m.sigma;
    const double f2 = m.value * m.value;
    Terms t;
    t.value = -w * (std::log(spread) + f2 / spread);
    t.first = w * mean * (f2 - spread) / (spread * spread);
    t.second = t.first + w * mean * mean * (spread - 2 * f2) / (spread * spread * spread);
    return t;
}

constexpr int kMaxParameters = 7;

struct Pass {
    double value = 0;
    double gradient[kMaxParameters] = {};
    double hessian[kMaxParameters][kMaxParameters] = {};
    int64_t count = 0;
};

Pass evaluate(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
              const PosteriorTable& table, const LogReference& reference, const std::vector<double>& p) {
    const size_t n = basis.size() + 1;
    Sym6 b{};
    for (size_t j = 1; j < n; ++j)
        for (size_t i = 0; i < 6; ++i) b[i] += p[j] * basis[j - 1][i];
    Pass pass;
    source.forEach([&](const Measurement& m) {
        const Sym6 mono = monomials(m.s);
        const double s2 = mono[0] + mono[1] + mono[2];
        const double eta = std::log(static_cast<double>(m.epsilon)) + p[0] + reference.at(s2) - 0.5 * quadratic(b, mono);
        const Terms t = amplitudes ? amplitudeTerms(m, eta) : intensityTerms(table, m, eta);
        double g[kMaxParameters];
        g[0] = 1;
        for (size_t j = 1; j < n; ++j) g[j] = -0.5 * quadratic(basis[j - 1], mono);
        pass.value += t.value;
        for (size_t i = 0; i < n; ++i) {
            pass.gradient[i] += t.first * g[i];
            const double gi = t.second * g[i];
            for (size_t j = 0; j <= i; ++j) pass.hessian[i][j] += gi * g[j];
        }
        ++pass.count;
    });
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < i; ++j) pass.hessian[j][i] = pass.hessian[i][j];
    return pass;
}

// Solves a x = y for a symmetric positive definite a (Cholesky); false when
// a is not positive definite.
bool solve(std::vector<double> a, size_t n, std::vector<double> y, std::vector<double>& x) {
    for (size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0)) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (size_t i = j + 1; i < n; ++i) {
            double v = a[i * n + j];
            for (size_t k = 0; k < j; ++k) v -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = v / d;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        for (size_t k = 0; k < i; ++k) y[i] -= a[i * n + k] * y[k];
        y[i] /= a[i * n + i];
    }
    x.assign(n, 0);
    for (size_t i = n; i-- > 0;) {
        double v = y[i];
        for (size_t k = i + 1; k < n; ++k) v -= a[k * n + i] * x[k];
        x[i] = v / a[i * n + i];
    }
    return true;
}

// A start from a straight line through ln(<I/epsilon> / R) against s^2 in
// ten bins of s^2 (<F^2/epsilon> for amplitudes): ln k and an isotropic B.
void startingPoint(const MeasurementSource& source, bool amplitudes, const LogReference& reference, double& logScale,
                   double& bIso) {
    double lowest = INFINITY, highest = 0;
    source.forEach([&](const Measurement& m) {
        const double s2 = m.s[0] * m.s[0] + m.s[1] * m.s[1] + m.s[2] * m.s[2];
        lowest = std::min(lowest, s2);
        highest = std::max(highest, s2);
    });
    constexpr int kBins = 10;
    double intensity[kBins] = {}, curve[kBins] = {}, s2sum[kBins] = {};
    int64_t count[kBins] = {};
    const double width = (highest - lowest) / kBins;
    source.forEach([&](const Measurement& m) {
        const double s2 = m.s[0] * m.s[0] + m.s[1] * m.s[1] + m.s[2] * m.s[2];
        const int bin = width > 0 ? std::min(kBins - 1, static_cast<int>((s2 - lowest) / width)) : 0;
        intensity[bin] += (amplitudes ? m.value * m.value : m.value) / m.epsilon;
        curve[bin] += std::exp(reference.at(s2));
        s2sum[bin] += s2;
        ++count[bin];
    });
    double sx = 0, sy = 0, sxx = 0, sxy = 0, used = 0;
    for (int i = 0; i < kBins; ++i) {
        if (count[i] < 10 || !(intensity[i] > 0)) continue;
        const double x = s2sum[i] / static_cast<double>(count[i]), y = std::log(intensity[i] / curve[i]);
        sx += x, sy += y, sxx += x * x, sxy += x * y, ++used;
    }
    logScale = 0;
    bIso = 0;
    if (used >= 2 && sxx * used - sx * sx > 0) {
        const double slope = (sxy * used - sx * sy) / (sxx * used - sx * sx);
        logScale = (sy - slope * sx) / used;
        bIso = -2 * slope;
    } else if (used >= 1) {
        logScale = sy / used;
    }
}

}  // namespace

std::vector<Sym6> invariantTensors(const gemmi::GroupOps& operations, const common::OrthonormalFrame<double>& frame) {
    const Matrix m = {{{frame.m11, 0, 0}, {frame.m21, frame.m22, 0}, {frame.m31, frame.m32, frame.m33}}};
    // The inverse of the lower triangular m.
    Matrix inverse{};
    inverse[0][0] = 1 / m[0][0];
    inverse[1][1] = 1 / m[1][1];
    inverse[2][2] = 1 / m[2][2];
    inverse[1][0] = -m[1][0] * inverse[0][0] / m[1][1];
    inverse[2][1] = -m[2][1] * inverse[1][1] / m[2][2];
    inverse[2][0] = -(m[2][0] * inverse[0][0] + m[2][1] * inverse[1][0]) / m[2][2];
    // A reflection h goes to R^T h under the rotation R of fractional
    // coordinates, so s goes to Q s with Q = M R^T M^-1.
    std::vector<Matrix> rotations;
    for (const gemmi::Op& op : operations.sym_ops) {
        const gemmi::Mat33 r = gemmi::rot_as_mat33(op);
        Matrix rt{};
        for (size_t i = 0; i < 3; ++i)
            for (size_t j = 0; j < 3; ++j) rt[i][j] = r.a[j][i];
        rotations.push_back(multiply(multiply(m, rt), inverse));
    }
    std::vector<Sym6> basis;
    for (size_t e = 0; e < 6; ++e) {
        Sym6 unit{};
        unit[e] = 1;
        Matrix sum{};
        for (const Matrix& q : rotations) {
            const Matrix image = multiply(multiply(transpose(q), toMatrix(unit)), q);
            for (size_t i = 0; i < 3; ++i)
                for (size_t j = 0; j < 3; ++j) sum[i][j] += image[i][j] / static_cast<double>(rotations.size());
        }
        Sym6 v = fromMatrix(sum);
        for (const Sym6& u : basis) {
            const double c = dot(v, u);
            for (size_t i = 0; i < 6; ++i) v[i] -= c * u[i];
        }
        const double norm = std::sqrt(dot(v, v));
        if (norm < 1e-6) continue;
        for (double& x : v) x /= norm;
        basis.push_back(v);
    }
    return basis;
}

ScalingFit fitScaling(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
                      const PosteriorTable& table) {
    const LogReference& reference = referenceCurve();
    const size_t n = basis.size() + 1;
    std::vector<double> p(n, 0.0);
    double bIso = 0;
    startingPoint(source, amplitudes, reference, p[0], bIso);
    const Sym6 isotropic = {bIso, bIso, bIso, 0, 0, 0};
    for (size_t j = 1; j < n; ++j) p[j] = dot(isotropic, basis[j - 1]);

    ScalingFit fit;
    Pass current = evaluate(source, amplitudes, basis, table, reference, p);
    fit.reflections = current.count;
    double lambda = 1e-3;
    constexpr int kMaxPasses = 200;
    for (int passes = 1; passes < kMaxPasses; ++passes) {
        // Levenberg-Marquardt on the negative Hessian, scaled by its diagonal.
        std::vector<double> a(n * n), y(n), step;
        for (size_t i = 0; i < n; ++i) {
            y[i] = current.gradient[i];
            for (size_t j = 0; j < n; ++j) a[i * n + j] = -current.hessian[i][j];
        }
        for (size_t i = 0; i < n; ++i) a[i * n + i] += lambda * std::max(std::fabs(current.hessian[i][i]), 1e-12);
        if (!solve(a, n, y, step)) {
            lambda *= 10;
            if (lambda > 1e12) break;
            continue;
        }
        // An undamped step this small is the optimum to well within the data's
        // precision, whatever the rounding of the sums says of its gain.
        double largest = 0;
        for (size_t i = 1; i < n; ++i) largest = std::max(largest, std::fabs(step[i]));
        const bool small = lambda <= 1e-2 && largest < 1e-4 && std::fabs(step[0]) < 1e-6;
        std::vector<double> trial = p;
        for (size_t i = 0; i < n; ++i) trial[i] += step[i];
        const Pass next = evaluate(source, amplitudes, basis, table, reference, trial);
        if (std::isfinite(next.value) && (next.value >= current.value || small)) {
            p = trial;
            current = next;
            lambda = std::max(lambda / 10, 1e-9);
            ++fit.iterations;
            if (small) {
                fit.converged = true;
                break;
            }
        } else {
            lambda *= 10;
            if (lambda > 1e12) break;
        }
    }
    fit.logScale = p[0];
    fit.b = {};
    for (size_t j = 1; j < n; ++j)
        for (size_t i = 0; i < 6; ++i) fit.b[i] += p[j] * basis[j - 1][i];
    fit.logLikelihood = current.value;
    return fit;
}

double expectedIntensity(const ScalingFit& fit, const double s[3], int epsilon) {
    const Sym6 mono = monomials(s);
    return epsilon * std::exp(fit.logScale + referenceCurve().at(mono[0] + mono[1] + mono[2]) - 0.5 * quadratic(fit.b, mono));
}

Principal principalComponents(const Sym6& b) {
    const gemmi::SMat33<double> tensor{b[0], b[1], b[2], b[3], b[4], b[5]};
    double values[3];
    const gemmi::Mat33 vectors = gemmi::eigen_decomposition(tensor, values);
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int x, int y) { return values[x] > values[y]; });
    Principal principal;
    for (size_t i = 0; i < 3; ++i) {
        const int k = order[i];
        std::array<double, 3> v = {vectors.a[0][k], vectors.a[1][k], vectors.a[2][k]};
        size_t largest = 0;
        for (size_t j = 1; j < 3; ++j)
            if (std::fabs(v[j]) > std::fabs(v[largest])) largest = j;
        if (v[largest] < 0)
            for (double& x : v) x = -x;
        principal.values[static_cast<size_t>(i)] = values[k];
        principal.vectors[static_cast<size_t>(i)] = v;
    }
    return principal;
}

}  // namespace ovoscale
