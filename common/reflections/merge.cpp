#include "common/reflections/merge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace common::reflections {

namespace {

// The indices' key, shifted up by one for the part that tells I- from I+
// when Friedel's law does not hold; keys sort by h, k, l, then that part.
uint64_t keyOf(const gemmi::Op::Miller& hkl, bool minus) {
    return common::packHkl(hkl[0], hkl[1], hkl[2]) << 1 | (minus ? 1 : 0);
}

}  // namespace

namespace {

__extension__ using Wide = unsigned __int128;

constexpr uint64_t kHalfSeed = 0x5EED0F0F1A2B3C4Du;

constexpr size_t kFirstFold = size_t{1} << 16;

constexpr size_t kFirstSlots = size_t{1} << 12;

// Room for `count` entries at most three quarters full, so that probes stay
// short.
size_t slotsFor(size_t count) { return std::max(kFirstSlots, count / 3 * 4 + 4); }

}  // namespace

Merger::Merger(const gemmi::SpaceGroup& spaceGroup, bool friedelsLaw, size_t expected, bool halves, size_t atMost)
    : operations_(spaceGroup.operations()), asu_(&spaceGroup), friedelsLaw_(friedelsLaw), halves_(halves),
      listed_(expected > 0 && !halves), atMost_(atMost) {
    for (const gemmi::Op& op : operations_.sym_ops) {
        std::array<int32_t, 9> rotation;
        bool whole = true;
        for (size_t i = 0; i < 3; ++i) {
            for (size_t j = 0; j < 3; ++j) {
                rotation[3 * i + j] = op.rot[i][j] / gemmi::Op::DEN;
                whole = whole && op.rot[i][j] % gemmi::Op::DEN == 0;
            }
        }
        if (!whole) {  // not whole numbers on the indices: gemmi maps each
            rotations_.clear();
            break;
        }
        rotations_.push_back(rotation);
    }
    if (listed_) {
        // Room for every record at once; pages the list never reaches are
        // never touched.
        table_.reserve(expected);
        foldAt_ = std::min(expected, kFirstFold);
        return;
    }
    table_.assign(slotsFor(0), MergedReflection{kEmpty, 0, 0});
    if (halves_) halfMeans_.assign(table_.size(), HalfMeans{});
}

size_t Merger::homeOf(uint64_t key) const {
    // The hash's high bits scaled to the table's size.
    const uint64_t hash = key * 0x9E3779B97F4A7C15u;
    return static_cast<size_t>((static_cast<Wide>(hash) * table_.size()) >> 64);
}

void Merger::grow() {
    // Doubled, but not beyond room for the most reflections there can be;
    // past that (a bound that was wrong) by a quarter at a time.
    size_t slots = table_.size() * 2;
    if (atMost_ > 0) slots = std::max(std::min(slots, slotsFor(atMost_)), table_.size() + table_.size() / 4);
    std::vector<MergedReflection> old(slots, MergedReflection{kEmpty, 0, 0});
    old.swap(table_);
    std::vector<HalfMeans> oldHalves(halves_ ? table_.size() : 0, HalfMeans{});
    oldHalves.swap(halfMeans_);
    const size_t size = table_.size();
    for (size_t i = 0; i < old.size(); ++i) {
        const MergedReflection& entry = old[i];
        if (entry.key == kEmpty) continue;
        size_t slot = homeOf(entry.key);
        while (table_[slot].key != kEmpty) slot = slot + 1 == size ? 0 : slot + 1;
        table_[slot] = entry;
        if (halves_) halfMeans_[slot] = oldHalves[i];
    }
}

