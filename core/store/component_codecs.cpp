// Stored forms of components and references.
#include <cmath>
#include <unordered_map>

#include "core/foundation/config.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/model/component.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

constexpr const char* kBadPlacement = "Invalid reference placement: invalid or corrupted file.";
constexpr const char* kBadNet = "Invalid virtual net: invalid or corrupted file.";
constexpr const char* kWriteUpdates = "Error serializing reference update kwargs.";
constexpr const char* kReadUpdates = "Error parsing reference's update kwargs.";
constexpr const char* kWriteParametric = "Error serializing component parametric data.";
constexpr const char* kReadParametric = "Error parsing component parametric data.";

// ---- Interpreter-backed holders ----------------------------------------------------------

// The value codec's failures are reported with the field's own message; errors the
// interpreter raised go through as they are.
template <class F>
auto value_step(const char* message, F&& step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const InterpreterError&) {
        throw;
    } catch (const std::exception&) {
        throw StoreError(message);
    }
}

const BaseType& prototype(Config::Prototype slot, const char* message) {
    const std::shared_ptr<BaseType>& holder = config().prototypes[slot];
    if (!holder) throw StoreError(message);
    return *holder;
}

json holder_to_json(const std::shared_ptr<BaseType>& holder, StoreWriter& store, const char* message) {
    if (!holder) return nullptr;
    return value_step(message, [&] { return value_codec().to_json(*holder, store); });
}

std::shared_ptr<BaseType> holder_from_json(const json& value, StoreReader& store, Config::Prototype slot,
                                           const char* message) {
    if (value.is_null()) return nullptr;
    return value_step(message,
                      [&] { return value_codec().from_json(value, store, prototype(slot, message)); });
}

void holder_to_twf(const BaseType& holder, TwfPayloadWriter& out, const char* message) {
    value_step(message, [&] { value_codec().to_twf(holder, out); });
}

std::shared_ptr<BaseType> holder_from_twf(TwfPayloadReader& in, Config::Prototype slot, const char* message) {
    return value_step(message, [&] { return value_codec().from_twf(in, prototype(slot, message)); });
}

// ---- Shared validation -------------------------------------------------------------------

// A reference whose placement the core can work with: coordinates within range, finite angle
// and scale.
std::shared_ptr<Reference> checked_reference(std::shared_ptr<Component> component, const Vector& origin,
                                             double rotation, double scaling, bool x_reflection,
                                             const Repetition& repetition) {
    if (!in_range(origin) || !in_range(repetition.spacing) || !std::isfinite(rotation) ||
        !std::isfinite(scaling))
        throw StoreError(kBadPlacement);
    return std::make_shared<Reference>(std::move(component), origin, rotation, scaling, x_reflection,
                                       repetition);
}

uint32_t checked_u32(uint64_t value, const char* message) {
    if (value > UINT32_MAX) throw StoreError(message);
    return uint32_t(value);
}

// Adds a port by its kind; a name may be used once among the 2D and 3D ports.
void add_port(Component& c, std::string name, const std::shared_ptr<BaseType>& port, const char* message) {
    if (c.ports.contains(name) || c.ports3d.contains(name)) throw StoreError(message);
    if (port->type_code() == TypeCode::Port)
        c.ports.emplace(std::move(name), std::static_pointer_cast<Port>(port));
    else
        c.ports3d.emplace(std::move(name), std::static_pointer_cast<Port3D>(port));
}

// Nets join at least two members (members name references by their index, so they always name
// references the component holds).
void check_nets(const Component& c) {
    for (const auto& net : c.virtual_nets)
        if (net.size() < 2) throw StoreError(kBadNet);
}

// Index of every reference in the component's list (its first place).
using ReferenceIndices = std::unordered_map<const Reference*, size_t>;

ReferenceIndices reference_indices(const Component& c) {
    ReferenceIndices indices;
    for (size_t i = 0; i < c.references.size(); ++i) indices.emplace(c.references[i].get(), i);
    return indices;
}

