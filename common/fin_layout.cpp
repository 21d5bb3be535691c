#include "common/fin_layout.hpp"

#include <cmath>

namespace common {

bool finValueFits(float value) {
    if (!std::isfinite(value)) return false;
    // value * 100 is exact in double precision (24 bits times 7), so the
    // rounding to whole hundredths, half to even, is that of the written
    // text.
    const double hundredths = std::nearbyint(static_cast<double>(value) * 100.0);
    return std::signbit(value) ? hundredths >= -9999999999.0 : hundredths <= 99999999999.0;
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
