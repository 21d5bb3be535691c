// The unmerged observations of a file through the suite's reflection layer
// (common/reflections): the data set's cell, space group and Friedel's
// law, and its observations in the file's order, as often as asked (the
// statistics take two passes; each opens the file again).
#pragma once

#include <functional>
#include <string>

#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

#include "common/reflections/reflection_file.hpp"
#include "ovostats/statistics.hpp"

namespace ovostats {

class ObservationInput {
public:
    // Opens the file and reads its header; a fault ends the run.
    explicit ObservationInput(std::string name);

    gemmi::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    // Friedel's law as the data were reduced: XDS's FRIEDEL'S_LAW=; off for
    // an unmerged MTZ file, whose M/ISYM keeps the mates apart.
    bool friedelsLaw = true;
    bool merged = false;
    std::string kind;  // common::reflections::kindName
    size_t recordsAtMost = 0;

    // Every observation, in the file's order, read from its start.
    void forEach(const std::function<void(const Observation&)>& take) const;

private:
    std::string name_;
};

}  // namespace ovostats
