"""Structure and table parameters from Python: dicts to structure images and
back through the simulator's Z_SIM_STRUCT, lists of dicts as table rows
through Z_SIM_TABLE, table types described from DD40L, nested structures,
reading a table through RFC_READ_TABLE, and replies that carry table deltas."""

import datetime
import struct
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import lomra

ROW = {"ID": 7, "NAME": "Grüße", "AMOUNT": Decimal("-12.34"), "DAY": "20240229", "SCORE": 2.5}


def calls(sim, function):
    return len(sim.messages(step="call", function=function))


def table_rows_sent(message, name):
    """The rows of table `name` in a request as the simulator logged it."""
    from sim.container import Rid, read_records, split_trailer  # the simulator's own reader

    records, _ = read_records(split_trailer(message)[0])
    header, rows, current = None, [], None
    for rid, value in records:
        if rid == Rid.TABLE_NAME:
            current = bytes(value).decode("utf-16-le")
        elif rid == Rid.TABLE_CONTENT and current == name:
            rows.append(bytes(value))
        elif rid == Rid.TABLE_HEADER and current == name:
            header = struct.unpack(">II", bytes(value))
    return header, rows


# --- structures --------------------------------------------------------------------------


def test_structure_round_trip(mconn):
    result = mconn.call("Z_SIM_STRUCT", {"I_ROW": ROW}, {})
    assert result["E_ROW"] == ROW
    assert result["E_SEEN"] == "ID=7;NAME=Grüße               ;AMOUNT=-12.34;DAY=20240229;SCORE=2.5"


@pytest.mark.parametrize("options, name, day", [
    ({}, "ab", "20240229"),
    ({"rstrip": False}, "ab" + " " * 18, "20240229"),
    ({"dtime": True}, "ab", datetime.date(2024, 2, 29)),
])
def test_structure_fields_follow_the_read_options(mconn, options, name, day):
    row = mconn.call("Z_SIM_STRUCT", {"I_ROW": {"name": "ab", "Day": datetime.date(2024, 2, 29)}}, options)["E_ROW"]
    assert (row["NAME"], row["DAY"]) == (name, day)


def test_fields_no_key_names_are_blank_or_zero(mconn):
    result = mconn.call("Z_SIM_STRUCT", {"I_ROW": {}}, {})
    # ABAP's initial values: a blank Char, the date 00000000, zeros.
    assert result["E_ROW"] == {"ID": 0, "NAME": "", "AMOUNT": Decimal("0.00"), "DAY": "00000000", "SCORE": 0.0}
    assert result["E_SEEN"] == "ID=0;NAME=                    ;AMOUNT=0.00;DAY=00000000;SCORE=0.0"


def test_two_spellings_of_one_field_the_later_wins(mconn):
    result = mconn.call("Z_SIM_STRUCT", {"I_ROW": {"name": "first", "NAME": "second"}}, {})
    assert result["E_ROW"]["NAME"] == "second"


def test_structure_refusals_send_nothing(mconn, sim):
    before = calls(sim, "Z_SIM_STRUCT")
    cases = [
        ([ROW], TypeError, f'a dict required for parameter "I_ROW", got list {repr([ROW])[:32]}...'),
        ({"NAME": 5}, TypeError, 'a string required for parameter "I_ROW-NAME", got int 5'),
        ({"DAY": 20240229}, TypeError, 'a date or string required for parameter "I_ROW-DAY", got int 20240229'),
        ({"AMOUNT": None}, TypeError,
         'a number or string required for parameter "I_ROW-AMOUNT", got NoneType None'),
        ({1: "x"}, TypeError, None),
    ]
    for value, error, message in cases:
        with pytest.raises(error) as info:
            mconn.call("Z_SIM_STRUCT", {"I_ROW": value}, {})
        if message:
            assert str(info.value) == message
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        mconn.call("Z_SIM_STRUCT", {"I_ROW": {"ID": 1, "NOPE": 1}}, {})
    assert (str(info.value), info.value.code, info.value.key) == (
        'I_ROW: ZSIM_ROW has no field named "NOPE"', 20, "RFC_INVALID_PARAMETER")
    # A value its field cannot hold fails while the image is built.
    with pytest.raises(lomra.RFCError) as info:
        mconn.call("Z_SIM_STRUCT", {"I_ROW": {"AMOUNT": "1.234"}}, {})
    assert "decimal" in str(info.value)
    assert calls(sim, "Z_SIM_STRUCT") == before


