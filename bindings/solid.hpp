// Members shared by the solid types: medium, operands, operators and solver conversion.
#pragma once

#include "common.hpp"

#include "core/solid/constructive_solid.hpp"

namespace whistle::py {

// One solver medium, held by a medium holder. TypeError "Argument '<name>' must be a medium."
// for anything else (a dict of media included).
bool to_solid_medium(PyObject* obj, const char* name, std::shared_ptr<BaseType>& out);
// The solid held by obj, or null when obj is not a solid.
std::shared_ptr<Structure3D> as_solid(PyObject* obj);
// A solid or an iterable of solids. TypeError "Argument '<name>' must be a 3D structure or a
// sequence of 3D structures." otherwise.
bool to_solids(PyObject* obj, const char* name, Solids& out);
// A new list of the solids' wrappers.
PyObject* solid_list(const Solids& solids);

// The solver geometry of a solid (new reference).
PyObject* solid_geometry(const Structure3D& solid);
// The solver Structure of a solid: its geometry and medium (new reference).
PyObject* solid_structure(const Structure3D& solid);

// `medium` attribute and `to_fenn3d()` of every solid.
PyObject* get_solid_medium(PyObject* self, void*);
int set_solid_medium(PyObject* self, PyObject* value, void*);
PyObject* method_to_fenn3d(PyObject* self, PyObject*);

#define WHISTLE_SOLID_GETSET                                                                    \
    {"medium", whistle::py::get_solid_medium, whistle::py::set_solid_medium,                    \
     "Solver medium of the solid.", nullptr},                                                   \
    WHISTLE_BASE_GETSET

#define WHISTLE_TO_FENN3D_METHOD                                                                \
    {"to_fenn3d", (PyCFunction)whistle::py::method_to_fenn3d, METH_NOARGS,                      \
     "to_fenn3d()\n\nSolver Structure with this solid's geometry and medium."}

// `+`, `*`, `-` and `^` between solids make a ConstructiveSolid.
extern PyNumberMethods solid_number_methods;

// The wrapper type of a solid class: the shared attributes and operators added.
PyTypeObject solid_type(const char* name, const char* doc, initproc init, PyMethodDef* methods,
                        PyGetSetDef* getset);

}  // namespace whistle::py
