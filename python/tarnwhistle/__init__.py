"""Design, simulation and verification of optical components."""

from . import extension
from .extension import *  # noqa: F401,F403 -- the compiled module is the public interface
from .extension import __version__, config  # noqa: F401
