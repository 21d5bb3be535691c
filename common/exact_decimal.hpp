// The exact shortcuts between decimal text and floats that the quick
// readers and writers take. Each gives the very float (or the very digits)
// that the general reader or writer in common/records gives, for the inputs
// it accepts; the reasons are stated here once.
//
// Reading, m × 10^p: a float holds every whole number up to 2^24 exactly,
// and every power of ten up to 10^10 exactly (10^10 = 2^10 × 5^10, and
// 5^10 = 9765625 < 2^24). One IEEE multiplication or division of two exact
// operands is correctly rounded, so the result is the float nearest to the
// decimal m × 10^p, which is what a correctly rounded reading of the text
// gives. Two operations (m × 10^a / 10^b) would round twice; hence one.
//
// Writing, Fw.d with d from 1 to 3: value × 10^d is exact in double (24 bits of
// the float times at most 10 bits of 1000 need 34 of the 53 bits), so
// rounding that product to a whole number, ties to even, rounds the exact
// binary value to d decimals exactly as std::to_chars does in the general
// writer.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

// The direct writers build a field in a 64-bit word, its first column in
// the lowest byte, and store the word's bytes in order.
static_assert(std::endian::native == std::endian::little, "the direct Fw.d writer assumes a little-endian machine");

namespace common {

inline constexpr uint32_t kExactMantissaLimit = uint32_t{1} << 24;
inline constexpr int kExactPowerLimit = 10;
inline constexpr float kExactPowersOfTen[kExactPowerLimit + 1] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                                  1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// mantissa × 10^power, negated when `negative`, correctly rounded to a float;
// false (value untouched) when the mantissa or the power is out of the exact
// range, and the caller must take the general reader.
inline bool scaleExactly(uint32_t mantissa, int power, bool negative, float& value) {
    if (mantissa > kExactMantissaLimit || power < -kExactPowerLimit || power > kExactPowerLimit) return false;
    const float magnitude = static_cast<float>(mantissa);
    const float scaled = power >= 0 ? magnitude * kExactPowersOfTen[power] : magnitude / kExactPowersOfTen[-power];
    value = negative ? -scaled : scaled;
    return true;
}

// The float nearest hundredths / 100, for hundredths up to 2^24, by one
// multiplication in double: the product is within 2^-52 (relatively) of the
// quotient, and no such quotient lies closer than 2^-31 to a point halfway
// between two floats, so rounding the product to a float gives the
// correctly rounded quotient, the same as scaleExactly(hundredths, -2)
// (checked for every value in the tests). Cheaper than a float division.
inline float fromHundredths(uint32_t hundredths, bool negative) {
    const float magnitude = static_cast<float>(static_cast<double>(hundredths) * 0.01);
    return negative ? -magnitude : magnitude;
}

// Fw.d of `value` for d from 1 to 3 into out[0, w): right-justified, a
// zero before the point, a minus sign on a negative value that rounds to
// zero, as the general writer (appendFixed) puts it where the text fits.
// False, with `out` untouched, for a value not finite, too large, or whose
// text does not fit: the caller then takes the general writer, which fills
// asterisks or drops the zero before the point. The width and decimals are
// fixed at compile time, so that every copy is of a known length.
// The eight decimal digits of units < 10^8, leading zeros included, as the
// values 0-9 in the bytes of a word, the most significant in the lowest
// byte, with no division instruction:
// - units = 10^4 hi + lo; hi goes to the low half of the word, lo to the
//   high half.
// - In each half v < 10^4: v * 10486 >> 20 is v / 100 (10486 / 2^20 is 1/100
//   within an error too small to matter below 43699), and the product stays
//   below 2^27, inside its half. The quotient goes to the low 16 bits of
//   the half, the remainder v - 100 (v / 100) to the high 16.
// - In each 16-bit lane w < 100: w * 103 >> 10 is w / 10 (true below 179),
//   masked to its four bits; the tens go to the low byte of the lane, the
//   units to the high byte.
inline uint64_t eightDigits(uint32_t units) {
    uint64_t x = (units / 10000) | (static_cast<uint64_t>(units % 10000) << 32);
    const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;
    x = hundreds | ((x - hundreds * 100) << 16);
    const uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((x - tens * 10) << 8);
}

template <int kWidth, int kDecimals>
bool writeFixedDirect(char* out, float value) {
    // The field is made in one word from the eight digits of the scaled
    // value: at most eight columns, point included.
    static_assert(kDecimals >= 1 && kDecimals <= 3 && kWidth >= kDecimals + 2 && kWidth <= 8);
    constexpr double kScale = kDecimals == 1 ? 10.0 : kDecimals == 2 ? 100.0 : 1000.0;
    constexpr int kWhole = kWidth - kDecimals - 1;  // columns before the point
    constexpr double kLimit = kWhole + kDecimals == 7 ? 1e7 : kWhole + kDecimals == 6 ? 1e6
                            : kWhole + kDecimals == 5 ? 1e5 : kWhole + kDecimals == 4 ? 1e4 : 1e3;
    static_assert(kWhole + kDecimals >= 3 && kWhole + kDecimals <= 7);
    constexpr auto bytes = [](int n) { return n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1; };
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    if (!(std::fabs(value) < 1e7f)) return false;
    // Exact (see above); adding and taking away 2^52 leaves the nearest
    // whole number, ties to even, for any magnitude below 2^52.
    const double magnitude = std::fabs(static_cast<double>(value) * kScale);
    const double rounded = (magnitude + 0x1p52) - 0x1p52;
    if (!(rounded < kLimit)) return false;  // more digits than the field holds
    const uint64_t digits = eightDigits(static_cast<uint32_t>(rounded));
    const uint64_t whole = (digits >> (8 * (8 - kDecimals - kWhole))) & bytes(kWhole);
    const uint64_t fraction = digits >> (8 * (8 - kDecimals));
    // Leading zeros of the whole part become blanks, all but its last digit.
    const int lead = whole == 0 ? kWhole - 1 : std::min(kWhole - 1, std::countr_zero(whole) / 8);
    uint64_t field = (whole | (fraction << (8 * (kWhole + 1)))) + ('0' * kOnes & bytes(kWidth));
    field += static_cast<uint64_t>('.' - '0') << (8 * kWhole);
    field -= ((' ' ^ '0') * kOnes) & bytes(lead);  // '0' - 0x10 is ' '
    if (std::signbit(value)) {
        if (lead == 0) return false;
        field += static_cast<uint64_t>('-' - ' ') << (8 * (lead - 1));
    }
    std::memcpy(out, &field, kWidth);  // little-endian: the first column in the lowest byte
    return true;
}

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

// Fw.2 of a value known to fit its field (finite, its text no wider than
// kWidth; the caller checks), written into out[0, w) already filled with
// blanks, for fields too wide for writeFixedDirect: value × 100 is exact in
// double (see above), and adding and taking away 2^52 rounds it to a whole
// number, half to even, in the default rounding mode; the digits follow
// with the point before the last two, a 0 before the point, and a minus
// sign on every negative value, also one that rounds to zero, as the
// general writer gives.
template <int kWidth>
void writeHundredths(char* out, float value) {
    static_assert(kWidth >= 5);
    const double scaled = std::fabs(static_cast<double>(value) * 100.0);
    const uint64_t hundredths = static_cast<uint64_t>((scaled + 0x1p52) - 0x1p52);
    char* end = out + kWidth;
    std::memcpy(end - 2, kDigitPairs + 2 * (hundredths % 100), 2);
    end[-3] = '.';
    char* p = writeDigits(end - 3, hundredths / 100);
    if (std::signbit(value)) p[-1] = '-';
}

}  // namespace common
