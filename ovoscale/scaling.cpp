#include "ovoscale/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <utility>

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
// With `shape`, ln R(s^2) + shape(s^2): the curve times an isotropic
// correction of the data's own.
class LogReference {
public:
    explicit LogReference(std::function<double(double)> shape = nullptr) : shape_(std::move(shape)) {
        values_.resize(kSteps + 1);
        for (int i = 0; i <= kSteps; ++i) values_[static_cast<size_t>(i)] = direct(i * kStep);
    }
    double at(double s2) const {
        const double u = s2 / kStep;
        if (!(u < kSteps)) return direct(s2);
        const auto i = static_cast<size_t>(u);
        const double f = u - static_cast<double>(i);
        return values_[i] + f * (values_[i + 1] - values_[i]);
    }

private:
    double direct(double s2) const {
        return std::log(common::protein_reference::meanIntensity(s2)) + (shape_ ? shape_(s2) : 0.0);
    }
    static constexpr int kSteps = 16384;
    static constexpr double kStep = 4.0 / kSteps;
    std::function<double(double)> shape_;
    std::vector<double> values_;
};

const LogReference& referenceCurve() {
    static const LogReference reference;
    return reference;
}

struct Terms {
    double value = 0, first = 0, second = 0;  // l, dl/d eta, d2l/d eta2
};

