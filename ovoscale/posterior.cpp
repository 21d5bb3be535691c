#include "ovoscale/posterior.hpp"

#include <cmath>
#include <algorithm>

namespace ovoscale {

namespace {

constexpr int kPoints = 16;  // Gauss-Legendre points a panel
constexpr int kPanels = 8;
constexpr double kReach = 11.0;  // |t^2 - mu| up to 11: the integrand above exp(-60.5) of its peak

struct GaussLegendre {
    double node[kPoints];
    double weight[kPoints];
    GaussLegendre() {
        // Roots of the Legendre polynomial by Newton's method from
        // Tricomi's first guess; weights 2 / ((1 - x^2) P'(x)^2).
        for (int i = 0; i < kPoints; ++i) {
            double x = std::cos(M_PI * (i + 0.75) / (kPoints + 0.5));
            double derivative = 1;
            for (int iteration = 0; iteration < 100; ++iteration) {
                double p0 = 1, p1 = x;
                for (int n = 2; n <= kPoints; ++n) {
                    const double p2 = ((2 * n - 1) * x * p1 - (n - 1) * p0) / n;
                    p0 = p1;
                    p1 = p2;
                }
                derivative = kPoints * (x * p1 - p0) / (x * x - 1);
                const double step = p1 / derivative;
                x -= step;
                if (std::fabs(step) < 1e-16) break;
            }
            node[i] = x;
            weight[i] = 2 / ((1 - x * x) * derivative * derivative);
        }
    }
};

const GaussLegendre& rule() {
    static const GaussLegendre gaussLegendre;
    return gaussLegendre;
}

double exponentOf(Prior prior) { return prior == Prior::acentric ? 0.0 : -0.5; }

// Generalised binomial coefficient C(q, n).
double binomial(double q, int n) {
    double c = 1;
    for (int i = 0; i < n; ++i) c *= (q - i) / (i + 1);
    return c;
}

// Orders kept in the series below: the first left out is below 1e-13 of
// the sum at mu = 64 and at mu = -32, and smaller further out.
constexpr int kOrders = 8;

// Near-Gaussian side (mu > 64), t = (x - mu)/mu, y = x - mu standard normal
// under the weight (1 + y/mu)^a: E0[(1 + t)^q] = sum_n c_n(q) u^n with
// u = 1/mu^2, c_n(q) = C(q, 2n) (2n-1)!!.
void gaussianCoefficients(double q, double c[kOrders]) {
    double doubleFactorial = 1;
    for (int n = 0; n < kOrders; ++n) {
        if (n > 0) doubleFactorial *= 2 * n - 1;
        c[n] = doubleFactorial * binomial(q, 2 * n);
    }
}

// The sum over n of c_n u^n, evaluated from the highest order down.
double powerSeries(const double c[kOrders], double u) {
    double sum = 0;
    for (int n = kOrders; n-- > 0;) sum = sum * u + c[n];
    return sum;
}

// P(u) Q(u) - R(u)^2 as a power series of its own, order by order: where
// the product and the square agree to leading order (a variance), the
// coefficients that cancel are cancelled exactly before u enters, and the
// difference keeps its relative precision however small u is.
double productLessSquare(const double p[kOrders], const double q[kOrders], const double r[kOrders], double u) {
    double c[kOrders];
    for (int n = 0; n < kOrders; ++n) {
        c[n] = 0;
        for (int i = 0; i <= n; ++i) c[n] += p[i] * q[n - i] - r[i] * r[n - i];
    }
    return powerSeries(c, u);
}

// Near-exponential side (mu < -32), lambda = -mu, z = lambda x: the weight
// z^a exp(-z) exp(-z^2 / (2 lambda^2)); the integral of z^(a+p) under it
// over Gamma(a+1) is sum_n e_n(p) v^n with v = 1/lambda^2,
// e_n(p) = (-1/2)^n / n! Gamma(a+1+p+2n) / Gamma(a+1).
void exponentialCoefficients(double a, double p, double e[kOrders]) {
    double term = std::exp(std::lgamma(a + 1 + p) - std::lgamma(a + 1));
    for (int n = 0; n < kOrders; ++n) {
        if (n > 0) term *= -0.5 / n * (a + p + 2 * n - 1) * (a + p + 2 * n);
        e[n] = term;
    }
}

}  // namespace

Moments integrateMoments(Prior prior, double mu) {
    // In t = sqrt(x): 2 t^(2a+1+k) exp(-(t^2 - mu)^2 / 2) dt, taken relative
    // to the exponent's largest value over t >= 0 (0, or -mu^2/2 for mu < 0).
    const double a = exponentOf(prior);
    double tLow = 0, tHigh = 0;
    if (mu >= 0) {
        tLow = std::sqrt(std::max(0.0, mu - kReach));
        tHigh = std::sqrt(mu + kReach);
    } else {
        const double lambda = -mu;
        // x = t^2 where x^2/2 + lambda x = kReach^2, the root written
        // without the difference lambda^2 + c less lambda^2 for large lambda.
        tHigh = std::sqrt(2 * kReach * kReach / (lambda + std::sqrt(lambda * lambda + 2 * kReach * kReach)));
    }
    // The sums are taken about the mode, x0 = max(mu, 0) and t0 = sqrt(x0),
    // so that the variances are not differences of nearly equal moments.
    const double x0 = std::max(mu, 0.0), t0 = std::sqrt(x0);
    const GaussLegendre& gl = rule();
    const double panel = (tHigh - tLow) / kPanels;
    double norm = 0, root1 = 0, root2 = 0, x1 = 0, x2 = 0;
    for (int p = 0; p < kPanels; ++p) {
        const double centre = tLow + (p + 0.5) * panel;
        for (int i = 0; i < kPoints; ++i) {
            const double t = centre + 0.5 * panel * gl.node[i];
            const double t2 = t * t;
            const double exponent = mu >= 0 ? -0.5 * (t2 - mu) * (t2 - mu) : -(0.5 * t2 * t2 - mu * t2);
            const double value = 2 * gl.weight[i] * std::exp(exponent) * (a == 0 ? t : 1.0);
            const double dt = t - t0, dx = t2 - x0;
            norm += value;
            root1 += value * dt;
            root2 += value * dt * dt;
            x1 += value * dx;
            x2 += value * dx * dx;
        }
    }
    norm *= 0.5 * panel;
    root1 *= 0.5 * panel / norm, root2 *= 0.5 * panel / norm;
    x1 *= 0.5 * panel / norm, x2 *= 0.5 * panel / norm;
    Moments m;
    m.logNorm = std::log(norm) + (mu < 0 ? -0.5 * mu * mu : 0.0);
    m.meanRoot = t0 + root1;
    m.mean = x0 + x1;
    m.varRoot = root2 - root1 * root1;
    m.var = x2 - x1 * x1;
    return m;
}

Moments asymptoticMoments(Prior prior, double mu) {
    const double a = exponentOf(prior);
    Moments m;
    if (mu > 0) {
        // x = mu (1 + t): E[x^p] = mu^p S(a+p) / S(a), S(q) = E0[(1 + t)^q].
        // The variances are mu^2 and mu times S(a+2) S(a) - S(a+1)^2 and
        // S(a+1) S(a) - S(a+1/2)^2 over S(a)^2, whose leading terms cancel
        // exactly in the coefficients.
        const double u = 1 / (mu * mu);
        double s0[kOrders], sHalf[kOrders], s1[kOrders], s2[kOrders];
        gaussianCoefficients(a, s0);
        gaussianCoefficients(a + 0.5, sHalf);
        gaussianCoefficients(a + 1, s1);
        gaussianCoefficients(a + 2, s2);
        const double norm = powerSeries(s0, u);
        m.logNorm = 0.5 * std::log(2 * M_PI) + a * std::log(mu) + std::log(norm);
        m.meanRoot = std::sqrt(mu) * powerSeries(sHalf, u) / norm;
        m.mean = mu * powerSeries(s1, u) / norm;
        m.varRoot = mu * productLessSquare(s1, s0, sHalf, u) / (norm * norm);
        m.var = mu * mu * productLessSquare(s2, s0, s1, u) / (norm * norm);
        return m;
    }
    // exp(-(x-mu)^2/2) = exp(-mu^2/2) exp(-lambda x) exp(-x^2/2), lambda = -mu:
    // in z = lambda x the moments of z are those of a gamma distribution
    // corrected by a series in 1/lambda^2, and its variances come from
    // products less squares of those series, as above.
    const double lambda = -mu;
    const double v = 1 / (lambda * lambda);
    double e0[kOrders], eHalf[kOrders], e1[kOrders], e2[kOrders];
    exponentialCoefficients(a, 0, e0);
    exponentialCoefficients(a, 0.5, eHalf);
    exponentialCoefficients(a, 1, e1);
    exponentialCoefficients(a, 2, e2);
    const double norm = powerSeries(e0, v);
    m.logNorm = -0.5 * mu * mu + std::lgamma(a + 1) - (a + 1) * std::log(lambda) + std::log(norm);
    m.meanRoot = powerSeries(eHalf, v) / norm / std::sqrt(lambda);
    m.mean = powerSeries(e1, v) / norm / lambda;
    m.varRoot = productLessSquare(e1, e0, eHalf, v) / (norm * norm) / lambda;
    m.var = productLessSquare(e2, e0, e1, v) / (norm * norm) / (lambda * lambda);
    return m;
}

PosteriorTable::PosteriorTable() {
    const int count = static_cast<int>((kHigh - kLow) * kStepsPerUnit) + 1;
    for (const Prior prior : {Prior::acentric, Prior::centric}) {
        std::vector<Moments>& nodes = nodes_[static_cast<size_t>(prior)];
        nodes.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) nodes[static_cast<size_t>(i)] = integrateMoments(prior, kLow + i / kStepsPerUnit);
    }
}

