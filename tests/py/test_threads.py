"""Threads, forks and signal handlers that meet on one Connection.

- A call queued behind another thread's call waits for the session within
  its own deadline; its timeout, Ctrl-C and close() end that wait, and none
  of them touches the session the other thread uses (no cancel record, no
  new conversation); cancel() cancels the call inside, not the queued one.
- reopen() is one more operation on the session: callers and getters on
  other threads wait for it and never find the connection closed.
- After fork() the child leaves the parent's session alone: its first use
  opens a session of its own, within its deadline, whether the parent was
  idle or inside a call, and the parent's conversation sees nothing of it.
- A signal handler that runs inside a wait of the thread that holds the
  session is refused at once when it wants the session, and can still
  cancel and close.
- Name resolution is a wait of the open: a resolver that hangs ends it at
  its timeout, naming the step, and Ctrl-C ends it too.
- Running out of memory raises MemoryError, on every new thread.

Each multi-threaded or signal case runs in a fresh interpreter, whose
result comes back as one JSON line. Timings are hang guards only; the
latencies are measured by bench/bench_queued.py."""

import json
import os
import shutil
import subprocess
import textwrap
import threading
import time

import pytest

from conftest import HERE, in_thread, lomra, logon, run_python
import simctl

TOLERANCE = 1.5  # generous: a loaded CI machine must pass too


def outcome(proc):
    """The JSON line the fresh interpreter printed last."""
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# Shared by the scripts below: the outcome of a call as JSON, and a wait
# until the simulator has received a request (read from its log file).
PRELUDE = textwrap.dedent("""
    import json, os, signal, sys, threading, time
    import lomra
    from support.simlog import wait_for_request

    def described(e):
        return [type(e).__name__, getattr(e, "code", None), str(e)]

    def attempt(f, *args):
        try:
            return ["result", f(*args)]
        except BaseException as e:  # noqa: BLE001 - reported to the test
            return described(e)

""")


def run_script(body, patience=120, env=None, **values):
    """Runs `body` after PRELUDE in a fresh interpreter, with each of `values`
    filled in as a Python literal; its JSON line."""
    code = PRELUDE + textwrap.dedent(body).format(**{k: repr(v) for k, v in values.items()})
    return outcome(run_python(code, env=env, timeout=patience))


# --- a call queued behind another thread's call ------------------------------------------------

QUEUED = textwrap.dedent("""
    params, end, log_path, timeout, hold_ms = {params}, {end}, {log_path}, {timeout}, {hold_ms}
    c = lomra.Connection(params, {{}})
    # Cached first: each call then sends nothing but its own request.
    c.function_description("Z_SIM_SLEEP")
    c.function_description("STFC_CONNECTION")
    before = c.connection_attributes()["sessionId"]

    inside = {{}}
    def first():
        inside["out"] = attempt(c.call, "Z_SIM_SLEEP", {{"MILLIS": hold_ms}}, {{}})
    a = threading.Thread(target=first)
    a.start()
    wait_for_request(log_path, "Z_SIM_SLEEP")

    # The queued call runs on the main thread, where Ctrl-C is raised. Its
    # wait runs Python's signal handlers: one that finds the call begun
    # tells that it waits.
    marks = {{}}
    def note(signum, frame):
        if "calling" in marks:
            marks["waiting"] = True
    signal.signal(signal.SIGUSR1, note)
    def act():
        while "waiting" not in marks:
            os.kill(os.getpid(), signal.SIGUSR1)
            time.sleep(0.02)
        time.sleep(0.05)
        marks["at"] = time.monotonic()
        if end == "ctrl-c":
            os.kill(os.getpid(), signal.SIGINT)
        else:
            getattr(c, end)()
    if end != "timeout":
        threading.Thread(target=act, daemon=True).start()
    start = marks["calling"] = time.monotonic()
    queued = attempt(lambda: c.call("STFC_CONNECTION", {{"REQUTEXT": "queued"}},
                                    {{"timeout": timeout}} if end == "timeout" else {{}})["ECHOTEXT"])
    ended = time.monotonic()
    a.join(60)
    after = c.connection_attributes()["sessionId"] if c.alive else None
    print(json.dumps({{"queued": queued, "inside": inside["out"], "same_session": after == before,
                       "took": ended - marks.get("at", start + timeout), "alive": c.alive}}))
""")

