// The fin file: one reflection a record, h, k, l and then F and sigF of the
// four data sets init, trunc, aniso and iso side by side, (3I4,8F12.2), no
// header. finjoin writes it; planeview reads it twice. An amplitude of 0
// marks a reflection absent from that data set.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/input_file.hpp"
#include "common/records.hpp"

namespace common::fin_file {

inline constexpr int kDataSets = 4;  // init, trunc, aniso, iso
inline constexpr int kIndexWidth = 4;    // I4
inline constexpr int kValueWidth = 12;   // F12.2
inline constexpr int kDecimals = 2;
inline constexpr int kRecordLength = 3 * kIndexWidth + 2 * kDataSets * kValueWidth;  // 108

// First columns (1-based) of the fields: index 0, 1, 2 is h, k, l.
constexpr int indexColumn(int index) { return 1 + kIndexWidth * index; }
constexpr int amplitudeColumn(int set) { return 1 + 3 * kIndexWidth + 2 * kValueWidth * set; }
constexpr int sigmaColumn(int set) { return amplitudeColumn(set) + kValueWidth; }

// What I4 holds.
inline constexpr int32_t kIndexMin = -999;
inline constexpr int32_t kIndexMax = 9999;

struct Record {
    int32_t h = 0, k = 0, l = 0;
    float F[kDataSets] = {};
    float sigF[kDataSets] = {};
};

inline bool indexFits(int32_t index) { return index >= kIndexMin && index <= kIndexMax; }

// Whether the value is written in F12.2 as a number: finite, and its text
// rounded to two decimals no longer than twelve columns (from -99999999.99
// to 999999999.99), so the writer never fills the field with asterisks.
bool valueFits(float value);

// Reads every field of a record with the common field reader: a field that
// is not a number ends the run naming the file, the line and the columns.
// A short record reads as if filled up with blanks.
void readRecordGeneral(std::string_view line, const LineSource& source, Record& record);

// Appends the 108 columns of a record (without a line feed).
void appendRecord(RecordBuffer& out, const Record& record);

}  // namespace common::fin_file
