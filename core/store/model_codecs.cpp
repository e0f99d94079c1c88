// Stored forms of the layout-model types: port specifications, ports, terminals, layers, masks,
// extrusion specifications and technologies. Their twf payloads are the JSON forms as trees.
#include <cmath>
#include <limits>

#include "core/foundation/config.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/foundation/interpolator.hpp"
#include "core/geometry/polygon.hpp"
#include "core/model/port.hpp"
#include "core/model/port3d.hpp"
#include "core/model/technology.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

[[noreturn]] void invalid(const char* key) {
    throw StoreError(std::string("Invalid value for key '") + key + "'.");
}

// ---- Field values -------------------------------------------------------------------------

// An integer from 0 to `max` (twf trees read integers back as signed values).
bool within(const json& value, uint64_t max) {
    return value.is_number_unsigned() ? value.get<uint64_t>() <= max
                                      : value.is_number_integer() && value.get<int64_t>() >= 0 &&
                                            uint64_t(value.get<int64_t>()) <= max;
}

std::string text_field(const json& form, const char* key) { return bytes_value(field(form, key), key); }

// An integer length within the coordinate range.
Coord coord_value(const json& value, const char* key) {
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() ? value.get<uint64_t>() > uint64_t(kMaxCoord) : !in_range(value.get<Coord>())))
        invalid(key);
    return value.get<Coord>();
}

Coord coord_field(const json& form, const char* key) { return coord_value(field(form, key), key); }

Coord nonnegative_coord_field(const json& form, const char* key) {
    const Coord value = coord_field(form, key);
    if (value < 0) invalid(key);
    return value;
}

Vector point_value(const json& value, const char* key) {
    if (!value.is_array() || value.size() != 2) invalid(key);
    return {coord_value(value[0], key), coord_value(value[1], key)};
}

std::array<Coord, 2> pair_field(const json& form, const char* key) {
    const Vector pair = point_value(field(form, key), key);
    return {pair.x, pair.y};
}

double finite_field(const json& form, const char* key) {
    const double value = number_field(form, key);
    if (!std::isfinite(value)) invalid(key);
    return value;
}

// An unsigned 32-bit count of at least `minimum`.
uint32_t count_field(const json& form, const char* key, uint32_t minimum) {
    const int64_t value = integer_field(form, key);
    if (value < minimum || value > int64_t(std::numeric_limits<uint32_t>::max())) invalid(key);
    return uint32_t(value);
}

json optional_json(const std::optional<Coord>& value) { return value ? json(*value) : json(nullptr); }
json optional_json(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }

std::optional<Coord> optional_length_field(const json& form, const char* key) {
    if (field(form, key).is_null()) return std::nullopt;
    return nonnegative_coord_field(form, key);
}

std::optional<double> optional_number_field(const json& form, const char* key) {
    if (field(form, key).is_null()) return std::nullopt;
    return finite_field(form, key);
}

std::string polarization_field(const json& form) {
    std::string polarization = string_field(form, "polarization");
    if (polarization != "" && polarization != "TE" && polarization != "TM") invalid("polarization");
    return polarization;
}

json layer_json(const Layer& layer) { return json::array({layer.layer, layer.datatype}); }

Layer layer_value(const json& value, const char* key) {
    constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
    if (!value.is_array() || value.size() != 2 || !within(value[0], kMax) || !within(value[1], kMax))
        invalid(key);
    return {value[0].get<uint32_t>(), value[1].get<uint32_t>()};
}

json points_json(const std::vector<Vector>& points) {
    json result = json::array();
    for (const Vector& p : points) result.push_back(vector_json(p));
    return result;
}

std::vector<Vector> points_value(const json& value, const char* key) {
    if (!value.is_array()) invalid(key);
    std::vector<Vector> points;
    for (const json& p : value) points.push_back(point_value(p, key));
    return points;
}

// ---- Referenced objects -------------------------------------------------------------------

// One record per solver medium: a class pair given one medium shares it.
json media_json(const Medium& medium, StoreWriter& store) {
    return {{"optical", store.optional_ref(medium.optical)},
            {"electrical", store.optional_ref(medium.electrical)}};
}

