// The exposed types and module functions, in registration order. Adding a type means adding
// its binding file, which defines `PyTypeObject* <Name>_type()`, and one line here.
#pragma once

#include "common.hpp"

// X(name as added to the module)
#define WHISTLE_TYPES(X) \
    X(Circle)            \
    X(Component)         \
    X(ConstructiveSolid) \
    X(Extruded)          \
    X(ExtrusionSpec)     \
    X(FiberPort)         \
    X(GaussianPort)      \
    X(_Iterator)         \
    X(Label)             \
    X(LayerSpec)         \
    X(MaskSpec)          \
    X(Model)             \
    X(Path)              \
    X(TwfStream)         \
    X(Expression)        \
    X(PoleResidueMatrix) \
    X(Polygon)           \
    X(Polyhedron)        \
    X(Port)              \
    X(PortSpec)          \
    X(Properties)        \
    X(RandomVariable)    \
    X(Rectangle)         \
    X(Reference)         \
    X(SMatrix)           \
    X(Technology)        \
    X(Terminal)          \
    X(_CircuitKernel)    \
    X(TimeDomainModel)   \
    X(TimeSeries)        \
    X(TimeStepper)       \
    X(Interpolator)      \
    X(ZMatrix)           \
    X(YMatrix)           \
    X(MNAMatrix)         \
    X(LumpedModel)

