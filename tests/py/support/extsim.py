#!/usr/bin/python3
"""The simulated ABAP system with a few extra functions that the binding's
tests need and the standard registry does not offer: replies whose values
cannot be decoded, dates and times of any text, texts that are not valid
UTF-8 or UTF-16, parameters with
type and class letters that have no name, structure and table
parameters without a dictionary type, and a table of rows of many kinds
whose images the caller gives.

Runs exactly like tests/sim/abapsim.py (same options, same ports line); the
extra functions are added to the standard registry before it starts.
"""

import functools
import os
import random
import struct
import sys
import zlib

SIM_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim")
sys.path.insert(0, os.path.abspath(SIM_DIR))

import abapsim  # noqa: E402
from sim.container import Rid, record  # noqa: E402
from sim.dictionary import Field, Structure  # noqa: E402
from sim.interface import EXCEPTION, EXPORT, IMPORT, TABLE, FunctionInterface, Param, char  # noqa: E402
from sim.reply import ROWS, Reply, TableOut, reply_container  # noqa: E402
from sim import basxml, lzh, values  # noqa: E402

# Field images that the client cannot decode as their declared type.
UNDECODABLE = {
    "E_FLOAT": b"\x01\x02\x03",        # a FLOAT needs 8 bytes
    "E_INT4": b"\x01\x02",             # an INT4 needs 4 bytes
    "E_PACKED": b"\xab\xcd\xef\xff",   # nibbles above 9
    "E_UTCLONG": b"\x01",              # a UTCLONG needs 8 bytes
    "E_ODD": b"\x00\x01\x02\x03",      # a type letter without a name
}


def undecodable(ctx):
    field = ctx.imports.get("FIELD", "").strip().upper()
    reply = Reply()
    reply.export_raw(field, UNDECODABLE[field])
    return reply


def bad_texts(ctx):
    reply = Reply()
    reply.export_raw("E_STRING", b"ok \xff\xfe end")              # not UTF-8
    reply.export_raw("E_CHAR", b"a\x00\x00\xd8b\x00")             # a lone surrogate
    return reply


def bad_error(ctx):
    reply = Reply()
    reply.extra = [(Rid.ABAP_EXCEPTION_KEY, b"K\xff"), (Rid.ABAP_ERROR_MESSAGE, b"bad \xff\xfe text"),
                   (Rid.ABAP_MESSAGE_TYPE, b"E")]
    return reply


def raw_struct(ctx):
    reply = Reply()
    reply.export_raw("E_RAWSTRUCT", ctx.raw.get("I_RAWSTRUCT", b"\x00" * 8))
    return reply


def dates_back(ctx):
    # A date and a time as the server holds them, whatever their text: the
    # client reads them back without having sent them.
    reply = Reply()
    reply.export_raw("E_DATS", values.pad_utf16(ctx.imports.get("DATS", ""), 16))
    reply.export_raw("E_TIMS", values.pad_utf16(ctx.imports.get("TIMS", ""), 12))
    return reply


def import_back(ctx):
    # A reply that names an import parameter and a parameter the interface
    # does not list, beside a genuine export. They go out as extra records:
    # the simulator sends only the exports that the request asked for.
    reply = Reply()
    reply.export_raw("E_TEXT", values.pad_utf16("out", 2 * 8))
    for name, text in (("I_TEXT", "back"), ("X_UNLISTED", "none")):
        reply.extra.append((Rid.PARAMETER_NAME, values.utf16(name)))
        reply.extra.append((Rid.PARAMETER_VALUE, values.pad_utf16(text, 2 * 8)))
    return reply


# --- hostile peers ---------------------------------------------------------------

BLANK = " ".encode("utf-16-le")
TAB512_WIDTH = 1024
# A record id no reader of a reply looks at: bytes that count as received
# and nothing else.
FILLER_ID = 0x0599
# Names of the tables Z_H_TABLE may return under its own parameters.
TABLE_NAMES = ("T_DATA", "T_DATA2", "T_DATA3")


