"""Univariate log-density kernels through JAX: values against SciPy, gradients against jax.vjp of
a jax.numpy reference, the 32-bit copies against the 64-bit ones, vector paths against the
element-wise path, pool-size independence, and the length checks."""
import functools

import jax
import jax.numpy as jnp
import jax.scipy.special as jsp
import numpy as np
import pytest
import scipy.special as sps
from scipy import stats

from mirelon_jax import (call, call_handler, check_rejected, outputs_with_one_and_four_workers,
                         rejected_with, run_child, shape)

DTYPES = [np.float64, np.float32]
NAN, INF = np.nan, np.inf
TWO_PI = 6.283185307179586


def fwd(family, x, *params):
    x = np.asarray(x)
    return call(f"logp_{family}_fwd", shape(x.shape, x.dtype), x, *params)


def vjp(family, x, *params, g):
    x = np.asarray(x)
    outs = [shape(x.shape, x.dtype)] + [shape(np.shape(p), x.dtype) for p in params]
    return call(f"logp_{family}_vjp", outs, x, *params, g)


# ---- references ----------------------------------------------------------------------------
# SciPy gives the textbook log-densities; the kernels' own conventions (clamp of the beta
# observation, x = 0 outside the gamma and Weibull supports, seven images of the wrapped
# gaussian) are applied around it.

def beta_clamp(x):
    return np.clip(np.where(np.isnan(x), 1e-6, x), 1e-6, 0.999999)


def wrapped_gaussian_textbook(x, mu, sigma, floor=1e-12):
    # The kernel adds 1e-12 to the unnormalised image sum, a floor for observations far from mu.
    k = np.arange(-60, 61)[:, None]
    dens = stats.norm.pdf(x + TWO_PI * k, mu, sigma).sum(axis=0)
    return np.log(dens + floor / (sigma * 2.5066282746310002))


def vonmises_scipy(x, mu, kappa):
    # kappa cos(x - mu) - ln(2 pi I0(kappa)), written through i0e for large kappa
    return kappa * (np.cos(x - mu) - 1) - np.log(TWO_PI * sps.i0e(kappa))


SCIPY = {
    "gaussian": lambda x, m, s: stats.norm.logpdf(x, m, s),
    "lognormal": lambda x, m, s: np.where(x <= 0, -INF,
                                          stats.lognorm.logpdf(x, s, scale=np.exp(m))),
    "exponential": lambda x, r: stats.expon.logpdf(x, scale=1 / r),
    "uniform": lambda x, a, b: stats.uniform.logpdf(x, a, b - a),
    "weibull": lambda x, lam, k: np.where(x <= 0, -INF, stats.weibull_min.logpdf(x, k, scale=lam)),
    "gumbel": lambda x, m, b: stats.gumbel_r.logpdf(x, m, b),
    "gamma": lambda x, a, b: np.where(x <= 0, -INF, stats.gamma.logpdf(x, a, scale=1 / b)),
    "beta": lambda x, a, b: stats.beta.logpdf(beta_clamp(x), a, b),
    "vonmises": vonmises_scipy,
    "wrapped_gaussian": wrapped_gaussian_textbook,
}

