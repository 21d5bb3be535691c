// Files opened "old": they must exist, and are read forwards as lines
// through a large buffer, or searched for a line by its columns.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/column_classes.hpp"  // SUITE_SSE2

namespace common {

// Bit i set where p[i] is a line feed, for i from 0 to 63: one byte at a
// time, and sixteen at a time where the build has SSE2 (the tests hold the
// two equal).
inline uint64_t lineFeedMaskScalar(const char* p) {
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(p[i] == '\n') << i;
    return mask;
}
#if SUITE_SSE2
inline uint64_t lineFeedMaskSse2(const char* p) {
    const __m128i lineFeed = _mm_set1_epi8('\n');
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const int found = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lineFeed));
        mask |= static_cast<uint64_t>(static_cast<uint32_t>(found)) << (16 * i);
    }
    return mask;
}
#endif

// The search of a long log for a text in given columns (skipToLine): the
// first line in [begin, end), `begin` being a line start, that holds `text`
// (no line feed in it, not empty) at `offset` bytes from its start, as far
// as the bytes reach; when there is none, the line feeds in [begin, end).
// One position at a time, and thirty-two at a time where the build has
// SSE2 (the tests hold the two equal).
struct TextSearch {
    const char* lineStart = nullptr;  // the line found, or null
    uint64_t newlines = 0;            // line feeds in [begin, end) when none was found
};
TextSearch findLineWithTextScalar(const char* begin, const char* end, std::string_view text, size_t offset);
#if SUITE_SSE2
TextSearch findLineWithTextSse2(const char* begin, const char* end, std::string_view text, size_t offset);
#endif
inline TextSearch findLineWithText(const char* begin, const char* end, std::string_view text, size_t offset) {
#if SUITE_SSE2
    return findLineWithTextSse2(begin, end, text, offset);
#else
    return findLineWithTextScalar(begin, end, text, offset);
#endif
}

// What a read failure report needs to know of where it happened.
class LineSource {
public:
    const std::string& name() const { return name_; }
    uint64_t lineNumber() const { return lineNumber_; }

    // "line N of NAME": the start of every report about the current line.
    std::string where() const;
    // Ends the run: "line N of NAME, columns a-b: message" (no columns when
    // first is 0).
    [[noreturn]] void failAt(int first, int last, std::string_view message) const;
    // Ends the run: the file ended where a record was expected.
    [[noreturn]] void failEndOfFile(std::string_view expected) const;

protected:
    std::string name_;
    uint64_t lineNumber_ = 0;
};

// A text file opened "old" and read forwards one line at a time. A line is
// seen without its line feed, and without a carriage return just before
// the line feed. Memory is the buffer, whatever the lines: a line longer
// than the buffer is given cut to its first kLongestLine bytes, and the
// rest of it is passed over by the next read, or taken piece by piece with
// nextPiece() by a reader that copies lines whole.
inline constexpr size_t kLongestLine = 256 << 10;

class InputFile : public LineSource {
public:
    // Opens an existing file; a missing or unreadable file, or a directory,
    // ends the run.
    explicit InputFile(std::string name);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The next line, or false at the end of the file. The view stays valid
    // until the next call. The buffer is searched for line feeds 64 bytes at
    // a time; lines whose end is already known are given out here.
    bool next(std::string_view& line) {
        while (lineFeeds_ == 0) {
            if (searched_ + 64 > end_) return nextAfterSearch(line);
            maskBase_ = searched_;
            lineFeeds_ = lineFeedMask(buffer_.get() + searched_);
            searched_ += 64;
        }
        const size_t at = maskBase_ + static_cast<size_t>(std::countr_zero(lineFeeds_));
        lineFeeds_ &= lineFeeds_ - 1;
        takeLine(at, line);
        return true;
    }

    // The next line; the end of the file ends the run with a report that
    // says what was expected.
    std::string_view nextOrFail(std::string_view expected);

    // Whether the line last given was cut: its end is still to come.
    bool lineCut() const { return cut_; }
    // The next piece of a cut line, the last one without its line feed (and
    // carriage return); false once the line is whole.
    bool nextPiece(std::string_view& piece);

    // Reads forward to the first line whose columns from `column` (1-based)
    // on hold `text`, and gives that line as next() would; false at the end
    // of the file, with every line read. The lines before it are counted
    // but not taken one by one: the buffer is searched for the text, so a
    // long log is passed over at about the speed of reading it, and a line
    // longer than the buffer costs no memory.
    bool skipToLine(std::string_view text, int column, std::string_view& line);

    // Back to the start of the file, line 1 next, for a second pass. It is
    // the file opened, read again: one replaced under its name in between
    // is not looked at, so that both passes see the same bytes. A file that
    // can be read only once (a pipe, a FIFO, a terminal) ends the run here.
    void rewind();

private:
    // Bit i set where p[i] is a line feed, for i from 0 to 63.
    static uint64_t lineFeedMask(const char* p) {
#if SUITE_SSE2
        return lineFeedMaskSse2(p);
#else
        return lineFeedMaskScalar(p);
#endif
    }
    // The length of the `length` bytes at `text` without a carriage return
    // that ends them. Before a line feed, the return belongs to the line
    // end; at the end of the buffer, it is kept for the next piece, where a
    // line feed may follow it.
    static size_t lengthBeforeReturn(const char* text, size_t length) {
        if (length > 0 && text[length - 1] == '\r') --length;
        return length;
    }
    bool nextAfterSearch(std::string_view& line);
    // The line from begin_ to the line feed at `at`; the line feeds already
    // found past it stay known.
    void takeLine(size_t at, std::string_view& line) {
        const char* lineBegin = buffer_.get() + begin_;
        line = std::string_view(lineBegin, lengthBeforeReturn(lineBegin, at - begin_));
        begin_ = at + 1;
        ++lineNumber_;
    }
    // The read position moved by other means than taking a line: the line
    // feeds are searched for again from there.
    void moveTo(size_t at) {
        begin_ = at;
        lineFeeds_ = 0;
        searched_ = at;
    }
    bool refill();
    bool skipRestOfLine();
    void passOverCutLine();

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t begin_ = 0;  // first unread byte
    size_t end_ = 0;    // one past the last byte in the buffer
    bool atEof_ = false;
    bool cut_ = false;  // the rest of the line last given starts at begin_
    // The line feeds in [begin_, searched_) are the bits of lineFeeds_, bit
    // i standing for the byte at maskBase_ + i.
    uint64_t lineFeeds_ = 0;
    size_t maskBase_ = 0;
    size_t searched_ = 0;
};

}  // namespace common