// X(name, C function, flags, docstring); functions live in the binding file of their topic.
#define WHISTLE_FUNCTIONS(X)                                                                  \
    X(basic_technology, METH_VARARGS | METH_KEYWORDS, "basic_technology(*, core_medium=None, clad_medium=None, trench_medium=None, metal_medium=None, top_medium=None, substrate_medium=None, core_thickness=0.22, slab_thickness=0.07, metal_thickness=0.5, metal_separation=1.5, clad_thickness=1.5, box_thickness=2.0, port_z_gap=1.0, core_layer=(2, 0), slab_layer=(3, 0), clad_layer=(1, 0), trench_layer=(4, 0), metal_layer=(5, 0), strip_width=0.5, rib_width=0.4, clad_width=1.0, cpw_width=3.6, cpw_gap=1.0, min_metal_width=2.0, min_metal_spacing=1.0, mask_dilation=0, sidewall_angle=0, core_fill=False, core_thickness_stdev=0.002, slab_thickness_stdev=0.005, clad_thickness_stdev=0.05, box_thickness_stdev=0.05, mask_dilation_stdev=0.005, sidewall_angle_stdev=2)\n\nExample silicon-photonics technology: strip and rib waveguides (layers WG_CORE, SLAB, WG_CLAD) on a buried oxide over a silicon substrate, a METAL layer with a coplanar line (port specification 'CPW' with terminals 'signal', 'gnd0', 'gnd1') and facet trenches (TRENCH).\n\nThe stack has z = 0 at the bottom of the core; the box lies below it, the cladding above it up to clad_thickness, and the metal starts metal_separation above the core top. With core_fill, the WG_CORE layer marks the etched regions instead of the waveguides. Media may be solver media or dicts with 'optical' and 'electrical' media. The technology's random_variables are normal variables of core_thickness, slab_thickness, clad_thickness, box_thickness, mask_dilation and sidewall_angle with the given standard deviations.") \
    X(snap_to_grid, METH_VARARGS | METH_KEYWORDS,                                             \
      "snap_to_grid(value, grid=None, multiple=1)\n\nSnap a value or coordinates to the grid.")  \
    X(grid_floor, METH_VARARGS | METH_KEYWORDS,                                               \
      "grid_floor(value, grid=None, multiple=1)\n\nSnap towards minus infinity.")             \
    X(grid_ceil, METH_VARARGS | METH_KEYWORDS,                                                \
      "grid_ceil(value, grid=None, multiple=1)\n\nSnap towards plus infinity.")               \
    X(s_bend_length, METH_VARARGS | METH_KEYWORDS,                                            \
      "s_bend_length(offset, radius=None, meander=True)\n\nShortest length of an S bend.")     \
    X(boolean, METH_VARARGS | METH_KEYWORDS, "boolean(operand1, operand2, operation)\n\nBoolean operation ('+', '*', '-' or '^') between two sets of shapes.") \
    X(intersects, METH_VARARGS | METH_KEYWORDS, "intersects(operand1, operand2)\n\nTrue when the two sets of shapes share any point.") \
    X(offset, METH_VARARGS | METH_KEYWORDS, "offset(operand, distance, round_joins=False, trim_x_min=False, trim_x_max=False, trim_y_min=False, trim_y_max=False)\n\nDilate (positive distance) or erode shapes.") \
    X(heal, METH_VARARGS | METH_KEYWORDS, "heal(operand, feature_size)\n\nRemove features smaller than feature_size.") \
    X(envelope, METH_VARARGS | METH_KEYWORDS, "envelope(operand, offset=0, trim_x_min=False, trim_x_max=False, trim_y_min=False, trim_y_max=False, round_joins=False, use_box=False)\n\nConvex hull or bounding box of shapes, optionally dilated.") \
    X(write_layout, METH_VARARGS | METH_KEYWORDS, "write_layout(filename, *components, paths_to_polygons=True, compression_level=9, fracture_limit=0, library_name=\"LIBRARY\", library_properties=None, pre_export_function=None)\n\nWrite the components and their dependencies to a GDSII file, or an OASIS file for names ending in '.oas' or '.oasis'. Cell names are made non-empty and unique (with a warning). pre_export_function, when given, is called with a shallow copy of each component, and the copy is written.") \
    X(load_layout, METH_VARARGS | METH_KEYWORDS, "load_layout(filename, technology=None, layers=None, cell_names=None, library_properties=False, post_load_function=None, compact=\"auto\", temp_dir=None)\n\nLoad a GDSII or OASIS file (recognised by its content) as a dict from cell name to Component; with library_properties also the library's Properties. layers and cell_names restrict what is converted; post_load_function is applied to every component. compact=True (or 'auto' for files of 256 MiB and more) replaces regular arrays of identical elements by array references to synthetic components, spilling to temp_dir when large.") \
    X(fenn3d_structures_from_layout, METH_VARARGS | METH_KEYWORDS,                             \
      "fenn3d_structures_from_layout(filename, technology=None, cell_name=None, classification=\"optical\")\n\nLoad a GDSII or OASIS cell (cell_name, or the top-level cell) with the technology (default: the configured one), extrude it and return the solver structures of its solids.") \
    X(find_top_level, METH_VARARGS | METH_KEYWORDS,                                           \
      "find_top_level(*components)\n\nThe given components that are not a dependency of another given one.") \
    X(set_unique_names, METH_VARARGS | METH_KEYWORDS,                                         \
      "set_unique_names(*components)\n\nRename the components and their dependencies so that names are non-empty and unique; returns the renamed ones.") \
    X(load_snp, METH_VARARGS | METH_KEYWORDS,                                                  \
      "load_snp(filename)\n\nRead a Touchstone file: (S array of shape (F, N, N), frequencies in Hz).") \
    X(frequency_classification, METH_VARARGS | METH_KEYWORDS,                                  \
      "frequency_classification(frequencies)\n\n'electrical' when any frequency is below 6 THz, else 'optical'.") \
    X(pole_residue_fit, METH_VARARGS | METH_KEYWORDS,                                          \
      "pole_residue_fit(s_matrix, initial_poles=(), min_poles=0, max_poles=30, loss_factor=1e-3, rms_error_tolerance=1e-4, max_iterations=100, max_stale_iterations=3, real=False, passive=True, feedthrough=False, delays=0, stable=True, silence_warnings=False)\n\nFit a PoleResidueMatrix to the S matrix by relaxed vector fitting with shared poles, trying pole counts from min_poles to max_poles until the RMS error reaches rms_error_tolerance (or fitting once with initial_poles). real keeps conjugate symmetry, feedthrough fits a constant term, stable reflects unstable poles, passive enforces passivity; delays ('auto', a number or a mapping of keys) are removed before fitting and kept in the model. Returns (model, RMS error).") \
    X(register_model_class, METH_VARARGS | METH_KEYWORDS,                                      \
      "register_model_class(*model_classes)\n\nRegister Model subclasses by their __name__, so that stored models can be rebuilt.") \
    X(register_time_stepper_class, METH_VARARGS | METH_KEYWORDS, "register_time_stepper_class(*time_stepper_classes)\n\nRegister TimeStepper subclasses by their __name__, so that stored steppers can be rebuilt.") \
    X(_native_entry, METH_VARARGS | METH_KEYWORDS, "_native_entry(time_stepper)\n\nThe bound native step (address, context, state, cstate) that runs the stepper's step_single, or None.") \
    X(_native_step_call, METH_VARARGS | METH_KEYWORDS, "_native_step_call(native, size, inputs, outputs, time_index, update_state, shutdown)\n\nCall a native step entry once on complex128 arrays of 'size' values.") \
    X(_prbs7, METH_VARARGS | METH_KEYWORDS, "_prbs7(state)\n\nNext state of the 7-bit pseudo-random bit sequence register.") \
    X(_prbs15, METH_VARARGS | METH_KEYWORDS, "_prbs15(state)\n\nNext state of the 15-bit pseudo-random bit sequence register.") \
    X(_prbs31, METH_VARARGS | METH_KEYWORDS, "_prbs31(state)\n\nNext state of the 31-bit pseudo-random bit sequence register.") \
    X(s_matrix, METH_VARARGS | METH_KEYWORDS,                                                  \
      "s_matrix(component, frequencies, *variables, show_progress=True, random_samples=0, corner_samples=0, corner_coverage=0.95, random_seed=None, parallel_jobs=0, chain_technology_updates=True, chain_component_updates=True, component_args=(), component_kwargs={}, model_kwargs={}, callback_fn=None)\n\nS matrices of a component over variations of its parameters: returns (variables in update order, list of S matrices).\n\nVariables: RandomVariable instances (of their parent), (name, object) pairs naming a variable listed in the object's random_variables, (name, object, kwargs) triples creating one, where object may also be 'component', 'model' or 'technology' for the main ones, and (reference, {'technology_updates': [...], 'component_updates': [...], 'model_updates': [...]}) pairs whose variables (or (name, kwargs) pairs) set the reference's update dicts. Each draw updates technologies, then components (sub-components first; with chain_technology_updates the components built on an updated technology, with chain_component_updates the parents of an updated component), then models, runs callback_fn(component, variables) and starts the active model; at most parallel_jobs runners are polled at once (no limit when not positive).\n\nrandom_samples random draws (negative with discrete variables only: every combination once) and corner_samples corners (negative or more than exist: all) are evaluated, or the current values once when there are none; normal corners enclose corner_coverage of the distribution; random_seed fixes the draws. component_args and component_kwargs rebuild the component for the computation. Every updated object is restored afterwards, also on failure.") \
    X(_connect_s_matrices, METH_VARARGS | METH_KEYWORDS,                                      \
      "_connect_s_matrices(s_dict, connections, num_instances)\n\nJoin instance S matrices at the connected ports; returns the elements between the remaining port-modes.") \
    X(_netlist_cache_sizes, METH_VARARGS | METH_KEYWORDS,                                     \
      "_netlist_cache_sizes()\n\nEntries held by the port connectivity cache and the net cache.") \
    X(_clear_netlist_caches, METH_VARARGS | METH_KEYWORDS,                                    \
      "_clear_netlist_caches()\n\nEmpty both netlist caches.")                                  \
    X(_set_netlist_cache_capacity, METH_VARARGS | METH_KEYWORDS,                              \
      "_set_netlist_cache_capacity(capacity)\n\nCapacity of both netlist caches, evicting the least recently used entries; below 1 means no limit.") \
    X(z_to_s_matrix, METH_VARARGS | METH_KEYWORDS,                                             \
      "z_to_s_matrix(z_matrix, impedances=50.0)\n\nS matrix of a Z matrix at reference impedances: one number for all terminals or a dict by terminal name.") \
    X(s_to_z_matrix, METH_VARARGS | METH_KEYWORDS,                                             \
      "s_to_z_matrix(s_matrix, impedances=50.0)\n\nZ matrix of an S matrix with single-mode ports at reference impedances.") \
    X(y_to_s_matrix, METH_VARARGS | METH_KEYWORDS,                                             \
      "y_to_s_matrix(y_matrix, impedances=50.0)\n\nS matrix of a Y matrix at reference impedances.") \
    X(s_to_y_matrix, METH_VARARGS | METH_KEYWORDS,                                             \
      "s_to_y_matrix(s_matrix, impedances=50.0)\n\nY matrix of an S matrix with single-mode ports at reference impedances.") \
    X(y_to_z_matrix, METH_VARARGS | METH_KEYWORDS,                                             \
      "y_to_z_matrix(y_matrix)\n\nZ matrix as the inverse of a Y matrix at each frequency.")  \
    X(z_to_y_matrix, METH_VARARGS | METH_KEYWORDS,                                             \
      "z_to_y_matrix(z_matrix)\n\nY matrix as the inverse of a Z matrix at each frequency.")  \
    X(_mna_to_s, METH_VARARGS | METH_KEYWORDS,                                                 \
      "_mna_to_s(mna, port_map)\n\nS matrix of an MNA stamp with ports given as {name: (signal, impedance) or (signal, reference, impedance)}.") \
    X(_assemble_mna, METH_VARARGS | METH_KEYWORDS,                                             \
      "_assemble_mna(matrices, connections)\n\nOne MNA matrix from instance stamps joined by nets of (instance index or None, terminal) members; returns (matrix, node map).") \
    X(_assemble_component_mna, METH_VARARGS | METH_KEYWORDS,                                   \
      "_assemble_component_mna(component, frequencies, kwargs=None)\n\nMNA matrix of a component whose references carry lumped models as their active electrical models: each start_mna (with kwargs) in instance order, terminals joined by the component's nets and virtual nets.") \
    X(_triangulate, METH_VARARGS | METH_KEYWORDS,                                             \
      "_triangulate(vertices, ring_ends)\n\nTriangles covering a polygon with holes: the rings are stored one after another in vertices (N×2) and ring_ends holds the index one past each ring's last vertex. Returns an (M, 3) array of vertex indices, counter-clockwise.") \
    X(write_twf, METH_VARARGS | METH_KEYWORDS,                                                \
      "write_twf(filename, *args)\n\nWrite the arguments to a twf file as explicit objects: objects of this module with everything they refer to (components with their references' components and their technology), other values as native records.") \
    X(load_twf, METH_VARARGS | METH_KEYWORDS,                                                 \
      "load_twf(filename, only_explicit=True, set_config=True)\n\nLoad the components and technologies of a twf file: {'components': [...], 'technologies': [...]}, only the explicitly written ones with only_explicit. set_config applies the file's grid and tolerance.") \
    X(load_full_twf, METH_VARARGS | METH_KEYWORDS,                                            \
      "load_full_twf(filename, set_config=True)\n\nEvery explicit object of a twf file, of any type, in the order written.") \
    X(_content_repr, METH_VARARGS | METH_KEYWORDS,                                            \
      "_content_repr(*args, include_config=True)\n\nBytes of the objects' content (records without properties and table of contents), for hashing.") \
    X(_dependencies, METH_VARARGS | METH_KEYWORDS,                                            \
      "_dependencies(*args)\n\nEvery object the arguments reach (themselves included), by store id.") \
    X(_export, METH_VARARGS | METH_KEYWORDS,                                                  \
      "_export(*args, filename=None)\n\nThe arguments and everything they refer to as a JSON store document: returns (objects by store id, document bytes), or writes the file and returns the objects.") \
    X(_import, METH_VARARGS | METH_KEYWORDS,                                                  \
      "_import(filename=None, byte_repr=None, set_config=False)\n\nRead a JSON store document from a file or bytes: returns (top objects, configuration dict); set_config applies the configuration.") \
    X(_store_type, METH_VARARGS | METH_KEYWORDS,                                              \
      "_store_type(type_id)\n\nMap a type name to its code or a code to its name.") \
    X(_twf6_from_bytes, METH_VARARGS | METH_KEYWORDS,                                         \
      "_twf6_from_bytes(obj)\n\nDecode one value stored in the sixth-generation twf layout.") \
    X(_compaction_workspace, METH_VARARGS | METH_KEYWORDS,                                    \
      "_compaction_workspace(size=None)\n\nThe memory in bytes that each sort of layout compaction may hold before it spills to temporary files; with size, sets it for later loads. Returns the previous value.") \
    X(drc_check, METH_VARARGS | METH_KEYWORDS, "drc_check(source, rules, *, engine=None, args=None, variable_names=None, results_file=None, max_results=None, timeout=None, pre_export_function=None, top_level=None, show_progress=True)\n\nRun a design rule check of a component (exported as GDSII, with pre_export_function applied to shallow copies) or of a GDSII or OASIS file with KLayout or Calibre; returns a tarnwhistle.verification.DRCResults.\n\nengine is 'klayout' or 'calibre'; by default the configured default_drc_lvs_engine, else the first engine found (KLayout, then Calibre). For KLayout, rules is a '.drc' or '.lydrc' runset that reads the layout from $gdsfile and writes its report to $resultsfile (variable_names renames them), and args is a dict of extra runset variables. For Calibre, rules is a rule deck that runs on a copy naming the layout, top_level (LAYOUT PRIMARY) and the results database, and args is a sequence of command-line arguments. max_results limits the markers read (with a warning when some are left out); results_file receives a copy of the engine's results database; timeout (seconds) stops the engine with TimeoutError.") \
    X(lvs_check, METH_VARARGS | METH_KEYWORDS, "lvs_check(source, rules, *, schematic=None, engine=None, args=None, variable_names=None, results_file=None, load_shapes=True, timeout=None, pre_export_function=None, show_progress=True)\n\nCompare the layout of a component or of a layout file with a schematic using a KLayout '.lvs' or '.lylvs' runset; returns a tarnwhistle.verification.LVSResults.\n\nThe runset reads $gdsfile and $schematicfile and writes its database to $resultsfile with report_lvs (variable_names renames them; args adds runset variables). schematic is a SPICE file or a component written as a SPICE schematic; by default the source component. load_shapes includes the nets' shapes in the results.") \
    X(load_drc_results, METH_VARARGS | METH_KEYWORDS, "load_drc_results(path, *, engine=None, max_results=None, timeout=None, show_progress=True)\n\nRead a DRC results database written earlier: a KLayout report database (read by KLayout) or a Calibre ASCII results database (read directly). With engine None the file's content decides: XML (or compressed) files are KLayout's, any other text is Calibre's.") \
    X(load_lvs_results, METH_VARARGS | METH_KEYWORDS, "load_lvs_results(path, *, engine=None, load_shapes=True, timeout=None, show_progress=True)\n\nRead a KLayout LVS database written earlier (only KLayout reads these).") \
    X(_find_klayout, METH_VARARGS | METH_KEYWORDS, "_find_klayout()\n\nThe KLayout executable the checks run: the klayout_executable setting, else the first found on PATH or in the usual installation places.") \
    X(_find_calibre, METH_VARARGS | METH_KEYWORDS, "_find_calibre()\n\nThe Calibre executable the checks run: the calibre_executable setting, else 'calibre' on PATH, in $CALIBRE_HOME/bin or in $MGC_HOME/bin.") \
    X(_klayout_version, METH_VARARGS | METH_KEYWORDS, "_klayout_version(executable)\n\nThe version text of a KLayout executable, such as '0.30.12'; RuntimeError when it cannot be read or is older than the oldest supported version.")

namespace whistle::py {

#define WHISTLE_DECLARE_TYPE(name) PyTypeObject* name##_type();
WHISTLE_TYPES(WHISTLE_DECLARE_TYPE)
#undef WHISTLE_DECLARE_TYPE

#define WHISTLE_DECLARE_FUNCTION(name, flags, doc) PyObject* function_##name(PyObject*, PyObject*, PyObject*);
WHISTLE_FUNCTIONS(WHISTLE_DECLARE_FUNCTION)
#undef WHISTLE_DECLARE_FUNCTION

PyObject* create_config_object();
// A pass-through setting of the interpreter-side settings module (new reference).
PyObject* get_setting(const char* name);
// Imports the solver package and the other run-time modules the module relies on.
bool fill_solver_cache();

// A new `_Iterator` over the items of a list (steals nothing; holds its own reference).
PyObject* make_iterator(PyObject* list);

}  // namespace whistle::py
