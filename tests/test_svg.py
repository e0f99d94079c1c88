"""SVG documents: frame, style sheet, element bodies, component hierarchies and settings."""

import math
import re
import warnings
import xml.etree.ElementTree as ET

import pytest
import shapely

import tarnwhistle as tw

SVG = "{http://www.w3.org/2000/svg}"
RULES = ["path", "rect", "circle", "ellipse", ".reference", ".label", ".terminal", ".dashed", ".port",
         ".virtual-connection"]

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    BASIC = tw.basic_technology()
STRIP = BASIC.ports["Strip"]


def parse(text, partial=False):
    """The document's root after checking its structure: declaration, namespaces, view box,
    style sheet order and that every `use` names an element of the document."""
    assert text.startswith('<?xml version="1.0" encoding="UTF-8"?>\n<svg ')
    assert 'xmlns:xlink="http://www.w3.org/1999/xlink"' in text
    root = ET.fromstring(text)
    assert root.tag == SVG + "svg"
    assert re.fullmatch(r"-?\d+\.\d{6}rem", root.get("height"))
    view = root.get("viewBox").split(" ")
    assert len(view) == 4 and all(re.fullmatch(r"-?\d+\.\d{6}", v) for v in view)
    style, defs, body = list(root)
    assert (style.tag, defs.tag, body.tag) == (SVG + "style", SVG + "defs", SVG + "g")
    assert body.get("transform") == "scale(1 -1)"
    selectors = [line.split("{")[0] for line in style.text.strip().split("\n")]
    assert selectors[:len(RULES)] == RULES
    assert all(re.fullmatch(r"\.(layer|label)\d+_\d+", s) for s in selectors[len(RULES):])
    ids = {e.get("id") for e in root.iter() if e.get("id")}
    assert {"port-symbol", "ref-port-symbol", "port-bend-symbol", "connection-symbol"} <= ids
    for use in root.iter(SVG + "use"):
        target = use.get("href")[1:]
        assert target in ids or partial
    for url in re.findall(r"url\(#([^)]+)\)", style.text):
        assert url in ids
    return root


def view_box(root):
    return [float(v) for v in root.get("viewBox").split()]


def rule(root, selector):
    style = root.find(SVG + "style").text
    return re.search(re.escape(selector) + r"\{([^}]*)\}", style).group(1)


def elements(root, tag):
    return list(root.find(SVG + "g").iter(SVG + tag))


def numbers(text):
    return [float(v) for v in re.findall(r"-?\d+\.\d+|-?\d+", text)]


@pytest.fixture
def settings():
    names = [n for n in dir(tw.config) if n.startswith("svg_")]
    saved = {n: getattr(tw.config, n) for n in names}
    yield tw.config
    for n, v in saved.items():
        setattr(tw.config, n, v)


def technology(*specs):
    layers = {f"L{i}": spec for i, spec in enumerate(specs)}
    return tw.Technology("T", "1", layers, [], {}, BASIC.background_medium)


# ---- Frame -------------------------------------------------------------------------------------


def test_frame_numbers_of_a_ten_by_two_rectangle():
    root = parse(tw.Rectangle((0, 0), (10, 2))._repr_svg_())
    assert root.get("viewBox") == "-0.500000 -2.500000 11.000000 3.000000"
    assert root.get("height") == "10.000000rem"
    u = 0.03
    assert rule(root, "path") == "fill:#535e59;fill-opacity:0.094;stroke:#535e59;stroke-width:0.030000;"
    assert rule(root, ".label") == ("transform:scale(1,-1);fill:#221f20;font-weight:bold;"
                                    "font-size:0.240000px;")
    assert rule(root, ".dashed") == "stroke-dasharray:0.150000,0.090000;"
    for selector, width in [(".reference", 0.7 * u), (".terminal", u), (".port", 2 * u),
                            (".virtual-connection", 1.5 * u)]:
        assert float(re.search(r"stroke-width:([\d.]+);", rule(root, selector)).group(1)) == pytest.approx(width)
    defs = {e.get("id"): e for e in root.find(SVG + "defs")}
    assert numbers(defs["port-symbol"].get("d")) == pytest.approx([0, -4 * u, 6 * u, 0, 0, 4 * u])
    assert numbers(defs["ref-port-symbol"].get("d")) == pytest.approx(
        [0, -3 * u, 4 * u, -3 * u, 4 * u, 3 * u, 0, 3 * u])
    assert float(defs["port-bend-symbol"].get("r")) == pytest.approx(1.8 * u)
    assert float(defs["connection-symbol"].get("r")) == pytest.approx(2.1 * u)


