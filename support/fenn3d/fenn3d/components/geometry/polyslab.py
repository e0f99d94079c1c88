"""Extruded polygons."""

import numpy as np

from .base import Geometry


class PolySlab(Geometry):
    """Polygon `vertices` (N x 2) extruded along `axis` between `slab_bounds`.

    A `sidewall_angle` tilts the side walls about the `reference_plane`; `dilation` offsets the
    polygon there.
    """

    def __init__(self, vertices, **kwargs):
        vertices = np.array(vertices, dtype=float)
        if vertices.ndim != 2 or vertices.shape[1] != 2 or len(vertices) < 3:
            raise ValueError("'vertices' must be an array of at least 3 points of shape (N, 2).")
        super().__init__(vertices=vertices, **kwargs)


class ComplexPolySlabBase(PolySlab):
    """Slab whose side walls change the polygon's topology along the extrusion (sloped walls
    that merge or split features); represented as a stack of simple slabs."""
