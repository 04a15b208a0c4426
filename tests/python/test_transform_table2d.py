"""Bilinear 2-D table: values against SciPy's RegularGridInterpolator inside the table, the
behaviour at the last knot, on interior knots, outside and for NaN, and gradients against jax.vjp
of a jax.numpy bilinear reference."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

from mirelon_jax import call, shape

DTYPES = [np.float32, np.float64]


def tol(dtype):
    return dict(rtol=2e-5, atol=2e-5) if dtype == np.float32 else dict(rtol=1e-10, atol=1e-10)


def table2d(x, y, xs, ys, table):
    return call("table2d_fwd", shape(x.shape, x.dtype), x, y, xs, ys, table)


def table2d_grad(x, y, xs, ys, table, g):
    outs = [shape(x.shape, x.dtype), shape(y.shape, x.dtype), shape(table.shape, x.dtype)]
    return call("table2d_vjp", outs, x, y, xs, ys, table, g)


def random_grid(rng, nx, ny, dtype):
    xs = (np.cumsum(rng.uniform(0.2, 1.0, nx)) - 1.0).astype(dtype)
    ys = (np.cumsum(rng.uniform(0.2, 1.0, ny)) + 3.0).astype(dtype)
    table = rng.normal(size=(ny, nx)).astype(dtype)
    return xs, ys, table


def bilinear_ref(x, y, xs, ys, table):
    """Bilinear interpolation inside the grid, cells located by searchsorted."""
    ix = jnp.clip(jnp.searchsorted(xs, x, side="right") - 1, 0, xs.shape[0] - 2)
    iy = jnp.clip(jnp.searchsorted(ys, y, side="right") - 1, 0, ys.shape[0] - 2)
    fx = (x - xs[ix]) / (xs[ix + 1] - xs[ix])
    fy = (y - ys[iy]) / (ys[iy + 1] - ys[iy])
    return ((1 - fy) * ((1 - fx) * table[iy, ix] + fx * table[iy, ix + 1])
            + fy * ((1 - fx) * table[iy + 1, ix] + fx * table[iy + 1, ix + 1]))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("nx, ny", [(2, 2), (5, 3), (2, 9), (17, 11)])
def test_values_inside_the_table_match_scipy(dtype, nx, ny):
    rng = np.random.default_rng(nx * 100 + ny)
    xs, ys, table = random_grid(rng, nx, ny, dtype)
    x = rng.uniform(xs[0], xs[-1], (3, 50)).astype(dtype)
    y = rng.uniform(ys[0], ys[-1], (3, 50)).astype(dtype)
    got = table2d(x, y, xs, ys, table)
    assert got.shape == x.shape and got.dtype == dtype
    interp = RegularGridInterpolator((ys.astype(np.float64), xs.astype(np.float64)),
                                     table.astype(np.float64))
    want = interp(np.stack([y.ravel(), x.ravel()], axis=-1).astype(np.float64)).reshape(x.shape)
    np.testing.assert_allclose(got, want, **tol(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_worked_values_last_knot_interior_knot_outside_and_nan(dtype):
    knots = np.array([0, 1], dtype)
    table = np.array([[0, 1], [2, 3]], dtype)
    x = np.array([0.5, 1, -4, np.nan, 7], dtype)
    y = np.array([0.5, 1, -4, np.nan, 0], dtype)
    got = table2d(x, y, knots, knots, table)
    np.testing.assert_allclose(got[0], 1.5, rtol=1e-6)
    # At the last knot the fraction stays just under 1 in 64-bit.
    np.testing.assert_allclose(got[1], 3 - 3e-12 if dtype == np.float64 else 3, rtol=1e-14, atol=0)
    if dtype == np.float64:
        assert got[1] < 3
    # Below the grid and NaN take the first cell with fraction 0.
    np.testing.assert_array_equal(got[[2, 3]], [0, 0])
    # The coordinate gradients keep the clamped cell's slope, outside the grid and for NaN.
    dx, dy, _ = table2d_grad(x, y, knots, knots, table, np.ones(5, dtype))
    np.testing.assert_allclose(dx[[2, 3]], [1, 1], rtol=1e-6)
    np.testing.assert_allclose(dy[[2, 3]], [2, 2], rtol=1e-6)
    np.testing.assert_allclose(dx[4], 1, rtol=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
def test_interior_knot_uses_the_cell_to_its_right(dtype):
    xs = np.array([0, 1, 2], dtype)
    ys = np.array([0, 1], dtype)
    table = np.array([[0, 1, 5], [0, 1, 5]], dtype)  # slope 1 left of x = 1, slope 4 right of it
    x, y = np.array([1], dtype), np.array([0.5], dtype)
    assert table2d(x, y, xs, ys, table)[0] == 1
    dx, dy, dtable = table2d_grad(x, y, xs, ys, table, np.array([1], dtype))
    np.testing.assert_allclose(dx, [4], rtol=1e-6)
    # fx = 0: the weights sit on the cell's left column only.
    np.testing.assert_allclose(dtable, [[0, 0.5, 0], [0, 0.5, 0]], rtol=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
def test_result_follows_the_grouped_sum_in_the_element_type(dtype):
    rng = np.random.default_rng(7)
    xs, ys, table = random_grid(rng, 6, 4, dtype)
    x = rng.uniform(xs[0] - 1, xs[-1] + 1, 200).astype(dtype)
    y = rng.uniform(ys[0] - 1, ys[-1] + 1, 200).astype(dtype)
    guard = dtype(1e-12)

    def locate(knots, v):
        c = np.minimum(np.maximum(v, knots[0]), knots[-1])
        i = np.clip(np.searchsorted(knots, c, side="right") - 1, 0, len(knots) - 2)
        return i, (c - knots[i]) / ((knots[i + 1] - knots[i]) + guard)

    ix, fx = locate(xs, x)
    iy, fy = locate(ys, y)
    one = dtype(1)
    d = (table[iy, ix] * (one - fy)) * (one - fx)
    c = ((one - fy) * table[iy, ix + 1]) * fx
    b = (table[iy + 1, ix] * fy) * (one - fx)
    a = (table[iy + 1, ix + 1] * fy) * fx
    np.testing.assert_array_equal(table2d(x, y, xs, ys, table), ((d + c) + b) + a)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("nx, ny", [(2, 2), (6, 4), (13, 9)])
def test_gradients_match_jax_vjp(dtype, nx, ny):
    rng = np.random.default_rng(nx + 10 * ny)
    xs, ys, table = random_grid(rng, nx, ny, dtype)
    n = 300  # many queries per cell, so shared table cells accumulate
    x = rng.uniform(xs[0], xs[-1], n).astype(dtype)
    y = rng.uniform(ys[0], ys[-1], n).astype(dtype)
    g = rng.normal(size=n).astype(dtype)
    dx, dy, dtable = table2d_grad(x, y, xs, ys, table, g)
    _, vjp = jax.vjp(lambda a, b, t: bilinear_ref(a, b, xs, ys, t), x, y, table)
    want = vjp(g)
    loose = dict(rtol=1e-4, atol=1e-4) if dtype == np.float32 else dict(rtol=1e-9, atol=1e-9)
    for got, ref in zip([dx, dy, dtable], want):
        np.testing.assert_allclose(got, ref, **loose)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_queries_skip_the_knots_and_zero_the_table_gradient(dtype):
    e = np.zeros(0, dtype)
    one = np.ones(1, dtype)
    out = call("table2d_fwd", shape((0,), dtype), e, e, one, one, one, has_side_effect=True)
    assert out.shape == (0,)
    outs = [shape((0,), dtype), shape((0,), dtype), shape((2, 3), dtype)]
    dx, dy, dtable = call("table2d_vjp", outs, e, e, np.zeros(3, dtype), np.zeros(2, dtype),
                          np.ones((2, 3), dtype), e, has_side_effect=True)
    np.testing.assert_array_equal(dtable, np.zeros((2, 3)))
