#!/usr/bin/env python3
"""Makes the example data set that ./run-example puts through the whole suite.

What it makes (all in the folder of this script, overwriting what is there):

  XDS_ASCII.HKL    a merged reflection file in the XDS_ASCII layout, as XSCALE
                   writes it with MERGE=TRUE: a header ending in !END_OF_HEADER,
                   one record per unique reflection (h, k, l, intensity, sigma
                   as "%6d%6d%6d%11.3E%11.3E"), then !END_OF_DATA.
  ovoclip.inp      the ovoclip input script for it: the two reflection file
                   names, the cell, the identity matrix as ellipsoid axes and
                   the limits 3.0, 2.5 and 2.1 A along a*, b* and c*.
  phaser.log       the log of an anisotropy correction (Phaser, MODE ANO), with
                   its tables of principal components headed "eigenB".
  stages.fin       the fin file: every reflection of XDS_ASCII.HKL with F and
                   sigF at four stages (3I4,8F12.2): initial, truncated to the
                   ellipsoid (0 for the reflections ovoclip removes), corrected
                   for anisotropy, and with the negative B of the Phaser log
                   applied as the CAD script from honer would.
  XSCALE_start.LP  the log of the starting XSCALE run (all data to 2.0 A) and
  XSCALE_final.LP  of the final run (only what survives the ellipsoid, to 2.1 A),
                   each with its table of statistics by resolution shell
                   (20 shells and the total) after the "= -3.0" heading.

None of this is measured data. It is drawn from a model, so that the files are
small, free to redistribute and consistent with one another:

  * Cell 54.87 x 68.32 x 82.96 A, 90/90/90, space group P222 (16); one
    asymmetric unit (h, k, l >= 0) between 40 and 2.0 A, about 24000 unique
    reflections, a few in each shell missing as in a real measurement.
  * Mean intensity <I> = K * epsilon * P(s) / P(1/3.0 A) * exp(-(Ba*sx^2 + Bb*sy^2 + Bc*sz^2)/2)
    with (sx, sy, sz) = (h/a, k/b, l/c), the B factors of the amplitudes
    Ba = 70, Bb = 48, Bc = 34 A^2 (the crystal diffracts worst along a*), and
    epsilon = 2 on the axes. P is the protein reference curve that the
    suite's anisotropic scaling fits against (common/protein_reference.hpp):
    Wilson's sum of f_j(s)^2 over the atoms of the average residue, with the
    form factors of International Tables vol. C (gemmi's IT92 table), times
    1 + gamma(s^2), the empirical protein correction of Popov and Bourenkov
    (a Chebyshev series in s^2, as cctbx holds it). The composition and the
    series are read from that header, between its "composition begins" and
    "composition ends" lines and its "correction begins" and "correction
    ends" lines, so that the data and the fit share one curve; K is the mean intensity at 3.0 A before the B factors (the data
    reach their signal's end near the limits of ovoclip.inp, 3.0, 2.5, 2.1 A).
  * True intensities follow Wilson statistics (exponential for acentric
    reflections, chi-square with one degree of freedom for the centric zones
    h=0, k=0, l=0). Each reflection is measured a few times (more at low
    resolution) with an error model sigma^2 = bg^2 + g*I + (e*I)^2; the
    merged intensity is the mean of its measurements, and the XSCALE tables
    (R-factors, CC(1/2), I/sigma, completeness) are computed from the very
    same simulated measurements.
  * Amplitudes: F = sqrt(J), J = (I + sqrt(I^2 + sigI^2))/2 (positive even for
    negative I, like a French and Wilson estimate), sigF = sqrt(J + sigI) - sqrt(J).
  * The ellipsoid test is the one ovoclip makes, in single precision with
    every operation rounded, so the trunc column of the fin file is zero for
    exactly the reflections ovoclip rejects (./run-example shows the counts).
  * The anisotropic part of the B factors (Ba, Bb, Bc minus their mean) is what
    Phaser reports as eigenB, with small refinement noise; the first table has
    the values of the first macrocycle, which is the one honer reads. The aniso
    stage divides it out using the final (converged) values; the iso stage then
    applies, as CAD does with SCAL, F' = F * exp(-negB * s^2 / 4) with the negB
    of the first table, so the page shows what the script from honer did.

How: /usr/bin/python3 examples/generate.py [output-folder]
Python's standard library and Debian's python3-gemmi (for the form factors);
a fixed seed makes every run write the same bytes. It
takes a few seconds and is run by nobody at build time: its outputs are
committed. Change a parameter below and run it again to make a different set.
"""

