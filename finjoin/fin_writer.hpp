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
#include <cstring>

#include "common/layout/fin_file.hpp"

namespace finjoin {

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Right-justified digits of `magnitude` ending at `end`, two at a time;
// one 0 for 0. Returns the first digit's place.
inline char* writeDigits(char* end, uint64_t magnitude) {
    while (magnitude >= 100) {
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * (magnitude % 100), 2);
        magnitude /= 100;
    }
    if (magnitude >= 10) {
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * magnitude, 2);
        return end;
    }
    *--end = static_cast<char>('0' + magnitude);
    return end;
}

// The fields below are written into a record filled with blanks.

// I4 of an index from -999 to 9999.
inline void formatIndex(char* field, int32_t value) {
    char* p = writeDigits(field + common::fin_file::kIndexWidth, static_cast<uint64_t>(value < 0 ? -int64_t{value} : value));
    if (value < 0) p[-1] = '-';
}

// F12.2 of a value for which common::fin_file::valueFits holds; a minus sign on
// every negative value, also one that rounds to zero, and a 0 before the
// point. Adding and taking away 2^52 rounds a double below 2^52 to a whole
// number, half to even, in the default rounding mode.
inline void formatValue(char* field, float value) {
    const double scaled = std::fabs(static_cast<double>(value) * 100.0);
    const uint64_t hundredths = static_cast<uint64_t>((scaled + 0x1p52) - 0x1p52);
    char* end = field + common::fin_file::kValueWidth;
    std::memcpy(end - 2, kDigitPairs + 2 * (hundredths % 100), 2);
    end[-3] = '.';
    char* p = writeDigits(end - 3, hundredths / 100);
    if (std::signbit(value)) p[-1] = '-';
}

// The 108 columns of a record.
inline void formatFinRecord(char* record, const common::fin_file::Record& r) {
    std::memset(record, ' ', common::fin_file::kRecordLength);
    formatIndex(record, r.h);
    formatIndex(record + common::fin_file::kIndexWidth, r.k);
    formatIndex(record + 2 * common::fin_file::kIndexWidth, r.l);
    for (int set = 0; set < common::fin_file::kDataSets; ++set) {
        formatValue(record + common::fin_file::amplitudeColumn(set) - 1, r.F[set]);
        formatValue(record + common::fin_file::sigmaColumn(set) - 1, r.sigF[set]);
    }
}

}  // namespace finjoin
