#include "ovoscale/shells.hpp"

#include <algorithm>
#include <cmath>

namespace ovoscale {

ShellPrior::ShellPrior(double s2Low, double s2High, int64_t count) {
    const int n = static_cast<int>(std::clamp<int64_t>(count / 1000, 1, 30));
    cubeLow_ = std::pow(s2Low, 1.5);
    cubeStep_ = (std::pow(s2High, 1.5) - cubeLow_) / n;
    sums_.resize(static_cast<size_t>(n));
}

int ShellPrior::shellOf(double s2) const {
    if (!(cubeStep_ > 0)) return 0;
    const double u = (std::pow(s2, 1.5) - cubeLow_) / cubeStep_;
    return std::clamp(static_cast<int>(u), 0, static_cast<int>(sums_.size()) - 1);
}

void ShellPrior::add(double s2, double intensityOverEpsilon, double sigmaOverEpsilon) {
    Sum& sum = sums_[static_cast<size_t>(shellOf(s2))];
    sum.intensity += intensityOverEpsilon;
    sum.sigma += sigmaOverEpsilon;
    sum.s2 += s2;
    ++sum.count;
}

void ShellPrior::finish() {
    std::vector<double> logs;
    for (const Sum& sum : sums_) {
        if (sum.count == 0) continue;
        const double n = static_cast<double>(sum.count);
        const double mean = std::max(sum.intensity / n, 0.1 * sum.sigma / n);
        centre_.push_back(sum.s2 / n);
        logs.push_back(std::log(mean));
    }
    const size_t n = logs.size();
    logMean_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        // The first and last shells keep their own means: a one-sided
        // average would bend the falloff there.
        if (i == 0 || i + 1 == n) {
            logMean_[i] = logs[i];
        } else {
            logMean_[i] = 0.25 * logs[i - 1] + 0.5 * logs[i] + 0.25 * logs[i + 1];
        }
    }
}

double ShellPrior::meanAt(double s2) const {
    if (centre_.empty()) return 1;
    if (centre_.size() == 1 || s2 <= centre_.front()) return std::exp(logMean_.front());
    if (s2 >= centre_.back()) return std::exp(logMean_.back());
    const size_t i = static_cast<size_t>(std::upper_bound(centre_.begin(), centre_.end(), s2) - centre_.begin()) - 1;
    const double f = (s2 - centre_[i]) / (centre_[i + 1] - centre_[i]);
    return std::exp(logMean_[i] + f * (logMean_[i + 1] - logMean_[i]));
}

}  // namespace ovoscale