@pytest.mark.parametrize("corners", [((-3, 1), (4, 9)), ((0, 0), (2, 10)), ((-7, -7), (-6, -1))])
def test_view_box_margin_and_mirroring(corners):
    (x0, y0), (x1, y1) = corners
    root = parse(tw.Rectangle(*corners)._repr_svg_())
    m = 0.05 * max(x1 - x0, y1 - y0)
    assert view_box(root) == pytest.approx([x0 - m, -y1 - m, x1 - x0 + 2 * m, y1 - y0 + 2 * m], abs=1e-6)


# ---- Layer rules -------------------------------------------------------------------------------


def layer_component(*specs):
    c = tw.Component("LAYERS", technology=technology(*specs))
    for i, spec in enumerate(specs):
        c.add(spec.layer, tw.Rectangle((i * 3, 0), (i * 3 + 2, 2)))
    return c


def test_layer_rules_follow_colour_and_pattern():
    c = layer_component(tw.LayerSpec((1, 0), "a", "#10203080", "hollow"),
                        tw.LayerSpec((2, 5), "b", "#a0b0c080", "solid"),
                        tw.LayerSpec((3, 0), "c", "#ff000040", "\\"),
                        tw.LayerSpec((4, 0), "d", "#0000ffff", "xx"))
    root = parse(c._repr_svg_())
    assert rule(root, ".layer1_0") == "stroke:#102030;fill:none;"
    assert rule(root, ".layer2_5") == "stroke:#a0b0c0;fill:#a0b0c0;fill-opacity:0.501961;"
    assert rule(root, ".label2_5") == "fill:#a0b0c0;"
    hatch = rule(root, ".layer3_0")
    pattern_id = re.fullmatch(r"stroke:#ff0000;fill:url\(#(pat-[^)]+)\);fill-opacity:([\d.]+);", hatch)
    assert float(pattern_id.group(2)) == pytest.approx((0x40 / 255) ** 0.3, abs=1e-6)
    patterns = {p.get("id"): p for p in root.iter(SVG + "pattern")}
    assert set(patterns) == {pattern_id.group(1), re.search(r"url\(#([^)]+)\)", rule(root, ".layer4_0")).group(1)}
    for pattern in patterns.values():
        assert pattern.get("patternUnits") == "userSpaceOnUse"
        assert pattern.get("id").startswith("pat-")
        assert pattern.find(f"{SVG}g/{SVG}line") is not None
    classes = [r.get("class") for r in elements(root, "rect")]
    assert classes == ["layer1_0", "layer2_5", "layer3_0", "layer4_0"]


def test_unlisted_layers_take_derived_colours_and_light_page_darkens_pale_ones():
    pale = tw.LayerSpec((1, 0), "pale", "#f0f0e0ff", "solid")
    c = layer_component(pale)
    c.add((9, 0), tw.Rectangle((0, 5), (1, 6)))
    assert rule(parse(c._repr_svg_()), ".layer9_0").startswith("stroke:#")
    dark = parse(c._repr_svg_(light_page=True))
    colour = re.match(r"stroke:#(\w{6});", rule(dark, ".layer1_0")).group(1)
    channels = [int(colour[i:i + 2], 16) for i in (0, 2, 4)]
    assert max(channels) < 0xf0 and channels[0] == channels[1]
    assert rule(dark, ".label1_0") == f"fill:#{colour};"


# ---- Element bodies ----------------------------------------------------------------------------


