#!/usr/bin/env bash
# The Debian packages that lomra's build and tests use, in one list, and
# their installation. Usage: scripts/deps.sh MODE [--list]
#
#   example   what building the wheel and running the example against the
#             simulated ABAP system need (scripts/example.sh)
#   suite     that and what the whole test suite needs (.ci/run)
#
# Installs only the packages that are missing, with apt-get (as root, or
# through sudo). With --list it prints the packages of MODE, one a line, and
# installs nothing. Fails when packages are missing and the package index
# cannot be reached, or apt-get cannot install them.
set -euo pipefail

# package                  what uses it
example=(
  g++                      # the C and C++ compilers of the CMake build (CMake, setup.py)
  cmake                    # the build (setup.py runs it)
  ninja-build              # the generator CMake uses when it is there
  libfmt-dev               # fmt, header-only, in every layer
  libssl-dev               # OpenSSL: the TLS of WebSocket RFC
  python3                  # /usr/bin/python3: the build, the simulator, the example
  python3-dev              # Python.h for the extension module
  python3-setuptools       # the build backend (pyproject.toml)
  python3-wheel            # bdist_wheel for the backend
  python3-pip              # `python3 -m pip wheel` in scripts/venv.sh
  python3-venv             # build/venv in scripts/venv.sh
)
suite=(
  binutils                 # nm in scripts/pytest.sh: the module's exported symbols
  libgtest-dev             # GoogleTest suites (tests/)
  libbenchmark-dev         # Google Benchmark programs (bench/, built by scripts/check.sh)
  zlib1g-dev               # zlib as the DEFLATE oracle of tests, fuzz and bench
  libdeflate-dev           # libdeflate, the second anchor of the DEFLATE benchmark (bench/ only)
  clang-14                 # the fuzz build (libFuzzer)
  libclang-rt-14-dev       # libFuzzer and the sanitizer runtimes of clang
  clang-format-14          # scripts/check_format.sh: the sources as .clang-format writes them
  libpython3.11-testsuite  # the decimal test vectors of the DECFLOAT tests
  openssl                  # the simulator's throwaway WebSocket RFC certificates
  python3-pytest           # the Python tests
  python3-hypothesis       # property tests of the value conversion
  python3-websockets       # oracle of the simulator's WebSocket frames
  python3-build            # the sdist and the wheel built from it (scripts/venv.sh --sdist)
  krb5-kdc                 # krb5kdc and kdb5_util for the SNC tests' realm
  krb5-admin-server        # kadmin.local for the SNC tests' principals
  krb5-user                # kinit for the SNC tests' client
  libkrb5-dev              # the GSS-API headers of the SNC test shim
  libgssapi-krb5-2         # the GSS-API library the SNC test shim loads
  python3-gssapi           # the simulator's Kerberos acceptor
)

mode=${1:-}
case "$mode" in
  example) wanted=("${example[@]}") ;;
  suite) wanted=("${example[@]}" "${suite[@]}") ;;
  *)
    echo "usage: scripts/deps.sh example|suite [--list]" >&2
    exit 2
    ;;
esac
if [ "${2:-}" = "--list" ]; then
  printf '%s\n' "${wanted[@]}"
  exit 0
fi

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "deps.sh: this is not a Debian system (no dpkg-query or apt-get); install these yourself:" >&2
  echo "  ${wanted[*]}" >&2
  exit 1
fi

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "deps.sh: the Debian packages for '$mode' are installed"
  exit 0
fi

echo "deps.sh: installing ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "deps.sh: installing needs root; as root run: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# --error-on=any: an index that cannot be fetched is an error, not a warning
# followed by an install from stale or empty lists.
if ! "${as_root[@]}" apt-get update -q --error-on=any; then
  echo "deps.sh: cannot reach the package index, so these missing packages cannot be installed:" >&2
  echo "  ${missing[*]}" >&2
  exit 1
fi
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
