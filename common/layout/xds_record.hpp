// The reflection records of an XDS file (ovoclip and ovofit read the same
// files): the lines that end the header and the data, the general reader
// of a record's first five fields, and the quick reader for the form in
// which XDS writes them: each index right-justified in six columns (I6),
// the intensity and its sigma in eleven (E11.3, " 1.151E+04"). The quick
// reader either gives exactly the values that the general reader would
// give, or says no and leaves the record to the general reader, which also
// makes the reports about fields that are not numbers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "common/column_classes.hpp"
#include "common/exact_decimal.hpp"

namespace common {

class LineSource;

namespace xds_record {

inline constexpr std::string_view kEndOfHeader = "!END_OF_HEADER";  // columns 1-14
inline constexpr std::string_view kEndOfData = "!END_OF_DATA";      // columns 1-12
inline bool isEndOfHeader(std::string_view line) { return line.substr(0, kEndOfHeader.size()) == kEndOfHeader; }
inline bool isEndOfData(std::string_view line) { return line.substr(0, kEndOfData.size()) == kEndOfData; }

// Where a header's ITEM_ keywords put the five fields of a record (items
// counted from 1); XDS puts them at 1 to 5, which is where the readers here
// take them.
inline constexpr std::string_view kItemKeywords[5] = {"ITEM_H=", "ITEM_K=", "ITEM_L=", "ITEM_IOBS=",
                                                      "ITEM_SIGMA(IOBS)="};
struct ItemPlaces {
    int32_t item[5] = {1, 2, 3, 4, 5};
    bool standard() const { return item[0] == 1 && item[1] == 2 && item[2] == 3 && item[3] == 4 && item[4] == 5; }
};

// The item number a header line gives after `keyword` ("!ITEM_IOBS=4"), or
// 0 when the line does not start with "!" and the keyword or its value is
// not an integer.
int32_t itemPlace(std::string_view line, std::string_view keyword);

// The first five fields of a record.
struct Reflection {
    int32_t h = 0, k = 0, l = 0;
    float intensity = 0, sigma = 0;
};

// What a reader does with a record whose index columns are not three
// integers (a damaged or cut file); each program chooses its own.
enum class OnDamagedRecord {
    endData,  // a warning naming the line, and the data end there
    stop      // the run ends with the report of the field
};

// The record read field by field: h, k, l in 3I6, then the intensity and
// sigma as free-format numbers in eleven columns each. False at the
// end-of-data line, and at a damaged record under endData. A value that is
// no number ends the run with a report naming the line and the columns.
bool readGeneralRecord(std::string_view line, const LineSource& file, OnDamagedRecord onDamaged, Reflection& record);

// A value field of eleven columns as XDS writes it, "  d.dddE+dd" or
// " -d.dddE-dd", already known to be in that layout (readPrintedRecord):
// true with the value that the free-format reader gives for it where the
// exponent is from -7 to 13: the four digits make an integer that a float
// holds exactly, and one multiplication or division by an exact power of
// ten rounds it correctly. Otherwise false, and the general reader reads it.
inline bool readPrintedValue(const char* field, float& value) {
    const auto digit = [field](int i) { return static_cast<uint32_t>(field[i] & 0x0F); };
    const uint32_t mantissa = digit(2) * 1000 + digit(4) * 100 + digit(5) * 10 + digit(6);
    const int exponent = static_cast<int>(digit(9) * 10 + digit(10));
    // d.ddd E exponent is the four digits times ten to the exponent - 3.
    return common::scaleExactly(mantissa, (field[8] == '-' ? -exponent : exponent) - 3, field[1] == '-', value);
}

struct PrintedIndices {
    int32_t h = 0, k = 0, l = 0;
};

// The first forty columns of a reflection record as XDS writes them
// (%6d%6d%6d%11.3E%11.3E): three index fields, then two value fields.
constexpr int kIndexWidth = 6;
constexpr int kIndexFields = 3;
constexpr int kValueWidth = 11;
constexpr int kValueFirst[2] = {19, 30};
constexpr int kPrintedColumns = 40;  // all five fields
static_assert(kValueFirst[0] == kIndexWidth * kIndexFields + 1);
static_assert(kValueFirst[1] == kValueFirst[0] + kValueWidth);
static_assert(kValueFirst[1] + kValueWidth - 1 == kPrintedColumns);

// Columns [1, 18]: the three index fields side by side; their first and
// last columns.
constexpr uint64_t kIndexColumns = common::columnRange(1, kIndexWidth * kIndexFields);
constexpr uint64_t kIndexFirst = common::repeatedColumns(common::columnBits({1}), kIndexWidth, kIndexFields);
constexpr uint64_t kIndexLast = common::repeatedColumns(common::columnBits({kIndexWidth}), kIndexWidth, kIndexFields);
static_assert(kIndexFirst == common::columnBits({1, 7, 13}) && kIndexLast == common::columnBits({6, 12, 18}));

// Columns of "  d.dddE+dd" (1-based within the field) in both value fields.
constexpr uint64_t valueColumns(std::initializer_list<int> inField) {
    uint64_t bits = 0;
    for (const int first : kValueFirst) {
        for (const int column : inField) bits |= common::columnBits({first + column - 1});
    }
    return bits;
}
constexpr uint64_t kValueBlank = valueColumns({1});
constexpr uint64_t kValueBlankOrMinus = valueColumns({2});
constexpr uint64_t kValueDigit = valueColumns({3, 5, 6, 7, 10, 11});
constexpr uint64_t kValuePoint = valueColumns({4});
constexpr uint64_t kValueE = valueColumns({8});
constexpr uint64_t kValueSign = valueColumns({9});
constexpr uint64_t kValueColumns = kValueBlank | kValueBlankOrMinus | kValueDigit | kValuePoint | kValueE | kValueSign;
static_assert(kValueColumns == common::columnRange(kValueFirst[0], 2 * kValueWidth));
static_assert(kValueDigit == common::columnBits({21, 23, 24, 25, 28, 29, 32, 34, 35, 36, 39, 40}));

// Columns 1-40 classed: 1-16 (index fields), 17-32 (the end of l and the
// first value) and 25-40 (the second value); the last two overlap, which
// sets the same bits twice. Each stretch gets the classes its fields need.
enum Form { scalar, sse2 };
template <Form kForm>
common::ColumnClasses classifyRecord(const char* line) {
    using namespace common;
    constexpr unsigned kIndexClasses = kDigit | kZero | kBlank | kMinus;
    constexpr unsigned kValueClasses = kDigit | kBlank | kMinus | kPlus | kPoint | kLetterE;
    ColumnClasses c;
    if constexpr (kForm == scalar) {
        classifySixteenScalar<kIndexClasses>(line, 0, c);
        classifySixteenScalar<kIndexClasses | kValueClasses>(line + 16, 16, c);
        classifySixteenScalar<kValueClasses>(line + 24, 24, c);
    } else {
#if SUITE_SSE2
        classifySixteenSse2<kIndexClasses>(line, 0, c);
        classifySixteenSse2<kIndexClasses | kValueClasses>(line + 16, 16, c);
        classifySixteenSse2<kValueClasses>(line + 24, 24, c);
#endif
    }
    return c;
}

// Both values in the layout "  d.dddE+dd", a minus allowed in the second
// column of each and either sign in the ninth.
inline bool valuesInLayout(const common::ColumnClasses& c) {
    const uint64_t layout = (c.blank & kValueBlank) | ((c.blank | c.minus) & kValueBlankOrMinus) |
                            (c.digit & kValueDigit) | (c.point & kValuePoint) | (c.letterE & kValueE) |
                            ((c.plus | c.minus) & kValueSign);
    return layout == kValueColumns;
}

// Each index field blanks, at most one minus right after them, then digits
// to the end of the field, at least one, without a leading zero (and so no
// "-0"): exactly the fields that the I6 writer gives back unchanged.
inline bool indicesInLayout(const common::ColumnClasses& c) {
    const uint64_t leadingBlanks = c.blank & kIndexColumns;
    const uint64_t signs = c.minus & kIndexColumns;
    // Adding the first column of each field to its run of leading blanks
    // carries through the run and sets the one column after it; a run is at
    // most five columns long here, as the last column must be a digit, so
    // the carry never leaves its field.
    const uint64_t afterBlanks = leadingBlanks + kIndexFirst;
    const uint64_t firstDigit = (leadingBlanks | signs) + kIndexFirst;
    const uint64_t leadingZero = c.zero & firstDigit & ~kIndexLast;
    return ((leadingBlanks | signs | c.digit) & kIndexColumns) == kIndexColumns &&
           (c.digit & kIndexLast) == kIndexLast && (leadingBlanks & afterBlanks) == 0 && (signs & ~afterBlanks) == 0 &&
           leadingZero == 0 && (((c.zero & firstDigit) >> 1) & signs) == 0;
}

// The columns of one index field, shifted down to bit 0.
constexpr uint64_t kOneIndexField = common::columnRange(1, kIndexWidth);
static_assert(kOneIndexField == 0x3F);

inline int32_t withSign(int32_t magnitude, uint64_t signs, int field) {
    return ((signs >> (kIndexWidth * field)) & kOneIndexField) != 0 ? -magnitude : magnitude;
}

// The indices of fields already in the layout, digit by digit.
inline PrintedIndices indicesScalar(const char* line, const common::ColumnClasses& c) {
    int32_t magnitude[kIndexFields] = {};
    for (int column = 0; column < kIndexWidth * kIndexFields; ++column) {
        if ((c.digit >> column) & 1) {
            int32_t& m = magnitude[column / kIndexWidth];
            m = m * 10 + (line[column] - '0');
        }
    }
    const uint64_t signs = c.minus & kIndexColumns;
    return {withSign(magnitude[0], signs, 0), withSign(magnitude[1], signs, 1), withSign(magnitude[2], signs, 2)};
}

#if SUITE_SSE2
// The same from the digit bytes in one multiply-add: pairs of columns as
// two-digit numbers (ten times the first plus the second), then the pairs
// of each field weighted 10000, 100 and 1 and summed. Columns 1-16 make
// pairs p0-p7, columns 17-18 p8; h is p0 p1 p2, k p3 p4 p5, l p6 p7 p8. The
// sums of adjacent pairs with the weights 10000, 100, 1, 10000, 100, 1,
// 10000, 100 are r0 = h - p2, r1 = p2 + 10000 p3, r2 = k - 10000 p3 and
// r3 = l - p8.
inline PrintedIndices indicesSse2(const char* line, const common::ColumnClasses& c) {
    // Blanks and minus signs lie below '0' and subtract to 0, saturated.
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i da = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line)), zero);
    const __m128i db = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 16)), zero);
    auto pairs = [](__m128i digitBytes) {
        const __m128i first = _mm_and_si128(digitBytes, _mm_set1_epi16(0x00FF));
        return _mm_add_epi16(_mm_mullo_epi16(first, _mm_set1_epi16(10)), _mm_srli_epi16(digitBytes, 8));
    };
    const __m128i p = pairs(da);
    const __m128i r = _mm_madd_epi16(p, _mm_setr_epi16(10000, 100, 1, 10000, 100, 1, 10000, 100));
    const int32_t r0 = _mm_cvtsi128_si32(r);
    const int32_t r1 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 1));
    const int32_t r2 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 2));
    const int32_t r3 = _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 3));
    const int32_t p2 = _mm_extract_epi16(p, 2);
    const int32_t p8 = _mm_extract_epi16(pairs(db), 0);
    const uint64_t signs = c.minus & kIndexColumns;
    return {withSign(r0 + p2, signs, 0), withSign((r1 - p2) + r2, signs, 1), withSign(r3 + p8, signs, 2)};
}
#endif

