"""The examples run to the end and report what they claim."""

import os
import pathlib
import subprocess
import sys


EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(name, tmp_path):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_circuit_example(tmp_path):
    out = run("circuit.py", tmp_path)
    assert "matches the product of the two waveguides: True" in out
    assert (tmp_path / "circuit.s2p").exists()
