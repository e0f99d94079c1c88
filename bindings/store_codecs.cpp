// Stored forms of the types whose objects are interpreter values: models and time steppers
// implemented by interpreter classes (stored by class name and the keyword arguments that
// rebuild them through the class registries), random variables, and the decoder of values in
// the sixth-generation layout.
#include "store_codecs.hpp"

#include "core/foundation/config.hpp"
#include "core/store/twf_reader.hpp"
#include "model_class.hpp"
#include "parametric.hpp"
#include "random_variable.hpp"
#include "time_stepper.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// ---- Interpreter values inside forms -------------------------------------------------------

json value_json(PyObject* value, StoreWriter& store) {
    return value_codec().to_json(PyNative(TypeCode::Native, value), store);
}

// New reference to the decoded value.
PyObject* value_from_json(const json& form, StoreReader& store) {
    const BaseType& prototype = *config().prototypes[Config::kNative];
    auto holder = std::dynamic_pointer_cast<PyNative>(value_codec().from_json(form, store, prototype));
    if (!holder) throw StoreError("Invalid byte-representation for Python object.");
    return Py_NewRef(holder->value());
}

// The `__name__` of the instance's class.
std::string class_name(PyObject* instance) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(instance)), "__name__"));
    const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) throw InterpreterError();
    return text;
}

// ---- Objects of interpreter classes --------------------------------------------------------

// What a stored type rebuilds through: its class names and registry, and its noun in messages.
struct StoredClass {
    const InterpreterClass& cls;
    const char* noun;
};

const StoredClass kStoredModel{kModelClass, "model"};
const StoredClass kStoredStepper{kTimeStepperClass, "time stepper"};

// A stored class name; one that is not text is invalid data (and could not be named in a
// message).
std::string class_text(std::string name) {
    Ref text(PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), nullptr));
    if (!text) {
        PyErr_Clear();
        throw StoreError("Invalid value for key 'class'.");
    }
    return name;
}

// The class registered under `name` (new reference).
Ref registered_class(const StoredClass& kind, const std::string& name) {
    const std::string type_name = kind.cls.name;
    Ref module(PyImport_ImportModule("tarnwhistle.extension"));
    if (!module) throw InterpreterError();
    Ref registry(PyObject_GetAttrString(module.get(), kind.cls.registry));
    if (!registry || !PyDict_Check(registry.get())) {
        PyErr_Clear();
        throw StoreError(type_name + " class registry is not a dictionary.");
    }
    PyObject* found = PyDict_GetItemString(registry.get(), name.c_str());
    if (!found)
        throw StoreError(type_name + " class '" + name + "' not found in register: use the '" +
                         kind.cls.register_function +
                         "' function to register the class before loading a twf file.");
    return Ref(Py_NewRef(found));
}

// The core object of an instance built by `maker` (named so in messages), which must be one
// of the stored class.
std::shared_ptr<BaseType> built_core(const StoredClass& kind, PyObject* built, const std::string& maker) {
    if (!is_instance_of(built, kind.cls))
        throw StoreError("Object created by '" + maker + "' must be an instance of '" + kind.cls.name + "'.");
    return unwrap_base(built);
}

[[noreturn]] void build_failed(const StoredClass& kind, const std::string& name) {
    PyErr_Clear();
    throw StoreError(std::string("Unable to build ") + kind.noun +
                     " from byte representation for class '" + name + "'.");
}

// Class name, keyword arguments and parametric function of an instance's core object.
template <class Core>
void parametric_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& core = static_cast<const Core&>(object);
    auto* link = dynamic_cast<const InstanceLink*>(&object);
    PyObject* kwargs = PyParametricData::item(core.parametric_data, "kwargs");
    if (!link || !link->instance() || !kwargs || kwargs == Py_None)
        throw StoreError("Unsupported type in twf stream.");
    form["class"] = class_name(link->instance());
    form["parametric_kwargs"] = value_json(kwargs, store);
    PyObject* function = PyParametricData::item(core.parametric_data, "function");
    const char* function_name = function && PyUnicode_Check(function) ? PyUnicode_AsUTF8(function) : nullptr;
    form["parametric_function"] = function_name ? json(function_name) : json(nullptr);
}

// Sets an attribute of a rebuilt instance; a value the instance refuses (or none, when it
// could not be decoded) is invalid stored data.
void set_stored_attribute(PyObject* instance, const char* key, PyObject* value) {
    if (!value || PyObject_SetAttrString(instance, key, value) < 0) {
        PyErr_Clear();
        throw StoreError(std::string("Invalid value for key '") + key + "'.");
    }
}

