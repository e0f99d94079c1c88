"""Headless Chromium as a test instrument: shows an SVG document at a known pixel size on a known
background and returns the screenshot's pixels, addressed by layout coordinates.

Import the `browser` fixture into a test module (`from browser import browser`); it skips the
module's browser tests with the reason when Chromium is missing or cannot start."""

import itertools
import os
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ElementTree
import zlib

import pytest

EXECUTABLES = ("chromium", "chromium-browser")
# Root needs --no-sandbox; the scale factor pins one CSS pixel to one screenshot pixel; the
# private profile keeps concurrent runs apart.
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
         "--hide-scrollbars", "--force-device-scale-factor=1", "--no-first-run",
         "--disable-extensions")
# A hung browser fails the test instead of the whole run.
STARTUP_LIMIT = 120


class BrowserError(RuntimeError):
    pass


# ---- PNG decoding ---------------------------------------------------------------------------


class Image:
    """Pixels of an 8-bit RGB or RGBA picture, row by row from the top."""

    def __init__(self, width, height, channels, rows):
        self.width, self.height, self.channels, self.rows = width, height, channels, rows

    def pixel(self, column, row):
        """The (red, green, blue) of a pixel; alpha is dropped (screenshots are opaque)."""
        if not (0 <= column < self.width and 0 <= row < self.height):
            raise IndexError(f"pixel ({column}, {row}) is outside the {self.width} x {self.height} image")
        start = column * self.channels
        return tuple(self.rows[row][start:start + 3])


def _paeth(left, up, up_left):
    estimate = left + up - up_left
    distances = abs(estimate - left), abs(estimate - up), abs(estimate - up_left)
    return (left, up, up_left)[distances.index(min(distances))]


def _unfilter(kind, line, previous, step):
    """Undoes one row's filter; `step` is the bytes per pixel."""
    if kind == 0:
        return line
    if kind == 2:
        return bytearray((a + b) & 0xFF for a, b in zip(line, previous))
    out = bytearray(line)
    for i in range(len(out)):
        left = out[i - step] if i >= step else 0
        if kind == 1:
            out[i] = (out[i] + left) & 0xFF
        elif kind == 3:
            out[i] = (out[i] + ((left + previous[i]) >> 1)) & 0xFF
        elif kind == 4:
            up_left = previous[i - step] if i >= step else 0
            out[i] = (out[i] + _paeth(left, previous[i], up_left)) & 0xFF
        else:
            raise ValueError(f"unknown PNG filter type {kind}")
    return out


