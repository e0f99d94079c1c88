"""Solid primitives and their combinations. Lengths are in micrometres."""

import numpy as np

from ..base import Fenn3dBaseModel


class Geometry(Fenn3dBaseModel):
    """Base of every geometry."""


class Box(Geometry):
    """Axis-aligned box given by `center` and `size`."""


class Cylinder(Geometry):
    """Cylinder or cone frustum along `axis` (`center`, `radius`, `length`, `sidewall_angle`)."""


class TriangleMesh(Geometry):
    """Closed surface given by an (N, 3, 3) array `triangles`."""

    @classmethod
    def from_triangles(cls, triangles, **kwargs):
        triangles = np.array(triangles, dtype=float)
        if triangles.ndim != 3 or triangles.shape[1:] != (3, 3) or len(triangles) == 0:
            raise ValueError("'triangles' must be a non-empty array of shape (N, 3, 3).")
        edges1 = triangles[:, 1] - triangles[:, 0]
        edges2 = triangles[:, 2] - triangles[:, 0]
        if np.any(np.linalg.norm(np.cross(edges1, edges2), axis=1) == 0):
            raise ValueError("Triangle mesh has degenerate (zero-area) faces.")
        return cls(triangles=triangles, **kwargs)


class GeometryGroup(Geometry):
    """Union of the geometries in `geometries`."""


class ClipOperation(Geometry):
    """Boolean `operation` between `geometry_a` and `geometry_b`."""

    OPERATIONS = ("union", "intersection", "difference", "symmetric_difference")

    def __init__(self, **kwargs):
        if kwargs.get("operation") not in self.OPERATIONS:
            raise ValueError(f"'operation' must be one of {', '.join(self.OPERATIONS)}.")
        super().__init__(**kwargs)


class Transformed(Geometry):
    """`geometry` under the 4x4 affine matrix `transform`."""
