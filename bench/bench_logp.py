"""Gaussian and gamma log-densities, forward and gradient, with one-value parameters, against
jitted jax.scipy.stats.norm.logpdf / gamma.logpdf (forward) and their jax.vjp (gradient).
Set RAYON_NUM_THREADS=1 for one worker.
"""
import jax.numpy as jnp
from jax.scipy.stats import gamma, norm

from harness import ffi, one_value_reference, one_value_reference_vjp, run_sized


def _gamma_logpdf(x, a, b):
    return gamma.logpdf(x, a, scale=1 / b)


def _cases(n, dtype, rng):
    x = {"gaussian": jnp.asarray(rng.normal(0.3, 1.7, n), dtype),
         "gamma": jnp.asarray(rng.gamma(2.5, 1 / 1.5, n), dtype)}
    params = {"gaussian": (jnp.asarray([0.3], dtype), jnp.asarray([1.7], dtype)),
              "gamma": (jnp.asarray([2.5], dtype), jnp.asarray([1.5], dtype))}
    g = jnp.asarray(rng.normal(size=n), dtype)
    cases = []
    for family, fn, ref_name in (("gaussian", norm.logpdf, "norm.logpdf"),
                                 ("gamma", _gamma_logpdf, "gamma.logpdf")):
        args = (x[family], *params[family])
        cases.append((f"logp_{family} fwd", ffi(f"logp_{family}_fwd", (n,), dtype),
                      one_value_reference(fn), args, ref_name))
        cases.append((f"logp_{family} vjp", ffi(f"logp_{family}_vjp", [(n,), (1,), (1,)], dtype),
                      one_value_reference_vjp(fn), args + (g,), f"vjp({ref_name})"))
    return cases


def run():
    return run_sized("log-densities (one-value parameters)", _cases)


if __name__ == "__main__":
    run()
