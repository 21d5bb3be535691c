#include "runstep/runstep.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <memory>

#include <gemmi/third_party/sajson.h>

#include "common/failure.hpp"
#include "common/layout/step_status.hpp"

namespace runstep {

namespace fs = std::filesystem;
namespace status = common::step_status;

using common::fail;

// ------------------------------------------------------------------ the job

namespace {

std::string textOf(const sajson::value& v, const std::string& what) {
    if (v.get_type() != sajson::TYPE_STRING) fail("job: " + what + " is not a string");
    return std::string(v.as_cstring(), v.get_string_length());
}

std::vector<std::string> textsOf(const sajson::value& v, const std::string& what) {
    if (v.get_type() != sajson::TYPE_ARRAY) fail("job: " + what + " is not a list");
    std::vector<std::string> texts;
    for (size_t i = 0; i < v.get_length(); ++i) texts.push_back(textOf(v.get_array_element(i), what));
    return texts;
}

Job jobOf(const sajson::value& root) {
    if (root.get_type() != sajson::TYPE_OBJECT) fail("job: a step is not a JSON object");
    const auto key = [&](const char* name) {
        return root.get_value_of_key(sajson::string(name, std::strlen(name)));
    };
    Job job;
    job.folder = textOf(key("folder"), "folder");
    job.step = textOf(key("step"), "step");
    job.command = textsOf(key("command"), "command");
    if (key("answers").get_type() != sajson::TYPE_NULL) job.answers = textsOf(key("answers"), "answers");
    job.makes = textsOf(key("makes"), "makes");
    job.after = textsOf(key("after"), "after");
    // A NUL would cut a name or a word short where the system takes it.
    for (const auto* texts : {&job.command, &job.makes, &job.after}) {
        for (const std::string& text : *texts) {
            if (text.find('\0') != std::string::npos) fail("job: a NUL byte in \"" + text.substr(0, text.find('\0')) + "\"");
        }
    }
    if (job.folder.find('\0') != std::string::npos || job.step.find('\0') != std::string::npos) {
        fail("job: a NUL byte in the folder or the step");
    }
    // One answer a line: an answer of two lines would answer the next question too.
    for (const std::string& answer : job.answers.value_or(std::vector<std::string>{})) {
        if (answer.find('\n') != std::string::npos) fail("job: the answer \"" + answer.substr(0, answer.find('\n')) + "\" has more than one line");
    }
    if (job.folder.empty() || job.command.empty() || job.command.front().empty()) {
        fail("job: no folder or no command");
    }
    // The step names files of its own in the folder: a name that is a path
    // would put them elsewhere.
    // "status" is the folder of the status files.
    if (job.step.empty() || job.step.find('/') != std::string::npos || job.step.front() == '.' || job.step == "status") {
        fail("job: the step \"" + job.step + "\" cannot name a file");
    }
    return job;
}

}  // namespace

std::vector<Job> parseJobs(std::string text) {
    const sajson::document doc =
        sajson::parse(sajson::dynamic_allocation(), sajson::mutable_string_view(text.size(), text.data()));
    if (!doc.is_valid()) {
        fail("job, column " + std::to_string(doc.get_error_column()) + ": " + doc.get_error_message_as_string());
    }
    const sajson::value root = doc.get_root();
    std::vector<Job> jobs;
    if (root.get_type() == sajson::TYPE_ARRAY) {
        for (size_t i = 0; i < root.get_length(); ++i) jobs.push_back(jobOf(root.get_array_element(i)));
    } else {
        jobs.push_back(jobOf(root));
    }
    return jobs;
}

// ------------------------------------------------------------------ files

namespace {

[[noreturn]] void failWith(const std::string& operation, const std::string& file, int error) {
    fail(operation + " " + file + ": " + std::strerror(error));
}

void removeAll(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (error) failWith("cannot remove", path.string(), error.value());
}

void makeFolder(const fs::path& path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error) failWith("cannot make folder", path.string(), error.value());
}

void move(const fs::path& from, const fs::path& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) failWith("cannot rename " + from.string() + " to", to.string(), errno);
}

int openOrFail(const fs::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) failWith("cannot open", path.string(), errno);
    return fd;
}

