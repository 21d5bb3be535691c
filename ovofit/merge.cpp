#include "ovofit/merge.hpp"

#include <algorithm>
#include <cmath>

namespace ovofit {

namespace {

// Indices of an XDS record (I6) lie within 21 bits with an offset; the
// fourth part of the key tells I- from I+ when Friedel's law does not hold.
constexpr int32_t kOffset = kIndexLimit;

uint64_t keyOf(const gemmi::Op::Miller& hkl, bool minus) {
    auto part = [](int32_t index) { return static_cast<uint64_t>(index + kOffset) & 0x1FFFFF; };
    return (part(hkl[0]) << 43) | (part(hkl[1]) << 22) | (part(hkl[2]) << 1) | (minus ? 1 : 0);
}

int32_t indexOf(uint64_t key, int shift) {
    return static_cast<int32_t>((key >> shift) & 0x1FFFFF) - kOffset;
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
        r.h = indexOf(key, 43);
        r.k = indexOf(key, 22);
        r.l = indexOf(key, 1);
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
