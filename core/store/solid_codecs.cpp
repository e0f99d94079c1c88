// Stored forms of the solids. A polyhedron's mesh has a dedicated twf payload of integers; the
// extruded and constructive solids are small records stored as their JSON forms.
#include <limits>
#include <optional>

#include "core/solid/constructive_solid.hpp"
#include "core/solid/extruded.hpp"
#include "core/solid/polyhedron.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

[[noreturn]] void invalid(const char* key) {
    throw StoreError(std::string("Invalid value for key '") + key + "'.");
}

// A pair of lengths within the coordinate range every solid keeps to.
std::array<Coord, 2> length_pair(const json& form, const char* key) {
    const Vector pair = vector_field(form, key);
    if (!in_range(pair.x) || !in_range(pair.y)) invalid(key);
    return {pair.x, pair.y};
}

std::shared_ptr<BaseType> load_medium(StoreReader& store, const json& form) {
    return store.ref(field(form, "medium"), {TypeCode::Medium}, "Medium", false);
}

std::shared_ptr<Structure3D> load_solid(StoreReader& store, const json& value) {
    return std::static_pointer_cast<Structure3D>(store.ref(
        value, {TypeCode::Polyhedron, TypeCode::Extruded, TypeCode::ConstructiveSolid}, "3D structure"));
}

// ---- Extruded ---------------------------------------------------------------------------

void extruded_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& solid = static_cast<const Extruded&>(object);
    form["face"] = store.ref(solid.face());
    form["limits"] = vector_json({solid.limits()[0], solid.limits()[1]});
    form["dilations"] = vector_json({solid.dilations()[0], solid.dilations()[1]});
    form["axis"] = axis_name(solid.axis());
    form["medium"] = store.optional_ref(solid.medium());
}

std::shared_ptr<BaseType> extruded_from_json(const json& form, StoreReader& store) {
    auto face = std::static_pointer_cast<Structure>(
        store.ref(field(form, "face"),
                  {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path}, "planar structure"));
    const std::array<Coord, 2> limits = length_pair(form, "limits");
    if (limits[0] > limits[1])
        throw StoreError("Inconsistent extrusion limits: 'limits[0]' must not exceed 'limits[1]'.");
    const std::array<Coord, 2> dilations = length_pair(form, "dilations");
    const std::string axis = string_field(form, "axis");
    if (axis.size() != 1 || axis[0] < 'x' || axis[0] > 'z') invalid("axis");
    return std::make_shared<Extruded>(load_medium(store, form), std::move(face), limits, dilations,
                                      axis[0] - 'x');
}

// ---- Polyhedron: vertices as [x, y, z] and triangles as [i, j, k]; the loaded mesh must be
// closed and non-overlapping like every constructed one.

std::shared_ptr<BaseType> polyhedron(std::shared_ptr<BaseType> medium, std::vector<MeshVertex> vertices,
                                     std::vector<Triangle> triangles) {
    for (const MeshVertex& v : vertices)
        if (!in_range(v.x) || !in_range(v.y) || !in_range(v.z)) invalid("vertices");
    if (!is_closed_mesh(vertices, triangles))
        throw StoreError("Polyhedron is invalid. Make sure the mesh is closed and non-overlapping.");
    return std::make_shared<Polyhedron>(std::move(medium), std::move(vertices), std::move(triangles));
}

void polyhedron_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& solid = static_cast<const Polyhedron&>(object);
    json vertices = json::array(), triangles = json::array();
    for (const MeshVertex& v : solid.vertices()) vertices.push_back(json::array({v.x, v.y, v.z}));
    for (const Triangle& t : solid.triangles()) triangles.push_back(json::array({t[0], t[1], t[2]}));
    form["vertices"] = std::move(vertices);
    form["triangles"] = std::move(triangles);
    form["medium"] = store.optional_ref(solid.medium());
}

