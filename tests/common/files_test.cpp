#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>
#include <vector>
#include <csignal>
#include <cstring>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "testsupport.hpp"

using testsupport::ScratchDir;

TEST(Files, LinesDropTheLineFeedAndACarriageReturnBeforeIt) {
    ScratchDir dir;
    // A line longer than the read buffer, a CR only before a LF, a last
    // line without a line feed.
    const std::string longLine(3 << 20, 'x');
    testsupport::writeFile(dir / "in", "one\r\n\r\ntwo\rthree\n" + longLine + "\nlast\r");
    common::InputFile in((dir / "in").string());
    std::string_view line;
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "one");
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "");
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "two\rthree");
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line.size(), common::kLongestLine);  // cut: the rest is passed over
    EXPECT_TRUE(in.lineCut());
    ASSERT_TRUE(in.next(line));
    EXPECT_FALSE(in.lineCut());
    EXPECT_EQ(line, "last\r");
    EXPECT_EQ(in.lineNumber(), 5u);
    EXPECT_FALSE(in.next(line));
}

// Lines longer than the buffer taken piece by piece come out whole, a
// carriage return at a cut included, in memory bounded by the buffer.
TEST(Files, LongLinesCopiedInPiecesComeOutWhole) {
    ScratchDir dir;
    const size_t n = common::kLongestLine;
    std::string crAtCut(n - 1, 'a');
    crAtCut += "\r";
    const std::string lines[] = {std::string(3 * n + 17, 'b'), crAtCut, crAtCut + "c", "short", std::string(n, 'd')};
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    text += std::string(2 * n, 'e') + "\r";  // the last line, without a line feed
    testsupport::writeFile(dir / "in", text);

    common::InputFile in((dir / "in").string());
    std::string copied;
    std::string_view line, piece;
    while (in.next(line)) {
        copied += line;
        while (in.nextPiece(piece)) copied += piece;
        copied += "\n";
    }
    std::string expected;
    for (const auto& l : lines) expected += l + "\n";
    expected += std::string(2 * n, 'e') + "\r\n";
    EXPECT_EQ(copied == expected, true);
    EXPECT_EQ(in.lineNumber(), 6u);
    // A name that can name no file.
    EXPECT_THROW(common::InputFile(std::string("in\0x", 4)), common::RunTimeFailure);
    EXPECT_THROW(common::OutputFile(std::string(common::kLongestName + 1, 'n')), common::RunTimeFailure);
}

TEST(Files, OldMustExistAndNewMustNot) {
    ScratchDir dir;
    EXPECT_THROW(common::InputFile((dir / "missing").string()), common::RunTimeFailure);
    EXPECT_THROW(common::InputFile(dir.path().string()), common::RunTimeFailure);  // a directory
    EXPECT_THROW(common::InputFile(""), common::RunTimeFailure);

    testsupport::writeFile(dir / "kept", "precious\n");
    try {
        common::OutputFile out((dir / "kept").string());
        FAIL() << "an existing file was opened as new";
    } catch (const common::RunTimeFailure& failure) {
        EXPECT_NE(std::string(failure.what()).find("already exists"), std::string::npos);
    }
    EXPECT_EQ(testsupport::readFile(dir / "kept"), "precious\n");
}

TEST(Files, OutputKeepsWhatWasWrittenWhenTheRunUnwinds) {
    ScratchDir dir;
    try {
        common::OutputFile out((dir / "out").string());
        out.writeRecord("first");
        out.writeRecord(std::string(2 << 20, 'y'));  // larger than the buffer
        out.writeRecord("last");
        common::fail("stop");
    } catch (const common::RunTimeFailure&) {
    }
    const std::string text = testsupport::readFile(dir / "out");
    EXPECT_EQ(text.size(), 6 + (2u << 20) + 1 + 5);
    EXPECT_EQ(text.substr(text.size() - 5), "last\n");
}

// What a folder holds, hidden files included: name and content.
std::map<std::string, std::string> folderContents(const ScratchDir& dir) {
    std::map<std::string, std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        all[entry.path().filename().string()] = testsupport::readFile(entry.path());
    }
    return all;
}

