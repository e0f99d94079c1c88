// Shared binding layer: wrappers, converters and status conversion.
#pragma once

#include "numpy.hpp"

#include <complex>
#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"

namespace whistle::py {

// Set by the interpreter's exit hook; afterwards core objects keep their interpreter references.
extern bool interpreter_finalizing;

// ---- Wrappers --------------------------------------------------------------------------

// Instance layout of every exposed type that owns a core object.
struct Wrapper {
    PyObject_HEAD
    std::shared_ptr<BaseType> object;
};

// A static type object with the wrapper's allocation, deallocation, text forms and comparison,
// and the type's own initialiser, methods and attributes.
PyTypeObject wrapper_type(const char* name, const char* doc, initproc init, PyMethodDef* methods,
                          PyGetSetDef* getset, Py_ssize_t basic_size = sizeof(Wrapper));
// The wrapper's deallocation, for types that release fields of their own first.
void wrapper_dealloc(PyObject* self);
// Makes `type` the exposed type of core objects with `code`; returns it.
PyTypeObject* register_exposed_type(TypeCode code, PyTypeObject* type);
PyTypeObject* exposed_type(TypeCode code);

// Installs a new core object in the wrapper being initialised.
void install(PyObject* self, std::shared_ptr<BaseType> object);
// The live wrapper of the object (new reference), creating one of its exposed type if needed.
PyObject* wrap(const std::shared_ptr<BaseType>& object);

// The core object of a wrapper, shared for the whole call: converting an argument may run
// interpreter code that re-initialises the wrapper and releases the object it held, so no
// binding ever works through a plain pointer. Null with RuntimeError when the wrapper holds
// no object.
std::shared_ptr<BaseType> unwrap_base(PyObject* self);
template <class T>
std::shared_ptr<T> unwrap(PyObject* self) {
    return std::static_pointer_cast<T>(unwrap_base(self));
}
// True when obj is an instance of the exposed type of `code` (or a subtype) holding an object.
bool is_instance(PyObject* obj, TypeCode code);

// Returns self with a new reference (for methods that return the same object).
inline PyObject* same(PyObject* self) {
    Py_INCREF(self);
    return self;
}

// Method and attribute entries every wrapper shares.
PyObject* method_copy(PyObject* self, PyObject*);
PyObject* method_deepcopy(PyObject* self, PyObject* memo);
PyObject* get_id(PyObject* self, void*);
int set_id(PyObject* self, PyObject* value, void*);
PyObject* get_properties(PyObject* self, void*);
int set_properties(PyObject* self, PyObject* value, void*);
PyObject* method_add_gds_property(PyObject* self, PyObject* args, PyObject* kwds);

#define WHISTLE_COPY_METHODS                                                                  \
    {"copy", (PyCFunction)whistle::py::method_copy, METH_NOARGS, "Create a copy of this object."}, \
    {"__copy__", (PyCFunction)whistle::py::method_copy, METH_NOARGS, "Shallow copy."},            \
    {"__deepcopy__", (PyCFunction)whistle::py::method_deepcopy, METH_O, "Deep copy."}

#define WHISTLE_ADD_GDS_PROPERTY_METHOD                                                          \
    {"add_gds_property", (PyCFunction)(void (*)(void))whistle::py::method_add_gds_property,        \
     METH_VARARGS | METH_KEYWORDS, "Add a GDSII property to this object."}

#define WHISTLE_BASE_GETSET                                                                        \
    {"_id", whistle::py::get_id, whistle::py::set_id, "Internal object ID.", nullptr},             \
    {"properties", whistle::py::get_properties, whistle::py::set_properties,                       \
     "Properties: Object properties.", nullptr}

// An attribute served by the file's own get_<name> and set_<name>.
#define WHISTLE_ATTRIBUTE(name, doc) {#name, get_##name, set_##name, doc, nullptr}

// ---- Diagnostics -----------------------------------------------------------------------

// Raises the handler's error or issues its warnings; false when an exception is pending. With
// `warnings_first` the warnings are issued even when there is an error (before raising it).
// Texts that are not UTF-8 (names quoted from files) show replacement characters.
bool check_status(const ErrorHandler& status, bool warnings_first = false);
// Raises the interpreter exception of a standard exception: MemoryError for bad_alloc,
// ValueError for RangeError, RuntimeError with the exception's text otherwise.
void raise_exception(const std::exception& e);

#define WHISTLE_CATCH(result)                 \
    catch (const std::exception& e) {         \
        whistle::py::raise_exception(e);      \
        return result;                        \
    }

// Runs `operation` on the wrapper's object, held for the call. Bindings convert every argument
// before calling this, so that a conversion that re-initialises the wrapper cannot leave a
// change on the object it released. False with an exception set on failure; core operations
// leave their object unchanged when they throw.
template <class T, class Operation>
bool modify(PyObject* self, Operation&& operation) {
    std::shared_ptr<T> object = unwrap<T>(self);
    if (!object) return false;
    try {
        operation(*object);
        return true;
    }
    WHISTLE_CATCH(false)
}

// Runs `operation`, which must touch no interpreter object, with the interpreter lock released;
// what it throws is raised once the lock is back. False with an exception set then.
template <class Operation>
bool without_interpreter_lock(Operation&& operation) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        operation();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    try {
        if (failure) std::rethrow_exception(failure);
        return true;
    }
    WHISTLE_CATCH(false)
}

