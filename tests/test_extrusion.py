"""Extrusion of planar structures and components into solids.

Meshed solids are checked with trimesh (watertightness, winding, volume) and their volumes
against closed-form integrals of the offset cross-section over the height.
"""

import math
import warnings

import fenn3d
import numpy as np
import pytest
import trimesh

import tarnwhistle as tw

UNIT = 1e-5


def medium(eps=1.0):
    return fenn3d.Medium(permittivity=eps)


def sloped_spec(angle, limits=(0, 1), reference="top", layer=(1, 0)):
    return tw.ExtrusionSpec(layer, medium(12), limits, sidewall_angle=angle, reference=reference)


def offset_at(spec, z):
    # d(z) = round((r - z) tan θ) in database units, returned in micrometres.
    t = math.tan(math.radians(spec.sidewall_angle))
    return round((spec.reference - z) * t / UNIT) * UNIT


def mesh_of(solid):
    return trimesh.Trimesh(np.asarray(solid.vertices, dtype=float),
                           np.asarray(solid.triangles, dtype=int), process=False)


def check_closed(solid):
    mesh = mesh_of(solid)
    assert mesh.is_watertight and mesh.is_winding_consistent
    assert mesh.volume > 0  # normals point outwards
    return mesh.volume


def rectangle_area(width, height):
    # Mitred offsets keep rectangles rectangular.
    return lambda d: (width + 2 * d) * (height + 2 * d)


def slab_volume(spec, area, samples=4001):
    # Integral of the cross-section area over the height (trapezoid on a fine grid).
    z = np.linspace(*spec.limits, samples)
    t = math.tan(math.radians(spec.sidewall_angle))
    return np.trapezoid([area((spec.reference - h) * t) for h in z], z)


def extruded_volume(solid, area):
    # A tapered extrusion: the area is quadratic in the linear dilation, so Simpson is exact.
    lo, hi = solid.limits
    d0, d1 = solid.dilations
    return (hi - lo) / 6 * (area(d0) + 4 * area((d0 + d1) / 2) + area(d1))


def total_volume(solids, area):
    total = 0.0
    for solid in solids:
        if isinstance(solid, tw.Polyhedron):
            total += check_closed(solid)
        else:
            total += extruded_volume(solid, area)
    return total


# ---- Sidewall profile --------------------------------------------------------------------


def test_reference_plane_selects_which_face_moves():
    rect = tw.Rectangle((0, 0), (2, 1))
    grown = sloped_spec(8, (0, 0.22), "top").extrude(rect)
    shrunk = sloped_spec(8, (0, 0.22), "bottom").extrude(rect)
    middle = sloped_spec(8, (0, 0.22), "middle").extrude(rect)
    delta = round(0.22 * math.tan(math.radians(8)) / UNIT) * UNIT
    assert delta == pytest.approx(0.03092)
    for solids in (grown, shrunk, middle):
        assert len(solids) == 1 and isinstance(solids[0], tw.Extruded)
        assert solids[0].limits == pytest.approx((0, 0.22))
    assert grown[0].dilations == pytest.approx((delta, 0))
    assert shrunk[0].dilations == pytest.approx((0, -delta))
    half = round(0.11 * math.tan(math.radians(8)) / UNIT) * UNIT
    assert middle[0].dilations == pytest.approx((half, -half))
    # The face is the polygon as drawn.
    assert grown[0].face.area() == pytest.approx(2.0)


def test_negative_angle_and_tiny_angle():
    rect = tw.Rectangle((0, 0), (2, 1))
    (undercut,) = sloped_spec(-8, (0, 0.22)).extrude(rect)
    assert undercut.dilations[0] == pytest.approx(-0.03092) and undercut.dilations[1] == 0
    # Under one grid step over the whole height: a straight solid with one common offset.
    (straight,) = sloped_spec(0.01, (0, 0.22)).extrude(rect)
    assert straight.dilations[0] == straight.dilations[1]
    assert abs(straight.dilations[0]) < tw.config.grid
    (vertical,) = sloped_spec(0, (0, 0.22)).extrude(rect)
    assert vertical.dilations == (0, 0)


