"""Transactional units: initialize_unit, fill_and_submit_unit and
confirm_unit against the simulated ABAP system, with what it received
checked byte for byte against payloads built here from their layout: the
queued call's container, the DATA row that carries it and the STATE row."""

import os
import struct
import threading

import pytest

from conftest import Asking, Closing, lomra, logon
import simctl
from sim.dictionary import standard_dictionary

HOST = "unit-test-host"
STATE_WIDTH, DATA_WIDTH = 972, 1918

ROW = standard_dictionary().lookup("ZSIM_ROW")
IMAGE = ROW.encode({"ID": 7, "NAME": "queued row", "AMOUNT": "12.50", "DAY": "20240229", "SCORE": 0.5})


@pytest.fixture(autouse=True)
def fixed_host(monkeypatch):
    monkeypatch.setenv("HOSTNAME", HOST)


# --- the payloads as their layout gives them ----------------------------------------------------

def utf16(text):
    return text.encode("utf-16-le")


def slot(text, units):
    """A text cut after `units` code units, the rest blanks."""
    raw = utf16(text)[: 2 * units]
    return raw + utf16(" ") * (units - len(raw) // 2)


def record(rid, value=b""):
    return struct.pack(">HH", rid, len(value)) + value + struct.pack(">H", rid)


def queued_container(function, params):
    """0x0502 empty, Kernel "753", Function, the parameter pairs, End."""
    out = record(0x0502) + record(0x000B, utf16("753")) + record(0x0102, utf16(function))
    for name, raw in params:
        out += record(0x0201, utf16(name)) + record(0x0203, raw)
    return out + record(0xFFFF)


def data_row(tid, queue, counter, container):
    head = slot(tid, 24) + slot(queue, 32) + utf16(f"{counter:08d}") + struct.pack(">I", counter)
    assert len(head) == 132
    return (head + container).ljust(DATA_WIDTH, b"\x00")


def state_row(tid, queue, counter, function, host=HOST, program="quib_proto"):
    row = (slot(tid, 24) + slot(queue, 32) + slot(f"{counter:08d}", 16) + slot(function, 30) + utf16(" ")
           + utf16("0" * 14) + slot("", 36) + slot(host, 58) + slot(program, 255) + b"\x00" * 40)
    assert len(row) == STATE_WIDTH
    return row


# --- helpers --------------------------------------------------------------------------------------

def unit_calls(sim, tid):
    return [e for e in sim.events("unit-call") if e["tid"] == tid]


def cleared(sim, tid):
    return [e for e in sim.events("tid-cleared") if e["tid"] == tid]


def ships(sim):
    return len(sim.messages(step="call", function="ARFC_DEST_SHIP"))


def requests(sim):
    return len(sim.messages(step="call"))


def seen(event):
    """The E_SEEN text of a queued call's execution on the server."""
    for item in event["exports"].split(","):
        name, _, value = item.partition("=")
        if name == "E_SEEN":
            return bytes.fromhex(value).decode("utf-8")
    return None


def raises(exc, fn, *args, **kw):
    with pytest.raises(lomra.RFCError) as info:
        fn(*args, **kw)
    e = info.value
    assert (type(e), e.key, e.code) == exc[:3], str(e)
    if len(exc) > 3:
        assert str(e) == exc[3]
    return e


INVALID = (lomra.ExternalRuntimeError, "RFC_INVALID_PARAMETER", 20)
EXTERNAL = (lomra.ExternalRuntimeError, "RFC_EXTERNAL_FAILURE", 17)
COMMUNICATION = (lomra.CommunicationError, "RFC_COMMUNICATION_FAILURE", 1)


# --- the main path --------------------------------------------------------------------------------

def test_a_unit_of_scalar_structure_and_table_calls(conn, sim):
    checks = len(sim.checks())
    unit = conn.initialize_unit()
    assert list(unit) == ["id", "background"] and unit["background"] is False
    tid = unit["id"]
    assert len(tid) == 24 and [e["tid"] for e in sim.events("tid-created")][-1] == tid

    calls = [
        ("z_sim_echo", {"I_CHAR": "abc", "i_int4": 7, "I_RAW": b"\x01\x02"}),
        {"name": "Z_SIM_STRUCT", "params": {"I_ROW": IMAGE}, "ignored": 1},
        ("Z_SIM_TABLE", {"ROW_COUNT": 0, "T_IN": IMAGE}),
        {"name": "RFC_PING"},
    ]
    assert conn.fill_and_submit_unit(tid, calls) == 4

    # Each call as written, its parameters named as the interface spells them.
    expected = [
        ("z_sim_echo", [("I_CHAR", slot("abc", 10)), ("I_INT4", struct.pack("<i", 7)),
                        ("I_RAW", b"\x01\x02" + bytes(14))]),
        ("Z_SIM_STRUCT", [("I_ROW", IMAGE)]),
        ("Z_SIM_TABLE", [("ROW_COUNT", bytes(4)), ("T_IN", IMAGE)]),
        ("RFC_PING", []),
    ]
    got = unit_calls(sim, tid)
    assert [(e["counter"], e["queue"], e["outcome"]) for e in got] == [(n, "EXTERNAL", "queued") for n in (1, 2, 3, 4)]
    for n, (event, (function, params)) in enumerate(zip(got, expected), 1):
        container = queued_container(function, params)
        assert bytes.fromhex(event["container"]) == container
        assert bytes.fromhex(event["data"]) == data_row(tid, "EXTERNAL", n, container)
        assert bytes.fromhex(event["state"]) == state_row(tid, "EXTERNAL", n, function)
    assert len(sim.checks()) == checks, sim.checks()[checks:]

    # The server read the values as their types.
    assert seen(got[0]) == "I_CHAR=abc       \nI_INT4=7\nI_RAW=01020000000000000000000000000000"
    assert seen(got[1]) == "ID=7;NAME=queued row" + " " * 10 + ";AMOUNT=12.50;DAY=20240229;SCORE=0.5"
    assert seen(got[2]) == seen(got[1])

    assert conn.confirm_unit(tid) is None
    (release,) = cleared(sim, tid)
    assert release["shipped"] == 4
    assert bytes.fromhex(release["raw"]) == utf16(tid)


def test_each_fill_numbers_its_calls_from_one(conn, sim):
    tid = conn.initialize_unit()["id"]
    assert conn.fill_and_submit_unit(tid, [("RFC_PING", {})] * 2) == 2
    assert conn.fill_and_submit_unit(tid=tid, calls=[("RFC_PING", {})], queue=None) == 1
    assert [e["counter"] for e in unit_calls(sim, tid)] == [1, 2, 1]
    conn.confirm_unit(tid=tid)


def test_subclasses_of_list_tuple_and_dict_are_accepted(conn, sim):
    from collections import OrderedDict, namedtuple

    class Calls(list):
        pass

    Call = namedtuple("Call", "name params")
    tid = conn.initialize_unit()["id"]
    calls = Calls([Call("RFC_PING", {}), OrderedDict(name="STFC_CONNECTION", params=OrderedDict(REQUTEXT="x"))])
    assert conn.fill_and_submit_unit(tid, calls) == 2
    assert [(e["function"], e["params"]) for e in unit_calls(sim, tid)] == [("RFC_PING", ""),
                                                                          ("STFC_CONNECTION", "REQUTEXT")]


def test_an_empty_calls_list_sends_nothing(conn, sim):
    tid = conn.initialize_unit()["id"]
    before = requests(sim)
    assert conn.fill_and_submit_unit(tid, []) == 0
    assert requests(sim) == before
    assert cleared(sim, tid) == []


@pytest.mark.parametrize("queue, slot_text", [
    ("MYQUEUE", "MYQUEUE"),
    ("", ""),
    ("Q" * 32, "Q" * 32),
    ("ü" * 32, "ü" * 32),
])
def test_the_queue_name_of_both_rows(conn, sim, queue, slot_text):
    tid = conn.initialize_unit()["id"]
    assert conn.fill_and_submit_unit(tid, [("RFC_PING", {})], queue) == 1
    (event,) = unit_calls(sim, tid)
    container = queued_container("RFC_PING", [])
    assert bytes.fromhex(event["data"]) == data_row(tid, slot_text, 1, container)
    assert bytes.fromhex(event["state"]) == state_row(tid, slot_text, 1, "RFC_PING")
    conn.confirm_unit(tid)


@pytest.mark.parametrize("queue, units", [("Q" * 33, 33), ("\U0001F600" * 17, 34)])
def test_a_queue_name_too_long_for_its_slot_is_refused_before_anything_is_sent(conn, sim, queue, units):
    tid = conn.initialize_unit()["id"]
    before = requests(sim)
    raises(INVALID + (f'queue name "{queue}" has {units} characters, more than the 32 a queued unit allows',),
           conn.fill_and_submit_unit, tid, [("RFC_PING", {})], queue)
    assert requests(sim) == before
    conn.confirm_unit(tid)  # the unit is untouched


# --- the status row's host name -------------------------------------------------------------------

def proc_host():
    try:
        with open("/proc/sys/kernel/hostname", "rb") as f:
            text = f.read().decode("utf-8", "replace").strip()
    except OSError:
        text = ""
    return text or "unknown"


@pytest.mark.parametrize("value, host", [
    (" spaced host ", " spaced host "),  # taken as it is
    ("", "unknown"),
    (None, proc_host()),  # unset: the kernel's name
    (b"\xff\xfe", proc_host()),  # not UTF-8: the kernel's name
])
def test_host_name_of_the_status_row(conn, sim, monkeypatch, value, host):
    if value is None:
        monkeypatch.delenv("HOSTNAME")
    elif isinstance(value, bytes):
        monkeypatch.setitem(os.environb, b"HOSTNAME", value)
    else:
        monkeypatch.setenv("HOSTNAME", value)
    tid = conn.initialize_unit()["id"]
    conn.fill_and_submit_unit(tid, [("RFC_PING", {})])
    (event,) = unit_calls(sim, tid)
    assert bytes.fromhex(event["state"]) == state_row(tid, "EXTERNAL", 1, "RFC_PING", host=host)


# --- refusals before anything is shipped ------------------------------------------------------------

def test_an_unknown_parameter_is_refused_with_code_20(conn, sim):
    tid = conn.initialize_unit()["id"]
    before = ships(sim)
    raises(INVALID + ('z_sim_echo has no parameter named "NOPE\\n"',),
           conn.fill_and_submit_unit, tid, [("RFC_PING", {}), ("z_sim_echo", {"I_CHAR": "x", "NOPE\n": 1})])
    assert ships(sim) == before
    assert cleared(sim, tid) == []
    conn.confirm_unit(tid)  # nothing was shipped, the TID is still open


class Text:
    def __str__(self):
        return "text"


@pytest.mark.parametrize("calls, error", [
    ([["RFC_PING", {}]], EXTERNAL + ("a queued call is a (name, params) pair or a dict",)),
    (["RFC_PING"], EXTERNAL + ("a queued call is a (name, params) pair or a dict",)),
    ([("RFC_PING",)], EXTERNAL + ("a queued call is a (name, params) pair",)),
    ([("RFC_PING", {}, {})], EXTERNAL + ("a queued call is a (name, params) pair",)),
    ([{"params": {}}], EXTERNAL + ("a queued call needs a 'name'",)),
    ([(Text(), {})], TypeError),
    ([("RFC_PING", [])], TypeError),
    ([{"name": "RFC_PING", "params": None}], TypeError),
    ([("Z_SIM_ECHO", {1: 2})], TypeError),
    ([("Z_SIM_ECHO", {"I_INT4": "seven"})], TypeError),
    ([("Z_SIM_ECHO", {"I_RAW": "text"})], TypeError),
    ([("Z_SIM_STRUCT", {"I_ROW": {"ID": 1}})], TypeError),
    ([("Z_SIM_DOES_NOT_EXIST", {})], (lomra.ABAPApplicationError, "FU_NOT_FOUND", 5)),
])
def test_malformed_calls_are_refused_before_anything_is_shipped(conn, sim, calls, error):
    tid = conn.initialize_unit()["id"]
    before = ships(sim)
    if error is TypeError:
        with pytest.raises(TypeError):
            conn.fill_and_submit_unit(tid, [("RFC_PING", {})] + calls)
    else:
        raises(error, conn.fill_and_submit_unit, tid, [("RFC_PING", {})] + calls)
    assert ships(sim) == before
    assert cleared(sim, tid) == []


@pytest.mark.parametrize("args, name", [
    ((b"0" * 24, []), "tid"),
    (("0" * 24, ("RFC_PING", {})), "calls"),
    (("0" * 24, [], 5), "queue"),
])
def test_arguments_of_the_wrong_type(conn, args, name):
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        conn.fill_and_submit_unit(*args)
    if name == "tid":
        with pytest.raises(TypeError, match="argument 'tid'"):
            conn.confirm_unit(args[0])


@pytest.mark.parametrize("tid", ["0" * 23, "0" * 25, "é" * 12 + "0"])
def test_a_tid_that_is_not_24_bytes(conn, sim, tid):
    message = f"unexpected record during transaction id: a TID is 24 characters, got {len(tid.encode())}"
    def unit_requests():
        return ships(sim) + len(sim.messages(step="call", function="API_CLEAR_TID"))

    before = unit_requests()
    # Checked only after the calls have parsed.
    raises(EXTERNAL, conn.fill_and_submit_unit, tid, [("RFC_PING", {}), 5])
    raises(COMMUNICATION + (message,), conn.fill_and_submit_unit, tid, [("RFC_PING", {})])
    raises(COMMUNICATION + (message,), conn.confirm_unit, tid)
    assert unit_requests() == before
    # Even on a closed connection, before "connection is closed".
    c = lomra.Connection(logon(sim), {})
    c.close()
    raises(COMMUNICATION + (message,), c.confirm_unit, tid)


def test_a_closed_connection(sim):
    c = lomra.Connection(logon(sim), {})
    tid = c.initialize_unit()["id"]
    c.close()
    closed = EXTERNAL + ("connection is closed",)
    raises(closed, c.initialize_unit)
    raises(closed, c.fill_and_submit_unit, tid, [])
    raises(closed, c.fill_and_submit_unit, tid, [("RFC_PING", {})])
    raises(closed, c.confirm_unit, tid)


# --- failures while shipping ----------------------------------------------------------------------

def test_a_call_the_server_refuses_releases_the_unit(conn, sim):
    tid = conn.initialize_unit()["id"]
    calls = [("RFC_PING", {}), ("Z_SIM_RAISE", {"KEY": "BOOM", "TEXT": "queued call failed"}), ("RFC_PING", {})]
    e = raises((lomra.ABAPApplicationError, "BOOM", 5), conn.fill_and_submit_unit, tid, calls)
    assert str(e) == "queued call failed"
    got = unit_calls(sim, tid)
    assert [(e["counter"], e["function"], e["outcome"]) for e in got] == [
        (1, "RFC_PING", "queued"), (2, "Z_SIM_RAISE", "refused")]
    # Exactly one release, and the unit is gone.
    assert len(cleared(sim, tid)) == 1
    raises((lomra.ABAPApplicationError, "TID_NOT_FOUND", 5), conn.confirm_unit, tid)
    # The session is still in place.
    assert conn.call("STFC_CONNECTION", {"REQUTEXT": "after"}, {})["ECHOTEXT"] == "after"


def test_a_call_too_big_for_one_data_row_releases_the_unit(conn, sim):
    tid = conn.initialize_unit()["id"]
    big = "x" * 1800
    size = len(queued_container("Z_SIM_ECHO", [("I_STRING", big.encode())]))
    assert size > 1786
    calls = [("RFC_PING", {}), ("Z_SIM_ECHO", {"I_STRING": big}), ("RFC_PING", {})]
    raises(COMMUNICATION + (f"unexpected record during ARFC_DEST_SHIP: the serialised call is {size} bytes, "
                            "more than one DATA row holds",),
           conn.fill_and_submit_unit, tid, calls)
    assert [e["counter"] for e in unit_calls(sim, tid)] == [1]
    assert len(cleared(sim, tid)) == 1

    # The largest call that fits goes through.
    tid = conn.initialize_unit()["id"]
    fits = "x" * (1800 - (size - 1786))
    assert len(queued_container("Z_SIM_ECHO", [("I_STRING", fits.encode())])) == 1786
    assert conn.fill_and_submit_unit(tid, [("Z_SIM_ECHO", {"I_STRING": fits})]) == 1
    (event,) = unit_calls(sim, tid)
    assert bytes.fromhex(event["data"])[132:] == queued_container("Z_SIM_ECHO", [("I_STRING", fits.encode())])


@pytest.mark.parametrize("scenario, error", [
    ({"units": {"tids": ["0" * 23]}},
     COMMUNICATION + ("unexpected record during transaction id: a TID is 24 characters, got 23",)),
    ({"units": {"omit_tid": True}},
     COMMUNICATION + ("unexpected record during API_CREATE_TID: response without a TID",)),
    ({"faults": ["close=call/API_CREATE_TID"]}, (lomra.CommunicationError, "RFC_CLOSED", 13)),
    ({"faults": ["err=call/API_CREATE_TID:no gateway"]}, EXTERNAL),
])
def test_initialize_unit_errors(scenario, error):
    with simctl.Sim(config=scenario) as s:
        c = lomra.Connection(logon(s), {})
        raises(error, c.initialize_unit)
        c.close()


def test_confirming_an_unknown_unit_raises_the_servers_error(conn):
    e = raises((lomra.ABAPApplicationError, "TID_NOT_FOUND", 5), conn.confirm_unit, "Z" * 24)
    assert e.msg_v1 == "Z" * 24


def test_a_gateway_failure_while_shipping_is_raised_without_a_retry():
    with simctl.Sim("--fault", "err=call/ARFC_DEST_SHIP:unit gateway down") as s:
        c = lomra.Connection(logon(s), {})
        tid = c.initialize_unit()["id"]
        raises((lomra.ExternalRuntimeError, "RFC_EXTERNAL_FAILURE", 17), c.fill_and_submit_unit, tid,
               [("RFC_PING", {})])
        assert len(s.messages(step="call", function="ARFC_DEST_SHIP")) == 1


# --- locks ----------------------------------------------------------------------------------------

SLOW = {"functions": {name: {"delay": 60} for name in ("API_CREATE_TID", "ARFC_DEST_SHIP", "API_CLEAR_TID")}}


@pytest.mark.parametrize("function, method, args", [
    ("API_CREATE_TID", "initialize_unit", ()),
    ("ARFC_DEST_SHIP", "fill_and_submit_unit", ("0A1B2C3D0000000000000001", [("RFC_PING", {})])),
    ("API_CLEAR_TID", "confirm_unit", ("0A1B2C3D0000000000000001",)),
])
def test_the_interpreter_lock_is_released_during_the_exchange(function, method, args):
    # The watcher needs the interpreter lock to see the request arrive and to
    # cancel it; were it held through the exchange, the method would return
    # normally once the server's 60 seconds had passed.
    with simctl.Sim(config=SLOW) as s:
        c = lomra.Connection(logon(s), {})
        seen = []

        def watcher():
            s.wait_for(kind="message", step="call", dir="recv", function=function, timeout=90)
            seen.append(c.alive)
            c.cancel()

        t = threading.Thread(target=watcher)
        t.start()
        raises(EXTERNAL + ("the call was cancelled; the conversation is closed",), getattr(c, method), *args)
        t.join(120)
        assert not t.is_alive() and seen == [True]
        # The failed shipment's release could not go out on the cancelled
        # conversation; the next call opens a new one.
        assert s.events("tid-cleared") == []
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "again"}, {})["ECHOTEXT"] == "again"
        c.close()


def test_values_are_converted_outside_the_session_lock(conn, sim):
    tid = conn.initialize_unit()["id"]
    asking = Asking(conn, 3)
    assert conn.fill_and_submit_unit(tid, [("Z_SIM_ECHO", {"I_INT4": asking})]) == 1
    assert asking.seen == "QSI"
    assert seen(unit_calls(sim, tid)[0]) == "I_INT4=3"

    # Were the value converted with the session locked, close() inside the
    # conversion would wait for itself forever.
    out = {}

    def run():
        try:
            conn.fill_and_submit_unit(tid, [("Z_SIM_ECHO", {"I_INT4": Closing(conn)})])
        except lomra.RFCError as e:
            out["error"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(60)
    assert not t.is_alive(), "deadlock"
    assert str(out["error"]) == "connection is closed"
    assert len(unit_calls(sim, tid)) == 1
