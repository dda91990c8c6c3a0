"""Large tables and the direct reading of table rows: a table of more rows
than a container has records, as a server sends it (compressed), read whole
through the binding; other threads running while it is converted; and rows
of every kind the binding reads straight from their bytes, against values
spelt out here (white space, characters beyond Latin-1, surrogates, the
initial date, negative zero, integer limits), in both the row-record and the
compressed form."""

import datetime
import math
import random
import threading
import time
from decimal import Decimal

import pytest

from conftest import lomra
from extsim import KINDS
from sim import decfloat, values
from sim.tables import bulk_row

# More rows than the 100000 records a container may hold.
ROWS = 150_000


def rows_of(conn, n, options=None, form=None):
    params = {"ROW_COUNT": n}
    if form is not None:
        params["FORM"] = form
    return conn.call("Z_SIM_ROWS", params, options or {})["T_ROWS"]


# --- many rows ---------------------------------------------------------------------------------


def test_a_table_of_more_rows_than_a_container_has_records(mconn):
    rows = rows_of(mconn, ROWS)
    assert len(rows) == ROWS
    assert rows == [bulk_row(i) for i in range(1, ROWS + 1)]
    # The field names are the same objects in every row.
    assert all(a is b for a, b in zip(rows[0], rows[-1]))


def test_a_large_table_with_dates(mconn):
    rows = rows_of(mconn, ROWS, {"dtime": True})
    for i in (1, 2, 3, ROWS):
        want = bulk_row(i)
        assert rows[i - 1]["CREATED"] == datetime.datetime.strptime(want["CREATED"], "%Y%m%d").date()
        assert rows[i - 1]["CHANGED"] == (None if i % 3 == 0 else
                                          datetime.datetime.strptime(want["CHANGED"], "%Y%m%d").date())
        assert rows[i - 1]["AMOUNT"] == want["AMOUNT"]


def test_row_records_stop_at_the_record_limit(mconn):
    # The same table sent one record per row cannot fit one container.
    with pytest.raises(lomra.RFCError, match="more than 100000"):
        rows_of(mconn, 100_000, form="R")
    assert len(rows_of(mconn, 99_990, form="R")) == 99_990


def test_other_threads_run_while_a_long_table_is_converted(mconn):
    rows_of(mconn, ROWS)  # the simulator has the rows ready
    stop = threading.Event()
    worst = []

    def tick():
        last = time.perf_counter()
        gap = 0.0
        while not stop.is_set():
            now = time.perf_counter()
            gap = max(gap, now - last)
            last = now
        worst.append(gap)

    ticker = threading.Thread(target=tick)
    ticker.start()
    t0 = time.perf_counter()
    try:
        rows = rows_of(mconn, ROWS)
    finally:
        total = time.perf_counter() - t0
        stop.set()
        ticker.join()
    assert len(rows) == ROWS
    # Holding the interpreter lock for the whole conversion would stop the
    # ticker for about half the call.
    assert worst[0] < total / 4, (worst[0], total)


# --- rows of every kind -----------------------------------------------------------------------

FIELD = {f.name: f for f in KINDS.fields}


def units(text):
    """UTF-16LE code units, lone surrogates included."""
    return text.encode("utf-16-le", "surrogatepass")


def image(**raw):
    """A ZE1_KINDS image from the bytes of each field."""
    out = bytearray(KINDS.size)
    for name, data in raw.items():
        f = FIELD[name]
        assert len(data) == f.intlen, name
        out[f.offset:f.offset + f.intlen] = data
    return bytes(out)


def ints(i1, i2, i4, i8, fl, code):
    return {"I1": bytes([i1]), "I2": i2.to_bytes(2, "little", signed=True),
            "I4": i4.to_bytes(4, "little", signed=True), "I8": i8.to_bytes(8, "little", signed=True),
            "FL": values.encode("F", fl, 8), "CODE": code.to_bytes(4, "little", signed=True)}