// Net members always name references the component holds (removing a reference drops them).
size_t net_reference_index(const ReferenceIndices& indices, const Reference* reference) {
    auto found = indices.find(reference);
    if (found == indices.end())
        throw StoreError("A virtual net names a reference missing from its component.");
    return found->second;
}

// ---- Reference: a flags byte, the component, then the fields whose flags are set ---------

enum ReferenceFlag : uint8_t {
    kOrigin = 1, kRotation = 2, kMagnification = 4, kReflection = 8, kArray = 16, kUpdates = 32,
};
constexpr uint8_t kReferenceFlags = 63;

void reference_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& r = static_cast<const Reference&>(object);
    const Repetition& repetition = r.repetition();
    uint8_t flags = 0;
    if (r.origin() != Vector{}) flags |= kOrigin;
    if (r.rotation() != 0) flags |= kRotation;
    if (r.scaling() != 1) flags |= kMagnification;
    if (r.x_reflection()) flags |= kReflection;
    if (!(repetition == Repetition{})) flags |= kArray;
    if (r.update_kwargs()) flags |= kUpdates;
    out.byte(flags);
    out.ref(r.component());
    if (flags & kOrigin) {
        out.signed_value(r.origin().x);
        out.signed_value(r.origin().y);
    }
    if (flags & kRotation) out.real(r.rotation());
    if (flags & kMagnification) out.real(r.scaling());
    if (flags & kArray) {
        out.count(repetition.columns);
        out.count(repetition.rows);
        out.signed_value(repetition.spacing.x);
        out.signed_value(repetition.spacing.y);
    }
    if (flags & kUpdates) holder_to_twf(*r.update_kwargs(), out, kWriteUpdates);
}

std::shared_ptr<BaseType> reference_from_twf(TwfPayloadReader& in) {
    const uint8_t flags = in.byte();
    if (flags & ~kReferenceFlags) in.fail();
    auto component = in.ref_as<Component>(TypeCode::Component, "Component");
    Vector origin;
    if (flags & kOrigin) origin = {in.signed_value(), in.signed_value()};
    const double rotation = flags & kRotation ? in.real() : 0.0;
    const double scaling = flags & kMagnification ? in.real() : 1.0;
    Repetition repetition;
    if (flags & kArray) {
        repetition.columns = checked_u32(in.count(), kBadPlacement);
        repetition.rows = checked_u32(in.count(), kBadPlacement);
        repetition.spacing = {in.signed_value(), in.signed_value()};
    }
    auto reference = checked_reference(std::move(component), origin, rotation, scaling,
                                       (flags & kReflection) != 0, repetition);
    if (flags & kUpdates)
        reference->set_update_kwargs(holder_from_twf(in, Config::kUpdateKwargs, kReadUpdates));
    return reference;
}

void reference_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& r = static_cast<const Reference&>(object);
    const Repetition& repetition = r.repetition();
    form["component"] = store.ref(r.component());
    form["origin"] = vector_json(r.origin());
    form["rotation"] = r.rotation();
    form["scaling"] = r.scaling();
    form["x_reflection"] = r.x_reflection();
    form["repetition"] = {{"columns", repetition.columns},
                          {"rows", repetition.rows},
                          {"spacing", vector_json(repetition.spacing)}};
    form["update_kwargs"] = holder_to_json(r.update_kwargs(), store, kWriteUpdates);
}

uint32_t u32_field(const json& form, const char* key) {
    const int64_t value = integer_field(form, key);
    if (value < 0 || value > int64_t(UINT32_MAX))
        throw StoreError(std::string("Invalid value for key '") + key + "'.");
    return uint32_t(value);
}

std::shared_ptr<BaseType> reference_from_json(const json& form, StoreReader& store) {
    auto component = store.ref_as<Component>(field(form, "component"), TypeCode::Component, "Component");
    const json& stored = object_field(form, "repetition");
    Repetition repetition;
    repetition.columns = u32_field(stored, "columns");
    repetition.rows = u32_field(stored, "rows");
    repetition.spacing = vector_field(stored, "spacing");
    auto reference = checked_reference(std::move(component), vector_field(form, "origin"),
                                       number_field(form, "rotation"), number_field(form, "scaling"),
                                       bool_field(form, "x_reflection"), repetition);
    reference->set_update_kwargs(
        holder_from_json(field(form, "update_kwargs"), store, Config::kUpdateKwargs, kReadUpdates));
    return reference;
}

