"""The function registry of the simulated system and its scenario functions.

Every function has an interface (what RFC_GET_FUNCTION_INTERFACE reports)
and a handler that receives a call context and returns a Reply or raises an
AbapError.  The call context gives the decoded imports (by upper-case name),
the rows of the table parameters, the requested outputs, the session and a
cancellable wait().
"""

import datetime
from decimal import Decimal

from . import tables, units, values
from .dictionary import dfies_row, dfies_rows, lines_descr_xml, Structure, TableType
from .interface import (CHANGING, EXCEPTION, EXPORT, IMPORT, PARAMS_WIDTH, TABLE, FunctionInterface, Param, char,
                        params_row)
from .faults import TERMINAL
from .reply import ROWS, AbapError, Reply

# Table forms by their letter; anything else (a blank) lets the size decide.
CODINGS = {"Z": "zlib", "F": "fixed", "L": "literal", "X": "zlib", "R": ROWS}


class SimFunction:
    def __init__(self, interface, handler):
        self.interface = interface
        self.handler = handler

    @property
    def name(self):
        return self.interface.name


class Registry:
    def __init__(self, dictionary, config):
        self.dictionary = dictionary
        self.config = config
        self.functions = {}

    def add(self, interface, handler):
        self.functions[interface.name] = SimFunction(interface, handler)

    def overrides(self, name):
        return self.config.get("functions", {}).get(name.upper(), {})

    def get(self, name):
        name = name.strip().upper()
        if self.overrides(name).get("remove"):
            return None
        return self.functions.get(name)


def _given(ctx, name, default=None):
    return ctx.imports.get(name, default)


# --- metadata ---------------------------------------------------------------


def get_function_interface(ctx):
    reg = ctx.registry
    name = _given(ctx, "FUNCNAME", "").strip().upper()
    fn = reg.get(name)
    if fn is None:
        raise AbapError("FU_NOT_FOUND", f"Function module {name} not found", "FL", "E", "046", name)
    over = reg.overrides(name)
    width = int(over.get("params_width", PARAMS_WIDTH))
    rows = [params_row(p, i, width) for i, p in enumerate(fn.interface.params, 1)]
    iface = ctx.function.interface
    reply = Reply()
    reply.export(iface.find("REMOTE_BASXML_SUPPORTED"), over.get("basxml", fn.interface.basxml))
    reply.export(iface.find("REMOTE_CALL"), "R")
    reply.export(iface.find("UPDATE_TASK"), " ")
    coding = CODINGS.get(str(over.get("params_coding", "")).upper()[:1]) if over.get("params_coding") else None
    reply.table("PARAMS", width, rows, coding=coding, piece=int(over.get("params_piece", 0)))
    reply.table("RESUMABLE_EXCEPTIONS", char(30), [])
    return reply


def fieldinfo_get(ctx):
    name = _given(ctx, "TABNAME", "").strip().upper()
    entry = ctx.registry.dictionary.lookup(name)
    if entry is None:
        raise AbapError("NOT_FOUND", f"Dictionary object {name} not found", "DDIF", "E", "001", name)
    iface = ctx.function.interface
    reply = Reply()
    reply.export_raw("X030L_WA", values.pad_utf16(name, 60) + bytes(range(100)))
    if isinstance(entry, TableType):
        # A table type's line is in DD40L; DDIF_FIELDINFO_GET lists no fields.
        reply.export(iface.find("DDOBJTYPE"), "TTYP")
        reply.export_raw("DFIES_WA", values.pad_utf16("", iface.find("DFIES_WA").length))
        reply.table("DFIES_TAB", iface.find("DFIES_TAB").length, [])
    elif isinstance(entry, Structure):
        reply.export(iface.find("DDOBJTYPE"), "INTTAB")
        reply.export_raw("DFIES_WA", values.pad_utf16("", iface.find("DFIES_WA").length))
        rows = [] if entry.lines_descr else dfies_rows(ctx.registry.dictionary, entry)
        reply.table("DFIES_TAB", len(dfies_row("", entry.fields[0], 0)), rows)
        if entry.lines_descr:
            reply.deep_section(lines_descr_xml(entry))
    else:
        reply.export(iface.find("DDOBJTYPE"), "DTEL")
        row = dfies_row(name, entry, 0)
        reply.export_raw("DFIES_WA", row)
        reply.table("DFIES_TAB", len(row), [row])
    reply.table("FIXED_VALUES", 80, [])
    return reply


