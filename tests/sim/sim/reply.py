"""Replies of the simulated functions and their containers.

A reply holds export values (already encoded), tables (plain or compressed),
deep sections and optional extra records.  An ABAP error is an exception
that becomes the error records of the reply.

A table goes out as a server sends it unless its function chose a form: one
TableContent record per row while its rows hold at most `compress_above`
bytes, compressed content (zlib's coding) in records of `piece` bytes above
that.  A function may instead ask for row records whatever the size
(coding ROWS) or for one coding of the compressed form.
"""

import struct

from . import deep, lzh, values
from .container import Rid, Writer


class AbapError(Exception):
    """An ABAP exception or message.  text_record chooses the record that
    carries `message`: "E" AbapErrorMessage, "T" AbapT100Text, "N" none."""

    def __init__(self, key="", message="", msg_class="", msg_type="", msg_number="", v1="", v2="", v3="", v4="",
                 text_record="E"):
        super().__init__(f"{key}: {message}")
        self.key = key
        self.message = message
        self.msg_class = msg_class
        self.msg_type = msg_type
        self.msg_number = msg_number
        self.variables = [v1, v2, v3, v4]
        self.text_record = text_record


def conversion_error(text, parameter=""):
    """The error of a value the simulator cannot read as its type: key
    CONVERSION_ERROR, message "sim: {text}", ZSIM E 003, the parameter's name
    (when there is one) as variable 1."""
    return AbapError("CONVERSION_ERROR", f"sim: {text}", "ZSIM", "E", "003", parameter)


def decode_import(param, raw, what="parameter"):
    """The value of a received import `param` from its bytes; a conversion
    error names it as "{what} {name}"."""
    try:
        return values.decode(param.abap, raw, param.length, param.decimals)
    except values.ValueProblem as exc:
        raise conversion_error(f"{what} {param.name}: {exc}", param.name) from None


class Cancelled(Exception):
    """The client cancelled the running call; the Canceled record is sent."""


# The form of a table as a server chooses it: row records up to this many
# bytes of rows, compressed content in records of PIECE bytes above.
COMPRESS_ABOVE = 64 << 10
PIECE = 32 << 10
# The coding that asks for one record per row whatever the size.
ROWS = "rows"


class TableOut:
    """A table of a reply.  coding None lets the size decide (as a server
    does); ROWS asks for row records; "zlib", "fixed" or "literal" for
    compressed content in records of `piece` bytes (0: one record; None, and
    whenever the size decided: the server's piece size)."""

    def __init__(self, name, width, rows, coding=None, piece=0, skip=2):
        self.name = name
        self.width = width
        self.rows = list(rows)
        self.coding = coding
        self.piece = piece
        self.skip = skip
        self._content = {}

    def size(self):
        return sum(len(r) for r in self.rows)

    def content(self, coding):
        """The compressed content; a table that goes out more than once is
        compressed once."""
        key = (coding, self.skip)
        if key not in self._content:
            self._content[key] = lzh.compress_table(b"".join(self.rows), coding, self.skip)
        return self._content[key]


class Reply:
    def __init__(self):
        self.exports = []
        self.tables = []
        self.deep = []
        # Deep values as Python trees (dicts, lists, texts): DeepContent
        # sections on the classic route, parameter elements on the basXML one.
        self.nested = []
        self.extra = []
        self.action = None
        self.split = None

    def export(self, param, value):
        self.exports.append((param.name, values.encode(param.abap, value, param.length, param.decimals)))

    def export_raw(self, name, raw):
        self.exports.append((name, bytes(raw)))

    def table(self, name, width, rows, **kw):
        self.tables.append(TableOut(name, width, rows, **kw))

    def deep_section(self, xml, piece=0):
        self.deep.append((xml, piece))

    def deep_value(self, name, value):
        self.nested.append((name, value))


def _text(value, encoding):
    return value.encode("utf-8") if encoding == "utf-8" else values.utf16(value)


def error_container(err, encoding="utf-16le"):
    w = Writer()
    if err.key:
        w.add(Rid.ABAP_EXCEPTION_KEY, _text(err.key, encoding))
    if err.message and err.text_record in ("E", "T"):
        rid = Rid.ABAP_ERROR_MESSAGE if err.text_record == "E" else Rid.ABAP_T100_TEXT
        w.add(rid, _text(err.message, encoding))
    for rid, value in ((Rid.ABAP_MESSAGE_CLASS, err.msg_class), (Rid.ABAP_MESSAGE_TYPE, err.msg_type),
                       (Rid.ABAP_MESSAGE_NUMBER, err.msg_number)):
        if value:
            w.add(rid, _text(value, encoding))
    for rid, value in zip((Rid.ABAP_MESSAGE_V1, Rid.ABAP_MESSAGE_V2, Rid.ABAP_MESSAGE_V3, Rid.ABAP_MESSAGE_V4),
                          err.variables):
        if value:
            w.add(rid, _text(value, encoding))
    return w.finish()


def _table_records(w, number, t, compress_above, server_piece):
    w.add(Rid.TABLE_NAME, values.utf16(t.name))
    w.add(Rid.TABLE_ROW_COUNT, struct.pack(">I", number))
    w.add(Rid.TABLE_HEADER, struct.pack(">II", t.width, len(t.rows)))
    coding, piece = t.coding, t.piece
    if coding is None:
        big = compress_above is not None and compress_above >= 0 and t.size() > compress_above
        coding = "zlib" if big else ROWS
        piece = piece or server_piece
    elif piece is None:
        piece = server_piece
    if coding == ROWS:
        for row in t.rows:
            w.add(Rid.TABLE_CONTENT, row)
        return
    if not t.rows:
        return
    content = t.content(coding)
    piece = piece if piece > 0 else len(content)
    for i, start in enumerate(range(0, len(content), piece)):
        w.add(Rid.TABLE_COMPRESSED if i == 0 else Rid.TABLE_COMPRESSED_CHUNK, content[start : start + piece])


def _deep_content(value):
    """A nested value in the form deep.element takes: a text, or children."""
    if isinstance(value, dict):
        return [(k, _deep_content(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [("item", _deep_content(v)) for v in value]
    return str(value)


def reply_container(reply, compress_above=COMPRESS_ABOVE, piece=PIECE):
    """The container of a reply; tables whose function left the form open
    are compressed when their rows hold more than `compress_above` bytes
    (None: never), in records of `piece` bytes."""
    w = Writer()
    for name, raw in reply.exports:
        w.add(Rid.PARAMETER_NAME, values.utf16(name))
        w.add(Rid.PARAMETER_VALUE, raw)
    for number, t in enumerate(reply.tables, 1):
        _table_records(w, number, t, compress_above, piece)
    sections = list(reply.deep) + [(deep.element(n, _deep_content(v)), 0) for n, v in reply.nested]
    for xml, piece in sections:
        w.add(Rid.DEEP_SECTION)
        for part in deep.split_text(xml, piece):
            w.add(Rid.DEEP_CONTENT, part)
        w.add(Rid.DEEP_SECTION)
    for rid, value in reply.extra:
        w.add(rid, value)
    return w.finish()
