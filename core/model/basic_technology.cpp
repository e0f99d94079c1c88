#include "basic_technology.hpp"

#include <stdexcept>
#include <utility>

namespace whistle {

namespace {

using Profiles = std::map<std::string, PathProfile>;

std::shared_ptr<LayerSpec> layer_spec(Layer layer, const char* description, Color color,
                                      const char* pattern) {
    return std::make_shared<LayerSpec>(layer, description, color, LayerSpec::pattern_index(pattern));
}

// Profiles listed without names: they define no terminals.
Profiles unnamed(std::initializer_list<PathProfile> profiles) {
    Profiles result;
    size_t index = 0;
    for (const PathProfile& profile : profiles) result[PortSpec::unnamed_profile(index++)] = profile;
    return result;
}

std::shared_ptr<PortSpec> port_spec(const char* description, Coord width, std::array<Coord, 2> limits,
                                    Profiles profiles) {
    auto spec = std::make_shared<PortSpec>(description, width, limits);
    spec->set_path_profiles(std::move(profiles));
    return spec;
}

// A layer mask grown by the mask dilation; inverted for a filled core, whose drawn regions
// are etched, so that the dilation still grows the remaining core.
std::shared_ptr<MaskSpec> layer_mask(Layer layer, Coord dilation, bool inverted = false) {
    MaskSpec leaf(layer);
    if (inverted) return std::make_shared<MaskSpec>(std::vector<MaskSpec>{},
                                                    std::vector<MaskSpec>{leaf},
                                                    MaskOperation::Difference, -dilation);
    leaf.set_dilation(dilation);
    return std::make_shared<MaskSpec>(std::move(leaf));
}

}  // namespace

void check_basic_technology(const BasicTechnologyParameters& p) {
    const std::pair<const char*, Coord> positive[] = {
        {"core_thickness", p.core_thickness}, {"slab_thickness", p.slab_thickness},
        {"clad_thickness", p.clad_thickness}, {"box_thickness", p.box_thickness},
        {"port_z_gap", p.port_z_gap},         {"strip_width", p.strip_width},
        {"rib_width", p.rib_width},           {"clad_width", p.clad_width},
        {"cpw_width", p.cpw_width},           {"cpw_gap", p.cpw_gap}};
    for (const auto& [name, value] : positive)
        if (value <= 0) throw std::invalid_argument("'" + std::string(name) + "' must be positive.");
    const std::pair<const char*, Coord> non_negative[] = {
        {"metal_thickness", p.metal_thickness}, {"metal_separation", p.metal_separation},
        {"min_metal_width", p.min_metal_width}, {"min_metal_spacing", p.min_metal_spacing}};
    for (const auto& [name, value] : non_negative)
        if (value < 0) throw std::invalid_argument("'" + std::string(name) + "' may not be negative.");
}

std::shared_ptr<Technology> basic_technology(const BasicTechnologyParameters& p) {
    check_basic_technology(p);
    auto technology = std::make_shared<Technology>();
    technology->name = "Basic Technology";
    technology->version = "2.0.0";

    auto& layers = technology->layers;
    layers["WG_CLAD"] = layer_spec(p.clad_layer, "Waveguide clad", {0x9d, 0xa6, 0xa2, 0x18}, ".");
    layers["WG_CORE"] = layer_spec(p.core_layer, "Waveguide core", {0x6d, 0xb5, 0xdd, 0x18}, "/");
    layers["SLAB"] = layer_spec(p.slab_layer, "Slab region", {0x88, 0x51, 0xad, 0x18}, ":");
    layers["TRENCH"] = layer_spec(p.trench_layer, "Deep-etched trench for chip facets",
                                  {0x53, 0x5e, 0x59, 0x18}, "+");
    auto metal = layer_spec(p.metal_layer, "Metal layer", {0xb8, 0xa1, 0x8b, 0x18}, "\\");
    metal->set_conductive(true);
    metal->set_min_width(p.min_metal_width);
    metal->set_min_spacing(p.min_metal_spacing);
    layers["METAL"] = metal;

    // The stack, bottom to top, with z = 0 at the bottom of the core. Later specifications take
    // precedence where they overlap earlier ones.
    const Coord substrate_bottom = -2 * p.box_thickness;
    const Coord metal_bottom = p.core_thickness + p.metal_separation;
    const Coord metal_top = metal_bottom + p.metal_thickness;
    const Coord stack_top = std::max(p.clad_thickness, metal_top);
    auto bounds = std::make_shared<MaskSpec>();
    auto extrusion = [&](std::shared_ptr<MaskSpec> mask, const Medium& medium, Coord lower,
                         Coord upper, double angle = 0) {
        technology->extrusion_specs.push_back(std::make_shared<ExtrusionSpec>(
            std::move(mask), medium, std::array<Coord, 2>{lower, upper}, angle, upper));
    };
    extrusion(bounds, p.substrate, substrate_bottom, -p.box_thickness);
    extrusion(bounds, p.clad, -p.box_thickness, 0);
    extrusion(std::make_shared<MaskSpec>(p.clad_layer), p.clad, 0, p.clad_thickness);
    extrusion(layer_mask(p.slab_layer, p.mask_dilation), p.core, 0, p.slab_thickness,
              p.sidewall_angle);
    extrusion(layer_mask(p.core_layer, p.mask_dilation, p.core_fill), p.core, 0, p.core_thickness,
              p.sidewall_angle);
    extrusion(std::make_shared<MaskSpec>(p.trench_layer), p.trench, substrate_bottom, stack_top);
    if (p.metal_thickness > 0)
        extrusion(std::make_shared<MaskSpec>(p.metal_layer), p.metal, metal_bottom, metal_top);

    // Optical ports span the core with a gap above and below; the clad profile covers the
    // whole port width.
    const std::array<Coord, 2> optical_limits{-p.port_z_gap, p.core_thickness + p.port_z_gap};
    const Coord strip_port = p.strip_width + 2 * p.clad_width;
    technology->ports["Strip"] = port_spec(
        "Strip waveguide", strip_port, optical_limits,
        unnamed({{p.strip_width, 0, p.core_layer}, {strip_port, 0, p.clad_layer}}));
    const Coord rib_port = p.rib_width + 2 * p.clad_width;
    technology->ports["Rib"] = port_spec(
        "Rib waveguide", rib_port, optical_limits,
        unnamed({{p.rib_width, 0, p.core_layer}, {rib_port, 0, p.slab_layer},
                 {rib_port, 0, p.clad_layer}}));

    // Coplanar line: grounds as wide as the signal on either side of the gaps. The voltage is
    // taken across one gap at mid-metal height, the current around the signal conductor.
    const Coord pitch = p.cpw_width + p.cpw_gap;
    const Coord cpw_port = 3 * p.cpw_width + 2 * p.cpw_gap;
    const Coord margin = p.cpw_width / 2 + p.cpw_gap;
    auto cpw = port_spec("CPW transmission line", cpw_port,
                         {metal_bottom - margin, metal_top + margin},
                         {{"signal", {p.cpw_width, 0, p.metal_layer}},
                          {"gnd0", {p.cpw_width, -pitch, p.metal_layer}},
                          {"gnd1", {p.cpw_width, pitch, p.metal_layer}}});
    const Coord middle = (metal_bottom + metal_top) / 2;
    const Coord reach = p.cpw_width / 2 + p.cpw_gap / 2;
    const Coord below = metal_bottom - p.cpw_gap / 2, above = metal_top + p.cpw_gap / 2;
    ElectricalData electrical;
    electrical.voltage_path = {{p.cpw_width / 2, middle}, {p.cpw_width / 2 + p.cpw_gap, middle}};
    electrical.current_path = {{-reach, below}, {reach, below}, {reach, above}, {-reach, above}};
    cpw->set_electrical(std::move(electrical));
    technology->ports["CPW"] = cpw;

    technology->background_medium = p.top;
    return technology;
}

}  // namespace whistle
