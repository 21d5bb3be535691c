// Quick readers for the fields of a reflection record in the form in which
// XDS writes them (ovoclip and ovofit read the same files): each index
// right-justified in six columns (I6), the intensity and its sigma in
// eleven (E11.3, " 1.151E+04"). Each reader
// either gives exactly the value that the general reader would give, or
// says no and leaves the field to the general reader, which also makes the
// reports about fields that are not numbers.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "common/column_classes.hpp"
#include "common/exact_decimal.hpp"

namespace common {

namespace quick {

inline uint64_t load8(const char* p) {
    uint64_t x;
    std::memcpy(&x, p, 8);  // little-endian: the first column in the lowest byte
    return x;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;  // 1 in every byte: times c puts c in every byte

// The six bytes of an I6 field in a word loaded from its first column.
constexpr int kIndexBytes = 6;
constexpr uint64_t kIndexField = (uint64_t{1} << (8 * kIndexBytes)) - 1;
static_assert(kIndexField == 0x0000FFFFFFFFFFFFull);

// Whether every byte of `x` where `digits` has 0xFF is one of '0'-'9'.
inline bool allDigits(uint64_t x, uint64_t digits) {
    const uint64_t zeros = 0x30 * kOnes & digits;
    const uint64_t highs = 0xF0 * kOnes & digits;
    // A byte is a digit when its high nibble is 3 and adding 6 keeps it so.
    return (x & highs) == zeros && ((x + (0x06 * kOnes & digits)) & highs) == zeros;
}

// The value of up to eight decimal digits already in 0-9, the most
// significant one in the lowest byte of those used, the unused low bytes 0.
// Digits d0..d7 from the lowest byte: v * 10 + (v >> 8) puts the pair
// 10 d0 + d1 in byte 0, 10 d2 + d3 in byte 2 and so on (P0 to P3, each below
// 100, so no byte overflows). The mask 0x000000FF000000FF takes P0 and P2;
// times 100 + 10^6 * 2^32 the upper half becomes 10^6 P0 + 100 P2. Shifted
// by 16 bits the same mask takes P1 and P3; times 1 + 10^4 * 2^32 the upper
// half becomes 10^4 P1 + P3. The upper half of the sum is the number.
inline uint32_t digitsValue(uint64_t v) {
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
         (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
        32;
    return static_cast<uint32_t>(v);
}

}  // namespace quick

// An index field of six columns as XDS writes it: blanks, an optional minus
// sign and digits without a leading zero up to the last column. Exactly the
// fields that are written back unchanged by the I6 writer; true with their
// value. Reads eight bytes from `field`.
inline bool readPrintedIndex(const char* field, int32_t& value) {
    using namespace quick;
    const uint64_t x = load8(field) & kIndexField;
    // The high bit of each byte of the field that is not a blank (the two
    // bytes past the field are 0 in y, as if blank): blanks become 0 in y;
    // adding 0x7F to the low seven bits of a byte carries into its high bit
    // unless they are all 0, and or-ing y adds bytes with the high bit set.
    const uint64_t y = x ^ (0x20 * kOnes & kIndexField);
    const uint64_t notBlank = (((y & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | y) & (0x80 * kOnes);
    if (notBlank == 0) return false;  // all blank: 0, written "     0"
    const int lead = __builtin_ctzll(notBlank) >> 3;  // blanks before the number
    uint64_t rest = x >> (8 * lead);
    const bool negative = (rest & 0xFF) == '-';
    rest >>= negative ? 8 : 0;
    const int count = kIndexBytes - lead - (negative ? 1 : 0);  // digits
    if (count == 0) return false;
    const uint64_t used = ~0ull >> (64 - 8 * count);
    if (!allDigits(rest, used)) return false;
    // No leading zero, and no "-0": both would be written otherwise.
    if ((rest & 0xFF) == '0' && (count > 1 || negative)) return false;
    const uint64_t digits = (rest - (0x30 * kOnes & used)) << (8 * (8 - count));
    const int32_t magnitude = static_cast<int32_t>(digitsValue(digits));
    value = negative ? -magnitude : magnitude;
    return true;
}

// A value field of eleven columns as XDS writes it: "  d.dddE+dd" or
// " -d.dddE-dd" (xdsValueLayout). readXdsValue gives the value that the
// free-format reader gives for it, where the exponent is from -7 to 13: the
// four digits make an integer that a float holds exactly, and one
// multiplication or division by an exact power of ten rounds it correctly.
// Both read the eleven columns.
inline bool xdsValueLayout(const char* field) {
    using namespace quick;
    if (field[0] != ' ' || (field[1] != ' ' && field[1] != '-')) return false;
    const unsigned lead = static_cast<unsigned char>(field[2]) - '0';
    const uint64_t x = load8(field + 3);  // ".dddE+dd"
    // Bytes 1-3 and 6-7 digits, byte 0 the point, byte 4 'E', byte 5 a sign.
    constexpr uint64_t kDigits = 0xFFFF0000FFFFFF00ull;
    constexpr uint64_t kPointAndE = 0x000000FF000000FFull;  // bytes 0 and 4
    constexpr int kSignByte = 5;
    const uint64_t sign = (x >> (8 * kSignByte)) & 0xFF;
    return lead <= 9 && (x & kPointAndE) == ((uint64_t{'E'} << 32) | '.') && (sign == '+' || sign == '-') &&
           allDigits(x, kDigits);
}

// The value of a field already known to be in the layout.
inline bool readXdsValueOfLayout(const char* field, float& value) {
    const auto digit = [field](int i) { return static_cast<uint32_t>(field[i] & 0x0F); };
    const uint32_t mantissa = digit(2) * 1000 + digit(4) * 100 + digit(5) * 10 + digit(6);
    const int exponent = static_cast<int>(digit(9) * 10 + digit(10));
    // d.ddd E exponent is the four digits times ten to the exponent - 3.
    return common::scaleExactly(mantissa, (field[8] == '-' ? -exponent : exponent) - 3, field[1] == '-', value);
}

inline bool readXdsValue(const char* field, float& value) {
    return xdsValueLayout(field) && readXdsValueOfLayout(field, value);
}

struct PrintedIndices {
    int32_t h = 0, k = 0, l = 0;
};

// The first forty columns of a reflection record as XDS writes them
// (%6d%6d%6d%11.3E%11.3E): three index fields, then two value fields.
namespace xds {

constexpr int kIndexWidth = 6;
constexpr int kIndexFields = 3;
constexpr int kValueWidth = 11;
constexpr int kValueFirst[2] = {19, 30};
constexpr int kPrintedColumns = 40;  // all five fields
static_assert(kValueFirst[0] == kIndexWidth * kIndexFields + 1);
static_assert(kValueFirst[1] == kValueFirst[0] + kValueWidth);
static_assert(kValueFirst[1] + kValueWidth - 1 == kPrintedColumns);

// Columns [1, 18]: the three index fields side by side; their first and
// last columns.
constexpr uint64_t kIndexColumns = common::columnRange(1, kIndexWidth * kIndexFields);
constexpr uint64_t kIndexFirst = common::repeatedColumns(common::columnBits({1}), kIndexWidth, kIndexFields);
constexpr uint64_t kIndexLast = common::repeatedColumns(common::columnBits({kIndexWidth}), kIndexWidth, kIndexFields);
static_assert(kIndexFirst == common::columnBits({1, 7, 13}) && kIndexLast == common::columnBits({6, 12, 18}));

// Columns of "  d.dddE+dd" (1-based within the field) in both value fields.
constexpr uint64_t valueColumns(std::initializer_list<int> inField) {
    uint64_t bits = 0;
    for (const int first : kValueFirst) {
        for (const int column : inField) bits |= common::columnBits({first + column - 1});
    }
    return bits;
}
constexpr uint64_t kValueBlank = valueColumns({1});
constexpr uint64_t kValueBlankOrMinus = valueColumns({2});
constexpr uint64_t kValueDigit = valueColumns({3, 5, 6, 7, 10, 11});
constexpr uint64_t kValuePoint = valueColumns({4});
constexpr uint64_t kValueE = valueColumns({8});
constexpr uint64_t kValueSign = valueColumns({9});
constexpr uint64_t kValueColumns = kValueBlank | kValueBlankOrMinus | kValueDigit | kValuePoint | kValueE | kValueSign;
static_assert(kValueColumns == common::columnRange(kValueFirst[0], 2 * kValueWidth));
static_assert(kValueDigit == common::columnBits({21, 23, 24, 25, 28, 29, 32, 34, 35, 36, 39, 40}));

// Columns 1-40 classed: 1-16 (index fields), 17-32 (the end of l and the
// first value) and 25-40 (the second value); the last two overlap, which
// sets the same bits twice. Each stretch gets the classes its fields need.
enum Form { scalar, sse2 };
template <Form kForm>
common::ColumnClasses classifyRecord(const char* line) {
    using namespace common;
    constexpr unsigned kIndexClasses = kDigit | kZero | kBlank | kMinus;
    constexpr unsigned kValueClasses = kDigit | kBlank | kMinus | kPlus | kPoint | kLetterE;
    ColumnClasses c;
    if constexpr (kForm == scalar) {
        classifySixteenScalar<kIndexClasses>(line, 0, c);
        classifySixteenScalar<kIndexClasses | kValueClasses>(line + 16, 16, c);
        classifySixteenScalar<kValueClasses>(line + 24, 24, c);
    } else {
#if SUITE_SSE2
        classifySixteenSse2<kIndexClasses>(line, 0, c);
        classifySixteenSse2<kIndexClasses | kValueClasses>(line + 16, 16, c);
        classifySixteenSse2<kValueClasses>(line + 24, 24, c);
#endif
    }
    return c;
}

// Both values in the layout "  d.dddE+dd", a minus allowed in the second
// column of each and either sign in the ninth.
inline bool valuesInLayout(const common::ColumnClasses& c) {
    const uint64_t layout = (c.blank & kValueBlank) | ((c.blank | c.minus) & kValueBlankOrMinus) |
                            (c.digit & kValueDigit) | (c.point & kValuePoint) | (c.letterE & kValueE) |
                            ((c.plus | c.minus) & kValueSign);
    return layout == kValueColumns;
}

// Each index field blanks, at most one minus right after them, then digits
// to the end of the field, at least one, without a leading zero (and so no
// "-0"): exactly the fields that the I6 writer gives back unchanged.
inline bool indicesInLayout(const common::ColumnClasses& c) {
    const uint64_t leadingBlanks = c.blank & kIndexColumns;
    const uint64_t signs = c.minus & kIndexColumns;
    // Adding the first column of each field to its run of leading blanks
    // carries through the run and sets the one column after it; a run is at
    // most five columns long here, as the last column must be a digit, so
    // the carry never leaves its field.
    const uint64_t afterBlanks = leadingBlanks + kIndexFirst;
    const uint64_t firstDigit = (leadingBlanks | signs) + kIndexFirst;
    const uint64_t leadingZero = c.zero & firstDigit & ~kIndexLast;
    return ((leadingBlanks | signs | c.digit) & kIndexColumns) == kIndexColumns &&
           (c.digit & kIndexLast) == kIndexLast && (leadingBlanks & afterBlanks) == 0 && (signs & ~afterBlanks) == 0 &&
           leadingZero == 0 && (((c.zero & firstDigit) >> 1) & signs) == 0;
}

// The columns of one index field, shifted down to bit 0.
constexpr uint64_t kOneIndexField = common::columnRange(1, kIndexWidth);
static_assert(kOneIndexField == 0x3F && kIndexWidth == quick::kIndexBytes);

inline int32_t withSign(int32_t magnitude, uint64_t signs, int field) {
    return ((signs >> (kIndexWidth * field)) & kOneIndexField) != 0 ? -magnitude : magnitude;
}

// The indices of fields already in the layout, digit by digit.
inline PrintedIndices indicesScalar(const char* line, const common::ColumnClasses& c) {
    int32_t magnitude[kIndexFields] = {};
    for (int column = 0; column < kIndexWidth * kIndexFields; ++column) {
        if ((c.digit >> column) & 1) {
            int32_t& m = magnitude[column / kIndexWidth];
            m = m * 10 + (line[column] - '0');
        }
    }
    const uint64_t signs = c.minus & kIndexColumns;
    return {withSign(magnitude[0], signs, 0), withSign(magnitude[1], signs, 1), withSign(magnitude[2], signs, 2)};
}

#if SUITE_SSE2
// The same from the digit bytes in one multiply-add: pairs of columns as
// two-digit numbers (ten times the first plus the second), then the pairs
// of each field weighted 10000, 100 and 1 and summed. Columns 1-16 make
// pairs p0-p7, columns 17-18 p8; h is p0 p1 p2, k p3 p4 p5, l p6 p7 p8. The
// sums of adjacent pairs with the weights 10000, 100, 1, 10000, 100, 1,
// 10000, 100 are r0 = h - p2, r1 = p2 + 10000 p3, r2 = k - 10000 p3 and
// r3 = l - p8.
inline PrintedIndices indicesSse2(const char* line, const common::ColumnClasses& c) {
    // Blanks and minus signs lie below '0' and subtract to 0, saturated.
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i da = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line)), zero);
    const __m128i db = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 16)), zero);
    auto pairs = [](__m128i digitBytes) {
        const __m128i first = _mm_and_si128(digitBytes, _mm_set1_epi16(0x00FF));
        return _mm_add_epi16(_mm_mullo_epi16(first, _mm_set1_epi16(10)), _mm_srli_epi16(digitBytes, 8));
    };
    const __m128i p = pairs(da);
    const __m128i r = _mm_madd_epi16(p, _mm_setr_epi16(10000, 100, 1, 10000, 100, 1, 10000, 100));
    const int32_t r0 = _mm_cvtsi128_si32(r);
    const int32_t r1 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 1));
    const int32_t r2 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 2));
    const int32_t r3 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 3));
    const int32_t p2 = _mm_extract_epi16(p, 2);
    const int32_t p8 = _mm_extract_epi16(pairs(db), 0);
    const uint64_t signs = c.minus & kIndexColumns;
    return {withSign(r0 + p2, signs, 0), withSign((r1 - p2) + r2, signs, 1), withSign(r3 + p8, signs, 2)};
}
#endif

}  // namespace xds

