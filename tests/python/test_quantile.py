"""Quantile kernels through JAX: values against SciPy at the clamped probability, gradients
against jax.vjp of a jax.numpy reference, the clamp and its derivative at the bounds, 32-bit
copies against the 64-bit ones, and the length rules and messages."""
import jax.numpy as jnp
import numpy as np
import pytest
import scipy.stats as st
from jax.scipy.special import ndtri

from mirelon_jax import call, check_rejected, elementwise_vjp, shape

F32, F64 = np.float32, np.float64
DTYPES = [F32, F64]
LO, HI = 1e-12, 0.9999999

# family -> (parameters, SciPy ppf(p, params...), jax.numpy quantile for the vjp reference)
FAMILIES = {
    "exponential": ((0.8,), lambda p, r: st.expon.ppf(p, scale=1.0 / r),
                    lambda p, r: -jnp.log(1.0 - p) / r),
    "gaussian": ((0.3, 1.7), lambda p, m, s: st.norm.ppf(p, m, s),
                 lambda p, m, s: ndtri(p) * s + m),
    "lognormal": ((0.2, 0.6), lambda p, m, s: st.lognorm.ppf(p, s, scale=np.exp(m)),
                  lambda p, m, s: jnp.exp(ndtri(p) * s + m)),
    "uniform": ((-1.5, 2.5), lambda p, a, b: st.uniform.ppf(p, a, b - a),
                lambda p, a, b: (b - a) * p + a),
    "weibull": ((1.3, 1.8), lambda p, lam, k: st.weibull_min.ppf(p, k, scale=lam),
                lambda p, lam, k: lam * (-jnp.log(1.0 - p)) ** (1.0 / k)),
    "gumbel": ((0.4, 1.2), lambda p, m, b: st.gumbel_r.ppf(p, m, b),
               lambda p, m, b: m - b * jnp.log(-jnp.log(p))),
}
NAMES = sorted(FAMILIES)
GRID = np.array([1e-4, 0.003, 0.02, 0.02425, 0.1, 0.3, 0.5, 0.77, 0.97575, 0.99, 0.999999,
                 0.9999999])


def fwd(family, p, *params, dtype=F64):
    p = np.asarray(p, dtype)
    return call(f"q_{family}_fwd", shape(p.shape, dtype), p,
                *[np.atleast_1d(np.asarray(a, dtype)) for a in params])


def vjp(family, p, *params, g, grad_lengths=None, dtype=F64):
    params = [np.atleast_1d(np.asarray(a, dtype)) for a in params]
    lengths = grad_lengths or [a.size for a in params]
    p = np.asarray(p, dtype)
    outs = [shape(p.shape, dtype)] + [shape((m,), dtype) for m in lengths]
    return call(f"q_{family}_vjp", outs, p, *params, np.asarray(g, dtype))


def accuracy(family, q, params):
    """Absolute tolerance: the normal quantile is a rational approximation good to about 1.15e-9
    relative, which the gaussian and lognormal quantiles carry; the others are exact formulas."""
    if family == "gaussian":
        return 1.2e-9 * np.abs(q - params[0]) + 1e-15
    if family == "lognormal":
        return 1.2e-9 * np.abs(np.log(q) - params[0]) * q + 1e-15
    return 1e-12 * np.abs(q) + 1e-15


@pytest.mark.parametrize("family", NAMES)
def test_values_match_scipy(family, registered):
    params, ref, _ = FAMILIES[family]
    want = ref(GRID, *params)
    got = fwd(family, GRID, *params)
    np.testing.assert_allclose(got, want, rtol=0, atol=accuracy(family, want, params).max())
    # Per-observation parameters give the same values as broadcast ones.
    per = [np.full(GRID.shape, a) for a in params]
    np.testing.assert_array_equal(fwd(family, GRID, *per), got)


@pytest.mark.parametrize("family", NAMES)
def test_single_precision_follows_double_within_single_tolerance(family, registered):
    params, _, _ = FAMILIES[family]
    p32 = GRID.astype(F32)
    got = fwd(family, p32, *params, dtype=F32)
    want = fwd(family, p32.astype(F64), *[F64(F32(a)) for a in params])
    assert got.dtype == F32
    np.testing.assert_allclose(got, want, rtol=3e-6, atol=1e-6)


@pytest.mark.parametrize("family", ["gaussian", "lognormal"])
def test_single_precision_normal_quantile_is_rounded_once(family, registered):
    # z = normal_quantile(p~) runs in 64-bit and is narrowed before it is used: with mu = 0 and
    # sigma = 1 the gaussian quantile is that narrowed z.
    p = np.linspace(0.001, 0.999, 997).astype(F32)
    z32 = fwd("gaussian", p, 0.0, 1.0, dtype=F32)
    np.testing.assert_array_equal(z32, fwd("gaussian", p.astype(F64), 0.0, 1.0).astype(F32))
    if family == "lognormal":
        got = fwd("lognormal", p, 0.0, 1.0, dtype=F32)
        np.testing.assert_allclose(got, np.exp(z32.astype(F64)), rtol=1e-6)