def test_rectangles_circles_and_ellipses():
    rotated = tw.Rectangle(center=(1, 2), size=(4, 2), rotation=30)
    rect = elements(parse(rotated._repr_svg_()), "rect")[0]
    assert numbers(" ".join(rect.get(k) for k in ("x", "y", "width", "height"))) == [-1, 1, 4, 2]
    assert rect.get("transform") == "translate(1.000000 2.000000) rotate(30.000000) translate(-1.000000 -2.000000)"
    circle = elements(parse(tw.Circle(1.5, (2, -1))._repr_svg_()), "circle")[0]
    assert (circle.get("cx"), circle.get("cy"), circle.get("r")) == ("2.000000", "-1.000000", "1.500000")
    ellipse = elements(parse(tw.Circle((3, 1), (0, 0), rotation=45)._repr_svg_()), "ellipse")[0]
    assert (ellipse.get("rx"), ellipse.get("ry")) == ("3.000000", "1.000000")
    assert "rotate(45.000000)" in ellipse.get("transform")


def path_polygon(d):
    """The shapely polygon of a path's 'M ... Z' rings (first the exterior)."""
    rings = [numbers(part) for part in d.split("M")[1:]]
    points = [list(zip(r[::2], r[1::2])) for r in rings]
    return shapely.Polygon(points[0], points[1:])


@pytest.mark.parametrize("shape", [
    tw.Polygon([(0, 0), (10, 0), (10, 10), (0, 10)], [[(2, 2), (4, 2), (4, 4)], [(6, 6), (8, 6), (8, 8), (6, 8)]]),
    tw.Path((0, 0), 1).segment((10, 0)).segment((10, 10)).segment((15, 12)),
    tw.Circle(4, inner_radius=2),
    tw.Circle(3, sector=(0, 120)),
])
def test_outlines_cover_the_shape_area(shape):
    (path,) = elements(parse(shape._repr_svg_()), "path")
    assert path_polygon(path.get("d")).area == pytest.approx(shape.to_polygon().area(), rel=1e-6)


@pytest.mark.parametrize("anchor, text_anchor, baseline", [
    ("NW", "start", "text-before-edge"), ("N", "middle", "text-before-edge"),
    ("E", "end", "central"), ("O", "middle", "central"), ("SW", "start", "text-after-edge"),
    ("SE", "end", "text-after-edge")])
def test_label_anchors(anchor, text_anchor, baseline):
    label = tw.Label("a<b & c", (1, 2), anchor)
    root = parse(label._repr_svg_())
    group = root.find(f"{SVG}g/{SVG}g")
    text = group.find(SVG + "text")
    assert group.get("transform") == "translate(1.000000 2.000000) scale(1 -1)"
    assert (text.get("text-anchor"), text.get("dominant-baseline")) == (text_anchor, baseline)
    assert text.text == "a<b & c" and (text.get("x"), text.get("y")) == ("0", "0")
    # The frame around a single point is a micrometre wide; the font follows its unit.
    assert view_box(root) == pytest.approx([0.5, -2.5, 1, 1])
    assert float(text.get("font-size")) == pytest.approx(0.08)


def test_label_transform_and_scaling_setting(settings):
    label = tw.Label("x", (0, 0), rotation=90, scaling=2, x_reflection=True)
    transform = lambda: parse(label._repr_svg_()).find(f"{SVG}g/{SVG}g").get("transform")
    assert transform() == "translate(0.000000 0.000000) rotate(90.000000) scale(1 -1) scale(1 -1)"
    settings.svg_label_scaling = 3
    assert "scale(6.000000)" in transform()
    settings.svg_label_scaling = -0.5
    assert "scale(0.500000)" in transform()


def test_port_and_terminal_bodies():
    port = tw.Port((1, 2), 90, STRIP, bend_radius=5)
    root = parse(port._repr_svg_())
    inner = root.find(f"{SVG}g/{SVG}g")
    assert inner.get("transform") == "translate(1.000000 2.000000) rotate(90.000000)"
    line = inner.find(SVG + "path")
    half = STRIP.width / 2
    assert line.get("class") == "port" and numbers(line.get("d")) == pytest.approx([0, -half, 0, half])
    uses = [(u.get("href"), u.get("y")) for u in inner.iter(SVG + "use")]
    assert uses == [("#port-symbol", None), ("#port-bend-symbol", "5.000000")]
    terminal = tw.Terminal((1, 0), tw.Rectangle((0, 0), (2, 1)))
    (rect,) = elements(parse(terminal._repr_svg_()), "rect")
    assert rect.get("class") == "terminal"


