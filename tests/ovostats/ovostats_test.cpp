// ovostats's table file and its readers: the table read back as written,
// the reader's refusals, the deposition items against the dictionary's
// names, the answers to the question of shells, mergetab's table made from
// the two halves, and the runs that end without a result or with a
// failure.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/layout/merging_table.hpp"
#include "ovostats/run.hpp"
#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;
namespace table = common::merging_table;

table::Shell shell(double dMax, double dMin, int64_t obs, int64_t unique, bool defined, bool ellipsoid) {
    table::Shell s;
    s.dMax = dMax, s.dMin = dMin, s.observations = obs, s.unique = unique, s.possible = unique + 7;
    s.completeness = 100.0 * static_cast<double>(unique) / static_cast<double>(s.possible);
    if (ellipsoid) {
        s.possibleInEllipsoid = unique / 2;
        s.completenessEllipsoid = 97.25;
    }
    s.multiplicity = static_cast<double>(obs) / static_cast<double>(unique);
    s.iOverSigma = 12.34;
    if (defined) {
        s.rMerge = 0.0512, s.rMeas = 0.0601, s.rPim = 0.0333, s.ccHalf = 0.9876;
    }
    return s;
}

table::Table sample(const std::string& name, bool friedel, bool defined, bool ellipsoid) {
    table::Table t;
    t.name = name;
    t.friedelsLaw = friedel;
    t.shells = {shell(40.0, 5.0, 1200, 300, defined, ellipsoid), shell(5.0, 3.0, 3400, 900, defined, ellipsoid),
                shell(3.0, 2.5, 2600, 800, false, ellipsoid)};
    if (!friedel) {
        for (table::Shell& s : t.shells) s.anomalousCompleteness = 88.5, s.anomalousMultiplicity = 2.05, s.ccAnomalous = -0.0123;
    }
    t.overall = shell(40.0, 2.5, 7200, 2000, defined, ellipsoid);
    t.inner = t.shells.front();
    t.outer = t.shells.back();
    return t;
}

std::string text(const std::vector<table::Table>& tables) {
    std::string all;
    for (const table::Table& t : tables) {
        for (const std::string& line : table::lines(t)) all += line + "\n";
    }
    return all;
}

void expectNear(const std::optional<double>& got, const std::optional<double>& want, double tolerance,
                const char* what) {
    ASSERT_EQ(got.has_value(), want.has_value()) << what;
    if (want) {
        EXPECT_NEAR(*got, *want, tolerance) << what;
    }
}

TEST(MergingTable, ReadsBackWhatIsWritten) {
    struct Case {
        const char* what;
        bool friedel, defined, ellipsoid;
    } cases[] = {{"Friedel's law, every value", true, true, true},
                 {"mates apart", false, true, true},
                 {"no ellipsoid, values not defined", true, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::ScratchDir dir;
        const std::vector<table::Table> written = {sample("all", c.friedel, c.defined, c.ellipsoid),
                                                   sample("kept", c.friedel, c.defined, c.ellipsoid)};
        testsupport::writeFile(dir / "t.txt", text(written));
        common::InputFile file((dir / "t.txt").string());
        for (const table::Table& w : written) {
            const std::optional<table::Table> r = table::readTable(file);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->name, w.name);
            EXPECT_EQ(r->friedelsLaw, w.friedelsLaw);
            ASSERT_EQ(r->shells.size(), w.shells.size());
            std::vector<std::pair<const table::Shell*, const table::Shell*>> rows;
            for (size_t i = 0; i < w.shells.size(); ++i) rows.push_back({&r->shells[i], &w.shells[i]});
            rows.push_back({&r->overall, &w.overall});
            rows.push_back({&r->outer, &w.outer});
            for (const auto& [got, want] : rows) {
                EXPECT_EQ(got->observations, want->observations);
                EXPECT_EQ(got->unique, want->unique);
                EXPECT_EQ(got->possible, want->possible);
                EXPECT_EQ(got->possibleInEllipsoid, want->possibleInEllipsoid);
                expectNear(got->completeness, want->completeness, 0.05, "completeness");
                expectNear(got->completenessEllipsoid, want->completenessEllipsoid, 0.05, "ellipsoidal");
                expectNear(got->multiplicity, want->multiplicity, 0.005, "multiplicity");
                expectNear(got->rMerge, want->rMerge, 5e-5, "Rmerge");
                expectNear(got->rPim, want->rPim, 5e-5, "Rpim");
                expectNear(got->ccHalf, want->ccHalf, 5e-5, "CC1/2");
                expectNear(got->ccAnomalous, want->ccAnomalous, 5e-5, "CC_anom");
            }
            EXPECT_NEAR(r->outer.dMin, 2.5, 1e-9);
        }
        EXPECT_FALSE(table::readTable(file));
    }
}