CLOSED = "was interrupted: the connection was closed"
QUEUED_CASES = [
    # end: what the queued call gets, what the call inside gets, whether
    # the session inside was left alone (no cancel record, same session)
    ("timeout", ["CommunicationError", 7, "STFC_CONNECTION could not get the connection within the timeout"],
     ["result", {"E_MILLIS": 3000}], True),
    ("ctrl-c", ["KeyboardInterrupt", None, ""], ["result", {"E_MILLIS": 3000}], True),
    ("close", ["CommunicationError", 13, f"STFC_CONNECTION {CLOSED}"],
     ["CommunicationError", 13, f"Z_SIM_SLEEP {CLOSED}"], False),
    # cancel() is for the call inside: the queued one then runs, on a new session.
    ("cancel", ["result", None, "queued"], ["CommunicationError", 7, "Z_SIM_SLEEP was cancelled"], False),
]


@pytest.mark.parametrize("end, queued, inside, untouched", QUEUED_CASES, ids=[c[0] for c in QUEUED_CASES])
def test_a_queued_call_ends_as_asked_without_touching_the_session_inside(end, queued, inside, untouched):
    timeout = 0.5
    with simctl.Sim() as sim:
        out = run_script(QUEUED, params=logon(sim), end=end, log_path=sim.log_path, timeout=timeout,
                         hold_ms=3000)
        got = out["queued"]
        if queued[0] == "result":
            assert got == ["result", queued[2]], out
        else:
            assert got == queued, out
            # It ended at its own deadline (or soon after its Ctrl-C or close),
            # not when the call inside let the session go.
            assert -0.05 <= out["took"] <= TOLERANCE, out
        assert out["inside"] == inside, out
        sent = [e["conn"] for e in sim.entries(kind="message", dir="recv", function="STFC_CONNECTION")]
        if untouched:
            # Nothing reached the server of the queued call, no cancel record
            # went out, and the conversation inside goes on.
            assert sent == [] and sim.events("cancel") == [], out
            assert out["same_session"] and out["alive"], out
            assert len(sim.events("accepted", server="gateway")) == 1
        elif end == "cancel":
            assert len(sim.events("cancel")) == 1 and sent == [2], out
            assert out["alive"] and not out["same_session"], out
        else:
            assert sent == [] and out["alive"] is False, out


# --- reopen() among other threads ----------------------------------------------------------------

