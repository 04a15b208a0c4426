"""Closest segment of a segment list: forward against a NumPy brute force, gradient against
jax.vjp of a jax.numpy reference with the residual index and position held constant."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import (arrays_with_one_and_four_workers, call, check_rejected,
                         segment_ratios_and_squares, shape)

DTYPES = [np.float32, np.float64]


def fwd(points, segments):
    outs = [shape((points.size // 2,), points.dtype)] * 3
    return call("segments_closest_fwd", outs, points, segments)


def vjp(points, segments, index, t, g):
    outs = [shape(points.shape, points.dtype), shape(segments.shape, segments.dtype)]
    return call("segments_closest_vjp", outs, points, segments, index, t, g)


def brute_force(points, segments):
    """Nearest segment by scanning all of them in 64-bit: (distance, index, position).

    The scan computes each squared distance as the kernel's hierarchy does, takes the lowest
    index among equal distances and never takes a NaN distance; the reported position keeps a
    NaN ratio as NaN. A query with no finite distance gives NaN everywhere.
    """
    ratio, d2 = segment_ratios_and_squares(points, segments)
    rows = np.arange(len(ratio))
    with np.errstate(all="ignore"):
        d2 = np.where(np.isnan(d2), np.inf, d2)
        idx = np.argmin(d2, axis=1)
        best = d2[rows, idx]
        dist = np.sqrt(best + 1e-12)
        r = ratio[rows, idx]
        pos = np.where(r < 0, 0.0, np.where(r > 1, 1.0, r))
    found = np.isfinite(best)
    nan = np.full(len(ratio), np.nan)
    return (np.where(found, dist, nan), np.where(found, idx.astype(np.float64), nan),
            np.where(found, pos, nan))


def check_against_brute_force(points, segments, dtype):
    d, i, t = fwd(points.astype(dtype), segments.astype(dtype))
    # The 32-bit copy widens its inputs, works in 64-bit and rounds each result once.
    rd, ri, rt = brute_force(points.astype(dtype), segments.astype(dtype))
    np.testing.assert_array_equal(i, ri.astype(dtype))
    np.testing.assert_array_max_ulp(d, rd.astype(dtype), maxulp=1)
    np.testing.assert_array_max_ulp(t, rt.astype(dtype), maxulp=1)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("points_shape,ns,seg_shape", [
    ((6,), 2, None),             # rank 1: one query per batch
    ((3, 17, 2), 5, None),       # a single leaf: every segment scanned
    ((2, 200, 2), 9, None),      # the smallest split
    ((4, 300, 2), 700, (7, 100, 4)),  # a stacked buffer is one list shared by all batches
])
def test_closest_segments_match_brute_force(dtype, points_shape, ns, seg_shape):
    rng = np.random.default_rng(ns)
    points = rng.uniform(-2, 12, points_shape)
    a = rng.uniform(0, 10, (ns, 2))
    segments = np.concatenate([a, a + rng.normal(0, 0.7, (ns, 2))], axis=1)
    check_against_brute_force(points, segments.reshape(seg_shape or segments.shape), dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_positions_clamp_and_points_on_segments_keep_the_floor(dtype):
    segments = np.array([[0, 0, 4, 0], [10, 10, 10, 10]], dtype)  # the second is degenerate
    points = np.array([[-3, 0], [9, 0.5], [1, 0], [11, 10]], dtype)
    d, i, t = fwd(points, segments)
    np.testing.assert_array_equal(i, [0, 0, 0, 1])
    np.testing.assert_array_equal(t[[0, 1, 3]], [0, 1, 0])
    np.testing.assert_allclose(d[2], 1e-6, rtol=1e-6)  # on the segment: about 1e-6, not 0


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("ns,tied,expected", [
    (5, [1, 3], {1}),                  # one leaf, scanned in order: the lowest index
    (60, [7, 33, 51], {7, 33, 51}),    # several leaves: whichever the traversal meets first
])
def test_equal_distances_report_one_of_the_tied_segments(dtype, ns, tied, expected):
    rng = np.random.default_rng(5)
    a = rng.uniform(20, 30, (ns, 2))
    segments = np.concatenate([a, a + 1], axis=1)
    segments[tied] = [0, 1, 2, 1]
    d, i, _ = fwd(np.array([[1, 0]], dtype), segments.astype(dtype))
    assert i[0] in expected
    assert d[0] == dtype(np.sqrt(1.0 + 1e-12))


@pytest.mark.parametrize("dtype", DTYPES)
def test_unanswerable_queries_give_nan_and_nan_segments_are_never_reported(dtype):
    segments = np.array([[0, 0, 1, 0], [np.nan, 0.1, 0.2, 0.1], [0, 3, 1, 3]], dtype)
    # Far enough that every squared distance overflows; a widened 32-bit value never gets there.
    far = [1e200, 1e200] if dtype == np.float64 else [-np.inf, 0]
    points = np.array([[np.nan, 0], [np.inf, 0], far, [0.1, 0.2], [0.5, 2.5]], dtype)
    d, i, t = fwd(points, segments)
    for out in (d, i, t):
        assert np.isnan(out[:3]).all()
    np.testing.assert_array_equal(i[3:], [0, 2])
    all_nan = np.full((2, 4), np.nan, dtype)
    d, i, t = fwd(np.array([[0.0, 0.0]], dtype), all_nan)
    assert np.isnan([d[0], i[0], t[0]]).all()


@pytest.mark.parametrize("dtype", DTYPES)
def test_mirrored_segment_lists_are_not_confused_in_the_cache(dtype):
    # Negating an even number of coordinates flips the sign bit of the word hash an even number
    # of times: the two lists share a key and must still give their own answers.
    rng = np.random.default_rng(11)
    a = rng.uniform(1, 5, (12, 2))
    segments = np.concatenate([a, a + rng.uniform(0.2, 1, (12, 2))], axis=1)
    mirrored = segments * np.array([-1, 1, -1, 1])
    points = rng.uniform(-6, 6, (40, 2))
    for s in (segments, mirrored, segments, mirrored):
        check_against_brute_force(points, s, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_point_batch_succeeds_without_output(dtype):
    out = call("segments_closest_fwd", [shape((0, 3), dtype)] * 3, np.zeros((0, 3, 2), dtype),
               np.zeros((2, 4), dtype), has_side_effect=True)
    assert all(o.size == 0 for o in out)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("points_shape,segments_shape,out_lens,text", [
    ((4, 2), (6,), (4, 4, 4), "buffer length 6 is not a multiple of inner size 4"),
    ((4, 2), (3,), (4, 4, 4), "inner block size must be positive"),
    ((5,), (4,), (4, 4, 4), "buffer length 5 is not a multiple of inner size 2"),
    ((0, 2), (4,), (0, 0, 0), "inner block size must be positive"),
    ((4, 2), (2, 4), (5, 4, 4), "output length mismatch"),
    ((4, 2), (2, 4), (4, 3, 4), "index output too short"),
    ((4, 2), (2, 4), (4, 4, 3), "position output too short"),
])
def test_forward_rejects_bad_shapes(dtype, points_shape, segments_shape, out_lens, text):
    check_rejected("segments_closest_fwd",
                   [np.ones(points_shape, dtype), np.ones(segments_shape, dtype)], out_lens, text)


def test_longer_side_outputs_are_accepted():
    points = np.array([[0.5, 1.0]])
    segments = np.array([[0.0, 0, 1, 0]])
    _, i, t = call("segments_closest_fwd", [shape((1,), np.float64), shape((3,), np.float64),
                                            shape((2,), np.float64)], points, segments)
    assert i[0] == 0 and t[0] == 0.5 / (1 + 1e-12)


def reference_vjp(points, segments, index, t, g):
    """jax.vjp of the distance to the residual point a + t (b - a), index and t held constant."""
    e = np.array([int(v) if v > 0 else 0 for v in np.asarray(index, np.float64).ravel()])
    tt = jnp.asarray(t, jnp.float64).ravel()

    def distance(p, s):
        rec = s.reshape(-1, 4)[e]
        q = (rec[:, 2:] - rec[:, :2]) * tt[:, None] + rec[:, :2]
        d = p.reshape(-1, 2) - q
        return jnp.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + 1e-12)

    p64 = jnp.asarray(points, jnp.float64)
    s64 = jnp.asarray(segments, jnp.float64)
    _, pull = jax.vjp(distance, p64, s64)
    return [np.asarray(x) for x in pull(jnp.asarray(g, jnp.float64).ravel())]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("batches,m,ns", [(1, 1, 1), (2, 30, 4), (3, 50, 40)])
def test_gradient_matches_jax_reference(dtype, batches, m, ns):
    rng = np.random.default_rng(ns)
    points = rng.uniform(-1, 1, (batches, m, 2)).astype(dtype)
    segments = rng.uniform(-1, 1, (ns, 4)).astype(dtype)
    # Fractional and out-of-range residuals: 2.7 names segment 2, negative names 0, t unclamped.
    index = (rng.integers(0, ns, (batches, m)) + rng.uniform(0, 0.9, (batches, m))).astype(dtype)
    index.flat[0] = -3.5
    t = rng.uniform(-0.2, 1.2, (batches, m)).astype(dtype)
    g = rng.normal(size=(batches, m)).astype(dtype)
    gp, gs = vjp(points, segments, index, t, g)
    rp, rs = reference_vjp(points, segments, index, t, g)
    tol = dict(rtol=1e-12, atol=1e-12) if dtype == np.float64 else dict(rtol=2e-5, atol=2e-5)
    np.testing.assert_allclose(gp, rp.reshape(gp.shape), **tol)
    np.testing.assert_allclose(gs, rs.reshape(gs.shape), **tol)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("case,text", [
    ("cotangent", "cotangent length mismatch"),
    ("short_index", "index input too short"),
    ("short_position", "position input too short"),
    ("short_point_grad", "point gradient too short"),
    ("short_segment_grad", "segment gradient too short"),
    ("index_past_end", "segment index 3 of query 1 outside 0..3"),
    ("index_huge", "segment index 18446744073709551615 of query 0 outside 0..3"),
])
def test_gradient_rejects_bad_operands(dtype, case, text):
    points = np.zeros((2, 2), dtype)
    segments = np.zeros((3, 4), dtype)
    index = np.array([0, 3 if case == "index_past_end" else 1], dtype)
    if case == "index_huge":
        index[0] = np.inf
    t = np.zeros(2, dtype)
    g = np.zeros(1 if case == "cotangent" else 2, dtype)
    if case == "short_index":
        index = index[:1]
    if case == "short_position":
        t = t[:1]
    gp_shape = (3,) if case == "short_point_grad" else (4,)
    gs_shape = (11,) if case == "short_segment_grad" else (12,)
    check_rejected("segments_closest_vjp", [points, segments, index, t, g], [gp_shape, gs_shape],
                   text)


_WORKERS_SCRIPT = """
rng = np.random.default_rng(7)
for dt in (np.float32, np.float64):
    p = rng.uniform(-1, 11, (3, 4000, 2)).astype(dt)
    s = rng.uniform(0, 10, (2000, 4)).astype(dt)
    out += call("segments_closest_fwd", [shape((12000,), dt)] * 3, p, s)
    out += call("polygon_sd_fwd", [shape((12000,), dt)] * 3, p, s.reshape(1, -1, 2))
"""


def test_results_do_not_depend_on_the_worker_count():
    # Closest segments and polygon signed distances, one and four pool workers: the child writes
    # twelve arrays of fixed sizes, so equal output means every array is equal bit for bit.
    one, four = arrays_with_one_and_four_workers(_WORKERS_SCRIPT)
    assert len(one) == 6 * 12000 * (4 + 8) and one == four
