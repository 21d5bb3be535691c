#include "common/files.hpp"

#include "common/failure.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {

namespace {
constexpr size_t kBufferSize = 1 << 20;

std::string quoted(const std::string& name) { return "\"" + name + "\""; }
}  // namespace

std::string LineSource::where() const {
    return "line " + std::to_string(lineNumber_) + " of " + name_;
}

void LineSource::failAt(int first, int last, std::string_view message) const {
    std::string text = where();
    if (first > 0) {
        text += ", columns " + std::to_string(first) + "-" + std::to_string(last);
    }
    text += ": ";
    text += message;
    fail(std::move(text));
}

void LineSource::failEndOfFile(std::string_view expected) const {
    std::string text = "end of file " + name_ + " after line " + std::to_string(lineNumber_);
    if (!expected.empty()) {
        text += ": expected ";
        text += expected;
    }
    fail(std::move(text));
}

std::string fileNameFrom(std::string_view field) {
    size_t n = field.size();
    while (n > 0 && field[n - 1] == ' ') --n;
    return std::string(field.substr(0, n));
}

// ---------------------------------------------------------------- input

InputFile::InputFile(std::string name) {
    name_ = std::move(name);
    if (name_.empty()) fail("cannot open an input file with an empty name");
    fd_ = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        fail("cannot open " + quoted(name_) + " for reading: " + std::strerror(error));
    }
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        fail("cannot open " + quoted(name_) + " for reading: it is a directory");
    }
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    capacity_ = kBufferSize;
    buffer_ = std::make_unique<char[]>(capacity_);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

// Moves the unread bytes to the front and reads more behind them; grows the
// buffer when a single line fills it. False when nothing more could be read.
bool InputFile::refill() {
    if (atEof_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == capacity_) {
        const size_t grown = capacity_ * 2;
        auto bigger = std::make_unique<char[]>(grown);
        std::memcpy(bigger.get(), buffer_.get(), end_);
        buffer_ = std::move(bigger);
        capacity_ = grown;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return true;
        }
        if (got == 0) {
            atEof_ = true;
            return false;
        }
        if (errno == EINTR) continue;
        const int error = errno;
        fail("cannot read " + quoted(name_) + " after line " + std::to_string(lineNumber_) + ": " +
             std::strerror(error));
    }
}

bool InputFile::next(std::string_view& line) {
    size_t searchFrom = begin_;
    for (;;) {
        const char* start = buffer_.get() + searchFrom;
        const void* found = std::memchr(start, '\n', end_ - searchFrom);
        if (found != nullptr) {
            const char* lineEnd = static_cast<const char*>(found);
            const char* lineBegin = buffer_.get() + begin_;
            size_t length = static_cast<size_t>(lineEnd - lineBegin);
            if (length > 0 && lineBegin[length - 1] == '\r') --length;
            line = std::string_view(lineBegin, length);
            begin_ = static_cast<size_t>(lineEnd - buffer_.get()) + 1;
            ++lineNumber_;
            return true;
        }
        const size_t scanned = end_ - begin_;
        if (!refill()) {
            if (begin_ == end_) return false;
            // The last line has no line feed: it is still a line.
            line = std::string_view(buffer_.get() + begin_, end_ - begin_);
            begin_ = end_;
            ++lineNumber_;
            return true;
        }
        searchFrom = begin_ + scanned;
    }
}

std::string_view InputFile::nextOrFail(std::string_view expected) {
    std::string_view line;
    if (!next(line)) failEndOfFile(expected);
    return line;
}

// ---------------------------------------------------------------- output

OutputFile::OutputFile(std::string name) : name_(std::move(name)) {
    if (name_.empty()) fail("cannot create an output file with an empty name");
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

void OutputFile::makeRoom(size_t) { flush(); }

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
}

}  // namespace common
