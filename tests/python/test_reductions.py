"""Soft closest points and row reductions: every query against every reference point of its batch,
reduced to one number per query. Forwards against NumPy brute force and SciPy's logsumexp,
gradients against jax.vjp of jax.numpy references."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.special import expit, logsumexp

from mirelon_jax import call, call_handler, shape

DTYPES = [np.float32, np.float64]
NAN, INF = np.nan, np.inf


def blocks(x):
    """A point operand as (batches, points, 2)."""
    n = x.shape[-2] if x.ndim >= 2 else 1
    return x.reshape(-1, n, 2)


def batched(q, r, p):
    """Queries, references and per-batch parameters broadcast to the common batch count."""
    qb, rb, p = blocks(q), blocks(r), np.ravel(p)
    batch = max(len(qb), len(rb), len(p))
    return (np.broadcast_to(qb, (batch,) + qb.shape[1:]),
            np.broadcast_to(rb, (batch,) + rb.shape[1:]), np.broadcast_to(p, (batch,)))


def distances(q, r, dtype):
    """(B, M, N) smoothed distances, evaluated in `dtype` as the kernels do: squares added
    first, then 1e-12 rounded to `dtype`."""
    d = q.astype(dtype)[:, :, None, :] - r.astype(dtype)[:, None, :, :]
    with np.errstate(invalid="ignore"):
        return np.sqrt((d[..., 1] * d[..., 1] + d[..., 0] * d[..., 0]) + dtype(1e-12))


def points_and_param(dtype, q_shape, r_shape, params, seed):
    rng = np.random.default_rng(seed)
    q = rng.normal(size=q_shape).astype(dtype)
    r = rng.normal(size=r_shape).astype(dtype)
    return q, r, np.asarray(params, dtype)


def fwd(target, q, r, p, *kind, out_len=None):
    qb, rb, pb = batched(q, r, p)
    n = qb.shape[0] * qb.shape[1] if out_len is None else out_len
    return call(target, shape((n,), q.dtype), q, r, p, *kind)


def vjp(target, q, r, p, g, *kind):
    outs = call(target, [shape(q.shape, q.dtype), shape(r.shape, r.dtype)], q, r, p, g, *kind)
    return [o.ravel() for o in outs]


def vjp_reference(fn, q, r, p, g):
    """jax.vjp of fn(q, r, p) -> (B, M) with q and r broadcast inside, so that a broadcast
    operand's gradient is the sum over the batches."""
    qb, rb, pb = batched(q, r, p)
    batch = qb.shape[0]

    def f(qq, rr):
        qq = jnp.broadcast_to(qq, (batch,) + qq.shape[1:])
        rr = jnp.broadcast_to(rr, (batch,) + rr.shape[1:])
        d = qq[:, :, None, :] - rr[:, None, :, :]
        dist = jnp.sqrt((d[..., 1] * d[..., 1] + d[..., 0] * d[..., 0]) + 1e-12)
        return fn(dist, jnp.asarray(pb)[:, None, None])

    _, pull = jax.vjp(f, jnp.asarray(blocks(q), jnp.float64), jnp.asarray(blocks(r), jnp.float64))
    return [np.asarray(x).ravel() for x in pull(jnp.asarray(g, jnp.float64).reshape(batch, -1))]


def at_first(d, index):
    """d at a per-row index computed without gradient (the lowest index of a tie)."""
    return jnp.take_along_axis(d, index(jax.lax.stop_gradient(d), axis=-1)[..., None], -1)[..., 0]


SHAPES = [
    ((3, 40, 2), (3, 30, 2), [0.3, 0.0, -1.0]),
    ((1, 25, 2), (4, 20, 2), [0.05]),            # one query set and one parameter for all
    ((25, 2), (1, 20, 2), [0.5, 2.0, 1e-3, 3.0]),  # the parameter alone sets the batch count
    ((6,), (1, 2), [0.7]),                       # three batches of one query, one reference
]


# ---- soft closest points ------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("q_shape,r_shape,taus", SHAPES)
def test_soft_minimum_matches_logsumexp(dtype, q_shape, r_shape, taus):
    q, r, tau = points_and_param(dtype, q_shape, r_shape, taus, 1)
    got = fwd("points_closest_soft_fwd", q, r, tau).reshape(-1, blocks(q).shape[1])
    qb, rb, tb = batched(q, r, tau)
    d = distances(qb, rb, dtype)  # single precision throughout in the 32-bit copy
    for b, t in enumerate(tb):
        if t <= 0:  # the plain minimum, bit for bit
            np.testing.assert_array_equal(got[b], d[b].min(-1))
        else:
            want = -t.astype(np.float64) * logsumexp(-d[b].astype(np.float64) / t, axis=-1)
            tol = 2e-6 if dtype == np.float32 else 1e-13
            np.testing.assert_allclose(got[b], want, rtol=tol, atol=tol)
            assert np.all(got[b] <= d[b].min(-1))


