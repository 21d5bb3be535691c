#include "planeview/panels.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/exact_decimal.hpp"
#include "common/records.hpp"

namespace planeview {

namespace {

// Panel centres in points: one column a data set, one row a zone.
constexpr float kColumnCentre[kDataSets] = {150.0f, 300.0f, 450.0f, 600.0f};
constexpr float kRowCentreH0 = 350.0f;
constexpr float kRowCentreK0 = 200.0f;
constexpr float kRowCentreL0 = 50.0f;

constexpr float kRedThreshold = 2.5f;  // F/sigF at or below this is red
constexpr float kGrayOffset = 1.5f;

// Each panel keeps to the disc of radius 75 points around its centre, half
// the distance between neighbouring centres: data that reach past the best
// limit (70 points out) would otherwise run over the stage labels, the
// arrows and the next panels. A dot of radius 1 is drawn only when its
// centre lies within 74 points, so that all of it stays in the disc.
constexpr float kPanelReachSquared = 74.0f * 74.0f;

constexpr std::string_view kDotTail = " 1 0 360 arc fill";
constexpr std::string_view kGrayTail = " setgray";
constexpr int kCoordinateWidth = 8;  // F8.2
constexpr int kGrayWidth = 8;        // F8.3

// Appends a coordinate in F8.2; false when it is not finite, does not fit
// (the writer then fills the field with asterisks), or fills all eight
// columns when a blank must lead.
bool appendCoordinate(std::string& record, float value, bool blankFirst) {
    if (!std::isfinite(value)) return false;
    const size_t start = record.size();
    common::appendFixed(record, value, kCoordinateWidth, 2);
    if (record[start] == '*') return false;
    return !blankFirst || record[start] == ' ';
}

// The records of one data set's colour and dot pair, handed to the page
// in one write: a plane-heavy fin file gives millions of them.
class RecordBatch {
public:
    static constexpr size_t kLongestRecord = 64;
    char* slot() { return text_ + used_; }  // room for kLongestRecord characters
    void commit(size_t length) {
        used_ += length;
        text_[used_++] = '\n';
    }
    void add(std::string_view record) {
        record.copy(slot(), std::min(record.size(), kLongestRecord));
        commit(std::min(record.size(), kLongestRecord));
    }
    void writeTo(common::OutputFile& page) {
        if (used_ > 0) page.writeRecord(std::string_view(text_, used_ - 1));  // the last line feed is the page's
        used_ = 0;
    }

private:
    char text_[3 * (kLongestRecord + 1)];
    size_t used_ = 0;
};

// x may fill its eight columns. y must leave its first column blank: eight
// characters of y would run straight into x, and PostScript would read the
// two as one unknown name and stop the page with an error. Both fields are
// written straight from their hundredths; only a dot that may be left out
// takes the general writer, which decides.
void addDot(float x, float y, RecordBatch& batch) {
    char* direct = batch.slot();
    constexpr size_t kLength = 2 * kCoordinateWidth + kDotTail.size();
    static_assert(kLength <= RecordBatch::kLongestRecord);
    if (common::writeFixedDirect<kCoordinateWidth, 2>(direct, x) &&
        common::writeFixedDirect<kCoordinateWidth, 2>(direct + kCoordinateWidth, y) &&
        direct[kCoordinateWidth] == ' ') {
        kDotTail.copy(direct + 2 * kCoordinateWidth, kDotTail.size());
        batch.commit(kLength);
        return;
    }
    static std::string record;
    record.clear();
    if (!appendCoordinate(record, x, false) || !appendCoordinate(record, y, true)) return;
    record += kDotTail;
    batch.add(record);
}

void addColour(float F, float sigF, float meanF, RecordBatch& batch) {
    const float ratio = F / sigF;
    if (ratio > kRedThreshold) {
        const float gray = kGrayOffset - F / meanF;
        if (std::isnan(gray)) return;
        char* direct = batch.slot();
        if (common::writeFixedDirect<kGrayWidth, 3>(direct, gray)) {
            kGrayTail.copy(direct + kGrayWidth, kGrayTail.size());
            batch.commit(kGrayWidth + kGrayTail.size());
            return;
        }
        static std::string record;
        record.clear();
        if (std::isfinite(gray)) common::appendFixed(record, gray, kGrayWidth, 3);
        if (record.empty() || record[0] == '*') {
            // Too dark or too light for the field: either end looks the same.
            record = gray < 0 ? "-999.999" : " 999.999";
        }
        record += kGrayTail;
        batch.add(record);
    } else if (ratio <= kRedThreshold) {
        batch.add("1 0 0 setrgbcolor");
    }
}

void addDotPair(float xc, float yc, Offset offset, RecordBatch& batch) {
    addDot(xc + offset.u, yc + offset.v, batch);
    addDot(xc - offset.u, yc - offset.v, batch);
}

void drawZone(float yc, Offset offset, const common::fin_file::Record& record, const float (&meanF)[kDataSets],
              common::OutputFile& page) {
    if (!insidePanel(offset)) return;  // neither the colour nor the dots
    for (int set = 0; set < kDataSets; ++set) {
        if (record.F[set] == 0.0f) continue;  // absent from this data set
        RecordBatch batch;
        addColour(record.F[set], record.sigF[set], meanF[set], batch);
        addDotPair(kColumnCentre[set], yc, offset, batch);
        batch.writeTo(page);
    }
}

}  // namespace

bool insidePanel(Offset offset) {
    const float uu = offset.u * offset.u;
    const float vv = offset.v * offset.v;
    return uu + vv <= kPanelReachSquared;  // false for a position that is not a number
}

Offset zonePosition(Zone zone, int32_t h, int32_t k, int32_t l, const common::ReciprocalCell& cell, float plotScale) {
    const float s = plotScale;
    const float fh = static_cast<float>(h);
    const float fk = static_cast<float>(k);
    const float fl = static_cast<float>(l);
    // In each zone the first axis runs along x; the second leans from it by
    // the reciprocal angle between the two, so its scaled length splits into
    // a part along x (cosine) and a part along y (sine).
    float first = 0, second = 0, cosine = 0, sine = 0;
    switch (zone) {
        case Zone::h0:  // b* across, c* leaning by alpha*
            first = (fk * cell.bstar) * s;
            second = (fl * cell.cstar) * s;
            cosine = cell.cosalphastar;
            sine = cell.sinalphastar;
            break;
        case Zone::k0:  // a* across, c* leaning by beta*
            first = (fh * cell.astar) * s;
            second = (fl * cell.cstar) * s;
            cosine = cell.cosbetastar;
            sine = cell.sinbetastar;
            break;
        case Zone::l0:  // a* across, b* leaning by gamma*
            first = (fh * cell.astar) * s;
            second = (fk * cell.bstar) * s;
            cosine = cell.cosgammastar;
            sine = cell.singammastar;
            break;
    }
    Offset offset;
    const float secondAlongX = second * cosine;
    offset.u = secondAlongX + first;
    offset.v = second * sine;
    return offset;
}

void writeColour(float F, float sigF, float meanF, common::OutputFile& page) {
    RecordBatch batch;
    addColour(F, sigF, meanF, batch);
    batch.writeTo(page);
}

void writeDotPair(float xc, float yc, Offset offset, common::OutputFile& page) {
    RecordBatch batch;
    addDotPair(xc, yc, offset, batch);
    batch.writeTo(page);
}

void drawPanels(common::InputFile& fin, const common::ReciprocalCell& cell, float plotScale,
                const float (&meanF)[kDataSets], common::OutputFile& page) {
    // The first pass has just read every field of every record of this
    // file. Here a record whose three index fields each hold a digit 1-9
    // lies in no zone and is passed over; the others are read again, the
    // indices first and the amplitudes and sigmas if an index is 0.
    common::fin_file::Record record;
    std::string_view line;
    while (fin.next(line)) {
        if (hasNoZeroIndex(line)) continue;
        readFinIndices(line, fin, record);
        if (record.h != 0 && record.k != 0 && record.l != 0) continue;
        readFinAmplitudesForDots(line, fin, record);
        if (record.h == 0) {
            drawZone(kRowCentreH0, zonePosition(Zone::h0, record.h, record.k, record.l, cell, plotScale), record,
                     meanF, page);
        }
        if (record.k == 0) {
            drawZone(kRowCentreK0, zonePosition(Zone::k0, record.h, record.k, record.l, cell, plotScale), record,
                     meanF, page);
        }
        if (record.l == 0) {
            drawZone(kRowCentreL0, zonePosition(Zone::l0, record.h, record.k, record.l, cell, plotScale), record,
                     meanF, page);
        }
    }
}

}  // namespace planeview
