"""Shared set-up of the binding's tests.

`lomra` comes from the installed wheel when there is one (scripts/pytest.sh
installs it into a virtual environment). Otherwise the package is assembled
in a scratch directory from the source tree's lomra/__init__.py and the
module built in $QUIB_BUILD_DIR (for instance build/e1, configured with
-DQUIB_PYTHON=ON), so that a quick CMake build can be tested without a wheel.

The simulated ABAP system of tests/sim is the server of every test that
needs one; tests/py/support/extsim.py is the same simulator with a few
extra functions.
"""

import glob
import importlib
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
SIM_DIR = ROOT / "tests" / "sim"
EXT_SIM = HERE / "support" / "extsim.py"

sys.path.insert(0, str(SIM_DIR))
import simctl  # noqa: E402

# The default account of the simulator.
USER, PASSWORD, CLIENT = "TESTER", "secret", "001"


def _installed_lomra():
    try:
        module = importlib.import_module("lomra")
        importlib.import_module("lomra._quib_lomra")
        return module
    except ImportError:
        for name in ("lomra._quib_lomra", "lomra"):
            sys.modules.pop(name, None)
        return None


def _built_module():
    build = os.environ.get("QUIB_BUILD_DIR")
    if build:
        path = pathlib.Path(build).resolve() / "python" / "lomra" / "_quib_lomra.abi3.so"
        if not path.exists():
            raise RuntimeError(f"QUIB_BUILD_DIR={build} holds no python/lomra/_quib_lomra.abi3.so")
        return path
    found = sorted(glob.glob(str(ROOT / "build" / "*" / "python" / "lomra" / "_quib_lomra.abi3.so")),
                   key=os.path.getmtime)
    if not found:
        raise RuntimeError("lomra is not installed and no build holds _quib_lomra.abi3.so: "
                           "run scripts/pytest.sh, or set QUIB_BUILD_DIR to a CMake build with QUIB_PYTHON=ON")
    return pathlib.Path(found[-1])


def _assemble_lomra():
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="lomra-pkg-"))
    package = scratch / "lomra"
    package.mkdir()
    (package / "__init__.py").symlink_to(ROOT / "lomra" / "__init__.py")
    (package / "_quib_lomra.abi3.so").symlink_to(_built_module())
    sys.path.insert(0, str(scratch))
    importlib.invalidate_caches()
    return importlib.import_module("lomra")


lomra = _installed_lomra() or _assemble_lomra()

# The directory that holds the lomra package (not resolved: the assembled
# package is made of symbolic links), for subprocesses.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(lomra.__file__)))
MODULE_PATH = lomra._quib_lomra.__file__


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that finds this lomra and simctl;
    returns the completed process (stdout and stderr as text)."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join([PACKAGE_PARENT, str(SIM_DIR), str(HERE)])
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env,
                          timeout=timeout, cwd=str(HERE))


class ExtSim(simctl.Sim):
    """The simulator with the extra functions of support/extsim.py."""

    def __init__(self, *args, **kw):
        saved = simctl.SIM_SCRIPT
        simctl.SIM_SCRIPT = str(EXT_SIM)
        try:
            super().__init__(*args, **kw)
        finally:
            simctl.SIM_SCRIPT = saved


def logon(sim, **overrides):
    """Parameters of a direct logon to `sim` with its default account."""
    params = {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": USER, "passwd": PASSWORD,
              "client": CLIENT}
    params.update(overrides)
    return {k: v for k, v in params.items() if v is not None}


@pytest.fixture(scope="module")
def sim():
    with simctl.Sim() as s:
        yield s


@pytest.fixture(scope="module")
def ext_sim():
    with ExtSim() as s:
        yield s


@pytest.fixture
def conn(sim):
    c = lomra.Connection(logon(sim), {})
    yield c
    c.close()


@pytest.fixture
def ext_conn(ext_sim):
    c = lomra.Connection(logon(ext_sim), {})
    yield c
    c.close()