void writeAll(int fd, const char* data, size_t size, const fs::path& path) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) failWith("cannot write", path.string(), done < 0 ? errno : ENOSPC);
        data += done;
        size -= static_cast<size_t>(done);
    }
}

void closeOrFail(int fd, const fs::path& path) {
    if (::close(fd) != 0) failWith("cannot write", path.string(), errno);
}

// A small file whole or not at all: written under a hidden name beside it,
// then renamed (over a stale one, from a step run again by hand). Not
// through common::AllOrNothingFile: its 256 kB buffer, cleared when made,
// cost a step more than all of runstep's other bookkeeping (5.5 against
// 4 ms of CPU).
void writeWhole(const fs::path& path, const std::string& text) {
    const fs::path hidden = path.parent_path() / ("." + path.filename().string() + ".part");
    const int fd = openOrFail(hidden, O_WRONLY | O_CREAT | O_TRUNC);
    writeAll(fd, text.data(), text.size(), hidden);
    closeOrFail(fd, hidden);
    move(hidden, path);
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double childrenCpu() {
    rusage r{};
    getrusage(RUSAGE_CHILDREN, &r);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); };
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

// One runstep at a time on a step: a second one would run its program in
// the same scratch folder and move or remove the first one's files. The
// lock goes with the driver, however it ends.
class StepLock {
public:
    StepLock(const fs::path& path, const std::string& step) : fd_(openOrFail(path, O_RDWR | O_CREAT)) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
        const int error = errno;
        ::close(fd_);
        if (error == EWOULDBLOCK) fail("step " + step + " in " + path.parent_path().parent_path().string() + " is being run already");
        failWith("cannot lock", path.string(), error);
    }
    ~StepLock() { ::close(fd_); }
    StepLock(const StepLock&) = delete;
    StepLock& operator=(const StepLock&) = delete;

private:
    int fd_;
};

// ------------------------------------------------------------------ signals

// A signal that would end the driver is passed on to the program; the
// driver then leaves no status, so the step runs again.
volatile sig_atomic_t program = 0;
volatile sig_atomic_t received = 0;
constexpr int kEnding[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void passOn(int signal) {
    received = signal;
    if (program > 0) ::kill(static_cast<pid_t>(program), signal);
}

// ------------------------------------------------------------------ the program's standard error

// Copies the program's standard error after its standard output in the
// transcript, and finds its last line that is not blank: the message of a
// failure. The stream may be of any size; the message keeps the start of a
// long line.
class LastLine {
public:
    void add(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\n' || c == '\r') {
                endLine();
            } else if (current_.empty() && (c == ' ' || c == '\t' || c == '\f' || c == '\v')) {
                // a leading blank
            } else if (current_.size() < kLongestMessage) {
                current_ += c;
            } else {
                cut_ = true;
            }
        }
    }
    std::string finish() {
        endLine();
        return last_;
    }

private:
    void endLine() {
        const size_t end = current_.find_last_not_of(" \t\f\v");
        if (end != std::string::npos) last_ = current_.substr(0, end + 1) + (cut_ ? " [...]" : "");
        current_.clear();
        cut_ = false;
    }
    std::string current_;
    bool cut_ = false;
    std::string last_;
};

// ------------------------------------------------------------------ the answers in the transcript

// The suite's programs ask each question on a line of its own that starts
// " Please " or " Type "; after each such line of the program's standard
// output, the answer it was given, on a line of its own as on a terminal, so
// that the transcript shows the step's inputs. Streamed: any size of output.
class AnswerWriter {
public:
    AnswerWriter(int out, const fs::path& name, const std::vector<std::string>& answers)
        : out_(out), name_(name), answers_(answers) {}
    void add(const char* data, size_t size) {
        size_t start = 0;
        for (size_t i = 0; i < size; ++i) {
            if (start_.size() < kLongest && !startDone_) {
                start_ += data[i];
                if (data[i] == '\n') startDone_ = true;
            }
            if (data[i] != '\n') continue;
            writeAll(out_, data + start, i + 1 - start, name_);
            start = i + 1;
            endLine();
        }
        writeAll(out_, data + start, size - start, name_);
    }

private:
    static constexpr size_t kLongest = 8;
    void endLine() {
        const bool question = start_.rfind(" Please ", 0) == 0 || start_.rfind(" Type ", 0) == 0;
        if (question && next_ < answers_.size()) {
            const std::string line = answers_[next_++] + "\n";
            writeAll(out_, line.data(), line.size(), name_);
        }
        start_.clear();
        startDone_ = false;
    }
    int out_;
    const fs::path& name_;
    const std::vector<std::string>& answers_;
    size_t next_ = 0;
    std::string start_;
    bool startDone_ = false;
};

