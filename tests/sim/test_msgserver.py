"""Self-tests of the simulated message server.

A raw-socket client sends the three packets of the lookup, transcribed here
from the protocol's tables (independently of the simulator's own copies),
and reads the replies as a client does: the server entry is found by the
backwards scan for port, host length and host.
"""

import os
import socket
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from simctl import PYTHON, SIM_SCRIPT, Sim  # noqa: E402

H = bytes.fromhex


def build(size, spans):
    """Bytes from (first, last, content) spans with inclusive ranges."""
    out = bytearray(size)
    for first, last, content in spans:
        assert last - first + 1 == len(content), (first, last)
        out[first : last + 1] = content
    return bytes(out)


EYE = b"**MESSAGE**\x00"
COMMON_TAIL = [(68, 68, b"-"), (69, 107, b" " * 39)]

FIRST = build(110, [(0, 11, EYE), (12, 13, H("0400")), (14, 14, b"-"), (15, 53, b" " * 39),
                    (66, 67, H("0208"))] + COMMON_TAIL)
SECOND = build(354, [(0, 11, EYE), (12, 13, H("0400")), (14, 14, b"-"), (16, 23, b"NiSelSet"),
                     (25, 34, b"NiSelClear"), (36, 48, b"NiSelClearSet"), (50, 53, b"NiSe"),
                     (66, 67, H("0405"))] + COMMON_TAIL + [
                     (110, 120, b"AD-EYECATCH"), (122, 123, H("0101")), (124, 131, b" " * 8),
                     (132, 134, b"104"), (135, 144, b" " * 10), (145, 145, b"2"), (146, 149, H("15000000")),
                     (150, 153, H("16140028")), (154, 173, b"PUBLIC" + b" " * 14), (250, 253, H("15000000")),
                     (254, 257, H("16140028")), (258, 277, H("C397C3A4C382C393C389C383") + b"\x40" * 4 + b" " * 4)])


def group_request(group):
    return build(206, [(0, 11, EYE), (12, 13, H("0400")), (14, 23, b"MSG_SERVER"), (25, 34, b"MsRSndName"),
                       (36, 45, b"MsSnd2Name"), (47, 53, b"MsRSnd2"), (66, 67, H("0201"))] + COMMON_TAIL + [
                       (110, 110, b"D"), (112, 112, H("01")), (156, 157, H("000A")),
                       (158, 167, group.ljust(10, b"\x00")), (198, 198, H("01"))])


def scan(reply):
    """The application server of a reply, as a client finds it, or None."""
    if len(reply) < 12 or reply[:12] != EYE:
        return "no eyecatcher"
    for p in range(len(reply) - 5, -1, -1):
        port, length = struct.unpack_from(">HH", reply, p)
        if 1 <= length <= 64 and p + 4 + length <= len(reply) and 3200 <= port <= 3299:
            host = reply[p + 4 : p + 4 + length].decode("utf-8", "replace").strip()
            if host and all(0x21 <= ord(c) <= 0x7E for c in host):
                return host, port
    return None


class Lookup:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buf = b""

    def send(self, payload):
        self.sock.sendall(struct.pack(">I", len(payload)) + payload)

    def frame(self):
        """The next frame, or None at the end of stream."""
        while True:
            if len(self.buf) >= 4:
                (n,) = struct.unpack_from(">I", self.buf)
                if len(self.buf) >= 4 + n:
                    out, self.buf = self.buf[4 : 4 + n], self.buf[4 + n :]
                    return out
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buf += data

    def raw(self):
        """Everything until the end of stream."""
        out = self.buf
        while True:
            data = self.sock.recv(65536)
            if not data:
                return out
            out += data

    def run(self, group=b"PUBLIC", first=FIRST, second=SECOND):
        answers = []
        for packet in (first, second):
            self.send(packet)
            answers.append(self.frame())
        self.send(group_request(group))
        answers.append(self.frame())
        return answers

    def close(self):
        self.sock.close()


def converse(sim, **kw):
    c = Lookup(sim.msgserver)
    try:
        return c.run(**kw)
    finally:
        c.close()


def test_templates_are_the_protocols():
    assert (len(FIRST), len(SECOND), len(group_request(b""))) == (110, 354, 206)
    from sim import msgserver
    assert msgserver.first_packet() == FIRST
    assert msgserver.second_packet() == SECOND
    for g in (b"", b"PUBLIC", b"ABCDEFGHIJ"):
        assert msgserver.group_request(g) == group_request(g)


