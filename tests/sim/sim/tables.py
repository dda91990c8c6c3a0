"""Table scenarios of the simulated system: RFC_READ_TABLE over a small
database (DD40L among its tables), replies that carry table deltas instead
of whole tables, a structure with a nested structure, and table parameters
whose types are dictionary table types.

RFC_READ_TABLE returns each selected row as one line of DATA (TAB512, 512
characters): the values of the chosen columns, each padded to its column's
length, with the DELIMITER between them.  OPTIONS lines are joined with
blanks and read as a selection: conditions `COLUMN op literal` joined by
AND, where op is = <> < > <= >= (or EQ NE LT GT LE GE) or LIKE (% and _),
and a literal is quoted ('it''s') or a number.  FIELDS names the columns
wanted (all when empty) and comes back with OFFSET, LENGTH, TYPE and
FIELDTEXT filled in.  ROWSKIPS rows are left out, then at most ROWCOUNT rows
(all when 0) are returned.

Table deltas (Z_SIM_DELTA): the sent table T_ROWS comes back as a list of
changes instead of a table, following the OPS import, a ";"-separated list:

  D<n>          delete row n                        (TableDeltaDelete, op 5)
  A<n>[:NAME]   append a new row as row n           (TableDeltaRowOp op 4, TableDeltaRow)
  I<n>[:NAME]   insert a new row as row n           (op 6)
  U<n>[:NAME]   replace row n by a new row          (op 7)
  R[:NAME,...]  start the table anew with new rows  (TableDeltaReplace op 10, header, rows)
  E             TableSectionEnd
  H<k>          give the following records the handle k (default: T_ROWS's
                position among the tables the request carried)
  W<k>          cut the next new row by k bytes (k < 0 makes it longer)
  O<k>          give the next record the operation code k
  P             a TableDeltaRowOp whose row never comes

New rows are ZSIM_ROW images with ID 900 + n and the given NAME (default
NEW<n>).  The simulator applies the same operations to its own copy of the
rows it received (where they make sense) and reports the NAME column of the
result in E_SEEN, one name per line; a client that applied the records gets
the same names.
"""

import datetime
import re
import struct
import threading
from decimal import Decimal

from . import values
from .interface import EXCEPTION, EXPORT, IMPORT, TABLE, FunctionInterface, Param, char
from .reply import ROWS, AbapError, Reply, TableOut

# Record ids of table deltas.
TABLE_DELTA_DELETE = 0x0332
TABLE_DELTA_ROW_OP = 0x0333
TABLE_DELTA_ROW = 0x0334
TABLE_DELTA_REPLACE = 0x0335
TABLE_SECTION_END = 0x0336
TABLE_HEADER = 0x0302
TABLE_CONTENT = 0x0303

DATA_CHARS = 512
OPTION_CHARS = 72
FIELD_ROW_CHARS = 103  # FIELDNAME 30, OFFSET 6, LENGTH 6, TYPE 1, FIELDTEXT 60

CITIES = ["Berlin", "Zürich", "Köln", "Wien", "Lyon", "Porto", "Oslo"]


class Column:
    def __init__(self, name, kind, length, text):
        self.name = name
        self.kind = kind  # the ABAP type letter reported in FIELDS
        self.length = length  # characters
        self.text = text


class DbTable:
    def __init__(self, name, columns, rows):
        self.name = name
        self.columns = columns
        self.rows = rows  # dicts of column name to text

    def column(self, name):
        return next((c for c in self.columns if c.name == name), None)


def dd40l(dictionary):
    columns = [Column("TYPENAME", "C", 30, "Table type"), Column("ROWTYPE", "C", 30, "Row type"),
               Column("ROWKIND", "C", 1, "Category of the row type"),
               Column("DATATYPE", "C", 4, "Data type"), Column("LENG", "N", 6, "Length"),
               Column("DECIMALS", "N", 6, "Decimal places")]
    rows = []
    for name in sorted(dictionary.table_types):
        t = dictionary.table_types[name]
        rows.append({"TYPENAME": t.name, "ROWTYPE": t.rowtype, "ROWKIND": t.rowkind, "DATATYPE": t.datatype,
                     "LENG": f"{t.leng:06d}", "DECIMALS": f"{t.decimals:06d}"})
    return DbTable("DD40L", columns, rows)


