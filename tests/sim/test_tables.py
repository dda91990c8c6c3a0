"""Self-tests of the simulator's table scenarios: the RFC_READ_TABLE
selection reader and its lines, DFIES rows of nested structures, the records
of table deltas, table rows whose packed field is the initial all-zero
value over the wire, the form a table goes out in (row records, or
compressed content in pieces above the threshold), and the generated rows
of Z_SIM_ROWS."""

import copy
import os
import random
import struct
import sys
import zlib
from decimal import Decimal

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import config, lzh, reply, tables, values  # noqa: E402
from sim.dictionary import standard_dictionary  # noqa: E402
from sim.functions import standard_registry  # noqa: E402
from sim.reply import AbapError  # noqa: E402
from simctl import Sim  # noqa: E402
from test_sim import RawClient, TestCompressedTables, first, tables_of, u16, values_of  # noqa: E402
from sim.container import Rid, read_records  # noqa: E402


class Ctx:
    """The call context a handler sees, without a connection."""

    def __init__(self, function, imports=None, tables=None, raw=None):
        self.registry = standard_registry(standard_dictionary(), copy.deepcopy(config.DEFAULTS))
        self.function = self.registry.get(function)
        self.imports = imports or {}
        self.tables = tables or {}
        self.raw = raw or {}


def rows_table():
    return tables.zsim_rows(23)


@pytest.mark.parametrize("lines, ids", [
    ([], list(range(1, 24))),
    (["ID = '000005'"], [5]),
    (["ID EQ 5"], [5]),
    (["CITY = 'Köln'", "AND ID > 3"], [9, 16, 23]),
    (["CITY LIKE 'B%'"], [7, 14, 21]),
    (["NAME LIKE 'ROW 0001_'", "AND ID <> 12"], [10, 11, 13, 14, 15, 16, 17, 18, 19]),
    (["CITY = 'it''s'"], []),
    (["ID >= 22"], [22, 23]),
])
def test_selection(lines, ids):
    t = rows_table()
    keep = tables.parse_selection(lines, t)
    assert [int(r["ID"]) for r in t.rows if keep(r)] == ids


@pytest.mark.parametrize("lines", [["ID ="], ["NOPE = 1"], ["ID = 1 OR ID = 2"], ["ID = 1 AND"], ["ID ~ 1"],
                                   ["ID = CITY"]])
def test_selection_refusals(lines):
    with pytest.raises(tables.BadOption):
        tables.parse_selection(lines, rows_table())


def test_read_table_lines_fields_and_paging():
    ctx = Ctx("RFC_READ_TABLE", {"QUERY_TABLE": "ZSIM_ROWS", "DELIMITER": "|", "ROWSKIPS": 2, "ROWCOUNT": 2},
              {"FIELDS": [values.pad_utf16("CITY", 206), values.pad_utf16("ID", 206)]})
    reply = tables.read_table(ctx)
    by_name = {t.name: t for t in reply.tables}
    data = [values.from_utf16(r).rstrip() for r in by_name["DATA"].rows]
    assert data == ["Wien                |000003", "Lyon                |000004"]
    assert all(len(r) == 1024 for r in by_name["DATA"].rows)
    fields = [values.from_utf16(r) for r in by_name["FIELDS"].rows]
    assert fields[1][:43] == "ID".ljust(30) + "000021000006N"
    with pytest.raises(AbapError) as info:
        tables.read_table(Ctx("RFC_READ_TABLE", {"QUERY_TABLE": "NOPE"}))
    assert info.value.key == "TABLE_NOT_AVAILABLE"


def test_dd40l_lists_the_table_types():
    d = standard_dictionary()
    t = tables.dd40l(d)
    row = next(r for r in t.rows if r["TYPENAME"] == "ZSIM_DEC_TAB")
    assert (row["ROWTYPE"], row["DATATYPE"], row["LENG"], row["DECIMALS"]) == ("", "DEC", "000007", "000002")
    assert [r["TYPENAME"] for r in t.rows] == sorted(d.table_types)


