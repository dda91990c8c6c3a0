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

import os
import struct
import sys
import zlib

SIM_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim")
sys.path.insert(0, os.path.abspath(SIM_DIR))

import abapsim  # noqa: E402
from sim.container import Rid  # noqa: E402
from sim.dictionary import Field, Structure  # noqa: E402
from sim.interface import EXCEPTION, EXPORT, IMPORT, TABLE, FunctionInterface, Param, char  # noqa: E402
from sim.reply import ROWS, Reply, TableOut  # noqa: E402
from sim import lzh, values  # noqa: E402

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


def compressed_rows(ctx):
    """T_DATA as one compressed table content declaring 4 GiB less one:
    MODE BLANK sends SIZE bytes of blank rows (they deflate about 1000-fold),
    MODE KEYED rows that carry their number and blanks (about 190-fold)."""
    mode = ctx.imports.get("MODE", "").strip()
    size = int(ctx.imports.get("SIZE", "0").strip() or "0")
    rows = size // TAB512_WIDTH
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    parts = []
    if mode == "BLANK":
        block = BLANK * (1 << 19)
        full, rest = divmod(size, len(block))
        parts += [c.compress(block) for _ in range(full)]
        parts.append(c.compress(block[:rest]))
    else:
        for start in range(0, rows, 4096):
            chunk = b"".join(f"{i:08d}".ljust(TAB512_WIDTH // 2).encode("utf-16-le")
                             for i in range(start, min(rows, start + 4096)))
            parts.append(c.compress(chunk))
    stream = lzh.shift_stream(b"".join(parts) + c.flush(), 2)
    content = (bytes([0x7B, 0x02, 0x01, 0xEA]) + struct.pack(">I", len(stream) + 16)
               + struct.pack("<I", 0xFFFFFFFF) + bytes([lzh.ALGORITHM_BYTE, 0x1F, 0x9D, 0x01]) + stream)
    reply = Reply()
    reply.extra = [(Rid.TABLE_NAME, values.utf16("T_DATA")), (Rid.TABLE_ROW_COUNT, struct.pack(">I", 1)),
                   (Rid.TABLE_HEADER, struct.pack(">II", TAB512_WIDTH, rows)), (Rid.TABLE_COMPRESSED, content)]
    return reply


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
        Param("T_DATA", TABLE, "h", TAB512_WIDTH, type_name="TAB512", optional=True),
    ]), compressed_rows)
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
