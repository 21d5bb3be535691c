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

constexpr long kPeakKb = 16 << 10;
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

std::string repeated(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

struct Case {
    std::string what;
    std::function<void(Folder&)> setup;
    std::string command;  // bash, $P the program
    std::string answers;
    int status = 0;
    std::vector<std::string> report;  // fragments of the one report line; none: no report
    std::function<void(const Folder&)> check;
};

// A 100 MB answer of one letter, through a pipe.
const std::string kHugeAnswer = "head -c 104857600 /dev/zero 2>/dev/null | tr '\\0' a 2>/dev/null | \"$P\"";

void runCases(const std::string& program, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        c.setup(f);
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
        if (c.check) c.check(f);
    }
}

// ---------------------------------------------------------------- ovoclip

const std::string kCell = "   50.00   60.00   70.00   90.00   90.00   90.00";
const std::string kAxes =
    "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000";
const std::string kLimits = "      2.5000      2.0000      1.8000";
std::string ovoScript(const std::string& data = "XDS_ASCII.HKL", const std::string& out = "trunc.hkl") {
    return data + "\n" + out + "\n" + kCell + "\n" + kAxes + "\n" + kLimits + "\n";
}
const std::string kHeader = "!FORMAT=XDS_ASCII    MERGE=TRUE\n!END_OF_HEADER\n";
const std::string kKept = "    19     0     0  1.000E+02  1.000E+01";
const std::string kRejected = "    21     0     0  1.000E+02  1.000E+01";
const std::string kData = kHeader + kKept + "\n" + kRejected + "\n!END_OF_DATA\n";
const std::string kTruncated = pad("!FORMAT=XDS_ASCII    MERGE=TRUE", 80) + "\n!END_OF_HEADER\n" + pad(kKept, 76) +
                               "\n!END_OF_DATA\n";
const std::string kResLimit = "INCLUDE_RESOLUTION_RANGE=500    1.800\n";
const std::string kPvScript = "        2\n        1\n       10.00\n        1.00\n";

std::function<void(Folder&)> ovoInputs(const std::string& script = ovoScript(), const std::string& data = kData) {
    return [=](Folder& f) {
        f.write("ovo.inp", script);
        f.write("XDS_ASCII.HKL", data);
    };
}
std::function<void(const Folder&)> ovoLeaves(const Contents& more) {
    return [=](const Folder& f) {
        Contents expected = {{"ovo.inp", f.read("ovo.inp")}, {"XDS_ASCII.HKL", f.read("XDS_ASCII.HKL")}};
        for (const auto& [name, content] : more) expected[name] = content;
        EXPECT_EQ(f.contents(), expected);
    };
}
const Contents kOvoComplete = {{"XDS_ASCII._reslimit.dat", kResLimit}, {"trunc.hkl", kTruncated},
                               {"pv.inp", kPvScript}};

