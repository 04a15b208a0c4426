"""Bilinear and trilinear interpolation on batched regular grids: values against SciPy's
RegularGridInterpolator inside the grids, the clamps and NaN rule bit for bit in the element type,
gradients against jax.vjp of a jax.numpy patch with the located cells held constant, and the
shape checks of both kernels."""
import functools
import operator

import jax.numpy as jnp
import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

from mirelon_jax import (arrays_with_one_and_four_workers, call, call_handler, check_rejected, shape,
                         vjp64)

DTYPES = [np.float32, np.float64]
DIMS = [2, 3]
TARGET = {2: "field_interp", 3: "field3_interp"}


def forward(f, p, origin, spacing):
    """f [B_F, grid...] and p [B_P, M, dim]; returns [B, M]."""
    b, m = max(len(f), len(p)), p.shape[1]
    return call(TARGET[p.shape[-1]] + "_fwd", shape((b, m), f.dtype), f, p, origin, spacing)


def gradient(f, p, origin, spacing, g):
    outs = [shape(f.shape, f.dtype), shape(p.shape, f.dtype)]
    return call(TARGET[p.shape[-1]] + "_vjp", outs, f, p, origin, spacing, g)


def locate(p, origin, spacing, n):
    """Cell and fraction on one axis of n nodes, in p's element type, by the kernels' rule: the
    offset held to [0, n - 1] (NaN to 0), the cell to n - 2."""
    dt = p.dtype.type
    with np.errstate(all="ignore"):
        u = (p - dt(origin)) / dt(spacing)
    s = np.minimum(np.where(u > 0, u, dt(0)), dt(n - 1))
    cell = np.minimum(np.floor(s), n - 2).astype(np.int64)
    return cell, s - cell.astype(dt)


def cells(f, p, origin, spacing):
    """Per axis (x first): cells and fractions of every point, broadcast to [B, M]."""
    dim = p.shape[-1]
    b = max(len(f), len(p))
    extents = f.shape[:0:-1]  # x along the last extent
    located = [locate(p[..., d], origin[d], spacing[d], extents[d]) for d in range(dim)]
    return [(np.broadcast_to(c, (b, p.shape[1])), np.broadcast_to(fr, (b, p.shape[1])))
            for c, fr in located]


def corner_terms(f, located, one):
    """(corner value, weights per axis) of each corner in the kernels' order: the x offset
    changes fastest. `f` is indexed [batch, z, y, x] or [batch, y, x]."""
    dim = len(located)
    b = np.arange(located[0][0].shape[0])[:, None]
    for n in range(2 ** dim):
        offsets = [(n >> (dim - 1 - a)) & 1 for a in range(dim)]  # outermost axis first
        index = [b] + [located[dim - 1 - a][0] + offsets[a] for a in range(dim)]
        weights = [located[dim - 1 - a][1] if offsets[a] else one - located[dim - 1 - a][1]
                   for a in range(dim)]
        yield f[tuple(index)], weights


def exact_values(f, p, origin, spacing):
    """The forward in the element type with the kernels' groupings: (corner * wy) * wx summed
    left to right in 2-D; ((wz * wy) * wx) * corner added to +0 in 3-D."""
    dt = f.dtype.type
    f = np.broadcast_to(f, (max(len(f), len(p)),) + f.shape[1:])
    terms = corner_terms(f, cells(f, p, origin, spacing), dt(1))
    if p.shape[-1] == 2:
        values = [(corner * wy) * wx for corner, (wy, wx) in terms]
        return ((values[0] + values[1]) + values[2]) + values[3]
    total = dt(0)
    for corner, (wz, wy, wx) in terms:
        total = total + ((wz * wy) * wx) * corner
    return total


def random_case(rng, dtype, dim, bf, bp, m, margin=0.0):
    grid = (4, 5, 6)[3 - dim:]
    f = rng.normal(size=(bf,) + grid).astype(dtype)
    origin = np.array([-1.0, 2.0, 0.5][:dim], dtype)
    spacing = np.array([0.5, 1.25, 2.0][:dim], dtype)
    upper = origin + spacing * (np.array(grid[::-1]) - 1)
    span = upper - origin
    p = rng.uniform(origin - margin * span, upper + margin * span, (bp, m, dim)).astype(dtype)
    return f, p, origin, spacing


BATCHES = [(1, 1, 40), (3, 3, 25), (1, 4, 20), (3, 1, 20)]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("dim", DIMS)
@pytest.mark.parametrize("bf,bp,m", BATCHES)
def test_values_inside_the_grid_match_scipy(dtype, dim, bf, bp, m):
    rng = np.random.default_rng(dim * 100 + bf * 10 + bp)
    f, p, origin, spacing = random_case(rng, dtype, dim, bf, bp, m)
    got = forward(f, p, origin, spacing)
    b = max(bf, bp)
    assert got.shape == (b, m) and got.dtype == dtype
    tol = dict(rtol=1e-5, atol=1e-5) if dtype == np.float32 else dict(rtol=1e-12, atol=1e-12)
    extents = f.shape[1:]
    nodes = [origin[dim - 1 - a].astype(np.float64)
             + spacing[dim - 1 - a].astype(np.float64) * np.arange(extents[a])
             for a in range(dim)]
    for k in range(b):
        interp = RegularGridInterpolator(nodes, f[k % bf].astype(np.float64))
        want = interp(p[k % bp, :, ::-1].astype(np.float64))  # SciPy takes the outer axis first
        np.testing.assert_allclose(got[k], want, **tol)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("dim", DIMS)