def test_dfies_rows_of_a_nested_structure():
    from sim.dictionary import dfies_rows

    d = standard_dictionary()
    units = [r.decode("utf-16-le") for r in dfies_rows(d, d.lookup("ZSIM_NEST"))]
    listed = [(u[30:60].strip(), int(u[61:65]), int(u[65:71]), u[185:189].strip()) for u in units]
    assert listed == [("ID", 1, 0, "INT4"), ("ROW", 2, 8, "STRU"), ("ID", 3, 8, "INT4"), ("NAME", 4, 12, "CHAR"),
                      ("AMOUNT", 5, 52, "DEC"), ("DAY", 6, 60, "DATS"), ("SCORE", 7, 80, "FLTP"),
                      ("FLAG", 8, 88, "CHAR")]
    # A structure that contains itself is listed one level deep.
    assert len(dfies_rows(d, d.lookup("ZSIM_SELF"))) == 2


def test_delta_records_and_the_simulators_own_copy():
    d = standard_dictionary()
    row = d.lookup("ZSIM_ROW")
    sent = [row.encode({"NAME": n}) for n in ("a", "b")]
    ctx = Ctx("Z_SIM_DELTA", {"OPS": "D1;A2:c;W3;I1:z;O9;U1:x"}, {"T_OTHER": [], "T_ROWS": sent})
    reply = tables.delta_scenario(ctx)
    recs = reply.extra
    assert [rid for rid, _ in recs] == [0x0332, 0x0333, 0x0334, 0x0333, 0x0334, 0x0333, 0x0334]
    assert struct.unpack(">III", recs[0][1]) == (5, 2, 1)  # T_ROWS is the second table sent
    assert len(recs[4][1]) == row.size - 3
    assert struct.unpack(">III", recs[5][1]) == (9, 2, 1)  # the forced operation code
    # The copy: a deleted, c appended, z inserted first; U1 with code 9 still updates.
    assert values.decode("g", reply.exports[0][1], 8) == "x\nb\nc"


def test_table_row_with_an_initial_packed_field():
    # A packed field whose bytes are all zero: positive zero, not a crash of
    # the connection thread.
    with Sim() as sim:
        c = RawClient(sim.gateway).setup()
        c.logon()
        image = bytearray(standard_dictionary().lookup("ZSIM_ROW").encode({"ID": 4}))
        image[44:52] = bytes(8)
        reply = c.call("Z_SIM_TABLE", [("ROW_COUNT", struct.pack("<i", 0))], ["E_SEEN", "T_OUT"],
                       [("T_IN", 80, [bytes(image), bytes(80)])])
        seen = values_of(reply)["E_SEEN"].decode("utf-8").split("\n")
        assert seen[0].startswith("ID=4;") and ";AMOUNT=0.00;" in seen[0]
        assert seen[1].startswith("ID=0;") and ";AMOUNT=0.00;" in seen[1]
        assert tables_of(reply)["T_OUT"][1] == 2
        # A packed field the simulator cannot read is an ABAP exception.
        bad = bytearray(image)
        bad[44] = 0xAB
        reply = c.call("Z_SIM_TABLE", [], ["E_SEEN"], [("T_IN", 80, [bytes(bad)])])
        assert first(reply, Rid.ABAP_EXCEPTION_KEY) == u16("CONVERSION_ERROR")
        assert values_of(c.call("STFC_CONNECTION", [("REQUTEXT", u16("still here"))], ["ECHOTEXT"]))
        assert not [e for e in sim.entries(event="internal-error")]


# --- the form of a table, and generated rows ---------------------------------------------

BULK = standard_dictionary().lookup("ZSIM_BULK")


def bulk_reply(count, form="", above=reply.COMPRESS_ABOVE, piece=reply.PIECE):
    """The records of Z_SIM_ROWS's reply."""
    ctx = Ctx("Z_SIM_ROWS", {"ROW_COUNT": count, "FORM": form})
    return read_records(reply.reply_container(tables.bulk_scenario(ctx), above, piece))[0]


