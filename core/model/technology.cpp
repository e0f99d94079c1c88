#include "technology.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/foundation/text.hpp"
#include "core/geometry/structure.hpp"

namespace whistle {

// ---- LayerSpec -------------------------------------------------------------------------

namespace {

constexpr const char* kPatternNames[LayerSpec::kPatternCount] = {
    "solid", "hollow", "\\", "\\\\", "/", "//", "|", "||", "-", "=", "x", "xx", "+", "++", ".", ":"};

constexpr const char* kHueNames[] = {"blue", "red", "yellow", "purple", "green",
                                     "orange", "cyan", "magenta", "gray"};
// Hues in sixths of a turn, by index; gray has none.
constexpr float kHues[] = {3.5f, 0.0f, 0.9166667f, 4.5f, 1.5f, 0.5f, 2.9166667f, 5.3333335f, -1.0f};
constexpr int kGray = 8;

uint8_t channel(float value) {
    float scaled = std::trunc(value * 256.0f);
    return uint8_t(std::clamp(scaled, 0.0f, 255.0f));
}

void append_hex(std::string& out, uint8_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += kDigits[value >> 4];
    out += kDigits[value & 15];
}

std::string optional_length(const std::optional<Coord>& value) {
    return value ? length_text(double(*value)) : "None";
}

}  // namespace

const char* LayerSpec::pattern_name(int index) {
    return index >= 0 && index < kPatternCount ? kPatternNames[index] : "";
}

int LayerSpec::pattern_index(std::string_view name) {
    for (int i = 0; i < kPatternCount; ++i)
        if (name == kPatternNames[i]) return i;
    return -1;
}

int LayerSpec::hue_index(std::string_view name) {
    if (name == "grey") return kGray;
    for (int i = 0; i <= kGray; ++i)
        if (name == kHueNames[i]) return i;
    return -1;
}

Color LayerSpec::derived_color(Layer layer, int hue_index) {
    int k = hue_index >= 0 ? hue_index : int(layer.layer % 9);
    int32_t s = int32_t(layer.layer + layer.datatype);  // wrapping 32-bit sum
    float hue = kHues[k];
    float lightness = float(s % 3) * 0.25f + 0.3f;
    float saturation = k == kGray ? 0.0f : 0.4f + 0.6f * float(s % 2);
    float chroma = saturation * (1.0f - std::fabs(1.0f - 2.0f * lightness));
    float r = chroma, g = 0, b = 0;
    if (k != kGray) {
        float x = chroma * (1.0f - std::fabs(1.0f - std::fmod(hue, 2.0f)));
        const float rgb[6][3] = {{chroma, x, 0}, {x, chroma, 0}, {0, chroma, x},
                                 {0, x, chroma}, {x, 0, chroma}, {chroma, 0, x}};
        const float* sector = rgb[std::clamp(int(hue), 0, 5)];
        r = sector[0], g = sector[1], b = sector[2];
    }
    float m = lightness - chroma / 2.0f;
    return {channel(r + m), channel(g + m), channel(b + m), 0x18};
}

int LayerSpec::derived_pattern(Layer layer) {
    int64_t difference = std::abs(int64_t(layer.layer) - int64_t(layer.datatype));
    return int(difference % 14) + 2;
}

std::string LayerSpec::str(bool) const {
    return "LayerSpec(layer=" + layer_text(layer_) + ", description=" + quoted(description_) +
           ", color=\"" + color_text(color_) + "\", pattern=\"" + pattern_name(pattern_) +
           "\", conductive=" + (conductive_ ? "True" : "False") +
           ", device_marker=" + (device_marker_ ? "True" : "False") +
           ", min_width=" + optional_length(min_width_) +
           ", min_spacing=" + optional_length(min_spacing_) + ")";
}

bool LayerSpec::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const LayerSpec*>(&other);
    return o && layer_ == o->layer_ && description_ == o->description_ && color_ == o->color_ &&
           pattern_ == o->pattern_ && conductive_ == o->conductive_ &&
           device_marker_ == o->device_marker_ && min_width_ == o->min_width_ &&
           min_spacing_ == o->min_spacing_;
}