// Three integers that fit `T`.
template <class T>
std::array<T, 3> triple(const json& value, const char* key) {
    if (!value.is_array() || value.size() != 3) invalid(key);
    std::array<T, 3> result;
    for (size_t i = 0; i < 3; ++i) {
        if (!value[i].is_number_integer()) invalid(key);
        const int64_t item = value[i].get<int64_t>();
        if (value[i].is_number_unsigned() ? value[i].get<uint64_t>() > uint64_t(std::numeric_limits<T>::max())
                                          : item < int64_t(std::numeric_limits<T>::min()))
            invalid(key);
        result[i] = T(item);
    }
    return result;
}

std::shared_ptr<BaseType> polyhedron_from_json(const json& form, StoreReader& store) {
    std::vector<MeshVertex> vertices;
    for (const json& value : array_field(form, "vertices")) {
        const auto v = triple<Coord>(value, "vertices");
        vertices.push_back({v[0], v[1], v[2]});
    }
    std::vector<Triangle> triangles;
    for (const json& value : array_field(form, "triangles")) triangles.push_back(triple<uint32_t>(value, "triangles"));
    return polyhedron(load_medium(store, form), std::move(vertices), std::move(triangles));
}

// Medium location, then the vertices as signed integers and the triangles as counts.
void polyhedron_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& solid = static_cast<const Polyhedron&>(object);
    out.ref(solid.medium());
    out.count(solid.vertices().size());
    for (const MeshVertex& v : solid.vertices()) {
        out.signed_value(v.x);
        out.signed_value(v.y);
        out.signed_value(v.z);
    }
    out.count(solid.triangles().size());
    for (const Triangle& t : solid.triangles())
        for (uint32_t index : t) out.count(index);
}

std::shared_ptr<BaseType> polyhedron_from_twf(TwfPayloadReader& in) {
    auto medium = in.ref({TypeCode::Medium}, "Medium", false);
    std::vector<MeshVertex> vertices(in.items(3));
    for (MeshVertex& v : vertices) v = {in.signed_value(), in.signed_value(), in.signed_value()};
    std::vector<Triangle> triangles(in.items(3));
    for (Triangle& t : triangles) {
        for (uint32_t& index : t) {
            const uint64_t value = in.count();
            if (value > std::numeric_limits<uint32_t>::max()) in.fail();
            index = uint32_t(value);
        }
    }
    return polyhedron(std::move(medium), std::move(vertices), std::move(triangles));
}

// ---- ConstructiveSolid ------------------------------------------------------------------

json solids_json(const Solids& solids, StoreWriter& store) {
    json result = json::array();
    for (const auto& solid : solids) result.push_back(store.ref(solid));
    return result;
}

Solids solids_field(const json& form, const char* key, StoreReader& store) {
    Solids result;
    for (const json& value : array_field(form, key)) result.push_back(load_solid(store, value));
    return result;
}

void constructive_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& solid = static_cast<const ConstructiveSolid&>(object);
    form["operation"] = std::string(1, operation_symbol(solid.operation()));
    form["operand1"] = solids_json(solid.operand1(), store);
    form["operand2"] = solids_json(solid.operand2(), store);
    form["medium"] = store.optional_ref(solid.medium());
}

std::shared_ptr<BaseType> constructive_from_json(const json& form, StoreReader& store) {
    const std::optional<SolidOperation> operation = operation_from_symbol(string_field(form, "operation"));
    if (!operation) invalid("operation");
    Solids operand1 = solids_field(form, "operand1", store), operand2 = solids_field(form, "operand2", store);
    if (operand1.empty() && operand2.empty()) throw StoreError("ConstructiveSolid requires at least 1 operand.");
    return std::make_shared<ConstructiveSolid>(std::move(operand1), std::move(operand2), *operation,
                                               load_medium(store, form));
}

}  // namespace

void add_solid_codecs(CodecTable& table) {
    table[size_t(TypeCode::Polyhedron)] = {0, polyhedron_to_json, polyhedron_from_json, polyhedron_to_twf,
                                           polyhedron_from_twf};
    table[size_t(TypeCode::Extruded)] = {0, extruded_to_json, extruded_from_json};
    table[size_t(TypeCode::ConstructiveSolid)] = {0, constructive_to_json, constructive_from_json};
}

}  // namespace whistle
