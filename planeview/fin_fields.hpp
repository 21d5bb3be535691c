// Reading the fields of a fin record quickly.
//
// A fin record is (3I4,8F12.2): h, k, l, then F and sigF of the four data
// sets init, trunc, aniso and iso. Ten million of them are read twice in a
// run. A whole record as "%4d" and "%12.2f" write it, with no negative
// amplitude or sigma, is checked and its amplitudes converted sixteen
// columns at a time; a field in another plain form ("1234", "  -12.5  ") is read directly; anything else (exponents, a
// plus sign, Infinity, long digit strings, junk) goes to the common reader,
// which gives the same value or ends the run with its report of the file,
// line and columns. Every quick reading gives the common reader's value.
#pragma once

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>

#include "common/files.hpp"
#include "common/fin_layout.hpp"
#include "common/records.hpp"

namespace planeview {

inline constexpr int kDataSets = common::kFinDataSets;  // init, trunc, aniso, iso
using common::FinRecord;

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

// The float nearest hundredths / 100, for hundredths up to 2^24, by a
// multiplication in double precision: that product is within 2^-52 of the
// quotient, and no such quotient lies closer than 2^-31 (relatively) to a
// point halfway between two floats, so rounding the product to a float
// gives the correctly rounded quotient, the same as the division
// float(hundredths) / 100 (checked for every value in the tests).
inline float fromHundredths(uint32_t hundredths, bool negative) {
    const float magnitude = static_cast<float>(static_cast<double>(hundredths) * 0.01);
    return negative ? -magnitude : magnitude;
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
    record.h = readIntegerField(line, source, common::finIndexColumn(0), common::kFinIndexWidth);
    record.k = readIntegerField(line, source, common::finIndexColumn(1), common::kFinIndexWidth);
    record.l = readIntegerField(line, source, common::finIndexColumn(2), common::kFinIndexWidth);
}

// Columns 13-108: F and sigF of the four data sets.
inline void readFinAmplitudes(std::string_view line, const common::LineSource& source, FinRecord& record) {
    constexpr int width = common::kFinValueWidth, decimals = common::kFinDecimals;
    for (int set = 0; set < kDataSets; ++set) {
        record.F[set] = readFixedField(line, source, common::finAmplitudeColumn(set), width, decimals);
        record.sigF[set] = readFixedField(line, source, common::finSigmaColumn(set), width, decimals);
    }
}

// The whole record, every field checked.
inline void readFinRecord(std::string_view line, const common::LineSource& source, FinRecord& record) {
    readFinIndices(line, source, record);
    readFinAmplitudes(line, source, record);
}

#if defined(__SSE2__)
// Classes of sixteen columns at once, one bit a column (the first column in
// the lowest bit): digits, blanks, minus signs and points.
struct ColumnClasses {
    uint64_t digit = 0, blank = 0, minus = 0, point = 0;
};

inline void classifyColumns(const char* columns16, int shift, ColumnClasses& c) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(columns16));
    const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('0' - 1)),
                                          _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)));
    auto bits = [](__m128i m) { return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))); };
    c.digit |= bits(isDigit) << shift;
    c.blank |= bits(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(' '))) << shift;
    c.minus |= bits(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('-'))) << shift;
    c.point |= bits(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('.'))) << shift;
}

// Fields side by side in the class masks, the columns to check set in
// `lane` and the last of them in `lastOfLane`: in each field these columns
// are blanks, then at most one minus sign, then digits that run to the last
// column (or blanks alone).
inline bool signedDigitsInLanes(const ColumnClasses& c, uint64_t lane, uint64_t lastOfLane) {
    const uint64_t digit = c.digit & lane;
    const uint64_t notDigit = ~c.digit & lane;
    // No digit is followed by a column that is not one, within the lane.
    const bool runToEnd = (digit & ~(c.digit >> 1) & lane & ~lastOfLane) == 0;
    // A column that is not a digit is a blank, or a minus sign just before
    // a digit.
    const bool signs = (notDigit & ~(c.blank | (c.minus & (c.digit >> 1) & ~lastOfLane))) == 0;
    return runToEnd && signs;
}

