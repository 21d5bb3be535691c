// Reading and writing fixed-column records and free-format lines.
//
// Input fields are read from a line left to right by a RecordCursor; the
// pure parsers below it say whether a field holds a number and which one.
// Output fields are appended to a RecordBuffer, one call a descriptor, so
// no format string is interpreted while records stream through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// ---------------------------------------------------------------- parsing

enum class ParseStatus { ok, notANumber, tooLarge };

// Iw: blanks before and after the digits are ignored, an all-blank field is
// 0, an optional sign, then digits. A value outside 32 bits is tooLarge.
ParseStatus parseInteger(std::string_view field, int32_t& value);

// Fw.d: an all-blank field is 0; a field without a decimal point takes d
// implied decimals (also when it has an exponent); a field with a point is
// taken as written. Exponents may be written with E or D, in either case,
// or as a bare signed number after the digits ("1.5+2" is 150), as old
// formatted input allows.
// "Inf", "Infinity" and "NaN" are accepted in any case, with a sign.
ParseStatus parseFixed(std::string_view field, int decimals, float& value);

// A free-format number: the first item of the slice, delimited by blanks or
// a comma, in integer, fixed-point or exponent notation; a number without a
// point is a whole number. A slice with no item is notANumber.
ParseStatus parseFreeNumber(std::string_view slice, float& value);

// The columns [first, last] (1-based, inclusive) of a line, as far as the
// line reaches: a short line reads as if filled up with blanks.
std::string_view columns(std::string_view line, int first, int last);

// ---------------------------------------------------------------- reading

class LineSource;

// Reads the fields of one record from left to right. A field that cannot be
// read ends the run with a report naming the file, the line and the columns.
class RecordCursor {
public:
    RecordCursor(std::string_view line, const LineSource& source) : line_(line), source_(&source) {}

    int32_t readInteger(int width);                 // Iw
    float readFixed(int width, int decimals);       // Fw.d
    std::string_view readText(int width);           // Aw, without the padding
    void skip(int width) { column_ += width; }      // nX
    // Free-format number from the next `width` columns.
    float readFree(int width);

    int column() const { return column_; }  // next column to read, 1-based

private:
    std::string_view take(int width, int& first, int& last);
    [[noreturn]] void fail(int first, int last, std::string_view field, ParseStatus status) const;

    std::string_view line_;
    const LineSource* source_;
    int column_ = 1;
};

// ---------------------------------------------------------------- writing

// A growing text buffer with one append per edit descriptor.
class RecordBuffer {
public:
    RecordBuffer() { text_.reserve(256); }

    RecordBuffer& text(std::string_view s) { text_.append(s); return *this; }  // '...'
    RecordBuffer& blanks(int n) { text_.append(static_cast<size_t>(n), ' '); return *this; }  // nX
    RecordBuffer& integer(int64_t value, int width);          // Iw
    RecordBuffer& fixed(float value, int width, int decimals);  // Fw.d
    RecordBuffer& textRight(std::string_view s, int width);   // Aw
    RecordBuffer& padTo(size_t length);  // blanks up to a record length

    std::string_view view() const { return text_; }
    size_t size() const { return text_.size(); }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

// Low-level formatters, appending to `out`.
void appendInteger(std::string& out, int64_t value, int width);
void appendFixed(std::string& out, float value, int width, int decimals);
// Fixed-point text of `value` with `decimals` digits and no width limit
// ("Infinity", "-Infinity", "NaN" for the non-finite values).
std::string fixedText(float value, int decimals);

// A real in the general form used on free-format lines (shortest text that
// reads back as the same float).
std::string generalText(float value);

// A free-format line: one blank, then the items separated by blanks.
class FreeLine {
public:
    FreeLine& text(std::string_view s);
    FreeLine& real(float value);
    FreeLine& integer(int64_t value);
    const std::string& str() const { return line_; }

private:
    void separate();
    std::string line_ = " ";
    bool first_ = true;
};

}  // namespace common
