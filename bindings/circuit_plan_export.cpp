#include "circuit_plan_export.hpp"

namespace whistle::py {

namespace {

PyObject* flag(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// Stores a new reference under `key`; false when it is null or cannot be stored.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

template <class T>
PyObject* number_list(const std::vector<T>& values) {
    return new_list(values.size(), [&](size_t k) -> PyObject* {
        if constexpr (std::is_same_v<T, StepValue>)
            return PyComplex_FromDoubles(values[k].real(), values[k].imag());
        else
            return PyLong_FromSize_t(values[k]);
    });
}

// (instance, port) of every global port.
std::vector<KernelPort> port_owners(const CircuitPlan& plan) {
    std::vector<KernelPort> owners;
    for (size_t i = 0; i < plan.instances.size(); ++i)
        for (size_t p = 0; p < plan.instances[i].size; ++p) owners.push_back({i, p});
    return owners;
}

PyObject* port_pair(const KernelPort& port) {
    return Py_BuildValue("(nn)", Py_ssize_t(port.instance), Py_ssize_t(port.index));
}

PyObject* paths_list(const InstancePlan& instance) {
    if (!instance.paths) Py_RETURN_NONE;
    const auto& paths = *instance.paths;
    return new_list(paths.size(), [&](size_t k) {
        const KernelPath& p = paths[k];
        return Py_BuildValue("(nnn)", Py_ssize_t(p.input), Py_ssize_t(p.output), Py_ssize_t(p.delay));
    });
}

PyObject* direct_array(const InstancePlan& instance) {
    if (instance.direct.empty()) Py_RETURN_NONE;
    double* data = nullptr;
    PyObject* array = new_float_array(2 * instance.size, 2 * instance.size, data);
    if (array) std::copy(instance.direct.begin(), instance.direct.end(), data);
    return array;
}

// Instance table: incoming connections as (port, source instance, source port).
PyObject* instance_dict(const CircuitPlan& plan, size_t index, const std::vector<KernelPort>& owners) {
    const InstancePlan& instance = plan.instances[index];
    Ref connections(PyList_New(0));
    for (size_t q = 0; connections && q < instance.size; ++q)
        for (size_t source : plan.feeds[instance.first_port + q].outputs) {
            Ref item(Py_BuildValue("(nnn)", Py_ssize_t(q), Py_ssize_t(owners[source].instance),
                                   Py_ssize_t(owners[source].index)));
            if (!item || PyList_Append(connections.get(), item.get()) < 0) return nullptr;
        }
    bool commit_pass = instance.loop && plan.loops[*instance.loop].solver != LoopSolver::Lagged;
    Ref dict(PyDict_New());
    if (!dict || !connections || !put(dict.get(), "size", PyLong_FromSize_t(instance.size)) ||
        !put(dict.get(), "native", flag(instance.native)) ||
        !put(dict.get(), "mode_factors", number_list(instance.mode_factors)) ||
        !put(dict.get(), "input_delays", number_list(instance.input_delays)) ||
        !put(dict.get(), "output_delays", number_list(instance.output_delays)) ||
        !put(dict.get(), "connections", connections.release()) || !put(dict.get(), "paths", paths_list(instance)) ||
        !put(dict.get(), "silent", new_list(instance.size, [&](size_t p) { return flag(instance.silent[p]); })) ||
        !put(dict.get(), "direct", direct_array(instance)) || !put(dict.get(), "stateless", flag(instance.stateless)) ||
        !put(dict.get(), "body_direct", flag(instance.applied)) || !put(dict.get(), "commit_pass", flag(commit_pass)) ||
        !put(dict.get(), "loop", instance.loop ? PyLong_FromSize_t(*instance.loop) : Py_NewRef(Py_None)))
        return nullptr;
    return dict.release();
}

PyObject* entries_list(const LoopPlan& loop) {
    return new_list(loop.entries.size(), [&](size_t k) -> PyObject* {
        const JacobianEntry& e = loop.entries[k];
        Ref block(e.value ? Py_BuildValue("(dddd)", (*e.value)[0], (*e.value)[1], (*e.value)[2], (*e.value)[3])
                          : Py_NewRef(Py_None));
        return block ? Py_BuildValue("(nnO)", Py_ssize_t(e.row), Py_ssize_t(e.column), block.get()) : nullptr;
    });
}

PyObject* variables_list(const LoopPlan& loop, const std::vector<KernelPort>& owners) {
    return new_list(loop.variables.size(), [&](size_t v) -> PyObject* {
        const LoopVariable& variable = loop.variables[v];
        Ref port(port_pair(owners[variable.port]));
        Ref sources(new_list(variable.sources.size(),
                             [&](size_t k) { return port_pair(owners[variable.sources[k]]); }));
        return port && sources ? PyTuple_Pack(2, port.get(), sources.get()) : nullptr;
    });
}

// A loop unit with its solver entry: schedule positions of the evaluation calls and of the
// first committing call, the Jacobian entries between variables (2×2 real blocks of dy/dx,
// None when found by central differences) and the variables as (port, loop sources).
PyObject* loop_dict(const CircuitPlan& plan, size_t k, size_t position, const std::vector<KernelPort>& owners) {
    const LoopPlan& loop = plan.loops[k];
    size_t evaluations = loop.solver == LoopSolver::Lagged ? 0 : loop.members.size();
    std::vector<size_t> member_units;
    for (size_t m = 0; m < evaluations; ++m) member_units.push_back(position + m);
    Ref dict(PyDict_New());
    if (!dict || !put(dict.get(), "kind", PyUnicode_FromString("loop")) ||
        !put(dict.get(), "loop", PyLong_FromSize_t(k)) ||
        !put(dict.get(), "solver", PyUnicode_FromString(solver_name(loop.solver))) ||
        !put(dict.get(), "members", index_tuple(loop.members)) ||
        !put(dict.get(), "member_units", number_list(member_units)) ||
        !put(dict.get(), "commit_unit", PyLong_FromSize_t(position + evaluations)) ||
        !put(dict.get(), "affine", flag(loop.affine)) || !put(dict.get(), "predictable", flag(loop.predictable)) ||
        !put(dict.get(), "entries", entries_list(loop)) || !put(dict.get(), "use_sparse", flag(loop.use_sparse)) ||
        !put(dict.get(), "variables", variables_list(loop, owners)))
        return nullptr;
    return dict.release();
}

PyObject* units_list(const CircuitPlan& plan, const std::vector<KernelPort>& owners) {
    Ref units(PyList_New(0));
    size_t position = 0;
    for (const FlowUnit& unit : plan.units) {
        Ref item;
        if (unit.is_loop) {
            item = Ref(loop_dict(plan, unit.index, position, owners));
            position += plan.loops[unit.index].solver == LoopSolver::Lagged ? plan.loops[unit.index].members.size()
                                                                            : 2 * plan.loops[unit.index].members.size();
        } else {
            item = Ref(Py_BuildValue("{s:s,s:n,s:n}", "kind", "instance", "instance", Py_ssize_t(unit.index),
                                     "schedule", Py_ssize_t(position++)));
        }
        if (!units || !item || PyList_Append(units.get(), item.get()) < 0) return nullptr;
    }
    return units.release();
}

}  // namespace

PyObject* index_tuple(const std::vector<size_t>& values) {
    Ref list(number_list(values));
    return list ? PySequence_Tuple(list.get()) : nullptr;
}

PyObject* schedule_list(const CircuitPlan& plan) {
    return new_list(plan.schedule.size(), [&](size_t k) {
        const ScheduleEntry& e = plan.schedule[k];
        return Py_BuildValue("(nOO)", Py_ssize_t(e.instance), e.commits ? Py_True : Py_False,
                             e.in_loop ? Py_True : Py_False);
    });
}

PyObject* plan_dict(const CircuitPlan& plan) {
    const std::vector<KernelPort> owners = port_owners(plan);
    std::vector<size_t> members, plain;
    for (const ScheduleEntry& e : plan.schedule)
        if (e.commits) (plan.instances[e.instance].fused ? members : plain).push_back(e.instance);
    Ref lines(PyList_New(0)), externals(PyList_New(0));
    for (size_t g = 0; lines && externals && g < plan.num_ports; ++g) {
        const InstancePlan& instance = plan.instances[owners[g].instance];
        size_t in = instance.input_delays[owners[g].index], out = instance.output_delays[owners[g].index];
        Ref line(in || out ? Py_BuildValue("(nnnn)", Py_ssize_t(owners[g].instance), Py_ssize_t(owners[g].index),
                                           Py_ssize_t(in), Py_ssize_t(out))
                           : nullptr);
        if ((in || out) && (!line || PyList_Append(lines.get(), line.get()) < 0)) return nullptr;
        for (size_t key : plan.feeds[g].keys) {
            Ref external(Py_BuildValue("(nnn)", Py_ssize_t(key), Py_ssize_t(owners[g].instance),
                                       Py_ssize_t(owners[g].index)));
            if (!external || PyList_Append(externals.get(), external.get()) < 0) return nullptr;
        }
    }
    Ref dict(PyDict_New());
    if (!dict || !lines || !externals || !put(dict.get(), "version", PyLong_FromLong(1)) ||
        !put(dict.get(), "num_keys", PyLong_FromSize_t(plan.num_keys)) ||
        !put(dict.get(), "max_iterations", PyLong_FromLongLong(plan.max_iterations)) ||
        !put(dict.get(), "abs_tolerance", PyFloat_FromDouble(plan.abs_tolerance)) ||
        !put(dict.get(), "rel_tolerance", PyFloat_FromDouble(plan.rel_tolerance)) ||
        !put(dict.get(), "fuse", flag(plan.fuse)) ||
        !put(dict.get(), "instances",
             new_list(plan.instances.size(), [&](size_t i) { return instance_dict(plan, i, owners); })) ||
        !put(dict.get(), "units", units_list(plan, owners)) || !put(dict.get(), "schedule", schedule_list(plan)) ||
        !put(dict.get(), "commit_pass",
             new_list(plan.loops.size(), [&](size_t k) { return index_tuple(plan.loops[k].members); })) ||
        !put(dict.get(), "members", number_list(members)) || !put(dict.get(), "plain", number_list(plain)) ||
        !put(dict.get(), "line_propagate", lines.release()) || !put(dict.get(), "externals", externals.release()) ||
        !put(dict.get(), "monitors", new_list(plan.monitors.size(), [&](size_t k) {
                 const auto& m = plan.monitors[k];
                 return Py_BuildValue("(nnnO)", Py_ssize_t(m.key), Py_ssize_t(m.port.instance),
                                      Py_ssize_t(m.port.index), m.outgoing ? Py_True : Py_False);
             })))
        return nullptr;
    return dict.release();
}

}  // namespace whistle::py