def _keyed_row(i):
    return f"{i:08d}".ljust(TAB512_WIDTH // 2).encode("utf-16-le")


def _rows_of(mode, start, stop):
    """Rows start..stop-1 of a mode: KEYED rows carry their number and
    blanks (about 200-fold), SPARSE ones do so every third row and are
    blank otherwise (about 450-fold)."""
    if mode == "KEYED":
        return b"".join(_keyed_row(i) for i in range(start, stop))
    return b"".join(_keyed_row(i) if i % 3 == 0 else BLANK * (TAB512_WIDTH // 2) for i in range(start, stop))


@functools.lru_cache(maxsize=8)
def table_content(mode, size, declared):
    """The compressed content of one table of `size` bytes of rows (1024 bytes
    each) in `mode` (BLANK, KEYED, SPARSE), declaring `declared` bytes; made
    once per process for each form, as the largest take seconds."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    parts = []
    if mode == "BLANK":
        block = BLANK * (1 << 19)
        full, rest = divmod(size, len(block))
        parts += [c.compress(block) for _ in range(full)]
        parts.append(c.compress(block[:rest]))
    else:
        rows = size // TAB512_WIDTH
        for start in range(0, rows, 4096):
            parts.append(c.compress(_rows_of(mode, start, min(rows, start + 4096))))
    stream = lzh.shift_stream(b"".join(parts) + c.flush(), 2)
    return (bytes([0x7B, 0x02, 0x01, 0xEA]) + struct.pack(">I", len(stream) + 16)
            + struct.pack("<I", declared) + bytes([lzh.ALGORITHM_BYTE, 0x1F, 0x9D, 0x01]) + stream)


def _table_records(name, size, content):
    return [(Rid.TABLE_NAME, values.utf16(name)), (Rid.TABLE_ROW_COUNT, struct.pack(">I", 1)),
            (Rid.TABLE_HEADER, struct.pack(">II", TAB512_WIDTH, size // TAB512_WIDTH)),
            (Rid.TABLE_COMPRESSED, content)]


def budget_filler(container_size, made, edge):
    """The filler record that puts a reply's budget just at or just below
    what its decoding makes. `edge` is "ratio/allowance/under|over": the
    client may make `ratio` bytes per byte received and `allowance` beside;
    "under" gives the smallest reply whose budget holds `made`, "over" one
    byte less of it. `container_size` is the reply without the filler."""
    ratio, allowance, side = edge.split("/")
    ratio, allowance = int(ratio), int(allowance)
    target = -(-(made - allowance) // ratio) - (1 if side == "over" else 0)
    overhead = len(record(FILLER_ID, b"x")) - 1
    size = target - container_size - overhead
    if size < 1 or size >= 0xFFFF:
        raise ValueError(f"no filler puts a reply of {container_size} bytes at the budget edge of {made}")
    return (FILLER_ID, bytes(size))


def compressed_rows(ctx):
    """Tables of compressed content, each of SIZE bytes of rows in MODE
    (BLANK, KEYED or SPARSE) declaring DECLARED bytes (4 GiB less one when
    not given): COUNT tables under the function's own names, then EXTRA
    under names it does not have. With EDGE ("ratio/allowance/under|over")
    the reply also carries the filler that sets its budget at what its
    tables expand to (budget_filler)."""
    mode = ctx.imports.get("MODE", "").strip()
    size = int(ctx.imports.get("SIZE", "0").strip() or "0")
    count = int(ctx.imports.get("COUNT", "").strip() or "1")
    extra = int(ctx.imports.get("EXTRA", "").strip() or "0")
    declared = int(ctx.imports.get("DECLARED", "").strip() or str(0xFFFFFFFF))
    edge = ctx.imports.get("EDGE", "").strip()
    content = table_content(mode, size, declared)
    reply = Reply()
    names = list(TABLE_NAMES[:count]) + [f"T_EXTRA{i}" for i in range(1, extra + 1)]
    for name in names:
        reply.extra += _table_records(name, size, content)
    if edge:
        reply.extra.append(budget_filler(len(reply_container(reply)), size * len(names), edge))
    return reply


# basXML payloads beside the standard knobs: "filler:N:B" is a document
# whose one parameter holds N empty elements and a second one B random
# bytes of binary content (what a reply can pad its size with); "edge:N:
# ratio/allowance/under|over" the document of N empty elements with the
# filler record that sets the reply's budget at what reading it makes
# ("under") or just short of the document's size ("over").
_standard_hostile_payload = basxml.hostile_payload
_standard_reply_container = basxml.reply_container
_edges = {}


def _flat_with_binary(count, binary):
    doc = basxml.write_document([basxml.Node("E_FLAT", children=[basxml.Node("x"), basxml.Node("x")]),
                                 basxml.Node("E_PAD", data=binary)])
    # E_FLAT closes right before the string "E_PAD" is defined; its second
    # child, four bytes, comes before that.
    close = doc.index(bytes([basxml.T_STRING, 5]) + b"E_PAD") - 1
    child = doc[close - 4:close]
    assert doc[close - 8:close - 4] == child
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    out = [c.compress(doc[:close - 4])]
    block = child * (1 << 18)
    full, rest = divmod(count - 1, 1 << 18)
    out += [c.compress(block) for _ in range(full)]
    out.append(c.compress(child * rest))
    out.append(c.compress(doc[close:]))
    return b"".join(out) + c.flush()


def hostile_basxml_payload(kind):
    if kind.startswith("filler:"):
        _, count, size = kind.split(":")
        return _flat_with_binary(int(count), random.Random(7).randbytes(int(size)))
    if kind.startswith("edge:"):
        _, count, edge = kind.split(":")
        payload = basxml.flat_elements_payload(int(count))
        document = zlib.decompressobj(-15).decompress(payload)
        _edges[payload] = (len(document), edge)
        return payload
    return _standard_hostile_payload(kind)


# What a reader stores beside the document of an "edge" payload (its few
# strings and records) stays below this: "under" leaves this much room, while
# "over" is short of the document itself.
EDGE_STORAGE = 4096


def basxml_reply_container(payload, piece=0, before=()):
    if payload in _edges:
        made, edge = _edges[payload]
        if edge.endswith("/under"):
            made += EDGE_STORAGE
        size = len(_standard_reply_container(payload, piece, before))
        before = list(before) + [budget_filler(size, made, edge)]
    return _standard_reply_container(payload, piece, before)


basxml.hostile_payload = hostile_basxml_payload
basxml.reply_container = basxml_reply_container


WIDE_IMPORTS = 55000
WIDE_EXPORTS = 45000


def wide_reply(ctx):
    reply = Reply()
    for i in range(WIDE_EXPORTS):
        reply.export_raw(f"E_{i:06d}", struct.pack("<i", i))
    return reply


def kind_reply(ctx):
    reply = Reply()
    reply.export_raw("E_VALUE", values.pad_utf16("abc", 20))
    return reply


def add_hostile_functions(reg, config):
    reg.add(FunctionInterface("Z_H_TABLE", [
        Param("MODE", IMPORT, "C", char(8)),
        Param("SIZE", IMPORT, "C", char(12)),
        Param("COUNT", IMPORT, "C", char(4), optional=True),
        Param("EXTRA", IMPORT, "C", char(4), optional=True),
        Param("DECLARED", IMPORT, "C", char(12), optional=True),
        Param("EDGE", IMPORT, "C", char(40), optional=True),
    ] + [Param(name, TABLE, "h", TAB512_WIDTH, type_name="TAB512", optional=True) for name in TABLE_NAMES]),
        compressed_rows)
    reg.add(FunctionInterface("Z_H_WIDE", [Param(f"I_{i:06d}", IMPORT, "I", 4, optional=True)
                                           for i in range(WIDE_IMPORTS)]
                              + [Param(f"E_{i:06d}", EXPORT, "I", 4) for i in range(WIDE_EXPORTS)]), wide_reply)
    # A server that calls itself POISON describes E_VALUE as an integer; the
    # genuine one as the text it sends.
    poison = config["system"].get("system_name") == "POISON"
    reg.add(FunctionInterface("Z_H_KIND", [
        Param("E_VALUE", EXPORT, "I", 4) if poison else Param("E_VALUE", EXPORT, "C", char(10)),
    ]), kind_reply)


# Rows of many kinds, as images the caller sends: a field of each kind the
# binding reads directly, a few it leaves to the field codec (RAW,
# DECFLOAT16), and a Char field whose name differs from an Int4 field's in
# letter case only (its value converts by the type of the first).
KINDS = Structure("ZE1_KINDS", [
    Field("C4", "C", 8), Field("C3", "C", 6), Field("NUMC", "N", 8), Field("DATS", "D", 16),
    Field("TIMS", "T", 12), Field("P0", "P", 3), Field("P2", "P", 4, 2), Field("I1", "b"),
    Field("I2", "s"), Field("I4", "I"), Field("I8", "8"), Field("FL", "F"), Field("RAW", "X", 4),
    Field("DF16", "a"), Field("CODE", "I"), Field("code", "C", 8),
])


def kind_rows(ctx):
    images = ctx.imports.get("IMAGES", b"")
    size = KINDS.size
    rows = [images[i:i + size] for i in range(0, len(images), size)]
    reply = Reply()
    form = ctx.imports.get("FORM", "").strip().upper()
    reply.tables.append(TableOut("T_KINDS", size, rows, coding="zlib" if form == "Z" else ROWS))
    return reply


def add_functions(reg):
    reg.dictionary.add(KINDS)
    reg.add(FunctionInterface("Z_E1_KINDS", [
        Param("IMAGES", IMPORT, "y", 8),
        Param("FORM", IMPORT, "C", char(1), optional=True),
        Param("T_KINDS", TABLE, "h", KINDS.size, type_name="ZE1_KINDS"),
    ]), kind_rows)
    reg.add(FunctionInterface("Z_E1_UNDECODED", [
        Param("FIELD", IMPORT, "C", char(10)),
        Param("E_FLOAT", EXPORT, "F", 8),
        Param("E_INT4", EXPORT, "I", 4),
        Param("E_PACKED", EXPORT, "P", 4),
        Param("E_UTCLONG", EXPORT, "p", 8),
        Param("E_ODD", EXPORT, "z", 4),
    ]), undecodable)
    reg.add(FunctionInterface("Z_E1_TEXTS", [
        Param("E_STRING", EXPORT, "g", 8),
        Param("E_CHAR", EXPORT, "C", char(3)),
    ]), bad_texts)
    reg.add(FunctionInterface("Z_E1_BAD_ERROR", []), bad_error)
    reg.add(FunctionInterface("Z_E1_RAW_STRUCT", [
        Param("I_RAWSTRUCT", IMPORT, "u", 8, optional=True),
        Param("E_RAWSTRUCT", EXPORT, "u", 8),
        Param("T_NOTYPE", TABLE, "h", 8, optional=True),
    ]), raw_struct)
    reg.add(FunctionInterface("Z_E1_DATES", [
        Param("DATS", IMPORT, "g", 8, optional=True),
        Param("TIMS", IMPORT, "g", 8, optional=True),
        Param("E_DATS", EXPORT, "D", 16),
        Param("E_TIMS", EXPORT, "T", 12),
    ]), dates_back)
    reg.add(FunctionInterface("Z_E1_IMPORT_BACK", [
        Param("I_TEXT", IMPORT, "C", char(8), optional=True),
        Param("E_TEXT", EXPORT, "C", char(8)),
    ]), import_back)
    reg.add(FunctionInterface("Z_E1_ODD_LETTERS", [
        Param("P_QCLASS", "Q", "C", char(4)),
        Param("P_ZTYPE", IMPORT, "z", 4),
        Param("P_TABLE", TABLE, "h", 16, type_name="ZSIM_ROW"),
        Param("P_EXC", EXCEPTION, length=0),
    ]), raw_struct)


standard = abapsim.standard_registry


def extended_registry(dictionary, config):
    reg = standard(dictionary, config)
    add_functions(reg)
    add_hostile_functions(reg, config)
    return reg


abapsim.standard_registry = extended_registry

if __name__ == "__main__":
    sys.exit(abapsim.main(sys.argv[1:]))