// ---- Component twf payload ----------------------------------------------------------------
// Name, technology, named ports, 3D ports, terminals and models, the two active model names,
// structures and labels by layer, references, virtual connections (endpoints name their
// reference by location), then a flags byte announcing the virtual nets (members name their
// reference by its index in the list, plus one; 0 for the component's own terminal) and the
// parametric data.

enum ComponentFlag : uint8_t { kNets = 1, kParametric = 2 };
constexpr uint8_t kComponentFlags = 3;

template <class Map>
void named_to_twf(const Map& map, TwfPayloadWriter& out) {
    out.count(map.size());
    for (const auto& [name, object] : map) {
        out.string(name);
        out.ref(object);
    }
}

template <class Map>
void layers_to_twf(const Map& map, TwfPayloadWriter& out) {
    out.count(map.size());
    for (const auto& [layer, items] : map) {
        out.count(layer.layer);
        out.count(layer.datatype);
        out.count(items.size());
        for (const auto& item : items) out.ref(item);
    }
}

void endpoint_to_twf(const ConnectionEndpoint& endpoint, TwfPayloadWriter& out) {
    out.ref(endpoint.reference);
    out.string(endpoint.port);
    out.count(endpoint.repetition_index);
}

void member_to_twf(const NetMember& member, const ReferenceIndices& indices,
                   TwfPayloadWriter& out) {
    out.count(member.reference ? net_reference_index(indices, member.reference.get()) + 1 : 0);
    if (const auto* name = std::get_if<std::string>(&member.terminal)) {
        out.byte(0);
        out.string(*name);
    } else {
        const auto& [port, terminal] = std::get<std::pair<std::string, std::string>>(member.terminal);
        out.byte(1);
        out.string(port);
        out.string(terminal);
    }
    out.count(member.repetition_index);
}

void component_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& c = static_cast<const Component&>(object);
    out.string(c.name);
    out.ref(c.technology);
    named_to_twf(c.ports, out);
    named_to_twf(c.ports3d, out);
    named_to_twf(c.terminals, out);
    named_to_twf(c.models, out);
    out.string(c.active_optical_model);
    out.string(c.active_electrical_model);
    layers_to_twf(c.structures, out);
    layers_to_twf(c.labels, out);
    out.count(c.references.size());
    for (const auto& reference : c.references) out.ref(reference);
    out.count(c.virtual_connections.size());
    for (const auto& [first, second] : c.virtual_connections) {
        endpoint_to_twf(first, out);
        endpoint_to_twf(second, out);
    }
    const uint8_t flags = (c.virtual_nets.empty() ? 0 : kNets) | (c.parametric_data ? kParametric : 0);
    out.byte(flags);
    if (flags & kNets) {
        const auto indices = reference_indices(c);
        out.count(c.virtual_nets.size());
        for (const auto& net : c.virtual_nets) {
            out.count(net.size());
            for (const NetMember& member : net) member_to_twf(member, indices, out);
        }
    }
    if (flags & kParametric) holder_to_twf(*c.parametric_data, out, kWriteParametric);
}

// Reads name/location entries, handing each to `add`.
template <class Add>
void named_from_twf(TwfPayloadReader& in, std::initializer_list<TypeCode> types, std::string_view kind,
                    Add add) {
    for (size_t n = in.items(2); n > 0; --n) {
        std::string name = in.string();
        add(std::move(name), in.ref(types, kind));
    }
}

template <class T>
void layers_from_twf(TwfPayloadReader& in, std::initializer_list<TypeCode> types, std::string_view kind,
                     std::map<Layer, std::vector<std::shared_ptr<T>>>& map) {
    for (size_t groups = in.items(3); groups > 0; --groups) {
        Layer layer;
        layer.layer = checked_u32(in.count(), "Invalid layer: invalid or corrupted file.");
        layer.datatype = checked_u32(in.count(), "Invalid layer: invalid or corrupted file.");
        auto& items = map[layer];
        for (size_t n = in.items(); n > 0; --n)
            items.push_back(std::static_pointer_cast<T>(in.ref(types, kind)));
    }
}

