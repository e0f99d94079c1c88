// Layout files: write_layout, load_layout and Component.write_gds / write_oas.
#include "common.hpp"
#include "component.hpp"
#include "model.hpp"
#include "types.hpp"

#include "core/layout/driver.hpp"
#include "core/layout/external_sort.hpp"

namespace whistle::py {

namespace {

using layout::LayoutFormat;

bool check_callable(PyObject* obj, const char* message) {
    if (obj == Py_None || PyCallable_Check(obj)) return true;
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

// The export set written with unique names.
bool write_components(const std::string& filename, LayoutFormat format,
                      const std::vector<std::shared_ptr<Component>>& components,
                      const layout::WriteOptions& options, PyObject* pre_export_function) {
    ErrorHandler status;
    layout::PreparedLayout prepared;
    if (!prepare_export(components, pre_export_function, prepared, status)) return false;
    try {
        layout::write_layout(filename, format, prepared, options, status);
    }
    WHISTLE_CATCH(false)
    return check_status(status, true);
}

bool to_library_properties(PyObject* obj, std::shared_ptr<Properties>& out) {
    if (obj == Py_None) return true;
    if (!is_instance(obj, TypeCode::Properties)) {
        PyErr_SetString(PyExc_TypeError, "'library_properties' must be a Properties instance.");
        return false;
    }
    out = unwrap<Properties>(obj);
    return out != nullptr;
}

// The name derived from a component's name: printable ASCII without path separators.
std::string default_file_name(const std::string& name) {
    std::string result;
    for (char c : name)
        if (c >= 0x20 && c <= 0x7E && c != '/' && c != ':' && c != '\\') result += c;
    return (result.empty() ? std::string("component") : result) + ".gds";
}

PyObject* write_one(PyObject* self, PyObject* filename, LayoutFormat format,
                    const layout::WriteOptions& options, PyObject* pre_export_function) {
    std::string name;
    if ((filename && !to_file_name(filename, name)) ||
        !check_callable(pre_export_function, "'pre_export_function' must be callable."))
        return nullptr;
    std::shared_ptr<Component> component = unwrap<Component>(self);
    if (!component) return nullptr;
    if (name.empty()) name = default_file_name(component->name);
    return write_components(name, format, {component}, options, pre_export_function) ? same(self)
                                                                                     : nullptr;
}

}  // namespace

bool prepare_export(const std::vector<std::shared_ptr<Component>>& components, PyObject* pre_export_function,
                    layout::PreparedLayout& out, ErrorHandler& status) {
    try {
        std::vector<std::shared_ptr<Component>> collected = layout::collect_export_components(components);
        std::vector<std::shared_ptr<Component>> written = collected;
        if (pre_export_function != Py_None) {
            for (auto& component : written) {
                component = component->copy(false, false);
                Ref copy(wrap(component));
                Ref result(copy ? PyObject_CallOneArg(pre_export_function, copy.get()) : nullptr);
                if (!result) return false;
            }
        }
        out = layout::prepare_layout(collected, written, status);
        return true;
    }
    WHISTLE_CATCH(false)
}

PyObject* function_write_layout(PyObject*, PyObject* args, PyObject* kwds) {
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 1) {
        PyErr_SetString(PyExc_TypeError, "write_layout() missing required argument 'filename' (pos 1)");
        return nullptr;
    }
    layout::WriteOptions options;
    int paths_to_polygons = 1, compression_level = 9;
    Py_ssize_t fracture_limit = 0;
    const char* library_name = "LIBRARY";
    PyObject* library_properties = Py_None;
    PyObject* pre_export_function = Py_None;
    static const char* keywords[] = {"paths_to_polygons", "compression_level", "fracture_limit",
                                     "library_name", "library_properties", "pre_export_function",
                                     nullptr};
    PyObject* empty = PyTuple_New(0);
    if (!empty) return nullptr;
    int parsed = PyArg_ParseTupleAndKeywords(empty, kwds, "|pinsOO:write_layout", (char**)keywords,
                                             &paths_to_polygons, &compression_level,
                                             &fracture_limit, &library_name, &library_properties,
                                             &pre_export_function);
    Py_DECREF(empty);
    if (!parsed) return nullptr;

