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

namespace {

constexpr int kFirstBits = 12;

size_t slotOf(uint64_t key, int shift) { return static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> shift); }

}  // namespace

Merger::Merger(const gemmi::SpaceGroup& spaceGroup, bool friedelsLaw)
    : operations_(spaceGroup.operations()), asu_(&spaceGroup), friedelsLaw_(friedelsLaw),
      table_(size_t{1} << kFirstBits, MergedReflection{kEmpty, 0, 0}), shift_(64 - kFirstBits) {}

void Merger::grow() {
    std::vector<MergedReflection> old(table_.size() * 2, MergedReflection{kEmpty, 0, 0});
    old.swap(table_);
    --shift_;
    const size_t mask = table_.size() - 1;
    for (const MergedReflection& entry : old) {
        if (entry.key == kEmpty) continue;
        size_t slot = slotOf(entry.key, shift_);
        while (table_[slot].key != kEmpty) slot = (slot + 1) & mask;
        table_[slot] = entry;
    }
}

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
    const uint64_t key = keyOf(hkl, !friedelsLaw_ && isym % 2 == 0);
    const size_t mask = table_.size() - 1;
    size_t slot = slotOf(key, shift_);
    while (table_[slot].key != key && table_[slot].key != kEmpty) slot = (slot + 1) & mask;
    MergedReflection* sums = &table_[slot];
    if (sums->key == kEmpty) {
        // At most three quarters full, so that probes stay short.
        if ((filled_ + 1) * 4 > table_.size() * 3) {
            grow();
            const size_t bigger = table_.size() - 1;
            slot = slotOf(key, shift_);
            while (table_[slot].key != kEmpty) slot = (slot + 1) & bigger;
            sums = &table_[slot];
        }
        ++filled_;
        sums->key = key;
    }
    const double sigma = o.sigma;
    const double weight = 1.0 / (sigma * sigma);
    sums->intensity += weight;
    sums->sigma += weight * o.intensity;
    return true;
}

std::vector<MergedReflection> Merger::result() {
    // In place: the filled slots moved to the front, in order of their keys,
    // the absences dropped and the sums turned into the mean and its sigma.
    std::vector<MergedReflection> merged;
    merged.swap(table_);
    const auto filledEnd = std::remove_if(merged.begin(), merged.end(),
                                          [](const MergedReflection& r) { return r.key == kEmpty; });
    std::sort(merged.begin(), filledEnd, [](const auto& x, const auto& y) { return x.key < y.key; });
    auto kept = merged.begin();
    for (auto r = merged.begin(); r != filledEnd; ++r) {
        if (operations_.is_systematically_absent({{r->h(), r->k(), r->l()}})) {
            ++absent_;
            continue;
        }
        const double weights = r->intensity;
        *kept++ = {r->key, r->sigma / weights, 1.0 / std::sqrt(weights)};
    }
    merged.erase(kept, merged.end());
    return merged;
}

}  // namespace ovofit
