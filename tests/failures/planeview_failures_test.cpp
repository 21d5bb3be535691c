// planeview on damaged inputs: what it reports, its exit status, and
// exactly which files the folder holds afterwards, the page written up to
// the failure and no further. Missing, misnamed and unreadable files:
// names_test.cpp, over every program.
#include <gtest/gtest.h>

#include "failure_support.hpp"
#include "planeview/planeview_files.hpp"

namespace {

namespace fs = std::filesystem;

using failures::Contents;
using failures::expectFailure;
using failures::Folder;
using failures::kFolder;

const std::string kCellRecord = "   50.00   60.00   70.00   90.00   90.00   90.00";
const std::string kLimitRecord = "      2.0000      2.0000      2.0000      0.0000";
std::string script(const std::string& cell = kCellRecord, const std::string& limits = kLimitRecord) {
    return "XDS_ASCII.HKL\ntrunc.hkl\n" + cell + "\n" + "axes, never read as numbers\n" + limits + "\n";
}

// (0, 6, 0) lies in the zones h=0 and l=0; (1, 1, 1) in none, but its -50
// brings the init mean to 100.
const std::string kFinRecord1 =
    "   0   6   0      250.00       10.00        0.00        0.00        0.00        0.00        0.00        0.00";
const std::string kFinRecord2 =
    "   1   1   1      -50.00        1.00        0.00        0.00        0.00        0.00        0.00        0.00";
const std::string kFin = kFinRecord1 + "\n" + kFinRecord2 + "\n";
const std::string kPv = "    45678\n     5678\n        1.23\n    40000.00\n";
const std::string kCad =
    "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -23.456\n"
    "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n";
const std::string kAnswers = "script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n";

// The page as far as the dots, and as far as narrative record 18.
const std::string kHeaderAndDots =
    "%!PS\n%%BoundingBox: 0 -50 700 700\n%%PageBoundingBox: 0 -50 700 700\n0 setgray\n"
    "  -1.000 setgray\n  164.00  350.00 1 0 360 arc fill\n  136.00  350.00 1 0 360 arc fill\n"
    "  -1.000 setgray\n  150.00   64.00 1 0 360 arc fill\n  150.00   36.00 1 0 360 arc fill\n";
const std::string kHeaderOnly = kHeaderAndDots.substr(0, kHeaderAndDots.find("  -1.000"));
const std::string kToNarrative18 =
    kHeaderAndDots + pvtest::kNarrativeFont +
    "30 670 moveto\n"
    "(     45678 reflections were in the initial data set.)show\n"
    "(      5678 were discarded because they fell outside)show\n"
    " 40 650 moveto (the specified ellipsoid with dimensions )show\n"
    "(1/ 2.0,   1/ 2.0,   1/ 2.0 \\305)show (-1) exponent\n"
    "(  along a*,b*,c*, respectively.)show\n"
    "40 630 moveto (These discarded reflections had an )show\n"
    "(average F/sigma of  1.23.)show\n"
    "40 610 moveto\n"
    "(     40000 reflections remain after ellipsoidal )show\n"
    "(truncation.  Anisotropic scale factors were then)show\n"
    "40 590 moveto (applied to remove anisotropy from the )show\n";

Contents inputs(const std::string& scriptText = script(), const std::string& fin = kFin,
                const std::string& pv = kPv, const std::string& cad = kCad) {
    return {{"script.inp", scriptText}, {"fin.dat", fin}, {"pv.inp", pv}, {"cad.inp", cad}};
}

void writeAll(const Folder& f, const Contents& files) {
    for (const auto& [name, content] : files) {
        if (content == kFolder) f.mkdir(name); else f.write(name, content);
    }
}

Contents with(Contents files, const Contents& more) {
    for (const auto& [name, content] : more) {
        files[name] = content;
    }
    return files;
}

Contents without(Contents files, const std::string& name) {
    files.erase(name);
    return files;
}

std::string firstLines(const std::string& text, int n) {
    size_t cut = 0;
    for (int i = 0; i < n; ++i) cut = text.find('\n', cut) + 1;
    return text.substr(0, cut);
}

// A field of a record replaced by `bad`, right-justified.
std::string replaceField(std::string record, int first, int width, const std::string& bad) {
    record.resize(std::max(record.size(), static_cast<size_t>(first - 1 + width)), ' ');
    record.replace(static_cast<size_t>(first - 1), static_cast<size_t>(width),
                   std::string(static_cast<size_t>(width) - bad.size(), ' ') + bad);
    return record;
}

TEST(PlaneviewFailures, StandardInputEndingAtEachPrompt) {
    const std::string prompts[] = {"Please type ovoclip input file", "Type fin file with 4 data sets",
                                   "Type output ps file", "Please type the planeview input file",
                                   "Please type the cad -B input file"};
    for (int answered = 0; answered < 5; ++answered) {
        SCOPED_TRACE(answered);
        Folder f;
        writeAll(f, inputs());
        expectFailure(f.run("planeview", firstLines(kAnswers, answered)), "planeview", {"end of standard input"});
        const auto out = testsupport::lines(f.result.out);
        ASSERT_EQ(out.size(), static_cast<size_t>(answered + 1));
        EXPECT_EQ(out.back(), " " + prompts[answered]);
        EXPECT_EQ(f.contents(), inputs());  // no file is opened before the fifth answer
    }
}

// Every file is opened before anything is read (what a missing or misnamed
// file leaves: names_test.cpp): nothing is echoed.
TEST(PlaneviewFailures, NothingIsReadBeforeEveryFileIsOpened) {
    for (const std::string missing : {"script.inp", "fin.dat", "pv.inp", "cad.inp", "out.ps exists"}) {
        SCOPED_TRACE(missing);
        Folder f;
        writeAll(f, missing == "out.ps exists" ? with(inputs(), {{"out.ps", "keep me\n"}}) : without(inputs(), missing));
        expectFailure(f.run("planeview", kAnswers), "planeview", {});
        EXPECT_EQ(f.result.out.find("a= "), std::string::npos);
    }
}

TEST(PlaneviewFailures, ScriptEndingBeforeEachRecordLeavesAnEmptyPage) {
    for (int records = 0; records < 5; ++records) {
        SCOPED_TRACE(records);
        const std::string cut = firstLines(script(), records);
        Folder f;
        writeAll(f, inputs(cut));
        expectFailure(f.run("planeview", kAnswers), "planeview",
                      {"end of file script.inp after line " + std::to_string(records),
                       "record " + std::to_string(records + 1)});
        EXPECT_EQ(f.contents(), with(inputs(cut), {{"out.ps", ""}}));
    }
}

TEST(PlaneviewFailures, EveryNumberFieldOfTheScriptThatIsNoNumber) {
    struct Field {
        int record, first, width;
    };
    std::vector<Field> fields;
    for (int i = 0; i < 6; ++i) fields.push_back({3, 1 + 8 * i, 8});
    for (int i = 0; i < 3; ++i) fields.push_back({5, 1 + 12 * i, 12});
    for (const Field& field : fields) {
        const std::string cell = field.record == 3 ? replaceField(kCellRecord, field.first, field.width, "9x.0") : kCellRecord;
        const std::string limits =
            field.record == 5 ? replaceField(kLimitRecord, field.first, field.width, "2.0.0") : kLimitRecord;
        SCOPED_TRACE(cell + " / " + limits);
        Folder f;
        writeAll(f, inputs(script(cell, limits)));
        expectFailure(f.run("planeview", kAnswers), "planeview",
                      {"line " + std::to_string(field.record) + " of script.inp, columns " +
                       std::to_string(field.first) + "-" + std::to_string(field.first + field.width - 1)});
        EXPECT_EQ(f.contents(), with(inputs(script(cell, limits)), {{"out.ps", ""}}));
    }
    // Records 1, 2 and 4 and the columns after the third limit are never
    // read as numbers.
    Folder f;
    writeAll(f, inputs(script(kCellRecord, "      2.0000      2.0000      2.0000   no number")));
    ASSERT_EQ(f.run("planeview", kAnswers).status, 0) << f.result.err;
    EXPECT_EQ(f.read("out.ps").substr(0, kToNarrative18.size()), kToNarrative18);
}

TEST(PlaneviewFailures, EveryFieldOfAFinRecordThatIsNoNumber) {
    struct Field {
        int first, width;
    };
    std::vector<Field> fields = {{1, 4}, {5, 4}, {9, 4}};
    for (int i = 0; i < 8; ++i) fields.push_back({13 + 12 * i, 12});
    for (const Field& field : fields) {
        const std::string bad = replaceField(kFinRecord2, field.first, field.width, field.width == 4 ? "1.5" : "1.2.3");
        SCOPED_TRACE(bad);
        const std::string fin = kFinRecord1 + "\n" + bad + "\n";
        Folder f;
        writeAll(f, inputs(script(), fin));
        expectFailure(f.run("planeview", kAnswers), "planeview",
                      {"line 2 of fin.dat, columns " + std::to_string(field.first) + "-" +
                       std::to_string(field.first + field.width - 1)});
        // The first pass ends at the bad field: the page has its header only.
        EXPECT_EQ(f.contents(), with(inputs(script(), fin), {{"out.ps", kHeaderOnly}}));
        EXPECT_EQ(f.result.out.find("ave|F|"), std::string::npos);
    }
}

TEST(PlaneviewFailures, PlaneviewScriptEndingOrNoNumberInEachRecord) {
    std::vector<std::pair<std::string, std::string>> cases;  // planeview script, report
    for (int records = 0; records < 4; ++records) {
        cases.push_back({firstLines(kPv, records), "end of file pv.inp after line " + std::to_string(records)});
    }
    const std::string bad[] = {"    4x678", "     56-8", "       1.2E", "    4000x.00"};
    const std::string columns[] = {"columns 1-9", "columns 1-9", "columns 1-12", "columns 1-9"};
    for (int record = 0; record < 4; ++record) {
        auto lines = testsupport::lines(kPv);
        lines[static_cast<size_t>(record)] = bad[record];
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        cases.push_back({text, "line " + std::to_string(record + 1) + " of pv.inp, " + columns[record]});
    }
    for (const auto& [pv, report] : cases) {
        SCOPED_TRACE(pv);
        Folder f;
        writeAll(f, inputs(script(), kFin, pv));
        expectFailure(f.run("planeview", kAnswers), "planeview", {report});
        EXPECT_EQ(f.contents(), with(inputs(script(), kFin, pv), {{"out.ps", kHeaderAndDots}}));
    }
}

TEST(PlaneviewFailures, ShortOrBadCadInputEndsThePageAtNarrativeRecord18) {
    const std::string title = "title apply a negative iso B\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "end of file cad.inp after line 0"},
        {title, "end of file cad.inp after line 1"},
        {title + "SCAL FILE_NUMBER 1 1.00     -23.4.6\n", "line 2 of cad.inp, columns 25-36"}};
    for (const auto& [cad, report] : cases) {
        SCOPED_TRACE(cad);
        Folder f;
        writeAll(f, inputs(script(), kFin, kPv, cad));
        expectFailure(f.run("planeview", kAnswers), "planeview", {report});
        EXPECT_EQ(f.contents(), with(inputs(script(), kFin, kPv, cad), {{"out.ps", kToNarrative18}}));
        EXPECT_EQ(f.result.out.find("negB applied"), std::string::npos);
    }
}

}  // namespace