Medium media_field(const json& form, const char* key, StoreReader& store) {
    const json& media = object_field(form, key);
    return {store.ref(field(media, "optical"), {TypeCode::Medium}, "Medium", false),
            store.ref(field(media, "electrical"), {TypeCode::Medium}, "Medium", false)};
}

std::shared_ptr<Structure> structure_ref(const json& value, StoreReader& store, bool required) {
    return std::static_pointer_cast<Structure>(store.ref(
        value, {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path}, "Structure",
        required));
}

// ---- PortSpec -----------------------------------------------------------------------------

json electrical_json(const ElectricalData& data, StoreWriter& store) {
    return {{"voltage_path", points_json(data.voltage_path)},
            {"current_path", data.current_structure ? store.ref(data.current_structure)
                                                    : points_json(data.current_path)},
            {"impedance", store.optional_ref(data.impedance)}};
}

// The current path is a vertex list or a planar structure (without holes).
ElectricalData electrical_value(const json& value, StoreReader& store, uint32_t num_modes) {
    ElectricalData data;
    data.voltage_path = points_value(field(value, "voltage_path"), "voltage_path");
    const json& current = field(value, "current_path");
    if (current.is_array()) {
        data.current_path = points_value(current, "current_path");
    } else if ((data.current_structure = structure_ref(current, store, false))) {
        ErrorHandler status;
        const bool holes = !data.current_structure->to_polygon(status).holes().empty();
        if (status.failed() || holes) invalid("current_path");
    }
    data.impedance = store.ref_as<Interpolator>(field(value, "impedance"), TypeCode::Interpolator,
                                                "Interpolator", false);
    const size_t values = data.impedance ? data.impedance->variables().size() : 1;
    if (values != 1 && values != num_modes) invalid("impedance");
    return data;
}

json profile_json(const std::string& name, const PathProfile& profile) {
    return {{"name", bytes_json(name)},
            {"width", profile.width},
            {"offset", profile.offset},
            {"layer", layer_json(profile.layer)}};
}

void port_spec_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& spec = static_cast<const PortSpec&>(object);
    form["description"] = bytes_json(spec.description());
    form["width"] = spec.width();
    form["limits"] = vector_json({spec.limits()[0], spec.limits()[1]});
    form["default_radius"] = spec.default_radius();
    form["num_modes"] = spec.num_modes();
    form["added_solver_modes"] = spec.added_solver_modes();
    form["polarization"] = spec.polarization();
    form["target_neff"] = optional_json(spec.target_neff());
    json profiles = json::array();
    for (const auto& [name, profile] : spec.path_profiles()) profiles.push_back(profile_json(name, profile));
    form["path_profiles"] = std::move(profiles);
    form["electrical_data"] = spec.electrical() ? electrical_json(*spec.electrical(), store) : json(nullptr);
}

std::shared_ptr<BaseType> port_spec_from_json(const json& form, StoreReader& store) {
    const Coord width = coord_field(form, "width");
    if (width <= 0) invalid("width");
    auto spec = std::make_shared<PortSpec>(text_field(form, "description"), width, pair_field(form, "limits"));
    spec->set_default_radius(nonnegative_coord_field(form, "default_radius"));
    spec->set_num_modes(count_field(form, "num_modes", 1));
    spec->set_added_solver_modes(count_field(form, "added_solver_modes", 0));
    spec->set_polarization(polarization_field(form));
    spec->set_target_neff(optional_number_field(form, "target_neff"));
    std::map<std::string, PathProfile> profiles;
    for (const json& item : array_field(form, "path_profiles")) {
        PathProfile profile{coord_field(item, "width"), coord_field(item, "offset"),
                            layer_value(field(item, "layer"), "layer")};
        if (profile.width <= 0 || !profiles.emplace(text_field(item, "name"), profile).second)
            invalid("path_profiles");
    }
    spec->set_path_profiles(std::move(profiles));
    if (const json& electrical = field(form, "electrical_data"); !electrical.is_null())
        spec->set_electrical(electrical_value(electrical, store, spec->num_modes()));
    return spec;
}

