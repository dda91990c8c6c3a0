"""Self-tests of the simulator's basXML side: its token reader against
streams written out by hand from the format's tables, its writer read back,
the strict checks of a request, and whole basXML calls over raw sockets
(documents built by hand, replies inflated with zlib and read back)."""

import os
import struct
import sys
import zlib
from decimal import Decimal

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import basxml, container, values  # noqa: E402
from sim.container import Rid  # noqa: E402
from simctl import Sim  # noqa: E402
from test_sim import RawClient, u16  # noqa: E402

URI_A = b"http://www.sap.com/abapxml"
URI_B = URI_A + b"/hint"


def s(text):
    raw = text if isinstance(text, bytes) else text.encode("utf-8")
    assert len(raw) < 0x80
    return bytes([len(raw)]) + raw


def prologue(version=b"1.0"):
    """Up to the opening of asx:values; the next string id is 9."""
    return (b"BXML" + b"\x3f" + s("VER") + s("0.7") + b"\x3f" + s("ENC") + s("utf-8")
            + b"\x2b" + s("asx") + b"\x2b" + s(URI_A) + b"\x3a\x02\x03"
            + b"\x2b" + s("abap") + b"\x3c\x04\x02" + b"\x2b" + s("version") + b"\x40\x05\x01\x41" + s(version)
            + b"\x2b" + s("asxhint") + b"\x2b" + s(URI_B) + b"\x3a\x06\x07" + b"\x2a\x03"
            + b"\x2b" + s("values") + b"\x3c\x08\x02")


END = b"\x3e\x3e"


def text_param(sid, name, text, new=True):
    """A parameter holding text; `sid` is its name's string id."""
    head = (b"\x2b" + s(name) if new else b"") + bytes([0x3c, sid, 0x01])
    body = b"\x54" + s(text) if text else b""
    return head + body + b"\x3e"


# --- the codec -------------------------------------------------------------------------


class TestTokens:
    @pytest.mark.parametrize("n, raw", [(0, "00"), (0x7F, "7f"), (0x80, "c280"), (0x7FF, "dfbf"), (0x800, "e0a080"),
                                        (0xFFFF, "efbfbf"), (0x10000, "f0908080"), (0x1FFFFF, "f7bfbfbf")])
    def test_varints(self, n, raw):
        assert basxml.varint(n) == bytes.fromhex(raw)
        r = basxml._Reader(bytes.fromhex(raw))
        assert r.varint() == n

    @pytest.mark.parametrize("raw", ["c080", "e08080", "f0808080", "f8888080", "80", "c2"])
    def test_malformed_varints(self, raw):
        with pytest.raises(basxml.BasxmlProblem):
            basxml._Reader(bytes.fromhex(raw)).varint()

    def test_reads_a_hand_written_request(self):
        data = (prologue() + text_param(9, "I_CHAR", "AB") + b"\x2b" + s("T_ROWS") + b"\x3c\x0a\x01"
                + b"\x2b" + s("lines") + b"\x40\x0b\x03\x41" + s("1") + b"\x2b" + s("item") + b"\x3c\x0c\x01"
                + b"\x2b" + s("RAW") + b"\x3c\x0d\x01\x42\x02\x01\x02\x3e" + b"\x3e\x3e" + END)
        version, params, problems = basxml.read_document(data)
        assert (version, problems) == ("1.0", [])
        assert [p.name for p in params] == ["I_CHAR", "T_ROWS"]
        assert params[0].text == "AB"
        assert params[1].attr("lines", basxml.NS_HINT) == "1"
        assert params[1].children[0].children[0].data == b"\x01\x02"

    @pytest.mark.parametrize("mangle, problem", [
        (lambda d: d.replace(s("0.7"), s("0.8")), "declarations"),
        (lambda d: d[:-2] + b"\x2b" + s("I_CHAR") + b"\x3c\x0a\x01\x3e" + END, "defined twice"),
        (lambda d: d[:-2] + b"\x2b" + s("xmlData") + b"\x3c\x0a\x01\x3e" + END, "begins with xml"),
        (lambda d: d[:-2] + b"\x2b" + s("UNUSED") + END, "defined before a token that does not use them"),
    ])
    def test_deviations_from_the_clients_writer(self, mangle, problem):
        data = mangle(prologue() + text_param(9, "I_CHAR", "x") + END)
        _, _, problems = basxml.read_document(data)
        assert any(problem in p for p in problems), problems

    @pytest.mark.parametrize("data, text", [
        (b"BXMX", "does not start with BXML"),
        (prologue()[:-1], "ended mid-token"),
        (prologue() + b"\x3c\x09\x01" + END, "undefined string id 9"),
        (prologue() + b"\x2b" + s("A") + b"\x3c\x09\x01\x54\x00\x3e" + END, "text chunk of 0 bytes"),
        (prologue() + b"\x2b" + s("A") + b"\x3c\x09\x01\x54\x01x\x54\x01y\x3e" + END, "partial chunk"),
        (prologue() + END + b"\x00", "after the root"),
        (prologue() + b"\x5a", "unknown token 0x5a"),
    ])
    def test_unreadable_streams(self, data, text):
        with pytest.raises(basxml.BasxmlProblem) as info:
            basxml.read_document(data)
        assert text in str(info.value)

    def test_long_texts_travel_in_full_chunks_and_read_back(self):
        text = "é" * 9000  # 18000 bytes: one full chunk and one of 1616
        data = basxml.write_document([basxml.Node("E_TEXT", text=text),
                                      basxml.Node("xmlish", data=bytes(range(256)))])
        first = data.index(b"\x54\xe4\x80\x80")  # "T" 16384
        assert data[first + 4 + 16384 : first + 4 + 16384 + 3] == b"\x54\xd9\x90"  # then "T" 1616
        version, params, problems = basxml.read_document(data)
        assert params[0].text == text and params[1].data == bytes(range(256))
        assert params[1].name == "x-mlish"  # written escaped, as the client does
        assert version == "1.0" and problems == []

    def test_nodes_from_deep_sections(self):
        nodes = basxml.nodes_from_deep_xml("<A><B>x &amp; &lt;y&gt;</B><C></C></A><D>1</D>")
        assert [n.name for n in nodes] == ["A", "D"]
        assert nodes[0].children[0].text == "x & <y>" and nodes[0].children[1].text is None