def zsim_rows(count):
    columns = [Column("ID", "N", 6, "Row number"), Column("NAME", "C", 20, "Name"),
               Column("CITY", "C", 20, "City")]
    rows = [{"ID": f"{i:06d}", "NAME": f"ROW {i:05d}", "CITY": CITIES[i % len(CITIES)]}
            for i in range(1, count + 1)]
    return DbTable("ZSIM_ROWS", columns, rows)


# --- selections ---------------------------------------------------------------

_TOKEN = re.compile(r"\s*(?:('(?:[^']|'')*')|(<>|<=|>=|=|<|>)|([A-Za-z_][A-Za-z0-9_]*)|([+-]?\d+))")
_WORD_OPS = {"EQ": "=", "NE": "<>", "LT": "<", "GT": ">", "LE": "<=", "GE": ">=", "LIKE": "LIKE"}


class BadOption(Exception):
    pass


def _tokens(text):
    pos, out = 0, []
    while pos < len(text):
        if text[pos:].strip() == "":
            break
        m = _TOKEN.match(text, pos)
        if not m:
            raise BadOption(f"cannot read the selection at {text[pos:pos + 20]!r}")
        quoted, op, word, number = m.groups()
        if quoted is not None:
            out.append(("lit", quoted[1:-1].replace("''", "'")))
        elif op is not None:
            out.append(("op", op))
        elif word is not None:
            out.append(("word", word.upper()))
        else:
            out.append(("lit", number))
        pos = m.end()
    return out


def parse_selection(lines, table):
    """A predicate over rows, from the OPTIONS lines."""
    toks = _tokens(" ".join(lines))
    conditions = []
    i = 0
    while i < len(toks):
        if len(toks) - i < 3:
            raise BadOption("an incomplete condition")
        (k1, name), (k2, op), (k3, lit) = toks[i:i + 3]
        if k1 != "word" or table.column(name) is None:
            raise BadOption(f"{name} is no column of {table.name}")
        if k2 == "word":
            op = _WORD_OPS.get(op)
        elif k2 != "op":
            op = None
        if op is None or k3 != "lit":
            raise BadOption(f"cannot read the condition on {name}")
        conditions.append((name, op, lit))
        i += 3
        if i < len(toks):
            if toks[i] != ("word", "AND"):
                raise BadOption(f"expected AND, got {toks[i][1]}")
            i += 1
            if i == len(toks):
                raise BadOption("a selection that ends with AND")

    def compare(value, op, lit):
        if op == "LIKE":
            pattern = "".join(".*" if c == "%" else "." if c == "_" else re.escape(c) for c in lit)
            return re.fullmatch(pattern, value) is not None
        a, b = value, lit
        if value.isdigit() and lit.lstrip("+-").isdigit():
            a, b = int(value), int(lit)
        return {"=": a == b, "<>": a != b, "<": a < b, ">": a > b, "<=": a <= b, ">=": a >= b}[op]

    return lambda row: all(compare(row[name], op, lit) for name, op, lit in conditions)


# --- RFC_READ_TABLE -------------------------------------------------------------


