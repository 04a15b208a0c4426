"""Side-by-side timing of mirelon targets called through JAX against the code a user would write
instead. Every case is jitted and warmed up; times are medians of repeated calls."""
import os
import statistics
import sys
import time

import jax
import numpy as np

jax.config.update("jax_enable_x64", True)
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from mirelon_jax import register_all  # noqa: E402


def _block(out):
    jax.tree_util.tree_map(
        lambda a: a.block_until_ready() if hasattr(a, "block_until_ready") else a, out)
    return out


def median_seconds(fn, *args, repeat=None, min_time=0.5, warmup=2):
    """Median wall time of fn(*args) (results materialised), after `warmup` calls."""
    for _ in range(warmup):
        _block(fn(*args))
    if repeat is None:
        start = time.perf_counter()
        _block(fn(*args))
        once = max(time.perf_counter() - start, 1e-6)
        repeat = int(min(max(5, min_time / once), 200))
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        _block(fn(*args))
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _duration(seconds):
    """A time in the unit that shows it best: ns, us or ms."""
    for scale, unit in ((1e9, "ns"), (1e6, "us")):
        if seconds * scale < 1e4:
            return f"{seconds * scale:10.1f} {unit}"
    return f"{seconds * 1e3:10.3f} ms"


class Table:
    """Rows of (case, ours, reference, ratio = reference / ours); a ratio above 1 means faster."""

    def __init__(self, title):
        self.title = title
        self.rows = []

    def add(self, case, ours_s, ref_s, ref_name):
        self.rows.append((case, ours_s, ref_s, ref_name))
        print(f"  {case:<48} {_duration(ours_s)}  {ref_name:<26} {_duration(ref_s)}"
              f"  ratio {ref_s / ours_s:7.2f}x", flush=True)

    def header(self):
        workers = os.environ.get("RAYON_NUM_THREADS", "all")
        print(f"\n== {self.title}  (workers: RAYON_NUM_THREADS={workers})")


def compare(table, case, ours, ref, args, ref_name, ref_args=None):
    """Times jitted `ours` and `ref` on the same inputs and adds a row."""
    ours_s = median_seconds(ours, *args)
    ref_s = median_seconds(ref, *(args if ref_args is None else ref_args))
    table.add(case, ours_s, ref_s, ref_name)


def start(title):
    """Registers the targets and prints the header of a new table; returns (rng, table)."""
    register_all()
    table = Table(title)
    table.header()
    return np.random.default_rng(0), table


def ffi(target, out_shapes, dtype):
    """The jitted FFI call of `target` (name without "mirelon_"); `out_shapes` is one shape tuple
    or a list of them, every output of element type `dtype`."""
    if isinstance(out_shapes, tuple):
        shapes = jax.ShapeDtypeStruct(out_shapes, dtype)
    else:
        shapes = [jax.ShapeDtypeStruct(s, dtype) for s in out_shapes]
    return jax.jit(jax.ffi.ffi_call("mirelon_" + target, shapes))


def one_value_reference(fn):
    """Jitted fn(x, p1[0], p2[0], ...) in x's element type, for one-element parameter arrays."""
    return jax.jit(lambda x, *params: fn(x, *[p[0] for p in params]).astype(x.dtype))


def vjp_reference(fn, n_diff=None):
    """Jitted pull-back of jax.vjp of fn with respect to its first `n_diff` arguments (all when
    None); the cotangent g comes last, after every argument of fn."""
    def pull(*args_and_g):
        *args, g = args_and_g
        k = len(args) if n_diff is None else n_diff
        _, pullback = jax.vjp(lambda *d: fn(*d, *args[k:]), *args[:k])
        return pullback(g)
    return jax.jit(pull)


def one_value_reference_vjp(fn):
    """Jitted jax.vjp of one_value_reference(fn) at (x, *params), pulled back from the last
    argument g."""
    return vjp_reference(lambda x, *ps: fn(x, *[p[0] for p in ps]).astype(x.dtype))


def run_sized(title, cases, sizes=(10**6, 10**7), dtypes=(np.float32, np.float64)):
    """Times every (case, ours, ref, args, ref_name) that cases(n, dtype, rng) gives, for each
    size n and element type."""
    rng, table = start(title)
    for n in sizes:
        for dtype in dtypes:
            for case, ours, ref, args, ref_name in cases(n, dtype, rng):
                compare(table, f"{case} n=1e{len(str(n)) - 1} {np.dtype(dtype).name}", ours, ref,
                        args, ref_name)
    return table
