"""Voltage and current integrals and the impedance computed from them."""

from .base import Fenn3dBaseModel


class AxisAlignedVoltageIntegral(Fenn3dBaseModel):
    """Voltage along a straight path (`center`, `size` with one non-zero extent)."""


class AxisAlignedCurrentIntegral(Fenn3dBaseModel):
    """Current through the rectangular contour (`center`, `size`)."""


class Custom2DVoltageIntegral(Fenn3dBaseModel):
    """Voltage along a polyline in the plane at `position` normal to `axis`."""


class Custom2DCurrentIntegral(Fenn3dBaseModel):
    """Current through a closed polyline in the plane at `position` normal to `axis`."""


class ImpedanceCalculator(Fenn3dBaseModel):
    """Line impedance from a `voltage_integral` and a `current_integral`."""