import math
import os
import random
import re
import struct
import sys

import gemmi

# ----------------------------------------------------------------- parameters

SEED = 20240917
CELL = (54.87, 68.32, 82.96, 90.0, 90.0, 90.0)
SPACE_GROUP = 16
D_LOW, D_HIGH = 40.0, 2.0            # resolution range of the data (A)
B_AXES = (70.0, 48.0, 34.0)          # amplitude B along a*, b*, c* (A^2)
LIMITS = (3.0, 2.5, 2.1)             # ellipsoid limits along a*, b*, c* (A)
SCALE_K = 5000.0                     # mean intensity at D_SCALE before the B factors
D_SCALE = 3.0
SIGMA_BG, SIGMA_GAIN, SIGMA_REL = 110.0, 1.0, 0.04
WAVELENGTH = 0.97918
SHELLS = 20

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE_CURVE = os.path.join(HERE, "..", "common", "protein_reference.hpp")
NAMES = {
    "xds": "XDS_ASCII.HKL",
    "trunc": "XDS_ASCII_trunc.HKL",   # written by ovoclip in the run folder
    "script": "ovoclip.inp",
    "phaser": "phaser.log",
    "fin": "stages.fin",
    "start": "XSCALE_start.LP",
    "final": "XSCALE_final.LP",
}

# ------------------------------------------------- the protein reference curve


def average_residue(path=REFERENCE_CURVE):
    """The atoms of the average residue, [(element, count)], as the header
    lists them between its two marker lines: one {gemmi::El::X, count} a line."""
    atoms, inside = [], False
    with open(path) as header:
        for line in header:
            if "composition begins" in line:
                inside = True
            elif "composition ends" in line:
                break
            elif inside:
                found = re.search(r"\{\s*gemmi::El::(\w+)\s*,\s*([0-9.]+)\s*\}", line)
                if found:
                    atoms.append((found.group(1), float(found.group(2))))
    assert inside and atoms, "no composition between the markers of " + path
    return atoms


def protein_correction(path=REFERENCE_CURVE):
    """(low, high, coefficients) of the protein correction's Chebyshev series
    in s^2, as the header lists them: kCorrectionLow, kCorrectionHigh and the
    numbers between its two marker lines."""
    with open(path) as header:
        text = header.read()
    low = float(re.search(r"kCorrectionLow\s*=\s*([0-9.eE+-]+)", text).group(1))
    high = float(re.search(r"kCorrectionHigh\s*=\s*([0-9.eE+-]+)", text).group(1))
    inside = text.split("correction begins", 1)[1].split("correction ends", 1)[0]
    inside = inside.split("{", 1)[1].split("}", 1)[0]
    coefficients = [float(x) for x in inside.replace(",", " ").split()]
    assert len(coefficients) > 10, "no coefficients between the markers of " + path
    return low, high, coefficients


class ProteinReference:
    """<I>(s^2) = (1 + gamma(s^2)) * sum of count * f(s)^2 over the average
    residue, s^2 = 1/d^2, f from gemmi's IT92 coefficients at
    (sin(theta)/lambda)^2 = s^2/4, gamma the Chebyshev series c0/2 + sum c_k T_k(t)
    with t = (2 s^2 - low - high)/(high - low), s^2 held within [low, high]."""

    def __init__(self):
        self.atoms = [(gemmi.Element(name).it92, count) for name, count in average_residue()]
        self.low, self.high, self.coefficients = protein_correction()

    def correction(self, s2):
        x = min(max(s2, self.low), self.high)
        t = (2 * x - self.low - self.high) / (self.high - self.low)
        previous, current, total = 1.0, t, 0.5 * self.coefficients[0]
        for k, c in enumerate(self.coefficients[1:], start=1):
            if k > 1:
                previous, current = current, 2 * t * current - previous
            total += c * current
        return total

    def mean_intensity(self, s2):
        atoms = sum(count * coef.calculate_sf(s2 / 4.0) ** 2 for coef, count in self.atoms)
        return atoms * (1.0 + self.correction(s2))


# ------------------------------------------------- single precision, as ovoclip

_F32 = struct.Struct("<f")


def f32(x):
    """x rounded to the nearest single-precision value."""
    return _F32.unpack(_F32.pack(x))[0]


PI32 = f32(3.1415927)


def deg_to_rad32(deg):
    return f32(f32(f32(deg) * PI32) / f32(180.0))


