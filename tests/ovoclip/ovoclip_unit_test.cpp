#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/cell.hpp"
#include "common/records.hpp"
#include "ovoclip/input_script.hpp"
#include "common/layout/xds_record.hpp"
#include "ovoclip/summary.hpp"
#include "ovoclip/truncation.hpp"
#include "testsupport.hpp"

using namespace ovoclip;
using namespace common;
using namespace common::xds_record;

namespace {

const float kIdentity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

EllipsoidFrame frameFor(const common::UnitCell& cell, float l1, float l2, float l3,
                        const float axes[3][3] = kIdentity) {
    const float limits[3] = {l1, l2, l3};
    return prepareEllipsoid(cell, common::computeReciprocalCell(cell), axes, limitsByRow(limits));
}

}  // namespace

TEST(OvoclipSetUp, LimitsAreSortedWhateverTheirOrder) {
    const float orders[6][3] = {{2.5f, 1.9f, 2.2f}, {2.5f, 2.2f, 1.9f}, {1.9f, 2.5f, 2.2f},
                                {2.2f, 2.5f, 1.9f}, {1.9f, 2.2f, 2.5f}, {2.2f, 1.9f, 2.5f}};
    for (const auto& order : orders) {
        const ResolutionLimits sorted = limitsByRow(order);
        EXPECT_EQ(sorted.lowResLimit, 2.5f);
        EXPECT_EQ(sorted.mediumResLimit, 2.2f);
        EXPECT_EQ(sorted.highResLimit, 1.9f);
    }
    const float equal[3] = {2, 2, 2};
    EXPECT_EQ(limitsByRow(equal).highResLimit, 2.0f);
    EXPECT_EQ(resLimitRecord(limitsByRow(orders[0])), "INCLUDE_RESOLUTION_RANGE=500    1.900");
    const float blank[3] = {2.5f, 0.0f, 2.0f};
    EXPECT_EQ(resLimitRecord(limitsByRow(blank)), "INCLUDE_RESOLUTION_RANGE=500    0.000");
}

TEST(OvoclipSetUp, ResLimitNameIsTheFirstTenCharactersOfTheFilesOwnName) {
    EXPECT_EQ(resLimitFileName("XDS_ASCII.HKL"), "XDS_ASCII._reslimit.dat");
    EXPECT_EQ(resLimitFileName("abc.hkl"), "abc.hkl   _reslimit.dat");
    EXPECT_EQ(resLimitFileName("/data/run1/XDS_ASCII.HKL"), "XDS_ASCII._reslimit.dat");
    EXPECT_EQ(resLimitFileName("/data/myprotein/x.hkl   "), "x.hkl     _reslimit.dat");
    EXPECT_EQ(resLimitFileName("data/"), "          _reslimit.dat");
}

TEST(OvoclipEllipsoid, WorkedExampleOfTheOrthogonalCell) {
    const EllipsoidFrame f = frameFor({50, 60, 70, 90, 90, 90}, 2.5f, 2.0f, 1.8f);
    EXPECT_NEAR(ellipsoidMeasure(19, 0, 0, f), 0.9025, 1e-6);
    EXPECT_NEAR(ellipsoidMeasure(21, 0, 0, f), 1.1025, 1e-6);
    EXPECT_TRUE(isInsideEllipsoid(19, 0, 0, f));
    EXPECT_FALSE(isInsideEllipsoid(21, 0, 0, f));
    EXPECT_EQ(ellipsoidMeasure(0, 30, 0, f), 1.0f);  // on the surface: kept
    EXPECT_TRUE(isInsideEllipsoid(0, 30, 0, f));
    EXPECT_FALSE(isInsideEllipsoid(0, 31, 0, f));
    EXPECT_TRUE(isInsideEllipsoid(0, 0, 38, f));
    EXPECT_FALSE(isInsideEllipsoid(0, 0, 39, f));
    EXPECT_EQ(ellipsoidMeasure(0, 0, 0, f), 0.0f);
}

