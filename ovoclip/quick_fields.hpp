// Quick readers for the fields of a reflection record in the form in which
// XDS writes them: each index right-justified in six columns (I6), the
// intensity and its sigma in eleven (E11.3, " 1.151E+04"). Each reader
// either gives exactly the value that the general reader would give, or
// says no and leaves the field to the general reader, which also makes the
// reports about fields that are not numbers.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ovoclip {

namespace quick {

inline uint64_t load8(const char* p) {
    uint64_t x;
    std::memcpy(&x, p, 8);  // little-endian: the first column in the lowest byte
    return x;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;

// Whether every byte of `x` where `digits` has 0xFF is one of '0'-'9'.
inline bool allDigits(uint64_t x, uint64_t digits) {
    const uint64_t zeros = 0x30 * kOnes & digits;
    const uint64_t highs = 0xF0 * kOnes & digits;
    // A byte is a digit when its high nibble is 3 and adding 6 keeps it so.
    return (x & highs) == zeros && ((x + (0x06 * kOnes & digits)) & highs) == zeros;
}

// The value of up to eight decimal digits already in 0-9, the most
// significant one in the lowest byte of those used, the unused low bytes 0.
inline uint32_t digitsValue(uint64_t v) {
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
         (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
        32;
    return static_cast<uint32_t>(v);
}

// d.ddd times ten to the `exponent` from the four digits as an integer:
// one multiplication or division by an exact power of ten, as the general
// reader does for short decimals; false when that power is not exact.
inline bool scaleValue(uint32_t mantissa, int exponent, bool negative, float& value) {
    static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const int power = exponent - 3;
    if (power < -10 || power > 10) return false;
    const float magnitude = static_cast<float>(mantissa);
    const float scaled = power >= 0 ? magnitude * kPowersOfTen[power] : magnitude / kPowersOfTen[-power];
    value = negative ? -scaled : scaled;
    return true;
}

// Bit i - 1 for each column i.
constexpr uint64_t columnBits(std::initializer_list<int> columns) {
    uint64_t bits = 0;
    for (const int column : columns) bits |= uint64_t{1} << (column - 1);
    return bits;
}

}  // namespace quick

// An index field of six columns as XDS writes it: blanks, an optional minus
// sign and digits without a leading zero up to the last column. Exactly the
// fields that are written back unchanged by the I6 writer; true with their
// value. Reads eight bytes from `field`.
inline bool readPlainIndex(const char* field, int32_t& value) {
    using namespace quick;
    const uint64_t x = load8(field) & 0x0000FFFFFFFFFFFFull;
    // The high bit of each byte of the field that is not a blank (the two
    // bytes past the field are 0 in y, as if blank).
    const uint64_t y = x ^ (0x20 * kOnes & 0x0000FFFFFFFFFFFFull);
    const uint64_t notBlank = (((y & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | y) & (0x80 * kOnes);
    if (notBlank == 0) return false;  // all blank: 0, written "     0"
    const int lead = __builtin_ctzll(notBlank) >> 3;  // blanks before the number
    uint64_t rest = x >> (8 * lead);
    const bool negative = (rest & 0xFF) == '-';
    rest >>= negative ? 8 : 0;
    const int count = 6 - lead - (negative ? 1 : 0);  // digits
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
    const uint64_t sign = (x >> 40) & 0xFF;
    return lead <= 9 && (x & 0x000000FF000000FFull) == ((uint64_t{'E'} << 32) | '.') && (sign == '+' || sign == '-') &&
           allDigits(x, kDigits);
}

// The value of a field already known to be in the layout.
inline bool readXdsValueOfLayout(const char* field, float& value) {
    const auto digit = [field](int i) { return static_cast<uint32_t>(field[i] & 0x0F); };
    const uint32_t mantissa = digit(2) * 1000 + digit(4) * 100 + digit(5) * 10 + digit(6);
    const int exponent = static_cast<int>(digit(9) * 10 + digit(10));
    return quick::scaleValue(mantissa, field[8] == '-' ? -exponent : exponent, field[1] == '-', value);
}

inline bool readXdsValue(const char* field, float& value) {
    return xdsValueLayout(field) && readXdsValueOfLayout(field, value);
}

struct PlainIndices {
    int32_t h = 0, k = 0, l = 0;
};

// The first forty columns of a reflection record as XDS writes them: three
// indices as readPlainIndex takes them, then two values in the layout that
// readXdsValue reads. True with the indices when all five fields are in
// that form (the two values are numbers then, and readXdsValue or the
// general reader gives them when they are needed). Reads forty bytes from
// `line`.
inline bool readPlainRecord(const char* line, PlainIndices& indices) {
#if defined(__SSE2__)
    // Every byte classed sixteen at a time, each class a mask of bits by
    // column (bit i for column i + 1), then the layout checked on the masks.
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line));       // columns 1-16
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 16));  // 17-32
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 24));  // 25-40
    auto mask = [](__m128i v, char byte) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(byte)))));
    };
    auto masks = [&mask](__m128i va, __m128i vb, __m128i vc, char byte) {
        return mask(va, byte) | (mask(vb, byte) << 16) | (mask(vc, byte) << 24);
    };
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i da = _mm_sub_epi8(a, zero), db = _mm_sub_epi8(b, zero), dc = _mm_sub_epi8(c, zero);
    const __m128i isDigitA = _mm_cmpeq_epi8(_mm_min_epu8(da, nine), da);
    const __m128i isDigitB = _mm_cmpeq_epi8(_mm_min_epu8(db, nine), db);
    const __m128i isDigitC = _mm_cmpeq_epi8(_mm_min_epu8(dc, nine), dc);
    auto bitsOf = [](__m128i v) { return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v))); };
    const uint64_t digit = bitsOf(isDigitA) | (bitsOf(isDigitB) << 16) | (bitsOf(isDigitC) << 24);
    const uint64_t blank = masks(a, b, c, ' ');
    const uint64_t minus = masks(a, b, c, '-');
    const uint64_t plus = (mask(b, '+') << 16) | (mask(c, '+') << 24);
    const uint64_t point = (mask(b, '.') << 16) | (mask(c, '.') << 24);
    const uint64_t letterE = (mask(b, 'E') << 16) | (mask(c, 'E') << 24);
    const uint64_t zeroDigit = mask(a, '0') | (mask(b, '0') << 16);

    // Columns 19-40: "  d.dddE+dd" twice, a minus allowed in the second
    // column of each and either sign in the eighth.
    using quick::columnBits;
    constexpr uint64_t kValueBlank = columnBits({19, 30});
    constexpr uint64_t kValueBlankOrMinus = columnBits({20, 31});
    constexpr uint64_t kValueDigit = columnBits({21, 23, 24, 25, 28, 29, 32, 34, 35, 36, 39, 40});
    constexpr uint64_t kValuePoint = columnBits({22, 33});
    constexpr uint64_t kValueE = columnBits({26, 37});
    constexpr uint64_t kValueSign = columnBits({27, 38});
    const uint64_t valueLayout = (blank & kValueBlank) | ((blank | minus) & kValueBlankOrMinus) |
                                 (digit & kValueDigit) | (point & kValuePoint) | (letterE & kValueE) |
                                 ((plus | minus) & kValueSign);

    // Columns 1-18: three fields of six bits each, checked side by side.
    // In each: blanks, at most one minus right after them, then digits to
    // the end of the field, at least one, without a leading zero.
    constexpr uint64_t kFields = 0x3FFFF;
    constexpr uint64_t kFieldFirst = 0x1041;  // first column of each field
    constexpr uint64_t kFieldLast = 0x20820;  // last column of each field
    const uint64_t leadingBlanks = blank & kFields;
    const uint64_t signs = minus & kFields;
    // A prefix of blanks plus one is the single column after it; a prefix
    // is at most five columns long here as the last column is a digit.
    const uint64_t afterBlanks = leadingBlanks + kFieldFirst;
    const uint64_t firstDigit = (leadingBlanks | signs) + kFieldFirst;
    if (valueLayout != (kValueBlank | kValueBlankOrMinus | kValueDigit | kValuePoint | kValueE | kValueSign) ||
        ((leadingBlanks | signs | digit) & kFields) != kFields || (digit & kFieldLast) != kFieldLast ||
        (leadingBlanks & afterBlanks) != 0 || (signs & ~afterBlanks) != 0 ||
        (zeroDigit & firstDigit & ~kFieldLast) != 0 || (((zeroDigit & firstDigit) >> 1) & signs) != 0) {
        return false;
    }

    // The indices from their digits, 0 in the other columns: pairs of
    // columns as two-digit numbers (ten times the first plus the second),
    // then the pairs of each field weighted 10000, 100 and 1 and summed.
    // Columns 1-16 make pairs p0-p7, columns 17-18 p8; h is p0 p1 p2, k p3
    // p4 p5, l p6 p7 p8. The sums of adjacent pairs with the weights 10000,
    // 100, 1, 10000, 100, 1, 10000, 100 are r0 = h - p2, r1 = p2 + 10000 p3,
    // r2 = k - 10000 p3 and r3 = l - p8.
    auto pairs = [](__m128i digitBytes) {
        const __m128i first = _mm_and_si128(digitBytes, _mm_set1_epi16(0x00FF));
        return _mm_add_epi16(_mm_mullo_epi16(first, _mm_set1_epi16(10)), _mm_srli_epi16(digitBytes, 8));
    };
    const __m128i p = pairs(_mm_and_si128(da, isDigitA));
    const __m128i pb = pairs(_mm_and_si128(db, isDigitB));
    const __m128i r = _mm_madd_epi16(p, _mm_setr_epi16(10000, 100, 1, 10000, 100, 1, 10000, 100));
    const int32_t r0 = _mm_cvtsi128_si32(r);
    const int32_t r1 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 1));
    const int32_t r2 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 2));
    const int32_t r3 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 3));
    const int32_t p2 = _mm_extract_epi16(p, 2);
    const int32_t p8 = _mm_extract_epi16(pb, 0);
    auto signed_ = [signs](int32_t magnitude, int first) {
        return ((signs >> first) & 0x3F) != 0 ? -magnitude : magnitude;
    };
    indices.h = signed_(r0 + p2, 0);
    indices.k = signed_((r1 - p2) + r2, 6);
    indices.l = signed_(r3 + p8, 12);
    return true;
#else
    return readPlainIndex(line, indices.h) && readPlainIndex(line + 6, indices.k) &&
           readPlainIndex(line + 12, indices.l) && xdsValueLayout(line + 18) && xdsValueLayout(line + 29);
#endif
}

}  // namespace ovoclip
