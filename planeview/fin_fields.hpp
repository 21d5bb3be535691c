// Reading the fields of a fin record quickly.
//
// A fin record is (3I4,8F12.2): h, k, l, then F and sigF of the four data
// sets init, trunc, aniso and iso. Ten million of them are read twice in a
// run. A whole record as "%4d" and "%12.2f" write it, with no negative
// amplitude or sigma, is checked and its amplitudes converted sixteen
// columns at a time; an index in another plain form ("  -12") is read
// directly; any other field goes to the common reader, which reads it or
// ends the run with its report of the file, line and columns. Every quick
// reading gives the common reader's value.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/column_classes.hpp"
#include "common/exact_decimal.hpp"
#include "common/input_file.hpp"
#include "common/layout/fin_file.hpp"
#include "common/records.hpp"

namespace planeview {

inline constexpr int kDataSets = common::fin_file::kDataSets;  // init, trunc, aniso, iso
using common::fin_file::Record;

// The plain integer form: blanks, an optional minus sign, at most nine
// digits, blanks. An all-blank field is 0. False for anything else.
inline bool quickInteger(std::string_view field, int32_t& value) {
    const size_t n = field.size();
    size_t i = 0;
    while (i < n && field[i] == ' ') ++i;
    if (i == n) {
        value = 0;
        return true;
    }
    bool negative = false;
    if (field[i] == '-') {
        negative = true;
        ++i;
    }
    const size_t digitsStart = i;
    int32_t v = 0;
    while (i < n && field[i] >= '0' && field[i] <= '9') {
        v = v * 10 + (field[i] - '0');
        ++i;
    }
    const size_t digits = i - digitsStart;
    if (digits == 0 || digits > 9) return false;
    while (i < n && field[i] == ' ') ++i;
    if (i != n) return false;
    value = negative ? -v : v;
    return true;
}

// Fields in columns [first, first + width - 1] of the line: an integer read
// quickly when plain, a fixed-point field by the common reader (whose first
// path is the quick one for short decimals); a field that is no number goes
// to a cursor for its report.
inline int32_t readIntegerField(std::string_view line, const common::LineSource& source, int first, int width) {
    int32_t value = 0;
    if (quickInteger(common::columns(line, first, first + width - 1), value)) return value;
    common::RecordCursor cursor(line, source);
    cursor.skip(first - 1);
    return cursor.readInteger(width);
}

inline float readFixedField(std::string_view line, const common::LineSource& source, int first, int width,
                            int decimals) {
    float value = 0;
    if (common::parseFixed(common::columns(line, first, first + width - 1), decimals, value) == common::ParseStatus::ok) {
        return value;
    }
    common::RecordCursor cursor(line, source);
    cursor.skip(first - 1);
    return cursor.readFixed(width, decimals);
}

// Columns 1-12: the three indices.
inline void readFinIndices(std::string_view line, const common::LineSource& source, common::fin_file::Record& record) {
    record.h = readIntegerField(line, source, common::fin_file::indexColumn(0), common::fin_file::kIndexWidth);
    record.k = readIntegerField(line, source, common::fin_file::indexColumn(1), common::fin_file::kIndexWidth);
    record.l = readIntegerField(line, source, common::fin_file::indexColumn(2), common::fin_file::kIndexWidth);
}

// Columns 13-108: F and sigF of the four data sets.
inline void readFinAmplitudes(std::string_view line, const common::LineSource& source, common::fin_file::Record& record) {
    constexpr int width = common::fin_file::kValueWidth, decimals = common::fin_file::kDecimals;
    for (int set = 0; set < kDataSets; ++set) {
        record.F[set] = readFixedField(line, source, common::fin_file::amplitudeColumn(set), width, decimals);
        record.sigF[set] = readFixedField(line, source, common::fin_file::sigmaColumn(set), width, decimals);
    }
}

// The whole record, every field checked.
inline void readFinRecord(std::string_view line, const common::LineSource& source, common::fin_file::Record& record) {
    readFinIndices(line, source, record);
    readFinAmplitudes(line, source, record);
}

// Columns of a fin record as "%4d" and "%12.2f" print it, for the quick
// readers below.
namespace printed {

constexpr int kIndexWidth = common::fin_file::kIndexWidth;
constexpr int kIndexFields = 3;
constexpr int kAmplitudeFirst = common::fin_file::amplitudeColumn(0);  // column 13
constexpr int kAmplitudeWidth = common::fin_file::kValueWidth;
constexpr int kAmplitudeFields = 2 * kDataSets;  // F and sigF of each set
constexpr int kRecordColumns = common::fin_file::kRecordLength;
static_assert(kAmplitudeFirst == kIndexWidth * kIndexFields + 1 && common::fin_file::sigmaColumn(0) == kAmplitudeFirst + kAmplitudeWidth);
static_assert(kRecordColumns == kAmplitudeFirst - 1 + kAmplitudeWidth * kAmplitudeFields && kRecordColumns == 108);
// The amplitude fields are classed in two halves of four fields (48 bits),
// each half sixteen columns at a time.
constexpr int kHalfFields = kAmplitudeFields / 2;
constexpr int kHalfColumns = kAmplitudeWidth * kHalfFields;
static_assert(kHalfColumns == 48 && kHalfColumns % 16 == 0);
// Within an amplitude field: digits or blanks in columns 1-9, the point in
// 10, two decimals in 11-12.
constexpr int kDecimals = common::fin_file::kDecimals;
constexpr int kPointColumn = kAmplitudeWidth - kDecimals;  // 10

// The classes that the checks below look at.
constexpr unsigned kClasses = common::kDigit | common::kBlank | common::kMinus | common::kPoint;

constexpr uint64_t inAmplitudes(uint64_t inField) {
    return common::repeatedColumns(inField, kAmplitudeWidth, kHalfFields);
}
constexpr uint64_t kHalf = common::columnRange(1, kHalfColumns);
constexpr uint64_t kWhole = inAmplitudes(common::columnRange(1, kPointColumn - 1));
constexpr uint64_t kColumn1 = inAmplitudes(common::columnBits({1}));
constexpr uint64_t kColumn9 = inAmplitudes(common::columnBits({kPointColumn - 1}));
constexpr uint64_t kPoint = inAmplitudes(common::columnBits({kPointColumn}));
constexpr uint64_t kDecimalColumns = inAmplitudes(common::columnRange(kPointColumn + 1, kDecimals));
static_assert(kWhole == 0x1FF1FF1FF1FFull && kPoint == 0x200200200200ull && kDecimalColumns == 0xC00C00C00C00ull);

constexpr uint64_t kIndexColumns = common::columnRange(1, kIndexWidth * kIndexFields);
constexpr uint64_t kIndexLast = common::repeatedColumns(common::columnBits({kIndexWidth}), kIndexWidth, kIndexFields);
static_assert(kIndexColumns == 0xFFF && kIndexLast == 0x888);

// Fields side by side in the class masks, the columns to check set in
// `lane` and the last of them in `lastOfLane`: in each field these columns
// are blanks, then at most one minus sign, then digits that run to the last
// column (or blanks alone).
inline bool signedDigitsInLanes(const common::ColumnClasses& c, uint64_t lane, uint64_t lastOfLane) {
    const uint64_t digit = c.digit & lane;
    const uint64_t notDigit = ~c.digit & lane;
    // No digit is followed by a column that is not one, within the lane.
    const bool runToEnd = (digit & ~(c.digit >> 1) & lane & ~lastOfLane) == 0;
    // A column that is not a digit is a blank, or a minus sign just before
    // a digit.
    const bool signs = (notDigit & ~(c.blank | (c.minus & (c.digit >> 1) & ~lastOfLane))) == 0;
    return runToEnd && signs;
}

// Four amplitude fields of one half: every column a digit or a blank but
// the point in column 10; columns 11-12 and 9 digits, column 1 not; no
// digit in columns 1-8 followed by a blank.
inline bool amplitudesInLayout(const common::ColumnClasses& c) {
    const uint64_t d = c.digit;
    return c.point == kPoint && (~(d | c.blank) & kHalf) == kPoint &&
           (d & (kDecimalColumns | kColumn9 | kColumn1)) == (kDecimalColumns | kColumn9) &&
           (d & ~(d >> 1) & kWhole & ~kColumn9) == 0;
}

template <void (*classify)(const char*, int, common::ColumnClasses&)>
bool recordInLayout(const char* record) {
    common::ColumnClasses indices;
    classify(record, 0, indices);
    bool ok = signedDigitsInLanes(indices, kIndexColumns, kIndexLast);
    for (int half = 0; half < 2; ++half) {
        common::ColumnClasses amplitudes;
        const char* first = record + kAmplitudeFirst - 1 + kHalfColumns * half;
        for (int chunk = 0; chunk < kHalfColumns / 16; ++chunk) classify(first + 16 * chunk, 16 * chunk, amplitudes);
        ok &= amplitudesInLayout(amplitudes);
    }
    return ok;
}

// The fields converted: with a stride of 2 every other one (the four F),
// with a stride of 1 all eight (F and sigF of each set in turn).
template <int kStride>
inline constexpr int kConverted = kAmplitudeFields / kStride;

template <int kStride>
const char* convertedField(const char* record, int n) {
    return record + kAmplitudeFirst - 1 + kStride * kAmplitudeWidth * n;
}

// The whole parts of the fields, columns 2-9, blanks as 0, digit by digit.
template <int kStride>
void wholePartsScalar(const char* record, int32_t (&whole)[kConverted<kStride>]) {
    for (int n = 0; n < kConverted<kStride>; ++n) {
        const char* field = convertedField<kStride>(record, n);
        int32_t value = 0;
        for (int i = 1; i < kPointColumn - 1; ++i) {
            if (field[i] != ' ') value = value * 10 + (field[i] - '0');
        }
        whole[n] = value;
    }
}

#if SUITE_SSE2
// The same two fields to a register: blanks become 0, then pairs of digits,
// fours and eights are joined.
template <int kStride>
void wholePartsSse2(const char* record, int32_t (&whole)[kConverted<kStride>]) {
    for (int n = 0; n < kConverted<kStride>; n += 2) {
        const char* first = convertedField<kStride>(record, n);
        const char* second = convertedField<kStride>(record, n + 1);
        const __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(first + 1)),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(second + 1)));
        // Blanks lie below '0' and subtract to 0, saturated.
        const __m128i digits = _mm_subs_epu8(x, _mm_set1_epi8('0'));
        const __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(digits, _mm_set1_epi16(0x00FF)),
                                                            _mm_set1_epi16(10)),
                                            _mm_srli_epi16(digits, 8));
        const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));  // 100 * first + second
        const __m128i packed = _mm_packs_epi32(fours, fours);
        const __m128i eights = _mm_madd_epi16(packed, _mm_set1_epi32(0x00012710));  // 10000 * first + second
        whole[n] = _mm_cvtsi128_si32(eights);
        whole[n + 1] = _mm_cvtsi128_si32(_mm_srli_si128(eights, 4));
    }
}
#endif

