"""Dumps a KLayout LVS database as JSON.

Runs inside KLayout (`klayout -b -r dump_lvs.py -rd input=... -rd output=... -rd load_shapes=1`):
each `-rd` variable arrives as a global string. Lengths are written in micrometres.

The netlists and the cross reference come from KLayout's API. Three things the API does not
expose are read from the database text instead: the connections between layers, the log of
the comparison (per circuit pair and overall) and the descriptions of the circuit pairs.
"""

import base64
import gzip
import json
import math
import re

import pya

_STATUS = {"Match": "match", "NoMatch": "nomatch", "Mismatch": "mismatch",
           "MatchWithWarning": "warning", "Skipped": "skipped"}

# Most derived classes first: the bulk variants derive from their three-terminal bases.
_TEMPLATES = [("DeviceClassResistorWithBulk", "RES3"), ("DeviceClassResistor", "RES"),
              ("DeviceClassCapacitorWithBulk", "CAP3"), ("DeviceClassCapacitor", "CAP"),
              ("DeviceClassInductor", "IND"), ("DeviceClassDiode", "DIODE"),
              ("DeviceClassMOS4Transistor", "MOS4"), ("DeviceClassMOS3Transistor", "MOS3"),
              ("DeviceClassBJT4Transistor", "BJT4"), ("DeviceClassBJT3Transistor", "BJT3")]

# Property key under which each schematic net carries its number while the dump is made
# (schematic nets have no identifier of their own).
_NET_NUMBER = "tarnwhistle.dump.net_number"


# --- JSON values --------------------------------------------------------------------------

def _value(value):
    """A property value as JSON; what JSON cannot carry is wrapped in a one-key object."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else {"float": repr(value)}
    if isinstance(value, (bytes, bytearray)):
        return {"bytes": base64.b64encode(bytes(value)).decode("ascii")}
    if isinstance(value, dict):
        return {"dict": [[_value(k), _value(v)] for k, v in value.items()]}
    if isinstance(value, (list, tuple)):
        return [_value(item) for item in value]
    return str(value)


def _number(value):
    value = float(value)
    return round(value, 9) if math.isfinite(value) else {"float": repr(value)}


def _points(points):
    return [[_number(p.x), _number(p.y)] for p in points]


def _polygon(polygon):
    return {"hull": _points(polygon.each_point_hull()),
            "holes": [_points(polygon.each_point_hole(i)) for i in range(polygon.holes())]}


def _placement(trans):
    return {"x": _number(trans.disp.x), "y": _number(trans.disp.y),
            "rotation": _number(trans.angle), "mirror": bool(trans.is_mirror()),
            "scale": _number(trans.mag)}


def _properties(obj, skip=None):
    return [[_value(key), _value(obj.property(key))]
            for key in obj.property_keys() if key != skip]


# --- The database text --------------------------------------------------------------------

_ESCAPES = {"n": "\n", "r": "\r", "t": "\t"}


def _quoted(text, start):
    """The string quoted at text[start] and the index after its closing quote. Octal escapes
    are bytes of the UTF-8 text."""
    quote, out, i = text[start], bytearray(), start + 1
    while i < len(text) and text[i] != quote:
        if text[i] == "\\" and i + 1 < len(text):
            digits = text[i + 1:i + 4]
            if len(digits) == 3 and all(c in "01234567" for c in digits):
                out.append(int(digits, 8) & 0xFF)
                i += 4
                continue
            out += _ESCAPES.get(text[i + 1], text[i + 1]).encode("utf-8")
            i += 2
            continue
        out += text[i].encode("utf-8", "replace")
        i += 1
    return out.decode("utf-8", "replace"), i + 1


# Tokens of the database text: comment lines, parentheses, and words (which may hold quoted
# parts, such as 'a b' or '\\000'b); the blanks between them are passed over.
_TOKEN = re.compile(r"""(?P<comment>^[^\S\n]*\#[^\n]*)
                      | (?P<paren>[()])
                      | (?P<word>(?:'(?:[^'\\]|\\.)*'?|"(?:[^"\\]|\\.)*"?|[^\s()'"])+)""",
                    re.MULTILINE | re.VERBOSE)
_QUOTED = re.compile(r"""'(?:[^'\\]|\\.)*'?|"(?:[^"\\]|\\.)*"?""")

