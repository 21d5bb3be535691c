// ovofit's names for the suite's merge of observations into unique
// reflections, which is common's (common/reflections/merge.hpp).
#pragma once

#include "common/reflections/merge.hpp"

namespace ovofit {

using common::reflections::HalfMeans;
using common::reflections::kIndexLimit;
using common::reflections::MergedReflection;
using common::reflections::Merger;
using common::reflections::Observation;

}  // namespace ovofit
