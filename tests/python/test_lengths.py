"""Polygon areas and perimeters and the total length of a segment list: forwards against the
shoelace formula and numpy.hypot sums, gradients against jax.vjp of jax.numpy references, and the
rejected calls."""
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, check_rejected, shape, vjp64

DTYPES = [np.float32, np.float64]
TOL = {np.float32: dict(rtol=1e-5, atol=1e-5), np.float64: dict(rtol=1e-12, atol=1e-12)}


def rings(rng, lead, n, dtype):
    """Random rings [*lead, n, 2], some clockwise, with two coincident consecutive vertices."""
    angles = np.sort(rng.uniform(0, 2 * np.pi, lead + (n,)), axis=-1)
    r = rng.uniform(0.5, 2, lead + (n,))
    v = np.stack([r * np.cos(angles), r * np.sin(angles)], -1)
    if lead:
        v[..., ::2, :, :] = v[..., ::2, ::-1, :]  # every other ring runs clockwise
    if n > 2:
        v[..., 1, :] = v[..., 0, :]
    return v.astype(dtype)


def measure(kind, v):
    b = v.size // (2 * v.shape[-2]) if v.ndim >= 2 else v.size // 2
    return call(f"polygon_{kind}_fwd", shape((b,), v.dtype), v)


def area_reference(v):
    x, y = v[..., 0], v[..., 1]
    s = jnp.sum(x * jnp.roll(y, -1, axis=-1) - y * jnp.roll(x, -1, axis=-1), axis=-1)
    return jnp.where(s >= 0, s, -s) * 0.5  # a zero area takes the positive side


def perimeter_reference(v):
    d = jnp.roll(v, -1, axis=-2) - v
    return jnp.sum(jnp.sqrt((d[..., 1] ** 2 + d[..., 0] ** 2) + 1e-12), axis=-1)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lead,n", [((), 3), ((4,), 5), ((2, 3), 7), ((3,), 1), ((2,), 2),
                                    ((0,), 4)])
def test_area_and_perimeter_match_shoelace_hypot_and_jax_gradients(dtype, lead, n):
    rng = np.random.default_rng(n)
    v = rings(rng, lead, n, dtype)
    if v.ndim > 2 and v.shape[-3]:
        v[..., 0, :, :] = 0  # a degenerate ring of area 0
    x, y = v[..., 0].reshape(-1, n), v[..., 1].reshape(-1, n)
    xn, yn = np.roll(x, -1, axis=1), np.roll(y, -1, axis=1)
    s = np.zeros(len(x), dtype)
    for i in range(n):  # the shoelace sum in vertex order, in the element type
        s = s + x[:, i] * yn[:, i]
        s = s - y[:, i] * xn[:, i]
    np.testing.assert_array_equal(measure("area", v), np.abs(s * dtype(0.5)))
    d = np.stack([xn - x, yn - y], -1).astype(np.float64)
    expected = np.sqrt(np.hypot(d[..., 0], d[..., 1]) ** 2 + 1e-12).sum(axis=1)
    np.testing.assert_allclose(measure("perimeter", v), expected,
                               rtol=1e-6 if dtype == np.float32 else 1e-14)
    g = rng.normal(size=lead).astype(dtype)
    for kind, fn in [("area", area_reference), ("perimeter", perimeter_reference)]:
        got = call(f"polygon_{kind}_vjp", shape(v.shape, dtype), v, g)
        np.testing.assert_allclose(got, vjp64(fn, (v,), g)[0], **TOL[dtype])


@pytest.mark.parametrize("dtype", DTYPES)
def test_rank_one_vertices_are_rings_of_one_vertex(dtype):
    np.testing.assert_array_equal(measure("area", np.ones(4, dtype)), [0, 0])
    np.testing.assert_array_equal(measure("perimeter", np.ones(4, dtype)),
                                  [dtype(np.sqrt(1e-12))] * 2)


def total_length(segments):
    return call("segments_length_fwd", shape((), segments.dtype), segments)


def segments_reference(s):
    s = s.reshape(-1, 4)
    dx, dy = s[:, 2] - s[:, 0], s[:, 3] - s[:, 1]
    return jnp.sum(jnp.sqrt((dx * dx + dy * dy) + 1e-12))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seg_shape", [(1, 4), (25, 4), (2, 3, 4), (12,)])
def test_segment_lengths_match_hypot_sums_and_jax_gradient(dtype, seg_shape):
    rng = np.random.default_rng(int(np.prod(seg_shape)))
    s = rng.uniform(-3, 3, seg_shape).astype(dtype)
    flat = s.reshape(-1, 4)
    flat[0, 2:] = flat[0, :2]  # a zero-length segment adds sqrt(1e-12) and no gradient
    d = (flat[:, 2:] - flat[:, :2]).astype(np.float64)
    expected = np.sqrt(np.hypot(d[:, 0], d[:, 1]) ** 2 + 1e-12).sum()
    np.testing.assert_allclose(total_length(s), expected,
                               rtol=1e-6 if dtype == np.float32 else 1e-14)
    g = np.array(rng.normal(), dtype)
    # A longer gradient output is zero-filled beyond the segments.
    grad = call("segments_length_vjp", shape((s.size + 3,), dtype), s, g)
    np.testing.assert_allclose(grad[:s.size].reshape(s.shape),
                               vjp64(segments_reference, (s,), g)[0], **TOL[dtype])
    assert not grad[s.size:].any() and not grad[:4].any()


BAD = "buffer length {} is not a multiple of inner size {}"
INNER = "inner block size must be positive"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,in_shape,g_len,out_len,text", [
    ("polygon_{}_fwd", (0, 2), None, 0, INNER),
    ("polygon_{}_vjp", (0, 2), 0, 0, INNER),
    ("polygon_{}_fwd", (5,), None, 2, BAD.format(5, 2)),
    ("polygon_{}_vjp", (5,), 2, 5, BAD.format(5, 2)),
    ("polygon_{}_fwd", (2, 3, 2), None, 3, "output length mismatch"),
    ("polygon_{}_vjp", (2, 3, 2), 3, 12, "cotangent length mismatch"),
    ("polygon_{}_vjp", (2, 3, 2), 2, 11,
     "vertex gradient length mismatch: expected at least 12 elements, got 11"),
    ("segments_length_fwd", (3,), None, 1, INNER),
    ("segments_length_fwd", (6,), None, 1, BAD.format(6, 4)),
    ("segments_length_fwd", (13,), None, 1, BAD.format(13, 12)),
    ("segments_length_fwd", (2, 4), None, 2, "output length mismatch"),
    ("segments_length_fwd", (8,), None, 0, "output length mismatch"),
    ("segments_length_vjp", (6,), 1, 6, BAD.format(6, 4)),
    ("segments_length_vjp", (8,), 2, 8, "cotangent length mismatch"),
    ("segments_length_vjp", (8,), 1, 7,
     "segment gradient length mismatch: expected at least 8 elements, got 7"),
])
def test_rejections(dtype, target, in_shape, g_len, out_len, text):
    args = [np.ones(in_shape, dtype)] + ([] if g_len is None else [np.ones(g_len, dtype)])
    for name in {target.format(kind) for kind in ("area", "perimeter")}:
        check_rejected(name, args, [(out_len,)], text)
