"""Kernel density estimate (10^4 queries x 10^4 samples), multivariate normal log-density and its
gradient (10^5 rows, d = 8) and mixture log-density (10^6 rows x 8 components) against the jitted
jax.numpy / jax.scipy code a user would write instead (and its jax.vjp).
Set RAYON_NUM_THREADS=1 for one worker.
"""
import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.special import logsumexp
from jax.scipy.stats import multivariate_normal, norm

from harness import compare, ffi, start, vjp_reference


def _kde(x, data, h):
    m = jnp.asarray(data.shape[0], x.dtype)
    return logsumexp(norm.logpdf(x[:, None], data[None, :], h[0]), axis=1) - jnp.log(m)


def _mvn(X, mu, L):
    return multivariate_normal.logpdf(X, mu, L @ L.T)


def _mixture(L, logw):
    return logsumexp(L + jax.nn.log_softmax(logw), axis=1)


def run():
    rng, table = start("kde, multivariate normal, mixture")
    for dtype in (np.float32, np.float64):
        name = np.dtype(dtype).name

        x = jnp.asarray(rng.normal(size=10**4), dtype)
        data = jnp.asarray(rng.normal(size=10**4), dtype)
        h = jnp.asarray([0.16], dtype)
        compare(table, f"kde fwd 1e4 x 1e4 {name}", ffi("kde_fwd", (10**4,), dtype),
                jax.jit(_kde), (x, data, h), "logsumexp(norm.logpdf)")

        n, d = 10**5, 8
        X = jnp.asarray(rng.normal(size=(n, d)), dtype)
        mu = jnp.asarray(rng.normal(size=d), dtype)
        a = rng.normal(size=(d, d))
        L = jnp.asarray(np.linalg.cholesky(a @ a.T + d * np.eye(d)), dtype)
        g = jnp.asarray(rng.normal(size=n), dtype)
        compare(table, f"mvn_logp fwd 1e5 x 8 {name}", ffi("mvn_logp_fwd", (n,), dtype),
                jax.jit(_mvn), (X, mu, L), "multivariate_normal.logpdf")
        compare(table, f"mvn_logp vjp 1e5 x 8 {name}",
                ffi("mvn_logp_vjp", [(n, d), (d,), (d, d)], dtype), vjp_reference(_mvn),
                (X, mu, L, g), "vjp(multivariate_normal)")

        comp = jnp.asarray(rng.normal(size=(10**6, 8)), dtype)
        logw = jnp.asarray(rng.normal(size=8), dtype)
        compare(table, f"mixture fwd 1e6 x 8 {name}", ffi("mixture_fwd", (10**6,), dtype),
                jax.jit(_mixture), (comp, logw), "logsumexp(L + log_softmax)")
    return table


if __name__ == "__main__":
    run()
