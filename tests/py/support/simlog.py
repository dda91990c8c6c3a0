"""Reading the simulator's log from a process that did not start it (a
fresh interpreter of a test, a benchmark's child): the JSON lines of the
file `log_path` names (simctl.Sim.log_path), filtered as simctl.Sim.entries
filters them."""

import json
import time


def count(log_path, **filters):
    """How many log entries so far have every field of `filters`."""
    n = 0
    with open(log_path, encoding="utf-8") as f:
        for line in f:
            try:
                e = json.loads(line)
            except ValueError:
                break  # a line being written right now
            n += all(e.get(k) == v for k, v in filters.items())
    return n


def requests_seen(log_path, function):
    """How many requests of `function` the simulator has received so far."""
    return count(log_path, kind="message", dir="recv", function=function)


def wait_for(log_path, wanted=1, patience=30.0, **filters):
    """Waits until `wanted` entries match `filters`; whether they did within
    `patience` seconds."""
    end = time.monotonic() + patience
    while count(log_path, **filters) < wanted:
        if time.monotonic() >= end:
            return False
        time.sleep(0.002)
    return True


def wait_for_request(log_path, function, wanted=1, patience=30.0):
    """Waits until the simulator has received `wanted` requests of
    `function`; AssertionError after `patience` seconds."""
    if not wait_for(log_path, wanted, patience, kind="message", dir="recv", function=function):
        raise AssertionError(f"{wanted} requests of {function} never reached the simulator")
