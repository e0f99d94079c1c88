"""Solids: the closed-mesh check, PLY output, polygon triangulation and solver conversion."""

import math

import fenn3d
import numpy as np
import pytest
import shapely
import trimesh
from scipy.spatial import ConvexHull

import tarnwhistle as tw
from tarnwhistle import extension

MEDIUM = fenn3d.Medium(permittivity=2.0)
OTHER = fenn3d.Medium(permittivity=3.0)

TETRA_VERTICES = [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)]
TETRA_TRIANGLES = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]


def cube(size=1.0, origin=(0, 0, 0)):
    """Vertices and outward triangles of an axis-aligned cube."""
    box = trimesh.creation.box(extents=(size, size, size))
    box.apply_translation(np.array(origin, dtype=float) + size / 2)
    return box.vertices.tolist(), box.faces.tolist()


def joined(*meshes):
    """One vertex and triangle list holding several meshes."""
    vertices, triangles = [], []
    for v, t in meshes:
        triangles += (np.array(t) + len(vertices)).tolist()
        vertices += list(v)
    return vertices, triangles


def is_valid(vertices, triangles):
    try:
        tw.Polyhedron(MEDIUM, vertices, triangles)
        return True
    except ValueError as error:
        assert str(error) == ("Created polyhedron is invalid. Make sure the mesh is closed and "
                              "non-overlapping.")
        return False


# ---- Closed-mesh check -----------------------------------------------------------------------


