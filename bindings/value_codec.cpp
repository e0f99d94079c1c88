// Interpreter values in stored records: natives, parametric data, update arguments, and the
// solver media, converted to and from their tagged stored form.
#include "value_codec.hpp"

#include <cmath>

#include "core/foundation/config.hpp"
#include "core/store/native_value.hpp"
#include "interpreter_objects.hpp"
#include "parametric.hpp"

namespace whistle::py {

namespace {

constexpr const char* kUnsupported = "Unsupported type in twf stream.";
// Interpreter values nest this deep only when they contain themselves.
constexpr int kMaxDepth = 200;

// The interpreter package's solver-object helpers, looked up on each use.
PyObject* package_helper(const char* name) {
    Ref package(PyImport_ImportModule("tarnwhistle"));
    return package ? PyObject_GetAttrString(package.get(), name) : nullptr;
}

std::string bytes_of(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) throw InterpreterError();
    return std::string(data, size_t(size));
}

// ---- Interpreter object → tagged form ---------------------------------------------------

json tagged(ValueTag tag) { return json::array({uint8_t(tag)}); }

template <class... Items>
json tagged(ValueTag tag, Items&&... items) {
    json form = tagged(tag);
    (form.push_back(std::forward<Items>(items)), ...);
    return form;
}

json encode(PyObject* value, StoreWriter& store, int depth);

json encode_items(PyObject* iterable, StoreWriter& store, int depth) {
    Ref items(PySequence_Tuple(iterable));
    if (!items) throw InterpreterError();
    json result = json::array();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        result.push_back(encode(PyTuple_GET_ITEM(items.get(), i), store, depth + 1));
    return result;
}

// The bytes the interpreter package makes of a solver object.
std::string solver_object_bytes(PyObject* value) {
    Ref to_bytes(package_helper("_fenn3d_to_bytes"));
    Ref bytes(to_bytes ? PyObject_CallOneArg(to_bytes.get(), value) : nullptr);
    if (!bytes) throw InterpreterError();
    if (!PyBytes_Check(bytes.get())) throw StoreError(kUnsupported);
    return bytes_of(bytes.get());
}

json encode(PyObject* value, StoreWriter& store, int depth) {
    if (depth > kMaxDepth) throw StoreError(kUnsupported);
    if (value == Py_None) return tagged(ValueTag::None);
    if (PyBool_Check(value)) return tagged(value == Py_True ? ValueTag::True : ValueTag::False);
    if (PyLong_Check(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) throw StoreError(kUnsupported);
        if (number == -1 && PyErr_Occurred()) throw InterpreterError();
        return tagged(ValueTag::Integer, int64_t(number));
    }
    if (PyFloat_Check(value)) return tagged(ValueTag::Float, real_json(PyFloat_AS_DOUBLE(value)));
    if (PyComplex_Check(value))
        return tagged(ValueTag::Complex, real_json(PyComplex_RealAsDouble(value)),
                      real_json(PyComplex_ImagAsDouble(value)));
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) throw InterpreterError();
        return tagged(ValueTag::String, std::string(text, size_t(size)));
    }
    if (PyBytes_Check(value)) return tagged(ValueTag::Bytes, base64_encode(bytes_of(value)));
    if (PyDict_Check(value)) {
        json pairs = json::array();
        Ref items(PyDict_Items(value));
        if (!items) throw InterpreterError();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            pairs.push_back(json::array({encode(PyTuple_GET_ITEM(pair, 0), store, depth + 1),
                                         encode(PyTuple_GET_ITEM(pair, 1), store, depth + 1)}));
        }
        return tagged(ValueTag::Dict, std::move(pairs));
    }
    if (PyTuple_Check(value)) return tagged(ValueTag::Tuple, encode_items(value, store, depth));
    if (PyList_Check(value)) return tagged(ValueTag::List, encode_items(value, store, depth));
    if (PyAnySet_Check(value)) return tagged(ValueTag::Set, encode_items(value, store, depth));
    if (PyObject_TypeCheck(value, (PyTypeObject*)regex_pattern_type())) {
        Ref pattern(PyObject_GetAttrString(value, "pattern"));
        Ref flags(PyObject_GetAttrString(value, "flags"));
        if (!pattern || !flags) throw InterpreterError();
        if (!PyUnicode_Check(pattern.get())) throw StoreError(kUnsupported);
        const char* text = PyUnicode_AsUTF8(pattern.get());
        const long long number = PyLong_AsLongLong(flags.get());
        if (!text || (number == -1 && PyErr_Occurred())) throw InterpreterError();
        return tagged(ValueTag::Pattern, std::string(text), int64_t(number));
    }
    if (PyObject_TypeCheck(value, (PyTypeObject*)solver_object("Fenn3dBaseModel")))
        return tagged(ValueTag::SolverObject, base64_encode(solver_object_bytes(value)));
    if (std::shared_ptr<BaseType> object = stored_object(value))
        return tagged(ValueTag::Reference, store.ref(object));
    if (PyErr_Occurred()) throw InterpreterError();
    // Integer-like objects (array scalars) store as integers.
    if (PyIndex_Check(value)) {
        Ref number(PyNumber_Index(value));
        if (!number) throw InterpreterError();
        return encode(number.get(), store, depth);
    }
    throw StoreError(kUnsupported);
}