ConnectionEndpoint endpoint_from_twf(TwfPayloadReader& in) {
    ConnectionEndpoint endpoint;
    endpoint.reference = in.ref_as<Reference>(TypeCode::Reference, "Reference", false);
    endpoint.port = in.string();
    endpoint.repetition_index = in.count();
    return endpoint;
}

NetMember member_from_twf(TwfPayloadReader& in, const Component& c) {
    NetMember member;
    const uint64_t index = in.count();
    if (index > c.references.size()) throw StoreError(kBadNet);
    if (index > 0) member.reference = c.references[index - 1];
    switch (in.byte()) {
        case 0: member.terminal = in.string(); break;
        case 1: {
            std::string port = in.string();
            member.terminal = std::pair{std::move(port), in.string()};
            break;
        }
        default: throw StoreError(kBadNet);
    }
    member.repetition_index = in.count();
    return member;
}

std::shared_ptr<BaseType> component_from_twf(TwfPayloadReader& in) {
    std::string name = in.string();
    auto c = std::make_shared<Component>(std::move(name),
                                         in.ref_as<Technology>(TypeCode::Technology, "Technology"));
    constexpr const char* kDuplicate = "Duplicate port name: invalid or corrupted file.";
    named_from_twf(in, {TypeCode::Port}, "Port",
                   [&](std::string n, auto port) { add_port(*c, std::move(n), port, kDuplicate); });
    named_from_twf(in, {TypeCode::FiberPort, TypeCode::GaussianPort}, "Port3D",
                   [&](std::string n, auto port) { add_port(*c, std::move(n), port, kDuplicate); });
    named_from_twf(in, {TypeCode::Terminal}, "Terminal", [&](std::string n, auto terminal) {
        c->terminals[std::move(n)] = std::static_pointer_cast<Terminal>(terminal);
    });
    named_from_twf(in, {TypeCode::Model}, "Model",
                   [&](std::string n, auto model) { c->models[std::move(n)] = std::move(model); });
    c->active_optical_model = in.string();
    c->active_electrical_model = in.string();
    layers_from_twf(in, {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path},
                    "Structure", c->structures);
    layers_from_twf(in, {TypeCode::Label}, "Label", c->labels);
    for (size_t n = in.items(); n > 0; --n)
        c->references.push_back(in.ref_as<Reference>(TypeCode::Reference, "Reference"));
    for (size_t n = in.items(6); n > 0; --n) {
        ConnectionEndpoint first = endpoint_from_twf(in);
        c->virtual_connections.emplace_back(std::move(first), endpoint_from_twf(in));
    }
    const uint8_t flags = in.byte();
    if (flags & ~kComponentFlags) in.fail();
    if (flags & kNets) {
        for (size_t nets = in.items(); nets > 0; --nets) {
            auto& net = c->virtual_nets.emplace_back();
            for (size_t n = in.items(4); n > 0; --n) net.push_back(member_from_twf(in, *c));
        }
        check_nets(*c);
    }
    if (flags & kParametric)
        c->parametric_data = holder_from_twf(in, Config::kParametricData, kReadParametric);
    return c;
}

// ---- Component JSON form ------------------------------------------------------------------
// Layer groups are {"layer": [layer, datatype], "<items>": [ids]}; ports (2D, then 3D),
// terminals and models map names to ids; virtual connections and net members name their
// reference by its index in "references" (null: the component's own port or terminal).

json layer_json(const Layer& layer) { return json::array({layer.layer, layer.datatype}); }

Layer layer_value(const json& value) {
    if (!value.is_array() || value.size() != 2 || !value[0].is_number_unsigned() ||
        !value[1].is_number_unsigned() || value[0].get<uint64_t>() > UINT32_MAX ||
        value[1].get<uint64_t>() > UINT32_MAX)
        throw StoreError("Invalid value for key 'layer'.");
    return {value[0].get<uint32_t>(), value[1].get<uint32_t>()};
}