# ---- Components --------------------------------------------------------------------------------


def cell(name="CELL"):
    c = tw.Component(name, technology=BASIC)
    c.add((2, 0), tw.Rectangle((0, -0.25), (10, 0.25)))
    c.add((2, 0), tw.Label("cell label", (5, 1)))
    c.add_port(tw.Port((0, 0), 0, STRIP), "P0")
    c.add_port(tw.Port((10, 0), 180, STRIP), "P1")
    c.add_terminal(tw.Terminal((2, 0), tw.Rectangle((4, 4), (6, 6))), "T")
    return c


def hierarchy():
    """TOP holds MID twice (one of them a 2 × 1 array); MID holds CELL."""
    leaf = cell()
    mid = tw.Component("MID", technology=BASIC)
    mid.add_reference(tw.Reference(leaf, (0, 0)))
    mid.add((1, 0), tw.Circle(1, (5, 5)))
    top = tw.Component("TOP <&>", technology=BASIC)
    top.add_reference(tw.Reference(mid, (0, 0)))
    top.add_reference(tw.Reference(mid, (0, 20), rotation=90, columns=2, spacing=(15, 0)))
    return top, mid, leaf


def groups(root):
    return {g.get("data-name"): g for g in root.iter(SVG + "g") if g.get("data-name") is not None}


def test_component_groups_ids_and_references():
    top, mid, leaf = hierarchy()
    text = top._repr_svg_()
    root = parse(text)
    named = groups(root)
    assert set(named) == {"TOP <&>", "MID", "CELL"}
    assert all(re.fullmatch(r"C\d+", g.get("id")) for g in named.values())
    assert len({g.get("id") for g in named.values()}) == 3
    uses = [u for u in named["TOP <&>"].findall(SVG + "use")]
    assert [u.get("href") for u in uses] == ["#" + named["MID"].get("id")] * 3
    origins = [r.origin for r in top.references[1].get_repetition()]
    assert [u.get("transform") for u in uses] == ["translate(0.000000 0.000000)"] + [
        f"translate({x:.6f} {y:.6f}) rotate(90.000000)" for x, y in origins]
    # Each component is drawn once however often it is used.
    assert len(named["MID"].findall(SVG + "use")) == 1
    box = top.bounds()
    x, y, w, h = view_box(root)
    assert x < box[0][0] and y < -box[1][1] and x + w > box[1][0] and y + h > -box[0][1]
    # Ports, labels and terminals of referenced components stay hidden by default.
    assert named["CELL"].find(SVG + "g") is None


def test_reference_depth_draws_boxes(settings):
    top, mid, leaf = hierarchy()
    settings.svg_reference_depth = 0
    root = parse(top._repr_svg_())
    boxes = [r for r in elements(root, "rect") if r.get("class") == "reference"]
    assert len(boxes) == 2
    assert not [u for u in elements(root, "use") if u.get("href").startswith("#C")]
    array_box = top.references[1].bounds()
    last = boxes[1]
    assert numbers(" ".join(last.get(k) for k in ("x", "y", "width", "height"))) == pytest.approx(
        [array_box[0][0], array_box[0][1], array_box[1][0] - array_box[0][0], array_box[1][1] - array_box[0][1]])
    assert not [t for t in elements(root, "text") if t.text == "MID"]
    settings.svg_reference_names = True
    names = [t for t in elements(parse(top._repr_svg_()), "text") if t.text == "MID"]
    assert len(names) == 2 and names[0].get("text-anchor") == "middle"
    settings.svg_reference_depth = 1
    root = parse(top._repr_svg_())
    assert set(groups(root)) == {"TOP <&>", "MID"}
    assert [r.get("class") for r in groups(root)["MID"].findall(SVG + "rect")] == ["reference"]


