"""Nearest reference points and pairwise distances against what a user would write instead:
scipy.spatial.cKDTree (all workers) and jitted jax.numpy brute force.

    RAYON_NUM_THREADS=1 python bench/run.py points     # one worker
    python bench/run.py points                         # all workers
"""
import os

import jax
import jax.numpy as jnp
import numpy as np
from scipy.spatial import cKDTree

from harness import compare, ffi, median_seconds, start


def _brute_force(chunk):
    """Nearest distance and index by a full scan, `chunk` queries at a time."""
    @jax.jit
    def f(q, r):
        def one(block):
            d = block[:, None, :] - r[None, :, :]
            d2 = d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]
            i = jnp.argmin(d2, axis=1)
            return jnp.sqrt(jnp.take_along_axis(d2, i[:, None], 1)[:, 0] + 1e-12), i
        dist, idx = jax.lax.map(one, q.reshape(-1, chunk, 2))
        return dist.reshape(-1), idx.reshape(-1)
    return f


def _closest_case(table, rng, m, n, dtype, brute_repeat):
    name = np.dtype(dtype).name
    q = rng.uniform(-1, 1, size=(m, 2)).astype(dtype)
    r = rng.uniform(-1, 1, size=(n, 2)).astype(dtype)
    qj, rj = jnp.asarray(q), jnp.asarray(r)
    ours = ffi("points_closest_hard_fwd", [(m,)] * 2, dtype)
    run = lambda rr: jax.block_until_ready(ours(qj, rr))  # noqa: E731

    warm = median_seconds(lambda: run(rj), repeat=10, warmup=1)
    fresh = [jnp.asarray(rng.uniform(-1, 1, size=(n, 2)).astype(dtype)) for _ in range(6)]
    it = iter(fresh)
    run(fresh[0])  # compile; the first fresh set is then cached, so it is skipped below
    next(it)
    cold = median_seconds(lambda: run(next(it)), repeat=5, warmup=0)

    q64, r64 = q.astype(np.float64), r.astype(np.float64)
    kd_both = median_seconds(lambda: cKDTree(r64).query(q64, workers=-1), repeat=5,
                             warmup=1)
    tree = cKDTree(r64)
    kd_query = median_seconds(lambda: tree.query(q64, workers=-1), repeat=5, warmup=1)

    chunk = 250
    brute = _brute_force(chunk)
    brute_s = median_seconds(lambda: brute(qj, rj), repeat=brute_repeat, warmup=1)

    case = f"closest M={m:.0e} N={n:.0e} {name}"
    table.add(case + " first call", cold, kd_both, "cKDTree build+query")
    table.add(case + " repeated", warm, kd_query, "cKDTree query only")
    table.add(case + " repeated", warm, kd_both, "cKDTree build+query")
    table.add(case + " first call", cold, brute_s, "jnp brute force")
    table.add(case + " repeated", warm, brute_s, "jnp brute force")

    # the answers agree with the brute force
    d, i = (np.asarray(x) for x in ours(qj, rj))
    bd, bi = (np.asarray(x) for x in brute(qj, rj))
    assert np.array_equal(i, bi.astype(dtype)), "index mismatch against brute force"


@jax.jit
def _batched_brute_force(q, r):
    """Nearest distance and index of every query of [B, M, 2] in its batch's set of [B_R, N, 2]."""
    d = q[:, :, None, :] - r[:, None, :, :]
    d2 = d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]
    i = jnp.argmin(d2, axis=-1)
    best = jnp.take_along_axis(d2, i[..., None], -1)[..., 0]
    return jnp.sqrt(best + 1e-12).ravel(), i.ravel()


def _batches_case(table, rng, batches, m, n, layout, dtype):
    """Many batches against one reference set shared by all ("shared", B_R = 1) or a set of
    their own ("distinct", B_R = B)."""
    q = jnp.asarray(rng.uniform(-1, 1, size=(batches, m, 2)).astype(dtype))
    sets = 1 if layout == "shared" else batches
    r = jnp.asarray(rng.uniform(-1, 1, size=(sets, n, 2)).astype(dtype))
    ours = ffi("points_closest_hard_fwd", [(batches * m,)] * 2, dtype)
    compare(table, f"closest B={batches} M={m} N={n} {layout} {np.dtype(dtype).name}", ours,
            _batched_brute_force, (q, r), "jnp brute force")


def _pairwise_case(table, rng, n, m, batch, dtype):
    a = jnp.asarray(rng.normal(size=(batch, n, 2)).astype(dtype))
    b = jnp.asarray(rng.normal(size=(batch, m, 2)).astype(dtype))
    ours = ffi("pairwise_fwd", (batch, n, m), dtype)

    @jax.jit
    def ref(a, b):
        d = a[:, :, None, :] - b[:, None, :, :]
        return jnp.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + 1e-12)

    compare(table, f"pairwise {batch}x{n}x{m} {np.dtype(dtype).name}", ours, ref, (a, b),
            "jnp broadcast")


def run():
    rng, table = start("points: nearest reference point, pairwise distances")
    print(f"  (cKDTree queries use workers=-1 = {os.cpu_count()} threads in every row)")
    for dtype in (np.float64, np.float32):
        _closest_case(table, rng, 100_000, 100_000, dtype, brute_repeat=2)
    _closest_case(table, rng, 1_000_000, 10_000, np.float64, brute_repeat=2)
    for dtype in (np.float64, np.float32):
        for batches, m, n in [(256, 64, 16), (64, 256, 1024)]:
            for layout in ("shared", "distinct"):
                _batches_case(table, rng, batches, m, n, layout, dtype)
    for dtype in (np.float64, np.float32):
        _pairwise_case(table, rng, 1000, 1000, 4, dtype)
        _pairwise_case(table, rng, 4000, 3000, 1, dtype)
