// Anomalous data through ovoscale: one generated set of unmerged
// observations with a known anisotropy and a known anomalous difference,
// written twice, with FRIEDEL'S_LAW=TRUE and FALSE. Both runs fit the same
// tensor; the FALSE one's MTZ, read back with gemmi, holds one row a
// reflection of the asymmetric unit in a true sort order, F(+) and F(-)
// where they were measured, a mean equal to the TRUE run's FP, and DANO
// that follows the generated difference.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>

#define USE_STD_SNPRINTF
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>
#undef GEMMI_WRITE_IMPLEMENTATION

#include "scaling_data.hpp"
#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;

struct Generated {
    std::string records;  // the observations, one record each
    struct Observation {
        int h, k, l;
        float intensity, sigma;
    };
    std::vector<Observation> observations;  // the same, as written
    struct Truth {
        bool plus = false, minus = false, centric = false;
        double difference = 0;  // true F+ - F-
    };
    std::map<std::array<int, 3>, Truth> truth;
};

// Each unique reflection measured two to four times at symmetry
// equivalents, on one side of the Friedel pair, the other or both; I+ and
// I- differ by 2 d J with d drawn from [-0.15, 0.15] (acentric reflections
// only). Each observation's error has a floor and a part proportional to
// the intensity; its sigma is estimated from the observed intensity.
Generated generate(const scaling_data::Model& model) {
    const std::vector<scaling_data::Truth> rows = scaling_data::draw(model);
    const gemmi::GroupOps ops = gemmi::find_spacegroup_by_number(model.spaceGroup)->operations();
    std::mt19937_64 random(model.seed + 1);
    std::normal_distribution<double> normal(0, 1);
    std::uniform_real_distribution<double> uniform(0, 1);
    double floor = 0;
    for (const auto& r : rows) floor += r.intensity;
    floor /= static_cast<double>(rows.size()) * 4;  // the mean intensity over 4
    Generated g;
    char line[100];
    for (const auto& r : rows) {
        Generated::Truth& t = g.truth[{r.h, r.k, r.l}];
        t.centric = r.centric;
        const double j = std::max(r.trueF * r.trueF, 0.0);
        const double d = r.centric ? 0 : 0.3 * (uniform(random) - 0.5);
        const double side = uniform(random);
        const bool plus = r.centric || side < 0.85, minus = !r.centric && side > 0.15;
        t.plus = plus;
        t.minus = minus;
        t.difference = std::sqrt(j * (1 + d)) - std::sqrt(j * (1 - d));
        for (const int sign : {1, -1}) {
            if ((sign == 1 && !plus) || (sign == -1 && !minus)) continue;
            const double mean = j * (1 + sign * d);
            const int count = 1 + static_cast<int>(uniform(random) * 2);
            for (int n = 0; n < count; ++n) {
                const gemmi::Op& op = ops.sym_ops[static_cast<size_t>(uniform(random) * static_cast<double>(ops.sym_ops.size()))];
                // A centric reflection's mate is one of its equivalents: measured at either.
                const int turn = r.centric && uniform(random) < 0.5 ? -1 : sign;
                const gemmi::Op::Miller hkl = op.apply_to_hkl({{turn * r.h, turn * r.k, turn * r.l}});
                const double error = std::sqrt(floor * floor + 0.0025 * mean * mean);
                const double observed = mean + error * normal(random);
                const double sigma = std::sqrt(floor * floor + 0.0025 * observed * observed);
                std::snprintf(line, sizeof line, "%6d%6d%6d%11.3E%11.3E\n", hkl[0], hkl[1], hkl[2], observed, sigma);
                g.records += line;
                float i = 0, s = 0;
                std::sscanf(line + 18, "%11e%11e", &i, &s);  // as the record holds them
                g.observations.push_back({hkl[0], hkl[1], hkl[2], i, s});
            }
        }
    }
    return g;
}

std::string xdsFile(const scaling_data::Model& m, const std::string& records, bool friedelsLaw) {
    char line[200];
    std::string text = std::string("!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=") +
                       (friedelsLaw ? "TRUE" : "FALSE") + "\n";
    std::snprintf(line, sizeof line, "!SPACE_GROUP_NUMBER=%5d\n", m.spaceGroup);
    text += line;
    std::snprintf(line, sizeof line, "!UNIT_CELL_CONSTANTS=%10.3f%10.3f%10.3f%8.3f%8.3f%8.3f\n", m.cell[0], m.cell[1],
                  m.cell[2], m.cell[3], m.cell[4], m.cell[5]);
    text += line;
    return text + "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n" + records + "!END_OF_DATA\n";
}

