"""Ports converted into solver objects: planes, mode settings, sources, monitors, mode solvers,
impedance calculators and fiber cross-section structures."""

import math
import warnings

import fenn3d
import fenn3d.plugins.mode
import numpy as np
import pytest

import tarnwhistle as tw

C0 = 2.99792458e14  # µm/s
FREQUENCIES = [C0 / 1.6, C0 / 1.55, C0 / 1.5]
LIMITS = (-0.11, 0.22)
WIDTH = 0.5


@pytest.fixture(autouse=True)
def quiet_default_technology():
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Setting default technology")
        tw.config.default_technology  # created once, with its warning
    yield


def spec(**kwargs):
    kwargs.setdefault("path_profiles", [(WIDTH, 0, (2, 0))])
    return tw.PortSpec("strip", WIDTH, LIMITS, **kwargs)


def electrical(voltage_path=None, current_path=None):
    return tw.PortSpec("line", 3.0, (0, 1.0), voltage_path=voltage_path, current_path=current_path)


def expected_plane(direction):
    """The port plane from the input direction, derived from the beam vector."""
    d = np.array([math.cos(math.radians(direction)), math.sin(math.radians(direction))])
    axis = 0 if abs(d[0]) + 1e-8 >= abs(d[1]) else 1
    forward = d * np.sign(d[axis])
    theta = math.degrees(math.acos(min(1.0, abs(d[axis]))))
    # The azimuth is measured from the other in-plane axis toward z.
    phi = 0.0 if forward[1 - axis] > 0 else 180.0
    return axis, "+" if d[axis] > 0 else "-", theta, phi


def rounded(value):
    return round(value * 1e5) / 1e5


# ---- The axis-aligned plane --------------------------------------------------------------


@pytest.mark.parametrize("direction", [30, -30, 150, -150, 60, 120, -60, -120, 44, 46, 225, 400])
def test_oblique_planes_follow_the_input_direction(direction):
    port = tw.Port((1.0, -2.0), direction, spec())
    center, size, sign, theta, phi = port._axis_aligned_properties()
    axis, expected_sign, expected_theta, expected_phi = expected_plane(direction)
    assert sign == expected_sign
    assert theta == pytest.approx(expected_theta, abs=1e-9)
    assert phi == expected_phi
    assert size[axis] == 0
    assert size[1 - axis] == pytest.approx(rounded(WIDTH / math.cos(math.radians(theta))))
    assert size[2] == pytest.approx(LIMITS[1] - LIMITS[0])
    # z at the middle of the limits, rounded up to database units: (−11000 + 22000 + 1) // 2.
    assert list(center) == pytest.approx([port.center[0], port.center[1], 0.05500])


@pytest.mark.parametrize("direction, axis, sign, phi", [
    (0, 0, "+", 0.0), (90, 1, "+", 180.0), (180, 0, "-", 0.0), (270, 1, "-", 180.0),
    (-90, 1, "-", 180.0), (360, 0, "+", 0.0)])
def test_axis_aligned_planes(direction, axis, sign, phi):
    center, size, direction_sign, theta, angle_phi = tw.Port(
        (0, 0), direction, spec())._axis_aligned_properties()
    assert (direction_sign, theta, angle_phi) == (sign, 0.0, phi)
    assert size[1 - axis] == pytest.approx(WIDTH) and size[axis] == 0


# ---- Mode sources and monitors -----------------------------------------------------------


def mode_spec_of(solver_object):
    assert isinstance(solver_object.mode_spec, fenn3d.ModeSpec)
    return solver_object.mode_spec


