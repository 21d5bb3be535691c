// The prior's mean intensity for French and Wilson: the mean of I/epsilon
// in shells of equal reciprocal volume, smoothed across shells (weights
// 1/4, 1/2, 1/4 on the logarithms of neighbouring shells' means; the
// first and last shells as they are) and
// interpolated linearly in s^2 between the shells' mean s^2 on that
// logarithmic scale, where a Wilson falloff is a straight line. A shell
// whose mean is not above a tenth of its mean sigma(I)/epsilon (a shell of
// noise) takes that tenth.
#pragma once

#include <cstdint>
#include <vector>

namespace ovoscale {

class ShellPrior {
public:
    // The reflections' s^2 range and their number fix the shells: one per
    // 1000 reflections, 1 to 30 of them.
    ShellPrior(double s2Low, double s2High, int64_t count);
    void add(double s2, double intensityOverEpsilon, double sigmaOverEpsilon);
    void finish();
    double meanAt(double s2) const;  // per epsilon
    int shells() const { return static_cast<int>(sums_.size()); }

private:
    int shellOf(double s2) const;
    double cubeLow_, cubeStep_;
    struct Sum {
        double intensity = 0, sigma = 0, s2 = 0;
        int64_t count = 0;
    };
    std::vector<Sum> sums_;
    std::vector<double> centre_, logMean_;
};

}  // namespace ovoscale
