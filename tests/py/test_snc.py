"""SNC from Python: a Connection with snc_* parameters runs the GSS-API
context exchange with the simulated ABAP system (a Kerberos acceptor in a
throwaway realm) and then calls with wrapped messages. The GSS-API library
is a test shim over MIT Kerberos (tests/snc/gss/krb5_shim.c), built here
with the C compiler."""

import os
import shutil
import subprocess
import sys
import threading

import pytest

from conftest import ROOT, lomra, logon
import simctl

sys.path.insert(0, str(ROOT / "tests" / "snc" / "krb5"))
import realm as krb5realm  # noqa: E402

SERVICE = "sapsim@localhost"


@pytest.fixture(scope="module")
def realm():
    missing = krb5realm.missing_tools()
    if missing:
        pytest.skip("Kerberos tools missing: " + ", ".join(missing))
    # The simulator's acceptor needs python3-gssapi in its interpreter.
    if subprocess.run([simctl.PYTHON, "-c", "import gssapi"], capture_output=True).returncode != 0:
        pytest.skip(f"python3-gssapi is missing for {simctl.PYTHON}")
    with krb5realm.Realm() as r, pytest.MonkeyPatch.context() as env:
        for k, v in r.env.items():
            env.setenv(k, v)
        yield r


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    out = tmp_path_factory.mktemp("gss") / "krb5_shim.so"
    cc = os.environ.get("CC") or shutil.which("cc") or "cc"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out),
                    str(ROOT / "tests" / "snc" / "gss" / "krb5_shim.c"), "-ldl"], check=True)
    return str(out)


@pytest.fixture(scope="module")
def snc_sim(realm):
    with simctl.Sim("--snc", realm.service_keytab, SERVICE) as s:
        yield s


def snc_logon(sim, shim, **overrides):
    params = {"snc_mode": "1", "snc_partnername": "p:" + SERVICE, "snc_lib": shim}
    params.update(overrides)
    return logon(sim, **params)


def test_call_over_snc(snc_sim, shim):
    before = len(snc_sim.events("snc-established"))
    c = lomra.Connection(snc_logon(snc_sim, shim), {})
    try:
        text = "Hello over SNC"
        assert c.call("STFC_CONNECTION", {"REQUTEXT": text}, {})["ECHOTEXT"] == text
        established = snc_sim.events("snc-established")
        assert len(established) == before + 1
        assert established[-1]["initiator"] == "rfcclient/localhost@QUIB.TEST"
        # The request was wrapped on the wire; the simulator logged it unwrapped.
        logged = snc_sim.messages(step="call", function="STFC_CONNECTION")
        assert text.encode("utf-16-le") in logged[-1]
        wire = [bytes.fromhex(f["hex"]) for f in snc_sim.entries(kind="frame", dir="recv", step="call")]
        assert wire and all(text.encode("utf-16-le") not in f for f in wire)
        assert snc_sim.checks() == []
    finally:
        c.close()


@pytest.mark.parametrize("params", [
    {"snc_qop": "1", "snc_myname": "p:rfcclient@localhost"},
    {"snc_qop": " 2 "},
    {"snc_qop": "8", "snc_partnername": "p: sapsim@localhost "},
    {"snc_lib": None},  # the library from SNC_LIB
])
def test_parameter_variants(snc_sim, shim, monkeypatch, params):
    monkeypatch.setenv("SNC_LIB", shim)
    before = len(snc_sim.events("snc-established"))
    overrides = {k: v for k, v in params.items()}
    c = lomra.Connection(snc_logon(snc_sim, shim, **overrides), {})
    try:
        assert c.call("RFCPING", {}, {}) == {}
        assert len(snc_sim.events("snc-established")) == before + 1
    finally:
        c.close()


def test_cancel_and_reopen_over_snc(snc_sim, shim):
    c = lomra.Connection(snc_logon(snc_sim, shim), {})
    c.function_description("Z_SIM_SLEEP")
    count = len(snc_sim.messages(step="call", function="Z_SIM_SLEEP"))
    established = len(snc_sim.events("snc-established"))
    out = {}

    def run():
        try:
            out["result"] = c.call("Z_SIM_SLEEP", {"MILLIS": 30000}, {})
        except BaseException as e:  # noqa: BLE001 - handed to the test
            out["error"] = e

    t = threading.Thread(target=run)
    t.start()
    snc_sim.wait_for(kind="message", step="call", dir="recv", function="Z_SIM_SLEEP", count=count + 1,
                     timeout=30)
    assert c.cancel() is None
    t.join(60)
    assert not t.is_alive()
    e = out["error"]
    assert (type(e), e.code, e.key) == (lomra.CommunicationError, 7, "RFC_CANCELED")
    # The cancel record went out in clear on the protected conversation; the
    # session reopened by the next call ran a new context exchange.
    assert snc_sim.wait_for(event="cancelled", function="Z_SIM_SLEEP", timeout=10)
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "after"}, {})["ECHOTEXT"] == "after"
    assert len(snc_sim.events("snc-established")) == established + 1
    c.close()


@pytest.mark.parametrize("params, start", [
    ({"snc_partnername": "p:nobody@localhost"}, "SNC: gss_init_sec_context failed: "),
    ({"snc_myname": "p:stranger@localhost"}, "SNC: gss_acquire_cred failed: "),
    ({"snc_lib": "/nonexistent/libgss.so"}, "SNC: cannot load the GSS-API library /nonexistent/libgss.so: "),
])
def test_snc_failures_are_communication_failures(snc_sim, shim, params, start):
    logons = len(snc_sim.messages(step="logon"))
    with pytest.raises(lomra.CommunicationError) as info:
        lomra.Connection(snc_logon(snc_sim, shim, **params), {})
    assert str(info.value).startswith(start), str(info.value)
    assert (info.value.code, info.value.key) == (1, "RFC_COMMUNICATION_FAILURE")
    assert len(snc_sim.messages(step="logon")) == logons
