// ovoscale against generated truth: the tensor of a known anisotropy comes
// back from its log (read with the eigenB reader honer uses), French and
// Wilson's amplitudes average to the true ones, and the posterior equals
// an independent integration (tests/model/french_wilson_model.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <gemmi/mtz.hpp>

#include "common/input_file.hpp"
#include "common/layout/eigen_b.hpp"
#include "french_wilson_model.hpp"
#include "ovoscale/posterior.hpp"
#include "scaling_data.hpp"
#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;
using scaling_data::Model;
using scaling_data::Tensor;

constexpr double kDegree = M_PI / 180;

struct ScaleRun {
    testsupport::ScratchDir dir;
    testsupport::RunResult result;
};

void runOn(ScaleRun& run, const std::string& xds) {
    testsupport::writeFile(run.dir / "d.hkl", xds);
    run.result = testsupport::run(testsupport::program("ovoscale"), "d.hkl\nout.mtz\nout.log\n", run.dir.path());
}

// u1 u1^T v1 + u2 u2^T v2 + u3 u3^T v3.
Tensor tensorOf(const double values[3], const std::array<std::array<double, 3>, 3>& axes) {
    Tensor t{};
    for (size_t n = 0; n < 3; ++n)
        for (size_t i = 0; i < 3; ++i)
            for (size_t j = 0; j < 3; ++j) t[i][j] += values[n] * axes[n][i] * axes[n][j];
    return t;
}

struct AnisotropyCase {
    std::string name;
    Model model;
    double values[3];                            // the truth, largest first
    std::array<std::array<double, 3>, 3> axes;   // unit vectors, in that order
};

// Along a*, b*, c* of an orthorhombic cell: x, y, z of the frame.
AnisotropyCase orthorhombic() {
    AnisotropyCase c{"orthorhombic +20 0 -20 along a* b* c*", {}, {20, 0, -20}, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}};
    c.model.bAniso = tensorOf(c.values, c.axes);
    return c;
}

// P2, beta 105: the +20 axis 30 degrees from a* towards c* in the a*-c*
// plane (normal to b, the frame's y), -20 normal to it in that plane.
AnisotropyCase monoclinic() {
    AnisotropyCase c{"monoclinic, axes 30 degrees from a*, range 40", {}, {20, 0, -20}, {}};
    c.model.spaceGroup = 3;
    c.model.cell[4] = 105;
    const gemmi::UnitCell cell(50, 60, 70, 90, 105, 90);
    std::array<double, 3> aStar = scaling_data::reciprocalVector(cell, 1, 0, 0);
    const double norm = std::hypot(aStar[0], aStar[1], aStar[2]);
    for (double& x : aStar) x /= norm;
    // Rotate a* by 30 degrees about y, towards +z (c*).
    const double ca = std::cos(30 * kDegree), sa = std::sin(30 * kDegree);
    const std::array<double, 3> u1 = {aStar[0] * ca - aStar[2] * sa, 0, aStar[0] * sa + aStar[2] * ca};
    // Normal to u1 within the a*-c* plane.
    const std::array<double, 3> u3 = {-u1[2], 0, u1[0]};
    c.axes = {{u1, {0, 1, 0}, u3}};
    c.model.bAniso = tensorOf(c.values, c.axes);
    return c;
}

AnisotropyCase tetragonal() {
    AnisotropyCase c{"tetragonal +10 +10 -20, two terms", {}, {10, 10, -20}, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}};
    c.model.spaceGroup = 75;  // P4
    c.model.cell[1] = 50;
    c.model.bAniso = tensorOf(c.values, c.axes);
    return c;
}

AnisotropyCase isotropic() { return {"isotropic control", {}, {0, 0, 0}, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}}; }

struct Recovered {
    common::eigen_b::Table table;
    double bIso = 0;
    double meanSignal = 0, lastShellSignal = 0;
};

Recovered scale(const Model& model, const std::string& what) {
    const std::vector<scaling_data::Truth> rows = scaling_data::draw(model);
    Recovered r;
    // The signal of the data: mean I/sigma overall and in the last tenth of
    // the reflections by resolution.
    double all = 0, last = 0;
    size_t lastCount = 0;
    double s2Cut = 0;
    {
        std::vector<double> s2;
        for (const auto& t : rows) s2.push_back(t.s2);
        std::nth_element(s2.begin(), s2.begin() + static_cast<long>(s2.size() * 9 / 10), s2.end());
        s2Cut = s2[s2.size() * 9 / 10];
    }
    for (const auto& t : rows) {
        all += t.intensity / t.sigma;
        if (t.s2 >= s2Cut) last += t.intensity / t.sigma, ++lastCount;
    }
    r.meanSignal = all / static_cast<double>(rows.size());
    r.lastShellSignal = last / static_cast<double>(lastCount);
    ScaleRun run;
    runOn(run, scaling_data::xds(model, rows));
    EXPECT_EQ(run.result.status, 0) << what << run.result.err;
    if (run.result.status != 0) return r;
    common::InputFile log((run.dir / "out.log").string());
    EXPECT_TRUE(common::eigen_b::findHeading(log)) << what;
    r.table = common::eigen_b::readTable(log);
    const std::string text = testsupport::readFile(run.dir / "out.log");
    const size_t at = text.find("Isotropic B (trace/3):");
    EXPECT_NE(at, std::string::npos);
    r.bIso = std::stod(text.substr(at + 22, 10));
    return r;
}