@pytest.mark.parametrize("dtype", DTYPES)
def test_soft_minimum_special_values(dtype):
    r = np.array([[0.0, 0.0], [3.0, 4.0]], dtype)
    q = np.array([[0.0, 0.0], [NAN, 1.0]], dtype)
    eps_root = np.sqrt(dtype(1e-12))
    hard, soft, nan_tau = (fwd("points_closest_soft_fwd", q, r, np.array([t], dtype))
                           for t in (0.0, 0.5, NAN))
    np.testing.assert_array_equal(hard, [eps_root, INF])  # coincident: 1e-6; NaN query: +inf
    assert soft[0] < eps_root and np.isnan(soft[1]) and np.isnan(nan_tau).all()
    one = fwd("points_closest_soft_fwd", q[:1], r[1:], np.array([0.5], dtype))
    np.testing.assert_array_equal(one, [np.sqrt(dtype(25) + dtype(1e-12))])


def soft_reference(d, tau):
    safe = jnp.where(tau > 0, tau, 1.0)
    soft = -safe[..., 0] * jax.scipy.special.logsumexp(-d / safe, axis=-1)
    return jnp.where(tau[..., 0] > 0, soft, at_first(d, jnp.argmin))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("q_shape,r_shape,taus", SHAPES)
def test_soft_minimum_gradient_matches_jax_vjp(dtype, q_shape, r_shape, taus):
    q, r, tau = points_and_param(dtype, q_shape, r_shape, taus, 2)
    g = np.random.default_rng(3).normal(size=fwd("points_closest_soft_fwd", q, r, tau).size)
    gq, gr = vjp("points_closest_soft_vjp", q, r, tau, g.astype(dtype))
    rq, rr = vjp_reference(soft_reference, q, r, tau, g.astype(dtype))
    tol = 1e-4 if dtype == np.float32 else 1e-11
    np.testing.assert_allclose(gq, rq, rtol=tol, atol=tol)
    np.testing.assert_allclose(gr, rr, rtol=tol, atol=tol)


# ---- row reductions -----------------------------------------------------------------------------

def row_brute_force(kind, d, p):
    """The reduction of each row of 64-bit distances d (M, N) with parameter p."""
    with np.errstate(all="ignore"):
        finite = np.where(np.isnan(d), -INF, d)
        m = finite.max(-1)
        if kind == 0 or (kind == 1 and p <= 0):
            return m
        if kind == 1:
            return p * logsumexp(d / p, axis=-1)
        if kind == 2:
            return np.add.accumulate(d, axis=-1)[:, -1] / d.shape[-1]  # summed in order
        if kind == 3:
            return (d <= p).sum(-1).astype(np.float64)
        return expit((p - d) / max(p / 20, 1e-9)).sum(-1)


