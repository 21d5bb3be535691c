#include "common/layout/input_script.hpp"

#include <algorithm>
#include <numeric>

#include "common/records.hpp"

namespace common::input_script {

namespace {

constexpr int kCellWidth = 8, kCellDecimals = 2;    // 6F8.2
constexpr int kRealWidth = 12, kRealDecimals = 4;   // 9F12.4 and 3F12.4

}  // namespace

std::string readName(std::string_view record, const InputFile& script) {
    std::string field(record);
    // A record cut by the reader is longer than any name, whatever blanks
    // end the part that was seen.
    const std::string fault = faultOfFileName(script.lineCut() ? field : fileNameFrom(field));
    if (!fault.empty()) script.failAt(0, 0, fault);
    if (field.size() < kNameColumns) field.resize(kNameColumns, ' ');
    return field;
}

UnitCell readCell(std::string_view record, const LineSource& script) {
    RecordCursor fields(record, script);
    UnitCell cell;
    cell.a = fields.readFixed(kCellWidth, kCellDecimals);
    cell.b = fields.readFixed(kCellWidth, kCellDecimals);
    cell.c = fields.readFixed(kCellWidth, kCellDecimals);
    cell.alpha = fields.readFixed(kCellWidth, kCellDecimals);
    cell.beta = fields.readFixed(kCellWidth, kCellDecimals);
    cell.gamma = fields.readFixed(kCellWidth, kCellDecimals);
    return cell;
}

void readAxes(std::string_view record, const LineSource& script, float axes[3][3]) {
    RecordCursor fields(record, script);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) axes[row][column] = fields.readFixed(kRealWidth, kRealDecimals);
    }
}

void readLimits(std::string_view record, const LineSource& script, float limits[3]) {
    RecordCursor fields(record, script);
    for (int i = 0; i < 3; ++i) limits[i] = fields.readFixed(kRealWidth, kRealDecimals);
}

ResolutionLimits limitsByRow(const float limits[3]) {
    const float l1 = limits[0], l2 = limits[1], l3 = limits[2];
    ResolutionLimits sorted;
    auto placeOthers = [&sorted](float x, float y) {
        if (x >= y) {
            sorted.mediumResLimit = x;
            sorted.highResLimit = y;
        } else {
            sorted.mediumResLimit = y;
            sorted.highResLimit = x;
        }
    };
    if (l1 >= l2 && l1 >= l3) {
        sorted.lowResLimit = l1;
        placeOthers(l2, l3);
    } else if (l2 >= l1 && l2 >= l3) {
        sorted.lowResLimit = l2;
        placeOthers(l1, l3);
    } else {
        sorted.lowResLimit = l3;
        placeOthers(l1, l2);
    }
    return sorted;
}

std::array<int, 3> rowsByLimit(const double limits[3]) {
    std::array<int, 3> axes;
    std::iota(axes.begin(), axes.end(), 0);
    std::stable_sort(axes.begin(), axes.end(), [limits](int x, int y) { return limits[x] > limits[y]; });
    return axes;
}

bool nameFits(std::string_view name) {
    return !name.empty() && faultOfFileName(name).empty() && name.back() != ' ' &&
           name.find_first_of("\n\r") == std::string_view::npos;
}

std::array<std::string, 5> records(const InputScript& contents) {
    std::array<std::string, 5> text;
    text[0] = fileNameFrom(contents.inputReflectionFile);
    text[1] = fileNameFrom(contents.outputReflectionFile);

    RecordBuffer record;
    const UnitCell& cell = contents.cell;
    for (const float value : {cell.a, cell.b, cell.c, cell.alpha, cell.beta, cell.gamma}) {
        record.fixed(value, kCellWidth, kCellDecimals);
    }
    text[2] = record.view();

    record.clear();
    for (const auto& row : contents.ellipsoidAxes) {
        for (const float element : row) record.fixed(element, kRealWidth, kRealDecimals);
    }
    text[3] = record.view();

    record.clear();
    for (const float limit : contents.limits) record.fixed(limit, kRealWidth, kRealDecimals);
    text[4] = record.view();
    return text;
}

int unwritableRecord(const std::array<std::string, 5>& records) {
    for (int i = 2; i < 5; ++i) {
        if (records[static_cast<size_t>(i)].find('*') != std::string::npos) return i + 1;
    }
    return 0;
}

void write(OutputFile& script, const std::array<std::string, 5>& records) {
    for (const std::string& record : records) script.writeRecord(record);
}

}  // namespace common::input_script