# What the dump reads: the layout's connectivity statements and log, and the cross reference.
_SECTIONS = ("layout", "J", "xref", "Z")
_LAYOUT_STATEMENTS = ("connect", "C", "softconnect", "CS", "global", "G", "softglobal", "GS",
                      "message", "H")


def _word(token):
    if "'" not in token and '"' not in token:
        return token
    return _QUOTED.sub(lambda quoted: _quoted(quoted.group(), 0)[0], token)


def _wanted(stack, keyword):
    if len(stack) == 1:
        return keyword in _SECTIONS
    if len(stack) == 2 and stack[1][0] in ("layout", "J"):
        return keyword in _LAYOUT_STATEMENTS
    return True


def _parse(text):
    """The parts of the database text the dump reads, as a tree: a word directly followed by
    '(' opens a list [word, items...], a bare '(' opens [None, items...]. Other parts (the
    circuits with their geometry, the schematic) are passed over without being kept."""
    root = [None]
    stack = [root]
    skipped = 0  # depth inside a subtree that is passed over
    word_end = -1  # where the last kept word ended, when it is the last item of stack[-1]
    for token in _TOKEN.finditer(text):
        kind = token.lastgroup
        if kind == "paren" and token.group() == "(":
            if skipped:
                skipped += 1
                continue
            keyword = stack[-1].pop() if word_end == token.start() else None
            if _wanted(stack, keyword):
                node = [keyword]
                stack[-1].append(node)
                stack.append(node)
            else:
                skipped = 1
        elif kind == "paren":
            if skipped:
                skipped -= 1
            elif len(stack) > 1:
                stack.pop()
        elif kind == "word" and not skipped:
            stack[-1].append(_word(token.group()))
            word_end = token.end()
            continue
        word_end = -1
    return root


def _children(node, *keys):
    """The sub-lists of `node` whose keyword is one of `keys` (long and short forms)."""
    return [item for item in node[1:] if isinstance(item, list) and item[0] in keys]


def _words(node, *keys):
    """The words of the first sub-list of `node` with one of `keys` that has any."""
    for child in _children(node, *keys):
        words = [item for item in child[1:] if isinstance(item, str)]
        if words:
            return words
    return None


def _read_text(path):
    with open(path, "rb") as stream:
        data = stream.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.decode("utf-8", "replace")


_SEVERITY = {"error": "error", "E": "error", "warning": "warning", "W": "warning",
             "info": "info", "I": "info"}


def _message(entry):
    """A log entry: its severity word, then description, cell, net, category and geometry."""
    severity = next((_SEVERITY[item] for item in entry[1:]
                     if isinstance(item, str) and item in _SEVERITY), "info")
    category = _words(entry, "cat", "X") or []
    geometry = _words(entry, "polygon", "Q")
    polygon = pya.DPolygon.from_s(geometry[0]) if geometry else None
    return {
        "severity": severity,
        "text": (_words(entry, "description", "B") or [""])[0],
        "cell": (_words(entry, "cell", "C") or [None])[0],
        "net": (_words(entry, "net", "N") or [None])[0],
        "category": category[0] if category else None,
        "category_description": category[1] if len(category) > 1 else None,
        "geometry": _polygon(polygon) if polygon is not None and polygon.num_points() else None,
    }


def _log(node, *keys):
    entries = []
    for log in _children(node, "log", "L"):
        entries.extend(_message(entry) for entry in _children(log, *keys))
    return entries


class _DatabaseText:
    """What the dump takes from the database text rather than from the API."""

    def __init__(self, path):
        tree = _parse(_read_text(path))
        self.layout = next(iter(_children(tree, "layout", "J")), [None])
        self.xref = next(iter(_children(tree, "xref", "Z")), [None])
        self.circuits = {}
        for circuit in _children(self.xref, "circuit", "X"):
            names = tuple(item if isinstance(item, str) else None for item in circuit[1:3])
            self.circuits[names] = circuit

    def connections(self, layer, *keys):
        """Layers (or global nets) named after `layer` in the statements `keys`."""
        found = []
        for statement in _children(self.layout, *keys):
            words = [item for item in statement[1:] if isinstance(item, str)]
            if words and words[0] == layer:
                found.extend(words[1:])
        return found

    def extraction_messages(self):
        return [_message(entry) for entry in _children(self.layout, "message", "H")]

    def messages(self):
        return _log(self.xref, "entry", "M")

    def circuit(self, layout_name, schematic_name):
        """(description, messages) of a circuit pair."""
        node = self.circuits.get((layout_name, schematic_name), [None])
        description = _words(node, "description", "B")
        return (description[0] if description else None), _log(node, "entry", "M")