// Every byte of an open file to `use`, 64 kB at a time, to its end.
template <class Use>
void readChunks(int fd, const fs::path& name, const Use& use) {
    constexpr size_t kChunk = 1 << 16;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);  // not cleared: read into
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), kChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failWith("cannot read", name.string(), errno);
        if (got == 0) break;
        use(buffer.get(), static_cast<size_t>(got));
    }
}

// Rewrites the program's standard output with its answers (none: as it is).
void addAnswers(const fs::path& outName, const std::vector<std::string>& answers) {
    const fs::path answered = outName.string() + ".answered";
    const int in = openOrFail(outName, O_RDONLY);
    const int out = openOrFail(answered, O_WRONLY | O_CREAT | O_TRUNC);
    AnswerWriter writer(out, answered, answers);
    readChunks(in, outName, [&](const char* bytes, size_t size) { writer.add(bytes, size); });
    ::close(in);
    closeOrFail(out, answered);
    move(answered, outName);
}

std::string appendStandardError(int transcript, const fs::path& transcriptName, const fs::path& errName) {
    const int err = openOrFail(errName, O_RDONLY);
    LastLine last;
    readChunks(err, errName, [&](const char* bytes, size_t size) {
        writeAll(transcript, bytes, size, transcriptName);
        last.add(bytes, size);
    });
    ::close(err);
    return last.finish();
}

std::string signalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// ------------------------------------------------------------------ running

struct Ran {
    int exit = 0;           // the program's status; minus the signal that ended it
    std::string lastLine;   // the last line of its standard error that is not blank
    double seconds = 0;
    double cpu = 0;
};

