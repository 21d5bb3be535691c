// ovoscale's ends without a result and its failures, a row a case: the
// status, the report, and that neither output is left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#define USE_STD_SNPRINTF
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>

#include "scaling_data.hpp"
#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;

std::string smallXds(double dHigh, double bIso = 40) {
    scaling_data::Model m;
    m.dHigh = dHigh;
    m.bIso = bIso;
    return scaling_data::xds(m, scaling_data::draw(m));
}

// An MTZ file of IMEAN SIGIMEAN (or FP SIGFP) and a free flag, from the
// same generated data.
void writeMtz(const fs::path& path, bool intensities) {
    scaling_data::Model m;
    m.dHigh = 2.5;
    const auto rows = scaling_data::draw(m);
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(16);
    mtz.set_cell_for_all(gemmi::UnitCell(50, 60, 70, 90, 90, 90));
    mtz.add_dataset("generated");
    mtz.add_column("FreeR_flag", 'I', -1, -1, false);
    mtz.add_column(intensities ? "IMEAN" : "FP", intensities ? 'J' : 'F', -1, -1, false);
    mtz.add_column(intensities ? "SIGIMEAN" : "SIGFP", 'Q', -1, -1, false);
    std::vector<float> data;
    int n = 0;
    for (const auto& r : rows) {
        const double value = intensities ? r.intensity : std::sqrt(std::max(r.intensity, 0.0));
        const double sigma = intensities ? r.sigma : r.sigma / (2 * std::max(value, std::sqrt(r.sigma)));
        data.insert(data.end(), {static_cast<float>(r.h), static_cast<float>(r.k), static_cast<float>(r.l),
                                 static_cast<float>(n++ % 20), static_cast<float>(value), static_cast<float>(sigma)});
    }
    mtz.set_data(data.data(), data.size());
    mtz.write_to_file(path.string());
}

struct Case {
    std::string name;
    std::function<void(const fs::path&)> inputs;
    std::string answers;
    int status;
    std::string report;  // on standard error, or on standard output for status 0
};

TEST(OvoscaleEnds, EachCase) {
    const Case cases[] = {
        {"too few reflections beyond 10 A", [](const fs::path& d) { testsupport::writeFile(d / "d.hkl", smallXds(9.6)); },
         "d.hkl\nout.mtz\nout.log\n", 1, "too few reflections to fit"},
        {"no reflection beyond 10 A", [](const fs::path& d) { testsupport::writeFile(d / "d.hkl", smallXds(12.0)); },
         "d.hkl\nout.mtz\nout.log\n", 1, "where the fit starts"},
        {"data ending at 6 A, fitted from 10 A: 486 reflections leave B open by 20 and 15 A^2",
         [](const fs::path& d) { testsupport::writeFile(d / "d.hkl", smallXds(6.0)); }, "d.hkl\nout.mtz\nout.log\n", 1,
         "the data do not determine the isotropic B nor the anisotropic part"},
        {"data ending at 4.5 A, 6000 reflections, fitted from 10 A",
         [](const fs::path& d) {
             scaling_data::Model m;
             m.cell[0] = 80, m.cell[1] = 100, m.cell[2] = 120;
             m.dHigh = 4.5;
             m.bIso = 80;
             testsupport::writeFile(d / "d.hkl", scaling_data::xds(m, scaling_data::draw(m)));
         },
         "d.hkl\nout.mtz\nout.log\n", 0, "reflections from 10 to 4.5"},
        {"a falloff slower than the reference curve: not positive definite",
         [](const fs::path& d) { testsupport::writeFile(d / "d.hkl", smallXds(2.5, -60)); },
         "d.hkl\nout.mtz\nout.log\n", 1, "not positive definite"},
        {"an MTZ label that is not there", [](const fs::path& d) { writeMtz(d / "in.mtz", true); },
         "in.mtz\nI SIGI\nout.mtz\nout.log\n", 2, "no column I in"},
        {"an MTZ value column of the wrong type", [](const fs::path& d) { writeMtz(d / "in.mtz", true); },
         "in.mtz\nFreeR_flag SIGIMEAN\nout.mtz\nout.log\n", 2, "is of type I, not JF"},
        {"the log named like the MTZ file", [](const fs::path& d) { testsupport::writeFile(d / "d.hkl", smallXds(2.5)); },
         "d.hkl\nout\nout\n", 2, "are one file"},
        {"the log named like the MTZ file, spelt otherwise",
         [](const fs::path& d) { testsupport::writeFile(d / "d.hkl", smallXds(2.5)); }, "d.hkl\nout.mtz\n./out.mtz\n", 2,
         "are one file"},
        {"the log exists already", [](const fs::path& d) {
             testsupport::writeFile(d / "d.hkl", smallXds(2.5));
             testsupport::writeFile(d / "out.log", "");
         },
         "d.hkl\nout.mtz\nout.log\n", 2, "out.log"},
        {"the log exists already, data that give no result: the name is refused before the work",
         [](const fs::path& d) {
             testsupport::writeFile(d / "d.hkl", smallXds(12.0));
             testsupport::writeFile(d / "out.log", "");
         },
         "d.hkl\nout.mtz\nout.log\n", 2, "\"out.log\": the file already exists"},
        {"an MTZ of intensities, blank labels", [](const fs::path& d) { writeMtz(d / "in.mtz", true); },
         "in.mtz\n\nout.mtz\nout.log\n", 0, "R-free flags carried through: FreeR_flag"},
        {"an MTZ of amplitudes, blank labels", [](const fs::path& d) { writeMtz(d / "in.mtz", false); },
         "in.mtz\n\nout.mtz\nout.log\n", 0, "R-free flags carried through: FreeR_flag"},
    };
    for (const Case& c : cases) {
        testsupport::ScratchDir dir;
        c.inputs(dir.path());
        const bool logExisted = fs::exists(dir / "out.log");
        const auto result = testsupport::run(testsupport::program("ovoscale"), c.answers, dir.path());
        EXPECT_EQ(result.status, c.status) << c.name << result.err;
        EXPECT_NE((c.status == 0 ? result.out : result.err).find(c.report), std::string::npos)
            << c.name << "\n" << result.out << result.err;
        EXPECT_EQ(fs::exists(dir / "out.mtz"), c.status == 0) << c.name;
        EXPECT_EQ(fs::exists(dir / "out.log"), c.status == 0 || logExisted) << c.name;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            EXPECT_NE(entry.path().filename().string()[0], '.') << c.name << ": hidden file left";
        }
        if (c.status != 0 || !fs::exists(dir / "in.mtz")) continue;
        // The input's columns carried through, ours added.
        const gemmi::Mtz mtz = gemmi::read_mtz_file((dir / "out.mtz").string());
        std::string labels;
        for (const auto& column : mtz.columns) labels += column.label + " ";
        EXPECT_NE(labels.find("FreeR_flag"), std::string::npos) << c.name << labels;
        EXPECT_NE(labels.find("FP SIGFP"), std::string::npos) << c.name << labels;
        EXPECT_NE(labels.find("FP_ISO SIGFP_ISO"), std::string::npos) << c.name << labels;
        const auto free = mtz.column_with_label("FreeR_flag");
        for (size_t r = 0; r < static_cast<size_t>(mtz.nreflections); r += 37) {
            EXPECT_EQ(mtz.data[r * mtz.columns.size() + static_cast<size_t>(free->idx)], static_cast<float>(r % 20));
        }
    }
}

}  // namespace