# --- Netlists -----------------------------------------------------------------------------

def _template(device_class):
    for name, template in _TEMPLATES:
        cls = getattr(pya, name, None)
        if cls is not None and isinstance(device_class, cls):
            return template
    return None


def _device_class(device_class):
    return {
        "name": device_class.name,
        "template": _template(device_class),
        "terminals": [t.name for t in device_class.terminal_definitions()],
        "parameters": [[p.name, bool(p.is_primary), _value(p.default_value)]
                       for p in device_class.parameter_definitions()],
    }


class _Netlist:
    """Dumps one side of the comparison; `lvs` is given for the layout side only."""

    def __init__(self, netlist, lvs=None, load_shapes=False):
        self.netlist = netlist
        self.lvs = lvs
        self.load_shapes = load_shapes and lvs is not None
        if lvs is not None:
            self.dbu = lvs.internal_layout().dbu
            self.layers = [(index, lvs.layer_name(index)) for index in lvs.layer_indexes()]
        else:
            for circuit in netlist.each_circuit():
                for number, net in enumerate(circuit.each_net(), 1):
                    net.set_property(_NET_NUMBER, number)

    def net_id(self, net):
        if net is None:
            return None
        return net.cluster_id if self.lvs is not None else net.property(_NET_NUMBER)

    def dump(self, text=None):
        netlist = self.netlist
        result = {}
        if self.lvs is not None:
            tops = netlist.top_circuit_count()
            result["top_circuit"] = netlist.top_circuit().name if tops == 1 else None
        result["circuits"] = [self.circuit(c) for c in netlist.each_circuit()]
        result["device_classes"] = [_device_class(c) for c in netlist.each_device_class()]
        abstracts = {}  # those the devices use: the netlist does not list them itself
        for circuit in netlist.each_circuit():
            for device in circuit.each_device():
                abstract = device.device_abstract
                if abstract is not None and abstract.name not in abstracts:
                    abstracts[abstract.name] = {"name": abstract.name,
                                                "device_class": abstract.device_class().name}
        result["device_abstracts"] = list(abstracts.values())
        if self.lvs is not None:
            result["layers"] = [self.layer(index, name, text) for index, name in self.layers]
        return result

    def layer(self, index, name, text):
        source = self.lvs.layer_info(index).to_s()
        return {
            "name": name,
            "source": source or None,
            "connected_to": text.connections(name, "connect", "C"),
            "soft_connected_to": text.connections(name, "softconnect", "CS"),
            "global_nets": text.connections(name, "global", "G"),
            "soft_global_nets": text.connections(name, "softglobal", "GS"),
        }

    def circuit(self, circuit):
        result = {"name": circuit.name}
        if self.lvs is not None:
            boundary = circuit.boundary
            result["boundary"] = _polygon(boundary) if boundary is not None else None
        result["nets"] = [self.net(net) for net in circuit.each_net()]
        result["pins"] = [{"index": pin.id(), "name": pin.name() or None,
                           "net": self.net_id(circuit.net_for_pin(pin)),
                           "properties": _properties(pin)} for pin in circuit.each_pin()]
        result["devices"] = [self.device(device) for device in circuit.each_device()]
        result["subcircuits"] = [self.subcircuit(sub) for sub in circuit.each_subcircuit()]
        result["properties"] = _properties(circuit)
        return result

    def net(self, net):
        connections = [{"kind": "pin", "pin": ref.pin_id()} for ref in net.each_pin()]
        connections += [{"kind": "device_terminal", "device": ref.device().id(),
                         "terminal": ref.terminal_def().name} for ref in net.each_terminal()]
        connections += [{"kind": "subcircuit_pin", "subcircuit": ref.subcircuit().id(),
                         "pin": ref.pin_id()} for ref in net.each_subcircuit_pin()]
        result = {"id": self.net_id(net), "name": net.name or None, "connections": connections}
        if self.load_shapes:
            result["shapes"], result["labels"] = self.geometry(net)
        result["properties"] = _properties(net, skip=_NET_NUMBER)
        return result

    def geometry(self, net):
        """The net's own shapes and labels (not those of its subcircuits) by layer name."""
        shapes, labels = {}, {}
        for index, name in self.layers:
            container = pya.Shapes()
            self.lvs.shapes_of_net(net, index, False, container)
            for shape in container.each():
                if shape.is_text():
                    label = shape.text.to_dtype(self.dbu)
                    labels.setdefault(name, []).append(
                        {"text": label.string, "position": [_number(label.x), _number(label.y)]})
                elif shape.polygon is not None:
                    shapes.setdefault(name, []).append(_polygon(shape.polygon.to_dtype(self.dbu)))
        return shapes, labels

    def device(self, device):
        device_class = device.device_class()
        terminals, routes = {}, {}
        for terminal in device_class.terminal_definitions():
            terminals[terminal.name] = self.net_id(device.net_for_terminal(terminal.id()))
            rerouted = [[r.device_index, device_class.terminal_definition(r.other_terminal_id).name]
                        for r in (device.each_reconnected_terminal_for(terminal.id()) or [])]
            if rerouted:
                routes[terminal.name] = rerouted
        abstract = device.device_abstract
        return {
            "id": device.id(),
            "device_class": device_class.name,
            "name": device.name or None,
            "abstract": abstract.name if abstract is not None else None,
            "placement": _placement(device.trans),
            "parameters": {p.name: _value(device.parameter(p.id()))
                           for p in device_class.parameter_definitions()},
            "terminals": terminals,
            "parts": [{"abstract": part.device_abstract.name, "placement": _placement(part.trans)}
                      for part in device.each_combined_abstract()],
            "terminal_routes": routes,
            "properties": _properties(device),
        }

    def subcircuit(self, subcircuit):
        reference = subcircuit.circuit_ref()
        return {
            "id": subcircuit.id(),
            "circuit": reference.name,
            "name": subcircuit.name or None,
            "placement": _placement(subcircuit.trans),
            "pins": [[pin.id(), self.net_id(subcircuit.net_for_pin(pin.id()))]
                     for pin in reference.each_pin()],
            "properties": _properties(subcircuit),
        }


