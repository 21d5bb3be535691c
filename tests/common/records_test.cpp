#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

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

namespace {

// The reading of a number token, worked out apart from the reader: the
// token checked piece by piece against the forms a field may take, then
// rewritten as the decimal text strtof reads ("-0.012e2" for "-12D2" with
// three implied decimals: the point moved in the text, the exponent letter
// made an e), and that text rounded to a float by the C library.
std::optional<float> referenceReading(std::string_view token, int decimals) {
    if (token.empty()) return 0.0f;
    std::string sign;
    if (token[0] == '+' || token[0] == '-') {
        sign = token.substr(0, 1);
        token.remove_prefix(1);
    }
    std::string lower(token);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "inf" || lower == "infinity") return sign == "-" ? -INFINITY : INFINITY;
    if (lower == "nan") return NAN;
    const size_t mantissaLength = std::min(token.find_first_not_of("0123456789."), token.size());
    std::string mantissa(token.substr(0, mantissaLength));
    const size_t points = static_cast<size_t>(std::count(mantissa.begin(), mantissa.end(), '.'));
    if (points > 1 || mantissa.size() == points) return std::nullopt;
    std::string_view rest = token.substr(mantissaLength);
    std::string exponent = "0";
    if (!rest.empty()) {
        const bool letter = std::string_view("eEdD").find(rest[0]) != std::string_view::npos;
        if (letter) rest.remove_prefix(1);
        const bool signed_ = !rest.empty() && (rest[0] == '+' || rest[0] == '-');
        if (!letter && !signed_) return std::nullopt;
        if (rest.size() == (signed_ ? 1u : 0u) ||
            rest.find_first_not_of("0123456789", signed_ ? 1 : 0) != std::string_view::npos) {
            return std::nullopt;
        }
        exponent = rest;
    }
    if (points == 0 && decimals > 0) {
        if (mantissa.size() <= static_cast<size_t>(decimals)) mantissa.insert(0, static_cast<size_t>(decimals) + 1 - mantissa.size(), '0');
        mantissa.insert(mantissa.size() - static_cast<size_t>(decimals), ".");
    }
    return std::strtof((sign + mantissa + "e" + exponent).c_str(), nullptr);
}

// Tokens of the forms fields hold and of the edges of a float.
std::string randomToken(testsupport::Random& random) {
    auto digitsOf = [&random](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + random(10));
        return s;
    };
    char text[256];
    std::string token;
    switch (random(6)) {
        case 0: case 1: {  // short decimals, as files print them
            token = digitsOf(1 + random(9));
            if (random(4) != 0) token.insert(random(token.size() + 1), ".");
            break;
        }
        case 2: {  // long mantissas, with leading zeros now and then
            token = std::string(random(3) == 0 ? random(12) : 0, '0') + digitsOf(10 + random(30));
            if (random(3) != 0) token.insert(random(token.size() + 1), ".");
            break;
        }
        case 3: {  // near the largest float, the smallest and among the subnormals
            static const uint32_t kExponents[] = {0, 1, 2, 24, 25, 126, 127, 253, 254};
            const uint32_t bits = (kExponents[random(9)] << 23) | static_cast<uint32_t>(random(1u << 23));
            float f = 0;
            std::memcpy(&f, &bits, sizeof f);
            std::snprintf(text, sizeof text, "%.*e", static_cast<int>(random(12)), static_cast<double>(f));
            return text;
        }
        case 4: {  // halfway between two floats, exactly or a last digit off
            const uint32_t bits = static_cast<uint32_t>(random(0x7F7FFFFFu));
            float f = 0;
            std::memcpy(&f, &bits, sizeof f);
            const double half = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, INFINITY))) / 2;
            std::snprintf(text, sizeof text, "%.120e", half);
            std::string s(text);
            const size_t e = s.find('e');
            std::string digits = s.substr(0, e);
            digits.erase(digits.find_last_not_of('0') + 1);
            if (random(3) == 0) digits += random(2) == 0 ? "1" : "";
            if (random(3) == 0 && digits.back() > '0' && digits.back() <= '9') --digits.back();
            return digits + s.substr(e);
        }
        default: {  // exponents in every writing, small and large
            token = digitsOf(1 + random(9));
            if (random(2) != 0) token.insert(random(token.size() + 1), ".");
            token += "eEdD+-"[random(6)];
            if (token.back() != '+' && token.back() != '-' && random(2) != 0) token += random(2) == 0 ? '-' : '+';
            token += std::to_string(random(4) == 0 ? random(100000) : random(50));
            break;
        }
    }
    const uint64_t sign = random(4);
    return (sign == 0 ? "-" : sign == 1 ? "+" : "") + token;
}

