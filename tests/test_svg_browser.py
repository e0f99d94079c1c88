"""SVG drawings shown in a real browser: layer colours appear where the geometry is, at the fill
opacity of each layer's look, and nothing is drawn where there is no geometry."""

import math

import pytest

import tarnwhistle as tw
from browser import browser, composite, distance, parse_color  # noqa: F401 (fixture)

# Interior pixels are exact up to rounding; edges are antialiased and sampled only as windows.
TOLERANCE = 3
BACKGROUNDS = ["#ffffff", "#203040"]


def coverage(pixel, color, background):
    """How far `pixel` lies from `background` towards `color`, 0 to 1 (antialiased edges and thin
    lines are partial mixes), or None when the pixel is not a mix of the two."""
    span = [c - b for c, b in zip(color, background)]
    t = sum((p - b) * s for p, b, s in zip(pixel, background, span)) / sum(s * s for s in span)
    t = min(max(t, 0.0), 1.0)
    return t if distance(pixel, composite(color, t, background)) <= TOLERANCE else None


def strongest(pixels, color, background):
    """The largest coverage of `color` among the pixels that mix it with the background."""
    return max((t for t in (coverage(p, color, background) for p in pixels) if t is not None), default=0)


def assert_shows(rendering, points, color):
    """Each layout point shows `color` (the background when None)."""
    color = rendering.background if color is None else color
    for x, y in points:
        assert distance(rendering.at(x, y), color) <= TOLERANCE, ((x, y), rendering.at(x, y), color)


def test_harness_maps_layout_points_to_pixels(browser):
    # Hand-written document in the writer's frame: mirrored content, a margin around it. A red
    # half-transparent 10 x 2 bar with an opaque blue square on its upper right.
    svg = ('<?xml version="1.0" encoding="UTF-8"?>\n<svg xmlns="http://www.w3.org/2000/svg" '
           'height="10rem" viewBox="-1 -3 12 4"><g transform="scale(1 -1)">'
           '<rect x="0" y="0" width="10" height="2" style="fill:#ff0000;fill-opacity:0.5;stroke:none"/>'
           '<rect x="8" y="1" width="1" height="1" style="fill:#0000ff;stroke:none"/></g></svg>')
    shown = browser.render(svg, width=600, background="#102030")
    assert (shown.image.width, shown.image.height) == (600, 200)
    assert shown.pixel_of(0, 0) == (50, 150) and shown.pixel_of(10, 2) == (550, 50)
    assert shown.background == (0x10, 0x20, 0x30)
    # Mirrored: the square is at the top, so the bar's lower right is red, not blue.
    assert_shows(shown, [(1, 1), (8.5, 0.5)], composite((255, 0, 0), 0.5, shown.background))
    assert_shows(shown, [(8.5, 1.5)], (0, 0, 255))
    assert_shows(shown, [(-0.5, 1), (10.5, 1), (5, -0.5), (5, 2.5)], None)
    # A window over the bar's left edge: background and bar pixels, the bar's half red at most.
    assert strongest(shown.window(0, 1, 0.1), (255, 0, 0), shown.background) == pytest.approx(0.5, abs=0.02)


# A structure alone takes the style sheet's default look for its element.
DEFAULT_LOOK = ((0x53, 0x5E, 0x59), 0.094)
C30, S30 = math.cos(math.pi / 6), math.sin(math.pi / 6)
ALONE = {
    # structure, points inside, points outside (within the drawing)
    "rotated rectangle": (lambda: tw.Rectangle(center=(0, 0), size=(10, 2), rotation=30),
                          [(0, 0), (4 * C30, 4 * S30)], [(4, -0.5), (-4, 0.5)]),
    "rotated ellipse": (lambda: tw.Circle((4, 2), rotation=30),
                        [(0, 0), (3 * C30, 3 * S30)], [(-3 * S30, 3 * C30), (3 * S30, -3 * C30)]),
    "polygon with a hole": (lambda: tw.Polygon([(0, 0), (10, 0), (10, 10), (0, 10)],
                                               holes=[[(3, 3), (7, 3), (7, 7), (3, 7)]]),
                            [(1.5, 5), (5, 8.5)], [(5, 5)]),
    "path with a bend": (lambda: tw.Path((0, 0), 2).segment((10, 0)).turn(90, radius=5, euler_fraction=0),
                         [(5, 0), (10 + 5 * S30, 5 - 5 * C30)], [(10, 5), (5, 4)]),
}


@pytest.mark.parametrize("name", ALONE)
def test_structures_alone_in_the_default_look(browser, name):
    make, inside, outside = ALONE[name]
    rendering = browser.render(make()._repr_svg_(), width=400)
    assert_shows(rendering, inside, composite(*DEFAULT_LOOK, rendering.background))
    assert_shows(rendering, outside, None)


# ---- The demo component ---------------------------------------------------------------------

# Colours of the example technology's layers with looks chosen to cover each kind of fill:
# layer name -> (pattern, alpha).
LOOKS = {"WG_CORE": ("solid", 0x80), "METAL": ("solid", 0xC0), "SLAB": ("solid", None),
         "WG_CLAD": ("/", 0x80), "TRENCH": ("hollow", None)}
# The style sheet's port and reference strokes.
PORT_COLOR, REFERENCE_COLOR = (0x80, 0x50, 0x80), (0x22, 0x1F, 0x20)


