"""The special functions behind the gaussian kernels, seen through those kernels, against the
committed mpmath table (tests/python/data/special_reference.json, made by the script beside
it): erfc through the gaussian distribution function, the normal quantile through the gaussian
quantile. The other special functions are checked directly in tests/cpp/test_special.cpp."""
import json
import os

import numpy as np
import pytest

from mirelon_jax import call, shape

F64 = np.float64
_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "special_reference.json")


def reference(section):
    with open(_TABLE) as f:
        pairs = json.load(f)[section]
    x = np.array([float(a) for a, _ in pairs])
    want = np.array([float(b) for _, b in pairs])
    return x, want


def test_gaussian_distribution_function_is_half_the_chebyshev_erfc(registered):
    z, want = reference("cdf_standard_normal")
    got = call("cdf_gaussian_fwd", shape(z.shape, F64), z, np.zeros(1), np.ones(1))
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=0)


def test_gaussian_quantile_is_the_rational_normal_quantile(registered):
    p, want = reference("normal_quantile")
    inside = (p >= 1e-12) & (p <= 0.9999999)  # the quantile kernels clamp to this range
    assert inside.sum() >= 10
    got = call("q_gaussian_fwd", shape((inside.sum(),), F64), p[inside], np.zeros(1), np.ones(1))
    np.testing.assert_allclose(got, want[inside], rtol=1.2e-9, atol=1e-15)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_exact_points_of_the_approximations(dtype, registered):
    # normal_quantile(0.5) is exactly 0; erfc(0) is one rounding below 1 in this expansion.
    q = call("q_gaussian_fwd", shape((1,), dtype), np.array([0.5], dtype), np.zeros(1, dtype),
             np.ones(1, dtype))
    assert q[0] == 0.0
    f = call("cdf_gaussian_fwd", shape((3,), dtype), np.array([0.0, 60.0, -60.0], dtype),
             np.zeros(1, dtype), np.ones(1, dtype))
    assert f[0] == dtype(0.49999999999999994) and f[1] == 1.0 and f[2] == 0.0
