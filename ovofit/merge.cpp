#include "ovofit/merge.hpp"

#include <algorithm>
#include <cmath>

namespace ovofit {

namespace {

// The indices' key, shifted up by one for the part that tells I- from I+
// when Friedel's law does not hold; keys sort by h, k, l, then that part.
uint64_t keyOf(const gemmi::Op::Miller& hkl, bool minus) {
    return common::packHkl(hkl[0], hkl[1], hkl[2]) << 1 | (minus ? 1 : 0);
}

}  // namespace

Merger::Merger(const gemmi::SpaceGroup& spaceGroup, bool friedelsLaw)
    : operations_(spaceGroup.operations()), asu_(&spaceGroup), friedelsLaw_(friedelsLaw) {}

bool Merger::add(const Observation& o) {
    if (!(o.sigma > 0.0f) || !std::isfinite(o.sigma) || !std::isfinite(o.intensity)) {
        ++leftOut_;
        return true;
    }
    const auto [hkl, isym] = asu_.to_asu({{o.h, o.k, o.l}}, operations_);
    for (const int32_t index : hkl) {
        if (index <= -kIndexLimit || index >= kIndexLimit) return false;
    }
    ++used_;
    // Even isym: the observation was brought to the unit by an inversion.
    Sums& sums = sums_[keyOf(hkl, !friedelsLaw_ && isym % 2 == 0)];
    const double sigma = o.sigma;
    const double weight = 1.0 / (sigma * sigma);
    sums.weights += weight;
    sums.weightedIntensities += weight * o.intensity;
    ++sums.count;
    return true;
}

std::vector<MergedReflection> Merger::result() {
    std::vector<std::pair<uint64_t, Sums>> sorted(sums_.begin(), sums_.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<MergedReflection> merged;
    merged.reserve(sorted.size());
    for (const auto& [key, sums] : sorted) {
        MergedReflection r;
        common::unpackHkl(key >> 1, r.h, r.k, r.l);
        if (operations_.is_systematically_absent({{r.h, r.k, r.l}})) {
            ++absent_;
            continue;
        }
        r.intensity = sums.weightedIntensities / sums.weights;
        r.sigma = 1.0 / std::sqrt(sums.weights);
        r.observations = sums.count;
        merged.push_back(r);
    }
    return merged;
}

}  // namespace ovofit
