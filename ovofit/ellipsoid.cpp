#include "ovofit/ellipsoid.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include <gemmi/eig3.hpp>

#include "common/failure.hpp"

namespace ovofit {

namespace {

// A position and its opposite are one: the first non-zero index positive.
gemmi::Op::Miller oneSense(gemmi::Op::Miller hkl) {
    const int first = hkl[0] != 0 ? hkl[0] : hkl[1] != 0 ? hkl[1] : hkl[2];
    if (first < 0) hkl = {{-hkl[0], -hkl[1], -hkl[2]}};
    return hkl;
}

// Solves the n x n system a x = b in place (partial pivoting); false when
// it is singular.
bool solve(std::vector<std::vector<double>>& a, std::vector<double>& b) {
    const size_t n = b.size();
    for (size_t col = 0; col < n; ++col) {
        size_t pivot = col;
        for (size_t row = col + 1; row < n; ++row) {
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        }
        if (!(std::fabs(a[pivot][col]) > 1e-300)) return false;
        std::swap(a[pivot], a[col]);
        std::swap(b[pivot], b[col]);
        for (size_t row = col + 1; row < n; ++row) {
            const double factor = a[row][col] / a[col][col];
            for (size_t j = col; j < n; ++j) a[row][j] -= factor * a[col][j];
            b[row] -= factor * b[col];
        }
    }
    for (size_t col = n; col-- > 0;) {
        for (size_t j = col + 1; j < n; ++j) b[col] -= a[col][j] * b[j];
        b[col] /= a[col][col];
    }
    return true;
}

// The falloff tensor of <I> = exp(c - s^T B s), the terms 1, sx^2, sy^2,
// sz^2, 2 sx sy, 2 sx sz, 2 sy sz, over every mate of the reflections.
//
// A start from least squares on ln I of the reflections whose intensity is
// above its sigma; then the quasi-likelihood fit of the intensities
// themselves, every reflection with its own weight (Fisher scoring of a
// log-linear model whose variance is Wilson's <I>^2 plus sigma^2): the
// mean of the measured I is <I> whatever the noise, so no reflection is
// left out and none is taken at the log of its noise. ln I of single
// reflections scatters by Wilson's distribution alone by 1.3, and the weak
// reflections at high resolution, where the directions differ most, are
// the ones left out: on generated monoclinic data with two limits of 2.3
// and 1.95 A in the a*-c* plane the start's axes scatter by 3-5 degrees
// from seed to seed.
gemmi::SMat33<double> fitFalloff(const gemmi::SpaceGroup& spaceGroup, const Frame& frame,
                                 const std::vector<MergedReflection>& merged) {
    constexpr size_t kTerms = 7;
    std::vector<std::vector<double>> normal(kTerms, std::vector<double>(kTerms, 0.0));
    std::vector<double> right(kTerms, 0.0);
    Mates mates(spaceGroup);
    auto termsOf = [&frame](const gemmi::Op::Miller& hkl, double (&x)[kTerms]) {
        double s[3];
        frame.coordinates(hkl[0], hkl[1], hkl[2], s);
        x[0] = 1.0, x[1] = s[0] * s[0], x[2] = s[1] * s[1], x[3] = s[2] * s[2];
        x[4] = 2 * s[0] * s[1], x[5] = 2 * s[0] * s[2], x[6] = 2 * s[1] * s[2];
    };
    int64_t used = 0;
    for (const MergedReflection& r : merged) {
        if (!(r.intensity > r.sigma)) continue;
        const double y = std::log(r.intensity);
        for (const auto& hkl : mates.of(r.h(), r.k(), r.l())) {
            double x[kTerms];
            termsOf(hkl, x);
            for (size_t i = 0; i < kTerms; ++i) {
                for (size_t j = 0; j < kTerms; ++j) normal[i][j] += x[i] * x[j];
                right[i] += x[i] * y;
            }
            ++used;
        }
    }
    if (used < 2 * static_cast<int64_t>(kTerms) || !solve(normal, right)) {
        throw TooFewReflections("too few reflections with I above sigma(I) (" + std::to_string(used) +
                                " with their mates) to fit the anisotropic falloff");
    }
    std::vector<double> beta = right;
    beta[0] += 0.5772156649;  // the mean of ln I under Wilson's distribution is ln <I> less Euler's constant
    // Fisher scoring: the step solves (sum w x x^T) d = sum x (I - m) m / v,
    // m = exp(beta . x), v = m^2 + sigma^2, w = m^2 / v. Should a step fail
    // (a singular system, a value out of range), the start stands.
    // Above kScored reflections every stride-th of them (they come sorted by
    // their indices, so the stride takes them evenly across the data): the
    // axes of 250 000 scatter by a few tenths of a degree, and seven passes
    // over millions would cost more than the reading.
    constexpr int kMostSteps = 30;
    constexpr size_t kScored = 250000;
    const size_t stride = (merged.size() + kScored - 1) / kScored;
    std::vector<double> trial = beta;
    for (int step = 0; step < kMostSteps; ++step) {
        for (auto& row : normal) std::fill(row.begin(), row.end(), 0.0);
        std::fill(right.begin(), right.end(), 0.0);
        bool finite = true;
        for (size_t n = 0; n < merged.size(); n += stride) {
            const MergedReflection& r = merged[n];
            if (!(r.sigma > 0) || !std::isfinite(r.intensity)) continue;
            const double variance0 = r.sigma * r.sigma;
            for (const auto& hkl : mates.of(r.h(), r.k(), r.l())) {
                double x[kTerms];
                termsOf(hkl, x);
                double eta = 0;
                for (size_t i = 0; i < kTerms; ++i) eta += trial[i] * x[i];
                if (!(eta < 700)) {
                    finite = false;
                    break;
                }
                const double mean = std::exp(eta);
                const double variance = mean * mean + variance0;
                const double weight = mean * mean / variance, score = (r.intensity - mean) * mean / variance;
                for (size_t i = 0; i < kTerms; ++i) {
                    for (size_t j = 0; j <= i; ++j) normal[i][j] += weight * x[i] * x[j];
                    right[i] += score * x[i];
                }
            }
            if (!finite) break;
        }
        for (size_t i = 0; i < kTerms; ++i)
            for (size_t j = 0; j < i; ++j) normal[j][i] = normal[i][j];
        if (!finite || !solve(normal, right)) break;
        double largest = 0;
        for (size_t i = 0; i < kTerms; ++i) {
            trial[i] += right[i];
            largest = std::max(largest, std::fabs(right[i]));
        }
        if (!std::isfinite(largest)) break;
        beta = trial;
        if (largest < 1e-5) break;  // of B in A^2: far below what moves an axis
    }
    // ln I falls with s^T B s: B is minus the fitted quadratic terms.
    return {-beta[1], -beta[2], -beta[3], -beta[4], -beta[5], -beta[6]};
}

// Unit vector with its largest component positive.
void normalise(double v[3]) {
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    int largest = 0;
    for (int i = 1; i < 3; ++i) {
        if (std::fabs(v[i]) > std::fabs(v[largest])) largest = i;
    }
    const double scale = (v[largest] < 0 ? -1.0 : 1.0) / length;
    for (int i = 0; i < 3; ++i) v[i] = v[i] * scale + 0.0;  // no -0 in the script
}

}  // namespace

Frame makeFrame(const common::UnitCell& cell) {
    return common::orthonormalFrame<double>(cell, common::computeReciprocalCell(cell));
}

Mates::Mates(const gemmi::SpaceGroup& spaceGroup) {
    for (const gemmi::Op& op : spaceGroup.operations().sym_ops) rotations_.push_back(op.rot);
}

const std::vector<gemmi::Op::Miller>& Mates::of(int32_t h, int32_t k, int32_t l) {
    mates_.clear();
    for (const gemmi::Op::Rot& rot : rotations_) {
        // Reciprocal space: the row vector (h, k, l) times the rotation.
        gemmi::Op::Miller hkl;
        for (size_t j = 0; j < 3; ++j) hkl[j] = (h * rot[0][j] + k * rot[1][j] + l * rot[2][j]) / gemmi::Op::DEN;
        hkl = oneSense(hkl);
        if (std::find(mates_.begin(), mates_.end(), hkl) == mates_.end()) mates_.push_back(hkl);
    }
    return mates_;
}

// Puts the axis nearest x first, then the one nearest y, then z, each
// pointing to the positive side of its frame axis: planeview takes record 5
// of the script as the limits along a*, b* and c*, so each limit should stand
// where its axis lies closest.
void orderAlongFrame(double (&rows)[3][3]) {
    static constexpr int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    int best = 0;
    double bestScore = -1;
    for (int o = 0; o < 6; ++o) {
        double score = 0;
        for (int i = 0; i < 3; ++i) score += std::fabs(rows[kOrders[o][i]][i]);
        if (score > bestScore) bestScore = score, best = o;
    }
    double ordered[3][3];
    for (int i = 0; i < 3; ++i) {
        const double sign = rows[kOrders[best][i]][i] < 0 ? -1.0 : 1.0;
        for (int j = 0; j < 3; ++j) ordered[i][j] = sign * rows[kOrders[best][i]][j];
    }
    std::copy(&ordered[0][0], &ordered[0][0] + 9, &rows[0][0]);
}

EllipsoidAxes chooseAxes(const gemmi::SpaceGroup& spaceGroup, const common::UnitCell& cell,
                         const std::vector<MergedReflection>& merged) {
    EllipsoidAxes axes;
    const gemmi::CrystalSystem system = spaceGroup.crystal_system();
    axes.lattice = gemmi::crystal_system_str(system);
    if (system != gemmi::CrystalSystem::Triclinic && system != gemmi::CrystalSystem::Monoclinic) {
        axes.description = axes.lattice +
                           " lattice: the axes of the frame (x along a, y in the a-b plane, z along c*), "
                           "the identity matrix";
        return axes;
    }
    gemmi::SMat33<double> falloff = fitFalloff(spaceGroup, makeFrame(cell), merged);
    const bool monoclinic = system == gemmi::CrystalSystem::Monoclinic;
    if (monoclinic) falloff.u12 = falloff.u23 = 0;  // b, along y, is an axis by symmetry
    double eigenvalues[3];
    const gemmi::Mat33 vectors = gemmi::eigen_decomposition(falloff, eigenvalues);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) axes.rows[i][j] = vectors[j][i];
    }
    if (monoclinic) {
        // The eigenvector along y exactly (0, 1, 0), the others exactly in x-z.
        int unique = 0;
        for (int i = 1; i < 3; ++i) {
            if (std::fabs(axes.rows[i][1]) > std::fabs(axes.rows[unique][1])) unique = i;
        }
        for (int i = 0; i < 3; ++i) axes.rows[i][1] = i == unique ? 1.0 : 0.0;
        axes.rows[unique][0] = axes.rows[unique][2] = 0.0;
    }
    for (auto& row : axes.rows) normalise(row);
    orderAlongFrame(axes.rows);
    axes.fitted = true;
    axes.description = axes.lattice + " lattice: the principal axes of the anisotropic falloff fitted to the data" +
                       (monoclinic ? ", the unique axis b one of them" : "");
    return axes;
}

