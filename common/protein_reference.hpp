// The reference curve of mean intensity with resolution that the anisotropic
// scaling fits against and that the example data are drawn from.
//
// It is Wilson's expected intensity of a structure of randomly placed atoms,
// sum_j f_j(s)^2 (Wilson, Nature 150, 152, 1942), over the atoms of the
// average protein residue below, with the atoms' form factors from the
// International Tables vol. C table 6.1.1.4 (four Gaussians and a constant,
// as gemmi holds them), times 1 + gamma(s^2), the empirical correction of a
// protein's mean intensity to that sum (Popov and Bourenkov, Acta Cryst. D59
// (2003) 1145): a protein's atoms are not placed at random, and its mean
// intensity lies below the sum at 6-8 A (-0.64 at 7 A), above it at 4-4.5 A
// (+0.2) and below it again near 2.7 and 1.7 A (-0.25, -0.29).
//
// gamma is taken as cctbx holds it (mmtbx/scaling/absolute_scaling.py, class
// gamma_protein): a Chebyshev series of 45 terms in s^2 over 0.008 to 0.69
// 1/A^2 (11.2 to 1.2 A), f = c0/2 + sum_k c_k T_k(t), t = (2 s^2 - 0.698) /
// 0.682, held at its end values outside that range, as there.
//
// The unit is electrons squared per residue at rest: the curve carries no
// temperature factor, so a fit against it puts the whole falloff of the data
// into the fitted B.
//
// examples/generate.py reads the composition and the coefficients from the
// tables below (the lines between the markers), so that the example and the
// scaling use one curve: keep one atom per line in this form.
#pragma once

#include <cstddef>

#include <gemmi/elem.hpp>
#include <gemmi/it92.hpp>

namespace common::protein_reference {

struct AtomCount {
    gemmi::El element;
    double count;  // atoms per average residue
};

// The average amino-acid residue, C5 H8 N1.35 O1.5 S0.04, with hydrogen.
// composition begins
inline constexpr AtomCount kAverageResidue[] = {
    {gemmi::El::C, 5.00},
    {gemmi::El::H, 8.00},
    {gemmi::El::N, 1.35},
    {gemmi::El::O, 1.50},
    {gemmi::El::S, 0.04},
};
// composition ends

// The correction's range in s^2 (1/A^2) and its coefficients.
inline constexpr double kCorrectionLow = 0.008;
inline constexpr double kCorrectionHigh = 0.69;
// correction begins
inline constexpr double kCorrection[] = {
    -0.24994838652402987, 0.15287426147680838, 0.068108692925184011,
    0.15780196907582875, -0.07811375753346686, 0.043211175909300889,
    -0.043407219965134192, 0.024613271516995903, 0.0035146404613345932,
    -0.064118486637211411, 0.10521875419321854, -0.10153928782775833,
    0.0335706778430487, -0.0066629477818811282, -0.0058221659481290031,
    0.0136026246654981, -0.013385834361135244, 0.022526368996167032,
    -0.019843844247892727, 0.018128145323325774, -0.0091740188657759101,
    0.0068283902389141915, -0.0060880807366142566, 0.0004002124110802677,
    -0.00065686973991185187, -0.0039358839200389316, 0.0056185833386634149,
    -0.0075257168326962913, -0.0015215201587884459, -0.0036383549957990221,
    -0.0064289154284325831, 0.0059080442658917334, -0.0089851215734611887,
    0.0036488156067441039, -0.0047375008148055706, -0.00090999496111171302,
    0.00096986728652170276, -0.0051006830761911011, 0.0046838536228956777,
    -0.0031683076118337885, 0.0037866523617167236, 0.0015810274077361975,
    0.0011030841357086191, 0.0015715596895281762, -0.0041354783162507788,
};
// correction ends

// gamma(s^2): the protein's mean intensity over the random-atom sum, less 1.
inline double proteinCorrection(double s2) {
    const double x = s2 < kCorrectionLow ? kCorrectionLow : (s2 > kCorrectionHigh ? kCorrectionHigh : s2);
    const double t = (2 * x - kCorrectionLow - kCorrectionHigh) / (kCorrectionHigh - kCorrectionLow);
    // Clenshaw's recurrence for sum_k c_k T_k(t), then c0 halved.
    double b1 = 0, b2 = 0;
    constexpr size_t n = sizeof kCorrection / sizeof kCorrection[0];
    for (size_t k = n; k-- > 1;) {
        const double b0 = 2 * t * b1 - b2 + kCorrection[k];
        b2 = b1;
        b1 = b0;
    }
    return t * b1 - b2 + 0.5 * kCorrection[0];
}

// The random-atom sum of the average residue at s^2 = 1/d^2 (1/A^2).
inline double randomAtomIntensity(double s2) {
    const double stol2 = s2 / 4.0;  // (sin(theta)/lambda)^2
    double sum = 0.0;
    for (const AtomCount& atom : kAverageResidue) {
        const double f = gemmi::IT92<double>::get(atom.element).calculate_sf(stol2);
        sum += atom.count * f * f;
    }
    return sum;
}

// The reference mean intensity at s^2 = 1/d^2 (1/A^2).
inline double meanIntensity(double s2) { return randomAtomIntensity(s2) * (1.0 + proteinCorrection(s2)); }

}  // namespace common::protein_reference