// Random cells, axes, limits and indices: the axes side by side give the
// same bits as one after the other.
TEST(OvoclipEllipsoid, Sse2MeasureEqualsTheScalarOne) {
#if SUITE_SSE2
    testsupport::Random random(27);
    auto uniform = [&random](float low, float high) {
        return low + (high - low) * static_cast<float>(random(1u << 20)) / float(1u << 20);
    };
    for (int frame = 0; frame < 300; ++frame) {
        const common::UnitCell cell{uniform(10, 300), uniform(10, 300), uniform(10, 300),
                                    uniform(70, 110),  uniform(70, 110),  uniform(70, 110)};
        float axes[3][3];
        for (auto& row : axes) {
            for (float& value : row) value = uniform(-1, 1);
        }
        const EllipsoidFrame f = frameFor(cell, uniform(1, 4), uniform(1, 4), uniform(1, 4), axes);
        for (int i = 0; i < 300; ++i) {
            const auto index = [&random] { return static_cast<int32_t>(random(401)) - 200; };
            const int32_t h = index(), k = index(), l = index();
            const float plain = ellipsoidMeasureScalar(h, k, l, f);
            const float wide = ellipsoidMeasureSse2(h, k, l, f);
            ASSERT_EQ(std::bit_cast<uint32_t>(plain), std::bit_cast<uint32_t>(wide)) << h << " " << k << " " << l;
        }
    }
#else
    GTEST_SKIP() << "built without SSE2 (SUITE_SIMD=OFF or another machine): only the plain measure exists";
#endif
}

TEST(OvoclipEllipsoid, FriedelMatesAndAxisLengths) {
    const common::UnitCell triclinic{40, 50, 60, 70, 80, 100};
    // With unit limits along the identity axes, E is the squared length.
    const EllipsoidFrame unit = frameFor(triclinic, 1, 1, 1);
    EXPECT_NEAR(std::sqrt(ellipsoidMeasure(1, 0, 0, unit)), 0.026231, 2e-6);
    const auto r = common::computeReciprocalCell(triclinic);
    EXPECT_NEAR(std::sqrt(ellipsoidMeasure(0, 1, 0, unit)), r.bstar, 2e-6);
    EXPECT_NEAR(std::sqrt(ellipsoidMeasure(0, 0, 1, unit)), r.cstar, 2e-6);

    const float tilted[3][3] = {{0.6f, 0.8f, 0}, {-0.8f, 0.6f, 0}, {0, 0, 1}};
    const EllipsoidFrame f = frameFor(triclinic, 3.0f, 2.4f, 2.0f, tilted);
    for (int h = -20; h <= 20; h += 3) {
        for (int k = -20; k <= 20; k += 4) {
            for (int l = -25; l <= 25; l += 5) {
                EXPECT_EQ(ellipsoidMeasure(h, k, l, f), ellipsoidMeasure(-h, -k, -l, f));
            }
        }
    }
}

TEST(OvoclipEllipsoid, ZeroLimitIsUnboundedAndNotANumberIsKept) {
    const EllipsoidFrame open = frameFor({50, 60, 70, 90, 90, 90}, 2.5f, 2.0f, 0.0f);
    EXPECT_TRUE(isInsideEllipsoid(0, 0, 100000, open));  // the zero limit pairs with row 3
    const EllipsoidFrame flat = frameFor({10, 10, 10, 120, 120, 120}, 2, 2, 2);
    EXPECT_TRUE(std::isnan(ellipsoidMeasure(0, 0, 1, flat)));
    EXPECT_TRUE(isInsideEllipsoid(0, 0, 1, flat));
}

