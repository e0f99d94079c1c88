// Polygons: construction and validation, measures, collinear removal, fillets and every
// placement transform, applied in sequence as a script would.
#include <algorithm>

#include "fuzz_input.hpp"

using namespace whistle;
using namespace whistle::fuzz;

namespace {

// Everything a script can read from a polygon.
void inspect(const Polygon& polygon) {
    // Whatever happened, the polygon holds coordinates within the range.
    auto in_range_all = [](const Ring& ring) {
        return std::all_of(ring.begin(), ring.end(), [](const Vector& p) { return in_range(p); });
    };
    if (!in_range_all(polygon.vertices()) ||
        !std::all_of(polygon.holes().begin(), polygon.holes().end(), in_range_all))
        __builtin_trap();
    guarded([&] {
        ErrorHandler status;
        polygon.is_valid();
        polygon.area();
        polygon.perimeter();
        polygon.bounds(status);
        polygon.is_empty();
        polygon.to_polygon(status);
        polygon.str(true);
        std::string bytes;
        polygon.content_bytes(bytes);
        polygon.clone()->equals(polygon);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    configure(in);
    Polygon shape = polygon(in, 64, 3);
    inspect(shape);
    for (int step = 0; step < 16 && in.remaining_bytes() > 0; ++step) {
        guarded([&] {
            ErrorHandler status;
            switch (in.ConsumeIntegralInRange(0, 9)) {
                case 0: shape.remove_collinear(); break;
                case 1: shape.fillet(coordinate(in), status); break;
                case 2: shape.transform(point(in), in.ConsumeBool(), number(in), number(in)); break;
                case 3: shape.translate(point(in)); break;
                case 4: shape.rotate(number(in), point(in)); break;
                case 5: shape.scale(number(in), point(in)); break;
                case 6: shape.mirror(point(in), point(in)); break;
                case 7: shape.assign(ring(in, 64), {ring(in, 32)}); break;
                case 8: shape.axis_intersections(in.ConsumeIntegralInRange(0, 1), coordinate(in), status); break;
                default: shape = polygon(in, 64, 3); break;
            }
        });
        inspect(shape);
    }
    return 0;
}