ShellTally::ShellTally(double sLow, double sHigh) : low3_(std::pow(sLow, 3)), high3_(std::pow(sHigh, 3)) {
    size_t slots = 0;
    for (int n = kFewestShells; n <= kMostShells; ++n) slots += static_cast<size_t>(n);
    sums_.assign(slots, Sums{});
}

void ShellTally::add(double s, double iOverSigma, const HalfMeans* halves) {
    ++total_;
    const double share = high3_ > low3_ ? (s * s * s - low3_) / (high3_ - low3_) : 0.0;
    const bool paired = halves != nullptr && halves->paired();
    size_t first = 0;
    for (int n = kFewestShells; n <= kMostShells; ++n) {
        Sums& sums = sums_[first + static_cast<size_t>(std::clamp(static_cast<int>(share * n), 0, n - 1))];
        ++sums.count;
        sums.iOverSigma += iOverSigma;
        sums.iOverSigma2 += iOverSigma * iOverSigma;
        sums.s2 += s * s;
        if (paired) {
            const double x = halves->first, y = halves->second;
            ++sums.pairs;
            sums.first += x;
            sums.second += y;
            sums.first2 += x * x;
            sums.second2 += y * y;
            sums.product += x * y;
        }
        first += static_cast<size_t>(n);
    }
}

