#!/usr/bin/env python3
"""Independent model of French and Wilson's amplitudes, written from their
definition, not from ovoscale's C++ code.

A measured intensity I with a Gaussian error sigma, and Wilson's prior of
mean intensity S for the true intensity J >= 0:

    acentric  p(J) ~ exp(-J/S)
    centric   p(J) ~ J^(-1/2) exp(-J/(2S))

The posterior p(J | I) ~ exp(-(I - J)^2 / (2 sigma^2)) p(J); the amplitude
is the posterior mean of F = sqrt(J), its error the posterior standard
deviation of F. Both are integrals over J itself, taken here with the
tanh-sinh (double exponential) rule on both sides of the posterior's mode,
the step halved until the sums agree to 1e-13 (the rule copes with the
centric prior's J^(-1/2) at J = 0 by itself).

    python3 french_wilson_model.py I SIGMA S [centric]   one posterior
    python3 french_wilson_model.py --grid                 the test grid:
        lines "prior I sigma S meanF sdF" over I/sigma from -4 to 50 and
        S/sigma from 0.1 to 1000, for both priors
    python3 french_wilson_model.py --varying              amplitudes whose
        error follows the intensity: "prior I sigma S b c meanF sdF"
    python3 french_wilson_model.py --moments              the moments in
        x = J/sigma against mu = I/sigma - sigma/S (sigma/(2S) centric),
        lines "prior mu logNorm E[sqrt x] E[x] Var(sqrt x) Var(x)" for mu
        from -40 to 1e8: both sides of -32 and of 64, and far out

The moments are integrals of x^a exp(-(x - mu)^2 / 2) over x >= 0 (a = 0
acentric, -1/2 centric) by mpmath's tanh-sinh quadrature at 40 digits, the
variances integrated as the mean of the squared deviation from the mean
(no difference of moments), the interval split at the mode and at 4, 12
and 40 widths of the posterior from it.
"""

import math
import sys


def tanh_sinh(f, a, b, tolerance=1e-13):
    """Integral of f over [a, b]; f is given the point and its distance to
    the nearer end, so that a singular end is evaluated without
    cancellation."""
    if b <= a:
        return 0.0
    half = 0.5 * (b - a)
    mid = 0.5 * (a + b)

    def term(t):
        u = 0.5 * math.pi * math.sinh(t)
        if abs(u) > 700:
            return 0.0
        distance = (b - a) / (1.0 + math.exp(2.0 * abs(u)))  # to the nearer end
        if distance <= 0.0:
            return 0.0
        x = a + distance if u < 0 else b - distance
        weight = half * 0.5 * math.pi * math.cosh(t) / math.cosh(u) ** 2
        return weight * f(x, distance)

    h = 1.0
    reach = 4.0
    total = term(0.0) + sum(term(k * h) + term(-k * h) for k in range(1, int(reach / h) + 1))
    estimate = total * h
    for _ in range(12):
        h /= 2.0
        # only the new (odd) points
        total += sum(term(k * h) + term(-k * h) for k in range(1, int(reach / h) + 1, 2))
        new = total * h
        if abs(new - estimate) <= tolerance * abs(new):
            return new
        estimate = new
    return estimate


def posterior(intensity, sigma, mean, centric, b=0.0, c=0.0):
    """Posterior mean and standard deviation of F = sqrt(J). With b or c,
    the error's variance at a true J is sigma^2 + b (J - I) + c (J^2 - I^2),
    at least sigma^2 / 4 (sigma is the error at the measured I)."""
    def variance(j):
        return max(sigma * sigma + b * (j - intensity) + c * (j * j - intensity * intensity), 0.25 * sigma * sigma)

    def log_density(j):
        v = variance(j)
        value = -(intensity - j) ** 2 / (2.0 * v) - 0.5 * math.log(v / (sigma * sigma))
        if centric:
            return value - j / (2.0 * mean) - 0.5 * math.log(j) if j > 0 else -math.inf
        return value - j / mean

    # The mode of the Gaussian-times-exponential part, and a reach of 14
    # sigma beyond it: exp(-98) of the peak.
    peak = intensity - sigma * sigma / (2.0 * mean if centric else mean)
    mode = max(peak, 0.0)
    top = mode + 14.0 * sigma
    for _ in range(8):  # the width at the far end, where the variance grows
        top = mode + 14.0 * math.sqrt(variance(top))
    reference = max(log_density(x) for x in (mode if mode > 0 else 1e-300 + sigma * 1e-9, top, 0.5 * (mode + top)))

    def integrate(g):
        def f(j, distance):
            return math.exp(log_density(j) - reference) * g(j)
        low = tanh_sinh(f, 0.0, mode) if mode > 0 else 0.0
        return low + tanh_sinh(f, mode, top)

    norm = integrate(lambda j: 1.0)
    mean_f = integrate(math.sqrt) / norm
    variance = integrate(lambda j: (math.sqrt(j) - mean_f) ** 2) / norm
    return mean_f, math.sqrt(variance)