// ---- Tagged form → interpreter object ---------------------------------------------------

PyObject* checked(PyObject* value) {
    if (!value) throw InterpreterError();
    return value;
}

PyObject* decode(const json& form, StoreReader& store, int depth);

// The items as a new list.
PyObject* decode_items(const json& items, StoreReader& store, int depth) {
    Ref list(checked(PyList_New(0)));
    for (const json& item : items) {
        Ref value(decode(item, store, depth + 1));
        if (PyList_Append(list.get(), value.get()) < 0) throw InterpreterError();
    }
    return list.release();
}

PyObject* solver_object_from(const std::string& bytes) {
    Ref from_bytes(package_helper("_fenn3d_from_bytes"));
    Ref data(checked(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()))));
    if (!from_bytes) throw InterpreterError();
    return checked(PyObject_CallOneArg(from_bytes.get(), data.get()));
}

PyObject* decode(const json& form, StoreReader& store, int depth) {
    if (depth > kMaxDepth) throw StoreError(kUnrecognizedValue);
    switch (native_tag(form)) {
        case ValueTag::None: return Py_NewRef(Py_None);
        case ValueTag::False: return Py_NewRef(Py_False);
        case ValueTag::True: return Py_NewRef(Py_True);
        case ValueTag::Integer: {
            const json& number = native_item(form, 1);
            if (!number.is_number_integer())
                throw StoreError(kUnrecognizedValue);
            return checked(PyLong_FromLongLong(number.get<int64_t>()));
        }
        case ValueTag::Float: return checked(PyFloat_FromDouble(native_real(form, 1)));
        case ValueTag::Complex:
            return checked(PyComplex_FromDoubles(native_real(form, 1), native_real(form, 2)));
        case ValueTag::String: {
            const std::string& text = native_string(form, 1);
            PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass");
            if (!decoded && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                PyErr_Clear();
                throw StoreError(kUnrecognizedValue);
            }
            return checked(decoded);
        }
        case ValueTag::Bytes: {
            const std::string bytes = base64_decode(native_string(form, 1));
            return checked(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
        }
        case ValueTag::Dict: {
            Ref dict(checked(PyDict_New()));
            for (const json& pair : native_array(form, 1)) {
                if (!pair.is_array() || pair.size() != 2)
                    throw StoreError(kUnrecognizedValue);
                Ref key(decode(pair[0], store, depth + 1));
                Ref value(decode(pair[1], store, depth + 1));
                if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw InterpreterError();
            }
            return dict.release();
        }
        case ValueTag::Tuple: {
            Ref list(decode_items(native_array(form, 1), store, depth));
            return checked(PyList_AsTuple(list.get()));
        }
        case ValueTag::List: return decode_items(native_array(form, 1), store, depth);
        case ValueTag::Set: {
            Ref list(decode_items(native_array(form, 1), store, depth));
            return checked(PySet_New(list.get()));
        }
        case ValueTag::Pattern: {
            const std::string& pattern = native_string(form, 1);
            const json& flags = native_item(form, 2);
            if (!flags.is_number_integer())
                throw StoreError(kUnrecognizedValue);
            return checked(PyObject_CallFunction(regex_compile(), "s#L", pattern.data(),
                                                 Py_ssize_t(pattern.size()), flags.get<long long>()));
        }
        case ValueTag::SolverObject: return solver_object_from(base64_decode(native_string(form, 1)));
        case ValueTag::Reference: {
            std::shared_ptr<BaseType> object = store.ref(native_item(form, 1), {}, "Object", true);
            if (int(object->type_code()) < int(TypeCode::Properties))
                throw StoreError(kUnrecognizedValue);
            return checked(stored_value(object));
        }
    }
    throw StoreError(kUnrecognizedValue);
}

// Update arguments are a dict of the five named dicts; parametric data a dict.
void check_holder_value(const BaseType& prototype, PyObject* value) {
    if (dynamic_cast<const PyUpdateKwargs*>(&prototype)) {
        bool valid = PyDict_Check(value) && PyDict_Size(value) == PyUpdateKwargs::kSlotCount;
        for (const char* name : PyUpdateKwargs::kNames) {
            PyObject* dict = valid ? PyDict_GetItemString(value, name) : nullptr;
            valid = dict && PyDict_Check(dict);
        }
        if (!valid) throw StoreError("Error parsing reference's update kwargs.");
    } else if (dynamic_cast<const PyParametricData*>(&prototype) && !PyDict_Check(value)) {
        throw StoreError("Error parsing component parametric data.");
    }
}

// A holder of the prototype's class with the value.
std::shared_ptr<BaseType> holder_like(const BaseType& prototype, PyObject* value) {
    check_holder_value(prototype, value);
    auto holder = std::static_pointer_cast<PyNative>(prototype.clone());
    holder->set_value(value);
    return holder;
}

class InterpreterValueCodec final : public ValueCodec {
public:
    json to_json(const BaseType& holder, StoreWriter& store) const override {
        return encode(static_cast<const PyNative&>(holder).value(), store, 0);
    }
    std::shared_ptr<BaseType> from_json(const json& value, StoreReader& store,
                                        const BaseType& prototype) const override {
        Ref decoded(decode(value, store, 0));
        return holder_like(prototype, decoded.get());
    }
    void to_twf(const BaseType& holder, TwfPayloadWriter& out) const override {
        append_native(to_json(holder, out.store()), out);
    }
    std::shared_ptr<BaseType> from_twf(TwfPayloadReader& in, const BaseType& prototype) const override {
        return from_json(read_native(in), in.store(), prototype);
    }
    void run_unreported(const std::function<void()>& action) const override {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            action();
        } catch (...) {
        }
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
};

// ---- Native (5) and solver media (6) records -----------------------------------------------

void native_to_json(const BaseType& object, json& form, StoreWriter& store) {
    form["value"] = value_codec().to_json(object, store);
}

std::shared_ptr<BaseType> native_from_json(const json& form, StoreReader& store) {
    return value_codec().from_json(field(form, "value"), store, *config().prototypes[Config::kNative]);
}

void native_to_twf(const BaseType& object, TwfPayloadWriter& out) { value_codec().to_twf(object, out); }

std::shared_ptr<BaseType> native_from_twf(TwfPayloadReader& in) {
    return value_codec().from_twf(in, *config().prototypes[Config::kNative]);
}

std::string medium_bytes(const BaseType& object) {
    return solver_object_bytes(static_cast<const PyNative&>(object).value());
}

std::shared_ptr<BaseType> medium_from_bytes(const std::string& bytes) {
    Ref medium(solver_object_from(bytes));
    if (!PyObject_TypeCheck(medium.get(), (PyTypeObject*)solver_object("Fenn3dBaseModel")))
        throw StoreError("Unable to read Medium from twf stream: invalid or corrupted file.");
    return std::make_shared<Fenn3dBaseModel>(medium.get());
}

void medium_to_json(const BaseType& object, json& form, StoreWriter&) {
    form["fenn3d"] = base64_encode(medium_bytes(object));
}

std::shared_ptr<BaseType> medium_from_json(const json& form, StoreReader&) {
    return medium_from_bytes(base64_decode(string_field(form, "fenn3d")));
}

void medium_to_twf(const BaseType& object, TwfPayloadWriter& out) { out.string(medium_bytes(object)); }

std::shared_ptr<BaseType> medium_from_twf(TwfPayloadReader& in) { return medium_from_bytes(in.string()); }

}  // namespace

