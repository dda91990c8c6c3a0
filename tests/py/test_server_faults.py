"""Server against a gateway that misbehaves, and the ways a serve_one ends
from outside: a gateway that dies (closed idle or mid-request, a hostile
NI length, bytes that are no NI frame) ends the registration once and for
all; one that sends a junk frame costs one call; one that trickles cannot
stretch a wait, and what has arrived of a call is kept across waits;
close() from another thread or from a signal handler, Ctrl-C, and fork().
The metadata session that dies (closed by the system, or broken off by
Ctrl-C during a fetch) is opened anew by the next fetch.

The gateway's faults are knobs of the simulator's registered-server
gateway (a call's `fault`, tests/sim/README.md). Timing bounds here are
hang guards only; the latencies are measured in bench/bench_server.py."""

import json
import textwrap
import threading
import time

import pytest

from conftest import lomra, run_python
from regctl import RegControl
from test_server import Recorder, client_params, ctl, program, regsim, server, server_params  # noqa: F401

STFC = "STFC_CONNECTION"


def echo(context, REQUTEXT=""):
    return {"ECHOTEXT": REQUTEXT.upper()}


def serve_until_served(server, callbacks, polls=30):
    """serve_one with timeout 0 until it serves a call: what each returned."""
    results = []
    while len(results) < polls:
        results.append(server.serve_one(callbacks, 0))
        if results[-1] is not None:
            return results
    raise AssertionError(f"nothing served in {polls} polls")


# --- a gateway that dies -----------------------------------------------------------------------

HUGE = "NI payload of 4294967295 bytes exceeds the configured limit of 268435456"
NOISE = "NI payload of 1213486160 bytes exceeds the configured limit of 268435456"


@pytest.mark.parametrize("how, exc, code, message, waits_for_us", [
    ("close", lomra.CommunicationError, 13, "connection closed by peer during inbound call announcement", False),
    ("midclose:120", lomra.CommunicationError, 13, "connection closed by peer during inbound request", False),
    ("hugelen", lomra.CommunicationError, 1, HUGE, True),
    ("noise", lomra.CommunicationError, 1, NOISE, True),
])
def test_dead_gateway_ends_the_registration(regsim, ctl, server, program, how, exc, code, message,
                                            waits_for_us):
    if how == "close":
        ctl.close_registration(program)
    else:
        ctl.call(program, STFC, {"REQUTEXT": "x"}, fault=how, wait=10)
    # The loop of a server program ends: the error comes once, then alive
    # is False.
    errors = []
    while server.alive and len(errors) < 5:
        try:
            server.serve_one({STFC: echo}, 10)
        except lomra.RFCError as e:
            errors.append(e)
    assert [(type(e), e.code, str(e)) for e in errors] == [(exc, code, message)]
    # Every later serve_one says at once what ended the registration.
    with pytest.raises(lomra.CommunicationError) as later:
        server.serve_one({STFC: echo}, 10)
    assert str(later.value) == f"registration ended: {message}"
    assert (later.value.code, later.value.key) == (13, "RFC_CLOSED")
    assert server.close() is None
    assert server.alive is False
    with pytest.raises(lomra.ExternalRuntimeError, match="server is closed"):
        server.serve_one({}, 0)
    if waits_for_us:
        # The gateway read on until the server closed: nothing came, not
        # even a detach record, which would have landed behind bytes the
        # server could not frame.
        closed = regsim.wait_for(server="reggateway", event="closed", program=program)
        assert closed[0]["detaches"] == 0


def test_junk_frame_costs_one_call(ctl, server, program):
    ctl.call(program, STFC, {}, fault="garbage:16", wait=10)
    with pytest.raises(lomra.CommunicationError) as e:
        server.serve_one({STFC: echo}, 10)
    assert str(e.value) == "unexpected record during inbound call announcement: a 16-byte record"
    assert server.alive
    call_id = ctl.call(program, STFC, {"REQUTEXT": "after"}, wait=10)
    assert server.serve_one({STFC: echo}, 10) == STFC
    assert ctl.result(call_id)["export_texts"] == {"ECHOTEXT": "AFTER"}


