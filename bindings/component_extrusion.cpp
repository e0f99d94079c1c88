// Component.extrude: the solids of a whole component. Kept apart from the solid types, whose
// point type the component's 3D ports name differently.
#include "core/foundation/config.hpp"
#include "core/model/component.hpp"
#include "extrusion.hpp"

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