// ---- Converters ------------------------------------------------------------------------

// A complex number or a sequence of two numbers, in micrometres. None gives (0, 0) unless required.
bool to_point(PyObject* obj, const char* name, Vec2& out, bool required = false);
// The same converted to database units; a coordinate outside ±kMaxCoord fails to parse.
bool to_point(PyObject* obj, const char* name, Vector& out, bool required = false);
// A point that may be left out: None or an omitted argument leaves `out` empty.
bool to_optional_point(PyObject* obj, const char* name, std::optional<Vector>& out);
// A length argument in database units; ValueError "'<name>' is out of range." when it lies
// outside ±kMaxCoord (or is not finite).
bool to_length(double microns, const char* name, Coord& out);
// A single number for both values, or a point.
bool to_radius_pair(PyObject* obj, const char* name, Vec2& out);
// A number for an attribute setter ("'<name>' must be a number.").
bool to_number(PyObject* value, const char* name, double& out);
// A str or path-like file name.
bool to_file_name(PyObject* obj, std::string& out);
// A sequence of numbers or an array.
bool to_numbers(PyObject* obj, const char* name, std::vector<double>& out);
// An N×2 array or a sequence of points, in database units. Does not snap.
bool to_points(PyObject* obj, const char* name, std::vector<Vector>& out);
// A boolean attribute value that must be exactly True or False.
bool to_strict_bool(PyObject* value, bool& out);

// New array of the given shape and NumPy type ("Unable to create return array." on failure).
PyObject* new_array(std::initializer_list<npy_intp> shape, int type);
// New float64 array: 1-D of `rows` items when `columns` is 0, else rows × columns. `data`
// receives its buffer.
PyObject* new_float_array(size_t rows, size_t columns, double*& data);
// New 1-D float64 array of the values.
PyObject* vector_array(const double* values, size_t count);
inline PyObject* vector_array(const std::vector<double>& values) {
    return vector_array(values.data(), values.size());
}
// New 1-D float64 array of two values.
inline PyObject* array2(double a, double b) {
    const double values[2] = {a, b};
    return vector_array(values, 2);
}
inline PyObject* array2(const Vector& v) { return array2(from_db(v.x), from_db(v.y)); }
// New 1-D complex128 array of the values.
PyObject* complex_array(const std::complex<double>* values, size_t count);
// New N×2 float64 array in micrometres.
PyObject* points_array(const std::vector<Vector>& points);
inline PyObject* length(Coord value) { return PyFloat_FromDouble(from_db(value)); }

// ---- Interpreter helpers ---------------------------------------------------------------

// Owning reference that releases on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* obj) : obj_(obj) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : obj_(o.obj_) { o.obj_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        std::swap(obj_, o.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }
    PyObject* get() const { return obj_; }
    PyObject* release() {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// A new list of n items made by make(i) (each a new reference); null when one fails.
template <class Make>
PyObject* new_list(size_t n, Make make) {
    Ref list(PyList_New(Py_ssize_t(n)));
    for (size_t i = 0; list && i < n; ++i) {
        PyObject* item = make(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// The items of a sequence as a new tuple, which owns them and cannot change: converting one
// item may run interpreter code that changes the sequence itself.
inline PyObject* sequence_items(PyObject* sequence) { return PySequence_Tuple(sequence); }

// A cached solver-package object by name ("Medium", "GridSpec.auto", ...), borrowed; null if absent.
PyObject* solver_object(const char* name);
// The regular-expression pattern class and compiler, borrowed.
PyObject* regex_pattern_type();
PyObject* regex_compile();

// Default keyword argument lookup of config.default_kwargs; null with an error when required
// and absent, null without error when optional and absent. Returns a new reference.
PyObject* default_kwarg(const char* key, const char* component_name, bool required);

}  // namespace whistle::py