# Grids: observations crossing every support edge and branch, parameters crossing the branches of
# the special functions (Lanczos reflection, Bessel switch at 3.75).
GRIDS = {
    "gaussian": ([-6, -1, 0, 0.5, 2, 9], [0.0, 1.5], [0.3, 2.0]),
    "lognormal": ([-1, 0, 1e-3, 0.5, 1, 3, 20], [-0.5, 1.0], [0.4, 1.5]),
    "exponential": ([-1, -1e-30, -0.0, 0.0, 0.5, 3, 40], [0.5, 3.0]),
    "uniform": ([-1, -2, 0, 0.5, 1, 1.0000001, 4, 5], [-2.0, 0.0], [1.0, 4.0]),
    "weibull": ([-1, 0, 0.1, 1, 2.5, 6], [0.7, 2.0], [0.6, 1.0, 3.0]),
    "gumbel": ([-4, -1, 0, 0.5, 3, 8], [0.0, 1.0], [0.5, 2.0]),
    "gamma": ([-1, 0, 1e-3, 0.5, 2, 10, 40], [0.4, 1.0, 3.5, 30.0], [0.5, 2.0]),
    "beta": ([-0.5, 0, 1e-7, 1e-3, 0.3, 0.9, 0.9999999, 1, 2], [0.5, 2.0], [0.7, 5.0]),
    "vonmises": ([-7, -3, -1, 0, 0.4, 2, 3.14, 6.5], [0.0, 2.0], [0.0, 0.5, 3.7, 3.75, 10.0, 80.0]),
    "wrapped_gaussian": ([-3, -1, 0, 0.5, 2, 3.1], [0.0, 0.3], [0.5, 1.0, 2.0]),
}

# Absolute tolerances of the 64-bit copies against SciPy: rounding for the elementary families,
# the accuracy of the Lanczos sum, and about 2e-7 relative for the Bessel approximation.
ATOL64 = {"gamma": 1e-12, "beta": 1e-12, "vonmises": 1e-6, "wrapped_gaussian": 1e-12}

FAMILIES = list(GRIDS)


def grid(family, dtype):
    """Observations and per-element parameters covering the full product of the grid."""
    axes = np.meshgrid(*[np.asarray(a, np.float64) for a in GRIDS[family]], indexing="ij")
    return [a.ravel().astype(dtype) for a in axes]


def clamp_like_32bit(family, x):
    """The 64-bit copy's observations for comparing with the 32-bit one: the beta clamp bounds
    are single-precision values in the 32-bit copy."""
    if family != "beta":
        return x
    lo, hi = np.float32(1e-6), np.float32(0.999999)
    return np.clip(np.where(np.isnan(x), lo, x), lo, hi)


def scipy_value(family, x, *params):
    with np.errstate(all="ignore"):
        return SCIPY[family](*[np.asarray(a, np.float64) for a in (x, *params)])


# ---- forward values ------------------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
def test_forward_64bit_matches_scipy_over_the_grid(family):
    x, *params = grid(family, np.float64)
    got = fwd(family, x, *params)
    want = scipy_value(family, x, *params)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=ATOL64.get(family, 1e-13))


