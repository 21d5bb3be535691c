#include "ovoclip/truncation.hpp"

#include "common/failure.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "common/layout/xds_record.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace ovoclip {

namespace {

constexpr std::string_view kEndOfHeader = "!END_OF_HEADER";
constexpr std::string_view kEndOfData = "!END_OF_DATA";
constexpr size_t kHeaderLength = 80;
constexpr size_t kReflectionLength = 76;

// A reflection record in any other form, field by field; false when the
// index columns are not three integers, which ends the data.
[[gnu::noinline]] bool readGeneralRecord(std::string_view line, const common::InputFile& input, int32_t& h,
                                         int32_t& k, int32_t& l, float& f, float& sigma) {
    if (common::parseInteger(common::columns(line, 1, 6), h) != common::ParseStatus::ok ||
        common::parseInteger(common::columns(line, 7, 12), k) != common::ParseStatus::ok ||
        common::parseInteger(common::columns(line, 13, 18), l) != common::ParseStatus::ok) {
        if (line.substr(0, kEndOfData.size()) != kEndOfData) {
            common::report("warning: " + input.where() +
                           " is not a reflection record; the data end there and the lines after it were not read");
        }
        return false;
    }
    common::RecordCursor values(line, input);
    values.skip(18);
    f = values.readFree(11);
    sigma = values.readFree(11);
    return true;
}

// A kept record read field by field: the indices written again (I6), the
// rest of the line as it stands, at least 76 columns; without its line feed
// when the line goes on in pieces.
[[gnu::noinline]] void writeGeneralRecord(common::OutputFile& output, std::string_view line, int32_t h, int32_t k,
                                          int32_t l, std::string& record, bool whole) {
    record.clear();
    common::appendInteger(record, h, 6);
    common::appendInteger(record, k, 6);
    common::appendInteger(record, l, 6);
    if (line.size() > 18) record.append(line.substr(18));
    if (record.size() < kReflectionLength) record.resize(kReflectionLength, ' ');
    if (whole) {
        output.writeRecord(record);
    } else {
        output.writeText(record);
    }
}

// The rest of a record longer than the reader holds, copied piece by piece,
// and the record's line feed: header lines and kept records are carried
// whole, in memory bounded by the reader's buffer.
[[gnu::noinline]] void copyRestOfLine(common::InputFile& input, common::OutputFile& output) {
    std::string_view piece;
    while (input.nextPiece(piece)) output.writeText(piece);
    output.writeRecord("");
}

// The free-format value in the eleven columns after `skip`.
[[gnu::noinline]] float readValueAt(std::string_view line, const common::InputFile& input, size_t skip) {
    common::RecordCursor values(line, input);
    values.skip(static_cast<int>(skip));
    return values.readFree(11);
}

}  // namespace

EllipsoidFrame prepareEllipsoid(const common::UnitCell& cell, const common::ReciprocalCell& reciprocal,
                                const float ellipsoidAxes[3][3], const ResolutionLimits& limits) {
    EllipsoidFrame f;
    const float gr = common::degreesToRadians(cell.gamma);
    const float cg = common::cosf32(gr);
    const float sg = common::sinf32(gr);
    f.m11 = 1.0f / cell.a;
    f.m21 = -(cg / (sg * cell.a));
    f.m22 = 1.0f / (sg * cell.b);
    f.m31 = reciprocal.astar * reciprocal.cosbetastar;
    f.m32 = reciprocal.cosalphastar * reciprocal.bstar;
    f.m33 = reciprocal.cstar;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) f.axes[i][j] = ellipsoidAxes[i][j];
    }
    f.q1 = 1.0f / (limits.lowResLimit * limits.lowResLimit);
    f.q2 = 1.0f / (limits.mediumResLimit * limits.mediumResLimit);
    f.q3 = 1.0f / (limits.highResLimit * limits.highResLimit);
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) f.axisColumn[j][i] = f.axes[i][j];
    }
    const float q[4] = {f.q1, f.q2, f.q3, 1.0f};
    std::copy(q, q + 4, f.q);
    return f;
}

namespace {

// The three reciprocal-space coordinates of the reflection, in Angstrom^-1.
struct Coordinates {
    float s1, s2, s3;
};

Coordinates reciprocalCoordinates(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& f) {
    const float hr = static_cast<float>(h);
    const float kr = static_cast<float>(k);
    const float lr = static_cast<float>(l);
    return {hr * f.m11, (hr * f.m21) + (kr * f.m22), ((hr * f.m31) + (kr * f.m32)) + (lr * f.m33)};
}

}  // namespace

// Axis i: t_i = ((R_i1 * s1) + (R_i2 * s2)) + (R_i3 * s3), then
// (t_i * t_i) / q_i; E is the sum of the three terms in order.
float ellipsoidMeasureScalar(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& f) {
    const Coordinates s = reciprocalCoordinates(h, k, l, f);
    const float q[3] = {f.q1, f.q2, f.q3};
    float terms[3];
    for (int i = 0; i < 3; ++i) {
        const float t = ((f.axes[i][0] * s.s1) + (f.axes[i][1] * s.s2)) + (f.axes[i][2] * s.s3);
        terms[i] = (t * t) / q[i];
    }
    return (terms[0] + terms[1]) + terms[2];
}