// A whole record of printed fields, (3I4,8F12.2) as "%4d" and "%12.2f"
// write them for a reflection with amplitudes and sigmas of 0 or more. An
// index field is blanks, an optional minus sign and digits (all blanks is
// 0). An amplitude field is a blank, then blanks and one to eight digits up
// to column 9, the point in column 10 and two decimals, at most 167772.16
// (2^24 hundredths, exact in a float). The fields are checked four at a
// time on bit masks of their columns; only the four amplitudes F are
// converted. False when any field is in another form (a negative amplitude
// included). Reads columns 1-108 and nothing beyond them.
inline bool quickPrintedFinRecord(const char* record, float (&F)[kDataSets]) {
    // Columns 1-12: three index fields of four columns.
    ColumnClasses indices;
    classifyColumns(record, 0, indices);
    bool ok = signedDigitsInLanes(indices, 0xFFF, 0x888);

    // Columns 13-108: eight amplitude fields of twelve columns, four to a
    // 48-bit word.
    uint64_t digit[2] = {}, blank[2] = {}, point[2] = {};
    const __m128i zeroBelow = _mm_set1_epi8('0' - 1), nineAbove = _mm_set1_epi8('9' + 1);
    const __m128i blankChar = _mm_set1_epi8(' '), pointChar = _mm_set1_epi8('.');
    for (int half = 0; half < 2; ++half) {
        for (int chunk = 0; chunk < 3; ++chunk) {
            const __m128i x =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(record + 12 + 48 * half + 16 * chunk));
            const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(x, zeroBelow), _mm_cmplt_epi8(x, nineAbove));
            digit[half] |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(isDigit))) << (16 * chunk);
            blank[half] |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, blankChar))))
                           << (16 * chunk);
            point[half] |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, pointChar))))
                           << (16 * chunk);
        }
    }
    constexpr uint64_t kFields = 0xFFFFFFFFFFFFull;
    constexpr uint64_t kWhole = 0x1FF1FF1FF1FFull;    // columns 1-9 of each field
    constexpr uint64_t kColumn9 = 0x100100100100ull;
    constexpr uint64_t kColumn1 = 0x001001001001ull;
    constexpr uint64_t kPoint = 0x200200200200ull;    // column 10
    constexpr uint64_t kDecimals = 0xC00C00C00C00ull;  // columns 11-12
    for (int half = 0; half < 2; ++half) {
        const uint64_t d = digit[half];
        // Every column is a digit or a blank but the point in column 10;
        // columns 11-12 and 9 are digits, column 1 is not, and no digit in
        // columns 1-8 is followed by a blank.
        ok &= point[half] == kPoint && (~(d | blank[half]) & kFields) == kPoint;
        ok &= (d & (kDecimals | kColumn9 | kColumn1)) == (kDecimals | kColumn9);
        ok &= (d & ~(d >> 1) & kWhole & ~kColumn9) == 0;
    }

    // The whole parts of the four F, columns 2-9 of their fields, two
    // fields to a register: blanks become 0, then pairs of digits, fours
    // and eights are joined.
    int32_t whole[kDataSets];
    for (int half = 0; half < 2; ++half) {
        const char* first = record + 12 + 48 * half;  // the F field of set 2 * half
        const __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(first + 1)),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(first + 25)));
        const __m128i digits = _mm_and_si128(_mm_sub_epi8(x, _mm_set1_epi8('0')), _mm_cmpgt_epi8(x, zeroBelow));
        const __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(digits, _mm_set1_epi16(0x00FF)),
                                                            _mm_set1_epi16(10)),
                                            _mm_srli_epi16(digits, 8));
        const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));        // 100 * first + second
        const __m128i packed = _mm_packs_epi32(fours, fours);
        const __m128i eights = _mm_madd_epi16(packed, _mm_set1_epi32(0x00012710));      // 10000 * first + second
        whole[2 * half] = _mm_cvtsi128_si32(eights);
        whole[2 * half + 1] = _mm_cvtsi128_si32(_mm_srli_si128(eights, 4));
    }
    uint32_t hundredths[kDataSets] = {};
    for (int set = 0; set < kDataSets; ++set) {
        const char* field = record + 12 + 24 * set;
        const uint64_t all = static_cast<uint64_t>(static_cast<uint32_t>(whole[set])) * 100 +
                             static_cast<unsigned>(field[10] - '0') * 10u + static_cast<unsigned>(field[11] - '0');
        ok &= all <= (1u << 24);
        hundredths[set] = static_cast<uint32_t>(all);
    }
    if (!ok) return false;
    for (int set = 0; set < kDataSets; ++set) F[set] = fromHundredths(hundredths[set], false);
    return true;
}
#endif

// Whether a record read whole before, with its fields known to be numbers,
// has no index 0: each of the three index fields holds a digit 1-9. Most
// records of a fin file lie in no zone and are passed over on this alone.
inline bool hasNoZeroIndex(std::string_view line) {
#if defined(__SSE2__)
    if (line.size() >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data()));
        const unsigned nonzero = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
            _mm_cmpgt_epi8(chunk, _mm_set1_epi8('0')), _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)))));
        return (nonzero & 0xF) != 0 && (nonzero & 0xF0) != 0 && (nonzero & 0xF00) != 0;
    }
#endif
    auto nonzeroDigit = [&](size_t first) {
        for (size_t i = first; i < first + 4 && i < line.size(); ++i) {
            if (line[i] >= '1' && line[i] <= '9') return true;
        }
        return false;
    };
    return nonzeroDigit(0) && nonzeroDigit(4) && nonzeroDigit(8);
}

// The whole record checked, the amplitudes F returned: the first pass needs
// no more. A record of printed fields converts only its four amplitudes.
inline void readFinAmplitudesForMeans(std::string_view line, const common::LineSource& source,
                                      float (&F)[kDataSets]) {
#if defined(__SSE2__)
    if (line.size() >= 108 && quickPrintedFinRecord(line.data(), F)) return;
#endif
    FinRecord record;
    readFinRecord(line, source, record);
    for (int set = 0; set < kDataSets; ++set) F[set] = record.F[set];
}

}  // namespace planeview