std::vector<Shell> ShellTally::shells() const {
    const int64_t most = std::min<int64_t>(kMostShells, total_ / kFewestInShell);
    for (int n = static_cast<int>(most); n >= kFewestShells; --n) {
        size_t first = 0;
        for (int m = kFewestShells; m < n; ++m) first += static_cast<size_t>(m);
        std::vector<Shell> shells(static_cast<size_t>(n));
        bool enough = true;
        for (size_t i = 0; i < shells.size(); ++i) {
            Shell& shell = shells[i];
            const Sums& sums = sums_[first + i];
            shell.sLow = std::cbrt(low3_ + (high3_ - low3_) * static_cast<double>(i) / n);
            shell.sHigh = std::cbrt(low3_ + (high3_ - low3_) * static_cast<double>(i + 1) / n);
            shell.count = static_cast<int>(sums.count);
            enough = enough && shell.count >= kFewestInShell;
            if (shell.count > 0) {
                const double count = static_cast<double>(sums.count);
                shell.meanIOverSigma = sums.iOverSigma / count;
                shell.varianceIOverSigma =
                    std::max(0.0, sums.iOverSigma2 / count - shell.meanIOverSigma * shell.meanIOverSigma);
                shell.meanS2 = sums.s2 / count;
            }
            shell.pairs = static_cast<int>(sums.pairs);
            if (sums.pairs >= kFewestPairs) {
                // Pearson's correlation of the two half-set means.
                const double n2 = static_cast<double>(sums.pairs);
                const double sxx = sums.first2 - sums.first * sums.first / n2;
                const double syy = sums.second2 - sums.second * sums.second / n2;
                const double sxy = sums.product - sums.first * sums.second / n2;
                shell.cc = sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0.0;
            }
        }
        if (enough) return shells;
    }
    return {};
}

