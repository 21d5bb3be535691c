#!/usr/bin/env python3
"""Merged XDS_ASCII data of a known anisotropic falloff, with the truth of
every reflection, for French and Wilson's amplitudes under ovoscale.

The mean intensity of a reflection is

    epsilon * K * P(s^2) * exp(-s^T B s / 2),   B = Biso * 1 + Baniso,

P a protein-like curve of this generator's own: Wilson's sum of f^2 over the
atoms of an average residue (gemmi's IT92 form factors) times a smooth
modulation of ours (+20 % about 4.5 A, -15 % about 6 A, -8 % about 3 A), not
the curve ovoscale fits with. True intensities follow Wilson's
distribution (acentric: exponential; centric: chi-square of one degree).
The measurement error has a counting part and a background:
sigma^2 = c (E_edge^2 + E_edge J), E_edge the mean intensity of the outer
tenth, c chosen so that the mean J/sigma is the one asked for. The sigma
written is, by the noise model,
    true       that sigma, from the true intensity
    observed   the same formula with the measured intensity (at least 0)
    constant   one sigma for all, with the same mean J/sigma

    python3 anisotropic_data.py CASE NOISE SIGNAL SEED HKL TRUTH

CASE orthorhombic (P212121, +15 0 -15 along a* b* c*) or monoclinic (P21,
beta 105, +15 along a direction 40 degrees from a* in the a*-c* plane, 0
along b*, -15 normal to both); Biso 30, 100 110 120 A, 50 to 1.8 A.
TRUTH gets a line "axis v1 v2 v3 x y z" per principal axis (orthonormal
frame, x along a, z along c*), then "h k l trueF mean centric" per
reflection (mean: the true mean intensity, epsilon included).
"""

import math
import sys

import gemmi
import numpy


RANGE = 30.0


def modulation(d):
    return (1 + 0.20 * numpy.exp(-((d - 4.5) / 0.6) ** 2) - 0.15 * numpy.exp(-((d - 6.0) / 0.5) ** 2)
            - 0.08 * numpy.exp(-((d - 3.0) / 0.4) ** 2))


def protein_curve(s2):
    stol2 = s2 / 4
    total = numpy.zeros_like(s2)
    for element, count in (('C', 5.0), ('H', 8.0), ('N', 1.35), ('O', 1.5), ('S', 0.04)):
        coefficients = gemmi.Element(element).it92
        f = numpy.array([coefficients.calculate_sf(float(x)) for x in stol2])
        total += count * f * f
    return total * modulation(1 / numpy.sqrt(s2))


def case(name):
    if name == 'orthorhombic':
        cell = gemmi.UnitCell(100, 110, 120, 90, 90, 90)
        group = gemmi.SpaceGroup('P 21 21 21')
        axes = numpy.eye(3)
    elif name == 'monoclinic':
        cell = gemmi.UnitCell(100, 110, 120, 90, 105, 90)
        group = gemmi.SpaceGroup('P 1 21 1')
        frac = numpy.array(cell.frac.mat.tolist())
        a_star = frac.T @ numpy.array([1.0, 0, 0])
        a_star /= numpy.linalg.norm(a_star)
        angle = math.radians(40)
        u1 = numpy.array([a_star[0] * math.cos(angle) - a_star[2] * math.sin(angle), 0,
                          a_star[0] * math.sin(angle) + a_star[2] * math.cos(angle)])
        u3 = numpy.array([-u1[2], 0, u1[0]])
        axes = numpy.array([u1, [0, 1, 0], u3])
    else:
        raise SystemExit('unknown case ' + name)
    return cell, group, numpy.array([RANGE / 2, 0.0, -RANGE / 2]), axes


def main(argv):
    if len(argv) != 7:
        sys.stderr.write(__doc__)
        return 2
    name, noise, signal, seed, hkl_name, truth_name = argv[1], argv[2], float(argv[3]), int(argv[4]), argv[5], argv[6]
    cell, group, values, axes = case(name)
    b_iso, scale = 30.0, 1000.0
    tensor = sum(v * numpy.outer(u, u) for v, u in zip(values, axes))
    rng = numpy.random.default_rng(seed)
    miller = gemmi.make_miller_array(cell, group, 1.8, 50.0)
    ops = group.operations()
    miller = miller[~ops.systematic_absences(miller)]
    epsilon = ops.epsilon_factor_array(miller).astype(float)
    centric = ops.centric_flag_array(miller)
    frac = numpy.array(cell.frac.mat.tolist())
    s = miller.astype(float) @ frac  # s = F^T h, as rows
    s2 = (s * s).sum(axis=1)
    mean = epsilon * scale * protein_curve(s2) * numpy.exp(-(b_iso * s2 + numpy.einsum('ni,ij,nj->n', s, tensor, s)) / 2)
    x, y = rng.standard_normal(len(mean)), rng.standard_normal(len(mean))
    true_j = numpy.where(centric, mean * x * x, mean * (x * x + y * y) / 2)
    edge = mean[s2 >= numpy.quantile(s2, 0.9)].mean()
    spread = numpy.sqrt(edge * edge + edge * true_j)
    c = ((true_j / spread).mean() / signal) ** 2
    sigma_true = math.sqrt(c) * spread
    measured = true_j + sigma_true * rng.standard_normal(len(mean))
    if noise == 'true':
        sigma = sigma_true
    elif noise == 'observed':
        sigma = math.sqrt(c) * numpy.sqrt(edge * edge + edge * numpy.maximum(measured, 0))
    elif noise == 'constant':
        sigma = numpy.full(len(mean), true_j.mean() / signal)
        measured = true_j + sigma * rng.standard_normal(len(mean))
    else:
        raise SystemExit('unknown noise model ' + noise)
    with open(hkl_name, 'w') as out:
        out.write("!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n")
        out.write('!SPACE_GROUP_NUMBER=%5d\n' % group.number)
        out.write('!UNIT_CELL_CONSTANTS=%10.3f%10.3f%10.3f%8.3f%8.3f%8.3f\n' % tuple(cell.parameters))
        out.write('!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n')
        for (h, k, l), i, sd in zip(miller.tolist(), measured.tolist(), sigma.tolist()):
            out.write('%6d%6d%6d%11.4E%11.4E\n' % (h, k, l, i, sd))
        out.write('!END_OF_DATA\n')
    with open(truth_name, 'w') as out:
        for v, u in zip(values, axes):
            out.write('axis %r %r %r %r\n' % (float(v), float(u[0]), float(u[1]), float(u[2])))
        for (h, k, l), f, e, c in zip(miller.tolist(), numpy.sqrt(true_j).tolist(), mean.tolist(), centric.tolist()):
            out.write('%d %d %d %r %r %d\n' % (h, k, l, f, e, int(c)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
