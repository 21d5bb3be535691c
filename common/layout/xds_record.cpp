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

int32_t itemPlace(std::string_view line, std::string_view keyword) {
    if (line.empty() || line[0] != '!') return 0;
    size_t at = line.find(keyword, 1);
    while (at != std::string_view::npos && !(line[at - 1] == '!' || line[at - 1] == ' ')) {
        at = line.find(keyword, at + 1);
    }
    if (at == std::string_view::npos) return 0;
    std::string_view rest = line.substr(at + keyword.size());
    const size_t first = rest.find_first_not_of(' ');
    if (first == std::string_view::npos) return 0;
    rest.remove_prefix(first);
    rest = rest.substr(0, rest.find(' '));
    int32_t place = 0;
    return parseInteger(rest, place) == ParseStatus::ok ? place : 0;
}

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
