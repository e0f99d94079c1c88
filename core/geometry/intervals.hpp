// Closed intervals along a line, in database units.
#pragma once

#include <algorithm>
#include <array>
#include <vector>

#include "core/foundation/units.hpp"

namespace whistle {

using Interval = std::array<Coord, 2>;

// The union of the intervals, sorted: intervals that overlap, touch or lie within `tolerance`
// of each other join.
inline std::vector<Interval> merged_intervals(std::vector<Interval> intervals, Coord tolerance = 0) {
    std::sort(intervals.begin(), intervals.end());
    std::vector<Interval> result;
    for (const Interval& interval : intervals) {
        if (!result.empty() && interval[0] <= result.back()[1] + tolerance)
            result.back()[1] = std::max(result.back()[1], interval[1]);
        else
            result.push_back(interval);
    }
    return result;
}

}  // namespace whistle
