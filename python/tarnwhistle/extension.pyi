"""Design, simulation and verification of optical components."""

import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, Self, TypeAlias, overload

from typing_extensions import disjoint_base

import numpy
from numpy.typing import ArrayLike, NDArray

__version__: str
"""Version of the module."""

_Structure: TypeAlias = Rectangle | Circle | Polygon | Path
# A point or vector in the plane, in micrometres.
_Point: TypeAlias = Sequence[float] | NDArray[numpy.float64]
# A layer as (layer, datatype).
_Layer: TypeAlias = tuple[int, int]
# Operands of the shape operations: structures, components, references or sequences of them.
_Shapes: TypeAlias = _Structure | Component | Reference | Sequence[_Structure | Component | Reference]

@disjoint_base
# Members every exposed object shares. These bases exist only in the stubs: each runtime type
# defines the members itself.
class _Shared:
    _id: int
    """Internal object ID."""
    def __copy__(self) -> Self:
        """Shallow copy."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """Deep copy."""

class _Object(_Shared):
    properties: Properties
    """Object properties."""

class _Copyable(_Object):
    def copy(self) -> Self:
        """Create a copy of this object."""

class _Config:
    """Global configuration of the module."""
    grid: float
    """Snapping grid of 2D geometry."""
    tolerance: float
    """Discretization tolerance of curves."""
    default_mesh_refinement: float
    """Default mesh refinement of solver grids."""
    default_technology: Technology
    """Technology given to new components; the basic technology unless set."""
    default_time_steppers: dict[str, Any]
    """Default time steppers."""
    default_kwargs: dict[str, Any]
    """Default keyword arguments of parametric components."""
    svg_reference_depth: int
    """Depth of references drawn in full in SVG output."""
    svg_label_scaling: float
    """Label scaling in SVG output."""
    svg_reference_names: bool
    """Draw the names of referenced components."""
    svg_reference_ports: bool
    """Draw the ports of references."""
    svg_reference_port_names: bool
    """Draw the port names of references."""
    svg_reference_labels: bool
    """Draw the labels of referenced components."""
    svg_ports: bool
    """Draw the component's own ports."""
    svg_port_names: bool
    """Draw the names of the component's own ports."""
    svg_labels: bool
    """Draw the component's own labels."""
    svg_virtual_connections: bool
    """Draw the virtual connections."""
    use_local_mode_solver: bool
    """Solve port modes with a local mode solver."""
    compile_circuit_time_steppers: bool
    """Compile the time steppers of circuits."""
    klayout_executable: str | None
    """KLayout executable for DRC and LVS; None looks in PATH and the usual install places."""
    calibre_executable: str | None
    """Calibre executable for DRC; None looks in PATH and the installation's bin directories."""
    default_drc_lvs_engine: Literal["klayout", "calibre"] | None
    """Engine of drc_check and lvs_check when none is given; None takes the first one found."""

C_0: float
"""Speed of light in vacuum (μm/s)."""

class _SolidBase(_Object):
    """Members shared by the solids; the operators combine two solids."""
    def __add__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __radd__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __sub__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __rsub__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __mul__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __rmul__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __xor__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def __rxor__(self, value: _Solid, /) -> ConstructiveSolid: ...
    def to_fenn3d(self) -> Any:
        """Solver Structure with this solid's geometry and medium."""
    medium: Any
    """Solver medium of the solid."""

@disjoint_base
class ConstructiveSolid(_SolidBase):
    """Boolean combination ('+', '*', '-' or '^') of the union of operand1 with the union of operand2. Operands are solids or sequences of solids; the medium defaults to the first operand's."""
    def __init__(self, operand1: _Solid | Sequence[_Solid], operand2: _Solid | Sequence[_Solid], operation: Literal["+", "*", "-", "^"], medium: Any = None) -> None: ...
    def copy(self, deep: bool = False) -> Self:
        """Copy of this solid; a deep copy also copies the operands."""
    operand1: list[_Solid]
    """Solids joined by union on the first side."""
    operand2: list[_Solid]
    """Solids joined by union on the second side."""
    operation: str
    """'+' union, '*' intersection, '-' difference, '^' symmetric difference."""

@disjoint_base
class Expression(_Copyable):
    """Numerical expression of one or more parameters."""
    def __init__(self, parameter: str | Sequence[str], expression: str | Sequence[str | tuple[str, str | float]]) -> None: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any:
        """Values of the expressions at the given parameter values."""
    parameters: list[str]
    """List of parameter names."""
    expressions: list[tuple[str, str | float]]
    """List of (name, expression) tuples; constant entries give their value."""

@disjoint_base
class Extruded(_SolidBase):
    """A planar face extruded along an axis between two limits. The face lies in the other two axes in cyclic order (y, z for 'x'; z, x for 'y'); dilations offset it at the lower and upper limit, with a linear taper in between."""
    def __init__(self, medium: Any, face: _Structure, limits: tuple[float, float], dilations: tuple[float, float] = (0, 0), axis: Literal["x", "y", "z"] = "z") -> None: ...
    def copy(self, deep: bool = False) -> Self:
        """Copy of this solid; a deep copy also copies the face."""
    face: _Structure
    """Cross-section (shared)."""
    limits: tuple[float, float]
    """Lower and upper extent along the axis."""
    dilations: tuple[float, float]
    """Offset of the face at the lower and upper limit."""
    axis: str
    """Extrusion axis, 'x', 'y' or 'z'."""

@disjoint_base
class ExtrusionSpec(_Object):
    """Extrusion of a mask (or a layer) between two heights, in one medium, with an optional sidewall angle about a reference plane."""
    def __init__(self, mask_spec: MaskSpec, medium: Any, limits: tuple[float, float], sidewall_angle: float = 0, reference: float | Literal['top', 'bottom'] = 'top') -> None: ...
    def copy(self, deep: bool = False) -> Self:
        """Copy of this extrusion spec; a deep copy also copies the mask."""
    def get_medium(self, classification: Literal["optical", "electrical"]) -> Any:
        """Medium for 'optical' or 'electrical' frequencies."""
    def mask_layers(self) -> set[_Layer]:
        """Set of the layers named by the mask."""
    def extrude(self, *structures: _Structure, extrusion_tolerance: float = 0, classification: Literal['optical', 'electrical'] = 'optical') -> list[_Solid]:
        """Solids of the given planar structures (or iterables of them) by this extrusion spec's limits, sidewall profile and medium; the mask is not applied."""
    mask_spec: MaskSpec
    """Region of the layout that is extruded."""
    medium: Any
    """Medium of the solids: one medium, or a dict with 'optical' and 'electrical' media."""
    limits: tuple[float, float]
    """Lower and upper extrusion limits."""
    sidewall_angle: float
    """Sidewall angle (degrees); positive values widen the bottom."""
    reference: float
    """Plane where the mask is taken as drawn; 'top', 'middle' or 'bottom' set it from the current limits."""

@disjoint_base
class FiberPort(_Copyable):
    """A 3D port of a fiber cross-section."""
    def __init__(self, center: tuple[float, float, float] | NDArray[numpy.float64], input_vector: tuple[float, float, float] | NDArray[numpy.float64], size: _Point, extrusion_limits: tuple[float, float], cross_section: Sequence[tuple[_Structure, Any]] = (), num_modes: int = 1, polarization: Literal["TE", "TM"] | None = None, target_neff: float | None = None, added_solver_modes: int = 0) -> None: ...
    def to_fenn3d_source(self, frequencies: ArrayLike, mode_index: int = 0, name: str | None = None, use_angle_rotation: bool = False) -> Any:
        """Mode source in the port plane."""
    def to_fenn3d_monitor(self, frequencies: ArrayLike, name: str, use_angle_rotation: bool = False) -> Any:
        """Mode monitor in the port plane."""
    def to_fenn3d_mode_solver(self, frequencies: ArrayLike, mesh_refinement: float | None = None, group_index: bool = False, use_angle_rotation: bool = False) -> Any:
        """Mode solver of the extruded cross-section in the axis-aligned port plane."""
    def to_fenn3d_structures(self) -> list[Any]:
        """One solver structure per cross-section item, extruded along the input vector between the extrusion limits around the port center."""
    def matches(self, port: Self) -> bool:
        """Same center, input vector and mode."""
    def is_connected_to(self, port: Self) -> bool:
        """True when the port matches the other one reflected."""
    def reflected(self) -> Self:
        """A new port pointing the opposite way, with the reflected mode."""
    size: NDArray[numpy.float64]
    """Size of the mode-solver cross-section."""
    extrusion_limits: NDArray[numpy.float64]
    """Extrusion behind (negative) and in front of the port."""
    cross_section: list[Any]
    """(structure, medium) pairs centered at (0, 0)."""
    num_modes: int
    """Number of modes."""
    added_solver_modes: int
    """Extra modes for mode solving."""
    polarization: str | None
    """'TE', 'TM' or None."""
    target_neff: float | None
    """Effective index hint."""
    classification: Literal["optical", "electrical"]
    """Always 'optical'."""
    center: NDArray[numpy.float64]
    """Port center (x, y, z)."""
    input_vector: NDArray[numpy.float64]
    """Beam direction."""

@disjoint_base
class GaussianPort(_Copyable):
    """A 3D port carrying a Gaussian beam."""
    def __init__(self, center: tuple[float, float, float] | NDArray[numpy.float64], input_vector: tuple[float, float, float] | NDArray[numpy.float64], waist_radius: float, waist_position: float = 0, polarization_angle: float = 0, field_tolerance: float = 1.0e-3, *, waist_distance: float | None = None) -> None: ...
    def fields(self, x: ArrayLike, y: ArrayLike, z: ArrayLike, frequency: ArrayLike, medium: Any = 1.0) -> tuple[
        NDArray[numpy.complex128], NDArray[numpy.float64], NDArray[numpy.float64], NDArray[numpy.float64], NDArray[numpy.float64]
    ]:
        """Paraxial Gaussian beam at the points (x, y, z) for each frequency: (amplitudes of shape (F, N), electric and magnetic normalizations per frequency giving unit power, electric and magnetic polarization vectors). The field is amplitude × normalization × polarization vector. 'medium' is a refractive index or a solver medium."""
    def to_fenn3d_source(self, frequencies: ArrayLike, name: str | None = None, medium: Any = 1.0) -> Any:
        """Gaussian beam source; the plane covers the beam down to the field tolerance in the medium (an index or a solver medium)."""
    def to_fenn3d_monitor(self, frequencies: ArrayLike, name: str, medium: Any = 1.0) -> Any:
        """Overlap monitor with the port's Gaussian beam."""
    def matches(self, port: Self) -> bool:
        """Same center, input vector and mode."""
    def is_connected_to(self, port: Self) -> bool:
        """True when the port matches the other one reflected."""
    def reflected(self) -> Self:
        """A new port pointing the opposite way, with the reflected mode."""
    waist_radius: float
    """Beam waist radius."""
    waist_position: float
    """Waist position along the input vector (positive: in front)."""
    waist_distance: float
    """Waist position in the solver's convention."""
    polarization_angle: float
    """Polarization angle (degrees)."""
    field_tolerance: float
    """Field tolerance in (0, 1)."""
    classification: Literal["optical", "electrical"]
    """Always 'optical'."""
    num_modes: int
    """Number of modes (1)."""
    added_solver_modes: int
    """Extra solver modes (0)."""
    center: NDArray[numpy.float64]
    """Port center (x, y, z)."""
    input_vector: NDArray[numpy.float64]
    """Beam direction."""