# (field bytes, read with rstrip (the default), with rstrip off, with dtime)
KIND_ROWS = [
    (dict(C4=units("AB  "), C3=units("xyz"), NUMC=units("0042"), DATS=units("20240229"), TIMS=units("123456"),
          P0=bytes.fromhex("12345c"), P2=bytes.fromhex("1234567c"), RAW=bytes([0, 1, 2, 3]),
          DF16=decfloat.encode(Decimal("1.5"), 8), code=units("42  "), **ints(255, -32768, -2**31, 2**63 - 1, 1.5, 7)),
     dict(C4="AB", C3="xyz", NUMC="0042", DATS="20240229", TIMS="123456", P0=Decimal("12345"),
          P2=Decimal("12345.67"), I1=255, I2=-32768, I4=-2**31, I8=2**63 - 1, FL=1.5, RAW=b"\x00\x01\x02\x03",
          DF16=Decimal("1.5"), CODE=7, code=42),
     dict(C4="AB  "),
     dict(C4="AB", DATS=datetime.date(2024, 2, 29), TIMS=datetime.time(12, 34, 56))),
    # White space of every width, the initial date, blank times, negative zero.
    (dict(C4=units("A\u3000\u00a0\u0085"), C3=units("Zü "), NUMC=units("    "), DATS=units("00000000"),
          TIMS=units("      "), P0=bytes.fromhex("00000d"), P2=bytes.fromhex("0000000d"), RAW=b"\xff" * 4,
          DF16=decfloat.encode(Decimal("-0.001"), 8), code=units(" 42 "), **ints(0, 32767, 2**31 - 1, -2**63, -0.0, -1)),
     dict(C4="A", C3="Zü", NUMC="", DATS="00000000", TIMS="      ", P0=Decimal("-0"), P2=Decimal("-0.00"), I1=0,
          I2=32767, I4=2**31 - 1, I8=-2**63, FL=-0.0, RAW=b"\xff" * 4, DF16=Decimal("-0.001"), CODE=-1, code=42),
     dict(C4="A\u3000\u00a0\u0085", C3="Zü ", NUMC="    "),
     dict(DATS=None, TIMS=None)),
    # Beyond Latin-1; a control character that is no white space; surrogates.
    (dict(C4=units("中文 \x1f"), C3=units("\U0001F600 "), NUMC=units("\ud800AB "), DATS=units("        "),
          TIMS=units("000000"), P0=bytes.fromhex("00000c"), P2=bytes.fromhex("0000012f"), RAW=bytes(4),
          DF16=decfloat.encode(Decimal("0"), 8), code=units("+9  "), **ints(1, -1, 0, 0, math.inf, 0)),
     dict(C4="中文 \x1f", C3="\U0001F600", NUMC="\ufffdAB", DATS="        ", TIMS="000000", P0=Decimal("0"),
          P2=Decimal("0.12"), I1=1, I2=-1, I4=0, I8=0, FL=math.inf, RAW=bytes(4), DF16=Decimal("0"), CODE=0, code=9),
     dict(C3="\U0001F600 ", NUMC="\ufffdAB "),
     dict(DATS=None, TIMS=datetime.time(0, 0))),
    # A NUL character stays; Latin-1 white space only is empty; a lone
    # surrogate at the end.
    (dict(C4=units("A\x00B\u2000"), C3=units("\u00a0\u00a0\u00a0"), NUMC=units("99\udc00 "),
          DATS=units(" 2024022"), TIMS=units("235959"), P0=bytes.fromhex("99999d"), P2=bytes.fromhex("9999999d"),
          RAW=b"abcd", DF16=decfloat.encode(Decimal("1E+10"), 8), code=units("0   "),
          **ints(128, 256, 65536, 2**32, 2.5, 2**31 - 1)),
     dict(C4="A\x00B", C3="", NUMC="99\ufffd", DATS=" 2024022", TIMS="235959", P0=Decimal("-99999"),
          P2=Decimal("-99999.99"), I1=128, I2=256, I4=65536, I8=2**32, FL=2.5, RAW=b"abcd", DF16=Decimal("1E+10"),
          CODE=2**31 - 1, code=0),
     dict(C4="A\x00B\u2000", C3="\u00a0\u00a0\u00a0", NUMC="99\ufffd "),
     None),  # " 2024022" is no date: this row is read without dtime only
]

OPTIONS = {"plain": ({}, 1), "rstrip off": ({"rstrip": False}, 2), "dtime": ({"dtime": True}, 3)}


def kinds(conn, images, options, form):
    return conn.call("Z_E1_KINDS", {"IMAGES": b"".join(images), "FORM": form}, options)["T_KINDS"]


