"""Graph cascade, edge lengths and points along polylines against the jitted jax.numpy a user
would write instead (scatter-add propagation, gathered differences, cumulative lengths with
searchsorted)."""
import jax
import jax.numpy as jnp
import numpy as np

from harness import compare, ffi, start

STEPS = 8


@jax.jit
def cascade_reference(x, edges, w, steps):
    del steps  # fixed at STEPS: the loop is unrolled at trace time
    src, dst = edges[:, 0].astype(jnp.int32), edges[:, 1].astype(jnp.int32)
    state, total = x, x
    for _ in range(STEPS):
        state = jnp.zeros_like(state).at[..., dst].add(w * state[..., src])
        total = total + state
    return total


@jax.jit
def edge_lengths_reference(x, edges):
    src, dst = edges[:, 0].astype(jnp.int32), edges[:, 1].astype(jnp.int32)
    d = x[dst] - x[src]
    return jnp.sqrt(jnp.sum(d * d, axis=-1))


def _point_at(v, s):
    """One open polyline v [Nv, D] at fractions s [Q]: point, segment, position."""
    d = v[1:] - v[:-1]
    length = jnp.sqrt(jnp.sum(d * d, axis=-1))
    cum = jnp.concatenate([jnp.zeros(1, v.dtype), jnp.cumsum(length)])
    target = jnp.clip(s, 0, 1) * jnp.maximum(cum[-1], 1e-12)
    i = jnp.clip(jnp.searchsorted(cum[1:-1], target, side="left"), 0, len(length) - 1)
    t = jnp.clip((target - cum[i]) / jnp.maximum(length[i], 1e-12), 0, 1)
    return d[i] * t[:, None] + v[i], i.astype(v.dtype), t


point_at_reference = jax.jit(jax.vmap(_point_at))


def point_at_ours(q, d, dtype):
    """The kernel mapped over a stack of polylines, one call per polyline."""
    call = jax.ffi.ffi_call("mirelon_boundary_point_at_fwd",
                            [jax.ShapeDtypeStruct((q, d), dtype),
                             jax.ShapeDtypeStruct((q,), dtype), jax.ShapeDtypeStruct((q,), dtype)],
                            vmap_method="sequential")
    return jax.jit(jax.vmap(lambda v, s, closed: call(v, s, closed), in_axes=(0, 0, None)))


def run():
    rng, table = start("graph cascade, edge lengths, point along a polyline "
                       "(ratio = jnp / ours)")
    for dtype in (np.float32, np.float64):
        name = np.dtype(dtype).name
        n, m = 10**5, 10**6
        edges = jnp.asarray(rng.integers(0, n, (m, 2)), dtype)
        x = jnp.asarray(rng.normal(size=(1, n)), dtype)
        w = jnp.asarray(rng.uniform(0, 0.1, m), dtype)
        steps = jnp.asarray([STEPS], dtype)
        compare(table, f"cascade_fwd n=1e5 m=1e6 S={STEPS} {name}",
                ffi("cascade_fwd", (1, n), dtype), cascade_reference, (x, edges, w, steps),
                "jnp scatter-add")

        positions = jnp.asarray(rng.uniform(0, 100, (n, 2)), dtype)
        compare(table, f"edge_lengths_fwd n=1e5 m=1e6 D=2 {name}",
                ffi("edge_lengths_fwd", (m,), dtype), edge_lengths_reference, (positions, edges),
                "jnp gather")

        lines, nv, q = 10**3, 10**3, 10**2
        v = jnp.asarray(np.cumsum(rng.normal(size=(lines, nv, 2)), axis=1), dtype)
        s = jnp.asarray(rng.uniform(0, 1, (lines, q)), dtype)
        closed = jnp.zeros(1, dtype)
        compare(table, f"boundary_point_at_fwd 1e3 lines Nv=1e3 Q=1e5 {name}",
                point_at_ours(q, 2, dtype), lambda v, s, c: point_at_reference(v, s),
                (v, s, closed), "jnp searchsorted (vmap)")
