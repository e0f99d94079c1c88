"""The shipped type stubs describe the compiled module as it is."""

import ast
import importlib.util
import os
import pathlib
import re
import site
import subprocess
import sys

import pytest

import tarnwhistle

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Not resolved: a development tree links the sources beside the compiled module.
PACKAGE = pathlib.Path(tarnwhistle.__file__).absolute().parent


def run_tool(*args):
    """Run a mypy tool against the tarnwhistle package under test, wherever it was imported from."""
    env = dict(os.environ)
    package_root = str(PACKAGE.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    if package_root not in site.getsitepackages():  # mypy finds installed packages itself
        env["MYPYPATH"] = package_root
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True,
                          text=True)


def test_stubs_match_runtime():
    result = run_tool("mypy.stubtest", "tarnwhistle.extension",
                      "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_ship_with_package():
    assert (PACKAGE / "py.typed").exists()
    assert (PACKAGE / "extension.pyi").exists()


def test_examples_type_check_strictly():
    result = run_tool("mypy", "--strict", "examples")
    assert result.returncode == 0, result.stdout + result.stderr


# stubtest cannot see the parameters of functions written in C, but their docstrings state them
# on the first line; the stubs must name the same parameters, in the same order and kinds.

def load_draft_module():
    spec = importlib.util.spec_from_file_location("draft_stubs", ROOT / "support" / "draft_stubs.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def documented_parameters(draft, doc):
    """(name, kind, has default) from a 'name(a, b=1, *, c=None)' first docstring line."""
    match = re.match(r"^\w+\((.*)\)\s*$", (doc or "").split("\n")[0])
    if match is None:
        return None
    params, kind = [], "positional"
    for part in draft.split_top_level(match.group(1)):
        if part == "*":
            kind = "keyword"
        elif part == "..." or part.startswith("**"):
            params.append(("**", "var keyword", False))
        elif part.startswith("*"):
            params.append((part[1:], "var positional", False))
            kind = "keyword"
        else:
            params.append((part.split("=")[0].strip(), kind, "=" in part))
    return params


def stub_parameters(function):
    args = function.args
    params = [(a.arg, "positional", False) for a in args.posonlyargs + args.args]
    for index, default in enumerate(reversed(args.defaults)):
        name, kind, _ = params[len(params) - 1 - index]
        params[len(params) - 1 - index] = (name, kind, True)
    params = [p for p in params if p[0] not in ("self", "cls")]
    if args.vararg:
        params.append((args.vararg.arg, "var positional", False))
    params += [(a.arg, "keyword", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append(("**", "var keyword", False))
    return params


def exposed_owners(classes):
    """Runtime types per stub class: itself, or for a base only the stubs have, every exposed
    type that derives from it."""
    bases = {node.name: [b.id for b in node.bases if isinstance(b, ast.Name)] for node in classes}

    def derives(name, base):
        return name == base or any(derives(b, base) for b in bases.get(name, []))

    return {owner: [name for name in bases if not name.startswith("_") and derives(name, owner)]
            for owner in bases}


def documented_callables():
    """(owner, name, definition, documented parameters) of every stub function and method whose
    runtime docstring states its signature (the first of overloads), once per runtime type."""
    from tarnwhistle import extension
    tree = ast.parse((PACKAGE / "extension.pyi").read_text())
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    owners = exposed_owners(classes)
    members = [(None, extension, node) for node in tree.body if isinstance(node, ast.FunctionDef)]
    members += [(name, getattr(extension, name), item) for node in classes
                for name in owners[node.name] for item in node.body
                if isinstance(item, ast.FunctionDef)]
    draft, seen, found = load_draft_module(), set(), []
    for owner, runtime, function in members:
        key = (owner, function.name)
        if key in seen or function.name.startswith("__"):
            continue
        seen.add(key)
        documented = documented_parameters(draft, getattr(runtime, function.name).__doc__)
        if documented is not None:
            found.append((owner, function.name, function, documented))
    return found


CALLABLES = documented_callables()


@pytest.mark.parametrize("function, documented", [c[2:] for c in CALLABLES],
                         ids=[f"{o}.{n}" if o else n for o, n, _, _ in CALLABLES])
def test_stub_parameters_match_docstring(function, documented):
    assert stub_parameters(function) == documented


def test_init_parameters_match_docstring():
    from tarnwhistle import extension
    draft = load_draft_module()
    classes = {node.name: node for node in ast.parse((PACKAGE / "extension.pyi").read_text()).body
               if isinstance(node, ast.ClassDef)}

    def stub_init(name):
        """The __init__ a stub class declares or inherits from the nearest base."""
        node = classes[name]
        own = [f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "__init__"]
        inherited = (stub_init(b.id) for b in node.bases if isinstance(b, ast.Name) and b.id in classes)
        return own[0] if own else next((init for init in inherited if init), None)

    checked = 0
    for name in (name for name in classes if not name.startswith("_")):
        documented = documented_parameters(draft, getattr(extension, name).__doc__)
        if documented is not None and stub_init(name):
            assert stub_parameters(stub_init(name)) == documented, name
            checked += 1
    assert checked > 30


def undocumented_stub_items(tree):
    """Public classes, functions, methods and attributes of the stubs without a docstring. Of
    overloads only the first needs one; special methods, property setters and type aliases need
    none."""
    def is_doc(node):
        return isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str)

    def needs_doc(function, previous):
        decorators = [ast.unparse(d) for d in function.decorator_list]
        return not (function.name.startswith("__") or any(d.endswith(".setter") for d in decorators)
                    or (isinstance(previous, ast.FunctionDef) and previous.name == function.name))

    missing = []
    for scope, body in [("", tree.body)] + [(node.name + ".", node.body) for node in tree.body
                                            if isinstance(node, ast.ClassDef)]:
        for index, node in enumerate(body):
            previous = body[index - 1] if index else None
            following = body[index + 1] if index + 1 < len(body) else None
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_") and not ast.get_docstring(node):
                missing.append(node.name)
            elif isinstance(node, ast.FunctionDef) and not ast.get_docstring(node) and needs_doc(node, previous):
                if scope or not node.name.startswith("_"):
                    missing.append(scope + node.name)
            elif (isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) != "TypeAlias"
                  and not is_doc(following)):
                missing.append(scope + ast.unparse(node.target))
    return missing


def test_every_stub_item_is_documented():
    assert undocumented_stub_items(ast.parse((PACKAGE / "extension.pyi").read_text())) == []
    # The check itself sees a missing attribute, method and class docstring.
    sample = ast.parse('class A:\n    """A."""\n    x: int\n    def f(self) -> None: ...\nclass B: ...\n')
    assert undocumented_stub_items(sample) == ["B", "A.x", "A.f"]