def test_callers_and_getters_wait_for_reopen_and_never_find_the_connection_closed(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("STFC_CONNECTION")
    stop = time.monotonic() + 1.5
    errors, dead, counts = [], [], {"calls": 0, "getters": 0, "reopens": 0}

    def caller(n):
        while time.monotonic() < stop:
            try:
                assert c.call("STFC_CONNECTION", {"REQUTEXT": f"t{n}"}, {})["ECHOTEXT"] == f"t{n}"
                counts["calls"] += 1
            except Exception as e:  # noqa: BLE001 - collected
                errors.append(repr(e))

    def getter():
        while time.monotonic() < stop:
            try:
                assert c.connection_attributes()["sysId"] == "QSI"
                counts["getters"] += 1
            except Exception as e:  # noqa: BLE001 - collected
                errors.append(repr(e))
            if not c.alive:
                dead.append(time.monotonic())

    def reopener():
        while time.monotonic() < stop:
            c.reopen()
            counts["reopens"] += 1
            time.sleep(0.02)

    threads = [threading.Thread(target=f, args=a) for f, a in
               ((caller, (1,)), (caller, (2,)), (getter, ()), (reopener, ()))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert errors == [] and dead == []
    assert counts["reopens"] >= 5 and counts["calls"] >= 10 and counts["getters"] >= 10, counts
    # Each reopen ended the old conversation with its closing record.
    assert len(sim.events("deallocate")) >= counts["reopens"]
    c.close()


def test_a_stalled_reopen_keeps_other_threads_waiting_within_their_own_deadlines():
    with simctl.Sim("--fault", "silence=logon@2") as sim:
        c = lomra.Connection(logon(sim), {"timeout": 2.0})
        c.function_description("STFC_CONNECTION")
        reopening, reopened = in_thread(c.reopen)
        sim.wait_for(event="fault", step="logon", conn=2, timeout=30)
        # While the new session is on its way the connection is not closed.
        assert c.alive is True
        start = time.monotonic()
        with pytest.raises(lomra.CommunicationError) as info:
            c.call("STFC_CONNECTION", {}, {"timeout": 0.4})
        assert (info.value.code, str(info.value)) == (7, "STFC_CONNECTION could not get the connection within the timeout")
        assert time.monotonic() - start <= 0.4 + TOLERANCE
        waiting, waited = in_thread(c.connection_attributes)
        reopening.join(30)
        waiting.join(30)
        # The reopen ran out of its time: the connection is closed, and the
        # getter that waited for it is told so, not interrupted.
        assert isinstance(reopened["error"], lomra.CommunicationError) and "timed out" in str(reopened["error"])
        assert c.alive is False
        assert str(waited["error"]) == "connection is closed"
        c.reopen()
        assert c.alive and c.call("STFC_CONNECTION", {"REQUTEXT": "back"}, {})["ECHOTEXT"] == "back"
        c.close()


# --- fork() ----------------------------------------------------------------------------------------

FORK = textwrap.dedent("""
    from support import simlog
    params, phase, log_path = {params}, {phase}, {log_path}
    c = lomra.Connection(params, {{}})
    c.function_description("Z_SIM_SLEEP")
    parent_sid = c.connection_attributes()["sessionId"]
    assert c.call("STFC_CONNECTION", {{"REQUTEXT": "parent"}}, {{}})["ECHOTEXT"] == "parent"
    inside = {{}}
    a = None
    if phase == "during a call":
        a = threading.Thread(target=lambda: inside.update(out=attempt(c.call, "Z_SIM_SLEEP", {{"MILLIS": 1500}}, {{}})))
        a.start()
        wait_for_request(log_path, "Z_SIM_SLEEP")
    done_r, done_w = os.pipe()
    end_r, end_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        if phase == "freed in the child":
            del c
            report = {{"child": ["freed"], "took": 0, "own_session": True}}
        else:
            start = time.monotonic()
            got = attempt(lambda: c.call("STFC_CONNECTION", {{"REQUTEXT": "child"}}, {{"timeout": 5}})["ECHOTEXT"])
            took = time.monotonic() - start
            sid = c.connection_attributes()["sessionId"]
            c.close()
            report = {{"child": got, "took": took, "own_session": sid != parent_sid}}
        print(json.dumps(report), flush=True)
        os.write(done_w, b"x")
        # Alive until the parent has dropped its connection below.
        os.read(end_r, 1)
        os._exit(0)
    os.read(done_r, 1)
    if a is not None:
        a.join(30)
    after = attempt(lambda: c.call("STFC_CONNECTION", {{"REQUTEXT": "parent again"}}, {{}})["ECHOTEXT"])
    same = c.connection_attributes()["sessionId"] == parent_sid
    # Dropped without its closing record: the server sees the connection end
    # now, not when the child ends; the child kept no copy of its socket.
    del c
    dropped = simlog.wait_for(log_path, patience=2, event="closed", conn=1)
    os.write(end_w, b"x")
    os.waitpid(pid, 0)
    print(json.dumps({{"inside": inside.get("out"), "after": after, "same_session": same, "dropped": dropped}}))
""")


FORK_CASES = [
    # the parent's state at the fork, what the child does, the conversations
    # the STFC_CONNECTION requests went on (1: the parent's), those that got
    # a closing record
    ("idle", ["result", "child"], [1, 2, 1], [2]),
    ("during a call", ["result", "child"], [1, 2, 1], [2]),
    ("freed in the child", ["freed"], [1, 1], []),
]


@pytest.mark.parametrize("phase, child_got, conversations, closed", FORK_CASES, ids=[c[0] for c in FORK_CASES])
def test_a_forked_child_opens_a_session_of_its_own_and_leaves_the_parents_alone(phase, child_got, conversations,
                                                                                 closed):
    with simctl.Sim() as sim:
        proc = run_python(PRELUDE + FORK.format(params=repr(logon(sim)), phase=repr(phase),
                                                log_path=repr(sim.log_path)), timeout=60)
        assert proc.returncode == 0, proc.stderr
        child, parent = (json.loads(line) for line in proc.stdout.strip().splitlines()[-2:])
        assert child["child"] == child_got and child["own_session"], child
        assert child["took"] <= 5, child
        assert parent["after"] == ["result", "parent again"] and parent["same_session"], parent
        assert parent["dropped"], parent
        if phase == "during a call":
            assert parent["inside"] == ["result", {"E_MILLIS": 1500}], parent
        # The parent's conversation (the first) got the parent's requests
        # only; the child's request and its closing record went on its own.
        sent = [e["conn"] for e in sim.entries(kind="message", dir="recv", function="STFC_CONNECTION")]
        assert sent == conversations
        for conn in closed:
            sim.wait_for(event="deallocate", conn=conn)
        assert [e["conn"] for e in sim.events("deallocate")] == closed
        assert sim.events("cancel") == []


# --- a signal handler on the thread inside the session ------------------------------------------

HANDLER = textwrap.dedent("""
    from support import simlog
    params, action, log_path = {params}, {action}, {log_path}
    c = lomra.Connection(params, {{}})
    c.function_description("Z_SIM_SLEEP")
    c.function_description("STFC_CONNECTION")
    actions = {{
        "call": lambda: c.call("STFC_CONNECTION", {{}}, {{}}),
        "connection_attributes": c.connection_attributes,
        "reopen": c.reopen,
        "function_description": lambda: c.function_description("STFC_CONNECTION"),
        "cancel": c.cancel,
        "close": c.close,
    }}
    seen = {{}}
    before = simlog.requests_seen(log_path, "Z_SIM_SLEEP")
    def on_alarm(signum, frame):
        # Once, when the call's request has reached the server: the call
        # then waits for its reply, with the session held. (Never nested:
        # the next alarm may come while this one runs.)
        if "out" in seen or "busy" in seen:
            return
        seen["busy"] = True
        if simlog.requests_seen(log_path, "Z_SIM_SLEEP") > before:
            start = time.monotonic()
            seen["out"] = attempt(actions[action])
            seen["took"] = time.monotonic() - start
        del seen["busy"]
    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    waited = attempt(c.call, "Z_SIM_SLEEP", {{"MILLIS": 1000}}, {{}})
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(json.dumps({{"handler": seen.get("out"), "took": seen.get("took"), "call": waited, "alive": c.alive}}))
""")

HELD = "cannot wait for the connection on the thread that holds it: code that runs during one of its waits, " \
       "such as a signal handler, cannot use it"
SLEPT = ["result", {"E_MILLIS": 1000}]
HANDLER_CASES = [
    # what the handler does, what it gets, what the call it interrupted gets
    ("call", ["ExternalRuntimeError", 17, f"STFC_CONNECTION {HELD}"], SLEPT),
    ("connection_attributes", ["ExternalRuntimeError", 17, f"connection_attributes() {HELD}"], SLEPT),
    ("function_description", ["ExternalRuntimeError", 17, f"STFC_CONNECTION {HELD}"], SLEPT),
    ("reopen", ["ExternalRuntimeError", 17, f"reopen() {HELD}"], SLEPT),
    ("cancel", ["result", None], ["CommunicationError", 7, "Z_SIM_SLEEP was cancelled"]),
    ("close", ["result", None], ["CommunicationError", 13, f"Z_SIM_SLEEP {CLOSED}"]),
]


@pytest.mark.parametrize("action, handler, call", HANDLER_CASES, ids=[c[0] for c in HANDLER_CASES])
def test_a_signal_handler_inside_a_wait_is_refused_the_session_at_once(sim, action, handler, call):
    out = run_script(HANDLER, patience=60, params=logon(sim), action=action, log_path=sim.log_path)
    assert out["handler"] == handler, out
    assert out["took"] <= TOLERANCE, out
    assert out["call"] == call, out
    assert out["alive"] is (action != "close")


# --- daemon threads at interpreter exit ---------------------------------------------------------

SHUTDOWN = textwrap.dedent("""
    params, millis = {params}, {millis}
    c = lomra.Connection(params, {{}})
    c.function_description("Z_SIM_SLEEP")

    class Slow:
        # Collected by the last collection of the interpreter's shutdown (a
        # cycle, with the collector off until then), which it makes last:
        # the daemon thread below wants the interpreter lock back meanwhile.
        def __del__(self, sleep=time.sleep):
            sleep(0.6)

    import gc
    gc.disable()
    slow = Slow()
    slow.cycle = slow
    del slow
    threading.Thread(target=lambda: c.call("Z_SIM_SLEEP", {{"MILLIS": millis}}, {{}}), daemon=True).start()
    time.sleep(0.1)
    print(json.dumps({{"exiting": True}}))
""")


@pytest.mark.parametrize("millis", [300, 5000], ids=["the call ends meanwhile", "the call goes on waiting"])
def test_a_daemon_thread_inside_a_call_lets_the_interpreter_exit(sim, millis):
    # CPython ends such a thread (pthread_exit) when it wants the interpreter
    # lock back, to look at signals or after its call; an unwinding that
    # reached this module's frames would abort the process instead of
    # letting it exit.
    for _ in range(3):
        assert run_script(SHUTDOWN, patience=60, params=logon(sim), millis=millis) == {"exiting": True}


# --- name resolution ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def hanging_resolver(tmp_path_factory):
    """The environment of an interpreter whose resolver never answers for
    names ending in .hang.test (support/hang_resolver.c, built here)."""
    cc = os.environ.get("CC") or shutil.which("cc") or "cc"
    out = tmp_path_factory.mktemp("resolver") / "hang_resolver.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out), str(HERE / "support" / "hang_resolver.c"),
                    "-ldl"], check=True)
    return {"LD_PRELOAD": str(out), "QUIB_TEST_HANG_SUFFIX": ".hang.test"}