// A new instance of the registered class called with the stored keyword arguments.
Ref parametric_from_json(const json& form, StoreReader& store, const StoredClass& kind) {
    const std::string name = class_text(string_field(form, "class"));
    Ref kwargs(value_from_json(field(form, "parametric_kwargs"), store));
    bool string_keys = PyDict_Check(kwargs.get());
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (string_keys && PyDict_Next(kwargs.get(), &position, &key, &value)) string_keys = PyUnicode_Check(key);
    if (!string_keys) throw StoreError("Invalid value for key 'parametric_kwargs'.");
    const json& function = field(form, "parametric_function");
    if (!function.is_null() && !function.is_string())
        throw StoreError("Invalid value for key 'parametric_function'.");

    Ref cls = registered_class(kind, name);
    Ref no_args(PyTuple_New(0));
    if (!no_args) throw InterpreterError();
    Ref built(PyObject_Call(cls.get(), no_args.get(), kwargs.get()));
    if (!built) build_failed(kind, name);
    built_core(kind, built.get(), name);
    if (function.is_string()) {
        const std::string& stored = function.get_ref<const std::string&>();
        Ref text(PyUnicode_DecodeUTF8(stored.data(), Py_ssize_t(stored.size()), nullptr));
        if (!text) PyErr_Clear();
        set_stored_attribute(built.get(), "parametric_function", text.get());
    }
    return built;
}

// ---- Model ---------------------------------------------------------------------------------

void model_to_json(const BaseType& object, json& form, StoreWriter& store) {
    parametric_to_json<Model>(object, form, store);
    // Lumped models keep their port map apart from the keyword arguments.
    auto* lumped = dynamic_cast<const LumpedModel*>(&object);
    if (lumped && lumped->port_map) {
        Ref ports(port_map_object(*lumped->port_map));
        if (!ports) throw InterpreterError();
        form["port_map"] = value_json(ports.get(), store);
    }
}

std::shared_ptr<BaseType> model_from_json(const json& form, StoreReader& store) {
    Ref built = parametric_from_json(form, store, kStoredModel);
    if (auto ports = form.find("port_map"); ports != form.end() && !ports->is_null()) {
        Ref value(value_from_json(*ports, store));
        set_stored_attribute(built.get(), "port_map", value.get());
    }
    return unwrap_base(built.get());
}

// Sixth-generation model records hold the class name and the bytes that the class's
// `_from_twf6_bytes` rebuilds the model from.
std::shared_ptr<BaseType> model_from_twf6(TwfPayloadReader& in) {
    const std::string name = class_text(in.string());
    const std::string bytes = in.string();
    Ref cls = registered_class(kStoredModel, name);
    Ref method(PyObject_GetAttrString(cls.get(), "_from_twf6_bytes"));
    if (!method) {
        PyErr_Clear();
        throw StoreError("Unable to get method '_from_twf6_bytes' from class '" + name + "'.");
    }
    if (!PyCallable_Check(method.get()))
        throw StoreError("Attribute '_from_twf6_bytes' from class '" + name + "' must be callable.");
    Ref data(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
    if (!data) throw InterpreterError();
    Ref built(PyObject_CallOneArg(method.get(), data.get()));
    if (!built) build_failed(kStoredModel, name);
    return built_core(kStoredModel, built.get(), name + "._from_twf6_bytes");
}

std::shared_ptr<BaseType> model_from_twf(TwfPayloadReader& in) {
    auto* reader = dynamic_cast<TwfReader*>(&in.store());
    if (reader && reader->version() < 7) return model_from_twf6(in);
    return model_from_json(read_tree(in), in.store());
}

// ---- TimeStepper ---------------------------------------------------------------------------

void stepper_to_json(const BaseType& object, json& form, StoreWriter& store) {
    parametric_to_json<TimeStepper>(object, form, store);
}

std::shared_ptr<BaseType> stepper_from_json(const json& form, StoreReader& store) {
    return unwrap_base(parametric_from_json(form, store, kStoredStepper).get());
}

// ---- RandomVariable ------------------------------------------------------------------------

// The parent is not stored: parents list their variables and take them over when they load,
// and storing it here would make a cycle through the parent's own record. The variable's
// `type` is stored as "distribution": "type" names the stored type in every form.
void random_variable_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& variable = static_cast<const PyRandomVariable&>(object);
    form["name"] = variable.name;
    form["distribution"] = distribution_name(variable.distribution());
    form["spec"] = value_json(variable.spec(), store);
    form["value"] = value_json(variable.value(), store);
}

std::shared_ptr<BaseType> random_variable_from_json(const json& form, StoreReader& store) {
    const std::string name = string_field(form, "name");
    const std::string type = string_field(form, "distribution");
    Distribution distribution = Distribution::Fixed;
    while (type != distribution_name(distribution)) {
        if (distribution == Distribution::Discrete) throw StoreError("Invalid value for key 'distribution'.");
        distribution = Distribution(uint8_t(distribution) + 1);
    }
    Ref spec(value_from_json(field(form, "spec"), store));
    const Py_ssize_t size = PyTuple_Check(spec.get()) ? PyTuple_GET_SIZE(spec.get()) : -1;
    const bool sized = distribution == Distribution::Fixed      ? size == 1
                       : distribution == Distribution::Discrete ? size >= 2
                                                                : size == 2;
    if (!sized) throw StoreError("Invalid value for key 'spec'.");
    Ref value(value_from_json(field(form, "value"), store));
    return std::make_shared<PyRandomVariable>(name, distribution, spec.get(), value.get());
}

