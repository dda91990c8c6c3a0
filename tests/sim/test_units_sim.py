"""Self-tests of the simulator's transactional units: API_CREATE_TID,
API_CLEAR_TID and ARFC_DEST_SHIP, with the STATE and DATA rows written out
here from their layout (independently of the simulator's reader), every
deviation the simulator must notice, the unit's life on the server, and one
unit over a raw socket."""

import copy
import os
import struct
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import config  # noqa: E402
from sim.dictionary import standard_dictionary  # noqa: E402
from sim.functions import standard_registry  # noqa: E402
from sim.reply import AbapError  # noqa: E402
from simctl import Sim  # noqa: E402
from test_sim import RawClient, first, u16, values_of  # noqa: E402
from sim.container import Rid  # noqa: E402

TID = "0A1B2C3D0000000000000001"


def slot(text, units):
    raw = u16(text)[: 2 * units]
    return raw + u16(" ") * (units - len(raw) // 2)


def rec(rid, value=b""):
    return struct.pack(">HH", rid, len(value)) + value + struct.pack(">H", rid)


def queued(function, params=(), kernel="753"):
    out = rec(0x0502) + rec(0x000B, u16(kernel)) + rec(0x0102, u16(function))
    for name, raw in params:
        out += rec(0x0201, u16(name)) + rec(0x0203, raw)
    return out + rec(0xFFFF)


def data_row(tid, queue, counter, container, number=None):
    head = slot(tid, 24) + slot(queue, 32) + u16(f"{counter:08d}")
    head += struct.pack(">I", counter if number is None else number)
    return (head + container).ljust(1918, b"\x00")


def state_row(tid, queue, counter, function, host="simhost", program="quib_proto", zeros="0" * 14):
    return (slot(tid, 24) + slot(queue, 32) + slot(f"{counter:08d}", 16) + slot(function, 30) + u16(" ")
            + u16(zeros) + slot("", 36) + slot(host, 58) + slot(program, 255) + b"\x00" * 40)


class Ctx:
    """The call context a handler sees, without a connection; events and
    checks are collected."""

    def __init__(self, registry, function, tables=None, imports=None, raw=None, strict=True):
        self.registry = registry
        self.function = registry.get(function)
        self.config = {"strict": strict}
        self.session = None
        self.requested = []
        self.tables = tables or {}
        self.imports = imports or {}
        self.raw = raw or {}
        self.logged = []
        self.problems = []

    def event(self, name, **fields):
        self.logged.append((name, fields))

    def check(self, problems):
        self.problems += problems
        return bool(problems) and self.config["strict"]

    def wait(self, seconds):
        pass

    def unit_call(self):
        (fields,) = [f for name, f in self.logged if name == "unit-call"]
        return fields


@pytest.fixture
def registry():
    reg = standard_registry(standard_dictionary(), copy.deepcopy(config.DEFAULTS))
    return reg


def open_unit(registry):
    ctx = Ctx(registry, "API_CREATE_TID")
    reply = ctx.function.handler(ctx)
    ((name, raw),) = reply.exports
    assert name == "TID" and len(raw) == 48
    return raw.decode("utf-16-le")


def ship(registry, tid, counter, function, params=(), queue="EXTERNAL", strict=True, state=None, data=None,
         tables=None):
    container = queued(function, params)
    rows = tables if tables is not None else {
        "STATE": [state if state is not None else state_row(tid, queue, counter, function)],
        "DATA": [data if data is not None else data_row(tid, queue, counter, container)],
    }
    ctx = Ctx(registry, "ARFC_DEST_SHIP", tables=rows, strict=strict)
    try:
        ctx.function.handler(ctx)
        error = None
    except AbapError as exc:
        error = exc
    return ctx, error


def test_a_unit_is_issued_shipped_and_cleared(registry):
    tid = open_unit(registry)
    assert len(tid) == 24 and tid != open_unit(registry)
    ctx, error = ship(registry, tid, 1, "z_sim_echo", [("I_INT4", struct.pack("<i", 41)), ("I_CHAR", slot("hi", 10))],
                      queue="Q")
    assert error is None and ctx.problems == []
    call = ctx.unit_call()
    assert (call["tid"], call["queue"], call["counter"], call["function"], call["host"], call["program"],
            call["outcome"]) == (tid, "Q", 1, "z_sim_echo", "simhost", "quib_proto", "queued")
    assert call["params"] == ["I_INT4", "I_CHAR"]
    assert call["container"] == queued("z_sim_echo", [("I_INT4", struct.pack("<i", 41)), ("I_CHAR", slot("hi", 10))])
    # The queued call ran with its decoded values.
    seen = dict(item.split("=", 1) for item in call["exports"])["E_SEEN"]
    assert bytes.fromhex(seen).decode() == "I_CHAR=hi        \nI_INT4=41"

    ctx, error = ship(registry, tid, 2, "RFC_PING")
    assert error is None and ctx.unit_call()["counter"] == 2

    clear = Ctx(registry, "API_CLEAR_TID", imports={"TID": tid}, raw={"TID": u16(tid)})
    clear.function.handler(clear)
    assert clear.logged == [("tid-cleared", {"tid": tid, "raw": u16(tid), "shipped": 2})]
    with pytest.raises(AbapError) as again:
        clear.function.handler(clear)
    assert again.value.key == "TID_NOT_FOUND"
    _, error = ship(registry, tid, 3, "RFC_PING")
    assert error.key == "TID_NOT_FOUND"


def test_counters_run_one_by_one_and_may_start_again(registry):
    tid = open_unit(registry)
    assert ship(registry, tid, 1, "RFC_PING")[1] is None
    _, skipped = ship(registry, tid, 3, "RFC_PING")
    assert skipped.key == "SIM_BAD_UNIT"
    assert ship(registry, tid, 2, "RFC_PING")[1] is None
    assert ship(registry, tid, 1, "RFC_PING")[1] is None  # a new fill


def test_unknown_units_functions_and_failing_calls_are_refused(registry):
    _, error = ship(registry, "0" * 24, 1, "RFC_PING")
    assert error.key == "TID_NOT_FOUND"
    tid = open_unit(registry)
    _, error = ship(registry, tid, 1, "Z_NOT_THERE")
    assert error.key == "FUNCTION_NOT_FOUND"
    ctx, error = ship(registry, tid, 1, "Z_SIM_RAISE", [("KEY", slot("BOOM", 30))])
    assert error.key == "BOOM" and ctx.unit_call()["outcome"] == "refused" and ctx.unit_call()["key"] == "BOOM"


def rows_with(tid, change):
    """STATE and DATA of RFC_PING call 1 with one deviation."""
    container = queued("RFC_PING")
    state = bytearray(state_row(tid, "EXTERNAL", 1, "RFC_PING"))
    data = bytearray(data_row(tid, "EXTERNAL", 1, container))
    change(state, data)
    return bytes(state), bytes(data)


def put(row, unit, text):
    raw = u16(text)
    row[2 * unit : 2 * unit + len(raw)] = raw


@pytest.mark.parametrize("change, problem", [
    (lambda s, d: d.__setitem__(slice(128, 132), struct.pack(">I", 2)), "DATA counter digits 00000001 differ"),
    (lambda s, d: put(d, 56, "0000000x"), "DATA counter slot is '0000000x'"),
    (lambda s, d: put(s, 56, "00000002"), "the counter of STATE (00000002) and of DATA (00000001) differ"),
    (lambda s, d: put(s, 64, "9"), "STATE counter slot is '000000019       '"),
    (lambda s, d: put(s, 24, "OTHER   "), "the queue of STATE"),
    (lambda s, d: put(s, 0, "X"), "the tid of STATE"),
    (lambda s, d: put(s, 72, "RFC_PONG"), "STATE names the function 'RFC_PONG', the call 'RFC_PING'"),
    (lambda s, d: put(s, 102, "x"), "STATE unit 102 is 'x', not a blank"),
    (lambda s, d: put(s, 110, "1"), "STATE units 103..116 are '00000001000000'"),
    (lambda s, d: put(s, 120, "x"), "STATE units 117..152 are"),
    (lambda s, d: put(s, 211, "other     "), "STATE program name is 'other'"),
    (lambda s, d: put(s, 485, "x"), "STATE units 466..485 are"),
    (lambda s, d: d.__setitem__(1900, 1), "DATA row holds bytes after the queued call's end record"),
    (lambda s, d: d.__setitem__(slice(132, 132 + 6), rec(0x0503)), "queued call record 1 is 0x0503, expected 0x0502"),
    (lambda s, d: put(d, 71, "8"), "queued call record 2 (0x000b) holds 380035003300"),
])
def test_every_deviation_of_the_rows_is_noticed(registry, change, problem):
    tid = open_unit(registry)
    state, data = rows_with(tid, change)
    ctx, error = ship(registry, tid, 1, "RFC_PING", state=state, data=data)
    assert any(problem in p for p in ctx.problems), ctx.problems
    assert error.key == "SIM_BAD_UNIT" and ctx.unit_call()["outcome"] == "refused"
    # Lenient: the deviation is only logged.
    lenient = open_unit(registry)
    state, data = rows_with(lenient, change)
    ctx, error = ship(registry, lenient, 1, "RFC_PING", state=state, data=data, strict=False)
    assert any(problem in p for p in ctx.problems), ctx.problems


def test_table_shapes(registry):
    tid = open_unit(registry)
    state, data = rows_with(tid, lambda s, d: None)
    for tables, problem in [
        ({"DATA": [data], "STATE": [state]}, "expected STATE then DATA"),
        ({"STATE": [state, state], "DATA": [data]}, "got 2 STATE and 1 DATA rows"),
        ({"STATE": [state[:970]], "DATA": [data]}, "the STATE row has 970 bytes, not 972"),
        ({"STATE": [state], "DATA": [data + b"\x00"]}, "the DATA row has 1919 bytes, not 1918"),
    ]:
        ctx, error = ship(registry, tid, 1, "RFC_PING", tables=tables)
        assert any(problem in p for p in ctx.problems), (problem, ctx.problems)
        assert error is not None


def test_scripted_and_missing_tids():
    cfg = copy.deepcopy(config.DEFAULTS)
    cfg["units"] = {"tids": ["  SHORT "], "omit_tid": False}
    reg = standard_registry(standard_dictionary(), cfg)
    ctx = Ctx(reg, "API_CREATE_TID")
    ctx.config = cfg
    assert ctx.function.handler(ctx).exports == [("TID", u16("  SHORT "))]  # as written
    assert reg.units.get("SHORT") is not None
    cfg["units"]["omit_tid"] = True
    assert ctx.function.handler(ctx).exports == []


def request(function, params=(), tables=()):
    out = rec(0x0502) + rec(0x000B, u16("753")) + rec(0x0102, u16(function)) + rec(0x0512)
    for name, raw in params:
        out += rec(0x0201, u16(name)) + rec(0x0203, raw)
    for k, (name, width, rows) in enumerate(tables, 1):
        out += rec(0x0301, u16(name)) + rec(0x0330, struct.pack(">I", k)) + rec(0x0302, struct.pack(">II", width, len(rows)))
        out += b"".join(rec(0x0303, r) for r in rows)
    out += rec(0xFFFF)
    return out + struct.pack(">I", len(out)) + bytes.fromhex("00008500")


def test_a_unit_over_the_wire():
    with Sim() as sim:
        c = RawClient(sim.gateway).setup()
        c.logon()
        c.send_message(request("API_CREATE_TID"))
        tid = values_of(c.recv_reply())["TID"].decode("utf-16-le").strip()
        container = queued("STFC_CONNECTION", [("REQUTEXT", slot("queued", 255))])
        c.send_message(request("ARFC_DEST_SHIP", tables=[
            ("STATE", 972, [state_row(tid, "EXTERNAL", 1, "STFC_CONNECTION")]),
            ("DATA", 1918, [data_row(tid, "EXTERNAL", 1, container)]),
        ]))
        reply = c.recv_reply()
        assert first(reply, Rid.ABAP_EXCEPTION_KEY) is None, reply
        c.send_message(request("API_CLEAR_TID", [("TID", u16(tid))]))
        assert first(c.recv_reply(), Rid.ABAP_EXCEPTION_KEY) is None
        c.deallocate()
        c.close()
        sim.wait_for(event="tid-cleared")
        (call,) = sim.events("unit-call")
        assert (call["tid"], call["counter"], call["function"], call["outcome"]) == (tid, 1, "STFC_CONNECTION",
                                                                                    "queued")
        assert bytes.fromhex(call["container"]) == container
        assert call["param_hex"] == "REQUTEXT=" + slot("queued", 255).hex()
        assert sim.checks() == []