double dataEdge(const Frame& frame, const std::vector<MergedReflection>& merged) {
    // The (beyond + 1) largest values of s^2 in a heap whose top is the least.
    const size_t beyond = merged.size() / kStrayShare;
    std::vector<double> largest;
    largest.reserve(beyond + 1);
    const auto greater = std::greater<double>();
    for (const MergedReflection& r : merged) {
        double s[3];
        frame.coordinates(r.h(), r.k(), r.l(), s);
        const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
        if (largest.size() <= beyond) {
            largest.push_back(s2);
            std::push_heap(largest.begin(), largest.end(), greater);
        } else if (s2 > largest.front()) {
            std::pop_heap(largest.begin(), largest.end(), greater);
            largest.back() = s2;
            std::push_heap(largest.begin(), largest.end(), greater);
        }
    }
    return largest.empty() ? 0.0 : std::sqrt(largest.front());
}

void readLimit(AxisLimit& axis, double threshold) {
    const std::vector<Shell>& shells = axis.shells;
    for (size_t i = 0; i < shells.size(); ++i) {
        if (shells[i].meanIOverSigma < threshold) {
            axis.edge = i == 0 ? LimitEdge::firstShellBelow : LimitEdge::belowThreshold;
            axis.shellEdge = 1.0 / shells[i].sLow;
            return;
        }
    }
    axis.edge = LimitEdge::neverBelow;
    axis.shellEdge = 1.0 / shells.back().sHigh;
}

