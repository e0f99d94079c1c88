// The module function `s_matrix`: S matrices of a component over random draws and corners of
// its parameters. Values are drawn by the core's sampling plan; the parametric objects that own
// the variables are updated in dependency order (technologies, sub-components before parents,
// models), the active model is started for every draw, and the runners it returns are polled
// together, at most `parallel_jobs` at a time. Every updated object gets its keyword arguments
// back afterwards, also when a computation fails.
#include <algorithm>
#include <map>

#include "core/circuit/sampling.hpp"
#include "core/model/component.hpp"
#include "interpreter_objects.hpp"
#include "model_class.hpp"
#include "parametric.hpp"
#include "random_variable.hpp"
#include "runner.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

struct VariationOptions {
    int show_progress = 1;
    long long random_samples = 0;
    long long corner_samples = 0;
    double corner_coverage = 0.95;
    PyObject* random_seed = Py_None;
    long long parallel_jobs = 0;
    int chain_technology_updates = 1;
    int chain_component_updates = 1;
    PyObject* component_args = nullptr;
    PyObject* component_kwargs = nullptr;
    PyObject* model_kwargs = nullptr;
    PyObject* callback_fn = Py_None;
};

bool parse_options(PyObject* kwds, VariationOptions& o) {
    static const char* keywords[] = {"show_progress", "random_samples", "corner_samples",
                                     "corner_coverage", "random_seed", "parallel_jobs",
                                     "chain_technology_updates", "chain_component_updates",
                                     "component_args", "component_kwargs", "model_kwargs",
                                     "callback_fn", nullptr};
    Ref no_args(PyTuple_New(0));
    if (!no_args ||
        !PyArg_ParseTupleAndKeywords(no_args.get(), kwds, "|$pLLdOLppOOOO:s_matrix", (char**)keywords,
                                     &o.show_progress, &o.random_samples, &o.corner_samples,
                                     &o.corner_coverage, &o.random_seed, &o.parallel_jobs,
                                     &o.chain_technology_updates, &o.chain_component_updates,
                                     &o.component_args, &o.component_kwargs, &o.model_kwargs,
                                     &o.callback_fn))
        return false;
    if (o.random_seed != Py_None && !PyLong_Check(o.random_seed)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'random_seed' must be an integer or None.");
        return false;
    }
    if (o.component_args && !PyTuple_Check(o.component_args) && !PyList_Check(o.component_args)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component_args' must be a tuple or list.");
        return false;
    }
    for (auto [value, name] : {std::pair{o.component_kwargs, "component_kwargs"},
                               std::pair{o.model_kwargs, "model_kwargs"}}) {
        if (value && !PyDict_Check(value)) {
            PyErr_Format(PyExc_TypeError, "Argument '%s' must be a dictionary.", name);
            return false;
        }
    }
    if (o.callback_fn != Py_None && !PyCallable_Check(o.callback_fn)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'callback_fn' must be callable or None.");
        return false;
    }
    return true;
}

bool non_empty(PyObject* container) { return container && PyObject_Length(container) > 0; }

// The component's active model for the classification; RuntimeError when it has none.
std::shared_ptr<BaseType> active_model(const Component& component, Classification classification) {
    const std::string& name = classification == Classification::Optical ? component.active_optical_model
                                                                          : component.active_electrical_model;
    auto it = name.empty() ? component.models.end() : component.models.find(name);
    if (it == component.models.end()) {
        PyErr_Format(PyExc_RuntimeError, "Component '%s' has no active %s model.", component.name.c_str(),
                     classification_name(classification));
        return nullptr;
    }
    return it->second;
}

// ---- Restoring updated objects ---------------------------------------------------------

// Remembers the keyword arguments of every object before its first update, and the update
// dicts of references, and puts them back in the order they were first changed, so that a
// technology is restored before the components built on it.
class Restorer {
public:
    explicit Restorer(PyObject* main, PyObject* component_args) : main_(main), component_args_(component_args) {}

    // Calls obj.update(**kwargs) (the component arguments too for the main component); an
    // object made during the run (`fresh`) needs no restoring.
    bool update(PyObject* obj, PyObject* kwargs, bool fresh = false) {
        if (!fresh && !remember(obj)) return false;
        Ref done(call_update(obj, kwargs));
        return bool(done);
    }