// A run of two all-or-nothing files in one RunOutputs, ended in each way a
// run ends: the names it took stay only when it keeps them, and a name
// another run took meanwhile is never removed.
TEST(Files, RunOutputsRemoveExactlyTheNamesTheRunTook) {
    enum class End { kept, failedAfterBoth, anotherRunTookTheSecond, failedBeforeAny };
    const struct {
        const char* what;
        End end;
        std::map<std::string, std::string> left;
    } cases[] = {
        {"kept", End::kept, {{"a", "a\n"}, {"b", "b\n"}}},
        {"a failure after both were named", End::failedAfterBoth, {}},
        {"another run's file under the second name", End::anotherRunTookTheSecond, {{"b", "theirs"}}},
        {"a failure before either was named", End::failedBeforeAny, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        const std::string a = (dir / "a").string(), b = (dir / "b").string();
        try {
            common::RunOutputs outputs;
            common::AllOrNothingFile first(outputs, a), second(outputs, b);
            first.writeRecord("a");
            second.writeRecord("b");
            if (c.end == End::failedBeforeAny) common::fail("stop");
            if (c.end == End::anotherRunTookTheSecond) testsupport::writeFile(dir / "b", "theirs");
            first.close();
            second.close();
            if (c.end == End::failedAfterBoth) common::fail("stop");
            outputs.keep();
        } catch (const common::RunTimeFailure& failure) {
            EXPECT_NE(c.end, End::kept) << failure.message();
            if (c.end == End::anotherRunTookTheSecond) {
                EXPECT_NE(failure.message().find("created during the run"), std::string::npos) << failure.message();
            }
        }
        EXPECT_EQ(folderContents(dir), c.left);
    }
}

// A signal that ends the run after it named one file and while it writes
// another removes both, and the run still ends by that signal.
TEST(Files, RunOutputsAreRemovedByASignalThatEndsTheRun) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        SCOPED_TRACE(strsignal(signal));
        ScratchDir dir;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::signal(signal, SIG_DFL);
            common::RunOutputs outputs;
            common::AllOrNothingFile first(outputs, (dir / "a").string()), second(outputs, (dir / "b").string());
            first.writeRecord("a");
            first.close();
            second.writeRecord("b");
            second.flush();
            ::raise(signal);
            _exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(folderContents(dir), (std::map<std::string, std::string>{}));
    }
}

// An output named like another, spelt otherwise, is the same file, whether
// or not it exists yet.
TEST(Files, SameFileSeesOneNameSpeltOtherwise) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "sub");
    const std::string here = (dir / "r.html").string();
    const struct {
        std::string x, y;
        bool same;
    } cases[] = {
        {"r.html", "./r.html", true},
        {"r.html", here, true},
        {"r.html", "sub/../r.html", true},
        {"./r.html", "r.html", true},
        {"r.html", "r.json", false},
        {"r.html", "sub/r.html", false},
    };
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (const bool exists : {false, true}) {
        if (exists) testsupport::writeFile(dir / "r.html", "");
        for (const auto& c : cases) EXPECT_EQ(common::sameFile(c.x, c.y), c.same) << c.x << " " << c.y << " " << exists;
    }
    std::filesystem::current_path(before);
}

TEST(Files, NamesKeepLeadingAndEmbeddedBlanks) {
    EXPECT_EQ(common::fileNameFrom(" my file.hkl   "), " my file.hkl");
    EXPECT_EQ(common::fileNameFrom("    "), "");
}

namespace {

// The search for a line by its columns against the same file read line by
// line: the line found, its number, and every line after it.
void expectSameAsLineByLine(const std::filesystem::path& file, std::string_view text, int column) {
    common::InputFile searched(file.string());
    common::InputFile read(file.string());
    std::string_view line, expected;
    for (int match = 0;; ++match) {
        bool readFound = false;
        while (read.next(expected)) {
            if (expected.size() >= static_cast<size_t>(column - 1) + text.size() && expected.substr(static_cast<size_t>(column - 1), text.size()) == text) {
                readFound = true;
                break;
            }
        }
        const bool searchFound = searched.skipToLine(text, column, line);
        ASSERT_EQ(searchFound, readFound) << "match " << match;
        ASSERT_EQ(searched.lineNumber(), read.lineNumber()) << "match " << match;
        if (!searchFound) break;
        ASSERT_EQ(line, expected);
        // The next line is read normally after the one found.
        const bool more = read.next(expected);
        ASSERT_EQ(searched.next(line), more);
        if (!more) break;
        ASSERT_EQ(line, expected);
    }
}

}  // namespace

