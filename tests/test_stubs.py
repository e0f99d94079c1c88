"""The shipped type stubs describe the compiled module as it is."""

import os
import pathlib
import subprocess
import sys

import pytest

import tarnwhistle

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Not resolved: a development tree links the sources beside the compiled module.
PACKAGE = pathlib.Path(tarnwhistle.__file__).absolute().parent


def run_tool(*args):
    """Run a mypy tool against the tarnwhistle package under test, wherever it was imported from."""
    env = dict(os.environ)
    package_root = str(PACKAGE.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    env["MYPYPATH"] = package_root
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True,
                          text=True)


def test_stubs_match_runtime():
    result = run_tool("mypy.stubtest", "tarnwhistle.extension",
                      "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_ship_with_package():
    assert (PACKAGE / "py.typed").exists()
    assert (PACKAGE / "extension.pyi").exists()
