"""Interpolation on planar triangle meshes: values against SciPy's LinearNDInterpolator inside a
Delaunay mesh, the choice of triangle (first containing one, tolerance, least-outside fallback,
degenerate triangles, index conversions), gradients against jax.vjp of a jax.numpy reference with
the chosen triangle held constant, and the checks of both kernels."""
import numpy as np
import pytest
from scipy.interpolate import LinearNDInterpolator
from scipy.spatial import Delaunay

from mirelon_jax import call, call_handler, check_rejected, shape, vjp64

DTYPES = [np.float32, np.float64]
UNIT = np.array([[0, 0], [1, 0], [0, 1]], float)  # one right triangle


def forward(vertices, triangles, values, queries):
    """(value, triangle index, barycentric planes [3, Nq])."""
    dt, nq = queries.dtype, len(queries)
    return call("mesh_interp_fwd", [shape((nq,), dt), shape((nq,), dt), shape((3, nq), dt)],
                vertices, triangles.astype(dt), values, queries)


def gradient(vertices, triangles, values, index, bary, g):
    dt = g.dtype
    return call("mesh_interp_vjp", [shape((len(vertices),), dt), shape((len(g), 2), dt)],
                vertices, triangles.astype(dt), values, index, bary, g)


def delaunay_case(rng, dtype, n=40, nq=300):
    points = rng.uniform(0, 1, (n, 2))
    tri = Delaunay(points)
    values = rng.normal(size=n)
    queries = rng.uniform(0, 1, (4 * nq, 2))
    queries = queries[tri.find_simplex(queries) >= 0][:nq]
    return (points.astype(dtype), tri.simplices.astype(dtype), values.astype(dtype),
            queries.astype(dtype), tri)


@pytest.mark.parametrize("dtype", DTYPES)
def test_values_inside_a_delaunay_mesh_match_scipy(dtype):
    vertices, triangles, values, queries, tri = delaunay_case(np.random.default_rng(1), dtype)
    value, index, bary = forward(vertices, triangles, values, queries)
    want = LinearNDInterpolator(tri, values.astype(np.float64))(queries.astype(np.float64))
    tol = dict(rtol=1e-4, atol=1e-5) if dtype == np.float32 else dict(rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(value, want, **tol)
    # The chosen triangle holds the query: coordinates at least -1e-9 (the rounding of the
    # 32-bit copy aside) that rebuild the query from the triangle's vertices.
    corners = vertices[triangles[index.astype(int)].astype(int)].astype(np.float64)
    assert bary.min() >= (-1e-5 if dtype == np.float32 else -1e-9)
    rebuilt = np.einsum("qk,qkd->qd", bary.T.astype(np.float64), corners)
    np.testing.assert_allclose(rebuilt, queries, **tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_worked_values_of_the_triangle_choice(dtype):
    values = np.array([1, 2, 3], dtype)
    one = np.array([[0, 1, 2]], dtype)
    value, index, bary = forward(UNIT.astype(dtype), one, values,
                                 np.array([[0.25, 0.25], [1, 1]], dtype))
    np.testing.assert_array_equal(value, [1.75, 4])  # (1, 1) is extrapolated with l0 = -1
    np.testing.assert_array_equal(index, [0, 0])
    np.testing.assert_array_equal(bary, [[0.5, -1], [0.25, 1], [0.25, 1]])  # plane-major

    # Two triangles of the unit square share the diagonal: a query on it goes to the lower
    # index; a coordinate of -5e-10 still counts as inside, -2e-9 does not.
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], np.float64)
    halves = np.array([[0, 1, 2], [0, 2, 3]])
    queries = np.array([[0.5, 0.5], [0.25, 0.75], [0.25 - 5e-10, 0.25], [0.25 - 2e-9, 0.25]])
    value, index, _ = forward(square, halves, np.zeros(4), queries)
    np.testing.assert_array_equal(index, [0, 1, 0, 1])

    # Outside every triangle: the largest smallest coordinate wins (-0.5 for the second query),
    # the lower index on a tie (the first and third); the last triangle, (0, 2, 0) once its
    # index floats are truncated (2.9 -> 2, -0.5 and NaN -> 0), is degenerate and skipped.
    mesh = np.array([[0, 0], [1, 0], [0, 1], [2, 2], [3, 0]], dtype)
    triangles = np.array([[0, 1, 3], [0, 1, 2], [0, 3, 4], [-0.5, 2.9, np.nan]], dtype)
    _, index, _ = forward(mesh, triangles, np.arange(5, dtype=dtype),
                          np.array([[0.5, -1], [-1, 0.5], [10, 10]], dtype))
    assert list(index) == [0, 2, 0]
    bad = np.array([[0, 0], [1, 1], [2, 2]], dtype)  # det = 0
    assert forward(bad, one, values, np.zeros((0, 2), dtype))[0].size == 0  # nothing to scan


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_query_takes_the_first_usable_triangle(dtype):
    mesh = np.array([[0, 0], [1, 1], [2, 2], [0, 1], [1, 0]], dtype)
    triangles = np.array([[0, 1, 2], [0, 4, 3], [0, 4, 1]], dtype)  # the first is degenerate
    value, index, bary = forward(mesh, triangles, np.ones(5, dtype),
                                 np.array([[np.nan, 0.5]], dtype))
    assert index[0] == 1 and np.isnan(value[0]) and np.isnan(bary).all()


