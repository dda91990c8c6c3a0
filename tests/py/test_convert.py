"""Value conversion, type by type: Python values to fields, over the wire to
the simulator's Z_SIM_ECHO (which reports what it decoded in E_SEEN and
sends every I_ value back as the E_ value of the same type), and back to
Python."""

import datetime
import math
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import lomra

ECHO = "Z_SIM_ECHO"


def echo(conn, name, value, **options):
    """Sends one I_ parameter; returns the E_ value that came back and what
    the simulator saw."""
    result = conn.call(ECHO, {"I_" + name: value}, options)
    seen = result["E_SEEN"]
    assert seen.startswith(f"I_{name}="), seen
    return result["E_" + name], seen[len(name) + 3:]


def echo_requests(sim):
    return len(sim.messages(step="call", function=ECHO))


def shown(value):
    """A refused value as a refusal shows it: a str in double quotes,
    anything else as its repr."""
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return repr(value)


def dates_back(conn, dats="", tims="", **options):
    """E_DATS and E_TIMS as the server holds the texts given (Z_E1_DATES of
    the extended simulator sends them without checking them)."""
    result = conn.call("Z_E1_DATES", {"DATS": dats, "TIMS": tims}, options)
    return result["E_DATS"], result["E_TIMS"]


# --- Python to field and back ---------------------------------------------------------

ROUND_TRIPS = [
    # (field, value sent, value returned, what the server decoded)
    ("CHAR", "abc", "abc", "abc       "),
    ("CHAR", "Grüße €", "Grüße €", "Grüße €   "),
    ("STRING", "", "", ""),
    ("STRING", "two\nlines ü  ", "two\nlines ü  ", "two\nlines ü  "),
    ("NUMC", "00000042", "00000042", "00000042"),
    ("DATS", "20240517", "20240517", "20240517"),
    ("DATS", datetime.date(2024, 5, 17), "20240517", "20240517"),
    ("DATS", datetime.datetime(2024, 5, 17, 10, 0), "20240517", "20240517"),
    ("TIMS", "123456", "123456", "123456"),
    ("TIMS", datetime.time(1, 2, 3), "010203", "010203"),
    ("FLOAT", 1.5, 1.5, "1.5"),
    ("FLOAT", "1e3", 1000.0, "1000.0"),
    ("FLOAT", " -2.5 ", -2.5, "-2.5"),
    ("FLOAT", Decimal("1.5"), 1.5, "1.5"),
    ("FLOAT", 10, 10.0, "10.0"),
    ("FLOAT", True, 1.0, "1.0"),
    ("FLOAT", float("-inf"), float("-inf"), "-inf"),
    ("INT4", 42, 42, "42"),
    ("INT4", " -42 ", -42, "-42"),
    ("INT4", "+7", 7, "7"),
    ("INT4", True, 1, "1"),
    ("INT1", 255, 255, "255"),
    ("INT2", -32768, -32768, "-32768"),
    ("INT8", 2**63 - 1, 2**63 - 1, str(2**63 - 1)),
    ("INT8", -(2**63), -(2**63), str(-(2**63))),
    ("RAW", b"\x01\x02", b"\x01\x02" + bytes(14), "0102" + "00" * 14),
    ("RAW", bytearray(b"\xff"), b"\xff" + bytes(15), "ff" + "00" * 15),
    ("RAW", [1, 2, 3], b"\x01\x02\x03" + bytes(13), "010203" + "00" * 13),
    ("XSTRING", b"", b"", ""),
    ("XSTRING", memoryview(b"ab"), b"ab", "6162"),
    ("XSTRING", (0, 255), b"\x00\xff", "00ff"),
    ("PACKED", 12, Decimal("12.00"), "12.00"),
    ("PACKED", "12.5", Decimal("12.50"), "12.50"),
    ("PACKED", 1.5, Decimal("1.50"), "1.50"),
    ("PACKED", Decimal("-0.01"), Decimal("-0.01"), "-0.01"),
    ("PACKED0", 7, Decimal("7"), "7"),
    ("DF16", Decimal("1E+2"), Decimal("1E+2"), "1E+2"),
    ("DF16", 3, Decimal("3"), "3"),
    ("DF34", "-0.000001", Decimal("-0.000001"), "-0.000001"),
    ("UTCLONG", "2024-05-17 10:00:00.1234567", "2024-05-17 10:00:00.1234567", "2024-05-17 10:00:00.1234567"),
    ("UTCLONG", "", "", ""),
    ("UTCLONG", 1, "0001-01-01 00:00:00.0000000", "0001-01-01 00:00:00.0000000"),
]


