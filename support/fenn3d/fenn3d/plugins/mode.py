"""Mode solver front end."""

from ..components.base import Fenn3dBaseModel


class ModeSolver(Fenn3dBaseModel):
    """Modes of the `plane` of a `simulation` for a `mode_spec` at `freqs`.

    This stand-in records the problem only; it solves nothing.
    """