TEST(Files, SkipToLineFindsWhatReadingLineByLineFinds) {
    ScratchDir dir;
    // Lines of letters that make the text only where it is put: in its
    // columns, a column off to either side, cut by a line feed, cut by the
    // end of a read buffer (the lines run to 3 MB), after a carriage
    // return, on lines longer than the buffer, and as the last line without
    // a line feed.
    testsupport::Random random(88172645463325252ull);
    for (int round = 0; round < 12; ++round) {
        std::string content;
        const size_t size = round < 4 ? 3000 : 3u << 20;
        while (content.size() < size) {
            std::string line(random(70), 'a');
            for (char& c : line) c = "abcdefg = -3.0Bne\r"[random(18)];
            switch (random(40)) {
                case 0: line = "     eigenB" + line; break;
                case 1: line = "    eigenB" + line; break;
                case 2: line = "      eigenB" + line; break;
                case 3: line = "     eigen"; break;
                case 4: line = std::string(45, ' ') + "= -3.0"; break;
                case 5: line = std::string(44, ' ') + "= -3.0" + line; break;
                case 6: line = "     eigenB\r"; break;
                case 7:
                    if (random(500) == 0) line.assign((1u << 20) + random(3u << 20), 'x');
                    break;
                default: break;
            }
            content += line;
            content += '\n';
        }
        if (round % 3 == 1) content += "     eigenB";                  // no line feed at the end
        if (round % 3 == 2) content += std::string(45, ' ') + "= -3";  // cut by the end
        testsupport::writeFile(dir / "log", content);
        SCOPED_TRACE("round " + std::to_string(round));
        expectSameAsLineByLine(dir / "log", "eigenB", 6);
        expectSameAsLineByLine(dir / "log", "= -3.0", 46);
        expectSameAsLineByLine(dir / "log", "ab", 1);
        expectSameAsLineByLine(dir / "log", "nowhere", 3);
    }
}

// The wide search against the plain one on random stretches of short
// lines that hold the text's bytes often: the same line found, or the same
// count of line feeds.
TEST(Files, Sse2TextSearchEqualsTheScalarOne) {
#if SUITE_SSE2
    testsupport::Random random(61);
    const std::string_view texts[] = {"eigenB", "e", "Be", "= -3.0"};
    for (int i = 0; i < 20000; ++i) {
        // Now and then long enough that the SSE2 form adds its line-feed
        // counters up more than once.
        std::string bytes(i % 100 == 0 ? 5000 + random(20000) : random(700), ' ');
        for (char& c : bytes) c = "eigenB= -3.0\n\n"[random(14)];
        if (i % 100 == 50) bytes.assign(10000 + random(100), '\n');  // every byte counted
        const std::string_view text = texts[random(4)];
        const size_t offset = random(6);
        const char* begin = bytes.data();
        const char* end = begin + bytes.size();
        const common::TextSearch plain = common::findLineWithTextScalar(begin, end, text, offset);
        const common::TextSearch wide = common::findLineWithTextSse2(begin, end, text, offset);
        ASSERT_EQ(plain.lineStart, wide.lineStart) << i;
        ASSERT_EQ(plain.newlines, wide.newlines) << i;
    }
#else
    GTEST_SKIP() << "built without SSE2 (SUITE_SIMD=OFF or another machine): only the plain search exists";
#endif
}

