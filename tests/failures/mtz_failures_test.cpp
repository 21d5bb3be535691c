// MTZ inputs that the reflection layer refuses, through each program that
// reads them (ovofit, ovoscale, ovoclip's cut): status 2, one line naming
// the program, the file and the fault, and the folder as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#define USE_STD_SNPRINTF
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>
#undef GEMMI_WRITE_IMPLEMENTATION

#include "failure_support.hpp"

namespace {

using failures::Contents;
using failures::expectFailure;
using failures::Folder;

// A merged file of IMEAN SIGIMEAN, 200 reflections of P 21 21 21.
std::string mergedMtz(int group = 19, const gemmi::UnitCell& cell = gemmi::UnitCell(40, 50, 60, 90, 90, 90)) {
    testsupport::ScratchDir dir;
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_number(group);
    mtz.set_cell_for_all(cell);
    mtz.add_dataset("generated");
    mtz.add_column("IMEAN", 'J', -1, -1, false);
    mtz.add_column("SIGIMEAN", 'Q', -1, -1, false);
    std::vector<float> data;
    for (int h = 1; h <= 4; ++h)
        for (int k = 1; k <= 5; ++k)
            for (int l = 1; l <= 10; ++l) data.insert(data.end(), {float(h), float(k), float(l), 100.0f * float(l), 10});
    mtz.set_data(data.data(), data.size());
    mtz.write_to_file((dir / "m.mtz").string());
    return testsupport::readFile(dir / "m.mtz");
}

std::string withFloat(std::string bytes, size_t word, float value) {
    std::memcpy(&bytes[4 * word], &value, 4);
    return bytes;
}

// Every header record that starts with `key` made `text`.
// Every header record that starts with `key` replaced by `text`, after the
// record's own first `kept` bytes (a DCELL's data set number, say).
std::string withRecords(std::string bytes, const std::string& key, const std::string& text, size_t kept = 0) {
    int32_t offset = 0;
    std::memcpy(&offset, &bytes[4], 4);
    for (size_t at = 4 * static_cast<size_t>(offset - 1); at + 80 <= bytes.size(); at += 80) {
        if (bytes.compare(at, key.size(), key) == 0) {
            bytes.replace(at + kept, 80 - kept, failures::pad(text, 80).substr(0, 80 - kept));
        }
    }
    return bytes;
}

const std::string kScript = "in.mtz\ncut.mtz\n   40.00   50.00   60.00   90.00   90.00   90.00\n"
                            "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000"
                            "      0.0000      1.0000\n      2.5000      2.0000      1.8000\n";

TEST(MtzFailures, EachFaultThroughEachProgram) {
    const std::string good = mergedMtz();
    const struct {
        std::string name;
        std::string file;
        std::string report;
    } faults[] = {
        {"a cell of zeros",
         withRecords(withRecords(good, "CELL ", "CELL 0 0 0 0 0 0"), "DCELL", " 0 0 0 0 0 0", 15),
         "the cell (CELL and DCELL records) is missing or zero"},
        {"the headers cut", good.substr(0, good.size() - 200), "MTZENDOFHEADERS (a cut file?)"},
        {"the file cut within its rows", good.substr(0, 1000), "a cut file?"},
        {"an index that is no whole number", withFloat(good, 20 + 5 * 7 + 2, 2.25f), "row 8 of"},
        {"a P 6 group with an orthorhombic cell", mergedMtz(168), "contradicts space group P 6 (168)"},
    };
    const struct {
        std::string program, answers;
        Contents extra;  // inputs beside the MTZ file
    } programs[] = {
        {"ovofit", "in.mtz\n\ncut.mtz\nfit.inp\n\n\n\n", {}},
        {"ovoscale", "in.mtz\n\nout.mtz\nout.log\n", {}},
        {"ovoclip", "ovo.inp\npv.inp\n", {{"ovo.inp", kScript}}},
    };
    for (const auto& fault : faults) {
        for (const auto& p : programs) {
            SCOPED_TRACE(p.program + ", " + fault.name);
            Folder f;
            f.write("in.mtz", fault.file);
            for (const auto& [name, content] : p.extra) f.write(name, content);
            const Contents before = f.contents();
            expectFailure(f.run(p.program, p.answers), p.program, {"in.mtz", fault.report});
            EXPECT_EQ(f.contents(), before);
        }
    }
}

}  // namespace
