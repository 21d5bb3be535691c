// The independent model of French and Wilson's posterior
// (tests/model/french_wilson_model.py) as a pipe of its printed lines.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace french_wilson_model {

using Pipe = std::unique_ptr<FILE, int (*)(FILE*)>;

// The model run with `mode` (--moments, --grid or --varying); null where
// it cannot be started.
inline Pipe lines(const char* mode) {
    const std::string command =
        std::string("/usr/bin/python3 ") + SUITE_SOURCE_DIR + "/tests/model/french_wilson_model.py " + mode;
    return Pipe(popen(command.c_str(), "r"), pclose);
}

}  // namespace french_wilson_model
