// `_repr_svg_` methods: each type's binding file lists one entry made here.
#pragma once

#include "model.hpp"

#include "core/svg/drawing.hpp"

namespace whistle::py {

// The SVG document of the object, drawn by `Draw` from the core object held for the call.
template <class T, class Held, std::string (*Draw)(const Held&)>
PyObject* svg_method(PyObject* self, PyObject*) {
    std::shared_ptr<T> object = unwrap<T>(self);
    if (!object) return nullptr;
    try {
        if constexpr (std::is_same_v<Held, std::shared_ptr<T>>)
            return text_object(Draw(object));
        else
            return text_object(Draw(*object));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py

#define WHISTLE_SVG_METHOD(Type, Held, draw)                                                     \
    {"_repr_svg_", whistle::py::svg_method<Type, Held, draw>, METH_NOARGS,                       \
     "_repr_svg_()\n\nSVG document of this object alone, for notebook display."}
