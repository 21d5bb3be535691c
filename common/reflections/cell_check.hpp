// The cell of a reflection file held to what a cell can be and to the
// symmetry its space group demands, for every program that reads one.
#pragma once

#include <string>

#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"

namespace common::reflections {

// Edges above 0, angles between 0 and 180 degrees that can meet at a corner
// of a cell; otherwise the run ends, the report starting with `what` (the
// file and the keyword or record the cell came from).
void checkCellValues(const std::string& what, const common::UnitCell& cell);

// Every operation of the group keeps the cell's metric: each product of two
// edge vectors within a thousandth of the product of their lengths (about
// 0.06 degree in an angle, a thousandth in the ratio of two edges).
bool cellFits(const common::UnitCell& cell, const gemmi::SpaceGroup& spaceGroup);

// A cell the group does not allow is refused rather than measured or
// merged, naming both; so is a rhombohedral group whose cell is given in
// rhombohedral axes (a = b = c, alpha = beta = gamma), which the merge and
// the frame would read as hexagonal ones.
void checkCellAgainstGroup(const std::string& file, const common::UnitCell& cell, const gemmi::SpaceGroup& spaceGroup);

std::string cellText(const common::UnitCell& cell);

}  // namespace common::reflections
