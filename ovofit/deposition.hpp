// The ellipsoid as the PDB asks for it when data were cut anisotropically:
// the unique reflections inside and outside it, its completeness (observed
// over possible, the possible ones enumerated in gemmi's asymmetric unit of
// reciprocal space) overall and per shell, the spherical completeness to
// the best of its limits, and the mmCIF fragment of _reflns items.
#pragma once

#include <string>
#include <vector>

#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"
#include "common/output_file.hpp"
#include "ovofit/ellipsoid.hpp"
#include "ovofit/merge.hpp"

namespace ovofit {

inline constexpr int kCompletenessShells = 10;

struct CompletenessShell {
    double dLow = 0, dHigh = 0;
    int64_t observed = 0, possible = 0;  // inside the ellipsoid
};

struct Completeness {
    double dLow = 0, dHigh = 0;           // the data's lowest resolution, the best limit
    int64_t inside = 0, outside = 0;      // unique reflections observed, in and outside the ellipsoid
    int64_t possibleInside = 0;           // within the ellipsoid and dLow
    int64_t observedSphere = 0, possibleSphere = 0;  // between dLow and dHigh
    std::vector<CompletenessShell> shells;           // of equal reciprocal volume, dLow to dHigh
    double ellipsoidal() const { return percent(inside, possibleInside); }
    double spherical() const { return percent(observedSphere, possibleSphere); }
    static double percent(int64_t part, int64_t whole) {
        return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
    }
};

// The ellipsoid of `limits` (each axis's `limit` along its direction);
// Friedel mates count as one reflection.
Completeness measureCompleteness(const gemmi::SpaceGroup& spaceGroup, const common::UnitCell& cell,
                                 const std::vector<AxisLimit>& limits, const std::vector<MergedReflection>& merged);

void showCompleteness(const Completeness& completeness);

// "local <I/sigmaI>" or "local wCC_half", the threshold of the criterion.
void writeDeposition(common::OutputFile& file, const std::vector<AxisLimit>& limits, const Completeness& completeness,
                     Criterion criterion, double threshold);

}  // namespace ovofit
