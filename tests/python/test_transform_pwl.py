"""Piecewise-linear curve through knots: values against numpy.interp inside the knot range, the
behaviour at the ends, on knots and for NaN queries, and the query gradient against jax.vjp."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, shape

DTYPES = [np.float32, np.float64]


def rtol(dtype):
    return 2e-6 if dtype == np.float32 else 1e-10


def pwl(x, xk, yk):
    return call("pwl_fwd", shape(x.shape, x.dtype), x, xk, yk)


def pwl_grad(x, xk, yk, g):
    return call("pwl_vjp", shape(x.shape, x.dtype), x, xk, yk, g)


def random_knots(rng, k, dtype):
    xk = np.cumsum(rng.uniform(0.1, 1.0, k)) - 2.0
    yk = rng.normal(size=k) * 3.0
    return xk.astype(dtype), yk.astype(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [2, 3, 7, 64])
def test_values_inside_the_knot_range_match_numpy_interp(dtype, k):
    rng = np.random.default_rng(k)
    xk, yk = random_knots(rng, k, dtype)
    x = rng.uniform(xk[0], xk[-1], size=(5, 41)).astype(dtype)
    x.flat[:k - 1] = xk[:-1]  # interior and first knots hit exactly
    got = pwl(x, xk, yk)
    assert got.dtype == dtype and got.shape == x.shape
    want = np.interp(x.astype(np.float64), xk.astype(np.float64), yk.astype(np.float64))
    np.testing.assert_allclose(got, want, rtol=rtol(dtype), atol=rtol(dtype) * 10)
    # A query on a knot other than the last lands at the start of its interval: exact value.
    np.testing.assert_array_equal(got.flat[:k - 1], yk[:-1])


@pytest.mark.parametrize("dtype", DTYPES)
def test_worked_values_at_the_ends_nan_and_equal_knots(dtype):
    xk = np.array([0, 1, 2], dtype)
    yk = np.array([0, 10, 20], dtype)
    x = np.array([-3, 0, np.nan, 2, 5, np.inf, -np.inf], dtype)
    got = pwl(x, xk, yk)
    # Below the first knot, on it, NaN and -inf give the first value exactly.
    np.testing.assert_array_equal(got[[0, 1, 2, 6]], np.zeros(4, dtype))
    # At or beyond the last knot the guarded spacing stops just short of the last value in
    # 64-bit; in 32-bit the guard vanishes against a spacing of 1.
    last = 19.99999999999 if dtype == np.float64 else 20.0
    np.testing.assert_allclose(got[[3, 4, 5]], [last] * 3, rtol=1e-15, atol=0)
    if dtype == np.float64:
        assert np.all(got[[3, 4, 5]] < 20.0)
    # Two knots at the same position: a finite value, no division by zero.
    same = pwl(np.array([0.5, 1.0, 1.5], dtype), np.array([0, 1, 1, 2], dtype),
               np.array([0, 1, 5, 6], dtype))
    assert np.all(np.isfinite(same))
    # Descending knots clamp every query onto the last knot.
    desc = pwl(np.array([-5, 0.5, 3, np.nan], dtype), np.array([2, 1, 0], dtype), yk)
    assert np.all(desc == desc[0]) and np.isfinite(desc[0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [2, 5])
def test_result_follows_the_guarded_formula_in_the_element_type(dtype, k):
    # The interval weight divides by the spacing plus the guard, then multiplies the rise and
    # adds the left value last, each step rounded in the element type.
    rng = np.random.default_rng(10 + k)
    xk, yk = random_knots(rng, k, dtype)
    x = rng.uniform(xk[0] - 1, xk[-1] + 1, 257).astype(dtype)
    guard = dtype(1e-12)
    c = np.minimum(np.maximum(x, xk[0]), xk[-1])
    i = np.clip(np.searchsorted(xk, c, side="right") - 1, 0, k - 2)
    t = (c - xk[i]) / ((xk[i + 1] - xk[i]) + guard)
    want = (yk[i + 1] - yk[i]) * t + yk[i]
    np.testing.assert_array_equal(pwl(x, xk, yk), want)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [2, 4, 64])
def test_query_gradient_matches_jax_vjp_of_jnp_interp(dtype, k):
    rng = np.random.default_rng(100 + k)
    xk, yk = random_knots(rng, k, dtype)
    x = rng.uniform(xk[0] - 0.5, xk[-1] + 0.5, 301).astype(dtype)
    g = rng.normal(size=x.shape).astype(dtype)
    got = pwl_grad(x, xk, yk, g)
    _, vjp = jax.vjp(lambda q: jnp.interp(q, xk, yk), x)
    (want,) = vjp(g)
    np.testing.assert_allclose(got, want, rtol=rtol(dtype) * 10, atol=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_on_knots_outside_and_for_nan(dtype):
    xk = np.array([0, 1, 3, 4], dtype)
    yk = np.array([0, 2, 3, -1], dtype)
    x = np.array([0, 4, -1, 9, 1, 3, np.nan, 2], dtype)
    g = np.array([1, 1, 1, 1, 2, 1, 3, 1], dtype)
    got = pwl_grad(x, xk, yk, g)
    guard = dtype(1e-12)
    s = [(yk[j + 1] - yk[j]) / ((xk[j + 1] - xk[j]) + guard) for j in range(3)]
    # Zero at and beyond the end knots; an interior knot takes the slope of the segment to its
    # right; NaN takes the first slope.
    want = np.array([0, 0, 0, 0, s[1] * 2, s[2], s[0] * 3, s[1]], dtype)
    np.testing.assert_array_equal(got, want)
    # Knot values beyond the first K are not read.
    np.testing.assert_array_equal(pwl_grad(x, xk, np.append(yk, 99).astype(dtype), g), want)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_queries_succeed(dtype):
    xk = np.array([0, 1], dtype)
    e = np.zeros((0, 3), dtype)
    assert call("pwl_fwd", shape((0, 3), dtype), e, xk, xk, has_side_effect=True).shape == (0, 3)
    assert call("pwl_vjp", shape((0, 3), dtype), e, xk, xk, e, has_side_effect=True).shape == (0, 3)


def bisect_as_stated(knots, c):
    lo, hi = 0, len(knots) - 1
    while hi - lo >= 2:
        mid = (lo + hi) // 2
        if c >= knots[mid]:
            lo = mid
        else:
            hi = mid
    return lo


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [3, 6, 33])
def test_unordered_knots_follow_the_bisection_rule(dtype, k):
    # Nothing requires ascending knots; any sequence is searched by the same halving steps.
    rng = np.random.default_rng(k)
    xk = rng.normal(size=k).astype(dtype)
    xk[0], xk[-1] = -3, 3  # keep queries spread over the searched range
    yk = rng.normal(size=k).astype(dtype)
    x = np.append(rng.uniform(-3.5, 3.5, 45), [np.nan, xk[1], xk[k // 2]]).astype(dtype)
    g = np.ones_like(x)
    guard = dtype(1e-12)
    want_y, want_dx = [], []
    for v in x:
        c = min(max(v, xk[0]), xk[-1]) if not np.isnan(v) else xk[0]
        i = bisect_as_stated(xk, c)
        want_y.append((yk[i + 1] - yk[i]) * ((c - xk[i]) / ((xk[i + 1] - xk[i]) + guard)) + yk[i])
        inside = not (v <= xk[0] or v >= xk[-1])
        j = bisect_as_stated(xk, v)
        want_dx.append((yk[j + 1] - yk[j]) / ((xk[j + 1] - xk[j]) + guard) if inside else 0)
    np.testing.assert_array_equal(pwl(x, xk, yk), np.array(want_y, dtype))
    np.testing.assert_array_equal(pwl_grad(x, xk, yk, g), np.array(want_dx, dtype))
