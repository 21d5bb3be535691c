#include "common/output_file.hpp"

#include "common/failure.hpp"
#include "common/file_names.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {

namespace {
// Writes of 256 KiB, as the reads of an input file and for the same reason:
// the buffer stays in the processor's cache.
constexpr size_t kBufferSize = 256 << 10;

// The files a signal must not leave, where its handler can find them: each
// slot a name (a copy owned here) or null, the hidden name of a file being
// written or, once it is closed, the name a RunOutputs has taken. The
// handler only reads the slots and unlinks, both safe in a handler.
constexpr int kHiddenSlots = 16;
std::atomic<char*> hiddenNames[kHiddenSlots];
static_assert(std::atomic<char*>::is_always_lock_free);

// The signals that end a run without unwinding it: the files go first,
// then the signal takes its usual course (SA_RESETHAND), so that the caller
// still sees the run ended by it. SIGPIPE is among them: a transcript read
// by `head` ends the run as a failure does. One that is ignored stays so
// (nohup, SIGPIPE where a driver ignores it, or SIGXFSZ as runProgram sets
// it: a write then fails as any failed write does, and the files are
// removed on the way out).
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

extern "C" void removeHiddenFilesAndEnd(int signal) {
    const int saved = errno;
    for (std::atomic<char*>& slot : hiddenNames) {
        if (const char* hidden = slot.load()) ::unlink(hidden);
    }
    errno = saved;
    ::raise(signal);  // blocked until the handler returns, then as by default
}

// Looked at for each file, not once: a signal set back to its default
// since (a process forked to run another part) gets the handler again.
void installSignalHandlers() {
    for (const int signal : kEndingSignals) {
        struct sigaction old = {};
        if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action = {};
        action.sa_handler = removeHiddenFilesAndEnd;
        sigemptyset(&action.sa_mask);
        for (const int other : kEndingSignals) sigaddset(&action.sa_mask, other);
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        ::sigaction(signal, &action, nullptr);
    }
}

// The ending signals held back while a hidden file is created and entered
// in its slot, or left: none of them finds it created but not entered.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : kEndingSignals) sigaddset(&held, signal);
        ::sigprocmask(SIG_BLOCK, &held, &before_);
    }
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t before_;
};

// The hidden name beside `name`: ".<name>.part-<pid>-<n>" in its folder.
// A long name is cut so that the hidden one stays within a file name's
// 255 bytes.
std::string hiddenNameFor(const std::string& name, unsigned serial) {
    const size_t slash = name.rfind('/');
    const size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string base = name.substr(baseStart, 200);
    return name.substr(0, baseStart) + "." + base + ".part-" + std::to_string(::getpid()) + "-" +
           std::to_string(serial);
}
}  // namespace

void OutputFile::checkName(const std::string& name) {
    if (name.empty()) fail("cannot create an output file with an empty name");
    if (const std::string fault = faultOfFileName(name); !fault.empty()) {
        fail("cannot create " + quotedStart(name) + ": " + fault);
    }
}

void OutputFile::checkNew(const std::string& name) {
    checkName(name);
    struct stat info;
    if (::lstat(name.c_str(), &info) == 0) fail("cannot create " + quoted(name) + ": the file already exists");
    if (name.back() == '/') fail("cannot create " + quoted(name) + ": " + std::strerror(EISDIR));
}

OutputFile::OutputFile(std::string name, Hidden, RunOutputs* owner) : name_(std::move(name)), owner_(owner) {
    checkNew(name_);
    openHidden();
    capacity_ = kBufferSize;
    buffer_ = std::make_unique<char[]>(capacity_);
}

void OutputFile::openHidden() {
    installSignalHandlers();
    const SignalsHeld held;
    int slot = 0;
    while (slot < kHiddenSlots && hiddenNames[slot].load() != nullptr) ++slot;
    if (slot == kHiddenSlots) fail("cannot create " + quoted(name_) + ": too many output files open at once");
    static unsigned serial = 0;
    for (;;) {
        hidden_ = hiddenNameFor(name_, serial++);
        fd_ = ::open(hidden_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) break;
        const int error = errno;
        if (error == EEXIST) continue;  // left by a run of the same process id: another name
        hidden_.clear();
        fail("cannot create " + quoted(name_) + ": " + std::strerror(error));
    }
    char* copy = ::strdup(hidden_.c_str());
    if (!copy) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(hidden_.c_str());
        hidden_.clear();
        throw std::bad_alloc();
    }
    hiddenNames[slot].store(copy);
    hiddenSlot_ = slot;
}

