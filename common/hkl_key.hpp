// h, k and l packed into one 63-bit key that sorts as the indices do: by h,
// then k, then l. Each index takes 21 bits with an offset of 2^20, so each
// must lie strictly between -2^20 and 2^20; a key leaves its top bit free
// (ovofit shifts it up by one to add the Friedel half of a reflection).
#pragma once

#include <cstdint>

namespace common {

inline constexpr int32_t kHklKeyOffset = int32_t{1} << 20;
inline constexpr int kHklKeyIndexBits = 21;

inline constexpr uint64_t packHkl(int32_t h, int32_t k, int32_t l) {
    constexpr uint64_t kMask = (uint64_t{1} << kHklKeyIndexBits) - 1;
    auto part = [](int32_t index) { return static_cast<uint64_t>(index + kHklKeyOffset) & kMask; };
    return part(h) << (2 * kHklKeyIndexBits) | part(k) << kHklKeyIndexBits | part(l);
}

inline constexpr void unpackHkl(uint64_t key, int32_t& h, int32_t& k, int32_t& l) {
    constexpr uint64_t kMask = (uint64_t{1} << kHklKeyIndexBits) - 1;
    auto index = [key](int shift) { return static_cast<int32_t>((key >> shift) & kMask) - kHklKeyOffset; };
    h = index(2 * kHklKeyIndexBits);
    k = index(kHklKeyIndexBits);
    l = index(0);
}

}  // namespace common
