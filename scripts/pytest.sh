#!/usr/bin/env bash
# Installs the wheel into build/venv (scripts/venv.sh; `--sdist` is passed on
# to it), checks that the extension exports nothing but its init symbol, and
# runs the Python tests and the simulator's self-tests with it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/venv.sh "$@"
so=$(find build/venv -name '_quib_lomra.abi3.so' | head -1)
exported=$(nm -D --defined-only "$so" | awk '{print $3}' | grep -v '^$' | sort -u)
if [ "$exported" != "PyInit__quib_lomra" ]; then
  echo "unexpected exported symbols: $exported" >&2
  exit 1
fi
# Hypothesis keeps its example database with the build output, not in the tree.
export HYPOTHESIS_STORAGE_DIRECTORY="$root/build/hypothesis"
cd "$root/tests"   # never import the source tree's lomra/ by accident
"$root/build/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/sim" "$root/tests/py"
