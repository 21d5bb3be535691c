// Columns of a record classed into bit masks, one bit a column (column c of
// the record in bit c - 1): the one way the quick record readers look at
// many columns at once. A layout is then checked with a few operations on
// the masks, the same code on every machine; only the classing has two
// forms, sixteen columns at a time with SSE2 where the machine has it and
// the build allows it, and one column at a time everywhere. Both are always
// compiled, and the tests hold them equal.
//
// SUITE_NO_SIMD (CMake option SUITE_SIMD=OFF) builds the one-column form
// only, as a machine without SSE2 gets; CI builds and tests that way too.
#pragma once

#include <cstdint>
#include <initializer_list>
#if defined(__SSE2__) && !defined(SUITE_NO_SIMD)
#define SUITE_SSE2 1
#include <emmintrin.h>
#else
#define SUITE_SSE2 0
#endif

namespace common {

// Bit c - 1 for each column c.
constexpr uint64_t columnBits(std::initializer_list<int> columns) {
    uint64_t bits = 0;
    for (const int column : columns) bits |= uint64_t{1} << (column - 1);
    return bits;
}

// Bits of the columns [first, first + width).
constexpr uint64_t columnRange(int first, int width) {
    return width >= 64 ? ~uint64_t{0} << (first - 1) : ((uint64_t{1} << width) - 1) << (first - 1);
}

// The same columns in each of `count` fields of `width` columns side by
// side, the first field starting at column 1.
constexpr uint64_t repeatedColumns(uint64_t inFirstField, int width, int count) {
    uint64_t bits = 0;
    for (int i = 0; i < count; ++i) bits |= inFirstField << (width * i);
    return bits;
}

struct ColumnClasses {
    uint64_t digit = 0;  // '0'-'9'
    uint64_t zero = 0;   // '0'
    uint64_t blank = 0, minus = 0, plus = 0, point = 0, letterE = 0;
};

// Which classes a reader needs of a stretch of columns: the others are not
// computed (and stay 0), so that a hot loop pays only for what it looks at.
enum ClassSet : unsigned {
    kDigit = 1, kZero = 2, kBlank = 4, kMinus = 8, kPlus = 16, kPoint = 32, kLetterE = 64,
    kAllClasses = 127
};

// Classes the sixteen bytes at p into bits `shift` to `shift` + 15 of c.
template <unsigned kClasses = kAllClasses>
void classifySixteenScalar(const char* p, int shift, ColumnClasses& c) {
    for (int i = 0; i < 16; ++i) {
        const char byte = p[i];
        const uint64_t bit = uint64_t{1} << (shift + i);
        if ((kClasses & kDigit) && byte >= '0' && byte <= '9') c.digit |= bit;
        if ((kClasses & kZero) && byte == '0') c.zero |= bit;
        if ((kClasses & kBlank) && byte == ' ') c.blank |= bit;
        if ((kClasses & kMinus) && byte == '-') c.minus |= bit;
        if ((kClasses & kPlus) && byte == '+') c.plus |= bit;
        if ((kClasses & kPoint) && byte == '.') c.point |= bit;
        if ((kClasses & kLetterE) && byte == 'E') c.letterE |= bit;
    }
}

#if SUITE_SSE2
template <unsigned kClasses = kAllClasses>
void classifySixteenSse2(const char* p, int shift, ColumnClasses& c) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto bits = [shift](__m128i m) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(m))) << shift;
    };
    auto equal = [&bits, x](char byte) { return bits(_mm_cmpeq_epi8(x, _mm_set1_epi8(byte))); };
    if constexpr ((kClasses & kDigit) != 0) {
        // A digit is a byte whose distance above '0' is at most 9, unsigned.
        const __m128i offset = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        c.digit |= bits(_mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset));
    }
    if constexpr ((kClasses & kZero) != 0) c.zero |= equal('0');
    if constexpr ((kClasses & kBlank) != 0) c.blank |= equal(' ');
    if constexpr ((kClasses & kMinus) != 0) c.minus |= equal('-');
    if constexpr ((kClasses & kPlus) != 0) c.plus |= equal('+');
    if constexpr ((kClasses & kPoint) != 0) c.point |= equal('.');
    if constexpr ((kClasses & kLetterE) != 0) c.letterE |= equal('E');
}
#endif

// The form this build takes.
template <unsigned kClasses = kAllClasses>
void classifySixteen(const char* p, int shift, ColumnClasses& c) {
#if SUITE_SSE2
    classifySixteenSse2<kClasses>(p, shift, c);
#else
    classifySixteenScalar<kClasses>(p, shift, c);
#endif
}

}  // namespace common