def grid():
    sigma = 2.0
    for prior in ('acentric', 'centric'):
        for ratio in (0.1, 0.3, 1.0, 3.0, 10.0, 100.0, 1000.0):
            mean = ratio * sigma
            for step in range(0, 109):
                signal = -4.0 + 0.5 * step
                f, sd = posterior(signal * sigma, sigma, mean, prior == 'centric')
                print(prior, repr(signal * sigma), repr(sigma), repr(mean), repr(f), repr(sd))


def varying_grid():
    """French and Wilson's amplitudes with an error that follows the
    intensity: lines "prior I sigma S b c meanF sdF"."""
    sigma = 2.0
    for prior in ('acentric', 'centric'):
        for ratio in (0.1, 1.0, 100.0):
            for b, c in ((0.5, 0.0), (4.0, 0.0), (0.4, 0.02), (0.0, 0.05), (0.09, 0.0002)):
                for signal in (-4.0, -1.0, -0.3, 0.5, 1.5, 3.0, 5.0, 8.0, 12.0):
                    f, sd = posterior(signal * sigma, sigma, ratio * sigma, prior == 'centric', b, c)
                    print(prior, repr(signal * sigma), repr(sigma), repr(ratio * sigma), repr(b), repr(c), repr(f),
                          repr(sd))


def moments(mu, centric):
    """logNorm, E[sqrt x], E[x], Var(sqrt x), Var(x) of the posterior in x,
    logNorm the log of the integral of x^a exp(-(x - mu)^2 / 2)."""
    import mpmath
    mpmath.mp.dps = 40
    mu = mpmath.mpf(mu)
    a = mpmath.mpf(-0.5) if centric else mpmath.mpf(0)
    if mu >= 0:
        # Nearly Gaussian around mu, width 1; below 0 nothing.
        def log_density(x):
            return a * mpmath.log(x) - (x - mu) ** 2 / 2 if x > 0 else -mpmath.inf
        mode, width = mu, mpmath.mpf(1)
        shift = mpmath.mpf(0)
    else:
        # exp(-(x - mu)^2 / 2) = exp(-mu^2 / 2) exp(mu x - x^2 / 2): mostly
        # exponential of width 1/|mu| from 0.
        def log_density(x):
            return a * mpmath.log(x) + mu * x - x * x / 2 if x > 0 else -mpmath.inf
        mode, width = mpmath.mpf(0), 1 / (-mu + 1)
        shift = -mu * mu / 2
    points = [mode + k * width for k in (-40, -12, -4, 0, 4, 12, 40)]
    points = sorted(set([mpmath.mpf(0)] + [p for p in points if p > 0] + [mode + 60 * width + 10]))

    def integral(g):
        return mpmath.quad(lambda x: mpmath.exp(log_density(x)) * g(x), points)

    norm = integral(lambda x: 1)
    mean_root = integral(mpmath.sqrt) / norm
    mean = integral(lambda x: x) / norm
    var_root = integral(lambda x: (mpmath.sqrt(x) - mean_root) ** 2) / norm
    var = integral(lambda x: (x - mean) ** 2) / norm
    return mpmath.log(norm) + shift, mean_root, mean, var_root, var


def moment_grid():
    values = [-40, -36, -32.5, -32.015625, -31.99, -31.984375, -31.5, -20, -3, 0, 0.3, 5, 10.007, 40, 63.5, 63.99,
              63.984375, 64.015625, 64.5, 70, 100, 300, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8]
    for prior in ('acentric', 'centric'):
        for mu in values:
            row = moments(mu, prior == 'centric')
            print(prior, repr(float(mu)), ' '.join(repr(float(v)) for v in row))


def main(argv):
    if argv[1:] == ['--grid']:
        grid()
        return 0
    if argv[1:] == ['--varying']:
        varying_grid()
        return 0
    if argv[1:] == ['--moments']:
        moment_grid()
        return 0
    if len(argv) not in (4, 5) or (len(argv) == 5 and argv[4] != 'centric'):
        sys.stderr.write(__doc__)
        return 2
    f, sd = posterior(float(argv[1]), float(argv[2]), float(argv[3]), len(argv) == 5)
    print(repr(f), repr(sd))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
