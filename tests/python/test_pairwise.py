"""Pairwise distance matrices between batched 2-D point sets, and their gradient."""

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, check_rejected, shape

DTYPES = [np.float32, np.float64]


def brute_force(a, b):
    """Distances evaluated in 64-bit as the kernels do: squares summed, then 1e-12, then sqrt."""
    a = np.asarray(a, np.float64).reshape(-1, a.shape[-2] if a.ndim >= 2 else 1, 2)
    b = np.asarray(b, np.float64).reshape(-1, b.shape[-2] if b.ndim >= 2 else 1, 2)
    d = a[:, :, None, :] - b[:, None, :, :]
    return np.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + 1e-12)


def forward(a, b, dtype, out_len=None):
    n = a.shape[-2] if a.ndim >= 2 else 1
    m = b.shape[-2] if b.ndim >= 2 else 1
    batch = max(a.size // (2 * n), b.size // (2 * m))
    size = batch * n * m if out_len is None else out_len
    return call("pairwise_fwd", shape((size,), dtype), a.astype(dtype), b.astype(dtype),
                has_side_effect=True)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("a_shape,b_shape", [
    ((3, 17, 2), (3, 11, 2)),
    ((1, 9, 2), (4, 5, 2)),      # first set broadcast
    ((4, 9, 2), (1, 5, 2)),      # second set broadcast
    ((40, 2), (33, 2)),          # one batch
    ((2,), (6, 2)),              # one point
    ((6,), (1, 3, 2)),           # three batches of one point
])
def test_distances_match_brute_force_exactly(dtype, a_shape, b_shape):
    rng = np.random.default_rng(1)
    a = rng.normal(size=a_shape).astype(dtype)
    b = rng.normal(size=b_shape).astype(dtype)
    a.reshape(-1)[0] = np.nan  # NaN and infinity pass through by plain arithmetic
    b.reshape(-1)[-1] = np.inf
    want = brute_force(a, b).astype(dtype).ravel()
    got = forward(a, b, dtype)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("dtype", DTYPES)
def test_last_extent_is_not_read_and_equal_points_are_one_micro_apart(dtype):
    a = np.arange(18, dtype=dtype).reshape(2, 3, 3)  # read as three batches of three points
    b = a.reshape(3, 3, 2)
    got = forward(a, b, dtype, out_len=27).reshape(3, 3, 3)
    np.testing.assert_array_equal(got, brute_force(b, b).astype(dtype))
    assert got[0, 0, 0] == dtype(np.sqrt(1e-12))


@pytest.mark.parametrize("a_shape,b_shape,out_len,text", [
    ((), (2,), 1, "buffer length 1 is not a multiple of inner size 2"),
    ((2, 2), (4, 0, 2), 0, "inner block size must be positive"),
    ((0, 2), (0, 2), 0, "inner block size must be positive"),
    ((3, 2, 2), (4, 2, 2), 48, "incompatible batch counts: 3 vs 4"),
    ((5, 2), (3, 2), 14, "output length mismatch"),
    ((5, 2), (3, 2), 16, "output length mismatch"),
])
def test_forward_rejects_bad_shapes(a_shape, b_shape, out_len, text):
    check_rejected("pairwise_fwd", [np.zeros(a_shape), np.zeros(b_shape)], [out_len], text)


def reference_vjp(a, b, g):
    def f(a, b):
        d = a[..., :, None, :] - b[..., None, :, :]
        return jnp.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + 1e-12)

    _, pull = jax.vjp(f, jnp.asarray(a, jnp.float64), jnp.asarray(b, jnp.float64))
    return [np.asarray(x) for x in pull(jnp.asarray(g, jnp.float64))]


def gradient(a, b, g, dtype, da_len=None, db_len=None):
    outs = [shape((a.size if da_len is None else da_len,), dtype),
            shape((b.size if db_len is None else db_len,), dtype)]
    return call("pairwise_vjp", outs, a.astype(dtype), b.astype(dtype), g.astype(dtype),
                has_side_effect=True)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("a_shape,b_shape", [
    ((3, 7, 2), (3, 5, 2)),
    ((1, 7, 2), (4, 5, 2)),
    ((4, 7, 2), (1, 5, 2)),
])
def test_gradient_matches_jax_vjp(dtype, a_shape, b_shape):
    rng = np.random.default_rng(2)
    a = rng.normal(size=a_shape).astype(dtype)
    b = rng.normal(size=b_shape).astype(dtype)
    batch = max(a_shape[0], b_shape[0])
    g = rng.normal(size=(batch, a_shape[1], b_shape[1])).astype(dtype)
    da, db = gradient(a, b, g, dtype)
    ra, rb = reference_vjp(np.broadcast_to(a, (batch,) + a_shape[1:]),
                           np.broadcast_to(b, (batch,) + b_shape[1:]), g)
    # A broadcast operand's gradient is the sum over the batches.
    ra = ra.sum(0) if a_shape[0] == 1 else ra
    rb = rb.sum(0) if b_shape[0] == 1 else rb
    tol = 1e-5 if dtype == np.float32 else 1e-12
    np.testing.assert_allclose(da, ra.ravel(), rtol=tol, atol=tol)
    np.testing.assert_allclose(db, rb.ravel(), rtol=tol, atol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_of_equal_points_is_zero_and_larger_outputs_are_zero_filled(dtype):
    a = np.array([[1.0, 2.0], [1.0, 2.0]])
    da, db = gradient(a, a[:1], np.ones((2, 1)), dtype, da_len=7, db_len=5)
    np.testing.assert_array_equal(da, np.zeros(7))
    np.testing.assert_array_equal(db, np.zeros(5))


def test_gradient_of_empty_batch_zero_fills():
    da, db = gradient(np.zeros((0, 3, 2)), np.ones((1, 2, 2)), np.zeros(0), np.float64)
    assert da.size == 0
    np.testing.assert_array_equal(db, np.zeros(4))


@pytest.mark.parametrize("g_len,da_len,db_len,text", [
    (5, 4, 6, "cotangent length mismatch"),
    (6, 3, 6, "first point set gradient too short"),
    (6, 4, 5, "second point set gradient too short"),
])
def test_gradient_rejects_short_operands(g_len, da_len, db_len, text):
    check_rejected("pairwise_vjp", [np.ones((2, 2)), np.ones((3, 2)), np.ones(g_len)],
                   [da_len, db_len], text)


def test_single_precision_gradient_accumulates_rows_in_64_bit():
    rng = np.random.default_rng(7)
    a = rng.normal(size=(6, 2)).astype(np.float32)
    b = rng.normal(size=(40, 2)).astype(np.float32)
    g = rng.normal(size=(6, 40)).astype(np.float32)
    da, _ = gradient(a, b, g, np.float32)
    d = a.astype(np.float64)[:, None, :] - b.astype(np.float64)[None, :, :]
    r = np.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + 1e-12)
    v = d * (g.astype(np.float64) / r)[..., None]
    acc = np.zeros((6, 2))
    for j in range(40):  # in increasing j, as the kernel sums
        acc += v[:, j]
    np.testing.assert_array_equal(da.reshape(6, 2), acc.astype(np.float32))
