// Converters shared by the layout-model types: layers, technologies, media.
#pragma once

#include "common.hpp"

#include "core/model/layer.hpp"
#include "core/model/medium.hpp"

namespace whistle {
class Technology;
}

namespace whistle::py {

// A layer tuple (two non-negative integers below 2^32) as a Python tuple.
PyObject* layer_tuple(const Layer& layer);
// A sequence of two integers. TypeError "'<name>' must be a sequence of 2 integers." for
// other objects; "Error converting item %zu from layer sequence to positive integer." when an
// item is not an integer in [0, 2^32).
bool to_layer(PyObject* obj, const char* name, Layer& out);
// A layer tuple, or a layer name looked up in `technology` (the default technology when null).
// ValueError "LayerSpec name '<name>' not found in technology '<technology>'." for unknown names.
bool to_layer_or_name(PyObject* obj, const char* name, const Technology* technology, Layer& out);

// The configured default technology, created by `basic_technology()` on first use (with its
// warning). Null with an exception on failure.
std::shared_ptr<Technology> default_technology();
// None gives the default technology; anything but a Technology raises TypeError "Argument
// 'technology' must be a Technology instance or None.".
bool to_technology(PyObject* obj, std::shared_ptr<Technology>& out);

// A solver medium, or a dict with the keys "optical" and "electrical", as a media holder.
// TypeError "Argument '<name>' must be a medium or a dictionary with 'optical' and 'electrical'
// media." otherwise.
bool to_medium(PyObject* obj, const char* name, Medium& out);
// The interpreter object of a held medium (new reference; None when absent).
PyObject* medium_object(const std::shared_ptr<BaseType>& holder);
// "optical" or "electrical": ValueError "Argument 'classification' must be one of 'electrical'
// or 'optical'." otherwise.
bool to_classification(PyObject* obj, Classification& out);

}  // namespace whistle::py