    // Sets a reference's update dict of `slot` to its first value updated with `values`.
    bool set_reference_dict(PyObject* reference, PyUpdateKwargs::Slot slot, PyObject* values) {
        const char* name = PyUpdateKwargs::kNames[slot];
        auto key = std::pair{reference, int(slot)};
        if (!saved_dicts_.contains(key)) {
            Ref current(PyObject_GetAttrString(reference, name));
            Ref saved(current ? PyDict_Copy(current.get()) : nullptr);
            if (!saved) return false;
            references_.emplace_back(Py_NewRef(reference));
            saved_dicts_.emplace(key, std::move(saved));
        }
        Ref dict(PyDict_Copy(saved_dicts_.at(key).get()));
        return dict && PyDict_Update(dict.get(), values) == 0 &&
               PyObject_SetAttrString(reference, name, dict.get()) == 0;
    }

    // Puts everything back; an error already pending is kept, otherwise the first failure of
    // a restore is raised.
    bool restore() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        auto attempt = [&](bool ok) {
            if (ok) return;
            if (type)
                PyErr_Clear();
            else
                PyErr_Fetch(&type, &value, &traceback);
        };
        for (auto& [obj, kwargs] : saved_kwargs_)
            attempt(PyObject_SetAttrString(obj.get(), "parametric_kwargs", kwargs.get()) == 0 &&
                    Ref(call_update(obj.get(), nullptr)));
        for (auto& [key, dict] : saved_dicts_)
            attempt(PyObject_SetAttrString(key.first, PyUpdateKwargs::kNames[key.second], dict.get()) == 0);
        if (!type) return true;
        PyErr_Restore(type, value, traceback);
        return false;
    }

private:
    bool remember(PyObject* obj) {
        for (auto& entry : saved_kwargs_)
            if (entry.first.get() == obj) return true;
        // Objects without keyword arguments keep None: their update raises its own error.
        Ref kwargs(PyObject_GetAttrString(obj, "parametric_kwargs"));
        if (!kwargs) return false;
        Ref saved(PyDict_Check(kwargs.get()) ? PyDict_Copy(kwargs.get()) : Py_NewRef(kwargs.get()));
        if (!saved) return false;
        saved_kwargs_.emplace_back(Ref(Py_NewRef(obj)), std::move(saved));
        return true;
    }

    PyObject* call_update(PyObject* obj, PyObject* kwargs) {
        Ref args(obj == main_ && component_args_ ? PySequence_Tuple(component_args_) : PyTuple_New(0));
        Ref method(args ? PyObject_GetAttrString(obj, "update") : nullptr);
        return method ? PyObject_Call(method.get(), args.get(), kwargs) : nullptr;
    }

    PyObject* main_;
    PyObject* component_args_;
    std::vector<std::pair<Ref, Ref>> saved_kwargs_;
    std::vector<Ref> references_;  // keeps the keys of saved_dicts_ alive
    std::map<std::pair<PyObject*, int>, Ref> saved_dicts_;
};

// ---- Variables and their targets -------------------------------------------------------

// Update ranks: technologies first, then components (sub-components first), models, and the
// update dicts of references, which a circuit model reads when it solves the reference.
enum Rank { kTechnology, kComponent, kModel, kReference };

// An object updated for every draw, with the variables whose values it receives.
struct Target {
    Ref object;
    Rank rank;
    size_t depth = 0;  // number of dependencies of a component: parents come after children
    PyUpdateKwargs::Slot slot = PyUpdateKwargs::kTechnology;  // of a reference
    // Named as "model": the main component's active model at each draw, since rebuilding the
    // component replaces its models.
    bool main_model = false;
    std::vector<size_t> variables;
};

class VariableSet {
public:
    VariableSet(PyObject* component, Classification classification)
        : component_(component), classification_(classification) {}

    // Reads one of the variable arguments (index for messages).
    bool add_argument(PyObject* item, Py_ssize_t index);
    // Adds the parametric components that must be rebuilt with the targets.
    bool chain(const std::shared_ptr<Component>& main, bool technologies, bool components);
    // Orders the targets and returns the variables in update order (new list).
    PyObject* ordered_variables();

