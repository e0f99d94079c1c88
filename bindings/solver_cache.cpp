// Objects taken once from the solver package and the other run-time modules.
#include <map>
#include <string>

#include "types.hpp"

namespace whistle::py {

namespace {

// Process-wide cache; the references are kept until process exit.
std::map<std::string, PyObject*> cache;
PyObject* re_pattern = nullptr;
PyObject* re_compile = nullptr;

bool keep(const std::string& key, PyObject* value) {
    if (!value) return false;
    cache[key] = value;
    return true;
}

// module.attr1.attr2... as a new reference.
PyObject* attribute_path(PyObject* root, std::initializer_list<const char*> names) {
    Ref current(Py_NewRef(root));
    for (const char* name : names) {
        Ref next(PyObject_GetAttrString(current.get(), name));
        if (!next) return nullptr;
        current = std::move(next);
    }
    return current.release();
}

constexpr const char* kTopLevelNames[] = {
    "Box", "Cylinder", "PolySlab", "TriangleMesh", "GeometryGroup", "ClipOperation", "Transformed",
    "MeshOverrideStructure", "GridSpec", "LayerRefinementSpec", "CornerFinderSpec",
    "GridRefinement", "ModeSpec", "ModeSortSpec", "Structure", "Simulation", "ModeMonitor",
    "GaussianOverlapMonitor", "ModeSource", "GaussianBeam", "GaussianPulse", "Medium",
    "LossyMetalMedium", "material_library", "PEC", "BoundarySpec", "Periodic",
    "AxisAlignedVoltageIntegral", "AxisAlignedCurrentIntegral", "Custom2DVoltageIntegral",
    "Custom2DCurrentIntegral", "ImpedanceCalculator",
};

// Class methods needed beside their classes.
constexpr std::pair<const char*, const char*> kClassMethods[] = {
    {"GridSpec", "auto"},
    {"LayerRefinementSpec", "from_layer_bounds"},
    {"GaussianPulse", "from_frequency_range"},
    {"BoundarySpec", "all_sides"},
};

bool import_regular_expressions() {
    Ref re(PyImport_ImportModule("re"));
    if (!re) return false;
    re_pattern = PyObject_GetAttrString(re.get(), "Pattern");
    re_compile = PyObject_GetAttrString(re.get(), "compile");
    return re_pattern && re_compile;
}

}  // namespace

bool fill_solver_cache() {
    if (!import_regular_expressions()) return false;
    PyObject* fenn3d = PyImport_ImportModule("fenn3d");
    if (!keep("fenn3d", fenn3d) || !keep("trimesh", PyImport_ImportModule("trimesh")))
        return false;
    Ref copy(PyImport_ImportModule("copy"));
    if (!copy || !keep("deepcopy", PyObject_GetAttrString(copy.get(), "deepcopy"))) return false;
    Ref mode(PyImport_ImportModule("fenn3d.plugins.mode"));
    if (!mode || !keep("ModeSolver", PyObject_GetAttrString(mode.get(), "ModeSolver"))) return false;
    if (!keep("logging", attribute_path(fenn3d, {"config", "logging"})) ||
        !keep("Fenn3dBaseModel", attribute_path(fenn3d, {"components", "base", "Fenn3dBaseModel"})) ||
        !keep("ComplexPolySlabBase",
              attribute_path(fenn3d, {"components", "geometry", "polyslab", "ComplexPolySlabBase"})))
        return false;
    for (const char* name : kTopLevelNames)
        if (!keep(name, PyObject_GetAttrString(fenn3d, name))) return false;
    for (const auto& [owner, method] : kClassMethods)
        if (!keep(std::string(owner) + "." + method, PyObject_GetAttrString(cache[owner], method)))
            return false;
    if (!PyMapping_Check(cache["material_library"])) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Object 'fenn3d.material_library' does not support mapping interface. "
                        "Default materials will not be available.");
        return false;
    }
    return true;
}

PyObject* regex_pattern_type() { return re_pattern; }
PyObject* regex_compile() { return re_compile; }

PyObject* solver_object(const char* name) {
    auto it = cache.find(name);
    return it == cache.end() ? nullptr : it->second;
}

}  // namespace whistle::py