# The clamp: every probability at or below 1e-12 (and NaN) is 1e-12, every one at or above
# 0.9999999 is 0.9999999; the uniform quantile does not clamp.
CLAMP_VALUES = [
    ("gaussian", (0.0, 1.0), [0.0, -1.0, -np.inf, np.nan, 1e-13], -7.0344838, 1e-7),
    ("gaussian", (0.0, 1.0), [1.0, 1.5, np.inf], 5.1993376, 1e-7),
    ("exponential", (1.0,), [0.0, -3.0, -np.inf, np.nan], 9.99978e-13, 1e-5),
    ("exponential", (1.0,), [1.0, 7.0, np.inf], 16.1180957, 1e-7),
]


@pytest.mark.parametrize("family,params,ps,want,rtol", CLAMP_VALUES)
def test_out_of_range_probabilities_give_the_quantile_at_the_bound(family, params, ps, want, rtol,
                                                                  registered):
    got = fwd(family, ps, *params)
    np.testing.assert_allclose(got, want, rtol=rtol)
    assert len(set(got.tolist())) == 1


def test_uniform_quantile_does_not_clamp(registered):
    for dtype in DTYPES:
        got = fwd("uniform", [1.5, -0.5, np.nan], 1.0, 3.0, dtype=dtype)
        assert got[0] == 4.0 and got[1] == 0.0 and np.isnan(got[2])


@pytest.mark.parametrize("n", [1, 3, 4, 11, 1001])
@pytest.mark.parametrize("dtype", DTYPES)
def test_uniform_blocked_forward_equals_the_elementwise_formula(n, dtype, registered):
    rng = np.random.default_rng(n)
    p = rng.uniform(-0.2, 1.2, n).astype(dtype)
    a, b = dtype(-0.37), dtype(2.9)
    broadcast = fwd("uniform", p, a, b, dtype=dtype)
    per = fwd("uniform", p, np.full(n, a), np.full(n, b), dtype=dtype)
    mixed = fwd("uniform", p, a, np.full(n, b), dtype=dtype)
    want = (b - a) * p + a  # IEEE single or double arithmetic, no contraction
    for got in (broadcast, per, mixed):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("broadcast", [True, False], ids=["broadcast", "per-observation"])
@pytest.mark.parametrize("family", NAMES)
def test_gradient_matches_jax_vjp(family, broadcast, registered):
    base, _, _ = FAMILIES[family]
    rng = np.random.default_rng(4)
    p = np.concatenate([GRID, np.linspace(0.0005, 0.9995, 59)])  # more than one block of 32
    g = rng.normal(size=p.size)
    params = ([F64(a) for a in base] if broadcast
              else [a * rng.uniform(0.8, 1.25, p.size) for a in base])
    got = vjp(family, p, *params, g=g)
    want = elementwise_vjp(FAMILIES[family][2], p, params, g)
    # The approximated z carries 1.15e-9 relative; 1/phi(z) turns that into about z^2 times it.
    tol = 5e-8 if family in ("gaussian", "lognormal") else 1e-10
    for k, (a, b) in enumerate(zip(got, want)):
        np.testing.assert_allclose(a, b, rtol=tol, atol=1e-12, err_msg=f"cotangent {k}")

    got32 = vjp(family, p.astype(F32), *[np.asarray(a, F32) for a in params], g=g.astype(F32),
                dtype=F32)
    again = vjp(family, p.astype(F32).astype(F64),
                *[np.asarray(a, F32).astype(F64) for a in params], g=g.astype(F32).astype(F64))
    for k, (a, b) in enumerate(zip(got32, again)):
        assert a.dtype == F32
        # 1 - p~ is formed in single precision, which costs relative accuracy near p~ = 1.
        np.testing.assert_allclose(a, b, rtol=2e-3, atol=1e-5 * max(np.abs(b).max(), 1.0),
                                   err_msg=f"32-bit cotangent {k}")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("family", NAMES)
def test_clamped_probabilities_get_the_derivative_at_the_bound(family, dtype, registered):
    params, _, _ = FAMILIES[family]
    lo, hi = dtype(LO), dtype(HI)
    if family == "uniform":
        return  # no clamp; its derivatives do not depend on p's range
    ps = np.array([0.0, -1.0, np.nan, lo, 1.0, 2.0, np.inf, hi], dtype)
    outs = vjp(family, ps, *params, g=np.ones(ps.size), grad_lengths=[ps.size] * len(params),
               dtype=dtype)
    for o in outs:
        assert np.isfinite(o).all(), (family, o)
        np.testing.assert_array_equal(o[:3], np.full(3, o[3]))
        np.testing.assert_array_equal(o[4:7], np.full(3, o[7]))
    if dtype == F32:  # the derivative at the single-precision bound, to single precision
        wide = vjp(family, ps.astype(F64)[[3, 7]], *params, g=[1.0, 1.0],
                   grad_lengths=[2] * len(params))
        for o, w in zip(outs, wide):
            # (single precision loses ln(1 - p~) near 0: the exponential's rate term there)
            np.testing.assert_allclose(o[[3, 7]], w, rtol=2e-3, atol=1e-9)


