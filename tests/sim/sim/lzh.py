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
literal-only fixed-Huffman coder below, so the result never holds one.  The
block types of a stream are found by walking it block by block with the
system's zlib (through ctypes, its inflate stopping at every block
boundary), so that checking a table of many megabytes costs no more than
inflating it; without a loadable zlib the small inflater below does it.
"""

import ctypes
import ctypes.util
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


def _lookup(lengths):
    """A decoding table addressed by the next `bits` input bits (least
    significant first): entry = symbol << 4 | code length, 0 when no code."""
    bits = max(lengths) if any(lengths) else 1
    counts = [0] * 16
    for length in lengths:
        if length:
            counts[length] += 1
    code = 0
    next_code = [0] * 16
    for n in range(1, 16):
        code = (code + counts[n - 1]) << 1
        next_code[n] = code
    table = [0] * (1 << bits)
    for symbol, length in enumerate(lengths):
        if not length:
            continue
        c = next_code[length]
        next_code[length] += 1
        if c >= 1 << length:
            raise InflateError("oversubscribed code lengths")
        rev = int(format(c, f"0{length}b")[::-1], 2)
        entry = symbol << 4 | length
        for high in range(1 << (bits - length)):
            table[rev | high << length] = entry
    return table, bits


_FIXED_LIT = _lookup([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8)
_FIXED_DIST = _lookup([5] * 30)


class _Bits:
    """Bits of a byte string, least significant first."""

    def __init__(self, data, bit=0):
        self.data = data
        self.pos = bit >> 3
        self.buf = 0
        self.count = 0
        self.get(bit & 7)

    def need(self, n):
        data = self.data
        while self.count < n:
            if self.pos >= len(data):
                raise InflateError("unexpected end of stream")
            self.buf |= data[self.pos] << self.count
            self.pos += 1
            self.count += 8

    def get(self, n):
        if n == 0:
            return 0
        self.need(n)
        value = self.buf & ((1 << n) - 1)
        self.buf >>= n
        self.count -= n
        return value

    def symbol(self, lookup):
        table, bits = lookup
        data = self.data
        # Near the end of the stream fewer bits than the longest code may remain.
        while self.count < bits and self.pos < len(data):
            self.buf |= data[self.pos] << self.count
            self.pos += 1
            self.count += 8
        entry = table[self.buf & ((1 << bits) - 1)]
        length = entry & 15
        if not entry or length > self.count:
            raise InflateError("invalid Huffman code")
        self.buf >>= length
        self.count -= length
        return entry >> 4

    def align(self):
        self.get(self.count & 7)


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
            bits.align()
            length = bits.get(16)
            bits.get(16)
            for _ in range(length):
                out.append(bits.get(8))
        elif btype in (1, 2):
            if btype == 1:
                lit, dist = _FIXED_LIT, _FIXED_DIST
            else:
                hlit, hdist, hclen = bits.get(5) + 257, bits.get(5) + 1, bits.get(4) + 4
                cl = [0] * 19
                for i in range(hclen):
                    cl[_CL_ORDER[i]] = bits.get(3)
                cl_table = _lookup(cl)
                lengths = []
                while len(lengths) < hlit + hdist:
                    sym = bits.symbol(cl_table)
                    if sym < 16:
                        lengths.append(sym)
                    elif sym == 16:
                        if not lengths:
                            raise InflateError("repeat without a previous length")
                        lengths += [lengths[-1]] * (3 + bits.get(2))
                    elif sym == 17:
                        lengths += [0] * (3 + bits.get(3))
                    else:
                        lengths += [0] * (11 + bits.get(7))
                if len(lengths) > hlit + hdist:
                    raise InflateError("code lengths run past the end")
                lit, dist = _lookup(lengths[:hlit]), _lookup(lengths[hlit:])
            while True:
                sym = bits.symbol(lit)
                if sym < 256:
                    out.append(sym)
                elif sym == 256:
                    break
                else:
                    sym -= 257
                    if sym >= 29:
                        raise InflateError("invalid length symbol")
                    length = _LEN_BASE[sym] + bits.get(_LEN_EXTRA[sym])
                    dsym = bits.symbol(dist)
                    if dsym >= 30:
                        raise InflateError("invalid distance symbol")
                    distance = _DIST_BASE[dsym] + bits.get(_DIST_EXTRA[dsym])
                    if distance > len(out):
                        raise InflateError("distance too far back")
                    if distance >= length:
                        start = len(out) - distance
                        out += out[start : start + length]
                    else:
                        pattern = out[-distance:]
                        out += (pattern * (length // distance + 1))[:length]
        else:
            raise InflateError("block type 3")
        if final:
            return bytes(out), types


# --- block types through the system's zlib ------------------------------------


class _ZStream(ctypes.Structure):
    _fields_ = [("next_in", ctypes.c_void_p), ("avail_in", ctypes.c_uint), ("total_in", ctypes.c_ulong),
                ("next_out", ctypes.c_void_p), ("avail_out", ctypes.c_uint), ("total_out", ctypes.c_ulong),
                ("msg", ctypes.c_char_p), ("state", ctypes.c_void_p), ("zalloc", ctypes.c_void_p),
                ("zfree", ctypes.c_void_p), ("opaque", ctypes.c_void_p), ("data_type", ctypes.c_int),
                ("adler", ctypes.c_ulong), ("reserved", ctypes.c_ulong)]


_Z_OK, _Z_STREAM_END, _Z_BLOCK = 0, 1, 5
# data_type after inflate: the unused bits of the last input byte in the
# low three bits, 128 when inflate stopped at a block boundary.
_AT_BOUNDARY = 128


def _load_zlib():
    try:
        lib = ctypes.CDLL(ctypes.util.find_library("z") or "libz.so.1")
        lib.zlibVersion.restype = ctypes.c_char_p
        lib.inflateInit2_.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
        lib.inflate.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.inflateEnd.argtypes = [ctypes.c_void_p]
        return lib
    except (OSError, AttributeError):
        return None


_ZLIB = _load_zlib()


def _bits_at(data, bit, n):
    value = 0
    for k in range(n):
        b = bit + k
        if b >> 3 >= len(data):
            raise InflateError("unexpected end of stream")
        value |= ((data[b >> 3] >> (b & 7)) & 1) << k
    return value


def _zlib_block_types(stream):
    z = _ZStream()
    source = ctypes.create_string_buffer(bytes(stream), len(stream))
    sink = ctypes.create_string_buffer(1 << 20)
    if _ZLIB.inflateInit2_(ctypes.byref(z), -15, _ZLIB.zlibVersion(), ctypes.sizeof(z)) != _Z_OK:
        raise InflateError("zlib refused to start")
    z.next_in = ctypes.addressof(source)
    z.avail_in = len(stream)
    types = []
    bit = 0
    try:
        while True:
            header = _bits_at(stream, bit, 3)
            types.append(header >> 1)
            while True:
                z.next_out = ctypes.addressof(sink)
                z.avail_out = len(sink)
                rc = _ZLIB.inflate(ctypes.byref(z), _Z_BLOCK)
                if rc not in (_Z_OK, _Z_STREAM_END):
                    raise InflateError(f"zlib inflate failed ({rc})")
                if rc == _Z_STREAM_END or z.data_type & _AT_BOUNDARY:
                    break
                if z.avail_in == 0 and z.avail_out != 0:
                    raise InflateError("unexpected end of stream")
            if header & 1:
                return types
            bit = z.total_in * 8 - (z.data_type & 7)
    finally:
        _ZLIB.inflateEnd(ctypes.byref(z))


def block_types(stream):
    """The type of every block of a raw DEFLATE stream, in order."""
    if _ZLIB is None:
        return inflate(stream)[1]
    return _zlib_block_types(stream)


# --- coders -----------------------------------------------------------------


def _reversed(code, length):
    return int(format(code, f"0{length}b")[::-1], 2)


# Fixed literal codes, bit-reversed for a least-significant-first stream.
_LITERAL_CODES = [(_reversed(0x30 + b, 8), 8) if b < 144 else (_reversed(0x190 + b - 144, 9), 9) for b in range(256)]


def deflate_literals(data):
    """One final fixed-Huffman block of literals only: always valid."""
    out = bytearray()
    acc = 0b011  # BFINAL = 1, BTYPE = 01
    n = 3
    for byte in data:
        code, length = _LITERAL_CODES[byte]
        acc |= code << n
        n += length
        if n >= 32:
            out += (acc & 0xFFFFFFFF).to_bytes(4, "little")
            acc >>= 32
            n -= 32
    n += 7  # end of block: seven 0 bits
    out += acc.to_bytes((n + 7) // 8, "little")
    return bytes(out)


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
    if 0 in block_types(stream):
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