@disjoint_base
class Interpolator(_Copyable):
    """Interpolation of sampled data."""
    def __init__(
        self,
        x: ArrayLike,
        y: ArrayLike | Sequence[ArrayLike],
        method: _InterpolationMethod = 'linear',
        coords: Literal['real_imag', 'mag_phase'] = 'real_imag',
        extrapolation: Literal['extrapolate', 'constant'] = 'extrapolate',
        parameter_names: Sequence[str] | None = None,
    ) -> None: ...
    def __call__(self, x: ArrayLike) -> float | complex | NDArray[Any]:
        """Values at the query points: a scalar for one variable at one point, otherwise an array of
        shape (points,), (variables,) or (variables, points)."""
    x: NDArray[numpy.float64]
    """Sample points."""
    y: NDArray[Any] | list[NDArray[Any]]
    """Sampled values: an array, or a list of arrays (one per variable)."""
    method: _InterpolationMethod
    """Interpolation method."""
    coords: Literal['real_imag', 'mag_phase']
    """Coordinates of complex values: 'real_imag' or 'mag_phase'."""
    extrapolation: Literal['extrapolate', 'constant']
    """Extrapolation mode: 'extrapolate' or 'constant'."""
    parameter_names: list[str] | None
    """Names of the parameters, or None."""

@disjoint_base
class LayerSpec(_Copyable):
    """Layer specification: display colour and hatch pattern, conductivity and design rules."""
    def __init__(self, layer: _Layer, description: str, color: str | None = None, pattern: str = "", *, conductive: bool = False, device_marker: bool = False, min_width: float | None = None, min_spacing: float | None = None) -> None: ...
    layer: tuple[int, int]
    """Layer number and datatype."""
    description: str
    """Description of the layer."""
    color: str
    """Display colour '#rrggbbaa'; accepts colour names, hexadecimal strings and RGB(A) tuples."""
    pattern: str
    """Display hatch pattern."""
    conductive: bool
    """The layer carries current in electrical extraction."""
    device_marker: bool
    """Geometry on this layer removes conductors beneath it in extraction."""
    min_width: float | None
    """Minimum feature width."""
    min_spacing: float | None
    """Minimum clearance between features."""

class LumpedModel(Model):
    """Base of models described by an MNA stamp. Derived classes call super().__init__ with keyword arguments only and implement start_mna()."""
    def __init__(self, *, port_map: Mapping[str, _LumpedPort] | None = None, **kwargs: Any) -> None: ...
    def start_mna(self, component: Component, frequencies: ArrayLike, **kwargs: Any) -> Any:
        """Start computing the circuit: return an MNAMatrix (or a ZMatrix), or a runner whose 'status' reports progress and whose 'mna_matrix' holds the result after success. Derived classes must implement it."""
    def start(self, component: Component, frequencies: ArrayLike, **kwargs: Any) -> Any:
        """Run start_mna and return a LumpedModelRunner that gives the S matrix through the port map."""
    def s_matrix(self, component: Component, frequencies: ArrayLike, show_progress: bool = True, model_kwargs: Mapping[str, Any] = {}) -> SMatrix:
        """Run start and poll its runner (every 0.3 s) until the S matrix is ready."""
    port_map: dict[str, _LumpedPort] | None
    """Ports by name: (signal_terminal, impedance) or (signal_terminal, reference_terminal, impedance)."""

class _TerminalMatrix(_Copyable):
    """Members shared by the matrices between terminals."""
    def __init__(
        self,
        frequencies: ArrayLike,
        elements: Mapping[tuple[str, str], ArrayLike],
        terminals: Mapping[str, Any] | None = None,
    ) -> None: ...
    def __getitem__(self, key: tuple[str, str], /) -> NDArray[numpy.complex128]:
        """Values of the (terminal1, terminal2) pair at each frequency."""
    def force_symmetric(self) -> Self:
        """Make the matrix symmetric in place (average of transposed pairs, or a copy where one is missing); returns self."""
    frequencies: NDArray[numpy.float64]
    """Frequencies (Hz)."""
    wavelengths: NDArray[numpy.float64]
    """Vacuum wavelengths (μm)."""
    elements: dict[tuple[str, str], NDArray[numpy.complex128]]
    """Values by (terminal1, terminal2) names."""
    terminals: dict[str, Any]
    """Terminal objects (or None) by name."""

@disjoint_base
class MNAMatrix(_TerminalMatrix):
    """Modified-nodal-analysis stamp: values for (terminal1, terminal2) pairs at each frequency over circuit nodes and auxiliary branch currents (names starting with '_'); ground is the datum."""

@disjoint_base
class MaskSpec(_Copyable):
    """Region of a component given by its layers: the union of operand1 (the component"""
    def __init__(self, operand1: _MaskOperand | Sequence[_MaskOperand] | None = None, operand2: _MaskOperand | Sequence[_MaskOperand] | None = None, operation: Literal['+', '*', '-', '^'] = '+', dilation: float = 0, translation: _Point = (0, 0)) -> None: ...
    def __add__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __radd__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __sub__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __rsub__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __mul__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __rmul__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __pow__(self, value: float, mod: None = None, /) -> MaskSpec: ...
    def __rpow__(self, value: float, mod: None = None, /) -> MaskSpec: ...
    def __neg__(self, /) -> MaskSpec: ...
    def __xor__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def __rxor__(self, value: _MaskOperand, /) -> MaskSpec: ...
    def get_layers(self) -> set[_Layer]:
        """Set of every layer named anywhere in the mask."""
    def uses_translation(self) -> bool:
        """True when this mask or any of its operands is translated."""
    def format(self, layer_names: Mapping[_Layer, str] | None = None, technology: Technology | None = None) -> str:
        """The mask as an expression that 'parse' reads back. Layers are written by name when"""
    @staticmethod
    def parse(expression: str, technology: Technology | None = None) -> MaskSpec:
        """Mask of an expression such as "('SLAB' - 'WG_CORE') * (9, 10) ** 0.5 @ (1, 0)"."""
    operand1: list[MaskSpec]
    """Masks joined by union; empty means the component bounds."""
    operand2: list[MaskSpec]
    """Masks joined by union, the right-hand side of the operation."""
    operation: str
    """'+' (union), '*' (intersection), '-' (difference) or '^' (symmetric difference)."""
    dilation: float
    """Offset of the result; negative values erode."""
    translation: NDArray[numpy.float64]
    """Shift of the result."""
    layer: tuple[int, int] | None
    """Layer of a single-layer mask."""

@disjoint_base
class Model(_Object):
    """Base of circuit models. Derived classes call super().__init__ with keyword arguments only (stored as parametric_kwargs; update() re-runs __init__ with them) and implement start()."""
    def __init__(self, **kwargs: Any) -> None: ...
    def start(self, component: Component, frequencies: ArrayLike, **kwargs: Any) -> Any:
        """Start computing the S matrix of the component: return an SMatrix, or a runner whose 'status' dict reports 'message' ('running', 'success' or 'error') and 'progress' (0 to 100) and whose 's_matrix' holds the result after success. Derived classes must implement it."""
    def s_matrix(self, component: Component, frequencies: ArrayLike, show_progress: bool = True, model_kwargs: Mapping[str, Any] = {}) -> SMatrix:
        """Run start with the model keyword arguments and poll its runner (every 0.3 s) until the S matrix is ready."""
    def estimate_cost(self, *args: Any, **kwargs: Any) -> float:
        """Call start with cost_estimation=True and return the sum of 'estimated_cost' over the tasks of the finished runner's status."""
    def autograd_smatrix(self, *, component: Component, traced_params: Sequence[Any], frequencies: ArrayLike, component_for_params: Component, param_names: Sequence[str], show_progress: bool = True, model_kwargs: Mapping[str, Any] | None = None) -> Any:
        """S matrix with traced parameters; derived classes implement it."""
    def setup_time_stepper(self, component: Component, time_step: float, carrier_frequency: float = 0, show_progress: bool = True, time_stepper_kwargs: Mapping[str, Any] = {}) -> TimeStepper:
        """Set up the model's time stepper (or its default one) for the component and return it."""
    def transform(self, translation: _Point = (0, 0), rotation: float = 0, scaling: float = 1, x_reflection: bool = False) -> Self:
        """Transform geometry settings of the model (derived classes); returns the model."""
    def update(self, *args: Any, **kwargs: Any) -> Self:
        """Rebuild the model in place with the stored keyword arguments updated by kwargs; returns the model."""
    time_stepper: TimeStepper
    """Time stepper of the model (the default one when none is set)."""
    parametric_function: str | None
    """Registered function that creates this model."""
    parametric_kwargs: dict[str, Any] | None
    """Keyword arguments that rebuild this model."""
    random_variables: list[RandomVariable]
    """Random variables of this model."""

@disjoint_base
class PoleResidueMatrix(_Copyable):
    """Rational model of an S matrix: S(f) = exp(2πi·f·d)·(Σ r_n/(s - p_n) + r_N) with s = -i·h·f, poles shared by all elements. Calling it with frequencies gives the SMatrix."""
    def __init__(self, poles: ArrayLike, residues: Mapping[tuple[str, str], ArrayLike], frequency_scaling: float = 6.283185, ports: Mapping[str, Any] | None = None, delays: Mapping[tuple[str, str], float] | None = None) -> None: ...
    def __call__(self, frequencies: ArrayLike) -> SMatrix:
        """The S matrix of the model at the frequencies."""
    def get_rms_error(self, s_matrix: SMatrix) -> float:
        """RMS difference to the S matrix over its frequencies and the union of element keys."""
    def is_passive(self) -> bool:
        """True when no singular value of the model exceeds 1 at any frequency."""
    def enforce_passivity(self, frequencies: ArrayLike, max_iterations: int = 20, real: bool = False, feedthrough: bool = False) -> bool:
        """Perturb the residues (and the constant term with feedthrough) with the least change at the frequencies until the model is passive; returns whether it is. real keeps conjugate symmetry."""
    poles: NDArray[numpy.complex128]
    """Poles shared by all elements."""
    residues: dict[tuple[str, str], NDArray[numpy.complex128]]
    """Residues by (input, output) port-mode names, one per pole, then the constant term."""
    frequency_scaling: float
    """h in s = -i·h·f."""
    delays: dict[tuple[str, str], float]
    """Delays (s) by (input, output) port-mode names."""
    ports: dict[str, Any]
    """Port objects (or None) by name."""

