// ovoclip on damaged inputs: what it reports, its exit status, and exactly
// which files the folder holds afterwards. Missing, misnamed and unreadable
// files: names_test.cpp, over every program.
#include <gtest/gtest.h>

#include "failure_support.hpp"

namespace {

namespace fs = std::filesystem;

using failures::Contents;
using failures::expectFailure;
using failures::expectReport;
using failures::Folder;
using failures::kFolder;
using failures::pad;

const std::string kCell = "   50.00   60.00   70.00   90.00   90.00   90.00";
const std::string kAxes =
    "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000";
const std::string kLimits = "      2.5000      2.0000      1.8000";

std::string script(const std::string& data = "XDS_ASCII.HKL", const std::string& out = "trunc.hkl",
                   const std::string& cell = kCell, const std::string& axes = kAxes,
                   const std::string& limits = kLimits) {
    return data + "\n" + out + "\n" + cell + "\n" + axes + "\n" + limits + "\n";
}

const std::string kHeader = "!FORMAT=XDS_ASCII    MERGE=TRUE\n!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000\n";
const std::string kKept1 = "    19     0     0  1.000E+02  1.000E+01";
const std::string kRejected = "    21     0     0  1.000E+02  1.000E+01";
const std::string kKept2 = "     0    30     0  3.000E+01  3.000E+01";
const std::string kData = kHeader + "!END_OF_HEADER\n" + kKept1 + "\n" + kRejected + "\n" + kKept2 + "\n!END_OF_DATA\n";

// What a complete run on kData writes.
const std::string kCopiedHeader = pad("!FORMAT=XDS_ASCII    MERGE=TRUE", 80) + "\n" +
                                  pad("!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000", 80) + "\n" +
                                  "!END_OF_HEADER\n";
const std::string kTruncated = kCopiedHeader + pad(kKept1, 76) + "\n" + pad(kKept2, 76) + "\n!END_OF_DATA\n";
const std::string kResLimit = "INCLUDE_RESOLUTION_RANGE=500    1.800\n";
const std::string kPlaneviewScript = "        3\n        1\n       10.00\n        2.00\n";
const std::string kAnswers = "ovo.inp\npv.inp\n";

Contents inputs(const std::string& scriptText = script(), const std::string& data = kData) {
    return {{"ovo.inp", scriptText}, {"XDS_ASCII.HKL", data}};
}

void writeAll(const Folder& f, const Contents& files) {
    for (const auto& [name, content] : files) {
        if (content == kFolder) f.mkdir(name); else f.write(name, content);
    }
}

Contents with(Contents files, const Contents& more) {
    for (const auto& [name, content] : more) files[name] = content;
    return files;
}

// ------------------------------------------------------------ input script

TEST(OvoclipFailures, ScriptEndingBeforeEachRecordWritesNothing) {
    const std::string full = script();
    for (int records = 0; records < 4; ++records) {  // after record 4: in the ovoclip tests
        SCOPED_TRACE(records);
        size_t cut = 0;
        for (int i = 0; i < records; ++i) cut = full.find('\n', cut) + 1;
        Folder f;
        writeAll(f, inputs(full.substr(0, cut)));
        expectFailure(f.run("ovoclip", kAnswers), "ovoclip",
                      {"end of file ovo.inp after line " + std::to_string(records), "record " + std::to_string(records + 1)});
        EXPECT_EQ(f.contents(), inputs(full.substr(0, cut)));
    }
}

TEST(OvoclipFailures, EveryNumberFieldOfTheScriptThatIsNoNumber) {
    struct Field {
        int record, first, width;
    };
    std::vector<Field> fields;
    for (int i = 0; i < 6; ++i) fields.push_back({3, 1 + 8 * i, 8});
    for (int i = 0; i < 9; ++i) fields.push_back({4, 1 + 12 * i, 12});
    for (int i = 0; i < 3; ++i) fields.push_back({5, 1 + 12 * i, 12});
    for (const Field& field : fields) {
        for (const std::string bad : {"1.2.3", "--5", "x", "1E"}) {
            std::string records[3] = {kCell, kAxes, kLimits};
            std::string& record = records[field.record - 3];
            record = pad(record, static_cast<size_t>(field.first - 1 + field.width));
            record.replace(static_cast<size_t>(field.first - 1), static_cast<size_t>(field.width),
                           std::string(static_cast<size_t>(field.width) - bad.size(), ' ') + bad);
            const std::string text = script("XDS_ASCII.HKL", "trunc.hkl", records[0], records[1], records[2]);
            SCOPED_TRACE(text);
            Folder f;
            writeAll(f, inputs(text));
            expectFailure(f.run("ovoclip", kAnswers), "ovoclip",
                          {"line " + std::to_string(field.record) + " of ovo.inp, columns " +
                               std::to_string(field.first) + "-" + std::to_string(field.first + field.width - 1),
                           bad, "not a number"});
            EXPECT_EQ(f.contents(), inputs(text));  // the script is read before anything is created
        }
    }
}

TEST(OvoclipFailures, ColumnsPastTheThirdLimitAreNeverRead) {
    const std::string limits = kLimits + "  not a number at all, and more";
    Folder f;
    writeAll(f, inputs(script("XDS_ASCII.HKL", "trunc.hkl", kCell, kAxes, limits)));
    ASSERT_EQ(f.run("ovoclip", kAnswers).status, 0) << f.result.err;
    EXPECT_EQ(f.read("trunc.hkl"), kTruncated);
}

// ------------------------------------------------------------ XDS file

TEST(OvoclipFailures, XdsFileEndingAtEachRecord) {
    const std::vector<std::string> records = {kKept1, kRejected, kKept2};
    for (size_t n = 0; n <= records.size(); ++n) {
        SCOPED_TRACE(n);
        std::string data = kHeader + "!END_OF_HEADER\n";
        std::string copied = kCopiedHeader;
        for (size_t i = 0; i < n; ++i) {
            data += records[i] + "\n";
            if (records[i] != kRejected) copied += pad(records[i], 76) + "\n";
        }
        Folder f;
        writeAll(f, inputs(script(), data));
        expectFailure(f.run("ovoclip", kAnswers), "ovoclip",
                      {"end of file XDS_ASCII.HKL after line " + std::to_string(3 + n), "!END_OF_DATA"});
        EXPECT_EQ(f.contents(), with(inputs(script(), data), {{"XDS_ASCII._reslimit.dat", kResLimit},
                                                              {"trunc.hkl", copied}}));
        EXPECT_EQ(f.result.out.find("reflections were input"), std::string::npos);
    }
}

TEST(OvoclipFailures, EmptyXdsFileEndsInItsHeaderWithNothingCopied) {
    Folder f;
    writeAll(f, inputs(script(), ""));
    f.run("ovoclip", kAnswers);
    EXPECT_EQ(f.result.status, 1);
    expectReport(f.result, "ovoclip", {"XDS_ASCII.HKL", "no end-of-header line"});
    EXPECT_EQ(f.contents(), with(inputs(script(), ""), {{"XDS_ASCII._reslimit.dat", kResLimit}, {"trunc.hkl", ""}}));
}

TEST(OvoclipFailures, ValueFieldsThatAreNoNumberOrBlank) {
    const struct {
        std::string record;
        std::string columns;
    } cases[] = {
        {"    21     0     0  1.0x0E+02  1.000E+01", "columns 19-29"},  // F of a rejected record
        {"    21     0     0             1.000E+01", "columns 19-29"},  // blank F
        {"     0    30     0  3.000E+01", "columns 30-40"},             // blank sigma, short line
        {"     0    30     0  3.000E+01 ,3", "columns 30-40"},          // a comma and then nothing
        {"     0    30     0  3.000E+01       +-3.", "columns 30-40"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        const std::string data = kHeader + "!END_OF_HEADER\n" + kKept1 + "\n" + c.record + "\n" + kKept2 + "\n!END_OF_DATA\n";
        Folder f;
        writeAll(f, inputs(script(), data));
        expectFailure(f.run("ovoclip", kAnswers), "ovoclip", {"line 5 of XDS_ASCII.HKL, " + c.columns});
        EXPECT_EQ(f.contents(), with(inputs(script(), data), {{"XDS_ASCII._reslimit.dat", kResLimit},
                                                              {"trunc.hkl", kCopiedHeader + pad(kKept1, 76) + "\n"}}));
    }
}

// ------------------------------------------------------------ names

// The reslimit file's name is made, not given (every given name:
// names_test.cpp): from the first ten characters of the XDS file's name,
// padded with blanks.
TEST(OvoclipFailures, FolderWhereTheReslimitFileIsNamed) {
    const struct {
        const char* what;
        Contents before;
        std::string named;
        Contents written;  // beside what was there before
    } cases[] = {
        {"XDS file of a short name", {{"ovo.inp", script("data")}, {"data", kFolder}}, "\"data\"",
         {{"data      _reslimit.dat", kResLimit}}},
        {"reslimit file", with(inputs(), {{"XDS_ASCII._reslimit.dat", kFolder}}), "\"XDS_ASCII._reslimit.dat\"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        writeAll(f, c.before);
        expectFailure(f.run("ovoclip", kAnswers), "ovoclip", {c.named});
        EXPECT_EQ(f.contents(), with(c.before, c.written));
    }
}

}  // namespace