def test_specification_extrusion_arguments():
    spec = sloped_spec(0)
    rect, circle = tw.Rectangle((0, 0), (1, 1)), tw.Circle(1, (5, 0))
    solids = spec.extrude(rect, [circle, rect])
    assert len(solids) == 3 and all(s.medium is spec.get_medium("optical") for s in solids)
    assert spec.extrude() == []
    with pytest.raises(TypeError, match="^'extrude\\(\\)' expects only 'extrusion_tolerance' and "
                       "'classification' keyword arguments.$"):
        spec.extrude(rect, tolerance=1)
    with pytest.raises(TypeError, match="^Argument 1 is not a planar structure.$"):
        spec.extrude(rect, 3)
    with pytest.raises(TypeError, match="^Object is not a planar structure.$"):
        spec.extrude([rect, "x"])
    with pytest.raises(TypeError, match="^Argument 'classification' must be a string.$"):
        spec.extrude(rect, classification=1)
    with pytest.raises(ValueError, match="^Argument 'classification' must be one of 'electrical' "
                       "or 'optical'.$"):
        spec.extrude(rect, classification="thermal")
    only_optical = tw.ExtrusionSpec((1, 0), {"optical": medium()}, (0, 1))
    assert len(only_optical.extrude(rect)) == 1
    with pytest.raises(ValueError, match="^Medium for classification 'electrical' is not available.$"):
        only_optical.extrude(rect, classification="electrical")


# ---- Meshed solids -----------------------------------------------------------------------


def test_merging_features_are_meshed_closed_with_the_slab_volume():
    # Two squares 0.2 apart grow by up to tan(20°) at the bottom: they merge at mid height.
    spec = sloped_spec(20)
    squares = [tw.Rectangle((0, 0), (1, 1)), tw.Rectangle((1.2, 0), (2.2, 1))]
    solids = spec.extrude(*squares)
    meshes = [s for s in solids if isinstance(s, tw.Polyhedron)]
    assert meshes and all(s.medium is spec.get_medium("optical") for s in solids)
    gap = 0.2

    def area(d):
        overlap = max(0.0, 2 * d - gap) * (1 + 2 * d)
        return 2 * (1 + 2 * d) ** 2 - overlap

    assert total_volume(solids, area) == pytest.approx(slab_volume(spec, area), rel=2e-3)
    # Every solid stays within the bounds of the widest offset.
    top = max(v[2] for m in meshes for v in m.vertices)
    assert top == pytest.approx(1.0)


def test_closing_hole_is_meshed_with_the_slab_volume():
    # A square with a square hole that the growing sidewall closes below the top.
    outer = [(0, 0), (2, 0), (2, 2), (0, 2)]
    hole = [(0.9, 0.9), (0.9, 1.1), (1.1, 1.1), (1.1, 0.9)]
    spec = sloped_spec(20)
    solids = spec.extrude(tw.Polygon(outer, [hole]))
    assert any(isinstance(s, tw.Polyhedron) for s in solids)

    def area(d):
        return (2 + 2 * d) ** 2 - max(0.0, 0.2 - 2 * d) ** 2

    assert total_volume(solids, area) == pytest.approx(slab_volume(spec, area), rel=2e-3)


def test_ring_whose_hole_closes():
    spec = sloped_spec(20)
    ring = tw.Circle(1, inner_radius=0.1)
    solids = spec.extrude(ring)
    assert any(isinstance(s, tw.Polyhedron) for s in solids)
    polygon = ring.to_polygon()
    outer_area = tw.Polygon(polygon.vertices).area()
    # Offsets of a fine polygonal circle: close to the analytic annulus.
    r_outer, r_inner = math.sqrt(outer_area / math.pi), math.sqrt(
        (outer_area - polygon.area()) / math.pi)

    def area(d):
        return math.pi * ((r_outer + d) ** 2 - max(0.0, r_inner - d) ** 2)

    meshed = sum(check_closed(s) for s in solids if isinstance(s, tw.Polyhedron))
    straight = sum(s.face.area() * (s.limits[1] - s.limits[0]) for s in solids
                   if isinstance(s, tw.Extruded) and s.dilations == (0, 0))
    assert all(isinstance(s, tw.Polyhedron) or s.dilations == (0, 0) for s in solids)
    assert meshed + straight == pytest.approx(slab_volume(spec, area), rel=5e-3)