template <class Map>
json layers_to_json(const Map& map, const char* items_key, StoreWriter& store) {
    json groups = json::array();
    for (const auto& [layer, items] : map) {
        json ids = json::array();
        for (const auto& item : items) ids.push_back(store.ref(item));
        groups.push_back({{"layer", layer_json(layer)}, {items_key, std::move(ids)}});
    }
    return groups;
}

template <class T>
void layers_from_json(const json& groups, const char* items_key, std::initializer_list<TypeCode> types,
                      std::string_view kind, StoreReader& store,
                      std::map<Layer, std::vector<std::shared_ptr<T>>>& map) {
    for (const json& group : groups) {
        auto& items = map[layer_value(field(group, "layer"))];
        for (const json& id : array_field(group, items_key))
            items.push_back(std::static_pointer_cast<T>(store.ref(id, types, kind)));
    }
}

template <class Map>
void named_to_json(const Map& map, json& names, StoreWriter& store) {
    for (const auto& [name, object] : map) names[name] = store.ref(object);
}

template <class Add>
void named_from_json(const json& names, std::initializer_list<TypeCode> types, std::string_view kind,
                     StoreReader& store, Add add) {
    for (const auto& [name, id] : names.items()) add(name, store.ref(id, types, kind));
}

json reference_index_json(const std::shared_ptr<Reference>& reference,
                          const ReferenceIndices& indices) {
    return reference ? json(net_reference_index(indices, reference.get())) : json(nullptr);
}

std::shared_ptr<Reference> reference_at(const json& value, const Component& c, const char* message) {
    if (value.is_null()) return nullptr;
    if (!value.is_number_unsigned() || value.get<uint64_t>() >= c.references.size())
        throw StoreError(message);
    return c.references[value.get<size_t>()];
}

uint64_t index_field(const json& form, const char* key) {
    const int64_t value = integer_field(form, key);
    if (value < 0) throw StoreError(std::string("Invalid value for key '") + key + "'.");
    return uint64_t(value);
}

json connections_to_json(const Component& c, const ReferenceIndices& indices) {
    json connections = json::array();
    for (const auto& [first, second] : c.virtual_connections) {
        json pair = json::array();
        for (const ConnectionEndpoint* endpoint : {&first, &second}) {
            // Connections to references the component no longer holds are ignored by every
            // use; they have no index to be stored under.
            if (endpoint->reference && !indices.contains(endpoint->reference.get())) break;
            pair.push_back({{"reference", reference_index_json(endpoint->reference, indices)},
                            {"port_name", endpoint->port},
                            {"repetition_index", endpoint->repetition_index}});
        }
        if (pair.size() == 2) connections.push_back(std::move(pair));
    }
    return connections;
}

void connections_from_json(const json& connections, Component& c) {
    constexpr const char* kBad = "Invalid value for key 'virtual_connections'.";
    for (const json& pair : connections) {
        if (!pair.is_array() || pair.size() != 2) throw StoreError(kBad);
        ConnectionEndpoint endpoints[2];
        for (int i = 0; i < 2; ++i) {
            endpoints[i].reference = reference_at(field(pair[i], "reference"), c, kBad);
            endpoints[i].port = string_field(pair[i], "port_name");
            endpoints[i].repetition_index = index_field(pair[i], "repetition_index");
        }
        c.virtual_connections.emplace_back(std::move(endpoints[0]), std::move(endpoints[1]));
    }
}

json nets_to_json(const Component& c, const ReferenceIndices& indices) {
    json nets = json::array();
    for (const auto& net : c.virtual_nets) {
        json members = json::array();
        for (const NetMember& member : net) {
            json terminal;
            if (const auto* name = std::get_if<std::string>(&member.terminal))
                terminal = *name;
            else
                terminal = {std::get<1>(member.terminal).first, std::get<1>(member.terminal).second};
            members.push_back({{"reference", reference_index_json(member.reference, indices)},
                               {"terminal_name", std::move(terminal)},
                               {"repetition_index", member.repetition_index}});
        }
        nets.push_back(std::move(members));
    }
    return nets;
}

