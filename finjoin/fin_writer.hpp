// Writing fin records quickly: a million records of eight F12.2 fields are
// formatted from whole hundredths instead of through the general writer.
//
// A float times 100 is exact in double precision (24 bits times 7), so
// rounding that product to a whole number, half to even, rounds the exact
// binary value as the common writer does; the digits then follow with the
// point before the last two. Only for fields known to fit (indices within
// I4, values within F12.2); the common writer gives the same bytes and is
// compared with this one in the tests.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/fin_layout.hpp"

namespace finjoin {

// Right-justified digits of `magnitude` ending at `end`, at least `minDigits`.
inline char* writeDigits(char* end, uint64_t magnitude, int minDigits) {
    do {
        *--end = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        --minDigits;
    } while (magnitude != 0 || minDigits > 0);
    return end;
}

inline void fillBlanks(char* field, char* from) {
    while (from > field) *--from = ' ';
}

// I4 of an index from -999 to 9999.
inline void formatIndex(char* field, int32_t value) {
    char* p = writeDigits(field + common::kFinIndexWidth, static_cast<uint64_t>(value < 0 ? -int64_t{value} : value), 1);
    if (value < 0) *--p = '-';
    fillBlanks(field, p);
}

// F12.2 of a value for which common::finValueFits holds; a minus sign on
// every negative value, also one that rounds to zero, and a 0 before the
// point.
inline void formatValue(char* field, float value) {
    const double hundredths = std::nearbyint(std::fabs(static_cast<double>(value) * 100.0));
    const uint64_t whole = static_cast<uint64_t>(hundredths);
    char* end = field + common::kFinValueWidth;
    char* p = writeDigits(end, whole % 100, 2);
    *--p = '.';
    p = writeDigits(p, whole / 100, 1);
    if (std::signbit(value)) *--p = '-';
    fillBlanks(field, p);
}

// The 108 columns of a record.
inline void formatFinRecord(char* record, const common::FinRecord& r) {
    formatIndex(record, r.h);
    formatIndex(record + common::kFinIndexWidth, r.k);
    formatIndex(record + 2 * common::kFinIndexWidth, r.l);
    for (int set = 0; set < common::kFinDataSets; ++set) {
        formatValue(record + common::finAmplitudeColumn(set) - 1, r.F[set]);
        formatValue(record + common::finSigmaColumn(set) - 1, r.sigF[set]);
    }
}

}  // namespace finjoin
