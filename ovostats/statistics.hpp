// The merging statistics of unmerged observations by resolution shell, of
// all the data and of the reflections inside an input script's ellipsoid.
//
// Two passes over the same observations in the same order: the first
// brings each to the asymmetric unit and sums, per unique reflection, its
// count, the weights 1/sigma^2, the weighted intensities, the mean
// intensity and the sum of squared deviations from it; the second adds |I - <I>| of each observation to its
// shell's sums for Rmerge, Rmeas and Rpim. Memory: one entry per unique
// reflection, never one per observation.
//
// CC1/2 is the correlation that random half-sets give on average: each
// reflection's observations dealt at random into two halves of n/2 (n odd:
// (n-1)/2 and (n+1)/2, either way round), the half means unweighted. The
// sums of the correlation's numerator and denominators are averaged over
// every such split exactly, from each reflection's mean and sample
// variance (the covariance of the two half means is -S^2/n, the variance
// of each S^2 (1/m - 1/n) for a half of m): no seed, and no spread from one
// draw of halves to another. CC_anom likewise, from the differences of the
// two mates' half means.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

#include "common/ellipsoid.hpp"
#include "common/layout/merging_table.hpp"
#include "common/reflections/xds_file.hpp"

namespace ovostats {

// One measurement as the reflection layer gives it: the indices as
// measured, I, sigma(I) and the batch.
using Observation = common::reflections::Observation;

// How the resolution range is cut into shells.
struct ShellChoice {
    enum Kind { equalSquared, equalVolume, given } kind = equalSquared;
    int count = 10;              // equalSquared, equalVolume
    std::vector<double> dMin;    // given: the high-resolution edge of each shell, largest first
};

struct Setup {
    gemmi::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    bool friedelsLaw = true;
    std::optional<common::EllipsoidFrame> ellipsoid;
    ShellChoice shells;
    size_t recordsAtMost = 0;  // the records the file can hold (0: not known), a bound on the table
};

// What the first pass left out.
struct Tally {
    int64_t used = 0;
    int64_t leftOut = 0;   // sigma not above 0 (XDS's misfits), I or sigma not finite, or 0 0 0
    int64_t absent = 0;        // systematically absent in the space group
    int64_t outsideShells = 0; // beyond the given shells (second pass)
};

class MergingStatistics {
public:
    explicit MergingStatistics(const Setup& setup);

    // First pass. Fails (common::fail) on indices beyond a key's range.
    void addFirst(const Observation& o);
    // The shells chosen; false when no observation was used.
    bool endFirstPass();
    // Second pass: the same observations in the same order.
    void addSecond(const Observation& o);
    // The table of all the data, then (with an ellipsoid) of those inside it.
    std::vector<common::merging_table::Table> tables() const;

    const Tally& tally() const { return tally_; }
    // The shells' edges in 1/d^2, lowest resolution first (n + 1 values).
    const std::vector<double>& edges() const { return edges_; }

private:
    struct Entry {
        int32_t count = 0;
        int16_t shell = -1;   // -1: outside the shells
        uint8_t inside : 1 = 0;   // inside the ellipsoid
        uint8_t centric : 1 = 0;
        uint8_t absent : 1 = 0;   // systematically absent: its observations left out
        // Single precision keeps an entry at 24 bytes (32 with its key), as
        // many as the merge's: the sums of a few hundred weights and the
        // running mean and sum of squared deviations (Welford's, which
        // loses nothing to cancellation) need no more.
        float sumWeight = 0;     // 1/sigma^2
        float sumWeighted = 0;   // I/sigma^2
        float mean = 0;          // unweighted
        float squares = 0;       // sum of squared deviations from it
    };
    struct Mate {  // one Friedel half of a reflection, when Friedel's law is off
        int32_t count = 0;
        float mean = 0, squares = 0;
    };
    static constexpr uint64_t kEmpty = ~uint64_t{0};

    size_t find(uint64_t key) const;  // the slot of key, or of the empty slot where it goes
    void grow();
    // The index in the asymmetric unit and whether it is the Friedel mate;
    // false for an observation left out.
    bool reduce(const Observation& o, gemmi::Op::Miller& asu, bool& minus);
    int shellOf(double inverseD2) const;

    Setup setup_;
    gemmi::GroupOps operations_;
    gemmi::ReciprocalAsu asu_;
    size_t lastOperation_ = 0;
    // The keys apart from the sums, so that a probe runs over 8 bytes a
    // slot: the table is searched twice for every observation.
    std::vector<uint64_t> keys_;
    std::vector<Entry> table_;
    std::vector<Mate> mates_;  // two a slot, + then -, when Friedel's law is off
    size_t filled_ = 0;
    std::vector<double> edges_;

    // Second-pass sums per shell: [table][shell].
    struct RSums {
        double absoluteDeviation = 0, measWeighted = 0, pimWeighted = 0, intensity = 0;
    };
    std::vector<RSums> rSums_[2];
    Tally tally_;
};

}  // namespace ovostats