#if SUITE_SSE2
// Lane i is axis i: each packed operation rounds every lane to float as
// the single operation of the scalar form does, in the same order.
float ellipsoidMeasureSse2(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& f) {
    const Coordinates s = reciprocalCoordinates(h, k, l, f);
    const __m128 t = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_load_ps(f.axisColumn[0]), _mm_set1_ps(s.s1)),
                                           _mm_mul_ps(_mm_load_ps(f.axisColumn[1]), _mm_set1_ps(s.s2))),
                                _mm_mul_ps(_mm_load_ps(f.axisColumn[2]), _mm_set1_ps(s.s3)));
    alignas(16) float terms[4];
    _mm_store_ps(terms, _mm_div_ps(_mm_mul_ps(t, t), _mm_load_ps(f.q)));
    return (terms[0] + terms[1]) + terms[2];
}
#endif

bool isInsideEllipsoid(int32_t h, int32_t k, int32_t l, const common::UnitCell& cell,
                       const common::ReciprocalCell& reciprocal, const float ellipsoidAxes[3][3],
                       const ResolutionLimits& limits) {
    return isInsideEllipsoid(h, k, l, prepareEllipsoid(cell, reciprocal, ellipsoidAxes, limits));
}

PassEnd truncateReflectionFile(common::InputFile& input, common::OutputFile& output, const EllipsoidFrame& frame,
                               TruncationTally& tally) {
    // The program's own line, as it has always said it: kept as it is.
    common::say("reading the fin file now ardo");

    // Header: copied whole, padded to 80 columns, up to the end-of-header
    // line in columns 1-14.
    std::string record;
    std::string_view line;
    for (;;) {
        if (!input.next(line)) return PassEnd::headerNotEnded;
        if (line.substr(0, kEndOfHeader.size()) == kEndOfHeader) break;
        if (input.lineCut()) [[unlikely]] {
            output.writeText(line);
            copyRestOfLine(input, output);
            continue;
        }
        output.writeRecordPadded(line, kHeaderLength);
    }
    output.writeRecord(kEndOfHeader);
    common::say("done writing the header");

    // Reflections: three indices in 3I6, then the rest of the line, which is
    // carried unchanged and uncut (unmerged files have long records). The
    // counts and sums are kept here during the loop, in registers.
    int64_t reflectionsIn = tally.reflectionsIn;
    int64_t reflectionsRejected = tally.reflectionsRejected;
    double sumRejectedF = tally.sumRejectedF;
    double sumRejectedSigma = tally.sumRejectedSigma;
    for (;;) {
        if (!input.next(line)) {
            input.failEndOfFile("more reflections or the \"!END_OF_DATA\" line");
        }
        // Records as XDS writes them are read in place, and their index
        // columns are the text that the I6 writer would give.
        common::PrintedIndices indices;
        const bool printed = line.size() >= common::kPrintedRecordLength && common::readPrintedRecord(line.data(), indices);
        int32_t h = indices.h, k = indices.k, l = indices.l;
        float f = 0, sigma = 0;
        if (!printed) [[unlikely]] {
            if (!readGeneralRecord(line, input, h, k, l, f, sigma)) break;
        }
        ++reflectionsIn;

        if (!isInsideEllipsoid(h, k, l, frame)) {
            // F and sigma of a printed record are numbers; their values are
            // only needed here.
            if (printed) {
                if (!common::readXdsValueOfLayout(line.data() + common::kIntensityOffset, f)) {
                    f = readValueAt(line, input, common::kIntensityOffset);
                }
                if (!common::readXdsValueOfLayout(line.data() + common::kSigmaOffset, sigma)) {
                    sigma = readValueAt(line, input, common::kSigmaOffset);
                }
            }
            ++reflectionsRejected;
            sumRejectedF += f;
            sumRejectedSigma += sigma;
            continue;
        }

        if (input.lineCut()) [[unlikely]] {
            writeGeneralRecord(output, line, h, k, l, record, false);
            copyRestOfLine(input, output);
            continue;
        }
        if (printed) {
            output.writeRecordPadded(line, kReflectionLength);
            continue;
        }
        writeGeneralRecord(output, line, h, k, l, record, true);
    }

    tally.reflectionsIn = reflectionsIn;
    tally.reflectionsRejected = reflectionsRejected;
    tally.sumRejectedF = sumRejectedF;
    tally.sumRejectedSigma = sumRejectedSigma;
    if (tally.reflectionsRejected > 0) {
        tally.meanRejectedFOverSigma = static_cast<float>(tally.sumRejectedF / tally.sumRejectedSigma);
    }
    common::say(common::FreeLine().integer(tally.reflectionsIn).text(" reflections were input"));
    output.writeRecord(kEndOfData);
    return PassEnd::complete;
}

}  // namespace ovoclip
