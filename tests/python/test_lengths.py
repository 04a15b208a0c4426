"""Polygon areas and perimeters and the total length of a segment list: forwards against the
shoelace formula and numpy.hypot sums, gradients against jax.vjp of jax.numpy references, and the
rejected calls."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, check_rejected, shape

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


SHAPES = [((), 3), ((4,), 5), ((2, 3), 7), ((3,), 1), ((2,), 2), ((0,), 4)]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lead,n", SHAPES)
def test_area_matches_the_shoelace_formula(dtype, lead, n):
    v = rings(np.random.default_rng(n), lead, n, dtype)
    x, y = v[..., 0].reshape(-1, n), v[..., 1].reshape(-1, n)
    xn, yn = np.roll(x, -1, axis=1), np.roll(y, -1, axis=1)
    s = np.zeros(len(x), dtype)
    for i in range(n):  # the shoelace sum in vertex order, in the element type
        s = s + x[:, i] * yn[:, i]
        s = s - y[:, i] * xn[:, i]
    np.testing.assert_array_equal(measure("area", v), np.abs(s * dtype(0.5)))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lead,n", SHAPES)
def test_perimeter_matches_hypot_sums(dtype, lead, n):
    v = rings(np.random.default_rng(n), lead, n, dtype).reshape(-1, n, 2)
    d = (np.roll(v, -1, axis=1) - v).astype(np.float64)
    expected = np.sqrt(np.hypot(d[..., 0], d[..., 1]) ** 2 + 1e-12).sum(axis=1)
    np.testing.assert_allclose(measure("perimeter", v.reshape(lead + (n, 2))), expected,
                               rtol=1e-6 if dtype == np.float32 else 1e-14)


@pytest.mark.parametrize("dtype", DTYPES)
def test_unit_square_examples(dtype):
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype)
    both = np.stack([square, square[::-1]])
    np.testing.assert_array_equal(measure("area", both), [1, 1])
    side = np.sqrt(1 + 1e-12)
    assert measure("perimeter", square)[0] == dtype(((side + side) + side) + side)
    expected = [[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5]]
    for ring, grad in [(square, expected), (square[::-1].copy(), expected[::-1])]:
        np.testing.assert_array_equal(
            call("polygon_area_vjp", shape((4, 2), dtype), ring, np.ones(1, dtype)), grad)
    # One-vertex rings of a rank-1 buffer: area 0, perimeter sqrt(1e-12).
    np.testing.assert_array_equal(measure("area", np.ones(4, dtype)), [0, 0])
    np.testing.assert_array_equal(measure("perimeter", np.ones(4, dtype)),
                                  [dtype(np.sqrt(1e-12))] * 2)


def area_reference(v):
    x, y = v[..., 0], v[..., 1]
    s = jnp.sum(x * jnp.roll(y, -1, axis=-1) - y * jnp.roll(x, -1, axis=-1), axis=-1)
    # A zero area takes the positive side.
    return jnp.where(s >= 0, s, -s) * 0.5


def perimeter_reference(v):
    d = jnp.roll(v, -1, axis=-2) - v
    return jnp.sum(jnp.sqrt((d[..., 1] ** 2 + d[..., 0] ** 2) + 1e-12), axis=-1)


def reference_vjp(fn, v, g):
    _, pull = jax.vjp(fn, jnp.asarray(v, jnp.float64))
    return np.asarray(pull(jnp.asarray(g, jnp.float64))[0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind,fn", [("area", area_reference), ("perimeter", perimeter_reference)])
@pytest.mark.parametrize("lead,n", [((), 3), ((4,), 6), ((2, 2), 5), ((2,), 1)])
def test_polygon_gradients_match_jax_reference(dtype, kind, fn, lead, n):
    rng = np.random.default_rng(n + len(lead))
    v = rings(rng, lead, n, dtype)
    if lead:
        v[..., 0, :, :] = 0  # a degenerate ring of area 0
    g = rng.normal(size=lead).astype(dtype)
    got = call(f"polygon_{kind}_vjp", shape(v.shape, dtype), v, g)
    np.testing.assert_allclose(got, reference_vjp(fn, v, g), **TOL[dtype])


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
                               reference_vjp(segments_reference, s, g), **TOL[dtype])
    assert not grad[s.size:].any() and not grad[:4].any()


BAD = "buffer length {} is not a multiple of inner size {}"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", ["area", "perimeter"])
@pytest.mark.parametrize("direction,v_shape,g_len,out_len,text", [
    ("fwd", (0, 2), None, 0, "inner block size must be positive"),
    ("vjp", (0, 2), 0, 0, "inner block size must be positive"),
    ("fwd", (5,), None, 2, BAD.format(5, 2)),
    ("vjp", (5,), 2, 5, BAD.format(5, 2)),
    ("fwd", (2, 3, 2), None, 3, "output length mismatch"),
    ("vjp", (2, 3, 2), 3, 12, "cotangent length mismatch"),
    ("vjp", (3, 4, 2), 2, 24, "cotangent length mismatch"),
    ("vjp", (2, 3, 2), 2, 11,
     "vertex gradient length mismatch: expected at least 12 elements, got 11"),
])
def test_polygon_rejections(dtype, kind, direction, v_shape, g_len, out_len, text):
    args = [np.ones(v_shape, dtype)] + ([] if g_len is None else [np.ones(g_len, dtype)])
    check_rejected(f"polygon_{kind}_{direction}", args, [(out_len,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("s_len,g_len,out_len,text", [
    (3, None, 1, "inner block size must be positive"),
    (6, None, 1, BAD.format(6, 4)),
    (13, None, 1, BAD.format(13, 12)),
    (8, None, 2, "output length mismatch"),
    (8, None, 0, "output length mismatch"),
    (8, 2, 8, "cotangent length mismatch"),
    (8, 1, 7, "segment gradient length mismatch: expected at least 8 elements, got 7"),
])
def test_segment_length_rejections(dtype, s_len, g_len, out_len, text):
    args = [np.ones(s_len, dtype)] + ([] if g_len is None else [np.ones(g_len, dtype)])
    direction = "fwd" if g_len is None else "vjp"
    check_rejected(f"segments_length_{direction}", args, [(out_len,)], text)
