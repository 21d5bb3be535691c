// The fin record: finjoin's quick writer against the common writer, the
// limits of F12.2 against what the common writer fills with asterisks, and
// planeview's reader against the common reader on what finjoin writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "common/layout/fin_file.hpp"
#include "finjoin/fin_writer.hpp"
#include "planeview/fin_fields.hpp"

namespace {

class FinSource : public common::LineSource {
public:
    FinSource() { name_ = "joined.fin"; }
};

std::string plain(const common::fin_file::Record& record) {
    common::RecordBuffer out;
    common::fin_file::appendRecord(out, record);
    return std::string(out.view());
}

std::string quick(const common::fin_file::Record& record) {
    char text[common::fin_file::kRecordLength];
    finjoin::formatFinRecord(text, record);
    return std::string(text, sizeof text);
}

// Values at the edges of rounding and of the field, with their neighbours.
std::vector<float> edgeValues() {
    std::vector<float> values;
    for (const double v : {0.0, 0.004, 0.005, 0.015, 0.025, 0.125, 1.005, 2.675, 99.995, 12345.675, 131072.01,
                           99999999.99, 99999999.995, 999999936.0, 999999999.99, 1e9, 3e38}) {
        for (const double sign : {1.0, -1.0}) {
            const float f = static_cast<float>(sign * v);
            values.insert(values.end(), {f, std::nextafter(f, 0.0f), std::nextafter(f, std::numeric_limits<float>::infinity())});
        }
    }
    values.insert(values.end(), {-0.0f, std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()});
    return values;
}

TEST(FinWriter, FieldsThatFitAreThoseTheCommonWriterWritesWithoutAsterisks) {
    for (const float value : edgeValues()) {
        std::string field;
        common::appendFixed(field, value, common::fin_file::kValueWidth, common::fin_file::kDecimals);
        const bool numeric = field.find('*') == std::string::npos && std::isfinite(value);
        EXPECT_EQ(common::fin_file::valueFits(value), numeric) << value << " \"" << field << "\"";
    }
}

TEST(FinWriter, QuickRecordsEqualTheCommonWriterAndReadBack) {
    std::vector<float> values;
    for (const float v : edgeValues()) {
        if (common::fin_file::valueFits(v)) values.push_back(v);
    }
    std::mt19937 random(1313);
    std::uniform_int_distribution<int32_t> index(common::fin_file::kIndexMin, common::fin_file::kIndexMax);
    std::uniform_real_distribution<double> exponent(-3, 9);
    const FinSource source;
    for (int i = 0; i < 200000; ++i) {
        common::fin_file::Record record;
        record.h = index(random);
        record.k = i % 7 == 0 ? common::fin_file::kIndexMin : index(random);
        record.l = i % 11 == 0 ? common::fin_file::kIndexMax : index(random);
        for (int set = 0; set < common::fin_file::kDataSets; ++set) {
            float v = static_cast<float>(std::pow(10.0, exponent(random)) * (random() % 4 == 0 ? -1 : 1));
            if (!common::fin_file::valueFits(v)) v = 1;
            record.F[set] = i < static_cast<int>(values.size()) ? values[static_cast<size_t>(i)] : v;
            record.sigF[set] = std::fabs(v);
        }
        const std::string text = quick(record);
        ASSERT_EQ(text, plain(record)) << record.F[0];

        // planeview's reader and the common one read the same numbers.
        common::fin_file::Record common, fast;
        common::fin_file::readRecordGeneral(text, source, common);
        planeview::readFinRecord(text, source, fast);
        ASSERT_EQ(std::memcmp(&common, &fast, sizeof common), 0) << text;
        // Read and written again, the same bytes.
        ASSERT_EQ(plain(common), text);
    }
}

}  // namespace