class TestMeshValidity:
    def test_closed_meshes_are_accepted(self):
        assert is_valid(TETRA_VERTICES, TETRA_TRIANGLES)
        assert is_valid(*cube())
        # Disjoint solids, and solids touching only at a vertex given twice.
        assert is_valid(*joined(cube(), cube(origin=(3, 0, 0))))
        assert is_valid(*joined(cube(), cube(origin=(1, 1, 1))))
        # A cavity: the inner shell faces into the hole, the enclosed volume stays positive.
        inner_vertices, inner_triangles = cube(0.5, (0.25, 0.25, 0.25))
        inner = (inner_vertices, [t[::-1] for t in inner_triangles])
        assert is_valid(*joined(cube(), inner))

    def test_open_flipped_and_degenerate_meshes_are_refused(self):
        vertices, triangles = cube()
        assert not is_valid(vertices, triangles[:-1])  # open
        assert not is_valid(vertices, [t[::-1] for t in triangles])  # inside out
        assert not is_valid(vertices, [triangles[0][::-1]] + triangles[1:])  # one face flipped
        assert not is_valid(vertices, triangles + [triangles[0]])  # face given twice
        assert not is_valid(vertices, [])
        # Collinear and repeated-index triangles; indices outside the vertex list.
        assert not is_valid(TETRA_VERTICES + [(0.5, 0, 0)], TETRA_TRIANGLES[1:] + [(0, 4, 1), (0, 2, 4), (4, 2, 1)])
        assert not is_valid(TETRA_VERTICES, TETRA_TRIANGLES[:-1] + [(1, 1, 3)])
        assert not is_valid(TETRA_VERTICES, TETRA_TRIANGLES[:-1] + [(1, 2, 4)])
        assert not is_valid(TETRA_VERTICES, TETRA_TRIANGLES[:-1] + [(1, 2, -1)])

    def test_non_manifold_and_overlapping_meshes_are_refused(self):
        # Two cubes sharing an edge: four faces meet there.
        assert not is_valid(*joined(cube(), cube(origin=(1, 1, 0))))
        # A flat sheet (a triangle and its reverse) beside a valid solid.
        sheet = ([(5, 0, 0), (6, 0, 0), (5, 1, 0)], [(0, 1, 2), (0, 2, 1)])
        assert not is_valid(*joined(cube(), sheet))
        # A tetrahedron whose apex pierces a face of a second one (only vertex contact is fine).
        spike = ([(0.2, 0.2, -0.5), (0.3, 0.2, -0.5), (0.2, 0.3, -0.5), (0.2, 0.2, 0.5)], TETRA_TRIANGLES)
        assert not is_valid(*joined((TETRA_VERTICES, TETRA_TRIANGLES), spike))

    @pytest.mark.parametrize("offset", [0.0, 0.25, 0.5, 0.99999, 1.0, 1.00001, 2.0])
    def test_two_cubes_overlap_exactly_when_their_boxes_share_area(self, offset):
        # Face contact (offset 1) makes coplanar overlapping faces: refused as well.
        assert is_valid(*joined(cube(), cube(origin=(offset, 0.5, 0)))) == (offset > 1.0)

    def test_random_convex_meshes_agree_with_trimesh(self):
        rng = np.random.default_rng(7)
        for _ in range(20):
            points = rng.integers(-50, 50, size=(30, 3)) / 10.0
            faces = ConvexHull(points).simplices
            # Outward order: the normal points away from the hull's inner point.
            corners = points[faces]
            normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
            inward = np.einsum("ij,ij->i", normals, corners[:, 0] - points.mean(axis=0)) < 0
            faces[inward] = faces[inward][:, ::-1]
            mesh = trimesh.Trimesh(points, faces, process=True)
            assert mesh.is_watertight and mesh.is_winding_consistent and mesh.volume > 0
            assert is_valid(mesh.vertices, mesh.faces)
            faces = mesh.faces.copy()
            faces[rng.integers(len(faces))] = faces[rng.integers(len(faces))][::-1]
            broken = trimesh.Trimesh(mesh.vertices, faces, process=False)
            assert is_valid(mesh.vertices, faces) == (broken.is_watertight and broken.is_winding_consistent)

    def test_sphere_meshes(self):
        for level in range(4):
            sphere = trimesh.creation.icosphere(subdivisions=level, radius=10)
            vertices = np.round(sphere.vertices, 5)
            assert is_valid(vertices, sphere.faces)

    def test_fine_mesh_beside_huge_faces(self):
        # A large slab and a finely meshed sphere: apart they are valid, overlapping they are not.
        sphere = trimesh.creation.icosphere(subdivisions=3, radius=1)
        slab = cube(1000, (-500, -500, -1002))
        for z, valid in [(0, True), (-1.5, False), (-2.999, False)]:
            shifted = (np.round(sphere.vertices + (0, 0, z), 5).tolist(), sphere.faces.tolist())
            assert is_valid(*joined(slab, shifted)) == valid

    def test_setters_check_and_keep_the_mesh_when_refused(self):
        solid = tw.Polyhedron(MEDIUM, TETRA_VERTICES, TETRA_TRIANGLES)
        message = "Polyhedron is invalid. Make sure the mesh is closed and non-overlapping."
        with pytest.raises(ValueError, match=message):
            solid.triangles = TETRA_TRIANGLES[:-1]
        with pytest.raises(ValueError, match=message):
            solid.vertices = [(0, 0, 0)] * 4
        assert solid.triangles.tolist() == [list(t) for t in TETRA_TRIANGLES]
        assert solid.vertices.tolist() == [list(v) for v in TETRA_VERTICES]
        solid.vertices = np.array(TETRA_VERTICES) * 2
        assert solid.vertices.max() == 2
        solid.triangles = [(1, 2, 3), (0, 2, 1), (0, 1, 3), (0, 3, 2)]
        assert solid.triangles[0].tolist() == [1, 2, 3]

    def test_unreadable_arrays(self):
        with pytest.raises(RuntimeError, match="^Unable to get polyhedron vertices.$"):
            tw.Polyhedron(MEDIUM, [(0, 0), (1, 0)], TETRA_TRIANGLES)
        with pytest.raises(RuntimeError, match="^Unable to get polyhedron vertices.$"):
            tw.Polyhedron(MEDIUM, "abc", TETRA_TRIANGLES)
        with pytest.raises(RuntimeError, match="^Unable to get polyhedron triangles.$"):
            tw.Polyhedron(MEDIUM, TETRA_VERTICES, [(0.5, 1, 2)] * 4)
        with pytest.raises(RuntimeError, match="^Unable to get polyhedron triangles.$"):
            tw.Polyhedron(MEDIUM, TETRA_VERTICES, [(0, 1, 2, 3)])
        with pytest.raises(TypeError, match="^Argument 'medium' must be a medium.$"):
            tw.Polyhedron({"optical": MEDIUM}, TETRA_VERTICES, TETRA_TRIANGLES)


# ---- PLY ------------------------------------------------------------------------------------


