#include "common/layout/limits_table.hpp"

#include "common/input_file.hpp"
#include "common/records.hpp"

namespace common::limits_table {

namespace {

constexpr int kMarkWidth = 7;
constexpr std::string_view kBeyond = " beyond", kLowest = " lowest";
constexpr int kCombinationColumn = 83;

std::string_view markText(Mark mark) { return mark == Mark::beyond ? kBeyond : mark == Mark::lowest ? kLowest : ""; }

void limitFields(RecordBuffer& record, const std::optional<Limit>& limit) {
    if (limit) {
        record.fixed(static_cast<float>(limit->angstrom), 10, 3).textRight(markText(limit->mark), kMarkWidth);
    } else {
        record.textRight("-", 10).blanks(kMarkWidth);
    }
}

// Columns first..last of the line, blanks where it is shorter.
std::string_view slice(std::string_view line, int first, int last) {
    if (static_cast<size_t>(first) > line.size()) return {};
    return line.substr(static_cast<size_t>(first - 1), static_cast<size_t>(last - first + 1));
}

double number(const InputFile& file, std::string_view line, int first, int last) {
    float value = 0;
    if (parseFreeNumber(slice(line, first, last), value) != ParseStatus::ok) {
        file.failAt(first, last, "\"" + std::string(slice(line, first, last)) + "\" is not a number in the table of limits");
    }
    return value;
}

Mark markAt(const InputFile& file, std::string_view line, int first) {
    const std::string_view text = slice(line, first, first + kMarkWidth - 1);
    if (text.find_first_not_of(' ') == std::string_view::npos) return Mark::none;
    if (text == kBeyond) return Mark::beyond;
    if (text == kLowest) return Mark::lowest;
    file.failAt(first, first + kMarkWidth - 1, "\"" + std::string(text) + "\" is no mark of a limit");
}

}  // namespace

std::vector<std::string> lines(const Table& table) {
    std::vector<std::string> out;
    RecordBuffer record;
    record.text(kHeading)
        .textRight(table.criterion == Criterion::cc ? "CC1/2" : "I/sigma", 7)
        .text(", I/sigma threshold")
        .fixed(static_cast<float>(table.iOverSigmaThreshold), 8, 3)
        .text(", CC1/2 threshold")
        .fixed(static_cast<float>(table.ccThreshold), 6, 2);
    out.emplace_back(record.view());
    out.emplace_back(kColumns);
    for (size_t i = 0; i < 3; ++i) {
        const Axis& axis = table.axes[i];
        record.clear();
        record.integer(static_cast<int64_t>(i + 1), 4);
        for (const double component : axis.direction) record.fixed(static_cast<float>(component), 8, 4);
        limitFields(record, axis.shellEdge);
        limitFields(record, axis.iOverSigma);
        limitFields(record, axis.cc);
        record.blanks(3).text(axis.combination);
        out.emplace_back(record.view());
    }
    out.emplace_back(kEnd);
    return out;
}

// The line without the terminal's leading blank.
std::string_view unprefixed(std::string_view line) { return line.substr(0, 1) == " " ? line.substr(1) : line; }

std::optional<Table> find(const std::string& path) {
    InputFile file(path);
    std::string_view line;
    for (;;) {
        if (!file.next(line)) return std::nullopt;
        line = unprefixed(line);
        if (line.substr(0, kHeading.size()) == kHeading) break;
    }
    Table table;
    const std::string_view criterion = slice(line, 40, 46);
    if (criterion == "  CC1/2") {
        table.criterion = Criterion::cc;
    } else if (criterion != "I/sigma") {
        file.failAt(40, 46, "\"" + std::string(criterion) + "\" is no criterion of the table of limits");
    }
    table.iOverSigmaThreshold = number(file, line, 66, 73);
    table.ccThreshold = number(file, line, 91, 96);
    line = unprefixed(file.nextOrFail("the column names of the table of limits"));
    if (line != kColumns) file.failAt(1, static_cast<int>(line.size()), "not the column names of the table of limits");
    for (int i = 0; i < 3; ++i) {
        line = unprefixed(file.nextOrFail("a row of the table of limits"));
        Axis& axis = table.axes[static_cast<size_t>(i)];
        if (number(file, line, 1, 4) != i + 1) file.failAt(1, 4, "not the row of axis " + std::to_string(i + 1));
        for (int j = 0; j < 3; ++j) axis.direction[static_cast<size_t>(j)] = number(file, line, 5 + 8 * j, 12 + 8 * j);
        axis.shellEdge = {number(file, line, 29, 38), markAt(file, line, 39)};
        axis.iOverSigma = {number(file, line, 46, 55), markAt(file, line, 56)};
        if (slice(line, 63, 72) != "         -") axis.cc = Limit{number(file, line, 63, 72), markAt(file, line, 73)};
        if (line.size() > kCombinationColumn - 1) axis.combination = line.substr(kCombinationColumn - 1);
    }
    line = unprefixed(file.nextOrFail("the end of the table of limits"));
    if (line != kEnd) file.failAt(1, static_cast<int>(line.size()), "not the end of the table of limits");
    return table;
}

}  // namespace common::limits_table