TEST(MergingTable, RefusesWhatItCannotRead) {
    const std::string good = text({sample("all", true, true, true)});
    const std::vector<std::string> lines = testsupport::lines(good);
    struct Case {
        const char* what;
        size_t line;         // 0-based line replaced
        std::string with;
        const char* report;  // a fragment of the report
    } cases[] = {
        {"no heading", 0, "XSCALE log", "where a table should start"},
        {"Friedel's law neither", 1, "friedel: maybe", "friedel: true"},
        {"another heading", 2, "d_max d_min", "column heading"},
        {"a count that is no count", 3, lines[3].substr(0, 20) + "  12x" + lines[3].substr(25), "is not a count"},
        {"a field too few", 4, lines[4].substr(0, lines[4].rfind(' ')), "fields where"},
        {"rows out of order", 6, std::string(lines[6]).replace(lines[6].find("overall"), 7, "  inner"), "out of order"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> edited = lines;
        edited[c.line] = c.with;
        std::string content;
        for (const std::string& l : edited) content += l + "\n";
        testsupport::ScratchDir dir;
        testsupport::writeFile(dir / "t.txt", content);
        common::InputFile file((dir / "t.txt").string());
        try {
            table::readTable(file);
            ADD_FAILURE() << "read";
        } catch (const common::RunTimeFailure& f) {
            EXPECT_NE(f.message().find(c.report), std::string::npos) << f.message();
            EXPECT_NE(f.message().find("line " + std::to_string(c.line + 1)), std::string::npos) << f.message();
        }
    }
}

TEST(MergingTable, DepositionItemsAreTheDictionarysAndTheTablesNumbers) {
    const fs::path names = fs::path(SUITE_SOURCE_DIR).parent_path() / "shared" / "pdbx" / "reflns-item-names.txt";
    for (const bool friedel : {true, false}) {
        const table::Table kept = sample("kept", friedel, true, true);
        const table::DepositionItems items = table::depositionItems(kept);
        ASSERT_EQ(items.shellRows.size(), kept.shells.size());
        for (const auto& row : items.shellRows) ASSERT_EQ(row.size(), items.shellTags.size());
        std::map<std::string, std::string> pairs(items.reflns.begin(), items.reflns.end());
        EXPECT_EQ(pairs["number_obs"], "2000");
        EXPECT_EQ(pairs["pdbx_number_measured_all"], "7200");
        EXPECT_EQ(pairs["pdbx_redundancy"], "3.60");
        EXPECT_EQ(pairs["pdbx_Rmerge_I_obs"], "0.0512");
        EXPECT_EQ(pairs["pdbx_percent_possible_ellipsoidal"], "97.2");  // 97.25 to even
        EXPECT_EQ(pairs["d_resolution_high"], "2.500");
        EXPECT_EQ(pairs.count("pdbx_CC_half_anomalous"), friedel ? 0u : 1u);
        // The third shell has no R values: "?", as mmCIF marks a value not known.
        EXPECT_EQ(items.shellRows[2][11], "?");
        if (!fs::exists(names)) {
            std::printf("no ../shared/pdbx beside this clone: the item names are not checked\n");
            continue;
        }
        std::set<std::string> known;
        for (const std::string& n : testsupport::lines(testsupport::readFile(names))) known.insert(n);
        for (const auto& [name, value] : items.reflns) EXPECT_TRUE(known.count("_reflns." + name)) << name;
        for (const std::string& tag : items.shellTags) EXPECT_TRUE(known.count("_reflns_shell." + tag)) << tag;
    }
}

TEST(Ovostats, ShellAnswers) {
    using K = ovostats::ShellChoice::Kind;
    struct Case {
        std::string answer;
        K kind;
        int count;
        std::vector<double> limits;
        bool refused;
    } cases[] = {
        {"", K::equalSquared, 10, {}, false},
        {"  20 ", K::equalSquared, 20, {}, false},
        {"volume 8", K::equalVolume, 8, {}, false},
        {"4.0 3.0 2.5", K::given, 0, {4.0, 3.0, 2.5}, false},
        {"2.5", K::given, 0, {2.5}, false},
        {"0", K::equalSquared, 0, {}, true},
        {"201", K::equalSquared, 0, {}, true},
        {"volume", K::equalVolume, 0, {}, true},
        {"3.0 4.0", K::given, 0, {}, true},
        {"3.0 -2.0", K::given, 0, {}, true},
        {"ten", K::equalSquared, 0, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.answer + "\"");
        try {
            const ovostats::ShellChoice choice = ovostats::shellChoiceFrom(c.answer);
            ASSERT_FALSE(c.refused);
            EXPECT_EQ(choice.kind, c.kind);
            if (c.kind != K::given) {
                EXPECT_EQ(choice.count, c.count);
            }
            ASSERT_EQ(choice.dMin.size(), c.limits.size());
            for (size_t i = 0; i < c.limits.size(); ++i) EXPECT_NEAR(choice.dMin[i], c.limits[i], 1e-6);
        } catch (const common::RunTimeFailure&) {
            EXPECT_TRUE(c.refused);
        }
    }
}

// mergetab given ovostats's table file as both logs: the table of all the
// observations before, that of the data kept after, row by row.
TEST(Ovostats, MergetabTakesTheTwoHalves) {
    testsupport::ScratchDir dir;
    table::Table kept = sample("kept", true, true, true);
    kept.shells.pop_back();  // the data kept end a shell earlier
    kept.outer = kept.shells.back();
    testsupport::writeFile(dir / "t.txt", text({sample("all", true, true, true), kept}));
    const auto result = testsupport::run(testsupport::program("mergetab"), "t.txt\nt.txt\ns.html\n", dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> out = testsupport::lines(testsupport::readFile(dir / "s.html"));
    ASSERT_EQ(out.size(), 3u + 4u + 1u);
    EXPECT_EQ(out[3], "    5.00     1200  1200     4.0  4.0    97.7%   97.7%     5.1%   5.1%    12.3  12.3");
    EXPECT_EQ(out[5], "    2.50     2600           3.2         99.1%                            12.3      ");
    EXPECT_EQ(out[6].substr(0, 24), "   total     7200  7200 ");
}

// Runs that end without a result (status 1) or with a failure (status 2),
// and leave no file behind.
TEST(Ovostats, RunsWithoutAResult) {
    const std::string header =
        "!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=TRUE\n!SPACE_GROUP_NUMBER=   19\n"
        "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n"
        "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n";
    struct Case {
        const char* what;
        std::string data;
        std::string answers;
        int status;
        const char* report;
    } cases[] = {
        {"only misfits and absences", header + "     1     2     3  1.000E+02 -1.000E+01\n     1     0     0  1.000E+02  1.000E+01\n!END_OF_DATA\n",
         "d.hkl\n\n\nt.txt\nt.json\n", 1, "no observation"},
        {"a shell answer that is no shell", header + "     1     2     3  1.000E+02  1.000E+01\n!END_OF_DATA\n",
         "d.hkl\n\nmany\nt.txt\nt.json\n", 2, "not a number of shells"},
        {"one name for both files", header + "     1     2     3  1.000E+02  1.000E+01\n!END_OF_DATA\n",
         "d.hkl\n\n\nt.txt\nt.txt\n", 2, "one name"},
        {"a cut file", header + "     1     2     3  1.000E+02  1.000E+01\n", "d.hkl\n\n\nt.txt\nt.json\n", 2,
         "d.hkl"},
        {"every shell limit at lower resolution than the data", header + "     0     0     2  1.000E+02  1.000E+01\n!END_OF_DATA\n",
         "d.hkl\n\n50 40\nt.txt\nt.json\n", 2, "every shell limit given is at lower resolution than the data, which begin at 35.000 A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::ScratchDir dir;
        testsupport::writeFile(dir / "d.hkl", c.data);
        const auto result = testsupport::run(testsupport::program("ovostats"), c.answers, dir.path());
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.report), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(fs::exists(dir / "t.txt"));
        EXPECT_FALSE(fs::exists(dir / "t.json"));
        size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++files;
        EXPECT_EQ(files, 1u);
    }
}

// Shell limits at or below the data's lowest resolution are left out: the
// reflection 0 0 2 (35 A) alone at the low end, the rest to 16.837 A, once put
// a shell of no width at 35.000 35.000 (ten steps of 1/d^2 from 0 put
// limits at 53.2 and 37.6 A, both beyond the data: eight shells remain).
TEST(Ovostats, ShellsBeginWithTheDataAndHaveWidth) {
    const std::string data =
        "!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=TRUE\n!SPACE_GROUP_NUMBER=   19\n"
        "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n"
        "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n"
        "     0     0     2  1.000E+02  1.000E+01\n     1     1     1  1.000E+02  1.000E+01\n"
        "     2     2     2  1.000E+02  1.000E+01\n     2     2     2  1.100E+02  1.000E+01\n!END_OF_DATA\n";
    const struct {
        const char* shells;
        size_t rows;
        const char* last;  // d_min of the last shell
    } cases[] = {{"", 8, "16.837"}, {"volume 4", 4, "16.837"}, {"40 20 10", 2, "10.000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("shells \"") + c.shells + "\"");
        testsupport::ScratchDir dir;
        testsupport::writeFile(dir / "d.hkl", data);
        const auto result = testsupport::run(testsupport::program("ovostats"),
                                             std::string("d.hkl\n\n") + c.shells + "\nt.txt\nt.json\n", dir.path());
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::pair<std::string, std::string>> rows;
        for (const std::string& line : testsupport::lines(testsupport::readFile(dir / "t.txt"))) {
            std::istringstream in(line);
            std::string dMax, dMin;
            if (in >> dMax >> dMin && std::isdigit(static_cast<unsigned char>(dMax[0]))) rows.emplace_back(dMax, dMin);
            if (line.find("overall") != std::string::npos) break;  // the first table only
        }
        ASSERT_EQ(rows.size(), c.rows) << testsupport::readFile(dir / "t.txt");
        EXPECT_EQ(rows.front().first, "35.000");
        EXPECT_EQ(rows.back().second, c.last);
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_NE(rows[i].first, rows[i].second) << "shell " << i + 1;
            if (i > 0) {
                EXPECT_EQ(rows[i].first, rows[i - 1].second);
            }
        }
    }
}

