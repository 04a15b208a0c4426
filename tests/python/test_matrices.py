"""Distance matrices from points to segments (2-D, one list shared by every batch) and to rays
(any dimension): forwards against NumPy brute force, gradients against jax.vjp of jax.numpy
references with the position of the closest point held constant."""
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import (arrays_with_one_and_four_workers, call, call_handler, check_rejected,
                         segment_ratios_and_squares, shape, vjp64)

DTYPES = [np.float32, np.float64]


def check_gradient(target, inputs, f, blocks, g):
    """The kernel's gradients against jax.vjp of f(*blocks) pulled back from g, in 64-bit."""
    dtype = g.dtype
    got = call(target, [shape(x.shape, dtype) for x in inputs], *inputs, g)
    tol = 2e-5 if dtype == np.float32 else 1e-11
    for a, b in zip(got, vjp64(f, blocks, g)):
        np.testing.assert_allclose(a.ravel(), b.ravel(), rtol=tol, atol=tol)
    return got


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shape,s_shape", [((3, 17, 2), (5, 4)),
                                             ((40, 2), (2, 3, 4)),  # a stack is one shared list
                                             ((6,), (7, 4))])
def test_segment_distances_match_brute_force_and_gradient_jax_vjp(dtype, p_shape, s_shape):
    rng = np.random.default_rng(1)
    p = rng.uniform(-2, 12, p_shape).astype(dtype)
    s = rng.uniform(0, 10, s_shape).astype(dtype)
    flat = s.reshape(-1, 4)
    flat[0, 2:] = flat[0, :2]  # a degenerate segment: the distance to its first end point
    ratio, d2 = segment_ratios_and_squares(p, s)  # 64-bit on the widened values
    got = call("segments_matrix_fwd", shape((d2.size,), dtype), p, s)
    np.testing.assert_array_equal(got, np.sqrt(d2 + 1e-12).astype(dtype).ravel())

    t = jnp.asarray(np.clip(ratio, 0.0, 1.0))  # a constant of the gradient

    def f(pp, ss):
        a, b = ss.reshape(-1, 4)[None, :, :2], ss.reshape(-1, 4)[None, :, 2:]
        r = pp.reshape(-1, 1, 2) - (a + t[..., None] * (b - a))
        return jnp.sqrt((r[..., 0] * r[..., 0] + r[..., 1] * r[..., 1]) + 1e-12)

    g = rng.normal(size=ratio.shape).astype(dtype)
    check_gradient("segments_matrix_vjp", [p, s], f, [p, s], g)

    p.reshape(-1, 2)[1, 0] = np.nan  # NaN only in the pairs it takes part in
    got = call("segments_matrix_fwd", shape((d2.size,), dtype), p, s).reshape(d2.shape)
    assert np.isnan(got[1]).all() and not np.isnan(np.delete(got, 1, 0)).any()