def test_mode_source_of_an_oblique_port():
    port = tw.Port((3, 4), 150, spec(num_modes=2, added_solver_modes=3, target_neff=2.5))
    source = port.to_fenn3d_source(FREQUENCIES, mode_index=1, name="in")
    center, size, sign, theta, phi = port._axis_aligned_properties()
    assert isinstance(source, fenn3d.ModeSource)
    assert (source.name, source.direction, source.mode_index) == ("in", "-", 1)
    assert source.center == tuple(center) and source.size == tuple(size)
    assert source.num_freqs == len(FREQUENCIES)
    low, high = min(FREQUENCIES), max(FREQUENCIES)
    assert source.source_time == fenn3d.GaussianPulse.from_frequency_range(low, high)
    mode = mode_spec_of(source)
    assert mode.num_modes == 5 and mode.target_neff == 2.5
    assert mode.angle_theta == pytest.approx(math.radians(30))
    assert mode.angle_phi == pytest.approx(math.pi)
    assert (mode.bend_radius, mode.num_pml, mode.bend_axis) == (None, (0, 0), 1)
    assert (mode.precision, mode.group_index_step, mode.angle_rotation) == ("double", False, False)
    assert mode.sort_spec is None
    assert port.to_fenn3d_source(FREQUENCIES).name is None


@pytest.mark.parametrize("polarization, key", [("TE", "TE_fraction"), ("TM", "TM_fraction")])
def test_polarization_filters_the_modes(polarization, key):
    monitor = tw.Port((0, 0), 0, spec(polarization=polarization)).to_fenn3d_monitor(
        FREQUENCIES, "out")
    assert mode_spec_of(monitor).sort_spec == fenn3d.ModeSortSpec(filter_key=key,
                                                                  filter_reference=0.5)


# A positive radius turns left; the solver's radius points along the first plane axis
# (y for x ports, x for y ports).
@pytest.mark.parametrize("direction, sign", [(0, 1), (90, -1), (180, -1), (270, 1)])
def test_bent_ports_get_a_signed_radius_and_absorbing_layers(direction, sign):
    port = tw.Port((0, 0), direction, spec(), bend_radius=5)
    mode = mode_spec_of(port.to_fenn3d_source(FREQUENCIES))
    assert (mode.bend_radius, mode.num_pml) == (5 * sign, (12, 12))
    port.bend_radius = -5
    assert mode_spec_of(port.to_fenn3d_source(FREQUENCIES)).bend_radius == -5 * sign


def test_mode_monitor_keywords():
    port = tw.Port((0, 0), 270, spec(target_neff=2.0))
    monitor = port.to_fenn3d_monitor(FREQUENCIES, "m", use_angle_rotation=True)
    assert isinstance(monitor, fenn3d.ModeMonitor)
    assert (monitor.name, monitor.store_fields_direction) == ("m", "-")
    assert np.array_equal(monitor.freqs, FREQUENCIES)
    assert mode_spec_of(monitor).angle_rotation is True


def test_default_target_index_is_the_largest_index_in_the_limits():
    port = tw.Port((0, 0), 0, spec())
    technology = tw.basic_technology()
    expected = port.spec._target_neff(FREQUENCIES, technology)
    assert expected > 3  # silicon core
    source = port.to_fenn3d_source(FREQUENCIES, technology=technology)
    assert mode_spec_of(source).target_neff == pytest.approx(expected)


def test_port_conversion_errors():
    line = tw.PortSpec("line", WIDTH, (0.1, 0.1))
    flat = tw.Port((0, 0), 0, line)
    message = ("Port specification must have different lower and upper 'limits' to represent "
               "a 2D cross-section. Mode solving for 1D ports is not supported.")
    for call in (lambda: flat.to_fenn3d_source(FREQUENCIES),
                 lambda: flat.to_fenn3d_monitor(FREQUENCIES, "m"),
                 lambda: flat.to_fenn3d_mode_solver(FREQUENCIES),
                 lambda: line.to_fenn3d(FREQUENCIES)):
        with pytest.raises(ValueError) as error:
            call()
        assert str(error.value) == message
    port = tw.Port((0, 0), 0, spec(num_modes=2, added_solver_modes=2))
    with pytest.raises(ValueError, match="^Argument 'frequencies' cannot be empty.$"):
        port.to_fenn3d_source([])
    for call in (lambda: port.to_fenn3d_monitor([], "m"),
                 lambda: port.to_fenn3d_mode_solver(np.array([]))):
        with pytest.raises(ValueError, match="^At least 1 frequency value required.$"):
            call()
    for bad in ([2e14, 0], [math.nan], [-1e14]):
        with pytest.raises(ValueError, match="^Frequencies must be positive.$"):
            port.to_fenn3d_monitor(bad, "m")
    for index in (-1, 2):
        with pytest.raises(ValueError, match="^Argument 'mode_index' out of range 0 - 1.$"):
            port.to_fenn3d_source(FREQUENCIES, mode_index=index)
    with pytest.raises(TypeError):
        port.to_fenn3d_monitor(FREQUENCIES, None)
    with pytest.raises(ValueError, match="^Argument 'mesh_refinement' must be positive.$"):
        port.to_fenn3d_mode_solver(FREQUENCIES, mesh_refinement=0)