// Isotropic B and the three principal components of the anisotropic part,
// from the terminal.
std::array<double, 4> tensorFrom(const std::string& out) {
    std::array<double, 4> b{NAN, NAN, NAN, NAN};
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        if (line.find(" isotropic B ") == 0) words >> word >> word >> b[0];
        if (line.find(" anisotropic B principal components") == 0) words >> word >> word >> word >> word >> b[1] >> b[2] >> b[3];
    }
    return b;
}

float value(const gemmi::Mtz& mtz, const float* row, const char* label) {
    return row[mtz.column_with_label(label)->idx];
}

TEST(OvoscaleAnomalous, FriedelsLawTrueAndFalseGiveOneTensorAndPairsInTheUnit) {
    for (const int group : {19, 96}) {  // P 21 21 21; P 43 21 2 (its centric zones)
        scaling_data::Model model;
        model.spaceGroup = group;
        if (group == 96) model.cell[1] = model.cell[0];
        model.dHigh = 2.3;
        model.bAniso = {{{8, 0, 0}, {0, 0, 0}, {0, 0, -8}}};
        if (group == 96) model.bAniso = {{{-4, 0, 0}, {0, -4, 0}, {0, 0, 8}}};
        model.meanSignal = 6;
        const Generated g = generate(model);
        testsupport::ScratchDir dir;
        testsupport::RunResult results[2];
        for (const bool law : {true, false}) {
            const std::string name = law ? "true" : "false";
            testsupport::writeFile(dir / (name + ".hkl"), xdsFile(model, g.records, law));
            results[law ? 0 : 1] = testsupport::run(testsupport::program("ovoscale"),
                                                    name + ".hkl\n" + name + ".mtz\n" + name + ".log\n", dir.path());
            ASSERT_EQ(results[law ? 0 : 1].status, 0) << results[law ? 0 : 1].err;
        }
        const auto withLaw = tensorFrom(results[0].out), without = tensorFrom(results[1].out);
        std::printf("[ ovoscale ] group %d, Friedel's law true: Biso %.3f, %.3f %.3f %.3f; false: Biso %.3f, %.3f %.3f %.3f\n",
                    group, withLaw[0], withLaw[1], withLaw[2], withLaw[3], without[0], without[1], without[2], without[3]);
        for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(without[i], withLaw[i], 0.3) << group << " term " << i;

        const gemmi::Mtz t = gemmi::read_mtz_file((dir / "true.mtz").string());
        const gemmi::Mtz f = gemmi::read_mtz_file((dir / "false.mtz").string());
        std::string labels;
        for (const auto& column : f.columns) labels += column.label + std::string(1, column.type) + " ";
        EXPECT_EQ(labels, "HH KH LH FPF SIGFPQ FP_ISOF SIGFP_ISOQ F(+)G SIGF(+)L F(-)G SIGF(-)L DANOD SIGDANOQ "
                          "F(+)_ISOG SIGF(+)_ISOL F(-)_ISOG SIGF(-)_ISOL DANO_ISOD SIGDANO_ISOQ ")
            << group;
        EXPECT_EQ(f.sort_order[0], 1);
        EXPECT_EQ(f.sort_order[1], 2);
        EXPECT_EQ(f.sort_order[2], 3);
        EXPECT_EQ(f.nreflections, t.nreflections) << group;

        std::map<std::array<int, 3>, std::pair<float, float>> meanWithLaw;
        for (int r = 0; r < t.nreflections; ++r) {
            const float* row = &t.data[static_cast<size_t>(r) * t.columns.size()];
            meanWithLaw[{static_cast<int>(row[0]), static_cast<int>(row[1]), static_cast<int>(row[2])}] = {
                value(t, row, "FP"), value(t, row, "SIGFP")};
        }
        const gemmi::ReciprocalAsu asu(f.spacegroup);
        std::array<int, 3> previous{-1 << 20, 0, 0};
        int outside = 0, unordered = 0, meanOff = 0, sideWrong = 0, centricDano = 0;
        double sxy = 0, sxx = 0, syy = 0;
        for (int r = 0; r < f.nreflections; ++r) {
            const float* row = &f.data[static_cast<size_t>(r) * f.columns.size()];
            const std::array<int, 3> hkl{static_cast<int>(row[0]), static_cast<int>(row[1]), static_cast<int>(row[2])};
            if (!asu.is_in({{hkl[0], hkl[1], hkl[2]}})) ++outside;
            if (!(previous < hkl)) ++unordered;
            previous = hkl;
            const auto found = meanWithLaw.find(hkl);
            if (found == meanWithLaw.end() ||
                !(std::fabs(value(f, row, "FP") - found->second.first) <= found->second.second)) {
                ++meanOff;
            }
            const Generated::Truth& truth = g.truth.at(hkl);
            const bool hasPlus = !std::isnan(value(f, row, "F(+)")), hasMinus = !std::isnan(value(f, row, "F(-)"));
            if (hasPlus != truth.plus && !truth.centric) ++sideWrong;
            if (hasMinus != truth.minus && !truth.centric) ++sideWrong;
            if (truth.centric) {
                if (!std::isnan(value(f, row, "DANO")) || !hasPlus || !hasMinus) ++centricDano;
            } else if (hasPlus && hasMinus) {
                const double dano = value(f, row, "DANO");
                sxy += dano * truth.difference, sxx += dano * dano, syy += truth.difference * truth.difference;
                const double factor = value(f, row, "FP_ISO") / value(f, row, "FP");
                EXPECT_NEAR(value(f, row, "DANO_ISO"), dano * factor, 1e-3 * std::fabs(dano * factor) + 1e-3);
            }
        }
        const double correlation = sxy / std::sqrt(sxx * syy);
        std::printf("[ ovoscale ]   %d rows: DANO against the true difference, correlation %.3f\n", f.nreflections,
                    correlation);
        EXPECT_EQ(outside, 0) << group;
        EXPECT_EQ(unordered, 0) << group;
        EXPECT_EQ(meanOff, 0) << group;
        EXPECT_LE(sideWrong, 2) << group;  // a mate rejected (I below -4 sigma) at most
        EXPECT_EQ(centricDano, 0) << group;
        EXPECT_GT(correlation, 0.3) << group;
    }
}

