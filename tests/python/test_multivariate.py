"""Kernel density estimate, mixture, histogram, multivariate normal, correlation Cholesky factor
and Gaussian copula through JAX: values against SciPy, gradients against jax.vjp of jax.numpy
references, 32-bit copies against the rounded 64-bit result, rejected shapes with their messages
(outputs untouched), and independence from the pool's worker count."""
import jax
import jax.numpy as jnp
import numpy as np
import pytest
import scipy.stats as st
from jax.scipy.linalg import solve_triangular
from jax.scipy.special import ndtri
from scipy.special import logsumexp

from mirelon_jax import call, check_rejected, outputs_with_one_and_four_workers, shape, vjp64

F32, F64 = np.float32, np.float64
DTYPES = [F32, F64]
SQRT_2PI = 2.5066282746310002


def run(target, out_shapes, *args, dtype=F64):
    """The target on `args` converted to `dtype`; `out_shapes` is one shape or a list of them."""
    args = [np.asarray(a, dtype) for a in args]
    if isinstance(out_shapes, list):
        return call(target, [shape(s, dtype) for s in out_shapes], *args)
    return call(target, shape(out_shapes, dtype), *args)


def assert_single_rounds_double(target, out_shapes, *args):
    """The 32-bit copy gives the 64-bit result on the same (32-bit) values, rounded once."""
    args32 = [np.asarray(a, F32) for a in args]
    got = run(target, out_shapes, *args32, dtype=F32)
    want = run(target, out_shapes, *[a.astype(F64) for a in args32])
    for a, b in zip(*([got, want] if isinstance(out_shapes, list) else [[got], [want]])):
        assert a.dtype == F32
        np.testing.assert_array_equal(a, b.astype(F32))


def assert_all_close(got, want, rtol, atol=0.0):
    for k, (a, b) in enumerate(zip(got, want)):
        np.testing.assert_allclose(a, b, rtol=rtol, atol=atol, err_msg=f"output {k}")


# ---- kernel density estimate -------------------------------------------------------------------

def kde_ref(x, data, h):
    u = (x[:, None] - data[None, :]) / h
    return jnp.log(jnp.sum(jnp.exp(-0.5 * u * u), axis=1) + 1e-300) - jnp.log(data.size * h * SQRT_2PI)


def test_kde_matches_logsumexp_and_its_gradient_jax_vjp():
    rng = np.random.default_rng(1)
    x, data, h = rng.normal(size=300), rng.normal(size=700), 0.3
    got = run("kde_fwd", x.shape, x, data, [h])
    u = (x[:, None] - data[None, :]) / h
    np.testing.assert_allclose(got, logsumexp(-0.5 * u * u, axis=1) - np.log(700 * h * SQRT_2PI),
                               rtol=1e-13)
    g = rng.normal(size=x.size)
    grads = run("kde_vjp", [x.shape, data.shape], x, data, [h, 5.0], g)  # h's extra element unused
    assert_all_close(grads, vjp64(lambda a, b: kde_ref(a, b, h), (x, data), g), rtol=1e-10,
                     atol=1e-14)
    assert_single_rounds_double("kde_fwd", x.shape, x, data, [h])
    assert_single_rounds_double("kde_vjp", [x.shape, data.shape], x, data, [h], g)


def test_kde_without_samples_and_far_from_them():
    c = np.log(2 * 0.5 * SQRT_2PI)
    got = run("kde_fwd", (2,), [0.0, 1e6], [0.0, 0.25], [0.5])
    assert got[1] == -690.7755278982137 - c  # every term underflows: the 1e-300 floor
    assert np.all(run("kde_fwd", (3,), [0.0, 1.0, -2.0], np.zeros(0), [0.5]) == np.inf)
    dx, ddata = run("kde_vjp", [(2,), (0,)], [0.0, 1.0], np.zeros(0), [0.5], [1.0, 2.0])
    np.testing.assert_array_equal(dx, [0.0, 0.0])
    dx, ddata = run("kde_vjp", [(0,), (3,)], np.zeros(0), [0.0, 1.0, 2.0], [0.5], np.zeros(0))
    np.testing.assert_array_equal(ddata, np.zeros(3))


# ---- mixture -----------------------------------------------------------------------------------

def mixture_ref(L, logw):
    return jax.nn.logsumexp(L + (logw - jax.nn.logsumexp(logw)), axis=1)


