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

// E[(1 + y/mu)^q] for y standard normal, as a series in 1/mu^2.
double gaussianSeries(double q, double mu) {
    const double inverse2 = 1 / (mu * mu);
    double sum = 1, power = 1, doubleFactorial = 1;
    for (int n = 1; n <= 4; ++n) {
        power *= inverse2;
        doubleFactorial *= 2 * n - 1;
        sum += doubleFactorial * binomial(q, 2 * n) * power;
    }
    return sum;
}

// The integral of x^q exp(-lambda x - x^2/2) over the integral of
// x^q exp(-lambda x), as a series in 1/lambda^2.
double exponentialSeries(double q, double lambda) {
    const double inverse2 = 1 / (lambda * lambda);
    double sum = 1, term = 1;
    for (int n = 1; n <= 5; ++n) {
        term *= -0.5 / n * (q + 2 * n - 1) * (q + 2 * n) * inverse2;
        sum += term;
    }
    return sum;
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
        tHigh = std::sqrt(-lambda + std::sqrt(lambda * lambda + 2 * kReach * kReach));
    }
    const GaussLegendre& gl = rule();
    const double panel = (tHigh - tLow) / kPanels;
    double sums[5] = {0, 0, 0, 0, 0};
    for (int p = 0; p < kPanels; ++p) {
        const double centre = tLow + (p + 0.5) * panel;
        for (int i = 0; i < kPoints; ++i) {
            const double t = centre + 0.5 * panel * gl.node[i];
            const double t2 = t * t;
            const double exponent = mu >= 0 ? -0.5 * (t2 - mu) * (t2 - mu) : -(0.5 * t2 * t2 - mu * t2);
            double value = 2 * gl.weight[i] * std::exp(exponent) * (a == 0 ? t : 1.0);
            for (double& sum : sums) {
                sum += value;
                value *= t;
            }
        }
    }
    for (double& sum : sums) sum *= 0.5 * panel;
    Moments m;
    m.logNorm = std::log(sums[0]) + (mu < 0 ? -0.5 * mu * mu : 0.0);
    m.meanRoot = sums[1] / sums[0];
    m.mean = sums[2] / sums[0];
    m.varRoot = m.mean - m.meanRoot * m.meanRoot;
    m.var = sums[4] / sums[0] - m.mean * m.mean;
    return m;
}

Moments asymptoticMoments(Prior prior, double mu) {
    const double a = exponentOf(prior);
    Moments m;
    if (mu > 0) {
        // x = mu + y, y nearly standard normal: E[x^p] = mu^p S(a+p)/S(a).
        const double s0 = gaussianSeries(a, mu);
        const double rootRatio = gaussianSeries(a + 0.5, mu) / s0;
        const double meanRatio = gaussianSeries(a + 1, mu) / s0;
        const double squareRatio = gaussianSeries(a + 2, mu) / s0;
        m.logNorm = 0.5 * std::log(2 * M_PI) + a * std::log(mu) + std::log(s0);
        m.meanRoot = std::sqrt(mu) * rootRatio;
        m.mean = mu * meanRatio;
        m.varRoot = mu * (meanRatio - rootRatio * rootRatio);
        m.var = mu * mu * (squareRatio - meanRatio * meanRatio);
        return m;
    }
    // exp(-(x-mu)^2/2) = exp(-mu^2/2) exp(-lambda x) exp(-x^2/2), lambda = -mu.
    const double lambda = -mu;
    const double t0 = exponentialSeries(a, lambda);
    const double rootRatio = std::exp(std::lgamma(a + 1.5) - std::lgamma(a + 1)) / std::sqrt(lambda) *
                             exponentialSeries(a + 0.5, lambda) / t0;
    const double meanRatio = (a + 1) / lambda * exponentialSeries(a + 1, lambda) / t0;
    const double squareRatio = (a + 1) * (a + 2) / (lambda * lambda) * exponentialSeries(a + 2, lambda) / t0;
    m.logNorm = -0.5 * mu * mu + std::lgamma(a + 1) - (a + 1) * std::log(lambda) + std::log(t0);
    m.meanRoot = rootRatio;
    m.mean = meanRatio;
    m.varRoot = meanRatio - rootRatio * rootRatio;
    m.var = squareRatio - meanRatio * meanRatio;
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

Moments PosteriorTable::at(Prior prior, double mu) const {
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
        m.meanRoot += w[j] * n.meanRoot;
        m.mean += w[j] * n.mean;
        m.varRoot += w[j] * n.varRoot;
        m.var += w[j] * n.var;
    }
    return m;
}

Amplitude frenchWilson(const PosteriorTable& table, Prior prior, double intensity, double sigma, double priorMean) {
    const Moments m = table.at(prior, muOf(prior, intensity, sigma, priorMean));
    return {std::sqrt(sigma) * m.meanRoot, std::sqrt(sigma * m.varRoot)};
}

}  // namespace ovoscale
