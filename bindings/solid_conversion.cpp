// Solver geometry of the solids. Lengths go to the solver in micrometres.
#include <cmath>

#include "core/foundation/config.hpp"
#include "core/geometry/circle.hpp"
#include "core/geometry/set_operations.hpp"
#include "core/solid/extruded.hpp"
#include "core/solid/polyhedron.hpp"
#include "solid.hpp"

namespace whistle::py {

namespace {

constexpr const char* kExtrudedError =
    "Error converting extruded structure to Fenn3D geometry. You may try changing the default "
    "tolerance.";

// solver_object(name)(**kwargs); steals the kwargs reference.
PyObject* call_solver(const char* name, PyObject* kwargs) {
    Ref owned(kwargs);
    PyObject* callable = solver_object(name);
    Ref empty(PyTuple_New(0));
    if (!owned || !callable || !empty) return nullptr;
    return PyObject_Call(callable, empty.get(), owned.get());
}

// One geometry as itself, several as a group.
PyObject* grouped(Ref* geometries, size_t count) {
    if (count == 1) return Py_NewRef(geometries[0].get());
    Ref list(new_list(count, [&](size_t i) { return Py_NewRef(geometries[i].get()); }));
    if (!list) return nullptr;
    return call_solver("GeometryGroup", Py_BuildValue("{s:O}", "geometries", list.get()));
}

PyObject* grouped(std::vector<Ref>& geometries) {
    return grouped(geometries.data(), geometries.size());
}

// The profile of an extrusion as the solver takes it: offset at the top plane and the angle
// of the sidewall from the vertical (positive where the bottom is wider).
struct Profile {
    double lower, upper;
    double dilation;
    double sidewall_angle;
    int axis;
};

Profile profile(const Extruded& solid) {
    auto [lo, hi] = solid.limits();
    auto [d_lo, d_hi] = solid.dilations();
    double angle = hi == lo ? 0.0 : std::atan(double(d_lo - d_hi) / double(hi - lo));
    return {from_db(lo), from_db(hi), from_db(d_hi), angle, solid.axis()};
}

// A slab over one ring; holes take the opposite offset and angle.
PyObject* poly_slab(const Ring& ring, const Profile& p, double sign) {
    double* data = nullptr;
    Ref vertices(new_float_array(ring.size(), 2, data));
    if (!vertices) return nullptr;
    for (const Vector& v : ring) {
        *data++ = from_db(v.x);
        *data++ = from_db(v.y);
    }
    return call_solver("PolySlab",
                       Py_BuildValue("{s:O,s:(dd),s:d,s:d,s:s,s:i}", "vertices", vertices.get(),
                                     "slab_bounds", p.lower, p.upper, "dilation", sign * p.dilation,
                                     "sidewall_angle", sign * p.sidewall_angle, "reference_plane",
                                     "top", "axis", p.axis));
}

PyObject* polygon_geometry(const Polygon& polygon, const Profile& p) {
    Ref outer(poly_slab(polygon.vertices(), p, 1));
    if (!outer || polygon.holes().empty()) return outer.release();
    std::vector<Ref> holes;
    for (const Ring& hole : polygon.holes()) {
        holes.emplace_back(poly_slab(hole, p, -1));
        if (!holes.back()) break;
    }
    Ref cut(holes.back() ? grouped(holes) : nullptr);
    PyObject* result = cut ? call_solver("ClipOperation",
                                         Py_BuildValue("{s:s,s:O,s:O}", "operation", "difference",
                                                       "geometry_a", outer.get(), "geometry_b",
                                                       cut.get()))
                           : nullptr;
    if (!result) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Error extruding structure with holes.");
    }
    return result;
}

// Full circles and axis-aligned full ellipses without a hole are cylinders.
bool is_cylinder(const Structure& face, Vector& radius) {
    if (face.kind() != StructureKind::Circle) return false;
    const auto& circle = static_cast<const Circle&>(face);
    int quarter_turns = 0;
    if (!circle.is_full() || circle.inner_radius() != Vector{} ||
        !is_quarter_turn(circle.rotation(), quarter_turns))
        return false;
    radius = quarter_turns % 2 ? Vector{circle.radius().y, circle.radius().x} : circle.radius();
    return true;
}

PyObject* cylinder_geometry(const Circle& circle, const Vector& radius, const Profile& p) {
    int a = p.axis, u = (a + 1) % 3, v = (a + 2) % 3;
    double center[3];
    center[a] = (p.lower + p.upper) / 2;
    center[u] = from_db(circle.center().x);
    center[v] = from_db(circle.center().y);
    Ref cylinder(call_solver(
        "Cylinder", Py_BuildValue("{s:(ddd),s:d,s:d,s:d,s:i,s:s}", "center", center[0], center[1],
                                  center[2], "radius", from_db(radius.x) + p.dilation, "length",
                                  p.upper - p.lower, "sidewall_angle", p.sidewall_angle, "axis",
                                  a, "reference_plane", "top")));
    if (!cylinder || radius.x == radius.y) return cylinder.release();
    // An ellipse: the circle of the first radius stretched along the second face axis about
    // the center.
    double scale = double(radius.y) / double(radius.x);
    double* m = nullptr;
    Ref transform(new_float_array(4, 4, m));
    if (!transform) return nullptr;
    for (int i = 0; i < 16; ++i) m[i] = i % 5 == 0 ? 1.0 : 0.0;
    m[5 * v] = scale;
    m[4 * v + 3] = center[v] * (1 - scale);
    return call_solver("Transformed", Py_BuildValue("{s:O,s:O}", "geometry", cylinder.get(),
                                                    "transform", transform.get()));
}

PyObject* extruded_geometry(const Extruded& solid) {
    const std::shared_ptr<Structure>& face = solid.face();
    Profile p = profile(solid);
    Vector radius;
    if (is_cylinder(*face, radius)) return cylinder_geometry(static_cast<const Circle&>(*face), radius, p);
    ErrorHandler status;
    std::vector<Polygon> polygons;
    try {
        Polygon outline = face->to_polygon(status);
        // Paths may overlap themselves: the union makes simple polygons with holes.
        if (status.level != ErrorHandler::kError)
            polygons = boolean({outline}, {}, BooleanOperation::Union);
    }
    WHISTLE_CATCH(nullptr)
    if (polygons.empty()) {
        PyErr_SetString(PyExc_RuntimeError, kExtrudedError);
        return nullptr;
    }
    std::vector<Ref> pieces;
    for (const Polygon& polygon : polygons) {
        pieces.emplace_back(polygon_geometry(polygon, p));
        if (!pieces.back()) return nullptr;
    }
    return grouped(pieces);
}

// Older trimesh releases have remove_degenerate_faces; newer ones keep faces by a mask.
bool remove_degenerate_faces(PyObject* mesh, double tolerance) {
    if (PyObject_HasAttrString(mesh, "remove_degenerate_faces")) {
        Ref done(PyObject_CallMethod(mesh, "remove_degenerate_faces", "d", tolerance));
        return bool(done);
    }
    Ref keep(PyObject_CallMethod(mesh, "nondegenerate_faces", "d", tolerance));
    Ref done(keep ? PyObject_CallMethod(mesh, "update_faces", "O", keep.get()) : nullptr);
    return bool(done);
}

// trimesh's mesh, then the solver mesh of its triangles; on failure once more without the
// faces that are degenerate at the configured tolerance.
PyObject* polyhedron_geometry(const Polyhedron& solid) {
    const auto& vertices = solid.vertices();
    const auto& triangles = solid.triangles();
    double* v = nullptr;
    Ref vertex_array(new_float_array(vertices.size(), 3, v));
    Ref face_array(new_array({npy_intp(triangles.size()), 3}, NPY_INT64));
    if (!vertex_array || !face_array) return nullptr;
    for (const MeshVertex& p : vertices)
        for (Coord c : {p.x, p.y, p.z}) *v++ = from_db(c);
    auto* f = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(face_array.get())));
    for (const Triangle& t : triangles)
        for (uint32_t i : t) *f++ = i;
    Ref trimesh_class(PyObject_GetAttrString(solver_object("trimesh"), "Trimesh"));
    Ref empty(PyTuple_New(0));
    Ref kwargs(Py_BuildValue("{s:O,s:O}", "vertices", vertex_array.get(), "faces", face_array.get()));
    Ref mesh(trimesh_class && empty && kwargs
                 ? PyObject_Call(trimesh_class.get(), empty.get(), kwargs.get())
                 : nullptr);
    if (!mesh) return nullptr;
    auto convert = [&]() -> PyObject* {
        Ref points(PyObject_GetAttrString(mesh.get(), "triangles"));
        return points ? PyObject_CallMethod(solver_object("TriangleMesh"), "from_triangles", "O",
                                            points.get())
                      : nullptr;
    };
    PyObject* result = convert();
    if (result) return result;
    PyErr_Clear();
    return remove_degenerate_faces(mesh.get(), from_db(config().tolerance)) ? convert() : nullptr;
}

