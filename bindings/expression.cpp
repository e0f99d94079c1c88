// `Expression`: named parametric expressions, evaluated by calling the object.
#include "core/foundation/expression.hpp"

#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kExpressionShape =
    "Argument 'expression' must be a string, a 2-tuple or a list of those.";

bool utf8(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return false;
    out.assign(data, size_t(size));
    return true;
}

PyObject* unicode(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

bool parse_parameters(PyObject* obj, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj)) {
        out.emplace_back();
        return utf8(obj, out.back());
    }
    if (!PySequence_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'parameter' must be a string or sequence of strings.");
        return false;
    }
    Ref items(PySequence_Fast(obj, ""));
    if (!items) return false;
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "Item 'parameter[%zd]' is not a string.", i);
            return false;
        }
        out.emplace_back();
        if (!utf8(item, out.back())) return false;
    }
    return true;
}

// A string (unnamed entry) or a (name, text-or-value) tuple.
bool parse_item(PyObject* obj, std::vector<Expression::Item>& out) {
    Expression::Item item;
    if (PyUnicode_Check(obj)) {
        item.name = "unnamed_" + std::to_string(out.size());
        if (!utf8(obj, item.text)) return false;
    } else if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2) {
        PyObject* name = PyTuple_GET_ITEM(obj, 0);
        PyObject* source = PyTuple_GET_ITEM(obj, 1);
        if (!PyUnicode_Check(name)) {
            PyErr_SetString(PyExc_TypeError, "Expression tuples must contain a name string as first item.");
            return false;
        }
        if (!utf8(name, item.name)) return false;
        if (PyUnicode_Check(source)) {
            if (!utf8(source, item.text)) return false;
        } else {
            item.value = PyFloat_AsDouble(source);
            if (item.value == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError,
                                "Expression tuples must contain an expression string or float value as second item.");
                return false;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError, kExpressionShape);
        return false;
    }
    out.push_back(std::move(item));
    return true;
}

bool parse_items(PyObject* obj, std::vector<Expression::Item>& out) {
    if (!PyList_Check(obj)) return parse_item(obj, out);
    Ref items(sequence_items(obj));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        if (!parse_item(PyTuple_GET_ITEM(items.get(), i), out)) return false;
    return true;
}

int expression_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"parameter", "expression", nullptr};
    PyObject* parameter = nullptr;
    PyObject* expression = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:Expression", (char**)keywords, &parameter,
                                     &expression))
        return -1;
    try {
        std::vector<std::string> parameters;
        std::vector<Expression::Item> items;
        if (!parse_parameters(parameter, parameters) || !parse_items(expression, items)) return -1;
        auto result = std::make_shared<Expression>(parameters, items);
        ErrorHandler status;
        result->compile(status);
        if (!check_status(status)) return -1;
        install(self, std::move(result));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// Fills `arguments` (one per parameter, 0.0 when not given) from a call's arguments.
bool call_arguments(const Expression& expression, PyObject* args, PyObject* kwds,
                    std::vector<double>& arguments) {
    size_t count = expression.parameter_count();
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (size_t(given) > count) {
        PyErr_Format(PyExc_RuntimeError,
                     "Expression has only %zu parameters, but %zd arguments were provided.", count, given);
        return false;
    }
    arguments.assign(count, 0.0);
    std::vector<bool> set(count, false);
    for (Py_ssize_t i = 0; i < given; ++i) {
        arguments[size_t(i)] = PyFloat_AsDouble(PyTuple_GET_ITEM(args, i));
        if (arguments[size_t(i)] == -1.0 && PyErr_Occurred()) return false;
        set[size_t(i)] = true;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (kwds && PyDict_Next(kwds, &pos, &key, &value)) {
        std::string name;
        if (!utf8(key, name)) return false;
        std::optional<size_t> index = expression.find(name);
        if (!index || *index >= count) {
            PyErr_Format(PyExc_KeyError, "'%U' is not a valid parameter name.", key);
            return false;
        }
        if (set[*index]) {
            PyErr_Format(PyExc_KeyError, "Parameter '%U' is already set.", key);
            return false;
        }
        arguments[*index] = PyFloat_AsDouble(value);
        if (arguments[*index] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "Keyword argument values must be floats.");
            return false;
        }
        set[*index] = true;
    }
    return true;
}

PyObject* expression_call(PyObject* self, PyObject* args, PyObject* kwds) {
    std::shared_ptr<Expression> expression = unwrap<Expression>(self);
    if (!expression) return nullptr;
    try {
        std::vector<double> arguments;
        if (!call_arguments(*expression, args, kwds, arguments)) return nullptr;
        expression->evaluate(arguments);
        std::vector<double> values = expression->values();
        if (values.size() == 1) return PyFloat_FromDouble(values[0]);
        return vector_array(values);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* get_parameters(PyObject* self, void*) {
    std::shared_ptr<Expression> expression = unwrap<Expression>(self);
    if (!expression) return nullptr;
    const auto& entries = expression->entries();
    Ref list(PyList_New(Py_ssize_t(expression->parameter_count())));
    if (!list) return nullptr;
    for (size_t i = 0; i < expression->parameter_count(); ++i) {
        PyObject* name = unicode(entries[i].name);
        if (!name) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), name);
    }
    return list.release();
}

PyObject* get_expressions(PyObject* self, void*) {
    std::shared_ptr<Expression> expression = unwrap<Expression>(self);
    if (!expression) return nullptr;
    const auto& entries = expression->entries();
    size_t first = expression->parameter_count();
    Ref list(PyList_New(Py_ssize_t(entries.size() - first)));
    if (!list) return nullptr;
    for (size_t i = first; i < entries.size(); ++i) {
        const Expression::Entry& e = entries[i];
        // "N" steals both references and fails when either creation failed.
        PyObject* item = Py_BuildValue("(NN)", unicode(e.name),
                                       e.text.empty() ? PyFloat_FromDouble(e.value) : unicode(e.text));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i - first), item);
    }
    return list.release();
}

PyMethodDef expression_methods[] = {
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef expression_getset[] = {
    {"parameters", get_parameters, nullptr, "List of parameter names.", nullptr},
    {"expressions", get_expressions, nullptr,
     "List of (name, expression) tuples; constant entries give their value.", nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject expression_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.Expression",
        "Expression(parameter, expression)\n\n"
        "Numerical expression of one or more parameters.\n\n"
        "Args:\n"
        "    parameter: Parameter name or sequence of names.\n"
        "    expression: Expression string, (name, expression or value) tuple, or a list of\n"
        "      those. Each expression can use the parameters and the entries before it.",
        expression_init, expression_methods, expression_getset);
    type.tp_call = expression_call;
    return type;
}();

}  // namespace

PyTypeObject* Expression_type() {
    return register_exposed_type(TypeCode::Expression, &expression_type);
}

}  // namespace whistle::py
