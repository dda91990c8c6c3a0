"""Self-tests of the simulator's WebSocket RFC endpoint.

The frame codec is checked against python3-websockets and the RFC 6455
example; whole conversations are scripted over Python's ssl with the
upgrade request and the logon written out here from the protocol, so that
the endpoint is checked against the protocol and not only against the
client it serves.
"""

import base64
import io
import os
import socket
import ssl
import struct
import sys

import pytest
from websockets.frames import OP_BINARY, OP_PING, Frame

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import wsrfc  # noqa: E402
from simctl import Sim  # noqa: E402

H = bytes.fromhex


def websockets_parse(data, mask):
    buf = io.BytesIO(data)

    def read_exact(n):
        chunk = buf.read(n)
        if False:  # a generator, as websockets wants it
            yield
        return chunk

    gen = Frame.parse(read_exact, mask=mask)
    try:
        next(gen)
    except StopIteration as done:
        return done.value
    raise AssertionError("incomplete frame")


@pytest.mark.parametrize("size", [0, 5, 125, 126, 65535, 65536])
def test_frames_agree_with_websockets(size):
    payload = bytes((i * 13 + 1) & 0xFF for i in range(size))
    # Masked as a client sends it: the simulator reads what websockets writes.
    sent = Frame(OP_BINARY, payload).serialize(mask=True)
    frame = wsrfc.parse_frame(sent, 1 << 20)
    assert (frame.opcode, frame.fin, frame.payload, frame.shortest, frame.size) == (2, True, payload, True, len(sent))
    assert frame.key == sent[len(sent) - size - 4:len(sent) - size]
    # Unmasked as the simulator sends it: websockets reads what the simulator writes.
    ours = wsrfc.build_frame(wsrfc.OP_BINARY, payload)
    assert websockets_parse(ours, mask=False).data == payload
    assert ours == Frame(OP_BINARY, payload).serialize(mask=False)
    # Incomplete input is no frame yet.
    assert wsrfc.parse_frame(sent[:-1], 1 << 20) is None


def test_frame_limits_length_forms_and_keys():
    with pytest.raises(wsrfc.FrameTooLarge) as info:
        wsrfc.parse_frame(H("827f0000000008000001"), 0x8000000)
    assert info.value.declared == 0x8000001
    # 5 bytes in the 16-bit form: read, but not the shortest form.
    frame = wsrfc.parse_frame(H("827e0005") + b"hello", 100)
    assert (frame.payload, frame.shortest) == (b"hello", False)
    keys = wsrfc.mask_keys()
    assert [next(keys).hex() for _ in range(2)] == ["42d0d7c4", "e9260053"]
    assert wsrfc.accept_value("dGhlIHNhbXBsZSBub25jZQ==") == "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


def upgrade_request(port, key, path="/sap/bc/rfc?sap-apc-stateful=true", client="001", language="E"):
    return (f"GET {path} HTTP/1.1\r\nhost: 127.0.0.1:{port}\r\nsec-websocket-protocol: rfc.sap.com\r\n"
            f"sap-rfc-options: rfc-delta=off\r\nsap-client: {client}\r\nsap-language: {language}\r\n"
            "sap-rfc-subtype: sync\r\nsap-rfcpro-suppvers: 5-5\r\nsap-rfcser-suppvers: 2-3\r\n"
            "upgrade: websocket\r\nconnection: Upgrade\r\nsec-websocket-version: 13\r\n"
            f"sec-websocket-key: {key}\r\n\r\n").encode("ascii")


KEY = base64.b64encode(bytes(range(16))).decode()


@pytest.mark.parametrize("change,problem", [
    (None, None),
    (lambda r: r.replace(b"host:", b"Host:"), "line 2 is"),
    (lambda r: r.replace(b"sap-rfc-subtype: sync\r\n", b""), "lines, expected 13"),
    (lambda r: r.replace(b"rfc.sap.com", b"rfc.sap.org"), "sec-websocket-protocol"),
    (lambda r: r.replace(b":4711\r", b":4712\r"), "does not name this endpoint's port"),
    (lambda r: r.replace(KEY.encode(), base64.b64encode(bytes(15))), "is not the Base64 text of 16 bytes"),
    (lambda r: r.replace(b"sap-language: E", b"sap-language: e"), "sap-language"),
])
def test_upgrade_check(change, problem):
    request = upgrade_request(4711, KEY)
    if change:
        request = change(request)
    fields, problems = wsrfc.check_upgrade(request[:-4], 4711, "rfc.sap.com")
    if problem is None:
        assert problems == []
        assert fields["key"] == KEY and fields["client"] == "001"
    else:
        assert any(problem in p for p in problems), problems


# --- conversations ------------------------------------------------------------------------------


def der_to_pem(path, label):
    with open(path, "rb") as f:
        body = base64.encodebytes(f.read()).decode("ascii")
    return f"-----BEGIN {label}-----\n{body}-----END {label}-----\n"


