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
    layout::readLimits(script.nextOrFail("record 5, the three resolution limits"), script, result.limits);
    return result;
}

InputScript readInputScript() {
    const std::string name = common::askFileName("Please type in name of input script", "name of the input script");
    return readInputScriptFrom(name);
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