def test_port_label_and_reference_settings(settings):
    leaf = cell()
    top = tw.Component("TOP", technology=BASIC)
    top.add_reference(tw.Reference(leaf, (0, 10)))
    top.add_port(tw.Port((0, 0), 0, STRIP), "IN")
    top.add((2, 0), tw.Label("top label", (1, 1)))

    def texts():
        return sorted(t.text for t in groups(parse(top._repr_svg_()))["TOP"].iter(SVG + "text"))

    assert texts() == ["IN", "top label"]
    settings.svg_port_names = False
    assert texts() == ["top label"]
    settings.svg_labels = False
    assert texts() == []
    settings.svg_reference_ports = True
    settings.svg_reference_port_names = True
    root = parse(top._repr_svg_())
    assert sorted(t.text for t in groups(root)["TOP"].iter(SVG + "text")) == ["P0", "P1"]
    hrefs = [u.get("href") for u in groups(root)["TOP"].iter(SVG + "use")]
    assert hrefs.count("#ref-port-symbol") == 2 and hrefs.count("#port-symbol") == 1
    dashed = [e for e in groups(root)["TOP"].iter(SVG + "rect") if e.get("class") == "terminal dashed"]
    assert len(dashed) == 1
    settings.svg_reference_labels = True
    assert [t.text for t in groups(parse(top._repr_svg_()))["CELL"].iter(SVG + "text")] == ["cell label"]
    settings.svg_ports = False
    hrefs = [u.get("href") for u in groups(parse(top._repr_svg_()))["TOP"].iter(SVG + "use")]
    assert "#port-symbol" not in hrefs


def test_port_names_sit_outside_by_quadrant():
    c = tw.Component("PORTS", technology=BASIC)
    for name, direction in [("E", 180), ("W", 0), ("N", -90), ("S", 90)]:
        c.add_port(tw.Port((0, 0), direction, STRIP), name)
    root = parse(c._repr_svg_())
    texts = {t.text: (t.get("text-anchor"), t.get("dominant-baseline")) for t in elements(root, "text")}
    # Names read along the page's axes whatever the port's turn.
    turns = [g.get("transform") for g in elements(root, "g") if g.find(SVG + "text") is not None]
    assert sorted(turns) == ["rotate(-180.000000)", "rotate(-90.000000)",
                             "rotate(0.000000)", "rotate(90.000000)"]
    assert texts == {"E": ("start", "central"), "W": ("end", "central"),
                     "N": ("middle", "text-after-edge"), "S": ("middle", "text-before-edge")}


def test_virtual_connections_and_nets(settings):
    leaf = cell()
    top = tw.Component("TOP", technology=BASIC)
    a = top.add_reference(tw.Reference(leaf, (0, 0)))
    b = top.add_reference(tw.Reference(leaf, (30, 0)))
    top.add_virtual_connection(a, "P1", b, "P0")
    top.add_virtual_net([(a, "T"), (b, "T")])
    root = parse(top._repr_svg_())
    paths = {p.get("class"): p for p in elements(root, "path") if "virtual" in (p.get("class") or "")}
    # Ports 20 apart facing each other: control points 20/6 outward from each.
    assert numbers(paths["virtual-connection"].get("d")) == pytest.approx(
        [10, 0, 10 + 20 / 6, 0, 30 - 20 / 6, 0, 30, 0], abs=1e-5)
    assert numbers(paths["virtual-connection dashed"].get("d")) == pytest.approx([5, 5, 35, 5])
    hrefs = [u.get("href") for u in elements(root, "use")]
    assert hrefs.count("#connection-symbol") == 2
    settings.svg_virtual_connections = False
    assert "virtual-connection" not in "".join(
        p.get("class") or "" for p in elements(parse(top._repr_svg_()), "path"))


def test_partial_rendering_needs_page_ids():
    top, mid, leaf = hierarchy()
    with pytest.raises(RuntimeError, match="MID$"):
        top._repr_svg_(partial=True)
    # Drawn only as a definition inside another document, MID is still no page element.
    parse(top._repr_svg_())
    with pytest.raises(RuntimeError, match="MID$"):
        top._repr_svg_(partial=True)
    mid_root = parse(mid._repr_svg_())
    root = parse(top._repr_svg_(partial=True), partial=True)
    assert set(groups(root)) == {"TOP <&>"}
    mid_id = groups(mid_root)["MID"].get("id")
    assert {u.get("href") for u in groups(root)["TOP <&>"].findall(SVG + "use")} == {"#" + mid_id}
    # The id stays with the component.
    assert groups(parse(mid._repr_svg_()))["MID"].get("id") == mid_id