def test_clamps_nan_and_groupings_hold_bit_for_bit(dtype, dim):
    rng = np.random.default_rng(7 + dim)
    f, p, origin, spacing = random_case(rng, dtype, dim, 2, 2, 300, margin=0.3)
    flat = p.reshape(-1, dim)
    edges = origin + spacing * (np.array(f.shape[:0:-1]) - 1)
    flat[:6] = np.array([np.nan, np.inf, -np.inf, -0.0, 1e30, -1e30])[:, None]
    flat[6:8] = [origin, edges]  # both ends of every axis
    flat[8:14, 0] = [np.nan, np.inf, -np.inf, -0.0, 1e30, -1e30]
    np.testing.assert_array_equal(forward(f, p, origin, spacing),
                                  exact_values(f, p, origin, spacing))
    # Zero spacing: points beyond the origin go to the upper edge, the origin itself and points
    # before it to the lower edge.
    zero = spacing.copy()
    zero[0] = 0
    p[0, :3, 0] = origin[0] + np.array([1, 0, -1], dtype)
    got = forward(f, p, origin, zero)
    np.testing.assert_array_equal(got, exact_values(f, p, origin, zero))


@pytest.mark.parametrize("dtype", DTYPES)
def test_worked_values_in_2d(dtype):
    f = np.arange(12, dtype=dtype).reshape(1, 3, 4)
    p = np.array([[[3, 2], [1.5, 0.5], [-5, 1], [10, 10], [np.nan, 1]]], dtype)
    got = forward(f, p, np.zeros(2, dtype), np.ones(2, dtype))
    g = f[0]
    np.testing.assert_array_equal(got[0], [g[2, 3], g[:2, 1:3].mean(), g[1, 0], g[2, 3], g[1, 0]])
    # Left of the grid the point keeps the slope of its boundary cell: one per unit of x here.
    _, dp = gradient(f, p, np.zeros(2, dtype), np.full(2, 0.5, dtype), np.ones((1, 5), dtype))
    assert dp[0, 2, 0] == 2


@pytest.mark.parametrize("dtype", DTYPES)
def test_worked_values_in_3d(dtype):
    f = np.arange(24, dtype=dtype).reshape(1, 2, 3, 4)
    p = np.array([[[3, 2, 1], [0.5, 0.5, 0.5], [1, 0, 0]]], dtype)
    got = forward(f, p, np.zeros(3, dtype), np.ones(3, dtype))
    np.testing.assert_array_equal(got[0], [f[0, 1, 2, 3], f[0, :2, :2, :2].mean(), f[0, 0, 0, 1]])
    # Eight terms of -0 sum to +0.
    zero = forward(np.full((1, 2, 2, 2), -0.0, dtype), p[:, :1], np.zeros(3, dtype),
                   np.ones(3, dtype))
    assert zero[0, 0] == 0 and not np.signbit(zero[0, 0])


def reference_gradient(f, p, origin, spacing, g):
    """jax.vjp of the interpolation patch with the located cells and fractions held constant: the
    fractions move with a zero offset z at 1 / spacing, so dz is the point gradient (also where a
    point was clamped or is NaN)."""
    dim = p.shape[-1]
    b = max(len(f), len(p))
    located = cells(f, p, origin, spacing)
    spacing = spacing.astype(np.float64)

    def patch(fv, z):
        fv = jnp.broadcast_to(fv, (b,) + fv.shape[1:])
        z = jnp.broadcast_to(z, (b,) + z.shape[1:])
        moved = [(c, fr.astype(np.float64) + z[..., d] / spacing[d])
                 for d, (c, fr) in enumerate(located)]
        return sum(corner * functools.reduce(operator.mul, weights)
                   for corner, weights in corner_terms(fv, moved, 1.0))

    z = np.zeros(p.shape, np.float64)
    return vjp64(patch, (f, z), g)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("dim", DIMS)
@pytest.mark.parametrize("bf,bp,m", BATCHES)
def test_gradient_matches_jax_vjp(dtype, dim, bf, bp, m):
    rng = np.random.default_rng(dim * 7 + bf * 3 + bp)
    f, p, origin, spacing = random_case(rng, dtype, dim, bf, bp, m, margin=0.2)
    p.reshape(-1, dim)[0] = np.nan  # the lower edge, with that cell's slope
    g = rng.normal(size=(max(bf, bp), m)).astype(dtype)
    got = gradient(f, p, origin, spacing, g)
    want = reference_gradient(f, p, origin, spacing, g)
    tol = dict(rtol=1e-4, atol=1e-4) if dtype == np.float32 else dict(rtol=1e-12, atol=1e-12)
    for a, e in zip(got, want):
        np.testing.assert_allclose(a, e, **tol)


