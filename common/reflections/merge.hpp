// Symmetry-equivalent observations brought to one asymmetric unit with the
// space group's operations and combined as the inverse-variance weighted
// mean. Friedel mates are merged when Friedel's law holds, kept apart when
// it does not. One merger for every program: the reflections and their
// Friedel mates are told apart here and nowhere else.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include <gemmi/symmetry.hpp>

#include "common/hkl_key.hpp"

#include "common/reflections/xds_file.hpp"

namespace common::reflections {

// Indices in the asymmetric unit stay below this in magnitude (those of a
// key); XDS writes at most six digits, which hexagonal operations can
// double.
inline constexpr int32_t kIndexLimit = common::kHklKeyOffset;

// 24 bytes: the merge's table holds these and becomes the list of merged
// reflections in place.
struct MergedReflection {
    uint64_t key = 0;       // the indices in the asymmetric unit (common::packHkl), shifted up by one for I-/I+
    double intensity = 0;   // weighted mean
    double sigma = 0;       // 1 / sqrt(sum of weights)

    static MergedReflection of(int32_t h, int32_t k, int32_t l, double intensity, double sigma) {
        return {common::packHkl(h, k, l) << 1, intensity, sigma};
    }
    // The indices in the asymmetric unit (of I+ for a Friedel mate).
    int32_t h() const { return index(0); }
    int32_t k() const { return index(1); }
    int32_t l() const { return index(2); }
    // I- of data without Friedel's law: the mate of the reflection in the
    // unit, measured at minus its indices.
    bool mate() const { return (key & 1) != 0; }
    // The key of the reflection in the unit, the same for I+ and I-.
    uint64_t uniqueKey() const { return key >> 1; }
    // The indices as the reflection was measured: those of the unit, or
    // minus them for a Friedel mate.
    void measuredIndices(int32_t& h, int32_t& k, int32_t& l) const {
        common::unpackHkl(key >> 1, h, k, l);
        if (mate()) h = -h, k = -k, l = -l;
    }

private:
    int32_t index(int which) const {
        int32_t hkl[3];
        common::unpackHkl(key >> 1, hkl[0], hkl[1], hkl[2]);
        return hkl[which];
    }
};

// The two half-set means of a reflection measured more than once, for
// CC1/2: each reflection's observations are dealt alternately to the two
// halves in the order the file gives them, which half takes the first drawn
// at random for each reflection from a hash of its indices with a fixed
// seed, so that every run splits the same way. NaN in both when one half is
// empty (a reflection seen once).
struct HalfMeans {
    float first = 0, second = 0;
    bool paired() const { return first == first; }
};

// The merged reflections of data without Friedel's law taken a unique
// reflection at a time: I+ and I- (either may be absent) of one set of
// indices in the unit, which the merge's order puts side by side.
struct FriedelPair {
    const MergedReflection* plus = nullptr;
    const MergedReflection* minus = nullptr;
    const MergedReflection& either() const { return plus != nullptr ? *plus : *minus; }
};

// Calls use(pair) for each unique reflection of `merged` (in the merge's
// order, by the indices in the unit); with Friedel's law every reflection
// is a pair of its own, its plus.
template <typename Use>
void forEachFriedelPair(const std::vector<MergedReflection>& merged, Use&& use) {
    for (size_t i = 0; i < merged.size();) {
        FriedelPair pair;
        if (merged[i].mate()) {
            pair.minus = &merged[i++];
        } else {
            pair.plus = &merged[i++];
            if (i < merged.size() && merged[i].mate() && merged[i].uniqueKey() == pair.plus->uniqueKey()) {
                pair.minus = &merged[i++];
            }
        }
        use(pair);
    }
}

class Merger {
public:
    // `expected`: the records of a merged file, at most (0 when not known,
    // or for unmerged data). With it the observations are kept in a list
    // with room for that many, one entry a record, sorted and combined when
    // it has doubled and at the end: a merged file holds each reflection
    // about once, so a list written in order is faster than a table probed
    // at random, and no larger. Without it, a hash table that grows by doubling, up to room for
    // `atMost` reflections when that is given (the records an unmerged
    // file's size can hold), never beyond.
    Merger(const gemmi::SpaceGroup& spaceGroup, bool friedelsLaw, size_t expected = 0, bool halves = false,
           size_t atMost = 0);

    // Observations whose sigma is not a positive number (XDS marks misfits
    // with a negative one) or whose intensity is not finite are left out.
    // False when the indices in the asymmetric unit reach kIndexLimit.
    bool add(const Observation& observation);

    // The merged reflections, in order of their indices. Those the space
    // group forbids (systematic absences) carry no signal and are left out.
    std::vector<MergedReflection> result();
    // After result(): the half-set means of each merged reflection, in the
    // same order (empty unless asked for).
    std::vector<HalfMeans> takeHalfMeans() { return std::move(halfMeans_); }

    int64_t used() const { return used_; }
    int64_t leftOut() const { return leftOut_; }
    int64_t absent() const { return absent_; }  // unique reflections, known after result()

private:
    // Open addressing, linear probing, any size of table (the home slot
    // scaled from the hash, not masked): while merging, `intensity` holds the
    // sum of the weights and `sigma` the weighted sum of the intensities.
    static constexpr uint64_t kEmpty = ~uint64_t{0};  // no key: its indices would reach kIndexLimit
    void grow();
    size_t homeOf(uint64_t key) const;
    gemmi::Op::Miller toAsu(const Observation& o, bool& minus);
    gemmi::GroupOps operations_;
    gemmi::ReciprocalAsu asu_;
    // The rotations of the group's operations on the indices, divided by
    // Op::DEN, and which of them (times two, plus one when negated) brought
    // the last observation to the unit.
    std::vector<std::array<int32_t, 9>> rotations_;
    size_t lastTurn_ = 0;
    bool friedelsLaw_;
    std::vector<MergedReflection> table_;
    // Beside each slot when halves are kept: the first half's sum of weights
    // (its sign bit set while the reflection's count is odd) and weighted
    // sum of intensities; result() turns them into the two means.
    std::vector<HalfMeans> halfMeans_;
    bool halves_;
    bool listed_;   // the list of a merged file rather than the table
    size_t atMost_;
    size_t foldAt_ = 0;
    size_t folded_ = 0;  // the list's first entries, in order and combined
    bool repeats_ = false;  // the last fold found a quarter of the list repeated
    void fold();
    size_t filled_ = 0;
    int64_t used_ = 0;
    int64_t leftOut_ = 0;
    int64_t absent_ = 0;
};

}  // namespace common::reflections
