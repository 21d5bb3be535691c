// A scratch folder in which a program is run as a driver runs it, with the
// checks every failure test makes: the exit status, one line on standard
// error that names the program, the file and (for a read) the line, and
// exactly which files the folder holds afterwards, with what content.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <stdexcept>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "testsupport.hpp"

namespace failures {

namespace fs = std::filesystem;

// Everything in a folder: a file by its content, a folder as "<folder>".
using Contents = std::map<std::string, std::string>;
inline const std::string kFolder = "<folder>";

struct Folder {
    testsupport::ScratchDir dir;
    testsupport::RunResult result;

    fs::path operator/(const std::string& name) const { return dir / name; }
    void write(const std::string& name, const std::string& content) const { testsupport::writeFile(dir / name, content); }
    void mkdir(const std::string& name) const { fs::create_directories(dir / name); }
    std::string read(const std::string& name) const { return testsupport::readFile(dir / name); }
    bool exists(const std::string& name) const { return fs::exists(dir / name); }

    const testsupport::RunResult& run(const std::string& program, const std::string& answers) {
        result = testsupport::run(testsupport::program(program), answers, dir.path());
        return result;
    }

    Contents contents() const {
        Contents all;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            all[name] = entry.is_directory() ? kFolder : testsupport::readFile(entry.path());
        }
        return all;
    }
};

// The report of a failure: exactly one line, "program: ...", holding each
// of the fragments (file name, line number, columns, what went wrong).
inline void expectReport(const testsupport::RunResult& result, const std::string& program,
                         const std::vector<std::string>& fragments) {
    const std::string& err = result.err;
    EXPECT_EQ(err.rfind(program + ": ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    for (const std::string& fragment : fragments) {
        EXPECT_NE(err.find(fragment), std::string::npos) << "missing \"" << fragment << "\" in: " << err;
    }
}

// Run-time failure: status 2 and the one-line report.
inline void expectFailure(const testsupport::RunResult& result, const std::string& program,
                          const std::vector<std::string>& fragments) {
    EXPECT_EQ(result.status, 2) << result.err;
    expectReport(result, program, fragments);
}

// "Failures" that need a file no one may read: root reads it all the same.
inline bool runningAsRoot() { return ::geteuid() == 0; }
inline const char* kRootSkip =
    "running as root, which reads a file whatever its permissions: the unreadable-file case cannot be set up";

// A run whose input `file` in the folder cannot be read: the run fails
// naming it and the folder holds what it held before. Skipped as root.
inline void expectUnreadableInput(Folder& f, const std::string& program, const std::string& answers,
                                  const std::string& file) {
    if (runningAsRoot()) GTEST_SKIP() << kRootSkip;
    const Contents before = f.contents();
    fs::permissions(f / file, fs::perms::none);
    expectFailure(f.run(program, answers), program, {"\"" + file + "\"", "Permission denied"});
    fs::permissions(f / file, fs::perms::owner_all);
    EXPECT_EQ(f.contents(), before);
}

// A run whose standard output is a pipe that its reader closes once it
// has read one line a prompt, as `| head -n <prompts>` does: the last
// answer is given only then, so that all the program writes after its
// dialogue, once it has taken its names, meets a pipe with no reader.
// SIGPIPE at its default action (the status then 128 + 13, as a shell
// shows it) or ignored (the write fails).
inline testsupport::RunResult runWithStandardOutputClosedAfterDialogue(const Folder& f, const std::string& program,
                                                                       const std::string& answers, bool ignoreSigpipe) {
    const size_t lastLine = answers.rfind('\n', answers.size() - 2) + 1;  // 0 for one answer
    const auto prompts = std::count(answers.begin(), answers.end(), '\n');
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
    const std::string exe = testsupport::program(program);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, ignoreSigpipe ? SIG_IGN : SIG_DFL);
        ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
        for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        if (::chdir(f.dir.path().c_str()) != 0) _exit(127);
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    testsupport::RunResult result;
    auto put = [&](std::string_view text) {
        for (ssize_t n = 0; !text.empty(); text.remove_prefix(static_cast<size_t>(n))) {
            if ((n = ::write(in[1], text.data(), text.size())) <= 0) return;
        }
    };
    put(std::string_view(answers).substr(0, lastLine));
    char buffer[4096];
    while (std::count(result.out.begin(), result.out.end(), '\n') < prompts) {
        const ssize_t got = ::read(out[0], buffer, sizeof buffer);
        if (got <= 0) break;
        result.out.append(buffer, static_cast<size_t>(got));
    }
    ::close(out[0]);
    put(std::string_view(answers).substr(lastLine));
    ::close(in[1]);
    for (ssize_t got; (got = ::read(err[0], buffer, sizeof buffer)) > 0;) result.err.append(buffer, static_cast<size_t>(got));
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return result;
}

// The text, filled up with blanks to `width`.
inline std::string pad(const std::string& text, size_t width) {
    std::string out;
    out.reserve(std::max(width, text.size()) + 1);
    out.append(text);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

}  // namespace failures
