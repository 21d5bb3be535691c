// The planeview script: four records that ovoclip writes at the end of its
// run and planeview reads for the numbers of its report. Written and read
// here only, so that the two programs cannot drift apart.
//
//   record 1  I9     reflections read
//   record 2  I9     reflections rejected
//   record 3  F12.2  mean F/sigma of the rejected ones
//   record 4  F12.2  reflections kept, a whole number: its point stands in
//                    column 10, so columns 1-9 read back as the count in I9
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/input_file.hpp"
#include "common/records.hpp"

namespace common::planeview_script {

inline constexpr int kCountWidth = 9;  // records 1, 2 and, read, 4
inline constexpr int kMeanWidth = 12;  // record 3
inline constexpr int kMeanDecimals = 2;
inline constexpr int kKeptWidth = 12;  // record 4 as written
inline constexpr int kKeptDecimals = 2;
// Record 4 read as I9 takes its whole part and nothing else.
static_assert(kKeptWidth - kKeptDecimals - 1 == kCountWidth);

// Records 1 and 2.
inline std::string countRecord(int64_t count) {
    std::string record;
    appendInteger(record, count, kCountWidth);
    return record;
}

// Record 3.
inline std::string meanRecord(float mean) {
    std::string record;
    appendFixed(record, mean, kMeanWidth, kMeanDecimals);
    return record;
}

// Record 4: the count exact, not through a float, with ".00"; asterisks when
// the count does not fit its nine columns.
inline std::string keptRecord(int64_t kept) {
    std::string whole;
    appendInteger(whole, kept, kCountWidth);
    if (whole[0] == '*') return std::string(kKeptWidth, '*');
    return whole + "." + std::string(kKeptDecimals, '0');
}

// Records 1, 2 and 4 as read.
inline int32_t readCount(std::string_view record, const LineSource& source) {
    return RecordCursor(record, source).readInteger(kCountWidth);
}

inline float readMean(std::string_view record, const LineSource& source) {
    return RecordCursor(record, source).readFixed(kMeanWidth, kMeanDecimals);
}

}  // namespace common::planeview_script
