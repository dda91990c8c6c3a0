"""Reading the simulator's log from a process that did not start it (a
fresh interpreter of a test, a benchmark's child): the JSON lines of the
file `log_path` names (simctl.Sim.log_path)."""

import json
import time


def requests_seen(log_path, function):
    """How many requests of `function` the simulator has received so far."""
    n = 0
    with open(log_path, encoding="utf-8") as f:
        for line in f:
            try:
                e = json.loads(line)
            except ValueError:
                break  # a line being written right now
            n += e.get("kind") == "message" and e.get("dir") == "recv" and e.get("function") == function
    return n


def wait_for_request(log_path, function, count=1, patience=30.0):
    """Waits until the simulator has received `count` requests of
    `function`; AssertionError after `patience` seconds."""
    end = time.monotonic() + patience
    while requests_seen(log_path, function) < count:
        if time.monotonic() >= end:
            raise AssertionError(f"{count} requests of {function} never reached the simulator")
        time.sleep(0.002)
