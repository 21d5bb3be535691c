// bapply run as a driver runs it, on MTZ files written here with gemmi: the
// new columns against F x scale x exp(-B s^2 / 4) with s^2 from the test's
// own metric of each cell, every column read carried through bit for bit,
// the cad input file from honer itself, and the refusals (keywords,
// records, labels, column types, damaged files, an existing output), each
// leaving no MTZ file behind.
#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "failures/failure_support.hpp"

namespace {

using failures::Folder;

struct Cell {
    double a, b, c, alpha, beta, gamma;
    const char* spaceGroup;
};

// 1/d^2 from the inverse of the direct metric tensor, computed here.
double inverseD2(const Cell& cell, double h, double k, double l) {
    const double rad = M_PI / 180;
    const double ca = std::cos(cell.alpha * rad), cb = std::cos(cell.beta * rad), cg = std::cos(cell.gamma * rad);
    const double g[3][3] = {{cell.a * cell.a, cell.a * cell.b * cg, cell.a * cell.c * cb},
                            {cell.a * cell.b * cg, cell.b * cell.b, cell.b * cell.c * ca},
                            {cell.a * cell.c * cb, cell.b * cell.c * ca, cell.c * cell.c}};
    const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                       g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                       g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
    double inv[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
            inv[i][j] = (g[i1][j1] * g[i2][j2] - g[i1][j2] * g[i2][j1]) / det;
        }
    }
    const double v[3] = {h, k, l};
    double sum = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) sum += v[i] * inv[i][j] * v[j];
    return sum;
}

const std::vector<std::pair<std::string, char>> kColumns = {
    {"FP", 'F'}, {"SIGFP", 'Q'}, {"FREE", 'I'}, {"FP_ISO", 'F'}, {"SIGFP_ISO", 'Q'}};

// Rows of h, k, l, FP, SIGFP, FREE, FP_ISO, SIGFP_ISO; every seventh row
// lacks FP_ISO, every eleventh SIGFP_ISO.
std::vector<float> rows(int count) {
    testsupport::Random draw(26);
    std::vector<float> data;
    int made = 0;
    for (int h = -6; h <= 6 && made < count; ++h) {
        for (int k = 0; k <= 7 && made < count; ++k) {
            for (int l = 1; l <= 9 && made < count; ++l, ++made) {
                const auto F = static_cast<float>(5 + static_cast<double>(draw(100000)) / 100.0);
                const auto sigma = static_cast<float>(0.5 + static_cast<double>(draw(1000)) / 100.0);
                data.insert(data.end(), {static_cast<float>(h), static_cast<float>(k), static_cast<float>(l), F * 2,
                                         sigma * 2, static_cast<float>(draw(20)), made % 7 == 3 ? NAN : F,
                                         made % 11 == 5 ? NAN : sigma});
            }
        }
    }
    return data;
}

std::string mtzBytes(const Cell& cell, const std::vector<float>& data,
                     const std::vector<std::pair<std::string, char>>& columns = kColumns) {
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_name(cell.spaceGroup);
    mtz.set_cell_for_all(gemmi::UnitCell(cell.a, cell.b, cell.c, cell.alpha, cell.beta, cell.gamma));
    mtz.add_dataset("test");
    for (const auto& [label, type] : columns) mtz.add_column(label, type, -1, -1, false);
    mtz.set_data(data.data(), data.size());
    mtz.history = {"written by the bapply test"};
    std::string bytes;
    mtz.write_to_string(bytes);
    return bytes;
}

// The cad input file as honer writes it, with the scale and the B given.
std::string cadInput(const char* scale, double b, const std::string& labi = "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO ",
                     const std::string& labo = "LABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB") {
    char record[64];
    std::snprintf(record, sizeof record, "SCAL FILE_NUMBER 1 %s %12.3f", scale, b);
    return "title apply a negative iso B\n" + std::string(record) + "\n" + labi + "\n" + labo + "\nend\n";
}

const std::string kAnswers = "cad.inp\nin.mtz\nout.mtz\n";

