"""Transform curves at 10^6 points through jitted FFI calls, against the jitted jax.numpy code a
user would write instead."""
import jax
import jax.numpy as jnp
import numpy as np

from harness import compare, ffi, start

N = 1_000_000


def _bench_pwl(table, rng, dtype):
    k = 64
    xk = jnp.asarray(np.cumsum(rng.uniform(0.1, 1.0, k)), dtype)
    yk = jnp.asarray(rng.normal(size=k), dtype)
    x = jnp.asarray(rng.uniform(float(xk[0]) - 1, float(xk[-1]) + 1, N), dtype)
    ours = ffi("pwl_fwd", x.shape, dtype)
    ref = jax.jit(jnp.interp)
    compare(table, f"pwl_fwd 1e6 x 64 knots {np.dtype(dtype).name}", ours, ref, (x, xk, yk),
            "jnp.interp")


def _bench_logistic(table, rng, dtype):
    t = jnp.asarray(rng.uniform(-6, 6, N), dtype)
    t0, k, level = (jnp.asarray([v], dtype) for v in (0.3, 1.7, 2.5))
    ours = ffi("logistic_fwd", t.shape, dtype)
    ref = jax.jit(lambda t, t0, k, level: level / (jnp.exp(-(t - t0) * k) + 1))
    compare(table, f"logistic_fwd 1e6 shared params {np.dtype(dtype).name}", ours, ref,
            (t, t0, k, level), "jnp formula")


def _bench_periodic(table, rng, dtype):
    h = 8
    t = jnp.asarray(rng.uniform(-10, 10, N), dtype)
    period = jnp.asarray([1.3], dtype)
    a = jnp.asarray(rng.normal(size=h), dtype)
    phi = jnp.asarray(rng.uniform(-3, 3, h), dtype)
    c = jnp.asarray([0.2], dtype)
    ours = ffi("periodic_fwd", t.shape, dtype)

    def ref(t, period, a, phi, c):
        k = jnp.arange(1, a.shape[0] + 1, dtype=t.dtype) * (2 * np.pi)
        ang = (k[None, :] * t[:, None]) / period - phi[None, :]
        return c + jnp.sum(jnp.cos(ang) * a[None, :], axis=1)

    compare(table, f"periodic_fwd 1e6 x 8 harmonics {np.dtype(dtype).name}", ours, jax.jit(ref),
            (t, period, a, phi, c), "jnp cos-sum")


def _bench_table2d(table, rng, dtype):
    nx, ny = 64, 48
    xs = jnp.asarray(np.cumsum(rng.uniform(0.1, 1.0, nx)), dtype)
    ys = jnp.asarray(np.cumsum(rng.uniform(0.1, 1.0, ny)), dtype)
    tab = jnp.asarray(rng.normal(size=(ny, nx)), dtype)
    x = jnp.asarray(rng.uniform(float(xs[0]), float(xs[-1]), N), dtype)
    y = jnp.asarray(rng.uniform(float(ys[0]), float(ys[-1]), N), dtype)
    ours = ffi("table2d_fwd", x.shape, dtype)

    def ref(x, y, xs, ys, tab):
        ix = jnp.clip(jnp.searchsorted(xs, x, side="right") - 1, 0, xs.shape[0] - 2)
        iy = jnp.clip(jnp.searchsorted(ys, y, side="right") - 1, 0, ys.shape[0] - 2)
        fx = (jnp.clip(x, xs[0], xs[-1]) - xs[ix]) / (xs[ix + 1] - xs[ix])
        fy = (jnp.clip(y, ys[0], ys[-1]) - ys[iy]) / (ys[iy + 1] - ys[iy])
        return ((1 - fy) * ((1 - fx) * tab[iy, ix] + fx * tab[iy, ix + 1])
                + fy * ((1 - fx) * tab[iy + 1, ix] + fx * tab[iy + 1, ix + 1]))

    compare(table, f"table2d_fwd 1e6 on 64 x 48 {np.dtype(dtype).name}", ours, jax.jit(ref),
            (x, y, xs, ys, tab), "jnp searchsorted+gather")


def run():
    rng, table = start("transform curves (10^6 points)")
    for dtype in (np.float32, np.float64):
        _bench_pwl(table, rng, dtype)
        _bench_logistic(table, rng, dtype)
        _bench_periodic(table, rng, dtype)
        _bench_table2d(table, rng, dtype)
    return table
