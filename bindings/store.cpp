// Module functions of the twf files and the JSON store documents.
#include <fstream>

#include "core/store/json_store.hpp"
#include "core/store/twf_reader.hpp"
#include "core/store/twf_stream.hpp"
#include "core/store/twf_writer.hpp"
#include "store.hpp"
#include "types.hpp"
#include "value_codec.hpp"

namespace whistle::py {

namespace {

// {store id: object} of the first `count` objects reached.
PyObject* reached_dict(const JsonStoreWriter& writer, size_t count) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        const auto& [id, object] = writer.reached()[i];
        Ref value(stored_value(object));
        if (!value || PyDict_SetItemString(dict.get(), id.c_str(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Rejects every keyword except `allowed`, whose value is returned (borrowed, may be null).
bool only_keyword(PyObject* kwds, const char* allowed, const char* message, PyObject*& value) {
    value = nullptr;
    if (!kwds) return true;
    PyObject *key, *item;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwds, &position, &key, &item)) {
        if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, allowed) != 0) {
            PyErr_SetString(PyExc_TypeError, message);
            return false;
        }
        value = item;
    }
    return true;
}


}  // namespace

bool records_of(PyObject* args, Py_ssize_t first, std::vector<std::shared_ptr<BaseType>>& out) {
    for (Py_ssize_t i = first; i < PyTuple_GET_SIZE(args); ++i) {
        try {
            out.push_back(storable(PyTuple_GET_ITEM(args, i)));
        }
        WHISTLE_CATCH(false)
    }
    return true;
}

PyObject* value_tuple(const std::vector<std::shared_ptr<BaseType>>& objects) {
    Ref tuple(PyTuple_New(Py_ssize_t(objects.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < objects.size(); ++i) {
        PyObject* value = stored_value(objects[i]);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), value);
    }
    return tuple.release();
}

std::shared_ptr<AbstractTwfStream> open_twf_for_reading(const std::string& filename, bool set_config) {
    auto stream = AbstractTwfStream::open(filename, AbstractTwfStream::Mode::Read);
    if (set_config) apply_config(config_lengths(stream->config_record()), false);
    return stream;
}

PyObject* function_write_twf(PyObject*, PyObject* args, PyObject* kwds) {
    if (kwds && PyDict_Size(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "write_twf() takes positional arguments only.");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_TypeError, "write_twf() missing required argument 'filename' (pos 1)");
        return nullptr;
    }
    std::string filename;
    std::vector<std::shared_ptr<BaseType>> objects;
    if (!to_file_name(PyTuple_GET_ITEM(args, 0), filename) || !records_of(args, 1, objects))
        return nullptr;
    try {
        TwfWriter writer(filename);
        for (const auto& object : objects) writer.write_explicit(object);
        writer.finish(nullptr);
    }
    WHISTLE_CATCH(nullptr)
    Py_RETURN_NONE;
}

PyObject* function_load_twf(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", "only_explicit", "set_config", nullptr};
    PyObject* filename_obj = nullptr;
    int only_explicit = 1, set_config = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|pp:load_twf", (char**)keywords, &filename_obj,
                                     &only_explicit, &set_config))
        return nullptr;
    std::string filename;
    if (!to_file_name(filename_obj, filename)) return nullptr;
    std::vector<std::shared_ptr<BaseType>> components, technologies;
    try {
        auto stream = open_twf_for_reading(filename, set_config);
        components = stream->objects(TypeCode::Component, only_explicit);
        technologies = stream->objects(TypeCode::Technology, only_explicit);
    }
    WHISTLE_CATCH(nullptr)
    Ref component_list(new_list(components.size(), [&](size_t i) { return stored_value(components[i]); }));
    Ref technology_list(new_list(technologies.size(), [&](size_t i) { return stored_value(technologies[i]); }));
    if (!component_list || !technology_list) return nullptr;
    return Py_BuildValue("{s:O,s:O}", "components", component_list.get(), "technologies",
                         technology_list.get());
}