def test_lookup_names_the_gateway_and_logs_the_packets():
    with Sim("--msgserver") as sim:
        assert 3300 <= sim.gateway <= 3399
        first, second, reply = converse(sim)
        # The first two answers are no use to a client; their decoys lead nowhere.
        assert "decoy" in scan(first)[0] and "decoy" in scan(second)[0]
        assert scan(reply) == ("127.0.0.1", sim.gateway - 100)
        sim.wait_for(server="msgserver", event="closed")
        assert sim.frames("first", server="msgserver") == [FIRST]
        assert sim.frames("second", server="msgserver") == [SECOND]
        assert sim.frames("group", server="msgserver") == [group_request(b"PUBLIC")]
        assert sim.checks() == []
        lookup = sim.events("lookup")[0]
        assert (lookup["group"], lookup["known"], lookup["entries"]) == ("PUBLIC", True, 1)


def test_unknown_group_and_configured_entries():
    config = {"msgserver": {"groups": {"SPACE": [{"host": "far.example", "port": 3250},
                                                 {"host": "near.example", "port": 3251}],
                                       "BLANK": [{"host": "near", "port": 3252}, {"host": "    "}],
                                       "LONG": [{"host": "x", "length": 300}]}}}
    with Sim("--msgserver", config=config) as sim:
        assert scan(converse(sim, group=b"SPACE")[2]) == ("near.example", 3251)
        assert scan(converse(sim, group=b"BLANK")[2]) == ("near", 3252)
        for group in (b"LONG", b"PUBLIC", b"NOSUCH"):
            reply = converse(sim, group=group)[2]
            assert reply[:12] == EYE and scan(reply) is None, group
        assert [e["known"] for e in sim.events("lookup")] == [True, True, True, False, False]


def test_a_deviating_packet_is_logged_and_closes_the_lookup():
    with Sim("--msgserver") as sim:
        bad = bytearray(SECOND)
        bad[145] = ord("3")
        c = Lookup(sim.msgserver)
        c.send(FIRST)
        assert c.frame() is not None
        c.send(bytes(bad))
        assert c.frame() is None
        c.close()
        sim.wait_for(event="check")
        assert "145: 33 (expected 32)" in sim.checks()[0]


def test_group_field_with_inner_nul_is_a_deviation():
    with Sim("--msgserver", "--lenient") as sim:
        c = Lookup(sim.msgserver)
        c.send(FIRST)
        c.frame()
        c.send(SECOND)
        c.frame()
        request = bytearray(group_request(b"AB"))
        request[161] = ord("C")  # "AB", NUL, "C"
        c.send(bytes(request))
        assert scan(c.frame()) is None  # lenient: answered, the group "AB\0C" is unknown
        c.close()
        assert any("NUL before its last character" in t for t in sim.checks())


@pytest.mark.parametrize("fault,check", [
    ("close=first", lambda c: c.frame() is None),
    ("garbage=group:20", lambda c: len(c.run_rest()) == 20),
    ("empty=group", lambda c: c.run_rest() == b""),
    ("short=group", lambda c: c.run_rest() == b"**MESSAGE**"),
    ("noentry=group", lambda c: scan(c.run_rest()) is None),
    ("hugelen=group:0x0FFFFFFF", lambda c: c.raw_rest() == H("0FFFFFFF")),
    ("midclose=group:6", lambda c: len(c.raw_rest()) == 6),
    ("noise=second", lambda c: c.raw_after_first().startswith(b"HTTP/1.0 400")),
])
def test_faults(fault, check):
    class Client(Lookup):
        def ask_group(self):
            for packet in (FIRST, SECOND):
                self.send(packet)
                self.frame()
            self.send(group_request(b"PUBLIC"))

        def run_rest(self):
            self.ask_group()
            return self.frame()

        def raw_rest(self):
            self.ask_group()
            return self.raw()

        def raw_after_first(self):
            self.send(FIRST)
            self.frame()
            self.send(SECOND)
            return self.raw()

    with Sim("--msgserver", "--ms-fault", fault) as sim:
        c = Client(sim.msgserver)
        if fault.startswith("close=first"):
            c.send(FIRST)
        try:
            assert check(c)
        finally:
            c.close()
        sim.wait_for(server="msgserver", event="fault")


@pytest.mark.parametrize("bad", ["close=nowhere", "explode=group", "close=group@x", "close"])
def test_bad_fault_arguments_exit_with_status_2(bad):
    proc = subprocess.run([PYTHON, SIM_SCRIPT, "--msgserver", "--ms-fault", bad, "--no-stdin-watch"],
                          capture_output=True, text=True, timeout=30)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert "abapsim:" in proc.stderr