class TestPly:
    def test_tetrahedron_text(self, tmp_path):
        solid = tw.Polyhedron(MEDIUM, np.array(TETRA_VERTICES) * 1.5, TETRA_TRIANGLES)
        name = tmp_path / "tetra.ply"
        solid.write_ply(name)
        text = name.read_text()
        header = ("ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                  "property float z\nelement face 4\nproperty list uchar int vertex_indices\n"
                  "end_header\n")
        assert text.startswith(header)
        lines = text[len(header):].splitlines()
        assert lines[:4] == ["0 0 0", "1.5 0 0", "0 1.5 0", "0 0 1.5"]
        assert lines[4:] == ["3 0 2 1", "3 0 1 3", "3 0 3 2", "3 1 2 3"]

    def test_trimesh_reads_the_same_mesh(self, tmp_path):
        sphere = trimesh.creation.icosphere(subdivisions=2, radius=3)
        solid = tw.Polyhedron(MEDIUM, np.round(sphere.vertices, 5), sphere.faces)
        name = str(tmp_path / "sphere.ply")
        solid.write_ply(name)
        loaded = trimesh.load(name, process=False)
        assert np.allclose(loaded.vertices, solid.vertices, atol=1e-6)
        assert np.array_equal(loaded.faces, solid.triangles)
        assert loaded.is_watertight and loaded.volume > 0

    def test_unwritable_file(self, tmp_path):
        solid = tw.Polyhedron(MEDIUM, TETRA_VERTICES, TETRA_TRIANGLES)
        with pytest.raises(OSError):
            solid.write_ply(tmp_path / "missing" / "x.ply")


# ---- Triangulation --------------------------------------------------------------------------


def rings_of(polygon):
    """Concatenated rings (without closing points) and their ends."""
    rings = [polygon.exterior] + list(polygon.interiors)
    vertices, ends = [], []
    for ring in rings:
        vertices += list(ring.coords)[:-1]
        ends.append(len(vertices))
    return np.array(vertices), ends


def check_cover(polygon, vertices, triangles):
    corners = vertices[triangles]
    a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
    areas = ((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])) / 2
    assert np.all(areas > 0)  # counter-clockwise
    assert math.isclose(areas.sum(), polygon.area, rel_tol=1e-9)
    centroids = shapely.points(corners.mean(axis=1))
    assert np.all(shapely.contains(polygon, centroids))


