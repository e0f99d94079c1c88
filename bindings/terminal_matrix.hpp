// The shared surface of `ZMatrix`, `YMatrix` and `MNAMatrix`: each type's binding file builds its
// type from these templates and adds its own methods.
#pragma once

#include "circuit_values.hpp"
#include "core/circuit/terminal_matrix.hpp"

namespace whistle::py {

template <class Tag>
struct TerminalMatrixBinding {
    using Matrix = TerminalMatrix<Tag>;

    static bool to_terminals(PyObject* obj, NamedObjects& out) {
        return to_named_objects(
            obj, "Argument 'terminals' must be a mapping of terminal names to terminal instances.",
            "Keys in 'terminals' must be strings.", "'terminals[%s]' must be a Terminal instance or None.",
            [](PyObject* value) { return is_instance(value, TypeCode::Terminal); }, out);
    }

    static int init(PyObject* self, PyObject* args, PyObject* kwds) {
        static const char* keywords[] = {"frequencies", "elements", "terminals", nullptr};
        static const std::string format = std::string("OO|O:") + Tag::name;
        PyObject *frequencies_obj, *elements_obj, *terminals_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, format.c_str(), (char**)keywords, &frequencies_obj,
                                         &elements_obj, &terminals_obj))
            return -1;
        std::vector<double> frequencies;
        NamedObjects terminals;
        ElementMap elements;
        if (!to_numbers(frequencies_obj, "frequencies", frequencies) || !to_terminals(terminals_obj, terminals) ||
            !to_elements(elements_obj, "Argument 'elements' must be a mapping of terminal tuples to value arrays.",
                         "Keys in 'elements' must be sequences of 2 strings: terminal1, terminal2.",
                         std::string(Tag::name) + " ", frequencies.size(), elements))
            return -1;
        try {
            install(self, std::make_shared<Matrix>(std::move(frequencies), std::move(elements), std::move(terminals)));
            return 0;
        }
        WHISTLE_CATCH(-1)
    }

    static PyObject* get_terminals(PyObject* self, void*) {
        auto m = unwrap<Matrix>(self);
        return m ? objects_dict(m->terminals()) : nullptr;
    }

    static PyObject* subscript(PyObject* self, PyObject* key_obj) {
        ElementKey key;
        if (!to_element_key(key_obj, "Keys in 'elements' must be sequences of 2 strings: terminal1, terminal2.", key))
            return nullptr;
        auto m = unwrap<Matrix>(self);
        if (!m) return nullptr;
        for (const std::string* name : {&key.first, &key.second}) {
            if (!m->terminals().count(*name)) {
                PyErr_Format(PyExc_KeyError, "'%s' is not a valid terminal name.", name->c_str());
                return nullptr;
            }
        }
        return element_values(m->elements(), key, m->frequencies().size());
    }

    // A method converting the matrix by `convert(matrix, status)`.
    template <auto convert>
    static PyObject* converted(PyObject* self, PyObject*) {
        auto matrix = unwrap<Matrix>(self);
        return matrix ? wrapped_result([&](ErrorHandler& status) { return convert(*matrix, status); }) : nullptr;
    }

    static PyObject* force_symmetric(PyObject* self, PyObject*) {
        return modify<Matrix>(self, [](Matrix& m) { m.force_symmetric(); }) ? same(self) : nullptr;
    }

    static inline PyGetSetDef getset[] = {
        WHISTLE_ELEMENT_TABLE_GETSET(Matrix, "dict: Values by (terminal1, terminal2) names."),
        {"terminals", get_terminals, nullptr, "dict: Terminal objects (or None) by name.", nullptr},
        WHISTLE_BASE_GETSET,
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    static inline PyMappingMethods mapping = {nullptr, subscript, nullptr};

    static PyTypeObject make_type(const char* name, const char* doc, PyMethodDef* methods) {
        PyTypeObject type = wrapper_type(name, doc, init, methods, getset);
        type.tp_as_mapping = &mapping;
        return type;
    }
};

#define WHISTLE_TERMINAL_MATRIX_METHODS(Tag)                                                        \
    {"force_symmetric", whistle::py::TerminalMatrixBinding<Tag>::force_symmetric, METH_NOARGS,     \
     "force_symmetric()\n\nMake the matrix symmetric in place (average of transposed pairs, or a " \
     "copy where one is missing); returns self."},                                                  \
        WHISTLE_COPY_METHODS

}  // namespace whistle::py

// Defines the type of one terminal matrix class and its `<Name>_type()` inside namespace
// whistle::py; the remaining arguments are the type's own method entries, each followed by a comma.
#define WHISTLE_TERMINAL_MATRIX_TYPE(Name, doc, ...)                                                    \
    namespace {                                                                                     \
    PyMethodDef Name##_methods[] = {WHISTLE_TERMINAL_MATRIX_METHODS(Name##Tag), __VA_ARGS__ {nullptr, nullptr, 0, nullptr}}; \
    PyTypeObject Name##_type_object =                                                               \
        TerminalMatrixBinding<Name##Tag>::make_type("tarnwhistle." #Name, doc, Name##_methods);     \
    }                                                                                               \
    PyTypeObject* Name##_type() { return register_exposed_type(TypeCode::Name, &Name##_type_object); }