# ---- Impedance calculators ---------------------------------------------------------------


def test_axis_aligned_integrals_for_empty_paths():
    port = tw.Port((10, 0), 180, electrical(voltage_path=[(-1, 0), (1, 0.5)]))
    calculator = port.to_fenn3d_impedance_calculator(extrapolate_to_endpoints=False)
    assert isinstance(calculator, fenn3d.ImpedanceCalculator)
    current = calculator.current_integral
    assert current == fenn3d.AxisAlignedCurrentIntegral(
        center=(10.0, 0.0, 0.5), size=(0.0, 3.0, 1.0), sign="-", snap_contour_to_grid=True)
    port = tw.Port((0, 10), 90, electrical(current_path=[(-1, 0), (1, 0), (0, 1)]))
    voltage = port.to_fenn3d_impedance_calculator(snap_to_grid=False).voltage_integral
    assert voltage == fenn3d.AxisAlignedVoltageIntegral(
        center=(0.0, 10.0, 0.5), size=(0.0, 0.0, 1.0), sign="+",
        extrapolate_to_endpoints=True, snap_path_to_grid=False)


# The path's first coordinate runs across the port, positive to the left of the input
# direction; in the plane it becomes the coordinate of the axis across the injection axis.
@pytest.mark.parametrize("direction, inverted, axis, across", [
    (0, False, 0, 1), (180, False, 0, -1), (90, False, 1, -1), (270, False, 1, 1),
    (0, True, 0, -1), (90, True, 1, 1)])
def test_custom_integrals_map_paths_into_the_plane(direction, inverted, axis, across):
    path = [(-1.0, 0.2), (0.5, 0.2), (0.5, 0.8)]
    port = tw.Port((2, 3), direction, electrical(voltage_path=path[:2], current_path=path),
                   inverted=inverted)
    calculator = port.to_fenn3d_impedance_calculator()
    center = port.center
    expected = np.array([(center[1 - axis] + across * u, z) for u, z in path])
    for integral, kind, count in ((calculator.voltage_integral, fenn3d.Custom2DVoltageIntegral, 2),
                                  (calculator.current_integral, fenn3d.Custom2DCurrentIntegral, 3)):
        assert isinstance(integral, kind)
        assert (integral.axis, integral.position) == (axis, center[axis])
        assert np.allclose(integral.vertices, expected[:count])


def test_structure_current_paths_use_their_contour():
    contour = tw.Rectangle((-0.5, 0.1), (0.5, 0.9))
    port_spec = electrical(current_path=contour)
    current = port_spec.to_fenn3d_impedance_calculator().current_integral
    # The port spec's calculator is that of a port at the origin facing +x.
    assert sorted(map(tuple, current.vertices)) == sorted(
        [(-0.5, 0.1), (0.5, 0.1), (0.5, 0.9), (-0.5, 0.9)])
    assert current.position == 0 and current.axis == 0


def test_impedance_calculator_errors():
    cases = [
        (spec(), "Only electrical ports can export an impedance calculator."),
        (tw.PortSpec("z", 3.0, (0, 1.0), impedance=tw.Interpolator([1e9], [50])),
         "At least one of 'voltage_path' or 'current_path' must be specified in the electrical "
         "PortSpec to export an impedance calculator. Fully automatic impedance calculation "
         "will be available in a future release."),
        (electrical(voltage_path=[(0, 0)]),
         "Voltage integral path must have at least 2 vertices to be valid."),
        (electrical(voltage_path=[(0, 0), (0, 1)], current_path=[(0, 0), (1, 1)]),
         "Current integral path must have at least 3 vertices to be valid."),
    ]
    for port_spec, message in cases:
        for target in (port_spec, tw.Port((0, 0), 0, port_spec)):
            with pytest.raises(ValueError) as error:
                target.to_fenn3d_impedance_calculator()
            assert str(error.value) == message