class TestTriangulate:
    def test_square_with_a_hole(self):
        polygon = shapely.Polygon([(0, 0), (4, 0), (4, 4), (0, 4)], [[(1, 1), (1, 2), (2, 2), (2, 1)]])
        vertices, ends = rings_of(polygon)
        triangles = extension._triangulate(vertices, ends)
        assert triangles.shape == (8, 3) and triangles.dtype == np.int64
        check_cover(polygon, vertices, triangles)

    def test_collinear_runs_and_touching_hole(self):
        # Many vertices along each side, and a hole touching the outer ring at one vertex.
        side = np.linspace(0, 10, 11)
        outer = ([(x, 0) for x in side[:-1]] + [(10, y) for y in side[:-1]] +
                 [(x, 10) for x in side[::-1][:-1]] + [(0, y) for y in side[::-1][:-1]])
        hole = [(5, 0), (6, 2), (4, 2)]
        polygon = shapely.Polygon(outer, [hole])
        assert polygon.is_valid
        vertices = np.array(outer + hole, dtype=float)
        triangles = extension._triangulate(vertices, [len(outer), len(outer) + 3])
        check_cover(polygon, vertices, triangles)

    @pytest.mark.parametrize("rings, expected", [
        # Two squares side by side: the shared edge is inside the union.
        ([[(0, 0), (2, 0), (2, 2), (0, 2)], [(2, 0), (4, 0), (4, 2), (2, 2)]],
         shapely.box(0, 0, 4, 2)),
        # A hole sharing an edge with the outer ring: a notch.
        ([[(0, 0), (4, 0), (4, 4), (0, 4)], [(1, 0), (1, 2), (3, 2), (3, 0)]],
         shapely.box(0, 0, 4, 4).difference(shapely.box(1, 0, 3, 2))),
        # The shared edge only overlaps part of each neighbour's side.
        ([[(0, 0), (2, 0), (2, 3), (0, 3)], [(2, 1), (5, 1), (5, 2), (2, 2)]],
         shapely.box(0, 0, 2, 3).union(shapely.box(2, 1, 5, 2))),
        # A hole given twice: inside three rings, so filled again.
        ([[(0, 0), (4, 0), (4, 4), (0, 4)], [(1, 1), (3, 1), (3, 3), (1, 3)],
          [(1, 1), (3, 1), (3, 3), (1, 3)]],
         shapely.box(0, 0, 4, 4)),
    ])
    def test_rings_sharing_edges(self, rings, expected):
        vertices = np.array([p for ring in rings for p in ring], dtype=float)
        ends = list(np.cumsum([len(ring) for ring in rings]))
        check_cover(expected, vertices, extension._triangulate(vertices, ends))

    def test_random_polygons_with_holes(self):
        rng = np.random.default_rng(3)
        for _ in range(10):
            angles = np.sort(rng.uniform(0, 2 * np.pi, 40))
            radii = rng.uniform(20, 30, 40)
            outer = shapely.Polygon(np.round(np.c_[radii * np.cos(angles), radii * np.sin(angles)], 3))
            holes = [shapely.Point(rng.uniform(-8, 8, 2)).buffer(rng.uniform(0.5, 2), 4) for _ in range(5)]
            region = shapely.union_all([outer.difference(shapely.union_all(holes))])
            for polygon in getattr(region, "geoms", [region]):
                polygon = shapely.set_precision(polygon, 1e-5)
                vertices, ends = rings_of(polygon)
                check_cover(polygon, vertices, extension._triangulate(vertices, ends))

    def test_bad_rings(self):
        square = [(0, 0), (1, 0), (1, 1), (0, 1)]
        with pytest.raises(RuntimeError, match="Ring ends must be non-decreasing"):
            extension._triangulate(square, [5])
        with pytest.raises(RuntimeError, match="Ring ends must be non-decreasing"):
            extension._triangulate(square + square, [4, 2])
        with pytest.raises(RuntimeError, match="^Polygon rings must not cross each other.$"):
            extension._triangulate([(0, 0), (2, 2), (2, 0), (0, 2)], [4])
        with pytest.raises(TypeError):
            extension._triangulate(square, [-1])
        with pytest.raises(TypeError):
            extension._triangulate(square, ends=[4])
        assert extension._triangulate(square, []).shape == (0, 3)


# ---- Construction, copies and messages ------------------------------------------------------