def test_weibull_single_precision_gradient_near_zero_is_finite(registered):
    # In single precision 1 - p~ rounds to 1 up to p~ = 2^-25; the derivatives there are those
    # of -ln(1 - p~) = p~, not 0/0.
    ps = np.array([0.0, 1e-12, 1e-9, 2.0**-26, 2.0**-25, 2.0**-24])
    for lam, k in [(1.3, 1.8), (2.0, 1.0), (0.7, 0.6)]:
        got = vjp("weibull", ps.astype(F32), lam, k, g=np.ones(6), grad_lengths=[6, 6], dtype=F32)
        pc = np.maximum(ps, F64(F32(LO)))
        w = pc  # -ln(1 - p) to within p/2 relative, far below single precision here
        s = w ** (1.0 / k)
        want = [lam * s / (w * k), s, -lam * s * np.log(w) / (k * k)]
        for o, ww in zip(got, want):
            assert np.isfinite(o).all()
            np.testing.assert_allclose(o, ww, rtol=1e-5)


def test_parameter_gradient_length_decides_sum_or_per_observation(registered):
    p = np.array([0.2, 0.5, 0.9])
    g = np.array([1.0, 2.0, 3.0])
    _, dmu1, dsig1 = vjp("gaussian", p, 0.0, 1.0, g=g, grad_lengths=[1, 1])
    _, dmu3, dsig3 = vjp("gaussian", p, 0.0, 1.0, g=g, grad_lengths=[3, 5])
    np.testing.assert_array_equal(dmu3, g)
    assert dmu1[0] == g.sum()
    assert dsig3.shape == (5,) and (dsig3[3:] == 0).all()
    np.testing.assert_allclose(dsig1[0], dsig3.sum(), rtol=1e-15)
    # A parameter longer than n: its first n elements are used.
    q = fwd("exponential", p, [1.0, 2.0, 4.0, 99.0])
    np.testing.assert_allclose(q, -np.log1p(-p) / [1.0, 2.0, 4.0], rtol=1e-12)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_calls(dtype, registered):
    outs = call("q_weibull_vjp", [shape(0, dtype), shape(1, dtype), shape(2, dtype)],
                np.zeros(0, dtype), np.ones(1, dtype), np.zeros(0, dtype), np.zeros(0, dtype),
                has_side_effect=True)
    assert outs[1].tolist() == [0.0] and outs[2].tolist() == [0.0, 0.0]
    out = call("q_gumbel_fwd", shape(0, dtype), np.zeros(0, dtype), np.zeros(0, dtype),
               np.ones(7, dtype), has_side_effect=True)
    assert out.shape == (0,)


def v(n, dtype):
    return np.linspace(0.1, 0.9, n).astype(dtype) if n != () else np.asarray(0.5, dtype)


MESSAGE_CASES = [
    ("q_gaussian_fwd", [3, 1, 1], [4], "output length mismatch"),
    ("q_gaussian_fwd", [3, 2, 1], [2], "output length mismatch"),
    ("q_exponential_fwd", [2, 1], [()], "output length mismatch"),
    # parameters that would be read past their end
    ("q_gaussian_fwd", [3, 2, 1], [3], "parameter length 2 incompatible with 3 observations"),
    ("q_weibull_fwd", [3, 1, 0], [3], "parameter length 0 incompatible with 3 observations"),
    ("q_uniform_fwd", [5, 5, 4], [5], "parameter length 4 incompatible with 5 observations"),
    ("q_exponential_fwd", [1, 0], [1], "parameter length 0 incompatible with 1 observations"),
    ("q_gaussian_vjp", [3, 1, 1, 2], [3, 1, 1], "cotangent length mismatch"),
    ("q_gaussian_vjp", [3, 1, 1, 3], [2, 1, 1], "cotangent length mismatch"),
    ("q_gaussian_vjp", [3, 2, 1, 2], [3, 0, 1], "cotangent length mismatch"),
    # the location enters no derivative but is still checked
    ("q_gaussian_vjp", [3, 2, 1, 3], [3, 1, 1],
     "parameter length 2 incompatible with 3 observations"),
    ("q_gumbel_vjp", [3, 0, 1, 3], [3, 1, 1],
     "parameter length 0 incompatible with 3 observations"),
    ("q_lognormal_vjp", [3, 1, 2, 3], [3, 1, 0],
     "parameter length 2 incompatible with 3 observations"),
    # parameter gradients that would be written past their end
    ("q_gaussian_vjp", [3, 1, 1, 3], [3, 2, 1], "parameter cotangent length mismatch"),
    ("q_uniform_vjp", [3, 3, 3, 3], [3, 3, 0], "parameter cotangent length mismatch"),
    ("q_exponential_vjp", [4, 1, 4], [4, 3], "parameter cotangent length mismatch"),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target,ins,outs,text", MESSAGE_CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(MESSAGE_CASES)])
def test_length_messages(target, ins, outs, text, dtype, registered):
    check_rejected(target, [v(n, dtype) for n in ins], outs, text, dtype=dtype)
