#include "common/cell.hpp"

#include <cmath>

namespace common {

float degreesToRadians(float degrees) {
    const float product = degrees * kPi;
    return product / 180.0f;
}

float cosf32(float radians) { return static_cast<float>(std::cos(static_cast<double>(radians))); }
float sinf32(float radians) { return static_cast<float>(std::sin(static_cast<double>(radians))); }

ReciprocalCell computeReciprocalCell(const UnitCell& cell) {
    const float ar = degreesToRadians(cell.alpha);
    const float br = degreesToRadians(cell.beta);
    const float gr = degreesToRadians(cell.gamma);

    const float ca = cosf32(ar), cb = cosf32(br), cg = cosf32(gr);
    const float sa = sinf32(ar), sb = sinf32(br), sg = sinf32(gr);

    const float ca2 = ca * ca, cb2 = cb * cb, cg2 = cg * cg;

    float t = ca + ca;
    t = t * cb;
    t = t * cg;

    float radicand = 1.0f - ca2;
    radicand = radicand - cb2;
    radicand = radicand - cg2;
    radicand = radicand + t;
    const float v = std::sqrt(radicand);

    const float abc = (cell.a * cell.b) * cell.c;

    ReciprocalCell r;
    r.volume = abc * v;

    r.astar = (sa * (cell.b * cell.c)) / r.volume;
    r.bstar = (sb * (cell.a * cell.c)) / r.volume;
    r.cstar = (sg * (cell.a * cell.b)) / r.volume;

    r.cosalphastar = ((cb * cg) - ca) / (sb * sg);
    r.cosbetastar = ((ca * cg) - cb) / (sa * sg);
    r.cosgammastar = ((ca * cb) - cg) / (sa * sb);

    r.sinalphastar = r.volume / ((abc * sb) * sg);
    r.sinbetastar = r.volume / ((abc * sa) * sg);
    r.singammastar = r.volume / ((abc * sa) * sb);
    return r;
}

// gamma in radians is the float of degreesToRadians in both precisions; its
// cosine and sine are taken in double and rounded to Real (for float, cosf32
// and sinf32).
template <typename Real>
OrthonormalFrame<Real> orthonormalFrame(const UnitCell& cell, const ReciprocalCell& reciprocal) {
    const double gamma = degreesToRadians(cell.gamma);
    const Real cg = static_cast<Real>(std::cos(gamma));
    const Real sg = static_cast<Real>(std::sin(gamma));
    const Real a = cell.a, b = cell.b;
    OrthonormalFrame<Real> f;
    f.m11 = Real{1} / a;
    f.m21 = -(cg / (sg * a));
    f.m22 = Real{1} / (sg * b);
    f.m31 = static_cast<Real>(reciprocal.astar) * static_cast<Real>(reciprocal.cosbetastar);
    f.m32 = static_cast<Real>(reciprocal.cosalphastar) * static_cast<Real>(reciprocal.bstar);
    f.m33 = static_cast<Real>(reciprocal.cstar);
    return f;
}

template OrthonormalFrame<float> orthonormalFrame(const UnitCell&, const ReciprocalCell&);
template OrthonormalFrame<double> orthonormalFrame(const UnitCell&, const ReciprocalCell&);

}  // namespace common