def test_separate_features_stay_tapered_extrusions():
    spec = sloped_spec(20)
    rect = tw.Rectangle((0, 0), (1, 1))
    far = tw.Rectangle((3, 0), (4, 1))
    solids = spec.extrude(rect, far)
    assert [type(s) for s in solids] == [tw.Extruded, tw.Extruded]
    d0 = offset_at(spec, 0)
    for s in solids:
        assert s.dilations == pytest.approx((d0, 0))
    assert total_volume(solids, rectangle_area(1, 1)) == pytest.approx(
        2 * slab_volume(spec, rectangle_area(1, 1)), rel=1e-6)


def test_vanishing_feature_ends_where_its_offset_vanishes():
    # A 0.2 wide strip eroded from the bottom reference: gone above 0.1 / tan(20°).
    spec = sloped_spec(20, reference="bottom")
    solids = spec.extrude(tw.Rectangle((0, 0), (0.2, 2)))
    vanish = 0.1 / math.tan(math.radians(20))
    top = max(max(v[2] for v in s.vertices) if isinstance(s, tw.Polyhedron) else s.limits[1]
              for s in solids)
    assert abs(top - vanish) <= tw.config.tolerance
    volume = slab_volume(spec, lambda d: max(0.0, 0.2 + 2 * d) * max(0.0, 2 + 2 * d))
    assert total_volume(solids, rectangle_area(0.2, 2)) == pytest.approx(volume, rel=5e-3)


def test_tolerance_argument_refines_the_heights():
    spec = sloped_spec(20)
    squares = [tw.Rectangle((0, 0), (1, 1)), tw.Rectangle((1.2, 0), (2.2, 1))]

    def heights(solids):
        return sorted({round(z, 5) for s in solids for z in (
            [v[2] for v in s.vertices] if isinstance(s, tw.Polyhedron) else s.limits)})

    configured = heights(spec.extrude(*squares, extrusion_tolerance=tw.config.tolerance))
    assert heights(spec.extrude(*squares)) == configured
    assert heights(spec.extrude(*squares, extrusion_tolerance=-1)) == configured
    coarse = heights(spec.extrude(*squares, extrusion_tolerance=0.2))
    fine = heights(spec.extrude(*squares, extrusion_tolerance=0.001))
    assert len(coarse) < len(configured) < len(fine)
    # The merge height lies between two consecutive levels no further apart than the tolerance.
    merge = 1 - 0.1 / math.tan(math.radians(20))
    below = max(z for z in fine if z <= merge)
    above = min(z for z in fine if z >= merge)
    assert above - below <= 0.001 + 1e-9


# ---- Component extrusion -----------------------------------------------------------------


def strip_component(tech, rib=False):
    c = tw.Component("WG", technology=tech)
    c.add("WG_CORE", tw.Rectangle((0, -0.25), (10, 0.25)), "WG_CLAD", tw.Rectangle((0, -1.5), (10, 1.5)))
    if rib:
        c.add("SLAB", tw.Rectangle((0, -1.5), (10, 1.5)))
    c.add_port(tw.Port((0, 0), 0, tech.ports["Rib" if rib else "Strip"]), "in")
    c.add_port(tw.Port((10, 0), 180, tech.ports["Rib" if rib else "Strip"], extended=False), "out")
    return c


def limits_by_medium(solids):
    return [tuple(round(v, 5) for v in s.limits) for s in solids]


