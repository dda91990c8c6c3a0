"""Connection: calls, options, close and reopen, cancel, time-outs,
attributes, descriptions, throughput, and the locking rules that let other
threads run (and cancel) while a call waits."""

import textwrap
import threading

import pytest

from conftest import Asking, Closing, in_thread, lomra, logon, run_python
import simctl

NOTHING_TO_CANCEL = ("cancel() has nothing to cancel: the connection is closed, or its transport has no "
                     "cancel record")


def session_id(c):
    return c.connection_attributes()["sessionId"]


def wait_for_call(sim, function, count=1):
    """Blocks until the simulator has received `count` requests of `function`."""
    return sim.wait_for(kind="message", step="call", dir="recv", function=function, count=count,
                        timeout=30)


def join(t):
    t.join(60)
    assert not t.is_alive(), "the thread did not finish: deadlock"


# --- calls and options ------------------------------------------------------------------------

def test_call_with_scalar_values(conn):
    result = conn.call("STFC_CONNECTION", {"REQUTEXT": "Hello ABAP"}, {})
    assert result == {"ECHOTEXT": "Hello ABAP",
                      "RESPTEXT": "Sysid: QSI Client: 001 User: TESTER Language: E (simulated)"}


def test_names_keep_the_callers_spelling_on_the_wire(conn, sim):
    # The function travels as spelled; a parameter key in lower case finds
    # its parameter and is sent under the name the description gives.
    result = conn.call("stfc_connection", {"requtext": "x"}, {})
    assert result["ECHOTEXT"] == "x"
    request = wait_for_call(sim, "STFC_CONNECTION")[-1]
    sent = bytes.fromhex(request["hex"])
    assert "stfc_connection".encode("utf-16-le") in sent
    assert "REQUTEXT".encode("utf-16-le") in sent
    assert "requtext".encode("utf-16-le") not in sent


def test_call_argument_types(conn):
    for args in ((1, {}, {}), ("STFC_CONNECTION", [], {}), ("STFC_CONNECTION", {}, None)):
        with pytest.raises(TypeError):
            conn.call(*args)
    with pytest.raises(TypeError):
        conn.call("STFC_CONNECTION", {1: "x"}, {})
    with pytest.raises(TypeError):
        conn.call("STFC_CONNECTION", {}, {1: True})
    assert conn.call(name="STFC_CONNECTION", params={}, options={})["ECHOTEXT"] == ""


def test_unknown_parameter_is_refused_before_the_call(conn, sim):
    conn.function_description("Z_SIM_ECHO")
    before = len(sim.messages(step="call", function="Z_SIM_ECHO"))
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conn.call("z_sim_echo", {"I_CHAR": "a", "I_NOPE": 1}, {})
    assert (str(info.value), info.value.code) == ('z_sim_echo has no parameter named "I_NOPE"', 20)
    assert len(sim.messages(step="call", function="Z_SIM_ECHO")) == before


def test_unknown_option(conn):
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conn.call("STFC_CONNECTION", {}, {"rstrip": True, "Timeout": 1})
    assert (str(info.value), info.value.key) == ('unknown call option "Timeout"', "RFC_INVALID_PARAMETER")


def test_options_override_the_config_for_one_call(sim):
    c = lomra.Connection(logon(sim), {"rstrip": False, "dtime": True})
    args = {"I_CHAR": "ab", "I_DATS": "20240102"}
    r = c.call("Z_SIM_ECHO", args, {"rstrip": True, "dtime": False})
    assert (r["E_CHAR"], r["E_DATS"]) == ("ab", "20240102")
    r = c.call("Z_SIM_ECHO", args, {})
    assert (r["E_CHAR"], r["E_DATS"].isoformat()) == ("ab        ", "2024-01-02")
    c.close()


