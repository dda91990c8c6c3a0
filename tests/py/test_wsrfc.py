"""Connection over WebSocket RFC: logon with a client certificate, calls and
attributes, cancel() without a cancel handle, call time-outs, credentials
that are missing, wrong or untrusted, and a server that closes mid-call."""

import subprocess

import pytest

from conftest import lomra
import simctl

NOTHING_TO_CANCEL = ("cancel() has nothing to cancel: the connection is closed, or its transport has no "
                     "cancel record")


@pytest.fixture(scope="module")
def wsim():
    with simctl.Sim("--wsrfc") as s:
        yield s


def ws_params(sim, **overrides):
    params = {"wshost": "127.0.0.1", "wsport": str(sim.wsrfc), "tls_client_cert": sim.wsrfc_cert,
              "tls_client_key": sim.wsrfc_key, "client": "001", "lang": "EN"}
    params.update(overrides)
    return {k: v for k, v in params.items() if v is not None}


def closed_events(sim, count):
    return sim.wait_for(server="wsrfc", dir="event", event="closed", count=count, timeout=30)


def test_logon_call_attributes_and_close(wsim):
    before = len(wsim.events("closed", server="wsrfc"))
    c = lomra.Connection(ws_params(wsim), {})
    attributes = c.connection_attributes()
    assert {k: attributes[k] for k in ("sysId", "systemName", "sysNumber", "host", "kernelRel", "partnerCodepage",
                                      "client", "language", "sessionId")} == {
        "sysId": "QSI", "systemName": "QSISIM", "sysNumber": "00", "host": "qsihost", "kernelRel": "753",
        "partnerCodepage": "4103", "client": "001", "language": "E", "sessionId": ""}
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "über TLS"}, {}) == {
        "ECHOTEXT": "über TLS", "RESPTEXT": "Sysid: QSI Client: 001 User: TESTER Language: E (simulated)"}
    assert c.call("Z_SIM_ECHO", {"I_INT4": -7, "I_XSTRING": b"\x00\xff"}, {})["E_XSTRING"] == b"\x00\xff"
    c.close()
    closed = closed_events(wsim, before + 1)[-1]
    # Nothing but calls after the logon, no close frame, no TLS close alert.
    assert closed["messages"] == closed["calls"] + 1
    assert (closed["close_frame"], closed["tls_end"]) == (False, "eof")
    assert wsim.checks() == []


def test_cancel_has_nothing_to_cancel(wsim):
    c = lomra.Connection(ws_params(wsim), {})
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        c.cancel()
    assert (str(info.value), info.value.code, info.value.key) == (NOTHING_TO_CANCEL, 17, "RFC_EXTERNAL_FAILURE")
    # The session is untouched.
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "still here"}, {})["ECHOTEXT"] == "still here"
    c.close()
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        c.cancel()
    assert info.value.code == 17


def test_call_timeout_without_cancel_handle_reopens(wsim):
    c = lomra.Connection(ws_params(wsim), {})
    accepted = len(wsim.events("accepted", server="wsrfc"))
    with pytest.raises(lomra.CommunicationError) as info:
        c.call("Z_SIM_SLEEP", {"MILLIS": 3000}, {"timeout": 0.3})
    assert (str(info.value), info.value.code, info.value.key) == (
        "Z_SIM_SLEEP did not answer within the timeout", 7, "RFC_CANCELED")
    # No cancel record exists on this transport: the next call opens a fresh session.
    assert c.alive
    assert c.call("Z_SIM_SLEEP", {"MILLIS": 1}, {}) == {"E_MILLIS": 1}
    assert len(wsim.events("accepted", server="wsrfc")) == accepted + 1
    c.close()


def make_stranger(tmp_path):
    """A self-signed certificate and key (DER) that the endpoint's CA did not issue."""
    pem_key, pem_cert = tmp_path / "k.pem", tmp_path / "c.pem"
    cert, key = tmp_path / "stranger.der", tmp_path / "stranger.key.der"
    for cmd in (["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", pem_key],
                ["req", "-x509", "-new", "-key", pem_key, "-subj", "/CN=TESTER", "-days", "1", "-out", pem_cert],
                ["x509", "-in", pem_cert, "-outform", "DER", "-out", cert],
                ["pkcs8", "-topk8", "-nocrypt", "-in", pem_key, "-outform", "DER", "-out", key]):
        subprocess.run(["openssl", *map(str, cmd)], check=True, capture_output=True)
    return str(cert), str(key)


def test_missing_wrong_and_untrusted_credentials(wsim, tmp_path):
    for params, text in (
            (ws_params(wsim, tls_client_cert=None),
             "wsRFC needs tls_client_cert: the client certificate is the only credential this transport can present"),
            (ws_params(wsim, tls_client_key=None), "wsRFC needs tls_client_key alongside tls_client_cert")):
        with pytest.raises(lomra.ExternalRuntimeError) as info:
            lomra.Connection(params, {})
        assert str(info.value) == text
    cert, key = make_stranger(tmp_path)
    accepted = len(wsim.events("accepted", server="wsrfc"))
    # A key that belongs to another certificate: refused before connecting.
    with pytest.raises(lomra.CommunicationError) as info:
        lomra.Connection(ws_params(wsim, tls_client_key=key), {})
    assert "wsRFC client key does not belong to the client certificate" in str(info.value)
    assert len(wsim.events("accepted", server="wsrfc")) == accepted
    # A certificate the server does not trust: TLS ends the open.
    with pytest.raises(lomra.CommunicationError) as info:
        lomra.Connection(ws_params(wsim, tls_client_cert=cert, tls_client_key=key), {})
    assert info.value.code == 1 and "TLS error" in str(info.value)
    assert wsim.wait_for(server="wsrfc", event="tls-refused", timeout=30)


def test_server_closing_mid_call():
    with simctl.Sim("--wsrfc", "--fault", "midclose=call/STFC_CONNECTION@1") as sim:
        c = lomra.Connection(ws_params(sim), {})
        with pytest.raises(lomra.CommunicationError) as info:
            c.call("STFC_CONNECTION", {"REQUTEXT": "cut"}, {})
        assert (str(info.value), info.value.code, info.value.key) == (
            "connection closed by peer during wsrfc recv", 13, "RFC_CLOSED")
        c.reopen()
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "whole"}, {})["ECHOTEXT"] == "whole"
        c.close()
        assert [e["tls_end"] for e in closed_events(sim, 2)][-1] == "eof"