def test_basic_technology_strip_and_rib():
    tech = tw.basic_technology()
    used = []
    solids = strip_component(tech).extrude(used_extrusions=used)
    specs = tech.extrusion_specs
    # Substrate and box over the bounds, cladding, core; no slab, trench or metal.
    assert [s for s in used] == [specs[0], specs[1], specs[2], specs[4]]
    assert limits_by_medium(solids) == [(-4, -2), (-2, 0), (0, 1.5), (0, 0.22)]
    assert all(isinstance(s, tw.Extruded) for s in solids)
    assert solids[3].face.area() == pytest.approx(5.0)
    assert solids[0].face.area() == pytest.approx(30.0)
    rib_solids = strip_component(tech, rib=True).extrude()
    assert limits_by_medium(rib_solids) == [(-4, -2), (-2, 0), (0, 1.5), (0, 0.07), (0, 0.22)]
    electrical = strip_component(tech).extrude(classification="electrical")
    assert [s.medium for s in electrical] == [specs[i].get_medium("electrical") for i in (0, 1, 2, 4)]


def test_basic_technology_sloped_core_and_healing():
    tech = tw.basic_technology(sidewall_angle=10)
    solids = strip_component(tech).extrude()
    core = solids[3]
    assert core.dilations == pytest.approx((offset_at(tech.extrusion_specs[4], 0), 0))
    # A sliver below the heal size disappears from the core mask.
    c = strip_component(tech)
    c.add("WG_CORE", tw.Rectangle((0, 2), (10, 2.002)))
    assert len(c.extrude()) == 5
    assert len(c.extrude(heal=True)) == 4
    assert len(c.extrude(heal=0.001)) == 5


def layer_extent(solids, limits):
    # Bounds of the faces of the solids between the given limits.
    boxes = [s.face.bounds() for s in solids if s.limits == pytest.approx(limits)]
    return np.min([b[0] for b in boxes], axis=0).tolist() + np.max([b[1] for b in boxes], axis=0).tolist()


def test_port_extension_adds_profile_sections():
    tech = tw.basic_technology()
    c = strip_component(tech)
    solids = c.extrude(port_extension=2)
    # Only the extended input port grows, outwards against its input direction, by the width
    # of each profile on its own layer.
    assert layer_extent(solids, (0, 0.22)) == pytest.approx([-2, -0.25, 10, 0.25])
    assert layer_extent(solids, (0, 1.5)) == pytest.approx([-2, -1.5, 10, 1.5])
    sections = [s for s in solids if s.limits == pytest.approx((0, 0.22)) and s.face.bounds()[1][0] <= 0]
    assert len(sections) == 1 and sections[0].face.area() == pytest.approx(2 * 0.5)
    # The bounds (substrate, box) cover the sections too.
    assert layer_extent(solids, (-4, -2))[:2] == pytest.approx([-2, -1.5])
    assert layer_extent(c.extrude(), (0, 0.22)) == pytest.approx([0, -0.25, 10, 0.25])


def test_component_extrusion_edge_cases():
    empty = tw.Technology("none", "1", {}, [], {}, medium())
    c = tw.Component("C", technology=empty)
    c.add((1, 0), tw.Rectangle((0, 0), (1, 1)))
    assert c.extrude() == []
    tech = tw.basic_technology()
    wg = strip_component(tech)
    with pytest.raises(ValueError, match="^Argument 'classification' must be one of 'electrical' or "
                       "'optical'.$"):
        wg.extrude(classification="thermal")

    class NoTruth:
        def __bool__(self):
            raise RuntimeError("no")

    with pytest.raises(TypeError, match="^Unable to get truth value from 'heal'.$"):
        wg.extrude(heal=NoTruth())
    with pytest.raises(TypeError):
        wg.extrude(used_extrusions=())


def test_foreign_technology_warns_and_uses_own():
    tech, other = tw.basic_technology(), tw.basic_technology(core_thickness=0.3)
    child = strip_component(other)
    top = tw.Component("TOP", technology=tech)
    top.add_reference(tw.Reference(child))
    with warnings.catch_warnings(record=True) as caught:
        solids = top.extrude()
    assert [str(w.message) for w in caught] == [
        "Technology for component WG differs from this component's. Extrusion might lead to "
        "unexpected results."]
    assert limits_by_medium(solids)[3] == (0, 0.22)
