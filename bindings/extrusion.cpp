// ExtrusionSpec.extrude: planar structures to solids, and the helpers shared with
// Component.extrude (component_extrusion.cpp).
#include "extrusion.hpp"

#include "core/geometry/polygon.hpp"
#include "core/model/technology.hpp"
#include "core/solid/structure3d.hpp"
#include "model.hpp"
#include "structure.hpp"

namespace whistle::py {

bool to_extrusion_options(PyObject* tolerance, PyObject* classification, ExtrusionOptions& out) {
    if (tolerance) {
        double microns = 0;
        if (!to_number(tolerance, "extrusion_tolerance", microns) ||
            !to_length(microns, "extrusion_tolerance", out.tolerance))
            return false;
    }
    return !classification || to_classification(classification, out.classification);
}

namespace {

bool add_structure(PyObject* obj, std::vector<std::shared_ptr<Structure>>& out) {
    std::shared_ptr<Structure> structure = as_structure(obj);
    if (!structure) return false;
    out.push_back(std::move(structure));
    return true;
}

// Each argument is a planar structure or an iterable of them.
bool to_structures(PyObject* args, std::vector<std::shared_ptr<Structure>>& out) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        if (add_structure(arg, out)) continue;
        Ref items(PyUnicode_Check(arg) ? nullptr : sequence_items(arg));
        if (!items) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "Argument %zd is not a planar structure.", i);
            return false;
        }
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k)
            if (!add_structure(PyTuple_GET_ITEM(items.get(), k), out)) {
                PyErr_SetString(PyExc_TypeError, "Object is not a planar structure.");
                return false;
            }
    }
    return true;
}

// Keyword arguments of ExtrusionSpec.extrude, any other name refused.
bool extrude_keywords(PyObject* kwds, PyObject*& tolerance, PyObject*& classification) {
    if (!kwds) return true;
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwds, &position, &key, &value)) {
        if (PyUnicode_CompareWithASCIIString(key, "extrusion_tolerance") == 0) {
            tolerance = value;
        } else if (PyUnicode_CompareWithASCIIString(key, "classification") == 0) {
            classification = value;
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "'extrude()' expects only 'extrusion_tolerance' and 'classification' "
                            "keyword arguments.");
            return false;
        }
    }
    if (classification && !PyUnicode_Check(classification)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'classification' must be a string.");
        return false;
    }
    return true;
}

}  // namespace

PyObject* extrusion_spec_extrude(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject *tolerance = nullptr, *classification = nullptr;
    ExtrusionOptions options;
    std::vector<std::shared_ptr<Structure>> structures;
    if (!extrude_keywords(kwds, tolerance, classification) ||
        !to_extrusion_options(tolerance, classification, options) || !to_structures(args, structures))
        return nullptr;
    auto spec = unwrap<ExtrusionSpec>(self);
    if (!spec) return nullptr;
    try {
        ErrorHandler status;
        std::vector<Polygon> polygons;
        for (const auto& structure : structures) polygons.push_back(structure->to_polygon(status));
        std::vector<std::shared_ptr<Structure3D>> solids;
        if (!status.failed()) solids = extrude_with(*spec, polygons, options, status);
        if (!check_status(status)) return nullptr;
        return solid_list(solids);
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
