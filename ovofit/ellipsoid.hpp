// The truncation ellipsoid measured from merged data: its three axes (the
// frame's own axes, or the principal axes of a fitted anisotropic falloff
// where the lattice leaves them free) and the resolution limit along each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"
#include "common/failure.hpp"
#include "ovofit/curve.hpp"
#include "ovofit/merge.hpp"

namespace ovofit {

// Reciprocal-lattice vectors in the frame of ovoclip's ellipsoid test (x
// along a, y in the a-b plane, z along c*), in double precision.
using Frame = common::OrthonormalFrame<double>;
Frame makeFrame(const common::UnitCell& cell);

// Every distinct position of a reflection's symmetry mates and Friedel
// mates, a position and its opposite counted once (the cones and the
// falloff are the same in both senses).
class Mates {
public:
    explicit Mates(const gemmi::SpaceGroup& spaceGroup);
    // The mates of (h, k, l); the view is valid until the next call.
    const std::vector<gemmi::Op::Miller>& of(int32_t h, int32_t k, int32_t l);

private:
    std::vector<gemmi::Op::Rot> rotations_;
    std::vector<gemmi::Op::Miller> mates_;
};

// Data too few to measure the ellipsoid from: the run ends with no result
// (status 1), not as a failed open or read.
class TooFewReflections : public common::RunTimeFailure {
public:
    using common::RunTimeFailure::RunTimeFailure;
};

struct EllipsoidAxes {
    double rows[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // unit vectors in the frame
    bool fitted = false;
    std::string lattice;      // "orthorhombic", "monoclinic", ...
    std::string description;  // which case applied, for the terminal
};

// The frame's axes for orthorhombic and higher lattices; for monoclinic and
// triclinic ones the principal axes of the tensor B fitted by least squares
// to ln I = c - s^T B s over every mate of the reflections with I above its
// sigma, the monoclinic unique axis b (y of the frame) kept as one of them.
// Too few of those for the fit throws TooFewReflections.
EllipsoidAxes chooseAxes(const gemmi::SpaceGroup& spaceGroup, const common::UnitCell& cell,
                         const std::vector<MergedReflection>& merged);

struct Shell {
    double sLow = 0, sHigh = 0;  // 1/d at its edges
    int count = 0;
    double meanIOverSigma = 0;
    double varianceIOverSigma = 0;  // of the reflections' I/sigma about the mean
    double meanS2 = 0;              // d*^2 of the reflections, the shell's place on the curves
    int pairs = 0;                  // reflections with both half-set means (unmerged data)
    double cc = 0;                  // CC1/2 of those, when there are kFewestPairs
};
inline constexpr int kFewestPairs = 10;

enum class LimitEdge {
    belowThreshold,   // the edge of the last shell before the first one below
    neverBelow,       // the signal never falls below: the data's own edge
    firstShellBelow,  // already the lowest shell is below: its low edge
};

// A limit read off a fitted curve, in Angstrom.
struct FittedLimit {
    double limit = 0;
    Crossing where = Crossing::within;  // beyond: the data's edge along the axis
};

struct AxisLimit {
    double direction[3] = {};
    std::vector<Shell> shells;
    double shellEdge = 0;  // Angstrom: the edge of the last shell above the threshold
    LimitEdge edge = LimitEdge::belowThreshold;
    std::optional<SignalCurve> signal;  // mean I/sigma fitted over the shells
    FittedLimit bySignal;
    std::optional<CorrelationCurve> correlation;  // CC1/2, unmerged data only
    std::optional<FittedLimit> byCorrelation;
    double limit = 0;  // the one the script takes
};

// CC1/2 falls below this at its limit.
inline constexpr double kCorrelationThreshold = 0.30;
enum class Criterion { signal, correlation };

// Within this angle of an axis (either sense) a reflection counts for it.
inline constexpr double kConeDegrees = 20.0;
// Shells hold at least this many reflections, and there are at most
// kMostShells and at least kFewestShells of them.
inline constexpr int kFewestInShell = 20;
inline constexpr int kMostShells = 20;
inline constexpr int kFewestShells = 3;

// The three limits, along the rows of `axes`. Too few reflections along an
// axis to fill kFewestShells shells throws TooFewReflections, saying which
// axis.
// `halves`: the half-set means of each merged reflection (unmerged data),
// or empty. The limit the script takes is the one of `criterion`.
std::vector<AxisLimit> measureLimits(const gemmi::SpaceGroup& spaceGroup, const common::UnitCell& cell,
                                     const EllipsoidAxes& axes, const std::vector<MergedReflection>& merged,
                                     const std::vector<HalfMeans>& halves, double threshold,
                                     Criterion criterion = Criterion::signal);

// Shells of equal reciprocal volume between two resolutions (1/d), tallied
// one reflection at a time for every number of shells from kFewestShells to
// kMostShells at once, so that nothing is held per reflection; shells() the
// most of them that each hold kFewestInShell, none when even kFewestShells
// do not. Exposed for the tests.
class ShellTally {
public:
    ShellTally(double sLow, double sHigh);
    void add(double s, double iOverSigma, const HalfMeans* halves = nullptr);
    std::vector<Shell> shells() const;
    int64_t total() const { return total_; }

private:
    double low3_, high3_;
    int64_t total_ = 0;
    // The shells of 3, then of 4, ... then of kMostShells.
    struct Sums {
        int64_t count = 0;
        double iOverSigma = 0, iOverSigma2 = 0, s2 = 0;
        int64_t pairs = 0;
        double first = 0, second = 0, first2 = 0, second2 = 0, product = 0;
    };
    std::vector<Sums> sums_;
};

// The shells end where the data do: at the resolution (1/d) that holds all
// but one in kStrayShare of the reflections, so that a few strays far
// beyond the data neither stretch the shells nor empty the outer ones.
inline constexpr size_t kStrayShare = 200;
double dataEdge(const Frame& frame, const std::vector<MergedReflection>& merged);

// The shell-edge limit (shellEdge, edge) and the fitted ones.
void readLimit(AxisLimit& axis, double threshold);
void fitLimits(AxisLimit& axis, double threshold);

}  // namespace ovofit
