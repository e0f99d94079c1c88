"""Random calls into the binding layer, run against the sanitizer build.

Each input drives a short script: constructors, attribute reads, writes and deletions, methods,
calls and comparisons of every exposed type, and the module functions, with hostile arguments:
NaN, infinities, huge and negative numbers, wrong types, arrays of odd shapes and types, and
objects whose conversions (__float__, __index__, __len__, __getitem__, __iter__, __bool__)
re-initialise the object being called, empty the containers that hold it or raise.

A sanitizer report ends the run, and so does a SystemError: the mark of a binding that
returned a result with an exception pending, or failed without setting one. Every other
exception is an ordinary answer to a bad argument.

Run through `make fuzz FUZZ_TARGET=bindings`; the arguments are libFuzzer's.
"""

import copy
import re
import sys
import warnings

import atheris
import numpy as np

import fenn3d
import tarnwhistle

# Anything that reaches files, processes or the solver stays out: random names must not touch
# the file system.
UNSAFE = re.compile(r"write|load|import|export|twf|snp|drc|lvs|klayout|calibre|verilog|s_matrix"
                    r"|fenn3d|_find_")

# Arguments known to build each type; successful constructions add more while an input runs.
EXAMPLES = {
    "Circle": [(1.0,)],
    "Expression": [("u", ["2 * u", ("v", "u ^ 2")])],
    "Interpolator": [([0.0, 1.0, 2.0], [1.0, -1.0, 0.5])],
    "Label": [("text", (1, 2))],
    "Path": [((0, 0), 0.5)],
    "Polygon": [([(0, 0), (2, 0), (0, 2)], [[(0.2, 0.2), (0.5, 0.2), (0.2, 0.5)]])],
    "Properties": [()],
    "Rectangle": [((0, 0), (2, 1))],
    "LayerSpec": [((1, 0), "core", "blue", "//")],
    "ExtrusionSpec": [((1, 0), fenn3d.Medium(permittivity=4.0), (0, 0.5))],
    "MaskSpec": [(((1, 0), (2, 0)), (3, 0), "-", 0.1)],
    "PortSpec": [("strip", 1.0, (-1, 1), 1, None, None, [(0.5, 0, (1, 0)), (1.0, 0.1, (2, 0))])],
    "Port": [((0, 0), 90, tarnwhistle.PortSpec("p", 1.0, (0, 1), path_profiles={"a": (0.5, 0, (1, 0))}))],
    "GaussianPort": [((0, 0, 1), (0, 0, -1), 2.5)],
    "FiberPort": [((0, 0, 1), (0, 0, -1), (3, 3), (-1, 1))],
    "Terminal": [((1, 0), tarnwhistle.Rectangle((0, 0), (1, 1)))],
    "Technology": [("t", "1", {"A": tarnwhistle.LayerSpec((1, 0), "a")}, [], {}, fenn3d.Medium())],
    "Component": [("cell",)],
    "Reference": [(tarnwhistle.Component("child"), (1, 2), 90, 1, False, 2, 3, (5, 5))],
}

TEXTS = ["", "u", "x", "2 * u", "sin(u) ^ 2", "round", "+", "-", "*", "^", "linear", "smooth",
         "constant", "all", "position", "width", "gradient", "NW", "SE", "cubic", "real_imag",
         "mag_phase", "extrapolate", "Path", "radius", "\x00", "é", "((((((((((u", "x" * 300,
         "(1, 0) + (2, 0) ** -0.1 @ (1, 2)", "'WG_CORE' - ()", "optical", "electrical", "TE",
         "top", "middle", "#12345678", "red", "Strip", "CPW", "WG_CLAD"]
FLOATS = [0.0, -0.0, 0.5, 1.0, -1.0, 90.0, 1e-5, 5e-324, 1e9, -1e9, 1e10, 1e15, 1e300, -1e308,
          float("nan"), float("inf"), float("-inf")]
INTS = [0, 1, -1, 2, 3, 100, 10000, 2**31, 2**32, 2**63, -2**63, 2**100]
DTYPES = [np.float64, np.float32, np.int64, np.int8, np.uint64, np.bool_, np.complex128, object]

