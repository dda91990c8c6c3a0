#!/usr/bin/python3
"""How fast a Server's serve_one ends when asked to, against the simulated
gateway for registered servers over loopback:

  - close() from another thread while serve_one waits for a call: the time
    from close() to the moment serve_one has returned in its thread (and
    how long close() itself took);
  - SIGINT while serve_one waits: the time from the signal to the
    KeyboardInterrupt in the waiting thread;
  - serve_one(timeout=0) against a gateway that trickles a call one byte
    every 0.5 s (the connection is never silent for long, and the call
    never completes in time): how far past its poll interval (2 s) it
    returns.

The figures are printed as bench_cancel.py prints its own: p50 and p99,
the goal, and figure/goal (1 or less meets it).

    /usr/bin/python3 bench/bench_server.py [runs]   (default 200; the
    lomra it measures is found as bench_cancel.py finds it)
"""

import os
import signal
import sys
import threading
import time

# Importing bench_cancel puts the simulator's and the tests' helpers on
# sys.path.
from bench_cancel import report
from bench_python_calls import import_lomra

GOAL_CLOSE_MS = 10.0
GOAL_SIGNAL_MS = 100.0
GOAL_OVERSHOOT_MS = 50.0
POLL = 2.0  # serve_one's poll interval, seconds
TRICKLE = 0.5  # seconds between two bytes of the trickled call
SETTLE = 0.02  # how long serve_one has been waiting before it is asked to end


def closed_from_another_thread(lomra, sp, cp):
    """One Server whose waiting serve_one is ended by close() from this
    thread: (seconds from close() to serve_one's return in its thread,
    seconds close() itself took)."""
    server = lomra.Server(sp, cp)
    done = {}

    def run():
        done["result"] = server.serve_one({}, 60)
        done["at"] = time.perf_counter()

    t = threading.Thread(target=run)
    t.start()
    time.sleep(SETTLE)
    start = time.perf_counter()
    server.close()
    took = time.perf_counter() - start
    t.join(30)
    if done.get("result", "missing") is not None:
        sys.exit("serve_one did not return None after close()")
    return done["at"] - start, took


def interrupted_by_sigint(server):
    """One SIGINT to this process while serve_one waits in the main thread:
    seconds from the signal to the KeyboardInterrupt."""
    sent = {}

    def kill():
        time.sleep(SETTLE)
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    t = threading.Thread(target=kill)
    t.start()
    try:
        server.serve_one({}, 60)
        sys.exit("serve_one returned without KeyboardInterrupt")
    except KeyboardInterrupt:
        at = time.perf_counter()
    t.join()
    return at - sent["at"]


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    lomra = import_lomra()
    from regctl import RegControl
    from simctl import Sim

    with Sim("--reggateway") as sim, RegControl(sim.regcontrol) as ctl:
        sp = {"program_id": "LOMRA_BENCH", "gwhost": "127.0.0.1", "gwserv": str(sim.reggateway)}
        cp = {"ashost": "127.0.0.1", "sysnr": str((sim.gateway - 3300) % 65536), "user": "TESTER",
              "passwd": "secret", "client": "001"}
        print(f"{runs} runs each over loopback to the simulated gateway")

        close_end, close_self = [], []
        for _ in range(runs):
            end, took = closed_from_another_thread(lomra, sp, cp)
            close_end.append(end)
            close_self.append(took)

        server = lomra.Server(sp, cp)
        signal_end = [interrupted_by_sigint(server) for _ in range(runs)]

        overshoot = []
        ctl.call("LOMRA_BENCH", "STFC_CONNECTION", {"REQUTEXT": "x" * 200}, fault=f"trickle:{TRICKLE}",
                 wait=600)
        for _ in range(max(5, runs // 40)):
            start = time.perf_counter()
            if server.serve_one({}, 0) is not None:
                sys.exit("the trickled call was served")
            overshoot.append(time.perf_counter() - start - POLL)
        server.close()

        report("close() -> serve_one has returned", close_end, GOAL_CLOSE_MS)
        report("close() itself", close_self, GOAL_CLOSE_MS)
        report("SIGINT -> KeyboardInterrupt in serve_one", signal_end, GOAL_SIGNAL_MS)
        report(f"timeout 0, 1 byte every {TRICKLE * 1e3:.0f} ms: overshoot", overshoot, GOAL_OVERSHOOT_MS)
        print(f"(overshoot over {len(overshoot)} runs)")


if __name__ == "__main__":
    main()
