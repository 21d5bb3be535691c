// Writing fin records quickly: a million records of eight F12.2 fields are
// formatted from whole hundredths (common::writeHundredths, exact for the
// reasons given in common/exact_decimal.hpp) instead of through the general
// writer. Only for fields known to fit (indices within I4, values within
// F12.2); the common writer gives the same bytes and is compared with this
// one in the tests.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/exact_decimal.hpp"
#include "common/layout/fin_file.hpp"

namespace finjoin {

// The fields below are written into a record filled with blanks.

// I4 of an index from -999 to 9999.
inline void formatIndex(char* field, int32_t value) {
    char* p = common::writeDigits(field + common::fin_file::kIndexWidth, static_cast<uint64_t>(value < 0 ? -int64_t{value} : value));
    if (value < 0) p[-1] = '-';
}

// The 108 columns of a record; each value F12.2 for which
// common::fin_file::valueFits holds.
inline void formatFinRecord(char* record, const common::fin_file::Record& r) {
    constexpr int kValueWidth = common::fin_file::kValueWidth;
    static_assert(common::fin_file::kDecimals == 2);
    std::memset(record, ' ', common::fin_file::kRecordLength);
    formatIndex(record, r.h);
    formatIndex(record + common::fin_file::kIndexWidth, r.k);
    formatIndex(record + 2 * common::fin_file::kIndexWidth, r.l);
    for (int set = 0; set < common::fin_file::kDataSets; ++set) {
        common::writeHundredths<kValueWidth>(record + common::fin_file::amplitudeColumn(set) - 1, r.F[set]);
        common::writeHundredths<kValueWidth>(record + common::fin_file::sigmaColumn(set) - 1, r.sigF[set]);
    }
}

}  // namespace finjoin
