"""A short tour of TarnWhistle."""

from collections.abc import Callable

import numpy as np

import tarnwhistle as tw

print(f"TarnWhistle {tw.__version__}")
print(tw.config)

# Every length is in micrometres and lands on the configured grid.
print("snap 1.23456 ->", tw.snap_to_grid(1.23456))
print("snap points ->", tw.snap_to_grid(np.array([[0.0004, 2.0016], [-0.0015, 3.0]])).tolist())
print("floor/ceil on a 0.05 grid ->", tw.grid_floor(0.123, 0.05), tw.grid_ceil(0.123, 0.05))

# Properties travel with any object.
props = tw.Properties(designer="tarn", revision=3)
props.add_gds_property(1, "waveguide")
print(props)

# Planar shapes: measured, transformed and turned into polygons with the configured tolerance.
rect = tw.Rectangle(corner1=(0, 0), corner2=(10, 2))
ring = tw.Circle(5, center=(20, 0), inner_radius=3)
sector = tw.Circle(4, sector=(0, 90), rotation=45)
triangle = tw.Polygon([(0, 5), (4, 5), (2, 8)])
label = tw.Label("demo", origin=(0, -3), anchor="SW")
for shape in (rect, ring, sector, triangle):
    print(f"{shape!s:40} area {shape.area():9.4f}  perimeter {shape.perimeter():8.4f}")
print("ring as polygon:", ring.to_polygon())
rect.rotate(90, center=(0, 0)).translate((2, 0))
print("rotated rectangle bounds:", [b.tolist() for b in rect.bounds()])
print(label)

# Parametric values: an expression and a tabulated interpolator.
width = tw.Expression("t", [("w0", 0.5), ("w1", 1.5), ("w", "w0 + (w1 - w0) * t^2")])
print("taper width at t=0.5:", width(0.5)[-1])
loss = tw.Interpolator([1.50, 1.55, 1.60], [0.8, 0.6, 0.9])
print("interpolated loss at 1.525 um:", loss(1.525))

# Set operations on shapes.
cross = [tw.Rectangle(center=(20, 0), size=(11, 2)), tw.Rectangle(center=(20, 0), size=(2, 11))]
union = tw.boolean(ring, cross, "+")
cut = tw.boolean(ring, cross, "-")
print(f"ring + cross: {len(union)} polygon(s); ring - cross: {len(cut)} polygon(s)")
print("offset cross by 1 um:", [p.bounds()[1].tolist() for p in tw.offset(cross, 1)])

# A small waveguide layout: a taper, a bend, an S bend, and a trench cut around it.
waveguide = tw.Path((0, 0), 0.5, caps=(0, 0))
waveguide.segment((5, 0), width=(1.2, "smooth"))   # taper up to 1.2 um
waveguide.segment((10, 0))
waveguide.turn(90, radius=5, euler_fraction=0.2)      # partial Euler bend
waveguide.s_bend((8, 10), euler_fraction=0, relative=True)
waveguide.segment((0, 5), width=0.5, relative=True)
print(waveguide, f"length {waveguide.length():.3f} um, {len(waveguide.spine())} spine points")
print("end of path:", waveguide.at(waveguide.size, output="position").tolist())
clad = tw.offset(waveguide, 2.0, round_joins=True)
trench = tw.boolean(clad, waveguide, "-")
print(f"cladding area {sum(p.area() for p in clad):.2f} um^2, trench polygons: {len(trench)}")
print("s_bend_length for a 4 um offset at radius 10:", round(tw.s_bend_length(4, 10), 4))

# Shared edges: abutting cells unite in one pass, and a shape taken from itself leaves nothing.
cells = [tw.Rectangle((i, j + 0.5 * (i % 2)), (i + 1, j + 1 + 0.5 * (i % 2)))
         for i in range(50) for j in range(50)]
(block,) = tw.boolean(cells, [], "+")
disc = tw.Circle(1000)
print(f"50 x 50 staggered cells unite into one polygon of {len(block.vertices)} vertices; "
      f"disc ^ disc leaves {len(tw.boolean(disc, disc, '^'))} polygons")

# Limits: coordinates stay within ±1e9 um, and no operation takes unbounded memory.
far = tw.Rectangle(center=(9.9e8, 0), size=(1, 1))
attempts: tuple[Callable[[], object], ...] = (lambda: far.translate((1e7, 0)),
                                              lambda: tw.Circle(1, min_evals=10**8).to_polygon())
for attempt in attempts:
    try:
        attempt()
    except (ValueError, RuntimeError) as error:
        print(f"{type(error).__name__}: {error}")
print("the rectangle is still at", far.center.tolist())

# A technology: layers, extrusion stack and port cross-sections of an example process.
tech = tw.basic_technology(core_thickness=0.25, sidewall_angle=5)
tw.config.default_technology = tech
print(f"{tech.name} {tech.version}: layers {sorted(tech.layers)}, ports {sorted(tech.ports)}")
print("core layer:", tech.layers["WG_CORE"])
frequency = 2.99792458e14 / 1.55  # 1550 nm
print("effective index hint of 'Strip' at 1550 nm:",
      round(tech.ports["Strip"]._target_neff([frequency]), 4))