// ---- Values of the sixth-generation layout -------------------------------------------------

constexpr const char* kInvalidValue = "Invalid byte-representation for Python object.";
// Deeper values come only from corrupt data.
constexpr int kMaxValueDepth = 200;

// A new reference; StoreError for bad data (interpreter failures included: the data made them).
PyObject* checked(PyObject* value) {
    if (!value) {
        PyErr_Clear();
        throw StoreError(kInvalidValue);
    }
    return value;
}

// Calls `function` of `module` with one argument (new reference).
PyObject* call_module_function(const char* module, const char* function, PyObject* argument) {
    Ref imported(checked(PyImport_ImportModule(module)));
    Ref callable(checked(PyObject_GetAttrString(imported.get(), function)));
    return checked(PyObject_CallOneArg(callable.get(), argument));
}

PyObject* read_value(ByteReader& in, int depth);

PyObject* read_text(ByteReader& in) {
    const std::string text = in.string();
    return checked(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr));
}

// Fills `container` with `count` items through `add` (which returns -1 on failure).
template <class Add>
void read_items(ByteReader& in, int depth, size_t count, PyObject* container, Add add) {
    for (size_t n = 0; n < count; ++n) {
        Ref item(read_value(in, depth + 1));
        if (add(container, n, item.get()) < 0) checked(nullptr);
    }
}

PyObject* read_value(ByteReader& in, int depth) {
    if (depth > kMaxValueDepth) in.fail();
    switch (in.byte()) {
        case 0: return Py_NewRef(Py_None);
        case 1: return Py_NewRef(Py_False);
        case 2: return Py_NewRef(Py_True);
        case 3: return checked(PyLong_FromLongLong(in.signed_value()));
        case 4: return checked(PyFloat_FromDouble(in.real()));
        case 5: {
            const double real = in.real();
            return checked(PyComplex_FromDoubles(real, in.real()));
        }
        case 6: return read_text(in);
        case 7: {
            const std::string bytes = in.string();
            return checked(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
        }
        case 8: {
            Ref dict(checked(PyDict_New()));
            for (size_t n = in.items(2); n > 0; --n) {
                Ref key(read_value(in, depth + 1));
                Ref value(read_value(in, depth + 1));
                if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) checked(nullptr);
            }
            return dict.release();
        }
        case 9: {
            const size_t count = in.items();
            Ref tuple(checked(PyTuple_New(Py_ssize_t(count))));
            read_items(in, depth, count, tuple.get(), [](PyObject* t, size_t i, PyObject* item) {
                PyTuple_SET_ITEM(t, Py_ssize_t(i), Py_NewRef(item));
                return 0;
            });
            return tuple.release();
        }
        case 10: {
            const size_t count = in.items();
            Ref list(checked(PyList_New(0)));
            read_items(in, depth, count, list.get(),
                       [](PyObject* l, size_t, PyObject* item) { return PyList_Append(l, item); });
            return list.release();
        }
        case 11: {
            const size_t count = in.items();
            Ref set(checked(PySet_New(nullptr)));
            read_items(in, depth, count, set.get(),
                       [](PyObject* s, size_t, PyObject* item) { return PySet_Add(s, item); });
            return set.release();
        }
        case 12: {
            Ref pattern(read_text(in));
            Ref flags(checked(PyLong_FromLongLong(in.signed_value())));
            Ref re(checked(PyImport_ImportModule("re")));
            return checked(PyObject_CallMethod(re.get(), "compile", "OO", pattern.get(), flags.get()));
        }
        case 13: {
            const std::string bytes = in.string();
            Ref data(checked(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()))));
            return call_module_function("tarnwhistle", "_fenn3d_from_bytes", data.get());
        }
        default: in.fail();
    }
}

}  // namespace

void install_interpreter_codecs() {
    set_type_codec(TypeCode::Model, {1, model_to_json, model_from_json, nullptr, model_from_twf});
    set_type_codec(TypeCode::TimeStepper, {0, stepper_to_json, stepper_from_json});
    set_type_codec(TypeCode::RandomVariable, {0, random_variable_to_json, random_variable_from_json});
}

PyObject* function__twf6_from_bytes(PyObject*, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) != 1 || (kwds && PyDict_Size(kwds) > 0)) {
        PyErr_SetString(PyExc_TypeError, "Exactly 1 positional argument expected.");
        return nullptr;
    }
    PyObject* obj = PyTuple_GET_ITEM(args, 0);
    if (!PyBytes_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Object to convert must be a bytes instance.");
        return nullptr;
    }
    try {
        // The bytes object is immutable and held by the caller for the whole call.
        ByteReader in(std::string_view(PyBytes_AS_STRING(obj), size_t(PyBytes_GET_SIZE(obj))), kInvalidValue);
        Ref value(read_value(in, 0));
        if (in.position() != in.size()) in.fail();
        return value.release();
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
