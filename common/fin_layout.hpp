// The fin file: one reflection a record, h, k, l and then F and sigF of the
// four data sets init, trunc, aniso and iso side by side, (3I4,8F12.2), no
// header. finjoin writes it; planeview reads it twice. An amplitude of 0
// marks a reflection absent from that data set.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/files.hpp"
#include "common/records.hpp"

namespace common {

inline constexpr int kFinDataSets = 4;  // init, trunc, aniso, iso
inline constexpr int kFinIndexWidth = 4;    // I4
inline constexpr int kFinValueWidth = 12;   // F12.2
inline constexpr int kFinDecimals = 2;
inline constexpr int kFinRecordLength = 3 * kFinIndexWidth + 2 * kFinDataSets * kFinValueWidth;  // 108

// First columns (1-based) of the fields: index 0, 1, 2 is h, k, l.
constexpr int finIndexColumn(int index) { return 1 + kFinIndexWidth * index; }
constexpr int finAmplitudeColumn(int set) { return 1 + 3 * kFinIndexWidth + 2 * kFinValueWidth * set; }
constexpr int finSigmaColumn(int set) { return finAmplitudeColumn(set) + kFinValueWidth; }

// What I4 holds.
inline constexpr int32_t kFinIndexMin = -999;
inline constexpr int32_t kFinIndexMax = 9999;

struct FinRecord {
    int32_t h = 0, k = 0, l = 0;
    float F[kFinDataSets] = {};
    float sigF[kFinDataSets] = {};
};

inline bool finIndexFits(int32_t index) { return index >= kFinIndexMin && index <= kFinIndexMax; }

// Whether the value is written in F12.2 as a number: finite, and its text
// rounded to two decimals no longer than twelve columns (from -99999999.99
// to 999999999.99), so the writer never fills the field with asterisks.
bool finValueFits(float value);

// Reads every field of a record with the common field reader: a field that
// is not a number ends the run naming the file, the line and the columns.
// A short record reads as if filled up with blanks.
void readPlainFinRecord(std::string_view line, const LineSource& source, FinRecord& record);

// Appends the 108 columns of a record (without a line feed).
void appendFinRecord(RecordBuffer& out, const FinRecord& record);

}  // namespace common