// The same observations as an unmerged MTZ file (the unit's indices, M/ISYM
// from gemmi's mover, a batch each) merge to the same reflections as the
// XDS file: the same tensor and the same amplitudes, row for row.
TEST(OvoscaleUnmergedMtz, MergesAsTheXdsFileOfTheSameObservations) {
    scaling_data::Model model;
    model.spaceGroup = 19;
    model.dHigh = 2.3;
    model.bAniso = {{{8, 0, 0}, {0, 0, 0}, {0, 0, -8}}};
    const Generated g = generate(model);
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "x.hkl", xdsFile(model, g.records, true));
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(model.spaceGroup);
    mtz.set_cell_for_all(gemmi::UnitCell(model.cell[0], model.cell[1], model.cell[2], 90, 90, 90));
    mtz.add_dataset("generated");
    mtz.add_column("M/ISYM", 'Y', -1, -1, false);
    mtz.add_column("BATCH", 'B', -1, -1, false);
    mtz.add_column("I", 'J', -1, -1, false);
    mtz.add_column("SIGI", 'Q', -1, -1, false);
    gemmi::UnmergedHklMover mover(mtz.spacegroup);
    std::vector<float> data;
    for (size_t n = 0; n < g.observations.size(); ++n) {
        const auto& o = g.observations[n];
        std::array<int, 3> hkl{o.h, o.k, o.l};
        const int isym = mover.move_to_asu(hkl);
        data.insert(data.end(), {float(hkl[0]), float(hkl[1]), float(hkl[2]), float(isym), float(1 + n % 50),
                                 o.intensity, o.sigma});
    }
    mtz.set_data(data.data(), data.size());
    for (int b = 1; b <= 50; ++b) {
        gemmi::Mtz::Batch batch;
        batch.number = b;
        batch.set_cell(mtz.cell);
        mtz.batches.push_back(batch);
    }
    mtz.write_to_file((dir / "u.mtz").string());
    const auto fromXds = testsupport::run(testsupport::program("ovoscale"), "x.hkl\nx.mtz\nx.log\n", dir.path());
    const auto fromMtz = testsupport::run(testsupport::program("ovoscale"), "u.mtz\n\nu.mtz.out\nu.log\n", dir.path());
    ASSERT_EQ(fromXds.status, 0) << fromXds.err;
    ASSERT_EQ(fromMtz.status, 0) << fromMtz.err;
    EXPECT_EQ(tensorFrom(fromXds.out), tensorFrom(fromMtz.out));
    const gemmi::Mtz x = gemmi::read_mtz_file((dir / "x.mtz").string());
    const gemmi::Mtz u = gemmi::read_mtz_file((dir / "u.mtz.out").string());
    ASSERT_EQ(x.columns.size(), u.columns.size());
    ASSERT_EQ(x.data.size(), u.data.size());
    size_t differing = 0;
    for (size_t i = 0; i < x.data.size(); ++i) {
        if (!(x.data[i] == u.data[i] || (std::isnan(x.data[i]) && std::isnan(u.data[i])))) ++differing;
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(x.nreflections, 1000);
}

}  // namespace