def test_nested_structure_travels_as_the_image_of_its_field(mconn):
    # The nested ROW field is one field of the outer layout: its value is
    # the 80-byte image of a ZSIM_ROW.
    image = struct.pack("<i", 9) + ("inner" + " " * 15).encode("utf-16-le") + bytes(36)
    result = mconn.call("Z_SIM_NEST", {"I_NEST": {"ID": 3, "ROW": image, "FLAG": "X"}}, {})
    assert result["E_SEEN"] == "ID=3;ROW.ID=9;ROW.NAME=inner;FLAG=X"
    assert result["E_NEST"] == {"ID": 3, "ROW": image.ljust(80, b"\x00"), "FLAG": "X"}


PROPERTY = settings(max_examples=40, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


@PROPERTY
@given(st.integers(-(2**31), 2**31 - 1),
       st.text(st.characters(blacklist_categories=("Cs", "Zs", "Zl", "Zp", "Cc"), max_codepoint=0xFFFF), max_size=20),
       st.decimals(min_value=Decimal("-9999999999999.99"), max_value=Decimal("9999999999999.99"), places=2),
       st.floats(allow_nan=False))
def test_structure_property_round_trip(mconn, ident, name, amount, score):
    row = {"ID": ident, "NAME": name, "AMOUNT": amount, "DAY": "20000101", "SCORE": score}
    assert mconn.call("Z_SIM_STRUCT", {"I_ROW": row}, {})["E_ROW"] == row


# --- tables ----------------------------------------------------------------------------------


def test_table_rows_travel_both_ways(mconn, sim):
    sent = [{"ID": 100, "NAME": "first", "AMOUNT": "1.5"}, {"id": 101, "day": datetime.date(2024, 1, 2)}]
    result = mconn.call("Z_SIM_TABLE", {"ROW_COUNT": 2, "T_IN": sent}, {"dtime": True})
    assert result["E_ROWS"] == 4
    out = result["T_OUT"]
    assert [r["ID"] for r in out] == [1, 2, 100, 101]
    assert out[0] == {"ID": 1, "NAME": "ROW 00001", "AMOUNT": Decimal("1.25"), "DAY": datetime.date(2024, 1, 1),
                      "SCORE": 0.25}
    assert out[2]["AMOUNT"] == Decimal("1.50") and out[3]["DAY"] == datetime.date(2024, 1, 2)
    # A blank date reads as None with dtime; the packed field left out is zero.
    assert out[2]["DAY"] is None and out[3]["AMOUNT"] == Decimal("0.00")
    # T_IN did not come back from the server: the sent rows are returned.
    assert [r["NAME"] for r in result["T_IN"]] == ["first", ""]
    header, rows = table_rows_sent(sim.messages(step="call", function="Z_SIM_TABLE")[-1], "T_IN")
    assert header == (80, 2) and [len(r) for r in rows] == [80, 80]


def test_field_names_are_built_once_per_table(mconn):
    out = mconn.call("Z_SIM_TABLE", {"ROW_COUNT": 3}, {})["T_OUT"]
    keys = [list(r) for r in out]
    assert keys[0] == ["ID", "NAME", "AMOUNT", "DAY", "SCORE"]
    assert all(a is b for k in keys[1:] for a, b in zip(keys[0], k))


def test_compressed_table_of_many_rows(mconn):
    out = mconn.call("Z_SIM_TABLE", {"ROW_COUNT": 500, "COMPRESS": "Z", "PIECE": 1000}, {})["T_OUT"]
    assert len(out) == 500
    assert out[499] == {"ID": 500, "NAME": "ROW 00500", "AMOUNT": Decimal("625.00"),
                        "DAY": (datetime.date(2024, 1, 1) + datetime.timedelta(days=499)).strftime("%Y%m%d"),
                        "SCORE": 125.0}


def test_table_argument_forms(mconn, sim):
    class Rows(list):
        pass

    assert mconn.call("Z_SIM_TABLE", {"ROW_COUNT": 0, "T_IN": Rows([{"ID": 5}])}, {})["T_OUT"][0]["ID"] == 5
    # An empty list is a table without rows.
    assert mconn.call("Z_SIM_TABLE", {"ROW_COUNT": 0, "T_IN": []}, {})["T_OUT"] == []
    header, rows = table_rows_sent(sim.messages(step="call", function="Z_SIM_TABLE")[-1], "T_IN")
    assert header == (80, 0) and rows == []

    before = calls(sim, "Z_SIM_TABLE")
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        mconn.call("Z_SIM_TABLE", {"T_IN": ({"ID": 1},)}, {})
    assert (str(info.value), info.value.code) == ('table parameter "T_IN" takes a list of dicts', 17)
    with pytest.raises(TypeError) as info:
        mconn.call("Z_SIM_TABLE", {"T_IN": [{"ID": 1}, "row"]}, {})
    assert str(info.value) == 'a dict required for parameter "T_IN[1]", got str "row"'
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        mconn.call("Z_SIM_TABLE", {"t_in": [{"SIZE": 1}]}, {})
    assert str(info.value) == 'T_IN[0]: ZSIM_ROW has no field named "SIZE"'
    assert calls(sim, "Z_SIM_TABLE") == before


def test_rows_wider_than_the_limit_are_refused_before_any_is_built(mconn, sim):
    before = calls(sim, "Z_SIM_WIDE")
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        mconn.call("Z_SIM_WIDE", {"T_WIDE": [{"ID": 1}]}, {})
    assert str(info.value) == ('table parameter "T_WIDE" claims 2147483632-byte rows, past the 67108864-byte '
                               'limit')
    assert calls(sim, "Z_SIM_WIDE") == before


def test_table_types_from_dd40l(mconn, sim):
    before = calls(sim, "RFC_READ_TABLE")
    result = mconn.call("Z_SIM_TTYP", {}, {})
    assert result["T_DECS"] == [{"": Decimal("1.23")}, {"": Decimal("-4.50")}, {"": Decimal("0.00")}]
    assert result["T_NAMES"] == [{"": "ALPHA"}, {"": "BETA"}]
    assert result["T_CHARS"] == [{"": "ten chars!"}, {"": "x"}]
    assert result["T_DATES"] == [{"": "20240229"}]
    assert [r["NAME"] for r in result["T_ROWS"]] == ["TT1", "TT2"]
    # Each of the five table types (used by no other test) was looked up in
    # DD40L once; the process-wide cache answers the next call.
    assert calls(sim, "RFC_READ_TABLE") - before == 5
    mconn.call("Z_SIM_TTYP", {}, {})
    assert calls(sim, "RFC_READ_TABLE") - before == 5


# --- RFC_READ_TABLE ----------------------------------------------------------------------------


def test_reading_a_table_through_rfc_read_table(mconn):
    result = mconn.call("RFC_READ_TABLE", {
        "QUERY_TABLE": "ZSIM_ROWS", "DELIMITER": "|", "ROWSKIPS": 1, "ROWCOUNT": 2,
        "FIELDS": [{"FIELDNAME": "ID"}, {"FIELDNAME": "CITY"}],
        "OPTIONS": [{"TEXT": "CITY LIKE '%l%'"}],
    }, {})
    # Rows with an "l" in CITY: 2 Köln, 6 Oslo, 7 Berlin, 9 Köln, ...; skip 1, take 2.
    assert [r["WA"] for r in result["DATA"]] == ["000006|Oslo", "000007|Berlin"]
    assert [(f["FIELDNAME"], f["OFFSET"], f["LENGTH"], f["TYPE"]) for f in result["FIELDS"]] == [
        ("ID", "000000", "000006", "N"), ("CITY", "000007", "000020", "C")]
    with pytest.raises(lomra.ABAPApplicationError) as info:
        mconn.call("RFC_READ_TABLE", {"QUERY_TABLE": "ZSIM_NONE"}, {})
    assert info.value.key == "TABLE_NOT_AVAILABLE"


# --- table deltas ------------------------------------------------------------------------------


@pytest.mark.parametrize("ops", ["D1", "A4:four;U1:ONE", "I2:between;D4", "R:fresh;E", ""])
def test_table_deltas_rebuild_the_rows(mconn, ops):
    sent = [{"NAME": n} for n in ("one", "two", "three")]
    result = mconn.call("Z_SIM_DELTA", {"OPS": ops, "T_ROWS": sent}, {})
    assert [r["NAME"] for r in result["T_ROWS"]] == result["E_SEEN"].split("\n")


def test_a_delta_of_the_wrong_row_count_refetches_the_description(mconn, sim):
    mconn.call("Z_SIM_DELTA", {"OPS": "", "T_ROWS": []}, {})
    fetches = calls(sim, "RFC_GET_FUNCTION_INTERFACE")
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        mconn.call("Z_SIM_DELTA", {"OPS": "D3", "T_ROWS": [{"NAME": "only"}]}, {})
    assert "T_ROWS" in str(info.value) and info.value.code == 17
    assert calls(sim, "RFC_GET_FUNCTION_INTERFACE") - fetches == 1
    # The connection stays usable.
    assert mconn.call("Z_SIM_DELTA", {"OPS": "D1", "T_ROWS": [{"NAME": "x"}]}, {})["T_ROWS"] == []
