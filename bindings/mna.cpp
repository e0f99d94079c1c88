// Module functions of terminal matrices: conversions to and from S matrices, the S matrix of an
// MNA stamp through a port map, and the assembly of stamps.
#include "mna.hpp"

#include <climits>

#include "circuit_values.hpp"
#include "lumped_model.hpp"
#include "model_class.hpp"
#include "runner.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

bool to_impedance(PyObject* obj, Complex& out) {
    if (!PyNumber_Check(obj) || PyUnicode_Check(obj)) return false;
    Py_complex value = PyComplex_AsCComplex(obj);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = {value.real, value.imag};
    return true;
}

bool to_impedances(PyObject* obj, ReferenceImpedances& out) {
    const char* message = "Argument 'impedances' must be a number or a dict from terminal names to numbers.";
    if (!obj) return true;
    if (!PyDict_Check(obj)) {
        if (to_impedance(obj, out.all)) return true;
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    out.by_name.emplace();
    return for_each_item(obj, message, [&](PyObject* key, PyObject* value) {
        std::string name;
        Complex z;
        if (!to_name(key, name) || !to_impedance(value, z)) {
            PyErr_SetString(PyExc_TypeError, message);
            return false;
        }
        (*out.by_name)[name] = z;
        return true;
    });
}

// The matrix argument of a conversion; TypeError naming the argument and its type otherwise.
template <class T>
std::shared_ptr<T> matrix_argument(PyObject* obj, TypeCode code, const char* argument, const char* type_name) {
    if (!is_instance(obj, code)) {
        PyErr_Format(PyExc_TypeError, "Argument '%s' must be %s '%s' instance.", argument,
                     type_name[0] == 'M' ? "an" : "a", type_name);
        return nullptr;
    }
    return unwrap<T>(obj);
}

// conversion(source, impedances) → matrix, for the four wave conversions.
template <class Source, class Convert>
PyObject* wave_conversion(PyObject* args, PyObject* kwds, const char* format, const char* argument,
                          TypeCode code, const char* type_name, Convert convert) {
    const char* keywords[] = {argument, "impedances", nullptr};
    PyObject *source_obj, *impedances_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &source_obj, &impedances_obj))
        return nullptr;
    ReferenceImpedances impedances;
    if (!to_impedances(impedances_obj, impedances)) return nullptr;
    auto source = matrix_argument<Source>(source_obj, code, argument, type_name);
    if (!source) return nullptr;
    return wrapped_result([&](ErrorHandler& status) { return convert(*source, impedances, status); });
}

template <class Source, class Convert>
PyObject* inversion(PyObject* args, PyObject* kwds, const char* format, const char* argument, TypeCode code,
                    const char* type_name, Convert convert) {
    const char* keywords[] = {argument, nullptr};
    PyObject* source_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &source_obj)) return nullptr;
    auto source = matrix_argument<Source>(source_obj, code, argument, type_name);
    if (!source) return nullptr;
    return wrapped_result([&](ErrorHandler& status) { return convert(*source, status); });
}

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

bool to_lumped_port(PyObject* value, LumpedPort& out) {
    Py_ssize_t size = PyTuple_Check(value) ? PyTuple_GET_SIZE(value) : 0;
    if (size != 2 && size != 3)
        return fail(PyExc_TypeError,
                              "'port_map' values must be tuples of (signal_terminal, impedance) or "
                              "(signal_terminal, reference_terminal, impedance).");
    if (!to_name(PyTuple_GET_ITEM(value, 0), out.signal))
        return fail(PyExc_TypeError, "'port_map' signal terminal must be a string.");
    if (!to_impedance(PyTuple_GET_ITEM(value, size - 1), out.impedance))
        return fail(PyExc_TypeError, "'port_map' impedance must be a number (float or complex).");
    if (size == 2) return true;
    PyObject* reference = PyTuple_GET_ITEM(value, 1);
    std::string name;
    if (reference == Py_None)
        return fail(PyExc_ValueError, "Ground-referenced port_map entries must use (signal_terminal, impedance).");
    if (!to_name(reference, name))
        return fail(PyExc_TypeError, "'port_map' reference terminal must be a string or None.");
    if (name.empty())
        return fail(PyExc_ValueError, "Differential port_map entries must use a non-empty reference terminal string.");
    if (name == out.signal)
        return fail(PyExc_ValueError, "A differential port_map entry must use distinct signal and reference terminals.");
    out.reference = std::move(name);
    return true;
}

