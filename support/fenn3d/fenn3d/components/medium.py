"""Optical and electrical media.

Frequencies are in Hz, conductivities in S/um. The time convention is exp(-i 2 pi f t), so
loss gives a positive imaginary permittivity.
"""

import numpy as np

from .base import Fenn3dBaseModel

C_0 = 2.99792458e14  # speed of light, um/s
EPSILON_0 = 8.8541878128e-18  # vacuum permittivity, F/um


class AbstractMedium(Fenn3dBaseModel):
    """Base of isotropic media; subclasses define `eps_model`."""

    def eps_model(self, frequency):
        """Complex relative permittivity at `frequency` (a float or an array of floats)."""
        raise NotImplementedError

    def eps_diagonal_numerical(self, frequencies):
        """Diagonal of the permittivity tensor.

        Returns a complex array of shape (3,) for a scalar frequency and (3, N) for N
        frequencies; the three entries (xx, yy, zz) are equal for these isotropic media.
        """
        eps = np.asarray(self.eps_model(np.asarray(frequencies, dtype=float)), dtype=complex)
        return np.stack([eps] * 3)


class Medium(AbstractMedium):
    """Non-dispersive medium with a real `permittivity` and a `conductivity` in S/um."""

    def __init__(self, permittivity=1.0, conductivity=0.0, name=None, **kwargs):
        super().__init__(permittivity=float(permittivity), conductivity=float(conductivity),
                         name=name, **kwargs)

    def eps_model(self, frequency):
        if self.conductivity == 0:
            return self.permittivity + 0j * np.asarray(frequency)
        return self.permittivity + 1j * self.conductivity / (2 * np.pi * frequency * EPSILON_0)


class LossyMetalMedium(Medium):
    """Good conductor described by its `conductivity` (S/um); meant for surface-impedance
    treatment of metals at electrical frequencies."""

    def __init__(self, conductivity, name=None, **kwargs):
        super().__init__(conductivity=conductivity, name=name, **kwargs)


class Sellmeier(AbstractMedium):
    """Transparent dielectric: eps = 1 + sum(B l^2 / (l^2 - C)) for the pairs (B, C) in
    `coeffs`, with the vacuum wavelength l and C in um^2."""

    def __init__(self, coeffs, name=None, **kwargs):
        super().__init__(coeffs=tuple((float(b), float(c)) for b, c in coeffs), name=name,
                         **kwargs)

    def eps_model(self, frequency):
        # Written in C f^2 / C_0^2 = C / l^2 so that f = 0 gives the static value.
        ratio = np.asarray(frequency) ** 2 / C_0**2
        return 1 + sum(b / (1 - c * ratio) for b, c in self.coeffs) + 0j


class Drude(AbstractMedium):
    """Free-electron metal: eps = eps_inf - sum(fp^2 / (f^2 + i f gamma)) for the pairs
    (fp, gamma) in `coeffs`, both in Hz."""

    def __init__(self, coeffs, eps_inf=1.0, name=None, **kwargs):
        super().__init__(coeffs=tuple((float(fp), float(g)) for fp, g in coeffs),
                         eps_inf=float(eps_inf), name=name, **kwargs)

    def eps_model(self, frequency):
        f = np.asarray(frequency)
        return self.eps_inf - sum(fp**2 / (f * (f + 1j * g)) for fp, g in self.coeffs)


class PECMedium(AbstractMedium):
    """Perfect electric conductor.

    Its fields are imposed by boundary conditions, not by a permittivity, so it reports the
    vacuum value: effective-index estimates that take the largest permittivity of the media
    around a port then ignore it.
    """

    def eps_model(self, frequency):
        return 1 + 0j * np.asarray(frequency)


PEC = PECMedium()
