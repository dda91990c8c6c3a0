"""Compressed table content as an ABAP server sends it.

Layout of the content (the bytes of the TableCompressed records, joined):

  0..7    record prefix: 7B 02 xx EA and four bytes nobody reads
  8..11   uncompressed length, u32 little-endian
  12      algorithm byte 0x12 (low four bits 2: LZH)
  13..14  1F 9D
  15      not read
  16..    the bit stream: two bits s, s skipped bits, then DEFLATE blocks
          (fixed or dynamic Huffman only; stored blocks do not exist here)

The DEFLATE blocks come from zlib's raw DEFLATE.  zlib may choose a stored
block for data it cannot shrink; such a stream is recoded with the simple
literal-only fixed-Huffman coder below, so the result never holds one.
"""

import struct
import zlib

ALGORITHM_BYTE = 0x12


class InflateError(Exception):
    pass


# --- a small inflater, used to verify what was produced -------------------

_LEN_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258]
_LEN_EXTRA = [0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0]
_DIST_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577]
_DIST_EXTRA = [0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13]
_CL_ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]


class _Bits:
    def __init__(self, data, bit=0):
        self.data = data
        self.pos = bit

    def get(self, n):
        value = 0
        for i in range(n):
            byte = self.pos >> 3
            if byte >= len(self.data):
                raise InflateError("unexpected end of stream")
            value |= ((self.data[byte] >> (self.pos & 7)) & 1) << i
            self.pos += 1
        return value


def _huffman(lengths):
    """Canonical codes as a dict (length, code) -> symbol."""
    counts = [0] * 16
    for length in lengths:
        counts[length] += 1
    counts[0] = 0
    code = 0
    next_code = [0] * 16
    for bits in range(1, 16):
        code = (code + counts[bits - 1]) << 1
        next_code[bits] = code
    table = {}
    for symbol, length in enumerate(lengths):
        if length:
            table[(length, next_code[length])] = symbol
            next_code[length] += 1
    return table


def _symbol(bits, table):
    code = 0
    for length in range(1, 16):
        code = (code << 1) | bits.get(1)
        symbol = table.get((length, code))
        if symbol is not None:
            return symbol
    raise InflateError("invalid Huffman code")


_FIXED_LIT = _huffman([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8)
_FIXED_DIST = _huffman([5] * 30)


def inflate(data, start_bit=0):
    """(output, list of block types) of a raw DEFLATE stream."""
    bits = _Bits(data, start_bit)
    out = bytearray()
    types = []
    while True:
        final = bits.get(1)
        btype = bits.get(2)
        types.append(btype)
        if btype == 0:
            bits.pos = (bits.pos + 7) & ~7
            length = bits.get(16)
            bits.get(16)
            start = bits.pos >> 3
            out += data[start : start + length]
            bits.pos += 8 * length
        elif btype in (1, 2):
            if btype == 1:
                lit, dist = _FIXED_LIT, _FIXED_DIST
            else:
                hlit, hdist, hclen = bits.get(5) + 257, bits.get(5) + 1, bits.get(4) + 4
                cl = [0] * 19
                for i in range(hclen):
                    cl[_CL_ORDER[i]] = bits.get(3)
                cl_table = _huffman(cl)
                lengths = []
                while len(lengths) < hlit + hdist:
                    sym = _symbol(bits, cl_table)
                    if sym < 16:
                        lengths.append(sym)
                    elif sym == 16:
                        lengths += [lengths[-1]] * (3 + bits.get(2))
                    elif sym == 17:
                        lengths += [0] * (3 + bits.get(3))
                    else:
                        lengths += [0] * (11 + bits.get(7))
                lit, dist = _huffman(lengths[:hlit]), _huffman(lengths[hlit:])
            while True:
                sym = _symbol(bits, lit)
                if sym < 256:
                    out.append(sym)
                elif sym == 256:
                    break
                else:
                    sym -= 257
                    length = _LEN_BASE[sym] + bits.get(_LEN_EXTRA[sym])
                    dsym = _symbol(bits, dist)
                    distance = _DIST_BASE[dsym] + bits.get(_DIST_EXTRA[dsym])
                    if distance > len(out):
                        raise InflateError("distance too far back")
                    for _ in range(length):
                        out.append(out[-distance])
        else:
            raise InflateError("block type 3")
        if final:
            return bytes(out), types


# --- coders -----------------------------------------------------------------


class _BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, nbits):
        self.acc |= value << self.n
        self.n += nbits
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def put_code(self, code, length):
        reversed_code = int(format(code, f"0{length}b")[::-1], 2)
        self.put(reversed_code, length)

    def finish(self):
        if self.n:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


def deflate_literals(data):
    """One final fixed-Huffman block of literals only: always valid."""
    w = _BitWriter()
    w.put(1, 1)
    w.put(1, 2)
    for byte in data:
        if byte < 144:
            w.put_code(0x30 + byte, 8)
        else:
            w.put_code(0x190 + byte - 144, 9)
    w.put_code(0, 7)
    return w.finish()


def deflate_zlib(data, strategy=zlib.Z_DEFAULT_STRATEGY, level=6):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return c.compress(data) + c.flush(zlib.Z_FINISH)


def deflate_stream(data, coding="zlib"):
    """A DEFLATE stream without stored blocks.  coding: "zlib" (zlib's
    default choice of fixed and dynamic blocks), "fixed" (zlib with fixed
    codes only) or "literal" (literals only)."""
    if coding == "literal":
        return deflate_literals(data)
    strategy = zlib.Z_FIXED if coding == "fixed" else zlib.Z_DEFAULT_STRATEGY
    stream = deflate_zlib(data, strategy)
    _, types = inflate(stream)
    if 0 in types:
        return deflate_literals(data)
    return stream


def shift_stream(stream, skip):
    """Puts the two-bit skip count and `skip` junk bits in front."""
    value = int.from_bytes(stream, "little")
    junk = (1 << skip) - 1
    value = (value << (2 + skip)) | (junk << 2) | skip
    nbytes = (len(stream) * 8 + 2 + skip + 7) // 8
    return value.to_bytes(nbytes, "little")


def compress_table(data, coding="zlib", skip=2):
    stream = shift_stream(deflate_stream(data, coding), skip)
    prefix = bytes([0x7B, 0x02, 0x01, 0xEA]) + struct.pack(">I", len(stream) + 16)
    head = struct.pack("<I", len(data)) + bytes([ALGORITHM_BYTE, 0x1F, 0x9D, 0x01])
    return prefix + head + stream


def decompress_table(content):
    """The rows of compressed content (for the self-tests)."""
    (length,) = struct.unpack_from("<I", content, 8)
    stream = content[16:]
    skip = stream[0] & 3
    out, _ = inflate(stream, 2 + skip)
    return out[:length]