RESOLVE = textwrap.dedent("""
    params, end, reachable = {params}, {end}, {reachable}
    marks = {{}}
    if end == "ctrl-c":
        def kick():
            time.sleep(0.5)
            marks["at"] = time.monotonic()
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=kick, daemon=True).start()
    start = time.monotonic()
    got = attempt(lomra.Connection, params, {{"timeout": 1.0}} if end == "timeout" else {{}})
    took = time.monotonic() - marks.get("at", start)
    # The look-up given up on is harmless: the next open goes through.
    c = lomra.Connection(reachable, {{"timeout": 5}})
    print(json.dumps({{"got": got[:3], "took": took, "after": c.call("STFC_CONNECTION", {{"REQUTEXT": "ok"}}, {{}})["ECHOTEXT"]}}))
""")

RESOLVE_CASES = [
    # the route whose host hangs, how the open is ended
    ("ashost", "timeout"),
    ("saprouter", "timeout"),
    ("mshost", "timeout"),
    ("ashost", "ctrl-c"),
]


@pytest.mark.parametrize("route, end", RESOLVE_CASES, ids=[f"{r}-{e}" for r, e in RESOLVE_CASES])
def test_a_hanging_resolver_ends_the_open_at_its_deadline(sim, hanging_resolver, route, end):
    host = "gw.hang.test"
    params = {
        "ashost": logon(sim, ashost=host),
        "saprouter": logon(sim, saprouter=f"/H/{host}/S/3299"),
        "mshost": {"mshost": host, "msserv": "3600", "user": "TESTER", "passwd": "secret", "client": "001"},
    }[route]
    out = run_script(RESOLVE, patience=60, env=hanging_resolver, params=params, end=end, reachable=logon(sim))
    if end == "timeout":
        cls, code, text = out["got"]
        assert (cls, code) == ("CommunicationError", 7), out
        assert text == f"Connection() did not open within the timeout: resolving {host} timed out", out
        assert 0.95 <= out["took"] <= 1.0 + TOLERANCE, out
    else:
        assert out["got"][0] == "KeyboardInterrupt" and out["took"] <= TOLERANCE, out
    assert out["after"] == "ok"


