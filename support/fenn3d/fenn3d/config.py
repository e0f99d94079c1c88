"""Package configuration."""

import logging as _logging

# The package's log channel; callers adjust its level to silence solver messages.
logging = _logging.getLogger("fenn3d")
