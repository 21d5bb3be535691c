// Files opened "new": created exclusively, never overwritten, and written
// as records through a large buffer.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace common {

class OutputFile {
public:
    // Creates the file; one that exists already, or that cannot be created,
    // ends the run.
    explicit OutputFile(std::string name);
    ~OutputFile();  // flushes what is buffered; errors are ignored here
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // One record: the text and a line feed.
    void writeRecord(std::string_view text) {
        if (used_ + text.size() + 1 > capacity_) makeRoom();
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
        if (used_ + length + 1 > capacity_) makeRoom();
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

    // Text without a line feed: a piece of a long record.
    void writeText(std::string_view text) {
        if (used_ + text.size() > capacity_) makeRoom();
        if (text.size() > capacity_) {
            writeAll(text.data(), text.size());
            return;
        }
        std::memcpy(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
    }

    void flush();
    // Flushes and closes; a failed write ends the run.
    void close();
    const std::string& name() const { return name_; }

private:
    // What does not fit behind the bytes buffered: they are written first.
    void makeRoom() { flush(); }
    void writeLarge(std::string_view text);
    void writeAll(const char* data, size_t size);

    std::string name_;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t used_ = 0;
};

}  // namespace common
