// Polygon set operations: booleans of every kind, contact tests, offsets, healing and
// envelopes, each result feeding the next operation as chained calls in a script do.
#include "core/geometry/set_operations.hpp"
#include "fuzz_input.hpp"

using namespace whistle;
using namespace whistle::fuzz;

namespace {

std::vector<Polygon> operand(FuzzedDataProvider& in) {
    std::vector<Polygon> result(in.ConsumeIntegralInRange(0, 4));
    for (Polygon& p : result) p = polygon(in, 32, 2);
    return result;
}

TrimSides trim(FuzzedDataProvider& in) {
    return {in.ConsumeBool(), in.ConsumeBool(), in.ConsumeBool(), in.ConsumeBool()};
}

// The envelope as the binding runs it: the outline, then a dilation when one is asked for.
std::vector<Polygon> envelope(FuzzedDataProvider& in, const std::vector<Polygon>& polygons) {
    ErrorHandler status;
    Polygon result = envelope_outline(polygons, in.ConsumeBool(), status);
    Coord dilation = magnitude(in);
    if (!status.failed() && dilation > 0)
        result = dilate_envelope(result, dilation, trim(in), in.ConsumeBool(), status);
    if (status.failed()) return {};
    return {result};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    configure(in);
    std::vector<Polygon> first = operand(in);
    for (int step = 0; step < 4 && in.remaining_bytes() > 0; ++step) {
        guarded([&] {
            switch (in.ConsumeIntegralInRange(0, 4)) {
                case 0: {
                    auto operation = BooleanOperation(in.ConsumeIntegralInRange(0, 3));
                    first = boolean(first, operand(in), operation);
                    break;
                }
                case 1: intersects(first, operand(in)); break;
                case 2: first = offset(first, coordinate(in), in.ConsumeBool(), trim(in)); break;
                case 3: first = heal(first, coordinate(in)); break;
                default: first = envelope(in, first); break;
            }
        });
    }
    return 0;
}