Moments PosteriorTable::at(Prior prior, double mu) const { return interpolate<true>(prior, mu); }

Moments PosteriorTable::likelihoodAt(Prior prior, double mu) const { return interpolate<false>(prior, mu); }

template <bool kAll>
Moments PosteriorTable::interpolate(Prior prior, double mu) const {
    if (!(mu >= kLow && mu <= kHigh)) return asymptoticMoments(prior, mu);
    const std::vector<Moments>& nodes = nodes_[static_cast<size_t>(prior)];
    const double u = (mu - kLow) * kStepsPerUnit;
    const int last = static_cast<int>(nodes.size()) - 1;
    int i = static_cast<int>(u);
    if (i < 1) i = 1;
    if (i > last - 2) i = last - 2;
    const double f = u - i;
    // Lagrange weights of the nodes i-1, i, i+1, i+2.
    const double w[4] = {-f * (f - 1) * (f - 2) / 6, (f + 1) * (f - 1) * (f - 2) / 2, -(f + 1) * f * (f - 2) / 2,
                         (f + 1) * f * (f - 1) / 6};
    Moments m;
    for (int j = 0; j < 4; ++j) {
        const Moments& n = nodes[static_cast<size_t>(i - 1 + j)];
        m.logNorm += w[j] * n.logNorm;
        m.mean += w[j] * n.mean;
        m.var += w[j] * n.var;
        if constexpr (kAll) {
            m.meanRoot += w[j] * n.meanRoot;
            m.varRoot += w[j] * n.varRoot;
        }
    }
    return m;
}

