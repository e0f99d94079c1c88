"""Design, simulation and verification of optical components."""

from . import extension
from .extension import *  # noqa: F401,F403 -- the compiled module is the public interface
from .extension import __version__ as __version__, config as config  # noqa: F401
from ._fenn3d_store import _fenn3d_from_bytes, _fenn3d_to_bytes, _fenn3d_to_str  # noqa: F401
from .extension import (  # noqa: F401 -- re-exported for the verification helpers
    _find_calibre as _find_calibre,
    _find_klayout as _find_klayout,
    _klayout_version as _klayout_version,
)