@pytest.mark.parametrize("form", ["R", "Z"])
@pytest.mark.parametrize("option", list(OPTIONS))
def test_rows_of_every_kind(ext_conn, form, option):
    options, column = OPTIONS[option]
    cases = [c for c in KIND_ROWS if c[column] is not None]
    got = kinds(ext_conn, [image(**c[0]) for c in cases], options, form)
    want = [dict(c[1], **(c[column] if column != 1 else {})) for c in cases]
    assert got == want
    # Negative zero keeps its sign; repeated values of a column may share one
    # object, which must not carry anything over between the columns.
    assert math.copysign(1, got[1]["FL"]) == -1
    assert [list(r) for r in got] == [[f.name for f in KINDS.fields]] * len(cases)


ROW = KIND_ROWS[0][0]


@pytest.mark.parametrize("fields, options, error, text", [
    ({"DATS": units("2024-02-")}, {"dtime": True}, lomra.ExternalRuntimeError,
     'Date value "2024-02-" is not eight digits'),
    ({"DATS": units("20241301")}, {"dtime": True}, ValueError, "month"),
    ({"TIMS": units("12:00:")}, {"dtime": True}, lomra.ExternalRuntimeError, 'Time value "12:00:" is not six digits'),
    ({"TIMS": units("240000")}, {"dtime": True}, ValueError, "hour"),
    # A field the codec refuses fails the row, whatever an earlier field did.
    ({"P2": bytes.fromhex("1a34567c")}, {}, lomra.RFCError, "Bcd"),
    ({"DATS": units("2024-02-"), "P2": bytes.fromhex("1a34567c")}, {"dtime": True}, lomra.RFCError, "Bcd"),
])
@pytest.mark.parametrize("form", ["R", "Z"])
def test_a_row_that_cannot_be_read_raises(ext_conn, fields, options, error, text, form):
    good = image(**ROW)
    with pytest.raises(error, match=text):
        kinds(ext_conn, [good, good, image(**dict(ROW, **fields))], options, form)
    # The connection reads the next table as before.
    assert len(kinds(ext_conn, [good] * 3, options, form)) == 3


def packed(value, width):
    """The packed bytes of an integer of at most 2 * width - 1 digits."""
    return bytes.fromhex(f"{abs(value):0{2 * width - 1}d}{'d' if value < 0 else 'c'}")


@pytest.mark.parametrize("dtime", [False, True])
def test_columns_of_a_few_thousand_values_in_any_order(ext_conn, dtime):
    # Every column repeats values from a pool of thousands, in random order
    # and in runs, so that the value cache fills, grows, is shared between
    # the date and time columns and keeps values it met long before; each
    # value read must be the one in its row.
    rng = random.Random(7)
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    pools = {
        "C4": ["".join(rng.choice(letters) for _ in range(rng.randint(1, 4))) for _ in range(5000)],
        "NUMC": [f"{v:04d}" for v in rng.sample(range(10000), 6000)],
        "DATS": [(datetime.date(2010, 1, 1) + datetime.timedelta(days=d)).strftime("%Y%m%d")
                 for d in rng.sample(range(6000), 4500)],
        "TIMS": [f"{h:02d}{m:02d}{s:02d}" for h, m, s in
                 ((rng.randrange(24), rng.randrange(60), rng.randrange(60)) for _ in range(3000))],
        "P0": rng.sample(range(-99999, 100000), 2500),
        "P2": rng.sample(range(-9999999, 10000000), 3500),
    }
    images, want, previous = [], [], None
    for _ in range(30000):
        row = {name: rng.choice(pool) for name, pool in pools.items()}
        if previous is not None:
            row.update({name: previous[name] for name in pools if rng.random() < 0.4})
        previous = row
        images.append(image(**dict(ROW, C4=units(row["C4"].ljust(4)), NUMC=units(row["NUMC"]),
                                   DATS=units(row["DATS"]), TIMS=units(row["TIMS"]),
                                   P0=packed(row["P0"], 3), P2=packed(row["P2"], 4))))
        day, moment = row["DATS"], row["TIMS"]
        if dtime:
            day = datetime.datetime.strptime(day, "%Y%m%d").date()
            moment = datetime.time(int(moment[:2]), int(moment[2:4]), int(moment[4:]))
        want.append((row["C4"], row["NUMC"], day, moment, Decimal(row["P0"]), Decimal(row["P2"]).scaleb(-2)))
    got = kinds(ext_conn, images, {"dtime": dtime}, "Z")
    assert [(r["C4"], r["NUMC"], r["DATS"], r["TIMS"], r["P0"], r["P2"]) for r in got] == want