def decode_png(data):
    """Decodes a non-interlaced 8-bit RGB or RGBA PNG (what Chromium writes) with zlib alone."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    header, compressed, position = None, bytearray(), 8
    while position + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        crc = data[position + 8 + length:position + 12 + length]
        if len(body) != length or len(crc) != 4 or zlib.crc32(kind + body) != int.from_bytes(crc, "big"):
            raise ValueError(f"damaged PNG chunk {kind!r}")
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
        elif kind == b"IEND":
            break
        position += 12 + length
    if header is None:
        raise ValueError("PNG without a header")
    width, height, depth, color_type, _, _, interlace = header
    channels = {2: 3, 6: 4}.get(color_type)
    if depth != 8 or channels is None or interlace:
        raise ValueError(f"unsupported PNG: depth {depth}, colour type {color_type}, interlace {interlace}")
    raw = zlib.decompress(bytes(compressed))
    stride = width * channels
    if len(raw) != height * (stride + 1):
        raise ValueError("PNG image data has the wrong size")
    rows, previous = [], bytearray(stride)
    for row in range(height):
        start = row * (stride + 1)
        previous = _unfilter(raw[start], bytearray(raw[start + 1:start + 1 + stride]), previous, channels)
        rows.append(bytes(previous))
    return Image(width, height, channels, rows)


# ---- Colours --------------------------------------------------------------------------------


def parse_color(text):
    """(red, green, blue) of "#rrggbb"."""
    text = text.lstrip("#")
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))


def composite(color, opacity, background):
    """The colour of `color` painted at `opacity` over `background`."""
    return tuple(opacity * c + (1 - opacity) * b for c, b in zip(color, background))


def distance(a, b):
    """Largest channel difference."""
    return max(abs(x - y) for x, y in zip(a, b))


# ---- Rendering ------------------------------------------------------------------------------


class Rendering:
    """A screenshot of an SVG document shown in a box of known size. The document's content is
    mirrored (y up), as the document writer draws it, so layout point (x, y) is the document's
    user point (x, -y); the view box is fitted into the box centred, keeping its aspect."""

    def __init__(self, image, view_box, background):
        self.image, self.view_box, self.background = image, view_box, background
        x, y, w, h = view_box
        self.scale = min(image.width / w, image.height / h)
        self.offset = ((image.width - w * self.scale) / 2 - x * self.scale,
                       (image.height - h * self.scale) / 2 - y * self.scale)

    def pixel_of(self, x, y):
        """The (column, row) of the pixel showing layout point (x, y)."""
        return (int(self.offset[0] + x * self.scale), int(self.offset[1] - y * self.scale))

    def at(self, x, y):
        """The colour shown at layout point (x, y)."""
        return self.image.pixel(*self.pixel_of(x, y))

    def window(self, x, y, radius):
        """The colours of the pixels within `radius` (layout units) of point (x, y), as a square."""
        (c0, r0), (c1, r1) = self.pixel_of(x - radius, y + radius), self.pixel_of(x + radius, y - radius)
        return [self.image.pixel(c, r)
                for r in range(max(r0, 0), min(r1, self.image.height - 1) + 1)
                for c in range(max(c0, 0), min(c1, self.image.width - 1) + 1)]


class Browser:
    def __init__(self, executable, folder):
        self.executable, self.folder = executable, folder
        self._names = itertools.count()

    def screenshot(self, page, width, height):
        """Shows an HTML page (a file in the browser's folder) in a window of the given size."""
        output = self.folder / f"{page.stem}.png"
        command = [self.executable, *FLAGS, f"--user-data-dir={self.folder / 'profile'}",
                   f"--screenshot={output}", f"--window-size={width},{height}", page.as_uri()]
        # The browser is a tool, not code under test: the sanitizer runtime stays out of it.
        environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        try:
            result = subprocess.run(command, capture_output=True, text=True, env=environment,
                                    timeout=STARTUP_LIMIT)
        except subprocess.TimeoutExpired:
            raise BrowserError(f"no screenshot within {STARTUP_LIMIT} s") from None
        except OSError as error:
            raise BrowserError(str(error)) from None
        if result.returncode != 0 or not output.exists():
            lines = result.stderr.strip().splitlines() or [f"exit status {result.returncode}"]
            raise BrowserError(lines[-1])
        image = decode_png(output.read_bytes())
        if (image.width, image.height) != (width, height):
            raise BrowserError(f"screenshot is {image.width} x {image.height}, not {width} x {height}")
        return image

    def render(self, svg, width=600, height=None, background="#ffffff"):
        """Shows an SVG document as an image `width` pixels wide (by default as high as its view
        box's aspect asks) on a page of the background colour; returns the Rendering."""
        view_box = ElementTree.fromstring(svg.encode()).get("viewBox")
        if view_box is None:
            raise ValueError("the document has no viewBox")
        view_box = tuple(float(v) for v in view_box.split())
        if height is None:
            height = max(1, round(width * view_box[3] / view_box[2]))
        name = f"drawing{next(self._names)}"
        (self.folder / f"{name}.svg").write_text(svg, encoding="utf-8")
        page = self.folder / f"{name}.html"
        page.write_text(
            "<!DOCTYPE html><html><head><style>html,body{margin:0;padding:0;overflow:hidden;"
            f"background:{background}}}img{{display:block}}</style></head><body>"
            f'<img src="{name}.svg" width="{width}" height="{height}"></body></html>',
            encoding="utf-8")
        return Rendering(self.screenshot(page, width, height), view_box, parse_color(background))


PROBE = '<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 1 1"/>'


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    executable = next(filter(None, map(shutil.which, EXECUTABLES)), None)
    if executable is None:
        pytest.skip("chromium is not installed (the Makefile installs the Debian package 'chromium')")
    instance = Browser(executable, tmp_path_factory.mktemp("browser"))
    try:
        instance.render(PROBE, width=40)
    except BrowserError as error:
        pytest.skip(f"chromium cannot start: {error}")
    return instance
