// Converters shared by the layout-model types.
#include "model.hpp"

#include "core/foundation/config.hpp"
#include "core/model/technology.hpp"
#include "interpreter_objects.hpp"
#include "types.hpp"

namespace whistle::py {

bool to_text(PyObject* value, const char* name, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "'%s' must be a string.", name);
        return false;
    }
    out.assign(text, size_t(size));
    return true;
}

PyObject* layer_tuple(const Layer& layer) {
    return Py_BuildValue("(kk)", (unsigned long)layer.layer, (unsigned long)layer.datatype);
}

bool to_layer(PyObject* obj, const char* name, Layer& out) {
    if (!obj || PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of 2 integers.", name);
        return false;
    }
    Ref items(sequence_items(obj));
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != 2) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of 2 integers.", name);
        return false;
    }
    uint32_t values[2];
    for (size_t i = 0; i < 2; ++i) {
        Ref index(PyNumber_Index(PyTuple_GET_ITEM(items.get(), Py_ssize_t(i))));
        unsigned long long value = index ? PyLong_AsUnsignedLongLong(index.get()) : 0;
        if (!index || PyErr_Occurred() || value > UINT32_MAX) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "Error converting item %zu from layer sequence to positive integer.", i);
            return false;
        }
        values[i] = uint32_t(value);
    }
    out = {values[0], values[1]};
    return true;
}

bool to_layer_or_name(PyObject* obj, const char* name, const Technology* technology, Layer& out) {
    if (!obj || !PyUnicode_Check(obj)) return to_layer(obj, name, out);
    const char* layer_name = PyUnicode_AsUTF8(obj);
    if (!layer_name) return false;
    std::shared_ptr<Technology> fallback;
    if (!technology) {
        fallback = default_technology();
        if (!fallback) return false;
        technology = fallback.get();
    }
    if (std::optional<Layer> layer = technology->find_layer(layer_name)) {
        out = *layer;
        return true;
    }
    const std::string& shown = technology->name.empty() ? Technology::kUnnamed : technology->name;
    PyErr_Format(PyExc_ValueError, "LayerSpec name '%s' not found in technology '%s'.", layer_name,
                 shown.c_str());
    return false;
}

std::shared_ptr<Technology> default_technology() {
    std::shared_ptr<BaseType>& slot = config().default_technology;
    if (slot) return std::static_pointer_cast<Technology>(slot);
    // Through the module attribute, as users may replace it.
    Ref module(PyImport_ImportModule("tarnwhistle.extension"));
    Ref function(module ? PyObject_GetAttrString(module.get(), "basic_technology") : nullptr);
    Ref created(function ? PyObject_CallNoArgs(function.get()) : nullptr);
    if (!created) return nullptr;
    if (!is_instance(created.get(), TypeCode::Technology)) {
        PyErr_SetString(PyExc_TypeError, "The default technology must be an instance of the Technology class.");
        return nullptr;
    }
    auto technology = unwrap<Technology>(created.get());
    if (!technology) return nullptr;
    slot = technology;
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "Setting default technology to a basic default. Set "
                     "'tarnwhistle.config.default_technology' to the desired technology.",
                     1) < 0)
        return nullptr;
    return technology;
}

bool to_technology(PyObject* obj, std::shared_ptr<Technology>& out) {
    if (!obj || obj == Py_None) {
        out = default_technology();
        return out != nullptr;
    }
    if (!is_instance(obj, TypeCode::Technology)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'technology' must be a Technology instance or None.");
        return false;
    }
    out = unwrap<Technology>(obj);
    return out != nullptr;
}

namespace {

bool is_solver_medium(PyObject* obj) {
    PyObject* base = solver_object("Fenn3dBaseModel");
    if (!base) return false;
    int result = PyObject_IsInstance(obj, base);
    if (result < 0) PyErr_Clear();
    return result == 1;
}

bool medium_error(const char* name) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%s' must be a medium or a dictionary with 'optical' and 'electrical' "
                 "media.",
                 name);
    return false;
}

}  // namespace

