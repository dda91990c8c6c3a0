"""UTCLONG: an 8-byte little-endian count; 0 is the initial value, any other
value v is v - 1 ticks of 100 ns since 0001-01-01 00:00:00, Julian calendar
before 1582-10-15 and Gregorian from then on."""

TICKS_PER_DAY = 864000000000
GREGORIAN_START = 577737  # day number of 1582-10-15


def day_to_date(day):
    if day < GREGORIAN_START:
        c = day + 1753506
        base = -4800
    else:
        b = (4 * day + 7013875) // 146097
        c = day + 1753468 - (146097 * b) // 4
        base = 100 * b - 4800
    d = (4 * c + 3) // 1461
    c = c - (1461 * d) // 4
    m = (5 * c + 2) // 153
    dd = c - (153 * m + 2) // 5 + 1
    mo = m + 3 - 12 * (m // 10)
    y = base + d + m // 10
    return y, mo, dd


def date_to_day(y, mo, dd):
    a = (14 - mo) // 12
    yy = y + 4800 - a
    mm = mo + 12 * a - 3
    if (y, mo, dd) < (1582, 10, 15):
        j = dd + (153 * mm + 2) // 5 + 365 * yy + yy // 4 - 32083
    else:
        j = dd + (153 * mm + 2) // 5 + 365 * yy + yy // 4 - yy // 100 + yy // 400 - 32045
    return j - 1721424


def to_text(value):
    if value == 0:
        return ""
    t = value - 1
    day, r = divmod(t, TICKS_PER_DAY)
    y, mo, dd = day_to_date(day)
    hh = r // 36000000000
    mi = (r // 600000000) % 60
    ss = (r // 10000000) % 60
    frac = r % 10000000
    return f"{y:04}-{mo:02}-{dd:02} {hh:02}:{mi:02}:{ss:02}.{frac:07}"


def from_parts(y, mo, dd, hh=0, mi=0, ss=0, frac=0):
    day = date_to_day(y, mo, dd)
    if day_to_date(day) != (y, mo, dd):
        raise ValueError(f"{y:04}-{mo:02}-{dd:02} is not a date")
    return day * TICKS_PER_DAY + (hh * 3600 + mi * 60 + ss) * 10000000 + frac + 1