    const std::vector<Target>& targets() const { return targets_; }
    const std::vector<std::shared_ptr<PyRandomVariable>>& variables() const { return cores_; }

private:
    bool add(PyObject* variable, PyObject* object, int slot);
    bool add_reference_updates(PyObject* reference, PyObject* updates);
    // The object an argument names: "component", "model" or "technology" for the main ones.
    PyObject* named_object(PyObject* obj, bool& main_model);
    Target* target_of(PyObject* object, int slot);

    PyObject* component_;
    Classification classification_;
    std::vector<Ref> variables_;
    std::vector<std::shared_ptr<PyRandomVariable>> cores_;
    std::vector<Target> targets_;
};

Target* VariableSet::target_of(PyObject* object, int slot) {
    for (Target& t : targets_)
        if (t.object.get() == object && (t.rank != kReference || int(t.slot) == slot)) return &t;
    Target t{Ref(Py_NewRef(object)), kReference};
    if (slot >= 0) {
        t.slot = PyUpdateKwargs::Slot(slot);
    } else if (is_instance(object, TypeCode::Technology)) {
        t.rank = kTechnology;
    } else if (is_instance(object, TypeCode::Model)) {
        t.rank = kModel;
    } else {
        t.rank = kComponent;
        t.depth = unwrap<Component>(object)->dependencies().size();
    }
    targets_.push_back(std::move(t));
    return &targets_.back();
}

bool VariableSet::add(PyObject* variable, PyObject* object, int slot) {
    Target* target = target_of(object, slot);
    target->variables.push_back(variables_.size());
    variables_.emplace_back(Py_NewRef(variable));
    cores_.push_back(unwrap<PyRandomVariable>(variable));
    return bool(cores_.back());
}

PyObject* VariableSet::named_object(PyObject* obj, bool& main_model) {
    const char* name = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
    if (!name) {
        PyErr_Clear();
        if (obj == Py_None || !is_parent_object(obj)) {
            PyErr_SetString(PyExc_TypeError,
                            "Variable objects must be a Component, Technology, or Model instance, or "
                            "one of 'component', 'technology', or 'model'.");
            return nullptr;
        }
        return Py_NewRef(obj);
    }
    std::string text = name;
    if (text == "component") return Py_NewRef(component_);
    auto main = unwrap<Component>(component_);
    if (text == "technology") return main ? wrap(main->technology) : nullptr;
    if (text == "model") {
        main_model = true;
        std::shared_ptr<BaseType> model = main ? active_model(*main, classification_) : nullptr;
        return model ? wrap(model) : nullptr;
    }
    PyErr_Format(PyExc_ValueError, "Variable object '%s' must be one of 'component', 'technology', or 'model'.",
                 name);
    return nullptr;
}

bool VariableSet::add_reference_updates(PyObject* reference, PyObject* updates) {
    if (!PyDict_Check(updates)) {
        PyErr_SetString(PyExc_TypeError, "Reference updates must be a dictionary.");
        return false;
    }
    // The pairs are held apart from the dict, which creating variables might change.
    Ref pairs(PyDict_Items(updates));
    if (!pairs) return false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pairs.get()); ++k) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), k), 0);
        PyObject* list = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), k), 1);
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        int slot = -1;
        for (int s = PyUpdateKwargs::kTechnology; name && s <= PyUpdateKwargs::kModel; ++s)
            if (std::string(name) == PyUpdateKwargs::kNames[s]) slot = s;
        if (slot < 0) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError,
                            "Reference update keys must be 'technology_updates', 'component_updates', "
                            "or 'model_updates'.");
            return false;
        }
        Ref items(PySequence_Check(list) ? sequence_items(list) : nullptr);
        if (!items) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "Reference '%s' must be a sequence of random variables.", name);
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyTuple_GET_ITEM(items.get(), i);
            Ref variable;
            if (is_instance(item, TypeCode::RandomVariable)) {
                variable = Ref(Py_NewRef(item));
            } else if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 &&
                       PyDict_Check(PyTuple_GET_ITEM(item, 1))) {
                Ref args(PyTuple_Pack(1, PyTuple_GET_ITEM(item, 0)));
                variable = Ref(args ? PyObject_Call(reinterpret_cast<PyObject*>(RandomVariable_type()),
                                                    args.get(), PyTuple_GET_ITEM(item, 1))
                                    : nullptr);
                if (!variable) return false;
            } else {
                PyErr_Format(PyExc_TypeError,
                             "Items of reference '%s' must be RandomVariable instances or (name, kwargs) pairs.",
                             name);
                return false;
            }
            if (!add(variable.get(), reference, slot)) return false;
        }
    }
    return true;
}

