"""Registers every handler of mirelon._core with JAX's CPU backend and calls targets by name;
checks of handler errors, child processes with a chosen pool size, and direct handler calls on
NumPy arrays."""
import contextlib
import ctypes
import functools
import os
import subprocess
import sys

import jax
import jax.numpy as jnp
import numpy as np

from mirelon import _core

_HERE = os.path.dirname(os.path.abspath(__file__))

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


def ffi(target, out_shapes, has_side_effect=False, vmap_method=None):
    """The JAX function (usable under jax.jit) that calls `target` (name with or without the
    "mirelon_" prefix) and returns a list of outputs shaped by `out_shapes`, a sequence of
    jax.ShapeDtypeStruct."""
    register_all()
    name = target if target.startswith("mirelon_") else "mirelon_" + target
    return jax.ffi.ffi_call(name, list(out_shapes), has_side_effect=has_side_effect,
                            vmap_method=vmap_method)


def call(target, out_shapes, *args, has_side_effect=False, vmap_method=None):
    """Calls `target` (name with or without the "mirelon_" prefix) on `args`.

    `out_shapes` is one jax.ShapeDtypeStruct or a sequence of them; the results come back as
    NumPy arrays so that handler errors surface here.
    """
    single = isinstance(out_shapes, jax.ShapeDtypeStruct)
    fn = ffi(target, [out_shapes] if single else out_shapes, has_side_effect=has_side_effect,
             vmap_method=vmap_method)
    out = [np.asarray(o) for o in fn(*args)]
    return out[0] if single else out


def shape(shape_, dtype):
    """A jax.ShapeDtypeStruct; `shape_` is a tuple of extents or one extent."""
    dims = tuple(shape_) if np.iterable(shape_) else (shape_,)
    return jax.ShapeDtypeStruct(dims, np.dtype(dtype))



def elementwise_vjp(fn, x, params, g):
    """Cotangents of x and each parameter of the jax.numpy function fn(x, *params), pulled back
    from `g` by jax.vjp. A parameter may be a scalar (its cotangent sums over the observations) or
    hold one value per observation."""
    args = [jnp.asarray(x)] + [jnp.asarray(p) for p in params]
    _, pull = jax.vjp(lambda *a: fn(*a) * jnp.ones_like(args[0]), *args)
    return [np.atleast_1d(np.asarray(o)) for o in pull(jnp.asarray(g))]


def vjp64(fn, args, g):
    """The cotangents of `args` pulled back from `g` by jax.vjp of fn(*args), all in 64-bit."""
    _, pull = jax.vjp(fn, *[jnp.asarray(a, jnp.float64) for a in args])
    return [np.asarray(o) for o in pull(jnp.asarray(g, jnp.float64))]


def segment_ratios_and_squares(points, segments):
    """Every 2-D point against every segment [x0, y0, x1, y1], in 64-bit as the geometry kernels
    evaluate it: the projection ratio onto the segment and the squared distance to the point at
    the ratio clamped to [0, 1], each of shape (points, segments)."""
    p = np.asarray(points, np.float64).reshape(-1, 2)
    s = np.asarray(segments, np.float64).reshape(-1, 4)
    x0, y0, x1, y1 = (s[:, k][None, :] for k in range(4))
    ex, ey = x1 - x0, y1 - y0
    px, py = p[:, :1], p[:, 1:]
    with np.errstate(all="ignore"):
        ratio = ((px - x0) * ex + (py - y0) * ey) / ((ex * ex + ey * ey) + 1e-12)
        t = np.minimum(np.where(ratio > 0, ratio, 0.0), 1.0)
        d2 = (px - (x0 + t * ex)) ** 2 + (py - (y0 + t * ey)) ** 2
    return ratio, d2

@contextlib.contextmanager
def rejected_with(text):
    """Asserts that the block raises a handler error through JAX whose whole text is
    "INVALID_ARGUMENT: " + `text`. Calls in the block need has_side_effect=True, or XLA may drop
    them."""
    want = "INVALID_ARGUMENT: " + text
    try:
        yield
    except jax.errors.JaxRuntimeError as e:
        assert str(e) == want, f"{str(e)!r} != {want!r}"
    else:
        raise AssertionError(f"no error raised, expected {want!r}")


def check_rejected(target, inputs, out_shapes, text, zeroed=(), dtype=None, through_jax=True):
    """A call of `target` fails with `text`: through JAX (unless `through_jax` is false) and, called
    directly, leaving every output as it found it, except those listed in `zeroed`, which it
    zero-fills. An input is an array, a list of values, or a shape (a tuple or one extent) filled
    with 0.5; values and shapes take `dtype`, by default that of the first array. Outputs are
    given by their shapes."""
    if dtype is None:
        dtype = next(x.dtype for x in inputs if isinstance(x, np.ndarray))
    args = [x if isinstance(x, np.ndarray) else
            np.full(x, 0.5, dtype) if isinstance(x, (tuple, int)) else np.asarray(x, dtype)
            for x in inputs]
    if through_jax:
        with rejected_with(text):
            call(target, [shape(s, dtype) for s in out_shapes], *args, has_side_effect=True)
    outs = [np.full(s, 7.5, dtype) for s in out_shapes]
    assert call_handler(target, args, outs) == text
    for i, o in enumerate(outs):
        np.testing.assert_array_equal(o, 0.0 if i in zeroed else 7.5, err_msg=f"output {i}")


