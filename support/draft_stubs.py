"""Draft type stubs for tarnwhistle.extension from the runtime's docstrings.

The first docstring line of every callable is its call signature and every attribute docstring
starts with its type, so a draft with the right names, defaults and markers can be generated.
The draft types parameters as Any; the committed extension.pyi is reviewed and typed by hand, so
this script is a starting point for new types, not a build step:

    PYTHONPATH=build-dev/python python -P support/draft_stubs.py [Name ...] > draft.pyi
"""

import inspect
import re
import sys
import types

import tarnwhistle.extension as ext

# Wrapper slots every type gets from the binding layer or from object; not worth restating.
INHERITED = {"__new__", "__init__", "__repr__", "__str__", "__doc__", "__hash__",
             "__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__",
             "__getattribute__", "__setattr__", "__delattr__"}

SIMPLE_TYPES = {
    "numpy.ndarray": "NDArray[Any]",
    "dict": "dict[Any, Any]",
    "list": "list[Any]",
    "tuple": "tuple[Any, ...]",
    "set": "set[Any]",
    "Structure": "_Structure",
}
TYPE_WORD = re.compile(r"^[A-Za-z_][\w.]*(\[[\w., \[\]]*\])?$")


def split_top_level(text):
    """Split at commas outside brackets and quotes."""
    parts, depth, quote, current = [], 0, None, ""
    for char in text:
        if quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def stub_default(text):
    if re.fullmatch(r"-?[\d.e+-]+|None|True|False|'[^']*'|\"[^\"]*\"", text):
        return text.replace('"', "'")
    return "..."


def stub_parameters(signature_line, self_name):
    match = re.match(r"^\w+\((.*)\)\s*$", signature_line)
    if match is None:
        return None
    params = [self_name] if self_name else []
    for part in split_top_level(match.group(1)):
        if part in ("*", "/"):
            params.append(part)
        elif part == "...":  # further options documented in the body
            params.append("**kwargs: Any")
        elif part.startswith("**"):
            params.append(f"{part}: Any")
        elif part.startswith("*"):
            params.append(f"{part}: Any")
        elif "=" in part:
            name, default = part.split("=", 1)
            params.append(f"{name.strip()}: Any = {stub_default(default.strip())}")
        else:
            params.append(f"{part}: Any")
    return ", ".join(params)


def attribute_type(doc):
    head = (doc or "").split(":", 1)[0].strip() if ":" in (doc or "") else ""
    options = [word.strip() for word in re.split(r"\bor\b|\|", head)] if head else []
    if not options or not all(TYPE_WORD.match(word) for word in options):
        return "Any"
    mapped = [SIMPLE_TYPES.get(word, word.replace("numpy.ndarray", "NDArray[Any]"))
              for word in options]
    return " | ".join(mapped)


def summary(doc):
    lines = (doc or "").strip().split("\n")
    body = [line for line in lines[1:] if line.strip()] if "(" in lines[0] else lines
    text = (body[0] if body else "").strip().replace('"""', "'''")
    return text


def function_stub(name, obj, indent, self_name=None, decorator=None):
    doc = obj.__doc__ or ""
    params = stub_parameters(doc.split("\n")[0], self_name)
    if params is None:
        params = ", ".join(filter(None, [self_name, "*args: Any", "**kwargs: Any"]))
    out = [f"{indent}@{decorator}"] if decorator else []
    out.append(f"{indent}def {name}({params}) -> Any:")
    text = summary(doc)
    out.append(f'{indent}    """{text}"""' if text else f"{indent}    ...")
    return out


def slot_parameters(slot):
    """Slots carry a text signature with positional-only parameters."""
    params, positional_only = [], 0
    for param in inspect.signature(slot).parameters.values():
        prefix = {param.VAR_POSITIONAL: "*", param.VAR_KEYWORD: "**"}.get(param.kind, "")
        default = "" if param.default is param.empty else f" = {param.default!r}"
        params.append("self" if param.name == "self" else f"{prefix}{param.name}: Any{default}")
        positional_only += param.kind is param.POSITIONAL_ONLY
    if positional_only:
        params.insert(positional_only, "/")
    return ", ".join(params)


def class_stub(name, cls):
    base = cls.__bases__[0].__name__ if cls.__bases__ != (object,) else None
    # Each extension type has its own instance layout; derived types share their base's.
    out = [f"class {name}({base}):"] if base else ["@disjoint_base", f"class {name}:"]
    out.append(f'    """{summary(cls.__doc__)}"""')
    init = stub_parameters((cls.__doc__ or "").split("\n")[0], "self")
    if init:
        out.append(f"    def __init__({init}) -> None: ...")
    for member, value in vars(cls).items():
        if member in INHERITED:
            continue
        kind = type(value).__name__
        if kind == "getset_descriptor":
            annotation = attribute_type(value.__doc__)
            if "read-only" in (value.__doc__ or ""):
                out += ["    @property", f"    def {member}(self) -> {annotation}: ..."]
            else:
                out.append(f"    {member}: {annotation}")
        elif kind == "staticmethod":
            out += function_stub(member, value.__func__, "    ", None, "staticmethod")
        elif kind == "classmethod_descriptor":
            out += function_stub(member, value, "    ", "cls", "classmethod")
        elif kind == "wrapper_descriptor":
            out.append(f"    def {member}({slot_parameters(value)}) -> Any: ...")
        elif kind in ("method_descriptor", "builtin_function_or_method"):
            out += function_stub(member, value, "    ", "self")
    return out


def main(names):
    public = [n for n in dir(ext) if not n.startswith("_")]
    selected = names or public
    lines = []
    for name in selected:
        obj = getattr(ext, name)
        if isinstance(obj, type):
            lines += class_stub(name, obj) + [""]
        elif isinstance(obj, types.BuiltinFunctionType):
            lines += function_stub(name, obj, "") + [""]
        else:
            lines += [f"{name}: {type(obj).__name__}", ""]
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
