#include "ovostats/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <gemmi/math.hpp>
#include <gemmi/reciproc.hpp>

#include "common/failure.hpp"
#include "common/hkl_key.hpp"
#include "common/records.hpp"

namespace ovostats {

namespace {

using common::merging_table::Shell;
using common::merging_table::Table;

uint64_t mix(uint64_t x) {  // splitmix64's finaliser
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The sums of a correlation of half-set means averaged over every split.
struct HalfSets {
    int64_t n = 0;
    double sumMean = 0, sumSquaredMean = 0, sumVariance = 0, sumCovariance = 0;
    HalfSets& operator+=(const HalfSets& o) {
        n += o.n;
        sumMean += o.sumMean;
        sumSquaredMean += o.sumSquaredMean;
        sumVariance += o.sumVariance;
        sumCovariance += o.sumCovariance;
        return *this;
    }
    void add(double mean, double variance, double covariance) {
        ++n;
        sumMean += mean;
        sumSquaredMean += mean * mean;
        sumVariance += variance;
        sumCovariance += covariance;
    }
    // Three pairs at least, and a spread of the means.
    std::optional<double> coefficient() const {
        if (n < 3) return std::nullopt;
        const double count = static_cast<double>(n);
        const double spread = sumSquaredMean - sumMean * sumMean / count;
        const double xx = spread + sumVariance * (1 - 1 / count);
        const double xy = spread + sumCovariance * (1 - 1 / count);
        if (!(xx > 0)) return std::nullopt;
        return xy / xx;
    }
};

// A reflection's (or a mate's) mean and, over the random splits, the
// variance of each half mean and the covariance of the two; false when it
// was measured fewer than twice.
bool splitMoments(int32_t count, float meanIntensity, float squares, double& mean, double& variance,
                  double& covariance) {
    if (count < 2) return false;
    const double n = count;
    mean = meanIntensity;
    const double s2 = std::max(0.0, static_cast<double>(squares) / (n - 1));
    const double smaller = std::floor(n / 2), larger = n - smaller;
    variance = s2 * (0.5 * (1 / smaller + 1 / larger) - 1 / n);
    covariance = -s2 / n;
    return true;
}

// Welford's step: the running mean and sum of squared deviations of
// `count` values (count already includes the new one).
void addToMoments(int32_t count, double value, float& mean, float& squares) {
    const double before = mean;
    const double after = before + (value - before) / count;
    squares = static_cast<float>(squares + (value - before) * (value - after));
    mean = static_cast<float>(after);
}

// Everything summed over the reflections of one shell (or of all shells).
struct Sums {
    int64_t observations = 0, unique = 0, possible = 0, possibleInside = 0, uniqueInside = 0;
    double iOverSigma = 0;
    HalfSets halves;
    // Friedel's law off: acentric reflections.
    int64_t possibleAcentric = 0, bothMates = 0, mateObservations = 0, matesMeasured = 0;
    HalfSets anomalousHalves;
    // Second pass.
    double absoluteDeviation = 0, measWeighted = 0, pimWeighted = 0, intensity = 0;

    Sums& operator+=(const Sums& o) {
        observations += o.observations, unique += o.unique, possible += o.possible;
        possibleInside += o.possibleInside, uniqueInside += o.uniqueInside;
        iOverSigma += o.iOverSigma;
        halves += o.halves;
        possibleAcentric += o.possibleAcentric, bothMates += o.bothMates;
        mateObservations += o.mateObservations, matesMeasured += o.matesMeasured;
        anomalousHalves += o.anomalousHalves;
        absoluteDeviation += o.absoluteDeviation, measWeighted += o.measWeighted;
        pimWeighted += o.pimWeighted, intensity += o.intensity;
        return *this;
    }
};

std::optional<double> ratio(double numerator, double denominator) {
    if (!(denominator > 0)) return std::nullopt;  // R of a shell whose intensities sum to zero or less: undefined
    return numerator / denominator;
}

std::optional<double> percent(int64_t part, int64_t whole) {
    if (whole == 0) return std::nullopt;
    return 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

Shell rowOf(const Sums& s, double dMax, double dMin, bool ellipsoid, bool friedelsLaw) {
    Shell out;
    out.dMax = dMax;
    out.dMin = dMin;
    out.observations = s.observations;
    out.unique = s.unique;
    out.possible = s.possible;
    out.completeness = percent(s.unique, s.possible);
    if (ellipsoid) {
        out.possibleInEllipsoid = s.possibleInside;
        out.completenessEllipsoid = percent(s.uniqueInside, s.possibleInside);
    }
    if (s.unique > 0) {
        out.multiplicity = static_cast<double>(s.observations) / static_cast<double>(s.unique);
        out.iOverSigma = s.iOverSigma / static_cast<double>(s.unique);
    }
    out.rMerge = ratio(s.absoluteDeviation, s.intensity);
    out.rMeas = ratio(s.measWeighted, s.intensity);
    out.rPim = ratio(s.pimWeighted, s.intensity);
    out.ccHalf = s.halves.coefficient();
    if (!friedelsLaw) {
        out.anomalousCompleteness = percent(s.bothMates, s.possibleAcentric);
        if (s.matesMeasured > 0) {
            out.anomalousMultiplicity =
                static_cast<double>(s.mateObservations) / static_cast<double>(s.matesMeasured);
        }
        out.ccAnomalous = s.anomalousHalves.coefficient();
    }
    return out;
}

}  // namespace

MergingStatistics::MergingStatistics(const Setup& setup)
    : setup_(setup), operations_(setup.spaceGroup->operations()), asu_(setup.spaceGroup), keys_(1 << 12, kEmpty), table_(1 << 12) {
    if (!setup_.friedelsLaw) mates_.resize(2 * table_.size());
}

size_t MergingStatistics::find(uint64_t key) const {
    // The home slot: a hash of h and k scaled to the table's size, plus l,
    // so that the observations of a row of l, which files often list
    // together, probe neighbouring slots.
    const size_t size = keys_.size();
    constexpr uint64_t kL = (uint64_t{1} << common::kHklKeyIndexBits) - 1;
    using Wide = unsigned __int128;
    const auto base = static_cast<size_t>((static_cast<Wide>(mix(key >> common::kHklKeyIndexBits)) * size) >> 64);
    size_t slot = (base + static_cast<size_t>(key & kL)) % size;
    while (keys_[slot] != key && keys_[slot] != kEmpty) slot = slot + 1 == size ? 0 : slot + 1;
    return slot;
}

void MergingStatistics::grow() {
    // Doubled, but never beyond room for as many reflections as the file
    // has records (then by a quarter at a time, should that be wrong).
    size_t slots = 2 * keys_.size();
    if (setup_.recordsAtMost > 0) {
        const size_t room = setup_.recordsAtMost / 3 * 4 + 16;
        slots = std::max(std::min(slots, room), keys_.size() + keys_.size() / 4);
    }
    std::vector<uint64_t> oldKeys(slots, kEmpty);
    oldKeys.swap(keys_);
    std::vector<Entry> old(slots);
    old.swap(table_);
    std::vector<Mate> oldMates;
    if (!setup_.friedelsLaw) {
        oldMates.resize(2 * slots);
        oldMates.swap(mates_);
    }
    for (size_t i = 0; i < old.size(); ++i) {
        if (oldKeys[i] == kEmpty) continue;
        const size_t slot = find(oldKeys[i]);
        keys_[slot] = oldKeys[i];
        table_[slot] = old[i];
        if (!setup_.friedelsLaw) {
            mates_[2 * slot] = oldMates[2 * i];
            mates_[2 * slot + 1] = oldMates[2 * i + 1];
        }
    }
}

bool MergingStatistics::reduce(const Observation& o, gemmi::Op::Miller& asu, bool& minus) {
    // A weight 1/sigma^2 beyond single precision (sigma below 1e-19) is no
    // measurement either.
    if (!(o.sigma > 1e-19f) || !std::isfinite(o.sigma) || !std::isfinite(o.intensity) ||
        (o.h == 0 && o.k == 0 && o.l == 0)) {
        ++tally_.leftOut;
        return false;
    }
    // The operation that brought the last observation to the unit is tried
    // first: files list the observations of one region together.
    const gemmi::Op::Miller hkl{{o.h, o.k, o.l}};
    const std::vector<gemmi::Op>& ops = operations_.sym_ops;
    const auto bring = [&](size_t i) {
        const gemmi::Op::Miller turned = ops[i].apply_to_hkl_without_division(hkl);
        if (asu_.is_in(turned)) {
            asu = gemmi::Op::divide_hkl_by_DEN(turned);
            minus = false;
            return true;
        }
        const gemmi::Op::Miller negated{{-turned[0], -turned[1], -turned[2]}};
        if (asu_.is_in(negated)) {
            asu = gemmi::Op::divide_hkl_by_DEN(negated);
            minus = true;
            return true;
        }
        return false;
    };
    if (!bring(lastOperation_)) {
        size_t i = 0;
        while (i < ops.size() && !bring(i)) ++i;
        if (i == ops.size()) common::fail("no symmetry operation brings " + std::to_string(o.h) + " " +
                                          std::to_string(o.k) + " " + std::to_string(o.l) + " to the asymmetric unit");
        lastOperation_ = i;
    }
    for (const int index : asu) {
        if (index <= -common::kHklKeyOffset || index >= common::kHklKeyOffset) {
            common::fail("the indices " + std::to_string(o.h) + " " + std::to_string(o.k) + " " +
                         std::to_string(o.l) + " lie beyond the largest this program takes (" +
                         std::to_string(common::kHklKeyOffset - 1) + ")");
        }
    }
    return true;
}

void MergingStatistics::addFirst(const Observation& o) {
    gemmi::Op::Miller hkl;
    bool minus = false;
    if (!reduce(o, hkl, minus)) return;
    const uint64_t key = common::packHkl(hkl[0], hkl[1], hkl[2]);
    size_t slot = find(key);
    if (keys_[slot] == kEmpty) {
        if (4 * (filled_ + 1) > 3 * keys_.size()) {  // at most three quarters full
            grow();
            slot = find(key);
        }
        keys_[slot] = key;
        // Absences go with the orbit: tested once for each reflection.
        table_[slot].absent = operations_.is_systematically_absent(hkl);
        ++filled_;
    }
    Entry& e = table_[slot];
    if (e.absent) {
        ++tally_.absent;
        return;
    }
    const double weight = 1.0 / (static_cast<double>(o.sigma) * o.sigma);
    const double intensity = o.intensity;
    ++e.count;
    e.sumWeight = static_cast<float>(e.sumWeight + weight);
    e.sumWeighted = static_cast<float>(e.sumWeighted + weight * intensity);
    addToMoments(e.count, intensity, e.mean, e.squares);
    ++tally_.used;
    if (!setup_.friedelsLaw) {
        Mate& m = mates_[2 * slot + (minus ? 1 : 0)];
        ++m.count;
        addToMoments(m.count, intensity, m.mean, m.squares);
    }
}

int MergingStatistics::shellOf(double s2) const {
    if (edges_.empty() || s2 < edges_.front() || s2 > edges_.back()) return -1;
    // The first edge at or above s2 closes the shell: (e_i, e_i+1], the
    // first shell taking its lower edge as well.
    const auto upper = std::lower_bound(edges_.begin() + 1, edges_.end(), s2);
    return static_cast<int>(upper - edges_.begin()) - 1;
}

bool MergingStatistics::endFirstPass() {
    if (tally_.used == 0) return false;
    double lowest = INFINITY, highest = 0;
    for (size_t slot = 0; slot < keys_.size(); ++slot) {
        if (keys_[slot] == kEmpty || table_[slot].absent) continue;
        int32_t h, k, l;
        common::unpackHkl(keys_[slot], h, k, l);
        const double s2 = setup_.cell.calculate_1_d2(gemmi::Op::Miller{{h, k, l}});
        lowest = std::min(lowest, s2);
        highest = std::max(highest, s2);
    }
    edges_.clear();
    edges_.push_back(lowest);
    // A limit at or below the data's lowest resolution would make a shell of
    // no width there (the lowest reflection alone at 44.09 to 44.09 A when
    // ten equal steps of 1/d^2 from 0 put the first limit at 55.8 A): such
    // limits are left out, and the first shell begins with the data.
    auto addEdge = [this](double s2) {
        if (s2 > edges_.back()) edges_.push_back(s2);
    };
    const ShellChoice& choice = setup_.shells;
    if (choice.kind == ShellChoice::given) {
        for (const double d : choice.dMin) addEdge(1.0 / (d * d));
        if (edges_.size() < 2) {
            common::fail("every shell limit given is at lower resolution than the data, which begin at " +
                         common::fixedText(static_cast<float>(1 / std::sqrt(lowest)), 3) + " A");
        }
    } else {
        // XSCALE's shells: equal steps of 1/d^2 from 0; or equal steps of
        // reciprocal volume, 1/d^3, from the data's lowest resolution.
        const int n = std::max(1, choice.count);
        for (int i = 1; i < n; ++i) {
            const double f = static_cast<double>(i) / n;
            addEdge(choice.kind == ShellChoice::equalSquared
                        ? f * highest
                        : std::pow(std::pow(lowest, 1.5) + f * (std::pow(highest, 1.5) - std::pow(lowest, 1.5)), 2.0 / 3.0));
        }
        // All the data at one resolution make the one shell of no width.
        if (highest > edges_.back() || edges_.size() < 2) edges_.push_back(highest);
    }
    for (size_t slot = 0; slot < keys_.size(); ++slot) {
        Entry& e = table_[slot];
        if (keys_[slot] == kEmpty || e.absent) continue;
        int32_t h, k, l;
        common::unpackHkl(keys_[slot], h, k, l);
        const gemmi::Op::Miller hkl{{h, k, l}};
        e.shell = static_cast<int16_t>(shellOf(setup_.cell.calculate_1_d2(hkl)));
        e.inside = setup_.ellipsoid && common::isInsideEllipsoid(h, k, l, *setup_.ellipsoid);
        e.centric = operations_.is_reflection_centric(hkl);
    }
    const size_t shells = edges_.size() - 1;
    for (auto& sums : rSums_) sums.assign(shells, RSums{});
    return true;
}

void MergingStatistics::addSecond(const Observation& o) {
    gemmi::Op::Miller hkl;
    bool minus = false;
    const Tally before = tally_;
    const bool used = reduce(o, hkl, minus);
    tally_ = before;  // counted in the first pass
    if (!used) return;
    const Entry& e = table_[find(common::packHkl(hkl[0], hkl[1], hkl[2]))];
    if (e.absent) return;
    if (e.shell < 0) {
        ++tally_.outsideShells;
        return;
    }
    if (e.count < 2) return;
    const double mean = static_cast<double>(e.sumWeighted) / e.sumWeight;
    const double deviation = std::fabs(o.intensity - mean);
    const double n = e.count;
    for (int t = 0; t < (e.inside ? 2 : 1); ++t) {
        RSums& r = rSums_[t][static_cast<size_t>(e.shell)];
        r.absoluteDeviation += deviation;
        r.measWeighted += std::sqrt(n / (n - 1)) * deviation;
        r.pimWeighted += std::sqrt(1 / (n - 1)) * deviation;
        r.intensity += o.intensity;
    }
}

std::vector<Table> MergingStatistics::tables() const {
    const size_t shells = edges_.size() - 1;
    const bool ellipsoid = setup_.ellipsoid.has_value();
    const bool friedelsLaw = setup_.friedelsLaw;
    const int tableCount = ellipsoid ? 2 : 1;
    // [table][shell], and [table] for all shells.
    std::vector<Sums> sums[2];
    for (auto& s : sums) s.resize(shells);
    auto both = [&](int t, int shell, auto&& add) { add(sums[t][static_cast<size_t>(shell)]); };

    for (size_t slot = 0; slot < table_.size(); ++slot) {
        const Entry& e = table_[slot];
        if (keys_[slot] == kEmpty || e.shell < 0) continue;
        double mean = 0, variance = 0, covariance = 0;
        const bool paired = splitMoments(e.count, e.mean, e.squares, mean, variance, covariance);
        // Anomalous: the difference of the two mates' half means.
        bool anomalousPaired = false;
        double difference = 0, differenceVariance = 0, differenceCovariance = 0;
        int mateObservations = 0, matesMeasured = 0;
        bool bothMates = false;
        if (!friedelsLaw && !e.centric) {
            const Mate& plus = mates_[2 * slot];
            const Mate& minus = mates_[2 * slot + 1];
            double pm = 0, pv = 0, pc = 0, mm = 0, mv = 0, mc = 0;
            anomalousPaired = splitMoments(plus.count, plus.mean, plus.squares, pm, pv, pc) &&
                              splitMoments(minus.count, minus.mean, minus.squares, mm, mv, mc);
            difference = pm - mm;
            differenceVariance = pv + mv;
            differenceCovariance = pc + mc;
            mateObservations = plus.count + minus.count;
            matesMeasured = (plus.count > 0) + (minus.count > 0);
            bothMates = plus.count > 0 && minus.count > 0;
        }
        for (int t = 0; t < (e.inside ? tableCount : 1); ++t) {
            both(t, e.shell, [&](Sums& s) {
                s.observations += e.count;
                ++s.unique;
                if (e.inside) ++s.uniqueInside;
                s.iOverSigma += e.sumWeighted / std::sqrt(static_cast<double>(e.sumWeight));
                if (paired) s.halves.add(mean, variance, covariance);
                if (!friedelsLaw && !e.centric) {
                    s.mateObservations += mateObservations;
                    s.matesMeasured += matesMeasured;
                    s.bothMates += bothMates;
                    if (anomalousPaired) s.anomalousHalves.add(difference, differenceVariance, differenceCovariance);
                }
            });
        }
    }
    for (int t = 0; t < tableCount; ++t) {
        for (size_t shell = 0; shell < shells; ++shell) {
            both(t, static_cast<int>(shell), [&](Sums& s) {
                const RSums& r = rSums_[t][shell];
                s.absoluteDeviation += r.absoluteDeviation;
                s.measWeighted += r.measWeighted;
                s.pimWeighted += r.pimWeighted;
                s.intensity += r.intensity;
            });
        }
    }

    // The possible reflections: every index of the asymmetric unit in the
    // shells that the space group allows.
    const double dMin = 1 / std::sqrt(edges_.back());
    gemmi::for_all_reflections(
        [&](const gemmi::Op::Miller& hkl) {
            const int shell = shellOf(setup_.cell.calculate_1_d2(hkl));
            if (shell < 0) return;
            const bool inside = ellipsoid && common::isInsideEllipsoid(hkl[0], hkl[1], hkl[2], *setup_.ellipsoid);
            const bool acentric = !friedelsLaw && !operations_.is_reflection_centric(hkl);
            for (int t = 0; t < tableCount; ++t) {
                both(t, shell, [&](Sums& s) {
                    ++s.possible;
                    if (inside) ++s.possibleInside;
                    if (acentric) ++s.possibleAcentric;
                });
            }
        },
        setup_.cell, setup_.spaceGroup, dMin * (1 - 1e-9));

    std::vector<Table> out;
    for (int t = 0; t < tableCount; ++t) {
        Table table;
        table.name = t == 0 ? common::merging_table::kAllName : common::merging_table::kKeptName;
        table.friedelsLaw = friedelsLaw;
        // The data kept end where the ellipsoid does: shells beyond it,
        // with nothing kept, are not theirs (nor is their sphere).
        size_t used = shells;
        if (t == 1) {
            while (used > 1 && sums[t][used - 1].observations == 0) --used;
        }
        Sums overall;
        for (size_t shell = 0; shell < used; ++shell) {
            table.shells.push_back(rowOf(sums[t][shell], 1 / std::sqrt(edges_[shell]), 1 / std::sqrt(edges_[shell + 1]),
                                         ellipsoid, friedelsLaw));
            overall += sums[t][shell];
        }
        table.overall = rowOf(overall, table.shells.front().dMax, table.shells.back().dMin, ellipsoid, friedelsLaw);
        table.inner = table.shells.front();
        table.outer = table.shells.back();
        out.push_back(std::move(table));
    }
    return out;
}

}  // namespace ovostats