@disjoint_base
class Polyhedron(_Copyable, _SolidBase):
    """A solid bounded by triangles. The mesh must be closed and non-overlapping, with every triangle counter-clockwise seen from outside."""
    def __init__(self, medium: Any, vertices: ArrayLike, triangles: ArrayLike) -> None: ...
    def write_ply(self, filename: str | os.PathLike[str]) -> None:
        """Write the mesh as an ASCII PLY file (coordinates in micrometres)."""
    vertices: NDArray[numpy.float64]
    """Vertex coordinates, one row per vertex."""
    triangles: NDArray[numpy.int64]
    """Vertex indices of each triangle, counter-clockwise seen from outside."""

@disjoint_base
class Port(_Object):
    """A 2D port: where waves enter a component."""
    def __init__(self, center: _Point, input_direction: float, spec: PortSpec | str, extended: bool = True, inverted: bool = False, bend_radius: float = 0) -> None: ...
    def _repr_svg_(self) -> str:
        """SVG document of this object alone, for notebook display."""
    def copy(self, deep: bool = False) -> Self:
        """A copy of the port; a deep copy also copies its port spec."""
    @overload
    def terminals(self, name: None = None) -> dict[str, Terminal]:
        """The terminal of a named profile, or a dict of all."""
    @overload
    def terminals(self, name: str) -> Terminal: ...
    def matches(self, port: Port) -> bool:
        """Same position, direction and compatible specification."""
    def is_connected_to(self, port: Port) -> bool:
        """Same position, opposite directions, compatible specification."""
    def can_connect_to(self, port: Port) -> bool:
        """Compatible specifications for a connection."""
    def _transformed(self, translation: _Point = (0, 0), rotation: float = 0, scaling: float = 1, x_reflection: bool = False) -> Port:
        """A copy placed as a reference places its component's ports."""
    def _axis_aligned_properties(self) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64], Literal['+', '-'], float, float]:
        """(center, size, direction, angle_theta, angle_phi) of the port plane, angles in degrees."""
    def to_fenn3d_source(self, frequencies: ArrayLike, mode_index: int = 0, name: str | None = None, use_angle_rotation: bool = False, technology: Technology | None = None) -> Any:
        """Mode source in the port plane."""
    def to_fenn3d_monitor(self, frequencies: ArrayLike, name: str, use_angle_rotation: bool = False, technology: Technology | None = None) -> Any:
        """Mode monitor in the port plane."""
    def to_fenn3d_mode_solver(self, frequencies: ArrayLike, mesh_refinement: float | None = None, group_index: bool = False, technology: Technology | None = None, use_angle_rotation: bool = False) -> Any:
        """Mode solver of the port cross-section extruded with the technology."""
    def to_fenn3d_impedance_calculator(self, extrapolate_to_endpoints: bool = True, snap_to_grid: bool = True) -> Any:
        """Impedance calculator from the voltage and current paths of the electrical specification."""
    center: NDArray[numpy.float64]
    """Port center (snapped)."""
    input_direction: float
    """Direction of power entering the component (degrees)."""
    spec: PortSpec
    """Port specification."""
    extended: bool
    """Extend the port waveguide during extrusion."""
    inverted: bool
    """Use the port specification with offsets negated."""
    bend_radius: float
    """Bend radius (positive: left turn, negative: right turn)."""
    classification: Literal["optical", "electrical"]
    """'optical' or 'electrical'."""
    num_modes: int
    """Number of modes."""
    added_solver_modes: int
    """Extra solver modes."""

@disjoint_base
class PortSpec(_Copyable):
    """Cross-section template of a port."""
    def __init__(
        self,
        description: str,
        width: float,
        limits: tuple[float, float],
        num_modes: int = 1,
        polarization: Literal['TE', 'TM'] | None = None,
        target_neff: float | None = None,
        path_profiles: Mapping[str, _PortProfile] | Sequence[_PortProfile] = (),
        added_solver_modes: int = 0,
        voltage_path: ArrayLike | None = None,
        current_path: ArrayLike | _Structure | None = None,
        default_radius: float = 0,
        impedance: Interpolator | None = None,
    ) -> None: ...
    def symmetric(self) -> bool:
        """True when every profile has its mirror image across the port axis."""
    def inverted(self) -> PortSpec:
        """This specification with every profile offset negated (itself when symmetric)."""
    def _is_1D(self) -> bool:
        """True when both limits are equal."""
    def profile_matches(self, port_spec: PortSpec) -> bool:
        """Same limits, classification and profiles within the wider port."""
    def combined_with(self, port_spec: PortSpec, offset: float = 0) -> PortSpec:
        """A copy with the other specification's profiles added, moved by offset."""
    def path_profiles_list(self) -> list[tuple[float, float, _Layer]]:
        """The profiles as (width, offset, layer) tuples."""
    def path_profile_for(self, layer: _LayerLike, technology: Technology | None = None) -> tuple[float, float] | tuple[list[float], list[float]] | None:
        """(width, offset) of the profile on a layer, or lists of both for several."""
    def get_paths(self, origin: _Point, scale_width: bool = True) -> list[tuple[_Layer, Path]]:
        """(layer, Path) pairs, one per profile, starting at origin."""
    def to_fenn3d(self, frequencies: ArrayLike, mesh_refinement: float | None = None, group_index: bool = False, technology: Technology | None = None) -> Any:
        """Mode solver of a port of this port spec at the origin, facing +x."""
    def to_fenn3d_impedance_calculator(self, extrapolate_to_endpoints: bool = True, snap_to_grid: bool = True) -> Any:
        """Impedance calculator from the voltage and current paths of the electrical specification."""
    def _target_neff(self, frequencies: ArrayLike, technology: Technology | None = None) -> float:
        """The target effective index, or the largest index of the media within the limits."""
    description: str
    """Description."""
    width: float
    """Port width."""
    limits: tuple[float, float]
    """Lower and upper out-of-plane limits."""
    default_radius: float
    """Default bend radius for routes."""
    num_modes: int
    """Number of modes."""
    added_solver_modes: int
    """Extra modes for mode solving."""
    polarization: str | None
    """'TE', 'TM' or None."""
    target_neff: float | None
    """Effective index hint for mode solving."""
    path_profiles: dict[str, tuple[float, float, _Layer]] | list[tuple[float, float, _Layer]]
    """Profiles (width, offset, layer)."""
    voltage_path: NDArray[numpy.float64] | None
    """Voltage integration path."""
    current_path: NDArray[numpy.float64] | _Structure | None
    """Current integration contour."""
    impedance: Interpolator | None
    """Impedance over frequency."""
    classification: Literal["optical", "electrical"]
    """'optical' or 'electrical'."""

@disjoint_base
class Properties(_Shared):
    """Object properties."""
    def copy(self) -> Self:
        """Create a copy of this object."""
    def __init__(self, **kwargs: Any) -> None: ...
    def __iter__(self, /) -> Iterator[str]: ...
    def __len__(self, /) -> int: ...
    def __getitem__(self, key: str, /) -> Any: ...
    def __setitem__(self, key: str, value: Any, /) -> None: ...
    def __delitem__(self, key: str, /) -> None: ...
    def __contains__(self, key: object, /) -> bool: ...
    def keys(self) -> list[str]:
        """Property keys."""
    def get(self, key: str, default: Any = None) -> Any:
        """Value of a property, or default when absent."""
    def add_gds_property(self, attribute: int, value: str | bytes, /) -> Self:
        """Add a GDSII property to this object."""
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None: ...

@disjoint_base
class RandomVariable:
    """An uncertain parameter of a component, model or technology: a fixed value, a normal distribution (value and stdev), a uniform range (value_range) or equally likely values (values). The current value starts at the median."""
    def __init__(self, name: str, parent: Component | Model | Technology | None = None, *, value: Any = None, stdev: float | None = None, values: Sequence[Any] | None = None, value_range: tuple[float, float] | None = None) -> None: ...
    def size(self) -> int | None:
        """Number of values: 1 for a fixed variable, the value count for a discrete one, None for normal and uniform variables."""
    def set_by_cdf(self, cdf: float) -> Any:
        """Set the current value to the one at cumulative probability cdf (0 to 1) and return it."""
    def __copy__(self) -> Self:
        """Shallow copy."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """Deep copy: the values are copied too."""
    name: str
    """Name of the parameter the variable drives."""
    parent: Component | Model | Technology | None
    """Object whose parameter this is (not kept alive by the variable)."""
    type: str
    """'fixed', 'normal', 'uniform' or 'discrete'."""
    value_spec: dict[str, Any]
    """Keyword arguments that define the distribution."""
    value: Any
    """Current value."""
    _id: int
    """Internal object ID."""
    properties: Properties
    """Object properties."""

@disjoint_base
class SMatrix(_Copyable):
    """Scattering matrix: values for (input, output) port-mode pairs such as ('P0@0', 'P1@0') at each frequency."""
    def __init__(self, frequencies: ArrayLike, elements: Mapping[tuple[str, str], ArrayLike], ports: Mapping[str, Any] | None = None) -> None: ...
    def __getitem__(self, key: tuple[str, str], /) -> NDArray[numpy.complex128]:
        """Values of the (input, output) port-mode pair at each frequency."""
    def write_snp(self, filename: str | os.PathLike[str]) -> Self:
        """Write a Touchstone 2.0 file, frequencies ascending; returns self."""
    @classmethod
    def load_snp(cls, filename: str | os.PathLike[str], ports: Sequence[str | tuple[str, int]] = ()) -> SMatrix:
        """Read a Touchstone file. ports lists names or (name, number of modes) tuples taking the file's ports in order; by default P0, P1, ..."""
    def force_symmetric(self) -> Self:
        """Make the matrix reciprocal in place; returns self."""
    def estimate_delays(self, lossless: bool = False) -> dict[tuple[str, str], float]:
        """Group delay of each element in seconds, from its unwrapped phase."""
    def estimate_phase(self) -> SMatrix:
        """A new matrix with the same magnitudes and a minimum-phase phase."""
    def apply_time_delay(self, delay: float) -> Self:
        """Multiply every element by exp(2πi·f·delay) in place; returns self."""
    frequencies: NDArray[numpy.float64]
    """Frequencies (Hz)."""
    wavelengths: NDArray[numpy.float64]
    """Vacuum wavelengths (μm)."""
    elements: dict[tuple[str, str], NDArray[numpy.complex128]]
    """Values by (input, output) port-mode names."""
    ports: dict[str, Any]
    """Port objects (or None) by name."""

