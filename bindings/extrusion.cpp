// ExtrusionSpec.extrude and Component.extrude: planar geometry to solids.
#include "extrusion.hpp"

#include "core/foundation/config.hpp"
#include "core/model/component.hpp"
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

PyObject* solid_list(const std::vector<std::shared_ptr<Structure3D>>& solids) {
    Ref list(PyList_New(Py_ssize_t(solids.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < solids.size(); ++i) {
        PyObject* item = wrap(solids[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

namespace {

bool add_structure(PyObject* obj, std::vector<std::shared_ptr<Structure>>& out) {
    std::shared_ptr<Structure> structure = as_structure(obj);
    if (structure) out.push_back(std::move(structure));
    return structure != nullptr;
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

// False, True (the configured tolerance) or a feature size in micrometres.
bool to_heal(PyObject* obj, std::optional<Coord>& out) {
    if (PyNumber_Check(obj) && !PyBool_Check(obj)) {
        double microns = 0;
        Coord size = 0;
        if (!to_number(obj, "heal", microns) || !to_length(microns, "heal", size)) return false;
        if (size != 0) out = size;
        return true;
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Unable to get truth value from 'heal'.");
        return false;
    }
    if (truth) out = config().tolerance;
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

PyObject* component_extrude(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"port_extension", "heal", "extrusion_tolerance",
                                     "classification", "used_extrusions", nullptr};
    double port_extension = 0;
    PyObject *heal = Py_False, *tolerance = nullptr, *classification = nullptr,
             *used_list = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|dOOOO:extrude", (char**)keywords,
                                     &port_extension, &heal, &tolerance, &classification,
                                     &used_list))
        return nullptr;
    ExtrusionOptions options;
    if (!to_extrusion_options(tolerance, classification, options) ||
        !to_length(port_extension, "port_extension", options.port_extension) ||
        !to_heal(heal, options.heal_size))
        return nullptr;
    if (used_list != Py_None && !PyList_Check(used_list)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'used_extrusions' must be a list.");
        return nullptr;
    }
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    try {
        ErrorHandler status;
        std::vector<std::shared_ptr<ExtrusionSpec>> used;
        auto solids = extrude_component(*component, options, used, status);
        if (!check_status(status)) return nullptr;
        Ref result(solid_list(solids));
        if (!result) return nullptr;
        if (used_list != Py_None)
            for (const auto& spec : used) {
                Ref item(wrap(spec));
                if (!item || PyList_Append(used_list, item.get()) < 0) return nullptr;
            }
        return result.release();
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