template <int kStride, void (*classify)(const char*, int, common::ColumnClasses&),
          void (*wholeParts)(const char*, int32_t (&)[kConverted<kStride>])>
bool readRecord(const char* record, float (&values)[kConverted<kStride>]) {
    bool ok = recordInLayout<classify>(record);
    int32_t whole[kConverted<kStride>];
    wholeParts(record, whole);
    uint32_t hundredths[kConverted<kStride>] = {};
    for (int n = 0; n < kConverted<kStride>; ++n) {
        const char* field = convertedField<kStride>(record, n);
        const uint64_t all = static_cast<uint64_t>(static_cast<uint32_t>(whole[n])) * 100 +
                             static_cast<unsigned>(field[kPointColumn] - '0') * 10u +
                             static_cast<unsigned>(field[kPointColumn + 1] - '0');
        ok &= all <= common::kExactMantissaLimit;
        hundredths[n] = static_cast<uint32_t>(all);
    }
    if (!ok) return false;
    for (int n = 0; n < kConverted<kStride>; ++n) values[n] = common::fromHundredths(hundredths[n], false);
    return true;
}

}  // namespace printed

// A whole record of printed fields, (3I4,8F12.2) as "%4d" and "%12.2f"
// write them for a reflection with amplitudes and sigmas of 0 or more. An
// index field is blanks, an optional minus sign and digits (all blanks is
// 0). An amplitude field is a blank, then blanks and one to eight digits up
// to column 9, the point in column 10 and two decimals. The fields are
// checked four at a time on bit masks of their columns. False when any
// field is in another form (a negative amplitude included) or a converted
// value is above 167772.16 (2^24 hundredths, exact in a float). Reads
// columns 1-108 and nothing beyond them. The scalar form classes one column
// at a time; the tests hold it equal to the wide one and to the
// field-by-field reader.
//
// quickPrintedFinRecord converts the four amplitudes F only (the first
// pass); quickPrintedFinValues all eight fields, F and sigF of each set in
// turn (the dots).
inline bool quickPrintedFinRecordScalar(const char* record, float (&F)[kDataSets]) {
    return printed::readRecord<2, common::classifySixteenScalar<printed::kClasses>, printed::wholePartsScalar<2>>(record, F);
}
inline bool quickPrintedFinValuesScalar(const char* record, float (&values)[2 * kDataSets]) {
    return printed::readRecord<1, common::classifySixteenScalar<printed::kClasses>, printed::wholePartsScalar<1>>(record, values);
}

