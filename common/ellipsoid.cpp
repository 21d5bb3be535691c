#include "common/ellipsoid.hpp"

#include <algorithm>

namespace common {

EllipsoidFrame prepareEllipsoid(const UnitCell& cell, const ReciprocalCell& reciprocal,
                                const float ellipsoidAxes[3][3], const ResolutionLimits& limits) {
    EllipsoidFrame f;
    f.orthonormal = orthonormalFrame<float>(cell, reciprocal);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) f.axes[i][j] = ellipsoidAxes[i][j];
    }
    f.q1 = 1.0f / (limits.lowResLimit * limits.lowResLimit);
    f.q2 = 1.0f / (limits.mediumResLimit * limits.mediumResLimit);
    f.q3 = 1.0f / (limits.highResLimit * limits.highResLimit);
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) f.axisColumn[j][i] = f.axes[i][j];
    }
    const float q[4] = {f.q1, f.q2, f.q3, 1.0f};
    std::copy(q, q + 4, f.q);
    return f;
}

// Axis i: t_i = ((R_i1 * s1) + (R_i2 * s2)) + (R_i3 * s3), then
// (t_i * t_i) / q_i; E is the sum of the three terms in order.
float ellipsoidMeasureScalar(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& f) {
    float s[3];
    f.orthonormal.coordinates(h, k, l, s);
    const float q[3] = {f.q1, f.q2, f.q3};
    float terms[3];
    for (int i = 0; i < 3; ++i) {
        const float t = ((f.axes[i][0] * s[0]) + (f.axes[i][1] * s[1])) + (f.axes[i][2] * s[2]);
        terms[i] = (t * t) / q[i];
    }
    return (terms[0] + terms[1]) + terms[2];
}

#if SUITE_SSE2
// Lane i is axis i: each packed operation rounds every lane to float as
// the single operation of the scalar form does, in the same order.
float ellipsoidMeasureSse2(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& f) {
    float s[3];
    f.orthonormal.coordinates(h, k, l, s);
    const __m128 t = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_load_ps(f.axisColumn[0]), _mm_set1_ps(s[0])),
                                           _mm_mul_ps(_mm_load_ps(f.axisColumn[1]), _mm_set1_ps(s[1]))),
                                _mm_mul_ps(_mm_load_ps(f.axisColumn[2]), _mm_set1_ps(s[2])));
    alignas(16) float terms[4];
    _mm_store_ps(terms, _mm_div_ps(_mm_mul_ps(t, t), _mm_load_ps(f.q)));
    return (terms[0] + terms[1]) + terms[2];
}
#endif

bool isInsideEllipsoid(int32_t h, int32_t k, int32_t l, const UnitCell& cell,
                       const ReciprocalCell& reciprocal, const float ellipsoidAxes[3][3],
                       const ResolutionLimits& limits) {
    return isInsideEllipsoid(h, k, l, prepareEllipsoid(cell, reciprocal, ellipsoidAxes, limits));
}

EllipsoidFrame ellipsoidOfScript(const InputScript& script) {
    return prepareEllipsoid(script.cell, computeReciprocalCell(script.cell), script.ellipsoidAxes,
                            input_script::limitsByRow(script.limits));
}

}  // namespace common
