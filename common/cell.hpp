// The direct unit cell and the reciprocal cell derived from it.
//
// Everything is single precision and every operation is rounded to float
// before the next one uses it, in the order written below; the build turns
// off fused multiply-add so that this order is what the machine does.
#pragma once

#include <cstdint>

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

// The matrix that takes h, k, l to reciprocal-space coordinates in an
// orthonormal frame: x along a, y in the a-b plane, z along c* (1/Angstrom).
// It is lower triangular; every element and every step of `coordinates` is
// rounded to Real in the order written. ovoclip's ellipsoid test takes it in
// float, ovofit's fits in double: the double one is not the float one
// widened (its cosine and sine are not rounded to float, nor are its
// quotients and products).
template <typename Real>
struct OrthonormalFrame {
    Real m11 = 0, m21 = 0, m22 = 0, m31 = 0, m32 = 0, m33 = 0;

    void coordinates(int32_t h, int32_t k, int32_t l, Real s[3]) const {
        const Real hr = static_cast<Real>(h), kr = static_cast<Real>(k), lr = static_cast<Real>(l);
        s[0] = hr * m11;
        s[1] = (hr * m21) + (kr * m22);
        s[2] = ((hr * m31) + (kr * m32)) + (lr * m33);
    }
};

// From the cell and its reciprocal cell (computeReciprocalCell of the same
// cell), for Real float or double.
template <typename Real>
OrthonormalFrame<Real> orthonormalFrame(const UnitCell& cell, const ReciprocalCell& reciprocal);
extern template OrthonormalFrame<float> orthonormalFrame(const UnitCell&, const ReciprocalCell&);
extern template OrthonormalFrame<double> orthonormalFrame(const UnitCell&, const ReciprocalCell&);

}  // namespace common
