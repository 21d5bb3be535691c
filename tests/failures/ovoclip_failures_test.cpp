// ovoclip on damaged, missing and misnamed inputs: what it reports, its exit
// status, and exactly which files the folder holds afterwards.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

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

TEST(OvoclipFailures, FolderGivenForEachFile) {
    struct Case {
        const char* what;
        Contents before;
        std::string answers;
        std::string named;
        Contents written;  // beside what was there before
    };
    const std::vector<Case> cases = {
        {"input script", with(inputs(), {{"scripts", kFolder}}), "scripts\npv.inp\n", "\"scripts\"", {}},
        {"XDS file", {{"ovo.inp", script("data")}, {"data", kFolder}}, kAnswers, "\"data\"",
         {{"data      _reslimit.dat", kResLimit}}},
        {"truncated file", with(inputs(script("XDS_ASCII.HKL", "out")), {{"out", kFolder}}), kAnswers, "\"out\"",
         {{"XDS_ASCII._reslimit.dat", kResLimit}}},
        {"reslimit file", with(inputs(), {{"XDS_ASCII._reslimit.dat", kFolder}}), kAnswers,
         "\"XDS_ASCII._reslimit.dat\"", {}},
        {"planeview script", with(inputs(), {{"pv", kFolder}}), "ovo.inp\npv\n", "\"pv\"",
         {{"XDS_ASCII._reslimit.dat", kResLimit}, {"trunc.hkl", kTruncated}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        writeAll(f, c.before);
        expectFailure(f.run("ovoclip", c.answers), "ovoclip", {c.named});
        EXPECT_EQ(f.contents(), with(c.before, c.written));
    }
}

TEST(OvoclipFailures, NamesThatCannotBeOpenedEvenByRoot) {
    // A path through a file, a folder that does not exist, and a socket.
    Folder f;
    {
        const Contents before = inputs(script("XDS_ASCII.HKL/inner"));
        writeAll(f, before);
        expectFailure(f.run("ovoclip", kAnswers), "ovoclip", {"\"XDS_ASCII.HKL/inner\"", "Not a directory"});
        EXPECT_EQ(f.contents(), with(before, {{"XDS_ASCII._reslimit.dat", kResLimit}}));
    }
    {
        Folder g;
        const Contents before = inputs(script("XDS_ASCII.HKL", "no/such/folder.hkl"));
        writeAll(g, before);
        expectFailure(g.run("ovoclip", kAnswers), "ovoclip", {"\"no/such/folder.hkl\"", "No such file"});
        EXPECT_EQ(g.contents(), with(before, {{"XDS_ASCII._reslimit.dat", kResLimit}}));
    }
    {
        Folder g;
        writeAll(g, inputs());
        expectFailure(g.run("ovoclip", "ovo.inp\nnowhere/pv.inp\n"), "ovoclip", {"\"nowhere/pv.inp\"", "No such file"});
        EXPECT_EQ(g.contents(), with(inputs(), {{"XDS_ASCII._reslimit.dat", kResLimit}, {"trunc.hkl", kTruncated}}));
    }
    {
        Folder g;
        writeAll(g, inputs());
        const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(socketFd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = (g / "socket.inp").string();
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::copy(path.begin(), path.end(), address.sun_path);
        ASSERT_EQ(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        expectFailure(g.run("ovoclip", "socket.inp\npv.inp\n"), "ovoclip", {"\"socket.inp\""});
        ::close(socketFd);
        EXPECT_EQ(testsupport::lines(g.result.out).size(), 1u);  // the first prompt only
    }
}

TEST(OvoclipFailures, UnreadableScript) {
    Folder f;
    writeAll(f, inputs());
    failures::expectUnreadableInput(f, "ovoclip", kAnswers, "ovo.inp");
}

TEST(OvoclipFailures, OutputNamedLikeAnInputLeavesTheInputAlone) {
    {
        Folder f;
        const Contents before = inputs(script("XDS_ASCII.HKL", "XDS_ASCII.HKL"));
        writeAll(f, before);
        expectFailure(f.run("ovoclip", kAnswers), "ovoclip", {"\"XDS_ASCII.HKL\"", "already exists"});
        EXPECT_EQ(f.contents(), with(before, {{"XDS_ASCII._reslimit.dat", kResLimit}}));
    }
    {
        Folder f;
        writeAll(f, inputs());
        expectFailure(f.run("ovoclip", "ovo.inp\novo.inp\n"), "ovoclip", {"\"ovo.inp\"", "already exists"});
        EXPECT_EQ(f.contents(), with(inputs(), {{"XDS_ASCII._reslimit.dat", kResLimit}, {"trunc.hkl", kTruncated}}));
    }
}

TEST(OvoclipFailures, LeadingAndEmbeddedBlanksArePartOfEveryName) {
    Folder f;
    const std::string text = script("  my data.hkl", " cut  file.hkl   ");
    writeAll(f, {{" my script.inp", text}, {"  my data.hkl", kData}});
    ASSERT_EQ(f.run("ovoclip", " my script.inp   \n  pv  script \n").status, 0) << f.result.err;
    EXPECT_EQ(f.contents(), (Contents{{" my script.inp", text},
                                      {"  my data.hkl", kData},
                                      {"  my data._reslimit.dat", kResLimit},
                                      {" cut  file.hkl", kTruncated},
                                      {"  pv  script", kPlaneviewScript}}));
}

TEST(OvoclipFailures, LastAnswerWithoutALineEndStillCounts) {
    Folder f;
    writeAll(f, inputs());
    ASSERT_EQ(f.run("ovoclip", "ovo.inp\npv.inp").status, 0) << f.result.err;
    EXPECT_EQ(f.contents(), with(inputs(), {{"XDS_ASCII._reslimit.dat", kResLimit},
                                            {"trunc.hkl", kTruncated},
                                            {"pv.inp", kPlaneviewScript}}));
}

}  // namespace
