"""Draws a small filter bank as an SVG file to open in a browser.

Notebooks show components with the same drawing (`_repr_svg_`). Usage: `python examples/svg.py
[file.svg]`; the file defaults to demo.svg in the current directory."""

import os
import sys

import tarnwhistle as tw

tw.config.default_technology = tw.basic_technology()

# A ring resonator cell: a bus waveguide and a ring in their cladding, a metal heater over the
# ring with two contact pads, ports at both ends of the bus.
ring = tw.Component("RING")
ring.add("WG_CORE", tw.Rectangle((-10, -0.25), (10, 0.25)),
         "WG_CORE", tw.Circle(5, center=(0, 5.75), inner_radius=4.5),
         "WG_CLAD", tw.Rectangle((-10, -1.5), (10, 12)),
         "METAL", tw.Circle(5.5, center=(0, 5.75), inner_radius=4, sector=(-60, 240)),
         "METAL", tw.Rectangle((-7, 8), (-3, 12)), "METAL", tw.Rectangle((3, 8), (7, 12)))
ring.add_port(tw.Port((-10, 0), 0, "Strip"), "in")
ring.add_port(tw.Port((10, 0), 180, "Strip"), "through")

# The bank: three rings chained port to port, a label over each, a facet trench at the input.
bank = tw.Component("FILTER_BANK")
previous = None
for index in range(3):
    stage = bank.add_reference(tw.Reference(ring))
    if previous is not None:
        stage.connect("in", previous["through"])
    bank.add("METAL", tw.Label(f"ring {index + 1}", origin=(stage.origin[0], 13), anchor="S"))
    previous = stage
bank.add("TRENCH", tw.Rectangle((-14, -4), (-12, 4)))
bank.add_port(bank.references[0]["in"], "in")
assert previous is not None  # the loop ran
bank.add_port(previous["through"], "out")

filename = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "demo.svg")
with open(filename, "w", encoding="utf-8") as file:
    file.write(bank._repr_svg_())
print(f"{bank.name} drawn in {filename} ({os.path.getsize(filename)} bytes): open it in a browser")
