// Record 2 of the cad input file: the keywords that give CAD's input file 1
// the scale 1.00 and a B factor, then the B in F12.3. honer writes it; CAD
// and planeview read it, planeview the B from columns 25-36 after exactly
// the 24 characters of keyword text. Written and read here only.
#pragma once

#include <string>
#include <string_view>

#include "common/input_file.hpp"
#include "common/records.hpp"

namespace common::cad_script {

inline constexpr std::string_view kScaleKeywords = "SCAL FILE_NUMBER 1 1.00 ";
inline constexpr int kBWidth = 12;
inline constexpr int kBDecimals = 3;
static_assert(kScaleKeywords.size() == 24);

inline std::string scaleRecord(float negB) {
    RecordBuffer record;
    record.text(kScaleKeywords).fixed(negB, kBWidth, kBDecimals);
    return std::string(record.view());
}

inline float readScaleRecord(std::string_view record, const LineSource& source) {
    RecordCursor cursor(record, source);
    cursor.skip(static_cast<int>(kScaleKeywords.size()));
    return cursor.readFixed(kBWidth, kBDecimals);
}

}  // namespace common::cad_script