    std::string filename;
    if (!to_file_name(PyTuple_GET_ITEM(args, 0), filename)) return nullptr;
    std::vector<std::shared_ptr<Component>> components;
    for (Py_ssize_t i = 1; i < count; ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        if (!is_instance(arg, TypeCode::Component)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument in positin %zd is not an instance of 'Component'.", i + 1);
            return nullptr;
        }
        components.push_back(unwrap<Component>(arg));
    }
    if (!check_callable(pre_export_function, "'pre_export_function' must be callable.") ||
        !to_library_properties(library_properties, options.library_properties))
        return nullptr;
    options.paths_to_polygons = paths_to_polygons;
    options.compression_level = compression_level;
    options.fracture_limit = uint32_t(std::clamp<Py_ssize_t>(fracture_limit, 0, UINT32_MAX));
    options.library_name = library_name;
    if (!write_components(filename, layout::format_for_name(filename), components, options,
                          pre_export_function))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* component_write_gds(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* filename = nullptr;
    int paths_to_polygons = 1;
    Py_ssize_t fracture_limit = 0;
    PyObject* pre_export_function = Py_None;
    static const char* keywords[] = {"filename", "paths_to_polygons", "fracture_limit",
                                     "pre_export_function", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OpnO:write_gds", (char**)keywords, &filename,
                                     &paths_to_polygons, &fracture_limit, &pre_export_function))
        return nullptr;
    layout::WriteOptions options;
    options.paths_to_polygons = paths_to_polygons;
    options.fracture_limit = uint32_t(std::clamp<Py_ssize_t>(fracture_limit, 0, UINT32_MAX));
    return write_one(self, filename, LayoutFormat::Gdsii, options, pre_export_function);
}

PyObject* component_write_oas(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* filename = nullptr;
    int paths_to_polygons = 1, compression_level = 9;
    PyObject* library_properties = Py_None;
    PyObject* pre_export_function = Py_None;
    static const char* keywords[] = {"filename", "paths_to_polygons", "compression_level",
                                     "library_properties", "pre_export_function", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OpiOO:write_oas", (char**)keywords, &filename,
                                     &paths_to_polygons, &compression_level, &library_properties,
                                     &pre_export_function))
        return nullptr;
    layout::WriteOptions options;
    if (!to_library_properties(library_properties, options.library_properties)) return nullptr;
    options.paths_to_polygons = paths_to_polygons;
    options.compression_level = compression_level;
    return write_one(self, filename, LayoutFormat::Oasis, options, pre_export_function);
}

namespace {

bool to_layer_filter(PyObject* obj, const Technology* technology,
                     std::optional<std::set<Layer>>& out) {
    if (obj == Py_None) return true;
    PyObject* iterator = PyObject_GetIter(obj);
    if (!iterator) {
        PyErr_SetString(PyExc_TypeError, "Unable to get iterator from argument 'layers'.");
        return false;
    }
    std::set<Layer> layers;
    while (PyObject* item = PyIter_Next(iterator)) {
        Layer layer;
        bool ok = to_layer_or_name(item, "layers", technology, layer);
        Py_DECREF(item);
        if (!ok) {
            Py_DECREF(iterator);
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "Unable to get layer from 'layers'.");
            }
            return false;
        }
        layers.insert(layer);
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) return false;
    if (!layers.empty()) out = std::move(layers);
    return true;
}

bool to_cell_names(PyObject* obj, std::vector<std::string>& out) {
    if (obj == Py_None) return true;
    PyObject* iterator = PyObject_GetIter(obj);
    if (!iterator) {
        PyErr_SetString(PyExc_TypeError, "Unable to get iterator from argument 'cell_names'.");
        return false;
    }
    while (PyObject* item = PyIter_Next(iterator)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text) out.emplace_back(text, size_t(size));
        Py_DECREF(item);
        if (!text) {
            Py_DECREF(iterator);
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "Items in 'cell_names' must be strings.");
            }
            return false;
        }
    }
    Py_DECREF(iterator);
    return !PyErr_Occurred();
}

