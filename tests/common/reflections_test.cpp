// The reflection layer (common/reflections/): unmerged MTZ observations
// come back at the indices they were measured at, in every kind of group;
// the merge of MTZ and XDS observations equals an independent merge through
// gemmi's asymmetric unit; I(+) and I(-) of a merged file become Friedel
// pairs; and each damaged or contradictory file is refused with a report
// naming it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#define USE_STD_SNPRINTF
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>
#undef GEMMI_WRITE_IMPLEMENTATION

#include "common/failure.hpp"
#include "common/reflections/merge.hpp"
#include "common/reflections/reflection_file.hpp"
#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;
using common::reflections::Observation;

struct Measured {
    int h, k, l;
    float intensity, sigma;
    int batch;
};

struct GroupCase {
    int number;
    double cell[6];
};

// Observations at random indices within 12 of the origin, each with a
// batch; the same reflection often measured more than once.
std::vector<Measured> draw(uint64_t seed, size_t count) {
    testsupport::Random random(seed);
    std::vector<Measured> observations;
    for (size_t i = 0; i < count; ++i) {
        Measured m{static_cast<int>(random(25)) - 12, static_cast<int>(random(25)) - 12,
                   static_cast<int>(random(25)) - 12, static_cast<float>(random(1000)) + 0.5f,
                   1.0f + static_cast<float>(random(30)), 1 + static_cast<int>(random(360))};
        if (m.h == 0 && m.k == 0 && m.l == 0) continue;
        observations.push_back(m);
        if (random(3) == 0) {  // the same reflection again, at its Friedel mate
            observations.push_back({-m.h, -m.k, -m.l, m.intensity * 0.9f, m.sigma, m.batch + 1});
        }
    }
    return observations;
}

// As reduction programs write them: the indices of the unit and M/ISYM
// (gemmi's own mover), BATCH, I, SIGI.
void writeUnmerged(const fs::path& path, const GroupCase& g, const std::vector<Measured>& observations) {
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(g.number);
    mtz.set_cell_for_all(gemmi::UnitCell(g.cell[0], g.cell[1], g.cell[2], g.cell[3], g.cell[4], g.cell[5]));
    mtz.add_dataset("generated");
    mtz.add_column("M/ISYM", 'Y', -1, -1, false);
    mtz.add_column("BATCH", 'B', -1, -1, false);
    mtz.add_column("I", 'J', -1, -1, false);
    mtz.add_column("SIGI", 'Q', -1, -1, false);
    gemmi::UnmergedHklMover mover(mtz.spacegroup);
    std::vector<float> data;
    for (const Measured& m : observations) {
        std::array<int, 3> hkl{m.h, m.k, m.l};
        const int isym = mover.move_to_asu(hkl);
        data.insert(data.end(), {static_cast<float>(hkl[0]), static_cast<float>(hkl[1]), static_cast<float>(hkl[2]),
                                 static_cast<float>(isym), static_cast<float>(m.batch), m.intensity, m.sigma});
    }
    mtz.set_data(data.data(), data.size());
    for (int b = 1; b <= 361; ++b) {
        gemmi::Mtz::Batch batch;
        batch.number = b;
        batch.set_cell(mtz.cell);
        mtz.batches.push_back(batch);
    }
    mtz.write_to_file(path.string());
}

// The independent merge: gemmi's asymmetric unit and a map.
std::map<std::array<int, 4>, std::pair<double, double>> mergeByGemmi(const GroupCase& g,
                                                                     const std::vector<Measured>& observations,
                                                                     bool friedelsLaw) {
    const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_number(g.number);
    const gemmi::GroupOps ops = group->operations();
    const gemmi::ReciprocalAsu asu(group);
    std::map<std::array<int, 4>, std::pair<double, double>> sums;
    for (const Measured& m : observations) {
        const auto [hkl, isym] = asu.to_asu({{m.h, m.k, m.l}}, ops);
        if (ops.is_systematically_absent(hkl)) continue;
        const int minus = !friedelsLaw && isym % 2 == 0 ? 1 : 0;
        auto& s = sums[{hkl[0], hkl[1], hkl[2], minus}];
        const double w = 1.0 / (double{m.sigma} * m.sigma);
        s.first += w;
        s.second += w * m.intensity;
    }
    return sums;
}

