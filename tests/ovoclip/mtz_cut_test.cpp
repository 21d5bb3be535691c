// ovoclip's cut of MTZ files against the independent model of ovoclip
// (tests/model/ovoclip_model.py) run on the same rows written as an XDS
// file: the same rows kept, in the same order, every column and batch
// carried, and the same planeview script; for unmerged data every
// observation of a kept reflection kept with its M/ISYM and BATCH.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#define USE_STD_SNPRINTF
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>
#undef GEMMI_WRITE_IMPLEMENTATION

#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;

std::string script(const std::string& input, const std::string& output) {
    return input + "\n" + output +
           "\n   50.00   60.00   70.00   90.00   90.00   90.00\n"
           "      0.9000      0.4359      0.0000     -0.4359      0.9000      0.0000      0.0000      0.0000      1.0000\n"
           "      2.5000      2.0000      1.8000\n";
}

// Rows of P 21 21 21 to 1.6 A: merged, one a reflection of the unit with a
// free flag; or unmerged, one to three observations a reflection with its
// M/ISYM (from gemmi's mover on a random equivalent) and batch. Values are
// whole numbers of at most four digits, which an XDS record holds exactly.
gemmi::Mtz makeMtz(bool unmerged) {
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(19);
    mtz.set_cell_for_all(gemmi::UnitCell(50, 60, 70, 90, 90, 90));
    mtz.add_dataset("generated");
    if (unmerged) {
        mtz.add_column("M/ISYM", 'Y', -1, -1, false);
        mtz.add_column("BATCH", 'B', -1, -1, false);
        mtz.add_column("I", 'J', -1, -1, false);
        mtz.add_column("SIGI", 'Q', -1, -1, false);
    } else {
        mtz.add_column("FreeR_flag", 'I', -1, -1, false);
        mtz.add_column("IMEAN", 'J', -1, -1, false);
        mtz.add_column("SIGIMEAN", 'Q', -1, -1, false);
    }
    const gemmi::GroupOps ops = mtz.spacegroup->operations();
    gemmi::UnmergedHklMover mover(mtz.spacegroup);
    testsupport::Random random(33);
    std::vector<float> data;
    for (int h = 0; h <= 31; ++h) {
        for (int k = 0; k <= 37; ++k) {
            for (int l = 0; l <= 43; ++l) {
                const gemmi::UnitCell& cell = mtz.cell;
                if ((h == 0 && k == 0 && l == 0) || cell.calculate_1_d2({{h, k, l}}) > 1 / (1.6 * 1.6)) continue;
                if (ops.is_systematically_absent({{h, k, l}}) || random(3) != 0) continue;
                const float i = static_cast<float>(1 + random(9999)), sigma = static_cast<float>(1 + random(99));
                if (!unmerged) {
                    data.insert(data.end(), {float(h), float(k), float(l), float(random(20)), i, sigma});
                    continue;
                }
                const size_t count = 1 + random(3);
                for (size_t n = 0; n < count; ++n) {
                    const gemmi::Op& op = ops.sym_ops[random(ops.sym_ops.size())];
                    const int sign = random(2) == 0 ? 1 : -1;
                    std::array<int, 3> hkl = op.apply_to_hkl({{sign * h, sign * k, sign * l}});
                    const int isym = mover.move_to_asu(hkl);
                    data.insert(data.end(), {float(hkl[0]), float(hkl[1]), float(hkl[2]), float(isym),
                                             float(1 + random(90)), i, sigma});
                }
            }
        }
    }
    mtz.set_data(data.data(), data.size());
    if (unmerged) {
        for (int b = 1; b <= 90; ++b) {
            gemmi::Mtz::Batch batch;
            batch.number = b;
            batch.set_cell(mtz.cell);
            mtz.batches.push_back(batch);
        }
    }
    return mtz;
}

// The rows as the records of a merged XDS file (the model reads indices and
// the two values).
std::string asXds(const gemmi::Mtz& mtz, size_t valueColumn) {
    std::string text =
        "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n"
        "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n!END_OF_HEADER\n";
    char line[100];
    for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); ++r) {
        const float* row = &mtz.data[r * mtz.columns.size()];
        std::snprintf(line, sizeof line, "%6d%6d%6d%11.3E%11.3E\n", int(row[0]), int(row[1]), int(row[2]),
                      double(row[valueColumn]), double(row[valueColumn + 1]));
        text += line;
    }
    return text + "!END_OF_DATA\n";
}

TEST(OvoclipMtz, CutEqualsTheModelOfTheSameRowsAsAnXdsFile) {
    for (const bool unmerged : {false, true}) {
        SCOPED_TRACE(unmerged ? "unmerged" : "merged");
        testsupport::ScratchDir dir;
        gemmi::Mtz in = makeMtz(unmerged);
        in.write_to_file((dir / "in.mtz").string());
        const size_t valueColumn = unmerged ? 5 : 4;
        testsupport::writeFile(dir / "XDS_ASCII.HKL", asXds(in, valueColumn));
        testsupport::writeFile(dir / "xds.inp", script("XDS_ASCII.HKL", "trunc.hkl"));
        testsupport::writeFile(dir / "mtz.inp", script("in.mtz", "cut.mtz"));
        const fs::path expected = dir / "expected";
        const auto model = testsupport::run("/usr/bin/python3", "xds.inp\npv.inp\n", dir.path(),
                                            {std::string(SUITE_SOURCE_DIR) + "/tests/model/ovoclip_model.py",
                                             expected.string()});
        ASSERT_EQ(model.status, 0) << model.out << model.err;
        const auto run = testsupport::run(testsupport::program("ovoclip"), "mtz.inp\npv.inp\n", dir.path());
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(testsupport::readFile(dir / "pv.inp"), testsupport::readFile(expected / "pv.inp"));

        const gemmi::Mtz cut = gemmi::read_mtz_file((dir / "cut.mtz").string());
        ASSERT_EQ(cut.columns.size(), in.columns.size());
        for (size_t c = 0; c < in.columns.size(); ++c) EXPECT_EQ(cut.columns[c].label, in.columns[c].label);
        EXPECT_EQ(cut.batches.size(), in.batches.size());
        // The model's kept records, in order, against the cut's rows; each
        // cut row one of the input's, whole.
        std::istringstream kept(testsupport::readFile(expected / "trunc.hkl"));
        std::string line;
        size_t r = 0, from = 0, differing = 0;
        const size_t columns = in.columns.size();
        while (std::getline(kept, line)) {
            if (line.empty() || line[0] == '!') continue;
            int h = 0, k = 0, l = 0;
            std::sscanf(line.c_str(), "%6d%6d%6d", &h, &k, &l);
            ASSERT_LT(r, static_cast<size_t>(cut.nreflections));
            const float* row = &cut.data[r++ * columns];
            if (int(row[0]) != h || int(row[1]) != k || int(row[2]) != l) ++differing;
            while (from < static_cast<size_t>(in.nreflections) &&
                   !std::equal(row, row + columns, &in.data[from * columns])) {
                ++from;
            }
            if (from == static_cast<size_t>(in.nreflections)) ++differing;
        }
        EXPECT_EQ(r, static_cast<size_t>(cut.nreflections));
        EXPECT_EQ(differing, 0u);
        EXPECT_GT(r, static_cast<size_t>(in.nreflections) / 10);  // some of each
        EXPECT_LT(r, static_cast<size_t>(in.nreflections));
    }
}

}  // namespace
