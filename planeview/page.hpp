// The fixed records of the report page around the dot panels: the header,
// the narrative paragraph with the numbers of the run, and the legend,
// stage labels, arrows, rules and axis notes.
#pragma once

#include "common/output_file.hpp"
#include "planeview/inputs.hpp"

namespace planeview {

// The four header records; the dots follow at once.
void writePageHeader(common::OutputFile& page);

// The narrative up to the sentence that gives the B value, preceded by the
// Latin-1 Helvetica and the exponent procedure it uses.
void writeNarrativeBeforeB(const TruncationSummary& summary, const Limits& limits, common::OutputFile& page);

// The narrative from the sentence that gives the B value.
void writeNarrativeFromB(float negB, common::OutputFile& page);

// Legend and label records 1 to 42, the last being "showpage".
void writeLegendAndLabels(common::OutputFile& page);

}  // namespace planeview
