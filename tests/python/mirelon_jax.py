"""Registers every handler of mirelon._core with JAX's CPU backend and calls targets by name."""
import ctypes
import functools

import jax
import numpy as np

from mirelon import _core

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def capsule(address):
    """A PyCapsule holding a handler address, as jax.ffi.register_ffi_target wants it."""
    return _capsule_new(address, None, None)


@functools.cache
def register_all():
    """Registers all targets once per process; returns their names in table order."""
    jax.devices("cpu")  # start the backend so that a failed registration raises here
    names = []
    for name, address in _core.handlers():
        jax.ffi.register_ffi_target(name, capsule(address), platform="cpu", api_version=1)
        names.append(name)
    return tuple(names)


def call(target, out_shapes, *args, has_side_effect=False, vmap_method=None):
    """Calls `target` (name with or without the "mirelon_" prefix) on `args`.

    `out_shapes` is one jax.ShapeDtypeStruct or a sequence of them; the results come back as
    NumPy arrays so that handler errors surface here.
    """
    register_all()
    name = target if target.startswith("mirelon_") else "mirelon_" + target
    single = isinstance(out_shapes, jax.ShapeDtypeStruct)
    shapes = [out_shapes] if single else list(out_shapes)
    fn = jax.ffi.ffi_call(name, shapes, has_side_effect=has_side_effect, vmap_method=vmap_method)
    out = [np.asarray(o) for o in fn(*args)]
    return out[0] if single else out


def shape(shape_, dtype):
    return jax.ShapeDtypeStruct(tuple(shape_), np.dtype(dtype))
