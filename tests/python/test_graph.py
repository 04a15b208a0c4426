"""Graph cascade and edge lengths: forwards bit for bit against NumPy propagation and sums in the
element type (also on the pool, with one worker and with four), gradients against jax.vjp of
jax.numpy references, and the rejected calls."""
import hashlib
import sys

import jax.numpy as jnp
import numpy as np
import pytest

from mirelon_jax import (call, check_rejected, outputs_with_one_and_four_workers, run_child, shape,
                         vjp64)

DTYPES = [np.float32, np.float64]
TOL = {np.float32: dict(rtol=2e-5, atol=2e-5), np.float64: dict(rtol=1e-12, atol=1e-12)}


def nodes_of(edges):
    """End points as the kernels read them: truncated toward zero, NaN naming node 0."""
    e = np.nan_to_num(np.asarray(edges, np.float64).reshape(-1, 2), nan=0.0)
    return np.trunc(e).astype(np.int64)


def random_graph(rng, n, m, dtype):
    """Edges with repeats and self-loops, end points off by fractions that truncate to the node."""
    e = rng.integers(0, n, (m, 2)).astype(np.float64)
    q = m // 4
    e[:q, 1] = e[:q, 0]  # self-loops
    e[q: 2 * q] = e[:q]  # repeated edges
    e += rng.choice([0.0, 0.25, 0.9], e.shape)
    e[e < 1] -= 0.5  # -0.5 names node 0
    if m:
        e[-1, 0] = np.nan  # names node 0
    return e.astype(dtype)


# ---- cascade ---------------------------------------------------------------------------------

def cascade(x, edges, w, steps):
    return call("cascade_fwd", shape(x.shape, x.dtype), x, edges, w, np.array([steps], x.dtype))


def cascade_vjp(x, edges, w, steps, g):
    outs = [shape(x.shape, x.dtype), shape(w.shape, w.dtype)]
    return call("cascade_vjp", outs, x, edges, w, np.array([steps], x.dtype), g)


def cascade_oracle(x, edges, w, steps):
    """Y = x + A x + ... + A^S x, each state scattered edge by edge in input order (np.add.at) and
    added to the running sum, all in the element type."""
    src, dst = nodes_of(edges).T
    rows = x.reshape(-1, x.shape[-1])
    total = np.zeros_like(rows) + rows
    for r, row in enumerate(rows):
        state = row
        for _ in range(steps):
            nxt = np.zeros_like(state)
            np.add.at(nxt, dst, w * state[src])
            total[r] = total[r] + nxt
            state = nxt
    return total.reshape(x.shape)


@pytest.mark.parametrize("dtype", DTYPES)
def test_cascade_reads_no_edge_without_a_step_or_a_row(dtype):
    x, bad, w = np.ones((1, 2), dtype), np.array([[0, 9]], dtype), np.ones(1, dtype)
    np.testing.assert_array_equal(cascade(x, bad, w, 0), x)
    assert cascade(np.zeros((0, 5), dtype), bad, w, 3).shape == (0, 5)


BIG = dict(n=5000, m=150_000, rows=2, steps=3)

WORKER_SCRIPT = r"""
import hashlib
import numpy as np, jax
jax.config.update("jax_enable_x64", True)
import test_graph as t
digest, with_nan = hashlib.sha256(), hashlib.sha256()
for dtype in t.DTYPES:
    for out in t.big_graph_results(dtype):
        digest.update(out.tobytes())
    with_nan.update(t.big_graph_nan_results(dtype).tobytes())
print(with_nan.hexdigest(), digest.hexdigest())
"""


def big_graph_inputs(dtype):
    rng = np.random.default_rng(11)
    edges = random_graph(rng, BIG["n"], BIG["m"], dtype)
    x = rng.normal(size=(BIG["rows"], BIG["n"])).astype(dtype)
    w = rng.uniform(-0.5, 0.5, BIG["m"]).astype(dtype)
    positions = rng.uniform(-5, 5, (BIG["n"], 3)).astype(dtype)
    return x, edges, w, positions