@pytest.mark.parametrize("family", FAMILIES)
def test_forward_32bit_tracks_the_64bit_copy(family):
    x, *params = grid(family, np.float32)
    got = fwd(family, x, *params)
    assert got.dtype == np.float32
    want = fwd(family, *[a.astype(np.float64) for a in (clamp_like_32bit(family, x), *params)])
    np.testing.assert_array_equal(np.isinf(got), np.isinf(want))
    finite = np.isfinite(want)
    # Single-precision steps on values of magnitude up to |logp| plus its largest term.
    scale = 1 + np.abs(want[finite]) + np.abs(np.log(np.abs(x[finite].astype(np.float64)) + 1e-30))
    assert np.all(np.abs(got[finite] - want[finite]) <= 8e-7 * scale * 8), family


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("family, x, params, want", [
    ("gaussian", 0.7, (0.7, 1.0), -0.9189385332046727),
    ("gaussian", 1.0, (1.0, 0.0), NAN),
    ("gaussian", 1.0, (0.0, -1.0), NAN),
    ("lognormal", 0.0, (0.0, 1.0), -INF),
    ("lognormal", -1.0, (0.0, 1.0), -INF),
    ("lognormal", 1.0, (0.0, 1.0), -0.9189385332046727),
    ("lognormal", NAN, (0.0, 1.0), NAN),
    ("exponential", 0.0, (2.0,), 0.6931471805599453),
    ("exponential", -0.0, (2.0,), 0.6931471805599453),
    ("exponential", -1e-30, (2.0,), -INF),
    ("exponential", 1.0, (2.0,), 0.6931471805599453 - 2),
    ("exponential", 3.0, (0.0,), -INF),
    ("exponential", NAN, (2.0,), NAN),
    ("uniform", 0.0, (0.0, 4.0), -1.3862943611198906),
    ("uniform", 4.0, (0.0, 4.0), -1.3862943611198906),
    ("uniform", NAN, (0.0, 4.0), -1.3862943611198906),
    ("uniform", 5.0, (0.0, NAN), NAN),
    ("uniform", -1.0, (0.0, NAN), -INF),
    ("uniform", 2.0, (2.0, 2.0), INF),
    ("uniform", 1.0, (4.0, 0.0), -INF),
    ("weibull", 1.0, (1.0, 2.0), -0.3068528194400547),
    ("weibull", 0.0, (1.0, 1.0), -INF),
    ("weibull", 0.0, (1.0, 0.5), -INF),
    ("weibull", NAN, (1.0, 2.0), NAN),
    ("gumbel", 1.5, (1.5, 2.0), -1 - 0.6931471805599453),
    ("gamma", 0.0, (1.0, 2.0), -INF),
    ("gamma", -1.0, (3.0, 2.0), -INF),
    ("gamma", 1.0, (1.0, 2.0), 0.6931471805599453 - 2),
    ("gamma", NAN, (1.0, 2.0), NAN),
    ("vonmises", 0.3, (1.2, 0.0), -1.8378770664093453),
    ("wrapped_gaussian", 0.0, (0.0, 1.0), -0.9189385278530966),
    ("wrapped_gaussian", 100.0, (0.0, 1.0), -28.54995964913322),
])
def test_forward_edge_values(dtype, family, x, params, want):
    got = fwd(family, np.array([x], dtype), *[np.array([p], dtype) for p in params])[0]
    if np.isnan(want) or np.isinf(want):
        np.testing.assert_array_equal(got, want)
    else:
        np.testing.assert_allclose(got, want, rtol=1e-13 if dtype == np.float64 else 2e-6)


def test_gaussian_32bit_uses_the_single_precision_constant():
    got = fwd("gaussian", np.array([0.7], np.float32), np.array([0.7], np.float32),
              np.array([1.0], np.float32))
    assert got[0] == np.float32(-0.9189385332046727)


@pytest.mark.parametrize("dtype", DTYPES)
def test_beta_evaluates_out_of_range_observations_at_the_clamp_bounds(dtype):
    a, b = np.array([2.5], dtype), np.array([0.7], dtype)
    x = np.array([0, -1, NAN, 1e-6, 1, 2, 0.999999], dtype)
    got = fwd("beta", x, a, b)
    assert np.all(got[:4] == got[3]) and np.all(got[4:] == got[6])
    bounds = np.array([1e-6, 0.999999], dtype).astype(np.float64)
    np.testing.assert_allclose(got[[3, 6]], stats.beta.logpdf(bounds, 2.5, 0.7),
                               rtol=1e-12 if dtype == np.float64 else 2e-5)


@pytest.mark.parametrize("dtype", DTYPES)
def test_vonmises_negative_concentration_keeps_its_sign_in_the_cosine_term(dtype):
    mu = 0.4
    x = np.array([mu, mu + np.pi], dtype)
    norm = np.log(TWO_PI * sps.i0e(2.0))
    for kappa, want in [(-2.0, [-norm, 4 - norm]), (2.0, [-norm, -4 - norm])]:
        got = fwd("vonmises", x, np.array([mu], dtype), np.array([kappa], dtype))
        np.testing.assert_allclose(got, want, rtol=2e-6 if dtype == np.float32 else 1e-7)


