// Mask expressions: parsing arbitrary text, and the formatter's round trip. Every mask that
// parses must format into text that parses back into an equal mask, with layers written as
// tuples and by the names of a small technology, and formatting must be stable.
#include <cstdlib>

#include "core/model/mask_expression.hpp"
#include "core/model/technology.hpp"
#include "fuzz_input.hpp"

using namespace whistle;

namespace {

// Names that need escapes, an empty name and two names of one layer.
std::shared_ptr<Technology> make_technology() {
    auto technology = std::make_shared<Technology>();
    technology->name = "fuzz";
    const std::pair<const char*, Layer> table[] = {
        {"A", {1, 0}}, {"B", {2, 0}}, {"WG_CORE", {2, 0}}, {"it's", {3, 0}},
        {"back\\slash", {4, 1}}, {"\"q\"", {5, 2}}, {"", {6, 0}}, {"wide", {4294967295u, 7}},
    };
    for (const auto& [name, layer] : table)
        technology->layers[name] = std::make_shared<LayerSpec>(layer, name, Color{}, 0);
    return technology;
}

const Technology& technology() {
    static const std::shared_ptr<Technology> instance = make_technology();
    return *instance;
}

std::optional<MaskSpec> parse(std::string_view text, const Technology* names) {
    ErrorHandler status;
    std::optional<MaskSpec> mask = parse_mask(text, [&] { return names; }, status);
    if (mask.has_value() == status.failed()) std::abort();  // exactly one of result and error
    return mask;
}

// Text of `mask` must parse back into an equal mask and format into the same text again.
void round_trip(const MaskSpec& mask, const LayerNames& names) {
    std::string text = format_mask(mask, names);
    std::optional<MaskSpec> again = parse(text, &technology());
    if (!again || !again->equals(mask) || format_mask(*again, names) != text) std::abort();
}

// A few rectangles on some of the named layers, to evaluate masks against.
LayerPolygons layer_polygons() {
    auto box = [](Coord x0, Coord y0, Coord x1, Coord y1) {
        return Polygon(Ring{{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
    };
    LayerPolygons layers;
    layers[{1, 0}] = {box(0, 0, 400000, 100000), box(300000, 0, 400000, 500000)};
    layers[{2, 0}] = {box(100000, -100000, 200000, 600000)};
    layers[{3, 0}] = {box(-50000, 50000, 50000, 150000)};
    return layers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // Without a technology, names fail with their own message.
    parse(text, nullptr);
    std::optional<MaskSpec> mask = parse(text, &technology());
    if (!mask) return 0;
    if (mask->depth() > MaskSpec::kMaxDepth) std::abort();

    LayerNames names;
    for (const Layer& layer : mask->layers())
        if (const std::string* name = technology().layer_name(layer)) names[layer] = *name;
    round_trip(*mask, {});
    round_trip(*mask, names);

    auto copy = std::static_pointer_cast<MaskSpec>(mask->clone());
    if (!copy->equals(*mask)) std::abort();
    mask->str(true);
    mask->uses_translation();
    if (mask->depth() <= 12) {
        static const LayerPolygons layers = layer_polygons();
        fuzz::guarded([&] { evaluate_mask(*mask, layers, {-100000, -200000, 500000, 700000}, 5000); });
    }
    return 0;
}