def reciprocal_cell32(cell):
    a, b, c, al, be, ga = (f32(v) for v in cell)
    ar, br, gr = deg_to_rad32(al), deg_to_rad32(be), deg_to_rad32(ga)
    ca, cb, cg = f32(math.cos(ar)), f32(math.cos(br)), f32(math.cos(gr))
    sa, sb, sg = f32(math.sin(ar)), f32(math.sin(br)), f32(math.sin(gr))
    t = f32(f32(f32(ca + ca) * cb) * cg)
    v = f32(math.sqrt(f32(f32(f32(f32(1.0 - f32(ca * ca)) - f32(cb * cb)) - f32(cg * cg)) + t)))
    volume = f32(f32(f32(a * b) * c) * v)
    return {
        "astar": f32(f32(sa * f32(b * c)) / volume),
        "bstar": f32(f32(sb * f32(a * c)) / volume),
        "cstar": f32(f32(sg * f32(a * b)) / volume),
        "cosalphastar": f32(f32(f32(cb * cg) - ca) / f32(sb * sg)),
        "cosbetastar": f32(f32(f32(ca * cg) - cb) / f32(sa * sg)),
    }


class EllipsoidTest:
    """ovoclip's test, operation by operation in single precision."""

    def __init__(self, cell, axes, limits):
        a, b = f32(cell[0]), f32(cell[1])
        rc = reciprocal_cell32(cell)
        gr = deg_to_rad32(cell[5])
        cg, sg = f32(math.cos(gr)), f32(math.sin(gr))
        self.m11 = f32(1.0 / a)
        self.m21 = -f32(cg / f32(sg * a))
        self.m22 = f32(1.0 / f32(sg * b))
        self.m31 = f32(rc["astar"] * rc["cosbetastar"])
        self.m32 = f32(rc["cosalphastar"] * rc["bstar"])
        self.m33 = rc["cstar"]
        self.axes = [[f32(x) for x in row] for row in axes]
        low, medium, high = sorted((f32(x) for x in limits), reverse=True)
        self.q = [f32(1.0 / f32(x * x)) for x in (low, medium, high)]

    def keeps(self, h, k, l):
        hr, kr, lr = f32(h), f32(k), f32(l)
        s1 = f32(hr * self.m11)
        s2 = f32(f32(hr * self.m21) + f32(kr * self.m22))
        s3 = f32(f32(f32(hr * self.m31) + f32(kr * self.m32)) + f32(lr * self.m33))
        e = 0.0
        for i, row in enumerate(self.axes):
            t = f32(f32(f32(row[0] * s1) + f32(row[1] * s2)) + f32(row[2] * s3))
            term = f32(f32(t * t) / self.q[i])
            e = term if i == 0 else f32(e + term)
        return not e > 1.0


# ------------------------------------------------------------- random numbers


