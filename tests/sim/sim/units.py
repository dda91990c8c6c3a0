"""Transactional units: API_CREATE_TID, API_CLEAR_TID and ARFC_DEST_SHIP.

A unit is identified by a transaction id (TID) of 24 characters that
API_CREATE_TID hands out and API_CLEAR_TID releases.  Every queued call of a
unit arrives as one ARFC_DEST_SHIP call with two tables of one row each:

STATE, 972 bytes = 486 UTF-16LE code units, blank except

  units   0..23   TID
         24..55   queue name
         56..71   the call counter as 8 digits (then blanks)
         72..101  function name
        102       blank
        103..116  fourteen 0 digits
        117..152  blanks
        153..210  host name
        211..465  program name ("quib_proto")
        466..485  twenty U+0000

DATA, 1918 bytes: units 0..23 the TID, 24..55 the queue name, 56..63 the
counter as 8 digits, bytes 128..131 the counter as u32 big-endian, then the
container of the queued call (0x0502 empty, Kernel "753" in UTF-16LE,
Function, ParameterName / ParameterValue pairs, table records, End), then
zero bytes up to the row width.

Texts are cut to their slots and filled with blanks.  Every deviation is a
`check` event; under strict checks it refuses the call (SIM_BAD_UNIT).  A
unit must be open (created and not yet cleared) and its counters must run
1, 2, 3, ... (a new fill of the same unit may start at 1 again).  A queued
call is executed when it arrives: its function's handler runs with the
decoded values, and an ABAP error it raises is the error of ARFC_DEST_SHIP.
Table parameters given as one value carry their rows back to back.
Everything that arrived is logged as event `unit-call`.

Scenario section (every key optional):

  "units": {"tids": ["TID text", ...],   handed out first, in order, as sent
            "omit_tid": true}            API_CREATE_TID replies without TID
"""

import copy
import struct
import threading

from . import values
from .container import ContainerError, Rid, read_records
from .interface import EXCEPTION, EXPORT, IMPORT, TABLE, FunctionInterface, Param, char
from .reply import AbapError, Reply, decode_import

TID_CHARS = 24
QUEUE_UNITS = 32
STATE_WIDTH = 972
DATA_WIDTH = 1918
DATA_TEXT_BYTES = 128
DATA_HEAD = 132
PROGRAM = "quib_proto"
KERNEL = "753"
QUEUED_CALL_HEAD = 0x0502
TID_PREFIX = "0A1B2C3D"

# STATE row slots: name, first code unit, number of units.
STATE_SLOTS = [
    ("tid", 0, 24), ("queue", 24, 32), ("counter", 56, 16), ("function", 72, 30), ("gap", 102, 1),
    ("zeros", 103, 14), ("blank", 117, 36), ("host", 153, 58), ("program", 211, 255), ("nul", 466, 20),
]
DATA_SLOTS = [("tid", 0, TID_CHARS), ("queue", 24, QUEUE_UNITS), ("counter", 56, 8)]


class UnitStore:
    """The units of the whole simulator, shared by its connections."""

    def __init__(self, tids=()):
        self.lock = threading.Lock()
        self.scripted = list(tids)
        self.issued = 0
        self.units = {}  # TID -> {"open": bool, "last": counter, "shipped": n}

    def create(self):
        """(TID text, whether it is a scripted one); the unit is open."""
        with self.lock:
            self.issued += 1
            scripted = bool(self.scripted)
            text = self.scripted.pop(0) if scripted else f"{TID_PREFIX}{self.issued:016X}"
            self.units[text.strip()] = {"open": True, "last": 0, "shipped": 0}
            return text, scripted

    def get(self, tid):
        with self.lock:
            return dict(self.units[tid]) if tid in self.units else None

    def clear(self, tid):
        """The unit's entry before it was cleared, or None when it was not open."""
        with self.lock:
            unit = self.units.get(tid)
            if unit is None or not unit["open"]:
                return None
            before = dict(unit)
            unit["open"] = False
            return before

    def shipped(self, tid, counter):
        with self.lock:
            unit = self.units[tid]
            unit["last"] = counter
            unit["shipped"] += 1


