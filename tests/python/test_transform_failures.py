"""Rejected calls of the transform kernels: the message through JAX, and, by calling the handler
directly on NumPy buffers, that a rejected call leaves its outputs as they were (apart from the
decay gradient's documented zero-fill before the kind check)."""
import numpy as np
import pytest

from mirelon_jax import call, check_rejected, shape

DTYPES = [np.float32, np.float64]

def arr(dtype, *shape_):
    return np.linspace(0.5, 1.5, int(np.prod(shape_))).reshape(shape_).astype(dtype)


KNOTS = "need >= 2 knots with matching values"
COT = "cotangent length mismatch"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, k, n_values, n_out, text", [
    (4, 1, 1, 4, KNOTS),
    (0, 1, 1, 3, KNOTS),  # the knot check comes before the output check and the n = 0 exit
    (4, 3, 4, 4, KNOTS),
    (4, 0, 0, 4, KNOTS),
    (4, 3, 3, 5, "output length mismatch"),
])
def test_pwl_fwd_rejections(dtype, n, k, n_values, n_out, text):
    args = [arr(dtype, n), np.arange(k, dtype=dtype), arr(dtype, n_values)]
    check_rejected("pwl_fwd", args, [(n_out,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, k, n_values, n_g, n_out, text", [
    (4, 3, 3, 5, 4, COT),
    (4, 3, 3, 4, 3, COT),
    (4, 1, 1, 5, 4, COT),  # the cotangent is checked before the knots
    (4, 1, 1, 4, 4, KNOTS),
    (4, 3, 2, 4, 4, KNOTS),
    (0, 0, 0, 0, 0, KNOTS),
])
def test_pwl_vjp_rejections(dtype, n, k, n_values, n_g, n_out, text):
    args = [arr(dtype, n), np.arange(k, dtype=dtype), arr(dtype, n_values), arr(dtype, n_g)]
    check_rejected("pwl_vjp", args, [(n_out,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n_p, kind, n_out, text", [
    (1, [2.0], 4, "unknown decay kind 2"),
    (1, [2.7], 4, "unknown decay kind 2"),
    (1, [300.0], 4, "unknown decay kind 255"),
    (1, [np.inf], 4, "unknown decay kind 255"),
    (4, [9.0], 5, "output length mismatch"),
    (3, [0.0], 4, "decay parameter length mismatch: expected 1 or at least 4 elements, got 3"),
    (0, [0.0], 4, "decay parameter length mismatch: expected 1 or at least 4 elements, got 0"),
    (1, [], 4, "decay kind operand is empty"),
    (2, [2.0], 4, "unknown decay kind 2"),  # the kind is reported before the parameter length
])
def test_decay_fwd_rejections(dtype, n_p, kind, n_out, text):
    args = [arr(dtype, 4), arr(dtype, n_p), np.array(kind, dtype)]
    check_rejected("decay_fwd", args, [(n_out,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n_g, n_p, kind, n_dt, n_dp, text, zeroed", [
    (5, 1, [0.0], 4, 1, COT, ()),
    (4, 1, [0.0], 3, 1, COT, ()),
    (4, 1, [2.0], 4, 1, "unknown decay kind 2", (1,)),
    (4, 4, [-7.0, 3], 4, 4, None, ()),  # negative kind: exponential, accepted
    (4, 2, [0.0], 4, 1, "decay parameter length mismatch: expected 1 or at least 4 elements, got 2", ()),
    (4, 1, [], 4, 1, "decay kind operand is empty", ()),
    (4, 1, [0.0], 4, 2,
     "decay parameter gradient length mismatch: expected 1 or at least 4 elements, got 2", ()),
    (4, 1, [1.0], 4, 0,
     "decay parameter gradient length mismatch: expected 1 or at least 4 elements, got 0", ()),
])
def test_decay_vjp_rejections(dtype, n_g, n_p, kind, n_dt, n_dp, text, zeroed):
    args = [arr(dtype, 4), arr(dtype, n_p), arr(dtype, n_g), np.array(kind, dtype)]
    if text is None:
        dt, dp = call("decay_vjp", [shape((n_dt,), dtype), shape((n_dp,), dtype)], *args)
        assert np.all(np.isfinite(dt)) and np.all(np.isfinite(dp))
        return
    check_rejected("decay_vjp", args, [(n_dt,), (n_dp,)], text, zeroed)


def per_element_text(what, n, got):
    return f"{what} length mismatch: expected 1 or at least {n} elements, got {got}"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("counts, n_out, text", [
    ((1, 1, 1), 3, "output length mismatch"),
    ((2, 1, 1), 4, per_element_text("logistic midpoint", 4, 2)),
    ((1, 0, 1), 4, per_element_text("logistic rate", 4, 0)),
    ((4, 4, 3), 4, per_element_text("logistic ceiling", 4, 3)),
])
def test_logistic_fwd_rejections(dtype, counts, n_out, text):
    args = [arr(dtype, 4)] + [arr(dtype, c) for c in counts]
    check_rejected("logistic_fwd", args, [(n_out,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("counts, n_g, outs, text", [
    ((1, 1, 1), 3, (4, 1, 1, 1), COT),
    ((1, 1, 1), 4, (5, 1, 1, 1), COT),
    ((1, 3, 1), 4, (4, 1, 1, 1), per_element_text("logistic rate", 4, 3)),
    ((1, 1, 1), 4, (4, 2, 1, 1), per_element_text("logistic midpoint gradient", 4, 2)),
    ((1, 1, 1), 4, (4, 1, 0, 1), per_element_text("logistic rate gradient", 4, 0)),
    ((4, 4, 4), 4, (4, 4, 4, 3), per_element_text("logistic ceiling gradient", 4, 3)),
])
def test_logistic_vjp_rejections(dtype, counts, n_g, outs, text):
    args = [arr(dtype, 4)] + [arr(dtype, c) for c in counts] + [arr(dtype, n_g)]
    check_rejected("logistic_vjp", args, [(o,) for o in outs], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n_p, k, n_phi, n_c, n_out, text", [
    (1, 3, 4, 1, 4, "periodic shape mismatch"),
    (1, 3, 3, 1, 5, "periodic shape mismatch"),
    (2, 3, 3, 1, 4, per_element_text("periodic period", 4, 2)),
    (0, 0, 0, 1, 4, per_element_text("periodic period", 4, 0)),  # read even without harmonics
    (4, 3, 3, 3, 4, per_element_text("periodic offset", 4, 3)),
])
def test_periodic_fwd_rejections(dtype, n_p, k, n_phi, n_c, n_out, text):
    args = [arr(dtype, 4), arr(dtype, n_p), arr(dtype, k), arr(dtype, n_phi), arr(dtype, n_c)]
    check_rejected("periodic_fwd", args, [(n_out,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n_p, n_phi, n_g, outs, text", [
    (1, 3, 5, (4, 3, 3, 1), COT),
    (1, 3, 4, (3, 3, 3, 1), COT),
    (3, 3, 4, (4, 3, 3, 1), per_element_text("periodic period", 4, 3)),
    (1, 2, 4, (4, 3, 3, 1),
     "periodic phases length mismatch: expected at least 3 elements, got 2"),
    (1, 3, 4, (4, 2, 3, 1),
     "periodic amplitude gradient length mismatch: expected at least 3 elements, got 2"),
    (1, 3, 4, (4, 3, 0, 1),
     "periodic phase gradient length mismatch: expected at least 3 elements, got 0"),
    (1, 3, 4, (4, 3, 3, 2), per_element_text("periodic offset gradient", 4, 2)),
])
def test_periodic_vjp_rejections(dtype, n_p, n_phi, n_g, outs, text):
    args = [arr(dtype, 4), arr(dtype, n_p), arr(dtype, 3), arr(dtype, n_phi), arr(dtype, n_g)]
    check_rejected("periodic_vjp", args, [(o,) for o in outs], text)


SHAPE = "table2d shape mismatch"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n_y, nx, ny, n_table, n_out, text", [
    (4, 3, 2, 7, 4, SHAPE),
    (5, 3, 2, 6, 4, SHAPE),
    (4, 3, 2, 6, 3, SHAPE),
    (4, 1, 3, 3, 4, "table2d needs at least 2 knots on each axis (x: 1, y: 3)"),
    (4, 2, 1, 2, 4, "table2d needs at least 2 knots on each axis (x: 2, y: 1)"),
    (4, 0, 0, 0, 4, "table2d needs at least 2 knots on each axis (x: 0, y: 0)"),
])
def test_table2d_fwd_rejections(dtype, n_y, nx, ny, n_table, n_out, text):
    args = [arr(dtype, 4), arr(dtype, n_y), np.arange(nx, dtype=dtype),
            np.arange(ny, dtype=dtype), arr(dtype, n_table)]
    check_rejected("table2d_fwd", args, [(n_out,)], text)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n_y, nx, ny, n_table, n_g, outs, text", [
    (4, 3, 2, 6, 5, (4, 4, 6), COT),
    (5, 1, 2, 9, 3, (4, 4, 6), COT),  # only the cotangent comes first
    (5, 3, 2, 6, 4, (4, 4, 6), "table2d query y length mismatch: expected 4 elements, got 5"),
    (4, 1, 2, 2, 4, (4, 4, 2), "table2d needs at least 2 knots on each axis (x: 1, y: 2)"),
    (4, 3, 2, 5, 4, (4, 4, 6), "table2d table length mismatch: expected 6 elements, got 5"),
    (4, 3, 2, 6, 4, (3, 4, 6), "table2d x gradient length mismatch: expected 4 elements, got 3"),
    (4, 3, 2, 6, 4, (4, 0, 6), "table2d y gradient length mismatch: expected 4 elements, got 0"),
    (4, 3, 2, 6, 4, (4, 4, 7),
     "table2d table gradient length mismatch: expected 6 elements, got 7"),
])
def test_table2d_vjp_rejections(dtype, n_y, nx, ny, n_table, n_g, outs, text):
    args = [arr(dtype, 4), arr(dtype, n_y), np.arange(nx, dtype=dtype),
            np.arange(ny, dtype=dtype), arr(dtype, n_table), arr(dtype, n_g)]
    check_rejected("table2d_vjp", args, [(o,) for o in outs], text)
