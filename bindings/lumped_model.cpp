// `LumpedModel`: a `Model` whose subclasses describe their circuit by an MNA stamp
// (`start_mna`); the S matrix follows through the port map.
#include "lumped_model.hpp"

#include "mna.hpp"
#include "model_class.hpp"
#include "runner.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

PyObject* port_map_object(const PortMap& ports) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, port] : ports) {
        Complex z = port.impedance;
        Ref impedance(z.imag() == 0 ? PyFloat_FromDouble(z.real()) : PyComplex_FromDoubles(z.real(), z.imag()));
        Ref value(!impedance       ? nullptr
                  : port.reference ? Py_BuildValue("(s#s#O)", port.signal.data(), Py_ssize_t(port.signal.size()),
                                                   port.reference->data(), Py_ssize_t(port.reference->size()),
                                                   impedance.get())
                                   : Py_BuildValue("(s#O)", port.signal.data(), Py_ssize_t(port.signal.size()),
                                                   impedance.get()));
        if (!value || PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

namespace {

// None unsets the port map.
bool to_optional_port_map(PyObject* obj, std::optional<PortMap>& out) {
    if (obj == Py_None) return true;
    return to_port_map(obj, out.emplace());
}

int lumped_model_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref kwargs(kwds ? PyDict_Copy(kwds) : PyDict_New());
    if (!kwargs) return -1;
    PyObject* port_map_obj = PyDict_GetItemString(kwargs.get(), "port_map");
    Ref hold(port_map_obj ? same(port_map_obj) : nullptr);
    std::optional<PortMap> ports;
    if (port_map_obj && (PyDict_DelItemString(kwargs.get(), "port_map") < 0 ||
                         (PyTuple_GET_SIZE(args) == 0 && !to_optional_port_map(port_map_obj, ports))))
        return -1;
    if (init_model_kwargs(self, args, kwargs.get(),
                          "'LumpedModel.__init__()' takes no positional arguments. Use keyword arguments "
                          "only in 'super().__init__(...)'.") < 0)
        return -1;
    return modify<LumpedModel>(self, [&](LumpedModel& m) { m.port_map = std::move(ports); }) ? 0 : -1;
}

PyObject* get_port_map(PyObject* self, void*) {
    auto model = unwrap<LumpedModel>(self);
    if (!model) return nullptr;
    return model->port_map ? port_map_object(*model->port_map) : same(Py_None);
}

int set_port_map(PyObject* self, PyObject* value, void*) {
    std::optional<PortMap> ports;
    if (!check_not_deleted(value, "port_map") || !to_optional_port_map(value, ports)) return -1;
    return modify<LumpedModel>(self, [&](LumpedModel& m) { m.port_map = std::move(ports); }) ? 0 : -1;
}

PyObject* method_start_mna(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "Classes derived from LumpedModel must implement a 'start_mna' method.");
    return nullptr;
}

// The model's non-empty port map; RuntimeError `message` otherwise.
bool current_ports(PyObject* self, const char* message, PortMap& out) {
    auto model = unwrap<LumpedModel>(self);
    if (!model) return false;
    if (!model->port_map || model->port_map->empty()) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return false;
    }
    out = *model->port_map;
    return true;
}

PyObject* method_start(PyObject* self, PyObject* args, PyObject* kwds) {
    PortMap ports;
    if (!current_ports(self, "LumpedModel.start() requires a non-empty port_map.", ports)) return nullptr;
    Ref start_mna(PyObject_GetAttrString(self, "start_mna"));
    Ref result(start_mna ? PyObject_Call(start_mna.get(), args, kwds) : nullptr);
    return result ? new_lumped_runner(result.get(), ports) : nullptr;
}

PyObject* method_s_matrix(PyObject* self, PyObject* args, PyObject* kwds) {
    SMatrixCall call;
    PortMap ports;
    if (!parse_s_matrix_call(args, kwds, call) ||
        !current_ports(self, "LumpedModel port_map is empty. Must specify terminal-to-port mapping.", ports))
        return nullptr;
    if (call.show_progress && !print_progress("Starting...\r")) return nullptr;
    Ref start(PyObject_GetAttrString(self, "start"));
    Ref start_args(start ? PyTuple_Pack(2, call.component, call.frequencies.get()) : nullptr);
    Ref runner(start_args ? PyObject_Call(start.get(), start_args.get(), call.model_kwargs.get()) : nullptr);
    if (!runner) return nullptr;
    Ref status(poll_runner(runner.get(), kLumpedModelRunnerTexts, call.show_progress));
    Ref s_matrix(status ? PyObject_GetAttrString(runner.get(), "s_matrix") : nullptr);
    if (!s_matrix) return nullptr;
    if (!is_instance(s_matrix.get(), TypeCode::SMatrix)) {
        PyErr_SetString(PyExc_RuntimeError, "Attribute 's_matrix' from model result is not an SMatrix instance.");
        return nullptr;
    }
    return s_matrix.release();
}

PyMethodDef lumped_model_methods[] = {
    {"start_mna", (PyCFunction)(void (*)(void))method_start_mna, METH_VARARGS | METH_KEYWORDS,
     "start_mna(component, frequencies, **kwargs)\n\nStart computing the circuit: return an MNAMatrix "
     "(or a ZMatrix), or a runner whose 'status' reports progress and whose 'mna_matrix' holds the "
     "result after success. Derived classes must implement it."},
    {"start", (PyCFunction)(void (*)(void))method_start, METH_VARARGS | METH_KEYWORDS,
     "start(component, frequencies, **kwargs)\n\nRun start_mna and return a LumpedModelRunner that "
     "gives the S matrix through the port map."},
    {"s_matrix", (PyCFunction)(void (*)(void))method_s_matrix, METH_VARARGS | METH_KEYWORDS,
     "s_matrix(component, frequencies, show_progress=True, model_kwargs={})\n\nRun start and poll its "
     "runner (every 0.3 s) until the S matrix is ready."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef lumped_model_getset[] = {
    {"port_map", get_port_map, set_port_map,
     "dict | None: Ports by name: (signal_terminal, impedance) for ground-referenced ports or "
     "(signal_terminal, reference_terminal, impedance) for differential ones.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject lumped_model_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.LumpedModel",
        "LumpedModel(*, port_map=None, **kwargs)\n\nBase of models described by an MNA stamp. Derived "
        "classes call super().__init__ with keyword arguments only and implement start_mna().",
        lumped_model_init, lumped_model_methods, lumped_model_getset);
    type.tp_new = new_interpreter_model<PyLumpedModel>;
    type.tp_dealloc = nullptr;  // the base's, which untracks the collected instance
    return type;
}();

}  // namespace

PyTypeObject* LumpedModel_type() {
    lumped_model_type.tp_base = Model_type();
    return &lumped_model_type;
}

}  // namespace whistle::py
