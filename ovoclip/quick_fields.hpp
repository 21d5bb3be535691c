// Quick readers for the fields of a reflection record in the form in which
// XDS writes them: each index right-justified in six columns (I6), the
// intensity and its sigma in eleven (E11.3, " 1.151E+04"). Each reader
// either gives exactly the value that the general reader would give, or
// says no and leaves the field to the general reader, which also makes the
// reports about fields that are not numbers.
#pragma once

#include <cstdint>
#include <cstring>

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
// " -d.dddE-dd". True with the value that the free-format reader gives for
// it: the four digits make an integer that a float holds exactly, and one
// multiplication or division by an exact power of ten rounds it correctly.
// Reads the eleven columns.
inline bool readXdsValue(const char* field, float& value) {
    using namespace quick;
    static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    if (field[0] != ' ' || (field[1] != ' ' && field[1] != '-')) return false;
    const unsigned lead = static_cast<unsigned char>(field[2]) - '0';
    const uint64_t x = load8(field + 3);  // ".dddE+dd"
    // Bytes 1-3 and 6-7 digits, byte 0 the point, byte 4 'E', byte 5 a sign.
    constexpr uint64_t kDigits = 0xFFFF0000FFFFFF00ull;
    const uint64_t sign = (x >> 40) & 0xFF;
    if (lead > 9 || (x & 0x000000FF000000FFull) != ((uint64_t{'E'} << 32) | '.') || (sign != '+' && sign != '-') ||
        !allDigits(x, kDigits)) {
        return false;
    }
    const uint32_t mantissa = lead * 1000 + static_cast<uint32_t>((x >> 8) & 0x0F) * 100 +
                              static_cast<uint32_t>((x >> 16) & 0x0F) * 10 + static_cast<uint32_t>((x >> 24) & 0x0F);
    const int exponent = static_cast<int>((x >> 48) & 0x0F) * 10 + static_cast<int>((x >> 56) & 0x0F);
    const int power = (sign == '-' ? -exponent : exponent) - 3;
    if (power < -10 || power > 10) return false;
    const float magnitude = static_cast<float>(mantissa);
    const float scaled = power >= 0 ? magnitude * kPowersOfTen[power] : magnitude / kPowersOfTen[-power];
    value = field[1] == '-' ? -scaled : scaled;
    return true;
}

}  // namespace ovoclip