// ---- Port ---------------------------------------------------------------------------------

void port_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& port = static_cast<const Port&>(object);
    form["center"] = vector_json(port.center());
    form["input_direction"] = port.input_direction();
    form["bend_radius"] = port.bend_radius();
    form["spec"] = store.ref(port.spec());
    form["extended"] = port.extended();
    form["inverted"] = port.inverted();
}

std::shared_ptr<BaseType> port_from_json(const json& form, StoreReader& store) {
    return std::make_shared<Port>(
        point_value(field(form, "center"), "center"), finite_field(form, "input_direction"),
        store.ref_as<PortSpec>(field(form, "spec"), TypeCode::PortSpec, "PortSpec"),
        bool_field(form, "extended"), bool_field(form, "inverted"), coord_field(form, "bend_radius"));
}

// ---- GaussianPort and FiberPort: the place, and the mode tagged by its kind ----------------

constexpr const char* kModeMessage = "Unexpected port mode type: invalid or currupted file.";

json gaussian_json(const GaussianMode& mode) {
    return {{"mode_type", "gaussian"},
            {"waist_radius", mode.waist_radius},
            {"waist_position", mode.waist_position},
            {"polarization_angle", mode.polarization_angle},
            {"field_tolerance", mode.field_tolerance}};
}

std::shared_ptr<PortMode> gaussian_value(const json& form, StoreReader&) {
    const Coord radius = coord_field(form, "waist_radius");
    const double tolerance = finite_field(form, "field_tolerance");
    if (radius <= 0) invalid("waist_radius");
    if (!(tolerance > 0 && tolerance < 1)) invalid("field_tolerance");
    return std::make_shared<GaussianMode>(radius, coord_field(form, "waist_position"),
                                          finite_field(form, "polarization_angle"), tolerance);
}

json fiber_json(const FiberMode& mode, StoreWriter& store) {
    json cross_section = json::array();
    for (const auto& [structure, medium] : mode.cross_section)
        cross_section.push_back({{"structure", store.ref(structure)}, {"media", media_json(medium, store)}});
    return {{"mode_type", "fiber"},
            {"size", vector_json({mode.size[0], mode.size[1]})},
            {"extrusion_limits", vector_json({mode.extrusion_limits[0], mode.extrusion_limits[1]})},
            {"cross_section", std::move(cross_section)},
            {"num_modes", mode.modes},
            {"added_solver_modes", mode.added_modes},
            {"polarization", mode.polarization},
            {"target_neff", optional_json(mode.target_neff)}};
}

std::shared_ptr<PortMode> fiber_value(const json& form, StoreReader& store) {
    const auto size = pair_field(form, "size");
    const auto limits = pair_field(form, "extrusion_limits");
    if (size[0] <= 0 || size[1] <= 0) invalid("size");
    if (limits[0] >= 0 || limits[1] <= 0) invalid("extrusion_limits");
    auto mode = std::make_shared<FiberMode>(size, limits);
    for (const json& item : array_field(form, "cross_section"))
        mode->cross_section.emplace_back(structure_ref(field(item, "structure"), store, true),
                                         media_field(item, "media", store));
    mode->modes = count_field(form, "num_modes", 1);
    mode->added_modes = count_field(form, "added_solver_modes", 0);
    mode->polarization = polarization_field(form);
    mode->target_neff = optional_number_field(form, "target_neff");
    return mode;
}

void port3d_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& port = static_cast<const Port3D&>(object);
    form["center"] = port.center();
    form["input_vector"] = port.input_vector();
    const PortMode& mode = *port.mode();
    form["mode"] = mode.kind() == PortMode::Kind::Gaussian
                       ? gaussian_json(static_cast<const GaussianMode&>(mode))
                       : fiber_json(static_cast<const FiberMode&>(mode), store);
}