def reference_gradient(vertices, triangles, values, index, queries, g):
    """jax.vjp of the interpolant of each query's triangle (held constant) with respect to the
    vertex values and the queries, in 64-bit."""
    t = triangles.astype(np.float64)[index.astype(int)].astype(int)
    v = vertices.astype(np.float64)
    a, b, c = v[t[:, 0]], v[t[:, 1]], v[t[:, 2]]
    e1, e2 = b - a, c - a
    det = e1[:, 0] * e2[:, 1] - e2[:, 0] * e1[:, 1]

    def interp(z, q):
        d = q - a
        l1 = (e2[:, 1] * d[:, 0] - d[:, 1] * e2[:, 0]) / det
        l2 = (e1[:, 0] * d[:, 1] - d[:, 0] * e1[:, 1]) / det
        return z[t[:, 0]] * ((1 - l1) - l2) + z[t[:, 1]] * l1 + z[t[:, 2]] * l2

    return vjp64(interp, (values, queries), g)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_matches_jax_vjp(dtype):
    rng = np.random.default_rng(4)
    vertices, triangles, values, queries, _ = delaunay_case(rng, dtype, nq=200)
    queries[:20] = rng.uniform(-0.5, 1.5, (20, 2))  # some outside: extrapolated
    g = rng.normal(size=len(queries)).astype(dtype)
    _, index, bary = forward(vertices, triangles, values, queries)
    got = gradient(vertices, triangles, values, index, bary, g)
    want = reference_gradient(vertices, triangles, values, index, queries, g)
    tol = dict(rtol=2e-3, atol=2e-3) if dtype == np.float32 else dict(rtol=1e-9, atol=1e-9)
    for a, e in zip(got, want):
        np.testing.assert_allclose(a, e, **tol)


def test_bad_triangle_is_reported_when_a_later_query_reaches_it():
    # Triangle 1 names vertex 7 of 3; the first query stops at triangle 0, the second does not.
    triangles = np.array([[0, 1, 2], [0, 1, 7]], float)
    queries = np.array([[0.25, 0.25], [5.0, 5.0]])
    outputs = [np.full(2, 9.0), np.full(2, 9.0), np.full((3, 2), 9.0)]
    text = call_handler("mesh_interp_fwd", [UNIT, triangles, np.ones(3), queries], outputs)
    assert text == "triangle 1 references vertex 7 outside 0..3"
    assert outputs[0][0] == 1 and outputs[1][0] == 0  # the first query's results stand


def operands(target, **changes):
    """Valid operands of `target`, one triangle (forward) or two (gradient) over UNIT and two
    queries, with some replaced; outputs filled with 9."""
    if target == "mesh_interp_fwd":
        ops = dict(v=UNIT, t=[[0, 1, 2]], z=np.ones(3), q=np.full((2, 2), 0.2),
                   outs=[(2,), (2,), (3, 2)])
        names = "vtzq"
    else:
        ops = dict(v=UNIT, t=[[0, 1, 2], [0, 2, 1]], z=np.ones(3), index=[1.0, 0.0],
                   bary=np.full((3, 2), 0.3), g=np.ones(2), outs=[(3,), (2, 2)])
        names = ("v", "t", "z", "index", "bary", "g")
    ops.update(changes)
    inputs = [np.array(ops[k], float) for k in names]
    return inputs, [np.full(s, 9.0) for s in ops["outs"]]


@pytest.mark.parametrize("target,changes,text", [
    ("mesh_interp_fwd", dict(v=np.zeros((3, 3))), "mesh_interp: buffer length mismatch"),
    ("mesh_interp_fwd", dict(z=np.ones(4)), "mesh_interp: buffer length mismatch"),
    ("mesh_interp_fwd", dict(outs=[(2,), (2,), (2, 2)]), "mesh_interp: output length mismatch"),
    ("mesh_interp_fwd", dict(v=[[0, 0], [1, 1], [2, 2]]), "mesh has no non-degenerate triangle"),
    ("mesh_interp_fwd", dict(t=[[-1, 1, 2]]), "triangle 0 references vertex -1 outside 0..3"),
    ("mesh_interp_vjp", dict(g=np.ones(3)), "mesh_interp_vjp: buffer length mismatch"),
    ("mesh_interp_vjp", dict(outs=[(4,), (2, 2)]), "mesh_interp_vjp: output length mismatch"),
    # The mesh is read again: its operands must hold what their shapes say.
    ("mesh_interp_vjp", dict(v=np.ones((3, 1))),
     "mesh_interp_vjp: vertices length mismatch: expected at least 6 elements, got 3"),
    ("mesh_interp_vjp", dict(t=np.ones((2, 2))),
     "mesh_interp_vjp: triangles length mismatch: expected at least 6 elements, got 4"),
    ("mesh_interp_vjp", dict(z=np.ones(2)),
     "mesh_interp_vjp: values length mismatch: expected at least 3 elements, got 2"),
])
def test_bad_operands_are_rejected_before_any_output_is_written(target, changes, text):
    inputs, outputs = operands(target, **changes)
    check_rejected(target, inputs, [o.shape for o in outputs], text, through_jax=False)


@pytest.mark.parametrize("changes,text", [
    (dict(index=[1.0, 2.0]), "residual triangle index 2 outside 0..2"),
    (dict(t=[[0, 1, 5], [0, 2, 1]]), "triangle 0 references vertex 5 outside 0..3"),
])
def test_gradient_checks_each_residual_triangle_as_it_comes(changes, text):
    # Query 0 names triangle 1 (fine), query 1 triangle 2 or 0: the value gradient is zeroed
    # and holds query 0's terms when query 1 fails.
    inputs, outputs = operands("mesh_interp_vjp", **changes)
    assert call_handler("mesh_interp_vjp", inputs, outputs) == text
    np.testing.assert_allclose(outputs[0], [0.3, 0.3, 0.3])
