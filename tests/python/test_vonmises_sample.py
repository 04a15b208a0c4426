"""Von Mises sampling and its backward pass through JAX: samples against scipy.stats.vonmises
(Kolmogorov-Smirnov and symmetry), the candidate-pair rules, the gradient with respect to the
concentration against a quadrature of -(dF/dkappa)/f, 32-bit copies against the rounded 64-bit
result, and the length checks."""
import math

import mpmath
import numpy as np
import pytest
import scipy.stats as st
from scipy import special

from mirelon_jax import call, check_rejected, shape

F32, F64 = np.float32, np.float64
DTYPES = [F32, F64]
PI = math.pi


def sample(u, mu, kappa, n, dtype=F64):
    return call("vonmises_sample", shape((n,), dtype), np.asarray(u, dtype),
                np.asarray(mu, dtype), np.asarray(kappa, dtype))


def backward(mu, kappa, x, g, dtype=F64):
    args = [np.atleast_1d(np.asarray(a, dtype)) for a in (mu, kappa, x, g)]
    return call("vonmises_sample_bwd", [shape(args[0].shape, dtype), shape(args[1].shape, dtype)],
                *args)


@pytest.mark.parametrize("kappa", [0.5, 3.0, 40.0])
def test_samples_follow_the_law_and_are_symmetric(kappa):
    rng = np.random.default_rng(int(kappa * 10))
    n, mu = 40000, 0.7
    theta = sample(rng.uniform(size=(n, 2 * 12)), [mu], [kappa], n)
    assert np.all((theta >= -PI) & (theta < PI))
    about = (theta - mu + PI) % (2 * PI) - PI
    assert st.kstest(about, st.vonmises(kappa).cdf).pvalue > 1e-3
    # Both signs equally likely: the mean sine about the location is 0 within its error.
    s = np.sin(about)
    assert abs(s.mean()) < 4.5 * s.std() / math.sqrt(n)


@pytest.mark.parametrize("dtype", DTYPES)
def test_first_passing_pair_decides_and_its_sign_comes_from_the_accepted_uniform(dtype):
    reject = [0.9, 0.99]  # fails both tests at kappa = 1
    for pairs, want in [([reject, [0.5, 0.25]], -0.9045569), ([reject, [0.5, 0.9]], 0.9045569),
                        ([[0.5, 0.25], reject], -0.9045569), ([[0.5, 0.9], [0.5, 0.25]], 0.9045569),
                        ([reject], 0.0)]:
        got = sample(np.ravel(pairs), [0.0], [1.0], 1, dtype)
        np.testing.assert_allclose(got, [want], rtol=1e-6, atol=0)
    # No pairs at all: every sample is its wrapped location.
    mu = np.asarray([PI, 3 * PI / 2, -PI], dtype)
    want = (mu.astype(F64) + PI) % (2 * PI) - PI  # -pi, -pi/2, -pi in 64-bit
    np.testing.assert_array_equal(sample(np.zeros(0), mu, [2.0], 3, dtype), want.astype(dtype))


def test_single_precision_sampler_rounds_the_double_result():
    rng = np.random.default_rng(3)
    u = rng.uniform(size=(500, 6)).astype(F32)
    mu, kappa = rng.uniform(-4, 4, 500).astype(F32), rng.uniform(0.0, 30, 500).astype(F32)
    np.testing.assert_array_equal(sample(u, mu, kappa, 500, F32),
                                  sample(u.astype(F64), mu, kappa, 500).astype(F32))
    g = rng.normal(size=500).astype(F32)
    x = sample(u, mu, kappa, 500, F32)
    for a, b in zip(backward(mu, kappa, x, g, F32), backward(mu, kappa, x.astype(F64), g)):
        np.testing.assert_array_equal(a, b.astype(F32))


# ---- backward pass ------------------------------------------------------------------------------

def dx_dkappa(x, kappa):
    """-(dF/dkappa)(x) / f(x) for location 0: the integral over [-pi, x] of (cos t - A)
    exp(kappa (cos t - cos x)), A = I1/I0, by quadrature in 40-digit arithmetic (near the location
    the two signs of the integrand cancel to many digits), with break points at the density's
    scale."""
    with mpmath.workdps(40):
        k, xm = mpmath.mpf(kappa), mpmath.mpf(x)
        a = mpmath.besseli(1, k) / mpmath.besseli(0, k)
        s = 1 / mpmath.sqrt(k) if kappa > 1 else mpmath.mpf(1)
        points = sorted({p for p in (xm - 3 * s, xm - s, -s, mpmath.mpf(0), s) if -mpmath.pi < p < xm})
        value = mpmath.quad(lambda t: (mpmath.cos(t) - a) * mpmath.exp(k * (mpmath.cos(t) - mpmath.cos(xm))),
                            [-mpmath.pi, *points, xm])
        return -float(value)


