"""Closest segments and polygon signed distances against the jitted jax.numpy brute force a user
would write instead (every query against every segment or edge, arg-min, even-odd count)."""
import jax
import jax.numpy as jnp
import numpy as np

from harness import compare, ffi, start


def _nearest(px, py, x0, y0, x1, y1):
    """Brute-force nearest segment: distance, index and clamped position, [..., M] each."""
    ex, ey = x1 - x0, y1 - y0
    ratio = ((px - x0) * ex + (py - y0) * ey) / ((ex * ex + ey * ey) + 1e-12)
    t = jnp.clip(ratio, 0, 1)
    d2 = (px - (x0 + t * ex)) ** 2 + (py - (y0 + t * ey)) ** 2
    idx = jnp.argmin(d2, axis=-1)
    best = jnp.take_along_axis(d2, idx[..., None], axis=-1)[..., 0]
    pos = jnp.take_along_axis(t, idx[..., None], axis=-1)[..., 0]
    return jnp.sqrt(best + 1e-12), idx.astype(px.dtype), pos


@jax.jit
def segments_reference(points, segments):
    s = segments.reshape(-1, 4)
    px, py = points[..., 0:1], points[..., 1:2]
    d, i, t = _nearest(px, py, s[:, 0], s[:, 1], s[:, 2], s[:, 3])
    return d.ravel(), i.ravel(), t.ravel()


@jax.jit
def polygon_reference(points, vertices):
    v = jnp.broadcast_to(vertices, (points.shape[0],) + vertices.shape[1:])
    w = jnp.roll(v, -1, axis=1)
    x0, y0, x1, y1 = (a[:, None, :] for a in (v[..., 0], v[..., 1], w[..., 0], w[..., 1]))
    px, py = points[..., 0:1], points[..., 1:2]
    d, i, t = _nearest(px, py, x0, y0, x1, y1)
    straddles = (y0 > py) != (y1 > py)
    x_cross = (x1 - x0) * ((py - y0) / ((y1 - y0) + 1e-12)) + x0
    odd = jnp.sum(straddles & (x_cross > px), axis=-1) % 2 == 1
    return jnp.where(odd, -d, d).ravel(), i.ravel(), t.ravel()


def _segment_list(rng, ns, dtype):
    a = rng.uniform(0, 100, (ns, 2))
    return jnp.asarray(np.concatenate([a, a + rng.normal(0, 2, (ns, 2))], 1), dtype)


def _rings(rng, bv, nv, dtype):
    angles = np.sort(rng.uniform(0, 2 * np.pi, (bv, nv)), axis=1)
    r = 40 * rng.uniform(0.5, 1, (bv, nv))
    return jnp.asarray(np.stack([50 + r * np.cos(angles), 50 + r * np.sin(angles)], -1), dtype)


def run():
    rng, table = start("closest segments and polygon signed distance "
                       "(ratio = jnp brute force / ours)")
    for dtype in (np.float32, np.float64):
        name = np.dtype(dtype).name
        # (batches, queries per batch, segments per batch, layout): a "shared" list serves every
        # batch; "distinct" gives each batch its own Ns segments, which (the list being one set
        # for all batches by definition) makes one list of batches x Ns segments.
        for batches, m, ns, layout in [(1, 256, 16, "shared"), (1, 4096, 256, "shared"),
                                       (1, 8192, 2048, "shared"), (16, 1024, 512, "shared"),
                                       (256, 64, 16, "shared"), (256, 64, 16, "distinct")]:
            points = jnp.asarray(rng.uniform(0, 100, (batches, m, 2)), dtype)
            total = ns * (batches if layout == "distinct" else 1)
            segments = _segment_list(rng, total, dtype)
            ours = ffi("segments_closest_fwd", [(batches * m,)] * 3, dtype)
            compare(table, f"segments_closest B={batches} M={m} Ns={ns} {layout} {name}", ours,
                    segments_reference, (points, segments), "jnp brute force")
        # Many small polygons: one ring for every batch (B_V = 1) or a ring per batch.
        for bp, bv, m, nv in [(1, 1, 256, 16), (1, 1, 4096, 256), (8, 1, 2048, 1024),
                              (4, 4, 1024, 128), (256, 1, 64, 8), (256, 256, 64, 8),
                              (64, 64, 256, 256)]:
            points = jnp.asarray(rng.uniform(0, 100, (bp, m, 2)), dtype)
            vertices = _rings(rng, bv, nv, dtype)
            ours = ffi("polygon_sd_fwd", [(max(bp, bv) * m,)] * 3, dtype)
            compare(table, f"polygon_sd B_P={bp} B_V={bv} M={m} Nv={nv} {name}", ours,
                    polygon_reference, (points, vertices), "jnp brute force")