// A net member: (instance index or None, terminal name).
bool to_net_member(PyObject* obj, StampTerminal& out) {
    bool ok = PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2 && to_name(PyTuple_GET_ITEM(obj, 1), out.terminal);
    PyObject* index = ok ? PyTuple_GET_ITEM(obj, 0) : nullptr;
    if (ok && index != Py_None) {
        ok = PyLong_Check(index);
        long long value = ok ? PyLong_AsLongLong(index) : -1;
        if (value < 0) {
            PyErr_Clear();
            // A negative or huge index names no instance.
            value = LLONG_MAX;
        }
        out.instance = size_t(value);
    }
    if (!ok)
        PyErr_SetString(PyExc_TypeError,
                        "Argument 'connections' must be a sequence of nets, each a sequence of (instance "
                        "index or None, terminal name) tuples.");
    return ok;
}

template <class Convert>
bool for_each_in(PyObject* obj, const char* message, Convert convert) {
    Ref items(PySequence_Check(obj) && !PyUnicode_Check(obj) ? sequence_items(obj) : nullptr);
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        if (!convert(PyTuple_GET_ITEM(items.get(), i))) return false;
    return true;
}

PyObject* member_object(const StampTerminal& member) {
    if (!member.instance)
        return Py_BuildValue("(Os#)", Py_None, member.terminal.data(), Py_ssize_t(member.terminal.size()));
    return Py_BuildValue("(ns#)", Py_ssize_t(*member.instance), member.terminal.data(),
                         Py_ssize_t(member.terminal.size()));
}

bool positional_only(PyObject* kwds, const char* function) {
    if (!kwds || PyDict_Size(kwds) == 0) return true;
    PyErr_Format(PyExc_TypeError, "'%s' takes positional arguments only.", function);
    return false;
}

// Joins the stamps, raising the assembly's failures.
bool run_assembly(const std::vector<std::shared_ptr<MNAMatrix>>& instances, const std::vector<StampNet>& nets,
                  MnaAssembly& out) {
    ErrorHandler status;
    try {
        out = assemble_mna(instances, nets, status);
    }
    WHISTLE_CATCH(false)
    return check_status(status);
}

// The stamp of an instance from the active electrical model of its component, when that is a
// lumped model (null without an exception otherwise): `start_mna` with `kwargs`, its runner
// polled until it succeeds.
std::shared_ptr<MNAMatrix> instance_stamp(PyObject* instance, PyObject* frequencies, PyObject* kwargs) {
    Ref component(PyObject_GetAttrString(instance, "component"));
    Ref model(component ? PyObject_CallMethod(component.get(), "select_active_model", "s", "electrical") : nullptr);
    if (!model || !PyObject_TypeCheck(model.get(), LumpedModel_type())) return nullptr;
    Ref start(PyObject_GetAttrString(model.get(), "start_mna"));
    Ref args(start ? PyTuple_Pack(2, component.get(), frequencies) : nullptr);
    Ref result(args ? PyObject_Call(start.get(), args.get(), kwargs) : nullptr);
    if (!result) return nullptr;
    if (!is_instance(result.get(), TypeCode::MNAMatrix) && !is_instance(result.get(), TypeCode::ZMatrix) &&
        PyObject_HasAttrString(result.get(), "status")) {
        Ref status(poll_runner(result.get(), kLumpedModelRunnerTexts, false));
        result = Ref(status ? PyObject_GetAttrString(result.get(), "mna_matrix") : nullptr);
        if (!result) return nullptr;
    }
    Ref mna(mna_of(result.get()));
    return mna ? unwrap<MNAMatrix>(mna.get()) : nullptr;
}

