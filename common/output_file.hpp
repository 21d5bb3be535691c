// Files opened "new": created exclusively, never overwritten, and written
// as records through a large buffer.
//
// Two forms. OutputFile keeps what it wrote: a run that fails leaves the
// file as far as it was written (the older programs, whose reports name
// such a file). AllOrNothingFile is written under a hidden name beside its
// own and appears under its own name only by close(): a run that fails, is
// ended by SIGINT, SIGTERM or SIGHUP, or meets a full disk or a file-size
// limit leaves neither the file nor the hidden one, so a rerun is not
// blocked. Usage:
//
//     common::AllOrNothingFile out(name);  // refuses a name that exists
//     out.writeRecord(...);                // as with OutputFile
//     out.close();                         // complete: now under `name`
//
// Without close() (a failure thrown past it) the destructor removes the
// hidden file. close() also refuses, and removes the hidden file, when a
// file of that name appeared during the run (another run at the same
// time): the rename cannot overwrite.
//
// A run that writes several files, or says something after its file is
// closed, makes them with one RunOutputs: a file closed under its own name
// stays in its care until keep(), and a run that fails before then (a
// failure thrown past it, standard output that cannot be written) or is
// ended by a signal removes every name it took, and only those:
//
//     common::RunOutputs outputs;                   // before the files
//     common::AllOrNothingFile a(outputs, "a.mtz"), b(outputs, "a.log");
//     ...; a.close(); b.close(); common::say(...);
//     outputs.keep();                               // the run's result
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// The names a run has taken (see above). Signals that end the run
// (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ, at their default action)
// remove them too, from the handler that removes the hidden files.
class RunOutputs {
public:
    RunOutputs() = default;
    ~RunOutputs();  // without keep(): every name taken is removed
    RunOutputs(const RunOutputs&) = delete;
    RunOutputs& operator=(const RunOutputs&) = delete;

    // The run succeeded: standard output is flushed first (a transcript
    // that cannot be written fails the run, and the files go with it),
    // then every file stays under its name.
    void keep();

private:
    friend class OutputFile;
    std::vector<int> slots_;  // the signal handler's slots holding the names
};

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
    // Flushes and closes; a failed write ends the run. An AllOrNothingFile
    // appears under its name here.
    void close();
    const std::string& name() const { return name_; }

protected:
    struct Hidden {};
    // Created under a hidden name beside `name`, for AllOrNothingFile;
    // once named, in the care of `owner` when one is given.
    OutputFile(std::string name, Hidden, RunOutputs* owner);
    static void checkNew(const std::string& name);  // a usable name, not taken

private:
    static void checkName(const std::string& name);
    void openHidden();
    void moveToName();
    void removeHidden() noexcept;

    // What does not fit behind the bytes buffered: they are written first.
    void makeRoom() { flush(); }
    void writeLarge(std::string_view text);
    void writeAll(const char* data, size_t size);

    std::string name_;
    std::string hidden_;  // the name written under, empty when it is name_
    int hiddenSlot_ = -1; // where the signal handler finds it
    RunOutputs* owner_ = nullptr;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t used_ = 0;
};

// An output that appears whole or not at all (see above).
class AllOrNothingFile : public OutputFile {
public:
    // Ends the run, as the constructor would, where `name` cannot be a new
    // file: for a program that works a while before it creates its files,
    // so that a name taken is refused at its prompt and not after the work.
    // The constructor checks again (the name may be taken in between).
    static void refuseTaken(const std::string& name) { checkNew(name); }

    explicit AllOrNothingFile(std::string name) : OutputFile(std::move(name), Hidden{}, nullptr) {}
    // Once closed, removed again unless `owner` keeps it.
    AllOrNothingFile(RunOutputs& owner, std::string name) : OutputFile(std::move(name), Hidden{}, &owner) {}
};

}  // namespace common
