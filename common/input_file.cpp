#include "common/input_file.hpp"

#include "common/failure.hpp"
#include "common/file_names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {

namespace {
// Reads of 256 KiB: the buffer stays in the processor's cache between the
// system's copy and the program's pass over it, which made the programs
// about a tenth faster than with 1 MiB on large files. The buffer never
// grows: a line longer than it is given cut.
constexpr size_t kBufferSize = kLongestLine;
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

InputFile::InputFile(std::string name) {
    name_ = std::move(name);
    if (name_.empty()) fail("cannot open an input file with an empty name");
    if (const std::string fault = faultOfFileName(name_); !fault.empty()) {
        fail("cannot open " + quotedStart(name_) + " for reading: " + fault);
    }
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

// Moves the unread bytes to the front and reads more behind them. False when
// nothing more could be read. The callers never ask with a full buffer: a
// line that fills it is cut first.
bool InputFile::refill() {
    if (atEof_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        searched_ = searched_ > begin_ ? searched_ - begin_ : 0;
        begin_ = 0;
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


// No line feed is known past begin_: the next 64 bytes are searched, or
// what is left of the buffer, which is refilled when it holds none.
bool InputFile::nextAfterSearch(std::string_view& line) {
    if (cut_) passOverCutLine();
    if (searched_ < begin_) searched_ = begin_;
    for (;;) {
        if (searched_ + 64 <= end_) {
            maskBase_ = searched_;
            lineFeeds_ = lineFeedMask(buffer_.get() + searched_);
            searched_ += 64;
            if (lineFeeds_ != 0) {
                const size_t at = maskBase_ + static_cast<size_t>(std::countr_zero(lineFeeds_));
                lineFeeds_ &= lineFeeds_ - 1;
                takeLine(at, line);
                return true;
            }
            continue;
        }
        const void* found = std::memchr(buffer_.get() + searched_, '\n', end_ - searched_);
        if (found != nullptr) {
            const size_t at = static_cast<size_t>(static_cast<const char*>(found) - buffer_.get());
            searched_ = at + 1;
            takeLine(at, line);
            return true;
        }
        searched_ = end_;
        if (begin_ == 0 && end_ == capacity_) {
            // A line as long as the buffer: given cut.
            const size_t length = lengthBeforeReturn(buffer_.get(), end_);
            line = std::string_view(buffer_.get(), length);
            moveTo(length);
            cut_ = true;
            ++lineNumber_;
            return true;
        }
        if (!refill()) {
            if (begin_ == end_) return false;
            // The last line has no line feed: it is still a line.
            line = std::string_view(buffer_.get() + begin_, end_ - begin_);
            moveTo(end_);
            ++lineNumber_;
            return true;
        }
    }
}

namespace {

// Whether the text at `at` is `text` and begins `offset` bytes into its
// line; `begin` is a line start and no earlier one is known.
bool holdsAtColumn(const char* begin, const char* at, std::string_view text, size_t offset) {
    if (static_cast<size_t>(at - begin) < offset) return false;
    const char* lineStart = at - offset;
    if (lineStart != begin && lineStart[-1] != '\n') return false;
    if (offset > 0 && std::memchr(lineStart, '\n', offset) != nullptr) return false;
    return std::memcmp(at, text.data(), text.size()) == 0;
}

// From p on, one position at a time: the end of both forms of the search.
TextSearch findLineWithTextFrom(const char* begin, const char* p, const char* end, std::string_view text,
                                size_t offset, uint64_t newlines) {
    TextSearch result;
    const size_t n = text.size();
    for (; static_cast<size_t>(end - p) >= n; ++p) {
        if (*p == '\n') ++newlines;
        if (*p == text.front() && holdsAtColumn(begin, p, text, offset)) {
            result.lineStart = p - offset;
            return result;
        }
    }
    for (; p < end; ++p) newlines += *p == '\n';
    result.newlines = newlines;
    return result;
}

}  // namespace

TextSearch findLineWithTextScalar(const char* begin, const char* end, std::string_view text, size_t offset) {
    return findLineWithTextFrom(begin, begin, end, text, offset, 0);
}

#if SUITE_SSE2
// Thirty-two positions at a time, in two halves of sixteen: the first and
// the last byte of the text compared at once and the line feeds counted;
// the few blocks where both agree somewhere are looked at closely, position
// by position in order. Not inlined: inlined into honer and mergetab with
// their text known, the build kept the registers' loads apart and ran
// about a tenth slower.
[[gnu::noinline]] TextSearch findLineWithTextSse2(const char* begin, const char* end, std::string_view text, size_t offset) {
    constexpr size_t kBlock = 32;
    // The line feeds of a block's two halves go into one byte counter each
    // sixteen positions apart, two a block at most: the counters are added
    // up before they can pass 255.
    constexpr size_t kBlocksCounted = 127;
    const size_t n = text.size();
    const __m128i first = _mm_set1_epi8(text.front());
    const __m128i last = _mm_set1_epi8(text.back());
    const __m128i lineFeed = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    auto load = [](const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    const char* p = begin;
    uint64_t newlines = 0;
    // A block at p compares the bytes p to p+31 and p+n-1 to p+n+30.
    while (static_cast<size_t>(end - p) >= n + kBlock - 1) {
        const size_t blocks = std::min(kBlocksCounted, (static_cast<size_t>(end - p) - n - (kBlock - 1)) / kBlock + 1);
        __m128i counts = zero;
        for (size_t block = 0; block < blocks; ++block, p += kBlock) {
            const __m128i a0 = load(p), a1 = load(p + 16);
            const __m128i b0 = load(p + n - 1), b1 = load(p + n + 15);
            // A comparison gives 0xFF, that is -1, where it holds.
            counts = _mm_sub_epi8(counts, _mm_add_epi8(_mm_cmpeq_epi8(a0, lineFeed), _mm_cmpeq_epi8(a1, lineFeed)));
            const __m128i agree0 = _mm_and_si128(_mm_cmpeq_epi8(a0, first), _mm_cmpeq_epi8(b0, last));
            const __m128i agree1 = _mm_and_si128(_mm_cmpeq_epi8(a1, first), _mm_cmpeq_epi8(b1, last));
            if (_mm_movemask_epi8(_mm_or_si128(agree0, agree1)) == 0) continue;
            uint32_t both = static_cast<uint32_t>(_mm_movemask_epi8(agree0)) |
                            static_cast<uint32_t>(_mm_movemask_epi8(agree1)) << 16;
            for (; both != 0; both &= both - 1) {
                const char* at = p + std::countr_zero(both);
                if (holdsAtColumn(begin, at, text, offset)) return {at - offset, 0};
            }
        }
        // The sums of absolute differences from 0 add the sixteen byte
        // counters up in two 64-bit lanes.
        const __m128i sums = _mm_sad_epu8(counts, zero);
        newlines += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                    static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    return findLineWithTextFrom(begin, p, end, text, offset, newlines);
}
#endif

namespace {

uint64_t countLineFeeds(const char* begin, const char* end) {
    uint64_t count = 0;
    while (const void* found = std::memchr(begin, '\n', static_cast<size_t>(end - begin))) {
        ++count;
        begin = static_cast<const char*>(found) + 1;
    }
    return count;
}

}  // namespace

bool InputFile::skipToLine(std::string_view text, int column, std::string_view& line) {
    const size_t offset = static_cast<size_t>(column - 1);
    if (column < 1 || text.empty() || text.find_first_of("\r\n") != std::string_view::npos) {
        // Texts that the search does not take: line by line.
        while (next(line)) {
            if (text.empty() || (line.size() >= offset + text.size() && line.substr(offset, text.size()) == text)) {
                return true;
            }
        }
        return false;
    }
    const size_t reach = offset + text.size();  // the bytes of a line that decide
    if (cut_) passOverCutLine();
    moveTo(begin_);
    for (;;) {
        const char* base = buffer_.get();
        const char* start = base + begin_;
        const TextSearch search = findLineWithText(start, base + end_, text, offset);
        if (search.lineStart != nullptr) {
            lineNumber_ += countLineFeeds(start, search.lineStart);
            moveTo(static_cast<size_t>(search.lineStart - base));
            return next(line);
        }
        // Not in the buffer: its whole lines are passed over, the unfinished
        // one at its end stays.
        const void* lastLineFeed = memrchr(start, '\n', end_ - begin_);
        if (lastLineFeed != nullptr) {
            lineNumber_ += search.newlines;
            moveTo(static_cast<size_t>(static_cast<const char*>(lastLineFeed) - base) + 1);
        }
        if (end_ - begin_ >= reach) {
            // The unfinished line reaches past the columns and was seen.
            if (!skipRestOfLine()) return false;
            continue;
        }
        if (!refill()) {
            if (begin_ < end_) ++lineNumber_;  // the last line, without a line feed
            moveTo(end_);
            return false;
        }
    }
}

// Passes over the rest of the line that starts at begin_, keeping none of
// it; false when the file ends with it.
bool InputFile::skipRestOfLine() {
    for (;;) {
        const char* base = buffer_.get();
        const void* found = std::memchr(base + begin_, '\n', end_ - begin_);
        if (found != nullptr) {
            moveTo(static_cast<size_t>(static_cast<const char*>(found) - base) + 1);
            ++lineNumber_;
            return true;
        }
        moveTo(end_);
        if (!refill()) {
            ++lineNumber_;
            return false;
        }
    }
}

bool InputFile::nextPiece(std::string_view& piece) {
    while (cut_) {
        const char* base = buffer_.get();
        const void* found = std::memchr(base + begin_, '\n', end_ - begin_);
        if (found != nullptr) {
            const size_t at = static_cast<size_t>(static_cast<const char*>(found) - base);
            piece = std::string_view(base + begin_, lengthBeforeReturn(base + begin_, at - begin_));
            moveTo(at + 1);
            cut_ = false;
            return true;
        }
        const size_t stop = begin_ + lengthBeforeReturn(base + begin_, end_ - begin_);
        if (stop > begin_) {
            piece = std::string_view(base + begin_, stop - begin_);
            moveTo(stop);
            return true;
        }
        if (!refill()) {
            // The file ends inside the line: what is left is its last piece.
            cut_ = false;
            piece = std::string_view(buffer_.get() + begin_, end_ - begin_);
            moveTo(end_);
            return !piece.empty();
        }
    }
    return false;
}

void InputFile::passOverCutLine() {
    std::string_view piece;
    while (nextPiece(piece)) {
    }
}

void InputFile::rewind() {
    if (::lseek(fd_, 0, SEEK_SET) < 0) {
        const int error = errno;
        fail("cannot read " + quoted(name_) + " a second time: " +
             (error == ESPIPE ? std::string("it can be read only once (a pipe or a terminal)") : std::strerror(error)));
    }
    lineNumber_ = 0;
    end_ = 0;
    atEof_ = false;
    cut_ = false;
    moveTo(0);
}

std::string_view InputFile::nextOrFail(std::string_view expected) {
    std::string_view line;
    if (!next(line)) failEndOfFile(expected);
    return line;
}

}  // namespace common