// The record type fixes the kind of mode.
template <PortMode::Kind kind>
std::shared_ptr<BaseType> port3d_from_json(const json& form, StoreReader& store) {
    const json& center = field(form, "center");
    const json& vector = field(form, "input_vector");
    if (!center.is_array() || center.size() != 3) invalid("center");
    if (!vector.is_array() || vector.size() != 3) invalid("input_vector");
    Point3 point;
    Vector3 direction;
    for (size_t i = 0; i < 3; ++i) {
        point[i] = coord_value(center[i], "center");
        if (!vector[i].is_number() || !std::isfinite(vector[i].get<double>())) invalid("input_vector");
        direction[i] = vector[i].get<double>();
    }
    if (std::hypot(direction[0], direction[1], direction[2]) < Port3D::kMinLength) invalid("input_vector");
    const json& mode = object_field(form, "mode");
    const char* name = kind == PortMode::Kind::Gaussian ? "gaussian" : "fiber";
    if (field(mode, "mode_type") != name) throw StoreError(kModeMessage);
    return std::make_shared<Port3D>(point, direction,
                                    kind == PortMode::Kind::Gaussian ? gaussian_value(mode, store)
                                                                     : fiber_value(mode, store));
}

// ---- Terminal -----------------------------------------------------------------------------

void terminal_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& terminal = static_cast<const Terminal&>(object);
    form["routing_layer"] = layer_json(terminal.routing_layer());
    form["structure"] = store.ref(terminal.structure());
}

std::shared_ptr<BaseType> terminal_from_json(const json& form, StoreReader& store) {
    return std::make_shared<Terminal>(layer_value(field(form, "routing_layer"), "routing_layer"),
                                      structure_ref(field(form, "structure"), store, true));
}

// ---- LayerSpec ----------------------------------------------------------------------------

void layer_spec_to_json(const BaseType& object, json& form, StoreWriter&) {
    const auto& spec = static_cast<const LayerSpec&>(object);
    const Color color = spec.color();
    form["layer"] = layer_json(spec.layer());
    form["description"] = bytes_json(spec.description());
    form["color"] = json::array({color.r, color.g, color.b, color.a});
    form["pattern"] = LayerSpec::pattern_name(spec.pattern());
    form["conductive"] = spec.conductive();
    form["device_marker"] = spec.device_marker();
    form["min_width"] = optional_json(spec.min_width());
    form["min_spacing"] = optional_json(spec.min_spacing());
}

Color color_field(const json& form) {
    const json& value = field(form, "color");
    if (!value.is_array() || value.size() != 4) invalid("color");
    uint8_t channels[4];
    for (size_t i = 0; i < 4; ++i) {
        if (!within(value[i], 255)) invalid("color");
        channels[i] = value[i].get<uint8_t>();
    }
    return {channels[0], channels[1], channels[2], channels[3]};
}

std::shared_ptr<BaseType> layer_spec_from_json(const json& form, StoreReader&) {
    const int pattern = LayerSpec::pattern_index(string_field(form, "pattern"));
    if (pattern < 0) invalid("pattern");
    auto spec = std::make_shared<LayerSpec>(layer_value(field(form, "layer"), "layer"),
                                            text_field(form, "description"), color_field(form), pattern);
    spec->set_conductive(bool_field(form, "conductive"));
    spec->set_device_marker(bool_field(form, "device_marker"));
    spec->set_min_width(optional_length_field(form, "min_width"));
    spec->set_min_spacing(optional_length_field(form, "min_spacing"));
    return spec;
}

// ---- MaskSpec: operands are held by value, so they nest inside the form --------------------

void mask_fields(const MaskSpec& mask, json& form) {
    auto operands = [](const std::vector<MaskSpec>& masks) {
        json list = json::array();
        for (const MaskSpec& operand : masks) {
            json nested = json::object();
            mask_fields(operand, nested);
            list.push_back(std::move(nested));
        }
        return list;
    };
    form["mask_type"] = mask.layer() ? "layer" : "operation";
    form["layer"] = mask.layer() ? layer_json(*mask.layer()) : json(nullptr);
    form["operation"] = std::string(1, operation_symbol(mask.operation()));
    form["operands0"] = operands(mask.operand1());
    form["operands1"] = operands(mask.operand2());
    form["dilation"] = mask.dilation();
    form["translation"] = vector_json(mask.translation());
}

