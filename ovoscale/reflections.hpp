// The reflection file ovoscale reads, through the suite's reflection layer
// (common/reflections/): an XDS_ASCII file, merged or not, or an unmerged
// MTZ file, merged as ovofit merges them; or an MTZ file of merged data
// with the columns named in the dialogue, read row by row and carried
// through.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gemmi/mtz.hpp>
#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"
#include "common/reflections/merge.hpp"
#include "common/reflections/reflection_file.hpp"

namespace ovoscale {

using common::reflections::MergedReflection;

// I+ and I- of a unique reflection of anomalous data and their sigmas, NaN
// where not measured; of a centric reflection, whose mates are equivalent,
// the mean in both.
struct Mates {
    float plus = NAN, sigmaPlus = NAN, minus = NAN, sigmaMinus = NAN;
};

struct ReflectionData {
    common::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    // One entry a unique reflection (an MTZ file: a row), the value I or F
    // and its sigma in the entry's intensity and sigma; a missing value has
    // a sigma that is not a number.
    std::vector<MergedReflection> rows;
    // Beside each row of anomalous data (an XDS file without Friedel's law,
    // an MTZ file with I(+) and I(-)): its mates; the row holds their mean,
    // which the fit takes. Empty otherwise.
    std::vector<Mates> mates;
    bool anomalous() const { return !mates.empty(); }
    bool amplitudes = false;
    std::string valueLabel, sigmaLabel;  // MTZ only
    std::optional<gemmi::Mtz> mtz;      // a merged MTZ input, kept to carry its columns through
    std::string summary;                // what was read, for the terminal and the log
};

using common::reflections::isMtz;

// An XDS_ASCII file or an unmerged MTZ file, merged.
ReflectionData readMerging(const std::string& path, const std::string& labels);

// `labels`: "I SIGI" or "F SIGF" as typed; blank takes IMEAN SIGIMEAN when
// the file has IMEAN, with I(+) and I(-) beside it when it has them, or
// I(+) and I(-) alone (their mean the value), else FP SIGFP. A label that is not in the file, a
// column of the wrong type or headers that disagree with the file's size
// end the run.
ReflectionData readMergedMtz(const std::string& path, const std::string& labels);

}  // namespace ovoscale