bool VariableSet::add_argument(PyObject* item, Py_ssize_t index) {
    if (is_instance(item, TypeCode::RandomVariable)) {
        auto core = unwrap<PyRandomVariable>(item);
        std::shared_ptr<BaseType> parent = core ? core->parent.lock() : nullptr;
        if (!parent) {
            if (core) PyErr_Format(PyExc_ValueError, "Random variable '%s' has no parent.", core->name.c_str());
            return false;
        }
        Ref object(wrap(parent));
        return object && add(item, object.get(), -1);
    }
    Ref items((PyTuple_Check(item) || PyList_Check(item)) ? sequence_items(item) : nullptr);
    Py_ssize_t count = items ? PyTuple_GET_SIZE(items.get()) : 0;
    PyObject* first = count > 0 ? PyTuple_GET_ITEM(items.get(), 0) : nullptr;
    if (count == 2 && is_instance(first, TypeCode::Reference))
        return add_reference_updates(first, PyTuple_GET_ITEM(items.get(), 1));
    if ((count == 2 || (count == 3 && PyDict_Check(PyTuple_GET_ITEM(items.get(), 2)))) &&
        PyUnicode_Check(first)) {
        bool main_model = false;
        Ref object(named_object(PyTuple_GET_ITEM(items.get(), 1), main_model));
        if (!object) return false;
        target_of(object.get(), -1)->main_model |= main_model;
        if (count == 3) {
            Ref args(PyTuple_Pack(2, first, object.get()));
            Ref variable(args ? PyObject_Call(reinterpret_cast<PyObject*>(RandomVariable_type()), args.get(),
                                              PyTuple_GET_ITEM(items.get(), 2))
                              : nullptr);
            return variable && add(variable.get(), object.get(), -1);
        }
        Ref listed(PyObject_GetAttrString(object.get(), "random_variables"));
        Ref candidates(listed ? sequence_items(listed.get()) : nullptr);
        if (!candidates) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(candidates.get()); ++i) {
            PyObject* candidate = PyTuple_GET_ITEM(candidates.get(), i);
            if (!is_instance(candidate, TypeCode::RandomVariable)) continue;
            Ref name(PyObject_GetAttrString(candidate, "name"));
            int same = name ? PyObject_RichCompareBool(name.get(), first, Py_EQ) : -1;
            if (same < 0) return false;
            if (same) return add(candidate, object.get(), -1);
        }
        PyErr_Format(PyExc_ValueError, "Random variable '%U' not found in the given object.", first);
        return false;
    }
    PyErr_Format(PyExc_TypeError,
                 "Variable %zd must be a RandomVariable instance, a (name, object) pair, a (name, object, "
                 "kwargs) triple, or a (reference, updates) pair.",
                 index);
    return false;
}

// A component that a registered function rebuilds.
bool is_parametric(const Component& component) {
    PyObject* function = PyParametricData::item(component.parametric_data, "function");
    return function && PyUnicode_Check(function);
}

bool VariableSet::chain(const std::shared_ptr<Component>& main, bool technologies, bool components) {
    std::vector<std::shared_ptr<Component>> tree = main->dependencies();
    tree.push_back(main);
    std::vector<std::shared_ptr<BaseType>> updated_technologies, updated_components;
    for (const Target& t : targets_) {
        if (t.rank == kTechnology) updated_technologies.push_back(unwrap_base(t.object.get()));
        if (t.rank == kComponent) updated_components.push_back(unwrap_base(t.object.get()));
    }
    auto contains = [](const auto& list, const BaseType* object) {
        return std::any_of(list.begin(), list.end(), [&](const auto& item) { return item.get() == object; });
    };
    for (const std::shared_ptr<Component>& c : tree) {
        if (!is_parametric(*c)) continue;
        bool chained = technologies && contains(updated_technologies, c->technology.get());
        for (const std::shared_ptr<Component>& dependency : components ? c->dependencies()
                                                                       : std::vector<std::shared_ptr<Component>>{})
            chained = chained || contains(updated_components, dependency.get());
        if (!chained) continue;
        Ref object(wrap(c));
        if (!object) return false;
        target_of(object.get(), -1);
    }
    return true;
}