def test_wrapped_gaussian_sums_seven_images_plus_a_floor():
    x, mu, sigma = np.array([0.0, 4.0, 9.0, 100.0]), np.array([0.0]), np.array([3.0])
    k = np.arange(3, -4, -1)[:, None]
    s = np.exp(-0.5 * ((x + TWO_PI * k) / 3.0) ** 2).sum(axis=0) + 1e-12
    want = np.log(s) - np.log(3.0 * 2.5066282746310002)
    np.testing.assert_allclose(fwd("wrapped_gaussian", x, mu, sigma), want, rtol=1e-13)
    # With a wide sigma the truncation to seven images is visible against the infinite sum.
    wide = fwd("wrapped_gaussian", x[1:2], mu, np.array([6.0]))[0]
    assert abs(wide - wrapped_gaussian_textbook(4.0, 0.0, 6.0)[0]) > 1e-4


# ---- vector paths and pool workers -----------------------------------------------------------

SPECIAL_X = np.array([NAN, INF, -INF, 0.0, -0.0, -1.0, 1e-300, 0.25, 1.0, 3.5, 7.0])
SHAPES = {"exponential": 1}


def mixed_inputs(family, dtype, n, rng):
    x = rng.normal(1.0, 2.0, n)
    x[: len(SPECIAL_X)] = SPECIAL_X
    x[-5:] = [0, 1, -1, 2, NAN]
    params = [rng.uniform(0.2, 3.0, n) for _ in range(SHAPES.get(family, 2))]
    if family == "uniform":
        params[1] = params[0] + rng.uniform(0.0, 4.0, n)
    return [a.astype(dtype) for a in (x, *params)]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("family", FAMILIES)
def test_broadcast_parameters_give_the_element_wise_result_bit_for_bit(family, dtype):
    rng = np.random.default_rng(7)
    n = 1037  # an odd length leaves a remainder after every vector width
    x, *params = mixed_inputs(family, dtype, n, rng)
    for mask in range(1, 2 ** len(params)):
        one = [p[:1] if mask >> k & 1 else p for k, p in enumerate(params)]
        full = [np.broadcast_to(p, (n,)).copy() for p in one]
        np.testing.assert_array_equal(fwd(family, x, *one), fwd(family, x, *full))


WORKER_SCRIPT = r"""
import hashlib
import numpy as np, jax
jax.config.update("jax_enable_x64", True)
import test_logp as t
digest = hashlib.sha256()
for dtype in t.DTYPES:
    for family in t.FAMILIES:
        x, *params = t.mixed_inputs(family, dtype, 200_003, np.random.default_rng(3))
        digest.update(t.fwd(family, x, *params).tobytes())
        digest.update(t.fwd(family, x, *[p[:1] for p in params]).tobytes())
print(digest.hexdigest())
"""


def test_forward_results_do_not_depend_on_the_worker_count():
    digests = [out.split()[-1] for out in outputs_with_one_and_four_workers(WORKER_SCRIPT)]
    assert digests[0] == digests[1]


# ---- gradients -------------------------------------------------------------------------------
# jax.numpy references of the same formulas; jax.vjp differentiates them independently of the
# kernels' hand-written factors. Branches outside the support contribute zero terms.

def _safe(cond, x, fill):
    return jnp.where(cond, fill, x)


def _ref_lognormal(x, m, s):
    out = _safe(x <= 0, x, 1.0)
    l = jnp.log(out)
    v = -0.5 * ((l - m) / s) ** 2 - l - jnp.log(s) - 0.9189385332046727
    return jnp.where(x <= 0, -jnp.inf, v)


def _ref_weibull(x, lam, k):
    xs = _safe(x <= 0, x, 1.0)
    v = (jnp.log(xs) - jnp.log(lam)) * (k - 1) + jnp.log(k) - jnp.log(lam) - (xs / lam) ** k
    return jnp.where(x <= 0, -jnp.inf, v)


def _ref_gamma(x, a, b):
    xs = _safe(x <= 0, x, 1.0)
    v = (a - 1) * jnp.log(xs) + a * jnp.log(b) - b * xs - jsp.gammaln(a)
    return jnp.where(x <= 0, -jnp.inf, v)


