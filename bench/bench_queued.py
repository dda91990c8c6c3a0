#!/usr/bin/python3
"""How fast a call queued behind another thread's call ends when its own
end comes, against the simulated ABAP system over loopback. Another thread
keeps the session busy with a function that runs for 60 s throughout;
the queued call, which waits for the session, is ended by

  - its own `timeout`: the time from the call to its RFC_CANCELED, beside
    the deadline itself (and how far past the deadline it ended);
  - Ctrl-C (SIGINT, the queued call on the main thread of a fresh
    interpreter): the time from the signal to the KeyboardInterrupt;
  - close() from another thread: the time from close() to the queued
    call's error.

Each figure is printed beside its goal and as the ratio figure/goal (at
most 1 meets the goal).

    /usr/bin/python3 bench/bench_queued.py [runs]   (default 100)
    (lomra installed, or QUIB_BUILD_DIR=build/<dir> pointing at a CMake
    build configured with -DQUIB_PYTHON=ON)
"""

import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))
sys.path.insert(0, str(ROOT / "bench"))
from bench_cancel import report  # noqa: E402
from bench_python_calls import import_lomra  # noqa: E402
from simlog import requests_seen, wait_for_request  # noqa: E402

TIMEOUT = 0.2  # the queued call's deadline
GOAL_OVERSHOOT_MS = 50.0  # as for a call that waits for its reply (bench_cancel.py)
GOAL_CTRL_C_MS = 100.0
GOAL_CLOSE_MS = 10.0
SETTLE = 0.02  # how long the queued call has been waiting before it is ended


def params_of(port):
    return {"ashost": "127.0.0.1", "port": str(port), "user": "TESTER", "passwd": "secret"}


class Busy:
    """A connection whose session another thread keeps busy: Z_SIM_SLEEP of
    60 s, started again after each close() (which ends it)."""

    def __init__(self, lomra, port, log_path):
        self.lomra = lomra
        self.log_path = log_path
        self.conn = lomra.Connection(params_of(port), {})
        self.conn.function_description("Z_SIM_SLEEP")
        self.conn.function_description("STFC_CONNECTION")
        self.thread = None

    def occupy(self):
        """Starts the long call on a thread of its own and returns once its
        request has reached the simulator: the session is taken."""
        seen = requests_seen(self.log_path, "Z_SIM_SLEEP")

        def run():
            try:
                self.conn.call("Z_SIM_SLEEP", {"MILLIS": 60000}, {})
            except self.lomra.CommunicationError:
                pass

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        wait_for_request(self.log_path, "Z_SIM_SLEEP", seen + 1)


def queued_timeouts(lomra, port, log_path, runs):
    """(seconds from the queued call to its exception) per run."""
    busy = Busy(lomra, port, log_path)
    busy.occupy()
    took = []
    for _ in range(runs):
        start = time.perf_counter()
        try:
            busy.conn.call("STFC_CONNECTION", {}, {"timeout": TIMEOUT})
            sys.exit("the queued call got the session")
        except lomra.CommunicationError:
            took.append(time.perf_counter() - start)
    busy.conn.close()
    return took


def queued_closes(lomra, port, log_path, runs):
    """(seconds from close() to the queued call's exception) per run."""
    busy = Busy(lomra, port, log_path)
    took = []
    for _ in range(runs):
        busy.conn.reopen()
        busy.occupy()
        done = {}

        def queued():
            try:
                busy.conn.call("STFC_CONNECTION", {}, {})
            except lomra.CommunicationError:
                done["at"] = time.perf_counter()

        t = threading.Thread(target=queued)
        t.start()
        time.sleep(SETTLE)
        start = time.perf_counter()
        busy.conn.close()
        t.join(30)
        if "at" not in done:
            sys.exit("the queued call did not end with an error after close()")
        took.append(done["at"] - start)
        busy.thread.join(30)
    return took


def ctrl_c_child(port, log_path, runs):
    """In a fresh interpreter: the queued call on the main thread, SIGINT
    from another thread; prints the seconds from each signal to its
    KeyboardInterrupt as JSON."""
    lomra = import_lomra()
    busy = Busy(lomra, port, log_path)
    busy.occupy()
    took = []
    for _ in range(runs):
        sent = {}

        def kick():
            time.sleep(SETTLE)
            sent["at"] = time.perf_counter()
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=kick).start()
        try:
            busy.conn.call("STFC_CONNECTION", {}, {})
            sys.exit("the queued call got the session")
        except KeyboardInterrupt:
            took.append(time.perf_counter() - sent["at"])
    print(json.dumps(took))
    os._exit(0)  # the busy call needs no ending


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--ctrl-c-child":
        ctrl_c_child(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
        return
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    lomra = import_lomra()
    from simctl import Sim

    with Sim() as sim:
        print(f"{runs} runs each over loopback to the simulated ABAP system")
        timeouts = queued_timeouts(lomra, sim.gateway, sim.log_path, runs)
        closes = queued_closes(lomra, sim.gateway, sim.log_path, runs)
        child = subprocess.run([sys.executable, __file__, "--ctrl-c-child", str(sim.gateway), sim.log_path,
                                str(runs)],
                               capture_output=True, text=True, timeout=600, env=os.environ)
        if child.returncode != 0:
            sys.exit(child.stderr)
        ctrl_c = json.loads(child.stdout.strip().splitlines()[-1])

        # The goal of a timeout is the deadline itself: a ratio of 1.00.
        report(f"queued, timeout {TIMEOUT * 1e3:.0f} ms: call -> RFC_CANCELED", timeouts, TIMEOUT * 1e3)
        report("  the same: past its deadline", [t - TIMEOUT for t in timeouts], GOAL_OVERSHOOT_MS)
        report("queued: SIGINT -> KeyboardInterrupt", ctrl_c, GOAL_CTRL_C_MS)
        report("queued: close() -> its error", closes, GOAL_CLOSE_MS)


if __name__ == "__main__":
    main()
