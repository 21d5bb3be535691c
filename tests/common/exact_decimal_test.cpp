// The quick ways between decimal text and floats against the general reader
// and writer, and each wide (SSE2) byte classing against its plain twin.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/column_classes.hpp"
#include "common/exact_decimal.hpp"
#include "common/input_file.hpp"
#include "common/records.hpp"
#include "testsupport.hpp"

namespace {

TEST(ExactDecimal, ScalingGivesTheCorrectlyRoundedReading) {
    testsupport::Random random(31337);
    for (int i = 0; i < 300000; ++i) {
        const auto mantissa = static_cast<uint32_t>(random.next() % (common::kExactMantissaLimit + 1));
        const int power = static_cast<int>(random.next() % 21) - 10;
        float quick = 0;
        ASSERT_TRUE(common::scaleExactly(mantissa, power, i % 2 == 1, quick));
        char text[32];
        std::snprintf(text, sizeof text, "%s%ue%d", i % 2 == 1 ? "-" : "", mantissa, power);
        ASSERT_EQ(quick, std::strtof(text, nullptr)) << text;
    }
    float untouched = 5;
    EXPECT_FALSE(common::scaleExactly(common::kExactMantissaLimit + 1, 0, false, untouched));
    EXPECT_FALSE(common::scaleExactly(1, 11, false, untouched));
    EXPECT_FALSE(common::scaleExactly(1, -11, false, untouched));
    EXPECT_EQ(untouched, 5.0f);
}

// The quick conversion multiplies by 0.01 in double precision instead of
// dividing by 100 in single precision: the same float for every value.
TEST(ExactDecimal, HundredthsConvertLikeTheDivisionForEveryValue) {
    for (uint32_t hundredths = 0; hundredths <= common::kExactMantissaLimit; ++hundredths) {
        const float divided = static_cast<float>(hundredths) / 100.0f;
        ASSERT_EQ(common::fromHundredths(hundredths, false), divided) << hundredths;
    }
    EXPECT_TRUE(std::signbit(common::fromHundredths(0, true)));
}

// The direct writer for the widths and decimals tried below.
bool writeDirect(char* out, int width, float value, int decimals) {
    using Writer = bool (*)(char*, float);
    static constexpr Writer kWriters[3][3] = {
        {common::writeFixedDirect<5, 1>, common::writeFixedDirect<7, 1>, common::writeFixedDirect<8, 1>},
        {common::writeFixedDirect<5, 2>, common::writeFixedDirect<7, 2>, common::writeFixedDirect<8, 2>},
        {common::writeFixedDirect<5, 3>, common::writeFixedDirect<7, 3>, common::writeFixedDirect<8, 3>}};
    return kWriters[decimals - 1][width == 5 ? 0 : width == 7 ? 1 : 2](out, value);
}

// Where the direct writer takes a value, and wherever the hundredths writer
// is given one that fits, its field is the general writer's
// byte for byte; ties at the last decimal, values rounding to zero with a
// sign, and the edges of the field included.
TEST(ExactDecimal, DirectFieldsAreTheGeneralWritersFields) {
    testsupport::Random random(2718);
    std::vector<float> values = {0.0f, -0.0f, 0.005f, -0.005f, 0.125f, 0.375f, -0.0625f, 99999.99f, 99999.995f,
                                 -9999.99f, -9999.995f, 99999999.99f, -131072.01f, 1e9f, -1e9f, INFINITY, -INFINITY, NAN, 164.0f, -999.999f};
    for (int i = 0; i < 400000; ++i) {
        const int kind = i % 3;
        if (kind == 0) values.push_back(static_cast<float>(static_cast<int>(random.next() % 4000000) - 2000000) / 64.0f);
        if (kind == 1) values.push_back(std::ldexp(static_cast<float>(random.next() % 16777216), static_cast<int>(random.next() % 40) - 34));
        if (kind == 2) values.push_back(static_cast<float>(static_cast<int>(random.next() % 200000) - 100000) * 0.01f);
    }
    int taken = 0;
    for (const float value : values) {
        for (int decimals = 1; decimals <= 3; ++decimals) {
            for (const int width : {5, 7, 8}) {
                std::string general;
                common::appendFixed(general, value, width, decimals);
                std::string direct(static_cast<size_t>(width), '?');
                if (!writeDirect(direct.data(), width, value, decimals)) {
                    EXPECT_EQ(direct, std::string(static_cast<size_t>(width), '?'));
                    continue;
                }
                ++taken;
                ASSERT_EQ(direct, general) << value << " F" << width << "." << decimals;
            }
        }
        // The hundredths writer, for every value whose field fits.
        for (const int width : {8, 12}) {
            std::string general;
            common::appendFixed(general, value, width, 2);
            if (!std::isfinite(value) || general.find('*') != std::string::npos) continue;
            std::string direct(static_cast<size_t>(width), ' ');
            (width == 8 ? common::writeHundredths<8> : common::writeHundredths<12>)(direct.data(), value);
            ASSERT_EQ(direct, general) << value << " F" << width << ".2";
        }
    }
    EXPECT_GT(taken, 800000);
}

// The digits without division, for every number they are made for.
TEST(ExactDecimal, EightDigitsOfEveryNumber) {
    uint8_t expected[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // counted up in decimal alongside
    for (uint32_t units = 0; units < 100000000; ++units) {
        uint64_t word = 0;
        std::memcpy(&word, expected, 8);
        ASSERT_EQ(common::eightDigits(units), word) << units;
        for (int i = 7; i >= 0 && ++expected[i] == 10; --i) expected[i] = 0;
    }
}

// Random bytes, with many of the classed ones: both classings set the same
// bits, and both line-feed searches find the same line feeds.
TEST(ExactDecimal, Sse2ClassingEqualsTheScalarOne) {
#if SUITE_SSE2
    testsupport::Random random(99);
    const std::string alphabet = "0123456789 -+.Ee\n\r\t/x";
    for (int i = 0; i < 50000; ++i) {
        char bytes[64];
        for (char& byte : bytes) {
            byte = random.next() % 4 == 0 ? static_cast<char>(random.next()) : alphabet[random.next() % alphabet.size()];
        }
        common::ColumnClasses plain, wide;
        for (int shift : {0, 16, 32, 48}) {
            common::classifySixteenScalar<>(bytes + shift, shift, plain);
            common::classifySixteenSse2<>(bytes + shift, shift, wide);
        }
        ASSERT_EQ(std::memcmp(&plain, &wide, sizeof plain), 0) << i;
        ASSERT_EQ(common::lineFeedMaskScalar(bytes), common::lineFeedMaskSse2(bytes)) << i;
    }
#else
    GTEST_SKIP() << "built without SSE2 (SUITE_SIMD=OFF or another machine): only the plain classing exists";
#endif
}

}  // namespace
