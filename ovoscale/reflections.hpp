// The reflection file ovoscale reads: an XDS_ASCII file, merged or not,
// merged as ovofit merges it (its own code), or an MTZ file of merged data
// with the columns named in the dialogue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gemmi/mtz.hpp>
#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"
#include "ovofit/merge.hpp"

namespace ovoscale {

struct ReflectionData {
    common::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    // One entry a unique reflection (an MTZ file: a row), the value I or F
    // and its sigma in the entry's intensity and sigma; a missing value has
    // a sigma that is not a number.
    std::vector<ovofit::MergedReflection> rows;
    bool amplitudes = false;
    std::string valueLabel, sigmaLabel;  // MTZ only
    std::optional<gemmi::Mtz> mtz;      // an MTZ input, kept to carry its columns through
    std::string summary;                // what was read, for the terminal and the log
};

// True when the file starts with the bytes "MTZ ".
bool isMtz(const std::string& path);

ReflectionData readXds(const std::string& path);

// `labels`: "I SIGI" or "F SIGF" as typed; blank takes IMEAN SIGIMEAN when
// the file has IMEAN, else FP SIGFP. A label that is not in the file, a
// column of the wrong type, unmerged data (batches) or headers that
// disagree with the file's size end the run.
ReflectionData readMtz(const std::string& path, const std::string& labels);

}  // namespace ovoscale
