#!/usr/bin/env bash
# Fuzzes every handler entry, one family of targets after another, for the given number of
# seconds each (default 600): libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, built
# with clang into build/fuzz, starting from the seed corpus tests/fuzz/corpus/<family> and the
# inputs earlier runs kept in build/fuzz/corpus/<family>. Stops at the first finding (a crash, an
# error other than INVALID_ARGUMENT, a leak, a call over a second or over 2 GB) and leaves the
# input in build/fuzz/findings/.
#
#   bash scripts/fuzz.sh 600              # ten minutes per family
#   bash scripts/fuzz.sh 600 graphs       # one family
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
families=("$@")
((${#families[@]})) ||
  families=(density multivariate points segments shapes fields graphs transforms)
# The Python environment that holds oneTBB for the build (tbb-devel), .venv unless given.
python=${MIRELON_PYTHON:-$PWD/.venv/bin/python}

# Like the test command's other builds, this one fails on any compiler warning.
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIRELON_BUILD_MODULE=OFF -DMIRELON_SANITIZE=ON -DMIRELON_FUZZ=ON "-DPython_EXECUTABLE=$python" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON > /dev/null
cmake --build build/fuzz -j "$(nproc)" --target mirelon_fuzz_entries

mkdir -p build/fuzz/findings
for family in "${families[@]}"; do
  mkdir -p "build/fuzz/corpus/$family"
  log=build/fuzz/$family.log
  # Two pool workers, so that the parallel loops split.
  if ! MIRELON_FUZZ_FAMILY=$family RAYON_NUM_THREADS=2 build/fuzz/tests/fuzz/mirelon_fuzz_entries \
      "build/fuzz/corpus/$family" "tests/fuzz/corpus/$family" -max_total_time="$seconds" \
      -timeout=1 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$family-" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $family: finding, see $log and build/fuzz/findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $family: $runs runs in ${seconds} s, no finding"
done
