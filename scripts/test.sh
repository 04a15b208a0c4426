#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
xla_include=$(.venv/bin/python -c "import jax.ffi; print(jax.ffi.include_dir())")

cmake -S . -B build/tests -G Ninja -DMIRELON_BUILD_TESTS=ON -DMIRELON_BUILD_MODULE=OFF \
  -DMIRELON_XLA_INCLUDE_DIR="$xla_include" > /dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DMIRELON_BUILD_TESTS=ON -DMIRELON_BUILD_MODULE=OFF \
  -DMIRELON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

# From tests/python, so that the installed package is imported, not the source tree.
cd tests/python
../../.venv/bin/python -m pytest -q -p no:cacheprovider
