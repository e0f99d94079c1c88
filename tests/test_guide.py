"""The user's guide runs as written: each section's ```python blocks execute in order in a fresh
namespace, and the pictures it shows are the library's current drawings of the objects they name.

Run this file as a script to redraw the pictures after a change:
`PYTHONPATH=<build>/python python tests/test_guide.py`."""

import contextlib
import os
import pathlib
import re
import sys
import warnings

import pytest

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
GUIDE = DOCS / "guide.md"

# A picture is an image of docs/guide/ preceded by a comment naming the variable it draws.
PICTURE = re.compile(r"<!-- picture: (\w+) -->\s*\n!\[[^\]]*\]\((guide/[\w-]+\.svg)\)")
BLOCK = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)


def sections():
    """(title, code blocks, pictures as (variable, path)) of each section with code."""
    parts = re.split(r"^## (.+)$", GUIDE.read_text(encoding="utf-8"), flags=re.MULTILINE)
    found = []
    for title, body in zip(parts[1::2], parts[2::2]):
        blocks = BLOCK.findall(body)
        if blocks:
            found.append((title.strip(), blocks, PICTURE.findall(body)))
    return found


# The settings a section may change, at their defaults: each section starts from these (and the
# basic technology as default), whatever earlier tests or sections left behind.
DEFAULTS = {"grid": 0.001, "tolerance": 0.005, "svg_reference_depth": -1, "svg_label_scaling": -1.0,
            "svg_reference_names": False, "svg_reference_ports": False,
            "svg_reference_port_names": False, "svg_reference_labels": False, "svg_ports": True,
            "svg_port_names": True, "svg_labels": True, "svg_virtual_connections": True}

# Sections register their parametric functions by name; the registries are restored too.
REGISTRIES = ("_component_registry", "_model_registry", "_time_stepper_registry",
              "_technology_registry")


@contextlib.contextmanager
def isolated(folder):
    """Runs in `folder` from the default settings; the previous settings and registries are
    restored afterwards."""
    import tarnwhistle as tw

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # reading an unset default technology warns
        saved = {name: getattr(tw.config, name) for name in [*DEFAULTS, "default_technology"]}
    registries = [getattr(tw.extension, name) for name in REGISTRIES]
    saved_registries = [dict(registry) for registry in registries]
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        for name, value in DEFAULTS.items():
            setattr(tw.config, name, value)
        tw.config.default_technology = tw.basic_technology()
        yield
    finally:
        os.chdir(cwd)
        for name, value in saved.items():
            setattr(tw.config, name, value)
        for registry, entries in zip(registries, saved_registries):
            registry.clear()
            registry.update(entries)


def page_ids_from_one(svg):
    """The drawing with its component ids numbered from C1 in order of appearance: the library
    numbers components across the whole process, so the raw ids depend on what was drawn
    before."""
    numbers = {}
    return re.sub(r'(?<=["#])C(\d+)(?=[-"])',
                  lambda m: "C" + str(numbers.setdefault(m.group(1), len(numbers) + 1)), svg)


def run_section(title, blocks, pictures, folder):
    """Executes the blocks and returns the drawings of the section's pictures by path."""
    namespace = {"__name__": "__guide__"}
    with isolated(folder):
        for index, block in enumerate(blocks):
            code = compile(block, f"<guide: {title}, block {index + 1}>", "exec")
            exec(code, namespace)
        return {path: page_ids_from_one(namespace[variable]._repr_svg_()) for variable, path in pictures}


SECTIONS = sections()


def test_guide_has_every_topic():
    titles = [title for title, _, _ in SECTIONS]
    assert titles == ["Set-up", "Shapes and paths", "Technology and ports", "Hierarchy",
                      "GDSII, OASIS and KLayout", "Circuit models and S matrices", "Monte Carlo",
                      "Time-domain stepping", "Extrusion", "DRC", "Notebook display"]
    # No block escapes the run (outside a section, or with a fence the pattern misses), every
    # image of the guide is drawn by a section, and the README links the guide.
    text = GUIDE.read_text(encoding="utf-8")
    assert text.count("```python") == sum(len(blocks) for _, blocks, _ in SECTIONS)
    images = re.findall(r"!\[[^\]]*\]\((guide/[^)]+)\)", text)
    assert sorted(images) == sorted(path for _, _, pictures in SECTIONS for _, path in pictures)
    assert "(docs/guide.md)" in (DOCS.parent / "README.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("title, blocks, pictures", SECTIONS, ids=[s[0] for s in SECTIONS])
def test_guide_section(title, blocks, pictures, tmp_path, capsys):
    drawings = run_section(title, blocks, pictures, tmp_path)
    assert capsys.readouterr().out, "every section shows its results"
    for path, svg in drawings.items():
        committed = (DOCS / path).read_text(encoding="utf-8")
        assert svg == committed, f"docs/{path} is out of date: run tests/test_guide.py as a script"


def write_pictures():
    import tempfile

    for title, blocks, pictures in SECTIONS:
        with tempfile.TemporaryDirectory() as folder:
            for path, svg in run_section(title, blocks, pictures, folder).items():
                (DOCS / path).parent.mkdir(exist_ok=True)
                (DOCS / path).write_text(svg, encoding="utf-8")
                print("drew", DOCS / path, file=sys.stderr)


if __name__ == "__main__":
    write_pictures()