TEST(Hostile, Ovoclip) {
    const std::string huge = "huge.hkl";
    runCases("ovoclip", {
        // Standard output and error closed: the script and the reslimit file
        // would get descriptors 1 and 2, and the warning about the damaged
        // record would land in the reslimit file.
        {"stdout and stderr closed", ovoInputs(ovoScript(), kHeader + kKept + "\ndamaged\n"),
         "exec \"$P\" >&- 2>&-", "ovo.inp\npv.inp\n", 0, {},
         ovoLeaves({{"XDS_ASCII._reslimit.dat", kResLimit},
                    {"trunc.hkl", pad("!FORMAT=XDS_ASCII    MERGE=TRUE", 80) + "\n!END_OF_HEADER\n" +
                                      pad(kKept, 76) + "\n!END_OF_DATA\n"},
                    {"pv.inp", "        1\n        0\n        0.00\n        1.00\n"}})},
        {"stdin closed", ovoInputs(), "exec \"$P\" <&-", "", 2, {"end of standard input"}, ovoLeaves({})},
        // 2 KiB allowed: the truncated file stops there, the reslimit file is whole.
        {"file-size limit", ovoInputs(ovoScript(), kHeader + repeated(kKept + "\n", 40) + "!END_OF_DATA\n"),
         "ulimit -f 2; exec \"$P\"", "ovo.inp\npv.inp\n", 2, {"\"trunc.hkl\"", "File too large"},
         [](const Folder& f) {
             EXPECT_EQ(f.read("XDS_ASCII._reslimit.dat"), kResLimit);
             EXPECT_EQ(fs::file_size(f / "trunc.hkl"), 2048u);
             EXPECT_FALSE(f.exists("pv.inp"));
         }},
        {"NUL in the answer", ovoInputs(), "", "ovo.inp\0x\npv.inp\n"s, 2,
         {"name of the input script", "NUL"}, ovoLeaves({})},
        {"NUL in the script's record 1", ovoInputs(ovoScript("XDS_ASCII.HKL\0.old"s)), "",
         "ovo.inp\npv.inp\n", 2, {"line 1 of ovo.inp", "NUL"}, ovoLeaves({})},
        {"NUL and ESC in a field", ovoInputs(ovoScript(), kHeader + "    21     0     0  1.0\x1b[2J\x00" "5  1.0\n"s),
         "", "ovo.inp\npv.inp\n", 2, {"line 3 of XDS_ASCII.HKL, columns 19-29", "1.0\\x1b[2J\\x005\"", "is not a number"},
         nullptr},
        // A header line and a kept record of 100 MB each, carried whole.
        {"100 MB lines", [&](Folder& f) {
             f.write("ovo.inp", ovoScript(huge));
             writeHuge(f / huge, {"!TITLE ", "\n!END_OF_HEADER\n" + kKept, "\r\n!END_OF_DATA\n"}, 'r');
         },
         "", "ovo.inp\npv.inp\n", 0, {},
         [](const Folder& f) {
             const auto [size, end] = sizeAndEnd(f / "trunc.hkl", 30);
             EXPECT_EQ(size, 7 + kHugeLine + 1 + 15 + kKept.size() + kHugeLine + 1 + 13);
             EXPECT_EQ(end, "rrrrrrrrrrrrrrrr\n!END_OF_DATA\n");
             EXPECT_EQ(f.read("pv.inp"), "        1\n        0\n        0.00\n        1.00\n");
         }},
        {"100 MB answer", ovoInputs(), kHugeAnswer, "", 2, {"name of the input script", "longer than 4096 bytes"},
         ovoLeaves({})},
        // I of 1.0E+38 in a rejected record: the mean does not fit F12.2,
        // and planeview could not read it.
        {"overflowing mean", ovoInputs(ovoScript(), kHeader + "    21     0     0  1.000E+38  1.000E+00\n!END_OF_DATA\n"),
         "", "ovo.inp\npv.inp\n", 2, {"\"pv.inp\"", "mean F/sigma", "1e+38", "12 columns"},
         ovoLeaves({{"XDS_ASCII._reslimit.dat", kResLimit},
                    {"trunc.hkl", pad("!FORMAT=XDS_ASCII    MERGE=TRUE", 80) + "\n!END_OF_HEADER\n!END_OF_DATA\n"},
                    {"pv.inp", "        1\n        1\n"}})},
        {"names longer than 80 characters",
         [](Folder& f) {
             f.write(kLongName + ".inp", ovoScript(kLongName + ".hkl", kLongName + ".out"));
             f.write(kLongName + ".hkl", kData);
         },
         "", kLongName + ".inp\n" + kLongName + ".pv   \n", 0, {},
         [](const Folder& f) {
             EXPECT_EQ(f.read("LLLLLLLLLL_reslimit.dat"), kResLimit);
             EXPECT_EQ(f.read(kLongName + ".out"), kTruncated);
             EXPECT_EQ(f.read(kLongName + ".pv"), kPvScript);
             EXPECT_EQ(f.contents().size(), 5u);
         }},
        {"5000-byte answer", ovoInputs(), "", kTooLongName + "\npv.inp\n", 2, {"longer than 4096 bytes"}, ovoLeaves({})},
        {"5000-byte name in record 2", ovoInputs(ovoScript("XDS_ASCII.HKL", kTooLongName)), "", "ovo.inp\npv.inp\n", 2,
         {"line 2 of ovo.inp", "longer than 4096 bytes"}, ovoLeaves({})},
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
    const ShellRun run = runShell(f, "ovoclip", "exec \"$P\"", "ovo.inp\npv.inp\n", [&](pid_t pid) {
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

std::function<void(Folder&)> honerLog(const std::string& log) {
    return [=](Folder& f) { f.write("phaser.log", log); };
}
std::function<void(const Folder&)> honerLeaves(const Contents& more) {
    return [=](const Folder& f) {
        Contents expected = {{"phaser.log", f.read("phaser.log")}};
        for (const auto& [name, content] : more) expected[name] = content;
        EXPECT_EQ(f.contents(), expected);
    };
}

TEST(Hostile, Honer) {
    runCases("honer", {
        {"stdout and stderr closed", honerLog(kLog), "exec \"$P\" >&- 2>&-", "phaser.log\ncad.com\n", 0, {},
         honerLeaves({{"cad.com", kCad}})},
        {"file-size limit", honerLog(kLog), "ulimit -f 0; exec \"$P\"", "phaser.log\ncad.com\n", 2,
         {"\"cad.com\"", "File too large"}, honerLeaves({{"cad.com", ""}})},
        {"NUL in the answer", honerLog(kLog), "", "phaser.log\ncad\0.com\n"s, 2,
         {"name of the cad input file", "NUL"}, honerLeaves({})},
        {"NUL and ESC in a field", honerLog("     eigenB\n\n\n     -2\x00\x1b" "5\n"s), "", "phaser.log\ncad.com\n", 2,
         {"line 4 of phaser.log, columns 6-14", "\\x00\\x1b", "is not a number"}, honerLeaves({{"cad.com", ""}})},
        {"100 MB lines", [](Folder& f) { 
             // A line before the heading and the value record, each of 100 MB.
             writeHuge(f / "phaser.log", {"x", "\n" + kLog.substr(11, kLog.size() - 12), "\n"}, 'x');
         },
         "", "phaser.log\ncad.com\n", 0, {}, [](const Folder& f) { EXPECT_EQ(f.read("cad.com"), kCad); }},
        {"100 MB answer", honerLog(kLog), kHugeAnswer, "", 2, {"name of the phaser log", "longer than 4096 bytes"},
         honerLeaves({})},
        // A B value that F12.3 cannot hold: planeview reads it back.
        {"overflowing B", honerLog("     eigenB\n\n\n     1.0E+12\n"), "", "phaser.log\ncad.com\n", 2,
         {"\"cad.com\"", "B value", "1e+12"}, honerLeaves({{"cad.com", "title apply a negative iso B\n"}})},
        {"names longer than 80 characters", [](Folder& f) { f.write(kLongName, kLog); }, "",
         kLongName + "\n" + kLongName + ".com\n", 0, {},
         [](const Folder& f) { EXPECT_EQ(f.read(kLongName + ".com"), kCad); }},
        {"5000-byte answer", honerLog(kLog), "", "phaser.log\n" + kTooLongName + "\n", 2, {"longer than 4096 bytes"},
         honerLeaves({})},
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

std::function<void(Folder&)> mergeLogs(const std::string& start, const std::string& final) {
    return [=](Folder& f) {
        f.write("start.lp", start);
        f.write("final.lp", final);
    };
}
std::function<void(const Folder&)> mergeLeaves(const Contents& more) {
    return [=](const Folder& f) {
        Contents expected = {{"start.lp", f.read("start.lp")}, {"final.lp", f.read("final.lp")}};
        for (const auto& [name, content] : more) expected[name] = content;
        EXPECT_EQ(f.contents(), expected);
    };
}
std::function<void(const Folder&)> tableIn(const std::string& name) {
    return [=](const Folder& f) { EXPECT_EQ(testsupport::lines(f.read(name)).size(), 25u); };
}

TEST(Hostile, Mergetab) {
    const std::string answers = "start.lp\nfinal.lp\nstats.html\n";
    std::string damaged = xscaleLog();
    damaged.replace(damaged.find(shellRow(3)) + 14, 4, "1\x00\x1b" "2"s);
    runCases("mergetab", {
        {"stdout and stderr closed", mergeLogs(xscaleLog(), xscaleLog()), "exec \"$P\" >&- 2>&-", answers, 0, {},
         tableIn("stats.html")},
        {"file-size limit", mergeLogs(xscaleLog(), xscaleLog()), "ulimit -f 1; exec \"$P\"", answers, 2,
         {"\"stats.html\"", "File too large"},
         [](const Folder& f) { EXPECT_EQ(fs::file_size(f / "stats.html"), 1024u); }},
        {"NUL in the answer", mergeLogs(xscaleLog(), xscaleLog()), "",
         "start.lp\nfinal.lp\0\nstats.html\n"s, 2, {"name of the final XSCALE.LP file", "NUL"},
         mergeLeaves({})},
        {"NUL and ESC in a field", mergeLogs(xscaleLog(), damaged), "", answers, 2,
         {"line 8 of final.lp", "\\x00\\x1b", "is not a number"}, nullptr},
        // A line before the marker and the first shell row, each of 100 MB.
        {"100 MB lines",
         [](Folder& f) {
             const std::string log = xscaleLog();
             const size_t marker = log.find(kMarker), rowEnd = log.find('\n', log.find(shellRow(1)));
             writeHuge(f / "start.lp", {log.substr(0, marker), "\n" + log.substr(marker, rowEnd - marker), log.substr(rowEnd)},
                       ' ');
             f.write("final.lp", log);
         },
         "", answers, 0, {}, tableIn("stats.html")},
        {"100 MB answer", mergeLogs(xscaleLog(), xscaleLog()), kHugeAnswer, "", 2,
         {"name of the starting XSCALE.LP file", "longer than 4096 bytes"}, mergeLeaves({})},
        {"names longer than 90 characters",
         [](Folder& f) {
             f.write(kLongName + ".lp", xscaleLog());
             f.write("final.lp", xscaleLog());
         },
         "", kLongName + ".lp\nfinal.lp\n" + kLongName + ".html\n", 0, {}, tableIn(kLongName + ".html")},
        {"5000-byte answer", mergeLogs(xscaleLog(), xscaleLog()), "", "start.lp\nfinal.lp\n" + kTooLongName + "\n", 2,
         {"longer than 4096 bytes"}, mergeLeaves({})},
    });
}

// ---------------------------------------------------------------- planeview

const std::string kPlaneviewScript = "XDS_ASCII.HKL\ntrunc.hkl\n" + kCell + "\naxes\n" + kLimits + "\n";
const std::string kFinRecord =
    "   0   6   0      250.00       10.00        0.00        0.00        0.00        0.00        0.00        0.00";
const std::string kPv = "    45678\n     5678\n        1.23\n    40000.00\n";
const std::string kPlaneviewAnswers = "script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n";

std::function<void(Folder&)> planeviewInputs(const std::string& fin = kFinRecord + "\n", const std::string& pv = kPv,
                                             const std::string& cad = kCad) {
    return [=](Folder& f) {
        f.write("script.inp", kPlaneviewScript);
        f.write("fin.dat", fin);
        f.write("pv.inp", pv);
        f.write("cad.inp", cad);
    };
}
std::function<void(const Folder&)> pageEndsWell(const std::string& name = "out.ps") {
    return [=](const Folder& f) { EXPECT_EQ(testsupport::lines(f.read(name)).back(), "showpage"); };
}
std::function<void(const Folder&)> noPage() {
    return [](const Folder& f) { EXPECT_EQ(f.contents().size(), 4u); };
}

TEST(Hostile, Planeview) {
    runCases("planeview", {
        {"stdout and stderr closed", planeviewInputs(), "exec \"$P\" >&- 2>&-", kPlaneviewAnswers, 0, {},
         pageEndsWell()},
        {"file-size limit", planeviewInputs(), "ulimit -f 1; exec \"$P\"", kPlaneviewAnswers, 2,
         {"\"out.ps\"", "File too large"}, [](const Folder& f) { EXPECT_EQ(fs::file_size(f / "out.ps"), 1024u); }},
        {"NUL in the answer", planeviewInputs(), "", "script.inp\nfin\0.dat\nout.ps\npv.inp\ncad.inp\n"s,
         2, {"name of the fin file", "NUL"}, noPage()},
        {"NUL and ESC in a field", planeviewInputs("   0   6   0      2\x00\x1b" "0.00\n"s), "",
         kPlaneviewAnswers, 2, {"line 1 of fin.dat", "\\x00\\x1b", "is not a number"}, nullptr},
        // A fin record, a planeview script record and a cad record each
        // followed by 100 MB on their line.
        {"100 MB lines", [](Folder& f) {
             planeviewInputs()(f);
             writeHuge(f / "fin.dat", {kFinRecord, "\n"}, ' ');
             writeHuge(f / "pv.inp", {"    45678", "\n" + kPv.substr(10)}, 'p');
             writeHuge(f / "cad.inp", {kCad.substr(0, kCad.find("\nLABI")), kCad.substr(kCad.find("\nLABI"))}, 'c');
         },
         "", kPlaneviewAnswers, 0, {}, pageEndsWell()},
        {"/dev/zero as the fin file", planeviewInputs(), "", "script.inp\n/dev/zero\nout.ps\npv.inp\ncad.inp\n", 2,
         {"line 1 of /dev/zero", "\\x00"}, nullptr},
        {"100 MB answer", planeviewInputs(), kHugeAnswer, "", 2, {"name of the ovoclip input file", "longer than 4096 bytes"},
         noPage()},
        {"names longer than 80 characters",
         [](Folder& f) {
             f.write(kLongName + ".inp", kPlaneviewScript);
             f.write(kLongName + ".fin", kFinRecord + "\n");
             f.write(kLongName + ".pv", kPv);
             f.write(kLongName + ".cad", kCad);
         },
         "", kLongName + ".inp\n" + kLongName + ".fin\n" + kLongName + ".ps\n" + kLongName + ".pv\n" + kLongName +
                 ".cad\n",
         0, {}, pageEndsWell(kLongName + ".ps")},
        {"5000-byte answer", planeviewInputs(), "", "script.inp\nfin.dat\n" + kTooLongName + "\npv.inp\ncad.inp\n", 2,
         {"longer than 4096 bytes"}, noPage()},
    });
}

// ---------------------------------------------------------------- options

TEST(Hostile, DashHIsHelp) {
    for (const std::string program : {"ovoclip", "honer", "mergetab", "planeview"}) {
        testsupport::ScratchDir dir;
        const auto shortForm = testsupport::run(testsupport::program(program), "", dir.path(), {"-h"});
        const auto longForm = testsupport::run(testsupport::program(program), "", dir.path(), {"--help"});
        EXPECT_EQ(shortForm.status, 0) << program;
        EXPECT_EQ(shortForm.out, longForm.out) << program;
        EXPECT_NE(shortForm.out.find("-h or --help"), std::string::npos) << program;
    }
}

}  // namespace