// The first forty columns of a reflection record as XDS writes them: three
// indices as readPrintedIndex takes them, then two values in the layout that
// readXdsValue reads. True with the indices when all five fields are in
// that form (the two values are numbers then, and readXdsValue or the
// general reader gives them when they are needed). Reads forty bytes from
// `line`. The scalar form classes one column at a time; the tests hold it
// equal to the wide one and to the field-by-field readers.
inline bool readPrintedRecordScalar(const char* line, PrintedIndices& indices) {
    const common::ColumnClasses c = xds::classifyRecord<xds::scalar>(line);
    if (!xds::valuesInLayout(c) || !xds::indicesInLayout(c)) return false;
    indices = xds::indicesScalar(line, c);
    return true;
}

#if SUITE_SSE2
inline bool readPrintedRecordSse2(const char* line, PrintedIndices& indices) {
    const common::ColumnClasses c = xds::classifyRecord<xds::sse2>(line);
    if (!xds::valuesInLayout(c) || !xds::indicesInLayout(c)) return false;
    indices = xds::indicesSse2(line, c);
    return true;
}
#endif

inline bool readPrintedRecord(const char* line, PrintedIndices& indices) {
#if SUITE_SSE2
    return readPrintedRecordSse2(line, indices);
#else
    return readPrintedRecordScalar(line, indices);
#endif
}

// Where the fields of a printed record lie, for the readers that take them
// from the line: its length, and the offsets of the intensity and sigma.
inline constexpr size_t kPrintedRecordLength = xds::kPrintedColumns;
inline constexpr size_t kIntensityOffset = xds::kValueFirst[0] - 1;
inline constexpr size_t kSigmaOffset = xds::kValueFirst[1] - 1;

}  // namespace common
