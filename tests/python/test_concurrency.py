"""One jitted model over kernels of every family (densities, multivariate densities, closest
points and polygons through the hierarchy cache over more reference sets than it keeps, shapes,
grids, transforms) called from 16 threads at once, each thread on its own data: every call gives
the bits of the same call made alone."""
import threading

import jax
import numpy as np
import pytest

from mirelon_jax import ffi, shape

THREADS = 16
CALLS_PER_THREAD = 3
N = 1024
SETS = 70  # reference sets per call, more than a cache map keeps (64)


def _inputs(seed, dtype):
    rng = np.random.default_rng(seed)

    def u(lo, hi, *dims):
        return rng.uniform(lo, hi, dims).astype(dtype)

    a = rng.normal(size=(3, 3))
    return {
        "x": u(-3, 3, N), "mu": u(-1, 1, N), "sigma": u(0.5, 2, 1), "p": u(0.01, 0.99, N),
        "comp": u(-5, 0, N, 4), "logw": u(-1, 1, 4),
        "X": u(-2, 2, N, 3), "mean": u(-1, 1, 3), "g": u(-1, 1, N),
        "L": np.linalg.cholesky(a @ a.T + 3 * np.eye(3)).astype(dtype),
        "queries": u(-5, 5, SETS, 16, 2), "refs": u(-5, 5, SETS, 24, 2),
        "polygons": u(-5, 5, SETS, 6, 2),
        "pts3": u(-3, 3, 1, N, 3), "normals": u(-1, 1, 1, 6, 3), "offsets": u(0.5, 2, 1, 6),
        "tau": np.asarray([0.25], dtype),
        "pts2": u(-4, 4, 2, N // 2, 2), "centres": u(-1, 1, 2, 2), "axes": u(0.5, 3, 2, 2),
        "angles": u(-3, 3, 2),
        "grid": u(-1, 1, 1, 9, 11), "grid_pts": u(-1, 12, 1, 8 * N, 2),
        "origin": np.asarray([-0.5, 0.25], dtype), "spacing": np.asarray([1.25, 0.75], dtype),
        "xk": np.sort(u(-3, 3, 12)), "yk": u(-1, 1, 12),
        "t0": u(-1, 1, 1), "k": u(0.5, 2, N), "cap": u(1, 3, 1),
        "y": u(-3, 3, N), "xs": np.linspace(-3, 3, 9).astype(dtype),
        "ys": np.linspace(-3, 3, 7).astype(dtype), "table": u(-1, 1, 7, 9),
    }


def _model(dtype):
    def k(target, *out_shapes):
        return ffi(target, [shape(s, dtype) for s in out_shapes])

    def model(d):
        n, b = (N,), (SETS, 16)
        out = {}
        (out["logp"],) = k("logp_gaussian_fwd", n)(d["x"], d["mu"], d["sigma"])
        (out["quantile"],) = k("q_gaussian_fwd", n)(d["p"], d["mu"], d["sigma"])
        (out["mixture"],) = k("mixture_fwd", n)(d["comp"], d["logw"])
        (out["mvn"],) = k("mvn_logp_fwd", n)(d["X"], d["mean"], d["L"])
        out["mvn_vjp"] = k("mvn_logp_vjp", (N, 3), (3,), (3, 3))(d["X"], d["mean"], d["L"],
                                                                  d["g"])
        out["closest"] = k("points_closest_hard_fwd", b, b)(d["queries"], d["refs"])
        out["polygon"] = k("polygon_sd_fwd", b, b, b)(d["queries"], d["polygons"])
        (out["halfspace"],) = k("halfspace_sd_fwd", (1, N))(d["pts3"], d["normals"],
                                                            d["offsets"], d["tau"])
        (out["ellipse"],) = k("ellipse_sd_fwd", (2, N // 2))(d["pts2"], d["centres"], d["axes"],
                                                             d["angles"])
        (out["field"],) = k("field_interp_fwd", (1, 8 * N))(d["grid"], d["grid_pts"], d["origin"],
                                                            d["spacing"])
        # Transforms, fed by the density output so that the kernels run in sequence as well.
        (curve,) = k("pwl_fwd", n)(out["logp"] * 0.1, d["xk"], d["yk"])
        (out["logistic"],) = k("logistic_fwd", n)(curve, d["t0"], d["k"], d["cap"])
        (out["table"],) = k("table2d_fwd", n)(d["x"], d["y"], d["xs"], d["ys"], d["table"])
        out["total"] = sum(v.sum() for v in jax.tree_util.tree_leaves(out))
        return out

    return jax.jit(model)


def _differences(got, want):
    """Names of the outputs whose bits differ (any NaN matching any NaN)."""
    bad = []
    flat_got = jax.tree_util.tree_flatten_with_path(got)[0]
    for (path, g), w in zip(flat_got, jax.tree_util.tree_leaves(want)):
        g, w = np.asarray(g), np.asarray(w)
        bits = np.dtype(f"u{g.dtype.itemsize}")
        same = (g.view(bits) == w.view(bits)) | (np.isnan(g) & np.isnan(w))
        if g.shape != w.shape or not same.all():
            bad.append(jax.tree_util.keystr(path))
    return bad


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_model_gives_the_same_bits_from_sixteen_threads_at_once(registered, dtype):
    model = _model(dtype)
    inputs = [_inputs(seed, dtype) for seed in range(THREADS)]
    alone = [jax.device_get(model(d)) for d in inputs]
    assert np.isfinite(alone[0]["total"])

    start = threading.Barrier(THREADS)
    failures = []

    def caller(t):
        try:
            start.wait()
            for _ in range(CALLS_PER_THREAD):
                bad = _differences(jax.device_get(model(inputs[t])), alone[t])
                if bad:
                    failures.append((t, bad))
        except Exception as e:  # reported below, not lost in the thread
            failures.append((t, repr(e)))

    threads = [threading.Thread(target=caller, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []
