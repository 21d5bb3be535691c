#include "common/layout/xds_record.hpp"

#include <string>

#include "common/input_file.hpp"
#include "common/records.hpp"
#include "common/failure.hpp"

namespace common::xds_record {

namespace {

bool indicesAreIntegers(std::string_view line) {
    int32_t index = 0;
    for (int first = 1; first <= kIndexWidth * kIndexFields; first += kIndexWidth) {
        if (parseInteger(columns(line, first, first + kIndexWidth - 1), index) != ParseStatus::ok) return false;
    }
    return true;
}

}  // namespace

bool readGeneralRecord(std::string_view line, const LineSource& file, OnDamagedRecord onDamaged, Reflection& record) {
    if (isEndOfData(line)) return false;
    if (onDamaged == OnDamagedRecord::endData && !indicesAreIntegers(line)) {
        report("warning: " + file.where() +
               " is not a reflection record; the data end there and the lines after it were not read");
        return false;
    }
    // Under stop, the cursor's report of the first index that is no integer
    // ends the run.
    RecordCursor fields(line, file);
    record.h = fields.readInteger(kIndexWidth);
    record.k = fields.readInteger(kIndexWidth);
    record.l = fields.readInteger(kIndexWidth);
    record.intensity = fields.readFree(kValueWidth);
    record.sigma = fields.readFree(kValueWidth);
    return true;
}

}  // namespace common::xds_record
