"""Structures, sources, monitors, boundaries and the simulation itself."""

from .base import Fenn3dBaseModel


class Structure(Fenn3dBaseModel):
    """A `geometry` filled with a `medium`."""


class Simulation(Fenn3dBaseModel):
    """Simulation domain (`center`, `size`) with its structures, sources and monitors."""


class Periodic(Fenn3dBaseModel):
    """Periodic boundary condition."""


class BoundarySpec(Fenn3dBaseModel):
    """Boundary conditions on the six sides (`x`, `y`, `z`)."""

    @classmethod
    def all_sides(cls, boundary):
        return cls(x=boundary, y=boundary, z=boundary)


class ModeSortSpec(Fenn3dBaseModel):
    """Filtering and ordering of solved modes."""


class ModeSpec(Fenn3dBaseModel):
    """Mode solver settings (`num_modes`, `target_neff`, bend and angle parameters)."""


class GaussianPulse(Fenn3dBaseModel):
    """Source time dependence: a Gaussian pulse of central frequency `freq0` and spectral
    width `fwidth` (Hz)."""

    @classmethod
    def from_frequency_range(cls, fmin, fmax, **kwargs):
        """Pulse whose spectrum covers [fmin, fmax]."""
        if not 0 < fmin <= fmax:
            raise ValueError("Frequency range must satisfy 0 < fmin <= fmax.")
        return cls(freq0=0.5 * (fmin + fmax), fwidth=0.5 * (fmax - fmin), **kwargs)


class ModeSource(Fenn3dBaseModel):
    """Source injecting a solved mode of the plane (`center`, `size`)."""


class GaussianBeam(Fenn3dBaseModel):
    """Source injecting a Gaussian beam."""


class ModeMonitor(Fenn3dBaseModel):
    """Monitor of the mode amplitudes through a plane."""


class GaussianOverlapMonitor(Fenn3dBaseModel):
    """Monitor of the overlap with a Gaussian beam."""