@disjoint_base
class Technology(_Object):
    """Fabrication process: layers, extrusion specifications, port specifications, layer connections and the background medium."""
    def __init__(self, name: str, version: str, layers: Mapping[str, LayerSpec], extrusion_specs: Sequence[ExtrusionSpec], ports: Mapping[str, PortSpec], background_medium: Any, connected_layers: Sequence[tuple[str, str]] = ()) -> None: ...
    def add_layer(self, layer_name: str, layer_spec: LayerSpec) -> Self:
        """Add or replace a layer specification by name."""
    def remove_layer(self, layer_name: str) -> LayerSpec | None:
        """Remove a layer specification; returns it (None if absent)."""
    def add_port(self, port_name: str, port_spec: PortSpec) -> Self:
        """Add or replace a port specification by name."""
    def remove_port(self, port_name: str) -> PortSpec | None:
        """Remove a port specification; returns it (None if absent)."""
    def insert_extrusion_spec(self, index: int, extrusion_spec: ExtrusionSpec) -> Self:
        """Insert an extrusion specification before index."""
    def pop_extrusion_spec(self, index: int = -1) -> ExtrusionSpec:
        """Remove and return an extrusion specification."""
    def add_connection(self, layer1: str, layer2: str) -> Self:
        """Connect two layers electrically; their layer specifications become conductive."""
    def remove_connection(self, layer1: str, layer2: str) -> Self:
        """Remove the connection between two layers."""
    def get_background_medium(self, classification: Literal["optical", "electrical"]) -> Any:
        """Background medium for 'optical' or 'electrical'."""
    def extrusion_layers(self) -> set[_Layer]:
        """Set of all layers named by the extrusion specifications."""
    def update(self, *args: Any, **kwargs: Any) -> Self:
        """Regenerate a parametric technology in place with updated keyword arguments."""
    def copy(self, deep: bool = False) -> Self:
        """Copy of this technology; a deep copy also copies the extrusion specifications."""
    def _repr_html_(self) -> str:
        """HTML summary."""
    name: str
    """Technology name."""
    version: str
    """Technology version."""
    layers: dict[str, LayerSpec]
    """Layer specifications by name."""
    extrusion_specs: list[ExtrusionSpec]
    """Extrusion specifications, applied in order."""
    ports: dict[str, PortSpec]
    """Port specifications by name."""
    connected_layers: set[Any]
    """Pairs of electrically connected layers."""
    background_medium: Any
    """Medium around all extruded structures."""
    parametric_function: str | None
    """Registered function that creates this technology."""
    parametric_kwargs: dict[str, Any] | None
    """Keyword arguments of the parametric function."""
    random_variables: list[RandomVariable]
    """Random variables attached to the technology."""

@disjoint_base
class Terminal(_Object, _Movable, _BoundingBox):
    """An electrical terminal: a routing layer and a template structure."""
    def __init__(self, routing_layer: _LayerLike, structure: _Structure) -> None: ...
    def _repr_svg_(self) -> str:
        """SVG document of this object alone, for notebook display."""
    def copy(self, deep: bool = False) -> Self:
        """A copy of the terminal; deep copies the structure too."""
    def bounds(self) -> _Bounds:
        """Lower-left and upper-right corners of the structure's bounding box."""
    def center(self) -> NDArray[numpy.float64]:
        """Center of the bounding box."""
    def size(self) -> NDArray[numpy.float64]:
        """Size of the bounding box."""
    routing_layer: _Layer
    """Routing layer."""
    structure: _Structure
    """Template structure."""

@disjoint_base
class TimeDomainModel(_Copyable):
    """Time stepper of a PoleResidueMatrix: recursive convolution with piecewise-linear inputs at the time step, each (input, output) path delayed by whole and fractional steps. A time step of 0 leaves it unset."""
    def __init__(self, pole_residue_matrix: PoleResidueMatrix, time_step: float) -> None: ...
    def step_single(self, inputs: NDArray[numpy.complex128], outputs: NDArray[numpy.complex128], time_index: int = 0, update_state: bool = True, shutdown: bool = False) -> None:
        """Advance one time step: read one complex128 input per key and write one output per key into 'outputs'. With update_state False the model is left unchanged."""
    def step(self, inputs: TimeSeries | None = None, steps: int = 0, time_step: float = 0, show_progress: bool = True) -> TimeSeries:
        """Step through the samples of the inputs TimeSeries (or 'steps' zero samples) and return the outputs as a TimeSeries."""
    def reset(self) -> None:
        """Zero the states, previous inputs and delay lines, as right after setting the time step."""
    pole_residue_matrix: PoleResidueMatrix
    """The stepped model."""
    time_step: float
    """Seconds per step; setting it rebuilds the model and resets it."""
    keys: tuple[str, ...]
    """Input and output keys: the port-mode names, ordered by port and then by mode."""
    path_delays: dict[Any, Any]
    """Whole time steps by which each (input, output) path is at least delayed."""
    _delay_split: dict[Any, Any]
    """(whole steps, fraction) of each (input, output) path's delay."""
    _direct_matrix: NDArray[Any] | None
    """Constant terms of the zero-delay paths, [output, input] in keys order; None until the time step is set."""
    _stateless: bool
    """True when the model has no poles and no delays."""
    _native_step: tuple[Any, ...]
    """Compiled step (address, context, state, cstate) running this model."""
    _native_error: str | None
    """Message of the last native step failure."""

@disjoint_base
class TimeSeries(_Copyable):
    """Complex signals sampled every time_step seconds, by key; sample k of each row is at time (time_index + k)·time_step. Shorter rows are padded with zeros. Indexing with a key gives its row, with an integer time index the dict of values at that index; adding a series that starts where this one ends joins them."""
    def __init__(self, values: Mapping[str, ArrayLike], time_step: float, time_index: int = 0) -> None: ...
    def __add__(self, value: TimeSeries, /) -> TimeSeries: ...
    def __radd__(self, value: TimeSeries, /) -> TimeSeries: ...
    @overload
    def __getitem__(self, key: str, /) -> NDArray[numpy.complex128]: ...
    @overload
    def __getitem__(self, key: int, /) -> dict[str, complex]: ...
    values: dict[str, NDArray[numpy.complex128]]
    """Samples (complex arrays) by key."""
    time_step: float
    """Seconds between samples."""
    time_index: int
    """Index of the first sample."""
    times: NDArray[numpy.float64]
    """Time of each sample (s)."""
    _raw_data: tuple[Any, ...]
    """(keys, matrix with one row per key)."""

@disjoint_base
class TimeStepper(_Object):
    """Base of time steppers. Derived classes call super().__init__ with keyword arguments only, define 'keys' and implement step_single (or bind a native step); setup_state prepares them for a component and time step."""
    def __init__(self, **kwargs: Any) -> None: ...
    def setup(self, component: Component, time_step: float, *, carrier_frequency: float = 0, show_progress: bool = True, **kwargs: Any) -> Self:
        """Check the arguments and call setup_state with them as keywords (polling a returned runner); returns self."""
    def setup_state(self, *, component: Component, time_step: float, carrier_frequency: float, show_progress: bool, **kwargs: Any) -> Any:
        """Prepare the stepper's state; may return a runner with 'status'. The base does nothing."""
    def step_single(self, inputs: NDArray[numpy.complex128], outputs: NDArray[numpy.complex128], time_index: int, update_state: bool, shutdown: bool) -> None:
        """Advance one time step: write one output per key into 'outputs' in place. Change the state only when update_state."""
    def step(self, inputs: TimeSeries | None = None, steps: int = 0, time_step: float = 0, show_progress: bool = True) -> TimeSeries:
        """Step through the samples of the inputs TimeSeries (or 'steps' zero samples) and return the outputs as a TimeSeries."""
    def reset(self) -> None:
        """Restore the native state arrays given to bind_native and clear the delay lines."""
    def bind_native(self, step: int, keys: Sequence[str], state: ArrayLike | None = None, cstate: ArrayLike | None = None, context: int | None = None) -> None:
        """Run steps through the compiled function at the address 'step': int64 step(inputs, outputs, time_index, update_state, shutdown, context, state, cstate), with float64 'state' and complex128 'cstate' arrays."""
    def write_verilog_a(self, path: str | os.PathLike[str], *, backend: str = 'openvaf', port_convention: str = 'travelling_wave', module_name: str | None = None, z0: float = 50.0, **kwargs: Any) -> None:
        """Export the stepper as a Verilog-A module."""
    def update(self, *args: Any, **kwargs: Any) -> Self:
        """Rebuild the stepper in place with the stored keyword arguments updated by kwargs; returns the stepper."""
    parametric_function: str | None
    """Registered function that creates this time stepper."""
    parametric_kwargs: dict[str, Any] | None
    """Keyword arguments that rebuild this time stepper."""
    random_variables: list[RandomVariable]
    """Random variables of this time stepper."""
    path_delays: dict[Any, Any] | None
    """Whole time steps by (input key, output key); None: any input may reach any output within the step."""
    input_delay_steps: dict[Any, Any]
    """Time steps by which each input is delayed before the body sees it."""
    output_delay_steps: dict[Any, Any]
    """Time steps by which each output of the body is delayed."""
    keys: tuple[str, ...]
    """Input and output keys (given to bind_native or defined by the class)."""
    _native_step: tuple[Any, ...] | None
    """Bound native step (address, context, state, cstate)."""
    _native_state: tuple[Any, ...] | None
    """Keys and initial state arrays of the native step."""
    _native_body: type | None
    """Class that bound the native step."""
    _native_error: str | None
    """Message of the last native step failure."""

@disjoint_base
class TwfStream:
    """A twf file opened for reading ('r') or writing ('w'). Written objects are stored once, with everything they refer to; the file is finished by close() (or when the stream is destroyed). In read mode objects load lazily, each once, and set_config applies the file's grid and tolerance."""
    def __init__(self, filename: str | os.PathLike[str], mode: Literal['r', 'w'] = 'r', set_config: bool = True) -> None: ...
    def write(self, *args: Any) -> None:
        """Store the objects (with everything they refer to) as explicit objects."""
    def data(self) -> list[Any]:
        """Every explicit object, in the order stored."""
    def contents(self, only_explicit: bool = True) -> dict[str, set[Any]]:
        """{'components': set of names, 'technologies': set of (name, version)}."""
    def load_component(self, name: str | None = None, only_explicit: bool = True) -> list[Component]:
        """The stored components (of that name)."""
    def load_technology(self, name: str | None = None, version: str | None = None, only_explicit: bool = True) -> list[Technology]:
        """The stored technologies (of that name and version)."""
    def close(self) -> None:
        """Finish the file (write mode) or release it (read mode)."""
    def __enter__(self) -> Self:
        """The stream itself."""
    def __exit__(self, *exc_info: object) -> bool:
        """Close the stream; exceptions propagate."""
    _id: int
    """Internal object ID."""
    properties: Properties
    """Object properties."""
    config: dict[str, Any] | None
    """Configuration stored in the file."""