bool to_compaction(PyObject* obj, layout::Compaction& out) {
    if (obj == Py_True || obj == Py_False) {
        out = obj == Py_True ? layout::Compaction::On : layout::Compaction::Off;
        return true;
    }
    if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "auto") == 0) {
        out = layout::Compaction::Auto;
        return true;
    }
    PyErr_SetString(PyExc_ValueError, "'compact' must be True, False, or 'auto'.");
    return false;
}

}  // namespace

PyObject* function_load_layout(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject* filename_obj = nullptr;
    PyObject* technology_obj = Py_None;
    PyObject* layers_obj = Py_None;
    PyObject* cell_names_obj = Py_None;
    int library_properties = 0;
    PyObject* post_load_function = Py_None;
    PyObject* compact_obj = nullptr;
    PyObject* temp_dir_obj = Py_None;
    static const char* keywords[] = {"filename", "technology", "layers", "cell_names",
                                     "library_properties", "post_load_function", "compact",
                                     "temp_dir", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOpOOO:load_layout", (char**)keywords,
                                     &filename_obj, &technology_obj, &layers_obj, &cell_names_obj,
                                     &library_properties, &post_load_function, &compact_obj,
                                     &temp_dir_obj))
        return nullptr;
    layout::LoadOptions options;
    std::string filename;
    if (!to_file_name(filename_obj, filename) || !to_technology(technology_obj, options.technology) ||
        !to_layer_filter(layers_obj, options.technology.get(), options.layers) ||
        !to_cell_names(cell_names_obj, options.cell_names) ||
        !check_callable(post_load_function, "'post_load_function' must be callable.") ||
        (compact_obj && !to_compaction(compact_obj, options.compact)) ||
        (temp_dir_obj != Py_None && !to_file_name(temp_dir_obj, options.temp_dir)))
        return nullptr;

    ErrorHandler status;
    layout::LoadedLayout loaded;
    bool failed_with_exception = false;
    std::string exception_text;
    Py_BEGIN_ALLOW_THREADS
    try {
        layout::load_layout(filename, options, loaded, status);
    } catch (const std::bad_alloc&) {
        failed_with_exception = true;
    } catch (const std::exception& e) {
        failed_with_exception = true;
        exception_text = e.what();
    }
    Py_END_ALLOW_THREADS
    if (failed_with_exception) {
        if (exception_text.empty()) return PyErr_NoMemory();
        PyErr_SetString(PyExc_RuntimeError, exception_text.c_str());
        return nullptr;
    }
    if (!check_status(status, true)) return nullptr;

    PyObject* result = PyDict_New();
    if (!result) return nullptr;
    for (const auto& [name, component] : loaded.components) {
        PyObject* item = wrap(component);
        PyObject* key = item ? text_object(name) : nullptr;
        int stored = key ? PyDict_SetItem(result, key, item) : -1;
        Py_XDECREF(key);
        if (stored < 0) {
            Py_XDECREF(item);
            Py_DECREF(result);
            return nullptr;
        }
        if (post_load_function != Py_None) {
            PyObject* returned = PyObject_CallOneArg(post_load_function, item);
            Py_XDECREF(returned);
            if (!returned) {
                Py_DECREF(item);
                Py_DECREF(result);
                return nullptr;
            }
        }
        Py_DECREF(item);
    }
    if (!library_properties) return result;
    auto properties = loaded.library_properties ? loaded.library_properties
                                                : std::make_shared<Properties>();
    PyObject* properties_obj = wrap(properties);
    if (!properties_obj) {
        Py_DECREF(result);
        return nullptr;
    }
    return Py_BuildValue("(NN)", result, properties_obj);
}

PyObject* function__compaction_workspace(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject* size = Py_None;
    static const char* keywords[] = {"size", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:_compaction_workspace", (char**)keywords, &size))
        return nullptr;
    if (size == Py_None) return PyLong_FromSize_t(layout::compaction_workspace());
    size_t bytes = PyLong_AsSize_t(size);
    if (bytes == size_t(-1) && PyErr_Occurred()) return nullptr;
    return PyLong_FromSize_t(layout::set_compaction_workspace(bytes));
}

}  // namespace whistle::py
