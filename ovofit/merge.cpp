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

__extension__ using Wide = unsigned __int128;

constexpr size_t kFirstSlots = size_t{1} << 12;

// Room for `count` entries at most three quarters full, so that probes stay
// short.
size_t slotsFor(size_t count) { return std::max(kFirstSlots, count / 3 * 4 + 4); }

}  // namespace

Merger::Merger(const gemmi::SpaceGroup& spaceGroup, bool friedelsLaw, size_t expected)
    : operations_(spaceGroup.operations()), asu_(&spaceGroup), friedelsLaw_(friedelsLaw),
      table_(slotsFor(expected), MergedReflection{kEmpty, 0, 0}) {}

size_t Merger::homeOf(uint64_t key) const {
    // The hash's high bits scaled to the table's size.
    const uint64_t hash = key * 0x9E3779B97F4A7C15u;
    return static_cast<size_t>((static_cast<Wide>(hash) * table_.size()) >> 64);
}

void Merger::grow() {
    std::vector<MergedReflection> old(table_.size() * 2, MergedReflection{kEmpty, 0, 0});
    old.swap(table_);
    const size_t size = table_.size();
    for (const MergedReflection& entry : old) {
        if (entry.key == kEmpty) continue;
        size_t slot = homeOf(entry.key);
        while (table_[slot].key != kEmpty) slot = slot + 1 == size ? 0 : slot + 1;
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
    size_t size = table_.size();
    size_t slot = homeOf(key);
    while (table_[slot].key != key && table_[slot].key != kEmpty) slot = slot + 1 == size ? 0 : slot + 1;
    MergedReflection* sums = &table_[slot];
    if (sums->key == kEmpty) {
        // At most three quarters full, so that probes stay short.
        if ((filled_ + 1) * 4 > table_.size() * 3) {
            grow();
            size = table_.size();
            slot = homeOf(key);
            while (table_[slot].key != kEmpty) slot = slot + 1 == size ? 0 : slot + 1;
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
