"""Soft closest points, row reductions and the segment and ray distance matrices against the
jitted jax.numpy a user would write instead, 8 batches of 2000 x 2000 pairs.

    RAYON_NUM_THREADS=1 python bench/run.py reductions     # one worker
    python bench/run.py reductions                         # all workers
"""
import jax
import jax.numpy as jnp
import numpy as np

from harness import compare, ffi, start

BATCH, M, N = 8, 2000, 2000


def _distances(q, r):
    d = q[:, :, None, :] - r[:, None, :, :]
    return jnp.sqrt((d[..., 1] * d[..., 1] + d[..., 0] * d[..., 0]) + 1e-12)


def _soft_min(q, r, tau):
    t = tau[:, None]
    return -t * jax.scipy.special.logsumexp(-_distances(q, r) / t[..., None], axis=-1)


def _row_reduce(kind):
    def f(q, r, p, k):
        d = _distances(q, r)
        pp = p[:, None, None]
        if kind == 0:
            return d.max(-1)
        if kind == 1:
            return pp[..., 0] * jax.scipy.special.logsumexp(d / pp, axis=-1)
        if kind == 2:
            return d.mean(-1)
        if kind == 3:
            return (d <= pp).sum(-1).astype(d.dtype)
        return jax.nn.sigmoid((pp - d) / jnp.maximum(pp / 20, 1e-9)).sum(-1)
    return f


def _segments(p, s):
    a, b = s[None, None, :, :2], s[None, None, :, 2:]
    e = b - a
    pp = p[:, :, None, :]
    q = (((pp - a) * e).sum(-1)) / ((e * e).sum(-1) + 1e-12)
    t = jnp.clip(q, 0.0, 1.0)[..., None]
    r = pp - (a + t * e)
    return jnp.sqrt((r * r).sum(-1) + 1e-12)


def _rays(p, o, u):
    pp, oo, uu = p[:, :, None, :], o[:, None], u[:, None]
    n = jnp.maximum(jnp.sqrt((uu * uu).sum(-1)), 1e-12)
    t = jnp.maximum(((pp - oo) * uu).sum(-1) / (n * n), 0.0)[..., None]
    r = pp - (uu * t + oo)
    return jnp.sqrt((r * r).sum(-1) + 1e-12)


def run():
    rng, table = start(f"reductions and distance matrices, {BATCH} batches of {M} x {N}")
    for dtype in (np.float32, np.float64):
        name = np.dtype(dtype).name
        q = jnp.asarray(rng.uniform(0, 1, (BATCH, M, 2)).astype(dtype))
        r = jnp.asarray(rng.uniform(0, 1, (BATCH, N, 2)).astype(dtype))
        p = jnp.asarray(np.full(BATCH, 0.05, dtype))
        compare(table, f"points_closest_soft_fwd {name}",
                ffi("points_closest_soft_fwd", (BATCH, M), dtype), jax.jit(_soft_min), (q, r, p),
                "jnp logsumexp")
        for kind, what in enumerate(("max", "soft max", "mean", "count", "soft count")):
            k = jnp.asarray(np.array([kind], dtype))
            compare(table, f"row_reduce_fwd {what} {name}", ffi("row_reduce_fwd", (BATCH, M), dtype),
                    jax.jit(_row_reduce(kind)), (q, r, p, k), "jnp broadcast")
        s = jnp.asarray(rng.uniform(0, 1, (N, 4)).astype(dtype))
        compare(table, f"segments_matrix_fwd {name}", ffi("segments_matrix_fwd", (BATCH, M, N), dtype),
                jax.jit(_segments), (q, s), "jnp broadcast")
        p3, o3, u3 = (jnp.asarray(rng.normal(size=(BATCH, n, 3)).astype(dtype)) for n in (M, N, N))
        compare(table, f"ray_matrix_fwd D=3 {name}", ffi("ray_matrix_fwd", (BATCH, M, N), dtype),
                jax.jit(_rays), (p3, o3, u3), "jnp broadcast")