def _ref_beta(x, a, b):
    # the clamp moves the value but is not differentiated
    xc = jax.lax.stop_gradient(jnp.clip(jnp.where(jnp.isnan(x), 1e-6, x), 1e-6, 0.999999))
    xc = xc + (x - jax.lax.stop_gradient(x))
    return (a - 1) * jnp.log(xc) + (b - 1) * jnp.log1p(-xc) - jsp.betaln(a, b)


def _ref_exponential(x, r):
    xs = _safe(x < 0, x, 0.0)
    return jnp.where(x < 0, -jnp.inf, jnp.log(r) - xs * r)


def _ref_uniform(x, a, b):
    return jnp.where((x < a) | (x > b), -jnp.inf, -jnp.log(b - a)) + 0 * x


def _ref_wrapped_gaussian(x, m, s):
    k = jnp.arange(3, -4, -1).reshape((7,) + (1,) * jnp.ndim(x))
    w = jnp.exp(-0.5 * ((x - m + TWO_PI * k) / s) ** 2)
    return jnp.log(w.sum(axis=0) + 1e-12) - jnp.log(s * 2.5066282746310002)


JNP = {
    "gaussian": lambda x, m, s: -0.5 * ((x - m) / s) ** 2 - jnp.log(s) - 0.9189385332046727,
    "lognormal": _ref_lognormal,
    "exponential": _ref_exponential,
    "uniform": _ref_uniform,
    "weibull": _ref_weibull,
    "gumbel": lambda x, m, b: -(x - m) / b - jnp.exp(-(x - m) / b) - jnp.log(b),
    "gamma": _ref_gamma,
    "beta": _ref_beta,
    "vonmises": lambda x, m, k: k * (jnp.cos(x - m) - 1) - jnp.log(jsp.i0e(k) * TWO_PI),
    "wrapped_gaussian": _ref_wrapped_gaussian,
}

# Gradient tolerances (absolute, after scaling by 1 + |value|): digamma's asymptotic series and
# the Bessel ratio are approximations; the rest is rounding.
GRAD_ATOL64 = {"gamma": 1e-9, "beta": 1e-9, "vonmises": 2e-6}


def reference_vjp(family, x, params, g):
    def f(x, *ps):
        return JNP[family](x, *ps)
    args = [jnp.asarray(a, jnp.float64) for a in (x, *params)]
    _, pullback = jax.vjp(f, *args)
    return [np.asarray(c) for c in pullback(jnp.asarray(g, jnp.float64))]


def gradient_grid(family, dtype):
    x, *params = grid(family, dtype)
    if family == "vonmises":  # |kappa| has a kink at 0: compare where kappa > 0
        keep = params[1] > 0
        x, params = x[keep], [p[keep] for p in params]
    g = np.linspace(-1.5, 2.0, x.size).astype(dtype)
    return x, params, g


@pytest.mark.parametrize("family", FAMILIES)
def test_gradient_64bit_matches_jax_vjp_of_a_reference(family):
    x, params, g = gradient_grid(family, np.float64)
    got = vjp(family, x, *params, g=g)
    want = reference_vjp(family, x, params, g)
    atol = GRAD_ATOL64.get(family, 1e-12)
    for k, (a, b) in enumerate(zip(got, want)):
        finite = np.isfinite(b)
        np.testing.assert_array_equal(np.isfinite(a), finite, err_msg=f"{family} output {k}")
        np.testing.assert_allclose(a[finite], b[finite], rtol=1e-11, atol=atol,
                                   err_msg=f"{family} output {k}")


@pytest.mark.parametrize("family", FAMILIES)
def test_gradient_of_broadcast_parameters_is_the_sum_in_index_order(family):
    for dtype in DTYPES:
        x, params, g = gradient_grid(family, dtype)
        x, g = x[:40], g[:40]
        params = [p[:40] for p in params]
        one = [p[:1] for p in params]
        per_element = vjp(family, x, *[np.broadcast_to(p, x.shape).copy() for p in one], g=g)
        broadcast = vjp(family, x, *one, g=g)
        np.testing.assert_array_equal(broadcast[0], per_element[0])
        for k in range(len(one)):
            total = functools.reduce(lambda s, v: dtype(s + v), per_element[1 + k], dtype(0))
            np.testing.assert_array_equal(broadcast[1 + k], [total])
        if dtype == np.float64:
            want = reference_vjp(family, x, one, g)
            atol = GRAD_ATOL64.get(family, 1e-12) * x.size
            for a, b in zip(broadcast, want):
                np.testing.assert_allclose(a, b, rtol=1e-10, atol=atol)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mu_one, sigma_one", [(True, True), (False, True), (True, False),
                                              (False, False)])