@disjoint_base
class YMatrix(_TerminalMatrix):
    """Nodal admittance matrix: values for (terminal1, terminal2) pairs at each frequency."""
    def to_z_matrix(self) -> ZMatrix:
        """The impedance matrix: the inverse at each frequency."""

@disjoint_base
class ZMatrix(_TerminalMatrix):
    """Nodal impedance matrix: values for (terminal1, terminal2) pairs at each frequency."""
    def to_y_matrix(self) -> YMatrix:
        """The admittance matrix: the inverse at each frequency."""

Z_INF: float
"""Out-of-plane coordinate that stands for infinity (μm)."""

Z_MAX: float
"""Largest finite out-of-plane coordinate (μm)."""

config: _Config
"""Global configuration of the module."""

# ---------------------------------------------------------------------------------------------
# Layout hierarchy

# A layer as (layer, datatype) or by its name in the component's technology.
_LayerLike: TypeAlias = _Layer | str
_Solid: TypeAlias = Extruded | ConstructiveSolid | Polyhedron
# Operands of mask expressions: masks, layers and layer names.
_MaskOperand: TypeAlias = MaskSpec | _LayerLike
_Bounds: TypeAlias = tuple[NDArray[numpy.float64], NDArray[numpy.float64]]
# A path profile of a port spec: (width, offset, layer).
_PortProfile: TypeAlias = tuple[float, float, _LayerLike]
# A lumped port: (signal_terminal, impedance) or (signal_terminal, reference_terminal, impedance).
_LumpedPort: TypeAlias = tuple[str, complex] | tuple[str, str, complex]
_InterpolationMethod: TypeAlias = Literal['linear', 'barycentric', 'cubicspline', 'pchip', 'akima', 'makima']

@disjoint_base
class Component(_Object):
    """Layout cell: structures and labels by layer, references to other components, ports, terminals and circuit models."""
    def __init__(self, name: str = "", technology: Technology | None = None) -> None: ...
    def extrude(
        self,
        port_extension: float = 0,
        heal: bool | float = False,
        extrusion_tolerance: float = 0,
        classification: Literal["optical", "electrical"] = "optical",
        used_extrusions: list[ExtrusionSpec] | None = None,
    ) -> list[_Solid]:
        """Solids of the whole component by its technology's extrusion specifications, in technology order."""
    def add(self, *args: _LayerLike | _Structure | Label | Reference | Component) -> Self:
        """Add structures, labels, references and components; a layer (tuple or name) sets the layer of the structures and labels after it, starting at (0, 0)."""
    def add_reference(self, reference: Reference | Component) -> Reference:
        """Add a reference (a component is wrapped in a new one); returns the reference."""
    def remove(self, *args: _Structure | Label | Reference, layer: _LayerLike | None = None) -> Self:
        """Remove structures, labels and references."""
    @overload
    def add_port(self, port: Port | FiberPort | GaussianPort, port_name: str | None = None) -> str:
        """Add a port, a sequence of ports (named port_name + index) or a dict of ports; returns the names."""
    @overload
    def add_port(
        self,
        port: Sequence[Port | FiberPort | GaussianPort] | Mapping[str, Port | FiberPort | GaussianPort],
        port_name: str | None = None,
    ) -> list[str]: ...
    def remove_port(self, port_name: str) -> Port | FiberPort | GaussianPort | None:
        """Remove a port; returns it (None if absent)."""
    def rename_port(self, old_name: str, new_name: str) -> Self:
        """Rename a port."""
    @overload
    def add_terminal(
        self, terminal: Terminal, terminal_name: str | None = None, add_structure: bool = False,
        structure_layer: _LayerLike | None = None,
    ) -> str:
        """Add terminals; with add_structure a copy of each terminal's structure is added too."""
    @overload
    def add_terminal(
        self, terminal: Sequence[Terminal] | Mapping[str, Terminal], terminal_name: str | None = None,
        add_structure: bool = False, structure_layer: _LayerLike | None = None,
    ) -> list[str]: ...
    def remove_terminal(self, terminal_name: str, remove_structure: bool = True) -> Terminal | None:
        """Remove a terminal (and its structure); returns it (None if absent)."""
    def rename_terminal(self, old_name: str, new_name: str) -> Self:
        """Rename a terminal."""
    def select_ports(self, classification: Literal["optical", "electrical"]) -> dict[str, Port | FiberPort | GaussianPort]:
        """Dict of the 'optical' or 'electrical' ports."""
    @overload
    def add_model(self, model: Model, model_name: str | None = None, set_active: bool = True) -> str:
        """Add circuit models; returns the names."""
    @overload
    def add_model(
        self, model: Sequence[Model] | Mapping[str, Model], model_name: str | None = None, set_active: bool = True
    ) -> list[str]: ...
    def remove_model(self, model_name: str) -> Model | None:
        """Remove a model; returns it (None if absent)."""
    def rename_model(self, old_name: str, new_name: str) -> Self:
        """Rename a model."""
    def activate_model(self, model_name: str, classification: Literal["optical", "electrical"] | None = None) -> Model:
        """Make a model active; returns it."""
    def select_active_model(self, classification: Literal["optical", "electrical"]) -> Model | None:
        """The active model of a classification, or None."""
    def s_matrix(
        self, frequencies: ArrayLike, show_progress: bool = True, model_kwargs: Mapping[str, Any] = {}
    ) -> SMatrix:
        """S matrix from the active model: the electrical one when any frequency is below 6 THz, else the optical one."""
    def setup_time_stepper(
        self, time_step: float, carrier_frequency: float = 0, show_progress: bool = True,
        time_stepper_kwargs: Mapping[str, Any] = {},
    ) -> TimeStepper:
        """Set up and return the time stepper of the active model."""
    def add_virtual_connection(
        self, reference0: Reference | None, port_name0: str, reference1: Reference | None, port_name1: str,
        repetition_index0: int = 0, repetition_index1: int = 0,
    ) -> Self:
        """Connect two ports of references (None: this component) virtually."""
    def add_virtual_connection_by_instance(
        self, instance_index0: int, port_name0: str, instance_index1: int, port_name1: str
    ) -> Self:
        """Connect two ports of instances virtually."""
    def remove_virtual_connection(self, reference: Reference | None, port_name: str, repetition_index: int = 0) -> bool:
        """Remove the virtual connections of a port; True when any was removed."""
    def remove_virtual_connection_by_instance(self, instance_index: int, port_name: str) -> bool:
        """Remove the virtual connections of a port of an instance."""
    def invalid_virtual_connections(self) -> list[Any]:
        """Virtual connections that fail validation, with warnings."""
    def add_virtual_net(self, terminals: Sequence[Any]) -> Self:
        """Join terminals: (reference, terminal[, repetition_index]) tuples or boundary terminal names."""
    def remove_virtual_net(self, reference: Reference | str | None, terminal: str | None = None, repetition_index: int | None = None) -> bool:
        """Remove the virtual nets that contain a terminal."""
    def remove_virtual_net_member(self, reference: Reference | str | None, terminal: str | None = None, repetition_index: int | None = None) -> bool:
        """Remove a terminal from the virtual nets."""
    def remove_virtual_net_by_instance(self, instance_index: int, terminal: str) -> bool:
        """Remove the virtual nets that contain a terminal of an instance."""
    def query(self, *args: Any) -> list[Any]:
        """Ports and terminals selected by name patterns through the hierarchy."""
    def detect_ports(
        self, specs: Sequence[PortSpec | str] | None = None, bounds: Any = None, skip_internal_connections: bool = True,
        on_boundary: Any = None, boundary_margin: float = 0, minimal_turn_angle: float = 10,
    ) -> list[Port]:
        """New ports found in the geometry (not added)."""
    def get_netlist(self, suppress_warnings: bool = False) -> dict[str, Any]:
        """The circuit netlist: a dict with keys 'instances', 'ports', 'terminals', 'connections', 'virtual connections', 'butt couplings', 'nets' and 'virtual nets'."""
    def extract_connectivity(self, ports: bool = True, nets: bool = True) -> dict[str, Any]:
        """The geometric connectivity behind get_netlist, without declared connections and without warnings."""
    def get_instance_maps(self) -> tuple[dict[tuple[int, int], int], list[tuple[int, int]]]:
        """(dict from (reference index, repetition index) to instance index, list of (reference index, repetition index) by instance index)."""
    def bounds(self, include_ports: bool = True, include_labels: bool = True, layers: Sequence[_LayerLike] | None = None) -> _Bounds:
        """Lower-left and upper-right corners of the bounding box of the whole hierarchy."""
    def center(self, include_ports: bool = True, include_labels: bool = True, layers: Sequence[_LayerLike] | None = None) -> NDArray[numpy.float64]:
        """Center of the bounding box."""
    def size(self, include_ports: bool = True, include_labels: bool = True, layers: Sequence[_LayerLike] | None = None) -> NDArray[numpy.float64]:
        """Size of the bounding box."""
    def convex_hull(self, include_labels: bool = True, layers: Sequence[_LayerLike] | None = None) -> NDArray[numpy.float64]:
        """Vertices of the convex hull of the hierarchy's geometry."""
    @overload
    def get_structures(self, layer: None = None, depth: int = -1, skip_components: Sequence[Component] = ()) -> dict[_Layer, list[_Structure]]:
        """Structures of the hierarchy in this component's coordinates: a list for one layer, else a dict."""
    @overload
    def get_structures(self, layer: _LayerLike, depth: int = -1, skip_components: Sequence[Component] = ()) -> list[_Structure]: ...
    @overload
    def get_labels(self, layer: None = None, depth: int = -1, skip_components: Sequence[Component] = ()) -> dict[_Layer, list[Label]]:
        """Labels of the hierarchy in this component's coordinates: a list for one layer, else a dict."""
    @overload
    def get_labels(self, layer: _LayerLike, depth: int = -1, skip_components: Sequence[Component] = ()) -> list[Label]: ...
    def layers(self, include_dependencies: bool = False, include_structures: bool = True, include_labels: bool = True) -> set[_Layer]:
        """Set of the layers in use."""
    def remap_layers(self, layer_map: Mapping[_LayerLike, _LayerLike], include_dependencies: bool = False) -> Self:
        """Move structures between layers."""
    def remap_label_layers(self, layer_map: Mapping[_LayerLike, _LayerLike], include_dependencies: bool = False) -> Self:
        """Move labels between layers."""
    def filter_layers(self, layers: Sequence[_LayerLike], keep: bool, include_dependencies: bool = False) -> Self:
        """Keep only (keep=True) or remove the structures of the given layers."""
    def filter_label_layers(self, layers: Sequence[_LayerLike], keep: bool, include_dependencies: bool = False) -> Self:
        """Keep only (keep=True) or remove the labels of the given layers."""
    def set_bounds(self, bounds: tuple[_Point, _Point]) -> Self:
        """Clip the component's own structures to a rectangle and drop its labels outside it; references stay."""
    def slice_profile(self, axis: Literal["x", "y"], center: _Point, length: float | None = None, depth: int = -1) -> list[tuple[float, float, _Layer]]:
        """List of (width, offset, layer) of the geometry crossed by the line along 'x' or 'y' through the center point."""
    def build_mask(self, mask_spec: MaskSpec | _LayerLike, heal: bool | float = False) -> list[Polygon]:
        """Polygons of a mask (or a layer) evaluated on the hierarchy."""
    def write_gds(
        self, filename: str | os.PathLike[str] = "", paths_to_polygons: bool = True, fracture_limit: int = 0,
        pre_export_function: Callable[[Component], object] | None = None,
    ) -> Self:
        """Write this component and its dependencies to a GDSII file (named after the component when no name is given); returns the component."""
    def write_oas(
        self, filename: str | os.PathLike[str] = "", paths_to_polygons: bool = True, compression_level: int = 9,
        library_properties: Properties | None = None, pre_export_function: Callable[[Component], object] | None = None,
    ) -> Self:
        """Write this component and its dependencies to an OASIS file (named after the component when no name is given); returns the component."""
    def dependencies(self) -> list[Component]:
        """Every component reachable through references, each once."""
    def detect_dependency_cycle(self) -> Component | None:
        """A component on a dependency cycle, or None."""
    def structure_count(self) -> int:
        """Number of own structures."""
    def label_count(self) -> int:
        """Number of own labels."""
    def flatten(self) -> Self:
        """Replace the references by transformed copies of their contents."""
    def replace_technology(self, new_technology: Technology, old_technology: Technology | None = None) -> Self:
        """Replace the technology here and in the dependencies (only where it is old_technology, when given)."""
    def disconnected_reference_ports(self) -> list[tuple[Reference, str, int]]:
        """List of (reference, port name, repetition index) of the reference ports that no other reference port connects to."""
    def add_reference_ports(self, include_dependencies: bool = False, add_model: Model | None = None) -> list[str]:
        """Add the disconnected reference ports as ports; returns their names."""
    def update(self, *args: Any, **kwargs: Any) -> Self:
        """Regenerate a parametric component in place."""
    def copy(self, deep: bool = False, copy_technology: bool = False) -> Self:
        """Copy of this component; a deep copy also copies the referenced components."""
    def tree_view(self) -> str:
        """Text tree of the hierarchy."""
    def _repr_svg_(self, partial: bool = False, light_page: bool = False) -> str:
        """SVG document of the component."""
    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, str]:
        """The SVG document under 'image/svg+xml'."""
    name: str
    """Component name."""
    technology: Technology
    """Component technology."""
    ports: dict[str, Port | FiberPort | GaussianPort]
    """Ports by name, 2D ports first, then 3D ports."""
    terminals: dict[str, Terminal]
    """Terminals by name."""
    models: dict[str, Model]
    """Circuit models by name."""
    structures: dict[_Layer, list[_Structure]]
    """Own structures, a list per layer."""
    labels: dict[_Layer, list[Label]]
    """Own labels, a list per layer."""
    references: list[Reference]
    """References in the order added."""
    active_model: Any
    """Active model; a dict keyed 'optical'/'electrical' when they differ."""
    active_model_name: Any
    """Name of the active model; a dict when they differ."""
    parametric_function: str | None
    """Registered function that creates this component."""
    parametric_kwargs: dict[str, Any] | None
    """Keyword arguments that rebuild this component."""
    random_variables: list[RandomVariable]
    """Random variables of this component."""
    virtual_connections: list[Any]
    """Virtual connections between ports."""
    virtual_connections_by_instance: list[Any]
    """Virtual connections between ports of instances."""
    virtual_nets: list[Any]
    """Virtual nets joining terminals."""

