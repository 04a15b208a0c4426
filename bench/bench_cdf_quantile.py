"""Gaussian distribution function and quantile, forward and gradient, against jitted
jax.scipy.stats.norm (forward) and its jax.vjp (gradient). Set RAYON_NUM_THREADS=1 for one worker.
"""
import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.stats import norm

from harness import Table, compare, setup


def _ffi(target, n, dtype, n_out=1):
    shapes = [jax.ShapeDtypeStruct((n,), dtype)] * n_out
    if n_out == 1:
        shapes = shapes[0]
    return jax.ffi.ffi_call("mirelon_" + target, shapes)


def _cases(n, dtype):
    cdf_f = _ffi("cdf_gaussian_fwd", n, dtype)
    q_f = _ffi("q_gaussian_fwd", n, dtype)
    cdf_b = jax.ffi.ffi_call("mirelon_cdf_gaussian_vjp", [
        jax.ShapeDtypeStruct((n,), dtype), jax.ShapeDtypeStruct((1,), dtype),
        jax.ShapeDtypeStruct((1,), dtype)])
    q_b = jax.ffi.ffi_call("mirelon_q_gaussian_vjp", [
        jax.ShapeDtypeStruct((n,), dtype), jax.ShapeDtypeStruct((1,), dtype),
        jax.ShapeDtypeStruct((1,), dtype)])

    def ref_grad(fn):
        def grad(x, mu, sigma, g):
            _, vjp = jax.vjp(lambda a, m, s: fn(a, m[0], s[0]).astype(a.dtype), x, mu, sigma)
            return vjp(g)
        return jax.jit(grad)

    return [
        ("cdf_gaussian fwd", jax.jit(cdf_f), jax.jit(lambda x, m, s: norm.cdf(x, m[0], s[0])),
         "x", "norm.cdf"),
        ("q_gaussian fwd", jax.jit(q_f),
         jax.jit(lambda p, m, s: norm.ppf(p, m[0], s[0]).astype(p.dtype)), "p", "norm.ppf"),
        ("cdf_gaussian vjp", jax.jit(cdf_b), ref_grad(norm.cdf), "xg", "vjp(norm.cdf)"),
        ("q_gaussian vjp", jax.jit(q_b), ref_grad(norm.ppf), "pg", "vjp(norm.ppf)"),
    ]


def run():
    rng = setup()
    table = Table("gaussian cdf / quantile")
    table.header()
    for n in (10**6, 10**7):
        for dtype in (np.float32, np.float64):
            x = jnp.asarray(rng.normal(0.3, 1.7, n), dtype)
            p = jnp.asarray(rng.uniform(0.0, 1.0, n), dtype)
            g = jnp.asarray(rng.normal(size=n), dtype)
            mu = jnp.asarray([0.3], dtype)
            sigma = jnp.asarray([1.7], dtype)
            args = {"x": (x, mu, sigma), "p": (p, mu, sigma),
                    "xg": (x, mu, sigma, g), "pg": (p, mu, sigma, g)}
            for case, ours, ref, key, ref_name in _cases(n, dtype):
                compare(table, f"{case} n=1e{len(str(n)) - 1} {np.dtype(dtype).name}", ours, ref,
                        args[key], ref_name)
    return table


if __name__ == "__main__":
    run()