def test_import_parameters_in_the_reply_only_on_request(ext_conn):
    assert ext_conn.call("Z_E1_IMPORT_BACK", {}, {}) == {"E_TEXT": "out"}
    assert ext_conn.call("Z_E1_IMPORT_BACK", {}, {"return_import_params": 1}) == {"E_TEXT": "out",
                                                                               "I_TEXT": "back"}


# --- time-outs --------------------------------------------------------------------------------

def test_call_timeout_cancels_and_reopens(sim):
    c = lomra.Connection(logon(sim), {"timeout": 0.3})
    before = session_id(c)
    with pytest.raises(lomra.CommunicationError) as info:
        c.call("Z_SIM_SLEEP", {"MILLIS": 20000}, {})
    assert (str(info.value), info.value.code, info.value.key) == (
        "Z_SIM_SLEEP did not answer within the timeout", 7, "RFC_CANCELED")
    sim.wait_for(event="cancelled", function="Z_SIM_SLEEP")  # the server was told to stop
    assert c.alive and session_id(c) != before
    # The option switches the configured time-out off for one call.
    assert c.call("Z_SIM_SLEEP", {"MILLIS": 600}, {"timeout": None}) == {"E_MILLIS": 600}
    assert c.call("Z_SIM_SLEEP", {"MILLIS": 600}, {"timeout": 0}) == {"E_MILLIS": 600}
    c.close()


def test_timeout_below_a_microsecond_is_still_a_timeout(conn):
    # Truncated to zero, the socket would wait without limit and the call
    # would succeed after its five seconds.
    with pytest.raises(lomra.CommunicationError) as info:
        conn.call("Z_SIM_SLEEP", {"MILLIS": 5000}, {"timeout": 1e-9})
    assert info.value.code == 7
    assert conn.call("STFC_CONNECTION", {}, {})["ECHOTEXT"] == ""


@pytest.mark.parametrize("timeout,error", [(float("nan"), ValueError), (float("inf"), ValueError),
                                           (2.0**70, ValueError), ("1", TypeError)])
def test_unusable_call_timeout_sends_nothing(conn, sim, timeout, error):
    conn.function_description("Z_SIM_SLEEP")
    before = len(sim.messages(step="call", function="Z_SIM_SLEEP"))
    with pytest.raises(error):
        conn.call("Z_SIM_SLEEP", {"MILLIS": 1}, {"timeout": timeout})
    assert len(sim.messages(step="call", function="Z_SIM_SLEEP")) == before


# --- close and reopen ---------------------------------------------------------------------------

def test_close_is_idempotent_and_final(sim):
    c = lomra.Connection(logon(sim), {})
    conn_no = sim.events("logon-ok")[-1]["conn"]
    assert c.close() is None and c.close() is None
    assert c.alive is False
    sim.wait_for(event="closed", conn=conn_no)
    assert sim.events("closed", conn=conn_no)[0]["deallocates"] == 1
    for method, args in ((c.call, ("STFC_CONNECTION", {}, {})), (c.function_description, ("X",)),
                         (c.connection_attributes, ())):
        with pytest.raises(lomra.ExternalRuntimeError) as info:
            method(*args)
        assert (str(info.value), info.value.code) == ("connection is closed", 17)
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        c.cancel()
    assert (str(info.value), info.value.code) == (NOTHING_TO_CANCEL, 17)


def test_reopen_discards_the_session_and_keeps_the_handle(sim):
    c = lomra.Connection(logon(sim), {})
    handle, first = c.handle, session_id(c)
    assert c.reopen() is None
    second = session_id(c)
    assert second != first and c.alive and c.handle == handle
    c.close()
    c.reopen()
    assert c.alive and session_id(c) not in (first, second)
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "again"}, {})["ECHOTEXT"] == "again"
    c.close()


def test_failed_reopen_leaves_the_connection_closed_until_one_succeeds():
    with simctl.Sim("--fault", "refuse=logon@2") as sim:
        c = lomra.Connection(logon(sim), {})
        handle = c.handle
        with pytest.raises(lomra.LogonError):
            c.reopen()
        assert c.alive is False
        with pytest.raises(lomra.ExternalRuntimeError, match="connection is closed"):
            c.call("STFC_CONNECTION", {}, {})
        c.reopen()
        assert c.alive and c.handle == handle
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "back"}, {})["ECHOTEXT"] == "back"
        c.close()


