// `Polyhedron`: a closed triangle mesh.
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "core/solid/polyhedron.hpp"
#include "solid.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kInvalidCreated =
    "Created polyhedron is invalid. Make sure the mesh is closed and non-overlapping.";
constexpr const char* kInvalidSet =
    "Polyhedron is invalid. Make sure the mesh is closed and non-overlapping.";

// An N×3 array of the given type read from any array-like (an empty sequence has no rows),
// or null with RuntimeError `message`.
PyArrayObject* rows_of_three(PyObject* value, int type, const char* message) {
    auto* array = reinterpret_cast<PyArrayObject*>(
        value ? PyArray_FROMANY(value, type, 1, 2, NPY_ARRAY_CARRAY_RO) : nullptr);
    bool empty = array && PyArray_NDIM(array) == 1 && PyArray_SIZE(array) == 0;
    if (empty) return array;  // read as zero rows: its data is never touched
    if (!array || PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 3) {
        Py_XDECREF(array);
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, message);
        return nullptr;
    }
    return array;
}

// Rows of an array from rows_of_three.
size_t row_count(PyArrayObject* array) { return PyArray_NDIM(array) == 2 ? size_t(PyArray_DIM(array, 0)) : 0; }

bool to_vertices(PyObject* value, std::vector<MeshVertex>& out) {
    Ref array(reinterpret_cast<PyObject*>(
        rows_of_three(value, NPY_FLOAT64, "Unable to get polyhedron vertices.")));
    if (!array) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const double* data = static_cast<const double*>(PyArray_DATA(a));
    std::vector<MeshVertex> vertices(row_count(a));
    for (MeshVertex& p : vertices)
        for (Coord* c : {&p.x, &p.y, &p.z})
            if (!to_length(*data++, "vertices", *c)) return false;
    out = std::move(vertices);
    return true;
}

// Whole numbers only; indices outside 0…2^32 − 2 become the largest index, which the mesh
// check refuses.
bool to_triangles(PyObject* value, std::vector<Triangle>& out) {
    constexpr const char* kMessage = "Unable to get polyhedron triangles.";
    Ref array(reinterpret_cast<PyObject*>(rows_of_three(value, NPY_FLOAT64, kMessage)));
    if (!array) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const double* data = static_cast<const double*>(PyArray_DATA(a));
    std::vector<Triangle> triangles(row_count(a));
    for (Triangle& t : triangles)
        for (uint32_t& i : t) {
            double index = *data++;
            if (index != std::floor(index)) {
                PyErr_SetString(PyExc_RuntimeError, kMessage);
                return false;
            }
            i = index >= 0 && index < double(UINT32_MAX) ? uint32_t(index) : UINT32_MAX;
        }
    out = std::move(triangles);
    return true;
}

int polyhedron_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"medium", "vertices", "triangles", nullptr};
    PyObject *medium_obj = nullptr, *vertices_obj = nullptr, *triangles_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:Polyhedron", (char**)keywords, &medium_obj,
                                     &vertices_obj, &triangles_obj))
        return -1;
    std::shared_ptr<BaseType> medium;
    std::vector<MeshVertex> vertices;
    std::vector<Triangle> triangles;
    if (!to_solid_medium(medium_obj, "medium", medium) || !to_vertices(vertices_obj, vertices) ||
        !to_triangles(triangles_obj, triangles))
        return -1;
    bool valid = false;
    if (!without_interpreter_lock([&] { valid = is_closed_mesh(vertices, triangles); })) return -1;
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, kInvalidCreated);
        return -1;
    }
    install(self, std::make_shared<Polyhedron>(std::move(medium), std::move(vertices),
                                               std::move(triangles)));
    return 0;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_vertices(PyObject* self, void*) {
    auto solid = unwrap<Polyhedron>(self);
    if (!solid) return nullptr;
    double* data = nullptr;
    PyObject* array = new_float_array(solid->vertices().size(), 3, data);
    if (array)
        for (const MeshVertex& p : solid->vertices())
            for (Coord c : {p.x, p.y, p.z}) *data++ = from_db(c);
    return array;
}

