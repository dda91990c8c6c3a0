"""Function interfaces and their rows in the PARAMS table of
RFC_GET_FUNCTION_INTERFACE.

A PARAMS row (structure RFC_FUNINT) in UTF-16LE code units and bytes:

  unit 0        PARAMCLASS  I E C T X
  units 1..30   PARAMETER
  units 31..60  TABNAME     dictionary type of the parameter
  units 61..90  FIELDNAME
  unit 91       EXID        ABAP type letter
  bytes 184..   POSITION, OFFSET, INTLENGTH, DECIMALS (INT4 little-endian)
  bytes 200..   DEFAULT (21 units), PARAMTEXT (79 units), OPTIONAL (1 unit)

A client reads only the class, the three names, the type letter and
INTLENGTH (bytes 192..195); the other columns carry values it must ignore.
"""

import struct

from . import values

PARAMS_WIDTH = 404

IMPORT, EXPORT, CHANGING, TABLE, EXCEPTION = "I", "E", "C", "T", "X"


class Param:
    def __init__(self, name, direction, abap="C", length=None, decimals=0, type_name="", field_name="",
                 default="", text="", optional=False):
        self.name = name
        self.direction = direction
        self.abap = abap
        if length is None:
            length = values.FIXED_LENGTHS.get(abap, 0)
        self.length = length
        self.decimals = decimals
        self.type_name = type_name
        self.field_name = field_name
        self.default = default
        self.text = text or f"{name} of the simulated system"
        self.optional = optional

    @property
    def is_output(self):
        return self.direction in (EXPORT, CHANGING, TABLE)

    @property
    def is_input(self):
        return self.direction in (IMPORT, CHANGING, TABLE)


def char(n):
    """Byte length of a CHAR field of n characters."""
    return 2 * n


class FunctionInterface:
    def __init__(self, name, params, basxml=" "):
        self.name = name
        self.params = list(params)
        self.basxml = basxml

    def find(self, name):
        upper = name.upper()
        for p in self.params:
            if p.name.upper() == upper:
                return p
        return None

    def of(self, direction):
        return [p for p in self.params if p.direction == direction]


def _units(text, n):
    return values.pad_utf16(text, 2 * n)


def params_row(p, position, width=PARAMS_WIDTH):
    row = bytearray()
    row += _units(p.direction, 1)
    row += _units(p.name, 30)
    row += _units(p.type_name, 30)
    row += _units(p.field_name, 30)
    row += _units(p.abap if p.direction != EXCEPTION else " ", 1)
    offset_junk = 1000 * position + 7
    row += struct.pack("<iiii", position, offset_junk, p.length, p.decimals)
    row += _units(p.default, 21)
    row += _units(p.text, 79)
    row += _units("X" if p.optional else " ", 1)
    row += b"\x00\x00"
    assert len(row) == PARAMS_WIDTH
    if width <= len(row):
        return bytes(row[:width])
    return bytes(row) + b" \x00" * ((width - len(row)) // 2) + b" " * ((width - len(row)) % 2)