#if SUITE_SSE2
inline bool quickPrintedFinRecordSse2(const char* record, float (&F)[kDataSets]) {
    return printed::readRecord<2, common::classifySixteenSse2<printed::kClasses>, printed::wholePartsSse2<2>>(record, F);
}
inline bool quickPrintedFinValuesSse2(const char* record, float (&values)[2 * kDataSets]) {
    return printed::readRecord<1, common::classifySixteenSse2<printed::kClasses>, printed::wholePartsSse2<1>>(record, values);
}
#endif

inline bool quickPrintedFinRecord(const char* record, float (&F)[kDataSets]) {
#if SUITE_SSE2
    return quickPrintedFinRecordSse2(record, F);
#else
    return quickPrintedFinRecordScalar(record, F);
#endif
}

inline bool quickPrintedFinValues(const char* record, float (&values)[2 * kDataSets]) {
#if SUITE_SSE2
    return quickPrintedFinValuesSse2(record, values);
#else
    return quickPrintedFinValuesScalar(record, values);
#endif
}

// F and sigF of the four sets for the dots of a record in a zone: a record
// of printed fields converted at once, any other field by field.
inline void readFinAmplitudesForDots(std::string_view line, const common::LineSource& source, common::fin_file::Record& record) {
    float values[2 * kDataSets];
    if (line.size() >= printed::kRecordColumns && quickPrintedFinValues(line.data(), values)) {
        for (int set = 0; set < kDataSets; ++set) {
            record.F[set] = values[2 * set];
            record.sigF[set] = values[2 * set + 1];
        }
        return;
    }
    readFinAmplitudes(line, source, record);
}

