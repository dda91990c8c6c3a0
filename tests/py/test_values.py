"""Values go to the server as they were given or not at all.

Char, Numc, Date and Time take what their field holds, whatever Python type
carried the value: a text too long for its field is refused, never cut; a
Numc takes digits only and travels zero-filled; a date or time takes its
digits (or a date or time object), or a blank text for the initial value.
One table of cases, kind x form of the value, runs at every place a value can
be (a scalar import, a structure field, a field of a table row) on both
routes (classic containers and basXML). An accepted value is checked in the
request that travelled (the simulator's log) and in what came back; a
refused one by its exception, which names the place and shows the value,
and by the request that was not sent. Fields a caller leaves out get ABAP's
initial values. Opens say where they failed: the host and port of a
refused connect, the step that was waiting when an open ran out of time.
"""

import dataclasses
import datetime
import socket
import struct
from decimal import Decimal

import pytest

from conftest import CLIENT, PASSWORD, USER, lomra, logon
import simctl

FUNCTIONS = ["Z_SIM_ECHO", "Z_SIM_STRUCT", "Z_SIM_TABLE", "Z_SIM_ROWS"]
SCENARIO = {"functions": {name: {"basxml": "X"} for name in FUNCTIONS}}
ROUTES = {"classic": "0", "basxml": "1"}


@pytest.fixture(scope="module")
def vsim():
    with simctl.Sim("--sysid", "VAL", config=SCENARIO) as s:
        yield s


@pytest.fixture(scope="module")
def conns(vsim):
    opened = {route: lomra.Connection(logon(vsim, basxml=mode), {}) for route, mode in ROUTES.items()}
    yield opened
    for c in opened.values():
        c.close()


def quoted(text):
    """A text as refusals show it: in double quotes, cut after 32
    characters with its length after it."""
    body = text if len(text) <= 32 else text[:32]
    shown = '"' + body.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return shown if len(text) <= 32 else f"{shown}... ({len(text)} characters)"


# --- where a value can be -----------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Place:
    """One field that a value can be given for."""
    name: str  # as refusals name it
    function: str
    width: int  # characters the field holds
    build: object  # value -> the call's params
    back: object = None  # result -> the value as the server held it (rstripped), when it comes back

    def params(self, value):
        return self.build(value)


def scalar(kind, width):
    return Place(f"I_{kind}", "Z_SIM_ECHO", width, lambda v: {f"I_{kind}": v},
                 lambda r: r[f"E_{kind}"])


def in_structure(field, width):
    return Place(f"I_ROW-{field}", "Z_SIM_STRUCT", width, lambda v: {"I_ROW": {"ID": 1, field: v}},
                 lambda r: r["E_ROW"][field])


def in_table(field, width):
    # The value in the second row; Z_SIM_TABLE sends the rows of T_IN back
    # in T_OUT after ROW_COUNT generated ones.
    return Place(f"T_IN[1]-{field}", "Z_SIM_TABLE", width,
                 lambda v: {"ROW_COUNT": 0, "T_IN": [{"ID": 1}, {"ID": 2, field: v}]},
                 lambda r: r["T_OUT"][1][field])


def in_bulk_row(field, width):
    # ZSIM_BULK rows go to Z_SIM_ROWS, which sends them nowhere: the request
    # shows what travelled.
    return Place(f"T_ROWS[1]-{field}", "Z_SIM_ROWS", width,
                 lambda v: {"ROW_COUNT": 0, "T_ROWS": [{"ID": 1}, {"ID": 2, field: v}]})


PLACES = {
    "CHAR": [scalar("CHAR", 10), in_structure("NAME", 20), in_table("NAME", 20)],
    "NUMC": [scalar("NUMC", 8), in_bulk_row("ACCOUNT", 10)],
    "DATS": [scalar("DATS", 8), in_structure("DAY", 8), in_table("DAY", 8), in_bulk_row("CREATED", 8)],
    "TIMS": [scalar("TIMS", 6)],
}


# --- the forms of a value ------------------------------------------------------------------------

NUMC_FORMS = "an ABAP Numc takes only digits: a text of digits or an integer of 0 or more"
DATE_FORMS = ("an ABAP Date takes 8 digits YYYYMMDD, a date, or an empty or all-blank text for the "
              "initial date 00000000")
TIME_FORMS = ("an ABAP Time takes 6 digits HHMMSS, a time, or an empty or all-blank text for the initial "
              "time 000000")


@dataclasses.dataclass(frozen=True)
class Form:
    kind: str
    name: str
    value: object  # or a function of the field's width
    held: object = None  # the text the field holds (or a function of the width); None: refused
    error: type = lomra.ExternalRuntimeError
    reason: str = ""  # refused: the message after the place and the value, or a TypeError's what

    def given(self, width):
        return self.value(width) if callable(self.value) else self.value

    def text(self, width):
        return self.held(width) if callable(self.held) else self.held


