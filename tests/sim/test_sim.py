"""Self-tests of the simulated ABAP system.

The codecs are checked against the byte examples of the protocol, and whole
conversations are scripted over raw sockets from the protocol's byte
templates (written out here independently of the simulator's own copies), so
that the simulator is checked against the protocol and not only against the
client it serves.
"""

import datetime
import os
import random
import socket
import struct
import sys
import threading
import zlib
from decimal import Decimal

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import appc, container, decfloat, deep, faults, lzh, utclong, values  # noqa: E402
from sim.container import ContainerError, Rid  # noqa: E402
from sim.dictionary import dfies_row, standard_dictionary  # noqa: E402
from sim.interface import Param, params_row  # noqa: E402
from sim.logon import KEY_TABLE, descramble, scramble  # noqa: E402
from sim.ni import FrameReader, NiLengthError, ni_frame  # noqa: E402
from sim.router import RouteProblem, build_route_request, parse_route_request  # noqa: E402
from simctl import Sim  # noqa: E402

H = bytes.fromhex


def u16(text):
    return text.encode("utf-16-le")


# =============================================================================
# Byte templates, transcribed from the protocol's tables: "a..b=HEX;c=HEX".
# =============================================================================


def template(spec, size=80, conv=None):
    out = bytearray(size)
    for part in spec.split(";"):
        where, hexbytes = part.split("=")
        start = int(where.split("..")[0])
        value = H(hexbytes)
        if ".." in where:
            assert int(where.split("..")[1]) - start + 1 == len(value), part
        out[start : start + len(value)] = value
    if conv is not None:
        out[40:48] = conv
    return bytes(out)


DATA_T = "0..7=06CB0200FFFF0000;27=08;30..31=050C;76..79=FFFF0003"
CHUNK_T = "0..7=06080200FFFF0000;76..79=FFFF0008"
DATA_LAST_T = "0..7=06090200FFFF0000;30=01;48..51=00006D60;76..79=FFFF0008"
DEALLOCATE_T = "0..7=060B0200FFFF0000;76..79=FFFF0003"
CANCEL_T = "0..7=06D50200FFFF0000;16=08;30=01;76..79=FFFF000A"
SET_PARTNER_T = ("0..7=060F0200FFFF0000;10=01;27=90;30=04;48..55=" + b"localhos".hex() + ";59=09;76..79=FFFF0003")
ALLOCATE_T = "0..7=06050200FFFF0000;30=01;76..79=FFFF0003"
INITIALIZE_T = ("0..7=06010200FFFF0000;10=01;16=C0;21=04;26..27=0175;30=05;40..47=" + (b" " * 8).hex()
                + ";48..55=" + b"NWRFC   ".hex() + ";56..63=" + b"localhos".hex() + ";64..71=" + b"sapdp00 ".hex()
                + ";72..79=490100000000FFFF")


def initialize_body(letters=b"QT"):
    return template(";".join([
        "0..31=" + (b"NWRFC" + b" " * 27).hex(), "32..33=0101", "34..37=" + b"CPIC".hex(),
        "42..73=" + b"6A7ADCFE6A7ADCFE6A7ADCFF6A7ADCFF".hex(), "77=01", "78..85=FFFFFFFEFFFFFFFE", "86=02",
        "105..113=" + b"localhost".hex(), "249..260=" + (letters + b" " * 10).hex(), "309..315=" + b"sapdp00".hex(),
    ]), size=373)


def handshake_packet(host=b"lomrah"):
    return template(";".join([
        "0=02", "1=03", "2..5=7F000001", "10..19=" + b"nwrfc_stf\x00".hex(), "20..23=" + b"1100".hex(), "29=06",
        "30..37=" + (host + b"  ").hex(), "38..45=" + b"nwrfc_st".hex(), "46..53=" + (b" " * 8).hex(),
        "54..55=06CB", "56..57=FFFF",
    ]), size=64)


def logon_container(user="TESTER", password=b"secret", client="001", lang="E", seed=0x1BADB002, nonce=None):
    nonce = nonce or (struct.pack("<I", seed) + bytes(range(12)))
    records = [
        (0x0101, H("0301010101010000")), (0x0103, H("00000E0B")), (0x0106, H("0401000300" "0A02000000" "23")),
        (0x0514, nonce), (0x0114, client.encode()), (0x0111, user.encode()), (0x0117, scramble(password, seed)),
        (0x0115, lang.encode()), (0x0501, b"\x01"), (0x0007, b"127.0.0.1"), (0x0018, b"::1"), (0x0011, b"E"),
        (0x0012, b"753"), (0x0013, b"753"), (0x0008, b"testhost"), (0x0006, b"<unknown>"), (0x0130, b"quib_proto"),
        (0x0502, b""), (0x000B, b"753"), (0x0102, b"RFCPING"),
    ]
    body = H("D9C6C3F0F0F0F0F0F0F0F0F0") + b"".join(container.record(i, v) for i, v in records) + H("FFFF0000FFFF")
    return body + struct.pack(">I", len(body)) + H("00008500")


def request(function, params=(), requested=(), tables=()):
    """A classic request: head records, requested outputs, parameters, tables."""
    out = container.record(0x0502, b"") + container.record(0x000B, u16("753")) + container.record(0x0102, u16(function))
    out += container.record(0x0512, b"")
    out += b"".join(container.record(0x0205, u16(r)) for r in requested)
    for name, raw in params:
        out += container.record(0x0201, u16(name)) + container.record(0x0203, raw)
    for k, (name, width, rows) in enumerate(tables, 1):
        out += container.record(0x0301, u16(name)) + container.record(0x0330, struct.pack(">I", k))
        out += container.record(0x0302, struct.pack(">II", width, len(rows)))
        out += b"".join(container.record(0x0303, r) for r in rows)
    out += H("FFFF0000FFFF")
    return out + struct.pack(">I", len(out)) + H("00008500")