TEST(Files, SkipToLineThatIsNotThereReadsTheWholeFile) {
    ScratchDir dir;
    // One line far longer than the buffer holds the word only past its
    // columns; the lines are all counted, the last without a line feed.
    testsupport::writeFile(dir / "log", "a\n" + std::string(5u << 20, ' ') + "eigenB\n\nlast");
    common::InputFile in((dir / "log").string());
    std::string_view line;
    EXPECT_FALSE(in.skipToLine("eigenB", 6, line));
    EXPECT_EQ(in.lineNumber(), 4u);
    EXPECT_FALSE(in.next(line));
    // An empty text or one with a line break is looked for line by line.
    testsupport::writeFile(dir / "short", "ab\n\ncd\n");
    common::InputFile shortFile((dir / "short").string());
    ASSERT_TRUE(shortFile.skipToLine("", 3, line));
    EXPECT_EQ(line, "ab");
    ASSERT_TRUE(shortFile.skipToLine("d\n", 2, line) == false);
    EXPECT_EQ(shortFile.lineNumber(), 3u);
}

TEST(Files, LinesAfterTheEndOfASearchAreNone) {
    ScratchDir dir;
    // Once a search has read the whole file, reading on finds nothing, also
    // when the file ended in a long line without a line feed.
    for (const std::string& tail : {std::string("x\n"), std::string(200, 'y'), std::string(3u << 20, 'z')}) {
        testsupport::writeFile(dir / "log", std::string(300, '\n') + tail);
        common::InputFile in((dir / "log").string());
        std::string_view line;
        ASSERT_TRUE(in.next(line));
        EXPECT_FALSE(in.skipToLine("eigenB", 6, line));
        EXPECT_EQ(in.lineNumber(), 301u);
        EXPECT_FALSE(in.next(line));
        EXPECT_FALSE(in.next(line));
    }
}

namespace {

// Every line of a file as next() gives it, with its number.
std::vector<std::pair<std::string, uint64_t>> allLines(common::InputFile& in) {
    std::vector<std::pair<std::string, uint64_t>> lines;
    std::string_view line;
    while (in.next(line)) lines.emplace_back(std::string(line), in.lineNumber());
    return lines;
}

}  // namespace

// A second pass after a first one stopped anywhere: in a line cut by the
// buffer, after a search, at the end, or before it started.
TEST(Files, RewindGivesTheSameLinesAgainFromLineOne) {
    ScratchDir dir;
    const std::string cut(3 * common::kLongestLine + 5, 'x');
    testsupport::writeFile(dir / "in", "one\r\n" + cut + "\r\n     eigenB\n\nlast\r");
    common::InputFile first((dir / "in").string());
    const auto expected = allLines(first);
    ASSERT_EQ(expected.size(), 5u);
    std::string_view line;
    const struct {
        const char* name;
        std::function<void(common::InputFile&)> firstPass;
    } stops[] = {
        {"nothing read", [](common::InputFile&) {}},
        {"one line", [&](common::InputFile& in) { in.next(line); }},
        {"inside a cut line", [&](common::InputFile& in) {
             in.next(line);
             in.next(line);
             in.nextPiece(line);
         }},
        {"after a search", [&](common::InputFile& in) { in.skipToLine("eigenB", 6, line); }},
        {"a search to the end", [&](common::InputFile& in) { in.skipToLine("nowhere", 1, line); }},
        {"to the end", [&](common::InputFile& in) { allLines(in); }},
    };
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.name);
        common::InputFile in((dir / "in").string());
        stop.firstPass(in);
        in.rewind();
        EXPECT_EQ(in.lineNumber(), 0u);
        EXPECT_EQ(allLines(in), expected);
    }
}

// The second pass reads the file that the first one read, whatever now
// stands under its name; a pipe cannot be read twice and ends the run.
TEST(Files, RewindReadsTheFileOpenedAndRefusesAPipe) {
    ScratchDir dir;
    testsupport::writeFile(dir / "in", "first\n");
    testsupport::writeFile(dir / "other", "second\n");
    common::InputFile in((dir / "in").string());
    std::string_view line;
    ASSERT_TRUE(in.next(line));
    std::filesystem::rename(dir / "other", dir / "in");
    in.rewind();
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "first");

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], "a\n", 2), 2);
    ::close(ends[1]);
    {
        common::InputFile piped("/dev/fd/" + std::to_string(ends[0]));
        ASSERT_TRUE(piped.next(line));
        try {
            piped.rewind();
            FAIL() << "a pipe was rewound";
        } catch (const common::RunTimeFailure& failure) {
            EXPECT_NE(failure.message().find("can be read only once"), std::string::npos) << failure.message();
        }
    }
    ::close(ends[0]);
}