def read_table(ctx):
    tables = ctx.registry.read_tables
    name = ctx.imports.get("QUERY_TABLE", "").strip().upper()
    table = tables().get(name)
    if table is None:
        raise AbapError("TABLE_NOT_AVAILABLE", f"Table {name} is not available", "SV", "E", "001", name)
    delimiter = ctx.imports.get("DELIMITER", "")
    delimiter = delimiter if delimiter.strip() else ""
    wanted = []
    for raw in ctx.tables.get("FIELDS", []):
        field = values.from_utf16(raw[: 2 * 30]).strip().upper()
        if not field:
            continue
        column = table.column(field)
        if column is None:
            raise AbapError("FIELD_NOT_VALID", f"Field {field} is not in table {name}", "SV", "E", "002", field)
        wanted.append(column)
    if not wanted:
        wanted = list(table.columns)
    try:
        where = [values.from_utf16(r).rstrip() for r in ctx.tables.get("OPTIONS", [])]
        keep = parse_selection(where, table)
    except (BadOption, values.ValueProblem) as exc:
        raise AbapError("OPTION_NOT_VALID", f"Selection criteria are not valid: {exc}", "SV", "E", "003") from None
    rows = [r for r in table.rows if keep(r)]
    if ctx.imports.get("GET_SORTED", "").strip().upper() == "X":
        key = table.columns[0].name
        rows.sort(key=lambda r: r[key])
    skips = max(0, ctx.imports.get("ROWSKIPS", 0))
    count = ctx.imports.get("ROWCOUNT", 0)
    rows = rows[skips:skips + count] if count > 0 else rows[skips:]
    if ctx.imports.get("NO_DATA", "").strip().upper() == "X":
        rows = []

    data = []
    for r in rows:
        line = delimiter.join(r[c.name][: c.length].ljust(c.length) for c in wanted)
        if len(line) > DATA_CHARS:
            raise AbapError("DATA_BUFFER_EXCEEDED", "The selected fields do not fit a 512-character line",
                            "SV", "E", "004")
        data.append(values.pad_utf16(line, 2 * DATA_CHARS))
    fields = []
    offset = 0
    for c in wanted:
        text = f"{c.name:<30}{offset:06d}{c.length:06d}{c.kind}{c.text:<60}"
        fields.append(values.pad_utf16(text, 2 * FIELD_ROW_CHARS))
        offset += c.length + len(delimiter)

    reply = Reply()
    reply.table("FIELDS", 2 * FIELD_ROW_CHARS, fields)
    reply.table("DATA", 2 * DATA_CHARS, data)
    return reply


# --- table deltas -----------------------------------------------------------------


def _new_row(layout, n, name):
    return layout.encode({"ID": 900 + n, "NAME": name or f"NEW{n}", "AMOUNT": Decimal("0.00"),
                          "DAY": "20240101", "SCORE": 0.0})


def _names(layout, rows):
    return [layout.decode(r.ljust(layout.size, b"\x00")[: layout.size])["NAME"].rstrip() for r in rows]


def delta_scenario(ctx):
    iface = ctx.function.interface
    layout = ctx.registry.dictionary.lookup("ZSIM_ROW")
    sent = list(ctx.tables)
    handle = sent.index("T_ROWS") + 1 if "T_ROWS" in sent else 1
    rows = [r[: layout.size].ljust(layout.size, b"\x00") for r in ctx.tables.get("T_ROWS", [])]
    reply = Reply()
    cut = 0
    code = None

    def header(op, row):
        nonlocal code
        value = struct.pack(">III", op if code is None else code, handle, row)
        code = None
        return value

    def new_row(n, name):
        nonlocal cut
        row = _new_row(layout, n, name)
        row = row[: len(row) - cut] if cut >= 0 else row + b"\x00" * -cut
        cut = 0
        return row

    for op in filter(None, (o.strip() for o in ctx.imports.get("OPS", "").split(";"))):
        letter, rest = op[0].upper(), op[1:]
        number, _, name = rest.partition(":")
        n = int(number) if number.lstrip("-").isdigit() else 0
        if letter == "D":
            reply.extra.append((TABLE_DELTA_DELETE, header(5, n)))
            if 1 <= n <= len(rows):
                del rows[n - 1]
        elif letter in "AIU":
            op_code = {"A": 4, "I": 6, "U": 7}[letter]
            row = new_row(n, name)
            reply.extra.append((TABLE_DELTA_ROW_OP, header(op_code, n)))
            reply.extra.append((TABLE_DELTA_ROW, row))
            full = row[: layout.size].ljust(layout.size, b"\x00")
            if letter == "A" and n == len(rows) + 1:
                rows.append(full)
            elif letter == "I" and 1 <= n <= len(rows) + 1:
                rows.insert(n - 1, full)
            elif letter == "U" and 1 <= n <= len(rows):
                rows[n - 1] = full
        elif letter == "R":
            names = [x for x in rest.lstrip(":").split(",") if x]
            rows = [_new_row(layout, i, x) for i, x in enumerate(names, 1)]
            reply.extra.append((TABLE_DELTA_REPLACE, header(10, 0)))
            reply.extra.append((TABLE_HEADER, struct.pack(">II", layout.size, len(rows))))
            reply.extra.extend((TABLE_CONTENT, r) for r in rows)
        elif letter == "E":
            reply.extra.append((TABLE_SECTION_END, b""))
        elif letter == "H":
            handle = n
        elif letter == "W":
            cut = n
        elif letter == "O":
            code = n
        elif letter == "P":
            reply.extra.append((TABLE_DELTA_ROW_OP, header(4, len(rows) + 1)))
        else:
            raise AbapError("SIM_ERROR", f"unknown delta operation {op}", "ZSIM", "E", "020", op)
    reply.export(iface.find("E_SEEN"), "\n".join(_names(layout, rows)))
    return reply


