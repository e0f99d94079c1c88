// Fabrication processes: layers, extrusion recipes, port cross-sections, connections and media.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"
#include "layer.hpp"
#include "mask_spec.hpp"
#include "medium.hpp"
#include "port_spec.hpp"

namespace whistle {

struct Color {
    uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator==(const Color&) const = default;
};

// "#rrggbbaa"
std::string color_text(const Color& color);

class LayerSpec final : public Cloneable<LayerSpec, BaseType> {
public:
    // Hatch pattern names by index: solid, hollow, \, \\, /, //, |, ||, -, =, x, xx, +, ++, ., :
    static constexpr int kPatternCount = 16;
    static const char* pattern_name(int index);
    // Index of a pattern name, or -1.
    static int pattern_index(std::string_view name);
    // Colour of a hue index 0 (blue) to 8 (gray) or, for -1, of the layer number's own hue.
    static Color derived_color(Layer layer, int hue_index);
    // A hatched pattern (2 to 15) picked by the layer.
    static int derived_pattern(Layer layer);
    // Hue index of a colour name ("blue" ... "gray"/"grey"), or -1.
    static int hue_index(std::string_view name);

    LayerSpec(Layer layer, std::string description, Color color, int pattern)
        : Cloneable(TypeCode::LayerSpec), layer_(layer), description_(std::move(description)),
          color_(color), pattern_(pattern) {}

    Layer layer() const { return layer_; }
    const std::string& description() const { return description_; }
    Color color() const { return color_; }
    int pattern() const { return pattern_; }
    bool conductive() const { return conductive_; }
    bool device_marker() const { return device_marker_; }
    const std::optional<Coord>& min_width() const { return min_width_; }
    const std::optional<Coord>& min_spacing() const { return min_spacing_; }

    void set_layer(Layer layer) { layer_ = layer; }
    void set_description(std::string description) { description_ = std::move(description); }
    void set_color(Color color) { color_ = color; }
    void set_pattern(int pattern) { pattern_ = pattern; }
    void set_conductive(bool value) { conductive_ = value; }
    void set_device_marker(bool value) { device_marker_ = value; }
    void set_min_width(std::optional<Coord> value) { min_width_ = value; }
    void set_min_spacing(std::optional<Coord> value) { min_spacing_ = value; }

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    Layer layer_;
    std::string description_;
    Color color_;
    int pattern_;
    bool conductive_ = false;
    bool device_marker_ = false;
    std::optional<Coord> min_width_;
    std::optional<Coord> min_spacing_;
};

class ExtrusionSpec final : public Cloneable<ExtrusionSpec, BaseType> {
public:
    enum class ReferenceName { Bottom, Middle, Top };

    ExtrusionSpec(std::shared_ptr<MaskSpec> mask_spec, Medium medium, std::array<Coord, 2> limits,
                  double sidewall_angle, Coord reference)
        : Cloneable(TypeCode::ExtrusionSpec), mask_spec_(std::move(mask_spec)),
          medium_(std::move(medium)), limits_(limits), sidewall_angle_(sidewall_angle),
          reference_(reference) {}

    // The plane a reference name stands for, with the given limits.
    static Coord reference_plane(ReferenceName name, const std::array<Coord, 2>& limits);

    const std::shared_ptr<MaskSpec>& mask_spec() const { return mask_spec_; }
    const Medium& medium() const { return medium_; }
    const std::array<Coord, 2>& limits() const { return limits_; }
    double sidewall_angle() const { return sidewall_angle_; }
    Coord reference() const { return reference_; }

    void set_mask_spec(std::shared_ptr<MaskSpec> mask_spec) { mask_spec_ = std::move(mask_spec); }
    void set_medium(Medium medium) { medium_ = std::move(medium); }
    void set_limits(const std::array<Coord, 2>& limits) { limits_ = limits; }
    void set_sidewall_angle(double angle) { sidewall_angle_ = angle; }
    void set_reference(Coord reference) { reference_ = reference; }

    // Shallow copies share the mask; deep ones copy it.
    std::shared_ptr<ExtrusionSpec> copy(bool deep) const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    std::shared_ptr<MaskSpec> mask_spec_;
    Medium medium_;
    std::array<Coord, 2> limits_;
    double sidewall_angle_;
    Coord reference_;
};

// An unordered pair of distinct layers, held with the smaller layer first.
using LayerPair = std::pair<Layer, Layer>;

class Technology final : public Cloneable<Technology, BaseType> {
public:
    static constexpr const char* kUnnamed = "Unnamed technology";

    Technology() : Cloneable(TypeCode::Technology) {}

    std::string name;
    std::string version;
    std::map<std::string, std::shared_ptr<LayerSpec>> layers;
    std::vector<std::shared_ptr<ExtrusionSpec>> extrusion_specs;
    std::map<std::string, std::shared_ptr<PortSpec>> ports;
    std::set<LayerPair> connected_layers;
    Medium background_medium;
    // Registered function name and keyword arguments (an interpreter-backed holder) of a
    // parametric technology; the function name is empty otherwise.
    std::string parametric_function;
    std::shared_ptr<BaseType> parametric_kwargs;
    std::shared_ptr<BaseType> random_variables;

    // The layer of a layer specification name.
    std::optional<Layer> find_layer(const std::string& name) const;
    // The name of the first layer specification (by name) on that layer, or null.
    const std::string* layer_name(Layer layer) const;
    std::shared_ptr<PortSpec> find_port(const std::string& name) const;

    // Adds the pair of distinct layers and marks their layer specifications conductive;
    // throws std::invalid_argument when a == b.
    void add_connection(Layer a, Layer b);
    void remove_connection(Layer a, Layer b);
    // Every layer named by an extrusion specification's mask.
    std::set<Layer> extrusion_layers() const;
    // Media of the extrusion specifications whose limits overlap [lower, upper], and the
    // background medium, for one frequency class (absent media left out).
    std::vector<std::shared_ptr<BaseType>> media_within(const std::array<Coord, 2>& limits,
                                                        Classification classification) const;

    // Shallow copies share the layer, port and extrusion specifications; deep ones copy the
    // extrusion specifications too.
    std::shared_ptr<Technology> copy(bool deep) const;
    // Takes over the contents of another technology (parametric updates), keeping identity.
    void replace_contents(const Technology& other);

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;
};

}  // namespace whistle
