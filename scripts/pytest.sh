#!/usr/bin/env bash
# Builds the abi3 wheel with pip (no network: no build isolation), installs it
# into a scratch virtual environment that sees Debian's Python packages, and
# runs the Python tests and the simulator's self-tests with it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=/usr/bin/python3
dist=build/dist
venv=build/venv
rm -rf "$dist"
"$py" -m pip wheel --no-build-isolation --no-deps -q . -w "$dist"
wheel=$(ls "$dist"/lomra-*.whl)
case "$wheel" in
  *-cp311-abi3-*.whl) echo "wheel: $(basename "$wheel")" ;;
  *) echo "not an abi3 wheel: $wheel" >&2; exit 1 ;;
esac
rm -rf "$venv"
"$py" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-deps --no-index "$wheel"
# Only the PyInit symbol may be exported.
so=$(find "$venv" -name '_quib_lomra.abi3.so' | head -1)
exported=$(nm -D --defined-only "$so" | awk '{print $3}' | grep -v '^$' | sort -u)
if [ "$exported" != "PyInit__quib_lomra" ]; then
  echo "unexpected exported symbols: $exported" >&2
  exit 1
fi
cd "$root/tests"   # never import the source tree's lomra/ by accident
"$root/$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/sim" "$root/tests/py"