# ---- Gaussian ports ----------------------------------------------------------------------


def test_gaussian_source_along_an_axis():
    port = tw.GaussianPort((1, 2, 3), (0, 0, -1), 2.5, waist_position=4, polarization_angle=30,
                           field_tolerance=0.01)
    beam = port.to_fenn3d_source(FREQUENCIES, name="beam", medium=1.5)
    assert isinstance(beam, fenn3d.GaussianBeam)
    assert (beam.name, beam.center, beam.direction) == ("beam", (1.0, 2.0, 3.0), "-")
    assert (beam.waist_radius, beam.waist_distance) == (2.5, port.waist_distance)
    assert beam.waist_distance == 4  # the waist lies 4 µm ahead, against −z
    assert beam.pol_angle == pytest.approx(math.radians(30))
    assert (beam.angle_theta, beam.num_freqs) == (0.0, 3)
    # The plane reaches the 1 % field level of the widest beam: lowest frequency in n = 1.5.
    rayleigh = math.pi * 2.5**2 * 1.5 * min(FREQUENCIES) / C0
    radius = 2.5 * math.sqrt(1 + (4 / rayleigh) ** 2) * math.sqrt(math.log(100))
    assert beam.size == pytest.approx((2 * radius, 2 * radius, 0))
    wider = port.to_fenn3d_source(FREQUENCIES, medium=fenn3d.Medium(permittivity=1.0))
    assert wider.size[0] > beam.size[0] and wider.name is None


@pytest.mark.parametrize("vector, axis, direction, theta, phi", [
    ((1, 0, 0), 0, "+", 0, 0),
    ((math.cos(0.3), math.sin(0.3), 0), 0, "+", 0.3, 0),
    ((-math.cos(0.3), math.sin(0.3), 0), 0, "-", 0.3, math.pi),
    ((0, math.cos(0.2), math.sin(0.2)), 1, "+", 0.2, math.pi / 2),
    ((math.sin(0.4) * math.cos(1), math.sin(0.4) * math.sin(1), math.cos(0.4)), 2, "+", 0.4, 1),
])
def test_gaussian_monitor_angles(vector, axis, direction, theta, phi):
    port = tw.GaussianPort((0, 0, 0), vector, 2.0)
    monitor = port.to_fenn3d_monitor(FREQUENCIES, "overlap")
    assert isinstance(monitor, fenn3d.GaussianOverlapMonitor)
    assert monitor.angle_theta == pytest.approx(theta)
    assert monitor.angle_phi == pytest.approx(phi)
    assert monitor.size[axis] == 0 and monitor.size[(axis + 1) % 3] > 4
    assert np.array_equal(monitor.freqs, FREQUENCIES)
    assert direction == port.to_fenn3d_source(FREQUENCIES).direction
    assert not hasattr(monitor, "direction")


def test_gaussian_conversion_errors():
    port = tw.GaussianPort((0, 0, 0), (0, 0, 1), 2.0)
    with pytest.raises(ValueError, match="^Argument 'frequencies' cannot be empty.$"):
        port.to_fenn3d_source([])
    with pytest.raises(ValueError, match="^At least 1 frequency value required.$"):
        port.to_fenn3d_monitor([], "m")
    with pytest.raises(ValueError, match="^Argument 'medium' must be a positive index.$"):
        port.to_fenn3d_source(FREQUENCIES, medium=-1)


# ---- Fiber ports -------------------------------------------------------------------------


def fiber(vector=(0, 0, -1), limits=(-1, 2), **kwargs):
    core = fenn3d.Medium(permittivity=1.45**2)
    return tw.FiberPort((0, 0, 5), vector, (6, 4), limits, [(tw.Circle(4.5), core)], **kwargs)


