// Members shared by the solid types.
#include "solid.hpp"

#include "interpreter_objects.hpp"
#include "model.hpp"
#include "structure.hpp"
#include "types.hpp"
#include "core/solid/triangulation.hpp"

namespace whistle::py {

bool to_solid_medium(PyObject* obj, const char* name, std::shared_ptr<BaseType>& out) {
    Medium medium;
    // A single medium fills both classes with one holder; a dict gives two.
    if (!obj || PyDict_Check(obj) || !to_medium(obj, name, medium) ||
        medium.optical != medium.electrical) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "Argument '%s' must be a medium.", name);
        return false;
    }
    out = medium.optical;
    return true;
}

std::shared_ptr<Structure3D> as_solid(PyObject* obj) {
    for (TypeCode code : {TypeCode::Extruded, TypeCode::Polyhedron, TypeCode::ConstructiveSolid})
        if (is_instance(obj, code)) return unwrap<Structure3D>(obj);
    return nullptr;
}

bool to_solids(PyObject* obj, const char* name, Solids& out) {
    if (auto solid = as_solid(obj)) {
        out = {solid};
        return true;
    }
    if (PyErr_Occurred()) return false;
    std::string message = "Argument '" + std::string(name) +
                          "' must be a 3D structure or a sequence of 3D structures.";
    Ref items(iterable_items(obj, message.c_str()));
    if (!items) return false;
    Solids solids;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        auto solid = as_solid(PyTuple_GET_ITEM(items.get(), i));
        if (!solid) {
            PyErr_SetString(PyExc_TypeError, message.c_str());
            return false;
        }
        solids.push_back(std::move(solid));
    }
    out = std::move(solids);
    return true;
}

PyObject* solid_list(const Solids& solids) {
    return new_list(solids.size(), [&](size_t i) { return wrap(solids[i]); });
}

PyObject* get_solid_medium(PyObject* self, void*) {
    auto solid = unwrap<Structure3D>(self);
    return solid ? medium_object(solid->medium()) : nullptr;
}

int set_solid_medium(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<BaseType> medium;
    if (!check_not_deleted(value, "medium") || !to_solid_medium(value, "medium", medium)) return -1;
    return modify<Structure3D>(self, [&](Structure3D& s) { s.set_medium(medium); }) ? 0 : -1;
}

PyObject* solid_structure(const Structure3D& solid) {
    Ref geometry(solid_geometry(solid));
    if (!geometry) return nullptr;
    Ref medium(medium_object(solid.medium()));
    Ref kwargs(Py_BuildValue("{s:O,s:O}", "geometry", geometry.get(), "medium", medium.get()));
    Ref empty(PyTuple_New(0));
    if (!kwargs || !empty) return nullptr;
    return PyObject_Call(solver_object("Structure"), empty.get(), kwargs.get());
}

PyObject* method_to_fenn3d(PyObject* self, PyObject*) {
    auto solid = unwrap<Structure3D>(self);
    return solid ? solid_structure(*solid) : nullptr;
}

namespace {

PyObject* combine(PyObject* a, PyObject* b, SolidOperation operation) {
    auto first = as_solid(a), second = as_solid(b);
    if (!first || !second) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    try {
        return wrap(std::make_shared<ConstructiveSolid>(Solids{first}, Solids{second}, operation));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* solid_add(PyObject* a, PyObject* b) { return combine(a, b, SolidOperation::Union); }
PyObject* solid_multiply(PyObject* a, PyObject* b) {
    return combine(a, b, SolidOperation::Intersection);
}
PyObject* solid_subtract(PyObject* a, PyObject* b) {
    return combine(a, b, SolidOperation::Difference);
}
PyObject* solid_xor(PyObject* a, PyObject* b) {
    return combine(a, b, SolidOperation::SymmetricDifference);
}

}  // namespace

PyNumberMethods solid_number_methods = [] {
    PyNumberMethods methods = {};
    methods.nb_add = solid_add;
    methods.nb_subtract = solid_subtract;
    methods.nb_multiply = solid_multiply;
    methods.nb_xor = solid_xor;
    return methods;
}();

PyTypeObject solid_type(const char* name, const char* doc, initproc init, PyMethodDef* methods,
                        PyGetSetDef* getset) {
    PyTypeObject type = wrapper_type(name, doc, init, methods, getset);
    type.tp_as_number = &solid_number_methods;
    return type;
}

}  // namespace whistle::py

namespace whistle::py {

namespace {

bool to_ring_ends(PyObject* value, std::vector<uint32_t>& out) {
    constexpr const char* kMessage = "'ring_ends' must be a sequence of non-negative integers.";
    Ref items(iterable_items(value, kMessage));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        long long end = PyLong_AsLongLong(PyTuple_GET_ITEM(items.get(), i));
        if (end < 0 || end >= (1LL << 32)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, kMessage);
            return false;
        }
        out.push_back(uint32_t(end));
    }
    return true;
}

}  // namespace

PyObject* function__triangulate(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject *vertices_obj = nullptr, *ends_obj = nullptr;
    if ((kwds && PyDict_GET_SIZE(kwds) > 0) ||
        !PyArg_ParseTuple(args, "OO:_triangulate", &vertices_obj, &ends_obj)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "_triangulate() takes positional arguments only.");
        return nullptr;
    }
    std::vector<Vector> vertices;
    std::vector<uint32_t> ring_ends;
    if (!to_points(vertices_obj, "vertices", vertices) || !to_ring_ends(ends_obj, ring_ends))
        return nullptr;
    std::vector<std::array<uint32_t, 3>> triangles;
    if (!without_interpreter_lock([&] { triangles = triangulate(vertices, ring_ends); }))
        return nullptr;
    PyObject* array = new_array({npy_intp(triangles.size()), 3}, NPY_INT64);
    if (!array) return nullptr;
    auto* data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (const auto& t : triangles)
        for (uint32_t i : t) *data++ = i;
    return array;
}

}  // namespace whistle::py
