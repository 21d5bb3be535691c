#include "common/layout/fin_file.hpp"

#include <cmath>

namespace common::fin_file {

bool valueFits(float value) {
    // The widest texts are 999999999.99 and -99999999.99. Floats this large
    // are whole numbers (multiples of 64 and of 8), so no value rounds
    // across the bounds and no tie stands on them; NaN fails both tests.
    const double v = value;
    return v < 999999999.995 && v > -99999999.995;
}

void readRecordGeneral(std::string_view line, const LineSource& source, Record& record) {
    RecordCursor cursor(line, source);
    record.h = cursor.readInteger(kIndexWidth);
    record.k = cursor.readInteger(kIndexWidth);
    record.l = cursor.readInteger(kIndexWidth);
    for (int set = 0; set < kDataSets; ++set) {
        record.F[set] = cursor.readFixed(kValueWidth, kDecimals);
        record.sigF[set] = cursor.readFixed(kValueWidth, kDecimals);
    }
}

void appendRecord(RecordBuffer& out, const Record& record) {
    out.integer(record.h, kIndexWidth).integer(record.k, kIndexWidth).integer(record.l, kIndexWidth);
    for (int set = 0; set < kDataSets; ++set) {
        out.fixed(record.F[set], kValueWidth, kDecimals).fixed(record.sigF[set], kValueWidth, kDecimals);
    }
}

}  // namespace common::fin_file