def big_graph_results(dtype):
    """Cascade and edge lengths of a graph long enough to run on the pool."""
    x, edges, w, positions = big_graph_inputs(dtype)
    lengths = call("edge_lengths_fwd", shape((BIG["m"],), dtype), positions, edges)
    return cascade(x, edges, w, BIG["steps"]), lengths


def big_graph_nan_results(dtype):
    """A long edge list over a few nodes, with NaN of both signs among the values and weights:
    NaN meet NaN in the sums of every node."""
    rng = np.random.default_rng(12)
    n = 30
    x = rng.normal(size=(BIG["rows"], n)).astype(dtype)
    w = rng.uniform(-0.5, 0.5, BIG["m"]).astype(dtype)
    x[:, ::3], x[:, 1::4], w[::13], w[5::17] = np.nan, -np.nan, np.nan, -np.nan
    return cascade(x, random_graph(rng, n, BIG["m"], dtype), w, BIG["steps"])


def edge_lengths_oracle(positions, edges):
    """Square root of the squares added in coordinate order, in the element type."""
    src, dst = nodes_of(edges).T
    d = positions[dst] - positions[src]
    total = np.zeros(len(d), positions.dtype)
    for k in range(positions.shape[-1]):
        total = total + d[:, k] * d[:, k]
    return np.sqrt(total)


def test_long_edge_lists_give_the_same_bits_with_one_and_four_workers():
    runs = [out.split() for out in outputs_with_one_and_four_workers(WORKER_SCRIPT)]
    assert runs[0] == runs[1]  # NaN results included, bit for bit
    digests = [run[-1] for run in runs]
    expected = hashlib.sha256()
    for dtype in DTYPES:
        x, edges, w, positions = big_graph_inputs(dtype)
        expected.update(cascade_oracle(x, edges, w, BIG["steps"]).tobytes())
        expected.update(edge_lengths_oracle(positions, edges).tobytes())
    assert digests[0].decode() == expected.hexdigest()


def cascade_reference_vjp(x, edges, w, steps, g):
    """jax.vjp of sum_s A^s x with the dense matrix A[dst, src] = sum of the weights."""
    src, dst = nodes_of(edges).T
    n = x.shape[-1]

    def forward(x, w):
        a = jnp.zeros((n, n), x.dtype).at[dst, src].add(w)
        state, total = x, x
        for _ in range(steps):
            state = state @ a.T
            total = total + state
        return total

    return vjp64(forward, (x, w), g)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n,m,rows,steps,expect", [
    (7, 30, (3,), 2.7, 2),
    (20, 80, (2, 2), 5.0, 5),
    (5, 12, (), 1.0, 1),
    (6, 0, (2,), 4.0, 4),  # no edges: Y = X, dX = G
    (4, 9, (2,), np.nan, 0),
    (4, 9, (2,), -3.0, 0),
    (4, 9, (2,), 0.9, 0),
])
def test_cascade_matches_numpy_propagation_and_jax_gradient(dtype, n, m, rows, steps, expect):
    rng = np.random.default_rng(n + m)
    x, g = (rng.normal(size=rows + (n,)).astype(dtype) for _ in range(2))
    edges = random_graph(rng, n, m, dtype).reshape(m, 2)
    w = rng.uniform(-0.7, 0.7, m).astype(dtype)
    np.testing.assert_array_equal(cascade(x, edges, w, steps), cascade_oracle(x, edges, w, expect))
    dx, dw = cascade_vjp(x, edges, w, steps, g)
    rx, rw = cascade_reference_vjp(x, edges, w, expect, g)
    np.testing.assert_allclose(dx, rx, **TOL[dtype])
    np.testing.assert_allclose(dw, rw, **TOL[dtype])
    if expect == 0 or m == 0:
        np.testing.assert_array_equal(dx, g)
        assert not dw.any()
    else:
        # The second quarter repeats the first: each copy gets its own, equal, entry.
        q = m // 4
        np.testing.assert_array_equal(dw[q: 2 * q], dw[:q])


