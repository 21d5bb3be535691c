#include "common/fin_layout.hpp"

#include <cmath>

namespace common {

bool finValueFits(float value) {
    // The widest texts are 999999999.99 and -99999999.99. Floats this large
    // are whole numbers (multiples of 64 and of 8), so no value rounds
    // across the bounds and no tie stands on them; NaN fails both tests.
    const double v = value;
    return v < 999999999.995 && v > -99999999.995;
}

void readPlainFinRecord(std::string_view line, const LineSource& source, FinRecord& record) {
    RecordCursor cursor(line, source);
    record.h = cursor.readInteger(kFinIndexWidth);
    record.k = cursor.readInteger(kFinIndexWidth);
    record.l = cursor.readInteger(kFinIndexWidth);
    for (int set = 0; set < kFinDataSets; ++set) {
        record.F[set] = cursor.readFixed(kFinValueWidth, kFinDecimals);
        record.sigF[set] = cursor.readFixed(kFinValueWidth, kFinDecimals);
    }
}

void appendFinRecord(RecordBuffer& out, const FinRecord& record) {
    out.integer(record.h, kFinIndexWidth).integer(record.k, kFinIndexWidth).integer(record.l, kFinIndexWidth);
    for (int set = 0; set < kFinDataSets; ++set) {
        out.fixed(record.F[set], kFinValueWidth, kFinDecimals).fixed(record.sigF[set], kFinValueWidth, kFinDecimals);
    }
}

}  // namespace common
