"""Deadlines, cancel(), close() and Ctrl-C against a peer that stalls or
trickles at one phase of an open or of a call.

A `timeout` bounds the whole operation (however the peer dribbles its
bytes); cancel() and close() from another thread end a blocked wait at once;
a pending KeyboardInterrupt ends it too. Every case of the table asserts the
exception and that the operation ended within its bound plus TOLERANCE.
Without those mechanisms each of them would run on to a fixed 30 or 60
second limit, or for as long as the peer keeps trickling."""

import dataclasses
import socket
import textwrap
import time

import pytest

from conftest import CLIENT, PASSWORD, USER, Calling, in_thread, lomra, logon, run_python
import simctl

TOLERANCE = 1.5  # generous: a loaded CI machine must pass too
TIMEOUT = 1.0  # the deadline of the timed cases
TRICKLE = 0.25  # seconds between two bytes of a trickled answer
HOLD = 0.4  # how long the peer has stalled (or trickled) before cancel() or close()

_sysids = iter(range(1, 1000))


def fresh_sysid():
    """A system id of its own: nothing of it is in the process-wide
    description cache, so its descriptions and layouts are fetched."""
    return f"D{next(_sysids):02d}"


@dataclasses.dataclass
class Case:
    name: str
    route: str  # direct, router, msgserver, wsrfc, stalled (a port that never accepts)
    phase: str  # open: the open of a Connection; call: a call on an open one
    # Simulator faults, the stalling one last ("{n}": the connection that
    # stalls). A stalled gateway is `deaf`: it answers no cancel either.
    faults: tuple = ()
    ends: tuple = ("timeout",)  # how the operation is ended: timeout, cancel, close
    function: str = "STFC_CONNECTION"
    params: dict = dataclasses.field(default_factory=dict)
    kill_first: bool = False  # end the session first, so that the call has to reopen
    fresh: bool = False  # a system of its own (the description is fetched)
    cancel_record: bool = False  # the cancel record must reach the server
    waiting: str = ""  # an open: the step its time-out names ("{port}": the port it went to)

    @property
    def stall(self):
        """The action of the fault that stalls (silence, trickle)."""
        return self.faults[-1].split("=", 1)[0] if self.faults else None


T = f":{TRICKLE}"
CASES = [
    # --- the open: TCP connect, NI set-up, logon, router and message-server legs, TLS, WebSocket
    Case("connect", "stalled", "open", waiting="cannot connect to 127.0.0.1:{port}: connection timed out"),
    Case("ni-handshake-stall", "direct", "open", ("silence=handshake@{n}",), ("timeout", "close"),
         waiting="timed out in the NI set-up (routing handshake)"),
    Case("ni-allocate-trickle", "direct", "open", ("trickle=allocate" + T + "@{n}",),
         waiting="timed out in the NI set-up (APPC allocate)"),
    Case("logon-stall", "direct", "open", ("silence=logon@{n}",), ("timeout", "close"),
         waiting="timed out in the logon"),
    Case("logon-trickle", "direct", "open", ("trickle=logon" + T + "@{n}",), waiting="timed out in the logon"),
    Case("router-stall", "router", "open", ("silence=route@{n}",), ("timeout", "close"),
         waiting="timed out in the SAProuter route"),
    Case("router-trickle", "router", "open", ("trickle=route" + T + "@{n}",),
         waiting="timed out in the SAProuter route"),
    Case("msgserver-stall", "msgserver", "open", ("silence=group@{n}",), ("timeout", "close"),
         waiting="timed out in the message server lookup at 127.0.0.1:{port}"),
    Case("msgserver-trickle", "msgserver", "open", ("trickle=first" + T + "@{n}",),
         waiting="timed out in the message server lookup at 127.0.0.1:{port}"),
    Case("tls-stall", "wsrfc", "open", ("silence=tls@{n}",), ("timeout", "close"),
         waiting="timed out in the TLS handshake"),
    Case("websocket-upgrade-trickle", "wsrfc", "open", ("trickle=handshake" + T + "@{n}",),
         waiting="timed out in the WebSocket upgrade"),
    # --- the call: metadata, the exchange, the reopen it needs, the retry after a gateway failure
    Case("description-stall", "direct", "call", ("deaf=call/RFC_GET_FUNCTION_INTERFACE",),
         ("timeout", "cancel", "close"), fresh=True),
    Case("description-trickle", "direct", "call", ("trickle=call/RFC_GET_FUNCTION_INTERFACE" + T,),
         fresh=True),
    Case("dictionary-stall", "direct", "call", ("deaf=call/DDIF_FIELDINFO_GET",), ("timeout", "cancel"),
         function="Z_SIM_STRUCT", params={"I_ROW": {"ID": 1}}, fresh=True),
    Case("exchange-stall", "direct", "call", ("deaf=call/STFC_CONNECTION",), ("timeout", "cancel", "close"),
         cancel_record=True),
    Case("exchange-trickle", "direct", "call", ("trickle=call/STFC_CONNECTION" + T,),
         ("timeout", "cancel", "close")),
    Case("exchange-trickle-via-router", "router", "call", ("trickle=call/STFC_CONNECTION" + T,),
         ("timeout", "cancel")),
    Case("reopen-stall", "direct", "call", ("silence=logon@2",), ("timeout", "cancel", "close"),
         kill_first=True),
    Case("retry-stall", "direct", "call", ("err=call/STFC_CONNECTION:sim gateway down@1",
                                           "deaf=call/STFC_CONNECTION@2"), ("timeout", "cancel")),
    Case("wsrfc-exchange-trickle", "wsrfc", "call", ("trickle=call/STFC_CONNECTION" + T,), ("timeout", "close")),
]