class TestValues:
    @pytest.mark.parametrize("letter, length, decimals, text, value", [
        ("C", 6, 0, "ab", "ab "), ("N", 8, 0, "0042", "0042"), ("D", 16, 0, "2024-02-29", "20240229"),
        ("T", 12, 0, "23:59:58", "235958"), ("P", 4, 2, "-1.5", Decimal("-1.50")), ("F", 8, 0, "1e-3", 0.001),
        ("b", 1, 0, "255", 255), ("8", 8, 0, "-9223372036854775808", -(1 << 63)), ("g", 8, 0, " x ", " x "),
        ("a", 8, 0, "1.5E+3", Decimal("1.5E+3")), ("p", 8, 0, "0001-01-01T00:00:00.0000001Z", 2),
    ])
    def test_scalars_read_as_the_classic_decoder_gives_them(self, letter, length, decimals, text, value):
        got = basxml.scalar_from(basxml.Node("X", text=text), letter, length, decimals, "X")
        assert got == value and type(got) is type(value)
        back = basxml.scalar_node("X", letter, got)
        assert basxml.scalar_from(back, letter, length, decimals, "X") == value

    @pytest.mark.parametrize("letter, length, decimals, text", [
        ("D", 16, 0, "20240229"), ("T", 12, 0, "2359"), ("P", 4, 2, "1.234"), ("P", 2, 0, "1234"),
        ("b", 1, 0, "256"), ("s", 2, 0, "4x"), ("F", 8, 0, "one"), ("p", 8, 0, "2024-01-01 00:00:00"),
    ])
    def test_values_the_field_cannot_hold(self, letter, length, decimals, text):
        with pytest.raises(values.ValueProblem):
            basxml.scalar_from(basxml.Node("X", text=text), letter, length, decimals, "X")

    def test_raw_fields_are_binary_content(self):
        assert basxml.scalar_from(basxml.Node("X", data=b"\x01\x02"), "X", 2, 0, "X") == b"\x01\x02"
        assert basxml.scalar_from(None, "X", 3, 0, "X") == b"\x00\x00\x00"
        assert basxml.scalar_from(basxml.Node("X"), "X", 3, 0, "X") == b"\x00\x00\x00"
        with pytest.raises(values.ValueProblem):
            basxml.scalar_from(basxml.Node("X", text="0102"), "X", 2, 0, "X")


class TestContainers:
    def test_request_records_and_payload(self):
        doc = prologue() + END
        records = [(Rid.BASXML_VERSION, b"\x01\x01"), (Rid.BASXML_PAYLOAD, basxml.deflate(doc)[:3]),
                   (Rid.BASXML_PAYLOAD, basxml.deflate(doc)[3:]), (Rid.BASXML_END, b"")]
        assert basxml.request_payload(records) == (doc, [])
        _, problems = basxml.request_payload([(Rid.BASXML_VERSION, b"\x01\x02")] + records[1:])
        assert problems and "0102" in problems[0]
        _, problems = basxml.request_payload(records[1:])
        assert problems and "expected 0x4000" in problems[0]
        with pytest.raises(basxml.BasxmlProblem):
            basxml.request_payload([(Rid.BASXML_VERSION, b"\x01\x01"), (Rid.BASXML_PAYLOAD, b"\xff"),
                                    (Rid.BASXML_END, b"")])

    def test_reply_payload_in_pieces(self):
        c = basxml.reply_container(bytes(range(10)), 4, before=[(Rid.ABAP_EXCEPTION_KEY, u16("K"))])
        records, _ = container.read_records(c)
        assert records == [(Rid.ABAP_EXCEPTION_KEY, u16("K")), (Rid.BASXML_VERSION, b"\x01\x01"),
                           (Rid.BASXML_PAYLOAD, bytes(range(4))), (Rid.BASXML_PAYLOAD, bytes(range(4, 8))),
                           (Rid.BASXML_PAYLOAD, bytes(range(8, 10))), (Rid.BASXML_END, b"")]

    def test_hostile_payloads(self):
        bomb = basxml.hostile_payload("bomb")
        assert len(bomb) < 200000
        assert len(zlib.decompressobj(-15).decompress(bomb)) == (64 << 20) + 1
        deep = zlib.decompress(basxml.hostile_payload("deep"), -15)
        with pytest.raises(basxml.BasxmlProblem, match="more than 128 open elements"):
            basxml.read_document(deep)
        basxml.read_document(basxml.nested_document(126))  # 128 open elements with the root