# --- structures and table types -------------------------------------------------


def nest_scenario(ctx):
    iface = ctx.function.interface
    layout = ctx.registry.dictionary.lookup("ZSIM_NEST")
    row = ctx.registry.dictionary.lookup("ZSIM_ROW")
    image = ctx.raw.get("I_NEST", layout.encode({}))
    image = image[: layout.size].ljust(layout.size, b"\x00")
    got = layout.decode(image)
    inner = row.decode(got["ROW"][: row.size].ljust(row.size, b"\x00"))
    reply = Reply()
    reply.export_raw("E_NEST", image)
    reply.export(iface.find("E_SEEN"), f"ID={got['ID']};ROW.ID={inner['ID']};ROW.NAME={inner['NAME'].rstrip()};"
                                        f"FLAG={got['FLAG'].rstrip()}")
    return reply


def table_types_scenario(ctx):
    d = ctx.registry.dictionary
    row = d.lookup("ZSIM_ROW")
    reply = Reply()
    reply.table("T_DECS", 4, [values.pack_bcd(Decimal(x), 4, 2) for x in ("1.23", "-4.50", "0")])
    reply.table("T_NAMES", 40, [values.pad_utf16(x, 40) for x in ("ALPHA", "BETA")])
    reply.table("T_CHARS", 20, [values.pad_utf16(x, 20) for x in ("ten chars!", "x")])
    reply.table("T_DATES", 16, [values.pad_utf16("20240229", 16)])
    reply.table("T_ROWS", row.size, [_new_row(row, i, f"TT{i}") for i in (1, 2)])
    return reply


# --- generated rows -------------------------------------------------------------------

# Z_SIM_ROWS: ROW_COUNT generated rows of ZSIM_BULK (two fields each of CHAR,
# NUMC, INT4, packed with decimals and DATS), in the form FORM asks for: " "
# as a server sends a table (compressed once its rows pass the threshold),
# "R" one record per row whatever the size, "Z" compressed whatever the
# size. The rows of the last few counts asked for are kept, so that a
# repeated call costs the simulator the sending only.
BULK_MAX_ROWS = 2_000_000
BULK_FORMS = {"": None, "R": ROWS, "Z": "zlib"}
BULK_FIRST = ["ANNA", "BERND", "CHLOÉ", "DAVID", "EMMA", "FILIP", "GRETA", "HUGO", "IDA", "JONAS", "KÄTHE"]
BULK_EPOCH = datetime.date(2020, 1, 1)
_BULK_KEPT = 3


def _bulk_day(n):
    return (BULK_EPOCH + datetime.timedelta(days=n)).strftime("%Y%m%d")


def _bulk_fields(i):
    """Generated row i (from 1) as plain values: the packed numbers as
    their scaled integers."""
    created = i % 2000
    cents = (i * 12345) % 100_000_000
    return (i, f"{BULK_FIRST[i % len(BULK_FIRST)]} CUSTOMER {i:07d}", CITIES[i % len(CITIES)],
            f"{(i * 7919) % 10**10:010d}", f"{(i * 37) % 100000:05d}", (i * 13) % 5000 - 250,
            -cents if i % 10 == 0 else cents, i % 100000, created, None if i % 3 == 0 else created + i % 30)


