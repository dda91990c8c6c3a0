"""Self-tests of the simulator's SNC acceptor.

A client scripted from the byte templates runs the SNC context exchange
with MIT Kerberos (python3-gssapi) against the simulator started with
--snc, in a throwaway realm (tests/snc/krb5/realm.py), then logs on and
calls with wrapped messages.  The SNC frame layout and header templates
are written out here again, independently of sim/snc.py.
"""

import os
import struct
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "snc", "krb5"))

import realm as krb5realm  # noqa: E402
from sim import container  # noqa: E402
from sim.container import Rid  # noqa: E402
from simctl import Sim  # noqa: E402
from test_sim import (INITIALIZE_T, RawClient, echo_params, first, logon_container, request, template,  # noqa: E402
                      u16, values_of)

H = bytes.fromhex
SNC_HANDSHAKE_T = "0..7=06CB0200FFFF0000;10=28;27=08;30..31=050C;50=85;76..79=FFFF0003"
SNC_DATA_T = ("0..7=06CB0200FFFF0000;10=08;13=01;16=01;17..20=FFFFFFFF;21=02;25=01;27=08;30..31=050C;50=85;"
              "55=02;58..59=0526;63=01;69..72=" + b"4103".hex() + ";79=03")
BANNER = b"Internal SNC-Adapter (Rev 1.1) to CommonCryptoLib"


def snc_frame(kind, token, announcement=None):
    out = b"SNCFRAME" + bytes([kind, 6])
    out += struct.pack(">HII", 0x96 if announcement is not None else 0x18, len(token), 0 if kind == 9 else 49)
    out += struct.pack(">HH", 3, {4: 0x7A, 9: 0}.get(kind, 0x7E))
    if announcement is not None:
        out += struct.pack(">IHH", 1, len(announcement) + 2, 3) + announcement
    return out + token + (b"" if kind == 9 else BANNER)


def token_of(frame):
    """(kind, token) of a frame, by the layout's offsets."""
    assert frame[:8] == b"SNCFRAME"
    (length,) = struct.unpack_from(">I", frame, 12)
    start = 24
    if frame[10:12] == b"\x00\x96":
        start = 30 + struct.unpack_from(">H", frame, 28)[0]
    return frame[8], frame[start:start + length]


def trailer(data):
    return data + struct.pack(">I", len(data)) + b"\x00\x00\x85\x00"


@pytest.fixture(scope="module")
def realm():
    missing = krb5realm.missing_tools()
    if missing:
        pytest.skip("Kerberos tools missing: " + ", ".join(missing))
    pytest.importorskip("gssapi")
    with krb5realm.Realm() as r, pytest.MonkeyPatch.context() as env:
        for k, v in r.env.items():
            env.setenv(k, v)
        yield r


@pytest.fixture
def snc_sim(realm):
    s = Sim("--snc", realm.service_keytab, "sapsim@localhost")
    yield s
    s.close()


class SncClient(RawClient):
    """The scripted client with SNC: Initialize byte 10 = 21, the context
    exchange after Allocate, then every data message wrapped."""

    initialize = INITIALIZE_T.replace("10=01", "10=21")

    def __init__(self, port):
        super().__init__(port)
        self.ctx = None
        self.wrapped_records = []

    def exchange(self, announce=True):
        import gssapi as g
        target = g.Name("sapsim@localhost", g.NameType.hostbased_service)
        self.ctx = g.SecurityContext(name=target, usage="initiate", flags=0x3E, mech=g.MechType.kerberos)
        exported = target.canonicalize(g.MechType.kerberos).export()
        token = self.ctx.step()
        frame = snc_frame(2, token, exported if announce else None)
        self.send_frame(template(SNC_HANDSHAKE_T, conv=self.conv) + trailer(frame))
        reply = self.recv_frame()
        kind, acceptor_token = token_of(reply[80:])
        assert kind == 4
        assert self.ctx.step(acceptor_token) is None
        assert self.ctx.complete
        return reply

    def send_message(self, message):
        wrapped = trailer(snc_frame(9, self.ctx.wrap(message, True).message))
        if len(wrapped) <= 28000:
            self.send_frame(template(SNC_DATA_T, conv=self.conv) + wrapped)
            return
        for start in range(0, len(wrapped), 28000):
            piece = wrapped[start:start + 28000]
            self.send_frame(template("0..7=06080200FFFF0000;76..79=FFFF0008;48..51=" + struct.pack(">I", len(piece)).hex(),
                                     conv=self.conv) + piece)
        self.send_frame(template("0..7=06090200FFFF0000;30=01;48..51=00006D60;76..79=FFFF0008", conv=self.conv))

    def recv_frame(self):
        frame = super().recv_frame()
        if self.ctx is not None and self.ctx.complete and frame[1] == 0xCB and len(frame) > 80:
            self.wrapped_records.append(frame)
            kind, token = token_of(frame[80:])
            assert kind == 9
            return frame[:80] + self.ctx.unwrap(token).message
        return frame


