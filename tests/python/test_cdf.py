"""Distribution-function kernels through JAX: values against SciPy, gradients against jax.vjp of a
jax.numpy reference, 32-bit copies against the 64-bit ones, the length rules and messages, and
independence from the pool's worker count."""
import jax.numpy as jnp
import numpy as np
import pytest
import scipy.stats as st
from jax.scipy.stats import norm as jnorm

from mirelon_jax import (arrays_with_one_and_four_workers, call, check_rejected, elementwise_vjp,
                         shape)

F32, F64 = np.float32, np.float64
DTYPES = [F32, F64]

# family -> (number of parameters, SciPy cdf(x, p1[, p2]), jax.numpy cdf for the vjp reference,
#            observation grid crossing every branch, parameter values)
FAMILIES = {
    "gaussian": (2, lambda x, m, s: st.norm.cdf(x, m, s),
                 lambda x, m, s: jnorm.cdf(x, m, s),
                 np.concatenate([np.linspace(-40.0, 12.0, 53), [-1e-300, 0.0, 0.3]]), (0.3, 1.7)),
    "lognormal": (2, lambda x, m, s: st.lognorm.cdf(x, s, scale=np.exp(m)),
                  lambda x, m, s: jnorm.cdf((jnp.log(x) - m) / s),
                  np.concatenate([[-3.0, -0.0, 0.0, 1e-300, 1e-12], np.geomspace(1e-4, 1e4, 41)]),
                  (0.2, 1.3)),
    "exponential": (1, lambda x, r: st.expon.cdf(x, scale=1.0 / r),
                    lambda x, r: 1.0 - jnp.exp(-r * x),
                    np.concatenate([[-5.0, -0.0, 0.0, 1e-300, 1e-9], np.linspace(0.01, 30.0, 40)]),
                    (0.7,)),
    "uniform": (2, lambda x, lo, hi: st.uniform.cdf(x, lo, hi - lo),
                lambda x, lo, hi: (x - lo) / (hi - lo),
                np.linspace(-3.0, 5.0, 41), (-1.25, 2.5)),
    "weibull": (2, lambda x, lam, k: st.weibull_min.cdf(x, k, scale=lam),
                lambda x, lam, k: 1.0 - jnp.exp(-((x / lam) ** k)),
                np.concatenate([[-2.0, -0.0, 0.0, 1e-200], np.geomspace(1e-5, 20.0, 40)]),
                (1.5, 2.3)),
    "gumbel": (2, lambda x, m, b: st.gumbel_r.cdf(x, m, b),
               lambda x, m, b: jnp.exp(-jnp.exp(-(x - m) / b)),
               np.linspace(-6.0, 40.0, 47), (0.4, 1.2)),
}
NAMES = sorted(FAMILIES)


def fwd(family, x, *params, dtype=F64):
    x = np.asarray(x, dtype)
    params = [np.asarray(p, dtype) for p in params]
    return call(f"cdf_{family}_fwd", shape(x.shape, dtype), x, *params)


def vjp(family, x, *params, g, dtype=F64):
    args = [np.asarray(a, dtype) for a in (x, *params, g)]
    outs = [shape(a.shape, dtype) for a in args[:-1]]
    return call(f"cdf_{family}_vjp", outs, *args)


def per_observation(params, n, rng):
    """Parameters varied per observation around the family's values (positive stays positive)."""
    return [np.asarray(p, F64) * rng.uniform(0.8, 1.25, n) for p in params]


@pytest.mark.parametrize("family", NAMES)
def test_values_match_scipy_over_every_branch(family, registered):
    _, ref, _, x, params = FAMILIES[family]
    got = fwd(family, x, *params)
    np.testing.assert_allclose(got, ref(x, *params), rtol=2e-12, atol=2e-16)
    # Per-observation parameters give each observation the same value as a broadcast one.
    per = [np.full(x.shape, p) for p in params]
    np.testing.assert_array_equal(fwd(family, x, *per), got)


