"""Process runner and result containers of the design-rule and layout-versus-schematic checks.

`drc_check` / `load_drc_results` return a `DRCResults`, `lvs_check` / `load_lvs_results` an
`LVSResults`. Both keep the engine's findings as the JSON dump written by the results-reading
macro (`dump`), the engine's output (`log`) and its exit code (`exit_code`), and offer a few
views of them. Coordinates are in micrometres.
"""

import collections
import os
import signal
import subprocess
import sys
import threading
import time

__all__ = ["DRCMarker", "DRCResults", "LVSResults"]


# --- Running the engines ------------------------------------------------------------------

def _format_elapsed(seconds):
    seconds = int(seconds)
    if seconds < 60:
        return f"{seconds} s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min {seconds:02d} s"


class _Progress:
    """The phase and its elapsed time on stderr: one line rewritten about once a second on a
    terminal, a start and an end line otherwise (logs and notebooks)."""

    def __init__(self, label, enabled):
        self.label = label
        self.stream = sys.stderr if enabled else None
        self.live = enabled and _is_terminal(sys.stderr)
        self.start = time.monotonic()
        self._write(f"{label}: started" + ("" if self.live else "\n"))

    def tick(self):
        if self.live:
            elapsed = _format_elapsed(time.monotonic() - self.start)
            self._write(f"\r\x1b[K{self.label}: running, {elapsed} elapsed")

    def finish(self, outcome):
        elapsed = _format_elapsed(time.monotonic() - self.start)
        erase = "\r\x1b[K" if self.live else ""
        self._write(f"{erase}{self.label}: {outcome} after {elapsed}\n")

    def _write(self, text):
        if self.stream is not None:
            try:
                self.stream.write(text)
                self.stream.flush()
            except (OSError, ValueError):  # a closed or broken stderr must not fail the check
                self.stream = None


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _kill_group(process):
    """Kills the process and everything it started (they share its process group)."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    process.wait()


def _drain(stream, chunks):
    """Collects what `stream` yields, so that a talkative engine never blocks on a full pipe."""
    for chunk in iter(lambda: stream.read1(65536), b""):
        chunks.append(chunk)


def _run_process(argv, label, cwd=None, timeout=None, show_progress=True):
    """Run `argv` and return (exit code, combined standard output and error as text).

    The process runs in its own process group; when it takes longer than `timeout` seconds, or
    the caller is interrupted, the whole group is killed and TimeoutError (or the interruption)
    is raised. Descendants still holding the output after the process ended are killed too.
    With `show_progress` the phase `label` and the elapsed time appear on stderr. The output is
    decoded as UTF-8 with replacement characters.
    """
    process = subprocess.Popen(list(argv), cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    progress = _Progress(label, show_progress)
    chunks = []
    reader = threading.Thread(target=_drain, args=(process.stdout, chunks), daemon=True)
    reader.start()
    deadline = None if timeout is None else time.monotonic() + timeout
    try:
        while True:
            wait = 1.0 if deadline is None else min(1.0, max(0.0, deadline - time.monotonic()))
            try:
                process.wait(wait)
                break
            except subprocess.TimeoutExpired:
                if deadline is not None and time.monotonic() >= deadline:
                    raise TimeoutError(f"{label} did not finish within {timeout:g} s.") from None
                progress.tick()
    except BaseException:
        _kill_group(process)
        progress.finish("stopped")
        raise
    finally:
        reader.join(1.0)
        if reader.is_alive():
            # Descendants that outlived the engine still hold the pipe: end them too.
            _kill_group(process)
            reader.join()
        process.stdout.close()
    progress.finish(f"finished (exit code {process.returncode})")
    return process.returncode, b"".join(chunks).decode("utf-8", "replace")


# --- DRC ----------------------------------------------------------------------------------

_MARKER_KINDS = ("edge_pair", "edge", "polygon", "text", "value")


class DRCMarker:
    """One DRC finding: its dotted `category`, its `cell`, its `kind` ("edge_pair", "edge",
    "polygon", "text" or "value") and `data`, the marker's entry in the dump.

    `points` lists every point of its geometry, `bbox` their bounding box
    ((xmin, ymin), (xmax, ymax)) or None for a value marker.
    """

    __slots__ = ("category", "cell", "kind", "data")

    def __init__(self, data):
        self.data = data
        self.category = data.get("category")
        self.cell = data.get("cell")
        self.kind = next((kind for kind in _MARKER_KINDS if kind in data), "value")

    @property
    def points(self):
        geometry = self.data.get(self.kind)
        if self.kind == "edge_pair":
            return [point for edge in geometry for point in edge]
        if self.kind == "edge":
            return list(geometry)
        if self.kind == "polygon":
            return list(geometry["hull"]) + [p for hole in geometry["holes"] for p in hole]
        if self.kind == "text":
            return [self.data["position"]]
        return []

    @property
    def bbox(self):
        points = self.points
        if not points:
            return None
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        return (min(xs), min(ys)), (max(xs), max(ys))

    def __repr__(self):
        place = self.bbox
        where = f", at={place[0]}" if place is not None else f", value={self.data.get('value')!r}"
        return (f"DRCMarker(category={self.category!r}, cell={self.cell!r}, "
                f"kind={self.kind!r}{where})")


class _Results:
    def __init__(self, dump, log, exit_code):
        self.dump = dump
        self.log = log
        self.exit_code = exit_code

    @classmethod
    def _from_dump(cls, dump, log, exit_code):
        return cls(dump, log, exit_code)

    def __str__(self):
        return self.summary()


class DRCResults(_Results):
    """Findings of a design-rule check.

    `markers` holds the markers that were read (at most `max_results`), `total` counts every
    marker of the engine's database; `truncated` tells whether some were left out.
    Iterating gives the markers; `len` is their number.
    """

    def __init__(self, dump, log="", exit_code=0):
        super().__init__(dump, log, exit_code)
        self.markers = [DRCMarker(marker) for marker in dump.get("markers", [])]
        self.total = int(dump.get("total", len(self.markers)))
        # Category name -> description, parents before their dotted sub-categories.
        self.categories = {c["name"]: c.get("description", "") for c in dump.get("categories", [])}
        self.cells = dump.get("cells", [])

    @property
    def truncated(self):
        return len(self.markers) < self.total

    @property
    def passed(self):
        """True when the database holds no marker and the engine exited with code 0."""
        return self.total == 0 and self.exit_code == 0

    def count_by_category(self):
        """Number of markers read in each category (every category, including empty ones)."""
        counts = dict.fromkeys(self.categories, 0)
        counts.update(collections.Counter(marker.category for marker in self.markers))
        return counts

    def markers_in(self, category):
        """The markers of `category` and of its sub-categories."""
        prefix = category + "."
        return [m for m in self.markers if m.category == category
                or (m.category or "").startswith(prefix)]

    def __iter__(self):
        return iter(self.markers)

    def __len__(self):
        return len(self.markers)

    def summary(self):
        if self.passed:
            return "DRC passed: no markers."
        lines = [f"DRC: {self.total} marker{'s' if self.total != 1 else ''}"
                 + (f" ({len(self.markers)} read)" if self.truncated else "")
                 + (f", engine exit code {self.exit_code}" if self.exit_code else "")]
        for name, count in self.count_by_category().items():
            if count:
                description = self.categories.get(name)
                lines.append(f"  {name}: {count}" + (f" ({description})" if description else ""))
        return "\n".join(lines)

    def __repr__(self):
        return (f"DRCResults(total={self.total}, markers={len(self.markers)}, "
                f"exit_code={self.exit_code})")


# --- LVS ----------------------------------------------------------------------------------

_MATCHED = ("match", "warning")


class LVSResults(_Results):
    """Findings of a layout-versus-schematic comparison.

    `layout` and `schematic` are the two netlists of the dump, `comparisons` the circuit pairs
    with their status ("match", "nomatch", "mismatch", "warning" or "skipped"). `matched` is
    True when every circuit pair matched (a match with warnings counts as a match).
    """

    def __init__(self, dump, log="", exit_code=0):
        super().__init__(dump, log, exit_code)
        self.layout = dump.get("layout") or {}
        self.schematic = dump.get("schematic") or {}
        self.comparisons = dump.get("comparisons", [])
        self.extraction_messages = dump.get("extraction_messages", [])

    @property
    def matched(self):
        return bool(self.comparisons) and all(c["status"] in _MATCHED for c in self.comparisons)

    def circuit_status(self):
        """Comparison status by circuit name (the layout's name, or the schematic's when the
        layout has no such circuit)."""
        return {c["layout"] or c["schematic"]: c["status"] for c in self.comparisons}

    @property
    def messages(self):
        """The comparison's messages: the overall ones, then those of each circuit pair (their
        "cell" names the circuit when the engine left it empty)."""
        messages = list(self.dump.get("messages", []))
        for comparison in self.comparisons:
            circuit = comparison["layout"] or comparison["schematic"]
            messages += [dict(m, cell=m.get("cell") or circuit) for m in comparison["messages"]]
        return messages

    def mismatched_nets(self):
        """Net pairs that did not match, as dicts with "circuit", the "layout" and "schematic"
        net names (None when one side has no such net) and "status"."""
        return self._mismatched("nets")

    def mismatched_devices(self):
        """Device pairs that did not match, in the same form as `mismatched_nets`."""
        return self._mismatched("devices")

    def _mismatched(self, key):
        found = []
        for comparison in self.comparisons:
            names = (_names_by_id(self.layout, comparison["layout"], key),
                     _names_by_id(self.schematic, comparison["schematic"], key))
            for layout_id, schematic_id, status, _ in comparison[key]:
                if status not in _MATCHED:
                    found.append({"circuit": comparison["layout"] or comparison["schematic"],
                                  "layout": names[0].get(layout_id),
                                  "schematic": names[1].get(schematic_id),
                                  "status": status})
        return found

    def summary(self):
        head = "LVS: netlists match" if self.matched else "LVS: netlists do not match"
        if self.exit_code:
            head += f" (engine exit code {self.exit_code})"
        lines = [head]
        if not self.matched:
            lines += [f"  {c['layout']} / {c['schematic']}: {c['status']}"
                      for c in self.comparisons]
        nets, devices = self.mismatched_nets(), self.mismatched_devices()
        if nets or devices:
            lines.append(f"  {len(nets)} net and {len(devices)} device pairs do not match")
        errors = [m for m in self.messages + self.extraction_messages if m["severity"] == "error"]
        lines += [f"  error: {m['text']}" for m in errors[:5]]
        if len(errors) > 5:
            lines.append(f"  ... and {len(errors) - 5} more errors")
        return "\n".join(lines)

    def __repr__(self):
        return (f"LVSResults(matched={self.matched}, circuits={len(self.comparisons)}, "
                f"exit_code={self.exit_code})")


def _names_by_id(netlist, circuit_name, key):
    """Names of a circuit's nets or devices by id; unnamed ones as "$<id>"."""
    for circuit in netlist.get("circuits", []):
        if circuit["name"] == circuit_name:
            return {item["id"]: item.get("name") or f"${item['id']}" for item in circuit[key]}
    return {}
