"""IEEE 754 decimal64 / decimal128 (DPD coefficient), stored little-endian.

Values are Python Decimals: finite numbers keep their exact coefficient and
exponent (so 1.50 stays 1.50), and NaN and the infinities keep their sign.
"""

from decimal import Decimal

FORMATS = {
    8: {"digits": 16, "bias": 398, "cont_bits": 8, "declets": 5, "emax_biased": 767},
    16: {"digits": 34, "bias": 6176, "cont_bits": 12, "declets": 11, "emax_biased": 12287},
}


class DecFloatError(Exception):
    pass


def declet_to_digits(d):
    """Three digits of a 10-bit densely packed declet (every declet accepted)."""
    b = [(d >> i) & 1 for i in range(10)]
    hi = 4 * b[9] + 2 * b[8] + b[7]
    mid = 4 * b[6] + 2 * b[5] + b[4]
    lo = 4 * b[2] + 2 * b[1] + b[0]
    if b[3] == 0:
        return hi, mid, lo
    wx = (b[2], b[1])
    if wx == (0, 0):
        return hi, mid, 8 + b[0]
    if wx == (0, 1):
        return hi, 8 + b[4], 4 * b[6] + 2 * b[5] + b[0]
    if wx == (1, 0):
        return 8 + b[7], mid, 4 * b[9] + 2 * b[8] + b[0]
    st = (b[6], b[5])
    if st == (0, 0):
        return 8 + b[7], 8 + b[4], 4 * b[9] + 2 * b[8] + b[0]
    if st == (0, 1):
        return 8 + b[7], 4 * b[9] + 2 * b[8] + b[4], 8 + b[0]
    if st == (1, 0):
        return hi, 8 + b[4], 8 + b[0]
    return 8 + b[7], 8 + b[4], 8 + b[0]


def digits_to_declet(d2, d1, d0):
    """The canonical declet of three digits (hundreds, tens, units)."""

    def bits(x):
        return (x >> 3) & 1, (x >> 2) & 1, (x >> 1) & 1, x & 1

    a, b, c, d = bits(d2)
    e, f, g, h = bits(d1)
    i, j, k, m = bits(d0)
    table = {
        (0, 0, 0): (b, c, d, f, g, h, 0, j, k, m),
        (0, 0, 1): (b, c, d, f, g, h, 1, 0, 0, m),
        (0, 1, 0): (b, c, d, j, k, h, 1, 0, 1, m),
        (1, 0, 0): (j, k, d, f, g, h, 1, 1, 0, m),
        (1, 1, 0): (j, k, d, 0, 0, h, 1, 1, 1, m),
        (1, 0, 1): (f, g, d, 0, 1, h, 1, 1, 1, m),
        (0, 1, 1): (b, c, d, 1, 0, h, 1, 1, 1, m),
        (1, 1, 1): (0, 0, d, 1, 1, h, 1, 1, 1, m),
    }
    out = 0
    for bit in table[(a, e, i)]:
        out = (out << 1) | bit
    return out


def decode(raw):
    fmt = FORMATS.get(len(raw))
    if fmt is None:
        raise DecFloatError(f"a decimal float has 8 or 16 bytes, not {len(raw)}")
    nbits = len(raw) * 8
    v = int.from_bytes(raw, "little")
    sign = v >> (nbits - 1)
    comb = (v >> (nbits - 6)) & 0x1F
    if comb == 0x1F:
        return Decimal("-NaN" if sign else "NaN")
    if comb == 0x1E:
        return Decimal("-Infinity" if sign else "Infinity")
    cont_bits = fmt["cont_bits"]
    cont = (v >> (nbits - 6 - cont_bits)) & ((1 << cont_bits) - 1)
    if comb >> 3 == 0b11:
        exp_msb = (comb >> 1) & 0b11
        lead = 8 + (comb & 1)
    else:
        exp_msb = comb >> 3
        lead = comb & 0b111
    exponent = ((exp_msb << cont_bits) | cont) - fmt["bias"]
    digits = [lead]
    for k in range(fmt["declets"] - 1, -1, -1):
        digits.extend(declet_to_digits((v >> (10 * k)) & 0x3FF))
    coefficient = int("".join(map(str, digits)))
    return Decimal((sign, tuple(int(c) for c in str(coefficient)), exponent))


def encode(value, size):
    """Exact encoding, no rounding; raises DecFloatError when it cannot."""
    fmt = FORMATS[size]
    nbits = size * 8
    value = Decimal(value)
    sign = 1 if value.is_signed() else 0
    if value.is_nan():
        v = (sign << (nbits - 1)) | (0x1F << (nbits - 6))
        return v.to_bytes(size, "little")
    if value.is_infinite():
        v = (sign << (nbits - 1)) | (0x1E << (nbits - 6))
        return v.to_bytes(size, "little")
    _, digit_tuple, exponent = value.as_tuple()
    coefficient = int("".join(map(str, digit_tuple)) or "0")
    text = str(coefficient)
    if len(text) > fmt["digits"]:
        raise DecFloatError("decimal float coefficient too long")
    biased = exponent + fmt["bias"]
    if not 0 <= biased <= fmt["emax_biased"]:
        raise DecFloatError("decimal float exponent out of range")
    text = text.rjust(fmt["digits"], "0")
    lead = int(text[0])
    cont_bits = fmt["cont_bits"]
    exp_msb = biased >> cont_bits
    cont = biased & ((1 << cont_bits) - 1)
    if lead >= 8:
        comb = 0b11000 | (exp_msb << 1) | (lead & 1)
    else:
        comb = (exp_msb << 3) | lead
    v = (sign << (nbits - 1)) | (comb << (nbits - 6)) | (cont << (nbits - 6 - cont_bits))
    rest = text[1:]
    for k in range(fmt["declets"]):
        group = rest[3 * k : 3 * k + 3]
        declet = digits_to_declet(int(group[0]), int(group[1]), int(group[2]))
        v |= declet << (10 * (fmt["declets"] - 1 - k))
    return v.to_bytes(size, "little")


def to_text(value):
    if value.is_nan():
        return "-NaN" if value.is_signed() else "NaN"
    if value.is_infinite():
        return "-Infinity" if value.is_signed() else "Infinity"
    return str(value)
