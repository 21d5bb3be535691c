#include "ovoscale/prior.hpp"

#include <algorithm>
#include <cmath>

namespace ovoscale {

namespace {

// y at x, linear between the points (x ascending, n at least 1) and level
// beyond the first and the last.
double interpolated(const double* xs, const double* ys, size_t n, double x) {
    if (n == 1 || x <= xs[0]) return ys[0];
    if (x >= xs[n - 1]) return ys[n - 1];
    const size_t i = static_cast<size_t>(std::upper_bound(xs, xs + n, x) - xs) - 1;
    const double f = (x - xs[i]) / (xs[i + 1] - xs[i]);
    return ys[i] + f * (ys[i + 1] - ys[i]);
}

}  // namespace

int ReflectionPrior::shellCount(int64_t count) {
    int64_t n = std::clamp<int64_t>(count / 200, 1, 50);
    if (n < 10) n = std::clamp<int64_t>(count / 50, n, 10);
    return static_cast<int>(n);
}

ReflectionPrior::ReflectionPrior(double s2Low, double s2High, int64_t count) {
    const int n = shellCount(count);
    cubeLow_ = std::pow(s2Low, 1.5);
    cubeStep_ = (std::pow(s2High, 1.5) - cubeLow_) / n;
    sums_.resize(static_cast<size_t>(n));
}

int ReflectionPrior::shellOf(double s2) const {
    if (!(cubeStep_ > 0)) return 0;
    const double u = (s2 * std::sqrt(s2) - cubeLow_) / cubeStep_;
    return std::clamp(static_cast<int>(u), 0, static_cast<int>(sums_.size()) - 1);
}

void ReflectionPrior::add(double s2, double intensityOverEpsilon, double sigmaOverEpsilon, double expectedOverEpsilon) {
    Sum& sum = sums_[static_cast<size_t>(shellOf(s2))];
    sum.intensity += intensityOverEpsilon;
    sum.sigma += sigmaOverEpsilon;
    sum.expected += expectedOverEpsilon;
    sum.s2 += s2;
    ++sum.count;
}

void ReflectionPrior::finish() {
    std::vector<double> logs, weights;
    for (const Sum& sum : sums_) {
        if (sum.count == 0 || !(sum.expected > 0)) continue;
        const double n = static_cast<double>(sum.count);
        centre_.push_back(sum.s2 / n);
        logs.push_back(std::log(std::max(sum.intensity, 0.1 * sum.sigma) / sum.expected));
        weights.push_back(n);
    }
    const size_t n = logs.size();
    logCorrection_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        // A straight line in s^2 through the shells i-2 .. i+2, at shell i.
        const size_t from = i >= 2 ? i - 2 : 0, to = std::min(n, i + 3);
        double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (size_t j = from; j < to; ++j) {
            const double x = centre_[j] - centre_[i], w = weights[j];
            sw += w, sx += w * x, sy += w * logs[j], sxx += w * x * x, sxy += w * x * logs[j];
        }
        const double determinant = sw * sxx - sx * sx;
        logCorrection_[i] = determinant > 1e-12 * sw * sxx ? (sy * sxx - sx * sxy) / determinant : sy / sw;
    }
}

double ReflectionPrior::logCorrectionAt(double s2) const {
    if (centre_.empty()) return 0;
    return interpolated(centre_.data(), logCorrection_.data(), centre_.size(), s2);
}

int MeasuredError::binOf(double intensity) const {
    return std::clamp(static_cast<int>((std::asinh(intensity / scale_) - kLowest) / kWidth), 0, kBins - 1);
}

int MeasuredError::rowOf(double expected) const {
    if (!(expected > 0)) return 0;
    return std::clamp(static_cast<int>(std::floor(std::log(expected / scale_) - kLowestRow)), 0, kRows - 1);
}

void MeasuredError::add(double intensity, double variance, double expected) {
    if (!std::isfinite(intensity) || !(variance > 0)) return;
    const int bin = binOf(intensity);
    for (Curve* curve : {&whole_, &rows_[static_cast<size_t>(rowOf(expected))]}) {
        ++curve->count[bin];
        curve->intensity[bin] += intensity;
        curve->variance[bin] += variance;
    }
}

void MeasuredError::Curve::finish() {
    points = 0;
    for (int i = 0; i < kBins; ++i) {
        if (count[i] < kLeast) continue;
        const double n = static_cast<double>(count[i]);
        at[points] = intensity[i] / n;
        value[points] = variance[i] / n;
        ++points;
    }
}

double MeasuredError::Curve::valueAt(double x) const {
    if (points == 0) return NAN;
    return interpolated(at, value, static_cast<size_t>(points), x);
}

void MeasuredError::finish() {
    whole_.finish();
    for (Curve& row : rows_) row.finish();
}

double MeasuredError::at(double intensity, double expected) const {
    const Curve& row = rows_[static_cast<size_t>(rowOf(expected))];
    return row.points >= 3 ? row.valueAt(intensity) : whole_.valueAt(intensity);
}

}  // namespace ovoscale
