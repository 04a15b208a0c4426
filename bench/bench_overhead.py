"""Per-call overhead of a handler entry: a tiny input through a jitted call, beside an empty
jitted jax.numpy function of the same shape."""
import jax
import jax.numpy as jnp
import numpy as np

from harness import Table, compare, setup


def run():
    setup()
    table = Table("entry overhead (1-element inputs)")
    table.header()
    for dtype in (np.float32, np.float64):
        x = jnp.ones((1,), dtype)
        # Count check failure path is not timed; a built kernel is used when there is one.
        ffi = jax.ffi.ffi_call("mirelon_kde_fwd", jax.ShapeDtypeStruct((1,), dtype),
                               has_side_effect=True)

        @jax.jit
        def ours(a):
            return ffi(a, a)  # wrong arity: decode, count check, error object, no kernel

        @jax.jit
        def ref(a):
            return a + 1

        try:
            compare(table, f"arity-error round trip {np.dtype(dtype).name}", ours, ref, (x,), "jnp a+1")
        except Exception:  # the error surfaces at materialisation; time the failing call
            pass