def ray_brute_force(p, o, u):
    """Distances (c, Np, R) and ray parameters: sums in increasing component order, the offsets
    p - o of the dot product in the element type, everything else in 64-bit."""
    c = max(len(p), len(o), len(u))
    pe, oe, ue = (np.broadcast_to(x, (c,) + x.shape[1:]) for x in (p, o, u))
    pe, oe, ue = pe[:, :, None], oe[:, None], ue[:, None]
    w = lambda x: x.astype(np.float64)  # noqa: E731
    uu = dot = rr = 0.0
    for l in range(p.shape[-1]):
        uu = uu + w(ue[..., l]) * w(ue[..., l])
        dot = dot + w(pe[..., l] - oe[..., l]) * w(ue[..., l])
    with np.errstate(all="ignore"):
        n = np.where(np.sqrt(uu) > 1e-12, np.sqrt(uu), 1e-12)
        t = np.where(dot / (n * n) > 0, dot / (n * n), 0.0)
    for l in range(p.shape[-1]):
        r = w(pe[..., l]) - (w(ue[..., l]) * t + w(oe[..., l]))
        rr = rr + r * r
    return np.sqrt(rr + 1e-12), t


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p_shape,o_shape,u_shape", [
    ((2, 5, 3), (1, 4, 3), (2, 4, 3)),
    ((1, 6, 2), (4, 3, 2), (1, 3, 2)),  # c = 4: points and directions shared by every batch
    ((7, 1), (3, 1), (3, 1)),           # rays on a line
    ((4, 2), (5, 2), (10,)),            # directions read as consecutive vectors
])
def test_ray_distances_match_brute_force_and_gradient_jax_vjp(dtype, p_shape, o_shape, u_shape):
    rng = np.random.default_rng(4)
    p, o, u = (rng.normal(size=s).astype(dtype) for s in (p_shape, o_shape, u_shape))
    d, r = p.shape[-1], o.shape[-2]
    u.reshape(-1, d)[0] = 0.0     # a zero direction: the distance to the origin
    u.reshape(-1, d)[1] *= 1e-13  # shorter than the floor of its length
    p.reshape(-1, d)[0] = o.reshape(-1, d)[2] + 3.0 * u.reshape(-1, d)[2]  # on a ray
    blocks = [p.reshape(-1, p_shape[-2] if p.ndim >= 2 else 1, d), o.reshape(-1, r, d),
              u.reshape(-1, r, d)]
    want, t = ray_brute_force(*blocks)
    got = call("ray_matrix_fwd", shape((want.size,), dtype), p, o, u)
    np.testing.assert_array_equal(got, want.astype(dtype).ravel())
    assert (t == 0).any() and (t > 1).any()  # points behind origins and far along rays

    def f(pp, oo, uu):
        pp, oo, uu = (jnp.broadcast_to(x, (len(t),) + x.shape[1:]) for x in (pp, oo, uu))
        res = pp[:, :, None] - (uu[:, None] * jnp.asarray(t)[..., None] + oo[:, None])
        return jnp.sqrt(jnp.sum(res * res, -1) + 1e-12)

    g = rng.normal(size=want.shape).astype(dtype)
    grads = check_gradient("ray_matrix_vjp", [p, o, u], f, blocks, g)
    assert np.all(grads[2].reshape(-1, d)[0] == 0)  # a zero direction receives nothing


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,inputs,out_sizes,text", [
    ("segments_matrix_fwd", [(2, 2), (3,)], [0], "inner block size must be positive"),
    ("segments_matrix_fwd", [(2, 2), (10,)], [4],
     "buffer length 10 is not a multiple of inner size 8"),
    ("segments_matrix_fwd", [(5,), (4,)], [2], "buffer length 5 is not a multiple of inner size 2"),
    ("segments_matrix_fwd", [(3, 2, 2), (2, 3, 4)], [35], "output length mismatch"),
    ("segments_matrix_vjp", [(2, 2), (2, 4), (3,)], [4, 8], "cotangent length mismatch"),
    ("segments_matrix_vjp", [(2, 2), (2, 4), (4,)], [3, 8], "point gradient too short"),
    ("segments_matrix_vjp", [(2, 2), (2, 4), (4,)], [4, 7], "segment gradient too short"),
    ("ray_matrix_fwd", [(2, 3, 0), (2, 0), (2, 0)], [0], "inner block size must be positive"),
    ("ray_matrix_fwd", [(2, 3), (0, 3), (0, 3)], [0], "inner block size must be positive"),
    ("ray_matrix_fwd", [(2, 3), (2, 3), (5,)], [4],
     "buffer length 5 is not a multiple of inner size 6"),
    ("ray_matrix_fwd", [(2, 2, 3), (1, 1, 3), (3, 1, 3)], [6], "incompatible batch counts: 2 vs 3"),
    ("ray_matrix_fwd", [(2, 2, 3), (1, 1, 3), (1, 1, 3)], [3], "output length mismatch"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (3,)], [6, 3, 3], "cotangent length mismatch"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (2,)], [5, 3, 3], "point gradient too short"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (2,)], [6, 2, 3], "origin gradient too short"),
    ("ray_matrix_vjp", [(2, 3), (1, 3), (1, 3), (2,)], [6, 3, 2], "direction gradient too short"),
])
def test_failures_leave_outputs_untouched(dtype, target, inputs, out_sizes, text):
    check_rejected(target, inputs, out_sizes, text, dtype=dtype, through_jax=False)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,in_shapes,grad_sizes", [
    ("segments_matrix", [(0, 3, 2), (2, 4)], [1, 9]),
    ("ray_matrix", [(0, 3, 2), (1, 2, 2), (1, 2, 2)], [1, 5, 4]),
])
def test_empty_batches_write_nothing_and_gradients_zero_fill_in_full(dtype, target, in_shapes,
                                                                     grad_sizes):
    inputs = [np.ones(s, dtype) for s in in_shapes]
    assert call_handler(target + "_fwd", inputs, [np.zeros(0, dtype)]) is None
    grads = [np.full(n, 7.0, dtype) for n in grad_sizes]
    assert call_handler(target + "_vjp", inputs + [np.zeros(0, dtype)], grads) is None
    assert all(np.all(o == 0.0) for o in grads)


_WORKERS_SCRIPT = """
rng = np.random.default_rng(8)
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
"""


def test_forward_results_do_not_depend_on_the_worker_count():
    one, four = arrays_with_one_and_four_workers(_WORKERS_SCRIPT)
    assert len(one) == 12 * (6 * 2100 + 630000 + 200000) and one == four