Ran runProgram(const Job& job, const fs::path& work, const fs::path& outName, const fs::path& errName) {
    int in = -1;
    if (job.answers) {
        in = memfd_create("answers", MFD_CLOEXEC);
        if (in < 0) failWith("cannot make", "the answers", errno);
        std::string text;
        for (const std::string& answer : *job.answers) text += answer + "\n";
        writeAll(in, text.data(), text.size(), "the answers");
        if (::lseek(in, 0, SEEK_SET) != 0) failWith("cannot rewind", "the answers", errno);
    } else {
        in = openOrFail("/dev/null", O_RDONLY);
    }
    const int out = openOrFail(outName, O_WRONLY | O_CREAT | O_TRUNC);
    const int err = openOrFail(errName, O_WRONLY | O_CREAT | O_TRUNC);

    std::vector<char*> argv;
    for (const std::string& word : job.command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    // Signals wait while the child is made, so that the handler never sees
    // a child without its number.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (const int s : kEnding) sigaddset(&ending, s);
    sigprocmask(SIG_BLOCK, &ending, &before);
    struct sigaction action {};
    action.sa_handler = passOn;
    sigemptyset(&action.sa_mask);
    // A signal ignored from the start (nohup) stays ignored, by both.
    struct sigaction previous[std::size(kEnding)];
    for (size_t i = 0; i < std::size(kEnding); ++i) {
        sigaction(kEnding[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) sigaction(kEnding[i], &action, nullptr);
    }

    const double started = now();
    const double cpuBefore = childrenCpu();
    const pid_t child = fork();
    if (child == 0) {
        for (size_t i = 0; i < std::size(kEnding); ++i) sigaction(kEnding[i], &previous[i], nullptr);
        std::signal(SIGXFSZ, SIG_DFL);  // the program meets a file-size limit as it would alone
        sigprocmask(SIG_SETMASK, &before, nullptr);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        if (chdir(work.c_str()) != 0) {
            dprintf(2, "%s: %s\n", work.c_str(), std::strerror(errno));
            _exit(127);
        }
        execvp(argv[0], argv.data());
        dprintf(2, "%s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    const int forkError = errno;
    if (child > 0) program = child;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    ::close(in);
    ::close(err);
    if (child < 0) failWith("cannot start", job.command.front(), forkError);

    // Waited for without reaping it, so that its number, which the handler
    // may still pass a signal to, is not given to another process; then,
    // signals held, the handler is taken away: outside the program's run a
    // signal ends the driver at once (a job's later steps do not run first).
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0) {
        if (errno != EINTR) failWith("cannot wait for", job.command.front(), errno);
    }
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    program = 0;
    for (size_t i = 0; i < std::size(kEnding); ++i) sigaction(kEnding[i], &previous[i], nullptr);
    int wstatus = 0;
    while (waitpid(child, &wstatus, 0) < 0) {
        if (errno != EINTR) failWith("cannot wait for", job.command.front(), errno);
    }
    Ran ran;
    ran.seconds = now() - started;
    ran.cpu = childrenCpu() - cpuBefore;
    ran.exit = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus);
    if (received != 0) {  // cut short: no status, the step runs again
        ::close(out);
        std::error_code ignored;
        fs::remove_all(work, ignored);
        fs::remove(outName, ignored);
        fs::remove(errName, ignored);
        std::raise(received);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        _exit(128 + received);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    closeOrFail(out, outName);
    if (job.answers && !job.answers->empty()) addAnswers(outName, *job.answers);
    const int transcript = openOrFail(outName, O_WRONLY | O_APPEND);
    ran.lastLine = appendStandardError(transcript, outName, errName);
    closeOrFail(transcript, outName);
    return ran;
}

}  // namespace

void runJob(const Job& job) {
    const fs::path folder = job.folder;
    const fs::path work = folder / ("." + job.step + ".part");
    const fs::path done = folder / job.step;
    const fs::path transcript = folder / (job.step + ".terminal");
    const fs::path outName = folder / ("." + job.step + ".stdout");
    const fs::path errName = folder / ("." + job.step + ".stderr");
    const fs::path statusName = folder / "status" / (job.step + ".json");
    makeFolder(folder / "status");
    const StepLock lock(folder / "status" / ("." + job.step + ".lock"), job.step);
    // A status left from an earlier run goes first: a run that ends before
    // writing its own (a signal, a failure of runstep) leaves none.
    std::error_code stale;
    fs::remove(statusName, stale);
    if (stale) failWith("cannot remove", statusName.string(), stale.value());

    for (const std::string& path : job.after) {
        const status::Status before = status::read(path);
        if (before.status == status::kOk) continue;
        makeFolder(done);
        writeWhole(transcript, "[workflow] step " + job.step + " not run: step " + before.step + " did not succeed\n");
        writeWhole(statusName, status::format({job.step, status::kSkipped, "after step " + before.step, std::nullopt, 0, 0}));
        return;
    }

    removeAll(work);
    makeFolder(work);
    const Ran ran = runProgram(job, work, outName, errName);
    std::vector<std::string> missing;
    for (const std::string& name : job.makes) {
        std::error_code error;
        if (!fs::is_regular_file(work / name, error)) missing.push_back(name);
    }
    const bool ok = ran.exit == 0 && missing.empty();
    std::optional<std::string> message;
    if (!ok) {
        // A program that says it succeeded (status 0) but left a file
        // unwritten: its last word is a warning at most, not the reason.
        if (ran.exit == 0) {
            message = "finished without writing " + missing.front();
            for (size_t i = 1; i < missing.size(); ++i) *message += ", " + missing[i];
        } else if (!ran.lastLine.empty()) {
            message = ran.lastLine;
        } else if (ran.exit < 0) {
            message = "ended by " + signalName(-ran.exit);
        } else {
            message = "exit status " + std::to_string(ran.exit);
        }
        const int out = openOrFail(outName, O_WRONLY | O_APPEND);
        const std::string line = "\n[workflow] step " + job.step + " failed: " + *message + "\n";
        writeAll(out, line.data(), line.size(), outName);
        closeOrFail(out, outName);
    }
    move(outName, transcript);
    std::error_code ignored;
    fs::remove(errName, ignored);
    removeAll(done);
    if (ok) {
        move(work, done);
    } else {
        removeAll(work);
        makeFolder(done);
    }
    writeWhole(statusName, status::format({job.step, ok ? status::kOk : status::kFailed, message, ran.exit, ran.seconds, ran.cpu}));
}

}  // namespace runstep
