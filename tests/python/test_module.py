"""The Python surface of mirelon._core: import behaviour, handlers() and analyze(graph)."""
import ctypes
import importlib
import subprocess
import sys
import textwrap

import pytest

from mirelon import _core
from mirelon_jax import run_child

EXPECTED_FIRST_AND_LAST = ("mirelon_points_closest_hard_fwd", "mirelon_boundary_point_at_vjp")


def test_module_exposes_only_its_functions():
    assert _core.__all__ == ["handlers", "analyze"]
    public = {n for n in dir(_core) if not n.startswith("__")}
    assert public == {"handlers", "analyze"}
    for fn in (_core.handlers, _core.analyze):
        assert fn.__self__ is _core
        assert fn.__module__ == _core.__name__ == "mirelon._core"


def test_docstrings_and_text_signatures():
    assert _core.handlers.__text_signature__ == "()"
    assert _core.handlers.__doc__ == "FFI target table: `[(name, raw execute-handler pointer)]`."
    assert _core.analyze.__text_signature__ == "(graph)"
    assert _core.analyze.__doc__ == "Pre-trace graph analysis pass."
    assert _core.__doc__ == ""


def test_reimport_returns_the_same_module_object():
    first = importlib.import_module("mirelon._core")
    del sys.modules["mirelon._core"]
    second = importlib.import_module("mirelon._core")
    assert second is first
    assert second.__all__ == ["handlers", "analyze"]


def test_import_from_a_second_interpreter_fails():
    out = run_child(textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import mirelon._core
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import mirelon._core")
        except interpreters.RunFailedError as e:
            print("FAILED", e)
        else:
            print("IMPORTED")
    """), timeout=120).decode()
    assert "FAILED" in out and "ImportError" in out


def test_handlers_lists_108_targets_in_table_order():
    table = _core.handlers()
    assert isinstance(table, list) and len(table) == 108
    assert (table[0][0], table[-1][0]) == EXPECTED_FIRST_AND_LAST
    names = [name for name, _ in table]
    assert len(set(names)) == 108
    for entry in table:
        assert type(entry) is tuple and len(entry) == 2
        name, address = entry
        assert type(name) is str and name.startswith("mirelon_")
        assert type(address) is int and 0 < address < 2**64
    assert len({address for _, address in table}) == 108


def test_handlers_returns_equal_but_distinct_lists():
    a, b = _core.handlers(), _core.handlers()
    assert a == b and a is not b and a[0] is not b[0]


def test_handlers_takes_no_arguments():
    with pytest.raises(TypeError):
        _core.handlers(1)


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("args, kwargs, expected", [
    ((b"",), {}, b""),
    ((), {"graph": b"abc"}, b"abc"),
    ((b"\x00\xff" * 1000,), {}, b"\x00\xff" * 1000),
    ((BytesSubclass(b"xyz"),), {}, b"xyz"),
])
def test_analyze_returns_a_plain_bytes_copy(args, kwargs, expected):
    result = _core.analyze(*args, **kwargs)
    assert type(result) is bytes and result == expected


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "analyze() missing 1 required positional argument: 'graph'"),
    ((b"a", b"b"), {}, "analyze() takes 1 positional arguments but 2 were given"),
    ((b"a", b"b", b"c"), {}, "analyze() takes 1 positional arguments but 3 were given"),
    ((), {"graf": b"a"}, "analyze() got an unexpected keyword argument 'graf'"),
    ((b"a",), {"graph": b"b"}, "analyze() got multiple values for argument 'graph'"),
    (("abc",), {}, "argument 'graph': 'str' object cannot be converted to 'PyBytes'"),
    ((bytearray(b"a"),), {}, "argument 'graph': 'bytearray' object cannot be converted to 'PyBytes'"),
    ((memoryview(b"a"),), {}, "argument 'graph': 'memoryview' object cannot be converted to 'PyBytes'"),
    ((None,), {}, "argument 'graph': 'NoneType' object cannot be converted to 'PyBytes'"),
])
def test_analyze_argument_errors(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        _core.analyze(*args, **kwargs)
    assert str(info.value) == text


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs an enforced RLIMIT_AS")
def test_failing_result_allocation_raises_panic_exception():
    out = run_child(textwrap.dedent("""
        import os, resource, sys
        from mirelon import _core
        graph = b"x" * (256 << 20)
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
        try:
            _core.analyze(graph)
        except BaseException as e:
            t = type(e)
            print(t.__module__, t.__name__, t.__bases__ == (BaseException,), e.args)
    """), timeout=120).decode()
    assert out.strip() == "pyo3_runtime PanicException True ('Python API call failed',)"


def vectorcall(fn, positional, keywords):
    """Calls fn the way C code can: keyword names need not be str."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = [*positional, *(value for _, value in keywords)]
    stack = (ctypes.py_object * len(values))(*values)
    names = tuple(name for name, _ in keywords)
    return call(fn, ctypes.cast(stack, ctypes.c_void_p), len(positional), names)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class StrSubclass(str):
    pass


@pytest.mark.parametrize("name, shown", [
    (1, "1"),
    (b"graph", "b'graph'"),
    ("gr\udc80", "gr\ufffd\ufffd\ufffd"),
    (Unprintable(), "<unprintable Unprintable object>"),
])
def test_analyze_rejects_keyword_names_that_are_not_valid_str(name, shown, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with pytest.raises(TypeError) as info:
        vectorcall(_core.analyze, (), [(name, b"a")])
    assert str(info.value) == f"analyze() got an unexpected keyword argument '{shown}'"
    # A name whose str() fails has that failure reported, not raised.
    assert [type(u.exc_value) for u in unraisable] == (
        [RuntimeError] if isinstance(name, Unprintable) else [])


def test_analyze_accepts_a_str_subclass_keyword_name():
    assert vectorcall(_core.analyze, (), [(StrSubclass("graph"), b"abc")]) == b"abc"
    with pytest.raises(TypeError, match="multiple values"):
        vectorcall(_core.analyze, (b"a",), [(StrSubclass("graph"), b"b")])


def test_only_the_module_init_is_exported():
    path = _core.__file__
    assert path.endswith("_core.abi3.so")
    nm = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__core"]


def test_module_uses_only_the_stable_abi():
    stable = pytest.importorskip("test.test_stable_abi_ctypes").SYMBOL_NAMES
    nm = subprocess.run(["nm", "-D", "--undefined-only", _core.__file__], capture_output=True,
                        text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    used = {line.split()[-1] for line in nm.stdout.splitlines() if line.strip()}
    python_api = {name for name in used if name.startswith(("Py", "_Py"))}
    # Module creation is stable but left out of that list (a debug build renames it).
    allowed = set(stable) | {"PyModule_Create2", "PyModule_FromDefAndSpec2"}
    assert python_api and python_api <= allowed, sorted(python_api - allowed)