def test_failed_internal_reopen_after_a_cancel():
    with simctl.Sim("--fault", "refuse=logon@2") as sim:
        c = lomra.Connection(logon(sim), {})
        with pytest.raises(lomra.CommunicationError) as info:
            c.call("Z_SIM_FAULT", {"MODE": "canceled"}, {})
        assert info.value.code == 7  # the cancel is reported at once; nothing is reopened yet
        assert c.alive is True and len(sim.events("accepted", server="gateway")) == 1
        # The next call needs the session: its reopen fails, and that is what it reports.
        with pytest.raises(lomra.LogonError):
            c.call("STFC_CONNECTION", {}, {})
        assert c.alive is False
        with pytest.raises(lomra.ExternalRuntimeError, match="connection is closed"):
            c.call("STFC_CONNECTION", {}, {})
        c.close()


def test_dropping_the_connection_closes_without_the_closing_exchange(sim):
    c = lomra.Connection(logon(sim), {})
    conn_no = sim.events("logon-ok")[-1]["conn"]
    del c
    closed = sim.wait_for(event="closed", conn=conn_no)
    assert closed[0]["deallocates"] == 0


def test_close_ends_the_call_in_flight(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("Z_SIM_SLEEP")
    count = len(sim.messages(step="call", function="Z_SIM_SLEEP"))
    t, out = in_thread(c.call, "Z_SIM_SLEEP", {"MILLIS": 30000}, {})
    wait_for_call(sim, "Z_SIM_SLEEP", count + 1)
    conn_no = sim.events("logon-ok")[-1]["conn"]
    c.close()
    join(t)
    e = out["error"]
    assert (type(e), str(e), e.code, e.key) == (
        lomra.CommunicationError, "Z_SIM_SLEEP was interrupted: the connection was closed", 13, "RFC_CLOSED")
    assert c.alive is False
    # The closing record went out on the conversation all the same, and the
    # function's reply never came.
    assert sim.wait_for(kind="frame", dir="recv", step="deallocate", conn=conn_no)
    assert not sim.entries(kind="message", dir="send", step="call", function="Z_SIM_SLEEP", conn=conn_no)
    with pytest.raises(lomra.ExternalRuntimeError, match="connection is closed"):
        c.call("STFC_CONNECTION", {}, {})


# --- cancel -------------------------------------------------------------------------------------

def test_cancel_from_another_thread_during_a_slow_call(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("Z_SIM_SLEEP")
    count = len(sim.messages(step="call", function="Z_SIM_SLEEP"))
    before = session_id(c)
    t, out = in_thread(c.call, "Z_SIM_SLEEP", {"MILLIS": 30000}, {})
    wait_for_call(sim, "Z_SIM_SLEEP", count + 1)
    assert c.cancel() is None
    join(t)
    e = out["error"]
    assert (type(e), str(e), e.code, e.key) == (lomra.CommunicationError, "Z_SIM_SLEEP was cancelled", 7,
                                                "RFC_CANCELED")
    assert sim.wait_for(event="cancelled", function="Z_SIM_SLEEP", timeout=10)
    assert c.alive and session_id(c) != before
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "after"}, {})["ECHOTEXT"] == "after"
    c.close()


def test_cancel_when_idle_opens_a_new_conversation(conn, sim):
    handle, before = conn.handle, session_id(conn)
    cancels = len(sim.events("cancel"))
    assert conn.cancel() is None
    assert conn.alive and conn.handle == handle
    assert session_id(conn) != before
    # The record went out on the old conversation.
    assert sim.wait_for(event="cancel", count=cancels + 1, timeout=10)
    assert conn.call("STFC_CONNECTION", {"REQUTEXT": "idle"}, {})["ECHOTEXT"] == "idle"