// Intensities that sum to zero or less leave the R values undefined (no
// number, not a negative one), while the other numbers stand.
TEST(Ovostats, RValuesOfIntensitiesSummingBelowZeroAreUndefined) {
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "d.hkl",
                           "!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=TRUE\n!SPACE_GROUP_NUMBER=   19\n"
                           "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n"
                           "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n!END_OF_HEADER\n"
                           "     1     2     3 -5.000E+00  1.000E+01\n     1     2     3 -3.000E+00  1.000E+01\n"
                           "!END_OF_DATA\n");
    const auto result = testsupport::run(testsupport::program("ovostats"), "d.hkl\n\n\nt.txt\nt.json\n", dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string json = testsupport::readFile(dir / "t.json");
    for (const char* item : {"\"r_merge\": -", "\"r_meas\": -", "\"r_pim\": -"}) {
        EXPECT_EQ(json.find(item), std::string::npos) << item << " in " << json;
    }
    EXPECT_NE(json.find("\"r_merge\": null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"n_obs\": 2"), std::string::npos) << json;
}

}  // namespace

namespace {

// ovoreport given ovostats's table as its last answer: both tables in the
// statistics without any log, and the deposition items of the data kept in
// place of ovofit's; the same run answered one line short reports as
// before, the table left out.
TEST(Ovostats, OvoreportShowsTheTablesAndDepositsTheKeptData) {
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "t.txt", text({sample("all", true, true, true), sample("kept", true, true, true)}));
    testsupport::writeFile(dir / "fit.cif",
                           "data_ovofit\n_reflns.entry_id UNNAMED\n_reflns.pdbx_percent_possible_spherical 98.6\n"
                           "loop_\n_reflns_shell.pdbx_ordinal\n_reflns_shell.d_res_high\n1 3.0\n2 2.5\n");
    const std::string before = std::string(7, '\n') + "fit.cif\n\n\n\nreport.html\nreport.json\n";
    const auto whole = testsupport::run(testsupport::program("ovoreport"), before + "t.txt\n", dir.path());
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::string html = testsupport::readFile(dir / "report.html");
    EXPECT_NE(html.find("Computed by ovostats"), std::string::npos);
    EXPECT_NE(html.find("<th>all</th><th>kept</th>"), std::string::npos);
    EXPECT_EQ(html.find("both logs, the starting and the final"), std::string::npos);
    const std::string json = testsupport::readFile(dir / "report.json");
    EXPECT_NE(json.find("\"merging_statistics\": {\"file\": \"t.txt\""), std::string::npos);
    const size_t item = json.find("_reflns.pdbx_percent_possible_spherical ");
    ASSERT_NE(item, std::string::npos) << json;
    EXPECT_EQ(json.substr(json.find_first_not_of(' ', item + 40), 4), "99.7") << json;
    EXPECT_EQ(json.find("98.6"), std::string::npos);
    EXPECT_NE(json.find("_reflns_shell.pdbx_CC_half"), std::string::npos);
    EXPECT_EQ(json.find("_reflns_shell.pdbx_ordinal\\n_reflns_shell.d_res_high\\n1 3.0"), std::string::npos);

    testsupport::ScratchDir old;
    testsupport::writeFile(old / "fit.cif", testsupport::readFile(dir / "fit.cif"));
    const auto shortRun = testsupport::run(testsupport::program("ovoreport"), before, old.path());
    ASSERT_EQ(shortRun.status, 0) << shortRun.err;
    EXPECT_NE(testsupport::readFile(old / "report.json").find("\"merging_statistics\": null"), std::string::npos);
}

}  // namespace