PyObject* VariableSet::ordered_variables() {
    std::stable_sort(targets_.begin(), targets_.end(), [](const Target& a, const Target& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.depth < b.depth;
    });
    Ref list(PyList_New(0));
    for (const Target& t : targets_)
        for (size_t i : t.variables)
            if (!list || PyList_Append(list.get(), variables_[i].get()) < 0) return nullptr;
    return list.release();
}

// ---- Draws and runners -----------------------------------------------------------------

class Driver {
public:
    Driver(PyObject* component, PyObject* frequencies, const VariationOptions& options,
           Classification classification, VariableSet& variables, PyObject* variable_list)
        : component_(component), frequencies_(frequencies), options_(options),
          classification_(classification), set_(variables), variable_list_(variable_list),
          restorer_(component, options.component_args) {}

    // The S matrices of all draws (the current values alone when the plan is empty), with
    // every updated object restored afterwards.
    PyObject* run(SamplingPlan& plan) {
        Ref results(compute(plan));
        bool restored = restorer_.restore();
        return restored ? results.release() : nullptr;
    }

private:
    struct Active {
        size_t index;
        Ref runner;
    };

    PyObject* compute(SamplingPlan& plan) {
        if (non_empty(options_.component_args) || non_empty(options_.component_kwargs)) {
            if (!restorer_.update(component_, options_.component_kwargs)) return nullptr;
        }
        uint64_t count = std::max<uint64_t>(plan.size(), 1);
        if (count > uint64_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
        Ref results(PyList_New(Py_ssize_t(count)));
        Ref model_kwargs(options_.model_kwargs ? PyDict_Copy(options_.model_kwargs) : PyDict_New());
        if (!results || !model_kwargs) return nullptr;
        uint64_t limit = options_.parallel_jobs > 0 ? uint64_t(options_.parallel_jobs) : count;
        std::vector<Active> active;
        for (uint64_t next = 0; next < count || !active.empty();) {
            for (; next < count && active.size() < limit; ++next) {
                std::optional<std::vector<double>> row;
                if (plan.size() > 0) row = plan.next();
                Ref result(start(row ? &*row : nullptr, next, count, model_kwargs.get()));
                if (!result) return nullptr;
                if (is_instance(result.get(), TypeCode::SMatrix))
                    PyList_SET_ITEM(results.get(), Py_ssize_t(next), result.release());
                else
                    active.push_back({next, std::move(result)});
            }
            if (!active.empty() && !poll(active, results.get())) return nullptr;
        }
        return results.release();
    }

    // Sets the variables of one draw, updates their objects, runs the callback and starts the
    // active model: an S matrix or a runner (new reference).
    PyObject* start(const std::vector<double>* row, uint64_t index, uint64_t count, PyObject* model_kwargs) {
        if (options_.show_progress) {
            std::string line = "Starting sample " + std::to_string(index + 1) + " of " +
                               std::to_string(count) + "\u2026\n";
            if (!print_progress(line.c_str())) return nullptr;
        }
        if (row && !apply(*row)) return nullptr;
        if (options_.callback_fn != Py_None &&
            !Ref(PyObject_CallFunctionObjArgs(options_.callback_fn, component_, variable_list_, nullptr)))
            return nullptr;
        Ref model_obj(current_model());
        Ref start_method(model_obj ? PyObject_GetAttrString(model_obj.get(), "start") : nullptr);
        Ref args(start_method ? PyTuple_Pack(2, component_, frequencies_) : nullptr);
        return args ? PyObject_Call(start_method.get(), args.get(), model_kwargs) : nullptr;
    }

    bool apply(const std::vector<double>& row) {
        const auto& cores = set_.variables();
        for (const Target& target : set_.targets()) {
            Ref kwargs(PyDict_New());
            if (!kwargs) return false;
            for (size_t i : target.variables) {
                Ref value(cores[i]->set_by_cdf(row[i]));
                if (!value || PyDict_SetItemString(kwargs.get(), cores[i]->name.c_str(), value.get()) < 0)
                    return false;
            }
            if (target.rank == kReference) {
                if (!restorer_.set_reference_dict(target.object.get(), target.slot, kwargs.get())) return false;
                continue;
            }
            Ref current(target.main_model ? current_model() : Py_NewRef(target.object.get()));
            if (!current || !restorer_.update(current.get(), kwargs.get(), current.get() != target.object.get()))
                return false;
        }
        return true;
    }

    PyObject* current_model() {
        auto component = unwrap<Component>(component_);
        std::shared_ptr<BaseType> model = component ? active_model(*component, classification_) : nullptr;
        return model ? wrap(model) : nullptr;
    }

    // Checks every active runner once, moving finished results into `results`; sleeps one
    // interval when none has finished.
    bool poll(std::vector<Active>& active, PyObject* results) {
        size_t finished = 0;
        for (auto it = active.begin(); it != active.end();) {
            Ref status;
            double progress = 0;
            RunnerState state = check_runner(it->runner.get(), kModelRunnerTexts, options_.show_progress,
                                             status, progress);
            if (state == RunnerState::kFailed) return false;
            if (state == RunnerState::kRunning) {
                ++it;
                continue;
            }
            Ref s_matrix(PyObject_GetAttrString(it->runner.get(), "s_matrix"));
            if (!s_matrix) return false;
            if (!is_instance(s_matrix.get(), TypeCode::SMatrix)) {
                PyErr_SetString(PyExc_RuntimeError, "Attribute 's_matrix' from model result is not an SMatrix instance.");
                return false;
            }
            PyList_SET_ITEM(results, Py_ssize_t(it->index), s_matrix.release());
            it = active.erase(it);
            ++finished;
        }
        return finished > 0 || active.empty() || sleep_between_polls();
    }

    PyObject* component_;
    PyObject* frequencies_;
    const VariationOptions& options_;
    Classification classification_;
    VariableSet& set_;
    PyObject* variable_list_;
    Restorer restorer_;
};

// The sampling plan of the variables, with the core's warnings issued; null with an exception
// set on failure.
std::unique_ptr<SamplingPlan> plan_draws(const VariableSet& set, const VariationOptions& o) {
    std::vector<SampledVariable> sampled;
    for (const auto& v : set.variables()) sampled.push_back({v->distribution(), v->size().value_or(0)});
    SamplingOptions options{o.random_samples, o.corner_samples, o.corner_coverage, std::nullopt};
    if (o.random_seed != Py_None) {
        unsigned long seed = PyLong_AsUnsignedLongMask(o.random_seed);
        if (seed == (unsigned long)-1 && PyErr_Occurred()) return nullptr;
        options.seed = uint32_t(seed);
    }
    ErrorHandler status;
    std::unique_ptr<SamplingPlan> plan;
    try {
        plan = std::make_unique<SamplingPlan>(sampled, options, status);
    }
    WHISTLE_CATCH(nullptr)
    return check_status(status) ? std::move(plan) : nullptr;
}

}  // namespace

