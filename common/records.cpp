#include "common/records.hpp"

#include "common/exact_decimal.hpp"
#include "common/input_file.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace common {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view trimBlanks(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return s.substr(b, e - b);
}

bool equalsIgnoringCase(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Reads a decimal text that from_chars understands ("123.45e-6"); a value
// beyond the float range becomes an infinity or zero as IEEE arithmetic
// would give it.
float decimalToFloat(const char* begin, const char* end) {
    float value = 0;
    const auto result = std::from_chars(begin, end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        const std::string copy(begin, end);
        return std::strtof(copy.c_str(), nullptr);
    }
    return value;
}

// "Inf", "Infinity" and "NaN" in any case, after the sign.
bool parseSpecialName(std::string_view body, bool negative, float& value) {
    if (equalsIgnoringCase(body, "inf") || equalsIgnoringCase(body, "infinity")) {
        value = negative ? -INFINITY : INFINITY;
        return true;
    }
    if (equalsIgnoringCase(body, "nan")) {
        value = NAN;
        return true;
    }
    return false;
}

// The mantissa's digits (with their point) times 10^power, as the text
// "digits.digits e power" read by from_chars.
float convertScientific(std::string_view mantissa, long power) {
    char text[96];
    std::string longText;
    char* out = text;
    if (mantissa.size() + 16 > sizeof text) {
        longText.resize(mantissa.size() + 16);
        out = longText.data();
    }
    char* p = out;
    std::memcpy(p, mantissa.data(), mantissa.size());
    p += mantissa.size();
    if (power != 0) {
        *p++ = 'e';
        p = std::to_chars(p, p + 12, power).ptr;
    }
    return decimalToFloat(out, p);
}

// One number, without blanks around it: [sign] digits [. digits] [exponent],
// or Inf, Infinity, NaN. Without a decimal point the value takes `decimals`
// implied decimals. The exponent is E or D in either case followed by an
// optional sign, or a bare sign, then digits to the end; huge exponents are
// capped (they give an infinity or zero either way).
//
// One pass over the token gives the digits as a whole number, where at most
// nineteen of them make it, the digits after the point and the exponent.
// The common case of reflection files, a few significant digits and a small
// exponent ("1.151E+04", "-12.5"), is then an integer that a float holds
// exactly times an exact power of ten: one multiplication or division,
// correctly rounded (common/exact_decimal.hpp). Anything else is read by
// from_chars, from the token itself where it is already in that form.
ParseStatus parseNumberToken(std::string_view token, int decimals, float& value) {
    const char* p = token.data();
    const char* const end = p + token.size();
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    const char* const body = p;
    uint64_t whole = 0;  // wraps past nineteen digits; not used then
    for (; p < end && isDigit(*p); ++p) whole = whole * 10 + static_cast<uint64_t>(*p - '0');
    const bool hasPoint = p < end && *p == '.';
    long fraction = 0;  // digits after the point
    if (hasPoint) {
        const char* const first = ++p;
        for (; p < end && isDigit(*p); ++p) whole = whole * 10 + static_cast<uint64_t>(*p - '0');
        fraction = p - first;
    }
    const char* const mantissaEnd = p;
    const long digits = (mantissaEnd - body) - (hasPoint ? 1 : 0);
    if (digits == 0) {
        if (parseSpecialName(std::string_view(body, static_cast<size_t>(end - body)), negative, value)) return ParseStatus::ok;
        return ParseStatus::notANumber;
    }
    long exponent = 0;
    bool plainExponent = true;  // none, or after E or e: from_chars reads it as written
    if (p < end) {
        if (*p == 'e' || *p == 'E') {
            ++p;
        } else if (*p == 'd' || *p == 'D') {
            ++p;
            plainExponent = false;
        } else {
            plainExponent = false;
        }
        if (p == end || (*p != '+' && *p != '-' && !isDigit(*p))) return ParseStatus::notANumber;
        const bool exponentNegative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        if (p == end) return ParseStatus::notANumber;
        for (; p < end; ++p) {
            if (!isDigit(*p)) return ParseStatus::notANumber;
            if (exponent < 100000) {
                exponent = exponent * 10 + (*p - '0');
            } else {
                plainExponent = false;  // capped: the text no longer says the value
            }
        }
        if (exponentNegative) exponent = -exponent;
    }
    const long implied = hasPoint ? 0 : decimals;
    const long power = exponent - implied - fraction;
    if (digits <= 19 && whole <= kExactMantissaLimit && power >= -kExactPowerLimit && power <= kExactPowerLimit) {
        scaleExactly(static_cast<uint32_t>(whole), static_cast<int>(power), negative, value);
        return ParseStatus::ok;
    }
    float magnitude = 0;
    if (implied == 0 && plainExponent) {
        const auto result = std::from_chars(body, end, magnitude, std::chars_format::general);
        if (result.ptr != end || (result.ec != std::errc() && result.ec != std::errc::result_out_of_range)) {
            magnitude = convertScientific(std::string_view(body, static_cast<size_t>(mantissaEnd - body)), exponent);
        } else if (result.ec == std::errc::result_out_of_range) {
            magnitude = decimalToFloat(body, end);
        }
    } else {
        magnitude = convertScientific(std::string_view(body, static_cast<size_t>(mantissaEnd - body)), exponent - implied);
    }
    value = negative ? -magnitude : magnitude;
    return ParseStatus::ok;
}

}  // namespace

std::string_view columns(std::string_view line, int first, int last) {
    const size_t begin = static_cast<size_t>(first - 1);
    if (begin >= line.size() || last < first) return {};
    const size_t end = std::min(line.size(), static_cast<size_t>(last));
    return line.substr(begin, end - begin);
}

