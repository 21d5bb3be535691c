// Symmetry-equivalent observations brought to one asymmetric unit with the
// space group's operations and combined as the inverse-variance weighted
// mean. Friedel mates are merged when Friedel's law holds, kept apart when
// it does not.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <gemmi/symmetry.hpp>

#include "common/hkl_key.hpp"

#include "ovofit/xds_file.hpp"

namespace ovofit {

// Indices in the asymmetric unit stay below this in magnitude (those of a
// key); XDS writes at most six digits, which hexagonal operations can
// double.
inline constexpr int32_t kIndexLimit = common::kHklKeyOffset;

struct MergedReflection {
    int32_t h = 0, k = 0, l = 0;  // in the asymmetric unit
    double intensity = 0;         // weighted mean
    double sigma = 0;             // 1 / sqrt(sum of weights)
    int32_t observations = 0;
};

class Merger {
public:
    Merger(const gemmi::SpaceGroup& spaceGroup, bool friedelsLaw);

    // Observations whose sigma is not a positive number (XDS marks misfits
    // with a negative one) or whose intensity is not finite are left out.
    // False when the indices in the asymmetric unit reach kIndexLimit.
    bool add(const Observation& observation);

    // The merged reflections, in order of their indices. Those the space
    // group forbids (systematic absences) carry no signal and are left out.
    std::vector<MergedReflection> result();

    int64_t used() const { return used_; }
    int64_t leftOut() const { return leftOut_; }
    int64_t absent() const { return absent_; }  // unique reflections, known after result()

private:
    struct Sums {
        double weights = 0, weightedIntensities = 0;
        int32_t count = 0;
    };
    gemmi::GroupOps operations_;
    gemmi::ReciprocalAsu asu_;
    bool friedelsLaw_;
    std::unordered_map<uint64_t, Sums> sums_;
    int64_t used_ = 0;
    int64_t leftOut_ = 0;
    int64_t absent_ = 0;
};

}  // namespace ovofit