bool Merger::add(const Observation& o) {
    if (!(o.sigma > 0.0f) || !std::isfinite(o.sigma) || !std::isfinite(o.intensity)) {
        ++leftOut_;
        return true;
    }
    bool minus = false;
    const gemmi::Op::Miller hkl = toAsu(o, minus);
    for (const int32_t index : hkl) {
        if (index <= -kIndexLimit || index >= kIndexLimit) return false;
    }
    ++used_;
    const uint64_t key = keyOf(hkl, minus);
    const double sigma = o.sigma;
    const double weight = 1.0 / (sigma * sigma);
    if (listed_) {
        // A file that repeats its reflections is folded whenever the list
        // has doubled since the last fold, so it stays within twice its
        // unique reflections (and within what was made room for).
        if (table_.size() >= foldAt_) {
            fold();
            // At the latest when the room is full; a list that fills it with
            // distinct reflections (records shorter than XDS writes) grows.
            foldAt_ = std::max(kFirstFold, 2 * table_.size());
            if (foldAt_ > table_.capacity() && table_.size() < table_.capacity()) foldAt_ = table_.capacity();
        }
        table_.push_back({key, weight, weight * o.intensity});
        return true;
    }
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
    sums->intensity += weight;
    sums->sigma += weight * o.intensity;
    if (halves_) {
        HalfMeans& half = halfMeans_[static_cast<size_t>(sums - table_.data())];
        const bool odd = std::signbit(half.first);
        const bool startsSecond = ((key ^ kHalfSeed) * 0xD6E8FEB86659FD93u) >> 63;
        float weights = std::fabs(half.first);
        if (odd == startsSecond) {
            weights += static_cast<float>(weight);
            half.second += static_cast<float>(weight * o.intensity);
        }
        half.first = odd ? weights : -weights;  // the count's parity flips
    }
    return true;
}

gemmi::Op::Miller Merger::toAsu(const Observation& o, bool& minus) {
    if (!friedelsLaw_ || rotations_.empty()) {
        // Even isym: the observation was brought to the unit by an inversion.
        // On the unit's edges more than one operation may bring it there, so
        // the first in the group's order decides.
        const auto [hkl, isym] = asu_.to_asu({{o.h, o.k, o.l}}, operations_);
        minus = isym % 2 == 0;
        return hkl;
    }
    // With Friedel's law the unit holds one reflection of the observation's
    // orbit, whichever operation finds it: the one that found the last is
    // tried first (files list neighbouring reflections together), then all in
    // turn, with and without the inversion.
    auto turned = [this, &o](size_t turn) {
        const std::array<int32_t, 9>& m = rotations_[turn / 2];
        const int32_t sign = turn % 2 == 0 ? 1 : -1;
        return gemmi::Op::Miller{{sign * (m[0] * o.h + m[3] * o.k + m[6] * o.l),
                                  sign * (m[1] * o.h + m[4] * o.k + m[7] * o.l),
                                  sign * (m[2] * o.h + m[5] * o.k + m[8] * o.l)}};
    };
    gemmi::Op::Miller hkl = turned(lastTurn_);
    if (asu_.is_in(hkl)) return hkl;
    for (size_t turn = 0; turn < 2 * rotations_.size(); ++turn) {
        hkl = turned(turn);
        if (asu_.is_in(hkl)) {
            lastTurn_ = turn;
            return hkl;
        }
    }
    return asu_.to_asu({{o.h, o.k, o.l}}, operations_).first;  // gemmi's own failure
}

void Merger::fold() {
    // The part added since the last fold: its reflections the folded part
    // holds added to it, the rest put in the order of the keys (in place,
    // skipped when already in order) and its runs of one reflection summed.
    // New reflections left over put the whole in order again. The sums of a
    // reflection seen more than once in one part may so come in another
    // order than read.
    auto byKey = [](const MergedReflection& x, const MergedReflection& y) { return x.key < y.key; };
    const size_t before = table_.size();
    // Unless the last fold found repeats, the whole list is sorted and
    // combined at once: the walk costs more than a sort
    // when few are found.
    if (!repeats_) folded_ = 0;
    if (folded_ > 0) {
        // The new part's reflections the folded part already holds are added
        // to it where they stand, found by a cursor that mostly steps to the
        // next entry (files list their reflections in runs) and otherwise by
        // a binary search; only those it does not hold are left to sort.
        const auto folded = table_.begin();
        const auto foldedEnd = folded + static_cast<std::ptrdiff_t>(folded_);
        auto cursor = folded;
        size_t kept = folded_;
        for (size_t i = folded_; i < table_.size(); ++i) {
            const MergedReflection entry = table_[i];
            if (cursor == foldedEnd || cursor->key > entry.key) {
                cursor = std::lower_bound(folded, foldedEnd, entry, byKey);
            } else {
                for (int step = 0; cursor != foldedEnd && cursor->key < entry.key; ++step, ++cursor) {
                    if (step == 2) {
                        cursor = std::lower_bound(cursor, foldedEnd, entry, byKey);
                        break;
                    }
                }
            }
            if (cursor != foldedEnd && cursor->key == entry.key) {
                cursor->intensity += entry.intensity;
                cursor->sigma += entry.sigma;
            } else {
                table_[kept++] = entry;
            }
        }
        table_.resize(kept);
    }
    const auto head = table_.begin() + static_cast<std::ptrdiff_t>(folded_);
    if (!std::is_sorted(head, table_.end(), byKey)) std::sort(head, table_.end(), byKey);
    size_t last = folded_;
    // Both parts in order: one walk through the folded one, unless its
    // reflections were already looked up above.
    auto found = folded_ > 0 ? head : table_.begin();
    for (size_t i = folded_; i < table_.size(); ++i) {
        MergedReflection& entry = table_[i];
        if (last > folded_ && table_[last - 1].key == entry.key) {
            table_[last - 1].intensity += entry.intensity;
            table_[last - 1].sigma += entry.sigma;
            continue;
        }
        while (found != head && found->key < entry.key) ++found;
        if (found != head && found->key == entry.key) {
            found->intensity += entry.intensity;
            found->sigma += entry.sigma;
        } else {
            table_[last++] = entry;
        }
    }
    table_.resize(last);
    if (last > folded_ && folded_ > 0 && table_[folded_].key < table_[folded_ - 1].key) {
        std::sort(table_.begin(), table_.end(), byKey);
    }
    folded_ = table_.size();
    repeats_ = table_.size() * 4 < before * 3;
}

