// The quick fin-field reader must give the common reader's value, bit for
// bit, on every field it accepts, and hand everything else over.

#include <gtest/gtest.h>

#include <bit>
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