API = tarnwhistle.extension
TYPES = sorted((t for t in vars(API).values() if isinstance(t, type)), key=lambda t: t.__name__)
FUNCTIONS = sorted((f for name, f in vars(API).items()
                    if callable(f) and not isinstance(f, type) and not UNSAFE.search(name)),
                   key=lambda f: f.__name__)


def settings():
    """The configuration's writable attributes and their values at start."""
    result = {}
    for name in dir(API.config):
        if not name.startswith("_") and not UNSAFE.search(name):
            try:
                setattr(API.config, name, getattr(API.config, name))
                result[name] = getattr(API.config, name)
            except Exception:
                pass
    return result


SETTINGS = settings()


def parameter_names(function):
    """Keyword names from the signature line that starts every docstring."""
    first = (getattr(function, "__doc__", None) or "").split("\n", 1)[0]
    return re.findall(r"(\w+)=", first) + re.findall(r"[(,]\s*(\w+)(?=[,)])", first)


def exposed_name(cls):
    """The name of the exposed type behind a user subclass."""
    return next(base.__name__ for base in cls.__mro__ if base in TYPES or base is object)


def members(obj):
    return [name for name in dir(type(obj))
            if not name.startswith("__") and not UNSAFE.search(name)]


class Script:
    """State of one input: the live objects, the object being called and the containers of
    the current arguments."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.examples = {name: list(args) for name, args in EXAMPLES.items()}
        # One object of each type to begin with, so that the first steps already call methods.
        self.objects = [getattr(API, name)(*args[0]) for name, args in EXAMPLES.items()]
        self.target = None
        self.containers = []
        self.hooking = False

    def pick(self, items):
        return items[self.fdp.ConsumeIntInRange(0, len(items) - 1)] if items else None

    def hook(self):
        """Runs interpreter code in the middle of a conversion, once at a time."""
        if self.hooking:
            return
        self.hooking = True
        try:
            # Re-initialising the object being called is the likeliest action.
            action = max(0, self.fdp.ConsumeIntInRange(-2, 4))
            if action == 0 and self.target is not None:
                args = self.pick(self.examples.get(exposed_name(type(self.target)), []))
                if args is not None:
                    type(self.target).__init__(self.target, *args)
            elif action == 1:
                for container in self.containers:
                    container.clear()
                self.objects.clear()
            elif action == 2 and self.target is not None:
                delattr(self.target, self.pick(members(self.target)) or "x")
            elif action == 3:
                raise LookupError("raised inside a conversion")
        except LookupError:
            raise
        except Exception:
            pass
        finally:
            self.hooking = False

    def hostile(self, depth):
        script = self
        length = self.fdp.ConsumeIntInRange(0, 3)
        items = [self.value(depth + 1) for _ in range(length)]
        number = self.pick(FLOATS)

        class Hostile:
            def __float__(self):
                script.hook()
                return number

            def __index__(self):
                script.hook()
                return int(number) if number == number and abs(number) < 1e18 else 0

            __int__ = __index__

            def __complex__(self):
                script.hook()
                return complex(number, number)

            def __bool__(self):
                script.hook()
                return bool(number)

            def __len__(self):
                script.hook()
                return length

            def __getitem__(self, index):
                script.hook()
                if not isinstance(index, int) or not -length <= index < length:
                    raise IndexError(index)
                return items[index]

            def __iter__(self):
                script.hook()
                return iter(items)

        # Numbers only, sequences only, or both at once.
        kind = self.fdp.ConsumeIntInRange(0, 2)
        if kind == 0:
            for name in ("__len__", "__getitem__", "__iter__"):
                delattr(Hostile, name)
        elif kind == 1:
            for name in ("__float__", "__index__", "__int__", "__complex__"):
                delattr(Hostile, name)
        return Hostile()

    def array(self, depth):
        shape = [self.fdp.ConsumeIntInRange(0, 4) for _ in range(self.fdp.ConsumeIntInRange(0, 3))]
        values = [self.pick(FLOATS) for _ in range(int(np.prod(shape)))]
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            return np.array(values, dtype=np.float64).reshape(shape).astype(self.pick(DTYPES))

    def value(self, depth=0):
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 15 if depth < 3 else 8)
        if kind == 0:
            return None
        if kind == 1:
            return fdp.ConsumeBool()
        if kind == 2:
            return self.pick(INTS) * self.pick([1, -1])
        if kind == 3:
            return self.pick(FLOATS)
        if kind == 4:
            return fdp.ConsumeRegularFloat()
        if kind == 5:
            return complex(self.pick(FLOATS), self.pick(FLOATS))
        if kind == 6:
            return self.pick(TEXTS) if fdp.ConsumeBool() else fdp.ConsumeUnicode(16)
        if kind == 7:
            return fdp.ConsumeBytes(8)
        if kind == 8:  # a point, whose coordinates may be hostile too
            return (self.value(depth + 1), self.value(depth + 1))
        if kind in (9, 10):
            items = [self.value(depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))]
            if kind == 9:
                return tuple(items)
            self.containers.append(items)
            return items
        if kind == 11:
            return self.array(depth)
        if kind == 12:
            return self.pick(self.objects)
        if kind == 13:
            return self.hostile(depth)
        if kind == 14:
            return {self.pick(TEXTS): self.value(depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}
        return self.pick(TYPES + FUNCTIONS)

    def arguments(self, function):
        args = [self.value() for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
        names = parameter_names(function) + ["bogus"]
        kwargs = {self.pick(names): self.value() for _ in range(self.fdp.ConsumeIntInRange(0, 2))}
        return args, kwargs

    def keep(self, result):
        if isinstance(result, tuple(TYPES)) and len(self.objects) < 16:
            self.objects.append(result)

    def construct(self):
        cls = self.pick(TYPES)
        if self.fdp.ConsumeBool():  # a user subclass: the wrapper is not the exposed type
            cls = type("Sub" + cls.__name__, (cls,), {})
        args, kwargs = self.arguments(cls)
        name = exposed_name(cls)
        if self.fdp.ConsumeBool():
            args = list(self.pick(self.examples.get(name, [()])))
        obj = cls.__new__(cls)
        self.target = obj
        self.keep(obj)  # uninitialised wrappers are callable objects too
        cls.__init__(obj, *args, **kwargs)
        if not kwargs:
            self.examples.setdefault(name, []).append(tuple(args))

    def use(self):
        obj = self.pick(self.objects + [API.config])
        self.target = obj
        action = self.fdp.ConsumeIntInRange(0, 6)
        names = members(obj)
        if action == 0 and names:
            method = getattr(obj, self.pick(names))
            if callable(method):
                args, kwargs = self.arguments(method)
                self.keep(method(*args, **kwargs))
        elif action == 1 and names:
            self.keep(getattr(obj, self.pick(names)))
        elif action == 2 and names:
            setattr(obj, self.pick(names), self.value())
        elif action == 3 and names:
            delattr(obj, self.pick(names))
        elif action == 4:
            args, kwargs = self.arguments(obj)
            self.keep(obj(*args, **kwargs))
        elif action == 5:
            other = self.value()
            (obj == other, obj != other, repr(obj), str(obj), obj < other)
        else:
            self.keep(copy.deepcopy(obj, self.value()) if self.fdp.ConsumeBool() else copy.copy(obj))

    def call_function(self):
        function = self.pick(FUNCTIONS)
        self.target = self.pick(self.objects)
        args, kwargs = self.arguments(function)
        result = function(*args, **kwargs)
        for item in result if isinstance(result, list) else [result]:
            self.keep(item)

    def step(self):
        self.containers = []
        action = self.fdp.ConsumeIntInRange(0, 3)
        if action == 0:
            self.construct()
        elif action == 3:
            self.call_function()
        else:
            self.use()


def test_one_input(data):
    for name, value in SETTINGS.items():
        setattr(API.config, name, copy.copy(value))
    script = Script(data)
    with warnings.catch_warnings():
        # Warnings raised as errors take their own exit from each call.
        warnings.simplefilter("error" if script.fdp.ConsumeBool() else "ignore")
        for _ in range(script.fdp.ConsumeIntInRange(1, 12)):
            try:
                script.step()
            except SystemError:
                raise
            except Exception:
                pass


if __name__ == "__main__":
    # The extension carries no coverage counters for libFuzzer: the branches this script takes
    # are what guides the search.
    for name, function in list(vars(Script).items()):
        if callable(function):
            setattr(Script, name, atheris.instrument_func(function))
    atheris.Setup(sys.argv, atheris.instrument_func(test_one_input))
    atheris.Fuzz()