@pytest.mark.parametrize("family", NAMES)
def test_single_precision_follows_double_within_single_tolerance(family, registered):
    _, _, _, x, params = FAMILIES[family]
    rng = np.random.default_rng(1)
    x32 = x.astype(F32)
    p32 = [p.astype(F32) for p in per_observation(params, x.size, rng)]
    got = fwd(family, x32, *p32, dtype=F32)
    assert got.dtype == F32
    want = fwd(family, x32.astype(F64), *[p.astype(F64) for p in p32])
    np.testing.assert_allclose(got, want, rtol=2e-5, atol=2e-6)


def test_single_precision_gaussian_rounds_a_double_erfc_once(registered):
    rng = np.random.default_rng(2)
    x = rng.normal(0.0, 6.0, 4000).astype(F32)
    mu, sigma = F32(0.37), F32(1.9)
    z = (x - mu) / sigma  # single-precision z, as the kernel forms it
    want = fwd("gaussian", z.astype(F64), 0.0, 1.0).astype(F32)
    np.testing.assert_array_equal(fwd("gaussian", x, mu, sigma, dtype=F32), want)


EDGES = [
    # family, x, params, expected F
    ("gaussian", np.nan, (0.0, 1.0), np.nan),
    ("gaussian", np.inf, (0.5, 2.0), 1.0),
    ("gaussian", -np.inf, (0.5, 2.0), 0.0),
    ("gaussian", 0.5, (0.5, 0.0), np.nan),
    ("lognormal", np.nan, (0.0, 1.0), np.nan),
    ("lognormal", 0.0, (0.0, 1.0), 0.0),
    ("lognormal", -0.0, (0.0, 1.0), 0.0),
    ("lognormal", -2.0, (0.0, 1.0), 0.0),
    ("lognormal", np.inf, (0.0, 1.0), 1.0),
    ("exponential", np.nan, (1.5,), 0.0),
    ("exponential", -1.0, (1.5,), 0.0),
    ("weibull", np.nan, (1.0, 2.0), 0.0),
    ("weibull", -1.0, (1.0, 2.0), 0.0),
    ("uniform", np.nan, (0.0, 2.0), 0.0),
    ("uniform", 0.0, (0.0, 2.0), 0.0),
    ("uniform", 2.0, (0.0, 2.0), 1.0),
    ("uniform", 7.0, (0.0, 2.0), 1.0),
    ("uniform", 1.0, (1.0, 1.0), 0.0),
    ("uniform", 1.5, (1.0, 1.0), 1.0),
    ("uniform", 0.5, (1.0, 1.0), 0.0),
    ("gumbel", np.nan, (0.0, 1.0), np.nan),
]


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_infinite_and_support_edges(dtype, registered):
    for family, x, params, want in EDGES:
        got = fwd(family, [x], *[[p] for p in params], dtype=dtype)
        np.testing.assert_array_equal(got, np.asarray([want], dtype), err_msg=f"{family} at {x}")


# Observations strictly inside every branch of each family's gradient.
INSIDE = {
    "gaussian": np.linspace(-6.0, 8.0, 29),
    "lognormal": np.geomspace(0.05, 20.0, 29),
    "exponential": np.linspace(0.05, 6.0, 29),
    "uniform": np.linspace(-1.2, 2.45, 29),
    "weibull": np.linspace(0.05, 4.0, 29),
    "gumbel": np.linspace(-3.0, 8.0, 29),
}