# --- a gateway that trickles -------------------------------------------------------------------

def test_trickled_call_does_not_stretch_the_wait_and_is_served_whole(ctl, server, program):
    # About 300 bytes at 10 ms each: longer than one poll interval. Each
    # serve_one ends with its poll; what has arrived stays for the next.
    call_id = ctl.call(program, STFC, {"REQUTEXT": "slowly"}, fault="trickle:0.01", wait=30)
    results = serve_until_served(server, {STFC: echo})
    assert results[0] is None
    assert results[-1] == STFC
    reply = ctl.result(call_id)
    assert reply["status"] == "reply"
    assert reply["export_texts"] == {"ECHOTEXT": "SLOWLY"}


# --- close() from another thread ---------------------------------------------------------------

def test_close_from_another_thread_ends_a_waiting_serve_one(regsim, server, program):
    out = {}
    t = threading.Thread(target=lambda: out.update(served=server.serve_one({}, 60)))
    t.start()
    regsim.wait_for(server="reggateway", event="registered", program=program)
    time.sleep(0.2)
    assert server.close() is None
    t.join(20)  # hang guard; the wait was for 60 s
    assert not t.is_alive()
    assert out == {"served": None}
    assert server.alive is False
    closed = regsim.wait_for(server="reggateway", event="closed", program=program)
    assert closed[0]["detaches"] == 1


# --- signals and fork(), each in a fresh interpreter -------------------------------------------

PRELUDE = textwrap.dedent("""
    import gc, os, signal, sys, threading, time
    import lomra, simctl
    from regctl import RegControl
    sim = simctl.Sim("--reggateway")
    ctl = RegControl(sim.regcontrol)
    sp = {"program_id": "LOMRA_SIG", "gwhost": "127.0.0.1", "gwserv": str(sim.reggateway)}
    cp = {"ashost": "127.0.0.1", "sysnr": str((sim.gateway - 3300) % 65536), "user": "TESTER",
          "passwd": "secret", "client": "001"}
    server = lomra.Server(sp, cp)
    def echo(context, REQUTEXT=""):
        return {"ECHOTEXT": REQUTEXT.upper()}
    def closed_event():
        return sim.wait_for(server="reggateway", event="closed", program="LOMRA_SIG")[0]
""")


