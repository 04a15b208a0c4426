"""The point at fractions of a polyline's length: forward bit for bit against numpy.searchsorted on
cumulative lengths in the element type, gradient against jax.vjp of a jax.numpy reference with
the segment and position residuals held constant, and the rejected calls."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, check_rejected, shape, vjp64

DTYPES = [np.float32, np.float64]
TOL = {np.float32: dict(rtol=2e-4, atol=2e-4), np.float64: dict(rtol=1e-11, atol=1e-11)}


def point_at(v, s, closed):
    q, d = s.shape[-1] if s.ndim else 1, v.shape[-1]
    outs = [shape((q, d), v.dtype), shape((q,), v.dtype), shape((q,), v.dtype)]
    return call("boundary_point_at_fwd", outs, v, s, np.array([closed], v.dtype))


def point_at_vjp(v, s, closed, index, t, g):
    outs = [shape(v.shape, v.dtype), shape(s.shape, v.dtype)]
    return call("boundary_point_at_vjp", outs, v, s, np.array([closed], v.dtype), index, t, g)


def segment_ends(nv, closed):
    k = nv if closed else nv - 1
    return k, (np.arange(k) + 1) % nv


def unit(x):
    return np.where(x > 0, np.minimum(x, 1), 0).astype(x.dtype)  # NaN gives 0


def point_at_oracle(v, s, closed):
    """Lengths, cumulative sums, the total and the positions in the element type; the segment by
    numpy.searchsorted over the cumulative lengths (the first that reaches the target)."""
    dtype = v.dtype.type
    k, ends = segment_ends(len(v), closed)
    with np.errstate(all="ignore"):
        diff = v[ends] - v[:k]
        squared = np.zeros(k, dtype)
        for c in range(v.shape[1]):
            squared = squared + diff[:, c] * diff[:, c]
        length = np.sqrt(squared)
        cum = np.concatenate([np.zeros(1, dtype), np.cumsum(length)])
        floor = dtype(1e-12)
        total = cum[-1] if cum[-1] > floor else floor
        target = unit(s) * total
        i = np.minimum(np.searchsorted(cum[1:k], target, side="left"), k - 1)
        t = unit((target - cum[i]) / np.where(length[i] > floor, length[i], floor))
        return diff[i] * t[:, None] + v[:k][i], i.astype(dtype), t


def random_polyline(rng, nv, d, dtype):
    return np.cumsum(rng.normal(size=(nv, d)), axis=0).astype(dtype)


FRACTIONS = np.array([0.0, 1.0, -1.0, 7.0, np.nan, 0.5, -0.0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("nv,d,closed,odd_vertex", [
    (2, 2, 0.0, None), (12, 2, 0.0, None), (12, 2, 1.0, None), (9, 3, np.nan, None),
    (30, 1, 0.0, None), (1, 2, 1.0, None), (6, 0, 1.0, None), (6, 0, 0.0, None),
    (8, 2, 0.0, (5, np.nan)),
    (8, 2, 0.0, (5, np.inf))])
def test_points_match_searchsorted_on_cumulative_lengths(dtype, nv, d, closed, odd_vertex):
    rng = np.random.default_rng(nv * 10 + d)
    v = random_polyline(rng, nv, d, dtype)
    if nv > 4:
        v[3] = v[2]  # a segment of length 0
    if odd_vertex is not None:  # later cumulative lengths NaN, or infinite
        v[odd_vertex[0], 0] = odd_vertex[1]
    s = np.concatenate([FRACTIONS, rng.uniform(0, 1, 40)]).astype(dtype)
    got = point_at(v, s, closed)
    for out, want in zip(got, point_at_oracle(v, s, bool(closed != 0))):
        np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("dtype", DTYPES)
def test_point_examples(dtype):
    corner = np.array([[0, 0], [1, 0], [1, 1]], dtype)
    p, i, t = point_at(corner, np.array([0.75, 0.5, -1, np.nan, 7], dtype), 0.0)
    np.testing.assert_array_equal(p, [[1, 0.5], [1, 0], [0, 0], [0, 0], [1, 1]])
    np.testing.assert_array_equal(i, [1, 0, 0, 0, 1])
    np.testing.assert_array_equal(t, [0.5, 1, 0, 0, 1])
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype)
    s = np.array([0.875], dtype)
    for closed, point, seg in [(1.0, [0, 0.5], 3), (np.nan, [0, 0.5], 3), (-0.0, [0.375, 1], 2)]:
        p, i, _ = point_at(square, s, closed)
        np.testing.assert_array_equal(p[0], point)
        assert i[0] == seg
    # No fractions: the polyline is still checked, nothing is written.
    assert point_at(square, np.zeros(0, dtype), 0.0)[0].shape == (0, 2)


def reference_vjp(v, s, closed, index, t, g):
    """jax.vjp of point = v_i + t (v_j - v_i) with t = (sc L - cum_i) / len_i, valued at the
    residual t: every length differentiates along its direction, the clamp of s and the floors of
    the lengths and of L are not differentiated."""
    nv = len(v)
    k, ends = segment_ends(nv, closed)
    i = np.array([int(x) if x > 0 else 0 for x in index.astype(np.float64)])
    j = ends[i]
    tr = jnp.asarray(t, jnp.float64)
    sg = jax.lax.stop_gradient

    def forward(v, s):
        diff = v[ends] - v[:k]
        length = jnp.sqrt(jnp.sum(sg(diff) ** 2, axis=-1))
        floored = jnp.maximum(length, 1e-12)
        length = length + jnp.sum(sg(diff / floored[:, None]) * (diff - sg(diff)), axis=-1)
        cum = jnp.concatenate([jnp.zeros(1), jnp.cumsum(length)])
        total = jnp.maximum(sg(cum[-1]), 1e-12) + (cum[-1] - sg(cum[-1]))
        sc = jnp.clip(sg(s), 0, 1) + (s - sg(s))
        moved = sc * total - cum[i]
        li = length[i]
        t_eff = tr + (moved - sg(moved)) / floored[i] - tr * (li - sg(li)) / floored[i]
        return v[i] + t_eff[:, None] * (v[j] - v[i])

    return vjp64(forward, (v, s), g)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("nv,d,closed", [(2, 2, 0.0), (10, 2, 0.0), (10, 2, 1.0), (7, 3, 1.0),
                                         (1, 2, 1.0), (6, 0, 0.0)])
def test_gradient_matches_jax_reference(dtype, nv, d, closed):
    rng = np.random.default_rng(nv + d)
    v = random_polyline(rng, nv, d, dtype)
    k = nv if closed else nv - 1
    s = np.concatenate([[-0.5, 1.5, 0.0], rng.uniform(0, 1, 20)]).astype(dtype)
    index = (rng.integers(0, k, s.size) + rng.uniform(0, 0.9, s.size)).astype(dtype)
    index[:2] = [np.nan, -3]  # both name segment 0
    t = rng.uniform(-0.2, 1.2, s.size).astype(dtype)
    g = rng.normal(size=(s.size, d)).astype(dtype)
    dv, ds = point_at_vjp(v, s, closed, index, t, g)
    rv, rs = reference_vjp(v, s, bool(closed), index, t, g)
    np.testing.assert_allclose(dv, rv, **TOL[dtype])
    np.testing.assert_allclose(ds, rs, **TOL[dtype])


F = "boundary_point_at: buffer length mismatch"
FV = "boundary_point_at_vjp: buffer length mismatch"
FO = "boundary_point_at_vjp: output length mismatch"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("v_shape,s_shape,closed,outs,text", [
    ((2, 3, 2), (4,), [0], ((4, 2), (4,), (4,)),
     "boundary_point_at: vertices buffer length mismatch"),
    ((3, 2), (2, 4), [0], ((4, 2), (4,), (4,)), F),
    ((3, 2), (4,), [0], ((4, 3), (4,), (4,)), F),
    ((3, 2), (4,), [0], ((4, 2), (3,), (4,)), F),
    ((3, 2), (4,), [0], ((4, 2), (4,), (5,)), F),
    ((3, 2), (4,), [], ((4, 2), (4,), (4,)), "boundary_point_at: closed flag operand is empty"),
    ((1, 2), (4,), [0], ((4, 2), (4,), (4,)), "boundary_point_at: need at least one segment"),
    ((0, 2), (4,), [1], ((4, 2), (4,), (4,)), "boundary_point_at: need at least one segment"),
])
def test_forward_rejections(dtype, v_shape, s_shape, closed, outs, text):
    args = [np.ones(v_shape, dtype), np.ones(s_shape, dtype), np.array(closed, dtype)]
    check_rejected("boundary_point_at_fwd", args, list(outs), text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("v_shape,s_shape,closed,index,counts,outs,text,zeroed", [
    ((3, 2), (4,), [0], [0] * 3, (4, 8), ((3, 2), (4,)), FV, ()),
    ((3, 2), (4,), [0], [0] * 4, (5, 8), ((3, 2), (4,)), FV, ()),
    ((3, 2), (4,), [0], [0] * 4, (4, 6), ((3, 2), (4,)), FV, ()),
    ((3, 2), (4,), [0], [0] * 4, (4, 8), ((3, 3), (4,)), FO, ()),
    ((3, 2), (4,), [0], [0] * 4, (4, 8), ((3, 2), (3,)), FO, ()),
    ((3, 2), (4,), [], [0] * 4, (4, 8), ((3, 2), (4,)),
     "boundary_point_at_vjp: closed flag operand is empty", ()),
    ((1, 2), (4,), [0], [0] * 4, (4, 8), ((1, 2), (4,)),
     "boundary_point_at_vjp: need at least one segment", ()),
    ((0, 3, 2), (4,), [0], [0] * 4, (4, 8), ((3, 2), (4,)),
     "boundary_point_at_vjp: vertices length mismatch: expected at least 6 elements, got 0", ()),
    ((3, 2), (0, 4), [0], [0] * 4, (4, 8), ((3, 2), (4,)),
     "boundary_point_at_vjp: fractions length mismatch: expected at least 4 elements, got 0", ()),
    ((3, 2), (4,), [0], [2, 0, 0, 0], (4, 8), ((3, 2), (4,)),
     "boundary_point_at_vjp: residual segment index out of range", (0, 1)),
])
def test_gradient_rejections(dtype, v_shape, s_shape, closed, index, counts, outs, text, zeroed):
    args = [np.ones(v_shape, dtype), np.ones(s_shape, dtype), np.array(closed, dtype),
            np.array(index, dtype), np.zeros(counts[0], dtype), np.ones(counts[1], dtype)]
    check_rejected("boundary_point_at_vjp", args, list(outs), text, zeroed)
