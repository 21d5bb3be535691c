// The unmerged observations of a file, as the statistics take them: the
// cell, the space group and Friedel's law of the data set, and the
// observations in the file's order, as often as asked (two passes).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

#include "ovostats/statistics.hpp"

namespace ovostats {

class ObservationInput {
public:
    virtual ~ObservationInput() = default;
    gemmi::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    bool friedelsLaw = true;
    bool merged = false;    // the file says its data are merged
    std::string kind;       // "XDS_ASCII" or "MTZ"
    // Every observation, in the file's order; each call reads from the start.
    virtual void forEach(const std::function<void(const Observation&)>& take) = 0;
};

// An XDS_ASCII file or an unmerged MTZ file (told apart by the MTZ's
// first four bytes). A file that cannot be read ends the run.
std::unique_ptr<ObservationInput> openObservations(const std::string& name);

}  // namespace ovostats
