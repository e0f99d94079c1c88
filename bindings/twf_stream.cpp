// TwfStream: a twf file opened for writing objects one call at a time, or for loading them.
#include <optional>

#include "core/model/component.hpp"
#include "core/model/technology.hpp"
#include "core/store/json_store.hpp"
#include "model.hpp"
#include "store.hpp"
#include "types.hpp"
#include "value_codec.hpp"

namespace whistle::py {

namespace {

int twf_stream_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"filename", "mode", "set_config", nullptr};
    PyObject* filename_obj = nullptr;
    const char* mode = "r";
    int set_config = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|sp:TwfStream", (char**)keywords, &filename_obj,
                                     &mode, &set_config))
        return -1;
    const std::string mode_text = mode;
    if (mode_text != "r" && mode_text != "w") {
        PyErr_SetString(PyExc_ValueError, "Argument 'mode' must be one of 'r' or 'w'.");
        return -1;
    }
    std::string filename;
    if (!to_file_name(filename_obj, filename)) return -1;
    try {
        std::shared_ptr<AbstractTwfStream> stream =
            mode_text == "r" ? open_twf_for_reading(filename, set_config)
                             : AbstractTwfStream::open(filename, AbstractTwfStream::Mode::Write);
        install(self, stream);
    }
    WHISTLE_CATCH(-1)
    return 0;
}

PyObject* twf_stream_write(PyObject* self, PyObject* args, PyObject* kwds) {
    if (kwds && PyDict_Size(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "write() takes positional arguments only.");
        return nullptr;
    }
    std::vector<std::shared_ptr<BaseType>> objects;
    if (!records_of(args, 0, objects)) return nullptr;
    return modify<AbstractTwfStream>(self, [&](AbstractTwfStream& stream) {
        for (const auto& object : objects) stream.write(object);
    }) ? same(self) : nullptr;
}

PyObject* twf_stream_close(PyObject* self, PyObject*) {
    return modify<AbstractTwfStream>(self, [](AbstractTwfStream& stream) { stream.close(); })
               ? Py_NewRef(Py_None)
               : nullptr;
}

// `with TwfStream(...) as stream:` finishes the file on leaving the block, even after an error.
PyObject* twf_stream_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* twf_stream_exit(PyObject* self, PyObject*) {
    if (unwrap<AbstractTwfStream>(self)->closed()) Py_RETURN_FALSE;
    return modify<AbstractTwfStream>(self, [](AbstractTwfStream& stream) { stream.close(); })
               ? Py_NewRef(Py_False)
               : nullptr;
}

PyObject* twf_stream_data(PyObject* self, PyObject*) {
    auto stream = unwrap<AbstractTwfStream>(self);
    if (!stream) return nullptr;
    std::vector<std::shared_ptr<BaseType>> objects;
    try {
        objects = stream->explicit_objects();
    }
    WHISTLE_CATCH(nullptr)
    return value_tuple(objects);
}

// The loaded objects of one type, from the explicit table or all objects.
bool objects_of(PyObject* self, TypeCode type, bool only_explicit, std::vector<std::shared_ptr<BaseType>>& out) {
    auto stream = unwrap<AbstractTwfStream>(self);
    if (!stream) return false;
    try {
        out = stream->objects(type, only_explicit);
        return true;
    }
    WHISTLE_CATCH(false)
}

PyObject* twf_stream_contents(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"only_explicit", nullptr};
    int only_explicit = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:contents", (char**)keywords, &only_explicit))
        return nullptr;
    auto stream = unwrap<AbstractTwfStream>(self);
    if (!stream) return nullptr;
    if (stream->closed() || stream->mode() != AbstractTwfStream::Mode::Read) {
        PyErr_SetString(PyExc_RuntimeError, stream->closed() ? kClosedStream
                                                             : "TwfStream not opened in read mode. Contents unavailable.");
        return nullptr;
    }
    std::vector<std::shared_ptr<BaseType>> components, technologies;
    if (!objects_of(self, TypeCode::Component, only_explicit, components) ||
        !objects_of(self, TypeCode::Technology, only_explicit, technologies))
        return nullptr;
    Ref names(PySet_New(nullptr)), versions(PySet_New(nullptr));
    if (!names || !versions) return nullptr;
    for (const auto& object : components) {
        Ref name(PyUnicode_FromString(static_cast<const Component&>(*object).name.c_str()));
        if (!name || PySet_Add(names.get(), name.get()) < 0) return nullptr;
    }
    for (const auto& object : technologies) {
        const auto& technology = static_cast<const Technology&>(*object);
        Ref pair(Py_BuildValue("(ss)", technology.name.c_str(), technology.version.c_str()));
        if (!pair || PySet_Add(versions.get(), pair.get()) < 0) return nullptr;
    }
    return Py_BuildValue("{s:O,s:O}", "components", names.get(), "technologies", versions.get());
}

