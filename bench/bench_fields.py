"""Grid and mesh interpolation through jitted FFI calls, against the jitted jax.numpy code a user
would write instead, forward and jax.vjp.

    RAYON_NUM_THREADS=1 python bench/run.py fields     # one worker
    python bench/run.py fields                         # all workers

The gradient rows time our _vjp kernel against the jitted pull-back of jax.vjp (XLA drops the
forward value it does not need). The mesh kernels hand the forward's triangle and coordinates to
the gradient, while JAX's pull-back has to scan again, so the mesh gradient row times our forward
and gradient together.
"""
import jax
import jax.numpy as jnp
import numpy as np
from scipy.spatial import Delaunay

from harness import compare, ffi, median_seconds, start, vjp_reference


def _locate(p, origin, spacing, n):
    """Cell index and fraction on one axis of n nodes, clamped to the grid, NaN to its edge."""
    s = jnp.minimum(jnp.fmax((p - origin) / spacing, 0), n - 1)
    cell = jnp.minimum(jnp.floor(s), n - 2)
    return cell.astype(jnp.int32), s - cell


def bilinear(f, p, origin, spacing):
    h, w = f.shape
    i, fx = _locate(p[:, 0], origin[0], spacing[0], w)
    j, fy = _locate(p[:, 1], origin[1], spacing[1], h)
    return (((f[j, i] * (1 - fy)) * (1 - fx) + (f[j, i + 1] * (1 - fy)) * fx)
            + (f[j + 1, i] * fy) * (1 - fx)) + (f[j + 1, i + 1] * fy) * fx


def trilinear(f, p, origin, spacing):
    d, h, w = f.shape
    i, fx = _locate(p[:, 0], origin[0], spacing[0], w)
    j, fy = _locate(p[:, 1], origin[1], spacing[1], h)
    k, fz = _locate(p[:, 2], origin[2], spacing[2], d)
    total = jnp.zeros_like(fx)
    for dz, wz in ((0, 1 - fz), (1, fz)):
        for dy, wy in ((0, 1 - fy), (1, fy)):
            for dx, wx in ((0, 1 - fx), (1, fx)):
                total = total + ((wz * wy) * wx) * f[k + dz, j + dy, i + dx]
    return total


def mesh_interp(vertices, triangles, values, queries, chunk=50):
    """First triangle holding each query (else the one it is least outside of), `chunk` queries
    against every triangle at a time."""
    tri = triangles.astype(jnp.int32)
    a, b, c = (vertices[tri[:, k]] for k in range(3))
    e1, e2 = b - a, c - a
    det = e1[:, 0] * e2[:, 1] - e2[:, 0] * e1[:, 1]
    usable = jnp.abs(det) >= 1e-300

    def one(q):
        d = q[:, None, :] - a[None]
        l1 = (e2[:, 1] * d[..., 0] - d[..., 1] * e2[:, 0]) / det
        l2 = (e1[:, 0] * d[..., 1] - d[..., 0] * e1[:, 1]) / det
        l0 = (1 - l1) - l2
        m = jnp.where(usable, jnp.minimum(jnp.minimum(l0, l1), l2), -jnp.inf)
        inside = m >= -1e-9
        t = jnp.where(inside.any(axis=1), jnp.argmax(inside, axis=1), jnp.argmax(m, axis=1))
        lam = [jnp.take_along_axis(x, t[:, None], 1)[:, 0] for x in (l0, l1, l2)]
        z = values[tri[t]]
        return (z[:, 0] * lam[0] + z[:, 1] * lam[1]) + z[:, 2] * lam[2]

    return jax.lax.map(one, queries.reshape(-1, chunk, 2)).reshape(-1)


def _grid_case(table, rng, dtype, name, fn, shape, m):
    name_dt = np.dtype(dtype).name
    dim = len(shape)
    f = jnp.asarray(rng.normal(size=shape), dtype)
    extent = np.array(shape[::-1], float) - 1  # x along the last extent
    p = jnp.asarray(rng.uniform(-0.05, 1.05, (m, dim)) * extent, dtype)
    origin = jnp.zeros(dim, dtype)
    spacing = jnp.ones(dim, dtype)
    g = jnp.asarray(rng.normal(size=m), dtype)
    dims = "x".join(map(str, shape))
    ours_fwd = ffi(name + "_fwd", (m,), dtype)
    np.testing.assert_allclose(ours_fwd(f, p, origin, spacing), jax.jit(fn)(f, p, origin, spacing),
                               rtol=1e-4, atol=1e-4)  # the same work on both sides
    compare(table, f"{name}_fwd {dims} M=1e6 {name_dt}", ours_fwd, jax.jit(fn),
            (f, p, origin, spacing), "jnp gather")
    compare(table, f"{name}_vjp {dims} M=1e6 {name_dt}",
            ffi(name + "_vjp", [shape, (m, dim)], dtype), vjp_reference(fn, 2),
            (f, p, origin, spacing, g), "jax.vjp")


def _mesh_case(table, rng, dtype, nt_target=10_000, nq=100_000):
    name_dt = np.dtype(dtype).name
    pts = rng.uniform(0, 1, (nt_target // 2 + 2, 2))
    tri = Delaunay(pts).simplices
    nt = len(tri)
    vertices = jnp.asarray(pts, dtype)
    triangles = jnp.asarray(tri, dtype)
    values = jnp.asarray(rng.normal(size=len(pts)), dtype)
    hull = pts[np.unique(tri)]
    lo, hi = hull.min(axis=0), hull.max(axis=0)
    queries = jnp.asarray(rng.uniform(lo, hi, (nq, 2)), dtype)  # mostly inside, a few outside
    g = jnp.asarray(rng.normal(size=nq), dtype)
    ours = ffi("mesh_interp_fwd", [(nq,), (nq,), (3, nq)], dtype)
    ref = jax.jit(mesh_interp)
    case = f"mesh_interp Nt={nt} Nq=1e5 {name_dt}"
    np.testing.assert_allclose(ours(vertices, triangles, values, queries)[0],
                               ref(vertices, triangles, values, queries), rtol=1e-3, atol=1e-3)
    ours_s = median_seconds(ours, vertices, triangles, values, queries, repeat=3, warmup=1)
    ref_s = median_seconds(ref, vertices, triangles, values, queries, repeat=3, warmup=1)
    table.add(case.replace("mesh_interp", "mesh_interp_fwd"), ours_s, ref_s, "jnp chunked scan")

    vjp = ffi("mesh_interp_vjp", [(len(pts),), (nq, 2)], dtype)

    @jax.jit
    def both(v, t, z, q, g):
        _, index, bary = ours(v, t, z, q)
        return vjp(v, t, z, index, bary, g)

    ref_vjp = vjp_reference(lambda z, q, v, t: mesh_interp(v, t, z, q), 2)
    ours_s = median_seconds(both, vertices, triangles, values, queries, g, repeat=3, warmup=1)
    ref_s = median_seconds(ref_vjp, values, queries, vertices, triangles, g, repeat=3, warmup=1)
    table.add(case.replace("mesh_interp", "mesh_interp fwd+vjp"), ours_s, ref_s, "jax.vjp")


def run():
    rng, table = start("grid and mesh interpolation")
    for dtype in (np.float32, np.float64):
        _grid_case(table, rng, dtype, "field_interp", bilinear, (512, 512), 10**6)
        _grid_case(table, rng, dtype, "field3_interp", trilinear, (128, 128, 128), 10**6)
        _mesh_case(table, rng, dtype)
    return table
