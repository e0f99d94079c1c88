// Convex hull of a point set (2D).
#pragma once

#include <vector>

#include "core/foundation/units.hpp"

namespace whistle {

// The hull's corner points, counter-clockwise, taken unchanged from the input; empty when the
// points span no area (fewer than three, or all on one line).
std::vector<Vector> convex_hull(const std::vector<Vector>& points);

}  // namespace whistle