# --- out of memory ---------------------------------------------------------------------------------

SQUEEZE = textwrap.dedent("""
    import subprocess
    params, rooms, rounds = {params}, {rooms}, {rounds}
    c = lomra.Connection(params, {{}})
    c.call("Z_SIM_ROWS", {{"ROW_COUNT": 10}}, {{}})
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))

    def limit(room):
        # The soft limit only: it can be lifted again.
        cap = "unlimited" if room is None else (vm + room * 1024) * 1024
        subprocess.run(["prlimit", f"--pid={{os.getpid()}}", f"--as={{cap}}:"], check=True)

    seen = []
    for room in rooms:
        for _ in range(rounds):
            # A thread of its own, made before the squeeze, that reads a table
            # too large for `room` MB more than the interpreter held at the
            # start: its first C++ exception is the allocation failure.
            go, out = threading.Event(), {{}}
            def read():
                go.wait()
                out["r"] = attempt(lambda: len(c.call("Z_SIM_ROWS", {{"ROW_COUNT": 150000}}, {{}})["T_ROWS"]))[0]
            t = threading.Thread(target=read)
            t.start()
            limit(room)
            go.set()
            t.join()
            limit(None)
            seen.append(out["r"])
    print(json.dumps({{"seen": seen, "after": c.call("STFC_CONNECTION", {{"REQUTEXT": "after"}}, {{}})["ECHOTEXT"]}}))
""")


@pytest.mark.skipif(shutil.which("prlimit") is None, reason="prlimit (util-linux) is missing")
def test_running_out_of_memory_on_a_new_thread_is_always_a_memory_error(sim):
    rooms, rounds = [80, 110, 140], 8
    out = run_script(SQUEEZE, patience=600, params=logon(sim), rooms=rooms, rounds=rounds)
    assert out["seen"] == ["MemoryError"] * (len(rooms) * rounds), out
    assert out["after"] == "after"
