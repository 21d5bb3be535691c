// The XDS reflection file as the suite's programs read it: the header
// keywords they need, then h, k, l, I and sigma(I) of every record up to
// "!END_OF_DATA", and the frame of an unmerged record when asked.
#pragma once

#include <cstdint>

#include "common/cell.hpp"
#include "common/input_file.hpp"
#include "common/layout/xds_record.hpp"

namespace common::reflections {

struct XdsHeader {
    common::UnitCell cell;           // UNIT_CELL_CONSTANTS=
    int32_t spaceGroupNumber = 0;    // SPACE_GROUP_NUMBER=
    bool merged = false;             // MERGE=
    bool friedelsLaw = true;         // FRIEDEL'S_LAW=
    int32_t itemsPerRecord = 0;      // NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=
    common::xds_record::ItemPlaces items;  // ITEM_H= ... ITEM_SIGMA(IOBS)=, 1 to 5 when absent
    int32_t frameItem = 0;           // ITEM_ZD=, 0 when absent (merged files)
};

// One measurement of a reflection as a file gives it: its indices as
// measured (not brought to the asymmetric unit: whether it is a Friedel
// mate is what the merge finds when it brings it there), its intensity and
// sigma, and the batch (the image) it was measured on, 0 when the file has
// none or it was not asked for.
struct Observation : common::xds_record::Reflection {
    int32_t batch = 0;
};

// Reads up to and including the "!END_OF_HEADER" line. Keywords are taken
// from lines with a letter right after the "!" (not the "! ISET=" lines of
// XSCALE, which repeat the keywords of each input file), at the start of the
// line or after a blank; a keyword the measurement needs that is missing, or
// a value that cannot be read, ends the run, and so do a cell whose angles
// cannot meet and ITEM_ keywords that put h, k, l, I and sigma(I) anywhere
// but items 1 to 5, the only places the record readers take them from.
XdsHeader readXdsHeader(common::InputFile& file);

// A damaged record ends the run: no limits are measured from part of a file.
inline constexpr auto kOnDamagedRecord = common::xds_record::OnDamagedRecord::stop;

// The next record, or false at the "!END_OF_DATA" line. A record whose
// indices or values cannot be read, or the end of the file before the
// end-of-data line, ends the run with a report naming the line and columns.
// The quick path gives exactly what the general reader
// (common::xds_record::readGeneralRecord) gives.
bool readObservation(common::InputFile& file, Observation& observation);

// The same, with the batch of an unmerged record: the image its centre lies
// on, floor(ZD) + 1 (ZD counts frames from 0 at the start of the first).
// A ZD field that is no number ends the run.
bool readObservationWithFrame(common::InputFile& file, const XdsHeader& header, Observation& observation);

}  // namespace common::reflections