double angleBetween(const std::array<double, 3>& u, const std::array<float, 3>& v) {
    const double d = std::fabs(u[0] * v[0] + u[1] * v[1] + u[2] * v[2]) / std::hypot(v[0], v[1], v[2]);
    return std::acos(std::min(1.0, d)) / kDegree;
}

TEST(Ovoscale, KnownTensorsComeBack) {
    const struct {
        bool noiseFree;
        double meanSignal;
        double valueTolerance;  // A^2, each component (noise-free) or of the range (relative)
        double axisTolerance;   // degrees
    } levels[] = {{true, 0, 0.5, 0.5}, {false, 5, 0.10, 2.0}};
    for (const AnisotropyCase& base : {orthorhombic(), monoclinic(), tetragonal(), isotropic()}) {
        for (const auto& level : levels) {
            AnisotropyCase c = base;
            c.model.noiseFree = level.noiseFree;
            c.model.meanSignal = level.meanSignal;
            const std::string what = c.name + (level.noiseFree ? ", noise-free" : ", mean I/sigma 5");
            const Recovered r = scale(c.model, what);
            if (!level.noiseFree) {
                EXPECT_NEAR(r.meanSignal, 5, 0.5) << what;
                EXPECT_LT(r.lastShellSignal, 2) << what;
            }
            const double range = r.table[0].value - r.table[2].value;
            const double trueRange = c.values[0] - c.values[2];
            std::printf("[ ovoscale ] %s: %.3f %.3f %.3f (range %.3f, Biso %.3f; truth %.0f %.0f %.0f, Biso %.0f), "
                        "I/sigma %.2f, last %.2f\n",
                        what.c_str(), r.table[0].value, r.table[1].value, r.table[2].value, range, r.bIso,
                        c.values[0], c.values[1], c.values[2], c.model.bIso, r.meanSignal, r.lastShellSignal);
            if (level.noiseFree) {
                for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(r.table[i].value, c.values[i], 0.5) << what << i;
                EXPECT_NEAR(r.bIso, c.model.bIso, 0.5) << what;
            } else if (trueRange > 0) {
                EXPECT_NEAR(range, trueRange, level.valueTolerance * trueRange) << what;
            } else {
                EXPECT_LT(range, 3) << what;
            }
            // Axes of components set apart from the others by 5 A^2 or more.
            for (size_t i = 0; i < 3; ++i) {
                bool distinct = true;
                for (size_t j = 0; j < 3; ++j)
                    if (j != i && std::fabs(c.values[i] - c.values[j]) < 5) distinct = false;
                if (!distinct) continue;
                const double angle = angleBetween(c.axes[i], r.table[i].cosines);
                std::printf("[ ovoscale ]   axis %zu off by %.3f degrees\n", i + 1, angle);
                EXPECT_LT(angle, level.axisTolerance) << what << " axis " << i;
            }
        }
    }
}

// Not a requirement: what the fit gives on weaker data.
TEST(Ovoscale, WeakDataReported) {
    for (const AnisotropyCase& base : {orthorhombic(), monoclinic()}) {
        AnisotropyCase c = base;
        c.model.meanSignal = 1.7;
        const Recovered r = scale(c.model, c.name + ", mean I/sigma 1.7");
        std::printf("[ ovoscale ] %s, mean I/sigma %.2f (last %.2f): %.3f %.3f %.3f, range %.3f of %.0f\n",
                    c.name.c_str(), r.meanSignal, r.lastShellSignal, r.table[0].value, r.table[1].value,
                    r.table[2].value, r.table[0].value - r.table[2].value, c.values[0] - c.values[2]);
    }
}