const GroupCase kGroups[] = {
    {1, {30, 40, 50, 80, 95, 105}},  {4, {30, 40, 50, 90, 100, 90}},  {5, {60, 40, 50, 90, 110, 90}},
    {19, {30, 40, 50, 90, 90, 90}},  {79, {40, 40, 50, 90, 90, 90}},  {152, {40, 40, 60, 90, 90, 120}},
    {168, {40, 40, 60, 90, 90, 120}}, {155, {40, 40, 60, 90, 90, 120}}, {196, {80, 80, 80, 90, 90, 90}},
};

TEST(ReflectionLayer, UnmergedMtzGivesTheMeasuredIndicesAndMergesAsGemmi) {
    for (const GroupCase& g : kGroups) {
        testsupport::ScratchDir dir;
        const std::vector<Measured> observations = draw(static_cast<uint64_t>(g.number), 3000);
        writeUnmerged(dir / "u.mtz", g, observations);
        common::reflections::ReflectionFile file((dir / "u.mtz").string());
        EXPECT_EQ(file.header().kind, common::reflections::FileKind::mtzUnmerged);
        EXPECT_FALSE(file.header().merged);
        Observation o;
        size_t n = 0, wrong = 0;
        for (bool friedelsLaw : {true, false}) {
            common::reflections::ReflectionFile again((dir / "u.mtz").string());
            common::reflections::Merger merger(*again.header().spaceGroup, friedelsLaw);
            n = 0;
            while (again.next(o)) {
                const Measured& m = observations[n++];
                // Equal as measured: the inverse of gemmi's mover.
                if (o.h != m.h || o.k != m.k || o.l != m.l || o.batch != m.batch || o.intensity != m.intensity) ++wrong;
                merger.add(o);
            }
            EXPECT_EQ(n, observations.size()) << g.number;
            const auto merged = merger.result();
            const auto expected = mergeByGemmi(g, observations, friedelsLaw);
            ASSERT_EQ(merged.size(), expected.size()) << g.number << (friedelsLaw ? " with" : " without");
            size_t off = 0;
            for (const auto& r : merged) {
                const auto found = expected.find({r.h(), r.k(), r.l(), r.mate() ? 1 : 0});
                if (found == expected.end() ||
                    std::fabs(r.intensity - found->second.second / found->second.first) > 1e-3 ||
                    std::fabs(r.sigma - 1 / std::sqrt(found->second.first)) > 1e-6) {
                    ++off;
                }
            }
            EXPECT_EQ(off, 0u) << g.number << (friedelsLaw ? " with" : " without") << " Friedel's law";
        }
        EXPECT_EQ(wrong, 0u) << "space group " << g.number;
    }
}

// A merged file of I(+) and I(-) alone: the layer gives I(-) at minus the
// row's indices, the merge without Friedel's law pairs them again.
TEST(ReflectionLayer, MergedMatesBecomeFriedelPairs) {
    testsupport::ScratchDir dir;
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(19);
    mtz.set_cell_for_all(gemmi::UnitCell(30, 40, 50, 90, 90, 90));
    mtz.add_dataset("generated");
    for (const char* label : {"Iplus", "SIGIplus", "Iminus", "SIGIminus"}) {
        mtz.add_column(label, label[0] == 'I' ? 'K' : 'M', -1, -1, false);
    }
    // (1,2,3) both; (2,0,1) centric, I(+) only; (3,1,1) I(-) only.
    const float rows[3][7] = {{1, 2, 3, 100, 10, 80, 8}, {2, 0, 1, 50, 5, NAN, NAN}, {3, 1, 1, NAN, NAN, 30, 3}};
    mtz.set_data(&rows[0][0], 21);
    mtz.write_to_file((dir / "m.mtz").string());
    for (const bool keepMates : {false, true}) {
        common::reflections::ReflectionOptions options;
        options.keepMates = keepMates;
        common::reflections::ReflectionFile file((dir / "m.mtz").string(), options);
        EXPECT_FALSE(file.header().friedelsLaw);  // no mean in the file: the mates are given
        EXPECT_EQ(file.header().columns, "Iplus SIGIplus Iminus SIGIminus");
        common::reflections::Merger merger(*file.header().spaceGroup, false);
        Observation o;
        std::vector<std::array<int, 3>> given;
        while (file.next(o)) {
            given.push_back({o.h, o.k, o.l});
            merger.add(o);
        }
        EXPECT_EQ(given, (std::vector<std::array<int, 3>>{{1, 2, 3}, {-1, -2, -3}, {2, 0, 1}, {-3, -1, -1}}));
        const auto merged = merger.result();
        std::vector<std::string> pairs;
        common::reflections::forEachFriedelPair(merged, [&](const common::reflections::FriedelPair& p) {
            const auto& r = p.either();
            pairs.push_back(std::to_string(r.h()) + std::to_string(r.k()) + std::to_string(r.l()) +
                            (p.plus ? "+" : "") + (p.minus ? "-" : ""));
        });
        EXPECT_EQ(pairs, (std::vector<std::string>{"123+-", "201+", "311-"}));
    }
}