def script_output(body, *sim_args):
    """Runs the prelude and `body` in a fresh interpreter, the simulator
    started with `sim_args` besides --reggateway; what it printed."""
    prelude = PRELUDE.replace('simctl.Sim("--reggateway")', f'simctl.Sim("--reggateway", *{list(sim_args)!r})')
    done = run_python(prelude + textwrap.dedent(body), timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def run_script(body):
    """The words the prelude and `body` printed."""
    return script_output(body).split()


def test_keyboard_interrupt_keeps_what_has_arrived_of_a_call():
    # Ctrl-C while a trickled call is half in: KeyboardInterrupt, the
    # registration stands, and the next serve_one completes the same call.
    out = run_script("""
        call = ctl.call("LOMRA_SIG", "STFC_CONNECTION", {"REQUTEXT": "kept"}, fault="trickle:0.005", wait=30)
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            server.serve_one({"STFC_CONNECTION": echo}, 60)
            print("not-interrupted")
        except KeyboardInterrupt:
            print("interrupted", server.alive)
        served = None
        for _ in range(30):
            served = server.serve_one({"STFC_CONNECTION": echo}, 0)
            if served:
                break
        print(served, ctl.result(call)["export_texts"]["ECHOTEXT"])
        server.close()
        print(closed_event()["detaches"])
        sim.close()
    """)
    assert out == ["interrupted", "True", "STFC_CONNECTION", "KEPT", "1"]


def test_signal_handler_that_closes_the_server():
    out = run_script("""
        signal.signal(signal.SIGALRM, lambda *a: print("closed-by-handler", server.close()))
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        print(server.serve_one({}, 60), server.alive)
        print(closed_event()["detaches"])
        sim.close()
    """)
    assert out == ["closed-by-handler", "None", "None", "False", "1"]


@pytest.mark.parametrize("during_serve_one", [False, True])
def test_forked_child_cannot_use_the_server(during_serve_one):
    # The child gets a clear error at once from every method (it would
    # otherwise share the parent's gateway connection and, with a serve_one
    # under way, wait on the parent's lock for good); freeing the server in
    # the child sends nothing. The parent's registration is untouched.
    out = run_script(f"""
        waiter = None
        if {during_serve_one}:
            waiter = threading.Thread(target=server.serve_one, args=({{}}, 2))
            waiter.start()
            time.sleep(0.3)
        pid = os.fork()
        if pid == 0:
            texts = []
            for use in (lambda: server.serve_one({{}}, 0), lambda: server.alive, server.close):
                try:
                    use()
                    texts.append("no-error")
                except lomra.ExternalRuntimeError as e:
                    texts.append("forked" if "forked process" in str(e) else str(e))
            ok = texts == ["forked"] * 3 and server.program_id == "LOMRA_SIG"
            del server
            gc.collect()
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        if waiter:
            waiter.join()
        call = ctl.call("LOMRA_SIG", "STFC_CONNECTION", {{"REQUTEXT": "parent"}}, wait=10)
        print(server.serve_one({{"STFC_CONNECTION": echo}}, 10), ctl.result(call)["export_texts"]["ECHOTEXT"])
        server.close()
        event = closed_event()
        print(event["detaches"], event["calls"])
        sim.close()
    """)
    assert out == ["child", "0", "STFC_CONNECTION", "PARENT", "1", "1"]


# --- the metadata session that dies ------------------------------------------------------------

CLOSED = "connection closed by peer during function call"
REFUSED = "logon refused by the server (status 0x01): Name or password is incorrect (repeat logon)"
FETCH = "call/RFC_GET_FUNCTION_INTERFACE"


# Each step queues a call of a function not yet described and serves it
# ("serve"), or serves it while Ctrl-C comes during the fetch ("interrupt");
# what the caller got: the echo, or the text of the ABAP message.
@pytest.mark.parametrize("faults, steps, answers, logons", [
    # The system closes the session during the first fetch: that call is
    # answered with the failure, the next fetch opens a new session.
    ([f"close={FETCH}@1"], ["serve", "serve"], [CLOSED, "SECOND"], 2),
    # A new session that cannot log on is tried again by the next fetch.
    ([f"close={FETCH}@1", "refuse=logon@2"], ["serve", "serve", "serve"], [CLOSED, REFUSED, "THIRD"], 2),
    # Ctrl-C during the fetch: KeyboardInterrupt, no answer; the next
    # fetch opens a new session.
    ([f"delay={FETCH}:30@1"], ["interrupt", "serve"], ["interrupted", "SECOND"], 2),
], ids=["closed", "closed-then-refused", "ctrl-c"])
def test_metadata_session_reopens_after_it_died(faults, steps, answers, logons):
    sim_args = [arg for fault in faults for arg in ("--fault", fault)]
    out = script_output(f"""
        import json
        answers = []
        for step, text in zip({steps!r}, ["first", "second", "third"]):
            call = ctl.call("LOMRA_SIG", "STFC_CONNECTION", {{"REQUTEXT": text}},
                            wait=2 if step == "interrupt" else 10)
            if step == "interrupt":
                threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                served = server.serve_one({{"STFC_CONNECTION": echo}}, 10)
            except KeyboardInterrupt:
                answers.append("interrupted")
                continue
            assert served == "STFC_CONNECTION", served
            reply = ctl.result(call)
            answers.append(reply["export_texts"]["ECHOTEXT"] if reply["status"] == "reply" else reply["msg_v1"])
        print(json.dumps([answers, len(sim.events("logon-ok")), server.alive]))
        server.close()
        sim.close()
    """, *sim_args)
    assert json.loads(out) == [answers, logons, True]
