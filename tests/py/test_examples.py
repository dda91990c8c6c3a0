"""The examples of examples/ run against the simulator as the README says
(call_sim.py runs in scripts/example.sh); each prints what shows that its
use worked."""

import os
import subprocess
import sys

import pytest

from conftest import PACKAGE_PARENT, ROOT

EXAMPLES = [
    ("structures_sim.py", [
        "'DAY': datetime.date(2024, 2, 29), 'SCORE': 0.0}",
        'ExternalRuntimeError: I_ROW-NAME "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx": 30 characters do not fit an ABAP '
        "Char of length 20",
        'TypeError: an integer required for parameter "T_IN[1]-ID", got str "two"',
        "CommunicationError: Z_SIM_SLEEP did not answer within the timeout (code 7, key RFC_CANCELED)",
        "next call: again",
    ]),
    ("server_sim.py", ["served: Z_SIM_ECHO", "the caller got: E_CHAR='HELLO' (reply)", "served: None"]),
    ("units_sim.py", ["calls submitted: 2", "confirmed; the server ran: ['Z_SIM_ECHO', 'RFC_PING']"]),
    ("routes_sim.py", ["logged on to qsihost, system QSI", "Sysid: QSI Client: 001 User: TESTER"]),
]


@pytest.mark.parametrize("script, shows", EXAMPLES, ids=[e[0] for e in EXAMPLES])
def test_example_runs_against_the_simulator(script, shows):
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / script)], capture_output=True, text=True,
                          env=env, timeout=120, cwd=str(ROOT / "tests"))
    assert proc.returncode == 0, proc.stderr
    for line in shows:
        assert line in proc.stdout, proc.stdout