Amplitude frenchWilson(const PosteriorTable& table, Prior prior, double intensity, double sigma, double priorMean) {
    const Moments m = table.at(prior, muOf(prior, intensity, sigma, priorMean));
    return {std::sqrt(sigma) * m.meanRoot, std::sqrt(sigma * m.varRoot)};
}

Amplitude varyingPosterior(Prior prior, double intensity, double sigma, double priorMean, const ErrorVariance& error) {
    // In t = sqrt(J/sigma), x = t^2: the density is t^(2a+1) exp(L(x)),
    // L(x) = -r x - (mu - x)^2 / (2 w(x)) - ln w(x) / 2, r = sigma / (the
    // prior's mean, twice it for a centric reflection), mu = I/sigma and
    // w(x) = v(sigma x) / sigma^2.
    const double a = exponentOf(prior);
    const double r = sigma / (prior == Prior::acentric ? priorMean : 2.0 * priorMean);
    const double mu = intensity / sigma;
    // w(x) = ax + bx x + cx x^2
    const double ax = error.a / (sigma * sigma), bx = error.b / sigma, cx = error.c;
    struct Variance {
        double w, dw;
    };
    const auto variance = [&](double x) -> Variance {
        const double w = ax + x * (bx + cx * x);
        return w > 0.25 ? Variance{w, bx + 2 * cx * x} : Variance{0.25, 0.0};
    };
    const auto logDensity = [&](double t) {
        const double x = t * t, d = mu - x;
        const double w = variance(x).w;
        return (2 * a + 1) * std::log(t) - r * x - 0.5 * d * d / w - 0.5 * std::log(w);
    };
    // dL/dx, and the slope of the log density in t.
    const auto slopeX = [&](double x) {
        const Variance v = variance(x);
        const double d = mu - x;
        return -r + d / v.w + 0.5 * d * d * v.dw / (v.w * v.w) - 0.5 * v.dw / v.w;
    };
    const auto slopeT = [&](double t) { return (2 * a + 1) / t + 2 * t * slopeX(t * t); };

    // The mode in t, by bisection to a thousandth of its bracket (it only
    // places the panels): at 0 for a centric prior falling from there.
    double mode = 0, width = 0;
    if (a != 0 && slopeX(0) <= 0) {
        // exp(s t^2 - t^4 / (2 w)) near 0: a width from both terms, so
        // that a slope near 0 leaves the quartic's.
        width = 1 / std::sqrt(-2 * slopeX(0) + std::sqrt(2 / variance(0).w));
    } else {
        double low = 1e-9, high = std::sqrt(std::max(mu, 1.0));
        for (int i = 0; i < 200 && slopeT(high) > 0; ++i) high *= 2;
        for (int i = 0; i < 60 && high - low > 1e-3 * high; ++i) {
            const double middle = 0.5 * (low + high);
            (slopeT(middle) > 0 ? low : high) = middle;
        }
        mode = 0.5 * (low + high);
        const double step = 1e-4 * mode;
        const double curvature = -(slopeT(mode + step) - slopeT(mode - step)) / (2 * step);
        // Near t = 0 the quartic term bounds the width where the
        // curvature of a flat top does not.
        width = 1 / std::sqrt(std::max(curvature, 0.0) + std::sqrt(2 / variance(mode * mode).w));
    }
    // The density at the nodes as t^(2a+1) exp(...) / sqrt(w), relative to
    // its value at the mode: no logarithm a node.
    const double top = logDensity(std::max(mode, 1e-300));
    const double topExponent = top - (mode > 0 ? (2 * a + 1) * std::log(mode) : 0.0);
    // Each side of the mode out to where the density is exp(-40) of its
    // value there, in steps that grow (a width that grows with x, or the
    // prior's exponential fall, makes the sides unequal).
    double reachLow = 6 * width, reachHigh = 6 * width;
    for (int i = 0; i < 60 && logDensity(mode + reachHigh) > top - 40; ++i) reachHigh *= 1.5;
    for (int i = 0; i < 60 && mode - reachLow > 0 && logDensity(mode - reachLow) > top - 40; ++i) reachLow *= 1.5;
    // Panel ends: the mode, then outwards at 2, 6, 18 ... widths (a long
    // tail in few panels of its own), the range's ends, and where the
    // variance meets its floor (a kink the rule must not straddle).
    constexpr int kMostEnds = 32;
    double ends[kMostEnds];
    int count = 0;
    const double low = std::max(mode - reachLow, 0.0), high = mode + reachHigh;
    ends[count++] = low;
    ends[count++] = mode;
    ends[count++] = high;
    for (double step = 2 * width; count < kMostEnds - 4; step *= 3) {
        const bool below = mode - step > low, above = mode + step < high;
        if (!below && !above) break;
        if (below) ends[count++] = mode - step;
        if (above) ends[count++] = mode + step;
    }
    {
        // cx x^2 + bx x + (ax - 1/4) = 0 in x = t^2.
        const double q0 = ax - 0.25;
        double roots[2];
        int found = 0;
        if (cx > 0) {
            const double discriminant = bx * bx - 4 * cx * q0;
            if (discriminant >= 0) {
                const double root = std::sqrt(discriminant);
                const double qq = -0.5 * (bx + root);  // without cancellation
                roots[found++] = qq / cx;
                if (qq != 0) roots[found++] = q0 / qq;
            }
        } else if (bx > 0) {
            roots[found++] = -q0 / bx;
        }
        for (int i = 0; i < found; ++i) {
            if (!(roots[i] > 0)) continue;
            const double t = std::sqrt(roots[i]);
            if (t > low && t < high) ends[count++] = t;
        }
    }
    std::sort(ends, ends + count);

    // A Gauss-Legendre panel between each two ends; moments of t about the
    // mode.
    const GaussLegendre& gl = rule();
    double norm = 0, first = 0, second = 0;
    for (int panel = 0; panel + 1 < count; ++panel) {
        const double half = 0.5 * (ends[panel + 1] - ends[panel]), centre = 0.5 * (ends[panel + 1] + ends[panel]);
        if (!(half > 0)) continue;
        for (int i = 0; i < kPoints; ++i) {
            const double t = centre + half * gl.node[i];
            const double x = t * t, d = mu - x, w = variance(x).w;
            const double value = half * gl.weight[i] * (a == 0 ? t : 1.0) *
                                 std::exp(-r * x - 0.5 * d * d / w - topExponent) / std::sqrt(w);
            const double dt = t - mode;
            norm += value;
            first += value * dt;
            second += value * dt * dt;
        }
    }
    first /= norm, second /= norm;
    return {std::sqrt(sigma) * (mode + first), std::sqrt(sigma * std::max(second - first * first, 0.0))};
}

Amplitude frenchWilson(const PosteriorTable& table, Prior prior, double intensity, double sigma, double priorMean,
                       const ErrorVariance& error) {
    if (error.constant() || !(priorMean > 0) || !takesVaryingError(intensity, sigma)) {
        return frenchWilson(table, prior, intensity, sigma, priorMean);
    }
    const Amplitude varying = varyingPosterior(prior, intensity, sigma, priorMean, error);
    if (intensity < kVaryingFrom * sigma) return varying;
    // Between the two, a linear blend in I/sigma: no step in F.
    const Amplitude read = frenchWilson(table, prior, intensity, sigma, priorMean);
    const double f = (intensity / sigma - kVaryingFrom) / (kVaryingUpTo - kVaryingFrom);
    return {varying.f + f * (read.f - varying.f), varying.sigma + f * (read.sigma - varying.sigma)};
}

}  // namespace ovoscale
