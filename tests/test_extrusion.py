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


def mesh_section_area(solid, z):
    """Area of a closed mesh's cross-section at height z: each cut triangle adds one segment,
    run so that the inside is on its left, to a shoelace sum."""
    v = np.asarray(solid.vertices, dtype=float)[np.asarray(solid.triangles)]
    normals = np.cross(v[:, 1] - v[:, 0], v[:, 2] - v[:, 0])
    total = 0.0
    for tri, n in zip(v, normals):
        above = tri[:, 2] > z
        if above.all() or not above.any():
            continue
        points = []
        for i in range(3):
            a, b = tri[i], tri[(i + 1) % 3]
            if (a[2] > z) != (b[2] > z):
                points.append(a + (b - a) * (z - a[2]) / (b[2] - a[2]))
        p, q = points[0][:2], points[1][:2]
        if np.dot(q - p, (-n[1], n[0])) < 0:  # along up × normal
            p, q = q, p
        total += (p[0] * q[1] - p[1] * q[0]) / 2
    return total


def section_area(solids, z):
    """Area of the solids' cross-section at height z."""
    total = 0.0
    for s in solids:
        if isinstance(s, tw.Polyhedron):
            total += mesh_section_area(s, z)
        elif s.limits[0] < z < s.limits[1]:
            (lo, hi), (d0, d1) = s.limits, s.dilations
            d = d0 + (d1 - d0) * (z - lo) / (hi - lo)
            total += sum(p.area() for p in tw.offset([s.face], d)) if d else s.face.area()
    return total


def x_min(solid):
    if isinstance(solid, tw.Polyhedron):
        return min(v[0] for v in solid.vertices)
    return solid.face.bounds()[0][0]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_clusters_follow_the_offset_profile(seed):
    # Rectangles close enough to merge at various heights, some crossing; every cross-section
    # of the result is the offset of the mask at that height, up to the tolerance.
    rng = np.random.default_rng(seed)
    rects = []
    for _ in range(12):
        x, y = rng.uniform(0, 4, 2).round(3)
        w, h = rng.uniform(0.2, 1.5, 2).round(3)
        rects.append(tw.Rectangle((x, y), (x + w, y + h)))
    tolerance = 0.002
    spec = sloped_spec(25, reference="middle")
    solids = spec.extrude(*rects, extrusion_tolerance=tolerance)
    for s in solids:
        if isinstance(s, tw.Polyhedron):
            check_closed(s)
    check_profile(solids, spec, rects, tolerance)


def test_rounding_noise_does_not_twist_side_walls():
    # The offsets of these polygons carry a one-unit edge that flips direction between two
    # levels; it is dropped rather than meshed into a twisted side wall.
    shapes = [tw.Polygon([(1.266, 0.503), (0.537, 0.834), (-0.372, 1.74), (-0.14, 0.682), (-0.33, 0.208),
                          (-0.693, -0.717), (-0.138, -0.359), (0.274, -0.966), (1.026, -0.494)]),
              tw.Polygon([(0.186, 1.35), (0.602, 0.495), (0.364, 0.582), (-0.5, 0.553), (-0.255, 0.381),
                          (1.373, -0.328)])]
    spec = tw.ExtrusionSpec((1, 0), medium(2), (0, 1), sidewall_angle=-3.4572552637308362, reference="middle")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        solids = spec.extrude(*shapes)
    check_profile(solids, spec, shapes, tw.config.tolerance)


def check_profile(solids, spec, polygons, tolerance):
    """Every cross-section away from the cap heights is the offset of the polygons at that
    height, up to the tolerance along the perimeter."""
    for s in solids:
        if isinstance(s, tw.Polyhedron):
            check_closed(s)
    levels = sorted({z for s in solids if isinstance(s, tw.Extruded) for z in s.limits} |
                    {v[2] for s in solids if isinstance(s, tw.Polyhedron) for v in s.vertices})
    for z in np.linspace(0.01, 0.99, 25):
        if min(abs(z - level) for level in levels) < 1e-4:
            continue  # exactly on a cap the section is ambiguous
        expected = tw.offset(polygons, offset_at(spec, z))
        perimeter = sum(2 * (p.bounds()[1][0] - p.bounds()[0][0] + p.bounds()[1][1] - p.bounds()[0][1])
                        for p in expected)
        area = sum(p.area() for p in expected)
        assert abs(section_area(solids, z) - area) <= perimeter * (tolerance + 2 * UNIT), z