TEST(OvoclipSummary, PlaneviewScriptRecords) {
    TruncationTally tally;
    tally.reflectionsIn = 50000;
    tally.reflectionsRejected = 1234;
    tally.meanRejectedFOverSigma = 2.345f;
    PlaneviewScript s = formatPlaneviewScript(tally);
    EXPECT_EQ(s.records[0], "    50000");
    EXPECT_EQ(s.records[1], "     1234");
    EXPECT_EQ(s.records[2], "        2.35");
    EXPECT_EQ(s.records[3], "    48766.00");

    tally = {};
    tally.reflectionsIn = 16777217;  // beyond 2^24: still exact
    s = formatPlaneviewScript(tally);
    EXPECT_EQ(s.records[1], "        0");
    EXPECT_EQ(s.records[2], "        0.00");
    EXPECT_EQ(s.records[3], " 16777217.00");

    tally.reflectionsIn = 1000000000;
    tally.meanRejectedFOverSigma = INFINITY;
    s = formatPlaneviewScript(tally);
    EXPECT_EQ(s.records[0], "*********");
    EXPECT_EQ(s.records[2], "    Infinity");
    EXPECT_EQ(s.records[3], "************");
}

// The quick reader of reflection records against the general readers and
// the I6 writer, which say independently which fields are as XDS writes
// them: an index field that the writer gives back unchanged, a value field
// "  d.dddE+dd" with either sign in the second and ninth columns.
namespace {

bool indexAsWritten(std::string_view field, int32_t& value) {
    if (common::parseInteger(field, value) != common::ParseStatus::ok) return false;
    std::string written;
    common::appendInteger(written, value, 6);
    return written == field;
}

bool valueAsWritten(std::string_view field) {
    const auto digit = [&field](size_t i) { return std::isdigit(static_cast<unsigned char>(field[i])) != 0; };
    return field.size() == 11 && field[0] == ' ' && (field[1] == ' ' || field[1] == '-') && digit(2) &&
           field[3] == '.' && digit(4) && digit(5) && digit(6) && field[7] == 'E' &&
           (field[8] == '+' || field[8] == '-') && digit(9) && digit(10);
}

// Whether readPrintedRecord takes the record, the scalar and SSE2 forms
// held equal, and the indices it gives.
bool takenWhole(const std::string& record, PrintedIndices& indices) {
    const bool whole = readPrintedRecordScalar(record.data(), indices);
#if SUITE_SSE2
    PrintedIndices wide;
    EXPECT_EQ(readPrintedRecordSse2(record.data(), wide), whole) << record;
    if (whole) {
        EXPECT_TRUE(wide.h == indices.h && wide.k == indices.k && wide.l == indices.l) << record;
    }
#endif
    return whole;
}

}  // namespace

TEST(OvoclipPrintedRecords, IndexFieldsAreTakenOnlyAsTheGeneralReaderAndTheWriterSeeThem) {
    testsupport::Random random(88172645463325252ull);
    std::vector<std::string> fields = {"     0", "    -0", "   -00", "   007", "    +5", "     -", "      ",
                                       "5     ", "  12  ", "-12345", "999999", "-99999", " 1 2 3", "\t    1"};
    for (int value = -99999; value <= 999999; value += 1 + static_cast<int>(random(97))) {
        char text[16];
        std::snprintf(text, sizeof text, "%6d", value);
        fields.emplace_back(text);
    }
    for (int i = 0; i < 20000; ++i) {
        std::string field(6, ' ');
        for (char& c : field) c = " 0123456789-+x"[random(14)];
        fields.push_back(field);
    }
    int taken = 0;
    for (const std::string& field : fields) {
        int32_t value = 0;
        const bool asWritten = indexAsWritten(field, value);
        for (int place = 0; place < 3; ++place) {  // as h, k and l
            std::string record = "     7    -8     9  1.151E+04  2.000E+01";
            record.replace(static_cast<size_t>(6 * place), 6, field);
            PrintedIndices indices;
            ASSERT_EQ(takenWhole(record, indices), asWritten) << "\"" << field << "\" at " << place;
            if (!asWritten) continue;
            ++taken;
            const int32_t got[3] = {indices.h, indices.k, indices.l};
            const int32_t want[3] = {place == 0 ? value : 7, place == 1 ? value : -8, place == 2 ? value : 9};
            EXPECT_TRUE(std::equal(got, got + 3, want)) << record;
        }
    }
    EXPECT_GT(taken, 30000);
}

