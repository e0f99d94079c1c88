// `ConstructiveSolid`: a boolean combination of two groups of solids.
#include "core/solid/constructive_solid.hpp"
#include "model.hpp"
#include "solid.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

bool to_operation(PyObject* value, SolidOperation& out) {
    const char* text = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    std::optional<SolidOperation> operation = text ? operation_from_symbol(text) : std::nullopt;
    if (!operation) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Argument 'operation' must be one of '+', '*', '-', or '^'.");
        return false;
    }
    out = *operation;
    return true;
}

// None stands for no solids.
bool to_operand(PyObject* value, const char* name, Solids& out) {
    if (value == Py_None) {
        out.clear();
        return true;
    }
    return to_solids(value, name, out);
}

int constructive_solid_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand1", "operand2", "operation", "medium", nullptr};
    PyObject *operand1_obj = nullptr, *operand2_obj = nullptr, *operation_obj = nullptr,
             *medium_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|O:ConstructiveSolid", (char**)keywords,
                                     &operand1_obj, &operand2_obj, &operation_obj, &medium_obj))
        return -1;
    Solids operand1, operand2;
    SolidOperation operation;
    std::shared_ptr<BaseType> medium;
    if (!to_operand(operand1_obj, "operand1", operand1) ||
        !to_operand(operand2_obj, "operand2", operand2) || !to_operation(operation_obj, operation) ||
        (medium_obj != Py_None && !to_solid_medium(medium_obj, "medium", medium)))
        return -1;
    if (operand1.empty() && operand2.empty()) {
        PyErr_SetString(PyExc_ValueError, "ConstructiveSolid requires at least 1 operand.");
        return -1;
    }
    // The new object is fresh: it cannot be among its own operands.
    install(self, std::make_shared<ConstructiveSolid>(std::move(operand1), std::move(operand2),
                                                      operation, std::move(medium)));
    return 0;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_operand1(PyObject* self, void*) {
    auto solid = unwrap<ConstructiveSolid>(self);
    return solid ? solid_list(solid->operand1()) : nullptr;
}

PyObject* get_operand2(PyObject* self, void*) {
    auto solid = unwrap<ConstructiveSolid>(self);
    return solid ? solid_list(solid->operand2()) : nullptr;
}

// Sets one operand list, refusing lists that hold the solid itself (at any depth).
template <class Setter>
int set_operand(PyObject* self, PyObject* value, const char* name, Setter setter) {
    Solids operands;
    if (!check_not_deleted(value, name) || !to_operand(value, name, operands)) return -1;
    bool cyclic = false;
    if (!modify<ConstructiveSolid>(self, [&](ConstructiveSolid& s) {
            cyclic = contains(operands, &s);
            if (!cyclic) setter(s, std::move(operands));
        }))
        return -1;
    if (cyclic) PyErr_SetString(PyExc_ValueError, "A ConstructiveSolid cannot contain itself.");
    return cyclic ? -1 : 0;
}

int set_operand1(PyObject* self, PyObject* value, void*) {
    return set_operand(self, value, "operand1",
                       [](ConstructiveSolid& s, Solids o) { s.set_operand1(std::move(o)); });
}

int set_operand2(PyObject* self, PyObject* value, void*) {
    return set_operand(self, value, "operand2",
                       [](ConstructiveSolid& s, Solids o) { s.set_operand2(std::move(o)); });
}

PyObject* get_operation(PyObject* self, void*) {
    auto solid = unwrap<ConstructiveSolid>(self);
    if (!solid) return nullptr;
    char symbol = operation_symbol(solid->operation());
    return PyUnicode_FromStringAndSize(&symbol, 1);
}

int set_operation(PyObject* self, PyObject* value, void*) {
    SolidOperation operation;
    if (!check_not_deleted(value, "operation") || !to_operation(value, operation)) return -1;
    return modify<ConstructiveSolid>(self, [&](ConstructiveSolid& s) { s.set_operation(operation); })
               ? 0
               : -1;
}

PyGetSetDef constructive_solid_getset[] = {
    WHISTLE_ATTRIBUTE(operand1, "list: Solids joined by union on the first side."),
    WHISTLE_ATTRIBUTE(operand2, "list: Solids joined by union on the second side."),
    WHISTLE_ATTRIBUTE(operation, "str: '+' union, '*' intersection, '-' difference, '^' symmetric "
                                 "difference."),
    WHISTLE_SOLID_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef constructive_solid_methods[] = {
    WHISTLE_DEPTH_COPY_METHODS(ConstructiveSolid,
        "copy(deep=False)\n\nCopy of this solid; a deep copy also copies the operands."),
    WHISTLE_TO_FENN3D_METHOD,
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject constructive_solid_type = solid_type(
    "tarnwhistle.ConstructiveSolid",
    "ConstructiveSolid(operand1, operand2, operation, medium=None)\n\n"
    "Boolean combination ('+', '*', '-' or '^') of the union of operand1 with the union of "
    "operand2. Operands are solids or sequences of solids; the medium defaults to the first "
    "operand's.",
    constructive_solid_init, constructive_solid_methods, constructive_solid_getset);

}  // namespace

PyTypeObject* ConstructiveSolid_type() {
    return register_exposed_type(TypeCode::ConstructiveSolid, &constructive_solid_type);
}

}  // namespace whistle::py
