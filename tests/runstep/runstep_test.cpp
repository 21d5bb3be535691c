// runstep, the workflow's driver of one step, over a table of programs
// (small shell scripts): what it leaves for each outcome, the message the
// index shows, a stream of any size on standard error, and a signal while
// the program runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/escape.hpp"
#include "common/layout/step_status.hpp"
#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;
namespace status = common::step_status;
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;

std::string quoted(const std::string& text) { return "\"" + common::escapeJson(text) + "\""; }

std::string list(const std::vector<std::string>& items) {
    std::string text = "[";
    for (const auto& item : items) {
        if (text.size() > 1) text += ',';
        text += quoted(item);
    }
    return text + "]";
}

// The job as the Snakefile writes it: the step (by default "s") in
// `folder`, a shell script.
std::string job(const fs::path& folder, const std::string& script, const std::vector<std::string>& makes,
                const char* answers = "[\"first\",\"second\"]", const std::vector<std::string>& after = {},
                const std::string& step = "s") {
    return "{\"folder\": " + quoted(folder.string()) + ", \"step\": " + quoted(step) + ", \"command\": " +
           list({"/bin/sh", "-c", script}) + ", \"answers\": " + answers + ", \"makes\": " + list(makes) +
           ", \"after\": " + list(after) + "}";
}

struct Case {
    const char* name;
    const char* script;
    std::vector<std::string> makes;
    const char* status;
    std::optional<std::string> message;  // the whole message
    int exit;
    const char* transcript;  // what the transcript starts with
};

const Case kCases[] = {
    {"answered, files made", "read a; read b; echo \"$b $a\" > out.txt; echo said; echo warned >&2", {"out.txt"},
     "ok", std::nullopt, 0, "said\nwarned\n"},
    {"its own last word", "echo one >&2; echo 'prog: cannot read x.hkl, line 3 ' >&2; printf '  \\n\\n' >&2; exit 2",
     {"out.txt"}, "failed", "prog: cannot read x.hkl, line 3", 2, "one\nprog: cannot read"},
    {"status 0 but files missing", "touch a.txt; echo 'prog: warning: 3 reflections left out' >&2",
     {"a.txt", "b.txt", "c.txt"}, "failed",
     "finished without writing b.txt, c.txt", 0,
     "prog: warning: 3 reflections left out\n\n[workflow] step s failed: finished without writing b.txt, c.txt\n"},
    {"each answer after its question", "echo ' Please type the first'; read a; echo ' Type the second'; read b; "
     "echo \"$b $a\" > out.txt; echo ' Please type more'; echo ' Please note' >&2",
     {"out.txt"}, "ok", std::nullopt, 0,
     " Please type the first\nfirst\n Type the second\nsecond\n Please type more\n Please note\n"},
    {"silent status", "exit 1", {}, "failed", "exit status 1", 1, ""},
    {"ended by a signal", "kill -SEGV $$", {"out.txt"}, "failed", "ended by SIGSEGV", -SIGSEGV, ""},
    {"no result, a file made", "touch out.txt; echo 'prog: no reflection inside the ellipsoid' >&2; exit 1",
     {"out.txt"}, "failed", "prog: no reflection inside the ellipsoid", 1, "prog: no reflection"},
    {"odd bytes in the message", "printf 'bad \\001\\000\\377 \"q\" \\\\ end\\n' >&2; exit 2", {}, "failed",
     std::string("bad \x01\x00\\xFF \"q\" \\ end", 20), 2, "bad \001"},
};

TEST(Runstep, EachOutcomeLeavesItsFilesTranscriptAndStatus) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const auto r = testsupport::run(testsupport::program("runstep"), "", dir.path(),
                                        {job(dir.path(), c.script, c.makes)});
        ASSERT_EQ(r.status, 0) << r.err;
        const status::Status s = status::read((dir / "status/s.json").string());
        EXPECT_EQ(s.step, "s");
        EXPECT_EQ(s.status, c.status);
        EXPECT_EQ(s.message, c.message);
        EXPECT_NE(readFile(dir / "status/s.json").find("\"exit\": " + std::to_string(c.exit) + ","),
                  std::string::npos);
        const std::string transcript = readFile(dir / "s.terminal");
        EXPECT_EQ(transcript.rfind(c.transcript, 0), 0u) << transcript;
        // Nothing of the run but its folder, transcript and status.
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"s", "s.terminal", "status"}));
        size_t made = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir / "s")) ++made;
        if (std::string(c.status) == "ok") {
            EXPECT_EQ(made, c.makes.size());
            EXPECT_EQ(readFile(dir / "s/out.txt"), "second first\n");
        } else {
            EXPECT_EQ(made, 0u);  // a failed step's folder is empty
            EXPECT_NE(transcript.find("\n[workflow] step s failed: "), std::string::npos);
        }
    }
}

