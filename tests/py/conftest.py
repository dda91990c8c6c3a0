"""Shared set-up of the binding's tests.

`lomra` comes from the installed wheel when there is one (scripts/pytest.sh
installs it into a virtual environment). Otherwise the package is assembled
in a scratch directory from the source tree's lomra/__init__.py and the
module built in $QUIB_BUILD_DIR (for instance build/e1, configured with
-DQUIB_PYTHON=ON), or else in the newest build below build/, so that a
quick CMake build can be tested without a wheel (support/find_lomra.py).

The simulated ABAP system of tests/sim is the server of every test that
needs one; tests/py/support/extsim.py is the same simulator with a few
extra functions.
"""

import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
SIM_DIR = ROOT / "tests" / "sim"
EXT_SIM = HERE / "support" / "extsim.py"

sys.path.insert(0, str(SIM_DIR))
sys.path.insert(0, str(HERE / "support"))
import find_lomra  # noqa: E402
import simctl  # noqa: E402

# The default account of the simulator.
USER, PASSWORD, CLIENT = "TESTER", "secret", "001"


try:
    lomra = find_lomra.load(any_build=True)
except find_lomra.LomraMissing as exc:
    raise RuntimeError(f"{exc}: run scripts/pytest.sh, or set QUIB_BUILD_DIR to a CMake build with QUIB_PYTHON=ON") \
        from None

# The directory that holds the lomra package (not resolved: the assembled
# package is made of symbolic links), for subprocesses.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(lomra.__file__)))
MODULE_PATH = lomra._quib_lomra.__file__


def run_python(code, env=None, timeout=120, text=True, base_env=None):
    """Runs `code` in a fresh interpreter that finds this lomra and simctl,
    with the environment `base_env` (default: this one) plus `env`; returns
    the completed process (stdout and stderr as text, or bytes)."""
    full_env = dict(os.environ if base_env is None else base_env)
    full_env["PYTHONPATH"] = os.pathsep.join([PACKAGE_PARENT, str(SIM_DIR), str(HERE)])
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=text, env=full_env,
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


class Calling:
    """An integer (1) whose conversion calls `method` of the connection it
    is sent on."""

    def __init__(self, conn, method):
        self.conn = conn
        self.method = method

    def __index__(self):
        getattr(self.conn, self.method)()
        return 1


class Closing(Calling):
    """An integer (1) whose conversion closes the connection it is sent on."""

    def __init__(self, conn):
        super().__init__(conn, "close")


def in_thread(target, *args):
    """Runs target(*args) on a thread; returns the thread and a dict that gets
    the result or the exception, and the monotonic time it ended ("ended")."""
    out = {}

    def run():
        try:
            out["result"] = target(*args)
        except BaseException as e:  # noqa: BLE001 - handed to the test
            out["error"] = e
        out["ended"] = time.monotonic()

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, out


class Asking:
    """An integer (`value`) whose conversion uses the connection it is sent
    on; `seen` is the system id it got."""

    def __init__(self, conn, value):
        self.conn = conn
        self.value = value
        self.seen = None

    def __index__(self):
        self.seen = self.conn.connection_attributes()["sysId"]
        return self.value


@pytest.fixture(scope="module")
def sim():
    with simctl.Sim() as s:
        yield s


@pytest.fixture(scope="module")
def ext_sim():
    with ExtSim() as s:
        yield s


def _connected(sim):
    c = lomra.Connection(logon(sim), {})
    yield c
    c.close()


@pytest.fixture
def conn(sim):
    yield from _connected(sim)


@pytest.fixture(scope="module")
def mconn(sim):
    """One connection for a whole module (hypothesis runs many examples)."""
    yield from _connected(sim)


@pytest.fixture
def ext_conn(ext_sim):
    yield from _connected(ext_sim)
