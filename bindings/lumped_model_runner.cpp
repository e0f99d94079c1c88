// `LumpedModelRunner`: follows the runner of a lumped model's `start_mna` and converts its MNA
// matrix to an S matrix through the model's port map once it succeeds.
#include "lumped_model.hpp"

#include "types.hpp"

namespace whistle::py {

namespace {

struct LumpedRunner {
    PyObject_HEAD
    PyObject* inner;       // the runner of start_mna; null once the result is converted
    PyObject* mna_matrix;  // the circuit (MNAMatrix), null until known
    PyObject* s_matrix;    // the result (SMatrix), null until known
    PortMap* ports;
};

LumpedRunner* as_runner(PyObject* self) { return reinterpret_cast<LumpedRunner*>(self); }

// Converts a finished result into the runner's MNA and S matrices.
bool finish(LumpedRunner* runner, PyObject* result) {
    Ref mna(mna_of(result));
    auto matrix = mna ? unwrap<MNAMatrix>(mna.get()) : nullptr;
    if (!matrix) return false;
    ErrorHandler status;
    std::shared_ptr<SMatrix> s;
    try {
        s = mna_to_s_matrix(matrix.get(), *runner->ports, status);
    }
    WHISTLE_CATCH(false)
    if (!check_status(status)) return false;
    Ref s_obj(wrap(s));
    if (!s_obj) return false;
    Py_XSETREF(runner->mna_matrix, mna.release());
    Py_XSETREF(runner->s_matrix, s_obj.release());
    Py_CLEAR(runner->inner);
    return true;
}

PyObject* get_status(PyObject* self, void*) {
    LumpedRunner* runner = as_runner(self);
    if (!runner->inner) return Py_BuildValue("{sssi}", "message", "success", "progress", 100);
    Ref inner(same(runner->inner));
    Ref status(PyObject_GetAttrString(inner.get(), "status"));
    if (!status || !PyDict_Check(status.get())) return status.release();
    PyObject* message = PyDict_GetItemString(status.get(), "message");
    if (message && PyUnicode_Check(message) && PyUnicode_CompareWithASCIIString(message, "success") == 0) {
        Ref result(PyObject_GetAttrString(inner.get(), "mna_matrix"));
        if (!result || !finish(runner, result.get())) return nullptr;
    }
    return status.release();
}

PyObject* get_result(PyObject* field) { return same(field ? field : Py_None); }

PyObject* get_mna_matrix(PyObject* self, void*) { return get_result(as_runner(self)->mna_matrix); }
PyObject* get_s_matrix(PyObject* self, void*) { return get_result(as_runner(self)->s_matrix); }

int runner_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_runner(self)->inner);
    Py_VISIT(as_runner(self)->mna_matrix);
    Py_VISIT(as_runner(self)->s_matrix);
    return 0;
}

int runner_clear(PyObject* self) {
    Py_CLEAR(as_runner(self)->inner);
    Py_CLEAR(as_runner(self)->mna_matrix);
    Py_CLEAR(as_runner(self)->s_matrix);
    return 0;
}

void runner_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    runner_clear(self);
    delete as_runner(self)->ports;
    Py_TYPE(self)->tp_free(self);
}

PyGetSetDef runner_getset[] = {
    {"status", get_status, nullptr,
     "dict: 'message' ('running', 'success' or 'error') and 'progress' (0 to 100).", nullptr},
    {"mna_matrix", get_mna_matrix, nullptr, "MNAMatrix | None: The circuit, once known.", nullptr},
    {"s_matrix", get_s_matrix, nullptr, "SMatrix | None: The result, after success.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject runner_type = [] {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "tarnwhistle.LumpedModelRunner";
    type.tp_doc = "Runner of a lumped model: polled through 'status' until its S matrix is ready.";
    type.tp_basicsize = sizeof(LumpedRunner);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_dealloc = runner_dealloc;
    type.tp_traverse = runner_traverse;
    type.tp_clear = runner_clear;
    type.tp_getset = runner_getset;
    return type;
}();

}  // namespace

PyTypeObject* LumpedModelRunner_type() { return &runner_type; }

PyObject* mna_of(PyObject* result) {
    if (result == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "LumpedModel::mna_matrix returned a null MNA matrix.");
        return nullptr;
    }
    if (is_instance(result, TypeCode::MNAMatrix)) return same(result);
    if (!is_instance(result, TypeCode::ZMatrix)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "start_mna() must return an MNAMatrix or a runner with an 'mna_matrix' attribute.");
        return nullptr;
    }
    auto z = unwrap<ZMatrix>(result);
    if (!z) return nullptr;
    ErrorHandler status;
    std::shared_ptr<MNAMatrix> mna;
    try {
        std::shared_ptr<YMatrix> y = z_to_y_matrix(*z, status);
        if (y) mna = std::make_shared<MNAMatrix>(y->frequencies(), y->elements(), y->terminals());
    }
    WHISTLE_CATCH(nullptr)
    return check_status(status) ? wrap(mna) : nullptr;
}

PyObject* new_lumped_runner(PyObject* result, const PortMap& ports) {
    if (PyType_Ready(&runner_type) < 0) return nullptr;
    bool matrix = is_instance(result, TypeCode::MNAMatrix) || is_instance(result, TypeCode::ZMatrix);
    if (!matrix && !PyObject_HasAttrString(result, "mna_matrix")) {
        PyErr_SetString(PyExc_RuntimeError,
                        "start_mna() must return an MNAMatrix or a runner with an 'mna_matrix' attribute.");
        return nullptr;
    }
    Ref self(reinterpret_cast<PyObject*>(PyObject_GC_New(LumpedRunner, &runner_type)));
    if (!self) return nullptr;
    LumpedRunner* runner = as_runner(self.get());
    runner->inner = runner->mna_matrix = runner->s_matrix = nullptr;
    runner->ports = nullptr;
    try {
        runner->ports = new PortMap(ports);
    }
    WHISTLE_CATCH(nullptr)
    PyObject_GC_Track(self.get());
    runner->inner = same(result);
    if (matrix && !finish(runner, result)) return nullptr;
    return self.release();
}

}  // namespace whistle::py
