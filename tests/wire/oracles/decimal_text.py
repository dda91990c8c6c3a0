"""Prints decimal texts with what Python's decimal module makes of them.

Each line: PRECISION TAB TEXT TAB EXPECTED, where EXPECTED is str(Decimal(TEXT))
(the scientific string) when the number fits the interchange format of that
precision without rounding, "!coefficient" when it has too many digits, and
"!exponent" when its exponent is out of range. Usage: decimal_text.py SEED COUNT
"""
import random
import sys
from decimal import Decimal

FORMATS = {16: (398, 767), 34: (6176, 12287)}


def random_text(rng, precision):
    bias, max_biased = FORMATS[precision]
    if rng.random() < 0.03:
        return rng.choice(["", "+", "-"]) + rng.choice(["inf", "Infinity", "NaN", "nan", "INF"])
    ndigits = rng.choice([1, 2, 3, rng.randint(1, precision), precision, precision + 1])
    coeff = "".join(rng.choice("0123456789") for _ in range(ndigits))
    if rng.random() < 0.2:
        coeff = "0" * rng.randint(1, 4) + coeff
    # Target exponent: anywhere, or close to either end of the range.
    q = rng.choice([
        rng.randint(-bias - 3, max_biased - bias + 3),
        rng.randint(-bias - 2, -bias + 2),
        rng.randint(max_biased - bias - 2, max_biased - bias + 2),
        rng.randint(-12, 6),
    ])
    # Put a point somewhere and move the rest into the exponent.
    frac_len = rng.randint(0, len(coeff))
    if frac_len == 0 and rng.random() < 0.5:
        mant = coeff
    else:
        cut = len(coeff) - frac_len
        mant = coeff[:cut] + "." + coeff[cut:]
    e = q + frac_len
    if rng.random() < 0.3 and e == 0:
        exp = ""
    else:
        marker = rng.choice("eE")
        sign = "-" if e < 0 else rng.choice(["", "+"])
        exp = f"{marker}{sign}{'0' * rng.randint(0, 1)}{abs(e)}"
    if mant.startswith(".") and rng.random() < 0.5:
        mant = "0" + mant
    return rng.choice(["", "", "+", "-"]) + mant + exp


def expected(text, precision):
    bias, max_biased = FORMATS[precision]
    d = Decimal(text)
    if not d.is_finite():
        return str(d)
    sign, digits, exponent = d.as_tuple()
    significant = len(digits) if any(digits) else 0
    if significant > precision:
        return "!coefficient"
    if not 0 <= exponent + bias <= max_biased:
        return "!exponent"
    return str(d)


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        precision = 16 if i % 2 == 0 else 34
        text = random_text(rng, precision)
        lines.append(f"{precision}\t{text}\t{expected(text, precision)}")
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
