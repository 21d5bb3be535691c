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

namespace xds_record = common::xds_record;

constexpr size_t kHeaderLength = 80;
constexpr size_t kReflectionLength = 76;

// A damaged record ends the data with a warning; what was read before it
// is truncated and kept.
constexpr auto kOnDamagedRecord = xds_record::OnDamagedRecord::endData;

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

// A record in any other form, field by field; false at its end.
[[gnu::noinline]] bool readGeneral(std::string_view line, const common::InputFile& input, int32_t& h, int32_t& k,
                                   int32_t& l, float& f, float& sigma) {
    xds_record::Reflection record;
    if (!xds_record::readGeneralRecord(line, input, kOnDamagedRecord, record)) return false;
    h = record.h, k = record.k, l = record.l;
    f = record.intensity, sigma = record.sigma;
    return true;
}

// The free-format value in the eleven columns after `skip`.
[[gnu::noinline]] float readValueAt(std::string_view line, const common::InputFile& input, size_t skip) {
    common::RecordCursor values(line, input);
    values.skip(static_cast<int>(skip));
    return values.readFree(11);
}

}  // namespace

namespace {

// The header copied whole, each line padded to 80 columns, up to the
// end-of-header line (columns 1-14), written as the bare marker; false when
// the file ends before it.
bool copyHeader(common::InputFile& input, common::OutputFile& output) {
    std::string_view line;
    int32_t places[2] = {4, 5};  // IOBS and SIGMA(IOBS) as the header puts them
    for (;;) {
        if (!input.next(line)) return false;
        if (xds_record::isEndOfHeader(line)) break;
        for (int i = 0; i < 2; ++i) {
            if (const int32_t place = xds_record::itemPlace(line, xds_record::kItemKeywords[3 + i])) {
                places[i] = place;
            }
        }
        if (input.lineCut()) [[unlikely]] {
            output.writeText(line);
            copyRestOfLine(input, output);
            continue;
        }
        output.writeRecordPadded(line, kHeaderLength);
    }
    output.writeRecord(xds_record::kEndOfHeader);
    // The sums of the rejected reflections take columns 19-40 all the same.
    if (places[0] != 4 || places[1] != 5) {
        common::report("warning: the header of " + input.name() + " puts IOBS at item " + std::to_string(places[0]) +
                       " and SIGMA(IOBS) at item " + std::to_string(places[1]) +
                       "; the sums of the rejected reflections take the fourth and fifth fields (columns 19-40) "
                       "all the same");
    }
    return true;
}

}  // namespace

PassEnd truncateReflectionFile(common::InputFile& input, common::OutputFile& output, const EllipsoidFrame& frame,
                               TruncationTally& tally) {
    // The program's own line, as it has always said it: kept as it is.
    common::say("reading the fin file now ardo");
    if (!copyHeader(input, output)) return PassEnd::headerNotEnded;
    common::say("done writing the header");

    // Reflections: three indices in 3I6, then the rest of the line, which is
    // carried unchanged and uncut (unmerged files have long records). The
    // counts and sums are kept here during the loop, in registers.
    std::string record;
    std::string_view line;
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
        xds_record::PrintedIndices indices;
        const bool printed =
            line.size() >= xds_record::kPrintedRecordLength && xds_record::readPrintedRecord(line.data(), indices);
        int32_t h = indices.h, k = indices.k, l = indices.l;
        float f = 0, sigma = 0;
        if (!printed) [[unlikely]] {
            if (!readGeneral(line, input, h, k, l, f, sigma)) break;
        }
        ++reflectionsIn;

        if (!isInsideEllipsoid(h, k, l, frame)) {
            // F and sigma of a printed record are numbers; their values are
            // only needed here.
            if (printed) {
                if (!xds_record::readPrintedValue(line.data() + xds_record::kIntensityOffset, f)) {
                    f = readValueAt(line, input, xds_record::kIntensityOffset);
                }
                if (!xds_record::readPrintedValue(line.data() + xds_record::kSigmaOffset, sigma)) {
                    sigma = readValueAt(line, input, xds_record::kSigmaOffset);
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
    output.writeRecord(xds_record::kEndOfData);
    return PassEnd::complete;
}

}  // namespace ovoclip