@pytest.mark.parametrize("field,value,back,seen", ROUND_TRIPS,
                         ids=[f"{r[0]}-{i}" for i, r in enumerate(ROUND_TRIPS)])
def test_round_trip(mconn, field, value, back, seen):
    got, server_saw = echo(mconn, field, value)
    assert server_saw == seen
    assert type(got) is type(back)
    assert got == back


def test_special_decimals_round_trip(mconn):
    got, _ = echo(mconn, "DF16", "NaN")
    assert got.is_nan()
    got, _ = echo(mconn, "DF34", "-Infinity")
    assert got == Decimal("-Infinity")


def test_lower_case_key_reaches_the_parameter(mconn, sim):
    result = mconn.call(ECHO, {"i_int4": 5, "I_Char": "x"}, {})
    assert result["E_INT4"] == 5 and result["E_CHAR"] == "x"
    assert "I_INT4=5" in result["E_SEEN"] and "I_CHAR=x" in result["E_SEEN"]


# --- refusals: TypeError, before anything is sent -------------------------------------

REFUSALS = [
    ("CHAR", 5, "a string"),
    ("STRING", None, "a string"),
    ("STRING", b"x", "a string"),
    ("DATS", 20240517, "a date or string"),
    ("DATS", datetime.time(1, 2), "a date or string"),
    ("TIMS", 1.5, "a time or string"),
    ("TIMS", datetime.date(2024, 1, 1), "a time or string"),
    ("FLOAT", "abc", "a float"),
    ("FLOAT", "1,5", "a float"),
    ("FLOAT", [], "a number or string"),
    ("INT4", "4 2", "an integer"),
    ("INT4", "+", "an integer"),
    ("INT4", "", "an integer"),
    ("INT4", "0x10", "an integer"),
    ("INT4", 2.5, "an integer"),
    ("RAW", "abc", "bytes"),
    ("RAW", [256], "bytes"),
    ("RAW", [-1], "bytes"),
    ("RAW", [1, "2"], "bytes"),
    ("XSTRING", 5, "bytes"),
    ("XSTRING", {1: 2}, "bytes"),
    ("PACKED", None, "a number or string"),
    ("NUMC", b"1", "a number or string"),
    ("DF34", [1], "a number or string"),
    ("UTCLONG", 1.5, "a string, integer or bytes"),
    ("UTCLONG", None, "a string, integer or bytes"),
]


@pytest.mark.parametrize("field,value,what", REFUSALS, ids=[f"{r[0]}-{i}" for i, r in enumerate(REFUSALS)])
def test_refused_value(mconn, sim, field, value, what):
    mconn.function_description(ECHO)  # described: the refusal must not need the server
    before = echo_requests(sim)
    with pytest.raises(TypeError) as info:
        mconn.call(ECHO, {"I_CHAR": "first", "I_" + field: value}, {})
    assert str(info.value) == (f'{what} required for parameter "I_{field}", '
                               f'got {type(value).__name__} {shown(value)}')
    assert echo_requests(sim) == before


# An int beyond 64 bits is no wrong type: the refusal names the value and the field.
OUT_OF_RANGE = [("INT8", 2**63, "Int8"), ("INT8", -(2**63) - 1, "Int8"), ("INT4", 2**100, "Int4"),
                ("UTCLONG", 2**100, "Utclong")]


@pytest.mark.parametrize("field,value,type_name", OUT_OF_RANGE, ids=[f"{r[0]}-{i}" for i, r in enumerate(OUT_OF_RANGE)])
def test_out_of_range_integer(mconn, sim, field, value, type_name):
    mconn.function_description(ECHO)
    before = echo_requests(sim)
    with pytest.raises(OverflowError) as info:
        mconn.call(ECHO, {"I_CHAR": "first", "I_" + field: value}, {})
    assert str(info.value) == f'integer {value} is out of range for parameter "I_{field}" of type {type_name}'
    assert echo_requests(sim) == before


