// The quick fin-field reader must give the common reader's value, bit for
// bit, on every field it accepts, and hand everything else over.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "common/failure.hpp"
#include "common/records.hpp"
#include "planeview/fin_fields.hpp"

namespace {

class NamedSource : public common::LineSource {
public:
    NamedSource() {
        name_ = "fin.dat";
        lineNumber_ = 7;
    }
};

// Fields in the shapes a fin file can hold, plain ones most of the time.
std::string randomField(std::mt19937& random, size_t width) {
    static const std::string alphabet = "0123456789.-+ eEdDxIinfNa";
    std::uniform_int_distribution<int> pick(0, 99);
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

TEST(FinFields, QuickFixedAgreesWithTheCommonReader) {
    std::mt19937 random(20240611);
    int quick = 0;
    for (int i = 0; i < 400000; ++i) {
        const std::string field = randomField(random, 12);
        const int decimals = 2 + i % 3;
        float fast = 0, common = 0;
        const bool taken = planeview::quickFixed(field, decimals, fast);
        const common::ParseStatus status = common::parseFixed(field, decimals, common);
        if (!taken) continue;
        ++quick;
        ASSERT_EQ(status, common::ParseStatus::ok) << "\"" << field << "\"";
        ASSERT_EQ(std::bit_cast<uint32_t>(fast), std::bit_cast<uint32_t>(common))
            << "\"" << field << "\" decimals " << decimals << ": " << fast << " vs " << common;
    }
    EXPECT_GT(quick, 100000);  // the plain forms really take the quick way
}

TEST(FinFields, QuickIntegerAgreesWithTheCommonReader) {
    std::mt19937 random(7);
    for (int i = 0; i < 200000; ++i) {
        const std::string field = randomField(random, 4 + i % 6);
        int32_t fast = 0, common = 0;
        if (!planeview::quickInteger(field, fast)) continue;
        ASSERT_EQ(common::parseInteger(field, common), common::ParseStatus::ok) << "\"" << field << "\"";
        ASSERT_EQ(fast, common) << "\"" << field << "\"";
    }
}

// Printed fields ("%12.2f", "%4d"), some with one character changed.
std::string printedField(std::mt19937& random, bool real) {
    static const std::string changes = "0123456789 -+.xE\xff\x8a\x39\x2f";
    std::uniform_int_distribution<int> pick(0, 999);
    char text[64];
    const int magnitude = pick(random) % 10;
    double value = static_cast<double>(pick(random)) * std::pow(10.0, magnitude - 3);
    if (pick(random) < 300) value = -value;
    if (real) {
        std::snprintf(text, sizeof text, "%12.2f", value);
    } else {
        std::snprintf(text, sizeof text, "%4d", static_cast<int>(value) % 10000);
    }
    std::string field(text);
    if (field.size() > (real ? 12u : 4u)) field = field.substr(0, real ? 12 : 4);
    if (pick(random) < 400) {
        const size_t at = static_cast<size_t>(pick(random)) % field.size();
        field[at] = changes[static_cast<size_t>(pick(random)) % changes.size()];
    }
    return field;
}

TEST(FinFields, PrintedFormsAgreeWithTheCommonReader) {
    std::mt19937 random(99);
    int takenReal = 0, takenInteger = 0;
    for (int i = 0; i < 300000; ++i) {
        const std::string field = printedField(random, true);
        float fast = 0, common = 0;
        if (field.size() != 12 || !planeview::quickPrintedF12d2(field.data(), fast)) continue;
        ++takenReal;
        ASSERT_EQ(common::parseFixed(field, 2, common), common::ParseStatus::ok) << "\"" << field << "\"";
        ASSERT_EQ(std::bit_cast<uint32_t>(fast), std::bit_cast<uint32_t>(common)) << "\"" << field << "\"";
    }
    for (int i = 0; i < 300000; ++i) {
        const std::string field = printedField(random, false);
        int32_t fast = 0, common = 0;
        if (field.size() != 4 || !planeview::quickPrintedI4(field.data(), fast)) continue;
        ++takenInteger;
        ASSERT_EQ(common::parseInteger(field, common), common::ParseStatus::ok) << "\"" << field << "\"";
        ASSERT_EQ(fast, common) << "\"" << field << "\"";
    }
    EXPECT_GT(takenReal, 100000);
    EXPECT_GT(takenInteger, 150000);

    float value = 0;
    EXPECT_TRUE(planeview::quickPrintedF12d2("   167772.16", value));
    EXPECT_EQ(value, 167772.16f);
    EXPECT_FALSE(planeview::quickPrintedF12d2("   167772.17", value));  // above 2^24 hundredths
    EXPECT_TRUE(planeview::quickPrintedF12d2("       -0.00", value));
    EXPECT_TRUE(std::signbit(value));
    for (const char* other : {"       -.50 ", "        .50", "    1 23.45", "   --123.45", "    -  3.45", "  12345678.9",
                              "-12345678.90", "    12-45.67", "      12.3 "}) {
        EXPECT_FALSE(planeview::quickPrintedF12d2(other, value)) << other;
    }
    int32_t index = 5;
    EXPECT_TRUE(planeview::quickPrintedI4("    ", index));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(planeview::quickPrintedI4("-999", index));
    EXPECT_EQ(index, -999);
    for (const char* other : {"   -", "  - ", " 1 2", "1-  ", "+  1", "  1 "}) {
        EXPECT_FALSE(planeview::quickPrintedI4(other, index)) << other;
    }
}

// The quick conversion multiplies by 0.01 in double precision instead of
// dividing by 100 in single precision: the same float for every value.
TEST(FinFields, HundredthsConvertLikeTheDivisionForEveryValue) {
    for (uint32_t hundredths = 0; hundredths <= (1u << 24); ++hundredths) {
        const float divided = static_cast<float>(hundredths) / 100.0f;
        ASSERT_EQ(planeview::fromHundredths(hundredths, false), divided) << hundredths;
    }
    EXPECT_TRUE(std::signbit(planeview::fromHundredths(0, true)));
}

TEST(FinFields, EdgesOfTheQuickForm) {
    float value = 1;
    EXPECT_TRUE(planeview::quickFixed("    16777216", 0, value));
    EXPECT_EQ(value, 16777216.0f);
    EXPECT_FALSE(planeview::quickFixed("    16777217", 0, value));  // not exact in a float
    EXPECT_TRUE(planeview::quickFixed("       -0.00", 2, value));
    EXPECT_TRUE(std::signbit(value));
    EXPECT_TRUE(planeview::quickFixed("        1234", 2, value));
    EXPECT_EQ(value, 12.34f);
    EXPECT_TRUE(planeview::quickFixed("", 2, value));
    EXPECT_EQ(value, 0.0f);
    for (const char* other : {"    Infinity", "      1.0E+3", "       +1.00", "          .", "          -",
                              "   1 2.00", "1.0.0", "0.00000000001"}) {
        EXPECT_FALSE(planeview::quickFixed(other, 2, value)) << other;
    }
}

TEST(FinFields, WholeRecordsFallBackAndReportColumns) {
    const NamedSource source;
    planeview::FinRecord record;
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
