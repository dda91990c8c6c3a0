#!/usr/bin/env bash
# Builds the abi3 wheel (no network: no build isolation) and installs it into
# build/venv, a virtual environment that also sees Debian's Python packages.
# The build's own output (CMake and the compiler) is shown as it runs.
#
#   scripts/venv.sh           the wheel from this tree (pip)
#   scripts/venv.sh --sdist   the sdist first, then the wheel from the sdist
#                             (python3 -m build): proves that the sdist holds
#                             everything the build reads, and nothing beyond
#                             what MANIFEST.in lists (scripts/check_sdist.py)
set -euo pipefail
cd "$(dirname "$0")/.."
py=/usr/bin/python3
dist=build/dist
venv=build/venv
rm -rf "$dist"
case "${1:-}" in
  "")
    "$py" -m pip wheel --no-build-isolation --no-deps -v . -w "$dist"
    ;;
  --sdist)
    "$py" -m build --no-isolation --outdir "$dist" .
    sdist=$(ls "$dist"/lomra-*.tar.gz)
    # Only what MANIFEST.in lists, and nothing a clone, a venv, a build or a
    # test run leaves behind.
    if ! "$py" scripts/check_sdist.py "$sdist" >&2; then
      echo "the sdist holds what it must not ship (above): $sdist" >&2
      exit 1
    fi
    echo "sdist: $(basename "$sdist"), $(tar -tzf "$sdist" | grep -vc '/$') files," \
      "$(stat -c %s "$sdist") bytes"
    ;;
  *)
    echo "usage: scripts/venv.sh [--sdist]" >&2
    exit 2
    ;;
esac
wheel=$(ls "$dist"/lomra-*.whl)
case "$wheel" in
  *-cp311-abi3-*.whl) echo "wheel: $(basename "$wheel")" ;;
  *) echo "not an abi3 wheel: $wheel" >&2; exit 1 ;;
esac
rm -rf "$venv"
"$py" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-deps --no-index "$wheel"
# The packaged module keeps its dynamic symbols only.
so=$(find "$venv" -name '_quib_lomra.abi3.so' | head -1)
if readelf -S --wide "$so" | grep -q ' \.symtab '; then
  echo "the wheel's module keeps its symbol table: $so" >&2
  exit 1
fi
echo "module: $(stat -c %s "$so") bytes, no symbol table"
