// The reference curve of mean intensity with resolution that the anisotropic
// scaling fits against and that the example data are drawn from.
//
// It is Wilson's expected intensity of a structure of randomly placed atoms,
// <I>(s) = sum_j f_j(s)^2 (Wilson, Nature 150, 152, 1942), over the atoms of
// the average protein residue below, with the atoms' form factors from the
// International Tables vol. C table 6.1.1.4 (four Gaussians and a constant,
// as gemmi holds them). The unit is electrons squared per residue at rest:
// the curve carries no temperature factor, so a fit against it puts the
// whole falloff of the data into the fitted B.
//
// examples/generate.py reads the composition from the table below (the lines
// between the two markers), so that the example and the scaling use one
// curve: keep one atom per line in this form.
#pragma once

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

// The reference mean intensity at s^2 = 1/d^2 (1/Angstrom^2).
inline double meanIntensity(double s2) {
    const double stol2 = s2 / 4.0;  // (sin(theta)/lambda)^2
    double sum = 0.0;
    for (const AtomCount& atom : kAverageResidue) {
        const double f = gemmi::IT92<double>::get(atom.element).calculate_sf(stol2);
        sum += atom.count * f * f;
    }
    return sum;
}

}  // namespace common::protein_reference
