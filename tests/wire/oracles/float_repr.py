"""Prints doubles with their shortest positional text, derived from repr().

Each line: the 64-bit pattern in hexadecimal, a space, the text. repr() gives
the shortest digits that read back as the same double; Decimal lays them out
without an exponent. Usage: float_repr.py SEED COUNT
"""
import random
import struct
import sys
from decimal import Decimal


def positional(x):
    t = format(Decimal(repr(x)), "f")
    if "." in t:
        t = t.rstrip("0").rstrip(".")
    return t


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    out = []
    n = 0
    while n < count:
        if n % 2 == 0:
            # Any bit pattern.
            bits = rng.getrandbits(64)
            x = struct.unpack("<d", struct.pack("<Q", bits))[0]
            if x != x or x in (float("inf"), float("-inf")):
                continue
        else:
            # Decimal-ish values: a few digits at a moderate scale.
            digits = rng.randint(1, 17)
            mant = rng.randrange(10 ** (digits - 1), 10 ** digits)
            exp = rng.randint(-30, 30)
            x = float(f"{'-' if rng.random() < 0.3 else ''}{mant}e{exp}")
            bits = struct.unpack("<Q", struct.pack("<d", x))[0]
        out.append(f"{bits:016x} {positional(x)}")
        n += 1
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
