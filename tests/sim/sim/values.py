"""Field values of the ABAP types, keyed by the dictionary's type letter.

decode() turns the bytes of one field into a Python value, encode() turns a
value back into the field's bytes, text() renders a value the way the
simulator reports what it saw.  The Python values are:

  C N D T   str (UTF-16LE on the wire, the field's width in bytes)
  P         Decimal with the field's decimals (packed BCD, sign nibble D negative)
  F         float (IEEE double, little-endian)
  b s I 8   int (1, 2, 4, 8 bytes little-endian; INT1 unsigned)
  X         bytes (fixed width), y bytes (variable)
  g         str (UTF-8)
  a e       Decimal (decimal64 / decimal128, little-endian)
  p         int (the raw UTCLONG count)
  u v h     bytes (structure image or deep value, passed through)
"""

import struct
from decimal import Decimal, InvalidOperation

from . import decfloat, utclong

TEXT_TYPES = "CNDT"
INT_FORMATS = {"b": ("<B", 1), "s": ("<h", 2), "I": ("<i", 4), "8": ("<q", 8)}
TYPE_NAMES = {
    "C": "CHAR", "N": "NUMC", "D": "DATS", "T": "TIMS", "P": "BCD", "F": "FLOAT",
    "b": "INT1", "s": "INT2", "I": "INT4", "8": "INT8", "X": "RAW", "g": "STRING",
    "y": "XSTRING", "a": "DECFLOAT16", "e": "DECFLOAT34", "p": "UTCLONG",
    "u": "STRUCTURE", "v": "DEEP STRUCTURE", "h": "TABLE",
}
# Bytes of the internal form of each fixed-size type.
FIXED_LENGTHS = {"F": 8, "b": 1, "s": 2, "I": 4, "8": 8, "a": 8, "e": 16, "p": 8, "g": 8, "y": 8}


class ValueProblem(Exception):
    """A received field the simulator cannot read as its declared type."""


def utf16(text):
    return text.encode("utf-16-le")


def from_utf16(raw):
    if len(raw) % 2:
        raise ValueProblem(f"{len(raw)} bytes are not UTF-16LE code units")
    try:
        return raw.decode("utf-16-le")
    except UnicodeDecodeError as exc:
        raise ValueProblem(f"not valid UTF-16LE: {exc.reason}") from None


def pad_utf16(text, width):
    """The text as UTF-16LE, filled with blanks and cut to `width` bytes."""
    raw = utf16(text)
    if len(raw) < width:
        raw += b" \x00" * ((width - len(raw)) // 2)
        if len(raw) < width:
            raw += b" "
    return raw[:width]


def unpack_bcd(raw, decimals):
    if not raw:
        raise ValueProblem("an empty packed number")
    nibbles = []
    for byte in raw:
        nibbles += [byte >> 4, byte & 0xF]
    sign_nibble = nibbles.pop()
    if any(n > 9 for n in nibbles):
        raise ValueProblem(f"packed number {raw.hex()} holds a nibble above 9")
    # Only 0xD is negative; every other sign nibble (0xC, 0xF, and 0 in an
    # all-zero field, the initial value of a packed field) is positive.
    negative = sign_nibble == 0xD
    digits = tuple(nibbles)
    return Decimal((1 if negative else 0, digits, -decimals))


def pack_bcd(value, width, decimals):
    value = Decimal(value)
    scaled = value.scaleb(decimals)
    if scaled != scaled.to_integral_value():
        raise ValueProblem(f"{value} has more than {decimals} decimals")
    digits = str(abs(int(scaled)))
    capacity = 2 * width - 1
    if len(digits) > capacity:
        raise ValueProblem(f"{value} does not fit {width} packed bytes")
    nibbles = [int(c) for c in digits.rjust(capacity, "0")]
    nibbles.append(0xD if value.is_signed() else 0xC)
    return bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2))


def decode(letter, raw, length, decimals=0):
    """The value of a received field.  Fixed-width text and byte fields that
    arrive longer than their width are cut to it (as an ABAP system does),
    shorter ones are filled."""
    raw = bytes(raw)
    if letter in TEXT_TYPES:
        return from_utf16(pad_utf16(from_utf16(raw[:length]), length))
    if letter == "P":
        if len(raw) != length:
            raise ValueProblem(f"a packed field of {length} bytes arrived with {len(raw)}")
        return unpack_bcd(raw, decimals)
    if letter == "F":
        if len(raw) != 8:
            raise ValueProblem(f"a FLOAT arrived with {len(raw)} bytes")
        return struct.unpack("<d", raw)[0]
    if letter in INT_FORMATS:
        fmt, size = INT_FORMATS[letter]
        if len(raw) != size:
            raise ValueProblem(f"an {TYPE_NAMES[letter]} arrived with {len(raw)} bytes")
        return struct.unpack(fmt, raw)[0]
    if letter == "X":
        return raw[:length].ljust(length, b"\x00")
    if letter == "g":
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueProblem("a STRING that is not UTF-8") from None
    if letter in "ae":
        size = 8 if letter == "a" else 16
        if len(raw) != size:
            raise ValueProblem(f"a {TYPE_NAMES[letter]} arrived with {len(raw)} bytes")
        return decfloat.decode(raw)
    if letter == "p":
        if len(raw) != 8:
            raise ValueProblem(f"a UTCLONG arrived with {len(raw)} bytes")
        return int.from_bytes(raw, "little")
    return raw


def encode(letter, value, length, decimals=0):
    if letter in TEXT_TYPES:
        return pad_utf16(str(value), length)
    if letter == "P":
        return pack_bcd(value, length, decimals)
    if letter == "F":
        return struct.pack("<d", float(value))
    if letter in INT_FORMATS:
        fmt, _ = INT_FORMATS[letter]
        return struct.pack(fmt, int(value))
    if letter == "X":
        return bytes(value)[:length].ljust(length, b"\x00")
    if letter == "g":
        return str(value).encode("utf-8")
    if letter in "ae":
        try:
            return decfloat.encode(value, 8 if letter == "a" else 16)
        except (decfloat.DecFloatError, InvalidOperation) as exc:
            raise ValueProblem(str(exc)) from None
    if letter == "p":
        return int(value).to_bytes(8, "little")
    return bytes(value)


def text(letter, value):
    """How the simulator reports a value it received."""
    if letter in TEXT_TYPES or letter == "g":
        return value
    if letter == "P":
        return format(value, "f")
    if letter == "F":
        return repr(value)
    if letter in INT_FORMATS:
        return str(value)
    if letter in "ae":
        return decfloat.to_text(value)
    if letter == "p":
        return utclong.to_text(value)
    return bytes(value).hex()
