// The fixed records of the report page around the dot panels: the header,
// the narrative paragraph with the numbers of the run, and the legend,
// stage labels, arrows, rules and axis notes.
#pragma once

#include "common/files.hpp"
#include "planeview/inputs.hpp"

namespace planeview {

// The four header records; the dots follow at once.
void writePageHeader(common::OutputFile& page);

// Narrative records 1 to 26. The B value is read from the cad input file
// after record 18, so that a short cad input file leaves the page ending
// there. Returns the B value.
float writeNarrative(const TruncationSummary& summary, const Limits& limits, common::InputFile& cadInput,
                     common::OutputFile& page);

// Legend and label records 1 to 42, the last being "showpage".
void writeLegendAndLabels(common::OutputFile& page);

}  // namespace planeview