def test_mixture_matches_logsumexp_and_its_gradient_jax_vjp():
    rng = np.random.default_rng(2)
    L, logw = rng.normal(size=(400, 5)) * 3, rng.normal(size=5)
    L[7] = -np.inf  # zero density under every component
    L[9, :3] = -np.inf
    got = run("mixture_fwd", (400,), L, logw)
    want = logsumexp(L + logw - logsumexp(logw), axis=1)
    assert got[7] == -np.inf
    np.testing.assert_allclose(got, want, rtol=1e-13)

    g = rng.normal(size=400)
    dL, dlogw = run("mixture_vjp", [L.shape, logw.shape], L, logw, g)
    # The -inf row gives nothing; the reference (whose gradient there is NaN) leaves it out.
    np.testing.assert_array_equal(dL[7], 0.0)
    keep = np.arange(400) != 7
    assert_all_close([dL[keep], dlogw],
                     vjp64(mixture_ref, (L[keep], logw), g[keep]), rtol=1e-11, atol=1e-14)
    assert_single_rounds_double("mixture_fwd", (400,), L, logw)
    assert_single_rounds_double("mixture_vjp", [L.shape, logw.shape], L, logw, g)


def test_mixture_without_components_and_with_nan():
    np.testing.assert_array_equal(run("mixture_fwd", (3,), np.zeros((3, 0)), np.zeros(0)),
                                  [-np.inf] * 3)
    got = run("mixture_fwd", (2,), [[-np.inf, np.nan], [0.0, np.inf]], [0.0, 1.0])
    assert np.isnan(got).all()  # a NaN term, and a +inf term, stay NaN
    np.testing.assert_array_equal(run("mixture_vjp", [(0, 4), (4,)], np.zeros((0, 4)),
                                      np.ones(4), np.zeros(0))[1], np.zeros(4))


# ---- histogram ---------------------------------------------------------------------------------

EDGES = np.array([-1.0, -0.5, 0.25, 1.0, 1.125, 3.0])  # widths exact in 32-bit


def test_histogram_matches_rv_histogram_inside_and_end_bins_outside():
    w = np.array([1.0, 3.0, 0.5, 2.0, 0.25])
    x = np.array([-1.0, -0.75, -0.5, 0.0, 0.25, 1.0, 1.1, 2.9, -7.0, 40.0, np.nan])
    got = run("histogram_fwd", x.shape, x, EDGES, w)
    inside = st.rv_histogram((w, EDGES), density=False).logpdf(x[:8])
    np.testing.assert_allclose(got[:8], inside, rtol=1e-14)
    np.testing.assert_array_equal(got[8:], [got[0], got[7], got[0]])  # nearest end bin; NaN: 0
    assert_single_rounds_double("histogram_fwd", x.shape, x, EDGES, w)
    # One bin: every point takes it. A weightless bin gives the floor.
    np.testing.assert_allclose(run("histogram_fwd", (2,), [-3.0, 9.0], [0.0, 4.0], [2.0]),
                               np.log([0.25, 0.25]), rtol=1e-15)
    assert run("histogram_fwd", (1,), [0.5], [0.0, 1.0, 2.0], [0.0, 1.0])[0] == -690.7755278982137


def test_histogram_gradient_matches_jax_vjp():
    rng = np.random.default_rng(3)
    w = rng.uniform(0.5, 2.0, 5)
    x = rng.uniform(-1.5, 3.5, 60)
    g = rng.normal(size=60)
    bins = np.clip(np.searchsorted(EDGES, x, side="right") - 1, 0, 4)

    def ref(w):
        return jnp.log(w[bins] / jnp.sum(w)) - jnp.log(jnp.diff(jnp.asarray(EDGES))[bins])

    dw = run("histogram_vjp", (5,), x, EDGES, w, g)
    np.testing.assert_allclose(dw, vjp64(ref, (w,), g)[0], rtol=1e-12, atol=1e-14)
    assert_single_rounds_double("histogram_vjp", (5,), x, EDGES, w, g)


# ---- multivariate normal -----------------------------------------------------------------------

def mvn_ref(X, mu, L):
    z = solve_triangular(jnp.tril(L), (X - mu).T, lower=True)
    d = mu.size
    return (-0.5 * jnp.sum(z * z, axis=0) - jnp.sum(jnp.log(jnp.abs(jnp.diag(L))))
            - 0.5 * d * jnp.log(2 * jnp.pi))


def mvn_inputs(rng, n, d):
    a = rng.normal(size=(d, d))
    L = np.linalg.cholesky(a @ a.T + d * np.eye(d))
    L[0, 0] = -L[0, 0]  # a negative diagonal entry is accepted
    return rng.normal(size=(n, d)), rng.normal(size=d), L


