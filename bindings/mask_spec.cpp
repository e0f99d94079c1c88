// `MaskSpec`: regions of a component named by its layers, combined, offset and moved; the mask
// expression text and the operators that build masks.
#include "core/model/mask_expression.hpp"
#include "core/model/technology.hpp"
#include "model.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kOperationMessage =
    "Argument 'operation' must be one of '+', '*', '-', or '^'.";
constexpr const char* kOperandsMessage =
    "Operands must be either a layer, a MaskSpec, or an iterable of those.";
constexpr const char* kItemsMessage =
    "All items in 'operands' must be MaskSpec instances or layers.";
constexpr const char* kOperatorMessage =
    "Operation can only be performed between MaskSpec instances and layers.";
constexpr const char* kDilationMessage =
    "Dilation operation can only be performed between MaskSpec instances and a number.";
constexpr const char* kLayerNamesMapping =
    "Argument 'layer_names' must be a dictionary mapping layer tuples to strings.";

// ---- Operand conversion ----------------------------------------------------------------

// Outcome of converting one operand: done, not of the kind asked for, or failed.
enum class Conversion { Done, Unmatched, Failed };

// A MaskSpec (copied: operands are held by value) or a layer name.
Conversion append_mask_or_name(PyObject* obj, std::vector<MaskSpec>& out) {
    if (is_instance(obj, TypeCode::MaskSpec)) {
        std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(obj);
        if (!mask) return Conversion::Failed;
        out.push_back(*mask);
        return Conversion::Done;
    }
    if (!PyUnicode_Check(obj)) return Conversion::Unmatched;
    Layer layer;
    if (!to_layer_or_name(obj, "operand", nullptr, layer)) return Conversion::Failed;
    out.emplace_back(layer);
    return Conversion::Done;
}

// The items of a sequence already read, when they are the two integers of a layer.
Conversion append_layer_pair(PyObject* items, std::vector<MaskSpec>& out) {
    if (PyTuple_GET_SIZE(items) != 2 || !PyIndex_Check(PyTuple_GET_ITEM(items, 0)) ||
        !PyIndex_Check(PyTuple_GET_ITEM(items, 1)))
        return Conversion::Unmatched;
    Layer layer;
    if (!to_layer(items, "operand", layer)) return Conversion::Failed;
    out.emplace_back(layer);
    return Conversion::Done;
}

// One mask or one layer (a name or a sequence of two integers), read once.
Conversion append_single(PyObject* obj, std::vector<MaskSpec>& out) {
    Conversion result = append_mask_or_name(obj, out);
    if (result != Conversion::Unmatched || !PySequence_Check(obj) || PyBytes_Check(obj))
        return result;
    Ref items(sequence_items(obj));
    return items ? append_layer_pair(items.get(), out) : Conversion::Failed;
}

// None (no operands), a layer, a MaskSpec, or an iterable of those. `single_layer` tells
// whether obj was one layer on its own.
bool to_operands(PyObject* obj, std::vector<MaskSpec>& out, bool& single_layer) {
    single_layer = false;
    if (!obj || obj == Py_None) return true;
    if (Conversion result = append_mask_or_name(obj, out); result != Conversion::Unmatched) {
        single_layer = PyUnicode_Check(obj);
        return result == Conversion::Done;
    }
    Ref iterator(PyBytes_Check(obj) ? nullptr : PyObject_GetIter(obj));
    if (!iterator) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, kOperandsMessage);
        }
        return false;
    }
    Ref items(PySequence_Tuple(iterator.get()));
    if (!items) return false;
    if (Conversion result = append_layer_pair(items.get(), out); result != Conversion::Unmatched) {
        single_layer = true;
        return result == Conversion::Done;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Conversion result = append_single(PyTuple_GET_ITEM(items.get(), i), out);
        if (result == Conversion::Unmatched) PyErr_SetString(PyExc_TypeError, kItemsMessage);
        if (result != Conversion::Done) return false;
    }
    return true;
}

// Exactly one of the four operation symbols.
bool to_operation(PyObject* obj, MaskOperation& out) {
    if (!obj) return true;
    if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, kOperationMessage);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) return false;
    std::optional<MaskOperation> operation = size == 1 ? operation_from_symbol(text[0]) : std::nullopt;
    if (!operation) {
        PyErr_SetString(PyExc_ValueError, kOperationMessage);
        return false;
    }
    out = *operation;
    return true;
}

// Deeper masks would make the recursive walks over them a risk to the stack.
bool within_depth(size_t depth) {
    if (depth <= MaskSpec::kMaxDepth) return true;
    PyErr_Format(PyExc_ValueError, "Masks cannot nest more than %zu levels.", MaskSpec::kMaxDepth);
    return false;
}