// A netlist member (instance index or None, terminal name or (port, terminal)) as a stamp
// terminal; terminals of ports join by their terminal name.
bool to_netlist_member(PyObject* obj, StampTerminal& out) {
    PyObject* terminal = PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2 ? PyTuple_GET_ITEM(obj, 1) : nullptr;
    if (terminal && PyTuple_Check(terminal) && PyTuple_GET_SIZE(terminal) == 2) {
        Ref member(Py_BuildValue("(OO)", PyTuple_GET_ITEM(obj, 0), PyTuple_GET_ITEM(terminal, 1)));
        return member && to_net_member(member.get(), out);
    }
    return to_net_member(obj, out);
}

}  // namespace

bool to_port_map(PyObject* obj, PortMap& out) {
    if (!PyDict_Check(obj)) return fail(PyExc_TypeError, "'port_map' must be a dict.");
    return for_each_item(obj, "'port_map' must be a dict.", [&](PyObject* key, PyObject* value) {
        std::string name;
        if (!to_name(key, name)) return fail(PyExc_TypeError, "'port_map' keys must be strings (port names).");
        return to_lumped_port(value, out[name]);
    });
}

#define WHISTLE_WAVE_CONVERSION(name, Source, argument)                                              \
    PyObject* function_##name(PyObject*, PyObject* args, PyObject* kwds) {                         \
        return wave_conversion<Source>(args, kwds, "O|O:" #name, argument, TypeCode::Source, #Source, name); \
    }
WHISTLE_WAVE_CONVERSION(z_to_s_matrix, ZMatrix, "z_matrix")
WHISTLE_WAVE_CONVERSION(y_to_s_matrix, YMatrix, "y_matrix")
WHISTLE_WAVE_CONVERSION(s_to_z_matrix, SMatrix, "s_matrix")
WHISTLE_WAVE_CONVERSION(s_to_y_matrix, SMatrix, "s_matrix")
#undef WHISTLE_WAVE_CONVERSION

#define WHISTLE_INVERSION(name, Source, argument)                                                    \
    PyObject* function_##name(PyObject*, PyObject* args, PyObject* kwds) {                         \
        return inversion<Source>(args, kwds, "O:" #name, argument, TypeCode::Source, #Source, name); \
    }
WHISTLE_INVERSION(y_to_z_matrix, YMatrix, "y_matrix")
WHISTLE_INVERSION(z_to_y_matrix, ZMatrix, "z_matrix")
#undef WHISTLE_INVERSION

PyObject* function__mna_to_s(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject *mna_obj, *port_map_obj;
    if (!positional_only(kwds, "_mna_to_s")) return nullptr;
    if (!PyArg_ParseTuple(args, "OO:_mna_to_s", &mna_obj, &port_map_obj)) return nullptr;
    PortMap ports;
    if (!to_port_map(port_map_obj, ports)) return nullptr;
    auto mna = matrix_argument<MNAMatrix>(mna_obj, TypeCode::MNAMatrix, "mna", "MNAMatrix");
    if (!mna) return nullptr;
    ErrorHandler status;
    std::shared_ptr<SMatrix> result;
    try {
        result = mna_to_s_matrix(mna.get(), ports, status);
    }
    WHISTLE_CATCH(nullptr)
    if (!check_status(status)) return nullptr;
    if (!result) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to convert the MNA matrix to an S matrix.");
        return nullptr;
    }
    return wrap(result);
}