C_FWD = "cascade: buffer length mismatch"
C_VJP = "cascade_vjp: buffer length mismatch"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("x_shape,e_shape,w_len,steps,y_shape,text,zeroed", [
    ((2, 4), (3,), 1, [1], (2, 4), C_FWD, ()),
    ((2, 4), (3, 2), 2, [1], (2, 4), C_FWD, ()),
    ((2, 0), (3, 2), 3, [1], (2, 0), "inner block size must be positive", ()),
    ((2, 4), (3, 2), 3, [1], (9,), "cascade: output length mismatch", ()),
    ((2, 4), (3, 2), 3, [], (2, 4), "cascade: steps operand is empty", ()),
    ((2, 3), (3, 2), 3, [1], (2, 3), "edge 2 references node (0, 3) outside 0..3", (0,)),
])
def test_cascade_fwd_rejections(dtype, x_shape, e_shape, w_len, steps, y_shape, text, zeroed):
    edges = np.array([0, 1, 1, 2, 0, 3][: int(np.prod(e_shape))], dtype).reshape(e_shape)
    args = [np.ones(x_shape, dtype), edges, np.ones(w_len, dtype), np.array(steps, dtype)]
    check_rejected("cascade_fwd", args, [y_shape], text, zeroed)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("g_shape,w_len,steps,outs,text,zeroed", [
    ((2, 4), 2, [1], ((2, 4), (3,)), C_VJP, ()),
    ((2, 4), 3, [1], ((2, 4), (2,)), C_VJP, ()),
    ((7,), 3, [1], ((2, 4), (3,)), "buffer length 7 is not a multiple of inner size 4", ()),
    ((1, 4), 3, [1], ((2, 4), (3,)), "cascade_vjp: batch/output length mismatch", ()),
    ((2, 4), 3, [1], ((9,), (3,)), "cascade_vjp: batch/output length mismatch", ()),
    ((2, 4), 3, [], ((2, 4), (3,)), "cascade_vjp: steps operand is empty", ()),
    ((2, 4), 3, [2], ((2, 4), (3,)), "edge 1 references node (-1, 2) outside 0..4", (1,)),
])
def test_cascade_vjp_rejections(dtype, g_shape, w_len, steps, outs, text, zeroed):
    edges = np.array([[0, 1], [-1, 2], [3, 3]], dtype) if zeroed else np.array(
        [[0, 1], [1, 2], [3, 3]], dtype)
    args = [np.ones((2, 4), dtype), edges, np.ones(w_len, dtype), np.array(steps, dtype),
            np.ones(g_shape, dtype)]
    check_rejected("cascade_vjp", args, list(outs), text, zeroed)


