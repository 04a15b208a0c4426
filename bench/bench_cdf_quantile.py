"""Gaussian distribution function and quantile, forward and gradient, against jitted
jax.scipy.stats.norm (forward) and its jax.vjp (gradient). Set RAYON_NUM_THREADS=1 for one worker.
"""
import jax.numpy as jnp
from jax.scipy.stats import norm

from harness import ffi, one_value_reference, one_value_reference_vjp, run_sized


def _cases(n, dtype, rng):
    x = jnp.asarray(rng.normal(0.3, 1.7, n), dtype)
    p = jnp.asarray(rng.uniform(0.0, 1.0, n), dtype)
    g = jnp.asarray(rng.normal(size=n), dtype)
    mu = jnp.asarray([0.3], dtype)
    sigma = jnp.asarray([1.7], dtype)
    grads = [(n,), (1,), (1,)]
    return [
        ("cdf_gaussian fwd", ffi("cdf_gaussian_fwd", (n,), dtype), one_value_reference(norm.cdf),
         (x, mu, sigma), "norm.cdf"),
        ("q_gaussian fwd", ffi("q_gaussian_fwd", (n,), dtype), one_value_reference(norm.ppf),
         (p, mu, sigma), "norm.ppf"),
        ("cdf_gaussian vjp", ffi("cdf_gaussian_vjp", grads, dtype),
         one_value_reference_vjp(norm.cdf), (x, mu, sigma, g), "vjp(norm.cdf)"),
        ("q_gaussian vjp", ffi("q_gaussian_vjp", grads, dtype),
         one_value_reference_vjp(norm.ppf), (p, mu, sigma, g), "vjp(norm.ppf)"),
    ]


def run():
    return run_sized("gaussian cdf / quantile", _cases)


if __name__ == "__main__":
    run()