PyObject* function__assemble_mna(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject *matrices_obj, *connections_obj;
    if (!positional_only(kwds, "_assemble_mna")) return nullptr;
    if (!PyArg_ParseTuple(args, "OO:_assemble_mna", &matrices_obj, &connections_obj)) return nullptr;
    const char* matrices_message = "Argument 'matrices' must be a sequence of MNAMatrix instances or None.";
    const char* nets_message =
        "Argument 'connections' must be a sequence of nets, each a sequence of (instance index or None, "
        "terminal name) tuples.";
    std::vector<std::shared_ptr<MNAMatrix>> instances;
    std::vector<StampNet> nets;
    bool ok = for_each_in(matrices_obj, matrices_message, [&](PyObject* item) {
        if (item == Py_None) {
            instances.emplace_back();
            return true;
        }
        if (!is_instance(item, TypeCode::MNAMatrix)) return fail(PyExc_TypeError, matrices_message);
        instances.push_back(unwrap<MNAMatrix>(item));
        return bool(instances.back());
    });
    ok = ok && for_each_in(connections_obj, nets_message, [&](PyObject* net) {
        nets.emplace_back();
        return for_each_in(net, nets_message, [&](PyObject* member) {
            return to_net_member(member, nets.back().emplace_back());
        });
    });
    if (!ok) return nullptr;
    MnaAssembly assembly;
    if (!run_assembly(instances, nets, assembly)) return nullptr;
    Ref matrix(wrap(assembly.matrix));
    Ref nodes(PyDict_New());
    if (!matrix || !nodes) return nullptr;
    for (const auto& [member, node] : assembly.nodes) {
        Ref key(member_object(member));
        Ref value(PyUnicode_FromStringAndSize(node.data(), Py_ssize_t(node.size())));
        if (!key || !value || PyDict_SetItem(nodes.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, matrix.get(), nodes.get());
}

PyObject* function__assemble_component_mna(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject *component, *frequencies_obj, *kwargs = Py_None;
    if (!positional_only(kwds, "_assemble_component_mna")) return nullptr;
    if (!PyArg_ParseTuple(args, "OO|O:_assemble_component_mna", &component, &frequencies_obj, &kwargs))
        return nullptr;
    if (!is_instance(component, TypeCode::Component)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component' must be a Component instance.");
        return nullptr;
    }
    if (kwargs != Py_None && !PyDict_Check(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'kwargs' must be a dictionary or None.");
        return nullptr;
    }
    std::vector<double> frequencies;
    if (!to_frequencies(frequencies_obj, frequencies)) return nullptr;
    Ref frequency_array(vector_array(frequencies));
    Ref netlist(frequency_array ? PyObject_CallMethod(component, "get_netlist", "(O)", Py_True) : nullptr);
    if (!netlist) return nullptr;
    std::vector<std::shared_ptr<MNAMatrix>> instances;
    Ref references(PySequence_Tuple(PyDict_GetItemString(netlist.get(), "instances")));
    if (!references) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(references.get()); ++i) {
        instances.push_back(instance_stamp(PyTuple_GET_ITEM(references.get(), i), frequency_array.get(),
                                           kwargs == Py_None ? nullptr : kwargs));
        if (PyErr_Occurred()) return nullptr;
    }
    std::vector<StampNet> nets;
    for (const char* key : {"nets", "virtual nets"}) {
        Ref declared(PySequence_Tuple(PyDict_GetItemString(netlist.get(), key)));
        if (!declared) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(declared.get()); ++i) {
            Ref members(PySequence_Tuple(PyTuple_GET_ITEM(declared.get(), i)));
            if (!members) return nullptr;
            StampNet& net = nets.emplace_back();
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(members.get()); ++j)
                if (!to_netlist_member(PyTuple_GET_ITEM(members.get(), j), net.emplace_back())) return nullptr;
        }
    }
    MnaAssembly assembly;
    return run_assembly(instances, nets, assembly) ? wrap(assembly.matrix) : nullptr;
}

}  // namespace whistle::py