# --- basic ------------------------------------------------------------------


def ping(ctx):
    return Reply()


def stfc_connection(ctx):
    iface = ctx.function.interface
    s = ctx.session
    reply = Reply()
    reply.export(iface.find("ECHOTEXT"), _given(ctx, "REQUTEXT", ""))
    reply.export(iface.find("RESPTEXT"),
                 f"Sysid: {s.system['system_id']} Client: {s.client} User: {s.user} Language: {s.language} (simulated)")
    return reply


# --- scenarios --------------------------------------------------------------

ECHO_TYPES = [
    ("CHAR", "C", char(10), 0, ""),
    ("NUMC", "N", char(8), 0, ""),
    ("DATS", "D", char(8), 0, ""),
    ("TIMS", "T", char(6), 0, ""),
    ("PACKED", "P", 8, 2, "ZSIM_AMOUNT"),
    ("PACKED0", "P", 4, 0, ""),
    ("FLOAT", "F", 8, 0, ""),
    ("INT1", "b", 1, 0, ""),
    ("INT2", "s", 2, 0, ""),
    ("INT4", "I", 4, 0, ""),
    ("INT8", "8", 8, 0, ""),
    ("RAW", "X", 16, 0, ""),
    ("STRING", "g", 8, 0, ""),
    ("XSTRING", "y", 8, 0, ""),
    ("DF16", "a", 8, 0, ""),
    ("DF34", "e", 16, 0, ""),
    ("UTCLONG", "p", 8, 0, ""),
]