def test_mimebundle_and_single_reference():
    top, mid, leaf = hierarchy()
    bundle = top._repr_mimebundle_(include=None, exclude=None)
    assert list(bundle) == ["image/svg+xml"]
    parse(bundle["image/svg+xml"])
    root = parse(top.references[1]._repr_svg_())
    assert len(elements(root, "use")) >= 2


def test_large_components_fall_back_to_boxes():
    dense = tw.Component("DENSE", technology=BASIC)
    points = [(i * 1e-3, (i % 2) * 1e-3) for i in range(250_000)]
    points += [(250, 10), (0, 10)]
    dense.add((2, 0), tw.Polygon(points))
    text = dense._repr_svg_()
    assert len(text) < 4 << 20
    (rect,) = elements(parse(text), "rect")
    assert rect.get("class") == "layer2_0"
    # A small drawing under it keeps its detail while the heavy one becomes a box.
    top = tw.Component("TOP", technology=BASIC)
    top.add_reference(tw.Reference(dense))
    top.add((1, 0), tw.Rectangle((0, 0), (1, 1)))
    root = parse(top._repr_svg_())
    assert [r.get("class") for r in elements(root, "rect")] == ["layer1_0", "reference"]


def test_too_many_references_become_one_box():
    leaf = tw.Component("LEAF", technology=BASIC)
    leaf.add((1, 0), tw.Rectangle((0, 0), (1, 1)))
    top = tw.Component("MANY", technology=BASIC)
    top.add((2, 0), tw.Rectangle((0, -3), (1, -2)), tw.Rectangle((5, -3), (6, -2)))
    top.add((2, 0), tw.Label("hidden", (0, 0)))
    for i in range(70_000):
        top.add_reference(tw.Reference(leaf, (2 * (i % 300), 2 * (i // 300))))
    root = parse(top._repr_svg_())
    boxes = [(r.get("class"), numbers(" ".join(r.get(k) for k in ("x", "y", "width", "height"))))
             for r in elements(root, "rect")]
    assert boxes == [("layer2_0", [0, -3, 6, 1]), ("reference", [0, 0, 599, 2 * (69_999 // 300) + 1])]
    assert not elements(root, "text")


def apply_transform(transform, point):
    """A point mapped by an SVG transform list (translate, rotate, scale), rightmost first."""
    x, y = point
    for name, args in reversed(re.findall(r"(\w+)\(([^)]*)\)", transform)):
        values = [float(v) for v in args.split()]
        if name == "translate":
            x, y = x + values[0], y + values[1]
        elif name == "rotate":
            a = math.radians(values[0])
            x, y = x * math.cos(a) - y * math.sin(a), x * math.sin(a) + y * math.cos(a)
        else:
            x, y = x * values[0], y * values[-1]
    return x, y


@pytest.mark.parametrize("rotation, scaling, x_reflection", [(0, 1, False), (30, 2, True), (270, -0.5, True)])
def test_use_transforms_place_geometry_as_the_reference_does(rotation, scaling, x_reflection):
    leaf = tw.Component("LEAF", technology=BASIC)
    leaf.add((1, 0), tw.Polygon([(1, 0), (3, 0), (3, 1)]))
    top = tw.Component("TOP", technology=BASIC)
    reference = top.add_reference(tw.Reference(leaf, (4, -2), rotation, scaling, x_reflection))
    (use,) = groups(parse(top._repr_svg_()))["TOP"].findall(SVG + "use")
    placed = reference.get_structures((1, 0))[0].vertices
    drawn = [apply_transform(use.get("transform"), p) for p in [(1, 0), (3, 0), (3, 1)]]
    # Compared as point sets (placing may start the ring elsewhere or reverse it), within the
    # grid the placed copy snaps to.
    distances = [[math.dist(d, p) for p in placed] for d in drawn]
    assert max(min(row) for row in distances) < 1e-3
    assert max(min(column) for column in zip(*distances)) < 1e-3
