#!/usr/bin/env bash
# Builds the abi3 wheel with pip (no network: no build isolation) and installs
# it into build/venv, a virtual environment that also sees Debian's Python
# packages. Prints nothing but the wheel's name on success.
set -euo pipefail
cd "$(dirname "$0")/.."
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
