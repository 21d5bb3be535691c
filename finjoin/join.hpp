// The union of the four stages, sorted by h, k and l, and its records.
#pragma once

#include <cstdint>
#include <vector>

#include "common/output_file.hpp"
#include "common/layout/fin_file.hpp"
#include "finjoin/stage.hpp"

namespace finjoin {

// A reflection of the fin file: its packed indices and F, sigF of each
// stage, 0 where the stage lacks it. Forty bytes a reflection.
struct JoinedReflection {
    uint64_t key = 0;
    float values[2 * common::fin_file::kDataSets] = {};
};

// Adds the rows of one stage (0 to 3) to the table, which stays sorted by
// key: a reflection already there takes the stage's values, a new one is
// added with zeros in the other stages.
void joinStage(std::vector<JoinedReflection>& table, const std::vector<StageRow>& rows, int stage);

// One fin record a reflection, in the table's order; returns the number of
// records written.
uint64_t writeFinFile(common::OutputFile& fin, const std::vector<JoinedReflection>& table);

// The record of a reflection as the common writer writes it, every value
// within its field (checked when the stages were read).
common::fin_file::Record finRecordOf(const JoinedReflection& reflection);

}  // namespace finjoin
