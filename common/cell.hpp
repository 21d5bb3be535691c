// The direct unit cell and the reciprocal cell derived from it.
//
// Everything is single precision and every operation is rounded to float
// before the next one uses it, in the order written below; the build turns
// off fused multiply-add so that this order is what the machine does.
#pragma once

namespace common {

// The single-precision pi, 3.14159274... (bit pattern 0x40490FDB).
inline constexpr float kPi = 3.1415927f;

struct UnitCell {
    float a = 0, b = 0, c = 0;              // edges, Angstrom
    float alpha = 0, beta = 0, gamma = 0;   // angles, degrees as read
};

struct ReciprocalCell {
    float astar = 0, bstar = 0, cstar = 0;  // 1/Angstrom
    float cosalphastar = 0, cosbetastar = 0, cosgammastar = 0;
    float sinalphastar = 0, sinbetastar = 0, singammastar = 0;
    float volume = 0;                       // direct cell, Angstrom^3
};

// (degrees * pi) / 180, the product rounded before the division.
float degreesToRadians(float degrees);

// Cosine and sine taken in double precision and rounded once to float, so
// that every machine gives the same bits.
float cosf32(float radians);
float sinf32(float radians);

// No validation: impossible cells give infinities and not-a-numbers.
ReciprocalCell computeReciprocalCell(const UnitCell& cell);

}  // namespace common