class HandClient:
    """A WebSocket RFC client written here from the protocol."""

    def __init__(self, sim, tmp_path):
        cert, key = tmp_path / "c.pem", tmp_path / "k.pem"
        cert.write_text(der_to_pem(sim.wsrfc_cert, "CERTIFICATE"))
        key.write_text(der_to_pem(sim.wsrfc_key, "PRIVATE KEY"))
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ctx.load_cert_chain(str(cert), str(key))
        self.tls = ctx.wrap_socket(socket.create_connection(("127.0.0.1", sim.wsrfc), timeout=20))
        self.buffer = b""
        self.state = 0x9E3779B9

    def next_key(self):
        self.state = (self.state * 1664525 + 1013904223) % (1 << 32)
        return struct.pack(">I", self.state)

    def read_until(self, marker):
        while marker not in self.buffer:
            data = self.tls.recv(65536)
            if not data:
                raise EOFError(self.buffer)
            self.buffer += data
        head, _, self.buffer = self.buffer.partition(marker)
        return head

    def send(self, payload, key=None):
        key = self.next_key() if key is None else key
        masked = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
        assert len(payload) < 126
        self.tls.sendall(bytes([0x82, 0x80 | len(payload)]) + key + masked)

    def receive(self):
        while True:
            frame = wsrfc.parse_frame(self.buffer, 1 << 24)
            if frame is not None:
                self.buffer = self.buffer[frame.size:]
                return frame
            data = self.tls.recv(65536)
            if not data:
                raise EOFError()
            self.buffer += data


def record(rid, value=b""):
    return struct.pack(">HH", rid, len(value)) + value + struct.pack(">H", rid)


LOGON = (record(0x0101, H("0301010101010000")) + record(0x0103, H("00000e0b"))
         + record(0x0106, H("04010003000a0200000023")) + record(0x0514, bytes(16)) + record(0x0114, b"001")
         + record(0x0163) + record(0x0115, b"E") + record(0x0501, b"\x01") + record(0x0502)
         + record(0x0102, b"RFCPING") + H("ffff0000ffff"))


def records_of(data):
    out, pos = [], 12 if data[:4] == H("d9c6c3f0") else 0
    while True:
        rid, n = struct.unpack_from(">HH", data, pos)
        if rid == 0xFFFF:
            return out
        out.append((rid, data[pos + 4:pos + 4 + n]))
        pos += 6 + n


def test_conversation_from_the_protocol(tmp_path):
    with Sim("--wsrfc") as sim:
        c = HandClient(sim, tmp_path)
        c.tls.sendall(upgrade_request(sim.wsrfc, KEY))
        head = c.read_until(b"\r\n\r\n").decode("ascii")
        assert head.startswith("HTTP/1.1 101 ")
        assert "\r\nsec-websocket-accept: " + wsrfc.accept_value(KEY) in head
        c.send(LOGON)
        reply = dict(records_of(c.receive().payload))
        assert reply[0x0450].decode("utf-16-le").strip() == "QSI"
        assert 0x0402 not in reply
        # RFC_PING, classic: 0502, Kernel "753" in UTF-16LE, Function, 0512, End, trailer.
        request = (record(0x0502) + record(0x000B, "753".encode("utf-16-le"))
                   + record(0x0102, "RFC_PING".encode("utf-16-le")) + record(0x0512) + H("ffff0000ffff"))
        c.send(request + struct.pack(">I", len(request)) + H("00008500"))
        answer = c.receive()
        assert (answer.opcode, answer.key) == (wsrfc.OP_BINARY, None)
        assert records_of(answer.payload) == []  # RFC_PING answers with an empty container
        c.tls.close()
        sim.wait_for(server="wsrfc", event="closed")
        assert sim.checks() == []


def test_masking_keys_and_bad_upgrades_are_caught(tmp_path):
    with Sim("--wsrfc", "--fault", "control=logon:9@2") as sim:
        # A logon masked with a key out of sequence is refused as malformed.
        c = HandClient(sim, tmp_path)
        c.tls.sendall(upgrade_request(sim.wsrfc, KEY))
        c.read_until(b"\r\n\r\n")
        c.send(LOGON, key=b"\x01\x02\x03\x04")
        reply = dict(records_of(c.receive().payload))
        assert reply[0x0161] == b"\x03"
        assert "masked with 01020304, expected 42d0d7c4" in reply[0x0402].decode("utf-16-le")
        c.tls.close()
        # A ping before the logon reply: answered by a pong masked with zeros.
        c = HandClient(sim, tmp_path)
        c.tls.sendall(upgrade_request(sim.wsrfc, base64.b64encode(b"k" * 16).decode()))
        c.read_until(b"\r\n\r\n")
        c.send(LOGON)
        ping = c.receive()
        assert ping.opcode == OP_PING
        c.tls.sendall(bytes([0x8A, 0x80 | len(ping.payload)]) + bytes(4) + ping.payload)
        assert 0x0450 in dict(records_of(c.receive().payload))
        c.tls.close()
        sim.wait_for(server="wsrfc", event="pong")
        # An upgrade that repeats the first connection's key is answered 400.
        c = HandClient(sim, tmp_path)
        c.tls.sendall(upgrade_request(sim.wsrfc, KEY))
        head = c.read_until(b"\r\n\r\n").decode("ascii")
        assert head.startswith("HTTP/1.1 400 ")
        body = c.buffer
        while b"repeats" not in body:
            more = c.tls.recv(4096)
            assert more, body
            body += more
        assert "repeats the key of connection 1" in body.decode()
        c.tls.close()
        assert len(sim.checks()) == 2