class Draw:
    """Seeded draws built only on random.random(), whose stream is stable."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def uniform(self):
        return self.rng.random()

    def normal(self):
        u1 = 1.0 - self.rng.random()
        u2 = self.rng.random()
        return math.sqrt(-2.0 * math.log(u1)) * math.cos(2.0 * math.pi * u2)

    def exponential(self):
        return -math.log(1.0 - self.rng.random())

    def poisson(self, lam):
        limit, k, p = math.exp(-lam), 0, 1.0
        while True:
            p *= self.rng.random()
            if p <= limit:
                return k
            k += 1


# --------------------------------------------------------------- the crystal


class Reflection:
    __slots__ = ("h", "k", "l", "s2", "measured", "obs", "half", "i", "sig", "sig1",
                 "f", "sigf", "kept", "aniso", "saniso", "iso", "siso")


def make_reflections(draw):
    a, b, c = CELL[:3]
    s2max, s2min = 1.0 / D_HIGH ** 2, 1.0 / D_LOW ** 2
    protein = ProteinReference()
    at_d_scale = protein.mean_intensity(1.0 / D_SCALE ** 2)
    refl = []
    for h in range(0, int(a / D_HIGH) + 1):
        for k in range(0, int(b / D_HIGH) + 1):
            for l in range(0, int(c / D_HIGH) + 1):
                sx, sy, sz = h / a, k / b, l / c
                s2 = sx * sx + sy * sy + sz * sz
                if s2 > s2max or s2 < s2min:
                    continue
                r = Reflection()
                r.h, r.k, r.l, r.s2 = h, k, l, s2
                zeros = (h == 0) + (k == 0) + (l == 0)
                eps = 2.0 if zeros == 2 else 1.0
                curve = protein.mean_intensity(s2) / at_d_scale
                falloff = math.exp(-(B_AXES[0] * sx * sx + B_AXES[1] * sy * sy + B_AXES[2] * sz * sz) / 2.0)
                mean = SCALE_K * eps * curve * falloff
                if zeros:   # centric zone: chi-square with one degree of freedom
                    true_i = mean * draw.normal() ** 2
                else:
                    true_i = mean * draw.exponential()
                # A few reflections are never measured, more of them behind
                # the beam stop and at the edge of the detector.
                frac = s2 / s2max
                p_missing = 0.004 + 0.02 * frac + (0.3 if s2 < 1.0 / 30.0 ** 2 else 0.0)
                r.measured = draw.uniform() >= p_missing
                m = 1 + draw.poisson(4.6 - 1.6 * frac)
                sig1 = math.sqrt(SIGMA_BG ** 2 + SIGMA_GAIN * max(true_i, 0.0) + (SIGMA_REL * true_i) ** 2)
                r.obs = [true_i + sig1 * draw.normal() for _ in range(m)]
                r.half = [draw.uniform() < 0.5 for _ in range(m)]
                r.sig1 = sig1
                r.i = sum(r.obs) / m
                r.sig = sig1 / math.sqrt(m)
                refl.append(r)
    return refl


def amplitude(i, sig):
    j = 0.5 * (i + math.sqrt(i * i + sig * sig))
    f = math.sqrt(j)
    return f, math.sqrt(j + sig) - f


# ------------------------------------------------------------------ XDS_ASCII


def write_xds(path, refl):
    cell = "".join("%10.3f" % x for x in CELL[:3]) + "".join("%8.3f" % x for x in CELL[3:])
    header = [
        "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE",
        "!OUTPUT_FILE=%-30s DATE=17-Sep-2024" % NAMES["xds"],
        "!Generated by generate.py (synthetic example, not measured data)",
        "!COMPRISES THE FOLLOWING SCALED INPUT FILES:",
        "! ISET=      1 INPUT_FILE=sweep_1.HKL",
        "! ISET=      1 X-RAY_WAVELENGTH=%10.5f (<0 if unknown)" % WAVELENGTH,
        "! ISET=      1 UNIT_CELL_CONSTANTS=" + cell,
        "!",
        "!SPACE_GROUP_NUMBER=%5d" % SPACE_GROUP,
        "!UNIT_CELL_CONSTANTS=" + cell,
        "!X-RAY_WAVELENGTH=%10.5f" % WAVELENGTH,
        "!INCLUDE_RESOLUTION_RANGE=%10.3f%10.3f" % (D_LOW, D_HIGH),
        "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5",
        "!ITEM_H=1",
        "!ITEM_K=2",
        "!ITEM_L=3",
        "!ITEM_IOBS=4",
        "!ITEM_SIGMA(IOBS)=5",
        "!END_OF_HEADER",
    ]
    with open(path, "w", newline="\n") as out:
        for line in header:
            out.write(line + "\n")
        for r in refl:
            out.write("%6d%6d%6d%11.3E%11.3E\n" % (r.h, r.k, r.l, r.i, r.sig))
        out.write("!END_OF_DATA\n")


def written_value(x):
    """The value as ovoclip reads it back from its %11.3E field."""
    return float("%11.3E" % x)


# --------------------------------------------------------------- input script


def write_script(path):
    axes = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
    with open(path, "w", newline="\n") as out:
        out.write(NAMES["xds"] + "\n")
        out.write(NAMES["trunc"] + "\n")
        out.write("".join("%8.2f" % x for x in CELL) + "\n")
        out.write("".join("%12.4f" % x for x in axes) + "\n")
        out.write("".join("%12.4f" % x for x in LIMITS) + "\n")


# ---------------------------------------------------------------- Phaser log


def eigen_tables(draw):
    """The anisotropic part of B per macrocycle, converging on the model."""
    mean = sum(B_AXES) / 3.0
    converged = [b - mean + 0.3 * draw.normal() for b in B_AXES]
    step = [0.04 * draw.normal() for _ in range(3)]
    cycles = []
    for shrink in (1.0, 0.25, 0.0, 0.0):
        cycles.append([round(t + shrink * n, 3) for t, n in zip(converged, step)])
    return cycles


def phaser_table(values, wilson_scale):
    axes = [(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
    order = sorted(range(3), key=lambda i: -values[i])
    lines = [
        "   Principal components of anisotropic part of B affecting observed amplitudes:",
        "     eigenB (A^2)     direction cosines (orthogonal coordinates)",
    ]
    for i in order:
        lines.append("     %9.3f%20.4f%9.4f%9.4f" % ((values[i],) + axes[i]))
    lines.append("   Anisotropic deltaB (i.e. range of principal components): %7.3f"
                 % (max(values) - min(values)))
    lines.append("   Resharpening B (to restore strong direction of diffraction): %.3f" % min(values))
    lines.append("   Wilson scale applied to get observed intensities: %.4e" % wilson_scale)
    return lines


def write_phaser(path, cycles, n_refl, llg, wilson_scale, wilson_b):
    stars = "*" * 85
    cell = "".join("%8.2f" % x for x in CELL)
    out_lines = [
        "# Synthetic example log written by examples/generate.py; it stands in for",
        "# the log of a Phaser run in MODE ANO on the example data.",
        "",
        stars,
        "*** Phaser Module: PREPROCESSOR                                           example ***",
        stars,
        "",
        "   MODE ANO",
        "   HKLIN example.mtz",
        "   LABIN F=FP SIGF=SIGFP",
        "   COMPOSITION BY AVERAGE",
        "   ROOT example_ano",
        "",
        stars,
        "*** Phaser Module: ANISOTROPY CORRECTION                                  example ***",
        stars,
        "",
        "   Space-Group Name (Hall Symbol): P 2 2 2 ( P 2 2)",
        "   Space-Group Number: %d" % SPACE_GROUP,
        "   Unit Cell: " + cell,
        "",
        "------------------------------",
        "DATA FOR ANISOTROPY CORRECTION",
        "------------------------------",
        "",
        "   Resolution of All Data (Number):      %6.2f %6.2f (%d)" % (D_HIGH, D_LOW, n_refl),
        "   Resolution of Selected Data (Number): %6.2f %6.2f (%d)" % (D_HIGH, D_LOW, n_refl),
        "",
        "---------------------",
        "ANISOTROPY CORRECTION",
        "---------------------",
        "",
    ]
    for n in range(1, 4):
        out_lines += [
            "   Protocol cycle #%d of 3" % n,
            "   Refinement protocol for this macrocycle:",
            "   BIN SCALES: REFINE",
            "   ANISOTROPY: REFINE",
            "   SOLVENT K:  FIX",
            "   SOLVENT B:  FIX",
            "",
        ]
    previous = llg[0]
    for n, values in enumerate(cycles[:3]):
        after = llg[n + 1]
        out_lines += [
            "   Outliers with a probability less than 1e-06 will be rejected",
            "   There were 0 (0.0000%) reflections rejected",
            "",
            "   Performing Minimization...",
            "      Done",
            "   --- Convergence before iteration limit (50) at cycle %d ---" % (9 - 3 * n),
            "   Start-this-macrocycle End-this-macrocycle Change-this-macrocycle",
            "   %13.3f %21.3f %21.3f" % (previous, after, after - previous),
            "",
        ]
        out_lines += phaser_table(values, wilson_scale * (1.0 + 0.002 * (2 - n)))
        out_lines.append("")
        previous = after
    out_lines += ["   Refined Anisotropy Parameters", "   -----------------------------"]
    out_lines += phaser_table(cycles[3], wilson_scale)
    out_lines += [
        "",
        "--------------",
        "ABSOLUTE SCALE",
        "--------------",
        "",
        "   Scale factor to put input Fs on absolute scale",
        "   Wilson Scale:    %.5f" % (1.0 / math.sqrt(wilson_scale)),
        "   Wilson B-factor: %.4f" % wilson_b,
        "",
        "------------",
        "OUTPUT FILES",
        "------------",
        "",
        "   MTZ file written: example_ano.mtz",
        "   Columns FP_ISO and SIGFP_ISO hold the amplitudes corrected for anisotropy",
        "",
        "CPU Time: 0 days 0 hrs 0 mins 11.42 secs (     11.42 secs)",
        "Finished: Tue Sep 17 10:42:19 2024",
        "",
    ]
    with open(path, "w", newline="\n") as out:
        for line in out_lines:
            out.write(line + "\n")


# ------------------------------------------------------------------- fin file


def write_fin(path, refl):
    with open(path, "w", newline="\n") as out:
        for r in refl:
            values = (r.f, r.sigf, r.f if r.kept else 0.0, r.sigf if r.kept else 0.0,
                      r.aniso, r.saniso, r.iso, r.siso)
            out.write("%4d%4d%4d" % (r.h, r.k, r.l) + "".join("%12.2f" % v for v in values) + "\n")


# ------------------------------------------------------------------ XSCALE.LP


def shell_stats(refls, possible):
    """One row of XSCALE's table from the simulated measurements."""
    rows = [r for r in refls if r.i / r.sig >= -3.0]
    observed = sum(len(r.obs) for r in rows)
    compared = sum(len(r.obs) for r in rows if len(r.obs) > 1)
    sum_i = sum(sum(r.obs) for r in rows if len(r.obs) > 1)
    dev = meas = exp_dev = 0.0
    for r in rows:
        m = len(r.obs)
        if m < 2:
            continue
        d = sum(abs(x - r.i) for x in r.obs)
        dev += d
        meas += math.sqrt(m / (m - 1.0)) * d
        exp_dev += m * math.sqrt(2.0 / math.pi) * r.sig1 * math.sqrt((m - 1.0) / m)
    r_obs = 100.0 * dev / sum_i if sum_i > 0 else -99.9
    r_exp = 100.0 * exp_dev / sum_i if sum_i > 0 else -99.9
    r_meas = 100.0 * meas / sum_i if sum_i > 0 else -99.9
    isig = sum(r.i / r.sig for r in rows) / len(rows) if rows else 0.0
    # CC(1/2) from the two random halves of each reflection's measurements.
    pairs = []
    for r in rows:
        a = [x for x, first in zip(r.obs, r.half) if first]
        b = [x for x, first in zip(r.obs, r.half) if not first]
        if a and b:
            pairs.append((sum(a) / len(a), sum(b) / len(b)))
    cc = correlation(pairs)
    # Significant at the 0.1% level (one-sided) when above 3.09 standard errors.
    cc_significant = len(pairs) > 3 and cc / 100.0 > 3.09 / math.sqrt(len(pairs) - 1)
    return {
        "observed": observed, "unique": len(rows), "possible": possible,
        "completeness": 100.0 * len(rows) / possible if possible else 0.0,
        "r_obs": r_obs, "r_exp": r_exp, "compared": compared, "isig": isig,
        "r_meas": r_meas, "cc": cc, "cc_significant": cc_significant, "nano": 0,
    }


