// Files opened "old" (must exist, read as lines) and "new" (must not exist,
// created exclusively, never overwritten), both through large buffers.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace common {

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
// the line feed. Memory is the buffer plus the longest line.
class InputFile : public LineSource {
public:
    // Opens an existing file; a missing or unreadable file, or a directory,
    // ends the run.
    explicit InputFile(std::string name);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The next line, or false at the end of the file. The view stays valid
    // until the next call.
    bool next(std::string_view& line);

    // The next line; the end of the file ends the run with a report that
    // says what was expected.
    std::string_view nextOrFail(std::string_view expected);

    // Reads forward to the first line whose columns from `column` (1-based)
    // on hold `text`, and gives that line as next() would; false at the end
    // of the file, with every line read. The lines before it are counted
    // but not taken one by one: the buffer is searched for the text, so a
    // long log is passed over at about the speed of reading it, and a line
    // longer than the buffer costs no memory.
    bool skipToLine(std::string_view text, int column, std::string_view& line);

private:
    bool refill();
    bool skipRestOfLine();

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t begin_ = 0;  // first unread byte
    size_t end_ = 0;    // one past the last byte in the buffer
    bool atEof_ = false;
};

// A text file opened "new": created exclusively, written through a buffer.
class OutputFile {
public:
    explicit OutputFile(std::string name);
    ~OutputFile();  // flushes what is buffered; errors are ignored here
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // One record: the text and a line feed.
    void writeRecord(std::string_view text) {
        if (used_ + text.size() + 1 > capacity_) makeRoom(text.size() + 1);
        if (text.size() + 1 > capacity_) { writeLarge(text); return; }
        std::memcpy(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
        buffer_[used_++] = '\n';
    }

    // One record of `length` characters at least: the text, blanks up to
    // `length`, and a line feed.
    void writeRecordPadded(std::string_view text, size_t length) {
        if (text.size() >= length) {
            writeRecord(text);
            return;
        }
        if (used_ + length + 1 > capacity_) makeRoom(length + 1);
        if (length + 1 > capacity_) {
            writeLarge(std::string(text).append(length - text.size(), ' '));
            return;
        }
        char* out = buffer_.get() + used_;
        std::memset(out, ' ', length);  // of a length known where records are fixed
        std::memcpy(out, text.data(), text.size());
        out[length] = '\n';
        used_ += length + 1;
    }

    void flush();
    // Flushes and closes; a failed write ends the run.
    void close();
    const std::string& name() const { return name_; }

private:
    void makeRoom(size_t bytes);
    void writeLarge(std::string_view text);
    void writeAll(const char* data, size_t size);

    std::string name_;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t used_ = 0;
};

// A file name from an answer or a record: trailing blanks are not part of
// it, leading and embedded blanks are.
std::string fileNameFrom(std::string_view field);

}  // namespace common
