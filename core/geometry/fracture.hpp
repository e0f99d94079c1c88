// Splitting polygons for layout formats that take neither holes nor long vertex lists.
#pragma once

#include <vector>

#include "polygon.hpp"

namespace whistle {

// Hole-free polygons covering exactly the polygon's area (the polygon itself when it has no
// holes); false when the polygon could not be split.
bool remove_holes(const Polygon& polygon, std::vector<Polygon>& out);

// Hole-free pieces of at most `max_vertices` (at least 5) vertices each covering exactly the
// polygon's area; false when it could not be fractured.
bool fracture(const Polygon& polygon, size_t max_vertices, std::vector<Polygon>& out);

}  // namespace whistle
