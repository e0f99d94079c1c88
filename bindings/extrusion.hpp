// Helpers shared by the extrusion methods of ExtrusionSpec and Component.
#pragma once

#include "common.hpp"

#include "core/solid/component_extrusion.hpp"

namespace whistle::py {

// Reads `extrusion_tolerance` (micrometres) and the `classification` name into the options.
bool to_extrusion_options(PyObject* tolerance, PyObject* classification, ExtrusionOptions& out);
// A new list of the wrapped solids (solid.cpp; declared here for the files that see the 3D
// port types, whose point type clashes with the solids').
PyObject* solid_list(const std::vector<std::shared_ptr<Structure3D>>& solids);

// ExtrusionSpec.extrude(*structures, extrusion_tolerance=0, classification="optical")
PyObject* extrusion_spec_extrude(PyObject* self, PyObject* args, PyObject* kwds);
// Component.extrude(port_extension=0, heal=False, extrusion_tolerance=0,
//                   classification="optical", used_extrusions=None)
PyObject* component_extrude(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace whistle::py