def correlation(pairs):
    n = len(pairs)
    if n < 3:
        return 0.0
    mx = sum(p[0] for p in pairs) / n
    my = sum(p[1] for p in pairs) / n
    sxy = sum((p[0] - mx) * (p[1] - my) for p in pairs)
    sxx = sum((p[0] - mx) ** 2 for p in pairs)
    syy = sum((p[1] - my) ** 2 for p in pairs)
    return 100.0 * sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else 0.0


def stat_row(label, s):
    cc_mark = "*" if s["cc_significant"] else " "
    return ("%9s%12d%8d%10d%11.1f%%%10.1f%%%9.1f%%%9d%8.2f%10.1f%%%8.1f%s%6d%9.3f%8d" % (
        label, s["observed"], s["unique"], s["possible"], s["completeness"], s["r_obs"],
        s["r_exp"], s["compared"], s["isig"], s["r_meas"], s["cc"], cc_mark, 0, 0.0, s["nano"]))


def shell_limits(d_high):
    """The 20 shells of equal width in 1/d^2 down to d_high, as XSCALE makes them."""
    step = (1.0 / d_high ** 2) / SHELLS
    return ["%.2f" % (1.0 / math.sqrt((n + 1) * step)) for n in range(SHELLS)]


def xscale_table(all_refl, chosen, d_high, shells_d_high=None):
    """The 20 shells and the total, as XSCALE makes them: of equal width in
    1/d^2 down to d_high, or down to shells_d_high when the run is given the
    shells (RESOLUTION_SHELLS=) of a run to that limit; a shell beyond the
    data's d_high is then listed empty."""
    step = (1.0 / (shells_d_high or d_high) ** 2) / SHELLS
    s2_low = 1.0 / D_LOW ** 2
    shell_of = lambda s2: min(SHELLS - 1, max(0, int(math.ceil(s2 / step - 1e-12)) - 1))
    possible = [0] * SHELLS
    members = [[] for _ in range(SHELLS)]
    for r in all_refl:
        if s2_low <= r.s2 <= 1.0 / d_high ** 2:
            possible[shell_of(r.s2)] += 1
    for r in chosen:
        if r.s2 <= 1.0 / d_high ** 2:
            members[shell_of(r.s2)].append(r)
    rows = []
    for n in range(SHELLS):
        label = shell_limits(shells_d_high or d_high)[n]
        rows.append(stat_row(label, shell_stats(members[n], possible[n])))
    everything = [r for m in members for r in m]
    rows.append(stat_row("total", shell_stats(everything, sum(possible))))
    return rows, everything