void mask_spec_to_json(const BaseType& object, json& form, StoreWriter&) {
    mask_fields(static_cast<const MaskSpec&>(object), form);
}

constexpr const char* kMaskTypeMessage = "Unexpected MaskSpec type: invalid or corrupted file.";

MaskSpec mask_value(const json& form, size_t depth);

// A leaf or a combination of the nested operands, by the form's kind.
MaskSpec mask_shape(const json& form, size_t depth, MaskOperation operation) {
    auto operands = [&](const char* key) {
        std::vector<MaskSpec> masks;
        for (const json& item : array_field(form, key)) masks.push_back(mask_value(item, depth + 1));
        return masks;
    };
    const json& kind = field(form, "mask_type");
    if (kind == "operation") return MaskSpec(operands("operands0"), operands("operands1"), operation);
    if (kind != "layer" || !array_field(form, "operands0").empty() || !array_field(form, "operands1").empty())
        throw StoreError(kMaskTypeMessage);
    MaskSpec leaf(layer_value(field(form, "layer"), "layer"));
    leaf.set_operation(operation);
    return leaf;
}

MaskSpec mask_value(const json& form, size_t depth) {
    if (!form.is_object() || depth > MaskSpec::kMaxDepth) throw StoreError(kMaskTypeMessage);
    const json& symbol = field(form, "operation");
    const auto operation = symbol.is_string() && symbol.get_ref<const std::string&>().size() == 1
                               ? operation_from_symbol(symbol.get_ref<const std::string&>()[0])
                               : std::nullopt;
    if (!operation) throw StoreError("Unexpected MaskSpec operation: invalid or corrupted file.");
    MaskSpec mask = mask_shape(form, depth, *operation);
    mask.set_dilation(coord_field(form, "dilation"));
    mask.set_translation(point_value(field(form, "translation"), "translation"));
    return mask;
}

std::shared_ptr<BaseType> mask_spec_from_json(const json& form, StoreReader&) {
    return std::make_shared<MaskSpec>(mask_value(form, 1));
}

// The twf payload writes the tree itself, since masks nest deeper than twf trees may: a kind
// byte (0 leaf, 1 combination), the layer or the two operand lists (count, then the masks), the
// operation, the dilation and the translation.
void write_mask(const MaskSpec& mask, TwfPayloadWriter& out) {
    out.byte(mask.layer() ? 0 : 1);
    if (mask.layer()) {
        out.count(mask.layer()->layer);
        out.count(mask.layer()->datatype);
    } else {
        for (const std::vector<MaskSpec>* operands : {&mask.operand1(), &mask.operand2()}) {
            out.count(operands->size());
            for (const MaskSpec& operand : *operands) write_mask(operand, out);
        }
    }
    out.byte(uint8_t(mask.operation()));
    out.signed_value(mask.dilation());
    out.signed_value(mask.translation().x);
    out.signed_value(mask.translation().y);
}

void mask_spec_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    write_mask(static_cast<const MaskSpec&>(object), out);
}

MaskSpec read_mask(TwfPayloadReader& in, size_t depth);

MaskSpec read_mask_shape(TwfPayloadReader& in, size_t depth) {
    auto layer_number = [&] {
        const uint64_t value = in.count();
        if (value > std::numeric_limits<uint32_t>::max()) in.fail();
        return uint32_t(value);
    };
    auto operands = [&] {
        std::vector<MaskSpec> masks;
        for (size_t n = in.items(7); n > 0; --n) masks.push_back(read_mask(in, depth + 1));
        return masks;
    };
    switch (in.byte()) {
        case 0: return MaskSpec(Layer{layer_number(), layer_number()});
        case 1: {
            std::vector<MaskSpec> first = operands();
            return MaskSpec(std::move(first), operands(), MaskOperation::Union);
        }
        default: throw StoreError(kMaskTypeMessage);
    }
}

