"""Dumps a KLayout DRC report database as JSON.

Runs inside KLayout (`klayout -b -r dump_drc.py -rd input=... -rd output=... [-rd max_results=N]`):
each `-rd` variable arrives as a global string. Coordinates are written in micrometres, the
unit the report database holds its shapes in.
"""

import json
import math

import pya


def _number(value):
    """A coordinate or factor for JSON; non-finite values are wrapped because JSON has none."""
    value = float(value)
    if math.isfinite(value):
        return round(value, 9)
    return {"float": repr(value)}


def _point(point):
    return [_number(point.x), _number(point.y)]


def _edge(edge):
    return [_point(edge.p1), _point(edge.p2)]


def _polygon(polygon):
    return {
        "hull": [_point(p) for p in polygon.each_point_hull()],
        "holes": [[_point(p) for p in polygon.each_point_hole(i)] for i in range(polygon.holes())],
    }


def _category_names(database):
    """(dotted name, category) of every category by id, parents before their sub-categories."""
    names = {}
    pending = [(category, category.name()) for category in database.each_category()]
    pending.reverse()
    while pending:
        category, name = pending.pop()
        names[category.rdb_id()] = (name, category)
        children = [(sub, name + "." + sub.name()) for sub in category.each_sub_category()]
        pending.extend(reversed(children))
    return names


def _cell(database, cell):
    references = []
    for reference in cell.each_reference():
        parent = database.cell_by_id(reference.parent_cell_id)
        trans = reference.trans
        references.append({
            "parent": parent.name() if parent is not None else None,
            "x": _number(trans.disp.x),
            "y": _number(trans.disp.y),
            "rotation": _number(trans.angle),
            "mirror": bool(trans.is_mirror()),
            "scale": _number(trans.mag),
        })
    return {"name": cell.name(), "variant": cell.variant(), "references": references}


def _shape(value):
    """The geometry part of a marker from one item value, or None when it holds no geometry."""
    if value.is_edge_pair():
        pair = value.edge_pair()
        return {"edge_pair": [_edge(pair.first), _edge(pair.second)],
                "symmetric": bool(pair.symmetric)}
    if value.is_edge():
        return {"edge": _edge(value.edge())}
    if value.is_polygon():
        return {"polygon": _polygon(value.polygon())}
    if value.is_box():
        return {"polygon": _polygon(pya.DPolygon(value.box()))}
    if value.is_path():
        return {"polygon": _polygon(value.path().polygon())}
    if value.is_text():
        text = value.text()
        return {"text": text.string, "position": [_number(text.x), _number(text.y)]}
    return None


def _marker(item, category_names, cell_names):
    """An item's first geometric value decides its kind; items without one carry their text."""
    marker = {
        "category": category_names.get(item.category_id(), ("", None))[0],
        "cell": cell_names.get(item.cell_id()),
    }
    values = list(item.each_value())
    for value in values:
        shape = _shape(value)
        if shape is not None:
            marker.update(shape)
            return marker
    marker["value"] = values[0].string() if values else ""
    return marker


def _limit(text):
    """The `max_results` variable: a count of markers to keep, or None for all of them."""
    if text is None or str(text).strip() == "":
        return None
    return max(0, int(str(text).strip()))


def dump(path, limit):
    database = pya.ReportDatabase("")
    database.load(path)
    categories = _category_names(database)
    cells = list(database.each_cell())
    cell_names = {cell.rdb_id(): cell.name() for cell in cells}
    markers = []
    for item in database.each_item():
        if limit is not None and len(markers) >= limit:
            break
        markers.append(_marker(item, categories, cell_names))
    return {
        "description": database.description,
        "generator": database.generator,
        "top_cell": database.top_cell_name,
        "categories": [{"name": name, "description": category.description}
                       for name, category in categories.values()],
        "cells": [_cell(database, cell) for cell in cells],
        "total": database.num_items(),
        "markers": markers,
    }


# The -rd variables are globals of the macro; "input" and "output" are always given.
variables = globals()
limit = _limit(variables.get("max_results"))
text = json.dumps(dump(variables["input"], limit), ensure_ascii=False, allow_nan=False)
with open(variables["output"], "wb") as stream:
    # Strings from the database may hold unpaired surrogates, which UTF-8 cannot encode.
    stream.write(text.encode("utf-8", "replace"))
