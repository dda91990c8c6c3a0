"""Expected asXML number texts, computed with Python's float formatting and
decimal.

Modes (each prints one case per line):

  render SEED COUNT   "<64-bit pattern in hex> <text>", where text is the
                      float's rendering: "0" for zero; otherwise the value
                      rounded to 32 significant digits and written in fixed
                      notation with trailing zeros (and a bare point) removed;
                      "-" when the value has no rendering (NaN, infinities,
                      magnitudes whose rounding reaches 10^32). Computed both
                      with "%.*e"/"%.*f" and with exact Decimal arithmetic;
                      the two must agree and the text must read back as the
                      same float.
  float SEED COUNT    "<hex of text> <64-bit pattern in hex>" for texts that
                      float() accepts, "<hex of text> -" for texts it refuses,
                      "<hex of text> nan" for NaN.
  int SEED COUNT      "<hex of text> <decimal value>" for texts that int()
                      accepts within the signed 64-bit range, "<hex> -" else.
"""
import random
import struct
import sys
from decimal import Decimal, Context, ROUND_HALF_EVEN

INF = float("inf")


def bits_of(x):
    return "%016x" % struct.unpack("<Q", struct.pack("<d", x))[0]


def float_of(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def render(x):
    if x != x or x in (INF, -INF):
        return "-"
    if x == 0:
        return "0"
    s = "%.31e" % x
    e = int(s[s.index("e") + 1:])
    # The same exponent from exact decimal arithmetic.
    d = Decimal(x)
    r32 = Context(prec=32, rounding=ROUND_HALF_EVEN).plus(d)
    assert r32.adjusted() == e, (x, s, r32)
    places = 31 - e
    if places < 0:
        return "-"
    t = "%.*f" % (places, x)
    q = d.quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_EVEN,
                   context=Context(prec=5000))
    assert format(q, "f") == t, (x, t, q)
    if "." in t:
        t = t.rstrip("0").rstrip(".")
    assert float(t) == x, (x, t)
    return t


def render_cases(rng, count):
    specials = [0.1, 1.5, 100.0, -2.25, 9.99e31, 1e31, 9.999999999999999e31, 1e32, 1e-7,
                5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.5,
                123456789012345678901234567890.0, 2.0 ** 100, 2.0 ** 106, 2.0 ** 107,
                0.3, 1 / 3, -0.0, INF, -INF, float("nan")]
    for x in specials:
        yield x
    n = len(specials)
    while n < count:
        k = n % 4
        if k == 0:
            x = float_of(rng.getrandbits(64))
        elif k == 1:
            x = float("%d.%de%d" % (rng.randrange(10 ** 6), rng.randrange(10 ** 6),
                                    rng.randrange(-40, 40)))
        elif k == 2:
            x = float(rng.randrange(-10 ** 18, 10 ** 18)) * 2.0 ** rng.randrange(-60, 50)
        else:
            # Near the largest rendered magnitude.
            x = rng.uniform(9.9e31, 1.01e32) * rng.choice([1, -1])
        yield x
        n += 1


PIECES = ["0", "1", "7", "42", "123456789", "00", ".", ".", "e", "E", "+", "-", "e-", "e+",
          "5", "308", "309", "400", "324", "9" * 20, "inf", "INF", "Infinity", "nan", "NaN",
          "nan(1)", "0x1p3", "x", " ", "\t", "\n", "1.5", "2e10", ",", "infinit", "i"]


def rand_text(rng):
    return "".join(rng.choice(PIECES) for _ in range(rng.randrange(0, 5)))


def float_cases(rng, count):
    fixed = ["1.5", "+1.5", " -2 ", "1e400", "-1e400", "1e-400", "1e", ".5", "5.", ".",
             "nan", "-nan", "+inf", "Infinity", "nan(1)", "0x1p3", "1,5", "", "  ",
             "4.9e-324", "2.4e-324", "2.5e-324", "1.7976931348623157e308",
             "1.7976931348623159e308", "0." + "0" * 400 + "1e400", "1" * 400 + "e-400"]
    out = list(fixed)
    while len(out) < count:
        out.append(rand_text(rng))
    for t in out:
        try:
            v = float(t)
        except ValueError:
            yield t, "-"
            continue
        yield t, ("nan" if v != v else bits_of(v))


def int_cases(rng, count):
    fixed = ["42", " 42 ", "+42", "-42", "-0", "", "4x", "- 4", "--4", "+", "0x10", "1e3",
             "9223372036854775807", "9223372036854775808", "-9223372036854775808",
             "-9223372036854775809", "00000000000000000000000042", "1.0"]
    out = list(fixed)
    digits = "0123456789"
    while len(out) < count:
        k = rng.randrange(4)
        if k == 0:
            t = rng.choice(["", "+", "-"]) + "".join(rng.choice(digits)
                                                    for _ in range(rng.randrange(1, 22)))
        elif k == 1:
            t = str(rng.randrange(-2 ** 64, 2 ** 64))
        else:
            t = rand_text(rng)
        out.append(t)
    for t in out:
        try:
            v = int(t)
        except ValueError:
            yield t, "-"
            continue
        if t.strip() == "":
            yield t, "-"
        elif -2 ** 63 <= v < 2 ** 63:
            yield t, str(v)
        else:
            yield t, "-"


def main():
    mode, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    lines = []
    if mode == "render":
        for x in render_cases(rng, count):
            lines.append("%s %s" % (bits_of(x), render(x)))
    elif mode == "float":
        for t, v in float_cases(rng, count):
            lines.append("%s %s" % (t.encode().hex() or "=", v))
    elif mode == "int":
        for t, v in int_cases(rng, count):
            lines.append("%s %s" % (t.encode().hex() or "=", v))
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
