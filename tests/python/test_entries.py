"""Handler entries end to end through JAX: registration, operand counts, element types."""
import jax
import numpy as np
import pytest

from mirelon import _core
from mirelon_jax import call, register_all, rejected_with, run_child, shape

# A call that its kernel rejects: field3 values of rank 1.
FAILING_PROBE = "mirelon_field3_interp_fwd"
FAILING_TEXT = "INVALID_ARGUMENT: field3 values buffer must be at least rank 3"


def test_all_108_targets_register_with_jax():
    names = register_all()
    assert len(names) == 108
    assert list(names) == [name for name, _ in _core.handlers()]


@pytest.mark.parametrize("n_args, text", [
    (2, "mirelon_kde_fwd: expected 3 inputs / 1 outputs, got 2 / 1"),
    (4, "mirelon_kde_fwd: expected 3 inputs / 1 outputs, got 4 / 1"),
])
def test_wrong_input_count_is_an_invalid_argument_error(n_args, text):
    x = np.zeros(3)
    with rejected_with(text):
        call("kde_fwd", shape((3,), "f8"), *([x] * n_args), has_side_effect=True)


def test_wrong_output_count_is_reported():
    x = np.zeros(3)
    with rejected_with("mirelon_kde_fwd: expected 3 inputs / 1 outputs, got 3 / 2"):
        call("kde_fwd", [shape((3,), "f8"), shape((3,), "f8")], x, x, x, has_side_effect=True)


@pytest.mark.parametrize("in_dtype, out_dtype, text", [
    ("f8", "f4", "mixed buffer dtypes (12 vs 11); all mirelon kernel operands must match"),
    ("f4", "f8", "mixed buffer dtypes (11 vs 12); all mirelon kernel operands must match"),
    ("i4", "i4", "unsupported buffer dtype 4"),
    ("f2", "f2", "unsupported buffer dtype 10"),
])
def test_element_type_errors(in_dtype, out_dtype, text):
    x = np.zeros(3, in_dtype)
    with rejected_with(text):
        call("logp_gaussian_fwd", shape((3,), out_dtype), x, x, x, has_side_effect=True)


def test_entries_are_callable_from_many_threads():
    from concurrent.futures import ThreadPoolExecutor

    x = np.zeros(3)

    def one(_):
        try:
            call(FAILING_PROBE, shape((3,), "f8"), x, x, x, x, has_side_effect=True)
        except jax.errors.JaxRuntimeError as e:
            return str(e)
        return "no error"

    with ThreadPoolExecutor(8) as ex:
        texts = set(ex.map(one, range(64)))
    assert texts == {FAILING_TEXT}


def test_results_do_not_depend_on_which_thread_started_the_pool():
    # The pool is started from the interpreter's thread by a direct call; later loops run from
    # XLA's threads, whose floating-point mode (flushing subnormals) the pieces must follow, so a
    # subnormal result is the same whether the loop runs inline (n = 1) or on the workers.
    out = run_child("""
import numpy as np
import jax
jax.config.update("jax_enable_x64", True)
from mirelon_jax import call, call_handler, shape
x = np.full(256, -np.log(741.0))
mu, beta = np.zeros(1), np.ones(1)
assert call_handler("cdf_gumbel_fwd", [x, mu, beta], [np.empty(256)]) is None
one = call("cdf_gumbel_fwd", shape((1,), "f8"), x[:1], mu, beta)
many = call("cdf_gumbel_fwd", shape((256,), "f8"), x, mu, beta)
print(one[0].tobytes().hex(), set(v.tobytes().hex() for v in many))
""", workers=4)
    first, rest = out.decode().split(" ", 1)
    assert rest.strip() == "{'%s'}" % first