def test_gaussian_gradient_is_bit_exact_with_the_element_wise_formula(dtype, mu_one, sigma_one):
    # No elementary function takes part, so NumPy's IEEE operations in the same grouping and a
    # sequential sum give the exact expected bits.
    rng = np.random.default_rng(11)
    n = 203
    x = rng.normal(0, 3, n).astype(dtype)
    mu = rng.normal(0, 1, 1 if mu_one else n).astype(dtype)
    sigma = rng.uniform(0.2, 3, 1 if sigma_one else n).astype(dtype)
    g = rng.normal(0, 1, n).astype(dtype)
    z = (x - mu) / sigma
    want_dx = ((-z) / sigma) * g
    terms = [(z / sigma) * g, ((z * z - dtype(1)) / sigma) * g]
    dx, dmu, dsigma = vjp("gaussian", x, mu, sigma, g=g)
    np.testing.assert_array_equal(dx, want_dx)
    for got, one, t in zip((dmu, dsigma), (mu_one, sigma_one), terms):
        want = [functools.reduce(lambda s, v: dtype(s + v), t, dtype(0))] if one else t
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("family", FAMILIES)
def test_gradient_32bit_tracks_the_64bit_copy(family):
    x, params, g = gradient_grid(family, np.float32)
    got = vjp(family, x, *params, g=g)
    want = vjp(family, *[a.astype(np.float64) for a in (clamp_like_32bit(family, x), *params)],
               g=g.astype(np.float64))
    for a, b in zip(got, want):
        assert a.dtype == np.float32
        np.testing.assert_allclose(a, b, rtol=1e-4, atol=1e-4, equal_nan=True, err_msg=family)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("family, x, params, want", [
    # dx, then the parameter cotangents, at g = 1
    ("gaussian", 3.0, (1.0, 2.0), (-0.5, 0.5, 0.0)),
    ("lognormal", 0.0, (0.0, 1.0), (0.0, 0.0, 0.0)),
    ("lognormal", -1.0, (0.0, 1.0), (0.0, 0.0, 0.0)),
    ("exponential", 0.0, (2.0,), (-2.0, 0.5)),
    ("exponential", -0.5, (2.0,), (0.0, 0.0)),
    ("uniform", NAN, (0.0, 4.0), (0.0, 0.25, -0.25)),
    ("uniform", 5.0, (0.0, 4.0), (0.0, 0.0, 0.0)),
    ("weibull", 1.0, (1.0, 2.0), (-1.0, 0.0, 0.5)),
    ("weibull", 0.0, (1.0, 2.0), (0.0, 0.0, 0.0)),
    ("gumbel", 1.5, (1.5, 2.0), (0.0, 0.0, -0.5)),
    ("gamma", -1.0, (3.0, 2.0), (0.0, 0.0, 0.0)),
    ("gamma", 0.0, (1.0, 2.0), (0.0, 0.0, 0.0)),
    # evaluated at the upper clamp bound hi, in the copy's own precision
    ("beta", 2.0, (2.0, 3.0), (lambda hi: 1 / hi - 2 / (1 - hi), None, None)),
    ("wrapped_gaussian", 100.0, (0.0, 1.0), (0.0, 0.0, -1.0)),
    ("vonmises", 1.0, (0.0, 0.0), (0.0, 0.0, np.cos(1.0))),
])
def test_gradient_edge_values(dtype, family, x, params, want):
    got = vjp(family, np.array([x], dtype), *[np.array([p], dtype) for p in params],
              g=np.array([1.0], dtype))
    for a, b in zip(got, want):
        if callable(b):
            b = b(np.float64(dtype(0.999999)))
        if b is not None:
            np.testing.assert_allclose(a[0], b, rtol=1e-12 if dtype == np.float64 else 1e-2,
                                       atol=1e-12 if dtype == np.float64 else 1e-5)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("family, x, params", [
    ("lognormal", -1.0, (0.0, 1.0)),
    ("exponential", -1.0, (2.0,)),
    ("uniform", 9.0, (0.0, 4.0)),
    ("weibull", 0.0, (1.0, 2.0)),
    ("gamma", -1.0, (3.0, 2.0)),
])
def test_outside_the_support_an_infinite_cotangent_gives_nan(dtype, family, x, params):
    got = vjp(family, np.array([x], dtype), *[np.array([p], dtype) for p in params],
              g=np.array([INF], dtype))
    assert all(np.isnan(a[0]) for a in got)