class FailingDate(datetime.date):
    @property
    def year(self):
        raise ZeroDivisionError("no year")


class OtherFormat(datetime.date):
    def strftime(self, fmt):
        return "2024-05-17"


class FailingIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


class Indexable:
    def __index__(self):
        return 77


class FailingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float")


def test_python_errors_raised_by_a_conversion_pass_unchanged(mconn):
    with pytest.raises(ZeroDivisionError, match="no year"):
        mconn.call(ECHO, {"I_DATS": FailingDate(2024, 1, 1)}, {})
    # A date is read by its fields, whatever its strftime says.
    assert echo(mconn, "DATS", OtherFormat(2024, 5, 17)) == ("20240517", "20240517")
    with pytest.raises(ZeroDivisionError, match="no index"):
        mconn.call(ECHO, {"I_INT4": FailingIndex()}, {})
    with pytest.raises(ZeroDivisionError, match="no float"):
        mconn.call(ECHO, {"I_FLOAT": FailingFloat()}, {})
    # The integer protocol is honoured where an integer is wanted.
    assert mconn.call(ECHO, {"I_INT4": Indexable()}, {})["E_INT4"] == 77


# --- field values back to Python: rstrip and dtime -------------------------------------


def test_rstrip_cuts_char_but_never_string(mconn):
    assert echo(mconn, "CHAR", "ABC")[0] == "ABC"
    assert echo(mconn, "CHAR", "ABC", rstrip=False)[0] == "ABC       "
    # A Numc travels zero-filled: nothing trails it to strip.
    assert echo(mconn, "NUMC", "12", rstrip=False)[0] == "00000012"
    assert echo(mconn, "STRING", "x  ")[0] == "x  "
    assert echo(mconn, "STRING", "x  ", rstrip=False)[0] == "x  "


# Dates and times as a server may hold them, read back from Z_E1_DATES,
# which sends any text: the client itself sends only eight or six digits.
DATES = [
    ("20240517", datetime.date(2024, 5, 17)),
    ("00000000", None),
    ("0", None),          # all zeros once the blanks are trimmed
    (" 000", None),
    ("", None),
    ("        ", None),
]


@pytest.mark.parametrize("text,expected", DATES)
def test_date_with_dtime(ext_conn, text, expected):
    assert dates_back(ext_conn, dats=text, dtime=True)[0] == expected


def test_dates_and_times_without_dtime_stay_text(ext_conn):
    assert dates_back(ext_conn, dats="0") == ("0       ", "      ")


@pytest.mark.parametrize("text,message", [
    ("2024-05-", 'Date value "2024-05-" is not eight digits'),
    ("2024051", 'Date value "2024051 " is not eight digits'),
    ("0000000A", 'Date value "0000000A" is not eight digits'),
])
def test_date_that_is_no_date(ext_conn, text, message):
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        dates_back(ext_conn, dats=text, dtime=True)
    assert (str(info.value), info.value.code) == (message, 17)


@pytest.mark.parametrize("text,expected", [
    ("123456", datetime.time(12, 34, 56)),
    ("000000", datetime.time(0, 0)),
    ("", None),
])
def test_time_with_dtime(ext_conn, text, expected):
    assert dates_back(ext_conn, dats="20240517", tims=text, dtime=True)[1] == expected


def test_time_that_is_no_time(ext_conn):
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        dates_back(ext_conn, dats="20240517", tims="12:00:", dtime=True)
    assert (str(info.value), info.value.code) == ('Time value "12:00:" is not six digits', 17)


@pytest.mark.parametrize("field,text", [("DATS", "20241301"), ("DATS", "00000101"), ("TIMS", "240000")])
def test_impossible_date_or_time_raises_the_datetime_error(mconn, field, text):
    # Sent as they are (eight and six digits), read back through datetime.
    with pytest.raises(ValueError):
        echo(mconn, field, text, dtime=True)


# --- values the server sent that do not decode ------------------------------------------