ParseStatus parseInteger(std::string_view field, int32_t& value) {
    field = trimBlanks(field);
    if (field.empty()) {
        value = 0;
        return ParseStatus::ok;
    }
    size_t i = 0;
    bool negative = false;
    if (field[0] == '+' || field[0] == '-') {
        negative = field[0] == '-';
        i = 1;
    }
    if (i == field.size()) return ParseStatus::notANumber;
    int64_t magnitude = 0;
    for (; i < field.size(); ++i) {
        if (!isDigit(field[i])) return ParseStatus::notANumber;
        magnitude = magnitude * 10 + (field[i] - '0');
        if (magnitude > 2147483648LL) {
            // Keep reading: a later non-digit makes it not a number at all.
            for (++i; i < field.size(); ++i) {
                if (!isDigit(field[i])) return ParseStatus::notANumber;
            }
            return ParseStatus::tooLarge;
        }
    }
    if (!negative && magnitude > 2147483647LL) return ParseStatus::tooLarge;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return ParseStatus::ok;
}

ParseStatus parseFixed(std::string_view field, int decimals, float& value) {
    field = trimBlanks(field);
    if (field.empty()) {
        value = 0;
        return ParseStatus::ok;
    }
    return parseNumberToken(field, decimals, value);
}

ParseStatus parseFreeNumber(std::string_view slice, float& value) {
    size_t b = 0;
    while (b < slice.size() && slice[b] == ' ') ++b;
    size_t e = b;
    while (e < slice.size() && slice[e] != ' ' && slice[e] != ',') ++e;
    if (e == b) return ParseStatus::notANumber;
    return parseNumberToken(slice.substr(b, e - b), 0, value);
}

// ---------------------------------------------------------------- cursor

std::string_view RecordCursor::take(int width, int& first, int& last) {
    first = column_;
    last = column_ + width - 1;
    column_ += width;
    return columns(line_, first, last);
}

void RecordCursor::fail(int first, int last, std::string_view field, ParseStatus status) const {
    std::string message;
    if (trimBlanks(field).empty()) {
        message = "no number in a blank field";
    } else {
        message = "\"";
        message += field;
        message += status == ParseStatus::tooLarge ? "\" is too large for a 32-bit integer" : "\" is not a number";
    }
    source_->failAt(first, last, message);
}

int32_t RecordCursor::readInteger(int width) {
    int first = 0, last = 0;
    const std::string_view field = take(width, first, last);
    int32_t value = 0;
    const ParseStatus status = parseInteger(field, value);
    if (status != ParseStatus::ok) fail(first, last, field, status);
    return value;
}

float RecordCursor::readFixed(int width, int decimals) {
    int first = 0, last = 0;
    const std::string_view field = take(width, first, last);
    float value = 0;
    const ParseStatus status = parseFixed(field, decimals, value);
    if (status != ParseStatus::ok) fail(first, last, field, status);
    return value;
}

float RecordCursor::readFree(int width) {
    int first = 0, last = 0;
    const std::string_view field = take(width, first, last);
    float value = 0;
    const ParseStatus status = parseFreeNumber(field, value);
    if (status != ParseStatus::ok) fail(first, last, field, status);
    return value;
}

std::string_view RecordCursor::readText(int width) {
    int first = 0, last = 0;
    return take(width, first, last);
}

// ---------------------------------------------------------------- writing

void appendInteger(std::string& out, int64_t value, int width) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    const size_t length = static_cast<size_t>(result.ptr - text);
    if (length > static_cast<size_t>(width)) {
        out.append(static_cast<size_t>(width), '*');
        return;
    }
    out.append(static_cast<size_t>(width) - length, ' ');
    out.append(text, length);
}

std::string fixedText(float value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char text[128];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string s(text, result.ptr);
    if (decimals == 0) s += '.';
    return s;
}

void appendFixed(std::string& out, float value, int width, int decimals) {
    const size_t w = static_cast<size_t>(width);
    std::string s = fixedText(value, decimals);
    if (s.size() > w) {
        if (s == "Infinity") {
            s = "Inf";
        } else if (s == "-Infinity") {
            s = "-Inf";
        } else if (decimals > 0 && s.compare(0, 2, "0.") == 0) {
            // The zero before the point only where there is room; with no
            // decimals it is the only digit and stays ("." is no number).
            s.erase(0, 1);
        } else if (decimals > 0 && s.compare(0, 3, "-0.") == 0) {
            s.erase(1, 1);
        }
    }
    if (s.size() > w) {
        out.append(w, '*');
        return;
    }
    out.append(w - s.size(), ' ');
    out.append(s);
}

std::string generalText(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

RecordBuffer& RecordBuffer::integer(int64_t value, int width) {
    appendInteger(text_, value, width);
    return *this;
}

RecordBuffer& RecordBuffer::fixed(float value, int width, int decimals) {
    appendFixed(text_, value, width, decimals);
    return *this;
}

RecordBuffer& RecordBuffer::textRight(std::string_view s, int width) {
    const size_t w = static_cast<size_t>(width);
    if (s.size() >= w) {
        text_.append(s.substr(0, w));
    } else {
        text_.append(w - s.size(), ' ');
        text_.append(s);
    }
    return *this;
}

RecordBuffer& RecordBuffer::padTo(size_t length) {
    if (text_.size() < length) text_.append(length - text_.size(), ' ');
    return *this;
}

void FreeLine::separate() {
    if (!first_) line_ += ' ';
    first_ = false;
}

FreeLine& FreeLine::text(std::string_view s) {
    separate();
    line_ += s;
    return *this;
}

FreeLine& FreeLine::real(float value) {
    separate();
    line_ += generalText(value);
    return *this;
}

FreeLine& FreeLine::integer(int64_t value) {
    separate();
    line_ += std::to_string(value);
    return *this;
}

}  // namespace common