void fitLimits(AxisLimit& axis, double threshold) {
    const std::vector<Shell>& shells = axis.shells;
    const double low = shells.front().sLow * shells.front().sLow, high = shells.back().sHigh * shells.back().sHigh;
    auto limitOf = [](const LevelCrossing& crossing) { return FittedLimit{1.0 / std::sqrt(crossing.x), crossing.where}; };
    std::vector<CurvePoint> points;
    for (const Shell& shell : shells) {
        // The variance of a shell's mean; a floor for shells whose
        // reflections all have one value.
        const double variance = std::max(shell.varianceIOverSigma, 1e-3) / shell.count;
        points.push_back({shell.meanS2, shell.meanIOverSigma, 1.0 / variance});
    }
    axis.signal = fitSignal(points);
    // No curve through the shells (too few, or none that converges): the
    // shell edge stands for the fitted limit.
    axis.bySignal = axis.signal ? limitOf(crossing(*axis.signal, threshold, low, high))
                                : FittedLimit{axis.shellEdge, axis.edge == LimitEdge::neverBelow ? Crossing::beyond
                                                              : axis.edge == LimitEdge::firstShellBelow ? Crossing::atStart
                                                                                                       : Crossing::within};
    points.clear();
    for (const Shell& shell : shells) {
        if (shell.pairs >= kFewestPairs) points.push_back({shell.meanS2, shell.cc, static_cast<double>(shell.pairs)});
    }
    axis.correlation = fitCorrelation(points);
    if (axis.correlation) axis.byCorrelation = limitOf(crossing(*axis.correlation, kCorrelationThreshold, low, high));
}

