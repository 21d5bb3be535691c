// The quick fin-field reader must give the common reader's value, bit for
// bit, on every field it accepts, and hand everything else over.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/failure.hpp"
#include "common/records.hpp"
#include "planeview/fin_fields.hpp"
#include "testsupport.hpp"

namespace {

class NamedSource : public common::LineSource {
public:
    NamedSource() {
        name_ = "fin.dat";
        lineNumber_ = 7;
    }
};

// Fields in the shapes a fin file can hold, plain ones most of the time.
std::string randomField(testsupport::Random& random, size_t width) {
    static const std::string alphabet = "0123456789.-+ eEdDxIinfNa";
    auto pick = [](testsupport::Random& r) { return static_cast<int>(r(100)); };
    std::string body;
    const int kind = pick(random);
    if (kind < 70) {
        // [-]digits[.digits]
        if (pick(random) < 30) body += '-';
        const int intDigits = pick(random) % 11;
        for (int i = 0; i < intDigits; ++i) body += static_cast<char>('0' + pick(random) % 10);
        if (pick(random) < 80) {
            body += '.';
            const int fracDigits = pick(random) % 6;
            for (int i = 0; i < fracDigits; ++i) body += static_cast<char>('0' + pick(random) % 10);
        }
    } else {
        const int length = 1 + pick(random) % static_cast<int>(width);
        for (int i = 0; i < length; ++i) body += alphabet[static_cast<size_t>(pick(random)) % alphabet.size()];
    }
    if (body.size() > width) body.resize(width);
    const size_t room = width - body.size();
    const size_t before = room == 0 ? 0 : static_cast<size_t>(pick(random)) % (room + 1);
    std::string field(before, ' ');
    field += body;
    // Sometimes short, as at the end of a short record.
    if (pick(random) < 90) field.append(room - before, ' ');
    return field;
}

TEST(FinFields, QuickIntegerAgreesWithTheCommonReader) {
    testsupport::Random random(7);
    for (int i = 0; i < 200000; ++i) {
        const std::string field = randomField(random, static_cast<size_t>(4 + i % 6));
        int32_t fast = 0, common = 0;
        if (!planeview::quickInteger(field, fast)) continue;
        ASSERT_EQ(common::parseInteger(field, common), common::ParseStatus::ok) << "\"" << field << "\"";
        ASSERT_EQ(fast, common) << "\"" << field << "\"";
    }
}

std::string pvtestFormat(const char* pattern, auto value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// One field of a printed record replaced by another text of its width.
TEST(FinFields, EdgesOfThePrintedRecord) {
    const std::string base = "   1  -2   3" + std::string("      100.00        2.00") + "       50.25        1.00" +
                             "        0.00        0.00" + "    12345.67      123.45";
    ASSERT_EQ(base.size(), 108u);
    float F[planeview::kDataSets] = {};
    ASSERT_TRUE(planeview::quickPrintedFinRecord(base.data(), F));
    EXPECT_EQ(F[0], 100.0f);
    EXPECT_EQ(F[1], 50.25f);
    EXPECT_EQ(F[2], 0.0f);
    EXPECT_EQ(F[3], 12345.67f);

    auto with = [&](size_t at, const std::string& text) {
        std::string record = base;
        record.replace(at, text.size(), text);
        return record;
    };
    // Amplitudes: the largest exact value, and forms left to the field
    // reader, in an F field (columns 13-24) and in the last sigma field
    // (columns 97-108, read without going past column 108).
    std::string record = with(12, "   167772.16");
    ASSERT_TRUE(planeview::quickPrintedFinRecord(record.data(), F));
    EXPECT_EQ(F[0], 167772.16f);
    // A sigma is only checked, not converted, so a large one passes.
    EXPECT_FALSE(planeview::quickPrintedFinRecord(with(12, "   167772.17").data(), F));
    EXPECT_TRUE(planeview::quickPrintedFinRecord(with(96, "   167772.17").data(), F));
    for (const char* other : {"       -0.00", "      -50.25", "-12345678.90", "       11-30", "       -.50 ", "        .50", "    1 23.45", "   --123.45", "    -  3.45", "  12345678.9",
                              "    12-45.67", "      12.3 ", "     12.3.45", "    Infinity", "        1234", "       +1.00",
                              "   1.0E+02  ", "            "}) {
        for (const size_t at : {size_t{12}, size_t{96}}) {
            record = with(at, other);
            EXPECT_FALSE(planeview::quickPrintedFinRecord(record.data(), F)) << "\"" << other << "\" at " << at;
        }
    }
    // Indices: blanks read as 0, a full field, and forms left to the field
    // reader.
    EXPECT_TRUE(planeview::quickPrintedFinRecord(with(0, "    -999").data(), F));
    for (const char* other : {"   -", "  - ", " 1 2", "1-  ", "+  1", "  1 ", "  x1"}) {
        EXPECT_FALSE(planeview::quickPrintedFinRecord(with(4, other).data(), F)) << "\"" << other << "\"";
    }
}

// Whole records of printed fields, some with one character changed: the
// record reader, in its scalar and its SSE2 form alike, must accept only
// records that the field-by-field reader reads, with the same amplitudes.
TEST(FinFields, PrintedRecordsAgreeWithTheFieldReader) {
    testsupport::Random random(4242);
    auto pick = [](testsupport::Random& r) { return static_cast<int>(r(1000)); };
    const NamedSource source;
    int taken = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string record;
        for (int field = 0; field < 3; ++field) {
            record += pvtestFormat("%4d", (pick(random) - 500) / (1 + pick(random) % 100));
        }
        for (int field = 0; field < 8; ++field) {
            const double value = (pick(random) - 10) * std::pow(10.0, pick(random) % 6 - 2);
            record += pvtestFormat("%12.2f", value);
        }
        if (pick(random) < 300) record[static_cast<size_t>(pick(random)) % 108] = "0 -.+x9"[pick(random) % 7];
        float quick[planeview::kDataSets] = {};
        const bool plainTaken = planeview::quickPrintedFinRecordScalar(record.data(), quick);
#if SUITE_SSE2
        float wide[planeview::kDataSets] = {};
        ASSERT_EQ(planeview::quickPrintedFinRecordSse2(record.data(), wide), plainTaken) << "\"" << record << "\"";
        if (plainTaken) {
            ASSERT_EQ(std::memcmp(wide, quick, sizeof quick), 0) << "\"" << record << "\"";
        }
#endif
        float values[2 * planeview::kDataSets] = {};
        const bool valuesTaken = planeview::quickPrintedFinValuesScalar(record.data(), values);
#if SUITE_SSE2
        float wideValues[2 * planeview::kDataSets] = {};
        ASSERT_EQ(planeview::quickPrintedFinValuesSse2(record.data(), wideValues), valuesTaken) << "\"" << record << "\"";
        if (valuesTaken) {
            ASSERT_EQ(std::memcmp(wideValues, values, sizeof values), 0) << "\"" << record << "\"";
        }
#endif
        if (!plainTaken && !valuesTaken) continue;
        ++taken;
        planeview::Record full;
        try {
            planeview::readFinRecord(record, source, full);
        } catch (const common::RunTimeFailure& failure) {
            FAIL() << "\"" << record << "\" taken quickly but: " << failure.what();
        }
        for (int set = 0; set < planeview::kDataSets; ++set) {
            if (plainTaken) {
                ASSERT_EQ(std::bit_cast<uint32_t>(quick[set]), std::bit_cast<uint32_t>(full.F[set]))
                    << "\"" << record << "\" set " << set;
            }
            if (valuesTaken) {
                ASSERT_EQ(std::bit_cast<uint32_t>(values[2 * set]), std::bit_cast<uint32_t>(full.F[set])) << record;
                ASSERT_EQ(std::bit_cast<uint32_t>(values[2 * set + 1]), std::bit_cast<uint32_t>(full.sigF[set])) << record;
            }
        }
    }
    EXPECT_GT(taken, 5000);
}

TEST(FinFields, RecordsOutsideTheZonesAreKnownByTheirDigits) {
    for (const std::string_view line : {"   1  -2 100        1.00", "  +1 -10  01", "   1   2   3"}) {
        EXPECT_TRUE(planeview::hasNoZeroIndex(line)) << "\"" << line << "\"";
        EXPECT_TRUE(planeview::hasNoZeroIndexScalar(line)) << "\"" << line << "\"";
    }
    for (const std::string_view zone : {"   0   2   3        1.00", "   1  -0   3        1.00", "   1   2 00          1.00",
                                        "   1   2                ", "   1   2", "", "   5   5   0"}) {
        EXPECT_FALSE(planeview::hasNoZeroIndex(zone)) << "\"" << zone << "\"";
        EXPECT_FALSE(planeview::hasNoZeroIndexScalar(zone)) << "\"" << zone << "\"";
    }
}

TEST(FinFields, WholeRecordsFallBackAndReportColumns) {
    const NamedSource source;
    planeview::Record record;
    // Exponent, plus sign and Infinity go the long way and still read.
    planeview::readFinRecord("   1  -2 +03      1.5E+2       +2.50    Infinity        -NaN", source, record);
    EXPECT_EQ(record.h, 1);
    EXPECT_EQ(record.k, -2);
    EXPECT_EQ(record.l, 3);
    EXPECT_EQ(record.F[0], 150.0f);
    EXPECT_EQ(record.sigF[0], 2.5f);
    EXPECT_TRUE(std::isinf(record.F[1]));
    EXPECT_TRUE(std::isnan(record.sigF[1]));
    EXPECT_EQ(record.F[3], 0.0f);  // beyond the end of a short record

    try {
        planeview::readFinRecord("   1   2   3        1.00        2.00        3.00       4.0e", source, record);
        FAIL() << "a bad field was read";
    } catch (const common::RunTimeFailure& failure) {
        EXPECT_NE(std::string(failure.what()).find("line 7 of fin.dat, columns 49-60"), std::string::npos)
            << failure.what();
    }
}

}  // namespace