bool to_medium(PyObject* obj, const char* name, Medium& out) {
    if (obj && is_solver_medium(obj)) {
        auto holder = std::make_shared<Fenn3dBaseModel>(obj);
        out = {holder, holder};
        return true;
    }
    if (!obj || !PyDict_Check(obj)) return medium_error(name);
    // Read both entries before converting: the dict may change under a conversion.
    Ref copy(PyDict_Copy(obj));
    if (!copy) return false;
    Medium result;
    for (Classification c : {Classification::Optical, Classification::Electrical}) {
        PyObject* value = PyDict_GetItemString(copy.get(), classification_name(c));
        if (!value || value == Py_None) continue;
        if (!is_solver_medium(value)) return medium_error(name);
        (c == Classification::Optical ? result.optical : result.electrical) =
            std::make_shared<Fenn3dBaseModel>(value);
    }
    out = std::move(result);
    return true;
}

PyObject* medium_object(const std::shared_ptr<BaseType>& holder) {
    PyObject* value = holder ? static_cast<PyNative*>(holder.get())->value() : Py_None;
    Py_INCREF(value);
    return value;
}

PyObject* medium_value(const Medium& medium) {
    if (medium.optical == medium.electrical) return medium_object(medium.optical);
    Ref optical(medium_object(medium.optical));
    Ref electrical(medium_object(medium.electrical));
    return Py_BuildValue("{sOsO}", "optical", optical.get(), "electrical", electrical.get());
}

PyObject* classified_medium(const Medium& medium, PyObject* value) {
    Classification classification;
    if (!to_classification(value, classification)) return nullptr;
    const std::shared_ptr<BaseType>& held = medium.get(classification);
    if (!held) {
        PyErr_Format(PyExc_ValueError, "Medium for classification '%s' is not available.",
                     classification_name(classification));
        return nullptr;
    }
    return medium_object(held);
}

PyObject* layer_set(const std::set<Layer>& layers) {
    Ref result(PySet_New(nullptr));
    if (!result) return nullptr;
    for (const Layer& layer : layers) {
        Ref item(layer_tuple(layer));
        if (!item || PySet_Add(result.get(), item.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* iterable_items(PyObject* value, const char* message) {
    PyObject* items = value && !PyUnicode_Check(value) ? PySequence_Tuple(value) : nullptr;
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, message);
    }
    return items;
}

PyObject* registered_function(const char* registry_name, const std::string& name,
                              const char* invalid, const char* missing) {
    Ref module(PyImport_ImportModule("tarnwhistle.extension"));
    Ref registry(module ? PyObject_GetAttrString(module.get(), registry_name) : nullptr);
    if (!registry || !PyDict_Check(registry.get())) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, invalid);
        return nullptr;
    }
    PyObject* function = PyDict_GetItemString(registry.get(), name.c_str());
    if (!function) {
        PyErr_SetString(PyExc_RuntimeError, missing);
        return nullptr;
    }
    return Py_NewRef(function);
}

PyObject* merged_kwargs(PyObject* stored, PyObject* kwds) {
    Ref merged(stored && PyDict_Check(stored) ? PyDict_Copy(stored) : PyDict_New());
    if (!merged || (kwds && PyDict_Update(merged.get(), kwds) < 0)) return nullptr;
    return merged.release();
}

PyObject* parametric_kwargs_value(PyObject* value) {
    if (value == Py_None) return Py_NewRef(Py_None);
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "'parametric_kwargs' must be a dictionary or None.");
        return nullptr;
    }
    return PyDict_Copy(value);
}

PyObject* random_variables_value(PyObject* value) {
    PyObject* list = PySequence_Check(value) && !PyUnicode_Check(value) ? PySequence_List(value) : nullptr;
    if (!list) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "'random_variables' must be a sequence.");
    }
    return list;
}

bool to_classification(PyObject* obj, Classification& out) {
    const char* text = obj && PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
    if (text) {
        if (auto classification = classification_from_name(text)) {
            out = *classification;
            return true;
        }
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError,
                    "Argument 'classification' must be one of 'electrical' or 'optical'.");
    return false;
}

}  // namespace whistle::py
