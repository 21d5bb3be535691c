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

// One number, without blanks around it: [sign] digits [. digits] [exponent],
// or Inf, Infinity, NaN. Without a decimal point the value takes `decimals`
// implied decimals.
// The common case of reflection files, a few significant digits and a small
// exponent ("1.151E+04", "-12.5"): the digits make an integer that a float
// holds exactly, and one multiplication or division by an exact power of
// ten then rounds correctly (common/exact_decimal.hpp). False when the token
// needs the general path.
bool parseShortDecimal(std::string_view token, int decimals, float& value) {
    const char* p = token.data();
    const char* end = p + token.size();
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }
    uint32_t mantissa = 0;
    int digits = 0;
    int scale = 0;  // decimal digits after the point
    bool hasPoint = false;
    for (; p < end; ++p) {
        const char c = *p;
        if (isDigit(c)) {
            if (++digits > 8) return false;
            mantissa = mantissa * 10 + static_cast<uint32_t>(c - '0');
            if (hasPoint) ++scale;
        } else if (c == '.' && !hasPoint) {
            hasPoint = true;
        } else {
            break;
        }
    }
    if (digits == 0) return false;
    int exponent = 0;
    if (p < end) {
        if (*p != 'E' && *p != 'e') return false;
        ++p;
        bool exponentNegative = false;
        if (p < end && (*p == '-' || *p == '+')) {
            exponentNegative = *p == '-';
            ++p;
        }
        if (p == end || end - p > 3) return false;
        for (; p < end; ++p) {
            if (!isDigit(*p)) return false;
            exponent = exponent * 10 + (*p - '0');
        }
        if (exponentNegative) exponent = -exponent;
    }
    if (!hasPoint) scale += decimals;
    return scaleExactly(mantissa, exponent - scale, negative, value);
}

// Other plain decimal numbers ("123456789.5", "1.5e-30") straight through
// from_chars, when the text needs no implied decimals and is nothing but
// the number.
bool parseUnscaledDecimal(std::string_view token, int decimals, float& value) {
    if (token.empty() || token[0] == '+' || (decimals != 0 && token.find('.') == std::string_view::npos)) return false;
    float quick = 0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), quick, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != token.data() + token.size() ||
        !(isDigit(token.back()) || token.back() == '.')) {
        return false;
    }
    value = quick;
    return true;
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

// Digits with at most one point from the start of `body`; empty when there
// is no digit.
std::string_view scanMantissa(std::string_view body, bool& hasPoint) {
    size_t i = 0, digits = 0;
    hasPoint = false;
    for (; i < body.size(); ++i) {
        if (isDigit(body[i])) {
            ++digits;
        } else if (body[i] == '.' && !hasPoint) {
            hasPoint = true;
        } else {
            break;
        }
    }
    return digits == 0 ? std::string_view() : body.substr(0, i);
}

// The exponent after the mantissa: E or D in either case followed by an
// optional sign, or a bare sign, then digits to the end. An empty rest is
// exponent 0. False when the rest is anything else. Huge exponents are
// capped: they give an infinity or zero either way.
bool scanExponent(std::string_view rest, long& exponent) {
    exponent = 0;
    if (rest.empty()) return true;
    size_t i = 0;
    if (rest[0] == 'e' || rest[0] == 'E' || rest[0] == 'd' || rest[0] == 'D') ++i;
    if (i >= rest.size() || (rest[i] != '+' && rest[i] != '-' && !isDigit(rest[i]))) return false;
    const bool negative = rest[i] == '-';
    if (rest[i] == '+' || rest[i] == '-') ++i;
    if (i >= rest.size()) return false;
    for (; i < rest.size(); ++i) {
        if (!isDigit(rest[i])) return false;
        if (exponent < 100000) exponent = exponent * 10 + (rest[i] - '0');
    }
    if (negative) exponent = -exponent;
    return true;
}

// The mantissa's digits with the exponent as "digits.digits e exponent",
// read by from_chars.
float convertScientific(std::string_view mantissa, long exponent) {
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
    if (exponent != 0) {
        *p++ = 'e';
        p = std::to_chars(p, p + 12, exponent).ptr;
    }
    return decimalToFloat(out, p);
}

// The quick forms first; then the general one: sign, a special name or a
// mantissa and an exponent, implied decimals where there is no point.
ParseStatus parseNumberToken(std::string_view token, int decimals, float& value) {
    if (parseShortDecimal(token, decimals, value) || parseUnscaledDecimal(token, decimals, value)) return ParseStatus::ok;
    const bool negative = !token.empty() && token[0] == '-';
    const std::string_view body = !token.empty() && (token[0] == '+' || token[0] == '-') ? token.substr(1) : token;
    if (parseSpecialName(body, negative, value)) return ParseStatus::ok;
    bool hasPoint = false;
    const std::string_view mantissa = scanMantissa(body, hasPoint);
    long exponent = 0;
    if (mantissa.empty() || !scanExponent(body.substr(mantissa.size()), exponent)) return ParseStatus::notANumber;
    if (!hasPoint) exponent -= decimals;
    const float magnitude = convertScientific(mantissa, exponent);
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