class RawClient:
    """A client scripted from the byte templates, one frame at a time."""

    # The Initialize header of set-up.
    initialize = INITIALIZE_T

    def __init__(self, port, timeout=20.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.reader = FrameReader(limit=1 << 30)
        self.conv = b" " * 8

    def send_frame(self, payload):
        self.sock.sendall(ni_frame(payload))

    def recv_frame(self):
        while True:
            frame = self.reader.next_frame()
            if frame is not None:
                return frame
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed by the simulator")
            self.reader.push(data)

    def recv_raw(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def at_eof(self):
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True

    def setup(self, host=b"lomrah"):
        self.send_frame(handshake_packet(host))
        self.handshake_reply = self.recv_frame()
        self.send_frame(template(self.initialize) + initialize_body())
        init = self.recv_frame()
        assert init[:2] == b"\x06\x01", init[:2].hex()
        self.conv = init[40:48]
        self.send_frame(template(SET_PARTNER_T, conv=self.conv) + b"localhost".ljust(128, b" ") + bytes(16))
        self.send_frame(template(ALLOCATE_T, conv=self.conv))
        alloc = self.recv_frame()
        assert alloc[:2] == b"\x06\x05", alloc[:2].hex()
        return self

    def send_message(self, message):
        if len(message) <= 28000:
            self.send_frame(template(DATA_T, conv=self.conv) + message)
            return
        for start in range(0, len(message), 28000):
            piece = message[start : start + 28000]
            self.send_frame(template(CHUNK_T + ";48..51=" + struct.pack(">I", len(piece)).hex(), conv=self.conv) + piece)
        self.send_frame(template(DATA_LAST_T, conv=self.conv))

    def recv_reply(self):
        """The records of one reply container, assembled from data records."""
        data = b""
        self.reply_records = []
        while True:
            frame = self.recv_frame()
            self.reply_records.append(frame)
            assert frame[0] == 0x06 and frame[1] in (0xCB, 0x09), frame[:2].hex()
            assert frame[40:48] == self.conv
            data += frame[80:]
            try:
                records, _ = container.read_records(data)
                return records
            except ContainerError as exc:
                if exc.kind not in ("truncated", "missing end"):
                    raise

    def logon(self, **kw):
        self.send_message(logon_container(**kw))
        return self.recv_reply()

    def call(self, function, params=(), requested=(), tables=()):
        self.send_message(request(function, params, requested, tables))
        return self.recv_reply()

    def deallocate(self):
        self.send_frame(template(DEALLOCATE_T, conv=self.conv))

    def close(self):
        self.sock.close()


def values_of(records):
    """{parameter name: value bytes} of a reply."""
    out = {}
    name = None
    for rid, value in records:
        if rid == Rid.PARAMETER_NAME:
            name = value.decode("utf-16-le")
        elif rid == Rid.PARAMETER_VALUE and name is not None:
            out[name] = bytes(value)
            name = None
    return out


def tables_of(records):
    """{table name: (width, declared rows, [content records], compressed bytes)}."""
    out = {}
    current = None
    for rid, value in records:
        if rid == Rid.TABLE_NAME:
            current = value.decode("utf-16-le")
            out[current] = [0, 0, [], b""]
        elif rid == Rid.TABLE_HEADER:
            out[current][0], out[current][1] = struct.unpack(">II", value)
        elif rid == Rid.TABLE_CONTENT:
            out[current][2].append(bytes(value))
        elif rid in (Rid.TABLE_COMPRESSED, Rid.TABLE_COMPRESSED_CHUNK):
            out[current][3] += bytes(value)
    return out


def first(records, rid):
    return next((bytes(v) for i, v in records if i == rid), None)


# =============================================================================
# Codecs
# =============================================================================


class TestContainer:
    def test_empty_container_and_header(self):
        assert container.Writer().finish() == H("FFFF0000FFFF")
        assert container.Writer(header=True).finish() == H("D9C6C3F0F0F0F0F0F0F0F0F0FFFF0000FFFF")

    @pytest.mark.parametrize("size, length_field", [(65534, "0201FFFE"), (65535, "0201FFFF0000FFFF"), (70000, "0201FFFF00011170")])
    def test_long_values_use_the_escape_from_65535(self, size, length_field):
        value = bytes(i & 0xFF for i in range(size))
        rec = container.record(0x0201, value)
        assert rec.startswith(H(length_field)) and rec.endswith(H("0201"))
        records, end = container.read_records(rec + H("FFFF0000FFFF"))
        assert records == [(0x0201, value)] and end == len(rec) + 6

    @pytest.mark.parametrize("data, kind, offset", [
        (H("0102000141" "0201" "FFFF0000FFFF"), "tag mismatch", 0),
        (container.record(0x0102, b"AB"), "missing end", 8),
        (container.record(0x0102, b"AB")[:5], "truncated", 0),
        (H("D9C6C3F0F0F0F0F0F0F0F0F0") + container.record(0x0102, b"ABCD")[:7], "truncated", 12),
        (H("0102FFFF000000"), "truncated", 0),
    ])
    def test_malformed_containers(self, data, kind, offset):
        with pytest.raises(ContainerError) as exc:
            container.read_records(data)
        assert (exc.value.kind, exc.value.offset) == (kind, offset)

    def test_trailer_states_the_length_before_it(self):
        body = container.Writer().add(0x0102, b"X").finish()
        message = container.with_trailer(body)
        assert message[-8:] == struct.pack(">I", len(body)) + H("00008500")
        assert container.split_trailer(message) == (body, True)
        wrong = message[:-8] + struct.pack(">I", len(body) + 1) + H("00008500")
        assert container.split_trailer(wrong)[1] is False

    def test_err_blocks(self):
        block = b"*ERR*\x00x\x00 connection refused \x00gw\x00"
        assert container.parse_err_block(block) == ("connection refused", "gw")
        assert container.parse_err_block(b"*ERR*") is None
        assert container.parse_err_block(b"*ERR*\x00") == ("", "")
        assert container.parse_err_block(container.err_block("gateway down", origin="sim gw")) == ("gateway down", "sim gw")


class TestNiFrames:
    def test_frames_cut_from_pieces(self):
        stream = ni_frame(b"") + ni_frame(b"abc") + ni_frame(bytes(300))
        assert stream[:4] == H("00000000")
        reader = FrameReader()
        got = []
        for i in range(len(stream)):
            reader.push(stream[i : i + 1])
            frame = reader.next_frame()
            if frame is not None:
                got.append((i, frame))
        assert [g[1] for g in got] == [b"", b"abc", bytes(300)]
        assert [g[0] for g in got] == [3, 10, len(stream) - 1]

    def test_the_limit_is_checked_before_the_payload_arrives(self):
        reader = FrameReader(limit=16)
        reader.push(H("00000010") + bytes(16))
        assert reader.next_frame() == bytes(16)
        reader.push(H("00000011"))
        with pytest.raises(NiLengthError) as exc:
            reader.next_frame()
        assert (exc.value.declared, exc.value.limit) == (17, 16)


class TestAppc:
    @pytest.mark.parametrize("built, spec", [
        (appc.client_data, DATA_T),
        (appc.client_data_last, DATA_LAST_T),
        (appc.client_deallocate, DEALLOCATE_T),
        (appc.client_cancel, CANCEL_T),
        (appc.client_set_partner, SET_PARTNER_T),
        (appc.client_allocate, ALLOCATE_T),
    ])
    def test_the_checked_templates_are_the_protocols(self, built, spec):
        conv = b"12345678"
        assert built(conv) == template(spec, conv=conv)

    def test_set_up_templates(self):
        assert appc.client_chunk(b"ABCDEFGH", 28000) == template(CHUNK_T + ";48..51=00006D60", conv=b"ABCDEFGH")
        assert appc.client_initialize() == template(INITIALIZE_T)
        assert appc.client_initialize(snc=True) == template(INITIALIZE_T.replace("10=01", "10=21"))
        body = initialize_body(b"??")
        assert appc.client_initialize_body() == body and len(body) == 373
        assert appc.client_handshake() == handshake_packet(b"??????")

    def test_parsing_records(self):
        rec = appc.parse_record(template(DATA_T, conv=b"1234    ") + b"xy")
        assert (rec.name, rec.conversation, rec.data) == ("Data", b"1234    ", b"xy")
        assert appc.parse_record(bytes([6, 0xD1]) + bytes(78)).name == "Unknown(0xd1)"
        assert appc.parse_record(bytes([6, 0x01]) + bytes(78)).data == b""
        with pytest.raises(appc.AppcError, match="79 bytes"):
            appc.parse_record(bytes(79))
        with pytest.raises(appc.AppcError, match="version 0x05"):
            appc.parse_record(bytes([5, 0xCB]) + bytes(78))

    @pytest.mark.parametrize("conv, blank", [(b" " * 8, True), (bytes(8), True), (b" \x00 \x00 \x00 \x00", True),
                                             (b"1234    ", False), (b"       !", False)])
    def test_blank_conversation_ids(self, conv, blank):
        assert appc.is_blank_conversation(conv) is blank


class TestRoute:
    EXAMPLE = (b"NI_ROUTE" + H("00022802") + H("00000001") + H("00000013") + H("00000009")
               + b"r1\x003299\x00\x00app\x003300\x00\x00")

    def test_the_43_byte_request(self):
        assert len(self.EXAMPLE) == 43
        assert build_route_request([("r1", "3299", ""), ("app", "3300", "")]) == self.EXAMPLE
        assert parse_route_request(self.EXAMPLE) == [("r1", "3299", ""), ("app", "3300", "")]

    def test_passwords_travel_in_the_hop_entries(self):
        req = build_route_request([("r1", "3299", "pw"), ("app", "3300", "")])
        assert req[20:24] == struct.pack(">I", 2 + 4 + 2 + 3)
        assert parse_route_request(req)[0] == ("r1", "3299", "pw")

    @pytest.mark.parametrize("mangle", [
        lambda r: r[:16] + H("00000014") + r[20:],          # list length
        lambda r: r[:20] + H("0000000A") + r[24:],          # first entry length
        lambda r: r[:11] + H("03") + r[12:],                # hop count
        lambda r: r[:-1],                                   # missing final NUL
        lambda r: b"NI_PING " + r[8:],
        lambda r: r[:9] + H("03") + r[10:],
    ])
    def test_malformed_requests_are_refused(self, mangle):
        with pytest.raises(RouteProblem):
            parse_route_request(mangle(self.EXAMPLE))


class TestPassword:
    def test_key_table(self):
        assert len(KEY_TABLE) == 64 and KEY_TABLE[:4] == H("1f2e3d4c") and KEY_TABLE[-1] == 0x19

    @pytest.mark.parametrize("password, seed, scrambled", [
        (b"", 0xDEADBEEF, "efbeadde"),
        (b"AB", 0, "000000005e93"),
        # start position 59 for this seed: the sixth byte wraps around to key[0]
        (b"abcdef", 0x12345678, "78563412b5f04b5600ca"),
    ])
    def test_known_values(self, password, seed, scrambled):
        assert scramble(password, seed) == H(scrambled)
        assert descramble(H(scrambled)) == (password, seed)

    def test_round_trip(self):
        rng = random.Random(7)
        for _ in range(200):
            password = bytes(rng.randint(0x20, 0x7E) for _ in range(rng.randint(0, 40)))
            seed = rng.getrandbits(32)
            assert descramble(scramble(password, seed)) == (password, seed)


class TestValues:
    @pytest.mark.parametrize("text, width, decimals, packed, back", [
        ("-12.5", 3, 2, "01250d", "-12.50"), ("0", 1, 0, "0c", "0"), ("123.45", 3, 2, "12345c", "123.45"),
        ("-0.00", 2, 2, "000d", "-0.00"), ("99999", 3, 0, "99999c", "99999"), ("1.230", 2, 2, "123c", "1.23"),
    ])
    def test_packed_numbers(self, text, width, decimals, packed, back):
        assert values.pack_bcd(Decimal(text), width, decimals) == H(packed)
        assert format(values.unpack_bcd(H(packed), decimals), "f") == back

    @pytest.mark.parametrize("text, width, decimals", [("1.235", 3, 2), ("12345", 2, 0)])
    def test_unpackable_numbers(self, text, width, decimals):
        with pytest.raises(values.ValueProblem):
            values.pack_bcd(Decimal(text), width, decimals)

    @pytest.mark.parametrize("raw", ["1a2c", ""])
    def test_unreadable_packed_numbers(self, raw):
        with pytest.raises(values.ValueProblem):
            values.unpack_bcd(H(raw), 0)

    @pytest.mark.parametrize("raw, value", [
        ("123f", 123), ("123c", 123), ("123d", -123),
        # only 0xD is negative: 0xB, a digit nibble and 0 are positive
        ("123b", 123), ("1234", 123),
        # the initial value of a packed field: every byte zero
        ("0000", 0), ("00000000", 0),
    ])
    def test_packed_sign_nibbles(self, raw, value):
        got = values.unpack_bcd(H(raw), 0)
        assert got == value and not (value == 0 and got.is_signed())

    @pytest.mark.parametrize("raw, text", [
        # the simulator reports zero with its exponent, as the scientific string has it
        ("0000000000000000", "0E-398"), ("0000000000003822", "0"), ("d000000000003022", "1.50"),
        ("0100000000004422", "1E+3"), ("a300000000001022", "1.23E-8"), ("3405000000003022", "12.34"),
        ("00000000000038a2", "-0"), ("00000000000000f8", "-Infinity"), ("000000000000007e", "NaN"),
    ])
    def test_decfloat16_examples(self, raw, text):
        assert decfloat.to_text(decfloat.decode(H(raw))) == text

    @pytest.mark.parametrize("text, size, ok", [
        ("1E+369", 8, True), ("1E+370", 8, False), ("1E-398", 8, True), ("1E-399", 8, False),
        ("1234567890123456", 8, True), ("12345678901234567", 8, False), ("1.0000000000000000", 8, False),
        ("9" * 34, 16, True), ("9" * 35, 16, False), ("1E+6111", 16, True), ("1E-6176", 16, True),
    ])
    def test_decfloat_range(self, text, size, ok):
        if ok:
            assert decfloat.decode(decfloat.encode(Decimal(text), size)) == Decimal(text)
        else:
            with pytest.raises(decfloat.DecFloatError):
                decfloat.encode(Decimal(text), size)

    def test_every_declet_decodes_and_every_triple_encodes_canonically(self):
        seen = {}
        for d in range(1024):
            digits = decfloat.declet_to_digits(d)
            assert all(0 <= x <= 9 for x in digits)
            seen.setdefault(digits, []).append(d)
        assert len(seen) == 1000
        for digits, declets in seen.items():
            assert decfloat.digits_to_declet(*digits) in declets

    def test_decfloat_round_trip_keeps_exponent_and_sign(self):
        rng = random.Random(3)
        for size, digits, emin, emax in ((8, 16, -398, 369), (16, 34, -6176, 6111)):
            for _ in range(300):
                n = rng.randint(1, digits)
                coefficient = rng.randrange(10 ** n)
                value = Decimal((rng.randint(0, 1), tuple(map(int, str(coefficient))), rng.randint(emin, emax - n + 1)))
                back = decfloat.decode(decfloat.encode(value, size))
                assert back.as_tuple() == value.as_tuple()

    def test_utclong_calendar(self):
        assert utclong.to_text(0) == ""
        assert utclong.to_text(1) == "0001-01-01 00:00:00.0000000"
        last_julian = utclong.from_parts(1582, 10, 4, 23, 59, 59, 9999999)
        assert utclong.from_parts(1582, 10, 15) == last_julian + 1
        with pytest.raises(ValueError):
            utclong.from_parts(1582, 10, 10)
        with pytest.raises(ValueError):
            utclong.from_parts(2023, 2, 29)
        assert utclong.to_text(2 ** 64 - 1).split("-")[0].isdigit() and len(utclong.to_text(2 ** 64 - 1).split("-")[0]) == 5

    def test_gregorian_days_agree_with_datetime(self):
        rng = random.Random(11)
        for _ in range(500):
            day = rng.randint(utclong.GREGORIAN_START, 3652058)
            expected = datetime.date.fromordinal(day - 1)
            assert utclong.day_to_date(day) == (expected.year, expected.month, expected.day)
            assert utclong.date_to_day(expected.year, expected.month, expected.day) == day

    def test_char_fields(self):
        assert values.encode("C", "AB", 10) == H("41004200200020002000")
        assert values.decode("C", H("41004200"), 10) == "AB   "
        assert values.decode("C", u16("ABCDEFG"), 10) == "ABCDE"
        with pytest.raises(values.ValueProblem):
            values.decode("C", H("410042"), 10)

    @pytest.mark.parametrize("letter, raw", [("I", "01000000ff"), ("s", "01"), ("F", "00"), ("a", "00" * 7)])
    def test_wrong_sizes_are_problems(self, letter, raw):
        with pytest.raises(values.ValueProblem):
            values.decode(letter, H(raw), 4)


class TestRows:
    def test_params_row_layout(self):
        p = Param("I_PACKED", "I", "P", 8, 2, "ZSIM_AMOUNT", "FIELD")
        row = params_row(p, 5)
        assert len(row) >= 196
        assert row[0:2] == u16("I")
        assert row[2:62] == u16("I_PACKED".ljust(30))
        assert row[62:122] == u16("ZSIM_AMOUNT".ljust(30))
        assert row[122:182] == u16("FIELD".ljust(30))
        assert row[182:184] == u16("P")
        assert struct.unpack_from("<I", row, 192)[0] == 8
        # what a reader must skip is not blank
        assert row[184:192] != bytes(8) and struct.unpack_from("<I", row, 196)[0] == 2
        assert params_row(p, 5, width=190) == row[:190]

    def test_dfies_rows(self):
        d = standard_dictionary()
        row = dfies_row("ZSIM_ROW", d.lookup("ZSIM_ROW").field("AMOUNT"), 3)
        units = row.decode("utf-16-le")
        assert len(units) >= 190
        assert units[0:30].strip() == "ZSIM_ROW" and units[30:60].strip() == "AMOUNT"
        assert units[61:65] == "0003" and int(units[65:71]) == 44
        assert units[101:131].strip() == "ZSIM_AMOUNT" and int(units[167:173]) == 8
        assert int(units[179:185]) == 2 and units[185:189] == "DEC " and units[189] == "P"

    def test_structure_layout_aligns_fields(self):
        row = standard_dictionary().lookup("ZSIM_ROW")
        assert [(f.name, f.offset, f.intlen) for f in row.fields] == [
            ("ID", 0, 4), ("NAME", 4, 40), ("AMOUNT", 44, 8), ("DAY", 52, 16), ("SCORE", 72, 8)]
        assert row.size == 80


class TestCompressedTables:
    @staticmethod
    def zlib_rows(content):
        """The rows, decoded by zlib after the skip bits are removed."""
        stream = content[16:]
        skip = stream[0] & 3
        raw = (int.from_bytes(stream, "little") >> (2 + skip)).to_bytes(len(stream), "little")
        return zlib.decompressobj(-15).decompress(raw)

    @pytest.mark.parametrize("coding", ["zlib", "fixed", "literal"])
    @pytest.mark.parametrize("skip", [0, 1, 2, 3])
    def test_content_layout_and_stream(self, coding, skip):
        data = b"".join(struct.pack("<I", i) + u16(f"ROW {i:05d}".ljust(20)) for i in range(300))
        content = lzh.compress_table(data, coding, skip)
        assert (content[0], content[1], content[3], content[12], content[13:15]) == (0x7B, 0x02, 0xEA, 0x12, H("1F9D"))
        assert struct.unpack_from("<I", content, 8)[0] == len(data)
        assert content[16] & 3 == skip
        assert self.zlib_rows(content) == data
        assert lzh.decompress_table(content) == data
        _, types = lzh.inflate(content[16:], 2 + skip)
        assert 0 not in types and 3 not in types
        if coding != "zlib":
            assert set(types) == {1}

    def test_incompressible_data_never_uses_stored_blocks(self):
        rng = random.Random(5)
        data = bytes(rng.getrandbits(8) for _ in range(70000))
        assert 0 in lzh.inflate(lzh.deflate_zlib(data))[1]  # what zlib would have sent
        content = lzh.compress_table(data)
        assert 0 not in lzh.inflate(content[16:], 2 + (content[16] & 3))[1]
        assert self.zlib_rows(content) == data

    def test_the_inflater_reads_zlib_streams(self):
        rng = random.Random(9)
        data = bytes(rng.choice(b"abcdefgh ") for _ in range(50000))
        for level in (0, 1, 6, 9):
            c = zlib.compressobj(level, zlib.DEFLATED, -15)
            assert lzh.inflate(c.compress(data) + c.flush())[0] == data


class TestDeepAndFaults:
    def test_deep_text(self):
        assert deep.escape_name("/BIC/FIELD") == "_--2FBIC_--2FFIELD"
        assert deep.element("A", [("B", "x & <y>")]) == "<A><B>x &amp; &lt;y&gt;</B></A>"
        text = "<A>" + "äöü€" * 10 + "</A>"
        pieces = deep.split_text(text, 5)
        assert b"".join(pieces) == text.encode() and all(len(p) <= 5 for p in pieces)
        for p in pieces:
            p.decode("utf-8")

    def test_fault_syntax(self):
        f = faults.parse_fault("delay=call/z_sim_sleep:0.5@2")
        assert (f.action, f.step, f.function, f.arg, f.conn) == ("delay", "call", "Z_SIM_SLEEP", "0.5", 2)
        assert f.matches("call", 2, "Z_SIM_SLEEP") and not f.matches("call", 1, "Z_SIM_SLEEP")
        assert not f.matches("call", 2, "RFCPING") and not f.matches("logon", 2)
        assert faults.parse_fault("close=logon").matches("logon", 7)
        for bad in ("close", "explode=logon", "close=lunch", "close=logon@x"):
            with pytest.raises(faults.FaultError):
                faults.parse_fault(bad)

    def test_split_points(self):
        assert faults.split_points("4", 10) == [0, 4, 8, 10]
        assert faults.split_points("3,1,99,0", 10) == [0, 1, 3, 10]
        assert faults.split_points("", 10) is None


# =============================================================================
# Scripted conversations against a running simulator
# =============================================================================


@pytest.fixture
def sim():
    s = Sim("--saprouter", "--routepass", "route-pw")
    yield s
    s.close()


def echo_params(**named):
    return [("I_" + k, v) for k, v in named.items()]


class TestSession:
    def test_full_conversation_follows_the_templates(self, sim):
        c = RawClient(sim.gateway)
        c.setup()
        assert len(c.handshake_reply) > 0
        assert c.conv.isdigit() and not appc.is_blank_conversation(c.conv)
        reply = c.logon()
        assert first(reply, Rid.SYSTEM_ID).decode("utf-16-le").rstrip() == "QSI"
        assert first(reply, Rid.KERNEL_RELEASE) == b"753"
        assert first(reply, Rid.ABAP_ERROR_MESSAGE) is None and first(reply, Rid.ABAP_EXCEPTION_KEY) is None
        assert c.call("RFCPING") == []
        reply = c.call("STFC_CONNECTION", [("REQUTEXT", u16("hello".ljust(255)))], ["ECHOTEXT", "RESPTEXT"])
        got = values_of(reply)
        assert got["ECHOTEXT"].decode("utf-16-le").rstrip() == "hello"
        assert "User: TESTER" in got["RESPTEXT"].decode("utf-16-le")
        c.deallocate()
        c.close()
        closed = sim.wait_for(event="closed", conn=1)[0]
        assert closed["deallocates"] == 1 and closed["calls"] == 2 and closed["logged_on"] is True
        assert sim.checks() == []
        logged = sim.messages("call")
        assert logged[0] == request("RFCPING")
        assert sim.messages("logon")[0] == logon_container()
        assert sim.frames("deallocate") == [template(DEALLOCATE_T, conv=c.conv)]

    @pytest.mark.parametrize("kw, status, text", [
        ({"password": b"wrong"}, 0x01, "Name or password is incorrect"),
        ({"user": "NOBODY"}, 0x01, "Name or password is incorrect"),
        ({"client": "002"}, 0x02, "Client 002 is not available"),
        ({"user": "tester"}, None, None),
    ])
    def test_logon_credentials(self, sim, kw, status, text):
        c = RawClient(sim.gateway).setup()
        reply = c.logon(**kw)
        if status is None:
            assert first(reply, Rid.LOGON_STATUS) is None
            return
        assert first(reply, Rid.LOGON_STATUS) == bytes([status])
        assert text in first(reply, Rid.ABAP_ERROR_MESSAGE).decode("utf-16-le")
        assert first(reply, Rid.SYSTEM_ID) is not None

    def test_malformed_logon_is_refused_with_the_reason(self, sim):
        c = RawClient(sim.gateway).setup()
        seed = 0x01020304
        reply = c.logon(seed=seed, nonce=bytes(16))
        assert first(reply, Rid.LOGON_STATUS) == b"\x03"
        assert "seed" in first(reply, Rid.ABAP_ERROR_MESSAGE).decode("utf-16-le")

    @pytest.mark.parametrize("packet, init, text", [
        (handshake_packet()[:29] + b"\x07" + handshake_packet()[30:], None, "routing handshake"),
        (handshake_packet(b"h0st42"), None, "host name"),
        (None, template(INITIALIZE_T) + initialize_body()[:300] + b"x" + initialize_body()[301:], "Initialize body"),
        (None, template(INITIALIZE_T) + initialize_body()[:-1], "373"),
    ])
    def test_set_up_deviations_end_with_an_err_block(self, sim, packet, init, text):
        c = RawClient(sim.gateway)
        c.send_frame(packet or handshake_packet())
        answer = c.recv_frame()
        if init is not None:
            c.send_frame(init)
            answer = c.recv_frame()[80:]
        message, origin = container.parse_err_block(answer)
        assert text in message and origin == "sim"
        assert c.at_eof()

    def test_concurrent_conversations_get_their_own_conversation_ids(self, sim):
        clients = [RawClient(sim.gateway).setup() for _ in range(3)]
        results = {}

        def run(k, c):
            c.logon()
            results[k] = values_of(c.call("STFC_CONNECTION", [("REQUTEXT", u16(f"c{k}".ljust(255)))], ["ECHOTEXT"]))

        threads = [threading.Thread(target=run, args=(k, c)) for k, c in enumerate(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert len({c.conv for c in clients}) == 3
        assert {k: v["ECHOTEXT"].decode("utf-16-le").rstrip() for k, v in results.items()} == {0: "c0", 1: "c1", 2: "c2"}

    def test_chunked_request_and_split_reply(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        blob = bytes((i * 13) & 0xFF for i in range(70000))
        reply = c.call("Z_SIM_ECHO", echo_params(XSTRING=blob), ["E_XSTRING"])
        assert values_of(reply)["E_XSTRING"] == blob
        assert len(c.reply_records) == 3 and all(len(r) <= 80 + 28000 for r in c.reply_records)
        assert sim.frames("call")[-1] == template(DATA_LAST_T, conv=c.conv)
        reply = c.call("Z_SIM_SPLIT", [("SIZE", struct.pack("<i", 500)), ("PIECE", struct.pack("<i", 7))],
                       ["E_DATA", "E_SIZE"])
        assert values_of(reply)["E_DATA"] == bytes(((i * 7 + 3) & 0xFF) for i in range(500))
        assert len(c.reply_records) > 70 and all(len(r) <= 87 for r in c.reply_records)
        assert sim.checks() == []

    def test_cancel_during_a_slow_call(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        c.send_message(request("Z_SIM_SLEEP", [("MILLIS", struct.pack("<i", 60000))], ["E_MILLIS"]))
        sim.wait_for(kind="message", step="call", function="Z_SIM_SLEEP")
        c.send_frame(template(CANCEL_T, conv=c.conv))
        answer = c.recv_frame()
        assert answer[:2] == H("06D6") and answer[40:48] == c.conv
        sim.wait_for(event="cancelled", function="Z_SIM_SLEEP")
        assert sim.checks() == []

    def test_idle_cancel_is_answered(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        c.send_frame(template(CANCEL_T, conv=c.conv))
        assert c.recv_frame()[:2] == H("06D6")

    def test_function_interface_rows(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        reply = c.call("RFC_GET_FUNCTION_INTERFACE", [("FUNCNAME", u16("Z_SIM_ECHO".ljust(30)))],
                       ["REMOTE_BASXML_SUPPORTED", "REMOTE_CALL", "UPDATE_TASK", "PARAMS", "RESUMABLE_EXCEPTIONS"])
        assert values_of(reply)["REMOTE_BASXML_SUPPORTED"] == u16(" ")
        width, count, rows, _ = tables_of(reply)["PARAMS"]
        assert width >= 196 and count == len(rows) and all(len(r) == width for r in rows)
        decoded = [(r[0:2].decode("utf-16-le"), r[2:62].decode("utf-16-le").rstrip(), r[182:184].decode("utf-16-le"),
                    struct.unpack_from("<I", r, 192)[0], r[62:122].decode("utf-16-le").rstrip()) for r in rows]
        assert ("I", "I_PACKED", "P", 8, "ZSIM_AMOUNT") in decoded
        assert ("E", "E_DF34", "e", 16, "") in decoded
        assert ("C", "C_COUNTER", "I", 4, "") in decoded
        assert ("I", "I_CHAR", "C", 20, "") in decoded
        reply = c.call("RFC_GET_FUNCTION_INTERFACE", [("FUNCNAME", u16("NO_SUCH_FUNCTION".ljust(30)))], ["PARAMS"])
        assert first(reply, Rid.ABAP_EXCEPTION_KEY) == u16("FU_NOT_FOUND")

    def test_data_element_decimals(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        reply = c.call("DDIF_FIELDINFO_GET", [("TABNAME", u16("ZSIM_AMOUNT".ljust(30))), ("ALL_TYPES", u16("X"))],
                       ["DDOBJTYPE", "DFIES_WA", "DFIES_TAB"])
        units = values_of(reply)["DFIES_WA"].decode("utf-16-le")
        assert units[179:185] == "000002" and units[189] == "P"
        reply = c.call("DDIF_FIELDINFO_GET", [("TABNAME", u16("ZSIM_ROW".ljust(30)))], ["DFIES_TAB"])
        names = [r.decode("utf-16-le")[30:60].strip() for r in tables_of(reply)["DFIES_TAB"][2]]
        assert names == ["ID", "NAME", "AMOUNT", "DAY", "SCORE"]
        reply = c.call("DDIF_FIELDINFO_GET", [("TABNAME", u16("NOPE".ljust(30)))], ["DFIES_TAB"])
        assert first(reply, Rid.ABAP_EXCEPTION_KEY) == u16("NOT_FOUND")

    def test_scalar_echo_reports_what_it_read(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        sent = {
            "CHAR": u16("Grüße".ljust(10)), "NUMC": u16("00012345"), "DATS": u16("20240229"), "TIMS": u16("235959"),
            "PACKED": H("000000000001250d"), "PACKED0": H("0012345c"), "FLOAT": struct.pack("<d", 2.5),
            "INT1": H("ff"), "INT2": struct.pack("<h", -32768), "INT4": struct.pack("<i", -7),
            "INT8": struct.pack("<q", 2 ** 62), "RAW": bytes(range(16)), "STRING": "héllo".encode(),
            "XSTRING": H("00ff"), "DF16": H("d000000000003022"), "DF34": decfloat.encode(Decimal("-1.5E-200"), 16),
            "UTCLONG": utclong.from_parts(2024, 1, 5, 7, 8, 9, 1234567).to_bytes(8, "little"),
        }
        reply = values_of(c.call("Z_SIM_ECHO", echo_params(**sent) + [("C_COUNTER", struct.pack("<i", 41))],
                                 ["E_" + k for k in sent] + ["C_COUNTER", "E_SEEN"]))
        for k, raw in sent.items():
            assert reply["E_" + k] == raw, k
        assert reply["C_COUNTER"] == struct.pack("<i", 42)
        seen = dict(line.split("=", 1) for line in reply["E_SEEN"].decode().split("\n"))
        assert seen == {
            "I_CHAR": "Grüße     ", "I_NUMC": "00012345", "I_DATS": "20240229", "I_TIMS": "235959",
            "I_PACKED": "-12.50", "I_PACKED0": "12345", "I_FLOAT": "2.5", "I_INT1": "255", "I_INT2": "-32768",
            "I_INT4": "-7", "I_INT8": str(2 ** 62), "I_RAW": bytes(range(16)).hex(), "I_STRING": "héllo",
            "I_XSTRING": "00ff", "I_DF16": "1.50", "I_DF34": "-1.5E-200", "I_UTCLONG": "2024-01-05 07:08:09.1234567",
        }

    def test_unreadable_import_raises_conversion_error(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        reply = c.call("Z_SIM_ECHO", echo_params(INT4=b"\x01\x02"), ["E_INT4"])
        assert first(reply, Rid.ABAP_EXCEPTION_KEY) == u16("CONVERSION_ERROR")
        assert "I_INT4" in first(reply, Rid.ABAP_ERROR_MESSAGE).decode("utf-16-le")

    def test_abap_exceptions_and_messages(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        reply = c.call("Z_SIM_RAISE", [("KEY", u16("SIM_ERROR".ljust(30))), ("TEXT", u16("it broke")),
                                       ("MSGID", u16("ZSIM")), ("MSGTY", u16("E")), ("MSGNO", u16("042")),
                                       ("MSGV1", u16("v1")), ("MSGV4", u16("v4"))])
        assert [rid for rid, _ in reply] == [0x0401, 0x0402, 0x0415, 0x0416, 0x0417, 0x0411, 0x0414]
        assert [v.decode("utf-16-le").rstrip() for _, v in reply] == ["SIM_ERROR", "it broke", "ZSIM", "E", "042",
                                                                        "v1", "v4"]
        reply = c.call("Z_SIM_RAISE", [("TEXT", u16("t100 text")), ("TEXT_RECORD", u16("T"))])
        assert [rid for rid, _ in reply] == [0x0404]
        assert c.call("Z_SIM_RAISE", []) == []

    def test_compressed_table_reply(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        layout = standard_dictionary().lookup("ZSIM_ROW")
        sent_row = layout.encode({"ID": 99, "NAME": "sent", "AMOUNT": Decimal("-3.10"), "DAY": "20000101", "SCORE": 1.5})
        reply = c.call("Z_SIM_TABLE", [("ROW_COUNT", struct.pack("<i", 200)), ("COMPRESS", u16("Z")),
                                       ("PIECE", struct.pack("<i", 64))], ["T_OUT", "E_ROWS", "E_SEEN"],
                       tables=[("T_IN", layout.size, [sent_row])])
        width, count, plain, content = tables_of(reply)["T_OUT"]
        assert (width, count, plain) == (80, 201, [])
        assert [rid for rid, _ in reply].count(Rid.TABLE_COMPRESSED) == 1
        assert [rid for rid, _ in reply].count(Rid.TABLE_COMPRESSED_CHUNK) == (len(content) - 1) // 64
        rows = TestCompressedTables.zlib_rows(content)
        assert len(rows) == 201 * 80 and rows[-80:] == sent_row
        assert layout.decode(rows[80:160])["NAME"].rstrip() == "ROW 00002"
        assert values_of(reply)["E_SEEN"].decode() == "ID=99;NAME=sent" + " " * 16 + ";AMOUNT=-3.10;DAY=20000101;SCORE=1.5"
        reply = c.call("Z_SIM_TABLE", [("ROW_COUNT", struct.pack("<i", 2))], ["T_OUT"])
        assert tables_of(reply)["T_OUT"][2] == [layout.encode(r) for r in
                                                 ({"ID": 1, "NAME": "ROW 00001", "AMOUNT": Decimal("1.25"),
                                                   "DAY": "20240101", "SCORE": 0.25},
                                                  {"ID": 2, "NAME": "ROW 00002", "AMOUNT": Decimal("2.50"),
                                                   "DAY": "20240102", "SCORE": 0.5})]

    def test_structure_echo(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        layout = standard_dictionary().lookup("ZSIM_ROW")
        image = layout.encode({"ID": -4, "NAME": "Zoë", "AMOUNT": Decimal("123456789012.34"), "DAY": "19991231",
                               "SCORE": -0.125})
        reply = values_of(c.call("Z_SIM_STRUCT", [("I_ROW", image)], ["E_ROW", "E_SEEN"]))
        assert reply["E_ROW"] == image
        assert reply["E_SEEN"].decode() == ("ID=-4;NAME=Zoë" + " " * 17 + ";AMOUNT=123456789012.34;DAY=19991231;"
                                             "SCORE=-0.125")

    def test_hostile_length_from_the_peer_ends_the_conversation(self, sim):
        c = RawClient(sim.gateway).setup()
        c.sock.sendall(H("FFFFFFFF") + b"xx")
        assert c.at_eof()
        event = sim.wait_for(event="hostile-length")[0]
        assert event["declared"] == 0xFFFFFFFF

    def test_deep_sections(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        reply = c.call("Z_SIM_DEEP", [("COUNT", struct.pack("<i", 2)), ("PIECE", struct.pack("<i", 10))], ["E_COUNT"])
        ids = [rid for rid, _ in reply if rid in (Rid.DEEP_SECTION, Rid.DEEP_CONTENT)]
        assert ids[0] == ids[-1] == Rid.DEEP_SECTION and ids.count(Rid.DEEP_SECTION) == 4
        text = b"".join(v for rid, v in reply if rid == Rid.DEEP_CONTENT).decode()
        assert text.startswith("<ES_DEEP><ID>1</ID>") and "<ID>2</ID>" in text
        assert all(len(v) <= 10 for rid, v in reply if rid == Rid.DEEP_CONTENT)

    @pytest.mark.parametrize("mangle, kind", [
        (lambda m: m[:-8] + struct.pack(">I", len(m)) + m[-4:], "empty"),        # wrong trailer length
        (lambda m: H("D9C6C3F0F0F0F0F0F0F0F0F0") + m[:-8] + struct.pack(">I", len(m) + 4) + m[-4:], "empty"),
        (lambda m: m[6:-8] + struct.pack(">I", len(m) - 14) + m[-4:], "SIM_BAD_REQUEST"),  # no 0x0502 record
    ])
    def test_malformed_requests(self, sim, mangle, kind):
        c = RawClient(sim.gateway).setup()
        c.logon()
        c.send_message(mangle(request("RFCPING")))
        frame = c.recv_frame()
        if kind == "empty":
            assert frame[:2] == H("06CB") and len(frame) == 80
        else:
            records, _ = container.read_records(frame[80:])
            assert first(records, Rid.ABAP_EXCEPTION_KEY) == u16(kind)
        assert sim.checks()

    def test_header_deviation_is_reported(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        header = bytearray(template(DATA_T, conv=c.conv))
        header[27] = 0
        c.send_frame(bytes(header) + request("RFCPING"))
        records, _ = container.read_records(c.recv_frame()[80:])
        assert "Data header" in first(records, Rid.ABAP_ERROR_MESSAGE).decode("utf-16-le")


class TestRouter:
    def route(self, sim, password="route-pw", target=None):
        target = target or str(sim.gateway)
        return build_route_request([("127.0.0.1", str(sim.saprouter), password), ("127.0.0.1", target, "")])

    def test_route_then_conversation(self, sim):
        c = RawClient(sim.saprouter)
        c.send_frame(self.route(sim))
        assert c.recv_frame() == b"NI_PONG\x00"
        c.setup()
        assert first(c.logon(), Rid.SYSTEM_ID) is not None
        c.deallocate()
        c.close()
        assert sim.wait_for(event="closed", server="gateway")[0]["deallocates"] == 1
        assert sim.frames("route", server="saprouter") == [self.route(sim)]

    @pytest.mark.parametrize("password, target, text", [
        ("wrong", None, "wrong password"), ("", None, "wrong password"), ("route-pw", "1", "refused"),
    ])
    def test_refused_routes(self, sim, password, target, text):
        c = RawClient(sim.saprouter)
        c.send_frame(self.route(sim, password, target))
        answer = c.recv_frame()
        assert answer.startswith(b"NI_RTERR") and text in answer.decode()
        assert c.at_eof()


    @pytest.mark.parametrize("fault, check", [
        ("close=route", lambda c: c.at_eof()),
        ("err=route:busy", lambda c: c.recv_frame() == b"NI_RTERR busy" and c.at_eof()),
        ("hugelen=route", lambda c: c.recv_raw(4) == H("FFFFFFF0")),
        ("empty=route", lambda c: c.recv_frame() == b""),
        ("garbage=route", lambda c: c.recv_frame() == b"GARBAGE-GARBAGE-"),
        ("garbage=route:5", lambda c: c.recv_frame() == b"GARBA"),
        ("midclose=route", lambda c: c.recv_raw(12) == H("00000008") + b"NI" and c.at_eof()),
        ("midclose=route:3", lambda c: c.recv_raw(12) == H("000000") and c.at_eof()),
        ("noise=route", lambda c: c.recv_raw(17) == b"HTTP/1.0 400 Bad "),
    ])
    def test_route_faults(self, fault, check):
        with Sim("--saprouter", "--fault", fault) as sim:
            c = RawClient(sim.saprouter)
            c.send_frame(build_route_request([("127.0.0.1", str(sim.saprouter), ""), ("127.0.0.1", str(sim.gateway), "")]))
            assert check(c)


class TestFaults:
    def start(self, *faults_):
        args = []
        for f in faults_:
            args += ["--fault", f]
        return Sim(*args)

    @pytest.mark.parametrize("fault, step", [
        ("close=handshake", 0), ("close=initialize", 1), ("close=allocate", 2), ("close=logon", 3),
    ])
    def test_close_at_each_step(self, fault, step):
        with self.start(fault) as sim:
            c = RawClient(sim.gateway)
            sends = [
                lambda: c.send_frame(handshake_packet()),
                lambda: c.send_frame(template(INITIALIZE_T) + initialize_body()),
                lambda: (c.send_frame(template(SET_PARTNER_T, conv=c.conv) + b"localhost".ljust(128) + bytes(16)),
                         c.send_frame(template(ALLOCATE_T, conv=c.conv))),
                lambda: c.send_message(logon_container()),
            ]
            for k, send in enumerate(sends):
                send()
                if k == step:
                    with pytest.raises(EOFError):
                        c.recv_frame()
                    break
                reply = c.recv_frame()
                if k == 1:
                    c.conv = reply[40:48]

    def test_fault_limited_to_the_first_connection(self):
        with self.start("close=logon@1") as sim:
            c = RawClient(sim.gateway).setup()
            c.send_message(logon_container())
            with pytest.raises(EOFError):
                c.recv_frame()
            assert first(RawClient(sim.gateway).setup().logon(), Rid.SYSTEM_ID) is not None

    @pytest.mark.parametrize("fault, expect", [
        ("hugelen=initialize", H("FFFFFFF0")),
        ("hugelen=initialize:0x10000001", H("10000001")),
        ("noise=initialize", b"HTTP"),
    ])
    def test_hostile_bytes(self, fault, expect):
        with self.start(fault) as sim:
            c = RawClient(sim.gateway)
            c.send_frame(handshake_packet())
            c.recv_frame()
            c.send_frame(template(INITIALIZE_T) + initialize_body())
            assert c.recv_raw(4) == expect

    @pytest.mark.parametrize("fault, check", [
        ("blankid=initialize", lambda f: f[40:48] == b" " * 8 and f[1] == 0x01),
        ("wrongtype=initialize", lambda f: f[1] == 0xCB),
        ("version=initialize", lambda f: f[0] == 0x05),
        ("short=initialize", lambda f: len(f) == 40),
        ("garbage=initialize:5", lambda f: f == b"GARBA"),
        ("empty=handshake", lambda f: f == b""),
    ])
    def test_replaced_set_up_answers(self, fault, check):
        with self.start(fault) as sim:
            c = RawClient(sim.gateway)
            c.send_frame(handshake_packet())
            f = c.recv_frame()
            if not fault.endswith("handshake"):
                c.send_frame(template(INITIALIZE_T) + initialize_body())
                f = c.recv_frame()
            assert check(f)

    def test_split_logon_reply(self):
        with self.start("split=logon:1,2,3,50") as sim:
            c = RawClient(sim.gateway).setup()
            reply = c.logon()
            assert [len(r) - 80 for r in c.reply_records][:4] == [1, 1, 1, 47]
            assert first(reply, Rid.SYSTEM_ID) is not None

    def test_mid_reply_close(self):
        with self.start("midclose=call/RFC_PING:20") as sim:
            c = RawClient(sim.gateway).setup()
            c.logon()
            assert c.call("RFCPING") == []
            c.send_message(request("RFC_PING"))
            assert len(c.recv_raw(1000)) == 20

    @pytest.mark.parametrize("mode, arg, check", [
        ("ERR", None, lambda c: container.parse_err_block(c.recv_frame()[80:]) == ("boom", "sim gateway") and c.at_eof()),
        ("EMPTY", None, lambda c: len(c.recv_frame()) == 80),
        ("CONTROL", None, lambda c: c.recv_frame()[1] == 0x0B),
        ("CONTROL", 8, lambda c: c.recv_frame()[1] == 0x08),
        ("CANCELED", None, lambda c: c.recv_frame()[1] == 0xD6),
        ("CLOSE", None, lambda c: c.at_eof()),
        ("MIDCLOSE", 30, lambda c: len(c.recv_raw(1000)) == 30),
        ("TAGMISMATCH", None, lambda c: c.recv_frame()[80:88] == H("0201000241000203")),
        ("BADHEAD", None, lambda c: len(c.recv_frame()) == 83),
    ])
    def test_scenario_faults(self, sim, mode, arg, check):
        c = RawClient(sim.gateway).setup()
        c.logon()
        params = [("MODE", u16(mode.ljust(20))), ("TEXT", u16("boom"))]
        if arg is not None:
            params.append(("ARG", struct.pack("<i", arg)))
        c.send_message(request("Z_SIM_FAULT", params, ["E_TEXT"]))
        assert check(c)

    def test_trickle_sends_the_answer_a_byte_at_a_time_and_goes_on(self):
        with self.start("trickle=handshake:0.01") as sim:
            c = RawClient(sim.gateway)
            c.send_frame(handshake_packet())
            pieces = []
            while sum(map(len, pieces)) < 68:
                pieces.append(c.sock.recv(65536))
            wire = b"".join(pieces)
            assert len(wire) == 68 and wire[:6] == H("000000400204")
            # Bytes came apart (a normal answer is one piece), one byte per send.
            assert len(pieces) > 20 and max(map(len, pieces)) <= 4
            assert len(sim.entries(kind="raw", step="handshake", dir="send")) == 68
            # The set-up goes on as usual after the trickled answer.
            c.reader.push(wire)
            c.recv_frame()
            c.send_frame(template(c.initialize) + initialize_body())
            assert c.recv_frame()[:2] == b"\x06\x01"

    def test_silence_then_cancel(self, sim):
        c = RawClient(sim.gateway).setup()
        c.logon()
        c.send_message(request("Z_SIM_FAULT", [("MODE", u16("SILENCE".ljust(20)))], ["E_TEXT"]))
        sim.wait_for(event="fault", action="silence")
        c.send_frame(template(CANCEL_T, conv=c.conv))
        assert c.recv_frame()[1] == 0xD6

    def test_scenario_file_delays_and_removes_functions(self):
        config = {"functions": {"STFC_CONNECTION": {"remove": True}, "RFC_PING": {"split": "3"}},
                  "account": {"user": "OTHER", "password": "pw2", "client": "100"}, "system": {"system_id": "XYZ"}}
        with Sim(config=config) as sim:
            c = RawClient(sim.gateway).setup()
            reply = c.logon(user="OTHER", password=b"pw2", client="100")
            assert first(reply, Rid.SYSTEM_ID).decode("utf-16-le").rstrip() == "XYZ"
            reply = c.call("STFC_CONNECTION", [("REQUTEXT", u16("x"))])
            assert first(reply, Rid.ABAP_EXCEPTION_KEY) == u16("FUNCTION_NOT_FOUND")
            assert c.call("RFC_PING") == [] and [len(r) for r in c.reply_records] == [83, 83]


def test_stdin_close_stops_the_simulator_and_completes_the_log():
    sim = Sim()
    c = RawClient(sim.gateway).setup()
    c.logon()
    c.deallocate()
    assert sim.stop() == 0
    assert sim.events("deallocate") and sim.events("stopped")
    sim.close()
