// A scratch folder in which a program is run as a driver runs it, with the
// checks every failure test makes: the exit status, one line on standard
// error that names the program, the file and (for a read) the line, and
// exactly which files the folder holds afterwards, with what content.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
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

// The text, filled up with blanks to `width`.
inline std::string pad(const std::string& text, size_t width) {
    std::string out;
    out.reserve(std::max(width, text.size()) + 1);
    out.append(text);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

}  // namespace failures
