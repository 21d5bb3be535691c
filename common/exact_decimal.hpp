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

#include <cmath>
#include <cstdint>
#include <cstring>

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
template <int kWidth, int kDecimals>
bool writeFixedDirect(char* out, float value) {
    static_assert(kDecimals >= 1 && kDecimals <= 3 && kWidth >= kDecimals + 2 && kWidth <= 16);
    constexpr double kScale = kDecimals == 1 ? 10.0 : kDecimals == 2 ? 100.0 : 1000.0;
    if (!(std::fabs(value) < 1e9f)) return false;
    // Exact (see above); adding and taking away 2^52 leaves the nearest
    // whole number, ties to even, for any magnitude below 2^52.
    const double magnitude = std::fabs(static_cast<double>(value) * kScale);
    uint64_t units = static_cast<uint64_t>((magnitude + 0x1p52) - 0x1p52);
    char text[24];
    for (char& c : text) c = ' ';
    char* p = text + sizeof text;
    for (int i = 0; i < kDecimals; ++i, units /= 10) *--p = static_cast<char>('0' + units % 10);
    *--p = '.';
    do {
        *--p = static_cast<char>('0' + units % 10);
        units /= 10;
    } while (units != 0);
    if (std::signbit(value)) *--p = '-';
    if (text + sizeof text - p > kWidth) return false;
    std::memcpy(out, text + sizeof text - kWidth, kWidth);
    return true;
}

}  // namespace common