FORMS = [
    Form("CHAR", "short", "abc", "abc"),
    Form("CHAR", "full", lambda w: "x" * w, lambda w: "x" * w),
    Form("CHAR", "umlauts", "Grüße", "Grüße"),
    Form("CHAR", "one-too-many", lambda w: "y" * (w + 1), reason="{n} characters do not fit an ABAP Char of length {w}"),
    Form("CHAR", "far-too-long", lambda w: "z" * 50, reason="50 characters do not fit an ABAP Char of length {w}"),
    Form("CHAR", "int", 5, error=TypeError, reason="a string"),
    Form("NUMC", "digits", "42", lambda w: "42".rjust(w, "0")),
    Form("NUMC", "int", 42, lambda w: "42".rjust(w, "0")),
    Form("NUMC", "decimal", Decimal("7"), lambda w: "7".rjust(w, "0")),
    Form("NUMC", "empty", "", lambda w: "0" * w),
    Form("NUMC", "full", lambda w: "9" * w, lambda w: "9" * w),
    Form("NUMC", "too-many-digits", lambda w: "1" * (w + 1), reason="{n} characters do not fit an ABAP Numc of length {w}"),
    Form("NUMC", "letters", "12a", reason=NUMC_FORMS),
    Form("NUMC", "blank-inside", "1 2", reason=NUMC_FORMS),
    Form("NUMC", "negative", -5, reason=NUMC_FORMS),
    Form("NUMC", "float", 4.0, reason=NUMC_FORMS),
    Form("NUMC", "bytes", b"1", error=TypeError, reason="a number or string"),
    Form("DATS", "digits", "20240517", "20240517"),
    Form("DATS", "date", datetime.date(2024, 5, 17), "20240517"),
    Form("DATS", "datetime", datetime.datetime(2024, 5, 17, 10, 0), "20240517"),
    Form("DATS", "year-one", datetime.date(1, 1, 1), "00010101"),
    Form("DATS", "empty", "", "00000000"),
    Form("DATS", "blank", "        ", "00000000"),
    Form("DATS", "iso", "2024-05-17", reason=DATE_FORMS),
    Form("DATS", "seven-digits", "2024051", reason=DATE_FORMS),
    Form("DATS", "padded", " 20240517", reason=DATE_FORMS),
    Form("DATS", "int", 20240517, error=TypeError, reason="a date or string"),
    Form("DATS", "time", datetime.time(1, 2), error=TypeError, reason="a date or string"),
    Form("TIMS", "digits", "123005", "123005"),
    Form("TIMS", "time", datetime.time(12, 30, 5), "123005"),
    Form("TIMS", "empty", "", "000000"),
    Form("TIMS", "blank", "   ", "000000"),
    Form("TIMS", "colons", "12:30:05", reason=TIME_FORMS),
    Form("TIMS", "four-digits", "1230", reason=TIME_FORMS),
    Form("TIMS", "float", 1.5, error=TypeError, reason="a time or string"),
]


def cases():
    for form in FORMS:
        for place in PLACES[form.kind]:
            for route in ROUTES:
                yield pytest.param(form, place, route, id=f"{form.kind}-{form.name}-{place.name}-{route}")


def travelled(sim, function, route):
    """The last request of `function`: on the classic route its container,
    on the basXML route its inflated document."""
    if route == "basxml":
        return bytes.fromhex(sim.events("basxml-request", function=function)[-1]["document"])
    return sim.messages(step="call", function=function)[-1]


def in_request(text, kind, width, route):
    """The bytes of a field holding `text` as the request carries them:
    UTF-16LE filled with blanks to the field's width in a container, the
    asXML text (dates YYYY-MM-DD, times HH:MM:SS) in a document."""
    if route == "classic":
        return text.ljust(width).encode("utf-16-le")
    if kind == "DATS":
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    elif kind == "TIMS":
        text = f"{text[:2]}:{text[2:4]}:{text[4:]}"
    return text.encode("utf-8")


def shown(value):
    if isinstance(value, str):
        return quoted(value)
    return repr(value)


@pytest.mark.parametrize("form, place, route", cases())
def test_a_value_goes_as_given_or_not_at_all(vsim, conns, form, place, route):
    conn = conns[route]
    value = form.given(place.width)
    before = len(vsim.messages(step="call", function=place.function))
    if form.held is None:
        with pytest.raises(form.error) as info:
            conn.call(place.function, place.params(value), {})
        if form.error is TypeError:
            assert str(info.value) == (f'{form.reason} required for parameter "{place.name}", '
                                       f"got {type(value).__name__} {shown(value)}")
        else:
            # The place, the value as it was given, then the reason.
            text = value if isinstance(value, str) else str(value)
            reason = form.reason.format(n=len(text), w=place.width)
            assert str(info.value) == f"{place.name} {quoted(text)}: {reason}"
            assert (info.value.code, info.value.key) == (17, "RFC_EXTERNAL_FAILURE")
        # Refused before anything was sent.
        assert len(vsim.messages(step="call", function=place.function)) == before
        return
    held = form.text(place.width)
    result = conn.call(place.function, place.params(value), {})
    assert in_request(held, form.kind, place.width, route) in travelled(vsim, place.function, route)
    if place.back:
        assert place.back(result) == held.rstrip()


# --- other kinds: every refusal names where the value was ---------------------------------------

