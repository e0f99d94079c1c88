"""Process runner and result containers of the design-rule and layout-versus-schematic checks."""

import subprocess
import sys
import time


def _run_process(argv, label, cwd=None, timeout=None, show_progress=True):
    """Run `argv` and return (exit code, combined stdout and stderr as text).

    Raises TimeoutError when the process runs longer than `timeout` seconds (it is killed).
    With `show_progress` the phase `label` and the elapsed time are written to stderr.
    """
    start = time.monotonic()
    if show_progress:
        print(f"{label}: running...", file=sys.stderr, flush=True)
    try:
        result = subprocess.run(argv, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        raise TimeoutError(f"{label} did not finish within {timeout} s.") from None
    if show_progress:
        print(f"{label}: done in {time.monotonic() - start:.1f} s.", file=sys.stderr, flush=True)
    return result.returncode, result.stdout


class _CheckResults:
    """Dump of an engine run with the engine's output and exit code."""

    def __init__(self, dump, log="", exit_code=0):
        self.dump = dump
        self.log = log
        self.exit_code = exit_code

    @classmethod
    def _from_dump(cls, dump, log, exit_code):
        return cls(dump, log, exit_code)

    def __repr__(self):
        return f"{type(self).__name__}(exit_code={self.exit_code})"


class DRCResults(_CheckResults):
    """Result of `drc_check` and `load_drc_results`."""


class LVSResults(_CheckResults):
    """Result of `lvs_check` and `load_lvs_results`."""
