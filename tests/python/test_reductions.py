"""Soft closest points and row reductions: every query against every reference point of its batch,
reduced to one number per query. Forwards against NumPy brute force and SciPy's logsumexp,
gradients against jax.vjp of jax.numpy references."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.special import expit, logsumexp

from mirelon_jax import call, call_handler, check_rejected, shape

DTYPES = [np.float32, np.float64]
NAN, INF = np.nan, np.inf
SHAPES = [
    ((3, 40, 2), (3, 30, 2), [0.3, 0.0, -1.0]),
    ((1, 25, 2), (4, 20, 2), [0.05]),              # one query set and one parameter for all
    ((25, 2), (1, 20, 2), [0.5, 2.0, 1e-3, 3.0]),  # the parameter alone sets the batch count
    ((6,), (1, 2), [0.7]),                         # three batches of one query, one reference
]


def blocks(x):
    return x.reshape(-1, x.shape[-2] if x.ndim >= 2 else 1, 2)


def batched(q, r, p):
    """Queries, references and parameters broadcast to the common batch count."""
    qb, rb, p = blocks(q), blocks(r), np.ravel(p)
    n = max(len(qb), len(rb), len(p))
    return [np.broadcast_to(x, (n,) + x.shape[1:]) for x in (qb, rb, p)]


def distances(qb, rb, dtype):
    """(B, M, N) distances evaluated in `dtype`: squares added first, then 1e-12."""
    d = qb.astype(dtype)[:, :, None, :] - rb.astype(dtype)[:, None, :, :]
    with np.errstate(invalid="ignore"):
        return np.sqrt((d[..., 1] * d[..., 1] + d[..., 0] * d[..., 0]) + dtype(1e-12))


def fwd(target, q, r, p, *kind):
    qb = batched(q, r, p)[0]
    return call(target, shape((qb.shape[0] * qb.shape[1],), q.dtype), q, r, p, *kind)


def vjp(target, q, r, p, g, *kind):
    outs = call(target, [shape(q.shape, q.dtype), shape(r.shape, r.dtype)], q, r, p, g, *kind)
    return [o.ravel() for o in outs]


def jax_vjp(fn, q, r, p, g):
    """jax.vjp of fn(distances, p) -> (B, M), q and r broadcast inside so that a broadcast
    operand's gradient sums over the batches."""
    qb, _, pb = batched(q, r, p)

    def f(qq, rr):
        qq, rr = (jnp.broadcast_to(x, (len(pb),) + x.shape[1:]) for x in (qq, rr))
        d = qq[:, :, None, :] - rr[:, None, :, :]
        return fn(jnp.sqrt((d[..., 1] * d[..., 1] + d[..., 0] * d[..., 0]) + 1e-12),
                  jnp.asarray(pb)[:, None, None])

    _, pull = jax.vjp(f, *(jnp.asarray(blocks(x), jnp.float64) for x in (q, r)))
    return [np.asarray(x).ravel() for x in pull(jnp.asarray(g, jnp.float64).reshape(qb.shape[:2]))]


def at_first(d, index):
    """d at a per-row index taken without gradient: the lowest index of a tie."""
    return jnp.take_along_axis(d, index(jax.lax.stop_gradient(d), axis=-1)[..., None], -1)[..., 0]


def soft(d, p, sign):
    """sign * p * logsumexp(sign * d / p) where p > 0, else the minimum (sign -1) or maximum."""
    safe = jnp.where(p > 0, p, 1.0)
    smooth = sign * safe[..., 0] * jax.scipy.special.logsumexp(sign * d / safe, axis=-1)
    return jnp.where(p[..., 0] > 0, smooth, at_first(d, jnp.argmin if sign < 0 else jnp.argmax))


ROW_REFERENCES = [
    lambda d, p: at_first(d, jnp.argmax),
    lambda d, p: soft(d, p, 1.0),
    lambda d, p: d.mean(-1),
    lambda d, p: 0.0 * d.sum(-1),
    lambda d, p: jax.nn.sigmoid((p - d) / jnp.maximum(p / 20, 1e-9)).sum(-1),
]


def row_brute_force(kind, d, p):
    """The reduction of the rows of 64-bit distances d (M, N) with parameter p."""
    if kind == 0 or (kind == 1 and p <= 0):
        return d.max(-1)
    if kind == 1:
        return p * logsumexp(d / p, axis=-1)
    if kind == 2:
        return np.add.accumulate(d, axis=-1)[:, -1] / d.shape[-1]  # summed in order
    if kind == 3:
        return (d <= p).sum(-1).astype(np.float64)
    return expit((p - d) / max(p / 20, 1e-9)).sum(-1)


