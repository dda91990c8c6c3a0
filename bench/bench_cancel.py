#!/usr/bin/python3
"""How fast a call that waits on the network ends when asked to, against
the simulated ABAP system over loopback:

  - cancel() from another thread while a call waits for a function that
    runs for 30 s: the time from cancel() to the moment the call thread has
    its RFC_CANCELED exception (and how long cancel() itself took);
  - close() from another thread, the same way;
  - a call with a `timeout` against a peer that trickles its reply one byte
    every 50 ms (so the connection is never silent for long): how far past
    its deadline the call ends.

Each figure is printed beside its goal and as the ratio figure/goal
(at most 1 meets the goal).

    /usr/bin/python3 bench/bench_cancel.py [runs]   (default 200)
    (lomra installed, or QUIB_BUILD_DIR=build/<dir> pointing at a CMake
    build configured with -DQUIB_PYTHON=ON)
"""

import pathlib
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))
sys.path.insert(0, str(ROOT / "bench"))
from bench_python_calls import import_lomra, percentile  # noqa: E402

GOAL_RETURN_MS = 10.0
GOAL_OVERSHOOT_MS = 50.0
TRICKLE = 0.05  # seconds between two bytes of the trickled reply
TIMEOUT = 0.3  # the deadline of the trickled call
SETTLE = 0.02  # how long the call has been waiting before it is cancelled or closed


def report(label, seconds, goal_ms):
    s = sorted(x * 1e3 for x in seconds)
    p50, p99 = percentile(s, 50), percentile(s, 99)
    print(f"{label:48} p50 {p50:7.2f} ms  p99 {p99:7.2f} ms   goal <= {goal_ms:.0f} ms   "
          f"ratio p50 {p50 / goal_ms:5.2f}  p99 {p99 / goal_ms:5.2f}")


def ended_from_another_thread(lomra, conn, how):
    """One call of Z_SIM_SLEEP (30 s) ended by cancel() or close() from this
    thread: (seconds from the request to the call thread's exception,
    seconds the request itself took)."""
    done = {}

    def run():
        try:
            conn.call("Z_SIM_SLEEP", {"MILLIS": 30000}, {})
        except lomra.CommunicationError:
            done["at"] = time.perf_counter()

    t = threading.Thread(target=run)
    t.start()
    time.sleep(SETTLE)
    start = time.perf_counter()
    getattr(conn, how)()
    returned = time.perf_counter() - start
    t.join(30)
    if "at" not in done:
        sys.exit(f"the call did not end with an error after {how}()")
    return done["at"] - start, returned


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    lomra = import_lomra()
    from simctl import Sim

    with Sim("--fault", f"trickle=call/STFC_CONNECTION:{TRICKLE}") as sim:
        params = {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER", "passwd": "secret"}
        print(f"{runs} runs each over loopback to the simulated ABAP system")

        conn = lomra.Connection(params, {})
        conn.function_description("Z_SIM_SLEEP")
        cancel_end, cancel_self = [], []
        for _ in range(runs):
            # Each cancel ends the conversation; the next call reopens first.
            end, took = ended_from_another_thread(lomra, conn, "cancel")
            cancel_end.append(end)
            cancel_self.append(took)
        conn.close()

        close_end, close_self = [], []
        conn = lomra.Connection(params, {})
        for _ in range(runs):
            end, took = ended_from_another_thread(lomra, conn, "close")
            close_end.append(end)
            close_self.append(took)
            conn.reopen()
        conn.close()

        overshoot = []
        conn = lomra.Connection(params, {})
        conn.function_description("STFC_CONNECTION")
        for _ in range(max(20, runs // 4)):
            start = time.perf_counter()
            try:
                conn.call("STFC_CONNECTION", {}, {"timeout": TIMEOUT})
                sys.exit("the trickled call returned")
            except lomra.CommunicationError:
                overshoot.append(time.perf_counter() - start - TIMEOUT)
        conn.close()

        report("cancel() -> the call thread has RFC_CANCELED", cancel_end, GOAL_RETURN_MS)
        report("cancel() itself", cancel_self, GOAL_RETURN_MS)
        report("close() -> the call thread has its error", close_end, GOAL_RETURN_MS)
        report("close() itself", close_self, GOAL_RETURN_MS)
        report(f"timeout {TIMEOUT} s, 1 byte every {TRICKLE * 1e3:.0f} ms: overshoot", overshoot,
               GOAL_OVERSHOOT_MS)
        print(f"(overshoot over {len(overshoot)} runs)")


if __name__ == "__main__":
    main()
