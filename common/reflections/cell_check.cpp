#include "common/reflections/cell_check.hpp"

#include <cmath>

#include <gemmi/unitcell.hpp>

#include "common/failure.hpp"
#include "common/records.hpp"

namespace common::reflections {

namespace {

constexpr double kRadian = 3.14159265358979323846 / 180.0;

}  // namespace

void checkCellValues(const std::string& what, const common::UnitCell& c) {
    if (!(c.a > 0 && c.b > 0 && c.c > 0 && c.alpha > 0 && c.alpha < 180 && c.beta > 0 && c.beta < 180 &&
          c.gamma > 0 && c.gamma < 180)) {
        common::fail(what + " does not describe a cell (edges above 0, angles between 0 and 180 degrees)");
    }
    // Three angles meet at a corner only when the squared volume of the unit
    // cell, this times (abc)^2, is above 0 (each below the sum of the other
    // two, all three below 360 degrees).
    const double ca = std::cos(c.alpha * kRadian), cb = std::cos(c.beta * kRadian), cg = std::cos(c.gamma * kRadian);
    if (!(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg > 1e-9)) {
        common::fail(what + " is an impossible cell: angles of " + common::generalText(c.alpha) + ", " +
                     common::generalText(c.beta) + " and " + common::generalText(c.gamma) +
                     " degrees cannot meet at a corner of a cell");
    }
}

bool cellFits(const common::UnitCell& c, const gemmi::SpaceGroup& spaceGroup) {
    const gemmi::UnitCell cell(c.a, c.b, c.c, c.alpha, c.beta, c.gamma);
    const gemmi::Mat33& orth = cell.orth.mat;
    for (const gemmi::Op& op : spaceGroup.operations().sym_ops) {
        const gemmi::Mat33 m = orth.multiply(gemmi::rot_as_mat33(op));
        for (int i = 0; i < 3; ++i) {
            for (int j = i; j < 3; ++j) {
                const double scale = std::sqrt(orth.column_dot(i, i) * orth.column_dot(j, j));
                if (!(std::fabs(m.column_dot(i, j) - orth.column_dot(i, j)) <= 1e-3 * scale)) return false;
            }
        }
    }
    return true;
}

std::string cellText(const common::UnitCell& c) {
    std::string text;
    for (const float value : {c.a, c.b, c.c, c.alpha, c.beta, c.gamma}) text += " " + common::generalText(value);
    return text;
}

void checkCellAgainstGroup(const std::string& file, const common::UnitCell& cell, const gemmi::SpaceGroup& spaceGroup) {
    if (cellFits(cell, spaceGroup)) return;
    const std::string group = "space group " + std::string(spaceGroup.hm) + " (" + std::to_string(spaceGroup.number) + ")";
    if (spaceGroup.ext == 'H') {
        const gemmi::SpaceGroup* rhombohedral = gemmi::find_spacegroup_by_name(std::string(spaceGroup.hm) + ":R");
        if (rhombohedral != nullptr && cellFits(cell, *rhombohedral)) {
            common::fail(file + ": the cell" + cellText(cell) + " is in rhombohedral axes; " + common::programName() +
                         " reads " + group + " in hexagonal axes only (a = b, gamma 120): give the data indexed in those");
        }
    }
    common::fail(file + ": the cell" + cellText(cell) + " contradicts " + group + ", whose symmetry it " +
                 "does not have (" + gemmi::crystal_system_str(spaceGroup.crystal_system()) + " lattice)");
}

}  // namespace common::reflections