@disjoint_base
class Reference(_Object, _Movable, _BoundingBox):
    """A placed component, possibly as an array of columns × rows instances."""
    def __init__(
        self,
        component: Component,
        origin: _Point = (0, 0),
        rotation: float = 0,
        scaling: float = 1,
        x_reflection: bool = False,
        columns: int = 1,
        rows: int = 1,
        spacing: _Point = (0, 0),
        technology_updates: Mapping[str, Any] = {},
        component_updates: Mapping[str, Any] = {},
        model_updates: Mapping[str, Any] = {},
        s_matrix_kwargs: Mapping[str, Any] = {},
        time_stepper_kwargs: Mapping[str, Any] = {},
    ) -> None: ...
    def __getitem__(self, key: str, /) -> Any:
        """The placed port (or terminal) of that name: one object for a single instance, else a list."""
    def _repr_svg_(self) -> str:
        """SVG document of this object alone, for notebook display."""
    @overload
    def get_repetition(self, repetition_index: Literal[-1] = -1) -> list[Reference]:
        """A 1 × 1 reference placing one instance, or the list of every instance's with a negative index."""
    @overload
    def get_repetition(self, repetition_index: int) -> Reference | list[Reference]: ...
    @overload
    def get_structures(self, layer: None = None, depth: int = -1) -> dict[_Layer, list[_Structure]]:
        """Transformed copies of the component's structures for every instance: a list for one layer, else a dict by layer."""
    @overload
    def get_structures(self, layer: _LayerLike, depth: int = -1) -> list[_Structure]: ...
    @overload
    def get_labels(self, layer: None = None, depth: int = -1) -> dict[_Layer, list[Label]]:
        """Transformed copies of the component's labels for every instance: a list for one layer, else a dict by layer."""
    @overload
    def get_labels(self, layer: _LayerLike, depth: int = -1) -> list[Label]: ...
    @overload
    def get_ports(self, name: None = None) -> dict[str, list[Port | FiberPort | GaussianPort]]:
        """Transformed copies of a port, one per instance, or a dict of every port's."""
    @overload
    def get_ports(self, name: str) -> list[Port | FiberPort | GaussianPort]: ...
    @overload
    def get_terminals(self, name: None = None) -> dict[str, list[Terminal]]:
        """Transformed copies of a terminal, one per instance, or a dict of every terminal's."""
    @overload
    def get_terminals(self, name: str) -> list[Terminal]: ...
    def query(self, *args: Any) -> list[Any]:
        """Ports and terminals selected by name patterns, from the referenced component."""
    def connect(self, port_name: str, to_port: Port | FiberPort | GaussianPort, repetition_index: int = 0) -> Self:
        """Move and turn the reference so that its port sits on to_port, facing it."""
    def transformed_component(self, name: str, repetition_index: int = 0) -> Component:
        """A new component with the placed contents of one instance."""
    def bounds(self, include_labels: bool = True) -> _Bounds:
        """Lower-left and upper-right corners of the bounding box of every instance."""
    def center(self, include_labels: bool = True) -> NDArray[numpy.float64]:
        """Center of the bounding box."""
    def size(self, include_labels: bool = True) -> NDArray[numpy.float64]:
        """Size of the bounding box."""
    def convex_hull(self, include_labels: bool = True) -> NDArray[numpy.float64]:
        """Vertices of the convex hull of every instance."""
    def update(
        self,
        technology_updates: Mapping[str, Any] = {},
        component_updates: Mapping[str, Any] = {},
        model_updates: Mapping[str, Any] = {},
        chain_technology_updates: bool = True,
        classification: Literal["optical", "electrical"] = "optical",
    ) -> list[tuple[Any, dict[str, Any]]]:
        """Regenerate the technology and the referenced component with updated arguments; returns the list of (object, previous keyword arguments)."""
    def copy(self, deep: bool = False, copy_technology: bool = False) -> Self:
        """A copy of the reference; deep copies the component too."""
    component: Component
    """Referenced component."""
    component_name: str
    """Name of the referenced component."""
    @property
    def origin(self) -> NDArray[numpy.float64]:
        """Placement origin."""
    @origin.setter
    def origin(self, value: _Point) -> None: ...
    rotation: float
    """Rotation (degrees)."""
    scaling: float
    """Magnification."""
    x_reflection: bool
    """Mirror across the x axis before rotating."""
    columns: int
    """Repetitions along x."""
    rows: int
    """Repetitions along y."""
    @property
    def spacing(self) -> NDArray[numpy.float64]:
        """Array spacing."""
    @spacing.setter
    def spacing(self, value: _Point) -> None: ...
    technology_updates: dict[str, Any]
    """Technology updates applied by update()."""
    component_updates: dict[str, Any]
    """Component updates applied by update()."""
    model_updates: dict[str, Any]
    """Model updates applied by update()."""
    s_matrix_kwargs: dict[str, Any]
    """Keyword arguments of S-matrix computations."""
    time_stepper_kwargs: dict[str, Any]
    """Keyword arguments of time steppers."""

# ---------------------------------------------------------------------------------------------
# Planar geometry. The two private bases exist only in these stubs: the runtime types repeat the
# shared methods, which every one of them defines.

class _Movable:
    def transform(
        self, translation: _Point = (0, 0), rotation: float = 0, scaling: float = 1, x_reflection: bool = False
    ) -> Self:
        """Scale, mirror across the x axis, rotate and translate, in this order."""
    def translate(self, translation: _Point) -> Self:
        """Move by a vector."""
    def rotate(self, rotation: float, center: _Point = (0, 0)) -> Self:
        """Rotate (degrees) about a center."""
    def scale(self, scaling: float, center: _Point = (0, 0)) -> Self:
        """Scale about a center."""
    def mirror(self, axis_endpoint: _Point = (1, 0), axis_origin: _Point = (0, 0)) -> Self:
        """Mirror across the line through axis_origin and axis_endpoint."""

class _BoundingBox:
    x_min: float
    """Minimal x coordinate of the bounding box; setting it moves the object."""
    y_min: float
    """Minimal y coordinate of the bounding box; setting it moves the object."""
    x_max: float
    """Maximal x coordinate of the bounding box; setting it moves the object."""
    y_max: float
    """Maximal y coordinate of the bounding box; setting it moves the object."""
    x_mid: float
    """x coordinate of the bounding box center; setting it moves the object."""
    y_mid: float
    """y coordinate of the bounding box center; setting it moves the object."""

class _Transformable(_Copyable, _Movable):
    def add_gds_property(self, attribute: int, value: str | bytes, /) -> Self:
        """Add a GDSII property to this object."""
    def _repr_svg_(self) -> str:
        """SVG document of this object alone, for notebook display."""