def run_child(script, *argv, workers=None, timeout=None):
    """Runs `script` in a fresh Python process that imports this directory's modules; returns its
    standard output as bytes. `workers` sets the pool size (RAYON_NUM_THREADS) of the child."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([_HERE, env.get("PYTHONPATH", "")])
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    out = subprocess.run([sys.executable, "-c", script, *argv], env=env, capture_output=True,
                         timeout=timeout)
    assert out.returncode == 0, out.stderr.decode(errors="replace")
    return out.stdout


def outputs_with_one_and_four_workers(script, *argv):
    """The standard output of `script` run with one pool worker and with four."""
    return [run_child(script, *argv, workers=n) for n in (1, 4)]


_ARRAYS_PROLOGUE = """import sys, numpy as np, jax
jax.config.update("jax_enable_x64", True)
from mirelon_jax import call, shape
out = []
"""
_ARRAYS_EPILOGUE = """
sys.stdout.buffer.write(b"".join(np.ascontiguousarray(o).tobytes() for o in out))
"""


def arrays_with_one_and_four_workers(body):
    """The bytes of the arrays that `body` appends to the list `out`, run in a child process with
    one pool worker and with four. `body` finds numpy as np, jax with 64-bit types enabled, `call`
    and `shape`."""
    return outputs_with_one_and_four_workers(_ARRAYS_PROLOGUE + body + _ARRAYS_EPILOGUE)


# ---- calling a handler directly, without XLA ------------------------------------------------
# A call frame is built in memory around NumPy arrays, so that the handler writes into them and a
# failed call's outputs can be inspected afterwards. The API table is empty except for the
# error-create function, which records the message.

class _Buffer(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_size_t), ("extension_start", ctypes.c_void_p),
                ("dtype", ctypes.c_int32), ("data", ctypes.c_void_p), ("rank", ctypes.c_int64),
                ("dims", ctypes.POINTER(ctypes.c_int64))]


class _List(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_size_t), ("extension_start", ctypes.c_void_p),
                ("size", ctypes.c_int64), ("types", ctypes.c_void_p),
                ("items", ctypes.POINTER(ctypes.c_void_p))]


class _Attrs(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_size_t), ("extension_start", ctypes.c_void_p),
                ("size", ctypes.c_int64), ("types", ctypes.c_void_p), ("names", ctypes.c_void_p),
                ("attrs", ctypes.c_void_p)]


class _Frame(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_size_t), ("extension_start", ctypes.c_void_p),
                ("api", ctypes.c_void_p), ("ctx", ctypes.c_void_p), ("stage", ctypes.c_int32),
                ("args", _List), ("rets", _List), ("attrs", _Attrs), ("future", ctypes.c_void_p)]


class _ErrorArgs(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_size_t), ("extension_start", ctypes.c_void_p),
                ("message", ctypes.c_char_p), ("errc", ctypes.c_int32)]


_ERROR_CREATE = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(_ErrorArgs))
_HANDLER = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(_Frame))
_EXECUTE = 3
_ELEMENT_TYPES = {np.dtype(np.float32): 11, np.dtype(np.float64): 12}


def call_handler(target, inputs, outputs):
    """Runs the handler of `target` (name without "mirelon_") on C-contiguous NumPy arrays, writing
    `outputs` in place; returns the error text, or None when the call succeeds."""
    messages = []

    def error_create(args):
        messages.append(args.contents.message.decode())
        return 1  # any non-null pointer stands for the error object

    callback = _ERROR_CREATE(error_create)
    # Header, version record and internal pointer take 48 bytes; the function table follows,
    # error-create first. The other entries stay null: no kernel calls them.
    api = (ctypes.c_void_p * 32)()
    api[6] = ctypes.cast(callback, ctypes.c_void_p)
    keep = []

    def buffers(arrays):
        items = (ctypes.c_void_p * max(len(arrays), 1))()
        for i, a in enumerate(arrays):
            assert a.flags.c_contiguous
            dims = (ctypes.c_int64 * max(a.ndim, 1))(*a.shape)
            b = _Buffer(ctypes.sizeof(_Buffer), None, _ELEMENT_TYPES[a.dtype], a.ctypes.data,
                        a.ndim, dims)
            keep.extend([dims, b])
            items[i] = ctypes.addressof(b)
        keep.append(items)
        return _List(ctypes.sizeof(_List), None, len(arrays), None, items)

    frame = _Frame(ctypes.sizeof(_Frame), None, ctypes.addressof(api), None, _EXECUTE,
                   buffers(inputs), buffers(outputs), _Attrs(ctypes.sizeof(_Attrs), None, 0),
                   None)
    address = dict(_core.handlers())["mirelon_" + target]
    error = _HANDLER(address)(ctypes.byref(frame))
    # A message is recorded exactly when the handler returns an error.
    assert bool(error) == bool(messages) and len(messages) <= 1, (error, messages)
    return messages[0] if messages else None
