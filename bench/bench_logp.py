"""Gaussian and gamma log-densities, forward and gradient, with one-value parameters, against
jitted jax.scipy.stats.norm.logpdf / gamma.logpdf (forward) and their jax.vjp (gradient).
Set RAYON_NUM_THREADS=1 for one worker.
"""
import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.stats import gamma, norm

from harness import Table, compare, setup


def _gamma_logpdf(x, a, b):
    return gamma.logpdf(x, a, scale=1 / b)


def _cases(n, dtype):
    out = jax.ShapeDtypeStruct((n,), dtype)
    one = jax.ShapeDtypeStruct((1,), dtype)

    def ref_grad(fn):
        def grad(x, p1, p2, g):
            _, pullback = jax.vjp(lambda a, u, v: fn(a, u[0], v[0]).astype(a.dtype), x, p1, p2)
            return pullback(g)
        return jax.jit(grad)

    cases = []
    for family, fn, ref_name in (("gaussian", norm.logpdf, "norm.logpdf"),
                                 ("gamma", _gamma_logpdf, "gamma.logpdf")):
        fwd = jax.jit(jax.ffi.ffi_call(f"mirelon_logp_{family}_fwd", out))
        vjp = jax.jit(jax.ffi.ffi_call(f"mirelon_logp_{family}_vjp", [out, one, one]))
        ref = jax.jit(lambda x, u, v, fn=fn: fn(x, u[0], v[0]).astype(x.dtype))
        cases.append((f"logp_{family} fwd", fwd, ref, False, ref_name))
        cases.append((f"logp_{family} vjp", vjp, ref_grad(fn), True, f"vjp({ref_name})"))
    return cases


def run():
    rng = setup()
    table = Table("log-densities (one-value parameters)")
    table.header()
    for n in (10**6, 10**7):
        for dtype in (np.float32, np.float64):
            x = {"gaussian": jnp.asarray(rng.normal(0.3, 1.7, n), dtype),
                 "gamma": jnp.asarray(rng.gamma(2.5, 1 / 1.5, n), dtype)}
            params = {"gaussian": (jnp.asarray([0.3], dtype), jnp.asarray([1.7], dtype)),
                      "gamma": (jnp.asarray([2.5], dtype), jnp.asarray([1.5], dtype))}
            g = jnp.asarray(rng.normal(size=n), dtype)
            for case, ours, ref, with_g, ref_name in _cases(n, dtype):
                family = case.split()[0][len("logp_"):]
                args = (x[family], *params[family]) + ((g,) if with_g else ())
                compare(table, f"{case} n=1e{len(str(n)) - 1} {np.dtype(dtype).name}", ours, ref,
                        args, ref_name)
    return table


if __name__ == "__main__":
    run()
