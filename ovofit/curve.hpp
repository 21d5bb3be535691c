// Smooth curves through the shells of a cone, and where they cross a level.
//
// Mean I/sigma(I) against x = d*^2: I/sigma = exp(p0 + p1 x + p2 x^2), the
// Wilson falloff with its curvature (signal above background falls as
// exp(-B x / 2) at low resolution and as exp(-B x) where the background
// rules), fitted by weighted least squares in I/sigma itself, so that shells
// whose mean is at or below 0 count; each shell weighted by its count over
// the variance of its reflections' I/sigma (the inverse variance of its
// mean). A fit that turns upward within the data is replaced by the plain
// exponential (p2 = 0).
//
// CC1/2 against x: the logistic 1 / (1 + exp((x - x0) / w)), from 1 at low
// resolution to 0, weighted by the shells' counts of pairs of half-set means.
#pragma once

#include <optional>
#include <vector>

namespace ovofit {

struct CurvePoint {
    double x = 0, y = 0, weight = 0;
};

struct SignalCurve {
    double p[3] = {};
    double at(double x) const;
};
std::optional<SignalCurve> fitSignal(const std::vector<CurvePoint>& points);

struct CorrelationCurve {
    double middle = 0, width = 1;
    double at(double x) const;
};
std::optional<CorrelationCurve> fitCorrelation(const std::vector<CurvePoint>& points);

// Where a curve falling with x crosses `level` between `low` and `high`.
enum class Crossing {
    within,   // at x
    beyond,   // still above the level at `high`: x is `high`
    atStart,  // already below at `low`: x is `low`
};
struct LevelCrossing {
    Crossing where = Crossing::within;
    double x = 0;
};
template <class Curve>
LevelCrossing crossing(const Curve& curve, double level, double low, double high) {
    if (!(curve.at(low) >= level)) return {Crossing::atStart, low};
    if (curve.at(high) >= level) return {Crossing::beyond, high};
    for (int i = 0; i < 100; ++i) {
        const double middle = (low + high) / 2;
        (curve.at(middle) >= level ? low : high) = middle;
    }
    return {Crossing::within, (low + high) / 2};
}

}  // namespace ovofit