def test_mvn_matches_scipy_and_its_gradient_jax_vjp():
    rng = np.random.default_rng(4)
    X, mu, L = mvn_inputs(rng, 200, 5)
    upper = L + np.triu(rng.normal(size=L.shape), 1)  # the upper triangle is never read
    got = run("mvn_logp_fwd", (200,), X, mu, upper)
    np.testing.assert_allclose(got, st.multivariate_normal(mu, L @ L.T).logpdf(X), rtol=1e-12)
    g = rng.normal(size=200)
    grads = run("mvn_logp_vjp", [X.shape, mu.shape, L.shape], X, mu, upper, g)
    assert_all_close(grads, vjp64(mvn_ref, (X, mu, L), g), rtol=1e-10, atol=1e-12)
    np.testing.assert_array_equal(np.triu(grads[2], 1), 0.0)
    # The 32-bit copy forms x - mu in single precision and the rest in 64-bit: on x - mu with a
    # zero mean it is the rounded 64-bit result.
    diff = (X.astype(F32) - mu.astype(F32)).astype(F64)
    assert_single_rounds_double("mvn_logp_fwd", (200,), diff, np.zeros(5), L)
    assert_single_rounds_double("mvn_logp_vjp", [X.shape, mu.shape, L.shape], diff, np.zeros(5),
                                L, g)


def test_mvn_in_one_and_no_dimensions():
    got = run("mvn_logp_fwd", (3,), [0.5, -1.0, 2.0], np.array(0.25), [[1.5]])  # rank-0 mu: d = 1
    np.testing.assert_allclose(got, st.norm(0.25, 1.5).logpdf([0.5, -1.0, 2.0]), rtol=1e-14)
    np.testing.assert_array_equal(run("mvn_logp_fwd", (4,), np.zeros((4, 0)), np.zeros(0),
                                      np.zeros(0)), np.zeros(4))


# ---- correlation Cholesky factor ---------------------------------------------------------------

def corr_ref(theta, d):
    rows, t = [], 0
    for i in range(d):
        row, rem = [], jnp.asarray(1.0, theta.dtype)
        for _ in range(i):
            z = jnp.tanh(theta[t])
            row.append(jnp.sqrt(rem) * z)
            rem = rem * (1 - z * z)
            t += 1
        row.append(jnp.sqrt(jnp.maximum(rem, 1e-12)))
        rows.append(jnp.concatenate([jnp.stack(row), jnp.zeros(d - i - 1, theta.dtype)]))
    return jnp.stack(rows)


