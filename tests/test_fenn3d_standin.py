import collections.abc
import copy
import importlib
import pickle

import numpy as np
import pytest

fenn3d = pytest.importorskip("fenn3d")

C_0 = 2.99792458e14  # um/s
F_1550 = C_0 / 1.55

TOP_LEVEL = [
    "Box", "Cylinder", "PolySlab", "TriangleMesh", "GeometryGroup", "ClipOperation", "Transformed",
    "MeshOverrideStructure", "GridSpec", "LayerRefinementSpec", "CornerFinderSpec",
    "GridRefinement", "ModeSpec", "ModeSortSpec", "Structure", "Simulation", "ModeMonitor",
    "GaussianOverlapMonitor", "ModeSource", "GaussianBeam", "GaussianPulse", "Medium",
    "LossyMetalMedium", "PEC", "BoundarySpec", "Periodic", "AxisAlignedVoltageIntegral",
    "AxisAlignedCurrentIntegral", "Custom2DVoltageIntegral", "Custom2DCurrentIntegral",
    "ImpedanceCalculator",
]


def test_names_taken_by_the_extension():
    base = importlib.import_module("fenn3d.components.base").Fenn3dBaseModel
    polyslab = importlib.import_module("fenn3d.components.geometry.polyslab")
    assert issubclass(polyslab.ComplexPolySlabBase, fenn3d.PolySlab)
    assert issubclass(importlib.import_module("fenn3d.plugins.mode").ModeSolver, base)
    assert fenn3d.config.logging.name == "fenn3d"
    for name in TOP_LEVEL:
        obj = getattr(fenn3d, name)
        assert isinstance(obj, base) or issubclass(obj, base), name
    for owner, method in [("GridSpec", "auto"), ("LayerRefinementSpec", "from_layer_bounds"),
                          ("GaussianPulse", "from_frequency_range"), ("BoundarySpec", "all_sides")]:
        assert callable(getattr(getattr(fenn3d, owner), method))
    assert isinstance(fenn3d.material_library, collections.abc.Mapping)


@pytest.mark.parametrize("material, variant, wavelength, index, tolerance", [
    ("Si", "Li1993_293K", 1.55, 3.476, 3e-3),
    ("SiO2", "Palik_LowLoss", 1.55, 1.4440, 2e-4),
    ("SiO2", "Palik_LowLoss", 1.31, 1.4468, 2e-4),
])
def test_dielectric_indices(material, variant, wavelength, index, tolerance):
    medium = fenn3d.material_library[material][variant]
    eps = medium.eps_diagonal_numerical(C_0 / wavelength)
    assert eps.shape == (3,)
    assert np.all(eps == eps[0]) and eps[0].imag == 0
    assert np.sqrt(eps[0].real) == pytest.approx(index, abs=tolerance)


def test_copper_and_array_frequencies():
    copper = fenn3d.material_library["Cu"]["JohnsonChristy1972"]
    eps = copper.eps_diagonal_numerical(np.array([F_1550, F_1550 / 2]))
    assert eps.shape == (3, 2)
    assert eps[0, 0] == pytest.approx(-116 + 11.4j, rel=1e-2)
    # A Drude metal grows more negative and lossier towards lower frequencies.
    assert eps[0, 1].real < eps[0, 0].real and eps[0, 1].imag > eps[0, 0].imag


def test_constant_medium_and_pec():
    epsilon_0 = pytest.importorskip("scipy.constants").epsilon_0 * 1e-6  # F/um
    medium = fenn3d.Medium(permittivity=4.2, conductivity=0.5)
    frequencies = np.array([1e9, 1e10])
    eps = medium.eps_diagonal_numerical(frequencies)
    np.testing.assert_allclose(eps[1], 4.2 + 0.5j / (2 * np.pi * frequencies * epsilon_0))
    np.testing.assert_array_equal(fenn3d.Medium(permittivity=2).eps_diagonal_numerical(1e14), 2)
    np.testing.assert_array_equal(fenn3d.PEC.eps_diagonal_numerical(1e9), 1)


def test_records_compare_by_type_and_keywords():
    slab = fenn3d.PolySlab(vertices=[(0, 0), (1, 0), (0, 1)], slab_bounds=(0, 0.2), axis=2)
    assert slab == copy.deepcopy(slab) == pickle.loads(pickle.dumps(slab))
    assert hash(slab) == hash(slab.copy())
    assert slab != slab.copy(update={"axis": 1})
    assert fenn3d.Medium() == fenn3d.Medium(permittivity=1.0, conductivity=0, name=None)
    assert fenn3d.Box(center=(0, 0, 0)) != fenn3d.Structure(center=(0, 0, 0))
    assert repr(fenn3d.Box(size=(1, 2, 3))) == "Box(size=(1, 2, 3))"
    with pytest.raises(AttributeError, match="immutable"):
        slab.axis = 0


def test_alternate_constructors():
    pulse = fenn3d.GaussianPulse.from_frequency_range(1e14, 3e14)
    assert (pulse.freq0, pulse.fwidth) == (2e14, 1e14)
    boundary = fenn3d.BoundarySpec.all_sides(fenn3d.Periodic())
    assert boundary.x == boundary.y == boundary.z == fenn3d.Periodic()
    layer = fenn3d.LayerRefinementSpec.from_layer_bounds(axis=2, bounds=[0, 0.22])
    assert layer.bounds == (0, 0.22)
    assert fenn3d.GridSpec.auto(wavelength=1.55).wavelength == 1.55


def test_invalid_geometry_is_rejected():
    triangle = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]
    assert fenn3d.TriangleMesh.from_triangles([triangle]).triangles.shape == (1, 3, 3)
    with pytest.raises(ValueError, match="degenerate"):
        fenn3d.TriangleMesh.from_triangles([triangle, [[0, 0, 0], [1, 0, 0], [2, 0, 0]]])
    with pytest.raises(ValueError, match="shape"):
        fenn3d.PolySlab(vertices=[(0, 0), (1, 0)])
    with pytest.raises(ValueError, match="'operation'"):
        fenn3d.ClipOperation(operation="xor", geometry_a=None, geometry_b=None)
