// `SMatrix` and the module function `load_snp`.
#include "core/circuit/s_matrix.hpp"

#include <cstring>

#include "circuit_values.hpp"
#include "core/circuit/touchstone.hpp"
#include "types.hpp"

namespace whistle::py {

bool to_ports(PyObject* obj, SMatrix::Ports& out) {
    return to_named_objects(obj, "Argument 'ports' must be a mapping of port names to port instances.",
                            "Keys in 'ports' must be strings.", "'ports[%s]' must be a port instance or None.",
                            [](PyObject* value) {
                                return is_instance(value, TypeCode::Port) || is_instance(value, TypeCode::FiberPort) ||
                                       is_instance(value, TypeCode::GaussianPort);
                            },
                            out);
}

namespace {

int file_name_converter(PyObject* obj, void* out) {
    return to_file_name(obj, *static_cast<std::string*>(out)) ? 1 : 0;
}

const char* const kKeyMessage = "Keys in 'elements' must be sequences of 2 strings: input, output.";

int s_matrix_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "elements", "ports", nullptr};
    PyObject *frequencies_obj = nullptr, *elements_obj = nullptr, *ports_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:SMatrix", (char**)keywords, &frequencies_obj,
                                     &elements_obj, &ports_obj))
        return -1;
    std::vector<double> frequencies;
    SMatrix::Ports ports;
    SMatrix::Elements elements;
    if (!to_numbers(frequencies_obj, "frequencies", frequencies) || !to_ports(ports_obj, ports) ||
        !to_elements(elements_obj, "Argument 'elements' must be a mapping of port tuples to value arrays.",
                     kKeyMessage, "", frequencies.size(), elements))
        return -1;
    try {
        install(self, std::make_shared<SMatrix>(std::move(frequencies), std::move(elements), std::move(ports)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_ports(PyObject* self, void*) {
    std::shared_ptr<SMatrix> s = unwrap<SMatrix>(self);
    if (!s) return nullptr;
    return objects_dict(s->ports());
}

PyObject* s_matrix_subscript(PyObject* self, PyObject* key_obj) {
    SMatrix::Key key;
    if (!to_element_key(key_obj, kKeyMessage, key)) return nullptr;
    std::shared_ptr<SMatrix> s = unwrap<SMatrix>(self);
    if (!s) return nullptr;
    for (const std::string* name : {&key.first, &key.second}) {
        std::string port = port_of(*name);
        if (!s->ports().count(port)) {
            PyErr_Format(PyExc_KeyError, "'%s' is not a valid port name.", port.c_str());
            return nullptr;
        }
    }
    return element_values(s->elements(), key, s->frequencies().size());
}

PyObject* method_write_snp(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", nullptr};
    std::string filename;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&:write_snp", (char**)keywords, file_name_converter, &filename))
        return nullptr;
    std::shared_ptr<SMatrix> s = unwrap<SMatrix>(self);
    if (!s) return nullptr;
    ErrorHandler status;
    try {
        std::vector<std::string> modes = s->port_modes();
        TouchstoneData data{s->dense(modes, status), s->frequencies(), modes.size()};
        if (!status.failed()) write_touchstone(filename, data, status);
    }
    WHISTLE_CATCH(nullptr)
    return check_status(status) ? same(self) : nullptr;
}

// Port names and mode counts for a file's ports: (name, modes) items or names.
bool to_port_modes(PyObject* obj, std::vector<std::pair<std::string, size_t>>& out) {
    if (!PySequence_Check(obj) || PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "'ports' must be a sequence of strings.");
        return false;
    }
    Ref items(sequence_items(obj));
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Unable to get lenght of 'ports'.");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        std::pair<std::string, size_t> entry{"", 1};
        bool ok = to_name(item, entry.first);
        if (!ok && PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 &&
            to_name(PyTuple_GET_ITEM(item, 0), entry.first) && PyLong_Check(PyTuple_GET_ITEM(item, 1))) {
            long long modes = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 1));
            ok = modes >= 0 && !PyErr_Occurred();
            entry.second = size_t(modes);
        }
        if (!ok) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'ports[%zd]' is not a string or tuple[string, int].", i);
            return false;
        }
        out.push_back(std::move(entry));
    }
    return true;
}

std::shared_ptr<SMatrix> s_matrix_from_file(const std::string& filename, std::vector<std::pair<std::string, size_t>> names,
                                            ErrorHandler& status) {
    TouchstoneData data = read_touchstone(filename, status);
    if (status.failed()) return nullptr;
    const size_t n = data.ports;
    if (names.empty())
        for (size_t k = 0; k < n; ++k) names.emplace_back(std::string("P").append(std::to_string(k)), 1);
    std::vector<std::string> modes;
    for (const auto& [name, count] : names)
        for (size_t m = 0; m < count && modes.size() <= n; ++m) modes.push_back(name + "@" + std::to_string(m));
    if (modes.size() != n) {
        status.error("Number of port modes does not match the number in file '" + filename + "': expected " +
                     std::to_string(n) + " port modes.");
        return nullptr;
    }
    SMatrix::Elements elements;
    SMatrix::Ports ports;
    for (const auto& entry : names) ports[entry.first];
    const size_t f_count = data.frequencies.size();
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            ComplexVector& values = elements[{modes[j], modes[i]}];
            values.reserve(f_count);
            for (size_t f = 0; f < f_count; ++f) values.push_back(data.values[(f * n + i) * n + j]);
        }
    }
    return std::make_shared<SMatrix>(std::move(data.frequencies), std::move(elements), std::move(ports));
}