// The first forty columns of a reflection record as XDS writes them: three
// index fields that the I6 writer would give back unchanged (blanks, an
// optional minus sign, digits without a leading zero to the end of the
// field), then two values in the layout that readPrintedValue reads. True
// with the indices when all five fields are in that form (the two values
// are numbers then, and readPrintedValue or the general reader gives them
// when they are needed). Reads forty bytes from `line`. The scalar form
// classes one column at a time; the tests hold it equal to the wide one and
// to the general readers.
inline bool readPrintedRecordScalar(const char* line, PrintedIndices& indices) {
    const common::ColumnClasses c = classifyRecord<scalar>(line);
    if (!valuesInLayout(c) || !indicesInLayout(c)) return false;
    indices = indicesScalar(line, c);
    return true;
}

#if SUITE_SSE2
inline bool readPrintedRecordSse2(const char* line, PrintedIndices& indices) {
    const common::ColumnClasses c = classifyRecord<sse2>(line);
    if (!valuesInLayout(c) || !indicesInLayout(c)) return false;
    indices = indicesSse2(line, c);
    return true;
}
#endif

inline bool readPrintedRecord(const char* line, PrintedIndices& indices) {
#if SUITE_SSE2
    return readPrintedRecordSse2(line, indices);
#else
    return readPrintedRecordScalar(line, indices);
#endif
}

// Where the fields of a printed record lie, for the readers that take them
// from the line: its length, and the offsets of the intensity and sigma.
inline constexpr size_t kPrintedRecordLength = kPrintedColumns;
inline constexpr size_t kIntensityOffset = kValueFirst[0] - 1;
inline constexpr size_t kSigmaOffset = kValueFirst[1] - 1;

}  // namespace xds_record

}  // namespace common