KINDS = [(0.0, 0), (1.0, 1), (2.9, 2), (3.0, 3), (4.0, 4), (-0.5, 0), (NAN, 0)]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("code,kind", KINDS)
@pytest.mark.parametrize("q_shape,r_shape,params", SHAPES[:3])
def test_row_reductions_match_brute_force(dtype, code, kind, q_shape, r_shape, params):
    q, r, p = points_and_param(dtype, q_shape, r_shape, params, 4)
    got = fwd("row_reduce_fwd", q, r, p, np.array([code, 9.0], dtype))  # element 1 is not read
    qb, rb, pb = batched(q, r, p)
    d = distances(qb, rb, np.float64)  # every copy works in 64-bit
    want = np.concatenate([row_brute_force(kind, d[b], float(pb[b])) for b in range(len(pb))])
    if kind in (1, 4):
        np.testing.assert_allclose(got, want.astype(dtype), rtol=1e-6 if dtype == np.float32
                                   else 1e-13, atol=1e-12)
    else:  # no function evaluations: the 64-bit result rounded once
        np.testing.assert_array_equal(got, want.astype(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_row_reduction_special_values(dtype):
    r = np.array([[0.0, 0.0], [3.0, 4.0]], dtype)
    q = np.array([[0.0, 0.0], [NAN, 1.0]], dtype)

    def reduce(kind, p, qq=q, rr=r):
        return fwd("row_reduce_fwd", qq, rr, np.array([p], dtype), np.array([kind], dtype))

    five = np.sqrt(25 + 1e-12).astype(dtype)
    np.testing.assert_array_equal(reduce(0, 0), [five, -INF])
    np.testing.assert_array_equal(reduce(1, -1.0), [five, -INF])
    np.testing.assert_array_equal(reduce(3, 0.0), [0.0, 0.0])  # 1e-6 is not within radius 0
    assert np.isnan(reduce(2, 0)[1]) and np.isnan(reduce(4, 1.0)[1])
    assert np.isnan(reduce(1, NAN)).all()
    np.testing.assert_array_equal(reduce(1, 0.5, q[:1], r[1:]), [five])  # N = 1: the distance
    soft = reduce(1, 0.5)
    assert soft[0] >= five and soft[0] < five + 0.5
    np.testing.assert_array_equal(reduce(4, -2.0), [0.0, NAN])  # width 1e-9: a sharp step


def row_reference(kind):
    def f(d, p):
        if kind == 0:
            return at_first(d, jnp.argmax)
        if kind == 1:
            safe = jnp.where(p > 0, p, 1.0)
            soft = safe[..., 0] * jax.scipy.special.logsumexp(d / safe, axis=-1)
            return jnp.where(p[..., 0] > 0, soft, at_first(d, jnp.argmax))
        if kind == 2:
            return d.mean(-1)
        if kind == 3:
            return 0.0 * d.sum(-1)
        return jax.nn.sigmoid((p - d) / jnp.maximum(p / 20, 1e-9)).sum(-1)
    return f


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", range(5))
@pytest.mark.parametrize("q_shape,r_shape,params", SHAPES[:3])
def test_row_reduction_gradient_matches_jax_vjp(dtype, kind, q_shape, r_shape, params):
    q, r, p = points_and_param(dtype, q_shape, r_shape, params, 5)
    p = np.abs(p) + dtype(kind == 4)  # soft-count radii where the step has a slope
    g = np.random.default_rng(6).normal(size=blocks(q).shape[1] * batched(q, r, p)[0].shape[0])
    k = np.array([kind], dtype)
    gq, gr = vjp("row_reduce_vjp", q, r, p, g.astype(dtype), k)
    rq, rr = vjp_reference(row_reference(kind), q, r, p, g.astype(dtype))
    tol = 1e-5 if dtype == np.float32 else 1e-11
    np.testing.assert_allclose(gq, rq, rtol=tol, atol=tol)
    np.testing.assert_allclose(gr, rr, rtol=tol, atol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_ties_go_to_the_lowest_index_and_nan_rows_to_point_zero(dtype):
    # Nearest pair (0, 3) at 0.5, farthest pair (1, 2) at 1 from the query at the origin.
    r = np.array([[0.0, 0.5], [1.0, 0.0], [-1.0, 0.0], [0.0, -0.5]], dtype)
    q = np.array([[0.0, 0.0]], dtype)
    g = np.array([1.0], dtype)
    one = np.array([1.0], dtype)

    def moved(grad_r):  # the reference points that received gradient
        return np.flatnonzero(np.abs(grad_r.reshape(-1, 2)).sum(-1))

    _, gr = vjp("points_closest_soft_vjp", q, r, np.array([0.0], dtype), g)
    np.testing.assert_array_equal(moved(gr), [0])
    _, gr = vjp("points_closest_soft_vjp", q, r, np.array([1e-4], dtype), g)  # far ones: exp = 0
    np.testing.assert_array_equal(moved(gr), [0, 3])
    np.testing.assert_array_equal(gr[1], -gr[7])  # equal weights
    for kind, p in ((0, 1.0), (1, 0.0)):
        _, gr = vjp("row_reduce_vjp", q, r, np.array([p], dtype), g, np.array([kind], dtype))
        np.testing.assert_array_equal(moved(gr), [1])
    nan_q = np.array([[NAN, 0.0]], dtype)
    _, gr = vjp("row_reduce_vjp", nan_q, r, one, g, np.zeros(1, dtype))
    assert np.isnan(gr[:2]).all() and not np.isnan(gr[2:]).any()
    _, gr = vjp("points_closest_soft_vjp", nan_q, r, np.zeros(1, dtype), g)
    assert np.isnan(gr).all()


# ---- failures -----------------------------------------------------------------------------------

def failing(target, inputs, out_sizes, text, dtype):
    """The call fails with `text` and leaves every output as it was."""
    inputs = [np.full(x, 0.5, dtype) if isinstance(x, tuple) else np.asarray(x, dtype)
              for x in inputs]
    outputs = [np.full(n, 7.0, dtype) for n in out_sizes]
    assert call_handler(target, inputs, outputs) == text
    assert all(np.all(o == 7.0) for o in outputs)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,inputs,out_sizes,text", [
    ("points_closest_soft_fwd", [(), (2,), (1,)], [1],
     "buffer length 1 is not a multiple of inner size 2"),
    ("points_closest_soft_fwd", [(2, 2), (4, 0, 2), (1,)], [0], "inner block size must be positive"),
    ("points_closest_soft_fwd", [(3, 2, 2), (2, 3, 2), (1,)], [6], "incompatible batch counts: 3 vs 2"),
    ("points_closest_soft_fwd", [(3, 2, 2), (3, 3, 2), (2,)], [6], "incompatible batch counts: 3 vs 2"),
    ("points_closest_soft_fwd", [(1, 2, 2), (1, 3, 2), (0,)], [2], "output length mismatch"),
    ("points_closest_soft_vjp", [(2, 2), (3, 2), (1,), (3,)], [4, 6], "cotangent length mismatch"),
    ("points_closest_soft_vjp", [(2, 2), (3, 2), (1,), (2,)], [3, 6], "query gradient too short"),
    ("points_closest_soft_vjp", [(2, 2), (3, 2), (1,), (2,)], [4, 5],
     "reference gradient too short"),
])
def test_soft_minimum_failures_leave_outputs_untouched(dtype, target, inputs, out_sizes, text):
    failing(target, inputs, out_sizes, text, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind,inputs,out_sizes,text", [
    ([5.0], [(2, 2), (3, 2), (1,)], [2], "unknown row-reduce kind 5"),
    ([-1.0], [(2, 2), (3, 2), (1,)], [2], "unknown row-reduce kind -1"),
    ([INF], [(2, 2), (3, 2), (1,)], [2], "unknown row-reduce kind 9223372036854775807"),
    ([7.0], [(2, 0, 2), (3, 2), (1,)], [2], "unknown row-reduce kind 7"),  # before the shapes
    ([], [(2, 2), (3, 2), (1,)], [2], "row-reduce kind operand is empty"),
    ([0.0], [(2, 2), (0, 2), (1,)], [2], "inner block size must be positive"),
    ([0.0], [(3, 2, 2), (3, 3, 2), (2,)], [6], "incompatible batch counts: 3 vs 2"),
    ([0.0], [(1, 2, 2), (1, 3, 2), (4,)], [2], "output length mismatch"),
    ([2.0, "vjp"], [(2, 2), (3, 2), (1,), (1,)], [4, 6], "cotangent length mismatch"),
    ([2.0, "vjp"], [(2, 2), (3, 2), (1,), (2,)], [3, 6], "query gradient too short"),
    ([3.0, "vjp"], [(2, 2), (3, 2), (1,), (2,)], [4, 5], "reference gradient too short"),
    ([8.0, "vjp"], [(2, 0, 2), (3, 2), (1,), (2,)], [4, 6], "unknown row-reduce kind 8"),
])
def test_row_reduction_failures_leave_outputs_untouched(dtype, kind, inputs, out_sizes, text):
    target = "row_reduce_vjp" if "vjp" in kind else "row_reduce_fwd"
    failing(target, inputs + [[k for k in kind if k != "vjp"]], out_sizes, text, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_batches_write_nothing_and_gradients_zero_fill_in_full(dtype):
    q, r = np.ones((1, 2, 2), dtype), np.ones((1, 3, 2), dtype)
    for target, extra in (("points_closest_soft", []), ("row_reduce", [np.zeros(1, dtype)])):
        out = np.full(0, 7.0, dtype)
        assert call_handler(target + "_fwd", [q, r, np.zeros(0, dtype)] + extra, [out]) is None
        grads = [np.full(6, 7.0, dtype), np.full(9, 7.0, dtype)]
        assert call_handler(target + "_vjp", [q, r, np.zeros(0, dtype), np.zeros(0, dtype)] +
                            extra, grads) is None
        assert all(np.all(o == 0.0) for o in grads)
