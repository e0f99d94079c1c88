// Component.extrude: the solids of a whole component. Kept apart from the solid types, whose
// point type the component's 3D ports name differently.
#include "core/foundation/config.hpp"
#include "core/model/component.hpp"
#include "extrusion.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

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

namespace whistle::py {

namespace {

// The named cell of the loaded layout, or its first top-level cell (warning when there are
// several). New reference.
PyObject* layout_cell(PyObject* cells, PyObject* cell_name) {
    if (cell_name != Py_None) {
        PyObject* cell = PyDict_GetItemWithError(cells, cell_name);
        if (!cell && !PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "Cell '%S' not found in the layout file.", cell_name);
        Py_XINCREF(cell);
        return cell;
    }
    Ref components(PyDict_Values(cells));
    Ref arguments(components ? PyList_AsTuple(components.get()) : nullptr);
    Ref top(arguments ? function_find_top_level(nullptr, arguments.get(), nullptr) : nullptr);
    if (!top) return nullptr;
    if (PyList_GET_SIZE(top.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "No cells found in the layout file.");
        return nullptr;
    }
    PyObject* cell = PyList_GET_ITEM(top.get(), 0);
    if (PyList_GET_SIZE(top.get()) > 1) {
        Ref name(PyObject_GetAttrString(cell, "name"));
        if (!name || PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                      "Multiple top-level cells found. Loading '%U'. Specify "
                                      "'cell_name' to select a specific cell.",
                                      name.get()) < 0)
            return nullptr;
    }
    Py_INCREF(cell);
    return cell;
}

}  // namespace

PyObject* function_fenn3d_structures_from_layout(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", "technology", "cell_name", "classification",
                                     nullptr};
    PyObject *filename, *technology = Py_None, *cell_name = Py_None, *classification = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOO:fenn3d_structures_from_layout",
                                     (char**)keywords, &filename, &technology, &cell_name,
                                     &classification))
        return nullptr;
    Ref load_arguments(PyTuple_Pack(2, filename, technology));
    Ref cells(load_arguments ? function_load_layout(nullptr, load_arguments.get(), nullptr) : nullptr);
    Ref cell(cells ? layout_cell(cells.get(), cell_name) : nullptr);
    if (!cell) return nullptr;
    Ref extrude_keywords(classification ? Py_BuildValue("{sO}", "classification", classification)
                                        : PyDict_New());
    Ref empty(PyTuple_New(0));
    if (!extrude_keywords || !empty) return nullptr;
    Ref solids(component_extrude(cell.get(), empty.get(), extrude_keywords.get()));
    if (!solids) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(solids.get()); ++i) {
        PyObject* converted = PyObject_CallMethod(PyList_GET_ITEM(solids.get(), i), "to_fenn3d", nullptr);
        if (!converted) return nullptr;
        PyList_SetItem(solids.get(), i, converted);
    }
    return solids.release();
}

}  // namespace whistle::py