std::string color_text(const Color& color) {
    std::string text = "#";
    for (uint8_t value : {color.r, color.g, color.b, color.a}) append_hex(text, value);
    return text;
}

// ---- ExtrusionSpec ---------------------------------------------------------------------

Coord ExtrusionSpec::reference_plane(ReferenceName name, const std::array<Coord, 2>& limits) {
    switch (name) {
        case ReferenceName::Bottom: return limits[0];
        case ReferenceName::Top: return limits[1];
        case ReferenceName::Middle: break;
    }
    return truncated_quotient(limits[0] + limits[1], 2);
}

std::shared_ptr<ExtrusionSpec> ExtrusionSpec::copy(bool deep) const {
    auto result = std::make_shared<ExtrusionSpec>(*this);
    if (deep && mask_spec_) result->mask_spec_ = std::make_shared<MaskSpec>(*mask_spec_);
    return result;
}

namespace {

std::string medium_text(const Medium& medium) {
    auto text = [](const std::shared_ptr<BaseType>& m) { return m ? m->str(true) : "None"; };
    if (medium.optical == medium.electrical) return text(medium.optical);
    return "{\"optical\": " + text(medium.optical) + ", \"electrical\": " + text(medium.electrical) +
           "}";
}

std::string reference_text(Coord reference, const std::array<Coord, 2>& limits) {
    using Name = ExtrusionSpec::ReferenceName;
    for (auto [name, text] : {std::pair{Name::Top, "\"top\""}, std::pair{Name::Bottom, "\"bottom\""},
                              std::pair{Name::Middle, "\"middle\""}})
        if (reference == ExtrusionSpec::reference_plane(name, limits)) return text;
    return length_text(double(reference));
}

}  // namespace

std::string ExtrusionSpec::str(bool) const {
    return "ExtrusionSpec(mask_spec=" + (mask_spec_ ? mask_spec_->str(true) : "None") +
           ", medium=" + medium_text(medium_) + ", limits=(" + length_text(double(limits_[0])) +
           ", " + length_text(double(limits_[1])) + "), sidewall_angle=" +
           number_text(sidewall_angle_) + ", reference=" + reference_text(reference_, limits_) + ")";
}

bool ExtrusionSpec::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const ExtrusionSpec*>(&other);
    if (!o) return false;
    return same_or_equal(mask_spec_, o->mask_spec_) && medium_ == o->medium_ && limits_ == o->limits_ &&
           sidewall_angle_ == o->sidewall_angle_ && reference_ == o->reference_;
}

// ---- Technology ------------------------------------------------------------------------

namespace {

LayerPair ordered_pair(Layer a, Layer b) { return a < b ? LayerPair{a, b} : LayerPair{b, a}; }

template <class Map>
bool same_values(const Map& a, const Map& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.first == y.first && same_or_equal(x.second, y.second);
    });
}

}  // namespace

std::optional<Layer> Technology::find_layer(const std::string& layer_name) const {
    auto it = layers.find(layer_name);
    if (it == layers.end()) return std::nullopt;
    return it->second->layer();
}

const std::string* Technology::layer_name(Layer layer) const {
    for (const auto& [layer_name, spec] : layers)
        if (spec->layer() == layer) return &layer_name;
    return nullptr;
}

std::shared_ptr<PortSpec> Technology::find_port(const std::string& port_name) const {
    auto it = ports.find(port_name);
    return it == ports.end() ? nullptr : it->second;
}

void Technology::add_connection(Layer a, Layer b) {
    if (a == b)
        throw std::invalid_argument(
            "A layer cannot be connected to itself. Set 'LayerSpec.conductive' instead.");
    connected_layers.insert(ordered_pair(a, b));
    for (const auto& [layer_name, spec] : layers)
        if (spec->layer() == a || spec->layer() == b) spec->set_conductive(true);
}

void Technology::remove_connection(Layer a, Layer b) { connected_layers.erase(ordered_pair(a, b)); }