struct Case {
    const char* name;
    Cell cell;
    const char* scale;  // as written in columns 20-23
    double b;
};

const Case kCases[] = {
    {"orthorhombic, negative B", {54.87, 68.32, 82.96, 90, 90, 90, "P 2 2 2"}, "1.00", -16.408},
    {"monoclinic, positive B, scale 1.5", {41.2, 55.1, 63.7, 90, 104.5, 90, "P 1 21 1"}, "1.50", 23.75},
    {"triclinic, B 0, scale 0.25", {31.0, 36.5, 44.2, 81.3, 77.9, 68.4, "P 1"}, "0.25", 0},
    {"orthorhombic, large negative B", {54.87, 68.32, 82.96, 90, 90, 90, "P 2 2 2"}, "1.00", -80},
};

TEST(Bapply, NewColumnsAreScaleTimesExpOfMinusBSSquaredOverFourAndEveryColumnReadStays) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Folder f;
        const std::vector<float> data = rows(300);
        f.write("in.mtz", mtzBytes(c.cell, data));
        f.write("cad.inp", cadInput(c.scale, c.b));
        const auto& result = f.run("bapply", kAnswers);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("FP_ISOB SIGFP_ISOB"), std::string::npos) << result.out;

        gemmi::Mtz out;
        out.read_file((f / "out.mtz").string());
        ASSERT_EQ(out.columns.size(), 3 + kColumns.size() + 2);
        EXPECT_EQ(out.columns[8].label, "FP_ISOB");
        EXPECT_EQ(out.columns[8].type, 'F');
        EXPECT_EQ(out.columns[9].label, "SIGFP_ISOB");
        EXPECT_EQ(out.columns[9].type, 'Q');
        EXPECT_EQ(out.spacegroup->hm, gemmi::find_spacegroup_by_name(c.cell.spaceGroup)->hm);
        EXPECT_NEAR(out.cell.beta, c.cell.beta, 1e-4);
        ASSERT_EQ(out.history.size(), 2u);
        EXPECT_EQ(out.history[0].rfind("bapply:", 0), 0u) << out.history[0];
        EXPECT_EQ(out.history[1], "written by the bapply test");
        ASSERT_EQ(out.nreflections, 300);

        const double scale = std::atof(c.scale);
        for (int row = 0; row < out.nreflections; ++row) {
            const float* in = data.data() + row * 8;
            const float* got = out.data.data() + row * 10;
            EXPECT_EQ(std::memcmp(in, got, 8 * sizeof(float)), 0) << "row " << row << " changed";
            const double factor = scale * std::exp(-c.b * inverseD2(c.cell, in[0], in[1], in[2]) / 4);
            for (int i = 0; i < 2; ++i) {
                const float value = in[6 + i];
                if (std::isnan(value)) {
                    EXPECT_TRUE(std::isnan(got[8 + i])) << "row " << row;
                } else {
                    EXPECT_NEAR(got[8 + i], value * factor, 2e-6 * value * factor) << "row " << row << " column " << i;
                }
            }
        }
    }
}

