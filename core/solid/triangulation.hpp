// Constrained triangulation of a polygon with holes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/units.hpp"

namespace whistle {

// Triangles (vertex index triples, counter-clockwise) covering exactly the region inside an
// odd number of the rings. The rings are stored one after another in vertices; ring_ends
// holds the index one past the last vertex of each ring. Throws std::invalid_argument when
// ring_ends is not increasing or exceeds the vertex count. Runs without the interpreter.
std::vector<std::array<uint32_t, 3>> triangulate(std::span<const Vector> vertices,
                                                 std::span<const uint32_t> ring_ends);

}  // namespace whistle
