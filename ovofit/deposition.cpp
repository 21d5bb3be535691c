#include "ovofit/deposition.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/records.hpp"
#include "common/terminal.hpp"

namespace ovofit {

namespace {

// E of a reflection: at most 1 inside the ellipsoid.
struct Ellipsoid {
    double rows[3][3];
    double limits[3];
    double measure(const double s[3]) const {
        double e = 0;
        for (int i = 0; i < 3; ++i) {
            const double along = (rows[i][0] * s[0] + rows[i][1] * s[1] + rows[i][2] * s[2]) * limits[i];
            e += along * along;
        }
        return e;
    }
};

std::string fixed(double value, int decimals) { return common::fixedText(static_cast<float>(value), decimals); }

}  // namespace

Completeness measureCompleteness(const gemmi::SpaceGroup& spaceGroup, const common::UnitCell& cell,
                                 const std::vector<AxisLimit>& limits, const std::vector<MergedReflection>& merged) {
    const Frame frame = makeFrame(cell);
    Ellipsoid ellipsoid;
    double best = limits[0].limit;
    for (size_t i = 0; i < 3; ++i) {
        std::copy(limits[i].direction, limits[i].direction + 3, ellipsoid.rows[i]);
        ellipsoid.limits[i] = limits[i].limit;
        best = std::min(best, limits[i].limit);
    }
    Completeness result;
    result.dHigh = best;
    const double sHigh2 = 1.0 / (best * best);
    // The data's lowest resolution: the smallest s of a reflection.
    double sLow2 = sHigh2;
    for (const MergedReflection& r : merged) {
        double s[3];
        frame.coordinates(r.h(), r.k(), r.l(), s);
        sLow2 = std::min(sLow2, s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    }
    result.dLow = 1.0 / std::sqrt(sLow2);
    const double low3 = std::pow(sLow2, 1.5), high3 = std::pow(sHigh2, 1.5);
    result.shells.resize(kCompletenessShells);
    for (int n = 0; n < kCompletenessShells; ++n) {
        result.shells[static_cast<size_t>(n)].dLow = 1.0 / std::cbrt(low3 + (high3 - low3) * n / kCompletenessShells);
        result.shells[static_cast<size_t>(n)].dHigh = 1.0 / std::cbrt(low3 + (high3 - low3) * (n + 1) / kCompletenessShells);
    }
    auto shellOf = [&](double s2) {
        const double share = high3 > low3 ? (std::pow(s2, 1.5) - low3) / (high3 - low3) : 0.0;
        return static_cast<size_t>(std::clamp(static_cast<int>(share * kCompletenessShells), 0, kCompletenessShells - 1));
    };
    // Observed: each reflection once (I+ and I- of one indices together).
    uint64_t last = ~uint64_t{0};
    for (const MergedReflection& r : merged) {
        if ((r.key >> 1) == last) continue;
        last = r.key >> 1;
        double s[3];
        frame.coordinates(r.h(), r.k(), r.l(), s);
        const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
        const bool inside = ellipsoid.measure(s) <= 1;
        (inside ? result.inside : result.outside) += 1;
        if (s2 <= sHigh2) ++result.observedSphere;
        if (inside && s2 <= sHigh2) ++result.shells[shellOf(s2)].observed;
    }
    // Possible: every reflection of the asymmetric unit in the sphere, not
    // a systematic absence, between the data's lowest resolution and the
    // best limit.
    const gemmi::GroupOps ops = spaceGroup.operations();
    const gemmi::ReciprocalAsu asu(&spaceGroup);
    // An index reaches at most the cell edge over d (the edge times |s|
    // bounds the product of s with its direct axis).
    const int hMax = static_cast<int>(cell.a / best) + 1, kMax = static_cast<int>(cell.b / best) + 1,
              lMax = static_cast<int>(cell.c / best) + 1;
    for (int h = -hMax; h <= hMax; ++h) {
        for (int k = -kMax; k <= kMax; ++k) {
            for (int l = -lMax; l <= lMax; ++l) {
                double s[3];
                frame.coordinates(h, k, l, s);
                const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
                if (s2 > sHigh2 || s2 < sLow2 || !asu.is_in({{h, k, l}}) ||
                    ops.is_systematically_absent({{h, k, l}})) {
                    continue;
                }
                ++result.possibleSphere;
                if (ellipsoid.measure(s) <= 1) {
                    ++result.possibleInside;
                    ++result.shells[shellOf(s2)].possible;
                }
            }
        }
    }
    // The observed in the sphere cannot be more than the possible (the data's
    // own low edge is the enumeration's).
    return result;
}

void showCompleteness(const Completeness& c) {
    common::say("unique reflections inside the ellipsoid: " + std::to_string(c.inside) + ", outside it: " +
                std::to_string(c.outside));
    common::say("completeness inside the ellipsoid " + fixed(c.ellipsoidal(), 1) + " % (" + std::to_string(c.inside) +
                " of " + std::to_string(c.possibleInside) + "), in the sphere to " + fixed(c.dHigh, 3) + " A " +
                fixed(c.spherical(), 1) + " % (" + std::to_string(c.observedSphere) + " of " +
                std::to_string(c.possibleSphere) + ")");
    common::say("  shell   d from     d to  observed  possible  ellipsoidal %");
    int number = 0;
    for (const CompletenessShell& shell : c.shells) {
        common::RecordBuffer record;
        record.integer(++number, 7)
            .fixed(static_cast<float>(shell.dLow), 9, 2)
            .fixed(static_cast<float>(shell.dHigh), 9, 2)
            .integer(shell.observed, 10)
            .integer(shell.possible, 10);
        if (shell.possible > 0) record.fixed(static_cast<float>(100.0 * static_cast<double>(shell.observed) / static_cast<double>(shell.possible)), 15, 1);
        else record.textRight("-", 15);
        common::say(record.view());
    }
}

void writeDeposition(common::OutputFile& file, const std::vector<AxisLimit>& limits, const Completeness& c,
                     Criterion criterion, double threshold) {
    auto item = [&file](const std::string& name, const std::string& value) {
        std::string line = "_reflns." + name;
        line.append(line.size() < 56 ? 56 - line.size() : 1, ' ');
        file.writeRecord(line + value);
    };
    file.writeRecord("# The truncation ellipsoid measured by ovofit, for the deposition of data cut");
    file.writeRecord("# anisotropically. Axes in the frame x along a, y in the a-b plane, z along c*.");
    file.writeRecord("# To merge into a deposition file: copy the _reflns items below into the entry's");
    file.writeRecord("# data block and give _reflns.entry_id the entry's _entry.id (data_ovofit and");
    file.writeRecord("# UNNAMED only make this file readable alone); ovoreport writes them as one block");
    file.writeRecord("# for the ellipsoid applied, without a data_ line.");
    file.writeRecord("data_ovofit");
    item("pdbx_ordinal", "1");
    item("entry_id", "UNNAMED");
    item("pdbx_diffrn_id", "1");
    item("d_resolution_low", fixed(c.dLow, 3));
    item("d_resolution_high", fixed(c.dHigh, 3));
    for (size_t i = 0; i < 3; ++i) {
        item("pdbx_aniso_diffraction_limit_" + std::to_string(i + 1), fixed(limits[i].limit, 3));
    }
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            item("pdbx_aniso_diffraction_limit_axis_" + std::to_string(i + 1) + "_ortho[" + std::to_string(j + 1) + "]",
                 fixed(limits[i].direction[j], 4));
        }
    }
    item("pdbx_orthogonalization_convention", "pdb");
    item("pdbx_signal_type", criterion == Criterion::correlation ? "'local wCC_half'" : "'local <I/sigmaI>'");
    // How the signal was measured, in words (ovofit's way, as its help says).
    const std::string cone = "reflections within " + std::to_string(std::lround(kConeDegrees)) +
                             " deg of each axis in shells along it; ";
    item("pdbx_signal_details",
         criterion == Criterion::correlation
             ? "'CC1/2 of random half-sets, " + cone + "logistic fitted; limit where it falls below the threshold'"
             : "'mean I/sigma(I), " + cone + "exp(p0+p1 x+p2 x^2), x=1/d^2, fitted; limit where it crosses the threshold'");
    item("pdbx_observed_signal_threshold", fixed(threshold, 2));
    item("pdbx_percent_possible_ellipsoidal", fixed(c.ellipsoidal(), 1));
    item("pdbx_percent_possible_spherical", fixed(c.spherical(), 1));
    file.writeRecord("#");
    file.writeRecord("loop_");
    for (const char* name : {"pdbx_ordinal", "pdbx_diffrn_id", "d_res_low", "d_res_high", "pdbx_percent_possible_ellipsoidal"}) {
        file.writeRecord(std::string("_reflns_shell.") + name);
    }
    int number = 0;
    for (const CompletenessShell& shell : c.shells) {
        common::RecordBuffer record;
        record.integer(++number, 3).text(" 1").fixed(static_cast<float>(shell.dLow), 9, 3).fixed(static_cast<float>(shell.dHigh), 9, 3);
        if (shell.possible > 0) {
            record.fixed(static_cast<float>(100.0 * static_cast<double>(shell.observed) / static_cast<double>(shell.possible)), 8, 1);
        } else {
            record.textRight("?", 8);
        }
        file.writeRecord(record.view());
    }
    file.writeRecord("#");
}

}  // namespace ovofit
