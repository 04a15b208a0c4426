"""Per-call overhead of a handler entry on tiny inputs.

A compiled loop calls the target K times on a 1-element input; the time per iteration, less that
of the same loop around the jax.numpy formula, is what one call costs through XLA (its custom-call
dispatch, then our entry: decoding the frame, checking counts and element types, running a
1-element kernel). The entry's own share is measured without XLA by the C++ program
mirelon_entry_overhead, which the test build (scripts/test.sh) leaves in build/tests."""
import os
import subprocess

import jax
import jax.numpy as jnp
import numpy as np
from jax import lax

from harness import median_seconds, start

_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build", "tests",
                        "tests", "cpp", "mirelon_entry_overhead")

CALLS = 20000


def _loop(step):
    @jax.jit
    def run(x):
        return lax.fori_loop(0, CALLS, lambda i, v: step(v), x)
    return run


def run():
    _, table = start(f"entry overhead: {CALLS} calls of a 1-element logp_gaussian_fwd in one "
                     "compiled loop")
    for dtype in (np.float32, np.float64):
        x = jnp.full((1,), 0.25, dtype)
        mu = jnp.zeros((1,), dtype)
        sigma = jnp.ones((1,), dtype)
        ffi = jax.ffi.ffi_call("mirelon_logp_gaussian_fwd", jax.ShapeDtypeStruct((1,), dtype))
        ours = _loop(lambda v: ffi(v, mu, sigma) * dtype(1e-3))
        ref = _loop(lambda v: jax.scipy.stats.norm.logpdf(v, mu, sigma) * dtype(1e-3))
        t_ours = median_seconds(ours, x, repeat=7)
        t_ref = median_seconds(ref, x, repeat=7)
        name = np.dtype(dtype).name
        table.add(f"per call, {name}", t_ours / CALLS, t_ref / CALLS, "jnp logpdf in loop")
        print(f"  entry overhead over the inlined formula, {name}: "
              f"{(t_ours - t_ref) / CALLS * 1e9:.0f} ns per call")
    if os.path.exists(_PROGRAM):
        print(subprocess.run([_PROGRAM], check=True, capture_output=True, text=True).stdout,
              end="")
    else:
        print("  (the entry's own share: run scripts/test.sh once to build "
              "mirelon_entry_overhead)")
