#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "common/input_file.hpp"
#include "common/failure.hpp"
#include "common/records.hpp"
#include "testsupport.hpp"

using common::ParseStatus;

namespace {

std::string fixed(float value, int width, int decimals) {
    std::string out;
    common::appendFixed(out, value, width, decimals);
    return out;
}

float readFixed(std::string_view field, int decimals) {
    float value = -12345;
    EXPECT_EQ(common::parseFixed(field, decimals, value), ParseStatus::ok) << field;
    return value;
}

float readFree(std::string_view field) {
    float value = -12345;
    EXPECT_EQ(common::parseFreeNumber(field, value), ParseStatus::ok) << field;
    return value;
}

class FakeSource : public common::LineSource {
public:
    FakeSource() {
        name_ = "XDS_ASCII.HKL";
        lineNumber_ = 812;
    }
};

}  // namespace

TEST(Records, IntegerFieldsIgnoreBlanksAndRejectText) {
    int32_t v = 7;
    EXPECT_EQ(common::parseInteger("      ", v), ParseStatus::ok);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(common::parseInteger("  -12 ", v), ParseStatus::ok);
    EXPECT_EQ(v, -12);
    EXPECT_EQ(common::parseInteger("+007", v), ParseStatus::ok);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(common::parseInteger("-2147483648", v), ParseStatus::ok);
    EXPECT_EQ(v, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(common::parseInteger("2147483648", v), ParseStatus::tooLarge);
    EXPECT_EQ(common::parseInteger("!END_O", v), ParseStatus::notANumber);
    EXPECT_EQ(common::parseInteger("1 2", v), ParseStatus::notANumber);
    EXPECT_EQ(common::parseInteger("-", v), ParseStatus::notANumber);
    EXPECT_EQ(common::parseInteger("1.0", v), ParseStatus::notANumber);
}

TEST(Records, FixedFieldsTakeImpliedDecimalsOnlyWithoutAPoint) {
    EXPECT_EQ(readFixed("       25", 3), 0.025f);
    EXPECT_EQ(readFixed("-25", 3), -0.025f);
    EXPECT_EQ(readFixed("     100", 2), 1.0f);
    EXPECT_EQ(readFixed("2", 4), 0.0002f);
    EXPECT_EQ(readFixed("  2.5  ", 4), 2.5f);
    EXPECT_EQ(readFixed("        ", 2), 0.0f);
    EXPECT_EQ(readFixed("12E2", 3), 1.2f);       // 0.012 times 10^2
    EXPECT_EQ(readFixed("1.5D2", 3), 150.0f);
    EXPECT_EQ(readFixed("-1.5e-1", 1), -0.15f);
    EXPECT_EQ(readFixed("+3.", 2), 3.0f);
    EXPECT_EQ(readFixed(".5", 2), 0.5f);
    EXPECT_EQ(readFixed("0.1", 2), 0.1f);  // correctly rounded to the nearest float
    EXPECT_TRUE(std::isinf(readFixed("Infinity", 2)));
    EXPECT_LT(readFixed("-inf", 2), 0.0f);
    EXPECT_TRUE(std::isnan(readFixed("NaN", 2)));
    EXPECT_TRUE(std::isnan(readFixed("  nan", 2)));
    EXPECT_TRUE(std::isinf(readFixed("1e60", 2)));
    float v = 0;
    for (std::string_view bad : {"1.2x3", "1.2.3", "abc", "1e", "e5", "- 1", "1 2", "--1", ".", "inf2"}) {
        EXPECT_EQ(common::parseFixed(bad, 2, v), ParseStatus::notANumber) << bad;
    }
}

TEST(Records, FreeNumbersAreTheFirstItemOfTheSlice) {
    EXPECT_EQ(readFree("  1.151E+04"), 11510.0f);
    EXPECT_EQ(readFree(" 12"), 12.0f);  // a whole number here, no implied decimals
    EXPECT_EQ(readFree("5423 99"), 5423.0f);
    EXPECT_EQ(readFree("3.5,7"), 3.5f);
    EXPECT_EQ(readFree("-0.12   "), -0.12f);
    EXPECT_TRUE(std::isinf(readFree(" -Inf")));
    float v = 0;
    EXPECT_EQ(common::parseFreeNumber("           ", v), ParseStatus::notANumber);
    EXPECT_EQ(common::parseFreeNumber("", v), ParseStatus::notANumber);
    EXPECT_EQ(common::parseFreeNumber(" ,5", v), ParseStatus::notANumber);
    EXPECT_EQ(common::parseFreeNumber(" 1.2x3", v), ParseStatus::notANumber);
}

TEST(Records, FixedOutputRoundsHalfToEvenOnTheBinaryValue) {
    EXPECT_EQ(fixed(2.1f, 8, 3), "   2.100");
    EXPECT_EQ(fixed(2.345f, 12, 2), "        2.35");  // 2.345f is slightly above 2.345
    EXPECT_EQ(fixed(0.125f, 6, 2), "  0.12");       // exactly half: to even
    EXPECT_EQ(fixed(0.375f, 6, 2), "  0.38");
    EXPECT_EQ(fixed(0.004f, 12, 2), "        0.00");
    EXPECT_EQ(fixed(-0.004f, 12, 2), "       -0.00");  // the sign is kept
    EXPECT_EQ(fixed(-1.0f, 8, 3), "  -1.000");
    EXPECT_EQ(fixed(-23.456f, 12, 3), "     -23.456");
    EXPECT_EQ(fixed(0.5f, 4, 2), "0.50");
    EXPECT_EQ(fixed(0.5f, 3, 2), ".50");   // no room for the zero
    EXPECT_EQ(fixed(-0.5f, 4, 2), "-.50");
    EXPECT_EQ(fixed(99.95f, 4, 1), "99.9");  // 99.95f is just below 99.95
    EXPECT_EQ(fixed(99.96f, 4, 1), "****");
    EXPECT_EQ(fixed(999.996f, 6, 2), "******");
    EXPECT_EQ(fixed(1e30f, 8, 2), "********");
    EXPECT_EQ(fixed(-1000.0f, 7, 3), "*******");
}

TEST(Records, NonFiniteValuesAreWrittenAsWordsThatReadBack) {
    EXPECT_EQ(fixed(INFINITY, 12, 2), "    Infinity");
    EXPECT_EQ(fixed(-INFINITY, 12, 2), "   -Infinity");
    EXPECT_EQ(fixed(NAN, 12, 2), "         NaN");
    EXPECT_EQ(fixed(INFINITY, 5, 1), "  Inf");
    EXPECT_EQ(fixed(-INFINITY, 6, 1), "  -Inf");
    EXPECT_EQ(fixed(-INFINITY, 3, 1), "***");
    EXPECT_EQ(fixed(NAN, 2, 1), "**");
    EXPECT_TRUE(std::isinf(readFixed(fixed(INFINITY, 12, 2), 2)));
    EXPECT_TRUE(std::isnan(readFixed(fixed(NAN, 12, 2), 2)));
}

TEST(Records, IntegerOutputAndTextFields) {
    std::string out;
    common::appendInteger(out, 50000, 9);
    EXPECT_EQ(out, "    50000");
    out.clear();
    common::appendInteger(out, -12, 3);
    EXPECT_EQ(out, "-12");
    out.clear();
    common::appendInteger(out, -123, 3);
    EXPECT_EQ(out, "***");
    out.clear();
    common::appendInteger(out, 10000000000LL, 9);
    EXPECT_EQ(out, "*********");

    common::RecordBuffer b;
    b.textRight("  8.22", 8).blanks(3).integer(5423, 6).text("%").padTo(20);
    EXPECT_EQ(b.view(), "    8.22     5423%  ");
}

TEST(Records, CursorReadsLeftToRightAndReportsFileLineAndColumns) {
    FakeSource source;
    common::RecordCursor cursor("   50.00  60.00   70.00", source);
    EXPECT_EQ(cursor.readFixed(8, 2), 50.0f);
    EXPECT_EQ(cursor.readFixed(8, 2), 60.0f);
    EXPECT_EQ(cursor.readFixed(8, 2), 70.0f);
    EXPECT_EQ(cursor.readFixed(8, 2), 0.0f);  // beyond the line: blanks
    EXPECT_EQ(cursor.column(), 33);

    common::RecordCursor bad("     1     2     3  1.2x3", source);
    bad.skip(18);
    try {
        bad.readFree(11);
        FAIL() << "no failure";
    } catch (const common::RunTimeFailure& failure) {
        EXPECT_STREQ(failure.what(), "line 812 of XDS_ASCII.HKL, columns 19-29: \"  1.2x3\" is not a number");
    }
}

TEST(Records, FreeLinesStartWithABlank) {
    EXPECT_EQ(common::FreeLine().text("all done").str(), " all done");
    EXPECT_EQ(common::FreeLine().text("a= ").real(50.0f).text(" b= ").real(0.1f).str(), " a=  50  b=  0.1");
    EXPECT_EQ(common::FreeLine().real(INFINITY).real(NAN).integer(-3).str(), " Infinity NaN -3");
}

// Short decimals take a quick path; it must round exactly as the general
// conversion does, on every form reflection files use.
TEST(Records, QuickDecimalPathRoundsLikeTheGeneralConversion) {
    testsupport::Random random(12345);
    auto next = [&random] { return random.next(); };
    char text[64];
    for (int i = 0; i < 200000; ++i) {
        const double magnitude = static_cast<double>(next() % 100000000) / std::pow(10.0, static_cast<double>(next() % 12));
        const double x = (next() & 1) ? -magnitude : magnitude;
        switch (i % 4) {
            case 0: std::snprintf(text, sizeof text, "%.3E", x); break;
            case 1: std::snprintf(text, sizeof text, "%.*f", static_cast<int>(next() % 6), x); break;
            case 2: std::snprintf(text, sizeof text, "%.*e", static_cast<int>(next() % 9), x); break;
            default: std::snprintf(text, sizeof text, "%lld", static_cast<long long>(x)); break;
        }
        float value = 0;
        ASSERT_EQ(common::parseFreeNumber(text, value), ParseStatus::ok) << text;
        const float expected = std::strtof(text, nullptr);
        ASSERT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << text << " read as " << value;
    }
}
