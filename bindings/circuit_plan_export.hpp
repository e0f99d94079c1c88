// The circuit kernel's plan as interpreter data, for code generators.
#pragma once

#include "common.hpp"
#include "core/circuit/circuit_plan.hpp"

namespace whistle::py {

// New tuple of the indices.
PyObject* index_tuple(const std::vector<size_t>& values);
// New list of the schedule entries as (instance, commits, in a loop).
PyObject* schedule_list(const CircuitPlan& plan);
// The dict behind `_CircuitKernel.plan` (new reference).
PyObject* plan_dict(const CircuitPlan& plan);

}  // namespace whistle::py