TEST(OvoclipPrintedRecords, ValueFieldsGiveTheSameFloatAsTheFreeFormatReader) {
    testsupport::Random random(1234567ull);
    std::vector<std::string> fields = {"  0.000E+00", " -0.000E+00", "  9.999E+13", "  9.999E-08", "  1.000E+14",
                                       "  1.000E-08", "  1.151e+04", "  1.151D+04", "  1.151E+4 ", " +1.151E+04",
                                       "1.151E+04  ", "  1.151E+04", " 1.1510E+04", "  1,151E+04", "  1.151E 04"};
    for (int i = 0; i < 100000; ++i) {
        // Magnitudes over the whole range of exponents that XDS writes.
        const double mantissa = static_cast<double>(random(10000000)) / 1e6;
        const int exponent = static_cast<int>(random(40)) - 20;
        double value = mantissa * std::pow(10.0, exponent);
        if (random(2) == 0) value = -value;
        char text[32];
        std::snprintf(text, sizeof text, "%11.3E", value);
        fields.emplace_back(text);
    }
    for (int i = 0; i < 20000; ++i) {
        std::string field = fields[16 + random(fields.size() - 16)];
        field[random(11)] = " 0123456789.-+Eex"[random(17)];
        fields.push_back(field);
    }
    int taken = 0;
    for (const std::string& field : fields) {
        if (field.size() != 11) continue;
        const bool asWritten = valueAsWritten(field);
        for (const size_t first : {kIntensityOffset, kSigmaOffset}) {
            std::string record = "     1     2     3  1.000E+00  1.000E+00";
            record.replace(first, 11, field);
            PrintedIndices indices;
            ASSERT_EQ(takenWhole(record, indices), asWritten) << "\"" << field << "\"";
        }
        if (!asWritten) continue;
        float general = 0;
        ASSERT_EQ(common::parseFreeNumber(field, general), common::ParseStatus::ok) << field;
        float quick = 0;
        if (!readPrintedValue(field.data(), quick)) {
            // Every exponent from -7 to 13 must be taken.
            EXPECT_FALSE((field[8] == '+' && field.compare(9, 2, "13") <= 0) ||
                         (field[8] == '-' && field.compare(9, 2, "07") <= 0))
                << "not taken: \"" << field << "\"";
            continue;
        }
        ++taken;
        EXPECT_EQ(std::memcmp(&quick, &general, sizeof general), 0) << field << ": " << quick << " " << general;
    }
    EXPECT_GT(taken, 40000);
}

TEST(OvoclipPrintedRecords, WholeRecordsAreTakenExactlyWhenEveryFieldIs) {
    testsupport::Random random(99991ull);
    int taken = 0;
    for (int i = 0; i < 200000; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%6d%6d%6d%11.3E%11.3E", static_cast<int>(random(200)) - 100,
                      static_cast<int>(random(2000000)) - 99999, static_cast<int>(random(100)) - 50,
                      (static_cast<double>(random(2000000)) - 1e6) * std::pow(10.0, static_cast<int>(random(30)) - 15),
                      static_cast<double>(random(100000)) * std::pow(10.0, static_cast<int>(random(30)) - 15));
        std::string record(text);
        if (record.size() != 40) continue;
        // One byte in three records changed: every column, every kind of byte.
        if (random(3) == 0) record[random(40)] = " 0123456789-+.Ee,x\t"[random(19)];
        PrintedIndices quick;
        const bool whole = takenWhole(record, quick);
        const std::string_view line = record;
        int32_t one[3] = {};
        const bool fieldByField = indexAsWritten(line.substr(0, 6), one[0]) &&
                                  indexAsWritten(line.substr(6, 6), one[1]) &&
                                  indexAsWritten(line.substr(12, 6), one[2]) &&
                                  valueAsWritten(line.substr(kIntensityOffset, 11)) &&
                                  valueAsWritten(line.substr(kSigmaOffset, 11));
        ASSERT_EQ(whole, fieldByField) << record;
        if (!whole) continue;
        ++taken;
        EXPECT_TRUE(quick.h == one[0] && quick.k == one[1] && quick.l == one[2]) << record;
    }
    EXPECT_GT(taken, 50000);
}

