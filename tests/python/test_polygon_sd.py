"""Signed distance to closed polygons: forward against a NumPy brute force with an independent
even-odd test, gradient against jax.vjp of a jax.numpy reference with the residual edge index,
position and sign held constant."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import call, check_rejected, segment_ratios_and_squares, shape

DTYPES = [np.float32, np.float64]


def fwd(points, vertices, n=None):
    n = points.size // 2 if n is None else n
    return call("polygon_sd_fwd", [shape((n,), points.dtype)] * 3, points, vertices)


def vjp(points, vertices, index, t, g):
    outs = [shape(points.shape, points.dtype), shape(vertices.shape, vertices.dtype)]
    return call("polygon_sd_vjp", outs, points, vertices, index, t, g)


def inside_even_odd(p, ring):
    """Even-odd rule with a ray cast towards +y (the kernel casts towards +x)."""
    p = np.asarray(p, np.float64).reshape(-1, 2)
    ring = np.asarray(ring, np.float64).reshape(-1, 2)
    inside = np.zeros(len(p), bool)
    for a, b in zip(ring, np.roll(ring, -1, axis=0)):
        straddles = (a[0] > p[:, 0]) != (b[0] > p[:, 0])
        with np.errstate(all="ignore"):
            y_cross = a[1] + (p[:, 0] - a[0]) * (b[1] - a[1]) / (b[0] - a[0])
        inside ^= straddles & (y_cross > p[:, 1])
    return inside


def ring_segments(ring):
    ring = np.asarray(ring, np.float64).reshape(-1, 2)
    return np.concatenate([ring, np.roll(ring, -1, axis=0)], axis=1)


def brute_force(p, ring):
    """(unsigned distance, edge index, position) by scanning every edge in 64-bit."""
    ratio, d2 = segment_ratios_and_squares(p, ring_segments(ring))
    idx = np.argmin(d2, axis=1)
    rows = np.arange(len(ratio))
    return np.sqrt(d2[rows, idx] + 1e-12), idx, np.clip(ratio[rows, idx], 0, 1), d2


def star_polygon(rng, nv, center, radius):
    angles = np.sort(rng.uniform(0, 2 * np.pi, nv))
    r = radius * rng.uniform(0.4, 1.0, nv)
    return np.stack([center[0] + r * np.cos(angles), center[1] + r * np.sin(angles)], axis=1)


def check_batches(points, vertices, dtype, margin=1e-3):
    """Forward of every batch against the brute force. Queries within `margin` of the boundary
    are left out of the sign check, and those whose two nearest edges are within `margin` of
    each other (a vertex, for instance) out of the index and position checks."""
    points = points.astype(dtype)
    vertices = vertices.astype(dtype)
    bp, m = points.shape[0], points.shape[1]
    bv = vertices.shape[0]
    b = max(bp, bv)
    sd, idx, t = (x.reshape(b, m) for x in fwd(points, vertices, n=b * m))
    for k in range(b):
        p = points[0 if bp == 1 else k]
        ring = vertices[0 if bv == 1 else k]
        dist, ridx, rt, d2 = brute_force(p, ring)
        sign = np.where(inside_even_odd(p, ring), -1.0, 1.0)
        second = np.sort(d2, axis=1)[:, 1] if d2.shape[1] > 1 else np.inf
        away = dist > margin
        unique = np.sqrt(second) - dist > margin
        np.testing.assert_array_max_ulp(np.abs(sd[k]), dist.astype(dtype), maxulp=1)
        np.testing.assert_array_equal(np.sign(sd[k])[away], sign[away])
        np.testing.assert_array_equal(idx[k][unique], ridx[unique])
        np.testing.assert_array_max_ulp(t[k][unique], rt[unique].astype(dtype), maxulp=1)
        assert away.mean() > 0.9 and unique.mean() > 0.2


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("bp,bv,m,nv", [
    (1, 1, 50, 3),
    (3, 3, 200, 7),     # one leaf
    (4, 1, 300, 40),    # one polygon for many batches of points
    (1, 3, 300, 120),   # one set of points against many polygons
])
def test_signed_distance_matches_brute_force(dtype, bp, bv, m, nv):
    rng = np.random.default_rng(bp * 100 + nv)
    vertices = np.stack([star_polygon(rng, nv, (5, 5), 4) for _ in range(bv)])
    points = rng.uniform(0, 10, (bp, m, 2))
    check_batches(points, vertices, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("nv", [3, 4, 5, 63, 64, 65, 127, 130])
def test_self_intersecting_rings_of_every_length_follow_the_even_odd_rule(dtype, nv):
    # Random vertex order: many edges straddle each query's level, in every word of the scan.
    rng = np.random.default_rng(nv)
    rings = rng.uniform(0, 10, (1, nv, 2))
    points = rng.uniform(-1, 11, (1, 300, 2))
    sd, _, _ = fwd(points.astype(dtype), rings.astype(dtype))
    dist, _, _, _ = brute_force(points[0].astype(dtype), rings[0].astype(dtype))
    away = dist > 1e-4
    expected = np.where(inside_even_odd(points[0].astype(dtype), rings[0].astype(dtype)), -1, 1)
    np.testing.assert_array_equal(np.sign(sd)[away], expected[away])


@pytest.mark.parametrize("dtype", DTYPES)
def test_region_covered_twice_is_outside(dtype):
    pentagram = np.array([[np.cos(a), np.sin(a)] for a in np.pi / 2 + 4 * np.pi / 5 * np.arange(5)])
    sd, _, _ = fwd(np.array([[0.0, 0.0], [0.0, 0.8]], dtype), pentagram.astype(dtype))
    assert sd[0] > 0 and sd[1] < 0


@pytest.mark.parametrize("dtype", DTYPES)
def test_edges_with_a_nan_vertex_are_never_crossed_nor_nearest(dtype):
    ring = np.array([[0, 0], [2, 0], [2, 2], [np.nan, np.nan], [0, 2]], dtype)
    sd, idx, _ = fwd(np.array([[1.0, 1.0], [3.0, 1.0]], dtype), ring)
    assert sd[0] == dtype(-np.sqrt(1 + 1e-12)) and idx[0] in (0, 1, 4)
    assert sd[1] == dtype(np.sqrt(1 + 1e-12)) and idx[1] == 1


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("clockwise", [False, True])
def test_unit_square_examples(dtype, clockwise):
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype)
    if clockwise:
        square = square[::-1].copy()
    sd, idx, t = fwd(np.array([[0.5, 0.5], [2, 0.5], [2, 2]], dtype), square)
    expected = np.sqrt(np.array([0.25, 1, 2]) + 1e-12) * [-1, 1, 1]
    np.testing.assert_array_equal(sd, expected.astype(dtype))
    assert idx[0] in (0, 1, 2, 3)
    position = dtype(0.5 / (1 + 1e-12))
    assert t[0] == position and t[1] == position
    assert idx[1] == 1  # the edge x = 1 is edge 1 either way round
    # Nearest to the corner (1, 1): of its two edges, the one scanned first in the single leaf.
    assert (idx[2], t[2]) == ((0, 1) if clockwise else (1, 1))


@pytest.mark.parametrize("dtype", DTYPES)
def test_boundary_points_keep_the_floor_and_level_vertices_count_as_below(dtype):
    square = np.array([[0, 0], [2, 0], [2, 2], [0, 2]], dtype)
    # Vertices level with the point count as below it: the bottom edge's points are inside, the
    # top edge's outside. A crossing at x = px is not beyond the point: the left edge's points
    # are inside (only x = 2 counts), the right edge's outside.
    sd, _, _ = fwd(np.array([[1, 0], [1, 2], [0, 1], [2, 1]], dtype), square)
    np.testing.assert_allclose(np.abs(sd), 1e-6, rtol=1e-6)
    np.testing.assert_array_equal(np.sign(sd), [-1, 1, -1, 1])
    # A point level with a vertex of a diamond: the vertex counts as below it.
    diamond = np.array([[0, -1], [1, 0], [0, 1], [-1, 0]], dtype)
    sd, _, _ = fwd(np.array([[0.0, 0.0], [-2.0, 0.0]], dtype), diamond)
    assert sd[0] < 0 and sd[1] > 0


@pytest.mark.parametrize("dtype", DTYPES)
def test_unanswerable_queries_give_nan(dtype):
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype)
    far = [1e200, -1e200] if dtype == np.float64 else [0, -np.inf]
    points = np.array([[np.nan, 0.5], [0.5, np.inf], far, [0.5, 0.25]], dtype)
    sd, idx, t = fwd(points, square)
    for out in (sd, idx, t):
        assert np.isnan(out[:3]).all()
    assert sd[3] == dtype(-np.sqrt(0.0625 + 1e-12)) and idx[3] == 0
    sd, idx, t = fwd(np.array([[0.0, 0.0]], dtype), np.full((3, 2), np.nan, dtype))
    assert np.isnan([sd[0], idx[0], t[0]]).all()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name,ring,image", [
    # Each image negates an even number of coordinates, which leaves the word hash unchanged.
    ("rectangle and its mirror image", [[1, 1], [4, 1], [4, 3], [1, 3]],
     [[-1, 1], [-4, 1], [-4, 3], [-1, 3]]),
    ("triangle and its half-turn", [[1, 2], [5, 1], [3, 6]], [[-1, -2], [-5, -1], [-3, -6]]),
])
def test_colliding_rings_each_get_their_own_answers(dtype, name, ring, image):
    rng = np.random.default_rng(4)
    points = rng.uniform(-7, 7, (1, 300, 2))
    ring, image = np.array(ring, float), np.array(image, float)
    for rings in ([ring], [image], [ring, image], [image, ring]):
        check_batches(points, np.stack(rings), dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("points_shape,vertices_shape,n,text", [
    ((4, 2), (2,), 4, "polygon needs >= 3 vertices, got 1"),
    ((5,), (0, 2), 4, "polygon needs >= 3 vertices, got 0"),
    ((4, 2), (2, 2), 4, "polygon needs >= 3 vertices, got 2"),
    ((5,), (3, 2), 4, "buffer length 5 is not a multiple of inner size 2"),
    ((0, 2), (3, 2), 0, "inner block size must be positive"),
    ((4, 2), (5, 3), 4, "buffer length 15 is not a multiple of inner size 10"),
    ((2, 4, 2), (3, 3, 2), 8, "incompatible batch counts: 2 vs 3"),
    ((4, 2), (3, 2), (5, 4, 4), "output length mismatch"),
    ((4, 2), (3, 2), (4, 3, 4), "index output too short"),
    ((4, 2), (3, 2), (4, 4, 3), "position output too short"),
])
def test_forward_rejects_bad_shapes(dtype, points_shape, vertices_shape, n, text):
    outs = n if isinstance(n, tuple) else (n,) * 3
    check_rejected("polygon_sd_fwd", [np.ones(points_shape, dtype), np.ones(vertices_shape, dtype)],
                   list(outs), text)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_point_batch_succeeds_without_output(dtype):
    out = call("polygon_sd_fwd", [shape((0, 2), dtype)] * 3, np.zeros((0, 2, 2), dtype),
               np.zeros((3, 2), dtype), has_side_effect=True)
    assert all(o.size == 0 for o in out)


def reference_vjp(points, vertices, index, t, g, sign):
    """jax.vjp of sign * |p - (v_e + t (v_e1 - v_e))| with e, t and the sign held constant."""
    bp, m = points.shape[:2]
    bv, nv = vertices.shape[:2]
    b = max(bp, bv)
    e = np.array([int(v) if v > 0 else 0 for v in index.astype(np.float64).ravel()]).reshape(b, m)
    e1 = (e + 1) % nv
    tt = jnp.asarray(t, jnp.float64).reshape(b, m, 1)

    def signed(p, v):
        v = jnp.broadcast_to(v, (b, nv, 2))
        rows = jnp.arange(b)[:, None]
        a, c = v[rows, e], v[rows, e1]
        d = jnp.broadcast_to(p, (b, m, 2)) - ((c - a) * tt + a)
        return sign.reshape(b, m) * jnp.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + 1e-12)

    _, pull = jax.vjp(signed, jnp.asarray(points, jnp.float64), jnp.asarray(vertices, jnp.float64))
    return [np.asarray(x) for x in pull(jnp.asarray(g, jnp.float64).reshape(b, m))]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("bp,bv,m,nv", [(1, 1, 1, 3), (2, 2, 40, 6), (4, 1, 30, 9), (1, 3, 30, 5),
                                        (1, 1, 5, 1), (2, 1, 5, 2)])
def test_gradient_matches_jax_reference(dtype, bp, bv, m, nv):
    rng = np.random.default_rng(bp * 10 + bv + nv)
    vertices = np.stack([star_polygon(rng, nv, (0, 0), 2) for _ in range(bv)]).astype(dtype)
    points = rng.uniform(-2, 2, (bp, m, 2)).astype(dtype)
    b = max(bp, bv)
    index = (rng.integers(0, nv, (b, m)) + rng.uniform(0, 0.9, (b, m))).astype(dtype)
    index.flat[-1] = np.nan  # names edge 0
    t = rng.uniform(-0.2, 1.2, (b, m)).astype(dtype)
    g = rng.normal(size=(b, m)).astype(dtype)
    sign = np.stack([np.where(inside_even_odd(points[0 if bp == 1 else k],
                                              vertices[0 if bv == 1 else k]), -1.0, 1.0)
                     for k in range(b)])
    gp, gv = vjp(points, vertices, index, t, g)
    rp, rv = reference_vjp(points, vertices, index, t, g, sign)
    tol = dict(rtol=1e-12, atol=1e-12) if dtype == np.float64 else dict(rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(gp, rp, **tol)
    np.testing.assert_allclose(gv, rv, **tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_through_forward_residuals_at_the_closing_edge(dtype):
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype)
    points = np.array([[-0.5, 0.25]], dtype)  # nearest: edge 3, from vertex 3 back to vertex 0
    sd, idx, t = fwd(points, square)
    assert idx[0] == 3
    gp, gv = vjp(points, square, idx, t, np.ones(1, dtype))
    np.testing.assert_allclose(gp, [[-1, 0]], atol=1e-6)
    # t = 0.75 along vertex 3 -> vertex 0: vertex 3 takes a quarter of the pull, vertex 0 the rest.
    np.testing.assert_allclose(gv, [[0.75, 0], [0, 0], [0, 0], [0.25, 0]], atol=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("case,text", [
    ("vertices_empty", "inner block size must be positive"),
    ("batches", "incompatible batch counts: 2 vs 3"),
    ("cotangent", "cotangent length mismatch"),
    ("short_index", "index input too short"),
    ("short_position", "position input too short"),
    ("short_point_grad", "point gradient too short"),
    ("short_vertex_grad", "vertex gradient too short"),
    ("index_past_end", "edge index 3 of query 1 outside 0..3"),
])
def test_gradient_rejects_bad_operands(dtype, case, text):
    points = np.zeros((6, 2) if case == "batches" else (2, 2), dtype)
    points = points.reshape(2, 3, 2) if case == "batches" else points
    vertices = np.zeros({"vertices_empty": (0, 2), "batches": (3, 3, 2)}.get(case, (3, 2)), dtype)
    n = points.size // 2
    index = np.zeros(n, dtype)
    index[-1] = 3 if case == "index_past_end" else 1
    t = np.zeros(n - (case == "short_position"), dtype)
    index = index[:-1] if case == "short_index" else index
    g = np.zeros(n - (case == "cotangent"), dtype)
    gp = points.size - (case == "short_point_grad")
    gv = max(vertices.size - (case == "short_vertex_grad"), 0)
    check_rejected("polygon_sd_vjp", [points, vertices, index, t, g], [gp, gv], text)
