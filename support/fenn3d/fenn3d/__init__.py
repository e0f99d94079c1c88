"""Minimal stand-in of the fenn3d electromagnetic solver package.

It provides the object model that client code builds (geometry, media, specifications,
sources, monitors) as plain keyword records, and the media permittivities. It runs no solver.
"""

from . import config
from .components.geometry.base import (Box, ClipOperation, Cylinder, GeometryGroup,
                                       TriangleMesh, Transformed)
from .components.geometry.polyslab import PolySlab
from .components.grid import (CornerFinderSpec, GridRefinement, GridSpec, LayerRefinementSpec,
                              MeshOverrideStructure)
from .components.medium import PEC, Drude, LossyMetalMedium, Medium, PECMedium, Sellmeier
from .components.microwave import (AxisAlignedCurrentIntegral, AxisAlignedVoltageIntegral,
                                   Custom2DCurrentIntegral, Custom2DVoltageIntegral,
                                   ImpedanceCalculator)
from .components.simulation import (BoundarySpec, GaussianBeam, GaussianOverlapMonitor,
                                    GaussianPulse, ModeMonitor, ModeSortSpec, ModeSource,
                                    ModeSpec, Periodic, Simulation, Structure)
from .materials import material_library

__version__ = "0.1.0"