def bulk_row(i):
    """The values of generated row i (from 1), as the dictionary types
    read them: texts unpadded, packed numbers as Decimal, dates as text."""
    ident, name, city, account, zip_code, quantity, cents, rate, created, changed = _bulk_fields(i)
    return {"ID": ident, "NAME": name, "CITY": city, "ACCOUNT": account, "ZIP": zip_code, "QUANTITY": quantity,
            "AMOUNT": Decimal(cents).scaleb(-2), "RATE": Decimal(rate).scaleb(-5), "CREATED": _bulk_day(created),
            "CHANGED": "00000000" if changed is None else _bulk_day(changed)}


def bulk_rows(layout, count):
    """The images of generated rows 1..count: a fast encoder for this one
    layout (the generic Structure.encode takes microseconds a field)."""
    order = ["ID", "NAME", "CITY", "ACCOUNT", "ZIP", "QUANTITY", "AMOUNT", "RATE", "CREATED", "CHANGED"]
    f = {x.name: x for x in layout.fields}
    assert [x.name for x in layout.fields] == order
    fmt, end = "<", 0
    for name in order:
        gap = f[name].offset - end
        fmt += f"{gap}x" * (gap > 0) + ("i" if f[name].inttype == "I" else f"{f[name].intlen}s")
        end = f[name].offset + f[name].intlen
    pack = struct.Struct(fmt + f"{layout.size - end}x").pack

    def text(name):
        chars = f[name].intlen // 2
        return lambda value: value.ljust(chars).encode("utf-16-le")

    def packed(name):
        digits = 2 * f[name].intlen - 1
        return lambda scaled: bytes.fromhex(f"{abs(scaled):0{digits}d}{'d' if scaled < 0 else 'c'}")

    name_, city_, account_, zip_ = text("NAME"), text("CITY"), text("ACCOUNT"), text("ZIP")
    amount_, rate_ = packed("AMOUNT"), packed("RATE")
    days = {}

    def day(n):
        if n not in days:
            days[n] = text("CREATED")("00000000" if n is None else _bulk_day(n))
        return days[n]

    rows = []
    for i in range(1, count + 1):
        ident, name, city, account, zip_code, quantity, cents, rate, created, changed = _bulk_fields(i)
        rows.append(pack(ident, name_(name), city_(city), account_(account), zip_(zip_code), quantity,
                         amount_(cents), rate_(rate), day(created), day(changed)))
    return rows


def bulk_scenario(ctx):
    iface = ctx.function.interface
    count = ctx.imports.get("ROW_COUNT", 0)
    if not 0 <= count <= BULK_MAX_ROWS:
        raise AbapError("SIM_ERROR", f"ROW_COUNT {count} is out of range", "ZSIM", "E", "030", str(count))
    form = ctx.imports.get("FORM", "").strip().upper()
    if form not in BULK_FORMS:
        raise AbapError("SIM_ERROR", f"unknown form {form}", "ZSIM", "E", "031", form)
    reg = ctx.registry
    with reg.bulk_lock:
        key = (count, form)
        table = reg.bulk_kept.pop(key, None)
        if table is None:
            layout = reg.dictionary.lookup("ZSIM_BULK")
            table = TableOut("T_ROWS", layout.size, bulk_rows(layout, count), coding=BULK_FORMS[form], piece=None)
        reg.bulk_kept[key] = table
        while len(reg.bulk_kept) > _BULK_KEPT:
            reg.bulk_kept.pop(next(iter(reg.bulk_kept)))
    reply = Reply()
    reply.export(iface.find("E_ROWS"), count)
    reply.tables.append(table)
    return reply


# --- registration -----------------------------------------------------------------


