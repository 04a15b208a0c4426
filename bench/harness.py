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
    jax.tree_util.tree_map(lambda a: a.block_until_ready() if hasattr(a, "block_until_ready") else a, out)
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


class Table:
    """Rows of (case, ours, reference, ratio = reference / ours); a ratio above 1 means faster."""

    def __init__(self, title):
        self.title = title
        self.rows = []

    def add(self, case, ours_s, ref_s, ref_name):
        self.rows.append((case, ours_s, ref_s, ref_name))
        print(f"  {case:<48} {ours_s * 1e3:10.3f} ms  {ref_name:<26} {ref_s * 1e3:10.3f} ms"
              f"  ratio {ref_s / ours_s:7.2f}x", flush=True)

    def header(self):
        print(f"\n== {self.title}  (workers: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'all')})")


def compare(table, case, ours, ref, args, ref_name, ref_args=None):
    """Times jitted `ours` and `ref` on the same inputs and adds a row."""
    ours_s = median_seconds(ours, *args)
    ref_s = median_seconds(ref, *(args if ref_args is None else ref_args))
    table.add(case, ours_s, ref_s, ref_name)


def setup():
    register_all()
    return np.random.default_rng(0)