@pytest.mark.parametrize("broadcast", [True, False], ids=["broadcast", "per-observation"])
@pytest.mark.parametrize("family", NAMES)
def test_gradient_matches_jax_vjp(family, broadcast, registered):
    _, _, _, _, base = FAMILIES[family]
    x = INSIDE[family]
    rng = np.random.default_rng(3)
    g = rng.normal(size=x.size)
    params = [np.float64(p) for p in base] if broadcast else per_observation(base, x.size, rng)
    if family == "uniform":  # keep every observation strictly inside its own support
        x = params[0] + np.linspace(0.02, 0.98, x.size) * (params[1] - params[0])
    got = vjp(family, x, *[np.atleast_1d(p) for p in params], g=g)
    want = elementwise_vjp(FAMILIES[family][2], x, params, g)
    for k, (a, b) in enumerate(zip(got, want)):
        np.testing.assert_allclose(a, b, rtol=1e-9, atol=1e-13, err_msg=f"cotangent {k}")

    got32 = vjp(family, x.astype(F32), *[np.atleast_1d(p).astype(F32) for p in params],
                g=g.astype(F32), dtype=F32)
    again = vjp(family, x.astype(F32).astype(F64),
                *[np.atleast_1d(p).astype(F32).astype(F64) for p in params],
                g=g.astype(F32).astype(F64))
    for k, (a, b) in enumerate(zip(got32, again)):
        assert a.dtype == F32
        scale = np.max(np.abs(b)) if b.size > 1 else np.sum(np.abs(want[k]))
        np.testing.assert_allclose(a, b, rtol=1e-4, atol=1e-5 * max(scale, 1.0),
                                   err_msg=f"32-bit cotangent {k}")