def register(reg, dictionary):
    """Adds the table scenarios to the registry (and the database that
    RFC_READ_TABLE reads; its ZSIM_ROWS table has `read_table_rows` rows,
    default 23)."""
    count = int(reg.config.get("read_table_rows", 23))
    db = {"DD40L": dd40l(dictionary), "ZSIM_ROWS": zsim_rows(count)}
    reg.read_tables = lambda: db

    reg.add(FunctionInterface("RFC_READ_TABLE", [
        Param("QUERY_TABLE", IMPORT, "C", char(30), type_name="DD02L-TABNAME"),
        Param("DELIMITER", IMPORT, "C", char(1), type_name="SONV-FLAG", optional=True),
        Param("NO_DATA", IMPORT, "C", char(1), type_name="SONV-FLAG", optional=True),
        Param("ROWSKIPS", IMPORT, "I", 4, type_name="SOID-ACCNT", optional=True),
        Param("ROWCOUNT", IMPORT, "I", 4, type_name="SOID-ACCNT", optional=True),
        Param("GET_SORTED", IMPORT, "C", char(1), optional=True),
        Param("OPTIONS", TABLE, "h", char(OPTION_CHARS), type_name="RFC_DB_OPT", optional=True),
        Param("FIELDS", TABLE, "h", char(FIELD_ROW_CHARS), type_name="RFC_DB_FLD", optional=True),
        Param("DATA", TABLE, "h", char(DATA_CHARS), type_name="TAB512"),
        Param("TABLE_NOT_AVAILABLE", EXCEPTION, length=0),
        Param("TABLE_WITHOUT_DATA", EXCEPTION, length=0),
        Param("OPTION_NOT_VALID", EXCEPTION, length=0),
        Param("FIELD_NOT_VALID", EXCEPTION, length=0),
        Param("NOT_AUTHORIZED", EXCEPTION, length=0),
        Param("DATA_BUFFER_EXCEEDED", EXCEPTION, length=0),
    ]), read_table)

    bulk = dictionary.lookup("ZSIM_BULK")
    reg.bulk_lock = threading.Lock()
    reg.bulk_kept = {}
    reg.add(FunctionInterface("Z_SIM_ROWS", [
        Param("ROW_COUNT", IMPORT, "I", 4),
        Param("FORM", IMPORT, "C", char(1), optional=True),
        Param("E_ROWS", EXPORT, "I", 4),
        Param("T_ROWS", TABLE, "h", bulk.size, type_name="ZSIM_BULK"),
        Param("SIM_ERROR", EXCEPTION, length=0),
    ]), bulk_scenario)

    row = dictionary.lookup("ZSIM_ROW")
    reg.add(FunctionInterface("Z_SIM_DELTA", [
        Param("OPS", IMPORT, "g", 8, optional=True),
        Param("E_SEEN", EXPORT, "g", 8),
        Param("T_ROWS", TABLE, "h", row.size, type_name="ZSIM_ROW", optional=True),
        Param("T_OTHER", TABLE, "h", row.size, type_name="ZSIM_ROW", optional=True),
        Param("SIM_ERROR", EXCEPTION, length=0),
    ]), delta_scenario)

    nest = dictionary.lookup("ZSIM_NEST")
    reg.add(FunctionInterface("Z_SIM_NEST", [
        Param("I_NEST", IMPORT, "u", nest.size, type_name="ZSIM_NEST", optional=True),
        Param("E_NEST", EXPORT, "u", nest.size, type_name="ZSIM_NEST"),
        Param("E_SEEN", EXPORT, "g", 8),
    ]), nest_scenario)

    # A table parameter whose rows the interface claims to be almost 2 GiB
    # wide: a client must refuse to build such rows.
    reg.add(FunctionInterface("Z_SIM_WIDE", [
        Param("T_WIDE", TABLE, "h", 0x7FFFFFF0, type_name="ZSIM_ROW", optional=True),
    ]), lambda ctx: Reply())

    reg.add(FunctionInterface("Z_SIM_TTYP", [
        Param("T_DECS", TABLE, "h", 4, type_name="ZSIM_DEC_TAB", optional=True),
        Param("T_NAMES", TABLE, "h", 40, type_name="ZSIM_NAME_TAB", optional=True),
        Param("T_CHARS", TABLE, "h", 20, type_name="ZSIM_CHAR_TAB", optional=True),
        Param("T_DATES", TABLE, "h", 16, type_name="ZSIM_DATE_TAB", optional=True),
        Param("T_ROWS", TABLE, "h", row.size, type_name="ZSIM_ROW_TAB", optional=True),
    ]), table_types_scenario)
