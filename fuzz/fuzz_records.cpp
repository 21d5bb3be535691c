// The record reader's fields, each against a plain reference: Iw (integer),
// Fw.d (fixed, with implied decimals) and the free-format number of a
// slice; and the writer's Fw.d and Iw read back by the reader.
//
// Input: one byte that chooses the check and its parameters, then the
// field text (or, for the writer, the bytes of the value).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/records.hpp"

namespace {

using common::ParseStatus;

[[noreturn]] void broken(const std::string& what, std::string_view field) {
    std::fprintf(stderr, "fuzz_records: %s for the field \"", what.c_str());
    std::fwrite(field.data(), 1, field.size(), stderr);
    std::fprintf(stderr, "\"\n");
    std::abort();
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool sameFloat(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;  // the sign of a zero counts
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// One number token, read the slow and obvious way: the mantissa's digits
// and point kept as text, the exponent (E, D, or a bare sign, as Fortran
// writes it) added up, implied decimals taken off when there is no point,
// and strtof, which rounds correctly, doing the conversion. Nothing when
// the token is not a number.
std::optional<float> referenceNumber(std::string_view token, int decimals) {
    std::string sign;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        if (token[0] == '-') sign = "-";
        token.remove_prefix(1);
    }
    const std::string word = lower(token);
    if (word == "inf" || word == "infinity") return sign.empty() ? INFINITY : -INFINITY;
    if (word == "nan") return NAN;

    size_t i = 0;
    int digits = 0;
    bool point = false;
    while (i < token.size() && (isDigit(token[i]) || (token[i] == '.' && !point))) {
        if (token[i] == '.') point = true; else ++digits;
        ++i;
    }
    if (digits == 0) return std::nullopt;
    const std::string mantissa(token.substr(0, i));
    long long exponent = 0;
    if (i < token.size()) {
        const char c = token[i];
        if (c == 'e' || c == 'E' || c == 'd' || c == 'D') ++i;
        else if (c != '+' && c != '-') return std::nullopt;
        bool negative = false;
        if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
            negative = token[i] == '-';
            ++i;
        }
        if (i == token.size()) return std::nullopt;
        for (; i < token.size(); ++i) {
            if (!isDigit(token[i])) return std::nullopt;
            if (exponent < 100000000) exponent = exponent * 10 + (token[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    if (!point) exponent -= decimals;
    const std::string text = sign + mantissa + "e" + std::to_string(exponent);
    return std::strtof(text.c_str(), nullptr);
}

void checkInteger(std::string_view field) {
    int32_t value = 0;
    const ParseStatus status = common::parseInteger(field, value);

    const std::string_view t = trim(field);
    ParseStatus expected = ParseStatus::ok;
    long long reference = 0;
    size_t i = 0;
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        i = 1;
    }
    if (!t.empty() && i == t.size()) expected = ParseStatus::notANumber;
    bool big = false;
    for (; i < t.size() && expected == ParseStatus::ok; ++i) {
        if (!isDigit(t[i])) expected = ParseStatus::notANumber;
        else if (!big) {
            reference = reference * 10 + (t[i] - '0');
            big = reference > 4000000000LL;
        }
    }
    if (negative) reference = -reference;
    if (expected == ParseStatus::ok && (big || reference < INT32_MIN || reference > INT32_MAX)) {
        expected = ParseStatus::tooLarge;
    }
    if (status != expected) broken("parseInteger status", field);
    if (status != ParseStatus::ok) return;
    if (value != reference) broken("parseInteger value", field);

    // Written back in the narrowest field that holds it, and read again.
    std::string written;
    common::appendInteger(written, value, 11);
    int32_t again = 0;
    if (common::parseInteger(written, again) != ParseStatus::ok || again != value) {
        broken("appendInteger then parseInteger", field);
    }
}

void checkFixed(std::string_view field, int decimals) {
    float value = 0;
    const ParseStatus status = common::parseFixed(field, decimals, value);
    const std::string_view t = trim(field);
    const std::optional<float> reference = t.empty() ? std::optional<float>(0.0f) : referenceNumber(t, decimals);
    if ((status == ParseStatus::ok) != reference.has_value()) broken("parseFixed status", field);
    if (reference && !sameFloat(value, *reference)) broken("parseFixed value", field);
}

void checkFree(std::string_view slice) {
    float value = 0;
    const ParseStatus status = common::parseFreeNumber(slice, value);
    size_t b = 0;
    while (b < slice.size() && slice[b] == ' ') ++b;
    size_t e = b;
    while (e < slice.size() && slice[e] != ' ' && slice[e] != ',') ++e;
    const std::optional<float> reference =
        e == b ? std::nullopt : referenceNumber(slice.substr(b, e - b), 0);
    if ((status == ParseStatus::ok) != reference.has_value()) broken("parseFreeNumber status", slice);
    if (reference && !sameFloat(value, *reference)) broken("parseFreeNumber value", slice);
}

// Fw.d written, then read with the same d: the field is exactly w wide, and
// unless it is asterisks it reads back as a float that writes the very same
// field, within one unit of the last decimal of the value written.
void checkRoundTrip(float value, int width, int decimals) {
    std::string written;
    common::appendFixed(written, value, width, decimals);
    if (written.size() != static_cast<size_t>(width)) broken("appendFixed width", written);
    if (written.find('*') != std::string::npos) {
        if (written != std::string(static_cast<size_t>(width), '*')) broken("appendFixed partial asterisks", written);
        return;
    }
    float back = 0;
    if (common::parseFixed(written, decimals, back) != ParseStatus::ok) broken("appendFixed unreadable", written);
    std::string again;
    common::appendFixed(again, back, width, decimals);
    if (again != written) broken("appendFixed of the value read back differs", written);
    if (std::isfinite(value)) {
        if (!(std::fabs(static_cast<double>(back) - static_cast<double>(value)) <= std::pow(10.0, -decimals))) {
            broken("value read back too far from the value written", written);
        }
    } else if (!sameFloat(back, value) && !(std::isnan(back) && std::isnan(value))) {
        broken("non-finite value read back as another", written);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (selector % 4) {
        case 0:
            checkInteger(rest);
            break;
        case 1:
            checkFixed(rest, (selector >> 2) % 12);  // d = 0 to 11
            break;
        case 2:
            checkFree(rest);
            break;
        case 3: {
            if (rest.size() < 5) return 0;
            float value = 0;
            std::memcpy(&value, rest.data(), sizeof value);
            const int width = 1 + static_cast<uint8_t>(rest[4]) % 40;
            const int decimals = (selector >> 2) % 16;
            checkRoundTrip(value, width, decimals);
            break;
        }
    }
    return 0;
}