// A token with one or two characters put in, taken out or changed, and
// blanks around it now and then.
std::string edited(testsupport::Random& random, std::string token) {
    static const std::string alphabet = "0123456789.+-eEdD xiInNfFaAtTyY,";
    const uint64_t edits = 1 + random(2);
    for (uint64_t i = 0; i < edits; ++i) {
        const size_t at = random(token.size() + 1);
        const char c = alphabet[random(alphabet.size())];
        switch (random(3)) {
            case 0: token.insert(at, 1, c); break;
            case 1: if (at < token.size()) token.erase(at, 1); break;
            default: if (at < token.size()) token[at] = c; break;
        }
    }
    if (random(4) == 0) token = std::string(random(3), ' ') + token + std::string(random(3), ' ');
    return token;
}

std::string trimmed(std::string_view s) {
    const size_t b = s.find_first_not_of(' ');
    return b == std::string_view::npos ? std::string() : std::string(s.substr(b, s.find_last_not_of(' ') + 1 - b));
}

}  // namespace

// Every token, as written or edited, reads as the reference reads it: the
// same float bit for bit, and not a number exactly where the reference
// finds none. Free-format items are whole numbers without implied decimals.
TEST(Records, NumbersReadAsTheirCorrectlyRoundedDecimalValue) {
    testsupport::Random random(86421);
    int numbers = 0, refused = 0;
    for (int i = 0; i < 1500000; ++i) {
        std::string token = randomToken(random);
        if (i % 3 == 0) token = edited(random, token);
        const int decimals = static_cast<int>(random(5));
        const std::optional<float> expected = referenceReading(trimmed(token), decimals);
        float value = -12345;
        const ParseStatus status = common::parseFixed(token, decimals, value);
        ASSERT_EQ(status, expected ? ParseStatus::ok : ParseStatus::notANumber) << "\"" << token << "\" F." << decimals;
        if (!expected) {
            ++refused;
            continue;
        }
        ++numbers;
        ASSERT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(*expected))
            << "\"" << token << "\" F." << decimals << ": " << value << " against " << *expected;
        if (token.find_first_of(" ,") == std::string::npos && !token.empty()) {
            const std::optional<float> whole = referenceReading(token, 0);
            float free = -12345;
            ASSERT_EQ(common::parseFreeNumber(token, free), whole ? ParseStatus::ok : ParseStatus::notANumber) << token;
            if (whole) {
                ASSERT_EQ(std::bit_cast<uint32_t>(free), std::bit_cast<uint32_t>(*whole)) << token;
            }
        }
    }
    EXPECT_GT(numbers, 1000000);
    EXPECT_GT(refused, 100000);
}

// An exponent stops growing once it reaches 100000: the value is an
// infinity or a zero either way unless the mantissa has as many digits as
// that, as only a line cut from a damaged file could.
TEST(Records, HugeExponentsAreCapped) {
    const std::string token = "0." + std::string(99999, '0') + "1e1000000";
    EXPECT_EQ(readFixed(token, 2), 1.0f);
    EXPECT_EQ(readFixed("1e1000000", 2), INFINITY);
    EXPECT_EQ(readFixed("-1D-1000000", 2), -0.0f);
    EXPECT_TRUE(std::signbit(readFixed("-1D-1000000", 2)));
}
