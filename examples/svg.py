"""Draws a small circuit as an SVG file to open in a browser.

Notebooks show components with the same drawing (`_repr_svg_`). Usage: `python examples/svg.py
[file.svg]`; the file defaults to demo.svg in the current directory."""

import os
import sys

import tarnwhistle as tw

tw.config.default_technology = tw.basic_technology()

# A straight waveguide cell and a bend, as in examples/demo.py: core and cladding, two ports.
straight = tw.Component("STRAIGHT")
straight.add("WG_CORE", tw.Rectangle((0, -0.25), (10, 0.25)), "WG_CLAD", tw.Rectangle((0, -1.25), (10, 1.25)))
straight.add_port(tw.Port((0, 0), 0, "Strip"), "in")
straight.add_port(tw.Port((10, 0), 180, "Strip"), "out")
bend = tw.Component("BEND")
arc = tw.Path((0, 0), 0.5).turn(90, radius=5, euler_fraction=0)
bend.add("WG_CORE", arc, "WG_CLAD", tw.Path((0, 0), 2.5).turn(90, radius=5, euler_fraction=0))
bend.add_port(tw.Port((0, 0), 0, "Strip"), "in")
bend.add_port(tw.Port(arc.at(arc.size, output="position"), 270, "Strip"), "out")

# The circuit: straight, bend and straight joined port to port, an array of straights beside
# them, a metal heater on the second straight, a facet trench and a label.
circuit = tw.Component("CIRCUIT")
first = circuit.add_reference(tw.Reference(straight, (0, 0)))
turn = circuit.add_reference(tw.Reference(bend)).connect("in", first["out"])
second = circuit.add_reference(tw.Reference(straight)).connect("in", turn["out"])
circuit.add(tw.Reference(straight, (20, 0), columns=3, rows=4, spacing=(12, 5)))
circuit.add("METAL", tw.Rectangle((13, 8), (17, 13)),
            "TRENCH", tw.Rectangle((-3, -3), (-1, 3)),
            "WG_CORE", tw.Label("CIRCUIT", origin=(0, 20), anchor="NW"))
circuit.add_port(first["in"], "in")
circuit.add_port(second["out"], "out")

filename = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "demo.svg")
with open(filename, "w", encoding="utf-8") as file:
    file.write(circuit._repr_svg_())
print(f"{circuit.name} drawn in {filename} ({os.path.getsize(filename)} bytes): open it in a browser")