def test_gradient_with_no_batches_zero_fills_both_outputs():
    f = np.ones((1, 3, 4))
    p = np.ones((0, 5, 2))
    df, dp = np.full(f.shape, 7.0), np.full((1,), 7.0)
    assert call_handler("field_interp_vjp", [f, p, np.zeros(2), np.ones(2), np.zeros(0)],
                        [df, dp]) is None
    np.testing.assert_array_equal(df, 0)
    np.testing.assert_array_equal(dp, 0)


DEFAULTS = {
    2: dict(f=(3, 4), p=(5, 2), origin=(2,), spacing=(2,), out=(5,), g=(5,), df=(3, 4),
            dp=(5, 2)),
    3: dict(f=(2, 3, 4), p=(5, 3), origin=(3,), spacing=(3,), out=(5,), g=(5,), df=(2, 3, 4),
            dp=(5, 3)),
}


AT_LEAST = "length mismatch: expected at least {} elements, got {}"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,shapes,text", [
    ("field_interp_fwd", dict(f=(1, 5)), "field must be at least 2x2, got 1x5"),
    ("field_interp_fwd", dict(p=(2, 0, 2)), "inner block size must be positive"),
    ("field_interp_fwd", dict(f=(2, 3, 4), p=(3, 5, 2)), "incompatible batch counts: 2 vs 3"),
    ("field_interp_fwd", dict(out=(6,)), "output length mismatch"),
    ("field_interp_fwd", dict(origin=(1,)), "origin " + AT_LEAST.format(2, 1)),
    ("field_interp_fwd", dict(spacing=(1,)), "spacing " + AT_LEAST.format(2, 1)),
    # An extent of 1 would wrap the last cell index: the gradients check it like the forwards.
    ("field_interp_vjp", dict(f=(1, 5), df=(1, 5)), "field must be at least 2x2, got 1x5"),
    ("field_interp_vjp", dict(g=(4,)), "cotangent length mismatch"),
    ("field_interp_vjp", dict(df=(11,)), "field gradient " + AT_LEAST.format(12, 11)),
    ("field_interp_vjp", dict(dp=(9,)), "point gradient " + AT_LEAST.format(10, 9)),
    ("field3_interp_fwd", dict(f=(4, 5)), "field3 values buffer must be at least rank 3"),
    ("field3_interp_fwd", dict(f=(3, 2, 1)), "field3 must be at least 2x2x2, got 3x2x1"),
    ("field3_interp_fwd", dict(out=(4,)), "output length mismatch"),
    ("field3_interp_fwd", dict(origin=(2,)), "origin " + AT_LEAST.format(3, 2)),
    ("field3_interp_vjp", dict(f=(1, 4, 5), df=(1, 4, 5)),
     "field3 must be at least 2x2x2, got 1x4x5"),
    ("field3_interp_vjp", dict(g=(6,)), "cotangent length mismatch"),
    ("field3_interp_vjp", dict(df=(23,)), "field gradient " + AT_LEAST.format(24, 23)),
    ("field3_interp_vjp", dict(dp=(14,)), "point gradient " + AT_LEAST.format(15, 14)),
])
def test_bad_shapes_are_rejected_before_any_output_is_written(dtype, target, shapes, text):
    shapes = {**DEFAULTS[3 if target.startswith("field3") else 2], **shapes}
    inputs = [np.ones(shapes[k], dtype) for k in ("f", "p", "origin", "spacing")]
    if target.endswith("_fwd"):
        outputs = [shapes["out"]]
    else:
        inputs.append(np.ones(shapes["g"], dtype))
        outputs = [shapes["df"], shapes["dp"]]
    check_rejected(target, inputs, outputs, text, through_jax=False)


CHILD = """
rng = np.random.default_rng(3)
for dt in (np.float32, np.float64):
    f = rng.normal(size=(2, 40, 50)).astype(dt)
    p = rng.uniform(-5, 55, (2, 30000, 2)).astype(dt)
    out.append(call("field_interp_fwd", shape((2, 30000), dt), f, p, np.zeros(2, dt),
                    np.ones(2, dt)))
    f = rng.normal(size=(1, 9, 10, 11)).astype(dt)
    p = rng.uniform(-1, 12, (3, 20000, 3)).astype(dt)
    out.append(call("field3_interp_fwd", shape((3, 20000), dt), f, p, np.zeros(3, dt),
                    np.ones(3, dt)))
    v = rng.uniform(0, 1, (60, 2)).astype(dt)
    t = rng.integers(0, 60, (80, 3)).astype(dt)
    q = rng.uniform(-0.2, 1.2, (3000, 2)).astype(dt)
    out += call("mesh_interp_fwd", [shape((3000,), dt)] * 2 + [shape((3, 3000), dt)], v, t,
                rng.normal(size=60).astype(dt), q)
"""


def test_forward_results_do_not_depend_on_the_worker_count():
    one, four = arrays_with_one_and_four_workers(CHILD)
    assert len(one) == 12 * (60000 + 60000 + 5 * 3000) and one == four
