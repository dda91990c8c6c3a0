"""Self-tests of the simulator's gateway for registered servers, with a small
registered server written here from the protocol description: registration
answers, the frames of an inbound call, the decoding and checking of what
the server answers, detaching, and the control port."""

import os
import socket
import struct
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from regctl import RegControl, RegControlError  # noqa: E402
from simctl import Sim  # noqa: E402
from sim.container import Writer, read_records  # noqa: E402

H = bytes.fromhex


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


class Client:
    """A registered server: registers, reads calls, answers them."""

    def __init__(self, port, program, host="localhost"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.program = program
        self.host = host
        self.buf = b""

    def read(self):
        while len(self.buf) < 4 or len(self.buf) < 4 + struct.unpack(">I", self.buf[:4])[0]:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buf += chunk
        n = struct.unpack(">I", self.buf[:4])[0]
        payload, self.buf = self.buf[4 : 4 + n], self.buf[4 + n :]
        return payload

    def send(self, payload):
        self.sock.sendall(frame(payload))

    @staticmethod
    def control(request, conversation=b"H0000001", tail=H("FFFFFFFF")):
        h = bytearray(80)
        h[0:6] = bytes([0x06, request]) + H("0700FFFF")
        h[30] = 0x01
        h[40:48] = conversation
        h[48:52] = struct.pack(">I", 80)
        h[76:80] = tail
        return bytes(h)

    def register(self, record=None):
        r = bytearray(64)
        r[0:2] = H("020B")
        r[2:6] = bytes([127, 0, 0, 1])
        r[10:20] = (self.program.encode()[:9] + b"\x00").ljust(10, b" ")
        r[20:24] = b"1100"
        r[29] = 0x06
        r[30:38] = self.host.encode()[:8].ljust(8, b" ")
        r[38:46] = self.program.encode()[:8].ljust(8, b" ")
        r[46:54] = b" " * 8
        r[54:58] = H("06CBFFFF")
        self.send(record if record is not None else bytes(r))
        self.read()  # the handshake answer means nothing
        info = bytearray(b" " * 512)
        info[0 : len(self.host) + 1] = self.host.encode() + b"\x00"
        info[128 : 128 + len(self.program) + 1] = self.program.encode() + b"\x00"
        self.send(bytes(info))
        self.send(self.control(0xD1))

    def receive_call(self):
        announcement = self.read()
        assert announcement[1] == 0xCF
        conversation = announcement[40:48]
        data = b""
        while True:
            r = self.read()
            assert r[40:48] == conversation
            data += r[80 : 80 + struct.unpack(">I", r[56:60])[0]]
            if r[60:64] != bytes(4):
                return conversation, read_records(data)[0], r[1]

    def reply(self, conversation, records, exception=False, header_fix=None, program=None):
        w = Writer()
        w.add(0x0101, H("0301010504010003")).add(0x0103, H("00000E0B")).add(0x0106, H("04010003000A0200000023"))
        for rid, text in ((0x0007, "127.0.0.1"), (0x0018, "::1"), (0x0011, "E"), (0x0012, "753"),
                          (0x0013, "793 127.0.0.1"), (0x0130, program or self.program)):
            w.add(rid, text.encode("utf-16-le"))
        for rid, value in records:
            w.add(rid, value)
        w.add(0x0667, bytes(8))
        container = w.finish()
        for at in range(0, len(container), 28000):
            piece = container[at : at + 28000]
            h = bytearray(80)
            h[0:8] = H("06080700FFFF0000")
            h[40:48] = conversation
            h[48:52] = struct.pack(">I", len(piece))
            h[76:80] = H("FFFF0005" if exception else "FFFF0009")
            if header_fix:
                header_fix(h)
            self.send(bytes(h) + piece)
        end = bytearray(80)
        end[0:8] = H("060B0700FFFF0000")
        end[40:48] = conversation
        end[76:80] = H("FFFF0009")
        self.send(bytes(end))
        self.send(self.control(0xD2, conversation, H("FFFF0004")))
        self.send(self.control(0xD1))

    def detach(self):
        self.send(self.control(0xD0))
        self.sock.close()


def u16(text):
    return text.encode("utf-16-le")


@pytest.fixture(scope="module")
def sim():
    config = {"reggateway": {"answers": {"ZANN*": "announce"},
                             "calls": [{"program": "ZANN*", "function": "RFCPING"}]}}
    with Sim("--reggateway", "--regallow", "Z*", "--reganswer", "ZSIL*=silence", "--reganswer", "ZNUL*=zeros",
             "--reganswer", "ZGAR*=garbage", config=config) as s:
        yield s


@pytest.fixture
def ctl(sim):
    with RegControl(sim.regcontrol) as c:
        yield c


def test_ports_line_names_both_ports(sim):
    assert sim.reggateway and sim.regcontrol and sim.reggateway != sim.regcontrol


@pytest.mark.parametrize("program, first_bytes, tail", [
    ("ZACK", None, b""),
    ("ZNUL1", None, bytes(32)),
    ("ZGAR1", None, b"HELLO\x01WORLD"),
])
def test_registration_answers(sim, program, first_bytes, tail):
    c = Client(sim.reggateway, program)
    c.register()
    answer = c.read()
    assert len(answer) == 80 + len(tail)
    assert answer[0] == 0x06 and answer[1] != 0xCF
    assert answer[80:] == tail
    c.detach()


def test_silence_is_an_answer_too(sim, ctl):
    c = Client(sim.reggateway, "ZSIL1")
    c.register()
    assert ctl.wait_registered("ZSIL1")["program"] == "ZSIL1"
    c.sock.settimeout(0.5)
    with pytest.raises(socket.timeout):
        c.read()
    c.detach()


def test_refusal_carries_an_err_block(sim):
    c = Client(sim.reggateway, "NOPE")
    c.register()
    answer = c.read()
    fields = answer[80:].split(b"\x00")
    assert fields[0] == b"*ERR*"
    assert b"registration of tp NOPE from host localhost not allowed" in fields
    c.detach()
    closed = sim.wait_for(server="reggateway", event="closed", program="NOPE")
    assert closed[0]["registered"] is False


def test_registration_records_are_checked(sim):
    c = Client(sim.reggateway, "ZBADREC")
    c.register(record=bytes(64))
    c.read()
    c.detach()
    checks = [e["text"] for e in sim.wait_for(server="reggateway", event="check")
              if e.get("step") == "register"]
    assert any(t.startswith("registration record: bytes differ at 0: 00 (expected 02)") for t in checks)


def test_call_reply_and_exception(sim, ctl):
    c = Client(sim.reggateway, "ZCALL")
    c.register()
    c.read()
    call_id = ctl.call("ZCALL", "STFC_CONNECTION", {"REQUTEXT": "hi", "N": 7, "F": 0.5, "R": {"hex": "00ff"},
                                                    "P": {"type": "P", "value": -125, "length": 3}},
                       requested=["ECHOTEXT"], piece=30, user="BOB")
    conversation, records, _ = c.receive_call()
    assert conversation == b"%08d" % (80000000 + call_id)
    assert records[:7] == [(0x0102, b"STFC_CONNECTION"), (0x0006, b"LOMRA_DEST"), (0x0111, b"BOB"),
                           (0x0114, b"001"), (0x0003, b"QSI"), (0x0002, b"qsihost"), (0x0130, b"SAPLSIM")]
    assert records[7:] == [(0x0205, b"ECHOTEXT"), (0x0201, b"REQUTEXT"), (0x0203, b"hi"), (0x0201, b"N"),
                           (0x0203, struct.pack("<i", 7)), (0x0201, b"F"), (0x0203, struct.pack("<d", 0.5)),
                           (0x0201, b"R"), (0x0203, H("00ff")), (0x0201, b"P"), (0x0203, H("00125d"))]
    c.reply(conversation, [(0x0201, u16("ECHOTEXT")), (0x0203, u16("hi"))])
    result = ctl.result(call_id)
    assert result["status"] == "reply" and result["kind"] == "normal"
    assert result["exports"] == {"ECHOTEXT": u16("hi").hex()}
    assert result["export_texts"] == {"ECHOTEXT": "hi"}
    assert result["checks"] == []

    call_id = ctl.call("ZCALL", "F", {})
    conversation, _, _ = c.receive_call()
    c.reply(conversation, [(0x0415, u16("RURAD")), (0x0416, u16("E")), (0x0417, u16("000")),
                           (0x0411, u16("text")), (0x0402, b"")], exception=True)
    result = ctl.result(call_id)
    assert result["status"] == "exception"
    assert (result["msg_class"], result["msg_type"], result["msg_number"], result["msg_v1"]) == \
        ("RURAD", "E", "000", "text")
    assert result["error_message"] == ""
    flat = ctl.request(op="result", id=call_id, flat=True)
    assert flat["exports"] == "" and flat["checks"] == "" and flat["msg_v1"] == "text"
    c.detach()
    closed = sim.wait_for(server="reggateway", event="closed", program="ZCALL")
    assert (closed[0]["calls"], closed[0]["detaches"]) == (2, 1)


def test_deviating_reply_is_reported(sim, ctl):
    c = Client(sim.reggateway, "ZDEV")
    c.register()
    c.read()
    call_id = ctl.call("ZDEV", "F", {})
    conversation, _, _ = c.receive_call()

    def bad(h):
        h[2] = 0x08

    c.reply(conversation, [(0x0201, u16("X"))], header_fix=bad, program="OTHER")
    result = ctl.result(call_id)
    assert result["status"] == "reply"
    assert any(t.startswith("reply piece 1 header: bytes differ at 2: 08") for t in result["checks"])
    assert any("0x0130" in t for t in result["checks"])
    assert "ParameterName X without a value" in result["checks"]
    c.detach()


def test_scripted_call_is_the_registration_answer(sim, ctl):
    c = Client(sim.reggateway, "ZANN1")
    c.register()
    conversation, records, _ = c.receive_call()  # the first frame is the announcement
    assert records[0] == (0x0102, b"RFCPING")
    c.reply(conversation, [])
    replies = sim.wait_for(server="reggateway", event="reg-reply", program="ZANN1")
    assert replies[0]["status"] == "reply"
    c.detach()


def test_server_that_goes_away_without_answering(sim, ctl):
    c = Client(sim.reggateway, "ZGONE")
    c.register()
    c.read()
    call_id = ctl.call("ZGONE", "F", {})
    c.receive_call()
    c.detach()
    assert ctl.result(call_id)["status"] == "detached"


def test_gateway_closes_on_request(sim, ctl):
    c = Client(sim.reggateway, "ZCLOSE")
    c.register()
    c.read()
    ctl.close_registration("ZCLOSE")
    with pytest.raises(EOFError):
        c.read()
    c.sock.close()


def test_control_errors(sim, ctl):
    with pytest.raises(RegControlError, match="unknown op"):
        ctl.request(op="dance")
    with pytest.raises(RegControlError, match="no registration of ZNOBODY"):
        ctl.call("ZNOBODY", "F", {}, wait_registered=0.1)
    with pytest.raises(RegControlError, match="no call 999"):
        ctl.result(999)
    with pytest.raises(RegControlError, match="CallSpecError|boolean"):
        c = Client(sim.reggateway, "ZSPEC")
        c.register()
        c.read()
        try:
            ctl.call("ZSPEC", "F", {"B": True})
        finally:
            c.detach()
