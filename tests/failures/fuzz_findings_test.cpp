// What the fuzz targets found, kept as tests of the normal suite.
#include <gtest/gtest.h>

#include <string>

#include "common/records.hpp"

namespace {

// fuzz_records: an F1.0 field of 0.3 came out as ".", and an F2.0 field of
// -0.3 as "-.": the zero before the point was dropped for want of room,
// though with no decimals it is the only digit, and neither field could be
// read back. With no decimals the zero stays, and asterisks fill a field
// too narrow for it.
TEST(FuzzFindings, FixedFieldWithoutDecimalsKeepsItsOnlyDigit) {
    const struct {
        float value;
        int width, decimals;
        const char* written;
    } cases[] = {
        {0.3f, 1, 0, "*"},   {0.3f, 2, 0, "0."},  {-0.3f, 2, 0, "**"}, {-0.3f, 3, 0, "-0."},
        {0.0f, 1, 0, "*"},   {0.0f, 2, 0, "0."},  {0.7f, 2, 0, "1."},  {-0.7f, 2, 0, "**"},
        {0.3f, 3, 0, " 0."},
        {0.05f, 3, 2, ".05"}, {-0.05f, 4, 2, "-.05"},  // with decimals the zero still gives way
    };
    for (const auto& c : cases) {
        const int decimals = c.decimals;
        std::string field;
        common::appendFixed(field, c.value, c.width, decimals);
        EXPECT_EQ(field, c.written) << c.value << " in F" << c.width << "." << decimals;
        if (field.find('*') == std::string::npos) {
            float back = 1;
            EXPECT_EQ(common::parseFixed(field, decimals, back), common::ParseStatus::ok) << field;
        }
    }
}

}  // namespace
