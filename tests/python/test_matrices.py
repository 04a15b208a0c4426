"""Distance matrices from points to segments (2-D, one list shared by every batch) and to rays
(any dimension): forwards against NumPy brute force, gradients against jax.vjp of jax.numpy
references with the position of the closest point held constant."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import (call, call_handler, outputs_with_one_and_four_workers,
                         segment_ratios_and_squares, shape)

DTYPES = [np.float32, np.float64]
NAN = np.nan


def points_of(p, d=2):
    n = p.shape[-2] if p.ndim >= 2 else 1
    return p.reshape(-1, n, d)


def grads(target, inputs, dtype):
    outs = call(target, [shape(x.shape, dtype) for x in inputs[:-1]], *inputs)
    return [o.ravel() for o in outs]


def pull_back(f, arrays, g):
    """Cotangents of f(*arrays) pulled back from g by jax.vjp, in 64-bit."""
    _, pull = jax.vjp(f, *[jnp.asarray(a, jnp.float64) for a in arrays])
    return [np.asarray(x).ravel() for x in pull(jnp.asarray(g, jnp.float64))]


def assert_close(got, want, dtype):
    tol = 2e-5 if dtype == np.float32 else 1e-11
    for a, b in zip(got, want):
        np.testing.assert_allclose(a, b, rtol=tol, atol=tol)


# ---- segments -----------------------------------------------------------------------------------

def segment_cases(dtype, p_shape, s_shape, seed):
    rng = np.random.default_rng(seed)
    p = rng.uniform(-2, 12, p_shape).astype(dtype)
    s = rng.uniform(0, 10, s_shape).astype(dtype)
    flat = s.reshape(-1, 4)
    flat[0, 2:] = flat[0, :2]  # a degenerate segment: the distance to its first end point
    p.reshape(-1, 2)[0] = (flat[1, :2] + flat[1, 2:]) / 2  # a point on a segment
    return p, s


SEGMENT_SHAPES = [((3, 17, 2), (5, 4)), ((40, 2), (2, 3, 4)), ((6,), (7, 4))]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shape,s_shape", SEGMENT_SHAPES)
def test_segment_distances_match_brute_force_exactly(dtype, p_shape, s_shape):
    p, s = segment_cases(dtype, p_shape, s_shape, 1)
    ns = s.size // 4
    got = call("segments_matrix_fwd", shape((p.size // 2 * ns,), dtype), p, s)
    _, d2 = segment_ratios_and_squares(p, s)  # 64-bit on the widened values, rounded once
    np.testing.assert_array_equal(got, np.sqrt(d2 + 1e-12).astype(dtype).ravel())
    p.reshape(-1, 2)[1, 0] = NAN  # NaN only in the pairs it takes part in
    got = call("segments_matrix_fwd", shape((p.size // 2 * ns,), dtype), p, s).reshape(-1, ns)
    assert np.isnan(got[1]).all() and not np.isnan(np.delete(got, 1, 0)).any()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shape,s_shape", SEGMENT_SHAPES)
def test_segment_gradient_matches_jax_vjp(dtype, p_shape, s_shape):
    p, s = segment_cases(dtype, p_shape, s_shape, 2)
    ratio, _ = segment_ratios_and_squares(p, s)
    t = jnp.asarray(np.clip(ratio, 0.0, 1.0))  # a constant of the gradient
    g = np.random.default_rng(3).normal(size=ratio.shape).astype(dtype)
    pb = points_of(p)

    def f(pp, ss):
        pp = pp.reshape(-1, 1, 2)
        a, b = ss.reshape(-1, 4)[None, :, :2], ss.reshape(-1, 4)[None, :, 2:]
        r = pp - (a + t[..., None] * (b - a))
        return jnp.sqrt((r[..., 0] * r[..., 0] + r[..., 1] * r[..., 1]) + 1e-12)

    got = grads("segments_matrix_vjp", [p, s, g], dtype)
    assert_close(got, pull_back(f, [pb, s], g), dtype)


# ---- rays ---------------------------------------------------------------------------------------

def ray_brute_force(p, o, u, dtype):
    """Distances (c, Np, R) and ray parameters, with sums in increasing component order and the
    offsets p - o of the dot product taken in `dtype`, the rest in 64-bit."""
    c = max(len(p), len(o), len(u))
    p, o, u = (np.broadcast_to(x, (c,) + x.shape[1:]) for x in (p, o, u))
    pe, oe, ue = p[:, :, None, :], o[:, None], u[:, None]
    w = lambda x: x.astype(np.float64)  # noqa: E731
    uu = dot = rr = 0.0
    for l in range(p.shape[-1]):
        uu = uu + w(ue[..., l]) * w(ue[..., l])
        dot = dot + w(pe[..., l] - oe[..., l]) * w(ue[..., l])
    with np.errstate(all="ignore"):
        root = np.sqrt(uu)
        n = np.where(root > 1e-12, root, 1e-12)
        q = dot / (n * n)
        t = np.where(q > 0, q, 0.0)
    for l in range(p.shape[-1]):
        r = w(pe[..., l]) - (w(ue[..., l]) * t + w(oe[..., l]))
        rr = rr + r * r
    return np.sqrt(rr + 1e-12), t


RAY_SHAPES = [
    ((2, 5, 3), (1, 4, 3), (2, 4, 3)),
    ((1, 6, 2), (4, 3, 2), (1, 3, 2)),  # c = 4: points and directions shared by every batch
    ((7, 1), (3, 1), (3, 1)),           # rays on a line
    ((4, 2), (5, 2), (10,)),            # directions read as consecutive vectors whatever the shape
]


def ray_cases(dtype, p_shape, o_shape, u_shape, seed):
    rng = np.random.default_rng(seed)
    p, o, u = (rng.normal(size=s).astype(dtype) for s in (p_shape, o_shape, u_shape))
    d = p.shape[-1]
    u.reshape(-1, d)[0] = 0.0     # a zero direction: the distance to the origin
    u.reshape(-1, d)[1] *= 1e-13  # shorter than the floor of its length
    p.reshape(-1, d)[0] = o.reshape(-1, d)[2] + 3.0 * u.reshape(-1, d)[2]  # on a ray
    return p, o, u


def ray_blocks(p, o, u):
    d = p.shape[-1] if p.ndim else 1
    r = o.shape[-2] if o.ndim >= 2 else 1
    return points_of(p, d), o.reshape(-1, r, d), u.reshape(-1, r, d)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shape,o_shape,u_shape", RAY_SHAPES)
def test_ray_distances_match_brute_force_exactly(dtype, p_shape, o_shape, u_shape):
    p, o, u = ray_cases(dtype, p_shape, o_shape, u_shape, 4)
    want, t = ray_brute_force(*ray_blocks(p, o, u), dtype)
    got = call("ray_matrix_fwd", shape((want.size,), dtype), p, o, u)
    np.testing.assert_array_equal(got, want.astype(dtype).ravel())
    assert (t == 0).any() and (t > 1).any()  # points behind origins and far along rays


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shape,o_shape,u_shape", RAY_SHAPES)
def test_ray_gradient_matches_jax_vjp(dtype, p_shape, o_shape, u_shape):
    p, o, u = ray_cases(dtype, p_shape, o_shape, u_shape, 5)
    pb, ob, ub = ray_blocks(p, o, u)
    dist, t = ray_brute_force(pb, ob, ub, dtype)
    g = np.random.default_rng(6).normal(size=dist.shape).astype(dtype)
    c = dist.shape[0]

    def f(pp, oo, uu):
        pp, oo, uu = (jnp.broadcast_to(x, (c,) + x.shape[1:]) for x in (pp, oo, uu))
        r = pp[:, :, None] - (uu[:, None] * jnp.asarray(t)[..., None] + oo[:, None])
        return jnp.sqrt(jnp.sum(r * r, -1) + 1e-12)

    got = grads("ray_matrix_vjp", [p, o, u, g], dtype)
    want = pull_back(f, [pb, ob, ub], g)
    assert_close(got, want, dtype)
    assert np.all(got[2].reshape(-1, p.shape[-1])[0] == 0)  # a zero direction gets nothing


# ---- failures, empty batches and worker counts --------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,in_shapes,out_sizes,text", [
    ("segments_matrix_fwd", [(2, 2), (3,)], [0], "inner block size must be positive"),
    ("segments_matrix_fwd", [(2, 2), (0,)], [0], "inner block size must be positive"),
    ("segments_matrix_fwd", [(2, 2), (10,)], [4], "buffer length 10 is not a multiple of inner size 8"),
    ("segments_matrix_fwd", [(5,), (4,)], [2], "buffer length 5 is not a multiple of inner size 2"),
    ("segments_matrix_fwd", [(3, 2, 2), (2, 3, 4)], [35], "output length mismatch"),
    ("segments_matrix_vjp", [(2, 2), (2, 4), (3,)], [4, 8], "cotangent length mismatch"),
    ("segments_matrix_vjp", [(2, 2), (2, 4), (4,)], [3, 8], "point gradient too short"),
    ("segments_matrix_vjp", [(2, 2), (2, 4), (4,)], [4, 7], "segment gradient too short"),
    ("ray_matrix_fwd", [(2, 3, 0), (2, 0), (2, 0)], [0], "inner block size must be positive"),
    ("ray_matrix_fwd", [(2, 3), (0, 3), (0, 3)], [0], "inner block size must be positive"),
    ("ray_matrix_fwd", [(2, 3), (2, 3), (5,)], [4], "buffer length 5 is not a multiple of inner size 6"),
    ("ray_matrix_fwd", [(2, 2, 3), (1, 1, 3), (3, 1, 3)], [6], "incompatible batch counts: 2 vs 3"),
    ("ray_matrix_fwd", [(2, 2, 3), (1, 1, 3), (1, 1, 3)], [3], "output length mismatch"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (3,)], [6, 3, 3], "cotangent length mismatch"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (2,)], [5, 3, 3], "point gradient too short"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (2,)], [6, 2, 3], "origin gradient too short"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (2,)], [6, 3, 2], "direction gradient too short"),
])
def test_failures_leave_outputs_untouched(dtype, target, in_shapes, out_sizes, text):
    outputs = [np.full(n, 7.0, dtype) for n in out_sizes]
    assert call_handler(target, [np.full(s, 0.5, dtype) for s in in_shapes], outputs) == text
    assert all(np.all(o == 7.0) for o in outputs)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,in_shapes,grad_sizes", [
    ("segments_matrix", [(0, 3, 2), (2, 4)], [1, 9]),
    ("ray_matrix", [(0, 3, 2), (1, 2, 2), (1, 2, 2)], [1, 5, 4]),
])
def test_empty_batches_write_nothing_and_gradients_zero_fill_in_full(dtype, target, in_shapes,
                                                                     grad_sizes):
    inputs = [np.ones(s, dtype) for s in in_shapes]
    assert call_handler(target + "_fwd", inputs, [np.zeros(0, dtype)]) is None
    outputs = [np.full(n, 7.0, dtype) for n in grad_sizes]
    assert call_handler(target + "_vjp", inputs + [np.zeros(0, dtype)], outputs) is None
    assert all(np.all(o == 0.0) for o in outputs)


_WORKERS_SCRIPT = """
import sys, numpy as np, jax
jax.config.update("jax_enable_x64", True)
from mirelon_jax import call, shape
rng = np.random.default_rng(8)
out = []
for dt in (np.float32, np.float64):
    q = rng.normal(size=(3, 700, 2)).astype(dt)
    r = rng.normal(size=(1, 300, 2)).astype(dt)
    r[0, 1] = r[0, 0]  # exact duplicates: ties must not depend on the worker count
    q[0, 5], r[0, 7] = (np.nan, np.inf), (-np.inf, np.inf)  # NaN and inf - inf meet in sums
    tau = np.array([0.2, 0.0, 3.0], dt)
    out.append(call("points_closest_soft_fwd", shape((2100,), dt), q, r, tau))
    for kind in range(5):
        out.append(call("row_reduce_fwd", shape((2100,), dt), q, r, tau, np.array([kind], dt)))
    s = rng.normal(size=(300, 4)).astype(dt)
    out.append(call("segments_matrix_fwd", shape((3 * 700 * 300,), dt), q, s))
    p, o, u = (rng.normal(size=(2, n, 3)).astype(dt) for n in (500, 200, 200))
    out.append(call("ray_matrix_fwd", shape((2 * 500 * 200,), dt), p, o, u))
sys.stdout.buffer.write(b"".join(np.ascontiguousarray(x).tobytes() for x in out))
"""


def test_forward_results_do_not_depend_on_the_worker_count():
    outputs = outputs_with_one_and_four_workers(_WORKERS_SCRIPT)
    assert len(outputs[0]) == 12 * (6 * 2100 + 630000 + 200000) and outputs[0] == outputs[1]
