// Outlines of the OASIS shape records that have no polygon form of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "events.hpp"

namespace whistle::layout::oasis {

// A TRAPEZOID: bounding box at (x, y) of w × h; `vertical` trapezoids have two vertical sides.
// delta_a and delta_b move the ends of the first and second parallel side.
std::optional<std::vector<FileVector>> trapezoid(bool vertical, int64_t x, int64_t y, int64_t w,
                                                 int64_t h, int64_t delta_a, int64_t delta_b);

// Which of width and height a CTRAPEZOID type reads (the other follows from it).
bool ctrapezoid_needs_width(uint64_t type);
bool ctrapezoid_needs_height(uint64_t type);
// The outline of a CTRAPEZOID type 0-25; nullopt when w and h break the type's constraints.
std::optional<std::vector<FileVector>> ctrapezoid(uint64_t type, int64_t x, int64_t y, int64_t w,
                                                  int64_t h);

}  // namespace whistle::layout::oasis
