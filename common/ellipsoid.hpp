// The ellipsoid test of an input script, as ovoclip applies it to every
// reflection: E = sum over the three axes of (axis . s)^2 / q, with s the
// reciprocal-space coordinates of h, k, l and q = 1 / limit^2; a reflection
// is inside where E <= 1. In single precision, every operation rounded on
// its own: ovoclip keeps exactly the reflections that ovostats counts.
#pragma once

#include <cstdint>

#include "common/cell.hpp"
#include "common/column_classes.hpp"  // SUITE_SSE2
#include "common/layout/input_script.hpp"

namespace common {

using input_script::ResolutionLimits;

// Everything of the ellipsoid test that depends only on the cell, the axes
// and the limits, formed once for the pass.
struct EllipsoidFrame {
    OrthonormalFrame<float> orthonormal;  // h, k, l to reciprocal-space coordinates
    float axes[3][3] = {};
    float q1 = 0, q2 = 0, q3 = 0;
    // The same numbers for the three axes side by side, for the SSE2 form:
    // column j of the axes (with 0 in the fourth lane), and q1, q2, q3
    // (with 1, so that the fourth lane stays 0).
    alignas(16) float axisColumn[3][4] = {};
    alignas(16) float q[4] = {};
};

EllipsoidFrame prepareEllipsoid(const UnitCell& cell, const ReciprocalCell& reciprocal,
                                const float ellipsoidAxes[3][3], const ResolutionLimits& limits);

// E: 1 on the surface of the ellipsoid, below 1 inside. The three axes'
// terms one after the other, and side by side in one SSE2 register where
// the build has it; every operation is rounded to float in the same order
// in both, so that the two give the same bits (the tests hold them equal).
float ellipsoidMeasureScalar(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& frame);
#if SUITE_SSE2
float ellipsoidMeasureSse2(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& frame);
#endif
inline float ellipsoidMeasure(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& frame) {
#if SUITE_SSE2
    return ellipsoidMeasureSse2(h, k, l, frame);
#else
    return ellipsoidMeasureScalar(h, k, l, frame);
#endif
}

// Kept when E <= 1 or E is not a number.
inline bool isInsideEllipsoid(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& frame) {
    return !(ellipsoidMeasure(h, k, l, frame) > 1.0f);
}
bool isInsideEllipsoid(int32_t h, int32_t k, int32_t l, const UnitCell& cell,
                       const ReciprocalCell& reciprocal, const float ellipsoidAxes[3][3],
                       const ResolutionLimits& limits);

// The frame of an input script as read: the cell, its axes, its limits.
EllipsoidFrame ellipsoidOfScript(const InputScript& script);

}  // namespace common