// honer's cad input file, made from a log, is what bapply reads.
TEST(Bapply, RunsTheCadInputFileThatHonerWrites) {
    Folder f;
    f.write("phaser.log", "log\n     eigenB (A^2)\n x\n y\n     -23.456\n");
    ASSERT_EQ(f.run("honer", "phaser.log\ncad.inp\n").status, 0) << f.result.err;
    const Cell cell = {54.87, 68.32, 82.96, 90, 90, 90, "P 2 2 2"};
    const std::vector<float> data = rows(50);
    f.write("in.mtz", mtzBytes(cell, data));
    ASSERT_EQ(f.run("bapply", kAnswers).status, 0) << f.result.err;
    gemmi::Mtz out;
    out.read_file((f / "out.mtz").string());
    for (int row = 0; row < out.nreflections; ++row) {
        const float* in = data.data() + row * 8;
        if (std::isnan(in[6])) continue;
        const double expected = in[6] * std::exp(23.456 * inverseD2(cell, in[0], in[1], in[2]) / 4);
        EXPECT_NEAR(out.data[static_cast<size_t>(row) * 10 + 8], expected, 2e-6 * expected);
    }
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

// The header records of `bytes` from the first starting with `from` up to
// the first starting with `to` (after it) taken out: a header cut short.
std::string headerCut(const std::string& bytes, const std::string& from, const std::string& to) {
    const size_t headers = bytes.rfind("VERS MTZ");
    const size_t begin = bytes.find(from, headers), end = bytes.find(to, begin);
    return bytes.substr(0, begin) + bytes.substr(end);
}

struct Refusal {
    const char* name;
    std::string cad;
    std::string mtz;  // empty: the good file
    std::vector<std::string> fragments;
};

TEST(Bapply, RefusesWhatItCannotRunAndLeavesNoFile) {
    const Cell cell = {54.87, 68.32, 82.96, 90, 90, 90, "P 2 2 2"};
    const std::string good = mtzBytes(cell, rows(40));
    const std::string cad = cadInput("1.00", -16.408);
    std::string claim = good;
    claim.replace(claim.find("NCOL "), 80, failures::pad("NCOL        8   1000000000        0", 80));
    const std::vector<Refusal> refusals = {
        {"unknown keyword", replaced(cad, "LABI", "RESO"), "", {"line 3 of cad.inp", "\"RESO\"", "LABI"}},
        {"a record after end", cad + "LABI FILE 1 E1=FP E2=SIGFP\n", "", {"line 6", "after end"}},
        {"a second file", replaced(cad, "LABI FILE 1 ", "LABI FILE 2 "), "", {"line 3", "\"2\""}},
        {"a third label", replaced(cad, "E2=SIGFP_ISO ", "E2=SIGFP_ISO E3=X"), "", {"line 3", "\"E3=X\""}},
        {"a B that is no number", replaced(cad, "     -16.408", "     -16.4x8"), "", {"line 2", "columns 25-36"}},
        {"an ended file", "title x\nSCAL FILE_NUMBER 1 1.00      -16.408\n", "", {"cad.inp after line 2", "LABI"}},
        {"missing label", replaced(cad, "E1=FP_ISO", "E1=FP_X"), "", {"no column FP_X", "\"in.mtz\""}},
        {"wrong column type", replaced(cad, "E1=FP_ISO", "E1=FREE"), "", {"FREE", "type I, not F"}},
        {"a LABO column there already", replaced(cad, "E1=FP_ISOB", "E1=FP"), "", {"FP", "already"}},
        {"the same LABO twice", replaced(cad, "E1=FP_ISOB", "E1=SIGFP_ISOB"), "", {"both columns"}},
        {"a cut MTZ file", cad, good.substr(0, good.size() / 2), {"\"in.mtz\"", "MTZ"}},
        {"a header claiming a billion rows", cad, claim, {"\"in.mtz\"", "more data than the file holds"}},
        {"no MTZ file", cad, "just text\n", {"\"in.mtz\"", "MTZ"}},
        // Headers cut short: gemmi would leave a data set without a name, a
        // cell or a wavelength, or none for the column's.
        {"a header cut after NDIF", cad, headerCut(good, "PROJECT", "END "),
         {"\"in.mtz\"", "announce 2 data sets and describe 0"}},
        {"a header cut before the first DATASET record", cad, headerCut(good, "DATASET", "END "),
         {"\"in.mtz\"", "data set 0 without its DATASET record"}},
        {"a header cut before DCELL", cad, headerCut(good, "DCELL         1", "END "),
         {"\"in.mtz\"", "data set 1 without its DCELL record"}},
        {"a header cut before DWAVEL", cad, headerCut(good, "DWAVEL        1", "END "),
         {"\"in.mtz\"", "data set 1 without its DWAVEL record"}},
        {"a file ending in its headers", cad, good.substr(0, good.find("PROJECT", good.rfind("VERS MTZ"))),
         {"\"in.mtz\"", "end before their END record"}},
        {"FP_ISO of data set 7", cad,
         [&] {
             std::string bytes = good;
             return bytes.replace(bytes.find("COLUMN FP_ISO ") + 76, 4, "   7");
         }(),
         {"\"in.mtz\"", "column FP_ISO belongs to data set 7"}},
        // Scales and Bs that would write zeros, negative or no amplitudes.
        {"a scale of zero", cadInput("0.00", -16.408), "", {"line 2 of cad.inp, columns 20-23", "zero"}},
        {"a negative scale", cadInput("-1.0", -16.408), "", {"line 2 of cad.inp, columns 20-23", "negative"}},
        {"a scale that is no number", cadInput(" NaN", -16.408), "",
         {"line 2 of cad.inp, columns 20-23", "not a finite number"}},
        {"a B that is no number", replaced(cad, "     -16.408", "         NaN"), "",
         {"line 2 of cad.inp, columns 25-36", "not a finite number"}},
        {"an infinite B", replaced(cad, "     -16.408", "   -Infinity"), "",
         {"line 2 of cad.inp, columns 25-36", "not a finite number"}},
        {"a B that takes every amplitude to zero", replaced(cad, "     -16.408", "     1.0E+30"), "",
         {"\"in.mtz\"", "below the range of an MTZ value"}},
        // The COLUMN record holds 30 characters of label.
        {"a LABO label of 31 characters", replaced(cad, "E1=FP_ISOB", "E1=" + std::string(31, 'L')), "",
         {"LABO record of \"cad.inp\"", "31 characters", "labels hold 30"}},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        Folder f;
        f.write("cad.inp", r.cad);
        f.write("in.mtz", r.mtz.empty() ? good : r.mtz);
        const failures::Contents before = f.contents();
        failures::expectFailure(f.run("bapply", kAnswers), "bapply", r.fragments);
        EXPECT_EQ(f.contents(), before);
    }

    // An output that exists is left as it was.
    Folder f;
    f.write("cad.inp", cad);
    f.write("in.mtz", good);
    f.write("out.mtz", "mine");
    failures::expectFailure(f.run("bapply", kAnswers), "bapply", {"\"out.mtz\"", "already exists"});
    EXPECT_EQ(f.read("out.mtz"), "mine");
}

// A label of 30 characters, the most an MTZ file holds, reads back whole,
// in the data set of the columns it came from, with its own range.
TEST(Bapply, LabelOfThirtyCharactersReadsBackWhole) {
    const Cell cell = {54.87, 68.32, 82.96, 90, 90, 90, "P 2 2 2"};
    Folder f;
    const std::string label(30, 'L');
    f.write("cad.inp", replaced(cadInput("1.00", 0), "E1=FP_ISOB", "E1=" + label));
    f.write("in.mtz", mtzBytes(cell, rows(40)));
    ASSERT_EQ(f.run("bapply", kAnswers).status, 0) << f.result.err;
    gemmi::Mtz out;
    out.read_file((f / "out.mtz").string());
    const gemmi::Mtz::Column* column = out.column_with_label(label);
    ASSERT_NE(column, nullptr);
    EXPECT_EQ(column->dataset_id, out.column_with_label("FP_ISO")->dataset_id);
    EXPECT_EQ(column->max_value, out.column_with_label("FP_ISO")->max_value);  // scale 1, B 0
}

TEST(Bapply, NoReflectionWithBothValuesIsNoResult) {
    const Cell cell = {54.87, 68.32, 82.96, 90, 90, 90, "P 2 2 2"};
    std::vector<float> data = rows(20);
    for (size_t at = 6; at < data.size(); at += 8) data[at] = NAN;
    Folder f;
    f.write("cad.inp", cadInput("1.00", -16.408));
    f.write("in.mtz", mtzBytes(cell, data));
    const failures::Contents before = f.contents();
    const auto& result = f.run("bapply", kAnswers);
    EXPECT_EQ(result.status, 1);
    failures::expectReport(result, "bapply", {"no reflection", "FP_ISO"});
    EXPECT_EQ(f.contents(), before);
}

}  // namespace