std::vector<AxisLimit> measureLimits(const gemmi::SpaceGroup& spaceGroup, const common::UnitCell& cell,
                                     const EllipsoidAxes& axes, const std::vector<MergedReflection>& merged,
                                     const std::vector<HalfMeans>& halves, double threshold, Criterion criterion) {
    const Frame frame = makeFrame(cell);
    const double cosCone = std::cos(kConeDegrees * 3.14159265358979323846 / 180.0);
    const double edge = dataEdge(frame, merged);
    Mates mates(spaceGroup);
    // Calls f(axis, s, |s|, I/sigma, half-set means or null) for each mate
    // within the cone of an axis and within the data's edge.
    auto eachInCones = [&](auto&& f) {
        for (size_t n = 0; n < merged.size(); ++n) {
            const MergedReflection& r = merged[n];
            const HalfMeans* half = halves.empty() ? nullptr : &halves[n];
            const double iOverSigma = r.intensity / r.sigma;
            for (const auto& hkl : mates.of(r.h(), r.k(), r.l())) {
                double s[3];
                frame.coordinates(hkl[0], hkl[1], hkl[2], s);
                const double length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
                if (!(length > 0) || length > edge) continue;
                for (size_t i = 0; i < 3; ++i) {
                    const double along = axes.rows[i][0] * s[0] + axes.rows[i][1] * s[1] + axes.rows[i][2] * s[2];
                    if (std::fabs(along) >= cosCone * length) f(i, s, length, iOverSigma, half);
                }
            }
        }
    };
    // The shells of each cone with each reflection at place(axis, s, |s|),
    // at most reach[axis]. Two passes, nothing held per reflection: the low
    // and high edges of each cone, then its shells. A cone's shells end where
    // its own data do, at the place that holds all but one in kStrayShare of
    // its reflections (to a step of the histogram): data already cut to an
    // ellipsoid, or whose indices end on a sphere of an oblique cell, end
    // sooner along some axes than the data's edge.
    auto tallyCones = [&](auto&& place, const double (&reach)[3]) {
        constexpr size_t kEdgeSteps = 4096;
        double lowest[3] = {reach[0], reach[1], reach[2]};
        std::vector<int64_t> histogram(3 * kEdgeSteps, 0);
        eachInCones([&](size_t i, const double* s, double length, double, const HalfMeans*) {
            const double at = place(i, s, length);
            lowest[i] = std::min(lowest[i], at);
            ++histogram[i * kEdgeSteps + std::min(kEdgeSteps - 1, static_cast<size_t>(at / reach[i] * kEdgeSteps))];
        });
        double highest[3];
        for (size_t i = 0; i < 3; ++i) {
            int64_t total = 0;
            for (size_t step = 0; step < kEdgeSteps; ++step) total += histogram[i * kEdgeSteps + step];
            const int64_t kept = total - total / static_cast<int64_t>(kStrayShare);
            int64_t sum = 0;
            size_t step = 0;
            while (step + 1 < kEdgeSteps && (sum += histogram[i * kEdgeSteps + step]) < kept) ++step;
            highest[i] = std::max(lowest[i], reach[i] * static_cast<double>(step + 1) / kEdgeSteps);
        }
        std::vector<ShellTally> tallies;
        for (size_t i = 0; i < 3; ++i) tallies.emplace_back(lowest[i], highest[i]);
        eachInCones([&](size_t i, const double* s, double length, double iOverSigma, const HalfMeans* half) {
            const double at = place(i, s, length);
            if (at <= highest[i]) tallies[i].add(at, iOverSigma, half);
        });
        return tallies;
    };

    // First round: each reflection at its own resolution.
    const double edges[3] = {edge, edge, edge};
    std::vector<ShellTally> tallies = tallyCones([](size_t, const double*, double length) { return length; }, edges);
    std::vector<AxisLimit> limits(3);
    for (size_t i = 0; i < 3; ++i) {
        limits[i].shells = tallies[i].shells();
        if (limits[i].shells.empty()) {
            throw TooFewReflections("too few reflections along axis " + std::to_string(i + 1) +
                                    " to measure a limit: " + std::to_string(tallies[i].total()) +
                                    " within 20 degrees, " + std::to_string(kFewestShells * kFewestInShell) +
                                    " needed in shells of " + std::to_string(kFewestInShell));
        }
        for (int j = 0; j < 3; ++j) limits[i].direction[j] = axes.rows[i][j];
        readLimit(limits[i], threshold);
        fitLimits(limits[i], threshold);
    }
    // Second round, for the curves: within a 20-degree cone the reflections
    // off the axis lie nearer the neighbouring limits, and a cone's mean
    // would cross a threshold early along the shortest limit and late along
    // the longest. Each reflection is placed at the resolution along the
    // axis that has its own place on the ellipsoid of the first round's
    // fitted limits: sqrt(E) / L, E = sum of (s . u_j)^2 L_j^2.
    double first[3], reach[3];
    for (size_t i = 0; i < 3; ++i) first[i] = limits[i].bySignal.limit;
    const double longest = std::max({first[0], first[1], first[2]});
    for (size_t i = 0; i < 3; ++i) reach[i] = edge * longest / first[i];
    auto onEllipsoid = [&](size_t i, const double* s, double) {
        double e = 0;
        for (size_t j = 0; j < 3; ++j) {
            const double along = (axes.rows[j][0] * s[0] + axes.rows[j][1] * s[1] + axes.rows[j][2] * s[2]) * first[j];
            e += along * along;
        }
        return std::sqrt(e) / first[i];
    };
    tallies = tallyCones(onEllipsoid, reach);
    for (size_t i = 0; i < 3; ++i) {
        AxisLimit placed = limits[i];
        placed.shells = tallies[i].shells();
        if (!placed.shells.empty()) {
            fitLimits(placed, threshold);
            // Off the axis the places reach past the data's own edge along
            // it: a limit there is that edge, "beyond".
            const double dataEdgeHere = 1.0 / limits[i].shells.back().sHigh;
            for (FittedLimit* fitted : {&placed.bySignal, placed.byCorrelation ? &*placed.byCorrelation : nullptr}) {
                if (fitted != nullptr && (fitted->where == Crossing::beyond || fitted->limit < dataEdgeHere)) {
                    *fitted = {dataEdgeHere, Crossing::beyond};
                }
            }
            limits[i].shells = std::move(placed.shells);
            limits[i].signal = placed.signal;
            limits[i].bySignal = placed.bySignal;
            limits[i].correlation = placed.correlation;
            limits[i].byCorrelation = placed.byCorrelation;
        }
        limits[i].limit = criterion == Criterion::correlation && limits[i].byCorrelation
                              ? limits[i].byCorrelation->limit
                              : limits[i].bySignal.limit;
    }
    return limits;
}

}  // namespace ovofit