MaskSpec read_mask(TwfPayloadReader& in, size_t depth) {
    if (depth > MaskSpec::kMaxDepth) throw StoreError(kMaskTypeMessage);
    MaskSpec mask = read_mask_shape(in, depth);
    const uint8_t operation = in.byte();
    if (operation > uint8_t(MaskOperation::SymmetricDifference))
        throw StoreError("Unexpected MaskSpec operation: invalid or corrupted file.");
    mask.set_operation(MaskOperation(operation));
    const Coord dilation = in.signed_value();
    const Vector translation{in.signed_value(), in.signed_value()};
    if (!in_range(dilation) || !in_range(translation.x) || !in_range(translation.y)) in.fail();
    mask.set_dilation(dilation);
    mask.set_translation(translation);
    return mask;
}

std::shared_ptr<BaseType> mask_spec_from_twf(TwfPayloadReader& in) {
    return std::make_shared<MaskSpec>(read_mask(in, 1));
}

// ---- ExtrusionSpec ------------------------------------------------------------------------

void extrusion_spec_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& spec = static_cast<const ExtrusionSpec&>(object);
    form["mask_spec"] = store.ref(spec.mask_spec());
    form["media"] = media_json(spec.medium(), store);
    form["limits"] = vector_json({spec.limits()[0], spec.limits()[1]});
    form["sidewall_angle"] = spec.sidewall_angle();
    form["reference"] = spec.reference();
}

std::shared_ptr<BaseType> extrusion_spec_from_json(const json& form, StoreReader& store) {
    const auto limits = pair_field(form, "limits");
    if (limits[0] >= limits[1])
        throw StoreError("Inconsistent extrusion limits: 'limits[0]' must be less than 'limits[1]'.");
    return std::make_shared<ExtrusionSpec>(
        store.ref_as<MaskSpec>(field(form, "mask_spec"), TypeCode::MaskSpec, "MaskSpec"),
        media_field(form, "media", store), limits, finite_field(form, "sidewall_angle"),
        coord_field(form, "reference"));
}

// ---- Technology ---------------------------------------------------------------------------

template <class Spec>
json named_refs(const std::map<std::string, std::shared_ptr<Spec>>& specs, StoreWriter& store) {
    json list = json::array();
    for (const auto& [name, spec] : specs) list.push_back(json::array({bytes_json(name), store.ref(spec)}));
    return list;
}

// [[name, reference], ...] with distinct names.
template <class Spec>
std::map<std::string, std::shared_ptr<Spec>> named_refs_field(const json& form, const char* key,
                                                              TypeCode type, StoreReader& store) {
    std::map<std::string, std::shared_ptr<Spec>> specs;
    for (const json& item : array_field(form, key)) {
        if (!item.is_array() || item.size() != 2) invalid(key);
        auto spec = store.ref_as<Spec>(item[1], type, type_name(int(type)));
        if (!specs.emplace(bytes_value(item[0], key), std::move(spec)).second) invalid(key);
    }
    return specs;
}

json holder_json(const std::shared_ptr<BaseType>& holder, StoreWriter& store) {
    return holder ? value_codec().to_json(*holder, store) : json(nullptr);
}

std::shared_ptr<BaseType> holder_value(const json& value, StoreReader& store) {
    if (value.is_null()) return nullptr;
    return value_codec().from_json(value, store, *config().prototypes[Config::kNative]);
}

// The registered function's name with its keyword arguments and random variables; null for a
// technology that is not parametric.
json parametric_json(const Technology& technology, StoreWriter& store) {
    if (technology.parametric_function.empty() && !technology.parametric_kwargs &&
        !technology.random_variables)
        return nullptr;
    return {{"function", bytes_json(technology.parametric_function)},
            {"kwargs", holder_json(technology.parametric_kwargs, store)},
            {"random_variables", holder_json(technology.random_variables, store)}};
}

