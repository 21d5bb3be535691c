#include "ovofit/curve.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace ovofit {

namespace {

// Solves a x = b for n unknowns (n at most 3) by elimination with partial
// pivoting; false when singular.
template <size_t N>
bool solveSmall(std::array<std::array<double, N>, N> a, std::array<double, N>& b) {
    for (size_t col = 0; col < N; ++col) {
        size_t pivot = col;
        for (size_t row = col + 1; row < N; ++row) {
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        }
        if (!(std::fabs(a[pivot][col]) > 1e-300)) return false;
        std::swap(a[pivot], a[col]);
        std::swap(b[pivot], b[col]);
        for (size_t row = col + 1; row < N; ++row) {
            const double factor = a[row][col] / a[col][col];
            for (size_t j = col; j < N; ++j) a[row][j] -= factor * a[col][j];
            b[row] -= factor * b[col];
        }
    }
    for (size_t col = N; col-- > 0;) {
        for (size_t j = col + 1; j < N; ++j) b[col] -= a[col][j] * b[j];
        b[col] /= a[col][col];
    }
    return std::all_of(b.begin(), b.end(), [](double v) { return std::isfinite(v); });
}

// Weighted least squares by Levenberg-Marquardt, derivatives by forward
// differences; `p` holds the start and receives the minimum. False when
// no finite start.
template <size_t N, class Model>
bool leastSquares(const std::vector<CurvePoint>& points, const Model& model, std::array<double, N>& p) {
    auto cost = [&](const std::array<double, N>& q) {
        double sum = 0;
        for (const CurvePoint& point : points) {
            const double r = point.y - model(q, point.x);
            sum += point.weight * r * r;
        }
        return sum;
    };
    double current = cost(p);
    if (!std::isfinite(current)) return false;
    double lambda = 1e-3;
    for (int iteration = 0; iteration < 500 && lambda < 1e12; ++iteration) {
        std::array<std::array<double, N>, N> normal{};
        std::array<double, N> gradient{};
        for (const CurvePoint& point : points) {
            const double value = model(p, point.x);
            std::array<double, N> derivative;
            for (size_t j = 0; j < N; ++j) {
                std::array<double, N> q = p;
                const double step = 1e-7 * std::max(1.0, std::fabs(p[j]));
                q[j] += step;
                derivative[j] = (model(q, point.x) - value) / step;
            }
            for (size_t j = 0; j < N; ++j) {
                for (size_t k = 0; k < N; ++k) normal[j][k] += point.weight * derivative[j] * derivative[k];
                gradient[j] += point.weight * derivative[j] * (point.y - value);
            }
        }
        for (;;) {
            std::array<std::array<double, N>, N> damped = normal;
            for (size_t j = 0; j < N; ++j) damped[j][j] += lambda * (normal[j][j] + 1e-12);
            std::array<double, N> step = gradient;
            std::array<double, N> trial = p;
            if (solveSmall(damped, step)) {
                for (size_t j = 0; j < N; ++j) trial[j] += step[j];
                const double tried = cost(trial);
                if (std::isfinite(tried) && tried <= current) {
                    const bool settled = current - tried <= 1e-12 * current;
                    p = trial;
                    current = tried;
                    lambda = std::max(lambda / 10, 1e-12);
                    if (settled) return true;
                    break;
                }
            }
            lambda *= 10;
            if (lambda >= 1e12) return true;
        }
    }
    return true;
}

double signalModel(const std::array<double, 3>& p, double x) { return std::exp(p[0] + x * (p[1] + x * p[2])); }

}  // namespace

double SignalCurve::at(double x) const { return std::exp(p[0] + x * (p[1] + x * p[2])); }

double CorrelationCurve::at(double x) const { return 1.0 / (1.0 + std::exp((x - middle) / width)); }

std::optional<SignalCurve> fitSignal(const std::vector<CurvePoint>& points) {
    // The start: ln(I/sigma) fitted by linear least squares over the shells
    // above 0, each weighted by its own weight times its value squared (the
    // variance of a logarithm is that of the value over its square).
    std::array<std::array<double, 3>, 3> normal{};
    std::array<double, 3> right{};
    double low = 1e300, high = -1e300;
    int positive = 0;
    for (const CurvePoint& point : points) {
        low = std::min(low, point.x);
        high = std::max(high, point.x);
        if (!(point.y > 0)) continue;
        ++positive;
        const double w = point.weight * point.y * point.y;
        const double terms[3] = {1, point.x, point.x * point.x};
        for (size_t j = 0; j < 3; ++j) {
            for (size_t k = 0; k < 3; ++k) normal[j][k] += w * terms[j] * terms[k];
            right[j] += w * terms[j] * std::log(point.y);
        }
    }
    if (points.size() < 3) return std::nullopt;
    std::array<double, 3> p = right;
    if (positive < 3 || !solveSmall(normal, p)) p = {0, 0, 0};
    if (leastSquares<3>(points, signalModel, p)) {
        // Decreasing over the whole range: the slope p1 + 2 p2 x at both ends.
        if (p[1] + 2 * p[2] * low <= 0 && p[1] + 2 * p[2] * high <= 0) return SignalCurve{{p[0], p[1], p[2]}};
    }
    std::array<double, 2> q = {p[0], std::min(p[1], 0.0)};
    if (!leastSquares<2>(points, [](const std::array<double, 2>& r, double x) { return std::exp(r[0] + r[1] * x); },
                         q)) {
        return std::nullopt;
    }
    return SignalCurve{{q[0], q[1], 0}};
}

std::optional<CorrelationCurve> fitCorrelation(const std::vector<CurvePoint>& points) {
    if (points.size() < 3) return std::nullopt;
    double low = 1e300, high = -1e300;
    for (const CurvePoint& point : points) {
        low = std::min(low, point.x);
        high = std::max(high, point.x);
    }
    // The start: the middle where the shells first fall below a half, the
    // width a tenth of the range; the width fitted as its logarithm, so it
    // stays positive.
    double middle = high;
    for (const CurvePoint& point : points) {
        if (point.y < 0.5) {
            middle = point.x;
            break;
        }
    }
    std::array<double, 2> p = {middle, std::log(std::max(high - low, 1e-6) / 10)};
    auto model = [](const std::array<double, 2>& q, double x) { return 1.0 / (1.0 + std::exp((x - q[0]) / std::exp(q[1]))); };
    if (!leastSquares<2>(points, model, p)) return std::nullopt;
    return CorrelationCurve{p[0], std::exp(p[1])};
}

}  // namespace ovofit