PyObject* function_s_matrix(PyObject*, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) < 2) {
        PyErr_SetString(PyExc_TypeError, "s_matrix() requires the arguments 'component' and 'frequencies'.");
        return nullptr;
    }
    PyObject* component = PyTuple_GET_ITEM(args, 0);
    VariationOptions options;
    if (!parse_options(kwds, options)) return nullptr;
    if (!is_instance(component, TypeCode::Component)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component' must be a Component instance.");
        return nullptr;
    }
    std::vector<double> frequencies;
    if (!to_frequencies(PyTuple_GET_ITEM(args, 1), frequencies)) return nullptr;
    Classification classification = frequency_classification(frequencies);
    auto main = unwrap<Component>(component);
    if (!main) return nullptr;
    VariableSet set(component, classification);
    for (Py_ssize_t i = 2; i < PyTuple_GET_SIZE(args); ++i)
        if (!set.add_argument(PyTuple_GET_ITEM(args, i), i - 2)) return nullptr;
    if (!set.chain(main, options.chain_technology_updates, options.chain_component_updates)) return nullptr;
    Ref variables(set.ordered_variables());
    std::unique_ptr<SamplingPlan> plan = variables ? plan_draws(set, options) : nullptr;
    if (!plan) return nullptr;
    Ref frequency_array(vector_array(frequencies));
    if (!frequency_array) return nullptr;
    Driver driver(component, frequency_array.get(), options, classification, set, variables.get());
    Ref results(driver.run(*plan));
    return results ? PyTuple_Pack(2, variables.get(), results.get()) : nullptr;
}

}  // namespace whistle::py