PyObject* method_load_snp(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", "ports", nullptr};
    std::string filename;
    PyObject* ports_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&|O:load_snp", (char**)keywords, file_name_converter, &filename,
                                     &ports_obj))
        return nullptr;
    std::vector<std::pair<std::string, size_t>> names;
    if (ports_obj && !to_port_modes(ports_obj, names)) return nullptr;
    ErrorHandler status;
    std::shared_ptr<SMatrix> result;
    try {
        result = s_matrix_from_file(filename, std::move(names), status);
    }
    WHISTLE_CATCH(nullptr)
    if (!check_status(status)) return nullptr;
    return wrap(result);
}

PyObject* method_force_symmetric(PyObject* self, PyObject*) {
    return modify<SMatrix>(self, [](SMatrix& s) { s.force_symmetric(); }) ? same(self) : nullptr;
}

PyObject* method_apply_time_delay(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"delay", nullptr};
    double delay = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d:apply_time_delay", (char**)keywords, &delay)) return nullptr;
    return modify<SMatrix>(self, [&](SMatrix& s) { s.apply_time_delay(delay); }) ? same(self) : nullptr;
}

PyObject* method_estimate_delays(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"lossless", nullptr};
    int lossless = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:estimate_delays", (char**)keywords, &lossless)) return nullptr;
    std::shared_ptr<SMatrix> s = unwrap<SMatrix>(self);
    return s ? values_dict(s->estimate_delays(lossless != 0)) : nullptr;
}

PyObject* method_estimate_phase(PyObject* self, PyObject*) {
    std::shared_ptr<SMatrix> s = unwrap<SMatrix>(self);
    if (!s) return nullptr;
    try {
        return wrap(std::make_shared<SMatrix>(s->estimate_phase()));
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef s_matrix_methods[] = {
    {"write_snp", (PyCFunction)(void (*)(void))method_write_snp, METH_VARARGS | METH_KEYWORDS,
     "write_snp(filename)\n\nWrite a Touchstone 2.0 file, frequencies ascending; returns self."},
    {"load_snp", (PyCFunction)(void (*)(void))method_load_snp, METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "load_snp(filename, ports=())\n\nRead a Touchstone file. ports lists names or (name, number of modes) "
     "tuples taking the file's ports in order; by default P0, P1, ..."},
    {"force_symmetric", method_force_symmetric, METH_NOARGS,
     "force_symmetric()\n\nMake the matrix reciprocal in place; returns self."},
    {"estimate_delays", (PyCFunction)(void (*)(void))method_estimate_delays, METH_VARARGS | METH_KEYWORDS,
     "estimate_delays(lossless=False)\n\nGroup delay of each element in seconds, from its unwrapped phase."},
    {"estimate_phase", method_estimate_phase, METH_NOARGS,
     "estimate_phase()\n\nA new matrix with the same magnitudes and a minimum-phase phase."},
    {"apply_time_delay", (PyCFunction)(void (*)(void))method_apply_time_delay, METH_VARARGS | METH_KEYWORDS,
     "apply_time_delay(delay)\n\nMultiply every element by exp(2πi·f·delay) in place; returns self."},
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef s_matrix_getset[] = {
    WHISTLE_ELEMENT_TABLE_GETSET(SMatrix, "dict: Values by (input, output) port-mode names."),
    {"ports", get_ports, nullptr, "dict: Port objects (or None) by name.", nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods s_matrix_mapping = {nullptr, s_matrix_subscript, nullptr};

PyTypeObject s_matrix_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.SMatrix",
        "SMatrix(frequencies, elements, ports=None)\n\nScattering matrix: values for (input, output) port-mode "
        "pairs such as ('P0@0', 'P1@0') at each frequency.",
        s_matrix_init, s_matrix_methods, s_matrix_getset);
    type.tp_as_mapping = &s_matrix_mapping;
    return type;
}();

}  // namespace

PyTypeObject* SMatrix_type() {
    return register_exposed_type(TypeCode::SMatrix, &s_matrix_type);
}

PyObject* function_load_snp(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", nullptr};
    std::string filename;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&:load_snp", (char**)keywords, file_name_converter, &filename))
        return nullptr;
    ErrorHandler status;
    TouchstoneData data;
    try {
        data = read_touchstone(filename, status);
    }
    WHISTLE_CATCH(nullptr)
    if (!check_status(status)) return nullptr;
    const npy_intp f = npy_intp(data.frequencies.size()), n = npy_intp(data.ports);
    Ref values(new_array({f, n, n}, NPY_COMPLEX128));
    if (!values) return nullptr;
    std::copy(data.values.begin(), data.values.end(),
              static_cast<Complex*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get()))));
    Ref frequencies(vector_array(data.frequencies));
    if (!frequencies) return nullptr;
    return PyTuple_Pack(2, values.get(), frequencies.get());
}

}  // namespace whistle::py