# --- Comparison ---------------------------------------------------------------------------

def _status(status):
    return _STATUS.get(str(status))


def _comparisons(xref, layout, schematic, text):
    """Circuit pairs of the cross reference with their net, pin, device and subcircuit pairs."""
    if xref is None:
        return []
    kinds = [("nets", xref.each_net_pair, layout.net_id, schematic.net_id),
             ("pins", xref.each_pin_pair, _id, _id),
             ("devices", xref.each_device_pair, _id, _id),
             ("subcircuits", xref.each_subcircuit_pair, _id, _id)]
    result = []
    for pair in xref.each_circuit_pair():
        names = (_name(pair.first()), _name(pair.second()))
        description, messages = text.circuit(*names)
        comparison = {"layout": names[0], "schematic": names[1], "status": _status(pair.status()),
                      "description": description, "messages": messages}
        for key, pairs, first_id, second_id in kinds:
            comparison[key] = [[first_id(p.first()), second_id(p.second()), _status(p.status()),
                                None] for p in pairs(pair)]
        result.append(comparison)
    return result


def _id(obj):
    return obj.id() if obj is not None else None


def _name(circuit):
    return circuit.name if circuit is not None else None


def dump(path, load_shapes):
    lvs = pya.LayoutVsSchematic()
    lvs.read(path)
    text = _DatabaseText(path)
    layout = _Netlist(lvs.netlist(), lvs, load_shapes)
    reference = lvs.reference
    schematic = _Netlist(reference) if reference is not None else None
    return {
        "unit": lvs.internal_layout().dbu,
        "layout": layout.dump(text),
        "schematic": schematic.dump() if schematic is not None else None,
        "comparisons": _comparisons(lvs.xref(), layout, schematic, text) if schematic else [],
        "messages": text.messages(),
        "extraction_messages": text.extraction_messages(),
    }


# The -rd variables are globals of the macro; "input" and "output" are always given.
variables = globals()
load_shapes = str(variables.get("load_shapes", "1")).strip() == "1"
text = json.dumps(dump(variables["input"], load_shapes), ensure_ascii=False, allow_nan=False)
with open(variables["output"], "wb") as stream:
    # Strings from the database may hold unpaired surrogates, which UTF-8 cannot encode.
    stream.write(text.encode("utf-8", "replace"))