// FP_ISO = FP exp(+s^T Baniso s / 4) with Baniso as the log gives it; the
// columns and the history.
TEST(Ovoscale, MtzHoldsTheAmplitudesAndTheirCorrection) {
    AnisotropyCase c = monoclinic();
    const auto rows = scaling_data::draw(c.model);
    ScaleRun run;
    runOn(run, scaling_data::xds(c.model, rows));
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    gemmi::Mtz mtz = gemmi::read_mtz_file((run.dir / "out.mtz").string());
    std::string labels;
    for (const auto& column : mtz.columns) labels += column.label + std::string(1, column.type) + " ";
    EXPECT_EQ(labels, "HH KH LH FPF SIGFPQ FP_ISOF SIGFP_ISOQ ");
    EXPECT_EQ(mtz.nreflections, static_cast<int>(rows.size()));
    EXPECT_EQ(mtz.spacegroup->number, 3);
    EXPECT_NEAR(mtz.cell.beta, 105, 1e-3);
    ASSERT_FALSE(mtz.history.empty());
    EXPECT_NE(mtz.history[0].find("ovoscale"), std::string::npos);

    common::InputFile log((run.dir / "out.log").string());
    ASSERT_TRUE(common::eigen_b::findHeading(log));
    const common::eigen_b::Table table = common::eigen_b::readTable(log);
    double values[3];
    std::array<std::array<double, 3>, 3> axes;
    for (size_t i = 0; i < 3; ++i) {
        values[i] = table[i].value;
        for (size_t j = 0; j < 3; ++j) axes[i][j] = table[i].cosines[j];
    }
    const Tensor aniso = tensorOf(values, axes);
    for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); r += 97) {
        const float* row = &mtz.data[r * mtz.columns.size()];
        const auto s = scaling_data::reciprocalVector(mtz.cell, static_cast<int>(row[0]), static_cast<int>(row[1]),
                                                      static_cast<int>(row[2]));
        const double factor = std::exp(scaling_data::quadraticForm(aniso, s) / 4);
        EXPECT_NEAR(row[5] / row[3], factor, 2e-3 * factor) << r;  // the table's rounding
        EXPECT_NEAR(row[6] / row[4], factor, 2e-3 * factor) << r;
        EXPECT_GT(row[3], 0);
        EXPECT_GT(row[4], 0);
    }
}

// The mean posterior F of a shell is the mean true F: P1 data are all
// acentric, P-1 data all centric; mean I/sigma 5, about 1 in the last
// shell.
TEST(FrenchWilson, MeanAmplitudeOfEachShellIsTheTrueOne) {
    for (const int group : {1, 2}) {
        Model m;
        m.spaceGroup = group;
        m.cell[3] = 80, m.cell[4] = 95, m.cell[5] = 100;
        m.dHigh = 2.2;
        m.bIso = 20;
        m.meanSignal = 5;
        const auto rows = scaling_data::draw(m);
        ScaleRun run;
        runOn(run, scaling_data::xds(m, rows));
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        gemmi::Mtz mtz = gemmi::read_mtz_file((run.dir / "out.mtz").string());
        std::map<std::array<int, 3>, double> posterior;
        for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); ++r) {
            const float* row = &mtz.data[r * mtz.columns.size()];
            posterior[{static_cast<int>(row[0]), static_cast<int>(row[1]), static_cast<int>(row[2])}] = row[3];
        }
        // Ten shells of equal count by resolution.
        std::vector<std::pair<double, std::pair<double, double>>> bySize;
        for (const auto& t : rows) {
            const auto found = posterior.find({t.h, t.k, t.l});
            if (found == posterior.end() || std::isnan(found->second)) continue;  // rejected: no amplitude
            bySize.push_back({t.s2, {t.trueF, found->second}});
        }
        ASSERT_GT(bySize.size(), rows.size() * 99 / 100) << group;
        std::sort(bySize.begin(), bySize.end());
        const size_t shells = 10;
        double worst = 0;
        for (size_t s = 0; s < shells; ++s) {
            double trueSum = 0, posteriorSum = 0;
            const size_t from = bySize.size() * s / shells, to = bySize.size() * (s + 1) / shells;
            for (size_t i = from; i < to; ++i) trueSum += bySize[i].second.first, posteriorSum += bySize[i].second.second;
            EXPECT_NEAR(posteriorSum / trueSum, 1, 0.02) << "space group " << group << " shell " << s;
            worst = std::max(worst, std::fabs(posteriorSum / trueSum - 1));
        }
        std::printf("[ ovoscale ] %s: mean posterior F of 10 shells within %.2f%% of the true\n",
                    group == 1 ? "acentric" : "centric", 100 * worst);
    }
}

// The posterior mean and sd against the independent model, over I/sigma
// from -4 to 50 and priors from a tenth of sigma to a thousand sigmas.
TEST(FrenchWilson, PosteriorEqualsAnIndependentIntegration) {
    const french_wilson_model::Pipe pipe = french_wilson_model::lines("--grid");
    ASSERT_TRUE(pipe);
    const ovoscale::PosteriorTable table;
    char line[512];
    int compared = 0;
    double worst = 0;
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream in(line);
        std::string prior;
        double intensity, sigma, mean, f, sd;
        if (!(in >> prior >> intensity >> sigma >> mean >> f >> sd)) continue;
        const ovoscale::Amplitude a = ovoscale::frenchWilson(
            table, prior == "centric" ? ovoscale::Prior::centric : ovoscale::Prior::acentric, intensity, sigma, mean);
        EXPECT_NEAR(a.f, f, 1e-4 * f) << line;
        EXPECT_NEAR(a.sigma, sd, 1e-4 * sd) << line;
        worst = std::max({worst, std::fabs(a.f / f - 1), std::fabs(a.sigma / sd - 1)});
        ++compared;
    }
    EXPECT_GT(compared, 500);
    std::printf("[ ovoscale ] %d posteriors, largest relative difference %.2e\n", compared, worst);
}

}  // namespace