def write_xscale(path, run, all_refl, chosen, d_high, input_file, output_file, extra_cards, shells_d_high=None):
    rows, used = xscale_table(all_refl, chosen, d_high, shells_d_high)
    cell = "".join("%7.2f" % x for x in CELL)
    n_obs = sum(len(r.obs) for r in used)
    mean_i = sum(sum(r.obs) for r in used) / max(1, n_obs)
    stars = " " + "*" * 78
    lines = [
        "",
        " ***** XSCALE ***** (synthetic example log of the %s run, written by examples/generate.py)" % run,
        " It stands in for the XSCALE.LP of a real run; only its layout is real.",
        "",
        "",
        stars,
        "                              CONTROL CARDS",
        stars,
        "",
        " MAXIMUM_NUMBER_OF_PROCESSORS=4",
        " SPACE_GROUP_NUMBER=%d" % SPACE_GROUP,
        " UNIT_CELL_CONSTANTS=" + cell,
        " OUTPUT_FILE=%s" % output_file,
        " FRIEDEL'S_LAW=TRUE MERGE=TRUE",
        " INPUT_FILE=%s XDS_ASCII" % input_file,
    ] + [" " + card for card in extra_cards] + [
        " CORRECTIONS= DECAY MODULATION ABSORPTION",
        "",
        " THE DATA COLLECTION STATISTICS REPORTED BELOW ASSUMES:",
        " SPACE_GROUP_NUMBER=%5d" % SPACE_GROUP,
        " UNIT_CELL_CONSTANTS=" + "".join("%9.2f" % x for x in CELL[:3]) + "".join("%8.3f" % x for x in CELL[3:]),
        "",
        " *****  4 EQUIVALENT POSITIONS IN SPACE GROUP # %d *****" % SPACE_GROUP,
        "",
        "    #    1  2  3  4    5  6  7  8    9 10 11 12",
        "    1    1  0  0  0    0  1  0  0    0  0  1  0",
        "    2   -1  0  0  0    0 -1  0  0    0  0  1  0",
        "    3   -1  0  0  0    0  1  0  0    0  0 -1  0",
        "    4    1  0  0  0    0 -1  0  0    0  0 -1  0",
        "",
        "",
        stars,
        "                    READING INPUT REFLECTION DATA FILES",
        stars,
        "",
        "",
        " DATA    MEAN       REFLECTIONS        INPUT FILE NAME",
        " SET# INTENSITY  ACCEPTED REJECTED",
        "   1 %11.4E %8d %6d  %s" % (mean_i, n_obs, 0, input_file),
        "",
        "",
        stars,
        "  STATISTICS OF SCALED OUTPUT DATA SET : %s" % output_file,
        "  FILE TYPE:         XDS_ASCII      MERGE=TRUE           FRIEDEL'S_LAW=TRUE",
        "",
        " %9d OUT OF %9d REFLECTIONS REJECTED" % (0, len(used)),
        " %9d REFLECTIONS ON OUTPUT FILE" % len(used),
        "",
        stars,
        " The columns below, in short: the number of measurements (OBSERVED), of",
        " unique reflections (UNIQUE) and of reflections possible in the shell",
        " (POSSIBLE); R-FACTOR observed and expected from the sigmas; COMPARED,",
        " the measurements used for the R-factor; I/SIGMA of the merged data;",
        " R-meas, independent of the multiplicity; CC(1/2) between random halves",
        " (* significant at the 0.1% level); anomalous columns unused here.",
        "",
        "       NOTE:      Friedel pairs are treated as equivalent reflections.",
        "",
        " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION",
        " RESOLUTION     NUMBER OF REFLECTIONS    COMPLETENESS R-FACTOR  R-FACTOR COMPARED I/SIGMA"
        "   R-meas  CC(1/2)  Anomal  SigAno   Nano",
        "   LIMIT     OBSERVED  UNIQUE  POSSIBLE     OF DATA   observed  expected"
        "                                      Corr",
        "",
    ] + rows + [
        "",
        "",
        " ========== STATISTICS OF INPUT DATA SET ==========",
        "",
        "",
        "  R-FACTORS FOR INTENSITIES OF DATA SET %s" % input_file,
        "",
        " RESOLUTION   R-FACTOR   R-FACTOR   COMPARED",
        "   LIMIT      observed   expected",
        "",
    ]
    for row in rows:
        label, r_obs, r_exp, compared = row[0:9], row[51:61], row[62:71], row[72:81]
        lines.append("%s%13s%11s%10s" % (label, r_obs.strip() + "%", r_exp.strip() + "%", compared.strip()))
    lines += ["", "", " cpu time used                     4.2 sec", " elapsed wall-clock time          1.3 sec", ""]
    marker = [n for n, line in enumerate(lines) if line[45:51] == "= -3.0"]
    assert marker and lines[marker[0]].startswith(" SUBSET OF INTENSITY DATA"), path
    first_row = lines[marker[0] + 4]
    assert first_row[3:9].strip() and first_row[20] != " " and first_row[88] != " ", first_row
    with open(path, "w", newline="\n") as out:
        for line in lines:
            out.write(line + "\n")
    return used