@pytest.mark.parametrize("dtype", DTYPES)
def test_vonmises_gradient_keeps_its_concentration_term_for_negative_kappa(dtype):
    # The concentration term is (cos - 1) - (A - 1) with A = I1(kappa)/I0(kappa), odd in kappa:
    # this continues the kappa >= 0 derivative rather than differentiating through |kappa|.
    x = np.array([0.3, 2.0, -1.0], dtype)
    mu, kappa = np.array([0.5], dtype), np.array([-2.0], dtype)
    g = np.array([1.0, -0.5, 2.0], dtype)
    dx, dmu, dk = vjp("vonmises", x, mu, kappa, g=g)
    d = x.astype(np.float64) - 0.5
    a = sps.i1e(-2.0) / sps.i0e(-2.0)
    tol = dict(rtol=1e-6, atol=1e-6) if dtype == np.float64 else dict(rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(dx, 2.0 * np.sin(d) * g, **tol)
    np.testing.assert_allclose(dmu[0], np.sum(-2.0 * np.sin(d) * g), **tol)
    np.testing.assert_allclose(dk[0], np.sum(((np.cos(d) - 1) - (a - 1)) * g), **tol)


SHAPES_FAR_BELOW_ZERO = r"""
import numpy as np, jax
jax.config.update("jax_enable_x64", True)
import test_logp as t
shapes = np.array([-np.inf, -1e300, -2.0**60, -1e5 - 0.5, np.nan])
for dtype in t.DTYPES:
    a = shapes.astype(dtype)
    ones = np.ones(a.size, dtype)
    _, dalpha, _ = t.vjp("gamma", ones, a, ones, g=ones)
    _, da, db = t.vjp("beta", 0.5 * ones, a, ones, g=ones)
    print(int(np.isnan(dalpha[0])), int(np.isnan(da[0])), int(np.isfinite(dalpha[3])))
"""


def test_gradients_through_digamma_terminate_for_shapes_far_below_zero():
    out = run_child(SHAPES_FAR_BELOW_ZERO, timeout=120)
    assert out.decode().split() == ["1", "1", "1"] * 2


@pytest.mark.parametrize("dtype", DTYPES)
def test_gradient_accepts_a_longer_parameter_and_leaves_its_tail_zero(dtype):
    x = np.array([0.5, 1.0], dtype)
    mu, sigma = np.array([0.0, 1.0, 7.0, 7.0], dtype), np.array([1.0], dtype)
    dx, dmu, dsigma = vjp("gaussian", x, mu, sigma, g=np.ones(2, dtype))
    np.testing.assert_allclose(dmu, [0.5, 0.0, 0.0, 0.0])
    assert dmu[2:].tolist() == [0.0, 0.0]


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_gradient_zero_fills_the_parameter_cotangents(dtype):
    e = np.zeros(0, dtype)
    got = call("logp_gamma_vjp", [shape((0,), dtype), shape((1,), dtype), shape((0,), dtype)],
               e, np.ones(1, dtype), e, e, has_side_effect=True)
    assert got[1].tolist() == [0.0] and got[2].size == 0


# ---- checks and their messages -----------------------------------------------------------------
# The handler is called directly, so that a failed call's output buffers can be inspected
# afterwards.

def _z(n, dtype):
    return np.zeros(n, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target, in_sizes, out_sizes, text", [
    ("logp_gaussian_fwd", (5, 1, 1), (4,), "output length mismatch"),
    ("logp_gaussian_fwd", (5, 2, 3), (4,), "output length mismatch"),
    ("logp_gaussian_fwd", (5, 3, 1), (5,), "parameter length 3 incompatible with 5 observations"),
    ("logp_gaussian_fwd", (5, 5, 3), (5,), "parameter length 3 incompatible with 5 observations"),
    ("logp_gamma_fwd", (5, 2, 3), (5,), "parameter length 2 incompatible with 5 observations"),
    ("logp_gamma_fwd", (1, 0, 1), (1,), "parameter length 0 incompatible with 1 observations"),
    ("logp_exponential_fwd", (4, 6), (4,), "parameter length 6 incompatible with 4 observations"),
    ("logp_beta_vjp", (5, 1, 1, 4), (5, 1, 1), "cotangent length mismatch"),
    ("logp_beta_vjp", (5, 1, 1, 5), (4, 1, 1), "cotangent length mismatch"),
    ("logp_beta_vjp", (5, 1, 1, 4), (5, 5, 1), "cotangent length mismatch"),
    ("logp_vonmises_vjp", (5, 1, 1, 5), (5, 5, 1), "parameter cotangent length mismatch"),
    ("logp_vonmises_vjp", (5, 1, 5, 5), (5, 1, 1), "parameter cotangent length mismatch"),
    # A parameter too short for the observations would be read past its end.
    ("logp_wrapped_gaussian_vjp", (5, 3, 1, 5), (5, 3, 1),
     "parameter length 3 incompatible with 5 observations"),
    ("logp_weibull_vjp", (5, 1, 0, 5), (5, 1, 0),
     "parameter length 0 incompatible with 5 observations"),
    ("logp_exponential_vjp", (1, 0, 1), (1, 0),
     "parameter length 0 incompatible with 1 observations"),
    ("logp_uniform_vjp", (3, 2, 2, 3), (3, 2, 2),
     "parameter length 2 incompatible with 3 observations"),
])
def test_length_checks_fail_in_order_and_leave_outputs_untouched(dtype, target, in_sizes,
                                                                  out_sizes, text):
    check_rejected(target, list(in_sizes), list(out_sizes), text, dtype=dtype, through_jax=False)