# Observations outside each gradient's strict branch: every factor is 0, applied as 0 * g.
OUTSIDE = {
    "lognormal": ([0.0, -0.0, -1.5], (0.0, 1.0)),
    "exponential": ([0.0, -0.0, -1.5], (2.0,)),
    "weibull": ([0.0, -0.0, -1.5], (1.0, 2.0)),
    "uniform": ([1.0, 3.0, -4.0, 9.0], (1.0, 3.0)),
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("family", sorted(OUTSIDE))
def test_gradient_is_zero_times_g_outside_the_branch(family, dtype, registered):
    x, params = OUTSIDE[family]
    g = np.ones(len(x))
    outs = vjp(family, x, *[[p] for p in params], g=g, dtype=dtype)
    for o in outs:
        np.testing.assert_array_equal(o, np.zeros_like(o))
    g[0] = np.nan  # 0 * NaN reaches dx and every cotangent it feeds
    outs = vjp(family, x, *[[p] for p in params], g=g, dtype=dtype)
    assert np.isnan(outs[0][0]) and not np.isnan(outs[0][1:]).any()
    assert all(np.isnan(o[0]) for o in outs[1:])


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_observation_in_gradients(dtype, registered):
    for family in NAMES:
        _, _, _, _, params = FAMILIES[family]
        outs = vjp(family, [np.nan], *[[p] for p in params], g=[1.0], dtype=dtype)
        dx = outs[0][0]
        if family == "uniform":
            assert dx == np.asarray(1.0 / (params[1] - params[0]), dtype)
        else:
            assert np.isnan(dx), family
        assert all(np.isnan(o[0]) for o in outs[1:]), family


def test_gradient_with_longer_parameter_leaves_the_extra_cotangent_zero(registered):
    x = np.array([0.1, 0.7, 1.3])
    mu = np.array([0.0, 0.2, 0.4, 9.0, 9.0])
    dx, dmu, dsigma = vjp("gaussian", x, mu, [1.5], g=[1.0, 2.0, 3.0])
    assert dmu.shape == (5,) and (dmu[3:] == 0).all() and (dmu[:3] < 0).all()
    assert dsigma.shape == (1,)


def test_any_shape_with_the_right_count_and_rank0_broadcast(registered):
    x = np.linspace(-1, 1, 6).reshape(2, 3)
    mu = np.linspace(0, 1, 6)
    got = fwd("gaussian", x, mu, np.float64(2.0))
    np.testing.assert_allclose(got.ravel(), st.norm.cdf(x.ravel(), mu, 2.0), rtol=1e-13)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_calls_succeed_and_zero_fill(dtype, registered):
    out = call("cdf_gaussian_fwd", shape(0, dtype), np.zeros(0, dtype), np.zeros(0, dtype),
               np.ones(1, dtype), has_side_effect=True)
    assert out.shape == (0,)
    outs = call("cdf_gaussian_vjp", [shape(0, dtype), shape(1, dtype), shape((), dtype)],
                np.zeros(0, dtype), np.ones(1, dtype), np.ones((), dtype), np.zeros(0, dtype),
                has_side_effect=True)
    assert outs[1].tolist() == [0.0] and float(outs[2]) == 0.0


def v(n, dtype=F64):
    return np.linspace(0.5, 1.5, n).astype(dtype) if n != () else np.asarray(1.0, dtype)


MESSAGE_CASES = [
    # forward: (x, p1, p2) counts and output count
    ("cdf_gaussian_fwd", [5, 5, 5], [4], "output length mismatch"),
    ("cdf_gaussian_fwd", [5, 3, 3], [4], "output length mismatch"),
    ("cdf_gaussian_fwd", [0, 1, 1], [()], "output length mismatch"),
    ("cdf_gaussian_fwd", [5, 3, 5], [5], "parameter length 3 incompatible with 5 observations"),
    ("cdf_gaussian_fwd", [5, 5, 3], [5], "parameter length 3 incompatible with 5 observations"),
    ("cdf_gaussian_fwd", [5, 2, 3], [5], "parameter length 2 incompatible with 5 observations"),
    ("cdf_gaussian_fwd", [1, 2, 1], [1], "parameter length 2 incompatible with 1 observations"),
    ("cdf_exponential_fwd", [4, 0], [4], "parameter length 0 incompatible with 4 observations"),
    # gradient: (x, p1, p2, g) counts and (dx, dp1, dp2) counts
    ("cdf_gaussian_vjp", [5, 1, 1, 4], [5, 1, 1], "cotangent length mismatch"),
    ("cdf_gaussian_vjp", [5, 1, 1, 5], [6, 1, 1], "cotangent length mismatch"),
    ("cdf_gaussian_vjp", [5, 1, 1, 4], [5, 2, 1], "cotangent length mismatch"),
    ("cdf_gaussian_vjp", [5, 1, 5, 5], [5, 1, 1], "parameter cotangent length mismatch"),
    ("cdf_gaussian_vjp", [5, 1, 1, 5], [5, 5, 1], "parameter cotangent length mismatch"),
    ("cdf_exponential_vjp", [3, 1, 3], [3, 3], "parameter cotangent length mismatch"),
    # a parameter the gradient would read past its end
    ("cdf_gaussian_vjp", [5, 2, 1, 5], [5, 2, 1],
     "parameter length 2 incompatible with 5 observations"),
    ("cdf_gaussian_vjp", [5, 5, 4, 5], [5, 5, 4],
     "parameter length 4 incompatible with 5 observations"),
    ("cdf_exponential_vjp", [3, 0, 3], [3, 0],
     "parameter length 0 incompatible with 3 observations"),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,ins,outs,text", MESSAGE_CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(MESSAGE_CASES)])
def test_length_messages(target, ins, outs, text, dtype, registered):
    check_rejected(target, [v(n, dtype) for n in ins], outs, text, dtype=dtype)


_CHILD = """
rng = np.random.default_rng(5)
n = 40001
for dtype in (np.float32, np.float64):
    x = rng.normal(0.5, 2.0, n).astype(dtype)
    a = rng.uniform(0.5, 2.0, n).astype(dtype)
    b = rng.uniform(0.5, 2.0, n).astype(dtype)
    for fam, args in [("gaussian", (x, a, b)), ("lognormal", (x, a, b)), ("exponential", (x, a)),
                      ("uniform", (x, -a, b)), ("weibull", (x, a, b)), ("gumbel", (x, a, b))]:
        out.append(call(f"cdf_{fam}_fwd", shape((n,), dtype), *args))
"""


def test_forward_values_do_not_depend_on_the_worker_count(registered):
    one, four = arrays_with_one_and_four_workers(_CHILD)
    assert len(one) == 12 * 6 * 40001 and one == four