// A merged file of amplitudes alone gives intensities: F^2, sigma 2 F
// sigma(F), at least sigma(F)^2.
TEST(ReflectionLayer, AmplitudesAreReadAsIntensities) {
    testsupport::ScratchDir dir;
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(19);
    mtz.set_cell_for_all(gemmi::UnitCell(30, 40, 50, 90, 90, 90));
    mtz.add_dataset("generated");
    mtz.add_column("FP", 'F', -1, -1, false);
    mtz.add_column("SIGFP", 'Q', -1, -1, false);
    const float rows[4][5] = {{1, 2, 3, 30, 2}, {1, 2, 4, 0.5f, 3}, {1, 2, 5, NAN, 1}, {1, 2, 6, 10, 1}};
    mtz.set_data(&rows[0][0], 20);
    mtz.write_to_file((dir / "f.mtz").string());
    common::reflections::ReflectionFile file((dir / "f.mtz").string());
    EXPECT_TRUE(file.header().amplitudes);
    EXPECT_EQ(file.header().columns, "FP SIGFP");
    Observation o;
    std::vector<std::array<float, 3>> given;
    while (file.next(o)) given.push_back({static_cast<float>(o.l), o.intensity, o.sigma});
    const std::vector<std::array<float, 3>> expected = {{3, 900, 120}, {4, 0.25f, 9}, {6, 100, 20}};
    EXPECT_EQ(given, expected);
}

// XDS records with their frame (ITEM_ZD=): the batch is floor(ZD) + 1.
TEST(ReflectionLayer, XdsFramesAreBatches) {
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "x.hkl",
                           "!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=TRUE\n!SPACE_GROUP_NUMBER=   19\n"
                           "!UNIT_CELL_CONSTANTS=    30.000    40.000    50.000  90.000  90.000  90.000\n"
                           "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=8\n!ITEM_ZD=8\n!END_OF_HEADER\n"
                           "     1     2     3  1.000E+02  1.000E+01  100.0  200.0    0.4\n"
                           "    -1     2     3  1.000E+02  1.000E+01  100.0  200.0   17.99\n"
                           "     1    -2    -3  1.000E+02  1.000E+01  100.0  200.0  359.0\n!END_OF_DATA\n");
    common::reflections::ReflectionOptions options;
    options.frames = true;
    common::reflections::ReflectionFile file((dir / "x.hkl").string(), options);
    EXPECT_EQ(file.header().kind, common::reflections::FileKind::xdsUnmerged);
    Observation o;
    std::vector<int> batches;
    while (file.next(o)) batches.push_back(o.batch);
    EXPECT_EQ(batches, (std::vector<int>{1, 18, 360}));
}