def circular_sd(kappa):
    return min(math.sqrt(-2 * math.log(special.ive(1, kappa) / special.ive(0, kappa))), PI)


KAPPAS = [1e-6, 1e-3, 0.3, 2.0, 3.7, 3.8, 12.0, 100.0, 1e3, 1e4]


@pytest.mark.parametrize("kappa", KAPPAS)
def test_kappa_gradient_matches_a_quadrature_within_three_deviations(kappa):
    sd = circular_sd(kappa)
    # Near the location and near +-pi the gradient vanishes: it must be small there in proportion.
    offsets = np.array([-3, -2, -1.2, -0.5, -0.1, -1e-7, 1e-9, 0.05, 0.3, 0.8, 1.5, 2.5, 3]) * sd
    offsets = np.clip(offsets, -PI + 1e-9, PI - 1e-9)
    mu = 0.4
    x = mu + offsets
    x = (x + PI) % (2 * PI) - PI
    dmu, dkappa = backward(np.full(x.size, mu), np.full(x.size, kappa), x, np.ones(x.size))
    np.testing.assert_array_equal(dmu, 1.0)
    d = (x - mu + PI) % (2 * PI) - PI
    want = np.array([dx_dkappa(v, kappa) for v in d])
    np.testing.assert_allclose(dkappa, want, rtol=1e-6)  # the bound asked for is 1e-3


@pytest.mark.parametrize("kappa", [4.0, 1e3, 1e6, 1e12, 1e300, np.inf])
def test_kappa_gradient_is_finite_and_pulls_towards_the_location_far_out(kappa):
    x = np.array([-3.14159, -2.0, -0.5, -1e-3, 0.0, 1e-3, 0.5, 2.0, 3.14159])
    _, dkappa = backward(np.zeros(x.size), np.full(x.size, kappa), x, np.ones(x.size))
    assert np.all(np.isfinite(dkappa))
    assert np.all(dkappa[x < 0] >= 0) and np.all(dkappa[x > 0] <= 0)


def test_backward_sums_one_element_gradients_and_fills_empty_ones():
    x, g = np.array([0.1, -0.2, 0.3]), np.array([1.0, 2.0, -0.5])
    dmu, dkappa = backward([0.0], [2.0], x, g)
    _, each = backward(np.zeros(3), np.full(3, 2.0), x, g)
    np.testing.assert_array_equal(dmu, [2.5])
    np.testing.assert_allclose(dkappa, [each.sum()], rtol=1e-15)
    dmu, dkappa = backward(np.zeros(4), [1.0], np.zeros(0), np.zeros(0))
    np.testing.assert_array_equal(dmu, np.zeros(4))
    np.testing.assert_array_equal(dkappa, [0.0])


# ---- rejected shapes ---------------------------------------------------------------------------

UNIFORMS = "vonmises sampler uniform-buffer mismatch"
COTANGENT = "vonmises_sample_bwd: cotangent length mismatch"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target, ins, outs, text", [
    ("vonmises_sample", [7, 1, 1], [3], UNIFORMS),
    ("vonmises_sample", [2, 1, 1], [0], UNIFORMS),
    ("vonmises_sample", [12, 2, 1], [3], "mu length mismatch: expected 1 or at least 3 elements, got 2"),
    ("vonmises_sample", [12, 3, 0], [3], "kappa length mismatch: expected 1 or at least 3 elements, got 0"),
    ("vonmises_sample_bwd", [1, 1, 3, 2], [1, 1], COTANGENT),
    ("vonmises_sample_bwd", [2, 1, 3, 3], [1, 1], "mu length mismatch: expected 1 or at least 3 elements, got 2"),
    ("vonmises_sample_bwd", [1, 0, 3, 3], [1, 1], "kappa length mismatch: expected 1 or at least 3 elements, got 0"),
    ("vonmises_sample_bwd", [3, 3, 3, 3], [2, 3], "dmu length mismatch: expected 1 or at least 3 elements, got 2"),
    ("vonmises_sample_bwd", [3, 3, 3, 3], [3, 0], "dkappa length mismatch: expected 1 or at least 3 elements, got 0"),
])
def test_rejected_lengths_leave_outputs_untouched(target, ins, outs, text, dtype):
    check_rejected(target, ins, outs, text, dtype=dtype)
