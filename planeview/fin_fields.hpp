// Reading the fields of a fin record quickly.
//
// A fin record is (3I4,8F12.2): h, k, l, then F and sigF of the four data
// sets init, trunc, aniso and iso. Ten million of them are read twice in a
// run, so the plain forms that such files hold ("  -12", "   1234.56") are
// read here directly; anything else (exponents, a plus sign, Infinity, long
// digit strings, junk) goes to the common reader, which gives the same value
// or ends the run with its report of the file, line and columns.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/files.hpp"
#include "common/records.hpp"

namespace planeview {

inline constexpr int kDataSets = 4;  // init, trunc, aniso, iso

struct FinRecord {
    int32_t h = 0, k = 0, l = 0;
    float F[kDataSets] = {};
    float sigF[kDataSets] = {};
};

// The plain integer form: blanks, an optional minus sign, at most nine
// digits, blanks. An all-blank field is 0. False for anything else.
inline bool quickInteger(std::string_view field, int32_t& value) {
    const size_t n = field.size();
    size_t i = 0;
    while (i < n && field[i] == ' ') ++i;
    if (i == n) {
        value = 0;
        return true;
    }
    bool negative = false;
    if (field[i] == '-') {
        negative = true;
        ++i;
    }
    const size_t digitsStart = i;
    int32_t v = 0;
    while (i < n && field[i] >= '0' && field[i] <= '9') {
        v = v * 10 + (field[i] - '0');
        ++i;
    }
    const size_t digits = i - digitsStart;
    if (digits == 0 || digits > 9) return false;
    while (i < n && field[i] == ' ') ++i;
    if (i != n) return false;
    value = negative ? -v : v;
    return true;
}

// The plain fixed-point form: blanks, an optional minus sign, digits with at
// most one decimal point (at most nine digits in all, at least one), blanks.
// Without a point the field takes `decimals` implied decimals. The value is
// the digits as a whole number m (at most 2^24, so exact in a float) divided
// by the power of ten (exact in a float up to 10^10): one correctly rounded
// division, so the same float as the correctly rounded reading of the text.
// False for anything else.
inline bool quickFixed(std::string_view field, int decimals, float& value) {
    static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                             1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const size_t n = field.size();
    size_t i = 0;
    while (i < n && field[i] == ' ') ++i;
    if (i == n) {
        value = 0;
        return true;
    }
    bool negative = false;
    if (field[i] == '-') {
        negative = true;
        ++i;
    }
    uint32_t m = 0;
    int digits = 0;
    int fraction = -1;  // digits after the point; -1 while no point was seen
    for (; i < n; ++i) {
        const char c = field[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 9) return false;
            m = m * 10 + static_cast<uint32_t>(c - '0');
            if (fraction >= 0) ++fraction;
        } else if (c == '.' && fraction < 0) {
            fraction = 0;
        } else {
            break;
        }
    }
    if (digits == 0) return false;
    while (i < n && field[i] == ' ') ++i;
    if (i != n) return false;
    const int scale = fraction < 0 ? decimals : fraction;
    if (m > (1u << 24) || scale > 10) return false;
    const float magnitude = static_cast<float>(m) / kPowersOfTen[scale];
    value = negative ? -magnitude : magnitude;
    return true;
}

// Fields in columns [first, first + width - 1] of the line, read quickly
// when plain and by the common reader otherwise.
inline int32_t readIntegerField(std::string_view line, const common::LineSource& source, int first, int width) {
    int32_t value = 0;
    if (quickInteger(common::columns(line, first, first + width - 1), value)) return value;
    common::RecordCursor cursor(line, source);
    cursor.skip(first - 1);
    return cursor.readInteger(width);
}

inline float readFixedField(std::string_view line, const common::LineSource& source, int first, int width,
                            int decimals) {
    float value = 0;
    if (quickFixed(common::columns(line, first, first + width - 1), decimals, value)) return value;
    common::RecordCursor cursor(line, source);
    cursor.skip(first - 1);
    return cursor.readFixed(width, decimals);
}

// Columns 1-12: the three indices.
inline void readFinIndices(std::string_view line, const common::LineSource& source, FinRecord& record) {
    record.h = readIntegerField(line, source, 1, 4);
    record.k = readIntegerField(line, source, 5, 4);
    record.l = readIntegerField(line, source, 9, 4);
}

// Columns 13-108: F and sigF of the four data sets.
inline void readFinAmplitudes(std::string_view line, const common::LineSource& source, FinRecord& record) {
    for (int set = 0; set < kDataSets; ++set) {
        const int first = 13 + 24 * set;
        record.F[set] = readFixedField(line, source, first, 12, 2);
        record.sigF[set] = readFixedField(line, source, first + 12, 12, 2);
    }
}

// The whole record, every field checked.
inline void readFinRecord(std::string_view line, const common::LineSource& source, FinRecord& record) {
    readFinIndices(line, source, record);
    readFinAmplitudes(line, source, record);
}

}  // namespace planeview
