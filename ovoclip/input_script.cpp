#include "ovoclip/input_script.hpp"

#include "common/failure.hpp"
#include "common/input_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace ovoclip {

namespace {

// Fields of records 3 and 5 whose values no crystal has: the usual cause is
// a number typed without its decimal point, which the fixed-column rule
// reads with implied decimals. The run goes on (scripts rely on the rule);
// standard error says what was read.
struct Implausible {
    int record;
    int width, decimals;
    float below;
    const char* what;
};

constexpr Implausible kLimitField = {5, 12, 4, 0.5f, "resolution limit"};
constexpr Implausible kEdgeField = {3, 8, 2, 2.0f, "cell edge"};

void warnIfImplausible(const Implausible& field, std::string_view record, int index, float value,
                       const std::string& scriptName) {
    if (!(value < field.below)) return;
    const int first = index * field.width + 1;
    const int last = first + field.width - 1;
    std::string_view typed = common::columns(record, first, last);
    const size_t begin = typed.find_first_not_of(' ');
    typed = begin == std::string_view::npos ? std::string_view() : typed.substr(begin);
    typed = typed.substr(0, typed.find_last_not_of(' ') + 1);
    const std::string decimals = std::to_string(field.decimals);
    const bool digitsOnly = !typed.empty() && typed.find_first_not_of("0123456789") == std::string_view::npos;
    const std::string example = digitsOnly ? "\"" + std::string(typed) + ".0\" for " + std::string(typed) + " A"
                                           : "\"3.0\" for 3 A";
    common::report("warning: record " + std::to_string(field.record) + " of " + scriptName + ", columns " +
                   std::to_string(first) + "-" + std::to_string(last) + ": the " + field.what + " \"" +
                   std::string(typed) + "\" reads as " + common::fixedText(value, field.decimals) +
                   " A, below " + common::generalText(field.below) +
                   " A; a number written without a decimal point has " + decimals +
                   " implied decimals in this field (F" + std::to_string(field.width) + "." + decimals +
                   ") and a blank field reads as 0, so write the point (" + example + ")");
}

}  // namespace

InputScript readInputScriptFrom(const std::string& name) {
    common::InputFile script(name);
    InputScript result;
    namespace layout = common::input_script;
    result.inputReflectionFile =
        layout::readName(script.nextOrFail("record 1, the name of the XDS reflection file"), script);
    result.outputReflectionFile =
        layout::readName(script.nextOrFail("record 2, the name of the truncated file"), script);

    const std::string cellRecord(script.nextOrFail("record 3, the cell"));
    result.cell = layout::readCell(cellRecord, script);
    layout::readAxes(script.nextOrFail("record 4, the ellipsoid axes"), script, result.ellipsoidAxes);
    const std::string_view limitRecord = script.nextOrFail("record 5, the three resolution limits");
    layout::readLimits(limitRecord, script, result.limits);

    const float edges[3] = {result.cell.a, result.cell.b, result.cell.c};
    for (int i = 0; i < 3; ++i) warnIfImplausible(kEdgeField, cellRecord, i, edges[i], script.name());
    for (int i = 0; i < 3; ++i) warnIfImplausible(kLimitField, limitRecord, i, result.limits[i], script.name());
    return result;
}

InputScript readInputScript() {
    const std::string name = common::askFileName("Please type in name of input script", "name of the input script");
    return readInputScriptFrom(name);
}

std::string resLimitFileName(std::string_view inputReflectionFile) {
    // The file's own name, without its folders: the reslimit file goes to
    // the current folder, with the run's other outputs named without one.
    const size_t slash = inputReflectionFile.rfind('/');
    const std::string_view own =
        slash == std::string_view::npos ? inputReflectionFile : inputReflectionFile.substr(slash + 1);
    std::string name(own.substr(0, std::min<size_t>(own.size(), 10)));
    name.resize(10, ' ');
    return name + "_reslimit.dat";
}

std::string resLimitRecord(const ResolutionLimits& limits) {
    std::string record = "INCLUDE_RESOLUTION_RANGE=500 ";
    common::appendFixed(record, limits.highResLimit, 8, 3);
    return record;
}

}  // namespace ovoclip