// Each file is refused with a report that names it and says what is wrong.
TEST(ReflectionLayer, DamagedAndContradictoryFilesAreRefused) {
    const GroupCase orthorhombic{19, {30, 40, 50, 90, 90, 90}};
    const std::vector<Measured> few = draw(3, 50);
    auto unmerged = [&](const fs::path& p) { writeUnmerged(p, orthorhombic, few); };
    // Bytes of a written file changed in place.
    [[maybe_unused]] auto patched = [](const fs::path& p, const std::string& from, const std::string& to) {
        std::string bytes = testsupport::readFile(p);
        const size_t at = bytes.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        bytes.replace(at, from.size(), to);
        testsupport::writeFile(p, bytes);
    };
    // Every 80-byte header record that starts with `key` made `text`.
    // Each header record starting with `key` rewritten after its own first
    // `kept` bytes (a DCELL's data set number).
    auto rewriteRecords = [](const fs::path& p, const std::string& key, const std::string& text, size_t kept = 0) {
        std::string bytes = testsupport::readFile(p);
        int32_t offset = 0;
        std::memcpy(&offset, &bytes[4], 4);
        for (size_t at = 4 * static_cast<size_t>(offset - 1); at + 80 <= bytes.size(); at += 80) {
            if (bytes.compare(at, key.size(), key) == 0) {
                bytes.replace(at + kept, 80 - kept, (text + std::string(80, ' ')).substr(0, 80 - kept));
            }
        }
        testsupport::writeFile(p, bytes);
    };
    auto setFloat = [](const fs::path& p, size_t word, float value) {
        std::string bytes = testsupport::readFile(p);
        std::memcpy(&bytes[4 * word], &value, 4);
        testsupport::writeFile(p, bytes);
    };
    const std::string xdsHeader = "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n!SPACE_GROUP_NUMBER=  168\n";
    const struct {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string report;
    } cases[] = {
        {"a cell of zeros", [&](const fs::path& p) {
             unmerged(p);
             rewriteRecords(p, "CELL ", "CELL      0.0000    0.0000    0.0000    0.0000    0.0000    0.0000");
             rewriteRecords(p, "DCELL", "     0.0000    0.0000    0.0000    0.0000    0.0000    0.0000", 15);
         },
         "the cell (CELL and DCELL records) is missing or zero"},
        {"a cut file", [&](const fs::path& p) {
             unmerged(p);
             const std::string bytes = testsupport::readFile(p);
             testsupport::writeFile(p, bytes.substr(0, bytes.size() / 2));
         },
         "a cut file?"},
        {"a million batches claimed", [&](const fs::path& p) {
             unmerged(p);
             char record[81];
             std::snprintf(record, sizeof record, "NCOL %8d %12zu %8d", 7, few.size(), 1000000);
             rewriteRecords(p, "NCOL ", record);
         },
         "the headers claim 1000000 batches"},
        {"an index that is no whole number", [&](const fs::path& p) {
             unmerged(p);
             setFloat(p, 20 + 7 * 10, 1.5f);  // h of row 11
         },
         "row 11 of"},
        {"a P6 group with an orthorhombic cell", [&](const fs::path& p) {
             writeUnmerged(p, {168, {30, 40, 50, 90, 90, 90}}, few);
         },
         "contradicts space group P 6 (168)"},
        {"batches without M/ISYM", [&](const fs::path& p) {
             unmerged(p);
             patched(p, "M/ISYM", "MISYM_");
         },
         "no M/ISYM"},
        {"an M/ISYM beyond the operators", [&](const fs::path& p) {
             unmerged(p);
             setFloat(p, 20 + 7 * 4 + 3, 77.0f);  // M/ISYM of row 5
         },
         "names no symmetry operator"},
        {"an XDS file whose cell contradicts its group", [&](const fs::path& p) {
             testsupport::writeFile(p, xdsHeader +
                                           "!UNIT_CELL_CONSTANTS=    30.000    40.000    50.000  90.000  90.000  90.000\n"
                                           "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n!END_OF_DATA\n");
         },
         "contradicts space group P 6 (168)"},
        {"an XDS file with a zero cell", [&](const fs::path& p) {
             testsupport::writeFile(p, xdsHeader +
                                           "!UNIT_CELL_CONSTANTS=     0.000     0.000     0.000   0.000   0.000   0.000\n"
                                           "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n!END_OF_DATA\n");
         },
         "does not describe a cell"},
    };
    for (const auto& c : cases) {
        testsupport::ScratchDir dir;
        const fs::path path = dir / "in.file";
        c.make(path);
        try {
            common::reflections::ReflectionFile file(path.string());
            Observation o;
            while (file.next(o)) {
            }
            ADD_FAILURE() << c.name << ": read without a report";
        } catch (const common::RunTimeFailure& failure) {
            EXPECT_NE(failure.message().find(c.report), std::string::npos) << c.name << ": " << failure.message();
            EXPECT_NE(failure.message().find("in.file"), std::string::npos) << c.name << ": " << failure.message();
            EXPECT_EQ(failure.message().find('\n'), std::string::npos) << c.name;
        }
    }
}

}  // namespace
