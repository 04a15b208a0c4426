"""Nearest reference point of every query point (distance and index), and its gradient."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.spatial import cKDTree

from mirelon_jax import arrays_with_one_and_four_workers, call, check_rejected, shape

DTYPES = [np.float32, np.float64]
NAN = np.nan


def blocks(x):
    m = x.shape[-2] if x.ndim >= 2 else 1
    return np.asarray(x, np.float64).reshape(-1, m, 2)


def forward(q, r, dtype, out_len=None):
    qb, rb = blocks(q), blocks(r)
    batch = max(qb.shape[0], rb.shape[0]) if min(qb.shape[0], rb.shape[0]) else 0
    size = batch * qb.shape[1] if out_len is None else out_len
    return call("points_closest_hard_fwd", [shape((size,), dtype)] * 2, q.astype(dtype),
                r.astype(dtype), has_side_effect=True)


def brute_force(q, r):
    """Index of the first nearest point and the squared distance, in 64-bit."""
    qb, rb = blocks(q), blocks(r)
    batch = max(qb.shape[0], rb.shape[0])
    qb = np.broadcast_to(qb, (batch,) + qb.shape[1:])
    rb = np.broadcast_to(rb, (batch,) + rb.shape[1:])
    d = qb[:, :, None, :] - rb[:, None, :, :]
    d2 = d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]
    idx = np.argmin(d2, axis=-1)
    return idx.ravel(), np.take_along_axis(d2, idx[..., None], -1).ravel()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("q_shape,r_shape", [
    ((3, 300, 2), (3, 500, 2)),
    ((3, 200, 2), (1, 700, 2)),   # one reference set for every batch
    ((150, 2), (4, 90, 2)),       # one query set for every batch
    ((2,), (5, 2)),               # one query point
    ((40, 2), (1, 2)),            # one reference point
])
def test_nearest_points_match_brute_force_and_kdtree(dtype, q_shape, r_shape):
    rng = np.random.default_rng(3)
    q = rng.uniform(-10, 10, size=q_shape).astype(dtype)
    r = rng.normal(size=r_shape).astype(dtype) * 4
    dist, index = forward(q, r, dtype)
    want_idx, want_d2 = brute_force(q, r)
    np.testing.assert_array_equal(index, want_idx.astype(dtype))
    # 64-bit search on widened coordinates, square root of d2 + 1e-12, rounded once.
    np.testing.assert_array_equal(dist, np.sqrt(want_d2 + 1e-12).astype(dtype))
    qb, rb = blocks(q), blocks(r)
    batch = len(dist) // qb.shape[1]
    for b in range(batch):
        kd, _ = cKDTree(rb[b % rb.shape[0]]).query(qb[b % qb.shape[0]])
        got = dist[b * qb.shape[1]:(b + 1) * qb.shape[1]].astype(np.float64)
        tol = 1e-6 if dtype == np.float32 else 1e-13
        np.testing.assert_allclose(got, np.sqrt(kd ** 2 + 1e-12), rtol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_coincident_point_and_ties(dtype):
    r = np.array([[5.0, 5.0], [1.0, 0.0], [-1.0, 0.0], [0.0, 1.0], [0.0, -1.0]])
    q = np.array([[0.0, 0.0], [-1.0, 0.0], [5.0, 5.0]])
    dist, index = forward(q, r, dtype)
    np.testing.assert_array_equal(index, [1, 2, 0])
    np.testing.assert_array_equal(dist, np.array([np.sqrt(1 + 1e-12), 1e-6, 1e-6]).astype(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_unanswerable_queries_get_nan_in_both_outputs(dtype):
    big = 1e200 if dtype == np.float64 else 3e38
    r = np.array([[0.0, 0.0], [NAN, 1.0], [2.0, NAN], [-big, 0.0]] + [[i, i] for i in range(1, 9)])
    q = np.array([[NAN, 0.0], [0.0, np.inf], [-np.inf, 0.0], [big, big], [1.9, 0.1], [2.0, 1.1]])
    dist, index = forward(q, r, dtype)
    assert np.isnan(dist[:3]).all() and np.isnan(index[:3]).all()
    if dtype == np.float64:  # squared distances beyond the 64-bit range
        assert np.isnan(dist[3]) and np.isnan(index[3])
    # points with a NaN coordinate are never reported
    np.testing.assert_array_equal(index[4:], [4, 5])
    all_nan = np.full((3, 2), NAN)
    dist, index = forward(np.zeros((2, 2)), all_nan, dtype)
    assert np.isnan(dist).all() and np.isnan(index).all()


@pytest.mark.parametrize("q_shape,r_shape,out_lens,text", [
    ((3, 0, 2), (4, 2), (0, 0), "inner block size must be positive"),
    ((0, 0, 2), (4, 2), (0, 0), "inner block size must be positive"),
    ((5,), (4, 2), (1, 1), "buffer length 5 is not a multiple of inner size 2"),
    ((2, 2), (3, 0, 2), (0, 0), "inner block size must be positive"),
    ((3, 2, 2), (2, 4, 2), (6, 6), "incompatible batch counts: 3 vs 2"),
    ((3, 2, 2), (4, 2), (5, 6), "output length mismatch"),
    ((3, 2, 2), (4, 2), (6, 7), "output length mismatch"),
])
def test_forward_rejects_bad_shapes(q_shape, r_shape, out_lens, text):
    check_rejected("points_closest_hard_fwd", [np.zeros(q_shape), np.zeros(r_shape)], out_lens,
                   text)


def test_empty_query_batch_writes_nothing():
    dist, index = forward(np.zeros((0, 3, 2)), np.ones((1, 4, 2)), np.float64)
    assert dist.size == 0 and index.size == 0


def gradient(q, r, residual, g, dtype, out_lens=None):
    out_lens = (q.size, r.size) if out_lens is None else out_lens
    return call("points_closest_hard_vjp", [shape((k,), dtype) for k in out_lens],
                q.astype(dtype), r.astype(dtype), np.asarray(residual).astype(dtype),
                np.asarray(g).astype(dtype), has_side_effect=True)


def reference_vjp(q, r, index, g, dtype):
    """jax.vjp of the distance to the reference point the residual names (held constant)."""
    qb, rb = blocks(q).astype(dtype), blocks(r).astype(dtype)
    batch, m = len(g) // qb.shape[1], qb.shape[1]
    idx = jnp.asarray(np.asarray(index, np.int64).reshape(batch, m))
    eps = jnp.asarray(1e-12, dtype)

    def f(qb, rb):
        qq = jnp.broadcast_to(qb, (batch,) + qb.shape[1:])
        rr = jnp.broadcast_to(rb, (batch,) + rb.shape[1:])
        near = jnp.take_along_axis(rr, idx[..., None], axis=1)
        d = qq - near
        return jnp.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + eps)

    _, pull = jax.vjp(f, jnp.asarray(qb), jnp.asarray(rb))
    return [np.asarray(x).ravel() for x in pull(jnp.asarray(g, dtype).reshape(batch, m))]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("q_shape,r_shape", [
    ((2, 60, 2), (2, 25, 2)),
    ((3, 40, 2), (1, 10, 2)),   # broadcast references: many queries share each point
    ((30, 2), (3, 20, 2)),
])
def test_gradient_matches_jax_vjp(dtype, q_shape, r_shape):
    rng = np.random.default_rng(4)
    q = rng.normal(size=q_shape).astype(dtype)
    r = rng.normal(size=r_shape).astype(dtype)
    _, index = forward(q, r, dtype)
    g = rng.normal(size=index.shape).astype(dtype)
    gq, gr = gradient(q, r, index, g, dtype)
    rq, rr = reference_vjp(q, r, index, g, dtype)
    tol = 2e-5 if dtype == np.float32 else 1e-12
    np.testing.assert_allclose(gq, rq, rtol=tol, atol=tol)
    np.testing.assert_allclose(gr, rr, rtol=tol, atol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_reads_residuals_by_truncation(dtype):
    q = np.array([[0.0, 0.0]] * 4)
    r = np.array([[1.0, 0.0], [0.0, 2.0], [3.0, 0.0]])
    gq, gr = gradient(q, r, [2.9, NAN, -1.0, 0.0], [1.0, 1.0, 1.0, 0.0], dtype)
    # residual 2.9 is point 2, NaN and -1 are point 0; the zero cotangent contributes nothing
    np.testing.assert_allclose(gr, [2.0, 0.0, 0.0, 0.0, 1.0, 0.0], rtol=1e-6)
    np.testing.assert_allclose(gq, [-1.0, 0.0, -1.0, 0.0, -1.0, 0.0, 0.0, 0.0], rtol=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_of_coincident_point_is_zero(dtype):
    p = np.array([[1.5, -2.0]])
    gq, gr = gradient(p, p, [0.0], [3.0], dtype, out_lens=(3, 4))
    np.testing.assert_array_equal(gq, np.zeros(3))
    np.testing.assert_array_equal(gr, np.zeros(4))


@pytest.mark.parametrize("residual,g_len,out_lens,text", [
    ([0.0, 0.0], 3, (4, 6), "residual/cotangent length mismatch"),
    ([0.0], 2, (4, 6), "residual/cotangent length mismatch"),
    ([0.0, 0.0], 2, (3, 6), "query gradient too short"),
    ([0.0, 0.0], 2, (4, 5), "reference gradient too short"),
    ([0.0, 3.0], 2, (4, 6), "point index 3 of query 1 outside 0..3"),
    ([np.inf, 0.0], 2, (4, 6), "point index 18446744073709551615 of query 0 outside 0..3"),
])
def test_gradient_rejects_bad_operands_before_writing(residual, g_len, out_lens, text):
    check_rejected("points_closest_hard_vjp",
                   [np.ones((2, 2)), np.ones((3, 2)), residual, np.ones(g_len)], out_lens, text)


CHILD = """
rng = np.random.default_rng(5)
for dt in (np.float32, np.float64):
    q = rng.normal(size=(3, 2000, 2)).astype(dt)
    r = rng.normal(size=(1, 3000, 2)).astype(dt)
    r[0, 1] = r[0, 0]  # an exact duplicate: ties must not depend on the worker count
    out += call("points_closest_hard_fwd", [shape((6000,), dt)] * 2, q, r)
    out.append(call("pairwise_fwd", shape((3 * 2000 * 300,), dt), q, r[:, :300]))
"""


def test_results_do_not_depend_on_the_worker_count():
    one, four = arrays_with_one_and_four_workers(CHILD)
    assert len(one) == 12 * (2 * 6000 + 3 * 2000 * 300) and one == four


def test_single_precision_gradient_rounds_every_step():
    rng = np.random.default_rng(6)
    q = rng.normal(size=(50, 2)).astype(np.float32)
    r = rng.normal(size=(7, 2)).astype(np.float32)
    _, index = forward(q, r, np.float32)
    g = rng.normal(size=50).astype(np.float32)
    gq, _ = gradient(q, r, index, g, np.float32)
    d = q - r[index.astype(int)]
    dist = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + np.float32(1e-12))
    np.testing.assert_array_equal(gq.reshape(50, 2), d * (g / dist)[:, None])
