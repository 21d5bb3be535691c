#include "common/output_file.hpp"

#include "common/failure.hpp"
#include "common/file_names.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace common {

namespace {
// Writes of 256 KiB, as the reads of an input file and for the same reason:
// the buffer stays in the processor's cache.
constexpr size_t kBufferSize = 256 << 10;
}  // namespace

OutputFile::OutputFile(std::string name) : name_(std::move(name)) {
    if (name_.empty()) fail("cannot create an output file with an empty name");
    if (const std::string fault = faultOfFileName(name_); !fault.empty()) {
        fail("cannot create " + quotedStart(name_) + ": " + fault);
    }
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