// A step after one that did not succeed runs nothing; with no answers the
// program reads an empty standard input; a program that cannot start fails.
TEST(Runstep, SkippedUnansweredAndMissingPrograms) {
    ScratchDir dir;
    const fs::path after = dir / "before.json";
    const auto run = [&](const std::string& jobText) {
        return testsupport::run(testsupport::program("runstep"), "", dir.path(), {jobText});
    };
    writeFile(after, status::format({"ovofit", status::kFailed, "bad cell", 2, 0.1, 0.1}));
    ASSERT_EQ(run(job(dir.path(), "touch ran", {}, "null", {after.string()})).status, 0);
    auto s = status::read((dir / "status/s.json").string());
    EXPECT_EQ(s.status, "skipped");
    EXPECT_EQ(s.message.value_or(""), "after step ovofit");
    EXPECT_FALSE(fs::exists(dir / "s/ran"));
    EXPECT_EQ(readFile(dir / "s.terminal"), "[workflow] step s not run: step ovofit did not succeed\n");

    writeFile(after, status::format({"ovofit", status::kOk, std::nullopt, 0, 0.1, 0.1}));
    ASSERT_EQ(run(job(dir.path(), "wc -c > n.txt", {"n.txt"}, "null", {after.string()})).status, 0);
    EXPECT_EQ(status::read((dir / "status/s.json").string()).status, "ok");
    EXPECT_EQ(readFile(dir / "s/n.txt"), "0\n");

    const std::string missing = "{\"folder\": " + quoted(dir.path().string()) +
                                ", \"step\": \"s\", \"command\": [\"/nowhere/prog\"], \"answers\": null, "
                                "\"makes\": [], \"after\": []}";
    ASSERT_EQ(run(missing).status, 0);
    s = status::read((dir / "status/s.json").string());
    EXPECT_EQ(s.status, "failed");
    EXPECT_EQ(s.message.value_or(""), "/nowhere/prog: No such file or directory");

    // A job runstep cannot record, or run as written, is its own failure:
    // one line, status 2, and no status file that would pass for the step's.
    // The same step run twice at once: the second refuses (the lock held here).
    fs::remove(dir / "status/s.json");
    fs::create_directory(dir / "blocked");
    writeFile(dir / "blocked/status", "a file where the status folder goes\n");
    const int held = open((dir / "status/.s.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(held, 0);
    for (const std::string& bad : {std::string("{\"folder\": 1}"), std::string("not json"),
                                   job(dir / "blocked", "true", {}),
                                   job(dir.path(), std::string("exit 0\0; touch ran", 18), {}),  // a word cut short
                                   job(dir.path(), "true", {}, "[\"a\\nb\"]"),       // two answers in one
                                   job(dir.path(), "true", {}, "null", {}, "status"),
                                   std::string("running")}) {
        SCOPED_TRACE(bad);
        if (bad == "running") {
            ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        }
        const auto r = run(bad == "running" ? job(dir.path(), "touch ran", {}) : bad);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("runstep: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_FALSE(fs::exists(dir / "status/s.json"));
        EXPECT_FALSE(fs::exists(dir / "status/status.json"));
        EXPECT_FALSE(fs::exists(dir / ".s.part/ran"));
    }
    close(held);
}

// A job of several steps runs them in order, each with its own files and
// status: a step after one that failed within the same job is skipped.
TEST(Runstep, StepsOfOneJobInOrder) {
    ScratchDir dir;
    const auto step = [&](const std::string& name, const std::string& script, const std::string& after) {
        std::vector<std::string> before;
        if (!after.empty()) before.push_back((dir / "status" / (after + ".json")).string());
        return job(dir.path(), script, {}, "null", before, name);
    };
    const std::string steps = "[" + step("one", "echo 1 > ../order", "") + "," +
                              step("two", "echo 2 >> ../order; exit 4", "one") + "," +
                              step("three", "echo 3 >> ../order", "two") + "," +
                              step("four", "echo 4 >> ../order", "one") + "]";
    const auto r = testsupport::run(testsupport::program("runstep"), "", dir.path(), {steps});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "order"), "1\n2\n4\n");
    const std::vector<std::pair<const char*, const char*>> expected = {
        {"one", "ok"}, {"two", "failed"}, {"three", "skipped"}, {"four", "ok"}};
    for (const auto& [name, outcome] : expected) {
        EXPECT_EQ(status::read((dir / "status" / (std::string(name) + ".json")).string()).status, outcome) << name;
        EXPECT_TRUE(fs::is_directory(dir / name)) << name;
    }
}

// Standard error of any size: all of it in the transcript, the message the
// start of its last line.
TEST(Runstep, LongStandardErrorKeepsTheMessageShort) {
    ScratchDir dir;
    const auto r = testsupport::run(
        testsupport::program("runstep"), "", dir.path(),
        {job(dir.path(), "head -c 20000000 /dev/zero | tr '\\0' x >&2; exit 3", {})});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto s = status::read((dir / "status/s.json").string());
    ASSERT_TRUE(s.message);
    EXPECT_EQ(*s.message, std::string(2000, 'x') + " [...]");
    EXPECT_GT(fs::file_size(dir / "s.terminal"), 20000000u);
}

// SIGTERM (Snakemake stopping, a cluster's time limit) while the program
// runs: the program is ended too; between two steps of a job: the next
// program does not run first. Either way the step leaves no status, not
// even one from an earlier run, and no files, so that the next run does it
// again. The second case waits, before its second step, on a status file
// that is a pipe, written only should the signal not end runstep.
TEST(Runstep, SignalLeavesNoStatusAndEndsTheProgram) {
    struct SignalCase {
        const char* name;
        const char* script;       // step s's program
        bool secondStep;          // a step t after s, waiting on the pipe
        const char* signalledAt;  // the file whose making is the moment to signal
    };
    const SignalCase cases[] = {
        {"while the program runs", "echo $$ > ../pid; exec sleep 30", false, "pid"},
        {"between two steps", "true", true, "status/s.json"},
    };
    const std::string exe = testsupport::program("runstep");
    for (const SignalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        fs::create_directory(dir / "status");
        const std::string stale = c.secondStep ? "status/t.json" : "status/s.json";
        writeFile(dir / stale, status::format({"s", status::kOk, std::nullopt, 0, 0.1, 0.1}));
        const fs::path pipe = dir / "pipe.json";
        ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
        std::string jobText = job(dir.path(), c.script, {}, "null", {}, "s");
        if (c.secondStep) {
            jobText = "[" + jobText + "," + job(dir.path(), "touch ../ran", {}, "null", {pipe.string()}, "t") + "]";
        }
        const pid_t driver = fork();
        ASSERT_GE(driver, 0);
        if (driver == 0) {
            execl(exe.c_str(), exe.c_str(), jobText.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1000 && !fs::exists(dir / c.signalledAt); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the pid written whole
        const pid_t program = c.secondStep ? 0 : std::stoi(readFile(dir / "pid"));
        kill(driver, SIGTERM);
        int wstatus = 0;
        pid_t ended = 0;
        for (int i = 0; i < 200 && ended == 0; ++i) {
            ended = waitpid(driver, &wstatus, WNOHANG);
            if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended == 0) {  // the signal was not heeded: let the job go on, to its end
            const int fd = open(pipe.c_str(), O_RDWR);
            const std::string ok = status::format({"s", status::kOk, std::nullopt, 0, 0.1, 0.1});
            EXPECT_EQ(write(fd, ok.data(), ok.size()), static_cast<ssize_t>(ok.size()));
            close(fd);
            ended = waitpid(driver, &wstatus, 0);
        }
        ASSERT_EQ(ended, driver);
        EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGTERM) << wstatus;
        EXPECT_FALSE(fs::exists(dir / stale));
        EXPECT_FALSE(fs::exists(dir / "ran"));
        const std::string cut = c.secondStep ? "t" : "s";
        EXPECT_FALSE(fs::exists(dir / ("." + cut + ".part")));
        EXPECT_FALSE(fs::exists(dir / cut));
        if (program == 0) continue;
        bool gone = false;
        for (int i = 0; i < 500 && !gone; ++i) {
            gone = kill(program, 0) != 0;
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(gone) << "the program outlived its step";
        if (!gone) kill(program, SIGKILL);
    }
}

}  // namespace