@pytest.mark.parametrize("dtype", DTYPES)
def test_rank0_parameters_broadcast_and_shapes_are_not_compared(dtype):
    x = np.arange(6, dtype=dtype).reshape(2, 3)
    out = np.zeros((2, 3), dtype)
    assert call_handler("logp_gaussian_fwd", [x, np.array(1.0, dtype), np.full(6, 2.0, dtype)],
                         [out]) is None
    np.testing.assert_allclose(out.ravel(), stats.norm.logpdf(np.arange(6), 1.0, 2.0),
                               rtol=1e-6 if dtype == np.float32 else 1e-14)
    out0 = np.zeros(0, dtype)
    empty = [_z(0, dtype), _z(0, dtype), _z(1, dtype)]
    assert call_handler("logp_gumbel_fwd", empty, [out0]) is None
    assert call_handler("logp_gumbel_fwd", [_z(0, dtype)] * 3, [np.zeros((), dtype)]) == \
        "output length mismatch"


def test_errors_surface_through_jax_as_invalid_argument():
    x = np.zeros(5)
    with rejected_with("parameter length 2 incompatible with 5 observations"):
        call("logp_gaussian_vjp", [shape((5,), "f8"), shape((2,), "f8"), shape((1,), "f8")],
             x, np.zeros(2), np.ones(1), x, has_side_effect=True)