PyObject* get_triangles(PyObject* self, void*) {
    auto solid = unwrap<Polyhedron>(self);
    if (!solid) return nullptr;
    PyObject* array = new_array({npy_intp(solid->triangles().size()), 3}, NPY_INT64);
    if (!array) return nullptr;
    auto* data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (const Triangle& t : solid->triangles())
        for (uint32_t i : t) *data++ = i;
    return array;
}

// Replaces one part of the mesh; the check runs on the result and refusal keeps the old mesh.
template <class Part>
int set_mesh_part(PyObject* self, Part part) {
    bool valid = false;
    if (!modify<Polyhedron>(self, [&](Polyhedron& s) {
            std::vector<MeshVertex> vertices = s.vertices();
            std::vector<Triangle> triangles = s.triangles();
            part(vertices, triangles);
            valid = s.set_mesh(std::move(vertices), std::move(triangles));
        }))
        return -1;
    if (!valid) PyErr_SetString(PyExc_ValueError, kInvalidSet);
    return valid ? 0 : -1;
}

int set_vertices(PyObject* self, PyObject* value, void*) {
    std::vector<MeshVertex> vertices;
    if (!check_not_deleted(value, "vertices") || !to_vertices(value, vertices)) return -1;
    return set_mesh_part(self, [&](auto& v, auto&) { v = std::move(vertices); });
}

int set_triangles(PyObject* self, PyObject* value, void*) {
    std::vector<Triangle> triangles;
    if (!check_not_deleted(value, "triangles") || !to_triangles(value, triangles)) return -1;
    return set_mesh_part(self, [&](auto&, auto& t) { t = std::move(triangles); });
}

PyGetSetDef polyhedron_getset[] = {
    WHISTLE_ATTRIBUTE(vertices, "numpy.ndarray: Vertex coordinates, one row per vertex."),
    WHISTLE_ATTRIBUTE(triangles,
                      "numpy.ndarray: Vertex indices of each triangle, counter-clockwise seen "
                      "from outside."),
    WHISTLE_SOLID_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Methods ---------------------------------------------------------------------------

PyObject* method_write_ply(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", nullptr};
    PyObject* filename_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:write_ply", (char**)keywords, &filename_obj))
        return nullptr;
    std::string filename;
    if (!to_file_name(filename_obj, filename)) return nullptr;
    auto solid = unwrap<Polyhedron>(self);
    if (!solid) return nullptr;
    std::string text;
    try {
        text = solid->ply_text();
    }
    WHISTLE_CATCH(nullptr)
    FILE* file = std::fopen(filename.c_str(), "wb");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if ((file && std::fclose(file) != 0) || !written) {
        if (errno == 0) errno = EIO;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename.c_str());
    }
    Py_RETURN_NONE;
}

PyMethodDef polyhedron_methods[] = {
    WHISTLE_COPY_METHODS,
    WHISTLE_TO_FENN3D_METHOD,
    {"write_ply", (PyCFunction)(void (*)(void))method_write_ply, METH_VARARGS | METH_KEYWORDS,
     "write_ply(filename)\n\nWrite the mesh as an ASCII PLY file (coordinates in micrometres)."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject polyhedron_type = solid_type(
    "tarnwhistle.Polyhedron",
    "Polyhedron(medium, vertices, triangles)\n\n"
    "A solid bounded by triangles. The mesh must be closed and non-overlapping, with every "
    "triangle counter-clockwise seen from outside.",
    polyhedron_init, polyhedron_methods, polyhedron_getset);

}  // namespace

PyTypeObject* Polyhedron_type() {
    return register_exposed_type(TypeCode::Polyhedron, &polyhedron_type);
}

}  // namespace whistle::py