def table():
    for case in CASES:
        for end in case.ends:
            yield pytest.param(case, end, id=f"{case.name}-{end}")


# --- peers ------------------------------------------------------------------------------------------


class StalledListener:
    """A port whose accept queue is full: a connect to it neither succeeds
    nor fails, it waits."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            try:
                s.connect(("127.0.0.1", self.port))
            except BlockingIOError:
                pass
            self.fillers.append(s)
        time.sleep(0.1)

    def close(self):
        for s in self.fillers + [self.listener]:
            s.close()


def start_sim(case, stalled_conn):
    """The simulator for `case`, its faults aimed at connection `stalled_conn`."""
    faults = [f.replace("{n}", str(stalled_conn)) for f in case.faults]
    args = ["--sysid", fresh_sysid()] if case.fresh else []
    if case.route == "router":
        args.append("--saprouter")
    if case.route == "wsrfc":
        args.append("--wsrfc")
    if case.route == "msgserver":
        args.append("--msgserver")
    flag = "--ms-fault" if case.route == "msgserver" else "--fault"
    for f in faults:
        args += [flag, f]
    return simctl.Sim(*args)


def params_for(case, sim):
    if case.route == "router":
        return logon(sim, saprouter=f"/H/127.0.0.1/S/{sim.saprouter}")
    if case.route == "msgserver":
        return {"mshost": "127.0.0.1", "msserv": str(sim.msgserver), "user": USER, "passwd": PASSWORD,
                "client": CLIENT}
    if case.route == "wsrfc":
        return {"wshost": "127.0.0.1", "wsport": str(sim.wsrfc), "tls_client_cert": sim.wsrfc_cert,
                "tls_client_key": sim.wsrfc_key, "client": CLIENT}
    return logon(sim)


def stalled(sim, action):
    """Waits until the simulator has begun the fault `action` (silence,
    trickle), and a little longer."""
    sim.wait_for(event="fault", action=action, timeout=30)
    time.sleep(HOLD)


def ended_by(end, run, conn, sim, stall):
    """Runs `run` (which raises when it ends) and ends it as `end` says: its
    own deadline, or cancel()/close() of `conn` from this thread once `sim`
    has begun the fault `stall`. Returns the exception and the seconds from
    the start (timeout) or from the cancel() or close() (the others) to its
    end."""
    if end == "timeout":
        start = time.monotonic()
        with pytest.raises(lomra.RFCError) as info:
            run()
        return info.value, time.monotonic() - start
    t, out = in_thread(run)
    stalled(sim, stall)
    start = time.monotonic()
    assert getattr(conn, end)() is None
    returned = time.monotonic() - start
    t.join(30)
    assert not t.is_alive(), f"the operation did not end after {end}()"
    assert returned <= TOLERANCE, f"{end}() itself took {returned:.2f} s"
    assert "error" in out, f"the operation ended without an error: {out}"
    return out["error"], out["ended"] - start


EXPECTED = {
    # end: (class, code, message with {name}), for a call and for an open ended by close()
    "timeout": (lomra.CommunicationError, 7, "{name} did not answer within the timeout"),
    "cancel": (lomra.CommunicationError, 7, "{name} was cancelled"),
    "close": (lomra.CommunicationError, 13, "{name} was interrupted: the connection was closed"),
}


@pytest.mark.parametrize("case, end", table())
def test_every_wait_ends_as_asked(case, end):
    listener = StalledListener() if case.route == "stalled" else None
    # A timed open stalls on the first connection; a closed one is a reopen()
    # of an open connection, whose second connection stalls.
    sim = None if listener else start_sim(case, 2 if case.phase == "call" or end == "close" else 1)
    c = None
    try:
        params = logon(sim) if sim and case.route == "direct" else None
        if listener:
            params = {"ashost": "127.0.0.1", "port": str(listener.port), "user": USER, "passwd": PASSWORD}
        elif params is None:
            params = params_for(case, sim)
        if case.phase == "open":
            if end == "timeout":
                run, name = (lambda: lomra.Connection(params, {"timeout": TIMEOUT})), None
            else:
                c = lomra.Connection(params, {})
                run, name = c.reopen, "reopen()"
        else:
            c = lomra.Connection(params, {})
            if case.kill_first:
                with pytest.raises(lomra.CommunicationError, match="did not answer within the timeout"):
                    c.call("Z_SIM_SLEEP", {"MILLIS": 20000}, {"timeout": 0.2})
            options = {"timeout": TIMEOUT} if end == "timeout" else {}
            run, name = (lambda: c.call(case.function, case.params, options)), case.function
        error, took = ended_by(end, run, c, sim, case.stall)

        bound = TIMEOUT if end == "timeout" else 0.0
        assert took <= bound + TOLERANCE, f"{case.name}: ended after {took:.2f} s"
        if end == "timeout":
            # The deadline ended it, not a fixed limit or a failure of the peer.
            assert took >= TIMEOUT - 0.05, f"{case.name}: ended early, after {took:.2f} s: {error}"
        if name is None:
            # A timed open ends as a timed call does, naming the step that was waiting.
            port = listener.port if listener else sim.msgserver if case.route == "msgserver" else None
            waiting = case.waiting.format(port=port)
            assert (type(error), error.code, error.key, str(error)) == (
                lomra.CommunicationError, 7, "RFC_CANCELED",
                f"Connection() did not open within the timeout: {waiting}")
        else:
            cls, code, text = EXPECTED[end]
            assert (type(error), error.code, str(error)) == (cls, code, text.format(name=name))
        if case.phase == "call" and case.fresh:
            # A cancel, close or time-out before the exchange: the function itself was never sent.
            assert not sim.messages(step="call", function=case.function)
        if case.cancel_record and end in ("timeout", "cancel"):
            # On NI the server is told to stop the function, even when it no longer answers.
            assert sim.wait_for(kind="frame", dir="recv", step="cancel", timeout=10)
    finally:
        if c is not None:
            c.close()
        if listener:
            listener.close()
        if sim:
            sim.close()


# --- a cancel is never lost, and never opens anything ------------------------------------------------


def test_a_cancel_during_the_conversion_cancels_that_call(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("Z_SIM_ECHO")
    before = len(sim.messages(step="call", function="Z_SIM_ECHO"))
    with pytest.raises(lomra.CommunicationError) as info:
        c.call("Z_SIM_ECHO", {"I_INT4": Calling(c, "cancel")}, {})
    assert (str(info.value), info.value.code) == ("Z_SIM_ECHO was cancelled", 7)
    # Nothing was sent after the cancel; the next call runs on a new conversation.
    assert len(sim.messages(step="call", function="Z_SIM_ECHO")) == before
    assert c.call("Z_SIM_ECHO", {"I_INT4": 5}, {})["E_INT4"] == 5
    assert len(sim.messages(step="call", function="Z_SIM_ECHO")) == before + 1
    c.close()


def test_cancel_when_idle_opens_nothing_and_a_stalled_reopen_stays_bounded():
    with simctl.Sim("--fault", "silence=logon@2", "--fault", "silence=logon@3") as sim:
        c = lomra.Connection(logon(sim), {})
        start = time.monotonic()
        assert c.cancel() is None
        assert time.monotonic() - start <= TOLERANCE
        assert sim.wait_for(event="cancel", timeout=10)
        # No reopen happened inside cancel(): the connection still counts as alive.
        assert len(sim.events("accepted", server="gateway")) == 1 and c.alive
        # The next call reopens, under its own deadline; meanwhile another
        # thread's getters wait for the new session instead of seeing "closed".
        t, out = in_thread(c.call, "STFC_CONNECTION", {}, {"timeout": 2 * TIMEOUT})
        sim.wait_for(event="fault", step="logon", conn=2, timeout=30)
        assert c.alive
        late, seen = in_thread(c.connection_attributes)
        t.join(30)
        assert (type(out["error"]), out["error"].code) == (lomra.CommunicationError, 7)
        # The reopen was due still; the getter's own reopen stalls too, and close() ends it.
        sim.wait_for(event="fault", step="logon", conn=3, timeout=30)
        c.close()
        late.join(30)
        assert not late.is_alive()
        e = seen["error"]
        assert (type(e), e.code) == (lomra.CommunicationError, 13), repr(e)
        assert "connection is closed" not in str(e)


def test_a_cancelled_call_leaves_a_usable_connection(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("Z_SIM_SLEEP")
    count = len(sim.messages(step="call", function="Z_SIM_SLEEP"))
    t, out = in_thread(c.call, "Z_SIM_SLEEP", {"MILLIS": 30000}, {})
    sim.wait_for(kind="message", step="call", dir="recv", function="Z_SIM_SLEEP", count=count + 1, timeout=30)
    start = time.monotonic()
    c.cancel()
    t.join(30)
    assert out["ended"] - start <= TOLERANCE
    assert str(out["error"]) == "Z_SIM_SLEEP was cancelled"
    # The ABAP really stopped; a second cancel before the next call has nothing to cancel.
    assert sim.wait_for(event="cancelled", function="Z_SIM_SLEEP", timeout=10)
    with pytest.raises(lomra.ExternalRuntimeError, match="nothing to cancel"):
        c.cancel()
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "after"}, {})["ECHOTEXT"] == "after"
    c.close()


def test_websocket_rfc_cancel_refuses_and_leaves_the_call_alone():
    with simctl.Sim("--wsrfc", "--fault", "delay=call/STFC_CONNECTION:1") as sim:
        c = lomra.Connection(params_for(Case("", "wsrfc", "call"), sim), {})
        t, out = in_thread(c.call, "STFC_CONNECTION", {"REQUTEXT": "kept"}, {})
        sim.wait_for(kind="message", step="call", dir="recv", function="STFC_CONNECTION", timeout=30)
        with pytest.raises(lomra.ExternalRuntimeError, match="nothing to cancel"):
            c.cancel()
        t.join(30)
        assert out["result"]["ECHOTEXT"] == "kept"
        c.close()


# --- Ctrl-C --------------------------------------------------------------------------------------------

SIGINT_CODE = textwrap.dedent("""
    import os, signal, sys, threading, time
    import lomra

    params, phase = {params!r}, {phase!r}
    kicked = []

    def kick():
        time.sleep(0.8)
        kicked.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    c = lomra.Connection(params, {{}}) if phase != "open" else None
    threading.Thread(target=kick, daemon=True).start()
    try:
        if phase == "open":
            lomra.Connection(params, {{}})
        else:
            c.call({function!r}, {{}}, {{}})
        print("no interrupt")
    except KeyboardInterrupt:
        print("interrupted", time.monotonic() - kicked[0])
    if c is not None:
        print(c.alive, c.call("RFC_PING", {{}}, {{}}))
""")


@pytest.mark.parametrize("phase, fault, function", [
    ("exchange", "silence=call/Z_SIM_SLEEP", "Z_SIM_SLEEP"),
    ("description", "silence=call/RFC_GET_FUNCTION_INTERFACE@1", "STFC_CONNECTION"),
    ("open", "silence=logon", None),
])
def test_ctrl_c_interrupts_a_waiting_call(phase, fault, function):
    with simctl.Sim("--sysid", fresh_sysid(), "--fault", fault) as sim:
        code = SIGINT_CODE.format(params=logon(sim), phase=phase, function=function)
        proc = run_python(code, timeout=60)
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.split("\n")
        word, took = lines[0].split()
        assert word == "interrupted" and float(took) <= TOLERANCE, proc.stdout
        if phase != "open":
            # The call was cancelled as cancel() would; the connection is usable.
            assert lines[1] == "True {}"
        if phase == "exchange":
            assert sim.wait_for(event="cancel", timeout=10)