def test_fiber_source_and_monitor():
    port = fiber(vector=(0.2, 0, 1), num_modes=2, added_solver_modes=1, polarization="TM")
    source = port.to_fenn3d_source(FREQUENCIES, mode_index=1)
    assert (source.center, source.size, source.direction) == ((0, 0, 5), (6.0, 4.0, 0.0), "+")
    mode = mode_spec_of(source)
    assert mode.num_modes == 3 and mode.target_neff == pytest.approx(1.45)
    assert mode.angle_theta == pytest.approx(math.atan(0.2))
    assert (mode.angle_phi, mode.bend_radius, mode.num_pml) == (0.0, None, (0, 0))
    assert mode.sort_spec.filter_key == "TM_fraction"
    monitor = port.to_fenn3d_monitor(FREQUENCIES, "fiber")
    assert monitor.mode_spec == mode and monitor.store_fields_direction == "+"
    # The cross-section size follows the two other axes in cyclic order: z then x for y ports.
    sideways = tw.FiberPort((0, 0, 0), (0, 1, 0), (6, 4), (-1, 1), target_neff=1.3)
    assert sideways.to_fenn3d_monitor(FREQUENCIES, "s").size == (4.0, 0.0, 6.0)
    assert mode_spec_of(sideways.to_fenn3d_source(FREQUENCIES)).target_neff == 1.3
    with pytest.raises(ValueError, match="^Argument 'mode_index' out of range 0 - 1.$"):
        port.to_fenn3d_source(FREQUENCIES, mode_index=2)
    with pytest.raises(ValueError, match="^Argument 'frequencies' cannot be empty.$"):
        port.to_fenn3d_source([])
    with pytest.raises(ValueError, match="^At least 1 frequency value required.$"):
        port.to_fenn3d_mode_solver([])


# ---- Mode solvers and fiber structures ---------------------------------------------------


def test_port_mode_solver_extrudes_the_cross_section():
    technology = tw.basic_technology()
    port = tw.Port((1, 2), 0, spec())
    solver = port.to_fenn3d_mode_solver(FREQUENCIES, mesh_refinement=15, group_index=True,
                                        technology=technology)
    center, size, direction, _, _ = port._axis_aligned_properties()
    assert isinstance(solver, fenn3d.plugins.mode.ModeSolver)
    assert solver.plane == fenn3d.Box(center=tuple(center), size=tuple(size))
    assert solver.direction == "+" and np.array_equal(solver.freqs, FREQUENCIES)
    assert mode_spec_of(solver).group_index_step is True
    simulation = solver.simulation
    assert simulation.center == tuple(center) and simulation.medium == technology.background_medium
    grid = simulation.grid_spec
    assert grid.wavelength == pytest.approx(1.5) and grid.min_steps_per_wvl == 15
    assert grid.layer_refinement_specs == [
        fenn3d.LayerRefinementSpec.from_layer_bounds(axis=2, bounds=LIMITS)]
    # The core strip: the profile's width across the port, as deep as the port is wide.
    core = [s.geometry for s in simulation.structures
            if isinstance(s.geometry, fenn3d.PolySlab) and s.geometry.slab_bounds == (0, 0.22)]
    assert len(core) == 1
    vertices = core[0].vertices
    assert vertices.min(axis=0) == pytest.approx([0.75, 1.75])
    assert vertices.max(axis=0) == pytest.approx([1.25, 2.25])
    # The port spec's solver is that of a port at the origin facing +x.
    from_spec = port.spec.to_fenn3d(FREQUENCIES, mesh_refinement=15, technology=technology)
    assert from_spec.plane.center == (0, 0, center[2]) and from_spec.direction == "+"
    assert len(from_spec.simulation.structures) == len(simulation.structures)


def rotation_of(structure):
    assert isinstance(structure.geometry, fenn3d.Transformed)
    matrix = np.asarray(structure.geometry.transform)
    assert matrix.shape == (4, 4) and np.array_equal(matrix[3], [0, 0, 0, 1])
    return matrix[:3, :3], matrix[:3, 3]


