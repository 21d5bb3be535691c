// The twelve dot panels: the zones h=0 (top row), k=0 and l=0 (bottom row),
// each drawn for init, trunc, aniso and iso from left to right.
#pragma once

#include "common/cell.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "planeview/fin_fields.hpp"

namespace planeview {

enum class Zone { h0, k0, l0 };

// Offset of a reflection from the centre of each panel of its zone, in
// points.
struct Offset {
    float u = 0, v = 0;
};

Offset zonePosition(Zone zone, int32_t h, int32_t k, int32_t l, const common::ReciprocalCell& cell, float plotScale);

// Whether a reflection at this offset is drawn in its panels: its dot must
// lie wholly within 75 points of the panel's centre (the centre within 74).
// A reflection outside writes neither its colour nor its dots.
bool insidePanel(Offset offset);

// The colour of one dot: a gray level 1.5 - F/meanF when F/sigF is above
// 2.5, red when it is 2.5 or less, nothing when it is not a number (the dot
// keeps the colour in force). A gray level that does not fit F8.3 is written
// as -999.999 or 999.999; one that is not a number writes nothing.
void writeColour(float F, float sigF, float meanF, common::OutputFile& page);

// The dot at (xc + u, yc + v) and its mate through the origin at
// (xc - u, yc - v). A dot whose x or y is not finite or does not fit F8.2 is
// left out, and so is one whose y fills all eight columns of its field
// (from 9999.995 up, or -999.995 down), which would join x in one word.
void writeDotPair(float xc, float yc, Offset offset, common::OutputFile& page);

// The second pass: reads the fin file to its end and writes the colour and
// dot records of every reflection that lies in a zone, as it is read.
void drawPanels(common::InputFile& fin, const common::ReciprocalCell& cell, float plotScale,
                const float (&meanF)[kDataSets], common::OutputFile& page);

}  // namespace planeview
