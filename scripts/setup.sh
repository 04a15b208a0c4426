#!/usr/bin/env bash
# Installs everything the build, the example and the tests need on Debian 12: the system
# packages, a virtual environment .venv with the pinned Python packages (oneTBB among them), and
# mirelon itself. Safe to run again: what is already there is kept, and the module is rebuilt
# incrementally in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

# libpython3.11-testsuite carries the interpreter's list of stable-ABI symbols, which a module test
# checks the extension's imports against; clang with its sanitizer and libFuzzer runtimes
# (libclang-rt-14-dev) builds the entry fuzzer.
packages=(build-essential cmake ninja-build python3 python3-dev python3-venv
          libpython3.11-testsuite libgtest-dev binutils clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  --config-settings=build-dir='build/{wheel_tag}' .
