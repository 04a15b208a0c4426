"""Decay, logistic and periodic curves: values against a direct NumPy evaluation of each formula,
gradients against jax.vjp of jax.numpy references, with shared and per-element parameters and
summed or per-element parameter gradients."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, shape

DTYPES = [np.float32, np.float64]
N = 131


def tol(dtype):
    return dict(rtol=3e-5, atol=3e-5) if dtype == np.float32 else dict(rtol=1e-12, atol=1e-12)


def per_element(rng, shared, low, high, dtype, n=N):
    return rng.uniform(low, high, 1 if shared else n).astype(dtype)


def grad_reference(f, params, shared_grads, g):
    """jax.vjp of f over per-element copies of each parameter; a gradient asked as one element
    is the sum over elements."""
    n = g.shape[0]
    full = [jnp.broadcast_to(p, (n,)) for p in params]
    _, vjp = jax.vjp(f, *full)
    grads = vjp(g)
    return [np.sum(np.asarray(d), keepdims=True) if s else np.asarray(d)
            for d, s in zip(grads, shared_grads)]


# ---------------------------------------------------------------------------------------------
# Decay


def decay(t, p, kind):
    return call("decay_fwd", shape(t.shape, t.dtype), t, p, np.array([kind], t.dtype))


def decay_grad(t, p, g, kind, dp_len):
    return call("decay_vjp", [shape(t.shape, t.dtype), shape((dp_len,), t.dtype)], t, p, g,
                np.array([kind], t.dtype))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shared", [True, False])
@pytest.mark.parametrize("kind, family", [(0, "exp"), (-3, "exp"), (-0.5, "exp"), (0.99, "exp"),
                                          (np.nan, "exp"), (1.0, "pow"), (1.9, "pow")])
def test_decay_values_match_numpy_and_kind_selects_the_family(dtype, shared, kind, family):
    rng = np.random.default_rng(1)
    t = rng.uniform(0.01, 5.0, N).astype(dtype)
    p = per_element(rng, shared, 0.3, 2.0, dtype)
    t64, p64 = t.astype(np.float64), p.astype(np.float64)
    want = np.exp(-t64 / p64) if family == "exp" else np.maximum(t64, 1e-9) ** (-p64)
    np.testing.assert_allclose(decay(t, p, kind), want, **tol(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_decay_floor_and_unfloored_exponential(dtype):
    floor = float(dtype(1e-9))
    t = np.array([0, -2, np.nan], dtype)
    alpha = np.array([0.5], dtype)
    np.testing.assert_allclose(decay(t, alpha, 1), [floor ** -0.5] * 3, rtol=1e-6)
    # The exponential takes the time as it is: a negative time rises above 1.
    got = decay(np.array([0, -1], dtype), np.array([1], dtype), 0)
    assert got[0] == 1 and got[1] > 2.7
    # Power-law time gradient below the floor is taken at the floor, not zeroed.
    dt, dp = decay_grad(np.array([0.0], dtype), alpha, np.array([1], dtype), 1, 1)
    np.testing.assert_allclose(dt, [-0.5 * floor ** -0.5 / floor], rtol=1e-5)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", [0, 1])
@pytest.mark.parametrize("p_shared, dp_shared", [(True, True), (True, False), (False, True),
                                                 (False, False)])
def test_decay_gradients_match_jax_vjp(dtype, kind, p_shared, dp_shared):
    rng = np.random.default_rng(2)
    t = rng.uniform(0.05, 4.0, N).astype(dtype)
    p = per_element(rng, p_shared, 0.4, 2.0, dtype)
    g = rng.normal(size=N).astype(dtype)
    dt, dp = decay_grad(t, p, g, kind, 1 if dp_shared else N)
    if kind == 0:
        f = lambda tt, pp: jnp.exp(-tt / pp)  # noqa: E731
    else:
        f = lambda tt, pp: jnp.maximum(tt, 1e-9) ** (-pp)  # noqa: E731
    _, vjp = jax.vjp(f, t, jnp.broadcast_to(p, (N,)))
    want_dt, want_dp = vjp(g)
    want_dp = np.sum(want_dp, keepdims=True) if dp_shared else want_dp
    np.testing.assert_allclose(dt, want_dt, **tol(dtype))
    np.testing.assert_allclose(dp, want_dp, rtol=tol(dtype)["rtol"] * 10, atol=tol(dtype)["atol"] * 10)


@pytest.mark.parametrize("dtype", DTYPES)
def test_decay_empty_times_ignore_the_kind_and_zero_the_parameter_gradient(dtype):
    e = np.zeros(0, dtype)
    kind = np.array([7], dtype)
    out = call("decay_fwd", shape((0,), dtype), e, np.ones(1, dtype), kind, has_side_effect=True)
    assert out.shape == (0,)
    dt, dp = call("decay_vjp", [shape((0,), dtype), shape((3,), dtype)], e, np.ones(1, dtype), e,
                  kind, has_side_effect=True)
    assert dt.shape == (0,)
    np.testing.assert_array_equal(dp, np.zeros(3))


# ---------------------------------------------------------------------------------------------
# Logistic


def logistic_ref(t, t0, k, level):
    return level / (jnp.exp(-(t - t0) * k) + 1)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shared", [(True, True, True), (False, True, False), (False, False, False)])
def test_logistic_values_match_numpy(dtype, shared):
    rng = np.random.default_rng(3)
    t = rng.uniform(-5, 5, N).astype(dtype)
    t0 = per_element(rng, shared[0], -1, 1, dtype)
    k = per_element(rng, shared[1], 0.2, 3, dtype)
    level = per_element(rng, shared[2], 0.5, 4, dtype)
    got = call("logistic_fwd", shape((N,), dtype), t, t0, k, level)
    a = [v.astype(np.float64) for v in (t, t0, k, level)]
    want = a[3] / (np.exp(-(a[0] - a[1]) * a[2]) + 1)
    np.testing.assert_allclose(got, want, **tol(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shared, d_shared", [
    ((True, True, True), (True, True, True)),
    ((True, True, True), (False, False, False)),
    ((False, False, False), (True, False, True)),
    ((False, True, False), (False, True, True)),
])
def test_logistic_gradients_match_jax_vjp(dtype, p_shared, d_shared):
    rng = np.random.default_rng(4)
    t = rng.uniform(-4, 4, N).astype(dtype)
    params = [per_element(rng, p_shared[0], -1, 1, dtype),
              per_element(rng, p_shared[1], 0.2, 3, dtype),
              per_element(rng, p_shared[2], 0.5, 4, dtype)]
    g = rng.normal(size=N).astype(dtype)
    outs = [shape((N,), dtype)] + [shape((1 if s else N,), dtype) for s in d_shared]
    dt, dt0, dk, dl = call("logistic_vjp", outs, t, *params, g)
    want = grad_reference(lambda tt, a, b, c: logistic_ref(tt, a, b, c), [t] + params,
                          [False] + list(d_shared), g)
    for got, ref in zip([dt, dt0, dk, dl], want):
        np.testing.assert_allclose(got, ref, rtol=tol(dtype)["rtol"] * 10, atol=tol(dtype)["atol"] * 10)


@pytest.mark.parametrize("dtype", DTYPES)
def test_logistic_worked_values_and_saturation(dtype):
    one = lambda v: np.array([v], dtype)  # noqa: E731
    # At the midpoint the curve is half the ceiling; with rate 0 it is half everywhere.
    assert call("logistic_fwd", shape((1,), dtype), one(2), one(2), one(5), one(3))[0] == 1.5
    flat = call("logistic_fwd", shape((3,), dtype), np.array([-9, 0, 9], dtype), one(1), one(0), one(4))
    np.testing.assert_array_equal(flat, [2, 2, 2])
    outs = [shape((1,), dtype)] * 4
    got = call("logistic_vjp", outs, one(0), one(0), one(2), one(1), one(1))
    np.testing.assert_array_equal(np.concatenate(got), [0.5, -0.5, 0, 0.5])
    # Far above the midpoint the exponential underflows: y = L and only dL receives g. Far below
    # it overflows: y = 0 and every gradient is 0, never NaN.
    t = np.array([1e4, -1e4], dtype)
    y = call("logistic_fwd", shape((2,), dtype), t, one(0), one(1), one(3))
    np.testing.assert_array_equal(y, [3, 0])
    outs = [shape((2,), dtype)] * 4
    dt, dt0, dk, dl = call("logistic_vjp", outs, t, one(0), one(1), one(3), np.array([2, 2], dtype))
    np.testing.assert_array_equal(np.stack([dt, dt0, dk, dl]), [[0, 0], [0, 0], [0, 0], [2, 0]])


# ---------------------------------------------------------------------------------------------
# Periodic


def periodic_ref(t, period, a, phi, c):
    k = jnp.arange(1, a.shape[0] + 1, dtype=t.dtype)
    ang = (k[None, :] * (2 * np.pi) * t[:, None]) / period[:, None] - phi[None, :]
    return c + jnp.sum(a[None, :] * jnp.cos(ang), axis=1)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("harmonics", [0, 1, 3, 8])
@pytest.mark.parametrize("shared", [True, False])
def test_periodic_values_match_numpy(dtype, harmonics, shared):
    rng = np.random.default_rng(5 + harmonics)
    t = rng.uniform(-3, 3, N).astype(dtype)
    period = per_element(rng, shared, 0.5, 2.0, dtype)
    offset = per_element(rng, shared, -1, 1, dtype)
    a = rng.normal(size=harmonics).astype(dtype)
    phi = rng.uniform(-3, 3, harmonics).astype(dtype)
    got = call("periodic_fwd", shape((N,), dtype), t, period, a, phi, offset)
    t64, p64, c64 = (np.broadcast_to(v.astype(np.float64), (N,)) for v in (t, period, offset))
    k = np.arange(1, harmonics + 1)
    ang = 2 * np.pi * k[None, :] * t64[:, None] / p64[:, None] - phi.astype(np.float64)[None, :]
    want = c64 + np.cos(ang) @ a.astype(np.float64)
    np.testing.assert_allclose(got, want, rtol=1e-4 if dtype == np.float32 else 1e-11,
                               atol=1e-4 if dtype == np.float32 else 1e-11)


@pytest.mark.parametrize("dtype", DTYPES)
def test_periodic_single_cosine_worked_values(dtype):
    t = np.array([0, 0.5, 0.25], dtype)
    one = lambda v: np.array([v], dtype)  # noqa: E731
    got = call("periodic_fwd", shape((3,), dtype), t, one(1), one(1), one(0), one(0))
    np.testing.assert_allclose(got, [1, -1, 0], atol=1e-6)
    assert got[0] == 1


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("harmonics", [0, 1, 4])
@pytest.mark.parametrize("p_shared, dc_shared", [(True, True), (False, False), (True, False)])
def test_periodic_gradients_match_jax_vjp(dtype, harmonics, p_shared, dc_shared):
    rng = np.random.default_rng(20 + harmonics)
    t = rng.uniform(-2, 2, N).astype(dtype)
    period = per_element(rng, p_shared, 0.5, 2.0, dtype)
    a = rng.normal(size=harmonics).astype(dtype)
    phi = rng.uniform(-3, 3, harmonics).astype(dtype)
    g = rng.normal(size=N).astype(dtype)
    outs = [shape((N,), dtype), shape((harmonics,), dtype), shape((harmonics,), dtype),
            shape((1 if dc_shared else N,), dtype)]
    dt, da, dphi, dc = call("periodic_vjp", outs, t, period, a, phi, g)
    pfull = jnp.broadcast_to(period, (N,))
    _, vjp = jax.vjp(lambda tt, aa, pp, cc: periodic_ref(tt, pfull, aa, pp, cc), t, a, phi,
                     jnp.zeros(N, dtype))
    want = list(vjp(g))
    want[3] = np.sum(want[3], keepdims=True) if dc_shared else want[3]
    loose = dict(rtol=2e-4, atol=2e-4) if dtype == np.float32 else dict(rtol=1e-10, atol=1e-10)
    for got, ref in zip([dt, da, dphi, dc], want):
        np.testing.assert_allclose(got, ref, **loose)