class _PlanarStructure(_Transformable, _BoundingBox):
    def area(self) -> float:
        """Area of the structure."""
    def perimeter(self) -> float:
        """Perimeter of the structure."""
    def bounds(self) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
        """Lower-left and upper-right corners of the bounding box."""
    def to_polygon(self) -> Polygon:
        """A new polygon with the shape of this structure."""

@disjoint_base
class Rectangle(_PlanarStructure):
    """Rectangle given by two corners, one corner and the center or size, or center and size."""
    def __init__(
        self,
        corner1: _Point | None = None,
        corner2: _Point | None = None,
        center: _Point | None = None,
        size: _Point | None = None,
        rotation: float = 0,
    ) -> None: ...
    @property
    def center(self) -> NDArray[numpy.float64]:
        """Rectangle center."""
    @center.setter
    def center(self, value: _Point) -> None: ...
    @property
    def size(self) -> NDArray[numpy.float64]:
        """Rectangle width and height."""
    @size.setter
    def size(self, value: _Point) -> None: ...
    rotation: float
    """Rotation around the center (degrees)."""

@disjoint_base
class Circle(_PlanarStructure):
    """Circle, ellipse, ring or sector."""
    def __init__(
        self,
        radius: float | _Point,
        center: _Point = (0, 0),
        inner_radius: float | _Point | None = None,
        sector: _Point = (0, 0),
        rotation: float = 0,
        min_evals: int = 0,
    ) -> None: ...
    @property
    def radius(self) -> NDArray[numpy.float64]:
        """Outer semi-axes."""
    @radius.setter
    def radius(self, value: float | _Point) -> None: ...
    @property
    def inner_radius(self) -> NDArray[numpy.float64]:
        """Inner semi-axes; (0, 0) means no hole."""
    @inner_radius.setter
    def inner_radius(self, value: float | _Point) -> None: ...
    @property
    def center(self) -> NDArray[numpy.float64]:
        """Circle center."""
    @center.setter
    def center(self, value: _Point) -> None: ...
    @property
    def sector(self) -> NDArray[numpy.float64]:
        """Start and end angles (degrees); equal values make a full shape."""
    @sector.setter
    def sector(self, value: _Point) -> None: ...
    rotation: float
    """Rotation of the main axis (degrees)."""
    min_evals: int
    """Minimal number of points used to discretize the curves."""

@disjoint_base
class Polygon(_PlanarStructure):
    """Polygon with holes."""
    def __init__(self, vertices: ArrayLike, holes: Sequence[ArrayLike] | None = None) -> None: ...
    def remove_collinear(self) -> Self:
        """Remove vertices that lie on the line through their neighbours."""
    def fillet(self, radius: float | Sequence[float]) -> Self:
        """Round the polygon corners with arcs of the radius."""
    @property
    def vertices(self) -> NDArray[numpy.float64]:
        """Exterior vertices (read-only)."""
    @property
    def holes(self) -> list[NDArray[numpy.float64]]:
        """Vertices of the holes (read-only)."""

# Width or offset along a path section: a final value, (value, 'constant'),
# ([start,] end, 'linear' | 'smooth'), (value, derivative) expressions in 'u', or an Expression.
_PathProfile: TypeAlias = (
    float
    | tuple[float, Literal["constant", "linear", "smooth"]]
    | tuple[float, float, Literal["linear", "smooth"]]
    | tuple[str, str]
    | Expression
)
_PathOutput: TypeAlias = Literal["position", "width", "offset", "gradient"]

@disjoint_base
class Path(_PlanarStructure):
    """Ribbon along a spine of straight and curved sections."""
    def __init__(
        self,
        origin: _Point,
        width: float,
        offset: float = 0,
        caps: tuple[float | Literal["round"], float | Literal["round"]] = (0, 0),
        scale_profile: bool = True,
    ) -> None: ...
    def segment(
        self,
        endpoint: _Point | Sequence[_Point],
        width: _PathProfile | None = None,
        offset: _PathProfile | None = None,
        join_limit: float | Literal["round"] = -1.0,
        relative: bool = False,
        min_evals: int = 10000,
        max_evals: int = 10000,
    ) -> Self:
        """Append straight sections through one or more points."""
    def arc(
        self,
        initial_angle: float,
        final_angle: float,
        radius: float | _Point | None = None,
        rotation: float = 0,
        euler_fraction: float | None = None,
        endpoint: _Point | None = None,
        width: _PathProfile | None = None,
        offset: _PathProfile | None = None,
        min_evals: int = 0,
        max_evals: int = 10000,
    ) -> Self:
        """Append a circular, elliptical or partial Euler arc."""
    def turn(
        self,
        angle: float,
        radius: float | None = None,
        euler_fraction: float | None = None,
        endpoint: _Point | None = None,
        width: _PathProfile | None = None,
        offset: _PathProfile | None = None,
        min_evals: int = 0,
        max_evals: int = 10000,
    ) -> Self:
        """Append a bend turning by an angle (degrees)."""
    def s_bend(
        self,
        endpoint: _Point,
        euler_fraction: float | None = None,
        direction: _Point | None = None,
        width: _PathProfile | None = None,
        offset: _PathProfile | None = None,
        relative: bool = False,
        min_evals: int = 0,
        max_evals: int = 10000,
    ) -> Self:
        """Append an S bend reaching endpoint."""
    def bezier(
        self,
        controls: Sequence[_Point],
        width: _PathProfile | None = None,
        offset: _PathProfile | None = None,
        relative: bool = False,
        min_evals: int = 0,
        max_evals: int = 10000,
    ) -> Self:
        """Append a Bézier curve."""
    def parametric(
        self,
        position: tuple[str, str] | Expression,
        gradient: tuple[str, str] | None = None,
        width: _PathProfile | None = None,
        offset: _PathProfile | None = None,
        relative: bool = True,
        min_evals: int = 0,
        max_evals: int = 10000,
    ) -> Self:
        """Append a curve given by expressions in 'u'."""
    def spine(self) -> NDArray[numpy.float64]:
        """Sampled spine points."""
    def center(self) -> NDArray[numpy.float64]:
        """Sampled center points (spine moved by the offset)."""
    def left_vertices(self) -> NDArray[numpy.float64]:
        """Sampled left boundary."""
    def right_vertices(self) -> NDArray[numpy.float64]:
        """Sampled right boundary."""
    @overload
    def at(
        self, u: float, output: Literal["all"] = "all"
    ) -> tuple[NDArray[numpy.float64], float, float, NDArray[numpy.float64]]:
        """Position, width, offset and gradient at a path parameter."""
    @overload
    def at(self, u: float, output: Literal["position", "gradient"]) -> NDArray[numpy.float64]: ...
    @overload
    def at(self, u: float, output: Literal["width", "offset"]) -> float: ...
    def length(self, include_offset: bool = True) -> float:
        """Length of the sampled center line (or spine)."""
    @overload
    def interpolate(
        self, distances: float | ArrayLike, include_offset: bool = True, output: Literal["all"] = "all"
    ) -> tuple[Any, Any, Any, Any]:
        """Positions, widths, offsets and unit gradients at distances along the path."""
    @overload
    def interpolate(
        self, distances: float | ArrayLike, include_offset: bool = True, *, output: _PathOutput
    ) -> Any: ...
    def updated_copy(
        self,
        width: _PathProfile,
        offset: _PathProfile = 0,
        constant_width: bool = False,
        constant_offset: bool = False,
        relative: bool = False,
    ) -> Path:
        """A copy with the same spine and a new width and offset."""
    @property
    def origin(self) -> NDArray[numpy.float64]:
        """Start point of the path."""
    @origin.setter
    def origin(self, value: _Point) -> None: ...
    caps: tuple[float | Literal["round"], float | Literal["round"]]
    """Start and end caps (extension fraction or 'round')."""
    scale_profile: bool
    """Whether width and offset scale with the path."""
    @property
    def size(self) -> int:
        """Number of sections."""

@disjoint_base
class Label(_Transformable):
    """Text label."""
    def __init__(
        self,
        text: str = "",
        origin: _Point = (0, 0),
        anchor: _Anchor = "NW",
        rotation: float = 0,
        scaling: float = 1,
        x_reflection: bool = False,
    ) -> None: ...
    text: str
    """Label text."""
    @property
    def origin(self) -> NDArray[numpy.float64]:
        """Label origin."""
    @origin.setter
    def origin(self, value: _Point) -> None: ...
    anchor: _Anchor
    """Text anchor, one of 'NW', 'N', 'NE', 'W', 'O', 'E', 'SW', 'S', 'SE'."""
    rotation: float
    """Text rotation (degrees)."""
    scaling: float
    """Text magnification."""
    x_reflection: bool
    """Mirror across the x axis."""

_Anchor: TypeAlias = Literal["NW", "N", "NE", "W", "O", "E", "SW", "S", "SE"]

# ---------------------------------------------------------------------------------------------
# Module functions

def basic_technology(
    *,
    core_medium: Any = None,
    clad_medium: Any = None,
    trench_medium: Any = None,
    metal_medium: Any = None,
    top_medium: Any = None,
    substrate_medium: Any = None,
    core_thickness: float = 0.22,
    slab_thickness: float = 0.07,
    metal_thickness: float = 0.5,
    metal_separation: float = 1.5,
    clad_thickness: float = 1.5,
    box_thickness: float = 2.0,
    port_z_gap: float = 1.0,
    core_layer: _Layer = (2, 0),
    slab_layer: _Layer = (3, 0),
    clad_layer: _Layer = (1, 0),
    trench_layer: _Layer = (4, 0),
    metal_layer: _Layer = (5, 0),
    strip_width: float = 0.5,
    rib_width: float = 0.4,
    clad_width: float = 1.0,
    cpw_width: float = 3.6,
    cpw_gap: float = 1.0,
    min_metal_width: float = 2.0,
    min_metal_spacing: float = 1.0,
    mask_dilation: float = 0,
    sidewall_angle: float = 0,
    core_fill: bool = False,
    core_thickness_stdev: float = 0.002,
    slab_thickness_stdev: float = 0.005,
    clad_thickness_stdev: float = 0.05,
    box_thickness_stdev: float = 0.05,
    mask_dilation_stdev: float = 0.005,
    sidewall_angle_stdev: float = 2,
) -> Technology:
    """Example silicon-photonics technology: strip and rib waveguides, a metal layer with a coplanar line and facet trenches."""

def boolean(operand1: _Shapes, operand2: _Shapes, operation: Literal["+", "*", "-", "^"]) -> list[Polygon]:
    """Boolean operation ('+', '*', '-' or '^') between two sets of shapes."""

def offset(
    operand: _Shapes,
    distance: float,
    round_joins: bool = False,
    trim_x_min: bool = False,
    trim_x_max: bool = False,
    trim_y_min: bool = False,
    trim_y_max: bool = False,
) -> list[Polygon]:
    """Dilate (positive distance) or erode shapes."""