// The hidden file takes its own name, which must still be free: a rename
// that never replaces, or where the file system has none, a link that
// fails on a name taken, then the hidden name unlinked. A name taken for a
// RunOutputs replaces the hidden one in the slot with no signal between:
// the handler finds one or the other.
void OutputFile::moveToName() {
    std::unique_ptr<char, decltype(&std::free)> taken(nullptr, &std::free);
    if (owner_) {
        taken.reset(::strdup(name_.c_str()));
        if (!taken) throw std::bad_alloc();
        owner_->slots_.reserve(owner_->slots_.size() + 1);
    }
    int error = 0;
    {
        const SignalsHeld held;
        if (::renameat2(AT_FDCWD, hidden_.c_str(), AT_FDCWD, name_.c_str(), RENAME_NOREPLACE) != 0) {
            error = errno;
            if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
                error = ::link(hidden_.c_str(), name_.c_str()) == 0 ? 0 : errno;
            }
            if (error == 0) ::unlink(hidden_.c_str());
        }
        if (error == 0) {
            std::free(hiddenNames[hiddenSlot_].exchange(taken.release()));
            if (owner_) owner_->slots_.push_back(hiddenSlot_);
            hiddenSlot_ = -1;
            hidden_.clear();
        }
    }
    if (error != 0) {
        // The name is another's: only the hidden file is this run's.
        removeHidden();
        if (error == EEXIST) {
            fail("cannot create " + quoted(name_) + ": the file already exists (created during the run)");
        }
        fail("cannot create " + quoted(name_) + ": " + std::strerror(error));
    }
}

RunOutputs::~RunOutputs() {
    const SignalsHeld held;
    for (const int slot : slots_) {
        if (char* name = hiddenNames[slot].exchange(nullptr)) {
            ::unlink(name);
            std::free(name);
        }
    }
}

void RunOutputs::keep() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail("cannot write to standard output");
    const SignalsHeld held;
    for (const int slot : slots_) std::free(hiddenNames[slot].exchange(nullptr));
    slots_.clear();
}

void OutputFile::removeHidden() noexcept {
    if (hidden_.empty()) return;
    const SignalsHeld held;
    ::unlink(hidden_.c_str());
    std::free(hiddenNames[hiddenSlot_].exchange(nullptr));
    hiddenSlot_ = -1;
    hidden_.clear();
}

OutputFile::OutputFile(std::string name) : name_(std::move(name)) {
    checkName(name_);
    fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        const int error = errno;
        if (error == EEXIST) fail("cannot create " + quoted(name_) + ": the file already exists");
        fail("cannot create " + quoted(name_) + ": " + std::strerror(error));
    }
    capacity_ = kBufferSize;
    buffer_ = std::make_unique<char[]>(capacity_);
}

OutputFile::~OutputFile() {
    if (!hidden_.empty()) {
        // Not closed: incomplete, and removed.
        if (fd_ >= 0) ::close(fd_);
        removeHidden();
        return;
    }
    if (fd_ < 0) return;
    try {
        flush();
    } catch (...) {
        // Already failing: the report of the first failure is the one shown.
    }
    ::close(fd_);
}

void OutputFile::writeAll(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd_, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            fail("cannot write " + quoted(name_) + ": " + std::strerror(error));
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
}

void OutputFile::flush() {
    if (used_ == 0) return;
    const size_t size = used_;
    used_ = 0;  // a failed write is not retried by the destructor
    writeAll(buffer_.get(), size);
}

void OutputFile::writeLarge(std::string_view text) {
    flush();
    writeAll(text.data(), text.size());
    writeAll("\n", 1);
}

void OutputFile::close() {
    if (fd_ < 0) return;
    flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int error = errno;
        fail("cannot close " + quoted(name_) + ": " + std::strerror(error));
    }
    if (!hidden_.empty()) moveToName();
}

}  // namespace common