std::vector<MergedReflection> Merger::result() {
    // In place: the filled slots moved to the front, in order of their keys,
    // the absences dropped and the sums turned into the mean and its sigma.
    std::vector<MergedReflection> merged;
    merged.swap(table_);
    if (listed_) {
        merged.swap(table_);
        fold();
        merged.swap(table_);
    } else if (!halves_) {
        const auto filledEnd = std::remove_if(merged.begin(), merged.end(),
                                              [](const MergedReflection& r) { return r.key == kEmpty; });
        std::sort(merged.begin(), filledEnd, [](const auto& x, const auto& y) { return x.key < y.key; });
        merged.erase(filledEnd, merged.end());
    } else {
        // The filled slots and their halves moved to the front together, then
        // put in order of their keys through a permutation applied in place.
        size_t filled = 0;
        for (size_t i = 0; i < merged.size(); ++i) {
            if (merged[i].key == kEmpty) continue;
            merged[filled] = merged[i];
            halfMeans_[filled++] = halfMeans_[i];
        }
        merged.resize(filled);
        halfMeans_.resize(filled);
        std::vector<uint32_t> order(filled);
        for (size_t i = 0; i < filled; ++i) order[i] = static_cast<uint32_t>(i);
        std::sort(order.begin(), order.end(), [&merged](uint32_t x, uint32_t y) { return merged[x].key < merged[y].key; });
        for (size_t i = 0; i < filled; ++i) {
            if (order[i] == i) continue;
            const MergedReflection reflection = merged[i];
            const HalfMeans half = halfMeans_[i];
            size_t j = i;
            for (;;) {
                const size_t from = order[j];
                order[j] = static_cast<uint32_t>(j);
                if (from == i) {
                    merged[j] = reflection;
                    halfMeans_[j] = half;
                    break;
                }
                merged[j] = merged[from];
                halfMeans_[j] = halfMeans_[from];
                j = from;
            }
        }
        halfMeans_.shrink_to_fit();
    }
    size_t kept = 0;
    for (size_t i = 0; i < merged.size(); ++i) {
        const MergedReflection& r = merged[i];
        if (operations_.is_systematically_absent({{r.h(), r.k(), r.l()}})) {
            ++absent_;
            continue;
        }
        const double weights = r.intensity;
        if (halves_) {
            // The second half is what the whole holds beyond the first; a half
            // with almost none of the weight is an empty one.
            const HalfMeans sums = halfMeans_[i];
            const double firstWeights = std::fabs(sums.first), secondWeights = weights - firstWeights;
            HalfMeans& means = halfMeans_[kept];
            if (firstWeights > 1e-5 * weights && secondWeights > 1e-5 * weights) {
                means.first = static_cast<float>(sums.second / firstWeights);
                means.second = static_cast<float>((r.sigma - sums.second) / secondWeights);
            } else {
                means.first = means.second = std::numeric_limits<float>::quiet_NaN();
            }
        }
        merged[kept++] = {r.key, r.sigma / weights, 1.0 / std::sqrt(weights)};
    }
    merged.resize(kept);
    if (halves_) halfMeans_.resize(kept);
    return merged;
}

}  // namespace common::reflections