def demo_technology():
    technology = tw.basic_technology()
    for name, (pattern, alpha) in LOOKS.items():
        spec = technology.layers[name]
        spec.pattern = pattern
        if alpha is not None:
            spec.color = parse_color(spec.color[:7]) + (alpha,)
    return technology


def demo_component():
    technology = demo_technology()
    cell = tw.Component("CELL", technology=technology)
    cell.add("WG_CORE", tw.Rectangle((0, 0), (6, 2)))
    demo = tw.Component("DEMO", technology=technology)
    demo.add("WG_CORE", tw.Rectangle((0, 0), (12, 4)),
             "WG_CORE", tw.Rectangle(center=(24, 2), size=(10, 3), rotation=30),
             "METAL", tw.Polygon([(0, 8), (12, 8), (12, 18), (0, 18)],
                                 holes=[[(4, 11), (8, 11), (8, 15), (4, 15)]]),
             "SLAB", tw.Path((16, 12), 3).segment((26, 12)).turn(90, radius=5, euler_fraction=0),
             "WG_CLAD", tw.Rectangle((34, 12), (46, 18)),
             "TRENCH", tw.Circle(4, center=(40, 4)),
             "METAL", tw.Label("SVG", origin=(16, 20), anchor="SW"))
    demo.add_port(tw.Port((0, 2), 0, technology.ports["Strip"]), "in")
    demo.add_reference(tw.Reference(cell, (52, 4), rotation=90))
    return demo, technology


def layer_look(technology, name):
    """(colour, fill opacity) of a layer as the browser should paint its solid fill."""
    spec = technology.layers[name]
    return parse_color(spec.color[:7]), int(spec.color[7:9], 16) / 255


# Points well inside solid features, by layer: the rectangle, the rotated rectangle along its
# axis, the polygon's ring on all four sides, the path's straight part and bend, and the
# referenced cell's rectangle turned upright beside the hollow circle.
SOLID_POINTS = {
    "WG_CORE": [(2, 2), (6, 2), (10, 2), (24, 2),
                (24 + 3.5 * C30, 2 + 3.5 * S30), (24 - 3.5 * C30, 2 - 3.5 * S30),
                (51, 5), (51, 7), (51, 9)],
    "METAL": [(2, 13), (10, 13), (6, 9.5), (6, 16.5)],
    "SLAB": [(18, 12), (24, 12), (26 + 5 * math.sin(math.pi / 4), 17 - 5 * math.cos(math.pi / 4))],
}
# Places without geometry: between features, the polygon's hole, the bend's centre, the corner
# of the rotated rectangle's unrotated extent, the hollow circle's inside and the place the
# referenced cell would cover unrotated.
EMPTY_POINTS = [(2, 6), (14, 6), (15.5, 2), (-2, 15), (6, 13), (26, 17), (28.5, 0.8), (40, 4),
                (53.5, 5), (30, 8)]


@pytest.fixture(scope="module", params=BACKGROUNDS)
def shown(request, browser):
    demo, technology = demo_component()
    return browser.render(demo._repr_svg_(), width=900, background=request.param), technology


def test_solid_layers_show_their_colour_at_the_fill_opacity(shown):
    rendering, technology = shown
    for name, points in SOLID_POINTS.items():
        color, opacity = layer_look(technology, name)
        assert_shows(rendering, points, composite(color, opacity, rendering.background))


def test_nothing_is_drawn_where_there_is_no_geometry(shown):
    assert_shows(shown[0], EMPTY_POINTS, None)


def test_hatched_and_hollow_layers(shown):
    rendering, technology = shown
    background = rendering.background
    # The hatch is lines of the layer colour at (alpha/255)^0.3, some pixels wide at this size,
    # with background between them.
    color, opacity = layer_look(technology, "WG_CLAD")
    ink = composite(color, opacity ** 0.3, background)
    pixels = rendering.window(40, 15, 2)
    shares = [coverage(p, ink, background) for p in pixels]
    assert None not in shares, "hatch pixels that mix other colours"
    assert max(shares) > 0.9 and min(shares) < 0.1
    # A hollow layer draws the outline in its colour and leaves the inside alone.
    color, _ = layer_look(technology, "TRENCH")
    assert strongest(rendering.window(44, 4, 0.3), color, background) > 0.6
    assert_shows(rendering, [(40, 4)], None)


def test_ports_and_labels_are_drawn(shown):
    # Both are opaque strokes or glyphs some pixels wide: their colour shows unmixed.
    rendering, technology = shown
    assert any(distance(p, PORT_COLOR) <= TOLERANCE for p in rendering.window(0, 2, 0.3))
    # The label's text lies above and right of its south-west anchor.
    color, _ = layer_look(technology, "METAL")
    text = [p for x in range(17, 22) for p in rendering.window(x, 21, 0.5)]
    assert any(distance(p, color) <= TOLERANCE for p in text)


def test_references_below_the_depth_are_outlines(browser):
    demo, technology = demo_component()
    saved = tw.config.svg_reference_depth
    tw.config.svg_reference_depth = 0
    try:
        rendering = browser.render(demo._repr_svg_(), width=900)
    finally:
        tw.config.svg_reference_depth = saved
    # The cell's rectangle is not drawn but outlined; the demo's own geometry still is drawn.
    assert_shows(rendering, [(51, 7)], None)
    assert strongest(rendering.window(50, 7, 0.2), REFERENCE_COLOR, rendering.background) > 0.5
    color, opacity = layer_look(technology, "WG_CORE")
    assert_shows(rendering, [(6, 2)], composite(color, opacity, rendering.background))