// The measure as the cell, axes and limits give it, one operation at a
// time in the written order, against the prepared frame, for cells, axes and
// limits of every kind, infinities and not-a-numbers included.
TEST(OvoclipEllipsoid, PreparedFrameGivesTheBitsOfTheOperationsInOrder) {
    testsupport::Random random(4242ull);
    auto real = [&random]() {
        switch (random(20)) {
            case 0: return 0.0f;
            case 1: return INFINITY;
            case 2: return -1.0f;
            case 3: return NAN;
            default: return static_cast<float>(random(100000)) / 997.0f;
        }
    };
    for (int round = 0; round < 2000; ++round) {
        const common::UnitCell cell{real() * 10, real() * 10, real() * 10, 60.0f + real(), 90.0f + real(),
                                    120.0f - real()};
        float axes[3][3];
        for (auto& row : axes) {
            for (float& x : row) x = real() - 50.0f;
        }
        const float limits[3] = {real(), real(), real()};
        const ResolutionLimits sorted = limitsByRow(limits);
        const common::ReciprocalCell r = common::computeReciprocalCell(cell);
        const EllipsoidFrame frame = prepareEllipsoid(cell, r, axes, sorted);

        const float gr = common::degreesToRadians(cell.gamma);
        const float cg = common::cosf32(gr), sg = common::sinf32(gr);
        const float m11 = 1.0f / cell.a, m21 = -(cg / (sg * cell.a)), m22 = 1.0f / (sg * cell.b);
        const float m31 = r.astar * r.cosbetastar, m32 = r.cosalphastar * r.bstar, m33 = r.cstar;
        const float q1 = 1.0f / (sorted.lowResLimit * sorted.lowResLimit);
        const float q2 = 1.0f / (sorted.mediumResLimit * sorted.mediumResLimit);
        const float q3 = 1.0f / (sorted.highResLimit * sorted.highResLimit);
        for (int i = 0; i < 50; ++i) {
            const int32_t h = static_cast<int32_t>(random(201)) - 100;
            const int32_t k = static_cast<int32_t>(random(201)) - 100;
            const int32_t l = static_cast<int32_t>(random(201)) - 100;
            const float hr = static_cast<float>(h), kr = static_cast<float>(k), lr = static_cast<float>(l);
            const float s1 = hr * m11;
            const float s2 = (hr * m21) + (kr * m22);
            const float s3 = ((hr * m31) + (kr * m32)) + (lr * m33);
            const float t1 = ((axes[0][0] * s1) + (axes[0][1] * s2)) + (axes[0][2] * s3);
            const float t2 = ((axes[1][0] * s1) + (axes[1][1] * s2)) + (axes[1][2] * s3);
            const float t3 = ((axes[2][0] * s1) + (axes[2][1] * s2)) + (axes[2][2] * s3);
            const float expected = (((t1 * t1) / q1) + ((t2 * t2) / q2)) + ((t3 * t3) / q3);
            const float measure = ellipsoidMeasure(h, k, l, frame);
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(measure));
            } else {
                EXPECT_EQ(std::memcmp(&measure, &expected, sizeof measure), 0) << measure << " " << expected;
            }
        }
    }
}
