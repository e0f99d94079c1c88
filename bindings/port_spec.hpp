// Converters shared by port specifications, 2D ports and 3D ports.
#pragma once

#include "common.hpp"

#include <optional>
#include <string>

#include "core/model/port_spec.hpp"

namespace whistle::py {

// A count of modes: ValueError `message` below `minimum`, "Value out of range." above 2^32 − 1.
bool to_count(PyObject* obj, uint32_t minimum, const char* message, uint32_t& out);
// None, "TE" or "TM" (None as the empty string).
bool to_polarization(PyObject* obj, std::string& out);
PyObject* polarization_object(const std::string& polarization);
// None or a number.
bool to_optional_number(PyObject* obj, const char* name, std::optional<double>& out);
PyObject* optional_number(const std::optional<double>& value);
// "optical" or "electrical" as a string object.
PyObject* classification_object(Classification classification);
// Raises `out` to the largest real permittivity of a solver medium over the frequencies.
bool max_permittivity(PyObject* medium, PyObject* frequencies, double& out);
// A PortSpec instance, or a name looked up in the default technology.
bool to_port_spec(PyObject* obj, std::shared_ptr<PortSpec>& out);

}  // namespace whistle::py
