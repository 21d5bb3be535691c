// ovofit on data with a known falloff, the merge of equivalent observations,
// the real unmerged file from CORRECT, and every way a run can fail.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <tuple>

#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "common/layout/input_script.hpp"
#include "failure_support.hpp"
#include "falloff_data.hpp"
#include "ovofit/ellipsoid.hpp"
#include "ovofit/merge.hpp"
#include "common/reflections/xds_file.hpp"

namespace {

namespace fs = std::filesystem;
using failures::expectFailure;
using failures::Folder;

std::string answers(const std::string& xds, const std::string& script = "fit.inp", const std::string& threshold = "",
                    const std::string& plot = "") {
    return xds + "\n" + threshold + "\ntrunc.hkl\n" + script + "\n" + plot + "\n";
}

// Records 3 to 5 of a written script, read back as ovoclip reads them.
common::InputScript readScript(const fs::path& path) {
    common::InputFile file(path.string());
    common::InputScript script;
    std::string_view line;
    file.next(line);
    script.inputReflectionFile = line;
    file.next(line);
    script.outputReflectionFile = line;
    script.cell = common::input_script::readCell(file.nextOrFail("cell"), file);
    common::input_script::readAxes(file.nextOrFail("axes"), file, script.ellipsoidAxes);
    common::input_script::readLimits(file.nextOrFail("limits"), file, script.limits);
    return script;
}

// ------------------------------------------------------------ the layout

TEST(Ovofit, ScriptRecordsReadBackAsWrittenAndOverflowIsCaught) {
    common::InputScript script;
    script.inputReflectionFile = " lead blank.hkl";
    script.outputReflectionFile = "out.hkl";
    script.cell = {54.87f, 68.32f, 82.96f, 90, 104.5f, 90};
    const float axes[3][3] = {{0.8660f, 0, 0.5f}, {0, 1, 0}, {-0.5f, 0, 0.8660f}};
    std::copy(&axes[0][0], &axes[0][0] + 9, &script.ellipsoidAxes[0][0]);
    const float limits[3] = {3.1234f, 2.5f, 2.0f};
    std::copy(limits, limits + 3, script.limits);
    auto records = common::input_script::records(script);
    EXPECT_EQ(common::input_script::unwritableRecord(records), 0);
    Folder f;
    {
        common::OutputFile file((f / "s.inp").string());
        common::input_script::write(file, records);
    }
    const common::InputScript back = readScript(f / "s.inp");
    EXPECT_EQ(common::fileNameFrom(back.inputReflectionFile), " lead blank.hkl");
    EXPECT_EQ(back.cell.beta, 104.5f);
    EXPECT_EQ(back.ellipsoidAxes[2][0], -0.5f);
    EXPECT_EQ(back.limits[0], 3.1234f);

    script.cell.a = 1.0e5f;  // past F8.2
    EXPECT_EQ(common::input_script::unwritableRecord(common::input_script::records(script)), 3);
}

// The writer's rows and the reader's pairing through the written records:
// each row read back is paired with the limit measured along its own axis,
// whatever the order of the limits and with ties among them.
TEST(Ovofit, LimitsPairedWithTheirAxesThroughTheScript) {
    const double cases[][3] = {{2.6, 2.2, 1.9}, {1.9, 2.2, 2.6}, {2.2, 2.6, 1.9}, {2.0, 2.6, 2.3}, {2.5, 2.5, 1.8},
                               {1.8, 2.5, 2.5}, {2.5, 1.8, 2.5}, {3.0, 3.0, 3.0}, {12.345, 0.9876, 4.5}};
    // Axis i is told apart by its first component, i + 1 tenths.
    const double axes[3][3] = {{0.1, 0.9, 0.2}, {0.2, 0.3, 0.9}, {0.3, -0.4, 0.5}};
    for (const auto& measured : cases) {
        SCOPED_TRACE(testing::Message() << measured[0] << " " << measured[1] << " " << measured[2]);
        const std::array<int, 3> rows = common::input_script::rowsByLimit(measured);
        common::InputScript script;
        script.inputReflectionFile = "in.hkl";
        script.outputReflectionFile = "out.hkl";
        script.cell = {50, 60, 70, 90, 90, 90};
        for (size_t row = 0; row < 3; ++row) {
            for (int j = 0; j < 3; ++j) {
                script.ellipsoidAxes[row][j] = static_cast<float>(axes[static_cast<size_t>(rows[row])][j]);
            }
        }
        for (int i = 0; i < 3; ++i) script.limits[i] = static_cast<float>(measured[i]);
        Folder f;
        {
            common::OutputFile file((f / "s.inp").string());
            common::input_script::write(file, common::input_script::records(script));
        }
        const common::InputScript back = readScript(f / "s.inp");
        const common::input_script::ResolutionLimits paired = common::input_script::limitsByRow(back.limits);
        const float byRow[3] = {paired.lowResLimit, paired.mediumResLimit, paired.highResLimit};
        for (int row = 0; row < 3; ++row) {
            const int axis = static_cast<int>(std::lround(back.ellipsoidAxes[row][0] * 10)) - 1;
            ASSERT_TRUE(axis >= 0 && axis < 3) << back.ellipsoidAxes[row][0];
            EXPECT_EQ(byRow[row], static_cast<float>(measured[axis])) << "row " << row + 1;
        }
        // Record 5 stays in the axes' order.
        for (int i = 0; i < 3; ++i) EXPECT_EQ(back.limits[i], static_cast<float>(measured[i]));
    }
}

// ---------------------------------------------------------- known falloff

TEST(Ovofit, LimitsOfAKnownFalloffWithinOneShellAndInTheirRows) {
    for (const auto& truth : {std::array<double, 3>{2.6, 2.2, 1.9}, std::array<double, 3>{2.0, 2.6, 2.3}}) {
        falloff::Model model;
        std::copy(truth.begin(), truth.end(), model.limits);
        SCOPED_TRACE(testing::Message() << truth[0] << " " << truth[1] << " " << truth[2]);
        Folder f;
        f.write("data.hkl", falloff::mergedXds(model));
        ASSERT_EQ(f.run("ovofit", answers("data.hkl", "fit.inp", "", "fit.svg")).status, 0) << f.result.err;
        const common::InputScript script = readScript(f / "fit.inp");
        EXPECT_EQ(script.inputReflectionFile, "data.hkl");
        EXPECT_EQ(script.outputReflectionFile, "trunc.hkl");
        EXPECT_FLOAT_EQ(script.cell.b, 50.0f);

        // Rows from the largest limit down, each the frame axis of its limit.
        int axisOf[3] = {0, 1, 2};
        std::sort(axisOf, axisOf + 3, [&truth](int x, int y) { return truth[static_cast<size_t>(x)] > truth[static_cast<size_t>(y)]; });
        const double sHigh3 = std::pow(1 / model.dHigh, 3), sLow3 = std::pow(1 / model.dLow, 3);
        for (int row = 0; row < 3; ++row) {
            for (int j = 0; j < 3; ++j) EXPECT_EQ(script.ellipsoidAxes[row][j], j == axisOf[row] ? 1.0f : 0.0f);
            // One of 20 shells of equal reciprocal volume, in d, at the true limit.
            const double d = truth[static_cast<size_t>(axisOf[row])];
            const double shell = d * d * (sHigh3 - sLow3) / (20 * 3 / (d * d));
            // Record 5 keeps the order of the axes, as planeview reads it.
            // Within one shell, and half a shell more on the low side: off
            // the axis the 20-degree cone takes reflections nearer the
            // larger limits, whose signal is lower, so the mean of a shell
            // falls through the threshold a little early.
            EXPECT_GE(script.limits[axisOf[row]], d - shell) << "row " << row;
            EXPECT_LE(script.limits[axisOf[row]], d + 1.5 * shell) << "row " << row;
        }
        EXPECT_NE(f.read("fit.svg").find("</svg>"), std::string::npos);
    }
}

TEST(Ovofit, QuickRecordReaderGivesWhatTheFieldReaderGives) {
    falloff::Model model;
    model.dHigh = 3;
    Folder f;
    f.write("data.hkl", falloff::mergedXds(model) + "     1     2     3       12.5          2\n");
    common::InputFile lines((f / "data.hkl").string()), records((f / "data.hkl").string());
    common::reflections::readXdsHeader(records);
    std::string_view line;
    while (lines.next(line) && line.substr(0, 14) != "!END_OF_HEADER") {}
    int compared = 0;
    for (;;) {
        ASSERT_TRUE(lines.next(line));
        ovofit::Observation quick, plain;
        const bool more = common::reflections::readObservation(records, quick);
        ASSERT_EQ(common::xds_record::readGeneralRecord(line, lines, common::reflections::kOnDamagedRecord, plain), more) << line;
        if (!more) break;
        ++compared;
        EXPECT_TRUE(quick.h == plain.h && quick.k == plain.k && quick.l == plain.l) << line;
        EXPECT_EQ(quick.intensity, plain.intensity) << line;
        EXPECT_EQ(quick.sigma, plain.sigma) << line;
    }
    EXPECT_GT(compared, 100);
}

// ------------------------------------------------------------------ merge

TEST(Ovofit, MergesEquivalentsOfP41AsTheirWeightedMean) {
    // In P41 (76): (1,2,3) and (-2,1,3) are related by the fourfold axis,
    // (-1,-2,-3) is their Friedel mate, (2,1,3) is another reflection (4/mmm
    // would make it a mate), (0,0,2) is a systematic absence.
    const std::vector<ovofit::Observation> observations = {{1, 2, 3, 100, 10}, {-2, 1, 3, 200, 20},
                                                           {-1, -2, -3, 50, 5}, {2, 1, 3, 7, 1},
                                                           {2, -1, 3, 999, -1}, {0, 0, 2, 500, 5}};
    const gemmi::SpaceGroup& p4 = gemmi::get_spacegroup_by_number(76);
    for (const bool friedel : {true, false}) {
        SCOPED_TRACE(friedel);
        ovofit::Merger merger(p4, friedel);
        for (const auto& o : observations) merger.add(o);
        EXPECT_EQ(merger.used(), 5);
        EXPECT_EQ(merger.leftOut(), 1);  // the misfit with a negative sigma
        const auto merged = merger.result();
        EXPECT_EQ(merger.absent(), 1);
        ASSERT_EQ(merged.size(), friedel ? 2u : 3u);
        // Weights 1/100, 1/400 and 1/25.
        const double weights = friedel ? 0.01 + 0.0025 + 0.04 : 0.01 + 0.0025;
        const double mean = friedel ? (1.0 + 0.5 + 2.0) / weights : (1.0 + 0.5) / weights;
        int found = 0;
        for (const auto& r : merged) {
            if (std::fabs(r.intensity - mean) < 1e-9) {
                ++found;
                EXPECT_NEAR(r.sigma, 1 / std::sqrt(weights), 1e-9);
            }
        }
        EXPECT_EQ(found, 1);
    }
}

TEST(Ovofit, MergeAgreesWithAPlainMapOfTheAsymmetricUnit) {
    // Random observations with repeats, symmetry mates and Friedel mates,
    // merged by the table (growing from its first size, made too small, made
    // large enough at once) and by a std::map keyed by the indices that
    // gemmi's asymmetric unit gives, summing in the same order.
    struct Case {
        int group;
        bool friedel;
        size_t expected;
    };
    const Case cases[] = {{1, true, 0}, {1, false, 100}, {76, true, 20000}, {76, false, 0},
                          {178, true, 500}, {19, false, 40000},
                          // With Friedel's law the unit is found by integer rotations tried
                          // from the last one that served: every kind of unit's edges.
                          {5, true, 0}, {146, true, 0}, {149, true, 30000}, {150, true, 0}, {168, true, 0},
                          {197, true, 0}, {230, true, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group * 10 + c.friedel);
        const gemmi::SpaceGroup& group = gemmi::get_spacegroup_by_number(c.group);
        const gemmi::GroupOps ops = group.operations();
        const gemmi::ReciprocalAsu asu(&group);
        std::mt19937 random(static_cast<unsigned>(c.group));
        std::uniform_int_distribution<int> index(-12, 12);
        std::uniform_real_distribution<float> value(-50, 1000), sigma(0.5f, 30);
        ovofit::Merger merger(group, c.friedel, c.expected);
        std::map<std::tuple<int, int, int, bool>, std::pair<double, double>> plain;
        for (int i = 0; i < 30000; ++i) {
            const ovofit::Observation o{index(random), index(random), index(random), value(random), sigma(random)};
            ASSERT_TRUE(merger.add(o));
            const auto [hkl, isym] = asu.to_asu({{o.h, o.k, o.l}}, ops);
            auto& [weights, weighted] = plain[{hkl[0], hkl[1], hkl[2], !c.friedel && isym % 2 == 0}];
            const double w = 1.0 / (static_cast<double>(o.sigma) * o.sigma);
            weights += w;
            weighted += w * o.intensity;
        }
        const auto merged = merger.result();
        auto next = merged.begin();
        int64_t absent = 0;
        for (const auto& [key, sums] : plain) {
            const auto [h, k, l, minus] = key;
            if (ops.is_systematically_absent({{h, k, l}})) {
                ++absent;
                continue;
            }
            ASSERT_NE(next, merged.end());
            EXPECT_TRUE(next->h() == h && next->k() == k && next->l() == l) << h << " " << k << " " << l;
            // The list of a merged file may sum a reflection's repeats in
            // another order than read: within a few units of the last place.
            EXPECT_NEAR(next->intensity, sums.second / sums.first, 1e-12 * std::fabs(sums.second / sums.first));
            EXPECT_NEAR(next->sigma, 1.0 / std::sqrt(sums.first), 1e-12 / std::sqrt(sums.first));
            ++next;
        }
        EXPECT_EQ(next, merged.end());
        EXPECT_EQ(merger.absent(), absent);
    }
}

// ------------------------------------------------------------------- axes

TEST(Ovofit, FittedAxesAreThePrincipalAxesOfTheFalloff) {
    // A monoclinic cell; the falloff's axes turned 30 degrees about b, with
    // B 40, 25 and 10 along them.
    const common::UnitCell cell{45, 55, 65, 90, 105, 90};
    const double c30 = std::cos(M_PI / 6), s30 = std::sin(M_PI / 6);
    const double expected[3][3] = {{c30, 0, s30}, {0, 1, 0}, {-s30, 0, c30}};
    const double b[3] = {40, 25, 10};
    const ovofit::Frame frame = ovofit::makeFrame(cell);
    std::vector<ovofit::MergedReflection> merged;
    for (int h = -15; h <= 15; ++h) {
        for (int k = 0; k <= 15; ++k) {
            for (int l = -15; l <= 15; ++l) {
                double s[3];
                frame.coordinates(h, k, l, s);
                double exponent = 0;
                for (int i = 0; i < 3; ++i) {
                    const double along = expected[i][0] * s[0] + expected[i][1] * s[1] + expected[i][2] * s[2];
                    exponent += b[i] * along * along;
                }
                merged.push_back(ovofit::MergedReflection::of(h, k, l, 1000 * std::exp(-exponent), 1));
            }
        }
    }
    for (const int number : {3, 1}) {
        SCOPED_TRACE(number);
        const ovofit::EllipsoidAxes axes =
            ovofit::chooseAxes(gemmi::get_spacegroup_by_number(number), cell, merged);
        ASSERT_TRUE(axes.fitted);
        for (const auto& want : expected) {
            double best = 0;
            for (const auto& row : axes.rows) {
                best = std::max(best, std::fabs(row[0] * want[0] + row[1] * want[1] + row[2] * want[2]));
            }
            EXPECT_NEAR(best, 1.0, 1e-6) << want[0] << " " << want[1] << " " << want[2];
        }
        if (number == 3) {  // b exactly one of them, the others exactly normal to it
            int unique = 0;
            for (const auto& row : axes.rows) {
                unique += row[0] == 0 && row[1] == 1 && row[2] == 0;
                EXPECT_TRUE(row[1] == 0 || row[1] == 1);
            }
            EXPECT_EQ(unique, 1);
        }
    }
}

// ------------------------------------------------------------- real data

TEST(Ovofit, RealUnmergedFileFromCorrectGivesAScriptOvoclipAccepts) {
    const fs::path real = testsupport::realDataDir() / "xds" / "edna_autoproc_XDS_ASCII.HKL";
    if (testsupport::realDataDir().empty() || !fs::exists(real)) {
        GTEST_SKIP() << "../shared/realdata is not beside this clone: the real XDS file cannot be read";
    }
    // Named from inside the folder, as a driver names it.
    Folder f;
    fs::create_symlink(real, f / "edna.HKL");
    ASSERT_EQ(f.run("ovofit", answers("edna.HKL")).status, 0) << f.result.err;
    EXPECT_NE(f.result.out.find("13395 records of unmerged data read"), std::string::npos) << f.result.out;
    const common::InputScript script = readScript(f / "fit.inp");
    for (const float limit : script.limits) {
        EXPECT_GE(limit, 2.70f);  // INCLUDE_RESOLUTION_RANGE= 60.000 2.702
        EXPECT_LE(limit, 60.0f);
    }
    ASSERT_EQ(f.run("ovoclip", "fit.inp\npv.inp\n").status, 0) << f.result.err;
    EXPECT_TRUE(f.exists("trunc.hkl"));
}

// --------------------------------------------------------------- failures

TEST(Ovofit, FailuresReportWhatAndWhereAndWriteNothing) {
    falloff::Model small;
    small.dHigh = 3;
    const std::string good = falloff::mergedXds(small);
    auto replaced = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string header = good.substr(0, good.find("!END_OF_HEADER"));
    struct Case {
        std::string what, data, answers;
        std::vector<std::string> fragments;
    } cases[] = {
        {"keyword missing", replaced("!SPACE_GROUP_NUMBER=   16\n", ""), answers("d.hkl"),
         {"d.hkl has no SPACE_GROUP_NUMBER= in its header"}},
        {"cell value", replaced("    40.000", "    4x.000"), answers("d.hkl"),
         {"line 4 of d.hkl, columns 26-31", "\"4x.000\" is not a number"}},
        {"no space group", replaced("=   16", "=  999"), answers("d.hkl"), {"999", "space group"}},
        {"no cell", replaced("    40.000", "     0.000"), answers("d.hkl"), {"does not describe a cell"}},
        {"record", replaced("!END_OF_HEADER\n", "!END_OF_HEADER\n    1x     0     0  1.0E+00  1.0E+00\n"),
         answers("d.hkl"), {"line 7 of d.hkl, columns 1-6", "1x\" is not a number"}},
        {"no end of data", replaced("!END_OF_DATA\n", ""), answers("d.hkl"), {"end of file d.hkl", "!END_OF_DATA"}},
        {"no end of header", header, answers("d.hkl"), {"d.hkl has no end-of-header line"}},
        {"threshold", good, answers("d.hkl", "fit.inp", "1.5x"), {"threshold \"1.5x\""}},
        {"NUL in a name", good, answers("d.hkl").replace(12, 0, std::string("\0x", 2)), {"truncated file"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        f.write("d.hkl", c.data);
        expectFailure(f.run("ovofit", c.answers), "ovofit", c.fragments);
        EXPECT_EQ(f.contents(), failures::Contents({{"d.hkl", c.data}}));
    }
}

// The script and the plot are all or nothing: a run that cannot finish
// both, or is ended by a signal, leaves neither (nor a hidden part), so the
// next run is not blocked by a file of the name it asks for.
TEST(Ovofit, ScriptAndPlotAppearTogetherOrNotAtAll) {
    falloff::Model small;
    small.dHigh = 3;
    const std::string data = falloff::mergedXds(small);
    const std::string withPlot = answers("d.hkl", "fit.inp", "", "fit.svg");
    const struct {
        std::string why, shell, answers;
        int status;  // -1: ended by the signal
    } cases[] = {
        // 1 KiB holds the script (5 records) but not the plot.
        {"file-size limit on the plot", "ulimit -f 1; exec \"$0\"", withPlot, 2},
        {"SIGTERM while the data never end",
         "mkfifo never.hkl && exec 3<>never.hkl || exit 9\n{ sleep 0.3; kill -TERM $$; } &\nexec \"$0\"",
         answers("never.hkl", "fit.inp", "", "fit.svg"), -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Folder f;
        f.write("d.hkl", data);
        const testsupport::RunResult run =
            testsupport::run("/bin/bash", c.answers, f.dir.path(), {"-c", c.shell, testsupport::program("ovofit")});
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.status == 2) expectFailure(run, "ovofit", {"fit.svg"});
        fs::remove(f / "never.hkl");
        EXPECT_EQ(f.contents(), failures::Contents({{"d.hkl", data}}));
        ASSERT_EQ(f.run("ovofit", withPlot).status, 0) << f.result.err;
        EXPECT_TRUE(f.exists("fit.inp") && f.exists("fit.svg"));
    }
}

// Data too few to measure the ellipsoid from are no result, not a failed
// read: status 1, the reason on standard error, and no script.
TEST(Ovofit, DataTooFewToMeasureAreNoResult) {
    falloff::Model small;
    small.dHigh = 3;
    const std::string good = falloff::mergedXds(small);
    const std::string header = good.substr(0, good.find("!END_OF_HEADER"));
    std::string triclinic = header;
    triclinic.replace(triclinic.find("=   16"), 6, "=    1");
    const std::string oneRecord = "!END_OF_HEADER\n     1     0     0  1.000E+02  1.000E+01\n!END_OF_DATA\n";
    falloff::Model coarse;
    coarse.dHigh = 12;
    const fs::path real = testsupport::realDataDir() / "xds";
    struct Case {
        std::string what, data;
        fs::path realFile;  // instead of data, when ../shared/realdata is beside the clone
        std::string fragment;
        // The line of counts, saying which are records and which unique
        // reflections, and whether Friedel mates count apart (ovostats
        // merges them).
        std::string counts = "";
    } cases[] = {
        {"one reflection", header + oneRecord, {}, "too few reflections along axis 1 to measure a limit: 1 within",
         " 1 records of merged data read; 0 left out (sigma(I) not above 0); 1 records merged to 1 unique reflections; "
         "systematic absences left out: 0 unique reflections\n"},
        {"no reflection", header + "!END_OF_HEADER\n!END_OF_DATA\n", {}, "along axis 1 to measure a limit: 0 within"},
        {"a coarse data set", falloff::mergedXds(coarse), {}, "too few reflections along axis"},
        {"triclinic, too few to fit the falloff", triclinic + oneRecord, {},
         "too few reflections with I above sigma(I) ("},
        {"real excerpt from CORRECT", "", real / "careless_XDS_ASCII.HKL", "too few reflections along axis 1",
         " 453 records of unmerged data read; 41 left out (sigma(I) not above 0); 412 records merged to 31 unique "
         "reflections (Friedel mates apart); systematic absences left out: 30 unique reflections\n"},
        {"real excerpt of 266 records", "", real / "edna2_best_XDS_ASCII.HKL", "too few reflections along axis 1"},
        {"real excerpt from XSCALE", "", real / "careless_xscale_temp.ahkl", "too few reflections along axis 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        if (!c.realFile.empty()) {
            if (testsupport::realDataDir().empty() || !fs::exists(c.realFile)) continue;
            fs::create_symlink(c.realFile, f / "d.hkl");
        } else {
            f.write("d.hkl", c.data);
        }
        const failures::Contents before = f.contents();
        EXPECT_EQ(f.run("ovofit", answers("d.hkl", "fit.inp", "", "fit.svg")).status, 1) << f.result.err;
        failures::expectReport(f.result, "ovofit", {c.fragment, "in d.hkl; no script was written"});
        EXPECT_NE(f.result.out.find(c.counts), std::string::npos) << f.result.out;
        EXPECT_EQ(f.contents(), before);
    }
}

}  // namespace

namespace {

// ------------------------------------------------------- hostile answers

// Each fault found by running the built programs on a header, a cell or an
// answer that does not hold: status 2 with a report naming it and nothing
// written (ovofit), or a warning and the run as before (ovoclip).
TEST(Ovofit, ContradictionsInTheHeaderAndAnswersAreRefused) {
    falloff::Model small;
    small.dHigh = 3;
    const std::string good = falloff::mergedXds(small);
    auto edited = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    auto withCell = [&](const std::string& group, const std::string& cell) {
        std::string text = edited("=   16", "=" + group);
        const size_t at = text.find("!UNIT_CELL_CONSTANTS=") + 21;
        return text.replace(at, text.find('\n', at) - at, cell);
    };
    auto withItems = [&](const std::string& items, int count) {
        return edited("!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n",
                      "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=" + std::to_string(count) + "\n" + items);
    };
    struct Case {
        std::string what, program, data, answers;
        int status;
        std::vector<std::string> fragments;  // of the report, or of the warning
    } cases[] = {
        {"R3 in rhombohedral axes", "ovofit", withCell(" 146", "  50 50 50 80 80 80"), answers("d.hkl"), 2,
         {"d.hkl: the cell 50 50 50 80 80 80 is in rhombohedral axes", "R 3 (146) in hexagonal axes only"}},
        {"P6 with a != b", "ovofit", withCell(" 168", "  40 50 60 90 90 120"), answers("d.hkl"), 2,
         {"the cell 40 50 60 90 90 120 contradicts space group P 6 (168)"}},
        {"P222 with gamma 120", "ovofit", withCell("  16", "  40 50 60 90 90 120"), answers("d.hkl"), 2,
         {"contradicts space group P 2 2 2 (16)"}},
        {"P2 with gamma 105", "ovofit", withCell("   3", "  40 50 60 90 90 105"), answers("d.hkl"), 2,
         {"the cell 40 50 60 90 90 105 contradicts space group P 1 2 1 (3)"}},
        {"angles that cannot meet", "ovofit", withCell("   1", "  40 50 60 150 150 150"), answers("d.hkl"), 2,
         {"d.hkl: UNIT_CELL_CONSTANTS= is an impossible cell: angles of 150, 150 and 150 degrees"}},
        {"IOBS and SIGMA(IOBS) moved", "ovofit", withItems("!ITEM_IOBS=6\n!ITEM_SIGMA(IOBS)=7\n", 7),
         answers("d.hkl"), 2, {"ITEM_IOBS=6, ITEM_SIGMA(IOBS)=7", "only as items 1 to 5"}},
        {"items past the record", "ovofit", withItems("!ITEM_H=1\n!ITEM_IOBS=9\n", 5), answers("d.hkl"), 2,
         {"ITEM_H=1, ITEM_K=2, ITEM_L=3, ITEM_IOBS=9"}},
        {"threshold with a comma", "ovofit", good, answers("d.hkl", "fit.inp", "1,5"), 2, {"threshold \"1,5\""}},
        {"two thresholds", "ovofit", good, answers("d.hkl", "fit.inp", "1.5 2.5"), 2, {"threshold \"1.5 2.5\""}},
        {"negative threshold", "ovofit", good, answers("d.hkl", "fit.inp", "-1"), 2, {"threshold \"-1\""}},
        {"zero threshold", "ovofit", good, answers("d.hkl", "fit.inp", " 0 "), 2, {"threshold \" 0\""}},
        {"NaN threshold", "ovofit", good, answers("d.hkl", "fit.inp", "nan"), 2, {"threshold \"nan\""}},
        {"infinite threshold", "ovofit", good, answers("d.hkl", "fit.inp", "1e39"), 2, {"threshold \"1e39\""}},
        {"truncated file is the XDS file", "ovofit", good, "d.hkl\n\nd.hkl\nfit.inp\n\n", 2,
         {"the truncated file \"d.hkl\" is the XDS reflection file itself"}},
        {"the same by another path", "ovofit", good, "d.hkl\n\n./d.hkl\nfit.inp\n\n", 2,
         {"\"./d.hkl\" is the XDS reflection file itself"}},
        {"truncated file is the script", "ovofit", good, "d.hkl\n\nfit.inp\nfit.inp\n\n", 2,
         {"the truncated file \"fit.inp\" is the input script being written"}},
        {"ovoclip: IOBS moved", "ovoclip", withItems("!ITEM_IOBS=6\n!ITEM_SIGMA(IOBS)=7\n", 7), "fit.inp\npv.inp\n",
         0, {"warning: the header of d.hkl puts IOBS at item 6 and SIGMA(IOBS) at item 7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        if (c.program == "ovoclip") {
            f.write("d.hkl", good);
            ASSERT_EQ(f.run("ovofit", answers("d.hkl")).status, 0) << f.result.err;
        }
        f.write("d.hkl", c.data);
        const failures::Contents before = f.contents();
        f.run(c.program, c.answers);
        if (c.status == 2) {
            expectFailure(f.result, c.program, c.fragments);
            EXPECT_EQ(f.contents(), before);
        } else {
            EXPECT_EQ(f.result.status, c.status) << f.result.err;
            for (const std::string& fragment : c.fragments) EXPECT_NE(f.result.err.find(fragment), std::string::npos) << f.result.err;
            EXPECT_TRUE(f.exists("trunc.hkl"));
        }
    }
}

// ------------------------------------------------------ stray reflections

// Data to 2.0 A with a known falloff, and the same with a few strong
// reflections far beyond them: the limits stay within a shell of the truth
// and where they were without the strays (one of them moved a limit by a
// tenth of an Angstrom, one more made the run fail).
TEST(Ovofit, StrayReflectionsBeyondTheDataDoNotMoveTheLimits) {
    falloff::Model model;
    model.dHigh = 2.0;
    model.limits[0] = 3.2, model.limits[1] = 2.6, model.limits[2] = 2.3;
    const std::string clean = falloff::mergedXds(model);
    auto strays = [&clean](const std::string& records) {
        std::string text = clean;
        return text.insert(text.find("!END_OF_DATA"), records);
    };
    // h = 22 is 1.82 A along a* (a = 40), 29 is 1.38 A; l = 40 is 1.5 A along c*.
    const std::string cases[] = {
        strays("    22     0     0  1.000E+04  1.000E+01\n"),
        strays("    29     0     0  1.000E+04  1.000E+01\n"),
        strays("    22     0     0  1.000E+04  1.000E+01\n    29     0     0  1.000E+04  1.000E+01\n"
               "     0     0    40  1.000E+04  1.000E+01\n"),
    };
    Folder f;
    f.write("d.hkl", clean);
    ASSERT_EQ(f.run("ovofit", answers("d.hkl")).status, 0) << f.result.err;
    const common::InputScript without = readScript(f / "fit.inp");
    const double sHigh3 = std::pow(1 / model.dHigh, 3), sLow3 = std::pow(1 / model.dLow, 3);
    for (int i = 0; i < 3; ++i) {
        const double d = model.limits[i];
        // Ten shells at the least along each axis here.
        EXPECT_NEAR(without.limits[i], d, d * d * (sHigh3 - sLow3) / (10 * 3 / (d * d))) << "axis " << i + 1;
    }
    for (const std::string& data : cases) {
        Folder g;
        g.write("d.hkl", data);
        ASSERT_EQ(g.run("ovofit", answers("d.hkl")).status, 0) << g.result.err;
        const common::InputScript with = readScript(g / "fit.inp");
        // A stray moves the data's edge by at most a few reflections' worth.
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(with.limits[i], without.limits[i], 0.002) << "axis " << i + 1;
    }
}

}  // namespace

#include "common/layout/limits_table.hpp"
#include "known_limits.hpp"

namespace {

// ------------------------------------------------------- fitted limits

// The table of limits read back from the transcript of a run.
common::limits_table::Table tableOf(Folder& f) {
    f.write("ovofit.terminal", f.result.out);
    const auto table = common::limits_table::find((f / "ovofit.terminal").string());
    if (!table) ADD_FAILURE() << "no table of limits in\n" << f.result.out;
    return table.value_or(common::limits_table::Table{});
}

// ovofit's plot read as a person reads it: no word inside the drawing area
// (70..610 x 40..360), where it would lie on a curve or a limit line; no
// curve cut flat at the top; tick labels that are whole numbers without a
// point; each axis named in the legend by a*, b*, c*; the right-hand title
// clear of its tick labels.
void expectReadablePlot(const std::string& plot) {
    const std::regex text(R"re(<text x="([-0-9.]+)" y="([-0-9.]+)"[^>]*>([^<]*)</text>)re");
    int words = 0;
    for (std::sregex_iterator it(plot.begin(), plot.end(), text), end; it != end; ++it) {
        const double x = std::stod((*it)[1]), y = std::stod((*it)[2]);
        EXPECT_FALSE(x > 70 && x < 610 && y > 40 && y < 360) << "a word on the drawing: " << (*it)[3];
        EXPECT_FALSE(std::regex_match((*it)[3].str(), std::regex(R"re(\d+\.)re"))) << "a tick reads " << (*it)[3];
        ++words;
    }
    EXPECT_GT(words, 10);
    const std::regex polyline(R"re(<polyline[^>]*points="([^"]*)")re");
    for (std::sregex_iterator it(plot.begin(), plot.end(), polyline), end; it != end; ++it) {
        std::istringstream points((*it)[1].str());
        int atTop = 0;
        for (std::string point; points >> point;) {
            const double y = std::stod(point.substr(point.find(',') + 1));
            EXPECT_GE(y, 40.0);
            atTop += y <= 40.05;
        }
        EXPECT_LE(atTop, 1) << "a curve cut flat at the top";
    }
    for (const char* axis : {"axis 1, ", "axis 2, ", "axis 3, "}) {
        const size_t at = plot.find(axis);
        ASSERT_NE(at, std::string::npos) << axis;
        const std::string name = plot.substr(at + 8, plot.find(':', at) - at - 8);
        EXPECT_TRUE(name.find("a*") != std::string::npos || name.find("b*") != std::string::npos ||
                    name.find("c*") != std::string::npos)
            << axis << name;
    }
    const std::smatch title = [&plot] {
        std::smatch m;
        std::regex_search(plot, m, std::regex(R"re(translate\(([0-9.]+) [0-9.]+\) rotate\(-90\)" text-anchor="middle">CC1/2)re"));
        return m;
    }();
    if (!title.empty()) {
        EXPECT_GT(std::stod(title[1]) - 8, 618 + 3 * 8) << "the right-hand title on its tick labels";
    }
}

// Data generated with known limits and the noise of real data (Wilson's
// intensities, normal errors, a few hundred reflections a shell): the
// fitted I/sigma limits within 3% of the truth along each axis, the CC1/2
// limits of unmerged data within 5%, and the script takes the ones the
// criterion names. Each true axis is paired with the row of the table
// whose direction lies along it.
TEST(Ovofit, FittedLimitsOfGeneratedDataMatchTheTruth) {
    struct Case {
        std::string what;
        known_limits::Model model;
        std::string criterion;
    };
    known_limits::Model orthorhombic;
    orthorhombic.cell = {50, 60, 70, 90, 90, 90};
    known_limits::Model monoclinic;
    monoclinic.spaceGroup = 3;
    monoclinic.cell = {45, 50, 60, 90, 105, 90};
    monoclinic.turn = 30;
    monoclinic.limits[0] = 2.3, monoclinic.limits[1] = 2.7, monoclinic.limits[2] = 1.95;
    // Axes 55 degrees from a*, one limit of 2.233 A; a larger cell, and a
    // triclinic one whose axes are free in all three directions.
    known_limits::Model monoclinic55;
    monoclinic55.spaceGroup = 3;
    monoclinic55.cell = {60, 70, 80, 90, 105, 90};
    monoclinic55.turn = 55;
    monoclinic55.limits[0] = 2.233, monoclinic55.limits[1] = 2.7, monoclinic55.limits[2] = 1.9;
    known_limits::Model triclinic = monoclinic55;
    triclinic.spaceGroup = 1;
    triclinic.cell = {55, 62, 70, 80, 105, 95};
    triclinic.turn = 40;
    known_limits::Model reversed = orthorhombic;
    reversed.limits[0] = 1.9, reversed.limits[2] = 2.6;
    // CC1/2 of a shell is noisier than its mean I/sigma (Wilson's strong
    // reflections rule it): a larger cell, for more reflections a shell.
    known_limits::Model unmerged;
    unmerged.multiplicity = 4;
    unmerged.cell = {60, 75, 90, 90, 90, 90};
    known_limits::Model unmergedCc = unmerged;
    unmergedCc.ccLimits[0] = 2.0, unmergedCc.ccLimits[1] = 2.4, unmergedCc.ccLimits[2] = 2.2;
    const Case cases[] = {
        {"orthorhombic", orthorhombic, ""},
        {"orthorhombic, limits the other way", reversed, "I/sigma"},
        {"monoclinic, axes 30 degrees from a*", monoclinic, ""},
        {"monoclinic, axes 55 degrees from a*", monoclinic55, ""},
        {"triclinic, axes 40 degrees from a* about b", triclinic, ""},
        {"unmerged, CC1/2 printed", unmerged, ""},
        {"unmerged, the script by CC1/2", unmergedCc, "CC1/2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        f.write("d.hkl", known_limits::xds(c.model));
        ASSERT_EQ(f.run("ovofit", answers("d.hkl", "fit.inp", "", "fit.svg") + c.criterion + "\n").status, 0)
            << f.result.err;
        const common::limits_table::Table table = tableOf(f);
        const bool byCc = c.criterion == "CC1/2";
        EXPECT_EQ(table.criterion == common::limits_table::Criterion::cc, byCc);
        const common::InputScript script = readScript(f / "fit.inp");
        double u[3][3];
        c.model.axes(u);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            int row = 0;
            double best = 0;
            for (int r = 0; r < 3; ++r) {
                const auto& d = table.axes[static_cast<size_t>(r)].direction;
                const double along = std::fabs(d[0] * u[i][0] + d[1] * u[i][1] + d[2] * u[i][2]);
                if (along > best) best = along, row = r;
            }
            EXPECT_GT(best, 0.99) << "the fitted axes stray from the true ones";
            // Fitted axes (monoclinic and triclinic) within 2 degrees.
            if (c.model.spaceGroup <= 15) {
                EXPECT_LT(std::acos(std::min(1.0, best)) * 180 / M_PI, 2.0);
            }
            if (c.model.multiplicity == 0) std::printf("[ ovofit ] %s: limit %d %.3f A of %.3f, its axis %.2f degrees off\n", c.what.c_str(), i,
                        table.axes[static_cast<size_t>(row)].iOverSigma.angstrom, c.model.limits[i],
                        std::acos(std::min(1.0, best)) * 180 / M_PI);
            const auto& axis = table.axes[static_cast<size_t>(row)];
            if (c.model.multiplicity == 0) {
                EXPECT_NEAR(axis.iOverSigma.angstrom, c.model.limits[i], 0.03 * c.model.limits[i]);
                EXPECT_EQ(axis.iOverSigma.mark, common::limits_table::Mark::none);
                EXPECT_FALSE(axis.cc.has_value());
            } else {
                ASSERT_TRUE(axis.cc.has_value());
                EXPECT_NEAR(axis.cc->angstrom, c.model.ccLimits[i], 0.05 * c.model.ccLimits[i]);
            }
            const double taken = byCc ? axis.cc->angstrom : axis.iOverSigma.angstrom;
            EXPECT_NEAR(script.limits[row], taken, 0.0006);  // the table rounds to thousandths
        }
        const std::string plot = f.read("fit.svg");
        EXPECT_EQ(plot.find("CC1/2 (dashed)") != std::string::npos, c.model.multiplicity > 0);
        expectReadablePlot(plot);
    }
}

// CC1/2 needs the observations: asked of merged data it is refused, and so
// is a criterion that is neither; the new questions left unanswered (the
// end of the input) are blank ones.
TEST(Ovofit, CriterionAnswersAndDriversOfFiveAnswers) {
    const std::string merged = known_limits::xds(known_limits::Model{});
    struct Case {
        std::string what, answers;
        int status;
        std::string fragment;
    } cases[] = {
        {"five answers", answers("d.hkl"), 0, "criterion I/sigma"},
        {"six, the sixth blank", answers("d.hkl") + "\n", 0, "criterion I/sigma"},
        {"CC1/2 of merged data", answers("d.hkl") + "CC1/2\n", 2, "CC1/2 needs the unmerged observations"},
        {"no criterion", answers("d.hkl") + "Rmerge\n", 2, "the limit criterion \"Rmerge\" is neither"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        f.write("d.hkl", merged);
        f.run("ovofit", c.answers);
        ASSERT_EQ(f.result.status, c.status) << f.result.err;
        if (c.status == 0) {
            EXPECT_NE(f.result.out.find(c.fragment), std::string::npos);
        } else {
            expectFailure(f.result, "ovofit", {c.fragment});
            EXPECT_FALSE(f.exists("fit.inp"));
        }
    }
}

// A reflection file that cannot be read ends the run as soon as it is
// named: the questions after it are not asked.
TEST(Ovofit, FileToReadCheckedWhenNamed) {
    const struct {
        std::string what, name, fragment;
    } cases[] = {{"missing", "none.hkl", "none.hkl"}, {"a folder", "sub", "sub"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        fs::create_directory(f / "sub");
        f.run("ovofit", answers(c.name));
        expectFailure(f.result, "ovofit", {c.fragment});
        EXPECT_NE(f.result.out.find("Please type in name of XDS reflection file"), std::string::npos);
        EXPECT_EQ(f.result.out.find("threshold"), std::string::npos) << f.result.out;
        EXPECT_FALSE(f.exists("fit.inp"));
    }
}

// The real unmerged file: both limits along every axis, and along c* the
// fitted I/sigma limit is no longer the edge of the shell before one noisy
// shell (3.41 A when the shells ran to the farthest reflection), but where
// the curve through all of them crosses 1.5.
TEST(Ovofit, RealUnmergedFileGetsBothLimits) {
    const fs::path real = testsupport::realDataDir() / "xds" / "edna_autoproc_XDS_ASCII.HKL";
    if (testsupport::realDataDir().empty() || !fs::exists(real)) {
        GTEST_SKIP() << "../shared/realdata is not beside this clone: the real XDS file cannot be read";
    }
    Folder f;
    fs::create_symlink(real, f / "edna.HKL");
    ASSERT_EQ(f.run("ovofit", answers("edna.HKL")).status, 0) << f.result.err;
    const common::limits_table::Table table = tableOf(f);
    for (const auto& axis : table.axes) {
        EXPECT_TRUE(axis.cc.has_value());
        EXPECT_GE(axis.iOverSigma.angstrom, 2.70);
    }
    const auto& cStar = table.axes[2];
    EXPECT_EQ(cStar.combination, "1.00 c*");
    EXPECT_EQ(cStar.iOverSigma.mark, common::limits_table::Mark::none);
    EXPECT_GT(cStar.iOverSigma.angstrom, 3.0);
    EXPECT_LT(cStar.iOverSigma.angstrom, 3.35);
}

}  // namespace

#include <gemmi/cif.hpp>

namespace {

// ---------------------------------------------------- deposition block

// The mmCIF fragment read back with gemmi: the limits and axes of the table,
// the criterion's signal type and threshold, and the completeness of data
// with one reflection in four left out at random: 75 % inside the ellipsoid,
// in the sphere and in each shell; the possible reflections inside the
// ellipsoid counted by a plain loop over the octant h, k, l >= 0 (P222's
// asymmetric unit) with the fragment's own limits.
TEST(Ovofit, DepositionFragmentReadsBackWithGemmi) {
    known_limits::Model model;
    model.kept = 0.75;
    Folder f;
    f.write("d.hkl", known_limits::xds(model));
    ASSERT_EQ(f.run("ovofit", answers("d.hkl") + "\nfit.cif\n").status, 0) << f.result.err;
    const common::limits_table::Table table = tableOf(f);
    gemmi::cif::Document document = gemmi::cif::read_file((f / "fit.cif").string());
    gemmi::cif::Block& block = document.sole_block();
    auto number = [&block](const std::string& tag) {
        const std::string* value = block.find_value("_reflns." + tag);
        if (value == nullptr) {
            ADD_FAILURE() << "no _reflns." << tag;
            return std::nan("");
        }
        return std::stod(*value);
    };
    EXPECT_EQ(gemmi::cif::as_string(*block.find_value("_reflns.pdbx_signal_type")), "local <I/sigmaI>");
    // How the signal was measured, and the block's keys first.
    ASSERT_NE(block.find_value("_reflns.pdbx_signal_details"), nullptr);
    EXPECT_NE(gemmi::cif::as_string(*block.find_value("_reflns.pdbx_signal_details")).find("20 deg"), std::string::npos);
    ASSERT_GE(block.items.size(), 3u);
    EXPECT_EQ(block.items[0].pair[0], "_reflns.pdbx_ordinal");
    EXPECT_EQ(block.items[1].pair[0], "_reflns.entry_id");
    EXPECT_EQ(block.items[2].pair[0], "_reflns.pdbx_diffrn_id");
    EXPECT_EQ(number("pdbx_observed_signal_threshold"), 1.5);
    EXPECT_EQ(gemmi::cif::as_string(*block.find_value("_reflns.pdbx_orthogonalization_convention")), "pdb");
    double limits[3], axes[3][3];
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i + 1);
        limits[i] = number("pdbx_aniso_diffraction_limit_" + n);
        EXPECT_NEAR(limits[i], table.axes[static_cast<size_t>(i)].iOverSigma.angstrom, 0.0005);
        for (int j = 0; j < 3; ++j) {
            axes[i][j] = number("pdbx_aniso_diffraction_limit_axis_" + n + "_ortho[" + std::to_string(j + 1) + "]");
            EXPECT_NEAR(axes[i][j], table.axes[static_cast<size_t>(i)].direction[static_cast<size_t>(j)], 1e-4);
        }
    }
    EXPECT_NEAR(number("pdbx_percent_possible_ellipsoidal"), 75, 2);
    EXPECT_NEAR(number("pdbx_percent_possible_spherical"), 75, 2);
    gemmi::cif::Column shells = block.find_loop("_reflns_shell.pdbx_percent_possible_ellipsoidal");
    ASSERT_EQ(shells.length(), 10);
    // The outer shells hold only the ellipsoid's tips, a few dozen reflections.
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(std::stod(shells[i]), 75, 5) << "shell " << i + 1;

    // "completeness inside the ellipsoid P % (n of m)" on the terminal.
    const size_t at = f.result.out.find(" of ", f.result.out.find("completeness inside the ellipsoid"));
    ASSERT_NE(at, std::string::npos) << f.result.out;
    const long possible = std::stol(f.result.out.substr(at + 4));
    const double dLow = number("d_resolution_low");
    long counted = 0;
    for (int h = 0; h <= 40; ++h) {
        for (int k = 0; k <= 50; ++k) {
            for (int l = 0; l <= 60; ++l) {
                const double s[3] = {h / 40.0, k / 50.0, l / 60.0};
                double e = 0;
                for (int i = 0; i < 3; ++i) e += std::pow((axes[i][0] * s[0] + axes[i][1] * s[1] + axes[i][2] * s[2]) * limits[i], 2);
                const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
                counted += (h || k || l) && e <= 1 && s2 * dLow * dLow >= 1 - 1e-6;
            }
        }
    }
    // The limits in the fragment are rounded to thousandths.
    EXPECT_NEAR(static_cast<double>(possible), static_cast<double>(counted), 0.001 * static_cast<double>(counted));
}

}  // namespace

namespace {

// ------------------------------------------------------ table of limits

// The reader of the table in a transcript: a table written by `lines` among
// other lines (each with the terminal's leading blank) reads back field by
// field; none is no table; a damaged one ends the run naming its line and
// columns.
TEST(Ovofit, LimitsTableReadsBackFromATranscriptAndRefusesADamagedOne) {
    using namespace common::limits_table;
    Table table;
    table.criterion = Criterion::cc;
    table.iOverSigmaThreshold = 2.0;
    table.axes[0] = {{0.8660, 0, -0.5}, "0.87 a* - 0.50 c*", {2.5, Mark::none}, {2.456, Mark::none}, Limit{2.3, Mark::beyond}};
    table.axes[1] = {{0, 1, 0}, "1.00 b*", {3.0, Mark::lowest}, {12.345, Mark::lowest}, std::nullopt};
    table.axes[2] = {{0.5, 0, 0.866}, "0.50 a* + 0.87 c*", {1.9, Mark::beyond}, {1.9, Mark::beyond}, Limit{1.95, Mark::none}};
    std::string transcript = " Please type in name of XDS reflection file\n some line\n";
    for (const std::string& line : lines(table)) transcript += " " + line + "\n";
    const std::string good = transcript + " limits   2.300 ...\n";
    auto edited = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    {
        Folder f;
        f.write("t.txt", good);
        const std::optional<Table> back = find((f / "t.txt").string());
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->criterion, Criterion::cc);
        EXPECT_NEAR(back->threshold(), 0.30, 1e-6);
        EXPECT_EQ(back->iOverSigmaThreshold, 2.0);
        for (size_t i = 0; i < 3; ++i) {
            const Axis& want = table.axes[i];
            const Axis& got = back->axes[i];
            for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(got.direction[j], want.direction[j], 5e-5);
            EXPECT_EQ(got.combination, want.combination);
            EXPECT_NEAR(got.shellEdge.angstrom, want.shellEdge.angstrom, 5e-4);
            EXPECT_EQ(got.shellEdge.mark, want.shellEdge.mark);
            EXPECT_NEAR(got.iOverSigma.angstrom, want.iOverSigma.angstrom, 5e-4);
            EXPECT_EQ(got.iOverSigma.mark, want.iOverSigma.mark);
            ASSERT_EQ(got.cc.has_value(), want.cc.has_value());
            if (want.cc) {
                EXPECT_NEAR(got.cc->angstrom, want.cc->angstrom, 5e-4);
                EXPECT_EQ(got.cc->mark, want.cc->mark);
            }
        }
    }
    struct Case {
        std::string what, text;
        std::vector<std::string> fragments;  // empty: no table, no failure
    } cases[] = {
        {"no table", " Please type in name of XDS reflection file\n", {}},
        {"a row missing", good.substr(0, good.find("    3  ")), {"end of file", "a row of the table of limits"}},
        {"a limit that is no number", edited("2.456", "2.4x6"), {"columns 46-55", "\"     2.4x6\" is not a number"}},
        {"an unknown mark", edited(" lowest", " faint "), {"columns 39-45", "no mark of a limit"}},
        {"no end line", edited("end of the limits", "end of them"), {"not the end of the table of limits"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        f.write("t.txt", c.text);
        if (c.fragments.empty()) {
            EXPECT_FALSE(find((f / "t.txt").string()).has_value());
            continue;
        }
        try {
            find((f / "t.txt").string());
            ADD_FAILURE() << "a damaged table was read";
        } catch (const common::RunTimeFailure& failure) {
            for (const std::string& fragment : c.fragments) {
                EXPECT_NE(failure.message().find(fragment), std::string::npos) << failure.message();
            }
        }
    }
}

}  // namespace