UNDECODED = [
    ("E_FLOAT", "Float", 3),
    ("E_INT4", "Int4", 2),
    ("E_PACKED", "Bcd", 4),
    ("E_UTCLONG", "Utclong", 1),
    ("E_ODD", "Unknown(z)", 4),
]


@pytest.mark.parametrize("field,type_name,size", UNDECODED)
def test_undecoded_value_fails_when_read(ext_conn, field, type_name, size):
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        ext_conn.call("Z_E1_UNDECODED", {"FIELD": field}, {})
    assert info.value.code == 17
    assert str(info.value) == f'field "{field}" of type {type_name} could not be decoded ({size} bytes)'


def test_invalid_text_from_the_server_arrives_with_replacement_characters(ext_conn):
    result = ext_conn.call("Z_E1_TEXTS", {}, {})
    assert result["E_STRING"] == "ok \ufffd\ufffd end"
    assert result["E_CHAR"].startswith("a\ufffd")
    with pytest.raises(lomra.ABAPApplicationError) as info:
        ext_conn.call("Z_E1_BAD_ERROR", {}, {})
    assert "\ufffd" in str(info.value) and info.value.key == "K\ufffd"


def test_structure_without_dictionary_type_travels_as_its_image(ext_conn):
    result = ext_conn.call("Z_E1_RAW_STRUCT", {"I_RAWSTRUCT": b"\x01\x02"}, {})
    assert result["E_RAWSTRUCT"] == b"\x01\x02" + bytes(6)
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        ext_conn.call("Z_E1_RAW_STRUCT", {"T_NOTYPE": []}, {})
    assert (str(info.value), info.value.code) == ('table parameter "T_NOTYPE" has no row type', 17)


def test_structures_and_tables_with_a_dictionary_type_convert_through_their_layout(conn, sim):
    # A row field its value does not fit fails before the call is sent.
    before = len(sim.messages(step="call", function="Z_SIM_TABLE"))
    with pytest.raises(TypeError) as info:
        conn.call("Z_SIM_TABLE", {"ROW_COUNT": 1, "T_IN": [{"ID": "seven"}]}, {})
    assert str(info.value) == 'an integer required for parameter "T_IN[0]-ID", got str "seven"'
    assert len(sim.messages(step="call", function="Z_SIM_TABLE")) == before
    result = conn.call("Z_SIM_TABLE", {"ROW_COUNT": 1}, {})
    assert result["T_OUT"] == [{"ID": 1, "NAME": "ROW 00001", "AMOUNT": Decimal("1.25"), "DAY": "20240101",
                                "SCORE": 0.25}]


# --- properties ------------------------------------------------------------------------

PROPERTY = settings(max_examples=60, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=40)


@PROPERTY
@given(st.integers(min_value=-(2**63), max_value=2**63 - 1))
def test_int8_round_trip(mconn, v):
    got, seen = echo(mconn, "INT8", v)
    assert got == v and seen == str(v)


@PROPERTY
@given(st.integers(min_value=-(2**31), max_value=2**31 - 1).map(str))
def test_int4_text_round_trip(mconn, text):
    assert echo(mconn, "INT4", text)[0] == int(text)


@PROPERTY
@given(st.floats(allow_nan=True, allow_infinity=True))
def test_float_round_trip(mconn, v):
    got, _ = echo(mconn, "FLOAT", v)
    assert (math.isnan(got) and math.isnan(v)) or (got == v and math.copysign(1, got) == math.copysign(1, v))


@PROPERTY
@given(texts)
def test_string_round_trip(mconn, text):
    got, seen = echo(mconn, "STRING", text)
    assert got == text and seen == text


@PROPERTY
@given(st.binary(max_size=64))
def test_xstring_round_trip(mconn, data):
    assert echo(mconn, "XSTRING", data)[0] == data


@PROPERTY
@given(st.decimals(allow_nan=False, allow_infinity=False, places=None).filter(
    lambda d: len(d.as_tuple().digits) <= 34 and -6000 < d.as_tuple().exponent < 6000))
def test_decfloat34_round_trip(mconn, d):
    got, _ = echo(mconn, "DF34", d)
    assert got == d