def test_separate_clusters_are_meshed_on_their_own_heights():
    # Two merging pairs with different gaps: each keeps its own few height levels.
    spec = sloped_spec(20)
    pairs = [(0.0, 0.2), (5.0, 0.3)]
    rects = [tw.Rectangle((x + dx, 0), (x + dx + 1, 1)) for x, gap in pairs for dx in (0, 1 + gap)]
    solids = spec.extrude(*rects)
    for x, gap in pairs:
        own = [s for s in solids if x - 1 < x_min(s) < x + 3]
        heights = {round(z, 5) for s in own for z in (
            [v[2] for v in s.vertices] if isinstance(s, tw.Polyhedron) else s.limits)}
        merge = 1 - gap / 2 / math.tan(math.radians(20))
        assert len(heights) == 4 and min(abs(h - merge) for h in heights) <= tw.config.tolerance
        assert len(own) <= 4  # one mesh below, a thin slab, one mesh per square above


def test_unmeshable_interval_falls_back_to_an_orthogonal_slab():
    # Eroding this polygon pinches a neck off; just below, the rounded offset crosses itself
    # and the interval cannot be meshed.
    polygon = tw.Polygon([(2.087, 0.613), (1.534, 1.577), (0.986, 0.92), (0.865, 0.955), (0.604, 0.769),
                          (1.177, 0.131), (0.991, 0.005), (0.986, -0.168), (1.106, -1.182),
                          (1.63, -0.309), (2.115, -0.653)])
    spec = tw.ExtrusionSpec((1, 0), medium(2), (0, 1), sidewall_angle=25.42599348648622, reference=0)
    with pytest.warns(RuntimeWarning) as record:
        solids = spec.extrude(polygon)
    assert [str(w.message) for w in record] == [
        "Unable to generate angled extrusion between 0.53906 and 0.55077 μm. Using an orthogonal profile."]
    slab = [s for s in solids if isinstance(s, tw.Extruded) and s.limits == pytest.approx((0.53906, 0.55077))]
    assert len(slab) == 1 and slab[0].dilations == (0, 0)
    middle = (0.53906 + 0.55077) / 2
    expected = tw.offset([polygon], offset_at(spec, round(middle, 5)))
    assert slab[0].face.area() == pytest.approx(sum(p.area() for p in expected), rel=1e-3)
    for s in solids:
        if isinstance(s, tw.Polyhedron):
            check_closed(s)


def test_tolerance_argument_refines_the_heights():
    spec = sloped_spec(20)
    squares = [tw.Rectangle((0, 0), (1, 1)), tw.Rectangle((1.2, 0), (2.2, 1))]

    def heights(solids):
        return sorted({round(z, 5) for s in solids for z in (
            [v[2] for v in s.vertices] if isinstance(s, tw.Polyhedron) else s.limits)})

    configured = heights(spec.extrude(*squares, extrusion_tolerance=tw.config.tolerance))
    assert heights(spec.extrude(*squares)) == configured
    assert heights(spec.extrude(*squares, extrusion_tolerance=-1)) == configured
    # One sloped mesh below the merge, one above, and a thin orthogonal slab around it whose
    # height stays within the tolerance.
    merge = 1 - 0.1 / math.tan(math.radians(20))
    for tolerance in (0.2, tw.config.tolerance, 0.001):
        levels = heights(spec.extrude(*squares, extrusion_tolerance=tolerance))
        assert len(levels) == 4 and levels[0] == 0 and levels[3] == 1
        assert levels[1] <= merge <= levels[2] and levels[2] - levels[1] <= tolerance + 1e-9


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


def test_structures_from_layout(tmp_path):
    tech = tw.basic_technology()
    core = tw.Component("CORE", technology=tech)
    core.add("WG_CORE", tw.Rectangle((0, 0), (1, 1)))
    clad = tw.Component("CLAD", technology=tech)
    clad.add("WG_CLAD", tw.Rectangle((0, 0), (2, 2)))
    filename = str(tmp_path / "two.gds")
    tw.write_layout(filename, core, clad)
    with warnings.catch_warnings(record=True) as caught:
        structures = tw.fenn3d_structures_from_layout(filename, tech)
    (message,) = [str(w.message) for w in caught]
    loaded = "CORE" if "'CORE'" in message else "CLAD"
    assert message == (f"Multiple top-level cells found. Loading '{loaded}'. Specify 'cell_name' "
                       "to select a specific cell.")
    assert all(isinstance(s, fenn3d.Structure) for s in structures)
    top = 0.22 if loaded == "CORE" else 1.5
    assert structures[-1].geometry.slab_bounds == pytest.approx((0, top))
    with warnings.catch_warnings(record=True) as caught:
        structures = tw.fenn3d_structures_from_layout(filename, tech, cell_name="CORE",
                                                      classification="electrical")
    assert caught == []
    assert structures[-1].geometry.slab_bounds == pytest.approx((0, 0.22))
    assert structures[-1].medium == tech.extrusion_specs[4].get_medium("electrical")
    with pytest.raises(ValueError, match="^Argument 'classification' must be one of"):
        tw.fenn3d_structures_from_layout(filename, tech, cell_name="CORE", classification="x")
