"""Monte Carlo sampling: random variables of parametric components, models and technologies.

Variables are passed to the module function ``s_matrix``, which draws their values at random
or at the corners of their distributions and computes one S matrix per draw.
"""

from .extension import RandomVariable, s_matrix

__all__ = ["RandomVariable", "s_matrix"]