// The matching objects as a list; a None filter matches everything.
template <class Matches>
PyObject* matching(PyObject* self, TypeCode type, bool only_explicit, Matches matches) {
    std::vector<std::shared_ptr<BaseType>> objects;
    if (!objects_of(self, type, only_explicit, objects)) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& object : objects) {
        if (!matches(*object)) continue;
        Ref value(stored_value(object));
        if (!value || PyList_Append(list.get(), value.get()) < 0) return nullptr;
    }
    return list.release();
}

bool optional_text(PyObject* obj, const char* name, std::optional<std::string>& out) {
    if (obj == Py_None) return true;
    std::string text;
    if (!to_text(obj, name, text)) return false;
    out = std::move(text);
    return true;
}

PyObject* twf_stream_load_component(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name", "only_explicit", nullptr};
    PyObject* name_obj = Py_None;
    int only_explicit = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|Op:load_component", (char**)keywords, &name_obj,
                                     &only_explicit))
        return nullptr;
    std::optional<std::string> name;
    if (!optional_text(name_obj, "name", name)) return nullptr;
    return matching(self, TypeCode::Component, only_explicit, [&](const BaseType& object) {
        return !name || static_cast<const Component&>(object).name == *name;
    });
}

PyObject* twf_stream_load_technology(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name", "version", "only_explicit", nullptr};
    PyObject *name_obj = Py_None, *version_obj = Py_None;
    int only_explicit = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOp:load_technology", (char**)keywords, &name_obj,
                                     &version_obj, &only_explicit))
        return nullptr;
    std::optional<std::string> name, version;
    if (!optional_text(name_obj, "name", name) || !optional_text(version_obj, "version", version))
        return nullptr;
    return matching(self, TypeCode::Technology, only_explicit, [&](const BaseType& object) {
        const auto& technology = static_cast<const Technology&>(object);
        return (!name || technology.name == *name) && (!version || technology.version == *version);
    });
}

PyObject* get_config(PyObject* self, void*) {
    auto stream = unwrap<AbstractTwfStream>(self);
    if (!stream) return nullptr;
    if (stream->closed() || stream->mode() != AbstractTwfStream::Mode::Read) Py_RETURN_NONE;
    StoredConfig stored;
    try {
        if (stream->config_record().is_null()) Py_RETURN_NONE;
        stored = stream->stored_config();
    }
    WHISTLE_CATCH(nullptr)
    if (!stream->keeps_write_order())
        return Py_BuildValue("{s:d,s:d}", "grid", stored.grid, "tolerance", stored.tolerance);
    return config_dict(stored);
}

PyMethodDef twf_stream_methods[] = {
    {"write", (PyCFunction)(void (*)(void))twf_stream_write, METH_VARARGS | METH_KEYWORDS,
     "write(*args)\n\nStore the objects (with everything they refer to) as explicit objects."},
    {"data", twf_stream_data, METH_NOARGS, "data()\n\nEvery explicit object, in the order stored."},
    {"contents", (PyCFunction)(void (*)(void))twf_stream_contents, METH_VARARGS | METH_KEYWORDS,
     "contents(only_explicit=True)\n\n{'components': set of names, 'technologies': set of (name, version)}."},
    {"load_component", (PyCFunction)(void (*)(void))twf_stream_load_component,
     METH_VARARGS | METH_KEYWORDS,
     "load_component(name=None, only_explicit=True)\n\nThe stored components (of that name)."},
    {"load_technology", (PyCFunction)(void (*)(void))twf_stream_load_technology,
     METH_VARARGS | METH_KEYWORDS,
     "load_technology(name=None, version=None, only_explicit=True)\n\nThe stored technologies (of that name and version)."},
    {"close", twf_stream_close, METH_NOARGS,
     "close()\n\nFinish the file (write mode) or release it (read mode)."},
    {"__enter__", twf_stream_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nThe stream itself."},
    {"__exit__", twf_stream_exit, METH_VARARGS,
     "__exit__($self, /, *exc_info)\n--\n\nClose the stream; exceptions propagate."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef twf_stream_getset[] = {
    WHISTLE_BASE_GETSET,
    {"config", get_config, nullptr, "dict | None: Configuration stored in the file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kTwfStreamDoc[] =
    "TwfStream(filename, mode='r', set_config=True)\n\nA twf file opened for reading ('r') or "
    "writing ('w'). Written objects are stored once, with everything they refer to; the file is "
    "finished by close() (or when the stream is destroyed). In read mode objects load lazily, "
    "each once, and set_config applies the file's grid and tolerance.";

PyTypeObject twf_stream_type =
    wrapper_type("tarnwhistle.TwfStream", kTwfStreamDoc, twf_stream_init, twf_stream_methods, twf_stream_getset);

}  // namespace

PyTypeObject* TwfStream_type() { return register_exposed_type(TypeCode::Store, &twf_stream_type); }

}  // namespace whistle::py