std::set<Layer> Technology::extrusion_layers() const {
    std::set<Layer> result;
    for (const auto& spec : extrusion_specs)
        if (spec->mask_spec()) result.merge(spec->mask_spec()->layers());
    return result;
}

std::vector<std::shared_ptr<BaseType>> Technology::media_within(
    const std::array<Coord, 2>& limits, Classification classification) const {
    std::vector<std::shared_ptr<BaseType>> result;
    for (const auto& spec : extrusion_specs) {
        const auto& [lower, upper] = spec->limits();
        const auto& medium = spec->medium().get(classification);
        if (medium && lower <= limits[1] && upper >= limits[0]) result.push_back(medium);
    }
    if (const auto& background = background_medium.get(classification)) result.push_back(background);
    return result;
}

std::shared_ptr<Technology> Technology::copy(bool deep) const {
    auto result = std::make_shared<Technology>(*this);
    if (deep)
        for (auto& spec : result->extrusion_specs) spec = spec->copy(true);
    return result;
}

void Technology::replace_contents(const Technology& other) {
    name = other.name;
    version = other.version;
    layers = other.layers;
    extrusion_specs = other.extrusion_specs;
    ports = other.ports;
    connected_layers = other.connected_layers;
    background_medium = other.background_medium;
    parametric_function = other.parametric_function;
    parametric_kwargs = other.parametric_kwargs;
    random_variables = other.random_variables;
}

std::string Technology::str(bool representation) const {
    const std::string& shown_name = name.empty() ? std::string(kUnnamed) : name;
    auto medium = [](const std::shared_ptr<BaseType>& m) { return m ? m->str(true) : "None"; };
    std::string pairs;
    for (const auto& [a, b] : connected_layers)
        pairs += (pairs.empty() ? "(" : ", (") + layer_text(a) + ", " + layer_text(b) + ")";
    if (representation) {
        std::string text = "Technology(name=" + quoted(shown_name) + ", version=" + quoted(version) +
                           ", layers={";
        const char* separator = "";
        for (const auto& [layer_name, spec] : layers) {
            text += separator + quoted(layer_name) + ": " + spec->str(true);
            separator = ", ";
        }
        text += "}, extrusion_specs=[";
        separator = "";
        for (const auto& spec : extrusion_specs) {
            text += separator + spec->str(true);
            separator = ", ";
        }
        text += "], ports={";
        separator = "";
        for (const auto& [port_name, spec] : ports) {
            text += separator + quoted(port_name) + ": " + spec->str(true);
            separator = ", ";
        }
        return text + "}, connected_layers={" + pairs + "}, background_medium=" +
               medium_text(background_medium) + ")";
    }
    std::string text = "Name: " + shown_name + "\nVersion: " + version + "\n\nLayers:\n";
    auto list = [&text](const std::vector<std::string>& lines) {
        for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n- " : "- ") + lines[i];
    };
    std::vector<std::string> lines;
    for (const auto& [layer_name, spec] : layers)
        lines.push_back(layer_name + ": " + layer_text(spec->layer()) + " " + spec->description());
    list(lines);
    text += "\n\nExtrusion Specs:\n";
    lines.clear();
    for (const auto& spec : extrusion_specs) lines.push_back(spec->str(false));
    list(lines);
    text += "\n\nPorts:\n";
    lines.clear();
    for (const auto& [port_name, spec] : ports) lines.push_back(port_name + ": " + spec->description());
    list(lines);
    return text + "\n\nBackground medium:\n- Optical: " + medium(background_medium.optical) +
           "\n- Electrical: " + medium(background_medium.electrical) +
           "\n\nConnected layers: " + (pairs.empty() ? "None" : pairs);
}

bool Technology::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const Technology*>(&other);
    if (!o) return false;
    return name == o->name && version == o->version && same_values(layers, o->layers) &&
           std::equal(extrusion_specs.begin(), extrusion_specs.end(), o->extrusion_specs.begin(),
                      o->extrusion_specs.end(), same_or_equal<ExtrusionSpec>) &&
           same_values(ports, o->ports) && connected_layers == o->connected_layers &&
           background_medium == o->background_medium;
}

}  // namespace whistle