# ----------------------------------------------------------------------- main


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else HERE
    os.makedirs(out_dir, exist_ok=True)
    path = lambda key: os.path.join(out_dir, NAMES[key])
    draw = Draw(SEED)

    all_refl = make_reflections(draw)
    refl = [r for r in all_refl if r.measured]

    # Amplitudes from the intensities as written (three significant decimals).
    test = EllipsoidTest(CELL, ((1, 0, 0), (0, 1, 0), (0, 0, 1)), LIMITS)
    for r in refl:
        r.f, r.sigf = amplitude(written_value(r.i), written_value(r.sig))
        r.kept = test.keeps(r.h, r.k, r.l)

    cycles = eigen_tables(draw)
    first, final = cycles[0], cycles[-1]
    neg_b = min(first)           # what honer takes: the third row of the first table
    wilson_scale = 2.8315
    to_abs = 1.0 / math.sqrt(wilson_scale)
    a, b, c = CELL[:3]
    for r in refl:
        if not r.kept:
            r.aniso = r.saniso = r.iso = r.siso = 0.0
            continue
        sx, sy, sz = r.h / a, r.k / b, r.l / c
        # Take the anisotropic part of B out (sorted eigenvalues belong to a*, b*, c* here).
        aniso = math.exp((final[0] * sx * sx + final[1] * sy * sy + final[2] * sz * sz) / 4.0) * to_abs
        r.aniso, r.saniso = r.f * aniso, r.sigf * aniso
        # CAD's SCAL with scale 1.00 and B = negB: F * exp(-B (sin(theta)/lambda)^2).
        iso = math.exp(-neg_b * r.s2 / 4.0)
        r.iso, r.siso = r.aniso * iso, r.saniso * iso
    for r in refl:
        for v in (r.f, r.aniso, r.iso):
            assert v == 0.0 or round(v, 2) >= 0.01, (r.h, r.k, r.l, v)

    write_xds(path("xds"), refl)
    write_script(path("script"))
    llg = [-412337.818, -411418.102, -411406.774, -411406.771]
    write_phaser(path("phaser"), cycles, len(refl), llg, wilson_scale, sum(B_AXES) / 3.0)
    write_fin(path("fin"), refl)
    start_used = write_xscale(path("start"), "starting", all_refl, refl, D_HIGH, "sweep_1.HKL",
                              NAMES["xds"], ["INCLUDE_RESOLUTION_RANGE=%6.2f %5.2f" % (D_LOW, D_HIGH)])
    kept = [r for r in refl if r.kept]
    final_used = write_xscale(path("final"), "final", all_refl, kept, min(LIMITS), "sweep_1_trunc.HKL",
                              "XDS_ASCII_final.HKL", ["INCLUDE_RESOLUTION_RANGE=500 %7.3f" % min(LIMITS),
                                                      "RESOLUTION_SHELLS=" + " ".join(shell_limits(D_HIGH))],
                              shells_d_high=D_HIGH)

    rejected = [r for r in refl if not r.kept]
    sum_i = sum(written_value(r.i) for r in rejected)
    sum_s = sum(written_value(r.sig) for r in rejected)
    print("%d unique reflections written (%d possible), %d outside the ellipsoid "
          "(F/sigma of the rejected about %.2f), %d remain" % (
              len(refl), len(all_refl), len(rejected), sum_i / sum_s, len(refl) - len(rejected)))
    print("eigenB of the first table %s, negB %.3f; XSCALE tables over %d and %d reflections" % (
        first, neg_b, len(start_used), len(final_used)))
    for key in ("xds", "script", "phaser", "fin", "start", "final"):
        print("  %-16s %9d bytes" % (NAMES[key], os.path.getsize(path(key))))


if __name__ == "__main__":
    main()