# --- the interpreter lock and the session lock ----------------------------------------------------

def test_other_threads_run_while_a_call_waits(conn, sim):
    # The helper thread needs the interpreter lock to see the request arrive
    # and to cancel; were the lock held by the waiting call, the call would
    # instead end normally after its 30 seconds.
    conn.function_description("Z_SIM_SLEEP")
    count = len(sim.messages(step="call", function="Z_SIM_SLEEP"))
    seen = []

    def watcher():
        wait_for_call(sim, "Z_SIM_SLEEP", count + 1)
        seen.append(conn.alive)
        conn.cancel()

    t = threading.Thread(target=watcher)
    t.start()
    with pytest.raises(lomra.CommunicationError, match="was cancelled"):
        conn.call("Z_SIM_SLEEP", {"MILLIS": 30000}, {})
    join(t)
    assert seen == [True]


def test_a_second_thread_waits_for_the_session_without_blocking_others(conn, sim):
    conn.function_description("Z_SIM_SLEEP")
    conn.function_description("STFC_CONNECTION")
    count = len(sim.messages(step="call", function="Z_SIM_SLEEP"))
    first, out_first = in_thread(conn.call, "Z_SIM_SLEEP", {"MILLIS": 800}, {})
    wait_for_call(sim, "Z_SIM_SLEEP", count + 1)
    second, out_second = in_thread(conn.call, "STFC_CONNECTION", {"REQUTEXT": "second"}, {})
    third, out_third = in_thread(conn.connection_attributes)
    for t in (first, second, third):
        join(t)
    assert out_first["result"] == {"E_MILLIS": 800}
    assert out_second["result"]["ECHOTEXT"] == "second"
    assert out_third["result"]["sysId"] == "QSI"


def test_values_are_converted_outside_the_session_lock(conn):
    asking = Asking(conn, 2)
    assert conn.call("Z_SIM_ECHO", {"I_INT4": asking}, {})["E_INT4"] == 2
    assert asking.seen == "QSI"
    # On a thread of its own: were the value converted with the session
    # locked, close() inside the conversion would wait for itself forever.
    t, out = in_thread(conn.call, "Z_SIM_ECHO", {"I_INT4": Closing(conn)}, {})
    join(t)
    e = out["error"]
    assert (type(e), str(e)) == (lomra.ExternalRuntimeError, "connection is closed")
    assert conn.alive is False


# --- gateway failures -------------------------------------------------------------------------------

def test_gateway_failure_reopens_and_retries_once():
    with simctl.Sim("--fault", "err=call/STFC_CONNECTION:sim gateway down@1") as sim:
        c = lomra.Connection(logon(sim), {})
        c.function_description("STFC_CONNECTION")
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "retried"}, {})["ECHOTEXT"] == "retried"
        conns = [m["conn"] for m in sim.entries(kind="message", step="call", dir="recv", function="STFC_CONNECTION")]
        assert conns == [1, 2]
        c.close()


def test_second_gateway_failure_is_raised(conn, sim):
    conn.function_description("Z_SIM_FAULT")
    count = len(sim.messages(step="call", function="Z_SIM_FAULT"))
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conn.call("Z_SIM_FAULT", {"MODE": "err", "TEXT": "down for good"}, {})
    assert str(info.value) == "gateway: down for good (from sim gateway)"
    assert len(sim.messages(step="call", function="Z_SIM_FAULT")) == count + 2