# --- whole calls -------------------------------------------------------------------------


def basxml_request(function, document, requested=(), pieces=1):
    payload = zlib.compressobj(9, zlib.DEFLATED, -15)
    payload = payload.compress(document) + payload.flush()
    step = -(-len(payload) // pieces)
    out = container.record(0x0502, b"") + container.record(0x000B, u16("753")) + container.record(0x0102, u16(function))
    out += container.record(0x0512, b"") + b"".join(container.record(0x0205, u16(r)) for r in requested)
    out += container.record(0x4000, b"\x01\x01")
    out += b"".join(container.record(0x4002, payload[i : i + step]) for i in range(0, len(payload), step))
    out += container.record(0x4004, b"") + bytes.fromhex("FFFF0000FFFF")
    return out + struct.pack(">I", len(out)) + bytes.fromhex("00008500")


def reply_document(records):
    payload = b"".join(bytes(v) for rid, v in records if rid == Rid.BASXML_PAYLOAD)
    _, params, _ = basxml.read_document(zlib.decompress(payload, -15))
    return {p.name: p for p in params}


@pytest.fixture(scope="module")
def bsim():
    with Sim(config={"basxml_piece": 50, "functions": {"STFC_CONNECTION": {"basxml": "X"},
                                                       "Z_SIM_STRUCT": {"basxml": "X"}}}) as sim:
        yield sim


def client(sim):
    c = RawClient(sim.gateway).setup()
    c.logon()
    return c


def test_a_scalar_call(bsim):
    c = client(bsim)
    c.send_message(basxml_request("STFC_CONNECTION", prologue() + text_param(9, "REQUTEXT", "hallo") + END,
                                  requested=["ECHOTEXT"], pieces=3))
    records = c.recv_reply()
    assert len([r for r in records if r[0] == Rid.BASXML_PAYLOAD]) > 1  # 50-byte records
    params = reply_document(records)
    assert list(params) == ["ECHOTEXT"] and params["ECHOTEXT"].text == "hallo"
    c.close()


def test_a_structure_call(bsim):
    c = client(bsim)
    row = (b"\x2b" + s("I_ROW") + b"\x3c\x09\x01" + text_param(10, "ID", "42") + text_param(11, "NAME", "Zoë")
           + text_param(12, "AMOUNT", "-1.50") + text_param(13, "DAY", "2024-02-29") + text_param(14, "SCORE", "2.5")
           + b"\x3e")
    c.send_message(basxml_request("Z_SIM_STRUCT", prologue() + row + END))
    params = reply_document(c.recv_reply())
    assert params["E_SEEN"].text == "ID=42;NAME=Zoë" + " " * 17 + ";AMOUNT=-1.50;DAY=20240229;SCORE=2.5"
    assert [(k.name, k.text) for k in params["E_ROW"].children] == [
        ("ID", "42"), ("NAME", "Zoë"), ("AMOUNT", "-1.50"), ("DAY", "2024-02-29"), ("SCORE", "2.5")]
    c.close()


@pytest.mark.parametrize("document, key, text", [
    (prologue() + b"\x2b" + s("I_ROW") + b"\x3c\x09\x01" + text_param(10, "ID", "1") + b"\x3e" + END,
     "SIM_BAD_REQUEST", "lacks its component NAME"),
    (prologue() + text_param(9, "REQUTEXT", "x") + text_param(9, "REQUTEXT", "y", new=False) + b"\x2b" + s("ZZ")
     + END, "SIM_BAD_REQUEST", "defined before a token"),
    (b"BXML" + END, "SIM_BAD_REQUEST", "basXML request"),
    (prologue() + text_param(9, "I_ROW", "flat") + END, "CONVERSION_ERROR", "holds a value instead of components"),
])
def test_deviations_are_refused_beside_an_empty_document(bsim, document, key, text):
    c = client(bsim)
    function = "STFC_CONNECTION" if b"REQUTEXT" in document else "Z_SIM_STRUCT"
    c.send_message(basxml_request(function, document))
    records = c.recv_reply()
    got_key = next(bytes(v) for rid, v in records if rid == Rid.ABAP_EXCEPTION_KEY).decode("utf-16-le")
    message = next(bytes(v) for rid, v in records if rid == Rid.ABAP_ERROR_MESSAGE).decode("utf-16-le")
    assert got_key == key and text in message
    assert reply_document(records) == {}
    c.close()