// One measurement's log-likelihood against the mean intensity exp(eta),
// its error of standard deviation `sigma`.
// `mean` is exp(eta), worked out by the caller (which also needs it).
Terms intensityTerms(const PosteriorTable& table, const Measurement& m, double sigma, double eta, double mean) {
    const double w = m.centric ? 0.5 : 1.0;
    const double r = m.value / sigma;
    const double q = sigma / (m.centric ? 2 * mean : mean);  // d mu / d eta
    const double mu = r - q;
    const Moments moments = table.likelihoodAt(m.centric ? Prior::centric : Prior::acentric, mu);
    Terms t;
    if (mu < -32) {
        // Far below zero -q(2r - q)/2 and the log of the integral are
        // -mu^2/2 apart from their sum, and their difference would lose it
        // (at mu = -1e8 entirely): the sum -r^2/2 plus the integral less
        // its exp(-mu^2/2), from the integral's series in 1/lambda
        // (x^a exp(-lambda x - x^2/2), lambda = -mu).
        const double lambda = -mu, inverse2 = 1 / (lambda * lambda);
        const double rest = m.centric ? 0.5 * std::log(M_PI / lambda) +
                                            std::log(1 - inverse2 * (3.0 / 8 - inverse2 * 105.0 / 128))
                                      : -std::log(lambda) + std::log(1 - inverse2 * (1 - inverse2 * (3 - 15 * inverse2)));
        t.value = -w * eta - 0.5 * r * r + rest;
    } else {
        t.value = -w * eta - 0.5 * q * (2 * r - q) + moments.logNorm;
    }
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

Sym6 tensorOf(const std::vector<Sym6>& basis, const std::vector<double>& p) {
    Sym6 b{};
    for (size_t j = 1; j < basis.size() + 1; ++j)
        for (size_t i = 0; i < 6; ++i) b[i] += p[j] * basis[j - 1][i];
    return b;
}

// How each measurement's sigma is taken: as read, or from the error model
// at the expected intensity of the parameters `previous`.
struct SigmaRule {
    bool model = false;
    ErrorModel errors;
    Sym6 b{};
    double logScale = 0;
};

// ln epsilon for epsilon 0 to 127, made once.
const std::array<double, 128>& logEpsilon() {
    static const std::array<double, 128> table = [] {
        std::array<double, 128> t{};
        for (size_t i = 1; i < t.size(); ++i) t[i] = std::log(static_cast<double>(i));
        return t;
    }();
    return table;
}

// ln epsilon + ln R(s^2): the part of eta that the parameters leave alone.
double etaBase(const Measurement& m, const Sym6& mono, const LogReference& reference) {
    return logEpsilon()[static_cast<size_t>(std::clamp(m.epsilon, 1, 127))] + reference.at(mono[0] + mono[1] + mono[2]);
}

double etaOf(const Measurement& m, const Sym6& mono, double logScale, const Sym6& b, const LogReference& reference) {
    return etaBase(m, mono, reference) + logScale - 0.5 * quadratic(b, mono);
}

Pass evaluate(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
              const PosteriorTable& table, const LogReference& reference, const std::vector<double>& p,
              const SigmaRule& rule, ErrorModelFit* errors = nullptr) {
    const size_t n = basis.size() + 1;
    const Sym6 b = tensorOf(basis, p);
    // At the rule's own point (a round's first pass) the expected intensity
    // the error model takes is the mean itself, to the bit.
    const bool atRule = rule.model && rule.logScale == p[0] && rule.b == b;
    Pass pass;
    source.forEach([&](const Measurement& m) {
        const Sym6 mono = monomials(m.s);
        const double base = etaBase(m, mono, reference);
        const double eta = base + p[0] - 0.5 * quadratic(b, mono);
        const double mean = std::exp(eta);
        if (errors) errors->add(mean, m.sigma * m.sigma, eta);
        double sigma = m.sigma;
        if (rule.model) {
            const double expected = atRule ? mean : std::exp(base + rule.logScale - 0.5 * quadratic(rule.b, mono));
            sigma = std::sqrt(std::max(rule.errors.at(expected), 1e-30));
        }
        const Terms t = amplitudes ? amplitudeTerms(m, eta) : intensityTerms(table, m, sigma, eta, mean);
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

// The eigenvalues and unit eigenvectors (columns of `vectors`) of a small
// symmetric matrix, by Jacobi rotations.
void symmetricEigen(std::vector<double> a, size_t n, std::vector<double>& values, std::vector<double>& vectors) {
    vectors.assign(n * n, 0);
    for (size_t i = 0; i < n; ++i) vectors[i * n + i] = 1;
    for (int sweep = 0; sweep < 60; ++sweep) {
        double off = 0;
        for (size_t i = 0; i < n; ++i)
            for (size_t j = i + 1; j < n; ++j) off += a[i * n + j] * a[i * n + j];
        if (off < 1e-30) break;
        for (size_t p = 0; p < n; ++p) {
            for (size_t q = p + 1; q < n; ++q) {
                if (std::fabs(a[p * n + q]) < 1e-300) continue;
                const double theta = (a[q * n + q] - a[p * n + p]) / (2 * a[p * n + q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1), sn = t * c;
                for (size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - sn * akq;
                    a[k * n + q] = sn * akp + c * akq;
                }
                for (size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - sn * aqk;
                    a[q * n + k] = sn * apk + c * aqk;
                }
                for (size_t k = 0; k < n; ++k) {
                    const double vkp = vectors[k * n + p], vkq = vectors[k * n + q];
                    vectors[k * n + p] = c * vkp - sn * vkq;
                    vectors[k * n + q] = sn * vkp + c * vkq;
                }
            }
        }
    }
    values.resize(n);
    for (size_t i = 0; i < n; ++i) values[i] = a[i * n + i];
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
// `lowest`, `highest`: the range of s^2 of the reflections.
void startingPoint(const MeasurementSource& source, bool amplitudes, const LogReference& reference, double lowest,
                   double highest, double& logScale, double& bIso) {
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

void ErrorModelFit::add(double expected, double variance) { add(expected, variance, std::log(expected)); }

void ErrorModelFit::add(double expected, double variance, double logExpected) {
    if (!(expected > 0) || !std::isfinite(variance)) return;
    const int bin = std::clamp(static_cast<int>((logExpected - kLowest) / kWidth), 0, kBins - 1);
    count_[bin] += 1;
    expected_[bin] += expected;
    square_[bin] += expected * expected;
    variance_[bin] += variance;
}

ErrorModel ErrorModelFit::finish() const {
    // Each bin's mean variance against its means of S and S^2 (the model
    // is linear in them, so a bin's width costs nothing), weighted by its
    // count over its mean variance squared (a relative fit); of the seven
    // subsets of {a, b, c} the one of least residual whose coefficients are
    // all at least 0.
    std::vector<std::array<double, 4>> points;  // S, S^2, variance, weight
    double smallest = INFINITY;
    for (int i = 0; i < kBins; ++i) {
        if (count_[i] < 5) continue;
        const double x = expected_[i] / count_[i], xx = square_[i] / count_[i], y = variance_[i] / count_[i];
        if (!(y > 0)) continue;
        points.push_back({x, xx, y, count_[i] / (y * y)});
        smallest = std::min(smallest, y);
    }
    ErrorModel best;
    if (points.empty()) return best;
    double bestResidual = INFINITY;
    for (int subset = 1; subset < 8; ++subset) {
        std::vector<size_t> terms;
        for (size_t t = 0; t < 3; ++t)
            if (subset & (1 << t)) terms.push_back(t);
        const size_t k = terms.size();
        std::vector<double> a(k * k, 0), y(k, 0), x;
        for (const auto& point : points) {
            const double power[3] = {1, point[0], point[1]};
            for (size_t i = 0; i < k; ++i) {
                y[i] += point[3] * power[terms[i]] * point[2];
                for (size_t j = 0; j < k; ++j) a[i * k + j] += point[3] * power[terms[i]] * power[terms[j]];
            }
        }
        if (!solve(a, k, y, x)) continue;
        ErrorModel model;
        double* coefficient[3] = {&model.a, &model.b, &model.c};
        bool valid = true;
        for (size_t i = 0; i < k; ++i) {
            if (!(x[i] >= 0)) valid = false;
            *coefficient[terms[i]] = x[i];
        }
        if (!valid) continue;
        double residual = 0;
        for (const auto& point : points) {
            const double d = model.a + model.b * point[0] + model.c * point[1] - point[2];
            residual += point[3] * d * d;
        }
        if (residual < bestResidual) bestResidual = residual, best = model;
    }
    // Never a variance of nothing for the weakest reflections.
    best.a = std::max(best.a, 1e-4 * smallest);
    return best;
}

std::array<double, 3> measurementTerms(const PosteriorTable& table, const Measurement& m, bool amplitude, double eta) {
    const Terms t = amplitude ? amplitudeTerms(m, eta) : intensityTerms(table, m, m.sigma, eta, std::exp(eta));
    return {t.value, t.first, t.second};
}

namespace {

struct Maximum {
    bool converged = false;
    int iterations = 0;
    Pass last;
    ErrorModel errors;  // fitted at the point reached
};

// Newton steps with Levenberg-Marquardt damping (on the negative Hessian,
// scaled by its diagonal) within the span of `free` (orthonormal columns,
// n x r), from p.
Maximum maximise(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
                 const PosteriorTable& table, const LogReference& reference, std::vector<double>& p,
                 const SigmaRule& rule, const std::vector<std::vector<double>>& free) {
    const size_t n = basis.size() + 1, r = free.size();
    Maximum result;
    // The error model's sums at the point reached ride along each pass.
    ErrorModelFit errorsHere, errorsTried;
    Pass current = evaluate(source, amplitudes, basis, table, reference, p, rule, &errorsHere);
    double lambda = 1e-3;
    constexpr int kMaxPasses = 200;
    for (int passes = 1; passes < kMaxPasses && r > 0; ++passes) {
        std::vector<double> a(r * r, 0), y(r, 0), reduced;
        for (size_t u = 0; u < r; ++u) {
            for (size_t i = 0; i < n; ++i) y[u] += free[u][i] * current.gradient[i];
            for (size_t v = 0; v < r; ++v)
                for (size_t i = 0; i < n; ++i)
                    for (size_t j = 0; j < n; ++j) a[u * r + v] -= free[u][i] * current.hessian[i][j] * free[v][j];
        }
        for (size_t u = 0; u < r; ++u) a[u * r + u] += lambda * std::max(std::fabs(a[u * r + u]), 1e-12);
        if (!solve(a, r, y, reduced)) {
            lambda *= 10;
            if (lambda > 1e12) break;
            continue;
        }
        std::vector<double> step(n, 0);
        double gain = 0;  // the step's gain in log-likelihood to first order
        for (size_t u = 0; u < r; ++u) {
            gain += reduced[u] * y[u];
            for (size_t i = 0; i < n; ++i) step[i] += reduced[u] * free[u][i];
        }
        // An undamped step this small, or of this little gain (a thousandth
        // of a unit of log-likelihood: the parameters within a twentieth of
        // their standard error), is the optimum to well within the data's
        // precision, whatever the rounding of the sums says of its gain.
        double largest = 0;
        for (size_t i = 1; i < n; ++i) largest = std::max(largest, std::fabs(step[i]));
        const bool small = lambda <= 1e-2 && ((largest < 1e-4 && std::fabs(step[0]) < 1e-6) || gain < 1e-3);
        std::vector<double> trial = p;
        for (size_t i = 0; i < n; ++i) trial[i] += step[i];
        if (small && gain < 1e-3) {
            // Taken without a pass of its own: its gain is below what the
            // rounding of the sums would show.
            p = trial;
            ++result.iterations;
            result.converged = true;
            break;
        }
        errorsTried = ErrorModelFit();
        const Pass next = evaluate(source, amplitudes, basis, table, reference, trial, rule, &errorsTried);
        if (std::isfinite(next.value) && (next.value >= current.value || small)) {
            p = trial;
            current = next;
            errorsHere = errorsTried;
            lambda = std::max(lambda / 10, 1e-9);
            ++result.iterations;
            if (small) {
                result.converged = true;
                break;
            }
        } else if (small) {
            result.converged = true;  // the current point, to the same precision
            break;
        } else {
            lambda *= 10;
            if (lambda > 1e12) break;
        }
    }
    if (r == 0) result.converged = true;
    result.last = current;
    result.errors = errorsHere.finish();
    return result;
}

// Every stride-th reflection of a source: the early rounds of a large data
// set, where a subsample fixes B to well within the precision of the last
// round, which takes them all.
class Subsample : public MeasurementSource {
public:
    Subsample(const MeasurementSource& all, int64_t stride) : all_(all), stride_(stride) {}
    void forEach(const std::function<void(const Measurement&)>& use) const override {
        int64_t i = 0;
        all_.forEach([&](const Measurement& m) {
            if (i++ % stride_ == 0) use(m);
        });
    }

private:
    const MeasurementSource& all_;
    int64_t stride_;
};

// Every stride-th reflection of a source, kept (48 bytes each): one pass
// over the source, and then passes over the kept ones only, in the same
// order as a Subsample's.
class KeptSubsample : public MeasurementSource {
public:
    // `keep` may change what a kept reflection carries (its sigma).
    KeptSubsample(const MeasurementSource& all, int64_t stride, int64_t count,
                  const std::function<void(Measurement&)>& keep) {
        kept_.reserve(static_cast<size_t>(count / stride + 1));
        Subsample(all, stride).forEach([&](const Measurement& m) {
            kept_.push_back(m);
            keep(kept_.back());
        });
    }
    void forEach(const std::function<void(const Measurement&)>& use) const override {
        for (const Measurement& m : kept_) use(m);
    }

private:
    std::vector<Measurement> kept_;
};

double trace(const Sym6& b) { return b[0] + b[1] + b[2]; }
Sym6 deviator(const Sym6& b) {
    const double t = trace(b) / 3;
    return {b[0] - t, b[1] - t, b[2] - t, b[3], b[4], b[5]};
}

}  // namespace

ScalingFit fitScaling(const MeasurementSource& source, bool amplitudes, const std::vector<Sym6>& basis,
                      const PosteriorTable& table) {
    const LogReference& reference = referenceCurve();
    const size_t n = basis.size() + 1;
    ScalingFit fit;

    // What the data determine: the linear dependences of the derivatives
    // of eta (1 for ln k, -m.B_j/2 for each term of B) over the reflections,
    // and the directions in which no reflection has a component.
    std::vector<double> gram(n * n, 0);
    double moment[3][3] = {};
    double s2Low = INFINITY, s2High = 0;
    int64_t count = 0;
    source.forEach([&](const Measurement& m) {
        const Sym6 mono = monomials(m.s);
        double g[kMaxParameters];
        g[0] = 1;
        for (size_t j = 1; j < n; ++j) g[j] = -0.5 * quadratic(basis[j - 1], mono);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) gram[i * n + j] += g[i] * g[j];
        for (size_t i = 0; i < 3; ++i)
            for (size_t j = 0; j < 3; ++j) moment[i][j] += m.s[i] * m.s[j];
        const double s2 = mono[0] + mono[1] + mono[2];
        s2Low = std::min(s2Low, s2), s2High = std::max(s2High, s2);
        ++count;
    });
    fit.reflections = count;
    if (count == 0) return fit;
    std::vector<double> scale(n);
    double largestScale = 0;
    for (size_t i = 0; i < n; ++i) largestScale = std::max(largestScale, std::sqrt(gram[i * n + i]));
    for (size_t i = 0; i < n; ++i) scale[i] = std::max(std::sqrt(gram[i * n + i]), 1e-9 * largestScale);
    std::vector<double> correlation(n * n);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) correlation[i * n + j] = gram[i * n + j] / (scale[i] * scale[j]);
    std::vector<double> values, vectors;
    symmetricEigen(correlation, n, values, vectors);
    std::vector<std::vector<double>> null;
    for (size_t k = 0; k < n; ++k) {
        if (values[k] > 1e-9) continue;
        std::vector<double> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = vectors[i * n + k] / scale[i];
        null.push_back(v);
    }
    // Orthonormal bases of the null space and of its complement (Gram-Schmidt).
    auto orthonormalise = [n](std::vector<std::vector<double>>& set, std::vector<double> v) {
        for (const auto& u : set) {
            double c = 0;
            for (size_t i = 0; i < n; ++i) c += u[i] * v[i];
            for (size_t i = 0; i < n; ++i) v[i] -= c * u[i];
        }
        double norm = 0;
        for (const double x : v) norm += x * x;
        norm = std::sqrt(norm);
        if (norm < 1e-8) return false;
        for (double& x : v) x /= norm;
        set.push_back(v);
        return true;
    };
    std::vector<std::vector<double>> nullBasis, all;
    for (const auto& v : null) orthonormalise(nullBasis, v);
    all = nullBasis;
    for (size_t e = 0; e < n; ++e) {
        std::vector<double> unit(n, 0);
        unit[e] = 1;
        orthonormalise(all, unit);
    }
    const std::vector<std::vector<double>> free(all.begin() + static_cast<long>(nullBasis.size()), all.end());
    fit.heldTerms = static_cast<int>(nullBasis.size());
    {
        Matrix t{};
        for (size_t i = 0; i < 3; ++i)
            for (size_t j = 0; j < 3; ++j) t[i][j] = moment[i][j];
        const Principal spread = principalComponents(fromMatrix(t));
        for (size_t i = 0; i < 3; ++i)
            if (spread.values[i] <= 1e-9 * spread.values[0]) fit.missingDirections.push_back(spread.vectors[i]);
    }
    fit.isotropicHeld = !nullBasis.empty() && s2High - s2Low <= 1e-6 * s2High;

    std::vector<double> p(n, 0.0);
    double bIso = 0;
    startingPoint(source, amplitudes, reference, s2Low, s2High, p[0], bIso);
    const Sym6 isotropic = {bIso, bIso, bIso, 0, 0, 0};
    for (size_t j = 1; j < n; ++j) p[j] = dot(isotropic, basis[j - 1]);

    // Above 60 000 reflections the rounds before the last take 60 000 of
    // them, evenly spread; the last round takes them all and moves B by
    // Newton's steps from within a few of its standard errors (on 1e6
    // reflections the same tensor to the log's last digit as with a quarter
    // million, in fewer steps). They are kept (48 bytes each, freed with the
    // fit), so that the early passes go over them alone and not over every
    // reflection to skip the rest.
    constexpr int64_t kSubsample = 60000;
    bool whole = count <= kSubsample || amplitudes;
    std::optional<KeptSubsample> kept;
    if (!whole) kept.emplace(source, std::max<int64_t>(1, count / kSubsample), count, [](Measurement&) {});
    const MeasurementSource& part = kept ? static_cast<const MeasurementSource&>(*kept) : source;
    SigmaRule rule;
    Maximum maximum;
    if (!amplitudes) {
        // The first error model at the expected intensities of the start.
        ErrorModelFit errors;
        const Sym6 b = tensorOf(basis, p);
        (whole ? source : static_cast<const MeasurementSource&>(part)).forEach([&](const Measurement& m) {
            errors.add(std::exp(etaOf(m, monomials(m.s), p[0], b, reference)), m.sigma * m.sigma);
        });
        rule.model = true;
        rule.errors = errors.finish();
        rule.b = b;
        rule.logScale = p[0];
        fit.errorModelUsed = true;
    }
    constexpr int kMostRounds = 5;
    for (int round = 0; round < kMostRounds; ++round) {
        const std::vector<double> before = p;
        fit.errorModel = rule.errors;
        maximum = maximise(whole ? source : static_cast<const MeasurementSource&>(part), amplitudes, basis, table, reference, p, rule, free);
        fit.iterations += maximum.iterations;
        ++fit.rounds;
        if (!maximum.converged || amplitudes) break;
        double moved = 0;
        for (size_t j = 1; j < n; ++j) moved = std::max(moved, std::fabs(p[j] - before[j]));
        if (round > 0 && moved < 0.05) {
            if (whole) break;
            whole = true;  // the last round, over every reflection
        }
        // The error model at the expected intensities of this fit, for the next.
        rule.errors = maximum.errors;
        rule.b = tensorOf(basis, p);
        rule.logScale = p[0];
    }
    if (!whole && maximum.converged) {
        fit.errorModel = rule.errors;
        maximum = maximise(source, amplitudes, basis, table, reference, p, rule, free);
        fit.iterations += maximum.iterations;
        ++fit.rounds;
    }
    fit.converged = maximum.converged;
    // The standard errors from the curvature at the optimum: the covariance
    // of the parameters is V A^-1 V^T, A the negative Hessian within the
    // free span V; that of the isotropic B (trace/3) and the largest of a
    // unit combination of the anisotropic part follow from it.
    {
        const size_t r = free.size();
        std::vector<double> a(r * r, 0);
        for (size_t u = 0; u < r; ++u)
            for (size_t v = 0; v < r; ++v)
                for (size_t i = 0; i < n; ++i)
                    for (size_t j = 0; j < n; ++j) a[u * r + v] -= free[u][i] * maximum.last.hessian[i][j] * free[v][j];
        std::vector<double> covariance(n * n, 0);
        bool definite = true;
        for (size_t j = 0; j < n && r > 0 && definite; ++j) {
            std::vector<double> y(r), x;
            for (size_t u = 0; u < r; ++u) y[u] = free[u][j];
            if (!solve(a, r, y, x)) {
                definite = false;
                break;
            }
            for (size_t k = 0; k < n; ++k)
                for (size_t u = 0; u < r; ++u) covariance[k * n + j] += free[u][k] * x[u];
        }
        if (!definite) {
            fit.isotropicError = fit.anisotropicError = INFINITY;
        } else {
            double iso = 0;
            for (size_t i = 1; i < n; ++i)
                for (size_t j = 1; j < n; ++j)
                    iso += trace(basis[i - 1]) * trace(basis[j - 1]) / 9 * covariance[i * n + j];
            fit.isotropicError = std::sqrt(std::max(iso, 0.0));
            // The deviator's six coordinates of unit Frobenius norm (the
            // off-diagonal ones times sqrt 2) and their covariance.
            const double weight[6] = {1, 1, 1, std::sqrt(2.0), std::sqrt(2.0), std::sqrt(2.0)};
            std::vector<double> spread(36, 0);
            for (size_t i = 1; i < n; ++i) {
                const Sym6 di = deviator(basis[i - 1]);
                for (size_t j = 1; j < n; ++j) {
                    const Sym6 dj = deviator(basis[j - 1]);
                    for (size_t x = 0; x < 6; ++x)
                        for (size_t y = 0; y < 6; ++y)
                            spread[x * 6 + y] += weight[x] * di[x] * weight[y] * dj[y] * covariance[i * n + j];
                }
            }
            std::vector<double> spreadValues, spreadVectors;
            symmetricEigen(spread, 6, spreadValues, spreadVectors);
            double largest = 0;
            for (const double v : spreadValues) largest = std::max(largest, v);
            fit.anisotropicError = std::sqrt(largest);
        }
        fit.largestError = std::max(fit.isotropicError, fit.anisotropicError);
    }

    // The terms the data leave open: the least anisotropic tensor of those
    // the data cannot tell apart (the isotropic B at 0 where that is open).
    if (!nullBasis.empty()) {
        const size_t k = nullBasis.size();
        const Sym6 b0 = tensorOf(basis, p);
        std::vector<Sym6> directions;
        for (const auto& v : nullBasis) directions.push_back(tensorOf(basis, v));
        std::vector<double> a(k * k), y(k), c;
        for (size_t i = 0; i < k; ++i) {
            y[i] = -(dot(deviator(directions[i]), deviator(b0)) + 1e-6 * trace(directions[i]) * trace(b0));
            for (size_t j = 0; j < k; ++j)
                a[i * k + j] = dot(deviator(directions[i]), deviator(directions[j])) +
                               1e-6 * trace(directions[i]) * trace(directions[j]) + (i == j ? 1e-12 : 0);
        }
        if (solve(a, k, y, c)) {
            for (size_t i = 0; i < k; ++i)
                for (size_t j = 0; j < n; ++j) p[j] += c[i] * nullBasis[i][j];
        }
    }
    fit.logScale = p[0];
    fit.b = tensorOf(basis, p);
    fit.logLikelihood = maximum.last.value;
    return fit;
}

ScalingFit refineScaling(const MeasurementSource& source, const std::vector<Sym6>& basis, const PosteriorTable& table,
                         const ScalingFit& fit, const std::function<double(double)>& logShape) {
    ScalingFit refined = fit;
    refined.converged = false;
    if (!fit.converged || fit.heldTerms > 0 || !fit.errorModelUsed) return refined;
    const LogReference reference(logShape);
    const size_t n = basis.size() + 1;
    std::vector<double> p(n);
    p[0] = fit.logScale;
    for (size_t j = 1; j < n; ++j) p[j] = dot(fit.b, basis[j - 1]);
    std::vector<std::vector<double>> free(n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; ++i) free[i][i] = 1;
    SigmaRule rule;
    rule.model = true;
    rule.errors = fit.errorModel;
    rule.b = fit.b;
    rule.logScale = fit.logScale;
    // A hundred thousand reflections fix the prior's B far within what it
    // needs (on 1e6 reflections its principal values move by 0.04 A^2 from
    // a quarter million's, the amplitudes by 0.14 % at most); no round over
    // every reflection follows this one, so it takes more than the fit's
    // early rounds do.
    constexpr int64_t kSubsample = 100000;
    // The subsample is kept, so that the maximisation's passes go over it
    // alone rather than over every reflection to take one in `stride`. The
    // error model and its tensor stay fixed through the round, so each kept
    // reflection carries the sigma they give it, worked out once.
    std::optional<KeptSubsample> part;
    SigmaRule kept;
    if (fit.reflections > kSubsample) {
        part.emplace(source, fit.reflections / kSubsample, fit.reflections, [&](Measurement& m) {
            const Sym6 mono = monomials(m.s);
            const double expected = std::exp(etaBase(m, mono, reference) + rule.logScale - 0.5 * quadratic(rule.b, mono));
            m.sigma = std::sqrt(std::max(rule.errors.at(expected), 1e-30));
        });
    }
    const Maximum maximum = maximise(part ? static_cast<const MeasurementSource&>(*part) : source, false, basis, table,
                                     reference, p, part ? kept : rule, free);
    refined.converged = maximum.converged;
    refined.iterations = maximum.iterations;
    refined.logScale = p[0];
    refined.b = tensorOf(basis, p);
    refined.logLikelihood = maximum.last.value;
    return refined;
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