def _initial(letter, length):
    if letter in "CNDT":
        return {"N": "0" * (length // 2), "D": "00000000", "T": "000000"}.get(letter, "")
    if letter in "Pae":
        return Decimal(0)
    if letter == "F":
        return 0.0
    if letter in "bsI8p":
        return 0
    if letter == "g":
        return ""
    return b""


def echo(ctx):
    iface = ctx.function.interface
    reply = Reply()
    seen = []
    for suffix, letter, length, _, _ in ECHO_TYPES:
        name = "I_" + suffix
        if name in ctx.imports:
            value = ctx.imports[name]
            seen.append(f"{name}={values.text(letter, value)}")
        else:
            value = _initial(letter, length)
        reply.export(iface.find("E_" + suffix), value)
    counter = ctx.imports.get("C_COUNTER", 0)
    reply.export(iface.find("C_COUNTER"), counter + 1)
    reply.export(iface.find("E_SEEN"), "\n".join(seen))
    return reply


def struct_echo(ctx):
    iface = ctx.function.interface
    layout = ctx.registry.dictionary.lookup("ZSIM_ROW")
    reply = Reply()
    image = ctx.raw.get("I_ROW", layout.encode({}))
    image = image[: layout.size].ljust(layout.size, b"\x00")
    reply.export_raw("E_ROW", image)
    reply.export(iface.find("E_SEEN"), layout.describe(layout.decode(image)))
    return reply


def generated_row(i):
    return {
        "ID": i,
        "NAME": f"ROW {i:05d}",
        "AMOUNT": (Decimal(i) * Decimal("1.25")).quantize(Decimal("0.01")),
        "DAY": (datetime.date(2024, 1, 1) + datetime.timedelta(days=i - 1)).strftime("%Y%m%d"),
        "SCORE": i / 4,
    }


def table_scenario(ctx):
    iface = ctx.function.interface
    layout = ctx.registry.dictionary.lookup("ZSIM_ROW")
    count = _given(ctx, "ROW_COUNT", 3)
    if count < 0 or count > 1_000_000:
        raise AbapError("SIM_ERROR", f"ROW_COUNT {count} is out of range", "ZSIM", "E", "010", str(count))
    rows = [layout.encode(generated_row(i)) for i in range(1, count + 1)]
    received = [r[: layout.size].ljust(layout.size, b"\x00") for r in ctx.tables.get("T_IN", [])]
    seen = [layout.describe(layout.decode(r)) for r in received]
    coding = CODINGS.get(_given(ctx, "COMPRESS", " ").strip().upper()[:1])
    skip = _given(ctx, "SKIP_BITS", 2)
    if not 0 <= skip <= 3:
        raise AbapError("SIM_ERROR", f"SKIP_BITS {skip} is not 0..3", "ZSIM", "E", "011", str(skip))
    reply = Reply()
    reply.export(iface.find("E_ROWS"), len(rows) + len(received))
    reply.export(iface.find("E_SEEN"), "\n".join(seen))
    reply.table("T_OUT", layout.size, rows + received, coding=coding, piece=_given(ctx, "PIECE", 0), skip=skip)
    return reply


def deep_xml(k):
    return (f"<ES_DEEP><ID>{k}</ID><NAME>deep &amp; value {k}</NAME>"
            f"<ITEMS><item>a{k}</item><item>b{k}</item></ITEMS>"
            f"<ROW><C1>x{k}</C1><C2>&lt;y{k}&gt;</C2></ROW>"
            f"<_--2FBIC_--2FFIELD>slash</_--2FBIC_--2FFIELD></ES_DEEP>")


def deep_scenario(ctx):
    iface = ctx.function.interface
    piece = _given(ctx, "PIECE", 0)
    reply = Reply()
    xml = _given(ctx, "XML", "")
    if xml:
        reply.deep_section(xml, piece)
        sections = 1
    else:
        sections = _given(ctx, "COUNT", 1)
        for k in range(1, sections + 1):
            reply.deep_section(deep_xml(k), piece)
    reply.export(iface.find("E_COUNT"), sections)
    return reply


def deep_values_scenario(ctx):
    """Deep values as parameters: a deep structure and a table type among
    the exports (DeepContent sections on the classic route, elements on the
    basXML one)."""
    iface = ctx.function.interface
    count = _given(ctx, "COUNT", 2)
    if count < 0 or count > 10000:
        raise AbapError("SIM_ERROR", f"COUNT {count} is out of range", "ZSIM", "E", "014", str(count))
    reply = Reply()
    reply.deep_value("ES_DEEP", {"ID": count, "NAME": "deep & <value>",
                                 "ITEMS": [f"item {k}" for k in range(1, count + 1)]})
    reply.deep_value("ET_NAMES", [f"NAME{k}" for k in range(1, count + 1)])
    reply.export(iface.find("E_COUNT"), count)
    return reply


def split_scenario(ctx):
    iface = ctx.function.interface
    size = _given(ctx, "SIZE", 1000)
    if size < 0 or size > 64 << 20:
        raise AbapError("SIM_ERROR", f"SIZE {size} is out of range", "ZSIM", "E", "012", str(size))
    data = bytes(((i * 7 + 3) & 0xFF) for i in range(size))
    reply = Reply()
    reply.export(iface.find("E_SIZE"), size)
    reply.export(iface.find("E_DATA"), data)
    reply.split = str(_given(ctx, "PIECE", 100) or 100)
    return reply


def sleep_scenario(ctx):
    iface = ctx.function.interface
    millis = _given(ctx, "MILLIS", 1000)
    ctx.wait(max(0, millis) / 1000.0)
    reply = Reply()
    reply.export(iface.find("E_MILLIS"), millis)
    return reply


def fault_scenario(ctx):
    iface = ctx.function.interface
    reply = Reply()
    reply.export(iface.find("E_TEXT"), "NO FAULT")
    mode = _given(ctx, "MODE", "").strip().lower()
    if mode and mode not in TERMINAL:
        raise AbapError("SIM_ERROR", f"unknown fault mode {mode}", "ZSIM", "E", "013", mode)
    if mode:
        arg = ctx.imports.get("ARG")
        reply.action = (mode, "" if arg is None else str(arg), _given(ctx, "TEXT", "").strip())
    return reply


def raise_scenario(ctx):
    g = lambda n: _given(ctx, n, "").strip()  # noqa: E731
    key, text = g("KEY"), g("TEXT")
    record = g("TEXT_RECORD") or "E"
    err = AbapError(key, text, g("MSGID"), g("MSGTY"), g("MSGNO"), g("MSGV1"), g("MSGV2"), g("MSGV3"), g("MSGV4"),
                    text_record=record)
    if key or (text and record in "ET") or any(err.variables):
        raise err
    return Reply()


# --- the registry -----------------------------------------------------------


def P(*args, **kw):
    return Param(*args, **kw)


def standard_registry(dictionary, config):
    reg = Registry(dictionary, config)
    reg.add(FunctionInterface("RFCPING", []), ping)
    reg.add(FunctionInterface("RFC_PING", []), ping)
    reg.add(FunctionInterface("STFC_CONNECTION", [
        P("REQUTEXT", IMPORT, "C", char(255), type_name="SYST-LISEL", field_name="LISEL"),
        P("ECHOTEXT", EXPORT, "C", char(255), type_name="SYST-LISEL"),
        P("RESPTEXT", EXPORT, "C", char(255), type_name="SYST-LISEL"),
    ]), stfc_connection)
    reg.add(FunctionInterface("RFC_GET_FUNCTION_INTERFACE", [
        P("FUNCNAME", IMPORT, "C", char(30), type_name="RS38L-NAME", field_name="NAME"),
        P("LANGUAGE", IMPORT, "C", char(1), type_name="SY-LANGU", optional=True),
        P("NONE_UNICODE_LENGTH", IMPORT, "C", char(1), optional=True),
        P("REMOTE_BASXML_SUPPORTED", EXPORT, "C", char(1), type_name="RS38L-BASXML_ENABLED"),
        P("REMOTE_CALL", EXPORT, "C", char(1), type_name="RS38L-REMOTE"),
        P("UPDATE_TASK", EXPORT, "C", char(1), type_name="RS38L-UTASK"),
        P("PARAMS", TABLE, "h", PARAMS_WIDTH, type_name="RFC_FUNINT"),
        P("RESUMABLE_EXCEPTIONS", TABLE, "h", char(30), type_name="RSEXC"),
        P("FU_NOT_FOUND", EXCEPTION, length=0),
        P("NAMETAB_FAULT", EXCEPTION, length=0),
    ]), get_function_interface)
    reg.add(FunctionInterface("DDIF_FIELDINFO_GET", [
        P("TABNAME", IMPORT, "C", char(30), type_name="DDOBJNAME"),
        P("FIELDNAME", IMPORT, "C", char(30), type_name="DFIES-FIELDNAME", optional=True),
        P("LANGU", IMPORT, "C", char(1), type_name="SY-LANGU", optional=True),
        P("LFIELDNAME", IMPORT, "C", char(132), type_name="DFIES-LFIELDNAME", optional=True),
        P("ALL_TYPES", IMPORT, "C", char(1), optional=True),
        P("GROUP_NAMES", IMPORT, "C", char(1), optional=True),
        P("UCLEN", IMPORT, "X", 1, optional=True),
        P("DO_NOT_WRITE", IMPORT, "C", char(1), optional=True),
        P("X030L_WA", EXPORT, "u", 160, type_name="X030L"),
        P("DDOBJTYPE", EXPORT, "C", char(8), type_name="DD02V-TABCLASS"),
        P("DFIES_WA", EXPORT, "u", 840, type_name="DFIES"),
        P("LINES_DESCR", EXPORT, "h", 8, type_name="DDTYPELIST"),
        P("DFIES_TAB", TABLE, "h", 840, type_name="DFIES"),
        P("FIXED_VALUES", TABLE, "h", 80, type_name="DDFIXVALUES"),
        P("NOT_FOUND", EXCEPTION, length=0),
        P("INTERNAL_ERROR", EXCEPTION, length=0),
    ]), fieldinfo_get)

    echo_params = []
    for suffix, letter, length, decimals, type_name in ECHO_TYPES:
        echo_params.append(P("I_" + suffix, IMPORT, letter, length, decimals, type_name, optional=True))
    for suffix, letter, length, decimals, type_name in ECHO_TYPES:
        echo_params.append(P("E_" + suffix, EXPORT, letter, length, decimals, type_name))
    echo_params.append(P("C_COUNTER", CHANGING, "I", 4))
    echo_params.append(P("E_SEEN", EXPORT, "g", 8))
    reg.add(FunctionInterface("Z_SIM_ECHO", echo_params), echo)

    row = dictionary.lookup("ZSIM_ROW")
    reg.add(FunctionInterface("Z_SIM_STRUCT", [
        P("I_ROW", IMPORT, "u", row.size, type_name="ZSIM_ROW", optional=True),
        P("E_ROW", EXPORT, "u", row.size, type_name="ZSIM_ROW"),
        P("E_SEEN", EXPORT, "g", 8),
    ]), struct_echo)
    reg.add(FunctionInterface("Z_SIM_TABLE", [
        P("ROW_COUNT", IMPORT, "I", 4, optional=True),
        P("COMPRESS", IMPORT, "C", char(1), optional=True),
        P("PIECE", IMPORT, "I", 4, optional=True),
        P("SKIP_BITS", IMPORT, "I", 4, optional=True),
        P("E_ROWS", EXPORT, "I", 4),
        P("E_SEEN", EXPORT, "g", 8),
        P("T_IN", TABLE, "h", row.size, type_name="ZSIM_ROW", optional=True),
        P("T_OUT", TABLE, "h", row.size, type_name="ZSIM_ROW"),
        P("SIM_ERROR", EXCEPTION, length=0),
    ]), table_scenario)
    reg.add(FunctionInterface("Z_SIM_DEEP", [
        P("COUNT", IMPORT, "I", 4, optional=True),
        P("PIECE", IMPORT, "I", 4, optional=True),
        P("XML", IMPORT, "g", 8, optional=True),
        P("E_COUNT", EXPORT, "I", 4),
    ]), deep_scenario)
    reg.add(FunctionInterface("Z_SIM_DEEPVAL", [
        P("COUNT", IMPORT, "I", 4, optional=True),
        P("ES_DEEP", EXPORT, "v", 8, type_name="ZSIM_DEEP"),
        P("ET_NAMES", EXPORT, "h", 8, type_name="ZSIM_NAME_TAB"),
        P("E_COUNT", EXPORT, "I", 4),
        P("SIM_ERROR", EXCEPTION, length=0),
    ], basxml="X"), deep_values_scenario)
    reg.add(FunctionInterface("Z_SIM_SPLIT", [
        P("SIZE", IMPORT, "I", 4, optional=True),
        P("PIECE", IMPORT, "I", 4, optional=True),
        P("E_SIZE", EXPORT, "I", 4),
        P("E_DATA", EXPORT, "y", 8),
    ]), split_scenario)
    reg.add(FunctionInterface("Z_SIM_SLEEP", [
        P("MILLIS", IMPORT, "I", 4, optional=True),
        P("E_MILLIS", EXPORT, "I", 4),
    ]), sleep_scenario)
    reg.add(FunctionInterface("Z_SIM_FAULT", [
        P("MODE", IMPORT, "C", char(20)),
        P("ARG", IMPORT, "I", 4, optional=True),
        P("TEXT", IMPORT, "C", char(100), optional=True),
        P("E_TEXT", EXPORT, "C", char(20)),
    ]), fault_scenario)
    reg.add(FunctionInterface("Z_SIM_RAISE", [
        P("KEY", IMPORT, "C", char(30), optional=True),
        P("TEXT", IMPORT, "C", char(220), optional=True),
        P("TEXT_RECORD", IMPORT, "C", char(1), optional=True),
        P("MSGID", IMPORT, "C", char(20), optional=True),
        P("MSGTY", IMPORT, "C", char(1), optional=True),
        P("MSGNO", IMPORT, "N", char(3), optional=True),
        P("MSGV1", IMPORT, "C", char(50), optional=True),
        P("MSGV2", IMPORT, "C", char(50), optional=True),
        P("MSGV3", IMPORT, "C", char(50), optional=True),
        P("MSGV4", IMPORT, "C", char(50), optional=True),
        P("SIM_ERROR", EXCEPTION, length=0),
    ]), raise_scenario)
    tables.register(reg, dictionary)
    units.register(reg)
    for name, over in config.get("functions", {}).items():
        fn = reg.functions.get(name.upper())
        if fn is not None and "basxml" in over:
            fn.interface.basxml = over["basxml"]
    return reg