OTHER_REFUSALS = [
    ({"I_INT4": 1 << 40}, "I_INT4 1099511627776: 1099511627776 does not fit in an ABAP Int4"),
    ({"I_INT1": -1}, "I_INT1 -1: -1 does not fit in an ABAP Int1"),
    ({"I_PACKED": "1.235"},
     'I_PACKED "1.235": more decimal places than the field declares is outside what the format can hold'),
    ({"I_PACKED": "abc"}, 'I_PACKED "abc": not a number'),
    ({"I_RAW": bytes(17)}, "I_RAW 0x00000000000000000000000000000000... (17 bytes): 17 bytes do not fit an "
                           "ABAP Byte of width 16"),
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("params, message", OTHER_REFUSALS, ids=[next(iter(p)) for p, _ in OTHER_REFUSALS])
def test_other_refusals_name_the_parameter_and_the_value(vsim, conns, route, params, message):
    before = len(vsim.messages(step="call", function="Z_SIM_ECHO"))
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conns[route].call("Z_SIM_ECHO", params, {})
    assert (str(info.value), info.value.code) == (message, 17)
    assert len(vsim.messages(step="call", function="Z_SIM_ECHO")) == before


@pytest.mark.parametrize("route", ROUTES)
def test_refusals_inside_rows_name_the_row_and_the_field(conns, route):
    rows = [{"ID": 1}, {"ID": 2}, {"ID": 3, "AMOUNT": "1.234"}]
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conns[route].call("Z_SIM_TABLE", {"T_IN": rows}, {})
    assert str(info.value) == ('T_IN[2]-AMOUNT "1.234": more decimal places than the field declares is '
                               "outside what the format can hold")
    with pytest.raises(TypeError) as info:
        conns[route].call("Z_SIM_TABLE", {"T_IN": [{"ID": 1}, {"ID": "two"}]}, {})
    assert str(info.value) == 'an integer required for parameter "T_IN[1]-ID", got str "two"'
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        conns[route].call("Z_SIM_TABLE", {"T_IN": [{"ID": 1}, {"NOPE": 2}]}, {})
    assert (str(info.value), info.value.code) == ('T_IN[1]: ZSIM_ROW has no field named "NOPE"', 20)


# --- fields a caller leaves out -----------------------------------------------------------------


@pytest.mark.parametrize("route", ROUTES)
def test_omitted_fields_get_abap_initial_values(vsim, conns, route):
    conn = conns[route]
    row = conn.call("Z_SIM_STRUCT", {"I_ROW": {}}, {"rstrip": False})["E_ROW"]
    assert row == {"ID": 0, "NAME": " " * 20, "AMOUNT": Decimal("0.00"), "DAY": "00000000", "SCORE": 0.0}
    out = conn.call("Z_SIM_TABLE", {"ROW_COUNT": 0, "T_IN": [{"ID": 5}]}, {"dtime": True})["T_OUT"]
    assert out == [{"ID": 5, "NAME": "", "AMOUNT": Decimal("0.00"), "DAY": None, "SCORE": 0.0}]
    # A ZSIM_BULK row of its ID alone: blank texts, zero Numc digits, the
    # initial date, zero numbers.
    conn.call("Z_SIM_ROWS", {"ROW_COUNT": 0, "T_ROWS": [{"ID": 9}]}, {})
    sent = travelled(vsim, "Z_SIM_ROWS", route)
    if route == "classic":
        from sim.dictionary import standard_dictionary  # the simulator's layout of ZSIM_BULK

        layout = standard_dictionary().lookup("ZSIM_BULK")
        initial = {"C": " ", "N": "0", "D": "0"}
        image = bytearray(layout.size)
        for f in layout.fields:
            if f.inttype in initial:
                image[f.offset:f.offset + f.intlen] = (initial[f.inttype] * (f.intlen // 2)).encode("utf-16-le")
        image[0:4] = struct.pack("<i", 9)
        # Packed zeros are zero bytes: the sign nibble of an initial number is not written.
        assert bytes(image) in sent
    else:
        for text in (b"0000000000", b"00000", b"0000-00-00"):
            assert text in sent


# --- opens say where they failed ----------------------------------------------------------------


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def test_a_refused_connect_names_host_and_port():
    port = closed_port()
    with pytest.raises(lomra.CommunicationError) as info:
        lomra.Connection({"ashost": "127.0.0.1", "port": str(port), "user": USER, "passwd": PASSWORD,
                          "client": CLIENT}, {})
    assert (info.value.code, info.value.key) == (1, "RFC_COMMUNICATION_FAILURE")
    assert str(info.value) == f"I/O error: cannot connect to 127.0.0.1:{port}: Connection refused (os error 111)"


def test_an_open_past_its_timeout_is_cancelled_naming_the_step():
    with simctl.Sim("--fault", "silence=logon") as sim:
        with pytest.raises(lomra.CommunicationError) as info:
            lomra.Connection(logon(sim), {"timeout": 0.5})
        assert (info.value.code, info.value.key, str(info.value)) == (
            7, "RFC_CANCELED", "Connection() did not open within the timeout: timed out in the logon")
