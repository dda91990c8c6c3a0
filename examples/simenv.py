"""What the examples share: lomra (the installed package, else a CMake build
named by QUIB_BUILD_DIR) and the simulated ABAP system of tests/sim.

    lomra, Sim = simenv.setup()
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))


def setup():
    """lomra and the simulator's Sim class; exits with the way to get lomra
    when there is none."""
    import find_lomra  # noqa: E402
    from simctl import Sim  # noqa: E402

    try:
        return find_lomra.load(), Sim
    except find_lomra.LomraMissing as exc:
        sys.exit(f"{exc}: run `pip install --no-build-isolation .` first, "
                 "or set QUIB_BUILD_DIR to a CMake build configured with -DQUIB_PYTHON=ON")


def section(title):
    print(f"\n== {title}")


def logon(sim, **more):
    """Parameters of a direct logon to the simulator's default account."""
    return {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER", "passwd": "secret",
            "client": "001", "lang": "EN", **more}
