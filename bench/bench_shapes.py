"""Signed distance to an intersection of half-spaces against the jitted jax.numpy a user would
write instead, forward and gradient (jax.vjp), for the hard (tau = 0) and soft maximum.

    RAYON_NUM_THREADS=1 python bench/run.py shapes     # one worker
    python bench/run.py shapes                         # all workers
"""
import jax
import jax.numpy as jnp
import numpy as np

from harness import compare, ffi, start, vjp_reference


def _reference(points, normals, offsets, tau):
    s = (points @ normals.T - offsets) / jnp.linalg.norm(normals, axis=1)
    t = tau[0]
    soft = t * jax.nn.logsumexp(s / jnp.where(t > 0, t, 1.0), axis=-1)
    return jnp.where(t > 0, soft, jnp.max(s, axis=-1)).astype(points.dtype)


def run():
    rng, table = start("shapes: half-space signed distance")
    m, k, d = 10**6, 16, 3
    fwd_ref = jax.jit(_reference)
    vjp_ref = vjp_reference(_reference, 3)
    for dtype in (np.float32, np.float64):
        name = np.dtype(dtype).name
        points = jnp.asarray(rng.normal(size=(m, d)).astype(dtype))
        normals = jnp.asarray(rng.normal(size=(k, d)).astype(dtype))
        offsets = jnp.asarray(rng.uniform(0.5, 2.0, k).astype(dtype))
        g = jnp.asarray(rng.normal(size=m).astype(dtype))
        fwd = ffi("halfspace_sd_fwd", (m,), dtype)
        vjp = ffi("halfspace_sd_vjp", [(m, d), (k, d), (k,)], dtype)
        for tau in (0.0, 0.1):
            t = jnp.asarray(np.array([tau], dtype))
            args = (points, normals, offsets, t)
            np.testing.assert_allclose(np.asarray(fwd(*args)), np.asarray(fwd_ref(*args)),
                                       rtol=1e-4, atol=1e-4)
            case = f"M=1e6 K={k} D={d} tau={tau} {name}"
            compare(table, "halfspace_sd_fwd " + case, fwd, fwd_ref, args, "jnp forward")
            compare(table, "halfspace_sd_vjp " + case, vjp, vjp_ref, args + (g,), "jax.vjp of jnp")
