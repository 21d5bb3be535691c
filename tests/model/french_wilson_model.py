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


def posterior(intensity, sigma, mean, centric):
    """Posterior mean and standard deviation of F = sqrt(J)."""
    def log_density(j):
        value = -(intensity - j) ** 2 / (2.0 * sigma * sigma)
        if centric:
            return value - j / (2.0 * mean) - 0.5 * math.log(j) if j > 0 else -math.inf
        return value - j / mean

    # The mode of the Gaussian-times-exponential part, and a reach of 14
    # sigma beyond it: exp(-98) of the peak.
    peak = intensity - sigma * sigma / (2.0 * mean if centric else mean)
    mode = max(peak, 0.0)
    top = mode + 14.0 * sigma
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


def main(argv):
    if argv[1:] == ['--grid']:
        grid()
        return 0
    if len(argv) not in (4, 5) or (len(argv) == 5 and argv[4] != 'centric'):
        sys.stderr.write(__doc__)
        return 2
    f, sd = posterior(float(argv[1]), float(argv[2]), float(argv[3]), len(argv) == 5)
    print(repr(f), repr(sd))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