PyObject* function_load_full_twf(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", "set_config", nullptr};
    PyObject* filename_obj = nullptr;
    int set_config = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|p:load_full_twf", (char**)keywords, &filename_obj,
                                     &set_config))
        return nullptr;
    std::string filename;
    if (!to_file_name(filename_obj, filename)) return nullptr;
    std::vector<std::shared_ptr<BaseType>> objects;
    try {
        auto stream = open_twf_for_reading(filename, set_config);
        if (!stream->keeps_write_order()) throw StoreError("This twf file does not support this function.");
        objects = stream->explicit_objects();
    }
    WHISTLE_CATCH(nullptr)
    return value_tuple(objects);
}

PyObject* function__export(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject* filename_obj = nullptr;
    if (!only_keyword(kwds, "filename", "Only 'filename' is accepted as a keyword argument.", filename_obj))
        return nullptr;
    std::string filename;
    if (filename_obj && filename_obj != Py_None && !to_file_name(filename_obj, filename)) return nullptr;
    std::vector<std::shared_ptr<BaseType>> objects;
    if (!records_of(args, 0, objects)) return nullptr;
    JsonStoreWriter writer;
    std::string document;
    try {
        document = writer.document(objects);
        if (!filename.empty()) {
            std::ofstream file(filename, std::ios::binary | std::ios::trunc);
            file.write(document.data(), std::streamsize(document.size()));
            file.close();
            if (!file) throw StoreError("File I/O error.");
        }
    }
    WHISTLE_CATCH(nullptr)
    Ref reached(reached_dict(writer, writer.content_size()));
    if (!reached || !filename.empty()) return reached.release();
    return Py_BuildValue("(Oy#)", reached.get(), document.data(), Py_ssize_t(document.size()));
}

PyObject* function__dependencies(PyObject*, PyObject* args, PyObject* kwds) {
    if (kwds && PyDict_Size(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "_dependencies() takes positional arguments only.");
        return nullptr;
    }
    std::vector<std::shared_ptr<BaseType>> objects;
    if (!records_of(args, 0, objects)) return nullptr;
    JsonStoreWriter writer;
    try {
        for (const auto& object : objects) writer.ref(object);
    }
    WHISTLE_CATCH(nullptr)
    return reached_dict(writer, writer.reached().size());
}

PyObject* function__import(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", "byte_repr", "set_config", nullptr};
    PyObject *filename_obj = Py_None, *bytes_obj = Py_None;
    int set_config = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOp:_import", (char**)keywords, &filename_obj,
                                     &bytes_obj, &set_config))
        return nullptr;
    if ((filename_obj == Py_None) == (bytes_obj == Py_None)) {
        PyErr_SetString(PyExc_RuntimeError, "One (and only one) of 'filename' or 'byte_repr' must be set.");
        return nullptr;
    }
    std::string text;
    if (bytes_obj != Py_None) {
        if (!PyBytes_Check(bytes_obj)) {
            PyErr_SetString(PyExc_TypeError, "Argument 'byte_repr' must be a bytes instance.");
            return nullptr;
        }
        text.assign(PyBytes_AS_STRING(bytes_obj), size_t(PyBytes_GET_SIZE(bytes_obj)));
    } else {
        std::string filename;
        if (!to_file_name(filename_obj, filename)) return nullptr;
        try {
            text = read_whole_file(filename);
        }
        WHISTLE_CATCH(nullptr)
    }
    std::vector<std::shared_ptr<BaseType>> objects;
    StoredConfig stored;
    try {
        JsonStoreReader reader(text);
        objects = reader.top_content();
        stored = reader.stored_config();
        if (set_config) apply_config(stored, true);
    }
    WHISTLE_CATCH(nullptr)
    Ref top(value_tuple(objects));
    Ref config(top ? config_dict(stored) : nullptr);
    if (!config) return nullptr;
    return PyTuple_Pack(2, top.get(), config.get());
}

PyObject* function__content_repr(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject* include = nullptr;
    if (!only_keyword(kwds, "include_config", "Only 'include_config' accepted as keyword argument.", include))
        return nullptr;
    const int include_config = include ? PyObject_IsTrue(include) : 1;
    if (include_config < 0) return nullptr;
    std::vector<std::shared_ptr<BaseType>> objects;
    if (!records_of(args, 0, objects)) return nullptr;
    std::string bytes;
    try {
        TwfWriter writer;
        for (const auto& object : objects) writer.store(object);
        bytes = writer.content(include_config);
    }
    WHISTLE_CATCH(nullptr)
    return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

}  // namespace whistle::py