void parametric_value(const json& value, Technology& technology, StoreReader& store) {
    if (value.is_null()) return;
    technology.parametric_function = text_field(value, "function");
    technology.parametric_kwargs = holder_value(field(value, "kwargs"), store);
    technology.random_variables = holder_value(field(value, "random_variables"), store);
}

void technology_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& technology = static_cast<const Technology&>(object);
    form["name"] = bytes_json(technology.name);
    form["version"] = bytes_json(technology.version);
    form["layers"] = named_refs(technology.layers, store);
    json extrusion_specs = json::array();
    for (const auto& spec : technology.extrusion_specs) extrusion_specs.push_back(store.ref(spec));
    form["extrusion_specs"] = std::move(extrusion_specs);
    form["ports"] = named_refs(technology.ports, store);
    json connections = json::array();
    for (const auto& [a, b] : technology.connected_layers)
        connections.push_back(json::array({layer_json(a), layer_json(b)}));
    form["connected_layers"] = std::move(connections);
    form["background_media"] = media_json(technology.background_medium, store);
    form["parametric_data"] = parametric_json(technology, store);
}

std::shared_ptr<BaseType> technology_from_json(const json& form, StoreReader& store) {
    auto technology = std::make_shared<Technology>();
    technology->name = text_field(form, "name");
    technology->version = text_field(form, "version");
    technology->layers = named_refs_field<LayerSpec>(form, "layers", TypeCode::LayerSpec, store);
    for (const json& item : array_field(form, "extrusion_specs"))
        technology->extrusion_specs.push_back(
            store.ref_as<ExtrusionSpec>(item, TypeCode::ExtrusionSpec, "ExtrusionSpec"));
    technology->ports = named_refs_field<PortSpec>(form, "ports", TypeCode::PortSpec, store);
    for (const json& pair : array_field(form, "connected_layers")) {
        if (!pair.is_array() || pair.size() != 2) invalid("connected_layers");
        const Layer a = layer_value(pair[0], "connected_layers");
        const Layer b = layer_value(pair[1], "connected_layers");
        if (a == b) throw StoreError("A layer connection cannot name the same layer twice.");
        technology->connected_layers.emplace(std::min(a, b), std::max(a, b));
    }
    technology->background_medium = media_field(form, "background_media", store);
    parametric_value(field(form, "parametric_data"), *technology, store);
    return technology;
}

// Class invariants that the core constructors check themselves (coordinate range, snapping)
// surface as store errors.
template <std::shared_ptr<BaseType> (*read)(const json&, StoreReader&)>
std::shared_ptr<BaseType> checked(const json& form, StoreReader& store) {
    try {
        return read(form, store);
    } catch (const std::logic_error& error) {
        throw StoreError(error.what());
    }
}

}  // namespace

void add_model_codecs(CodecTable& table) {
    auto add = [&](TypeCode code, uint8_t version, auto to_json, auto from_json) {
        table[size_t(code)] = {version, to_json, from_json, nullptr, nullptr};
    };
    add(TypeCode::LayerSpec, 2, layer_spec_to_json, checked<layer_spec_from_json>);
    table[size_t(TypeCode::MaskSpec)] = {0, mask_spec_to_json, mask_spec_from_json, mask_spec_to_twf,
                                         mask_spec_from_twf};
    add(TypeCode::ExtrusionSpec, 0, extrusion_spec_to_json, checked<extrusion_spec_from_json>);
    add(TypeCode::PortSpec, 0, port_spec_to_json, checked<port_spec_from_json>);
    add(TypeCode::Technology, 0, technology_to_json, checked<technology_from_json>);
    add(TypeCode::Port, 0, port_to_json, checked<port_from_json>);
    add(TypeCode::FiberPort, 0, port3d_to_json, checked<port3d_from_json<PortMode::Kind::Fiber>>);
    add(TypeCode::GaussianPort, 0, port3d_to_json, checked<port3d_from_json<PortMode::Kind::Gaussian>>);
    add(TypeCode::Terminal, 0, terminal_to_json, checked<terminal_from_json>);
}

}  // namespace whistle