def test_gateway_failure_while_describing():
    fault = "err=call/RFC_GET_FUNCTION_INTERFACE:sim gateway down@1"
    # Systems of their own, so that nothing is described yet.
    with simctl.Sim("--sysid", "GW1", "--fault", fault) as sim:
        c = lomra.Connection(logon(sim), {})
        # function_description() reports it, without a retry ...
        with pytest.raises(lomra.ExternalRuntimeError) as info:
            c.function_description("STFC_CONNECTION")
        assert (str(info.value), info.value.code) == ("gateway: sim gateway down (from sim gateway)", 17)
        assert len(sim.messages(step="call", function="RFC_GET_FUNCTION_INTERFACE")) == 1
        # ... and the dead session is replaced by the next call.
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "later"}, {})["ECHOTEXT"] == "later"
        c.close()
    with simctl.Sim("--sysid", "GW2", "--fault", fault) as sim:
        c = lomra.Connection(logon(sim), {})
        # call() reopens and runs the whole call once more.
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "retried"}, {})["ECHOTEXT"] == "retried"
        conns = [m["conn"] for m in sim.entries(kind="message", step="call", dir="recv",
                                                function="RFC_GET_FUNCTION_INTERFACE")]
        assert conns == [1, 2]
        c.close()


def test_cancel_on_a_conversation_that_has_ended(conn):
    with pytest.raises(lomra.CommunicationError):
        conn.call("Z_SIM_FAULT", {"MODE": "close"}, {})
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conn.cancel()
    assert (str(info.value), info.value.code) == ("the conversation has ended; there is nothing to cancel", 17)
    # The handle is used up; the next call replaces the session and its handle.
    with pytest.raises(lomra.ExternalRuntimeError, match="has nothing to cancel"):
        conn.cancel()
    assert conn.call("STFC_CONNECTION", {"REQUTEXT": "fresh"}, {})["ECHOTEXT"] == "fresh"
    assert conn.cancel() is None


# --- attributes and descriptions ---------------------------------------------------------------------

def test_connection_attributes(sim):
    c = lomra.Connection(logon(sim, lang="de"), {})
    a = c.connection_attributes()
    assert list(a) == ["host", "sysId", "sysNumber", "kernelRel", "partnerCodepage", "systemName", "client",
                       "user", "language", "progName", "sessionId"]
    assert a == {"host": "qsihost", "sysId": "QSI", "sysNumber": "00", "kernelRel": "753",
                 "partnerCodepage": "4103", "systemName": "QSISIM", "client": "001", "user": "TESTER",
                 "language": "D", "progName": "quib_proto", "sessionId": a["sessionId"]}
    assert len(a["sessionId"]) == 8 and a["sessionId"].isdigit()
    c.close()


@pytest.mark.parametrize("lang,expected", [("", "E"), ("en", "E"), ("ß", "SS")])
def test_logon_language_attribute(sim, lang, expected):
    c = lomra.Connection(logon(sim, lang=lang), {})
    assert c.connection_attributes()["language"] == expected
    c.close()


def test_function_description(conn):
    d = conn.function_description("z_sim_sleep")
    assert d == {"name": "Z_SIM_SLEEP", "parameters": [
        {"name": "MILLIS", "parameter_type": "Int4", "direction": "IMPORT", "nuc_length": 4,
         "type_description": ""},
        {"name": "E_MILLIS", "parameter_type": "Int4", "direction": "EXPORT", "nuc_length": 4,
         "type_description": ""},
    ]}
    assert list(d["parameters"][0]) == ["name", "parameter_type", "direction", "nuc_length", "type_description"]
    iface = {p["name"]: p for p in conn.function_description("RFC_GET_FUNCTION_INTERFACE")["parameters"]}
    assert (iface["PARAMS"]["direction"], iface["PARAMS"]["parameter_type"]) == ("TABLE", "Table")
    assert iface["PARAMS"]["type_description"] == "RFC_FUNINT"
    assert iface["FU_NOT_FOUND"]["direction"] == "EXCEPTION"
    with pytest.raises(TypeError):
        conn.function_description(5)


def test_description_of_unnamed_letters(ext_conn):
    params = {p["name"]: p for p in ext_conn.function_description("Z_E1_ODD_LETTERS")["parameters"]}
    assert params["P_QCLASS"]["direction"] == "UNKNOWN('Q')"
    assert params["P_ZTYPE"]["parameter_type"] == "Unknown('z')"
    assert params["P_TABLE"]["parameter_type"] == "Table"