def check_gradient(target, reference, q, r, p, *kind):
    dtype = q.dtype
    g = np.random.default_rng(6).normal(size=batched(q, r, p)[0].shape[:2]).astype(dtype)
    got = vjp(target, q, r, p, g, *kind)
    tol = 1e-4 if dtype == np.float32 else 1e-11
    for a, b in zip(got, jax_vjp(reference, q, r, p, g)):
        np.testing.assert_allclose(a, b, rtol=tol, atol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("q_shape,r_shape,taus", SHAPES)
def test_soft_minimum_and_gradient_match_references(dtype, q_shape, r_shape, taus):
    rng = np.random.default_rng(1)
    q, r = (rng.normal(size=s).astype(dtype) for s in (q_shape, r_shape))
    tau = np.asarray(taus, dtype)
    got = fwd("points_closest_soft_fwd", q, r, tau).reshape(-1, blocks(q).shape[1])
    qb, rb, tb = batched(q, r, tau)
    d = distances(qb, rb, dtype)  # single precision throughout in the 32-bit copy
    for b, t in enumerate(tb):
        if t <= 0:  # the plain minimum, bit for bit
            np.testing.assert_array_equal(got[b], d[b].min(-1))
        else:
            want = -float(t) * logsumexp(-d[b].astype(np.float64) / float(t), axis=-1)
            tol = 2e-6 if dtype == np.float32 else 1e-13
            np.testing.assert_allclose(got[b], want, rtol=tol, atol=tol)
            assert np.all(got[b] <= d[b].min(-1))
    check_gradient("points_closest_soft_vjp", lambda d, p: soft(d, p, -1.0), q, r, tau)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("code,kind", [(0.0, 0), (1.0, 1), (2.9, 2), (3.0, 3), (4.0, 4),
                                       (-0.5, 0), (NAN, 0)])
@pytest.mark.parametrize("q_shape,r_shape,params", SHAPES[:3])
def test_row_reductions_and_gradients_match_references(dtype, code, kind, q_shape, r_shape,
                                                       params):
    rng = np.random.default_rng(4)
    q, r = (rng.normal(size=s).astype(dtype) for s in (q_shape, r_shape))
    p = np.asarray(params, dtype) + dtype(kind == 4)  # soft-count radii where the step slopes
    k = np.array([code, 9.0], dtype)  # element 1 is not read
    got = fwd("row_reduce_fwd", q, r, p, k)
    qb, rb, pb = batched(q, r, p)
    d = distances(qb, rb, np.float64)  # every copy works in 64-bit and rounds once
    want = np.concatenate([row_brute_force(kind, d[b], float(pb[b])) for b in range(len(pb))])
    if kind in (1, 4):
        tol = 1e-6 if dtype == np.float32 else 1e-13
        np.testing.assert_allclose(got, want.astype(dtype), rtol=tol, atol=1e-12)
    else:
        np.testing.assert_array_equal(got, want.astype(dtype))
    check_gradient("row_reduce_vjp", ROW_REFERENCES[kind], q, r, p, k)


@pytest.mark.parametrize("dtype", DTYPES)
def test_special_values(dtype):
    r = np.array([[0.0, 0.0], [3.0, 4.0]], dtype)
    q = np.array([[0.0, 0.0], [NAN, 1.0]], dtype)  # a coincident point, a NaN query
    five, micro = np.sqrt(25 + 1e-12).astype(dtype), np.sqrt(dtype(1e-12))

    def soft_min(tau, qq=q, rr=r):
        return fwd("points_closest_soft_fwd", qq, rr, np.array([tau], dtype))

    def reduce(kind, p, qq=q, rr=r):
        return fwd("row_reduce_fwd", qq, rr, np.array([p], dtype), np.array([kind], dtype))

    for got, want in [(soft_min(0.0), [micro, INF]), (soft_min(NAN), [NAN, NAN]),
                      (soft_min(0.5, q[:1], r[1:]), [five]),   # one point: its distance
                      (reduce(0, 0.0), [five, -INF]), (reduce(1, -1.0), [five, -INF]),
                      (reduce(1, NAN), [NAN, NAN]), (reduce(1, 0.5, q[:1], r[1:]), [five]),
                      (reduce(3, 0.0), [0.0, 0.0]),            # 1e-6 is not within radius 0
                      (reduce(4, -2.0), [0.0, NAN]), (reduce(2, 0.0)[1:], [NAN])]:
        np.testing.assert_array_equal(got, np.asarray(want, dtype))
    assert soft_min(0.5)[0] < micro and np.isnan(soft_min(0.5)[1])
    assert five <= reduce(1, 0.5)[0] < five + 0.5


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_ties_go_to_the_lowest_index_and_nan_rows_to_point_zero(dtype):
    # From the origin: nearest points 0 and 3 at 0.5, farthest points 1 and 2 at 1.
    r = np.array([[0.0, 0.5], [1.0, 0.0], [-1.0, 0.0], [0.0, -0.5]], dtype)
    q, g = np.zeros((1, 2), dtype), np.ones(1, dtype)

    def moved(target, p, *kind, qq=q):  # the reference points that receive gradient
        gr = vjp(target, qq, r, np.array([p], dtype), g, *kind)[1].reshape(-1, 2)
        return np.flatnonzero(np.abs(gr).sum(-1)), gr

    assert list(moved("points_closest_soft_vjp", 0.0)[0]) == [0]
    nearest, gr = moved("points_closest_soft_vjp", 1e-4)  # exp underflows for points 1 and 2
    assert list(nearest) == [0, 3] and gr[0, 1] == -gr[3, 1]
    for kind, p in ((0, 1.0), (1, 0.0)):
        assert list(moved("row_reduce_vjp", p, np.array([kind], dtype))[0]) == [1]
    nan_q = np.array([[NAN, 0.0]], dtype)
    _, gr = moved("row_reduce_vjp", 1.0, np.zeros(1, dtype), qq=nan_q)
    assert np.isnan(gr[0]).all() and not np.isnan(gr[1:]).any()
    assert np.isnan(moved("points_closest_soft_vjp", 0.0, qq=nan_q)[1]).all()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,inputs,out_sizes,text", [
    ("points_closest_soft_fwd", [(), (2,), (1,)], [1],
     "buffer length 1 is not a multiple of inner size 2"),
    ("points_closest_soft_fwd", [(2, 2), (4, 0, 2), (1,)], [0],
     "inner block size must be positive"),
    ("points_closest_soft_fwd", [(3, 2, 2), (2, 3, 2), (1,)], [6],
     "incompatible batch counts: 3 vs 2"),
    ("points_closest_soft_fwd", [(3, 2, 2), (3, 3, 2), (2,)], [6],
     "incompatible batch counts: 3 vs 2"),
    ("points_closest_soft_fwd", [(1, 2, 2), (1, 3, 2), (0,)], [2], "output length mismatch"),
    ("points_closest_soft_vjp", [(2, 2), (3, 2), (1,), (3,)], [4, 6], "cotangent length mismatch"),
    ("points_closest_soft_vjp", [(2, 2), (3, 2), (1,), (2,)], [3, 6], "query gradient too short"),
    ("points_closest_soft_vjp", [(2, 2), (3, 2), (1,), (2,)], [4, 5],
     "reference gradient too short"),
    ("row_reduce_fwd", [(2, 2), (3, 2), (1,), [5.0]], [2], "unknown row-reduce kind 5"),
    ("row_reduce_fwd", [(2, 2), (3, 2), (1,), [-1.0]], [2], "unknown row-reduce kind -1"),
    ("row_reduce_fwd", [(2, 2), (3, 2), (1,), [INF]], [2],
     "unknown row-reduce kind 9223372036854775807"),
    ("row_reduce_fwd", [(2, 0, 2), (3, 2), (1,), [7.0]], [2], "unknown row-reduce kind 7"),
    ("row_reduce_fwd", [(2, 2), (3, 2), (1,), []], [2], "row-reduce kind operand is empty"),
    ("row_reduce_fwd", [(2, 2), (0, 2), (1,), [0.0]], [2], "inner block size must be positive"),
    ("row_reduce_fwd", [(1, 2, 2), (1, 3, 2), (4,), [0.0]], [2], "output length mismatch"),
    ("row_reduce_vjp", [(2, 0, 2), (3, 2), (1,), (2,), [8.0]], [4, 6], "unknown row-reduce kind 8"),
    ("row_reduce_vjp", [(2, 2), (3, 2), (1,), (1,), [2.0]], [4, 6], "cotangent length mismatch"),
    ("row_reduce_vjp", [(2, 2), (3, 2), (1,), (2,), [2.0]], [3, 6], "query gradient too short"),
    ("row_reduce_vjp", [(2, 2), (3, 2), (1,), (2,), [3.0]], [4, 5], "reference gradient too short"),
])
def test_failures_leave_outputs_untouched(dtype, target, inputs, out_sizes, text):
    check_rejected(target, inputs, out_sizes, text, dtype=dtype, through_jax=False)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_batches_write_nothing_and_gradients_zero_fill_in_full(dtype):
    q, r, empty = np.ones((1, 2, 2), dtype), np.ones((1, 3, 2), dtype), np.zeros(0, dtype)
    for target, kind in (("points_closest_soft", []), ("row_reduce", [np.zeros(1, dtype)])):
        assert call_handler(target + "_fwd", [q, r, empty] + kind, [empty.copy()]) is None
        grads = [np.full(6, 7.0, dtype), np.full(9, 7.0, dtype)]
        assert call_handler(target + "_vjp", [q, r, empty, empty] + kind, grads) is None
        assert all(np.all(o == 0.0) for o in grads)
