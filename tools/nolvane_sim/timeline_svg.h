// The picture of a scenario run: one lane per aspect over one time axis, as
// an SVG document that a browser or rsvg-convert renders as it is.
#pragma once

#include "timeline.h"

#include <ostream>
#include <string>

namespace nolvane_sim {

// `title` heads the picture (the scenario's name).
void write_svg(const timeline& t, const std::string& title, std::ostream& out);

}  // namespace nolvane_sim
