#include "ovoclip/truncation.hpp"

#include "common/failure.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "ovoclip/quick_fields.hpp"

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
[[gnu::noinline]] float readValueAt(std::string_view line, const common::InputFile& input, int skip) {
    common::RecordCursor values(line, input);
    values.skip(skip);
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
    for (int j = 0; j < 3; ++j) f.axisColumn[j] = EllipsoidFrame::Lanes{f.axes[0][j], f.axes[1][j], f.axes[2][j], 0.0f};
    f.q = EllipsoidFrame::Lanes{f.q1, f.q2, f.q3, 1.0f};
    return f;
}

float ellipsoidMeasure(int32_t h, int32_t k, int32_t l, const EllipsoidFrame& f) {
    const float hr = static_cast<float>(h);
    const float kr = static_cast<float>(k);
    const float lr = static_cast<float>(l);
    const float s1 = hr * f.m11;
    const float s2 = (hr * f.m21) + (kr * f.m22);
    const float s3 = ((hr * f.m31) + (kr * f.m32)) + (lr * f.m33);
    // Lane i: t_i = ((R_i1 * s1) + (R_i2 * s2)) + (R_i3 * s3), then
    // (t_i * t_i) / q_i; each lane rounds every operation to float as the
    // single operations would, in the same order.
    const EllipsoidFrame::Lanes t = ((f.axisColumn[0] * s1) + (f.axisColumn[1] * s2)) + (f.axisColumn[2] * s3);
    const EllipsoidFrame::Lanes terms = (t * t) / f.q;
    return (terms[0] + terms[1]) + terms[2];
}

bool isInsideEllipsoid(int32_t h, int32_t k, int32_t l, const common::UnitCell& cell,
                       const common::ReciprocalCell& reciprocal, const float ellipsoidAxes[3][3],
                       const ResolutionLimits& limits) {
    return isInsideEllipsoid(h, k, l, prepareEllipsoid(cell, reciprocal, ellipsoidAxes, limits));
}

PassEnd truncateReflectionFile(common::InputFile& input, common::OutputFile& output, const EllipsoidFrame& frame,
                               TruncationTally& tally) {
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
        PlainIndices indices;
        const bool plain = line.size() >= 40 && readPlainRecord(line.data(), indices);
        int32_t h = indices.h, k = indices.k, l = indices.l;
        float f = 0, sigma = 0;
        if (!plain) [[unlikely]] {
            if (!readGeneralRecord(line, input, h, k, l, f, sigma)) break;
        }
        ++reflectionsIn;

        if (!isInsideEllipsoid(h, k, l, frame)) {
            // F and sigma of a plain record are numbers; their values are
            // only needed here.
            if (plain) {
                if (!readXdsValueOfLayout(line.data() + 18, f)) f = readValueAt(line, input, 18);
                if (!readXdsValueOfLayout(line.data() + 29, sigma)) sigma = readValueAt(line, input, 29);
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
        if (plain) {
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