class TestSolidObjects:
    def test_extruded_attributes_and_messages(self):
        face = tw.Rectangle((0, 0), (2, 1))
        solid = tw.Extruded(MEDIUM, face, (0, 1), dilations=(0.1, 0), axis="X")
        assert solid.face is face and solid.axis == "x" and solid.medium is MEDIUM
        assert solid.limits == (0, 1) and solid.dilations == (0.1, 0)
        for axis in ("w", "xy", 0, None):
            with pytest.raises(ValueError, match="^Argument 'axis' must be one of 'x', 'y', or 'z'.$"):
                tw.Extruded(MEDIUM, face, (0, 1), axis=axis)
        with pytest.raises(TypeError, match="^Argument 'face' must be"):
            tw.Extruded(MEDIUM, "face", (0, 1))
        with pytest.raises(TypeError, match="^Argument 'medium' must be a medium.$"):
            tw.Extruded(1.5, face, (0, 1))
        with pytest.raises(ValueError, match="limits"):
            tw.Extruded(MEDIUM, face, (2, 1))
        with pytest.raises(ValueError, match="^Argument 'axis'"):
            solid.axis = "q"
        assert solid.axis == "x"

    def test_copies_and_equality(self):
        solid = tw.Extruded(MEDIUM, tw.Circle(1), (0, 1))
        shallow, deep = solid.copy(), solid.copy(deep=True)
        assert shallow == solid == deep and shallow is not solid
        assert shallow.face is solid.face and deep.face is not solid.face
        deep.face.radius = 2
        assert deep != solid
        combined = tw.ConstructiveSolid(solid, [deep], "*")
        copied = combined.copy(deep=True)
        assert copied == combined and copied.operand1[0] is not solid
        assert combined.copy().operand1[0] is solid
        polyhedron = tw.Polyhedron(MEDIUM, TETRA_VERTICES, TETRA_TRIANGLES)
        assert polyhedron.copy() == polyhedron
        assert polyhedron != tw.Polyhedron(OTHER, TETRA_VERTICES, TETRA_TRIANGLES)
        assert "Polyhedron(" in repr(polyhedron) and "Extruded(" in repr(solid)

    def test_operators_make_constructive_solids(self):
        a = tw.Extruded(MEDIUM, tw.Rectangle((0, 0), (1, 1)), (0, 1))
        b = tw.Polyhedron(OTHER, TETRA_VERTICES, TETRA_TRIANGLES)
        for result, symbol in [(a + b, "+"), (a * b, "*"), (a - b, "-"), (a ^ b, "^")]:
            assert isinstance(result, tw.ConstructiveSolid)
            assert result.operation == symbol and result.medium is MEDIUM
            assert result.operand1 == [a] and result.operand2 == [b]
        assert (b - a).medium is OTHER
        with pytest.raises(TypeError):
            a + 1

    def test_constructive_solid_messages(self):
        a = tw.Extruded(MEDIUM, tw.Rectangle((0, 0), (1, 1)), (0, 1))
        with pytest.raises(ValueError, match=r"^Argument 'operation' must be one of '\+', '\*', '-', or '\^'.$"):
            tw.ConstructiveSolid([a], [], "/")
        with pytest.raises(ValueError, match="^ConstructiveSolid requires at least 1 operand.$"):
            tw.ConstructiveSolid([], None, "+")
        with pytest.raises(TypeError, match="must be a 3D structure or a sequence of 3D structures"):
            tw.ConstructiveSolid([a, 1], [], "+")
        solid = tw.ConstructiveSolid([], a, "-", medium=OTHER)
        assert solid.medium is OTHER and solid.operand1 == [] and solid.operation == "-"
        outer = solid + a
        with pytest.raises(ValueError, match="cannot contain itself"):
            solid.operand2 = [outer]
        assert solid.operand2 == [a]
        solid.operand1 = []
        solid.operand2 = []
        with pytest.raises(RuntimeError, match="^Empty ConstructiveSolid cannot be converted to a Fenn3D geometry.$"):
            solid.to_fenn3d()


# ---- Solver conversion ----------------------------------------------------------------------