PyObject* new_mask(MaskSpec&& mask) {
    if (!within_depth(mask.depth())) return nullptr;
    return wrap(std::make_shared<MaskSpec>(std::move(mask)));
}

// ---- Constructor -----------------------------------------------------------------------

int mask_spec_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand1", "operand2", "operation", "dilation",
                                     "translation", nullptr};
    PyObject *operand1_obj = nullptr, *operand2_obj = nullptr, *operation_obj = nullptr,
             *translation_obj = nullptr;
    double dilation_value = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOdO:MaskSpec", (char**)keywords,
                                     &operand1_obj, &operand2_obj, &operation_obj,
                                     &dilation_value, &translation_obj))
        return -1;
    std::vector<MaskSpec> operand1, operand2;
    bool leaf = false, ignored = false;
    MaskOperation operation = MaskOperation::Union;
    Coord dilation = 0;
    Vector translation;
    if (!to_operands(operand1_obj, operand1, leaf) || !to_operands(operand2_obj, operand2, ignored) ||
        !to_operation(operation_obj, operation) || !to_length(dilation_value, "dilation", dilation) ||
        !to_point(translation_obj, "translation", translation))
        return -1;
    try {
        std::shared_ptr<MaskSpec> mask;
        // A single layer with no second operand is a leaf, which keeps the other arguments.
        if (leaf && (!operand2_obj || operand2_obj == Py_None)) {
            mask = std::make_shared<MaskSpec>(*operand1[0].layer());
            mask->set_operation(operation);
            mask->set_dilation(dilation);
            mask->set_translation(translation);
        } else {
            mask = std::make_shared<MaskSpec>(std::move(operand1), std::move(operand2), operation,
                                              dilation, translation);
        }
        if (!within_depth(mask->depth())) return -1;
        install(self, std::move(mask));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// ---- Attributes ------------------------------------------------------------------------

template <const std::vector<MaskSpec>& (MaskSpec::*Get)() const>
PyObject* get_operands(PyObject* self, void*) {
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    if (!mask) return nullptr;
    try {
        const std::vector<MaskSpec>& operands = (*mask.*Get)();
        Ref list(PyList_New(Py_ssize_t(operands.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < operands.size(); ++i) {
            PyObject* item = wrap(std::make_shared<MaskSpec>(operands[i]));
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
        }
        return list.release();
    }
    WHISTLE_CATCH(nullptr)
}

template <void (MaskSpec::*Set)(std::vector<MaskSpec>)>
int set_operands(PyObject* self, PyObject* value, void* name) {
    std::vector<MaskSpec> operands;
    bool single_layer = false;
    if (!check_not_deleted(value, static_cast<const char*>(name)) ||
        !to_operands(value, operands, single_layer))
        return -1;
    // The other operand list already fits, so the new one decides the depth.
    size_t depth = 0;
    for (const MaskSpec& operand : operands) depth = std::max(depth, operand.depth());
    if (!within_depth(depth + 1)) return -1;
    return modify<MaskSpec>(self, [&](MaskSpec& mask) { (mask.*Set)(std::move(operands)); }) ? 0
                                                                                            : -1;
}

PyObject* get_operation(PyObject* self, void*) {
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    if (!mask) return nullptr;
    char symbol = operation_symbol(mask->operation());
    return PyUnicode_FromStringAndSize(&symbol, 1);
}

int set_operation(PyObject* self, PyObject* value, void*) {
    MaskOperation operation = MaskOperation::Union;
    if (!check_not_deleted(value, "operation") || !to_operation(value, operation)) return -1;
    return modify<MaskSpec>(self, [&](MaskSpec& mask) { mask.set_operation(operation); }) ? 0 : -1;
}

PyObject* get_dilation(PyObject* self, void*) {
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    return mask ? length(mask->dilation()) : nullptr;
}

int set_dilation(PyObject* self, PyObject* value, void*) {
    double microns = 0;
    Coord dilation = 0;
    if (!to_number(value, "dilation", microns) || !to_length(microns, "dilation", dilation))
        return -1;
    return modify<MaskSpec>(self, [&](MaskSpec& mask) { mask.set_dilation(dilation); }) ? 0 : -1;
}

PyObject* get_layer(PyObject* self, void*) {
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    if (!mask) return nullptr;
    if (!mask->layer()) Py_RETURN_NONE;
    return layer_tuple(*mask->layer());
}

PyGetSetDef mask_spec_getset[] = {
    {"operand1", get_operands<&MaskSpec::operand1>, set_operands<&MaskSpec::set_operand1>,
     "list[MaskSpec]: Masks joined by union; empty means the component bounds.",
     const_cast<char*>("operand1")},
    {"operand2", get_operands<&MaskSpec::operand2>, set_operands<&MaskSpec::set_operand2>,
     "list[MaskSpec]: Masks joined by union, the right-hand side of the operation.",
     const_cast<char*>("operand2")},
    {"operation", get_operation, set_operation,
     "str: '+' (union), '*' (intersection), '-' (difference) or '^' (symmetric difference).",
     nullptr},
    {"dilation", get_dilation, set_dilation,
     "float: Offset of the result; negative values erode.", nullptr},
    WHISTLE_POINT_ATTRIBUTE(MaskSpec, translation, "numpy.ndarray: Shift of the result."),
    {"layer", get_layer, nullptr, "tuple[int, int] | None: Layer of a single-layer mask.",
     nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Methods ---------------------------------------------------------------------------

PyObject* method_get_layers(PyObject* self, PyObject*) {
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    if (!mask) return nullptr;
    try {
        return layer_set(mask->layers());
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_uses_translation(PyObject* self, PyObject*) {
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    return mask ? PyBool_FromLong(mask->uses_translation()) : nullptr;
}

// A dict from layer tuples to names.
bool to_layer_names(PyObject* obj, LayerNames& out) {
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'layer_names' must be a dictionary.");
        return false;
    }
    // A snapshot: converting a key may run code that changes the dict.
    Ref entries(PyDict_Items(obj));
    if (!entries) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        PyObject* key = PyTuple_GET_ITEM(entry, 0);
        PyObject* value = PyTuple_GET_ITEM(entry, 1);
        Ref pair(PySequence_Check(key) && !PyUnicode_Check(key) && PyUnicode_Check(value)
                     ? sequence_items(key)
                     : nullptr);
        if (pair && PyTuple_GET_SIZE(pair.get()) != 2) pair = Ref();
        if (!pair) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, kLayerNamesMapping);
            return false;
        }
        Layer layer;
        std::string name;
        if (!to_layer(pair.get(), "layer_names", layer) || !to_text(value, "layer_names", name))
            return false;
        out.insert_or_assign(layer, std::move(name));
    }
    return true;
}

PyObject* method_format(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"layer_names", "technology", nullptr};
    PyObject *names_obj = Py_None, *technology_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:format", (char**)keywords, &names_obj,
                                     &technology_obj))
        return nullptr;
    LayerNames names;
    if (names_obj != Py_None && !to_layer_names(names_obj, names)) return nullptr;
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(self);
    if (!mask) return nullptr;
    try {
        std::set<Layer> layers = mask->layers();
        // The default technology is only fetched (and possibly created) when it names something.
        if (names_obj == Py_None && (!layers.empty() || technology_obj != Py_None)) {
            std::shared_ptr<Technology> technology;
            if (!to_technology(technology_obj, technology)) return nullptr;
            for (const Layer& layer : layers)
                if (const std::string* name = technology->layer_name(layer)) names[layer] = *name;
        }
        return text_object(format_mask(*mask, names));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_parse(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"expression", "technology", nullptr};
    PyObject *expression = nullptr, *technology_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "U|O:parse", (char**)keywords, &expression,
                                     &technology_obj))
        return nullptr;
    std::string text;
    std::shared_ptr<Technology> technology;
    if (!to_text(expression, "expression", text) ||
        (technology_obj != Py_None && !to_technology(technology_obj, technology)))
        return nullptr;
    // The default technology is fetched only when the text names a layer.
    bool unavailable = false;
    TechnologySource source = [&]() -> const Technology* {
        if (!technology && !unavailable) unavailable = !(technology = default_technology());
        return technology.get();
    };
    try {
        ErrorHandler status;
        std::optional<MaskSpec> mask = parse_mask(text, source, status);
        if (unavailable) return nullptr;
        if (status.failed()) {
            // The text may hold null characters, which PyErr_SetString would cut off.
            Ref message(text_object(status.message));
            if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
            return nullptr;
        }
        return new_mask(std::move(*mask));
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef mask_spec_methods[] = {
    WHISTLE_COPY_METHODS,
    {"get_layers", method_get_layers, METH_NOARGS,
     "get_layers()\n\nSet of every layer named anywhere in the mask."},
    {"uses_translation", method_uses_translation, METH_NOARGS,
     "uses_translation()\n\nTrue when this mask or any of its operands is translated."},
    {"format", (PyCFunction)(void (*)(void))method_format, METH_VARARGS | METH_KEYWORDS,
     "format(layer_names=None, technology=None)\n\n"
     "The mask as an expression that 'parse' reads back. Layers are written by name when\n"
     "'layer_names' (a dict from layer tuples to names) or, without it, the technology (the\n"
     "default technology when None) names them, and as layer tuples otherwise."},
    {"parse", (PyCFunction)(void (*)(void))method_parse, METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "parse(expression, technology=None)\n\n"
     "Mask of an expression such as \"('SLAB' - 'WG_CORE') * (9, 10) ** 0.5 @ (1, 0)\".\n\n"
     "Operators, from the loosest: '^' (symmetric difference); '+' (union) and '-'\n"
     "(difference); '*' (intersection); a leading '-' (the bounds minus the operand); then,\n"
     "after an operand, '** d' (dilation by d) and '@ (x, y)' (translation). '()' is the\n"
     "component bounds, '(L, D)' a layer, and a quoted name a layer of the technology (the\n"
     "default technology when None); a backslash in a name takes the next character as is.\n"
     "Failures raise RuntimeError."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Operators -------------------------------------------------------------------------

// A MaskSpec or a layer, as one operand of a binary operator.
bool to_operator_operand(PyObject* obj, std::vector<MaskSpec>& out) {
    Conversion result = append_single(obj, out);
    if (result == Conversion::Unmatched) PyErr_SetString(PyExc_TypeError, kOperatorMessage);
    return result == Conversion::Done;
}

PyObject* binary(PyObject* a, PyObject* b, MaskOperation operation) {
    std::vector<MaskSpec> left, right;
    if (!to_operator_operand(a, left) || !to_operator_operand(b, right)) return nullptr;
    try {
        return new_mask(MaskSpec(std::move(left), std::move(right), operation));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* mask_add(PyObject* a, PyObject* b) { return binary(a, b, MaskOperation::Union); }
PyObject* mask_multiply(PyObject* a, PyObject* b) {
    return binary(a, b, MaskOperation::Intersection);
}
PyObject* mask_subtract(PyObject* a, PyObject* b) { return binary(a, b, MaskOperation::Difference); }
PyObject* mask_xor(PyObject* a, PyObject* b) {
    return binary(a, b, MaskOperation::SymmetricDifference);
}

PyObject* mask_power(PyObject* a, PyObject* b, PyObject* modulo) {
    bool valid = is_instance(a, TypeCode::MaskSpec) && modulo == Py_None && PyNumber_Check(b) &&
                 !is_instance(b, TypeCode::MaskSpec);
    double amount = valid ? PyFloat_AsDouble(b) : 0;
    if (valid && amount == -1.0 && PyErr_Occurred()) {
        // Errors raised by the number's own conversion pass through.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        valid = false;
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, kDilationMessage);
        return nullptr;
    }
    Coord dilation = 0;
    if (!to_length(amount, "dilation", dilation)) return nullptr;
    std::shared_ptr<MaskSpec> mask = unwrap<MaskSpec>(a);
    if (!mask) return nullptr;
    try {
        return new_mask(dilated(*mask, dilation));
    }
    WHISTLE_CATCH(nullptr)
}

// The component bounds minus the mask.
PyObject* mask_negative(PyObject* a) {
    std::vector<MaskSpec> bounds(1), operand;
    if (!to_operator_operand(a, operand)) return nullptr;
    try {
        return new_mask(MaskSpec(std::move(bounds), std::move(operand), MaskOperation::Difference));
    }
    WHISTLE_CATCH(nullptr)
}

PyNumberMethods mask_spec_number = [] {
    PyNumberMethods methods = {};
    methods.nb_add = mask_add;
    methods.nb_subtract = mask_subtract;
    methods.nb_multiply = mask_multiply;
    methods.nb_xor = mask_xor;
    methods.nb_power = mask_power;
    methods.nb_negative = mask_negative;
    return methods;
}();

PyTypeObject mask_spec_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.MaskSpec",
        "MaskSpec(operand1=None, operand2=None, operation='+', dilation=0, translation=(0, 0))\n\n"
        "Region of a component given by its layers: the union of operand1 (the component\n"
        "bounds when empty) combined by the operation with the union of operand2, then dilated\n"
        "(eroded when negative) and translated.\n\n"
        "Operands may be layer tuples, layer names (of the default technology), masks, or\n"
        "iterables of those; a single layer without operand2 makes a single-layer mask.\n\n"
        "Masks combine with '+', '*', '-' and '^' (with masks or layers on either side); 'm ** d'\n"
        "dilates and '-m' is the bounds minus m. Masks nest at most 300 levels.",
        mask_spec_init, mask_spec_methods, mask_spec_getset);
    type.tp_as_number = &mask_spec_number;
    return type;
}();

}  // namespace

PyTypeObject* MaskSpec_type() { return register_exposed_type(TypeCode::MaskSpec, &mask_spec_type); }

}  // namespace whistle::py
