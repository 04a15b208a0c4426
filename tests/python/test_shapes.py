"""Signed distances to rotated ellipses and to intersections of half-spaces, and the Monte-Carlo
volume of a polytope: forward values against independent oracles (dense sampling of the ellipse,
exact box distances, scipy's logsumexp, known volumes), gradients against jax.vjp of jax.numpy
references with the nearest point or active constraint held constant, and the operand checks."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.special import logsumexp

from mirelon_jax import (arrays_with_one_and_four_workers, call, call_handler, check_rejected, shape,
                         vjp64)

DTYPES = [np.float32, np.float64]


def cast(dtype, *arrays):
    return [np.asarray(a, dtype) for a in arrays]


# ---- ellipse -------------------------------------------------------------------------------------

def ellipse_frame(points, centre, angle):
    d = np.asarray(points, np.float64) - np.asarray(centre, np.float64)
    c, s = np.cos(np.float64(angle)), np.sin(np.float64(angle))
    return c * d[..., 0] + s * d[..., 1], c * d[..., 1] - s * d[..., 0]


def ellipse_oracle(u, v, a, b, samples=4096):
    """Nearest angle phi and signed distance: the best of `samples` points of the curve, refined
    by bisection on the sign of the derivative of the squared distance."""
    u, v = np.asarray(u, np.float64)[:, None], np.asarray(v, np.float64)[:, None]
    h = 2 * np.pi / samples
    phi = np.arange(samples) * h
    best = np.argmin((u - a * np.cos(phi)) ** 2 + (v - b * np.sin(phi)) ** 2, axis=1)[:, None]
    lo, hi = best * h - h, best * h + h

    def slope(t):  # minus half the derivative of the squared distance
        return (a * a - b * b) * np.sin(t) * np.cos(t) - u * a * np.sin(t) + v * b * np.cos(t)

    for _ in range(80):
        mid = 0.5 * (lo + hi)
        rising = slope(mid) < 0  # the squared distance grows past the nearest point
        lo, hi = np.where(rising, lo, mid), np.where(rising, mid, hi)
    phi = (0.5 * (lo + hi))[:, 0]
    u, v = u[:, 0], v[:, 0]
    dist = np.hypot(u - a * np.cos(phi), v - b * np.sin(phi))
    return phi, np.where((u / a) ** 2 + (v / b) ** 2 <= 1, -dist, dist)


def ellipse_case(dtype, axes, batch=3, m=300, seed=0):
    """Points inside and outside, the centre and points near both axes; one centre for every
    batch, an angle and semi-axes per batch."""
    rng = np.random.default_rng(seed)
    centre = np.array([[0.5, -1.0]])
    angles = rng.uniform(-np.pi, np.pi, batch)
    ab = np.tile(axes, (batch, 1)) * rng.uniform(0.8, 1.2, (batch, 1))
    local = rng.uniform(-1.6, 1.6, (batch, m, 2)) * np.max(np.abs(axes))
    local[:, :3] = [[0, 0], [0.3 * axes[0], 1e-9], [1e-9, -0.2 * axes[1]]]
    c, s = np.cos(angles)[:, None], np.sin(angles)[:, None]
    points = np.stack([c * local[..., 0] - s * local[..., 1],
                       s * local[..., 0] + c * local[..., 1]], -1) + centre
    return cast(dtype, points, centre, ab, angles)


def ellipse_reference(points, centre, ab, angles):
    out = []
    for k in range(len(angles)):
        u, v = ellipse_frame(points[k], centre[0], angles[k])
        out.append(ellipse_oracle(u, v, *np.asarray(ab[k], np.float64)))
    return np.stack([o[0] for o in out]), np.stack([o[1] for o in out])


def ellipse_fwd(points, centre, ab, angles):
    n = points.size // 2
    return call("ellipse_sd_fwd", shape((n,), points.dtype), points, centre, ab, angles)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("axes", [(2.0, 0.7), (0.7, 2.0), (3.0, 0.05), (1.0, 1.0), (-1.5, 0.5)])
def test_ellipse_distance_is_the_true_distance_inside_and_outside(dtype, axes):
    points, centre, ab, angles = ellipse_case(dtype, axes)
    got = ellipse_fwd(points, centre, ab, angles).reshape(len(angles), -1)
    _, want = ellipse_reference(points, centre, ab, angles)
    if dtype == np.float64:
        np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-14)
    else:  # evaluated in 64-bit on the widened inputs, rounded once
        np.testing.assert_allclose(got, want, rtol=2.0 ** -23, atol=1e-30)
    # The centre is at the shorter semi-axis.
    np.testing.assert_allclose(got[:, 0], -np.min(np.abs(ab), 1), rtol=1e-7)


@pytest.mark.parametrize("dtype", DTYPES)
def test_ellipse_worked_values(dtype):
    def sd(p, centre=(0, 0), ab=(2, 0.7), angle=0.0):
        return ellipse_fwd(*cast(dtype, [p], centre, ab, [angle]))

    assert sd([0.5, 0.1])[0] == pytest.approx(-0.575135736, rel=1e-6)
    assert sd([2, 0])[0] <= 0 and sd([4, 0])[0] == 2  # on the curve counts as inside; (2a, 0)
    # A circle: |p - c| - r.
    np.testing.assert_allclose(sd([[4, 5], [1, 1], [1, 2.5]], (1, 1), (2, 2)), [3, -2, -0.5],
                               rtol=1e-7)
    # Rotated by a quarter turn, the first axis lies along y.
    assert abs(sd([1, 3], (1, 1), (2, 0.7), np.pi / 2)[0]) < 1e-6
    assert np.isnan(sd([[np.nan, 0], [0, 0]], ab=(np.nan, 1))).all()
    assert sd([np.inf, 1], angle=0.3)[0] == np.inf
    if dtype == np.float64:  # finite distances past products beyond the 64-bit range
        assert sd([1e150, 1], ab=(1, 1e-5))[0] == pytest.approx(1e150, rel=1e-12)
        assert sd([1e109, 0], ab=(1e110, 1e100))[0] == pytest.approx(-0.99**0.5 * 1e100,
                                                                     rel=1e-12)


def ellipse_vjp(points, centre, ab, angles, g):
    outs = [shape(x.shape, x.dtype) for x in (points, centre, ab, angles)]
    return call("ellipse_sd_vjp", outs, points, centre, ab, angles, g)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("axes", [(2.0, 0.7), (0.6, 1.8)])
def test_ellipse_gradient_matches_jax_with_the_nearest_point_held(dtype, axes):
    points, centre, ab, angles = ellipse_case(dtype, axes, m=60, seed=1)
    points = points[:, 3:]  # the centre has no unique nearest point
    phi, sd = ellipse_reference(points, centre, ab, angles)
    cphi, sphi, sign = jnp.cos(phi), jnp.sin(phi), np.sign(sd)

    def f(p, c, ab_, t):
        d = p - c[:, None, :]
        ct, st = jnp.cos(t)[:, None], jnp.sin(t)[:, None]
        u, v = ct * d[..., 0] + st * d[..., 1], ct * d[..., 1] - st * d[..., 0]
        return sign * jnp.hypot(u - ab_[:, :1] * cphi, v - ab_[:, 1:] * sphi)

    g = np.random.default_rng(2).normal(size=sd.shape).astype(dtype)
    want = vjp64(f, (points, centre, ab, angles), g)
    got = ellipse_vjp(points, centre, ab, angles, g)
    tol = dict(rtol=1e-9, atol=1e-9) if dtype == np.float64 else dict(rtol=1e-4, atol=1e-4)
    for x, y in zip(got, want):
        np.testing.assert_allclose(x, np.asarray(y).reshape(x.shape), **tol)


# ---- half-space signed distance ------------------------------------------------------------------

def halfspace_fwd(points, normals, offsets, tau, n):
    return call("halfspace_sd_fwd", shape((n,), points.dtype), points, normals, offsets, tau)


def constraint_values(points, normals, offsets):
    """s[b, m, k] in 64-bit, every sum in component order as the kernel forms it."""
    p, n, o = (np.asarray(x, np.float64) for x in (points, normals, offsets))
    n, o = n[:, None], o[:, None]
    dot, sq = 0.0, 0.0
    for i in range(p.shape[-1]):
        dot = dot + p[..., None, i] * n[..., i]
        sq = sq + n[..., i] * n[..., i]
    return (dot - o) / np.maximum(np.sqrt(sq), 1e-12)


def halfspace_case(dtype, batch=3, m=400, d=3, k=7, seed=0):
    rng = np.random.default_rng(seed)
    points = rng.normal(size=(batch, m, d))
    normals = rng.normal(size=(1, k, d))  # one region for every batch of points
    offsets = rng.uniform(0.5, 2, (batch, k))
    tau = np.array([0.0, 0.3, -1.0][:batch])
    return cast(dtype, points, normals, offsets, tau)


@pytest.mark.parametrize("dtype", DTYPES)
def test_halfspace_distance_is_the_hard_or_soft_maximum(dtype):
    points, normals, offsets, tau = halfspace_case(dtype)
    got = halfspace_fwd(points, normals, offsets, tau, points.size // 3).reshape(3, -1)
    s = constraint_values(points, normals, offsets)
    # The hard maximum is the same arithmetic in 64-bit: equal bits after the one rounding.
    np.testing.assert_array_equal(got[[0, 2]], s[[0, 2]].max(-1).astype(dtype))
    tol = dict(rtol=1e-13, atol=1e-14) if dtype == np.float64 else dict(rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(got[1], 0.3 * logsumexp(s[1] / 0.3, axis=-1), **tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_halfspace_distance_to_a_box_is_exact_inside_and_beside_its_faces(dtype):
    lo, hi = np.array([-1.0, 0.0, 2.0]), np.array([2.0, 0.5, 4.0])
    normals = np.concatenate([np.eye(3), -np.eye(3)])
    offsets = np.concatenate([hi, -lo])
    rng = np.random.default_rng(1)
    inside = rng.uniform(lo, hi, (200, 3))
    beside = rng.uniform(lo, hi, (200, 3))  # one coordinate moved out past a face
    i, axis, delta = np.arange(200), np.arange(200) % 3, rng.uniform(0.1, 3, 200)
    beside[i, axis] = np.where(i // 3 % 2, hi[axis] + delta, lo[axis] - delta)
    points, normals, offsets = cast(dtype, np.concatenate([inside, beside]), normals, offsets)
    p = points.astype(np.float64)
    want = np.concatenate([-np.minimum(p[:200] - lo, hi - p[:200]).min(1),
                           np.maximum(p[200:] - hi, lo - p[200:]).max(1)])
    got = halfspace_fwd(points, normals, offsets, np.zeros(1, dtype), 400)
    np.testing.assert_array_equal(got, want.astype(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_halfspace_worked_values(dtype):
    one = lambda *a, n=1: halfspace_fwd(*cast(dtype, *a), n=n)  # noqa: E731
    assert np.isnan(one([1.0, 2.0], [[1.0, 0.0]], [0.5], [np.nan]))[0]  # NaN takes the soft path
    # A zero normal has length 1e-12; rank-1 points are one point of dimension 2.
    assert one([1.0, 2.0], [[0.0, 0.0]], [2e-12], [0.0])[0] == pytest.approx(-2, rel=1e-6)
    # Normals of rank 1 hold one constraint per batch: here two batches of one point.
    np.testing.assert_array_equal(one([[3.0, 1.0]], [3.0, 4.0, 0.0, 1.0], [3.0, 0.0], [0.0], n=2),
                                  [2.0, 1.0])


def halfspace_vjp(points, normals, offsets, tau, g):
    outs = [shape(x.shape, x.dtype) for x in (points, normals, offsets)]
    return call("halfspace_sd_vjp", outs, points, normals, offsets, tau, g)


@pytest.mark.parametrize("dtype", DTYPES)
def test_halfspace_gradient_matches_jax(dtype):
    points, normals, offsets, tau = halfspace_case(dtype, m=50, seed=3)
    t = jnp.asarray(tau, jnp.float64)[:, None]

    def f(p, n, o):
        s = (jnp.einsum("bmd,bkd->bmk", p, jnp.broadcast_to(n, (3,) + n.shape[1:])) - o[:, None]) \
            / jnp.linalg.norm(n, axis=-1)[:, None]
        soft = t * jax.nn.logsumexp(s / jnp.where(t > 0, t, 1.0)[..., None], axis=-1)
        return jnp.where(t > 0, soft, jnp.max(s, axis=-1))

    g = np.random.default_rng(4).normal(size=(3, 50)).astype(dtype)
    want = vjp64(f, (points, normals, offsets), g)
    tol = dict(rtol=1e-11, atol=1e-12) if dtype == np.float64 else dict(rtol=1e-4, atol=1e-4)
    for x, y in zip(halfspace_vjp(points, normals, offsets, tau, g), want):
        np.testing.assert_allclose(x, np.asarray(y), **tol)
    # Tied maxima: the whole gradient goes to the lower index.
    gp, gn, go = halfspace_vjp(*cast(dtype, [[1.0, 1.0]], [[1.0, 0.0], [0.0, 1.0]], [0, 0], [0],
                                     [1.0]))
    np.testing.assert_array_equal(go, [-1, 0])


@pytest.mark.parametrize("dtype", DTYPES)
def test_halfspace_hard_gradient_is_the_plain_sum_in_point_order(dtype):
    # Enough points for several chunks of the gradient kernel; one region for both batches.
    points, normals, offsets, _ = halfspace_case(dtype, batch=2, m=20000, seed=5)
    g = np.random.default_rng(6).normal(size=(2, 20000)).astype(dtype)
    got = halfspace_vjp(points, normals, offsets, np.zeros(1, dtype), g)
    s = constraint_values(points, normals, offsets)
    n, p = normals[0].astype(np.float64), points.astype(np.float64)
    length = np.sqrt(sum(n[:, i] * n[:, i] for i in range(3)))
    want = [np.zeros(x.shape, dtype) for x in (points, normals, offsets)]
    for b in range(2):
        k = np.argmax(s[b], axis=1)
        sk, lk, gb = np.take_along_axis(s[b], k[:, None], 1), length[k][:, None], g[b][:, None]
        want[0][b] += (gb * n[k] / lk).astype(dtype)
        np.add.at(want[1][0], k, (((p[b] - n[k] * sk / lk) / lk) * gb).astype(dtype))
        np.subtract.at(want[2][b], k, (gb[:, 0] / lk[:, 0]).astype(dtype))
    for x, y in zip(got, want):
        np.testing.assert_array_equal(x, y)


_CHILD = """
rng = np.random.default_rng(6)
for dtype in (np.float32, np.float64):
    e = [np.asarray(x, dtype) for x in (rng.normal(size=(2, 30001, 2)), np.zeros(2), [2.0, 0.5],
                                        [0.3, 1.0])]
    out.append(call("ellipse_sd_fwd", shape((60002,), dtype), *e))
    p = rng.normal(size=(2, 30001, 3)).astype(dtype)
    n = rng.normal(size=(2, 16, 3)).astype(dtype)
    o = rng.uniform(size=(2, 16)).astype(dtype)
    for tau in ([0.0, 0.2], [0.05, -1.0]):
        t = np.array(tau, dtype)
        out.append(call("halfspace_sd_fwd", shape((60002,), dtype), p, n, o, t))
        g = rng.normal(size=60002).astype(dtype)
        out += call("halfspace_sd_vjp", [shape(x.shape, dtype) for x in (p, n, o)], p, n, o, t, g)