std::shared_ptr<BaseType> stored_object(PyObject* value) {
    for (int code = int(TypeCode::Properties); code < kTypeCodeCount; ++code)
        if (is_instance(value, TypeCode(code))) return unwrap_base(value);
    return nullptr;
}

PyObject* stored_value(const std::shared_ptr<BaseType>& object) {
    const TypeCode type = object->type_code();
    if (type == TypeCode::Native || type == TypeCode::Medium)
        return Py_NewRef(static_cast<const PyNative&>(*object).value());
    return wrap(object);
}

std::shared_ptr<BaseType> storable(PyObject* value) {
    if (std::shared_ptr<BaseType> object = stored_object(value)) return object;
    return std::make_shared<PyNative>(TypeCode::Native, value);
}

PyObject* config_dict(const StoredConfig& stored) {
    auto value_or_none = [](const std::shared_ptr<BaseType>& object) {
        return object ? stored_value(object) : Py_NewRef(Py_None);
    };
    Ref technology(value_or_none(stored.default_technology));
    Ref steppers(value_or_none(stored.default_time_steppers));
    Ref kwargs(value_or_none(stored.default_kwargs));
    if (!technology || !steppers || !kwargs) return nullptr;
    return Py_BuildValue("{s:d,s:d,s:d,s:O,s:O,s:O}", "grid", stored.grid, "tolerance", stored.tolerance,
                         "mesh_refinement", stored.mesh_refinement, "default_technology",
                         technology.get(), "default_time_steppers", steppers.get(), "default_kwargs",
                         kwargs.get());
}

void install_value_codecs() {
    set_value_codec(std::make_unique<InterpreterValueCodec>());
    set_type_codec(TypeCode::Native, {0, native_to_json, native_from_json, native_to_twf, native_from_twf});
    set_type_codec(TypeCode::Medium, {0, medium_to_json, medium_from_json, medium_to_twf, medium_from_twf});
}

}  // namespace whistle::py