// Whether a record read whole before, with its fields known to be numbers,
// has no index 0: each of the three index fields holds a digit 1-9. Most
// records of a fin file lie in no zone and are passed over on this alone.
inline bool hasNoZeroIndexScalar(std::string_view line) {
    auto nonzeroDigit = [&](size_t first) {
        for (size_t i = first; i < first + printed::kIndexWidth && i < line.size(); ++i) {
            if (line[i] >= '1' && line[i] <= '9') return true;
        }
        return false;
    };
    return nonzeroDigit(0) && nonzeroDigit(4) && nonzeroDigit(8);
}

inline bool hasNoZeroIndex(std::string_view line) {
    if (line.size() < 16) return hasNoZeroIndexScalar(line);
    common::ColumnClasses c;
    common::classifySixteen<common::kDigit | common::kZero>(line.data(), 0, c);
    const uint64_t nonzero = c.digit & ~c.zero;
    constexpr uint64_t kField = common::columnRange(1, printed::kIndexWidth);
    return (nonzero & kField) != 0 && (nonzero & (kField << 4)) != 0 && (nonzero & (kField << 8)) != 0;
}

// The whole record checked, the amplitudes F returned: the first pass needs
// no more. A record of printed fields converts only its four amplitudes.
inline void readFinAmplitudesForMeans(std::string_view line, const common::LineSource& source,
                                      float (&F)[kDataSets]) {
    if (line.size() >= printed::kRecordColumns && quickPrintedFinRecord(line.data(), F)) return;
    common::fin_file::Record record;
    readFinRecord(line, source, record);
    for (int set = 0; set < kDataSets; ++set) F[set] = record.F[set];
}

}  // namespace planeview