def envelope(
    operand: _Shapes,
    offset: float = 0,
    trim_x_min: bool = False,
    trim_x_max: bool = False,
    trim_y_min: bool = False,
    trim_y_max: bool = False,
    round_joins: bool = False,
    use_box: bool = False,
) -> Polygon:
    """Convex hull or bounding box of shapes, optionally dilated."""

def heal(operand: _Shapes, feature_size: float) -> list[Polygon]:
    """Remove features smaller than feature_size."""

def intersects(operand1: _Shapes, operand2: _Shapes) -> bool:
    """True when the two sets of shapes share any point."""

@overload
def snap_to_grid(value: float, grid: float | None = None, multiple: int = 1) -> float:
    """Snap a value or coordinates to the grid."""
@overload
def snap_to_grid(value: ArrayLike, grid: float | None = None, multiple: int = 1) -> NDArray[numpy.float64]: ...
@overload
def grid_ceil(value: float, grid: float | None = None, multiple: int = 1) -> float:
    """Snap towards plus infinity."""
@overload
def grid_ceil(value: ArrayLike, grid: float | None = None, multiple: int = 1) -> NDArray[numpy.float64]: ...
@overload
def grid_floor(value: float, grid: float | None = None, multiple: int = 1) -> float:
    """Snap towards minus infinity."""
@overload
def grid_floor(value: ArrayLike, grid: float | None = None, multiple: int = 1) -> NDArray[numpy.float64]: ...
def s_bend_length(offset: float, radius: float | None = None, meander: bool = True) -> float:
    """Shortest length of an S bend."""

def frequency_classification(frequencies: ArrayLike) -> Literal["electrical", "optical"]:
    """'electrical' when any frequency is below 6 THz, else 'optical'."""

def find_top_level(*components: Component) -> list[Component]:
    """The given components that are not a dependency of another given one."""

def set_unique_names(*components: Component) -> list[Component]:
    """Rename the components and their dependencies so that names are non-empty and unique; returns the renamed ones."""

def write_layout(
    filename: str | os.PathLike[str],
    *components: Component,
    paths_to_polygons: bool = True,
    compression_level: int = 9,
    fracture_limit: int = 0,
    library_name: str = "LIBRARY",
    library_properties: Properties | None = None,
    pre_export_function: Callable[[Component], object] | None = None,
) -> None:
    """Write the components and their dependencies to a GDSII file, or an OASIS file for names ending in '.oas' or '.oasis'."""

@overload
def load_layout(
    filename: str | os.PathLike[str],
    technology: Technology | None = None,
    layers: Sequence[_Layer] | None = None,
    cell_names: Sequence[str] | None = None,
    library_properties: Literal[False] = False,
    post_load_function: Callable[[Component], object] | None = None,
    compact: bool | Literal["auto"] = "auto",
    temp_dir: str | os.PathLike[str] | None = None,
) -> dict[str, Component]:
    """Load a GDSII or OASIS file (recognised by its content) as a dict from cell name to Component; with library_properties also the library's Properties."""
@overload
def load_layout(
    filename: str | os.PathLike[str],
    technology: Technology | None = None,
    layers: Sequence[_Layer] | None = None,
    cell_names: Sequence[str] | None = None,
    *,
    library_properties: Literal[True],
    post_load_function: Callable[[Component], object] | None = None,
    compact: bool | Literal["auto"] = "auto",
    temp_dir: str | os.PathLike[str] | None = None,
) -> tuple[dict[str, Component], Properties]: ...
def write_twf(filename: str | os.PathLike[str], *args: Any) -> None:
    """Write the arguments to a twf file as explicit objects."""

def load_twf(filename: str | os.PathLike[str], only_explicit: bool = True, set_config: bool = True) -> dict[str, list[Any]]:
    """Load the components and technologies of a twf file: {'components': [...], 'technologies': [...]}."""

def load_full_twf(filename: str | os.PathLike[str], set_config: bool = True) -> tuple[Any, ...]:
    """Every explicit object of a twf file, of any type, in the order written."""

def load_snp(filename: str | os.PathLike[str]) -> tuple[NDArray[numpy.complex128], NDArray[numpy.float64]]:
    """Read a Touchstone file: (S array of shape (F, N, N), frequencies in Hz)."""

def fenn3d_structures_from_layout(
    filename: str | os.PathLike[str],
    technology: Technology | None = None,
    cell_name: str | None = None,
    classification: Literal["optical", "electrical"] = "optical",
) -> list[Any]:
    """Load a GDSII or OASIS cell, extrude it and return the solver structures of its solids."""

def register_model_class(*model_classes: type[Model]) -> None:
    """Register Model subclasses by their __name__, so that stored models can be rebuilt."""

def register_time_stepper_class(*time_stepper_classes: type[TimeStepper]) -> None:
    """Register TimeStepper subclasses by their __name__, so that stored steppers can be rebuilt."""

def s_matrix(
    component: Component,
    frequencies: ArrayLike,
    *variables: Any,
    show_progress: bool = True,
    random_samples: int = 0,
    corner_samples: int = 0,
    corner_coverage: float = 0.95,
    random_seed: int | None = None,
    parallel_jobs: int = 0,
    chain_technology_updates: bool = True,
    chain_component_updates: bool = True,
    component_args: Sequence[Any] = (),
    component_kwargs: Mapping[str, Any] = {},
    model_kwargs: Mapping[str, Any] = {},
    callback_fn: Callable[[Component, list[Any]], object] | None = None,
) -> tuple[list[Any], list[SMatrix]]:
    """S matrices of a component over variations of its parameters: returns (variables in update order, list of S matrices)."""

def pole_residue_fit(
    s_matrix: SMatrix,
    initial_poles: ArrayLike = (),
    min_poles: int = 0,
    max_poles: int = 30,
    loss_factor: float = 1e-3,
    rms_error_tolerance: float = 1e-4,
    max_iterations: int = 100,
    max_stale_iterations: int = 3,
    real: bool = False,
    passive: bool = True,
    feedthrough: bool = False,
    delays: float | Literal["auto"] | Mapping[tuple[str, str], float] = 0,
    stable: bool = True,
    silence_warnings: bool = False,
) -> tuple[PoleResidueMatrix, float]:
    """Fit a PoleResidueMatrix to the S matrix by relaxed vector fitting with shared poles; returns (model, RMS error)."""

def s_to_y_matrix(s_matrix: SMatrix, impedances: float | Mapping[str, float] = 50.0) -> YMatrix:
    """Y matrix of an S matrix with single-mode ports at reference impedances."""

def s_to_z_matrix(s_matrix: SMatrix, impedances: float | Mapping[str, float] = 50.0) -> ZMatrix:
    """Z matrix of an S matrix with single-mode ports at reference impedances."""

def y_to_s_matrix(y_matrix: YMatrix, impedances: float | Mapping[str, float] = 50.0) -> SMatrix:
    """S matrix of a Y matrix at reference impedances."""

def y_to_z_matrix(y_matrix: YMatrix) -> ZMatrix:
    """Z matrix as the inverse of a Y matrix at each frequency."""

def z_to_s_matrix(z_matrix: ZMatrix, impedances: float | Mapping[str, float] = 50.0) -> SMatrix:
    """S matrix of a Z matrix at reference impedances: one number for all terminals or a dict by terminal name."""

def z_to_y_matrix(z_matrix: ZMatrix) -> YMatrix:
    """Y matrix as the inverse of a Z matrix at each frequency."""

def drc_check(
    source: Component | str | os.PathLike[str],
    rules: str | os.PathLike[str],
    *,
    engine: Literal["klayout", "calibre"] | None = None,
    args: Mapping[str, Any] | None = None,
    variable_names: Mapping[str, str] | None = None,
    results_file: str | os.PathLike[str] | None = None,
    max_results: int | None = None,
    timeout: float | None = None,
    pre_export_function: Callable[[Component], object] | None = None,
    top_level: str | None = None,
    show_progress: bool = True,
) -> Any:
    """Run a design rule check of a component or of a GDSII or OASIS file with KLayout or Calibre; returns a tarnwhistle.verification.DRCResults."""

def load_drc_results(
    path: str | os.PathLike[str],
    *,
    engine: Literal["klayout", "calibre"] | None = None,
    max_results: int | None = None,
    timeout: float | None = None,
    show_progress: bool = True,
) -> Any:
    """Read a DRC results database written earlier."""

def lvs_check(
    source: Component | str | os.PathLike[str],
    rules: str | os.PathLike[str],
    *,
    schematic: Component | str | os.PathLike[str] | None = None,
    engine: Literal["klayout"] | None = None,
    args: Mapping[str, Any] | None = None,
    variable_names: Mapping[str, str] | None = None,
    results_file: str | os.PathLike[str] | None = None,
    load_shapes: bool = True,
    timeout: float | None = None,
    pre_export_function: Callable[[Component], object] | None = None,
    show_progress: bool = True,
) -> Any:
    """Compare the layout of a component or of a layout file with a schematic; returns a tarnwhistle.verification.LVSResults."""

def load_lvs_results(
    path: str | os.PathLike[str],
    *,
    engine: Literal["klayout"] | None = None,
    load_shapes: bool = True,
    timeout: float | None = None,
    show_progress: bool = True,
) -> Any:
    """Read a KLayout LVS database written earlier (only KLayout reads these)."""

# ---------------------------------------------------------------------------------------------
# Internal helpers the package and its examples use

_component_registry: dict[str, Callable[..., Component]]
"""Parametric component functions by registered name."""
_model_registry: dict[str, type[Model]]
"""Model classes by registered name."""
_time_stepper_registry: dict[str, type[TimeStepper]]
"""Time stepper classes by registered name."""
_technology_registry: dict[str, Callable[..., Technology]]
"""Parametric technology functions by registered name."""

def _connect_s_matrices(
    s_dict: Mapping[tuple[tuple[int, str], tuple[int, str]], ArrayLike],
    connections: Sequence[Any],
    num_instances: int,
) -> dict[tuple[tuple[int, str], tuple[int, str]], NDArray[numpy.complex128]]:
    """Join instance S matrices at the connected ports; returns the elements between the remaining port-modes."""

def _prbs7(state: int) -> int:
    """Next state of the 7-bit pseudo-random bit sequence register."""

def _prbs15(state: int) -> int:
    """Next state of the 15-bit pseudo-random bit sequence register."""

def _prbs31(state: int) -> int:
    """Next state of the 31-bit pseudo-random bit sequence register."""

def _find_klayout() -> str:
    """The KLayout executable the checks run."""

def _find_calibre() -> str:
    """The Calibre executable the checks run."""

def _klayout_version(executable: str) -> str:
    """The version text of a KLayout executable, such as '0.30.12'."""