def _units(raw):
    return list(struct.unpack(f"<{len(raw) // 2}H", raw[: len(raw) // 2 * 2]))


def _text(units):
    """The text of some code units; a surrogate cut at a slot's end stays as it is."""
    return struct.pack(f"<{len(units)}H", *units).decode("utf-16-le", "surrogatepass")


def _slots(raw, layout):
    units = _units(raw)
    return {name: _text(units[first:first + n]) for name, first, n in layout}


def _fits(text, n):
    """A text as the client must write it into a slot of n units: cut after
    n units and filled with blanks."""
    units = _units(values.utf16(text))[:n]
    return _text(units + [0x20] * (n - len(units)))


def _blank_filled(slot):
    return slot.rstrip(" ")


def parse_queued_call(container, problems):
    """(function, [(name, raw)], [tables], bytes after the end record) of a
    queued call's container."""
    try:
        records, end = read_records(container)
    except ContainerError as exc:
        problems.append(f"the queued call's container cannot be read: {exc}")
        return "", [], [], b""
    head = [(QUEUED_CALL_HEAD, b""), (Rid.KERNEL, values.utf16(KERNEL)), (Rid.FUNCTION, None)]
    function = ""
    for index, (rid, fixed) in enumerate(head):
        if index >= len(records) or records[index][0] != rid:
            got = "nothing" if index >= len(records) else f"0x{records[index][0]:04x}"
            problems.append(f"queued call record {index + 1} is {got}, expected 0x{rid:04x}")
            continue
        value = bytes(records[index][1])
        if fixed is not None and value != fixed:
            problems.append(f"queued call record {index + 1} (0x{rid:04x}) holds {value.hex()}, "
                            f"expected {fixed.hex()}")
        if rid == Rid.FUNCTION:
            try:
                function = values.from_utf16(value)
            except values.ValueProblem as exc:
                problems.append(f"queued call Function: {exc}")
    params, tables, pending, table = [], [], None, None
    for rid, value in records[len(head):]:
        value = bytes(value)
        if rid == Rid.PARAMETER_NAME and table is None:
            if pending is not None:
                problems.append(f"queued call parameter {pending} without a value")
            try:
                pending = values.from_utf16(value)
            except values.ValueProblem as exc:
                problems.append(f"queued call ParameterName: {exc}")
                pending = value.decode("latin-1")
        elif rid == Rid.PARAMETER_VALUE and table is None:
            if pending is None:
                problems.append("queued call ParameterValue without a name")
            else:
                params.append((pending, value))
                pending = None
        elif rid == Rid.TABLE_NAME:
            table = {"name": value.decode("utf-16-le", "replace"), "rows": [], "width": None, "count": None}
            tables.append(table)
        elif table is not None and rid == Rid.TABLE_ROW_COUNT:
            if value != struct.pack(">I", len(tables)):
                problems.append(f"queued call table {table['name']} carries the number {value.hex()}")
        elif table is not None and rid == Rid.TABLE_HEADER and len(value) == 8:
            table["width"], table["count"] = struct.unpack(">II", value)
        elif table is not None and rid == Rid.TABLE_CONTENT:
            table["rows"].append(value)
        else:
            problems.append(f"unexpected record 0x{rid:04x} in a queued call")
    if pending is not None:
        problems.append(f"queued call parameter {pending} without a value")
    for t in tables:
        if t["count"] != len(t["rows"]):
            problems.append(f"queued call table {t['name']} declares {t['count']} rows and carries {len(t['rows'])}")
    return function, params, tables, container[end:]


def check_state_row(row, problems):
    slots = _slots(row, STATE_SLOTS)
    digits = slots["counter"][:8]
    if not (digits.isascii() and digits.isdigit() and len(digits) == 8) or slots["counter"][8:] != " " * 8:
        problems.append(f"STATE counter slot is {slots['counter']!r}, not 8 digits and 8 blanks")
    if slots["gap"] != " ":
        problems.append(f"STATE unit 102 is {slots['gap']!r}, not a blank")
    if slots["zeros"] != "0" * 14:
        problems.append(f"STATE units 103..116 are {slots['zeros']!r}, not fourteen 0 digits")
    if slots["blank"] != " " * 36:
        problems.append(f"STATE units 117..152 are {slots['blank']!r}, not blanks")
    if slots["nul"] != "\x00" * 20:
        problems.append(f"STATE units 466..485 are {slots['nul']!r}, not U+0000")
    if _blank_filled(slots["program"]) != PROGRAM:
        problems.append(f"STATE program name is {_blank_filled(slots['program'])!r}, expected {PROGRAM!r}")
    return slots


def check_data_row(row, problems):
    slots = _slots(row[:DATA_TEXT_BYTES], DATA_SLOTS)
    digits = slots["counter"]
    number = struct.unpack(">I", row[DATA_TEXT_BYTES:DATA_HEAD])[0]
    if not (digits.isascii() and digits.isdigit()):
        problems.append(f"DATA counter slot is {digits!r}, not 8 digits")
    elif int(digits) != number:
        problems.append(f"DATA counter digits {digits} differ from its number {number}")
    function, params, tables, rest = parse_queued_call(row[DATA_HEAD:], problems)
    if rest.strip(b"\x00"):
        problems.append("DATA row holds bytes after the queued call's end record that are not zero")
    container = row[DATA_HEAD:len(row) - len(rest)] if rest else row[DATA_HEAD:]
    return slots, number, function, params, tables, container


def _execute(ctx, fn, params, tables, problems):
    """Runs the queued call's handler; its reply, or the AbapError it raised."""
    sub = copy.copy(ctx)
    sub.function = fn
    sub.requested = []
    sub.imports, sub.raw, sub.tables = {}, {}, {}
    for name, raw in params:
        param = fn.interface.find(name)
        if param is None or not param.is_input:
            problems.append(f"queued call {fn.name} has no import {name}")
            continue
        if param.direction == TABLE:
            width = param.length or 1
            if len(raw) % width:
                problems.append(f"table parameter {name} of {len(raw)} bytes is no whole number of {width}-byte rows")
            sub.tables[param.name] = [raw[i:i + width] for i in range(0, len(raw), width)]
            continue
        sub.imports[param.name] = decode_import(param, raw, "queued parameter")
        sub.raw[param.name] = raw
    for t in tables:
        sub.tables[t["name"].strip().upper()] = t["rows"]
    return fn.handler(sub)


# --- the functions ----------------------------------------------------------


def create_tid(ctx):
    store = ctx.registry.units
    text, scripted = store.create()
    ctx.event("tid-created", tid=text.strip())
    reply = Reply()
    if ctx.config.get("units", {}).get("omit_tid"):
        return reply
    if scripted:
        reply.export_raw("TID", values.utf16(text))  # as written, not fitted to the field
    else:
        reply.export(ctx.function.interface.find("TID"), text)
    return reply


def clear_tid(ctx):
    store = ctx.registry.units
    raw = ctx.raw.get("TID", b"")
    tid = ctx.imports.get("TID", "").rstrip(" ")
    before = store.clear(tid)
    if before is None:
        ctx.event("tid-refused", tid=tid, raw=raw)
        raise AbapError("TID_NOT_FOUND", f"sim: transaction {tid} is not open", "ZSIM", "E", "020", tid)
    ctx.event("tid-cleared", tid=tid, raw=raw, shipped=before["shipped"])
    return Reply()


def dest_ship(ctx):
    store = ctx.registry.units
    problems = []
    if ctx.imports:
        problems.append(f"ARFC_DEST_SHIP got imports {', '.join(ctx.imports)}")
    if list(ctx.tables) != ["STATE", "DATA"]:
        problems.append(f"ARFC_DEST_SHIP got the tables {list(ctx.tables)}, expected STATE then DATA")
    state_rows, data_rows = ctx.tables.get("STATE", []), ctx.tables.get("DATA", [])
    if len(state_rows) != 1 or len(data_rows) != 1:
        problems.append(f"ARFC_DEST_SHIP got {len(state_rows)} STATE and {len(data_rows)} DATA rows, expected one each")
    state = bytes(state_rows[0]) if state_rows else b""
    data = bytes(data_rows[0]) if data_rows else b""
    if len(state) != STATE_WIDTH:
        problems.append(f"the STATE row has {len(state)} bytes, not {STATE_WIDTH}")
        state = state[:STATE_WIDTH].ljust(STATE_WIDTH, b"\x00")
    if len(data) != DATA_WIDTH:
        problems.append(f"the DATA row has {len(data)} bytes, not {DATA_WIDTH}")
        data = data[:DATA_WIDTH].ljust(DATA_WIDTH, b"\x00")

    st = check_state_row(state, problems)
    dt, counter, function, params, tables, container = check_data_row(data, problems)
    tid, queue = _blank_filled(dt["tid"]), _blank_filled(dt["queue"])
    for name in ("tid", "queue"):
        if st[name] != dt[name]:
            problems.append(f"the {name} of STATE ({st[name]!r}) and of DATA ({dt[name]!r}) differ")
    if st["counter"][:8] != dt["counter"]:
        problems.append(f"the counter of STATE ({st['counter'][:8]}) and of DATA ({dt['counter']}) differ")
    if st["function"] != _fits(function, 30):
        problems.append(f"STATE names the function {st['function'].rstrip()!r}, the call {function!r}")

    unit = store.get(tid)
    fields = dict(tid=tid, queue=queue, counter=counter, function=function,
                  host=_blank_filled(st["host"]), program=_blank_filled(st["program"]),
                  params=[n for n, _ in params], param_hex=[f"{n}={v.hex()}" for n, v in params],
                  tables=len(tables), state=state, data=data, container=container)
    fn = ctx.registry.get(function)
    refusal = None
    if unit is None or not unit["open"]:
        refusal = AbapError("TID_NOT_FOUND", f"sim: transaction {tid} is not open", "ZSIM", "E", "020", tid)
    elif counter not in (1, unit["last"] + 1):
        refusal = AbapError("SIM_BAD_UNIT", f"sim: call {counter} of {tid} follows call {unit['last']}", "ZSIM",
                            "E", "021", tid)
    elif fn is None:
        refusal = AbapError("FUNCTION_NOT_FOUND", f'Function module "{function.strip().upper()}" not found', "FL",
                            "E", "046", function.strip().upper())
    if ctx.check(problems) and refusal is None:
        refusal = AbapError("SIM_BAD_UNIT", "sim: " + "; ".join(problems), "ZSIM", "E", "001")
    exports = []
    if refusal is None:
        late = []
        try:
            reply = _execute(ctx, fn, params, tables, late)
            exports = [f"{n}={bytes(v).hex()}" for n, v in reply.exports]
        except AbapError as err:
            refusal = err
        if ctx.check(late) and refusal is None:
            refusal = AbapError("SIM_BAD_UNIT", "sim: " + "; ".join(late), "ZSIM", "E", "001")
    outcome = "queued" if refusal is None else "refused"
    ctx.event("unit-call", outcome=outcome, key=refusal.key if refusal else None, exports=exports, **fields)
    if refusal is not None:
        raise refusal
    store.shipped(tid, counter)
    return Reply()


def register(reg):
    """Adds the unit functions and the registry's unit store."""
    reg.units = UnitStore(reg.config.get("units", {}).get("tids", []))
    reg.add(FunctionInterface("API_CREATE_TID", [
        Param("TID", EXPORT, "C", char(TID_CHARS), type_name="ARFCTID"),
    ]), create_tid)
    reg.add(FunctionInterface("API_CLEAR_TID", [
        Param("TID", IMPORT, "C", char(TID_CHARS), type_name="ARFCTID"),
        Param("TID_NOT_FOUND", EXCEPTION, length=0),
    ]), clear_tid)
    reg.add(FunctionInterface("ARFC_DEST_SHIP", [
        Param("STATE", TABLE, "h", STATE_WIDTH),
        Param("DATA", TABLE, "h", DATA_WIDTH),
        Param("TID_NOT_FOUND", EXCEPTION, length=0),
        Param("SIM_BAD_UNIT", EXCEPTION, length=0),
    ]), dest_ship)