"""


def test_pool_loops_give_the_same_bits_for_any_worker_count(registered):
    one, four = arrays_with_one_and_four_workers(_CHILD)
    assert len(one) == 12 * (60002 + 2 * (60002 + 180006 + 96 + 32)) and one == four


# ---- Monte-Carlo volume --------------------------------------------------------------------------

def volume(samples, normals, r, offsets, out=1):
    return call("volume_mc", shape((out,), samples.dtype), samples, normals, r, offsets)


def cube_and_simplex():
    """Normals and offsets of [0, 1]^3 (volume 1) and of the corner simplex (volume 1/6)."""
    cube = (np.concatenate([np.eye(3), -np.eye(3)]), np.r_[np.ones(3), np.zeros(3)])
    simplex = (np.concatenate([-np.eye(3), [[2.0, 2.0, 2.0]]]), np.r_[np.zeros(3), 2.0])
    return [("cube", *cube, 1.0), ("simplex", *simplex, 1 / 6)]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name,normals,offsets,exact", cube_and_simplex())
def test_volume_of_known_polytopes_within_monte_carlo_error(dtype, name, normals, offsets, exact):
    n = 200_000
    samples = np.random.default_rng(7).uniform(-1, 1, (n, 3))
    r = 1.5
    got = volume(*cast(dtype, samples, normals, [r], offsets))[0]
    p = exact / (2 * r) ** 3
    assert abs(got - exact) < 5 * (2 * r) ** 3 * np.sqrt(p * (1 - p) / n)


@pytest.mark.parametrize("dtype", DTYPES)
def test_volume_worked_values(dtype):
    v = lambda s, a, r, b: volume(*cast(dtype, s, a, [r], b))  # noqa: E731
    assert v(np.zeros((4, 3)), np.zeros((0, 3)), 1.5, [])[0] == 27  # no constraint: the box
    assert v(np.zeros((4, 3)), np.zeros((0, 3)), 0.5, [])[0] == 1
    assert np.isnan(v(np.zeros((0, 3)), np.eye(3), 1.0, np.ones(3))[0])  # no sample
    # On the boundary a sample counts half; one with every value NaN counts as inside; only
    # element 0 of the output is written.
    out = np.full(3, 7.0, dtype)
    assert call_handler("volume_mc", cast(dtype, [[0.0, 0.5], [np.nan, 0.0]], [[1.0, 0.0]], [1.0],
                                          [0.0]), [out]) is None
    np.testing.assert_array_equal(out, [3, 7, 7])


def volume_vjp(samples, normals, r, offsets, g):
    return call("volume_mc_vjp", [shape(normals.shape, samples.dtype),
                                  shape(offsets.shape, samples.dtype)],
                samples, normals, r, offsets, g)


@pytest.mark.parametrize("dtype", DTYPES)
def test_volume_gradient_matches_jax_and_skips_constant_samples(dtype):
    rng = np.random.default_rng(8)
    samples = rng.uniform(-1, 1, (3000, 2))
    samples[:3] = [[np.nan, np.nan], [np.nan, 0.5], [0.5, np.nan]]  # every value NaN
    normals = rng.normal(size=(5, 2))
    offsets = rng.uniform(0.2, 0.8, 5)
    samples, normals, offsets, r, g = cast(dtype, samples, normals, offsets, [1.3], [0.7])

    def f(a, b):
        x = jnp.asarray(samples[3:], jnp.float64) * r[0]
        t = (x @ a.T - b) / jnp.linalg.norm(a, axis=1)
        sigma = 1 / (jnp.exp(jnp.max(t, axis=1) / 0.01) + 1)
        return jnp.sum(sigma) / len(samples) * (2 * r[0]) ** 2

    want = vjp64(f, (normals, offsets), g[0])
    got = volume_vjp(samples, normals, r, offsets, g)
    assert np.isfinite(got[0]).all() and np.isfinite(got[1]).all()
    tol = dict(rtol=1e-10, atol=1e-10) if dtype == np.float64 else dict(rtol=2e-3, atol=2e-3)
    for x, y in zip(got, want):
        np.testing.assert_allclose(x, np.asarray(y), **tol)


# ---- rejected operands ---------------------------------------------------------------------------

ODD3 = "buffer length 3 is not a multiple of inner size 2"
INNER = "inner block size must be positive"
BATCHES = "incompatible batch counts: 2 vs 3"


def fwd_and_vjp(fwd, ins, out, g, grads, text):
    """The forward on `ins` with output `out`, and its gradient on `ins` and `g` with `grads`."""
    vjp = fwd[:-4] + "_vjp" if fwd.endswith("_fwd") else fwd + "_vjp"
    return [(fwd, ins, [out], text), (vjp, ins + [g], grads, text)]


def at_least(what, want, got):
    return f"{what} length mismatch: expected at least {want} elements, got {got}"


P2, C, AB, A = (2, 2, 2), 2, 2, 1  # ellipse: 2 batches of 2 points
P3, N, O, T = (2, 4, 3), (2, 2, 3), 4, 1  # half-space: 2 batches of 4 points in 3-D, 2 constraints
S, NV, R, OV = (3, 2), (2, 2), 1, 2  # volume: 3 samples in 2-D, 2 constraints
REJECTIONS = [
    *fwd_and_vjp("ellipse_sd_fwd", [3, C, AB, A], 4, 4, [3, 2, 2, 1], ODD3),
    *fwd_and_vjp("ellipse_sd_fwd", [(2, 0, 2), C, AB, A], 4, 4, [0, 2, 2, 1], INNER),
    *fwd_and_vjp("ellipse_sd_fwd", [P2, 3, AB, A], 4, 4, [8, 3, 2, 1], ODD3),
    *fwd_and_vjp("ellipse_sd_fwd", [P2, C, 6, A], 4, 4, [8, 2, 6, 1], BATCHES),
    ("ellipse_sd_fwd", [P2, C, AB, A], [5], "output length mismatch"),
    ("ellipse_sd_vjp", [P2, C, AB, A, 3], [8, 2, 2, 1], "cotangent length mismatch"),
    ("ellipse_sd_vjp", [P2, C, AB, A, 4], [7, 2, 2, 1], "point gradient too short"),
    ("ellipse_sd_vjp", [P2, C, AB, A, 4], [8, 1, 2, 1], "centre gradient too short"),
    ("ellipse_sd_vjp", [P2, C, AB, A, 4], [8, 2, 1, 1], "semi-axis gradient too short"),
    ("ellipse_sd_vjp", [P2, C, AB, A, 4], [8, 2, 2, 0], "angle gradient too short"),
    *fwd_and_vjp("halfspace_sd_fwd", [(2, 0, 3), N, O, T], 8, 8, [0, 12, 4], INNER),
    *fwd_and_vjp("halfspace_sd_fwd", [P3, (5, 2, 1), O, T], 8, 8, [24, 10, 4],
                 "buffer length 10 is not a multiple of inner size 6"),
    *fwd_and_vjp("halfspace_sd_fwd", [P3, N, 3, T], 8, 8, [24, 12, 3], ODD3),
    *fwd_and_vjp("halfspace_sd_fwd", [P3, (3, 2, 3), O, T], 8, 8, [24, 18, 4], BATCHES),
    ("halfspace_sd_fwd", [P3, N, O, T], [9], "output length mismatch"),
    ("halfspace_sd_vjp", [P3, N, O, T, 7], [24, 12, 4], "cotangent length mismatch"),
    ("halfspace_sd_vjp", [P3, N, O, T, 8], [23, 12, 4], "point gradient too short"),
    ("halfspace_sd_vjp", [P3, N, O, T, 8], [24, 11, 4], "normal gradient too short"),
    ("halfspace_sd_vjp", [P3, N, O, T, 8], [24, 12, 3], "offset gradient too short"),
    *fwd_and_vjp("volume_mc", [(0, 3, 2), NV, R, OV], 1, 1, [4, 2], at_least("samples", 6, 0)),
    *fwd_and_vjp("volume_mc", [S, (0, 2, 2), R, OV], 1, 1, [4, 2], at_least("normals", 4, 0)),
    *fwd_and_vjp("volume_mc", [S, NV, 0, OV], 1, 1, [4, 2], at_least("half-width", 1, 0)),
    *fwd_and_vjp("volume_mc", [S, NV, R, 1], 1, 1, [4, 2], at_least("offsets", 2, 1)),
    ("volume_mc", [S, NV, R, OV], [0], at_least("output", 1, 0)),
    ("volume_mc_vjp", [S, NV, R, OV, 0], [4, 2], at_least("cotangent", 1, 0)),
    ("volume_mc_vjp", [S, NV, R, OV, 1], [3, 2], at_least("normal gradient", 4, 3)),
    ("volume_mc_vjp", [S, NV, R, OV, 1], [4, 1], at_least("offset gradient", 2, 1)),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,ins,outs,text", REJECTIONS)
def test_bad_operands_are_rejected_before_writing(dtype, target, ins, outs, text):
    check_rejected(target, ins, outs, text, dtype=dtype, through_jax=False)
