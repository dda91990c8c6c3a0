"""Prints Gregorian instants with their UTCLONG wire value, from datetime.

The value counts 100 ns ticks from 1582-10-15 00:00:00, the first Gregorian
day, which is day 577737 of the wire calendar; the wire value is that count
plus one. Each line: VALUE TAB CANONICAL TEXT TAB VARIANT TEXT, where the
variant spells the same instant another accepted way.
Usage: utclong_datetime.py SEED COUNT
"""
import datetime
import random
import sys

FIRST_GREGORIAN = datetime.datetime(1582, 10, 15)
FIRST_GREGORIAN_DAY = 577737
TICKS_PER_DAY = 864000000000


def variant(rng, dt, tick):
    date = rng.choice([
        f"{dt.year:04}-{dt.month:02}-{dt.day:02}",
        f"{dt.year}-{dt.month}-{dt.day}",
        f"+{dt.year}-0{dt.month}-{dt.day:02}",
    ])
    sep = rng.choice(["T", " ", "   ", "T  "])
    clock = rng.choice([
        f"{dt.hour:02}:{dt.minute:02}:{dt.second:02}",
        f"{dt.hour}:{dt.minute}:{dt.second}",
    ])
    frac = f"{dt.microsecond:06}{tick}"
    if frac == "0000000" and rng.random() < 0.5:
        tail = ""
    else:
        tail = "." + (frac.rstrip("0") or "0")
    pad = rng.choice(["", " ", "\t"])
    return f"{pad}{date}{sep}{clock}{tail}{pad}"


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    span = (datetime.datetime(9999, 12, 31, 23, 59, 59, 999999) - FIRST_GREGORIAN)
    span_us = span // datetime.timedelta(microseconds=1)
    lines = []
    for i in range(count):
        us = rng.randrange(span_us + 1)
        if i % 10 == 0:
            us -= us % 1000000  # whole seconds now and then
        dt = FIRST_GREGORIAN + datetime.timedelta(microseconds=us)
        tick = rng.randrange(10) if i % 10 else 0
        value = FIRST_GREGORIAN_DAY * TICKS_PER_DAY + us * 10 + tick + 1
        canonical = (f"{dt.year:04}-{dt.month:02}-{dt.day:02} "
                     f"{dt.hour:02}:{dt.minute:02}:{dt.second:02}.{dt.microsecond:06}{tick}")
        lines.append(f"{value}\t{canonical}\t{variant(rng, dt, tick)}")
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
