#include "ovoclip/input_script.hpp"

#include "common/input_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace ovoclip {

InputScript readInputScriptFrom(const std::string& name) {
    common::InputFile script(name);
    InputScript result;
    namespace layout = common::input_script;
    result.inputReflectionFile =
        layout::readName(script.nextOrFail("record 1, the name of the XDS reflection file"), script);
    result.outputReflectionFile =
        layout::readName(script.nextOrFail("record 2, the name of the truncated file"), script);

    result.cell = layout::readCell(script.nextOrFail("record 3, the cell"), script);
    layout::readAxes(script.nextOrFail("record 4, the ellipsoid axes"), script, result.ellipsoidAxes);
    // Same nine-field layout as record 4; only the first three are taken.
    layout::readLimits(script.nextOrFail("record 5, the three resolution limits"), script, result.limits);
    return result;
}

InputScript readInputScript() {
    const std::string name = common::askFileName("Please type in name of input script", "name of the input script");
    return readInputScriptFrom(name);
}

ResolutionLimits sortLimits(const float limits[3]) {
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

std::string resLimitFileName(std::string_view inputReflectionFile) {
    std::string name(inputReflectionFile.substr(0, std::min<size_t>(inputReflectionFile.size(), 10)));
    name.resize(10, ' ');
    return name + "_reslimit.dat";
}

std::string resLimitRecord(const ResolutionLimits& limits) {
    std::string record = "INCLUDE_RESOLUTION_RANGE=500 ";
    common::appendFixed(record, limits.highResLimit, 8, 3);
    return record;
}

}  // namespace ovoclip
