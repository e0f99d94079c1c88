"""Common base of every fenn3d object."""

import numpy as np


def _equal(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.array_equal(a, b)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(_equal, a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_equal(a[k], b[k]) for k in a)
    return bool(a == b)


def _frozen(value):
    """Hashable form of a stored value, consistent with `_equal`."""
    if isinstance(value, np.ndarray):
        return (value.shape, tuple(value.ravel().tolist()))
    if isinstance(value, (list, tuple)):
        return tuple(_frozen(v) for v in value)
    if isinstance(value, dict):
        return tuple((k, _frozen(v)) for k, v in sorted(value.items()))
    return value


class Fenn3dBaseModel:
    """Immutable record of keyword arguments.

    Every keyword given to the constructor becomes an attribute. Two objects are equal when
    they have the same type and equal stored keywords. Use `copy(update=...)` to derive a
    modified object.
    """

    def __init__(self, **kwargs):
        self.__dict__.update(kwargs)

    def __setattr__(self, name, value):
        raise AttributeError(
            f"'{type(self).__name__}' objects are immutable; use copy(update=...) instead.")

    def copy(self, update=None):
        """A new object of the same type with the stored keywords replaced by `update`."""
        return type(self)(**{**vars(self), **(update or {})})

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return _equal(vars(self), vars(other))

    def __hash__(self):
        return hash((type(self), _frozen(vars(self))))

    def __repr__(self):
        fields = ", ".join(f"{key}={value!r}" for key, value in vars(self).items())
        return f"{type(self).__name__}({fields})"