@pytest.mark.parametrize("d", [2, 5])
def test_corr_chol_has_unit_rows_and_matches_jax_reference(d):
    rng = np.random.default_rng(d)
    theta = rng.normal(size=d * (d - 1) // 2)
    L = run("corr_chol_fwd", (d, d), theta)
    np.testing.assert_allclose(np.linalg.norm(L, axis=1), 1.0, rtol=1e-14)
    np.testing.assert_allclose(L, corr_ref(jnp.asarray(theta), d), rtol=1e-14, atol=1e-16)
    np.testing.assert_array_equal(run("corr_chol_fwd", (d, d), np.zeros(theta.size)), np.eye(d))
    G = rng.normal(size=(d, d))
    got = run("corr_chol_vjp", (theta.size,), theta, G)
    np.testing.assert_allclose(got, vjp64(lambda t: corr_ref(t, d), (theta,), G)[0],
                               rtol=1e-12, atol=1e-14)
    assert_single_rounds_double("corr_chol_fwd", (d, d), theta)
    assert_single_rounds_double("corr_chol_vjp", (theta.size,), theta, G)


def test_corr_chol_saturated_parameter_floors_the_diagonal():
    L = run("corr_chol_fwd", (3, 3), [0.3, 1000.0, 0.2])
    np.testing.assert_array_equal(L[2], [1.0, 0.0, 1e-6])
    np.testing.assert_array_equal(run("corr_chol_fwd", (1, 1), np.zeros(0)), [[1.0]])


# ---- Gaussian copula ---------------------------------------------------------------------------

def copula_ref(U, theta, d):
    z = ndtri(jnp.clip(U, 1e-6, 0.999999))
    F = corr_ref(theta, d)
    w = solve_triangular(F, z.T, lower=True)
    return (-0.5 * (jnp.sum(w * w, axis=0) - jnp.sum(z * z, axis=1))
            - jnp.sum(jnp.log(jnp.diag(F))))


def test_copula_matches_scipy_and_its_gradient_jax_vjp():
    # 25000 rows of 3 span two of the gradient's row blocks.
    rng = np.random.default_rng(5)
    d, n = 3, 25000
    theta = rng.normal(size=3)
    U = rng.uniform(0.02, 0.98, (n, d))
    U[:3] = [[0.0, 1.0, 0.5], [-2.0, 3.0, 1e-9], [0.3, 0.8, 0.5]]  # clamped to [1e-6, 0.999999]
    got = run("copula_fwd", (n,), U, theta)
    z = st.norm.ppf(np.clip(U, 1e-6, 0.999999))
    F = run("corr_chol_fwd", (d, d), theta)
    want = st.multivariate_normal(np.zeros(d), F @ F.T).logpdf(z) - st.norm.logpdf(z).sum(axis=1)
    np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-8)  # Acklam's quantile, ~1e-9
    g = rng.normal(size=n)
    dU, dtheta = run("copula_vjp", [U.shape, theta.shape], U, theta, g)
    ref_dU, ref_dtheta = vjp64(lambda u, t: copula_ref(u, t, d), (U, theta), g)
    np.testing.assert_allclose(dU[3:], ref_dU[3:], rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(dtheta, ref_dtheta, rtol=1e-7)
    assert_single_rounds_double("copula_fwd", (n,), U, theta)
    assert_single_rounds_double("copula_vjp", [(50, d), theta.shape], U[:50], theta, g[:50])


def test_copula_example_identity_and_surplus_parameters():
    dU, dtheta = run("copula_vjp", [(1, 2), (3,)], [[0.3, 0.8]], [0.5, 7.0, 9.0], [1.0])
    np.testing.assert_allclose(dU, [[1.83188539, -1.91694696]], rtol=1e-8)
    np.testing.assert_allclose(dtheta[0], -0.796716955, rtol=1e-8)
    np.testing.assert_array_equal(dtheta[1:], 0.0)  # not read: zero tangents
    got = run("copula_fwd", (2,), [[0.1, 0.7, 0.4], [0.9, 0.2, 0.6]], np.zeros(3))
    np.testing.assert_array_equal(got, 0.0)
    np.testing.assert_array_equal(run("copula_fwd", (3,), np.zeros((3, 0)), np.zeros(0)), 0.0)


# ---- rejected shapes ---------------------------------------------------------------------------

HUGE = 2**32
KDE, KDE_V = "kde shape mismatch", "kde vjp shape mismatch"
MIX, MIX_V = "mixture shape mismatch", "mixture vjp shape mismatch"
HIST, HIST_V = "histogram shape mismatch", "histogram vjp shape mismatch"
MVN, MVN_V = "mvn shape mismatch", "mvn vjp shape mismatch"
CHOL, CHOL_V = "corr_chol shape mismatch", "corr_chol vjp shape mismatch"
COP, COP_V = "copula shape mismatch", "copula vjp shape mismatch"

REJECTIONS = [
    # target, input shapes, output shapes, message
    ("kde_fwd", [(4,), (3,), (2,)], [(4,)], KDE),
    ("kde_fwd", [(4,), (3,), (1,)], [(3,)], KDE),
    ("kde_vjp", [(4,), (3,), (1,), (3,)], [(4,), (3,)], KDE_V),
    ("kde_vjp", [(4,), (3,), (1,), (4,)], [(4,), (2,)], KDE_V),
    ("kde_vjp", [(4,), (3,), (0,), (4,)], [(4,), (3,)], KDE_V),  # no bandwidth to read
    ("mixture_fwd", [(3, 4), (4,)], [(2,)], MIX),
    ("mixture_fwd", [(13,), (4,)], [(3,)], MIX),
    ("mixture_vjp", [(3, 4), (4,), (3,)], [(3, 4), (5,)], MIX_V),
    ("mixture_vjp", [(3, 4), (4,), (3,)], [(11,), (4,)], MIX_V),
    ("mixture_vjp", [(3, 4), (4,), (2,)], [(3, 4), (4,)], MIX_V),
    ("histogram_fwd", [(3,), (2,), (2,)], [(3,)], HIST),
    ("histogram_fwd", [(3,), (3,), (2,)], [(2,)], HIST),
    ("histogram_fwd", [(3,), (1,), (0,)], [(3,)], HIST),  # points but no bin
    ("histogram_vjp", [(3,), (3,), (2,), (3,)], [(3,)], HIST_V),
    ("histogram_vjp", [(3,), (1,), (0,), (3,)], [(0,)], HIST_V),
    ("histogram_vjp", [(3,), (4,), (3,), (2,)], [(3,)], HIST_V),  # short cotangent
    ("histogram_vjp", [(3,), (2,), (3,), (3,)], [(3,)], HIST_V),  # edges short of the search
    ("mvn_logp_fwd", [(4, 2), (2,), (5,)], [(4,)], MVN),
    ("mvn_logp_fwd", [(4, 2), (2,), (2, 2)], [(3,)], MVN),
    ("mvn_logp_vjp", [(4, 2), (2,), (2, 2), (3,)], [(4, 2), (2,), (2, 2)], MVN_V),
    ("mvn_logp_vjp", [(4, 2), (2,), (2, 2), (4,)], [(4, 2), (3,), (2, 2)], MVN_V),
    ("mvn_logp_vjp", [(4, 2), (2,), (2, 2), (4,)], [(4, 2), (2,), (5,)], MVN_V),
    ("mvn_logp_vjp", [(4, 2), (2,), (3,), (4,)], [(4, 2), (2,), (2, 2)], MVN_V),  # short factor
    ("corr_chol_fwd", [(2,)], [(3, 3)], CHOL),
    ("corr_chol_fwd", [(1,)], [(4,)], CHOL),  # a flat factor has d = 4
    ("corr_chol_fwd", [(0,)], [(0, HUGE)], CHOL),  # d*d overflows
    ("corr_chol_vjp", [(3,), (3, 3)], [(2,)], CHOL_V),
    ("corr_chol_vjp", [(2,), (3, 3)], [(2,)], CHOL_V),
    ("corr_chol_vjp", [(3,), (2, 3)], [(3,)], CHOL_V),
    ("corr_chol_vjp", [(0,), (0, HUGE)], [(0,)], CHOL_V),
    ("copula_fwd", [(3, 2), (1,)], [(2,)], COP),
    ("copula_fwd", [(2, 4), (5,)], [(2,)], COP),  # fewer parameters than the factor reads
    ("copula_fwd", [(0, HUGE), (1,)], [(0,)], COP),  # d(d-1)/2 overflows
    ("copula_vjp", [(3, 2), (1,), (2,)], [(3, 2), (1,)], COP_V),
    ("copula_vjp", [(3, 2), (1,), (3,)], [(2, 2), (1,)], COP_V),
    ("copula_vjp", [(3, 2), (2,), (3,)], [(3, 2), (1,)], COP_V),
    ("copula_vjp", [(3, 3), (2,), (3,)], [(3, 3), (2,)], COP_V),
    ("copula_vjp", [(0, HUGE), (1,), (0,)], [(0, HUGE), (1,)], COP_V),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target, ins, outs, text", REJECTIONS)
def test_rejected_shapes_name_the_kernel_and_leave_outputs_untouched(target, ins, outs, text,
                                                                      dtype):
    # Through JAX where the shapes can be built there.
    small = max(max(s, default=0) for s in ins + outs) < HUGE
    check_rejected(target, ins, outs, text, dtype=dtype, through_jax=small)


# ---- worker count ------------------------------------------------------------------------------

WORKER_SCRIPT = r"""
import hashlib
import numpy as np, jax
jax.config.update("jax_enable_x64", True)
from test_multivariate import run
rng = np.random.default_rng(8)
digest = hashlib.sha256()
for dtype in (np.float32, np.float64):
    x, data = rng.normal(size=2001), rng.normal(size=503)
    L, logw = rng.normal(size=(3001, 6)), rng.normal(size=6)
    X, mu = rng.normal(size=(20011, 4)), rng.normal(size=4)
    chol = np.linalg.cholesky(np.cov(rng.normal(size=(4, 9))) + np.eye(4))
    U, theta = rng.uniform(size=(23001, 3)), rng.normal(size=3)
    u = rng.uniform(size=(1001, 8))
    outs = [run("kde_fwd", (2001,), x, data, [0.2], dtype=dtype),
            run("mixture_fwd", (3001,), L, logw, dtype=dtype),
            run("histogram_fwd", (2001,), x, [-3, -1, 0, 0.5, 2, 3], [1, 2, 3, 4, 5], dtype=dtype),
            run("mvn_logp_fwd", (20011,), X, mu, chol, dtype=dtype),
            *run("mvn_logp_vjp", [X.shape, (4,), (4, 4)], X, mu, chol, rng.normal(size=20011),
                 dtype=dtype),
            run("copula_fwd", (23001,), U, theta, dtype=dtype),
            *run("copula_vjp", [U.shape, (3,)], U, theta, rng.normal(size=23001), dtype=dtype),
            run("vonmises_sample", (1001,), u, [0.3], rng.uniform(0.1, 50, 1001), dtype=dtype)]
    for o in outs:
        digest.update(o.tobytes())
print(digest.hexdigest())
"""


def test_results_do_not_depend_on_the_worker_count():
    digests = [out.split()[-1] for out in outputs_with_one_and_four_workers(WORKER_SCRIPT)]
    assert digests[0] == digests[1]