HUGE_STEPS = r"""
import os, resource, sys
import numpy as np
from mirelon_jax import call_handler
used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))
for dtype in (np.float32, np.float64):
    for steps in (2.0**62, 1e30, np.inf):
        x = np.ones((2, 3), dtype)
        args = [x, np.array([[0, 1], [1, 2]], dtype), np.ones(2, dtype), np.array([steps], dtype)]
        y = np.full((2, 3), 7.5, dtype)
        print(call_handler("cascade_fwd", args, [y]), int((y == 7.5).all()))
        dx, dw = np.full((2, 3), 7.5, dtype), np.full(2, 7.5, dtype)
        print(call_handler("cascade_vjp", args + [x], [dx, dw]),
              int((dx == 7.5).all() and (dw == 7.5).all()))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs an enforced RLIMIT_AS")
def test_step_counts_whose_history_cannot_be_held_are_rejected_at_once():
    lines = run_child(HUGE_STEPS, timeout=60).decode().splitlines()
    expected = []
    for _ in DTYPES:
        for s in (2**62, 2**64 - 1, 2**64 - 1):
            for kernel in ("cascade", "cascade_vjp"):
                expected.append(f"{kernel}: a state history of {s} steps over 3 nodes exceeds "
                                "memory 1")
    assert lines == expected


# ---- edge lengths ----------------------------------------------------------------------------

def edge_lengths(positions, edges):
    ne = edges.shape[-2] if edges.ndim >= 2 else 1
    return call("edge_lengths_fwd", shape((ne,), positions.dtype), positions, edges)


def edge_lengths_reference_vjp(positions, edges, g):
    """jax.vjp of the lengths, each divided by its length floored at 1e-12 (a zero length has a
    zero gradient)."""
    src, dst = nodes_of(edges).T

    def lengths(x):
        d = x[dst] - x[src]
        squared = jnp.sum(d * d, axis=-1)
        safe = jnp.where(squared > 0, squared, 1.0)
        return jnp.where(squared > 0, jnp.sqrt(safe), 0.0)

    return vjp64(lengths, (positions,), g)[0]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("nodes,d,m", [(30, 2, 100), (12, 3, 40), (5, 1, 9), (4, 0, 6),
                                       (3, 2, 0)])
def test_edge_lengths_match_numpy_and_jax_gradient(dtype, nodes, d, m):
    rng = np.random.default_rng(nodes * d + m)
    positions = rng.uniform(-10, 10, (nodes, d)).astype(dtype)
    positions[1] = positions[0]  # coincident nodes: length exactly 0, no gradient
    edges = random_graph(rng, nodes, m, dtype).reshape(m, 2)
    lengths = edge_lengths(positions, edges)
    np.testing.assert_array_equal(lengths, edge_lengths_oracle(positions, edges))
    if d == 2:
        src, dst = nodes_of(edges).T
        diff = positions[dst] - positions[src]
        np.testing.assert_array_max_ulp(lengths, np.hypot(diff[:, 0], diff[:, 1]), maxulp=1)
    g = rng.normal(size=m).astype(dtype)
    dx = call("edge_lengths_vjp", shape(positions.shape, dtype), positions, edges, g)
    np.testing.assert_allclose(dx, edge_lengths_reference_vjp(positions, edges, g), **TOL[dtype])


EL_FWD = "edge_lengths: buffer length mismatch"
EL_VJP = "edge_lengths_vjp: buffer length mismatch"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,x_shape,e_shape,g_len,out_shape,text,zeroed", [
    ("edge_lengths_fwd", (2, 3, 2), (2, 2), None, (2,), EL_FWD, ()),
    ("edge_lengths_fwd", (3, 2), (2, 3), None, (2,), EL_FWD, ()),
    ("edge_lengths_fwd", (3, 2), (2, 2), None, (3,), EL_FWD, ()),
    ("edge_lengths_vjp", (3, 2), (2, 2), 3, (3, 2), EL_VJP, ()),
    ("edge_lengths_vjp", (3, 2), (2, 2), 2, (2, 2), EL_VJP, ()),
    ("edge_lengths_vjp", (0, 3, 2), (2, 2), 2, (3, 2),
     "edge_lengths_vjp: node positions length mismatch: expected at least 6 elements, got 0", ()),
    ("edge_lengths_vjp", (3, 2), (2, 1), 2, (3, 2),
     "edge_lengths_vjp: edges length mismatch: expected at least 4 elements, got 2", ()),
    ("edge_lengths_vjp", (3, 2), (3, 2), 3, (3, 2), "edge 2 references node (0, 3) outside 0..3",
     (0,)),
])
def test_edge_lengths_rejections(dtype, target, x_shape, e_shape, g_len, out_shape, text, zeroed):
    edges = np.array([0, 1, 2, 1, 0, 3][: int(np.prod(e_shape))], dtype).reshape(e_shape)
    args = [np.ones(x_shape, dtype), edges] + ([] if g_len is None else [np.ones(g_len, dtype)])
    check_rejected(target, args, [out_shape], text, zeroed)
