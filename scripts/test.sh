#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ tests (plain, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer), a short run of the entry fuzzer, the wheel
# in a fresh virtual environment, and the Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
xla_include=$(.venv/bin/python -c "import jax.ffi; print(jax.ffi.include_dir())")
# The C++ tests build against the oneTBB of .venv (its tbb-devel package).
python="-DPython_EXECUTABLE=$PWD/.venv/bin/python"
# These builds fail on any compiler warning (pip install does not: a newer compiler may warn where
# ours does not).
werror=-DCMAKE_COMPILE_WARNING_AS_ERROR=ON

cmake -S . -B build/tests -G Ninja -DMIRELON_BUILD_TESTS=ON -DMIRELON_BUILD_MODULE=OFF "$python" "$werror" \
  -DMIRELON_XLA_INCLUDE_DIR="$xla_include" > /dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DMIRELON_BUILD_TESTS=ON -DMIRELON_BUILD_MODULE=OFF "$python" "$werror" \
  -DMIRELON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

# Concurrent callers of the pool and the hierarchy cache under ThreadSanitizer.
cmake -S . -B build/tsan -G Ninja -DMIRELON_BUILD_TESTS=ON -DMIRELON_BUILD_MODULE=OFF "$python" "$werror" \
  -DMIRELON_TSAN=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build/tsan -j "$jobs"
ctest --test-dir build/tsan --output-on-failure -j "$jobs"

# Every handler entry under libFuzzer for 7 seconds per family of targets, about a minute in all
# (scripts/fuzz.sh with a longer time for a real search).
bash scripts/fuzz.sh 7

# A wheel built by pip from a copy of the sources, installed into a fresh virtual environment.
.venv/bin/python -m pytest -q -p no:cacheprovider tests/install

# From tests/python, so that the installed package is imported, not the source tree.
cd tests/python
../../.venv/bin/python -m pytest -q -p no:cacheprovider
