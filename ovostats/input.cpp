#include "ovostats/input.hpp"

#include <utility>

namespace ovostats {

namespace reflections = common::reflections;

ObservationInput::ObservationInput(std::string name) : name_(std::move(name)) {
    const reflections::ReflectionFile file(name_);
    const reflections::ReflectionHeader& header = file.header();
    const common::UnitCell& c = header.cell;
    cell.set(c.a, c.b, c.c, c.alpha, c.beta, c.gamma);
    spaceGroup = header.spaceGroup;
    merged = header.merged;
    friedelsLaw = header.kind == reflections::FileKind::mtzUnmerged ? false : header.friedelsLaw;
    kind = reflections::kindName(header.kind);
    recordsAtMost = header.recordsAtMost;
}

void ObservationInput::forEach(const std::function<void(const Observation&)>& take) const {
    reflections::ReflectionFile file(name_);
    Observation o;
    while (file.next(o)) take(o);
}

}  // namespace ovostats