void nets_from_json(const json& nets, Component& c) {
    for (const json& members : nets) {
        if (!members.is_array()) throw StoreError(kBadNet);
        auto& net = c.virtual_nets.emplace_back();
        for (const json& entry : members) {
            NetMember member;
            member.reference = reference_at(field(entry, "reference"), c, kBadNet);
            const json& terminal = field(entry, "terminal_name");
            if (terminal.is_string())
                member.terminal = terminal.get<std::string>();
            else if (terminal.is_array() && terminal.size() == 2 && terminal[0].is_string() &&
                     terminal[1].is_string())
                member.terminal = std::pair{terminal[0].get<std::string>(), terminal[1].get<std::string>()};
            else
                throw StoreError("Invalid value for key 'terminal_name'.");
            member.repetition_index = index_field(entry, "repetition_index");
            net.push_back(std::move(member));
        }
    }
    check_nets(c);
}

void component_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& c = static_cast<const Component&>(object);
    form["name"] = c.name;
    form["technology"] = store.ref(c.technology);
    form["active_optical_model_name"] = c.active_optical_model;
    form["active_electrical_model_name"] = c.active_electrical_model;
    json references = json::array();
    for (const auto& reference : c.references) references.push_back(store.ref(reference));
    form["references"] = std::move(references);
    form["structures"] = layers_to_json(c.structures, "structures", store);
    form["labels"] = layers_to_json(c.labels, "labels", store);
    json ports = json::object(), terminals = json::object(), models = json::object();
    named_to_json(c.ports, ports, store);
    named_to_json(c.ports3d, ports, store);
    named_to_json(c.terminals, terminals, store);
    named_to_json(c.models, models, store);
    form["ports"] = std::move(ports);
    form["terminals"] = std::move(terminals);
    form["models"] = std::move(models);
    const auto indices = reference_indices(c);
    form["virtual_connections"] = connections_to_json(c, indices);
    form["virtual_nets"] = nets_to_json(c, indices);
    form["parametric_data"] = holder_to_json(c.parametric_data, store, kWriteParametric);
}

std::shared_ptr<BaseType> component_from_json(const json& form, StoreReader& store) {
    auto c = std::make_shared<Component>(
        string_field(form, "name"),
        store.ref_as<Technology>(field(form, "technology"), TypeCode::Technology, "Technology"));
    c->active_optical_model = string_field(form, "active_optical_model_name");
    c->active_electrical_model = string_field(form, "active_electrical_model_name");
    for (const json& id : array_field(form, "references"))
        c->references.push_back(store.ref_as<Reference>(id, TypeCode::Reference, "Reference"));
    layers_from_json(array_field(form, "structures"), "structures",
                     {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path}, "Structure",
                     store, c->structures);
    layers_from_json(array_field(form, "labels"), "labels", {TypeCode::Label}, "Label", store, c->labels);
    named_from_json(object_field(form, "ports"),
                    {TypeCode::Port, TypeCode::FiberPort, TypeCode::GaussianPort}, "Port", store,
                    [&](const std::string& name, auto port) {
                        add_port(*c, name, port, "Invalid value for key 'ports'.");
                    });
    named_from_json(object_field(form, "terminals"), {TypeCode::Terminal}, "Terminal", store,
                    [&](const std::string& name, auto terminal) {
                        c->terminals[name] = std::static_pointer_cast<Terminal>(terminal);
                    });
    named_from_json(object_field(form, "models"), {TypeCode::Model}, "Model", store,
                    [&](const std::string& name, auto model) { c->models[name] = std::move(model); });
    connections_from_json(array_field(form, "virtual_connections"), *c);
    nets_from_json(array_field(form, "virtual_nets"), *c);
    c->parametric_data =
        holder_from_json(field(form, "parametric_data"), store, Config::kParametricData, kReadParametric);
    return c;
}

}  // namespace

void add_component_codecs(CodecTable& table) {
    table[size_t(TypeCode::Reference)] = {0, reference_to_json, reference_from_json, reference_to_twf,
                                          reference_from_twf};
    table[size_t(TypeCode::Component)] = {1, component_to_json, component_from_json, component_to_twf,
                                          component_from_twf};
}

}  // namespace whistle
