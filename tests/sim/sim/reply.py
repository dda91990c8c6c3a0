"""Replies of the simulated functions and their containers.

A reply holds export values (already encoded), tables (plain or compressed),
deep sections and optional extra records.  An ABAP error is an exception
that becomes the error records of the reply.
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


class Cancelled(Exception):
    """The client cancelled the running call; the Canceled record is sent."""


class TableOut:
    def __init__(self, name, width, rows, coding=None, piece=0, skip=2):
        self.name = name
        self.width = width
        self.rows = list(rows)
        self.coding = coding
        self.piece = piece
        self.skip = skip


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


def _table_records(w, number, t):
    w.add(Rid.TABLE_NAME, values.utf16(t.name))
    w.add(Rid.TABLE_ROW_COUNT, struct.pack(">I", number))
    w.add(Rid.TABLE_HEADER, struct.pack(">II", t.width, len(t.rows)))
    if t.coding is None:
        for row in t.rows:
            w.add(Rid.TABLE_CONTENT, row)
        return
    if not t.rows:
        return
    content = lzh.compress_table(b"".join(t.rows), t.coding, t.skip)
    piece = t.piece if t.piece > 0 else len(content)
    for i, start in enumerate(range(0, len(content), piece)):
        w.add(Rid.TABLE_COMPRESSED if i == 0 else Rid.TABLE_COMPRESSED_CHUNK, content[start : start + piece])


def _deep_content(value):
    """A nested value in the form deep.element takes: a text, or children."""
    if isinstance(value, dict):
        return [(k, _deep_content(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [("item", _deep_content(v)) for v in value]
    return str(value)


def reply_container(reply):
    w = Writer()
    for name, raw in reply.exports:
        w.add(Rid.PARAMETER_NAME, values.utf16(name))
        w.add(Rid.PARAMETER_VALUE, raw)
    for number, t in enumerate(reply.tables, 1):
        _table_records(w, number, t)
    sections = list(reply.deep) + [(deep.element(n, _deep_content(v)), 0) for n, v in reply.nested]
    for xml, piece in sections:
        w.add(Rid.DEEP_SECTION)
        for part in deep.split_text(xml, piece):
            w.add(Rid.DEEP_CONTENT, part)
        w.add(Rid.DEEP_SECTION)
    for rid, value in reply.extra:
        w.add(rid, value)
    return w.finish()