def test_context_exchange_logon_and_wrapped_calls(snc_sim):
    c = SncClient(snc_sim.gateway).setup()
    reply = c.exchange()
    assert reply[:2] == b"\x06\xcb" and reply[40:48] == c.conv
    assert reply[80:].endswith(struct.pack(">I", len(reply) - 88) + b"\x00\x00\x85\x00")
    assert first(c.logon(), Rid.LOGON_STATUS) is None
    text = "wrapped both ways".ljust(255)
    got = values_of(c.call("STFC_CONNECTION", [("REQUTEXT", u16(text))], ["ECHOTEXT"]))
    assert got["ECHOTEXT"].decode("utf-16-le") == text
    assert c.wrapped_records, "the replies were wrapped"
    c.deallocate()
    c.close()

    closed = snc_sim.wait_for(event="closed")[0]
    assert closed["logged_on"] is True and closed["deallocates"] == 1
    assert snc_sim.checks() == []
    assert snc_sim.events("snc-announcement")[0]["name"] == "sapsim/localhost@QUIB.TEST"
    established = snc_sim.events("snc-established")[0]
    assert established["initiator"] == "rfcclient/localhost@QUIB.TEST" and established["rounds"] == 1
    # The log holds the plain request; the frames on the wire do not.
    assert snc_sim.messages("call")[0] == request("STFC_CONNECTION", [("REQUTEXT", u16(text))], ["ECHOTEXT"])
    call_frames = snc_sim.frames("call")
    assert call_frames and all(u16("wrapped both ways") not in f for f in call_frames)
    assert all(f[:80] == template(SNC_DATA_T, conv=c.conv) for f in call_frames)


def test_large_messages_are_chunked_and_every_reply_record_is_wrapped(snc_sim):
    c = SncClient(snc_sim.gateway).setup()
    c.exchange()
    c.logon()
    c.wrapped_records = []
    blob = bytes((i * 13) & 0xFF for i in range(70000))
    reply = c.call("Z_SIM_ECHO", echo_params(XSTRING=blob), ["E_XSTRING"])
    assert values_of(reply)["E_XSTRING"] == blob
    assert len(c.wrapped_records) == 3
    assert all(len(r) <= 80 + 28000 for r in c.wrapped_records)
    assert snc_sim.checks() == []


def test_deviations_of_the_client(snc_sim):
    # No partner announcement in the first frame: the set-up ends with an
    # "*ERR*" block naming it.
    import gssapi as g
    c = SncClient(snc_sim.gateway).setup()
    ctx = g.SecurityContext(name=g.Name("sapsim@localhost", g.NameType.hostbased_service), usage="initiate",
                            mech=g.MechType.kerberos)
    c.send_frame(template(SNC_HANDSHAKE_T, conv=c.conv) + trailer(snc_frame(2, ctx.step())))
    message, origin = container.parse_err_block(c.recv_frame()[80:])
    assert "no partner announcement" in message and origin == "sim"
    assert c.at_eof()

    # A plain logon after the exchange is no Wrapped frame: refused as malformed.
    c = SncClient(snc_sim.gateway).setup()
    c.exchange()
    c.send_frame(template(SNC_DATA_T, conv=c.conv) + logon_container())
    reply = c.recv_reply()
    assert first(reply, Rid.LOGON_STATUS) == b"\x03"
    assert "SNCFRAME" in first(reply, Rid.ABAP_ERROR_MESSAGE).decode("utf-16-le")


def test_without_snc_settings_the_exchange_ends_with_an_err_block():
    with Sim() as sim:
        c = SncClient(sim.gateway).setup()  # Initialize with the SNC flag is accepted
        assert sim.events("snc-requested")
        c.send_frame(template(SNC_HANDSHAKE_T, conv=c.conv) + trailer(snc_frame(2, b"token", b"name")))
        message, origin = container.parse_err_block(c.recv_frame()[80:])
        assert "SNC is not configured" in message and origin == "sim"
        assert c.at_eof()
