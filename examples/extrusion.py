"""Solids from a layout: a waveguide route and a coupler extruded with sloped sidewalls.

A coupler whose waveguides run closer than their grown bases merges near the bottom of the
core, so its sidewalls are meshed into closed polyhedra; the rest stay tapered extrusions.
The meshed parts are written as PLY files in the temporary directory.
"""

import os
import tempfile

import tarnwhistle as tw

tech = tw.basic_technology(core_thickness=0.25, sidewall_angle=5)
tw.config.default_technology = tech

# Features that touch or merge over the height (here the abutting waveguide cells and the
# coupler) are meshed together; a lone feature would stay one tapered extrusion.
lone = tech.extrusion_specs[4].extrude(tw.Rectangle((0, 0), (10, 0.5)))
assert isinstance(lone[0], tw.Extruded)  # one straight feature extrudes to a single solid
print("lone waveguide core:", type(lone[0]).__name__, "with dilations", lone[0].dilations)

# A route like the demo's: a straight waveguide into a bend and out again, clad around it,
# with an extended input port.
circuit = tw.Component("CIRCUIT")
route = tw.Path((0, 0), 0.5).segment((10, 0)).turn(90, radius=5, euler_fraction=0)
route.segment((0, 10), relative=True)
circuit.add("WG_CORE", route, "WG_CLAD", *tw.offset(route, 1.0))
circuit.add_port(tw.Port((0, 0), 0, "Strip"), "in")
# A coupler 30 nm apart: the bases, grown by 0.25 · tan 5° ≈ 22 nm on each side, overlap.
circuit.add("WG_CORE", tw.Rectangle((0, 3), (8, 3.5)), tw.Rectangle((0, 3.53), (8, 4.03)))

used: list[tw.ExtrusionSpec] = []
solids = circuit.extrude(port_extension=1, used_extrusions=used)
meshes = [s for s in solids if isinstance(s, tw.Polyhedron)]
print(f"{len(solids)} solids from {len(used)} extrusion specifications, {len(meshes)} meshed")

folder = tempfile.gettempdir()
for index, mesh in enumerate(meshes):
    filename = os.path.join(folder, f"sloped_{index}.ply")
    mesh.write_ply(filename)
heights = sorted({round(v[2], 5) for m in meshes for v in m.vertices})
print(f"meshed parts: {sum(len(m.triangles) for m in meshes)} triangles between "
      f"{heights[0]} and {heights[-1]} um, written as {len(meshes)} PLY files")
with open(os.path.join(folder, "sloped_0.ply")) as ply:
    print("PLY header ok:", ply.read(14) == "ply\nformat asc")