def test_fiber_structures_follow_the_input_vector():
    port = fiber()
    (structure,) = port.to_fenn3d_structures()
    core = port.cross_section[0][1]
    assert structure.medium == core
    rotation, translation = rotation_of(structure)
    assert np.allclose(rotation, np.eye(3)) and np.allclose(translation, (0, 0, 5))
    # Facing −z, 2 µm ahead of the plane and 1 µm behind it: z from −2 to 1 about the center.
    local = tw.Extruded(core, tw.Circle(4.5), (-2, 1), axis="z").to_fenn3d()
    assert structure.geometry.geometry == local.geometry
    t = math.atan(0.5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        (tilted,) = fiber(vector=(math.sin(t), 0, math.cos(t))).to_fenn3d_structures()
    rotation, translation = rotation_of(tilted)
    assert np.allclose(rotation @ (0, 0, 1), (math.sin(t), 0, math.cos(t)))
    assert np.allclose(rotation @ rotation.T, np.eye(3)) and np.linalg.det(rotation) == pytest.approx(1)


UPPER = ("FiberPort upper extrusion limit is too small to build an axis aligned mode solver. "
         "Structures might be partially missing from the mode solving plane.")
LOWER = ("FiberPort lower extrusion limit is too high to build an axis aligned mode solver. "
         "Structures might be partially missing from the mode solving plane.")


# A beam tilted by t reaches the corners of the 6 × 4 plane (√13 from its center) only when the
# limits exceed √13 · tan t ≈ 1.80 for tan t = 0.5.
@pytest.mark.parametrize("tangent, limits, expected", [
    (0.5, (-1, 2), [LOWER]), (0.5, (-3, 1), [UPPER]), (0.5, (-1, 1), [UPPER, LOWER]),
    (0.5, (-1.9, 1.9), []), (0, (-0.01, 0.01), [])])
def test_fiber_limit_warnings(tangent, limits, expected):
    t = math.atan(tangent)
    port = fiber(vector=(0, math.sin(t), math.cos(t)), limits=limits)
    for call in (port.to_fenn3d_structures, lambda: port.to_fenn3d_mode_solver(FREQUENCIES)):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call()
        assert [str(w.message) for w in caught] == expected
        assert all(w.category is RuntimeWarning for w in caught)


def test_fiber_mode_solver():
    port = fiber(target_neff=1.4)
    solver = port.to_fenn3d_mode_solver(FREQUENCIES, group_index=True)
    assert solver.plane == fenn3d.Box(center=(0, 0, 5), size=(6.0, 4.0, 0.0))
    assert solver.direction == "-"
    simulation = solver.simulation
    assert simulation.structures == port.to_fenn3d_structures()
    assert simulation.medium == tw.config.default_technology.background_medium
    assert simulation.grid_spec.min_steps_per_wvl == tw.config.default_mesh_refinement
    assert simulation.grid_spec.layer_refinement_specs == []
    assert mode_spec_of(solver).target_neff == 1.4


@pytest.mark.parametrize("direction, inverted, center", [
    (0, False, (0, 0.3)), (0, True, (0, -0.3)), (90, False, (-0.3, 0)), (180, True, (0, 0.3))])
def test_mode_solver_strips_sit_at_the_profile_offsets(direction, inverted, center):
    technology = tw.basic_technology()
    offset_spec = tw.PortSpec("offset", 1.0, LIMITS, path_profiles=[(0.4, 0.3, (2, 0))])
    port = tw.Port((0, 0), direction, offset_spec, inverted=inverted)
    structures = port.to_fenn3d_mode_solver(FREQUENCIES, technology=technology).simulation.structures
    (core,) = [s.geometry for s in structures
               if isinstance(s.geometry, fenn3d.PolySlab) and s.geometry.slab_bounds == (0, 0.22)]
    middle = (core.vertices.min(axis=0) + core.vertices.max(axis=0)) / 2
    assert middle == pytest.approx(center, abs=1e-9)
    across = core.vertices.max(axis=0) - core.vertices.min(axis=0)
    assert sorted(across) == pytest.approx([0.4, 1.0])  # profile width by port width


def test_fiber_structures_survive_a_warning_hook_that_changes_the_port():
    t = math.atan(0.5)
    port = fiber(vector=(0, math.sin(t), math.cos(t)), limits=(-1, 2))

    def clear_cross_section(*args, **kwargs):
        port.cross_section = []
        port.extrusion_limits = (-5, 5)

    with warnings.catch_warnings():  # restores the hook
        warnings.simplefilter("always")
        warnings.showwarning = clear_cross_section
        structures = port.to_fenn3d_structures()
    assert len(structures) == 1 and port.cross_section == []