class TestConversion:
    def test_tapered_slab(self):
        face = tw.Rectangle((0, 0), (2, 1))
        structure = tw.Extruded(MEDIUM, face, (0, 1), dilations=(0.1, 0)).to_fenn3d()
        assert isinstance(structure, fenn3d.Structure) and structure.medium is MEDIUM
        slab = structure.geometry
        assert isinstance(slab, fenn3d.PolySlab)
        assert slab.dilation == 0 and slab.sidewall_angle == pytest.approx(math.atan(0.1))
        assert slab.slab_bounds == (0, 1) and slab.axis == 2 and slab.reference_plane == "top"
        assert slab.vertices.dtype == np.float64
        assert shapely.Polygon(slab.vertices).equals(shapely.box(0, 0, 2, 1))
        # Equal limits: no angle.
        flat = tw.Extruded(MEDIUM, face, (1, 1), dilations=(0.1, 0.2), axis="y").to_fenn3d().geometry
        assert flat.sidewall_angle == 0 and flat.dilation == pytest.approx(0.2) and flat.axis == 1

    def test_polygon_with_hole_is_a_difference(self):
        face = tw.Polygon([(0, 0), (4, 0), (4, 4), (0, 4)], holes=[[(1, 1), (1, 2), (2, 2), (2, 1)]])
        geometry = tw.Extruded(MEDIUM, face, (0, 2), dilations=(0.2, 0.1)).to_fenn3d().geometry
        assert isinstance(geometry, fenn3d.ClipOperation) and geometry.operation == "difference"
        outer, hole = geometry.geometry_a, geometry.geometry_b
        angle = math.atan(0.05)
        assert outer.sidewall_angle == pytest.approx(angle) and hole.sidewall_angle == pytest.approx(-angle)
        assert outer.dilation == pytest.approx(0.1) and hole.dilation == pytest.approx(-0.1)
        assert shapely.Polygon(hole.vertices).area == pytest.approx(1)

    def test_separate_pieces_are_grouped(self):
        # A path crossing itself still converts: the union gives simple polygons.
        face = tw.Path((0, 0), 1).segment((10, 0)).segment((10, 5)).segment((5, 5)).segment((5, -5))
        geometry = tw.Extruded(MEDIUM, face, (0, 1)).to_fenn3d().geometry
        slabs = geometry.geometries if isinstance(geometry, fenn3d.GeometryGroup) else [geometry]
        area = 0
        for slab in slabs:
            if isinstance(slab, fenn3d.ClipOperation):
                area += shapely.Polygon(slab.geometry_a.vertices).area
                holes = slab.geometry_b.geometries if isinstance(slab.geometry_b, fenn3d.GeometryGroup) else [slab.geometry_b]
                area -= sum(shapely.Polygon(h.vertices).area for h in holes)
            else:
                area += shapely.Polygon(slab.vertices).area
        centerline = shapely.LineString([(0, 0), (10, 0), (10, 5), (5, 5), (5, -5)])
        expected = centerline.buffer(0.5, cap_style="flat", join_style="mitre").area
        assert area == pytest.approx(expected, rel=1e-6)

    def test_circles_and_ellipses(self):
        circle = tw.Extruded(MEDIUM, tw.Circle(2, (1, 3)), (0, 4), dilations=(0.4, 0)).to_fenn3d().geometry
        assert isinstance(circle, fenn3d.Cylinder)
        assert circle.center == (1, 3, 2) and circle.radius == 2 and circle.length == 4
        assert circle.sidewall_angle == pytest.approx(math.atan(0.1)) and circle.reference_plane == "top"
        # Along x the face axes are (y, z); the ellipse stretches the second one about the center.
        ellipse = tw.Extruded(MEDIUM, tw.Circle((2, 1), (1, 3)), (0, 4), axis="x").to_fenn3d().geometry
        assert isinstance(ellipse, fenn3d.Transformed)
        cylinder = ellipse.geometry
        assert cylinder.center == (2, 1, 3) and cylinder.radius == 2 and cylinder.axis == 0
        edge = ellipse.transform @ np.array([2, 1, 3 + 2, 1])
        assert edge[:3] == pytest.approx([2, 1, 4])
        # Rotated by a quarter turn the radii swap; rings and sectors become slabs.
        turned = tw.Extruded(MEDIUM, tw.Circle((2, 1), rotation=90), (0, 1)).to_fenn3d().geometry
        assert turned.geometry.radius == 1 and turned.transform[1, 1] == pytest.approx(2)
        ring = tw.Extruded(MEDIUM, tw.Circle(2, inner_radius=1), (0, 1)).to_fenn3d().geometry
        assert isinstance(ring, fenn3d.ClipOperation)

    def test_polyhedron_mesh(self):
        structure = tw.Polyhedron(OTHER, TETRA_VERTICES, TETRA_TRIANGLES).to_fenn3d()
        assert structure.medium is OTHER
        expected = trimesh.Trimesh(TETRA_VERTICES, TETRA_TRIANGLES).triangles
        assert isinstance(structure.geometry, fenn3d.TriangleMesh)
        assert np.allclose(structure.geometry.triangles, expected)

    def test_constructive_solids(self):
        a = tw.Extruded(MEDIUM, tw.Rectangle((0, 0), (2, 2)), (0, 1))
        b = tw.Extruded(OTHER, tw.Rectangle((1, 1), (3, 3)), (0, 1))
        c = tw.Polyhedron(MEDIUM, TETRA_VERTICES, TETRA_TRIANGLES)
        difference = (a - b).to_fenn3d()
        assert difference.medium is MEDIUM
        clip = difference.geometry
        assert isinstance(clip, fenn3d.ClipOperation) and clip.operation == "difference"
        assert clip.geometry_a == a.to_fenn3d().geometry and clip.geometry_b == b.to_fenn3d().geometry
        union = tw.ConstructiveSolid([a, b], c, "+").to_fenn3d().geometry
        assert isinstance(union, fenn3d.GeometryGroup) and len(union.geometries) == 3
        names = {"*": "intersection", "^": "symmetric_difference"}
        for symbol, name in names.items():
            clip = tw.ConstructiveSolid([a, c], [b], symbol).to_fenn3d().geometry
            assert clip.operation == name and isinstance(clip.geometry_a, fenn3d.GeometryGroup)
        nested = ((a + b) - c).to_fenn3d().geometry
        assert isinstance(nested.geometry_a, fenn3d.GeometryGroup)