PyObject* constructive_geometry(const ConstructiveSolid& solid) {
    if (solid.operand1().empty() && solid.operand2().empty()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Empty ConstructiveSolid cannot be converted to a Fenn3D geometry.");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while converting a ConstructiveSolid")) return nullptr;
    auto geometries = [](const Solids& solids) {
        std::vector<Ref> result;
        for (const auto& s : solids) {
            result.emplace_back(solid_geometry(*s));
            if (!result.back()) break;
        }
        return result;
    };
    std::vector<Ref> all = geometries(solid.operand1());
    std::vector<Ref> second = geometries(solid.operand2());
    Py_LeaveRecursiveCall();
    for (const auto* list : {&all, &second})
        if (!list->empty() && !list->back()) return nullptr;
    if (solid.operation() == SolidOperation::Union) {
        for (Ref& g : second) all.push_back(std::move(g));
        return grouped(all);
    }
    static constexpr const char* kNames[] = {"union", "intersection", "difference",
                                             "symmetric_difference"};
    // An empty side is an empty group.
    Ref a(grouped(all.data(), all.size()));
    Ref b(grouped(second.data(), second.size()));
    if (!a || !b) return nullptr;
    return call_solver("ClipOperation",
                       Py_BuildValue("{s:s,s:O,s:O}", "operation", kNames[int(solid.operation())],
                                     "geometry_a", a.get(), "geometry_b", b.get()));
}

}  // namespace

PyObject* solid_geometry(const Structure3D& solid) {
    switch (solid.type_code()) {
        case TypeCode::Extruded:
            return extruded_geometry(static_cast<const Extruded&>(solid));
        case TypeCode::Polyhedron:
            return polyhedron_geometry(static_cast<const Polyhedron&>(solid));
        case TypeCode::ConstructiveSolid:
            return constructive_geometry(static_cast<const ConstructiveSolid&>(solid));
        default:
            PyErr_SetString(PyExc_RuntimeError, "Unrecognized 3D structure type.");
            return nullptr;
    }
}

}  // namespace whistle::py
