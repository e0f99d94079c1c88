"""The examples run to the end and report what they claim."""

import os
import pathlib
import subprocess
import sys


EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(name, tmp_path):
    # The examples run in a scratch directory: search paths must not depend on the current one.
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, TMPDIR=str(tmp_path), PYTHONPATH=os.pathsep.join(paths))
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_circuit_example(tmp_path):
    out = run("circuit.py", tmp_path)
    assert "matches the product of the two waveguides: True" in out
    assert (tmp_path / "circuit.s2p").exists()


def test_monte_carlo_example(tmp_path):
    out = run("monte_carlo.py", tmp_path)
    assert "power conserved in every draw: True" in out and "gap restored: 0.2" in out


def test_time_domain_example(tmp_path):
    out = run("time_domain.py", tmp_path)
    assert "eye closes as the bandwidth shrinks: True" in out


def test_extrusion_example(tmp_path):
    out = run("extrusion.py", tmp_path)
    assert "lone waveguide core: Extruded with dilations (0.02187, 0.0)" in out
    assert "PLY header ok: True" in out
    assert list(tmp_path.glob("sloped_*.ply"))


def test_verification_example(tmp_path):
    # Without a supported KLayout on PATH the example says why it skipped the check.
    out = run("verification.py", tmp_path)
    rules = out.split("runset: ", 1)[1].splitlines()[0]
    text = pathlib.Path(rules).read_text()
    assert "input(2, 0)" in text and 'metal.width(2.0.um).output("METAL.width"' in text
    assert "KLayout check skipped:" in out or "DRC: " in out


def test_svg_example(tmp_path):
    import xml.etree.ElementTree as ElementTree

    out = run("svg.py", tmp_path)
    drawing = tmp_path / "demo.svg"
    assert f"FILTER_BANK drawn in {drawing}" in out
    root = ElementTree.parse(drawing).getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    names = {g.get("data-name") for g in root.iter("{http://www.w3.org/2000/svg}g")}
    assert {"FILTER_BANK", "RING"} <= names
