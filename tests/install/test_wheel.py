"""The package as a user installs it: `pip wheel` on a copy of the sources, then the wheel with its
JAX extra in a fresh virtual environment, where the module must load the oneTBB that came with it
and run a kernel through JAX."""
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from packaging.utils import parse_wheel_filename

ROOT = Path(__file__).resolve().parents[2]

# Runs inside the fresh environment: which libtbb.so.12 the import mapped, and one kernel call.
CHECK = textwrap.dedent("""
    import json, os
    import jax, numpy as np
    from mirelon import _core
    mapped = {line.split(maxsplit=5)[5].strip() for line in open("/proc/self/maps")
              if "/libtbb.so" in line}
    target = "mirelon_logp_gaussian_fwd"
    jax.devices("cpu")
    jax.ffi.register_ffi_target(target, jax.ffi.pycapsule(dict(_core.handlers())[target]),
                                platform="cpu", api_version=1)
    x = np.array([-1.0, 0.0, 2.5], np.float32)
    out = jax.ffi.ffi_call(target, jax.ShapeDtypeStruct(x.shape, x.dtype))(
        x, np.float32([0.5]), np.float32([2.0]))
    print(json.dumps({"module": _core.__file__, "tbb": sorted(map(os.path.realpath, mapped)),
                      "logp": np.asarray(out).tolist()}))
""")


def run(*args, cwd):
    # Nothing from the calling environment may point the child at another module or library.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_LIBRARY_PATH", "LD_PRELOAD")}
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done.stdout


def copy_sources(target):
    def ignore(folder, names):
        top = Path(folder) == ROOT
        return [n for n in names if n == "__pycache__"
                or top and (n.startswith("build") or n in (".venv", ".git", "dist"))]
    shutil.copytree(ROOT, target, ignore=ignore)


def tree(path):
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))


def test_wheel_installs_and_runs_in_a_fresh_environment(tmp_path):
    src, dist, venv = tmp_path / "src", tmp_path / "dist", tmp_path / "venv"
    copy_sources(src)
    before = tree(src)
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", dist, src, cwd=tmp_path)
    assert tree(src) == before, "the build wrote into the source tree"

    (wheel,) = dist.glob("*.whl")
    _, _, _, tags = parse_wheel_filename(wheel.name)
    assert {(t.interpreter, t.abi) for t in tags} == {("cp311", "abi3")}

    run(sys.executable, "-m", "venv", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "-c", ROOT / "requirements-dev.txt",
        f"{wheel}[jax]", cwd=tmp_path)
    found = json.loads(run(python, "-c", CHECK, cwd=tmp_path))

    assert Path(found["module"]).is_relative_to(venv)
    assert found["tbb"] == [os.path.realpath(venv / "lib" / "libtbb.so.12")]
    x = [-1.0, 0.0, 2.5]
    want = [-0.5 * ((v - 0.5) / 2.0) ** 2 - 0.6931471805599453 - 0.9189385332046727 for v in x]
    assert found["logp"] == pytest.approx(want, rel=1e-6)