def test_description_of_an_unknown_function(conn):
    with pytest.raises(lomra.ABAPApplicationError) as info:
        conn.function_description("Z_NO_SUCH_FUNCTION")
    assert info.value.key == "FU_NOT_FOUND"


def test_description_is_fetched_once_and_shared_with_call(sim):
    # A fresh process: the description cache is process-wide.
    code = textwrap.dedent(f"""
        import lomra
        c = lomra.Connection({{"ashost": "127.0.0.1", "port": "{sim.gateway}", "user": "TESTER",
                               "passwd": "secret"}}, {{}})
        t = lomra.Throughput()
        c.set_throughput(t)
        counts = []
        c.call("STFC_CONNECTION", {{}}, {{}})       # the interface fetch, then the call
        counts.append(t.stats["numberOfCalls"])
        c.function_description("stfc_connection")   # cached
        counts.append(t.stats["numberOfCalls"])
        c.function_description("z_sim_sleep")       # fetched
        c.call("Z_SIM_SLEEP", {{"MILLIS": 1}}, {{}})   # uses what was fetched
        counts.append(t.stats["numberOfCalls"])
        print(*counts)
    """)
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["2", "2", "4"]


# --- throughput ---------------------------------------------------------------------------------------

def test_throughput_attachment(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("STFC_CONNECTION")
    t = lomra.Throughput()
    assert c.set_throughput(t) is None
    c.call("STFC_CONNECTION", {"REQUTEXT": "counted"}, {})
    s = t.stats_ns
    assert s["numberOfCalls"] == 1 and s["sentBytes"] > 0 and s["receivedBytes"] > 0
    assert s["totalTime"] > 0 and s["applicationTime"] == 0
    c.reopen()  # the attachment survives a new session
    c.call("STFC_CONNECTION", {}, {})
    assert t.stats["numberOfCalls"] == 2
    c.set_throughput()
    c.call("STFC_CONNECTION", {}, {})
    c.set_throughput(t)
    c.set_throughput(None)
    c.call("STFC_CONNECTION", {}, {})
    assert t.stats["numberOfCalls"] == 2
    with pytest.raises(TypeError):
        c.set_throughput(object())
    c.close()


def test_throughput_stats_are_the_nanoseconds_in_whole_milliseconds(sim):
    c = lomra.Connection(logon(sim), {})
    c.function_description("Z_SIM_SLEEP")
    t = lomra.Throughput()
    c.set_throughput(t)
    c.call("Z_SIM_SLEEP", {"MILLIS": 30}, {})   # a call of 30 ms or more
    c.close()
    ms, ns = t.stats, t.stats_ns
    assert list(ms) == ["numberOfCalls", "sentBytes", "receivedBytes", "applicationTime",
                        "totalTime", "serializationTime", "deserializationTime"]
    assert list(ns) == list(ms) + ["networkWriteTime", "replyWaitTime"]
    assert ns["totalTime"] >= 30_000_000
    for key in ("numberOfCalls", "sentBytes", "receivedBytes"):
        assert ms[key] == ns[key]
    for key in ("applicationTime", "totalTime", "serializationTime", "deserializationTime"):
        assert ms[key] == ns[key] // 1_000_000, key


def test_one_throughput_on_two_connections(sim):
    a = lomra.Connection(logon(sim), {})
    b = lomra.Connection(logon(sim), {})
    for c in (a, b):
        c.function_description("STFC_CONNECTION")
    t = lomra.Throughput()
    a.set_throughput(t)
    b.set_throughput(throughput=t)
    a.call("STFC_CONNECTION", {}, {})
    b.call("STFC_CONNECTION", {}, {})
    b.call("STFC_CONNECTION", {}, {})
    assert t.stats["numberOfCalls"] == 3
    t.reset()
    a.call("STFC_CONNECTION", {}, {})
    assert t.stats["numberOfCalls"] == 1
    a.close()
    b.close()