# A port specification of our own and a port that uses it; ports snap to the grid and follow
# reference placements, flipping their specification when mirrored.
wide = tw.PortSpec("Wide strip", 2.5, (-1, 1.25), path_profiles={"core": (1.0, 0, "WG_CORE"),
                                                               "clad": (2.5, 0, "WG_CLAD")})
port = tw.Port((0.0004, 1.23456), 0, wide)
print(port, "| terminals:", sorted(port.terminals()))
facing = tw.Port((0, 1.2345), 180, wide)
print("ports connect:", port.is_connected_to(facing), "| CPW terminals:",
      sorted(tw.Port((0, 0), 90, "CPW").terminals()))

# Mask expressions name regions by layer, written as text or with operators.
mask = tw.MaskSpec.parse("('SLAB' - 'WG_CORE') * (9, 10) ** 0.1")
print("mask:", mask.format(), "| layers:", sorted(mask.get_layers()))
print("operators:", (tw.MaskSpec((2, 0)) + (3, 0)).format(), "|", (-tw.MaskSpec((1, 0))).format())

# A small hierarchical circuit: a straight waveguide cell used several times, an array of
# them, and a bend connected port to port.
straight = tw.Component("STRAIGHT")
straight.add("WG_CORE", tw.Rectangle((0, -0.25), (10, 0.25)), "WG_CLAD", tw.Rectangle((0, -1.25), (10, 1.25)))
straight.add_port(tw.Port((0, 0), 0, "Strip"), "in")
straight.add_port(tw.Port((10, 0), 180, "Strip"), "out")
bend = tw.Component("BEND")
arc = tw.Path((0, 0), 0.5).turn(90, radius=5, euler_fraction=0)
bend.add("WG_CORE", arc, "WG_CLAD", tw.Path((0, 0), 2.5).turn(90, radius=5, euler_fraction=0))
bend.add_port(tw.Port((0, 0), 0, "Strip"), "in")
bend.add_port(tw.Port(arc.at(arc.size, output="position"), 270, "Strip"), "out")

circuit = tw.Component("CIRCUIT")
first = circuit.add_reference(tw.Reference(straight, (0, 0)))
turn = circuit.add_reference(tw.Reference(bend)).connect("in", first["out"])
second = circuit.add_reference(tw.Reference(straight)).connect("in", turn["out"])
circuit.add(tw.Reference(straight, (20, 0), columns=3, rows=4, spacing=(12, 5)))
print(circuit, "with", len(circuit.references), "references and", len(circuit.dependencies()),
      "dependencies")
print("second straight placed at", second.origin.tolist(), "rotated", second.rotation,
      "| its input sits on the bend output:", second["in"].is_connected_to(turn["out"]))
print("circuit bounds:", [b.tolist() for b in circuit.bounds()])
flat = circuit.copy().flatten()
areas = {layer: round(sum(s.area() for s in items), 3) for layer, items in flat.get_structures().items()}
print("flattened areas by layer:", areas)
print("top level of (circuit, straight, bend):", [c.name for c in tw.find_top_level(circuit, straight, bend)])
trench = circuit.build_mask(tw.MaskSpec.parse("'WG_CLAD' - 'WG_CORE' ** 0.1"))
print(f"cladding outside the grown cores: {len(trench)} polygons, "
      f"{sum(p.area() for p in trench):.3f} um^2")

# Layout files: the circuit with its cells as GDSII and as compressed OASIS, loaded back.
import os
import tempfile

with tempfile.TemporaryDirectory() as folder:
    for name in ("circuit.gds", "circuit.oas"):
        filename = os.path.join(folder, name)
        tw.write_layout(filename, circuit)
        loaded_cells = tw.load_layout(filename)
        loaded = loaded_cells["CIRCUIT"]
        same_area = all(
            round(sum(p.area() for p in loaded.copy().flatten().get_structures(layer)), 3) == area
            for layer, area in areas.items())
        print(f"{name}: {os.path.getsize(filename)} bytes, cells {sorted(loaded_cells)}, "
              f"{len(loaded.references)} references, flattened areas match: {same_area}")

    # The library's own format keeps everything: technology, ports, models, properties.
    filename = os.path.join(folder, "circuit.twf")
    circuit.properties["revision"] = 3
    tw.write_twf(filename, circuit, tech)
    stored = tw.load_twf(filename)
    (loaded,), (loaded_tech,) = stored["components"], stored["technologies"]
    print(f"circuit.twf: {os.path.getsize(filename)} bytes, circuit equal: {loaded == circuit}, "
          f"technology equal: {loaded_tech == tech}, shared technology: "
          f"{loaded.technology is loaded_tech}, revision {loaded.properties['revision']}")
