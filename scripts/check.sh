#!/usr/bin/env bash
# The whole test suite: the include check (no cycle between modules, no
# include upward between layer folders), the format check, release build and its tests, the
# sanitizer builds (ASan and UBSan, TSan) and their tests, a short bounded run of every fuzz target
# from its seed corpus, the Python tests against the simulated ABAP system on
# the wheel built from the sdist, and scripts/example.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${QUIB_JOBS:-$(nproc)}  # QUIB_JOBS: fewer parallel jobs on a shared machine
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

step() { printf '\n=== %s\n' "$*"; }

step "include graph: no cycles, no upward includes between layers"
/usr/bin/python3 scripts/check_includes.py

step "format: every C and C++ source as clang-format writes it"
bash scripts/check_format.sh

step "release build and unit tests"
cmake -S . -B build/release "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIB_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

step "sanitizer build (ASan + UBSan) and unit tests"
cmake -S . -B build/asan "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DQUIB_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "thread sanitizer build (TSan) and unit tests"
# The threaded suites (the metadata cache, the waitable lock, waits, cancel
# handles, the sessions against the simulator) are what it is for; the rest
# is quick enough to keep.
cmake -S . -B build/tsan "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DQUIB_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs"

step "fuzz targets (clang, libFuzzer), a short run each"
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUIB_FUZZ=ON -DQUIB_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
bash scripts/fuzz.sh build/fuzz "${QUIB_FUZZ_SECONDS:-5}"

if [ -f pyproject.toml ]; then
  step "Python package (the sdist, then the wheel from it) and tests"
  bash scripts/pytest.sh --sdist
  step "scripts/example.sh: the wheel from the tree, the example against the simulated ABAP system"
  bash scripts/example.sh >build/example.out 2>&1 || { cat build/example.out; exit 1; }
  tail -5 build/example.out
fi

step "all passed"
