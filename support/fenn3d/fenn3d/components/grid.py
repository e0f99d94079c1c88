"""Simulation grid specifications."""

from .base import Fenn3dBaseModel


class GridSpec(Fenn3dBaseModel):
    """Grid along the three axes."""

    @classmethod
    def auto(cls, **kwargs):
        """Grid sized automatically from `wavelength`, `min_steps_per_wvl` and the media."""
        return cls(kind="auto", **kwargs)


class LayerRefinementSpec(Fenn3dBaseModel):
    """Grid refinement of a planar layer."""

    @classmethod
    def from_layer_bounds(cls, axis, bounds, **kwargs):
        """Refinement of the layer between `bounds` (lower, upper) along `axis`."""
        lower, upper = bounds
        if lower > upper:
            raise ValueError("'bounds' must be ordered (lower, upper).")
        return cls(axis=axis, bounds=(lower, upper), **kwargs)


class CornerFinderSpec(Fenn3dBaseModel):
    """Detection of polygon corners that need a finer grid."""


class GridRefinement(Fenn3dBaseModel):
    """Local grid refinement settings."""


class MeshOverrideStructure(Fenn3dBaseModel):
    """Region whose grid steps are imposed (`geometry`, `dl`)."""
