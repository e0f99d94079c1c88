"""Bytes of solver-package objects for twf files and JSON store documents.

Objects are written as JSON: the class name and the stored keyword fields, recursively.
Loading only ever calls classes of the solver package itself, so a file cannot make the
loader run anything else.
"""

import json
import math

import numpy as np


def _solver():
    import fenn3d
    return fenn3d


def _base():
    return _solver().components.base.Fenn3dBaseModel


def _fields(obj):
    dump = getattr(obj, "dict", None)
    if callable(dump) and not hasattr(obj, "__dict__"):
        return dump()
    return vars(obj)


def _encode(value):
    if isinstance(value, _base()):
        return {"$class": type(value).__name__,
                "fields": {key: _encode(item) for key, item in _fields(value).items()}}
    if isinstance(value, np.ndarray):
        return {"$array": _encode(value.tolist()), "dtype": value.dtype.str, "shape": list(value.shape)}
    if isinstance(value, (bool, str)) or value is None:
        return value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        value = float(value)
        return value if math.isfinite(value) else {"$float": repr(value)}
    if isinstance(value, (complex, np.complexfloating)):
        return {"$complex": [_encode(value.real), _encode(value.imag)]}
    if isinstance(value, tuple):
        return {"$tuple": [_encode(item) for item in value]}
    if isinstance(value, list):
        return [_encode(item) for item in value]
    if isinstance(value, dict):
        return {"$dict": [[_encode(k), _encode(v)] for k, v in value.items()]}
    raise TypeError(f"Unsupported solver value of type '{type(value).__name__}'.")


def _decode(value):
    if isinstance(value, list):
        return [_decode(item) for item in value]
    if not isinstance(value, dict):
        return value
    if "$class" in value:
        cls = getattr(_solver(), str(value["$class"]), None)
        if not (isinstance(cls, type) and issubclass(cls, _base())):
            raise ValueError(f"Unknown solver class '{value['$class']}'.")
        return cls(**{str(key): _decode(item) for key, item in value["fields"].items()})
    if "$array" in value:
        return np.array(_decode(value["$array"]), dtype=np.dtype(value["dtype"])).reshape(value["shape"])
    if "$float" in value:
        return float(value["$float"])
    if "$complex" in value:
        real, imag = (_decode(part) for part in value["$complex"])
        return complex(real, imag)
    if "$tuple" in value:
        return tuple(_decode(item) for item in value["$tuple"])
    if "$dict" in value:
        return {_decode(k): _decode(v) for k, v in value["$dict"]}
    raise ValueError("Invalid solver object data.")


def _fenn3d_to_bytes(obj):
    """Bytes that rebuild an equal solver object."""
    return json.dumps(_encode(obj), separators=(",", ":")).encode()


def _fenn3d_from_bytes(data):
    """The solver object of `_fenn3d_to_bytes` output; RuntimeError for anything else."""
    try:
        return _decode(json.loads(bytes(data).decode()))
    except (ValueError, KeyError, TypeError, AttributeError, RecursionError) as error:
        raise RuntimeError("Invalid solver object data: invalid or corrupted file.") from error


def _fenn3d_to_str(obj):
    """Text form of a solver object."""
    return repr(obj)
