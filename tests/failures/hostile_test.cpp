// Each program run the way a hostile user or a broken machine runs it:
// standard streams closed, a file-size limit, NUL and escape bytes in names
// and fields, lines and answers of 100 MB, a signal mid-run, a value that
// does not fit the file the next program reads, names longer than 80
// characters and longer than any name. Every run is checked for its status,
// its report, the files it leaves, and a peak memory under 16 MB.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "failure_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using failures::Contents;
using failures::Folder;
using failures::pad;

using testsupport::kSanitized;
// Under AddressSanitizer the shadow memory comes on top, but a line of
// 100 MB held whole would still show.
constexpr long kPeakKb = kSanitized ? 80 << 10 : 16 << 10;
constexpr size_t kHugeLine = 100u << 20;
const std::string kLongName = std::string(120, 'L');     // longer than the 80 or 90 columns of old
const std::string kTooLongName = std::string(5000, 'N');  // longer than any name taken

struct ShellRun {
    int status = -1;  // exit status, or -1 when ended by a signal
    int signal = 0;
    std::string err;
    long peakKb = 0;
};

// Runs `command` with bash in the folder, $P standing for the program's
// path, standard input from a file of `answers`, standard error through a
// pipe (a file-size limit would hold back a file).
ShellRun runShell(const Folder& f, const std::string& program, const std::string& command,
                  const std::string& answers, const std::function<void(pid_t)>& meanwhile = {}) {
    testsupport::ScratchDir io;
    testsupport::writeFile(io / "answers", answers);
    const std::string in = (io / "answers").string();
    const std::string path = testsupport::program(program);
    int errPipe[2];
    if (::pipe(errPipe) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("P", path.c_str(), 1);
        ::signal(SIGPIPE, SIG_DFL);  // head and tr of a pipe end quietly
        if (::chdir(f.dir.path().c_str()) != 0) _exit(127);
        const int input = ::open(in.c_str(), O_RDONLY);
        const int output = ::open("/dev/null", O_WRONLY);
        ::dup2(input, 0);
        ::dup2(output, 1);
        ::dup2(errPipe[1], 2);
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        ::execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(errPipe[1]);
    if (meanwhile) meanwhile(pid);
    ShellRun result;
    char buffer[4096];
    for (ssize_t got; (got = ::read(errPipe[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0) result.err.append(buffer, static_cast<size_t>(got));
        if (got < 0 && errno != EINTR) break;
    }
    ::close(errPipe[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.peakKb = usage.ru_maxrss;
    return result;
}

// A file of texts with 100 MB of `fill` between each two, written a
// megabyte at a time: the test itself stays small, since a child's peak
// memory counts what its parent held when it forked.
void writeHuge(const fs::path& path, const std::vector<std::string>& texts, char fill) {
    std::ofstream out(path, std::ios::binary);
    const std::string block(1 << 20, fill);
    for (size_t i = 0; i < texts.size(); ++i) {
        out << texts[i];
        if (i + 1 == texts.size()) break;
        for (size_t left = kHugeLine; left > 0; left -= block.size()) out << block;
    }
}

// The size of a file and its last bytes, for outputs too large to compare.
std::pair<uintmax_t, std::string> sizeAndEnd(const fs::path& path, size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(-static_cast<std::streamoff>(n), std::ios::end);
    std::string end(n, '\0');
    in.read(end.data(), static_cast<std::streamsize>(n));
    return {fs::file_size(path), end};
}

struct Case {
    std::string what;
    Contents inputs;      // written before the run
    std::string command;  // bash, $P the program; empty: the program alone
    std::string answers;
    int status = 0;
    std::vector<std::string> report;  // fragments of the one report line; none: no report
    std::optional<Contents> adds = std::nullopt;  // exactly the files the run adds, when given
    std::function<void(const Folder&)> check = {};
    std::function<void(Folder&)> setup = {};  // inputs too large to hold
};

// A 100 MB answer of one letter, through a pipe.
const std::string kHugeAnswer = "head -c 104857600 /dev/zero 2>/dev/null | tr '\\0' a 2>/dev/null | \"$P\"";

void runCases(const std::string& program, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        for (const auto& [name, content] : c.inputs) f.write(name, content);
        if (c.setup) c.setup(f);
        const ShellRun run = runShell(f, program, c.command.empty() ? "exec \"$P\"" : c.command, c.answers);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.report.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            testsupport::RunResult result;
            result.err = run.err;
            failures::expectReport(result, program, c.report);
            // Whole, and safe to print: printable ASCII and its line feed.
            for (size_t i = 0; i + 1 < run.err.size(); ++i) {
                EXPECT_TRUE(run.err[i] >= 0x20 && run.err[i] < 0x7f) << "byte " << i << " of " << run.err;
            }
        }
        EXPECT_LT(run.peakKb, kPeakKb);
        if (c.adds) {
            Contents expected = c.inputs;
            expected.insert(c.adds->begin(), c.adds->end());
            EXPECT_EQ(f.contents(), expected);
        }
        if (c.check) c.check(f);
    }
}

const Contents kNothing;

// ---------------------------------------------------------------- ovoclip

const std::string kCell = "   50.00   60.00   70.00   90.00   90.00   90.00";
const std::string kAxes =
    "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000";
const std::string kLimits = "      2.5000      2.0000      1.8000";
std::string ovoScript(const std::string& data = "XDS_ASCII.HKL", const std::string& out = "trunc.hkl") {
    return data + "\n" + out + "\n" + kCell + "\n" + kAxes + "\n" + kLimits + "\n";
}
const std::string kHeader = "!FORMAT=XDS_ASCII    MERGE=TRUE\n!END_OF_HEADER\n";
const std::string kCopiedHeader = pad("!FORMAT=XDS_ASCII    MERGE=TRUE", 80) + "\n!END_OF_HEADER\n";
const std::string kKept = "    19     0     0  1.000E+02  1.000E+01";
const std::string kData = kHeader + kKept + "\n    21     0     0  1.000E+02  1.000E+01\n!END_OF_DATA\n";
const std::string kResLimit = "INCLUDE_RESOLUTION_RANGE=500    1.800\n";
const std::string kOvoAnswers = "ovo.inp\npv.inp\n";
const std::string kOneKept = "        1\n        0\n        0.00\n        1.00\n";  // planeview script

Contents ovoInputs(const std::string& data = kData, const std::string& script = ovoScript()) {
    return {{"ovo.inp", script}, {"XDS_ASCII.HKL", data}};
}

TEST(Hostile, Ovoclip) {
    std::string forty;
    for (int i = 0; i < 40; ++i) forty += kKept + "\n";
    runCases("ovoclip", {
        // Standard output and error closed: the script and the reslimit file
        // would get descriptors 1 and 2, and the warning about the damaged
        // record would land in the reslimit file.
        {"stdout and stderr closed", ovoInputs(kHeader + kKept + "\ndamaged\n"), "exec \"$P\" >&- 2>&-", kOvoAnswers,
         0, {},
         Contents{{"XDS_ASCII._reslimit.dat", kResLimit},
                  {"trunc.hkl", kCopiedHeader + pad(kKept, 76) + "\n!END_OF_DATA\n"},
                  {"pv.inp", kOneKept}}},
        {"stdin closed", ovoInputs(), "exec \"$P\" <&-", "", 2, {"end of standard input"}, kNothing},
        // 2 KiB allowed: the truncated file stops there, the reslimit file is whole.
        {"file-size limit", ovoInputs(kHeader + forty + "!END_OF_DATA\n"), "ulimit -f 2; exec \"$P\"", kOvoAnswers, 2,
         {"\"trunc.hkl\"", "File too large"}, std::nullopt,
         [](const Folder& f) {
             EXPECT_EQ(f.read("XDS_ASCII._reslimit.dat"), kResLimit);
             EXPECT_EQ(fs::file_size(f / "trunc.hkl"), 2048u);
             EXPECT_FALSE(f.exists("pv.inp"));
         }},
        {"NUL in the answer", ovoInputs(), "", "ovo.inp\0x\npv.inp\n"s, 2, {"name of the input script", "NUL"},
         kNothing},
        {"NUL in the script's record 1", ovoInputs(kData, ovoScript("XDS_ASCII.HKL\0.old"s)), "", kOvoAnswers, 2,
         {"line 1 of ovo.inp", "NUL"}, kNothing},
        {"NUL and ESC in a field", ovoInputs(kHeader + "    21     0     0  1.0\x1b[2J\x00" "5  1.0\n"s), "",
         kOvoAnswers, 2, {"line 3 of XDS_ASCII.HKL, columns 19-29", "1.0\\x1b[2J\\x005\"", "is not a number"}},
        // A header line and a kept record of 100 MB each, carried whole.
        {"100 MB lines", {{"ovo.inp", ovoScript("huge.hkl")}}, "", kOvoAnswers, 0, {}, std::nullopt,
         [](const Folder& f) {
             const auto [size, end] = sizeAndEnd(f / "trunc.hkl", 30);
             EXPECT_EQ(size, 7 + kHugeLine + 1 + 15 + kKept.size() + kHugeLine + 1 + 13);
             EXPECT_EQ(end, "rrrrrrrrrrrrrrrr\n!END_OF_DATA\n");
             EXPECT_EQ(f.read("pv.inp"), kOneKept);
         },
         [](Folder& f) {
             writeHuge(f / "huge.hkl", {"!TITLE ", "\n!END_OF_HEADER\n" + kKept, "\r\n!END_OF_DATA\n"}, 'r');
         }},
        {"100 MB answer", ovoInputs(), kHugeAnswer, "", 2, {"name of the input script", "longer than 4096 bytes"},
         kNothing},
        // I of 1.0E+38 in a rejected record: the mean does not fit F12.2,
        // and planeview could not read it.
        {"overflowing mean", ovoInputs(kHeader + "    21     0     0  1.000E+38  1.000E+00\n!END_OF_DATA\n"), "",
         kOvoAnswers, 2, {"\"pv.inp\"", "mean F/sigma", "1e+38", "12 columns"},
         Contents{{"XDS_ASCII._reslimit.dat", kResLimit},
                  {"trunc.hkl", kCopiedHeader + "!END_OF_DATA\n"},
                  {"pv.inp", "        1\n        1\n"}}},
        {"names longer than 80 characters",
         {{kLongName + ".inp", ovoScript(kLongName + ".hkl", kLongName + ".out")}, {kLongName + ".hkl", kData}}, "",
         kLongName + ".inp\n" + kLongName + ".pv   \n", 0, {},
         Contents{{"LLLLLLLLLL_reslimit.dat", kResLimit},
                  {kLongName + ".out", kCopiedHeader + pad(kKept, 76) + "\n!END_OF_DATA\n"},
                  {kLongName + ".pv", "        2\n        1\n       10.00\n        1.00\n"}}},
        {"5000-byte answer", ovoInputs(), "", kTooLongName + "\npv.inp\n", 2, {"longer than 4096 bytes"}, kNothing},
        {"5000-byte name in record 2", ovoInputs(kData, ovoScript("XDS_ASCII.HKL", kTooLongName)), "", kOvoAnswers,
         2, {"line 2 of ovo.inp", "longer than 4096 bytes"}, kNothing},
    });
}

// The reslimit file is written and closed before the reflection file is
// opened: a run ended by SIGTERM while it waits for that file (a pipe that
// no one writes yet) leaves the line whole, not an empty file that blocks
// the next run.
TEST(Hostile, OvoclipEndedBySigtermAfterTheKeywordLine) {
    Folder f;
    f.write("ovo.inp", ovoScript("pipe_input.hkl"));
    ASSERT_EQ(::mkfifo((f / "pipe_input.hkl").c_str(), 0600), 0);
    const ShellRun run = runShell(f, "ovoclip", "exec \"$P\"", kOvoAnswers, [&](pid_t pid) {
        const fs::path keywords = f / "pipe_input_reslimit.dat";
        for (int i = 0; i < 500 && !(fs::exists(keywords) && fs::file_size(keywords) > 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGTERM);
    });
    EXPECT_EQ(run.signal, SIGTERM);
    EXPECT_EQ(f.read("pipe_input_reslimit.dat"), kResLimit);
}

// ---------------------------------------------------------------- honer

const std::string kLog = "Phaser log\n     eigenB (A^2)\n         1.854\n         0.021\n     -23.456   0.0\n";
const std::string kCad =
    "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -23.456\n"
    "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n";
const std::string kHonerAnswers = "phaser.log\ncad.com\n";
Contents logOf(const std::string& log) { return {{"phaser.log", log}}; }

TEST(Hostile, Honer) {
    runCases("honer", {
        {"stdout and stderr closed", logOf(kLog), "exec \"$P\" >&- 2>&-", kHonerAnswers, 0, {},
         Contents{{"cad.com", kCad}}},
        {"file-size limit", logOf(kLog), "ulimit -f 0; exec \"$P\"", kHonerAnswers, 2,
         {"\"cad.com\"", "File too large"}, Contents{{"cad.com", ""}}},
        {"NUL in the answer", logOf(kLog), "", "phaser.log\ncad\0.com\n"s, 2, {"name of the cad input file", "NUL"},
         kNothing},
        {"NUL and ESC in a field", logOf("     eigenB\n\n\n     -2\x00\x1b" "5\n"s), "", kHonerAnswers, 2,
         {"line 4 of phaser.log, columns 6-14", "\\x00\\x1b", "is not a number"}, Contents{{"cad.com", ""}}},
        // A line before the heading and the value record, each of 100 MB.
        {"100 MB lines", {}, "", kHonerAnswers, 0, {}, std::nullopt,
         [](const Folder& f) { EXPECT_EQ(f.read("cad.com"), kCad); },
         [](Folder& f) { writeHuge(f / "phaser.log", {"x", "\n" + kLog.substr(11, kLog.size() - 12), "\n"}, 'x'); }},
        {"100 MB answer", logOf(kLog), kHugeAnswer, "", 2, {"name of the phaser log", "longer than 4096 bytes"},
         kNothing},
        // A B value that F12.3 cannot hold: planeview reads it back.
        {"overflowing B", logOf("     eigenB\n\n\n     1.0E+12\n"), "", kHonerAnswers, 2,
         {"\"cad.com\"", "B value", "1e+12"}, Contents{{"cad.com", "title apply a negative iso B\n"}}},
        {"names longer than 80 characters", {{kLongName, kLog}}, "", kLongName + "\n" + kLongName + ".com\n", 0, {},
         Contents{{kLongName + ".com", kCad}}},
        {"5000-byte answer", logOf(kLog), "", "phaser.log\n" + kTooLongName + "\n", 2, {"longer than 4096 bytes"},
         kNothing},
        // Blanks count where something follows them, and only there.
        {"4100 blanks inside an answer", logOf(kLog), "", "phaser.log\ncad" + std::string(4100, ' ') + "x\n", 2,
         {"name of the cad input file", "longer than 4096 bytes"}, kNothing},
        {"5000 blanks after a name", logOf(kLog), "", "phaser.log" + std::string(5000, ' ') + "\r\ncad.com   \n", 0, {},
         Contents{{"cad.com", kCad}}},
    });
}

// ---------------------------------------------------------------- mergetab

const std::string kMarker = " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION";
std::string shellRow(int j, const std::string& label = "") {
    char text[128];
    std::snprintf(text, sizeof text, "   %6.2f%12d%8d%10d%11.1f%%%10.1f%%%21s%6.2f", 10.0 - 0.4 * j, 1000 + j, 250, 260,
                  99.0, 3.0, "", 20.0);
    return label.empty() ? text : "   " + label + (text + 9);
}
std::string xscaleLog() {
    std::string text = "XSCALE log\n" + kMarker + "\n RESOLUTION\n   LIMIT\n\n";
    for (int j = 1; j <= 20; ++j) text += shellRow(j) + "\n";
    return text + shellRow(21, " total") + "\n";
}
Contents logsOf(const std::string& start, const std::string& final) {
    return {{"start.lp", start}, {"final.lp", final}};
}
std::function<void(const Folder&)> tableIn(const std::string& name) {
    return [=](const Folder& f) { EXPECT_EQ(testsupport::lines(f.read(name)).size(), 25u); };
}

TEST(Hostile, Mergetab) {
    const std::string answers = "start.lp\nfinal.lp\nstats.html\n";
    const std::string log = xscaleLog();
    std::string damaged = log;
    damaged.replace(damaged.find(shellRow(3)) + 14, 4, "1\x00\x1b" "2"s);
    runCases("mergetab", {
        {"stdout and stderr closed", logsOf(log, log), "exec \"$P\" >&- 2>&-", answers, 0, {}, std::nullopt,
         tableIn("stats.html")},
        {"file-size limit", logsOf(log, log), "ulimit -f 1; exec \"$P\"", answers, 2,
         {"\"stats.html\"", "File too large"}, std::nullopt,
         [](const Folder& f) { EXPECT_EQ(fs::file_size(f / "stats.html"), 1024u); }},
        {"NUL in the answer", logsOf(log, log), "", "start.lp\nfinal.lp\0\nstats.html\n"s, 2,
         {"name of the final XSCALE.LP file", "NUL"}, kNothing},
        {"NUL and ESC in a field", logsOf(log, damaged), "", answers, 2,
         {"line 8 of final.lp", "\\x00\\x1b", "is not a number"}},
        // A line before the marker and the first shell row, each of 100 MB.
        {"100 MB lines", {{"final.lp", log}}, "", answers, 0, {}, std::nullopt, tableIn("stats.html"),
         [log](Folder& f) {
             const size_t marker = log.find(kMarker), rowEnd = log.find('\n', log.find(shellRow(1)));
             writeHuge(f / "start.lp",
                       {log.substr(0, marker), "\n" + log.substr(marker, rowEnd - marker), log.substr(rowEnd)}, ' ');
         }},
        {"100 MB answer", logsOf(log, log), kHugeAnswer, "", 2,
         {"name of the starting XSCALE.LP file", "longer than 4096 bytes"}, kNothing},
        {"names longer than 90 characters", {{kLongName + ".lp", log}, {"final.lp", log}}, "",
         kLongName + ".lp\nfinal.lp\n" + kLongName + ".html\n", 0, {}, std::nullopt, tableIn(kLongName + ".html")},
        {"5000-byte answer", logsOf(log, log), "", "start.lp\nfinal.lp\n" + kTooLongName + "\n", 2,
         {"longer than 4096 bytes"}, kNothing},
    });
}

// ---------------------------------------------------------------- planeview

const std::string kPlaneviewScript = "XDS_ASCII.HKL\ntrunc.hkl\n" + kCell + "\naxes\n" + kLimits + "\n";
const std::string kFinRecord =
    "   0   6   0      250.00       10.00        0.00        0.00        0.00        0.00        0.00        0.00";
const std::string kPv = "    45678\n     5678\n        1.23\n    40000.00\n";
const std::string kPlaneviewAnswers = "script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n";

Contents planeviewInputs(const std::string& fin = kFinRecord + "\n") {
    return {{"script.inp", kPlaneviewScript}, {"fin.dat", fin}, {"pv.inp", kPv}, {"cad.inp", kCad}};
}
std::function<void(const Folder&)> pageEndsWell(const std::string& name = "out.ps") {
    return [=](const Folder& f) { EXPECT_EQ(testsupport::lines(f.read(name)).back(), "showpage"); };
}

TEST(Hostile, Planeview) {
    runCases("planeview", {
        {"stdout and stderr closed", planeviewInputs(), "exec \"$P\" >&- 2>&-", kPlaneviewAnswers, 0, {},
         std::nullopt, pageEndsWell()},
        {"file-size limit", planeviewInputs(), "ulimit -f 1; exec \"$P\"", kPlaneviewAnswers, 2,
         {"\"out.ps\"", "File too large"}, std::nullopt,
         [](const Folder& f) { EXPECT_EQ(fs::file_size(f / "out.ps"), 1024u); }},
        {"NUL in the answer", planeviewInputs(), "", "script.inp\nfin\0.dat\nout.ps\npv.inp\ncad.inp\n"s, 2,
         {"name of the fin file", "NUL"}, kNothing},
        {"NUL and ESC in a field", planeviewInputs("   0   6   0      2\x00\x1b" "0.00\n"s), "", kPlaneviewAnswers,
         2, {"line 1 of fin.dat", "\\x00\\x1b", "is not a number"}},
        // A fin record, a planeview script record and a cad record each
        // followed by 100 MB on their line.
        {"100 MB lines", {{"script.inp", kPlaneviewScript}}, "", kPlaneviewAnswers, 0, {}, std::nullopt,
         pageEndsWell(),
         [](Folder& f) {
             writeHuge(f / "fin.dat", {kFinRecord, "\n"}, ' ');
             writeHuge(f / "pv.inp", {"    45678", "\n" + kPv.substr(10)}, 'p');
             writeHuge(f / "cad.inp", {kCad.substr(0, kCad.find("\nLABI")), kCad.substr(kCad.find("\nLABI"))}, 'c');
         }},
        {"/dev/zero as the fin file", planeviewInputs(), "", "script.inp\n/dev/zero\nout.ps\npv.inp\ncad.inp\n", 2,
         {"line 1 of /dev/zero", "\\x00"}},
        {"100 MB answer", planeviewInputs(), kHugeAnswer, "", 2,
         {"name of the ovoclip input file", "longer than 4096 bytes"}, kNothing},
        {"names longer than 80 characters",
         {{kLongName + ".inp", kPlaneviewScript}, {kLongName + ".fin", kFinRecord + "\n"}, {kLongName + ".pv", kPv},
          {kLongName + ".cad", kCad}},
         "",
         kLongName + ".inp\n" + kLongName + ".fin\n" + kLongName + ".ps\n" + kLongName + ".pv\n" + kLongName +
             ".cad\n",
         0, {}, std::nullopt, pageEndsWell(kLongName + ".ps")},
        {"5000-byte answer", planeviewInputs(), "", "script.inp\nfin.dat\n" + kTooLongName + "\npv.inp\ncad.inp\n", 2,
         {"longer than 4096 bytes"}, kNothing},
    });
}

}  // namespace