@pytest.mark.parametrize("count, form, above, piece, compressed", [
    (348, "", reply.COMPRESS_ABOVE, reply.PIECE, False),  # 65424 bytes of rows: at most the threshold
    (349, "", reply.COMPRESS_ABOVE, reply.PIECE, True),
    (2000, "", 1000, 3000, True),
    (2000, "", None, 3000, False),                        # no threshold: row records whatever the size
    (2000, "R", 1000, 3000, False),
    (3, "Z", reply.COMPRESS_ABOVE, 100, True),
    (0, "", 0, 100, False),
])
def test_a_table_goes_out_as_a_server_sends_it(count, form, above, piece, compressed):
    records = bulk_reply(count, form, above, piece)
    width, declared, plain, content = tables_of(records)["T_ROWS"]
    rows = tables.bulk_rows(BULK, count)
    assert (width, declared) == (BULK.size, count)
    if not compressed:
        assert (plain, content) == (rows, b"")
        return
    assert plain == []
    assert TestCompressedTables.zlib_rows(content) == b"".join(rows)
    pieces = [(rid, len(v)) for rid, v in records if rid in (Rid.TABLE_COMPRESSED, Rid.TABLE_COMPRESSED_CHUNK)]
    assert pieces[0][0] == Rid.TABLE_COMPRESSED and {rid for rid, _ in pieces[1:]} <= {Rid.TABLE_COMPRESSED_CHUNK}
    assert [n for _, n in pieces[:-1]] == [piece] * (len(pieces) - 1) and 0 < pieces[-1][1] <= piece


def test_the_gateway_takes_the_threshold_and_piece_from_its_settings():
    with Sim(config={"table_compress_above": 1000, "table_piece": 700}) as sim:
        c = RawClient(sim.gateway).setup()
        c.logon()
        records = c.call("Z_SIM_ROWS", [("ROW_COUNT", struct.pack("<i", 40))], ["T_ROWS"])
        _, _, plain, content = tables_of(records)["T_ROWS"]
        assert plain == [] and TestCompressedTables.zlib_rows(content) == b"".join(tables.bulk_rows(BULK, 40))
        assert len(first(records, Rid.TABLE_COMPRESSED)) == 700
        records = c.call("Z_SIM_ROWS", [("ROW_COUNT", struct.pack("<i", 5))], ["T_ROWS"])
        assert tables_of(records)["T_ROWS"][2] == tables.bulk_rows(BULK, 5)


def test_generated_rows_are_the_dictionary_images_of_their_values():
    rows = tables.bulk_rows(BULK, 3000)
    for i in (1, 2, 3, 10, 29, 30, 2000, 2999, 3000):
        want = tables.bulk_row(i)
        assert rows[i - 1] == BULK.encode(want), i
        got = BULK.decode(rows[i - 1])
        assert {k: v.rstrip() if isinstance(v, str) else v for k, v in got.items()} == want
    assert tables.bulk_row(3)["CHANGED"] == "00000000" and tables.bulk_row(10)["AMOUNT"] < 0


@pytest.mark.parametrize("imports, key", [
    ({"ROW_COUNT": -1}, "SIM_ERROR"),
    ({"ROW_COUNT": tables.BULK_MAX_ROWS + 1}, "SIM_ERROR"),
    ({"ROW_COUNT": 1, "FORM": "Q"}, "SIM_ERROR"),
])
def test_generated_rows_refuse_what_they_cannot_make(imports, key):
    with pytest.raises(AbapError) as info:
        tables.bulk_scenario(Ctx("Z_SIM_ROWS", imports))
    assert info.value.key == key


def test_block_types_agree_with_the_inflater():
    rng = random.Random(3)
    noise = bytes(rng.getrandbits(8) for _ in range(40000))
    text = b"".join(b"ROW %06d Berlin " % i for i in range(4000))
    for data in (b"", text, noise, noise + text + noise[:100]):
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED):
            for level in (1, 6, 9):
                stream = lzh.deflate_zlib(data, strategy, level)
                assert lzh.block_types(stream) == lzh.inflate(stream)[1]
    with pytest.raises(lzh.InflateError):
        lzh.block_types(lzh.deflate_zlib(text)[:-40])
