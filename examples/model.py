"""A small jitted model on mirelon's kernels: registers every target with JAX, pairs forward and
gradient targets with jax.custom_vjp, and evaluates values and gradients.

Run with the package installed (see the README).
"""
import ctypes

import jax
import jax.numpy as jnp
import numpy as np

from mirelon import _core

jax.config.update("jax_enable_x64", True)

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def register():
    jax.devices("cpu")  # start the CPU backend so that registration errors surface here
    for name, address in _core.handlers():
        jax.ffi.register_ffi_target(name, _capsule_new(address, None, None), platform="cpu",
                                    api_version=1)


def ffi(name, *shapes):
    return jax.ffi.ffi_call("mirelon_" + name, list(shapes), vmap_method="sequential")


def like(a):
    return jax.ShapeDtypeStruct(a.shape, a.dtype)


# Gaussian log-likelihood: forward and gradient targets joined by custom_vjp.
@jax.custom_vjp
def logp_gaussian(x, mu, sigma):
    return ffi("logp_gaussian_fwd", like(x))(x, mu, sigma)[0]


def _logp_fwd(x, mu, sigma):
    return logp_gaussian(x, mu, sigma), (x, mu, sigma)


def _logp_bwd(res, g):
    x, mu, sigma = res
    return tuple(ffi("logp_gaussian_vjp", like(x), like(mu), like(sigma))(x, mu, sigma, g))


logp_gaussian.defvjp(_logp_fwd, _logp_bwd)


# Distance from each query point to its nearest reference point.
@jax.custom_vjp
def nearest_distance(q, r):
    return _nearest(q, r)[0]


def _nearest(q, r):
    out = jax.ShapeDtypeStruct(q.shape[:-1], q.dtype)
    return ffi("points_closest_hard_fwd", out, out)(q, r)


def _nearest_fwd(q, r):
    dist, index = _nearest(q, r)
    return dist, (q, r, index)


def _nearest_bwd(res, g):
    q, r, index = res
    return tuple(ffi("points_closest_hard_vjp", like(q), like(r))(q, r, index, g))


nearest_distance.defvjp(_nearest_fwd, _nearest_bwd)


# Piecewise-linear curve through knots; differentiable in x.
@jax.custom_vjp
def pwl(x, xk, yk):
    return ffi("pwl_fwd", like(x))(x, xk, yk)[0]


def _pwl_fwd(x, xk, yk):
    return pwl(x, xk, yk), (x, xk, yk)


def _pwl_bwd(res, g):
    x, xk, yk = res
    (dx,) = ffi("pwl_vjp", like(x))(x, xk, yk, g)
    return dx, jnp.zeros_like(xk), jnp.zeros_like(yk)


pwl.defvjp(_pwl_fwd, _pwl_bwd)


def run(title, fn):
    print(f"ok       {title}: {fn()}")


def main():
    register()
    rng = np.random.default_rng(0)
    data = jnp.asarray(rng.normal(1.5, 0.7, 1000))

    @jax.jit
    def neg_log_likelihood(mu, sigma):
        return -jnp.sum(logp_gaussian(data, jnp.full((1,), mu), jnp.full((1,), sigma)))

    def gaussian_fit():
        value, grads = jax.value_and_grad(neg_log_likelihood, argnums=(0, 1))(1.0, 1.0)
        return f"nll={float(value):.4f} d/dmu={float(grads[0]):.4f} d/dsigma={float(grads[1]):.4f}"

    queries = jnp.asarray(rng.uniform(0, 1, (2, 500, 2)))
    points = jnp.asarray(rng.uniform(0, 1, (2, 300, 2)))

    @jax.jit
    def coverage(q, r):
        return jnp.mean(nearest_distance(q, r))

    def nearest_points():
        value, grad = jax.value_and_grad(coverage, argnums=1)(queries, points)
        return f"mean distance={float(value):.5f} |d/dR|={float(jnp.linalg.norm(grad)):.5f}"

    knots = jnp.linspace(0.0, 1.0, 8)
    values = jnp.sin(3.0 * knots)

    @jax.jit
    def curve_area(x):
        return jnp.sum(pwl(x, knots, values))

    def curve():
        x = jnp.linspace(0.0, 1.0, 101)
        value, grad = jax.value_and_grad(curve_area)(x)
        return f"sum={float(value):.5f} d/dx[50]={float(grad[50]):.5f}"

    run("gaussian log-likelihood and its gradient", gaussian_fit)
    run("nearest-point distances and their gradient", nearest_points)
    run("piecewise-linear curve and its gradient", curve)


if __name__ == "__main__":
    main()
