"""Connection parameters and config: every check runs before any network
activity, in a fixed order, each with its own message; the route follows
from the keys given."""

import ctypes
import os
import shutil
import subprocess
import textwrap
import threading

import pytest

from conftest import PASSWORD, ROOT, USER, lomra, logon, run_python
import simctl


def refused(params, config=None):
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        lomra.Connection(params, config or {})
    assert (info.value.code, info.value.key) == (17, "RFC_EXTERNAL_FAILURE")
    return str(info.value)


@pytest.fixture(autouse=True)
def no_snc_lib(monkeypatch):
    monkeypatch.delenv("SNC_LIB", raising=False)


# --- types of the arguments ----------------------------------------------------------------

@pytest.mark.parametrize("params,config,fragment", [
    ([], {}, "'params'"),
    ({"port": 3300}, {}, '"port"'),
    ({1: "x"}, {}, "'params'"),
    ({}, None, "'config'"),
    ({}, {1: True}, "'config'"),
    # The key types of config are checked before any parameter is.
    ({"port": "x"}, {1: True}, "'config'"),
])
def test_argument_types(params, config, fragment):
    with pytest.raises(TypeError) as info:
        lomra.Connection(params, config)
    assert fragment in str(info.value)


def test_both_arguments_are_required():
    with pytest.raises(TypeError):
        lomra.Connection({})
    with pytest.raises(TypeError):
        lomra.Connection(config={})


# --- each check and its message ------------------------------------------------------------

SNC_LIBRARY = ("SNC was requested but no library was given: set snc_lib (or the SNC_LIB environment "
               "variable) to CommonCryptoLib")
SNC_PARTNER = ("SNC was requested but snc_partnername is missing: without it there is no server identity "
               "to authenticate against")
WS_SNC = ("SNC does not apply to a wsRFC connection, which is protected by TLS: pass snc_mode=0 or drop the "
          "wshost/tls_client_* parameters")
WS_CERT = "wsRFC needs tls_client_cert: the client certificate is the only credential this transport can present"
WS_KEY = "wsRFC needs tls_client_key alongside tls_client_cert"

CHECKS = [
    ({"port": " 3300"}, 'port must be a number, got " 3300"'),
    ({"port": "3300 "}, 'port must be a number, got "3300 "'),
    ({"port": "-1"}, 'port must be a number, got "-1"'),
    ({"port": "65536"}, 'port must be a number, got "65536"'),
    ({"port": ""}, 'port must be a number, got ""'),
    ({"port": "+"}, 'port must be a number, got "+"'),
    ({"port": "++1"}, 'port must be a number, got "++1"'),
    ({"port": "0x10"}, 'port must be a number, got "0x10"'),
    ({"port": "3\t"}, 'port must be a number, got "3\\t"'),
    # The system number the port follows from, read as the port is, never
    # taken as 00 when it is no number.
    ({"sysnr": "7a"}, 'sysnr must be a number, got "7a"'),
    ({"sysnr": " 00"}, 'sysnr must be a number, got " 00"'),
    ({"sysnr": ""}, 'sysnr must be a number, got ""'),
    ({"port": "3300", "sysnr": "x"}, 'sysnr must be a number, got "x"'),
    # The message server's port, decimal only: service names are not looked up.
    ({"mshost": "m", "msserv": "sapmsQSI"}, 'msserv must be a number, got "sapmsQSI"'),
    ({"mshost": "m", "msserv": "3600 "}, 'msserv must be a number, got "3600 "'),
    ({"mshost": "m", "msserv": "70000"}, 'msserv must be a number, got "70000"'),
    ({"snc_mode": "1"}, SNC_LIBRARY),
    ({"snc_myname": "p:me"}, SNC_LIBRARY),
    ({"snc_mode": " 00 ", "snc_partnername": "p:x"}, SNC_LIBRARY),
    ({"snc_lib": "", "snc_mode": "1"}, SNC_PARTNER),
    ({"snc_lib": "/l", "snc_partnername": "p:x", "snc_qop": "4"}, 'snc_qop must be 1, 2, 3, 8 or 9, got "4"'),
    ({"snc_lib": "/l", "snc_partnername": "p:x", "snc_qop": " 12 "}, 'snc_qop must be 1, 2, 3, 8 or 9, got "12"'),
    ({"snc_lib": "/l", "snc_partnername": "p:x", "snc_qop": ""}, 'snc_qop must be 1, 2, 3, 8 or 9, got ""'),
    ({"wshost": "h", "mshost": "m"}, "wsRFC and mshost are different routes; give one or the other"),
    ({"tls_client_cert": "c", "mshost": "m", "saprouter": "r"},
     "wsRFC and mshost are different routes; give one or the other"),
    ({"wsport": "443", "saprouter": "/H/x"}, "wsRFC and saprouter are different routes; give one or the other"),
    ({"wshost": "h", "snc_lib": "/l", "snc_partnername": "p:x"}, WS_SNC),
    ({"wshost": "h", "snc_partnername": "p:x"}, SNC_LIBRARY),  # the SNC checks come first
    ({"wshost": "h", "wsport": "x"}, 'wsport must be a number, got "x"'),
    ({"ws_path": "/p", "wsport": "70000"}, 'wsport must be a number, got "70000"'),
    ({"wshost": "h"}, WS_CERT),
    ({"tls_client_key": "k"}, WS_CERT),
    ({"tls_client_cert": "c"}, WS_KEY),
    ({"wshost": "h", "snc_mode": "0", "snc_partnername": "p:x"}, WS_CERT),
    # Earlier checks win over later ones.
    ({"port": "x", "snc_mode": "1", "wshost": "h", "mshost": "m"}, 'port must be a number, got "x"'),
]


@pytest.mark.parametrize("params,message", CHECKS, ids=[str(i) for i in range(len(CHECKS))])
def test_parameter_check(params, message):
    assert refused(params) == message


def test_snc_library_from_the_environment(monkeypatch):
    monkeypatch.setenv("SNC_LIB", "/opt/snc/lib.so")
    assert refused({"snc_mode": "1"}) == SNC_PARTNER
    monkeypatch.setenv("SNC_LIB", "")
    assert refused({"snc_qop": "5", "snc_partnername": "p"}) == 'snc_qop must be 1, 2, 3, 8 or 9, got "5"'


# --- credential files -----------------------------------------------------------------------

def ws_params(cert, key):
    return {"wshost": "127.0.0.1", "wsport": "1", "tls_client_cert": str(cert), "tls_client_key": str(key)}


@pytest.fixture
def der(tmp_path):
    cert = tmp_path / "cert.der"
    cert.write_bytes(b"\x30\x82\x01\x00" + bytes(256))
    key = tmp_path / "key.der"
    key.write_bytes(b"\x30\x81\x87" + bytes(135))
    return cert, key


def test_credential_file_refusals(tmp_path, der):
    cert, key = der
    missing = tmp_path / "nope.der"
    assert refused(ws_params(missing, key)) == (
        f"tls_client_cert: cannot read {missing}: No such file or directory (os error 2)")
    empty = tmp_path / "empty.der"
    empty.write_bytes(b"")
    assert refused(ws_params(cert, empty)) == f"tls_client_key: {empty} is empty"
    pem = tmp_path / "cert.pem"
    pem.write_bytes(b"-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n")
    assert refused(ws_params(pem, key)) == (
        f"tls_client_cert: {pem} is PEM; wsRFC needs DER. Convert it with `openssl x509 -in {pem} -outform DER "
        f"-out cert.der` (a key: `openssl pkcs8 -topk8 -nocrypt -in {pem} -outform DER -out key.der`)")
    assert refused(ws_params(cert, pem)).startswith(f"tls_client_key: {pem} is PEM;")
    # Nine bytes of the marker are not PEM yet.
    short = tmp_path / "short.der"
    short.write_bytes(b"-----BEGI")
    assert "PEM" not in route_failure(ws_params(short, key))


def test_credential_files_must_be_regular_and_bounded(tmp_path, der):
    cert, key = der
    assert refused(ws_params(tmp_path, key)) == f"tls_client_cert: cannot read {tmp_path}: not a regular file"
    assert refused(ws_params(cert, "/dev/zero")) == "tls_client_key: cannot read /dev/zero: not a regular file"
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # nobody writes: opening it for reading must not wait
    out = {}
    t = threading.Thread(target=lambda: out.update(message=refused(ws_params(fifo, key))), daemon=True)
    t.start()
    t.join(60)
    assert not t.is_alive(), "opening the FIFO blocked"
    assert out["message"] == f"tls_client_cert: cannot read {fifo}: not a regular file"
    big = tmp_path / "big.der"
    with open(big, "wb") as f:
        f.truncate((1 << 20) + 1)
    assert refused(ws_params(cert, big)) == f"tls_client_key: cannot read {big}: larger than 1048576 bytes"
    limit = tmp_path / "limit.der"
    with open(limit, "wb") as f:
        f.truncate(1 << 20)
    # A file of exactly the limit is read and handed on: the failure is the open's.
    assert "larger than" not in route_failure(ws_params(cert, limit))


def test_credential_path_with_a_nul_byte_names_no_file(der):
    cert, key = der
    # The part before the NUL names a readable file; it must not be read.
    path = f"{cert}\0.pem"
    assert refused(ws_params(path, key)) == (
        f"tls_client_cert: cannot read {path}: file name contained an unexpected NUL byte")
    assert refused(ws_params(cert, f"{key}\0")).startswith(f"tls_client_key: cannot read {key}\0: ")


def route_failure(params):
    """The failure of opening a route that cannot succeed here (nothing
    listens, or the route is not available in this build): any error of the
    open, but none of the parameter checks."""
    with pytest.raises((lomra.CommunicationError, lomra.ExternalRuntimeError)) as info:
        lomra.Connection(params, {})
    text = str(info.value)
    assert not any(m in text for m in ("must be", "requested", "needs tls", "cannot read", "is PEM",
                                       "is empty", "different routes"))
    return text


# --- routes --------------------------------------------------------------------------------

def closed_port():
    with simctl.Sim() as s:
        return str(s.gateway)


def test_wsrfc_route_with_readable_credentials(der):
    cert, key = der
    text = route_failure(ws_params(cert, key))
    assert "wsrfc" in text.lower() or "WebSocket" in text or "refused" in text.lower()


def test_message_server_route_wins_over_saprouter():
    with simctl.Sim("--saprouter") as sim:
        # The routers only: the last hop is ashost at the gateway port.
        router = f"/H/127.0.0.1/S/{sim.saprouter}"
        # The router route alone works ...
        c = lomra.Connection(logon(sim, saprouter=router), {})
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "routed"}, {})["ECHOTEXT"] == "routed"
        c.close()
        assert sim.entries(server="saprouter", dir="event", event="accepted")
        # ... but with mshost beside it the message server is asked instead.
        port = closed_port()
        text = route_failure(logon(sim, saprouter=router, mshost="127.0.0.1", msserv=port))
        assert text.startswith(f"I/O error: cannot connect to 127.0.0.1:{port}: Connection refused"), text


def test_ws_path_alone_keeps_the_direct_route(sim):
    c = lomra.Connection(logon(sim, ws_path="/elsewhere"), {})
    assert c.alive
    c.close()


def test_unknown_and_differently_cased_keys_are_ignored(sim):
    c = lomra.Connection(logon(sim, PORT="x", Snc_mode="1", whatever="y"), {})
    assert c.alive
    c.close()


def test_snc_mode_zero_switches_snc_off(sim):
    before = len(sim.events("logon-ok"))
    c = lomra.Connection(logon(sim, snc_mode=" 0 ", snc_partnername="p:CN=x", snc_qop="bad"), {})
    assert c.alive
    c.close()
    assert len(sim.events("logon-ok")) == before + 1
    assert not sim.events("snc-requested")


def test_valid_snc_parameters_reach_the_snc_set_up(sim):
    # Every check passes (qop " 9 " is trimmed); what fails is the SNC set-up
    # itself, with a library that does not exist.
    before = len(sim.events("logon-ok"))
    text = route_failure(logon(sim, snc_lib="/nonexistent/libgss.so", snc_partnername="p:CN=x",
                               snc_qop=" 9 "))
    assert "SNC" in text
    assert len(sim.events("logon-ok")) == before


# A function of the scripted GSS-API library's own, built beside it: the
# request flags of its last gss_init_sec_context.
INIT_FLAGS_SOURCE = """
#include <stdint.h>
#include "fake_gss.h"
__attribute__((visibility("default"))) uint32_t fake_gss_init_flags(void) {
  return fake_gss_state()->init_calls ? fake_gss_state()->init_flags : 0xFFFFFFFFu;
}
"""


@pytest.fixture(scope="module")
def fake_gss(tmp_path_factory):
    gss_dir = ROOT / "tests" / "snc" / "gss"
    out = tmp_path_factory.mktemp("gss")
    extra = out / "init_flags.c"
    extra.write_text(INIT_FLAGS_SOURCE)
    lib = out / "fake_gss.so"
    cc = os.environ.get("CC") or shutil.which("cc") or "cc"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", f"-I{gss_dir}", "-o", str(lib),
                    str(gss_dir / "fake_gss.c"), str(extra)], check=True)
    handle = ctypes.CDLL(str(lib))  # the same library the connection loads by its path
    handle.fake_gss_init_flags.restype = ctypes.c_uint32
    return str(lib), handle


@pytest.mark.parametrize("qop, flags", [
    ("1", 0x0E),    # authentication: mutual, replay and sequence checks
    ("2", 0x2E),    # and integrity
    ("3", 0x3E),    # and privacy
    ("8", 0x3E),
    (" 9 ", 0x3E),
])
def test_snc_qop_sets_the_requested_protection(sim, fake_gss, qop, flags):
    # The scripted library completes the context at once; the simulator,
    # which expects no SNC here, then refuses the set-up. What matters is
    # what the context asked for.
    path, handle = fake_gss
    handle.fake_gss_reset()
    with pytest.raises(lomra.CommunicationError):
        lomra.Connection(logon(sim, snc_lib=path, snc_partnername="p:CN=sim", snc_qop=qop), {})
    assert handle.fake_gss_init_flags() == flags


def test_port_with_a_plus_sign(sim):
    c = lomra.Connection(logon(sim, port="+" + str(sim.gateway)), {})
    assert c.alive
    c.close()


def test_defaults_of_the_logon():
    config = {"accounts": [{"user": "", "password": "", "client": "001"}]}
    with simctl.Sim(config=config) as sim:
        c = lomra.Connection({"ashost": "127.0.0.1", "port": str(sim.gateway)}, {})
        assert c.connection_attributes()["language"] == "E"
        c.close()
        ok = sim.events("logon-ok")
        assert [(e["user"], e["client"], e["language"]) for e in ok] == [("", "001", "E")]


BASXML_MODES = [
    (None, True),       # absent: basXML when the function accepts it
    ("1", True),
    ("yes", True),
    ("no", False),
    (" no ", False),
    ("False", False),
    ("0", False),
    ("", False),
]


@pytest.mark.parametrize("mode,basxml", BASXML_MODES)
def test_basxml_mode(mode, basxml):
    # A system of its own: descriptions are cached per system ID.
    with simctl.Sim("--sysid", "BXM", config={"functions": {"STFC_CONNECTION": {"basxml": "X"}}}) as sim:
        c = lomra.Connection(logon(sim, basxml=mode), {})
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "x"}, {})["ECHOTEXT"] == "x"
        c.close()
        # The call went out as a basXML document exactly when the mode allows it.
        requests = sim.messages(step="call", function="STFC_CONNECTION")
        documents = sim.events("basxml-request", function="STFC_CONNECTION")
        assert len(requests) == 1 and len(documents) == (1 if basxml else 0)


# --- config ---------------------------------------------------------------------------------

def test_config_defaults_and_values(sim):
    c = lomra.Connection(logon(sim), {"rstrip": 0, "dtime": "yes", "unknown": object()})
    r = c.call("Z_SIM_ECHO", {"I_CHAR": "ab", "I_DATS": "20240102"}, {})
    assert r["E_CHAR"] == "ab        " and r["E_DATS"].isoformat() == "2024-01-02"
    c.close()
    c = lomra.Connection(logon(sim), {})
    r = c.call("Z_SIM_ECHO", {"I_CHAR": "ab", "I_DATS": "20240102"}, {})
    assert (r["E_CHAR"], r["E_DATS"]) == ("ab", "20240102")
    c.close()


class Untruthful:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


CONFIG = "Connection() argument 'config'"


@pytest.mark.parametrize("config,error,message", [
    ({"timeout": "5"}, TypeError, f'{CONFIG}: timeout must be a number of seconds or None, got str "5"'),
    ({"timeout": [1]}, TypeError, f"{CONFIG}: timeout must be a number of seconds or None, got list [1]"),
    ({"timeout": float("nan")}, ValueError,
     f"{CONFIG}: timeout must be a finite number of seconds below 2**64, got nan"),
    ({"timeout": float("inf")}, ValueError,
     f"{CONFIG}: timeout must be a finite number of seconds below 2**64, got inf"),
    ({"timeout": -float("inf")}, ValueError,
     f"{CONFIG}: timeout must be a finite number of seconds below 2**64, got -inf"),
    ({"timeout": 2.0**64}, ValueError,
     f"{CONFIG}: timeout must be a finite number of seconds below 2**64, got 1.8446744073709552e+19"),
    ({"rstrip": Untruthful()}, ZeroDivisionError, "no truth"),
])
def test_config_refusals_open_nothing(sim, config, error, message):
    before = len(sim.events("accepted"))
    with pytest.raises(error) as info:
        lomra.Connection(logon(sim), config)
    assert str(info.value) == message
    assert len(sim.events("accepted")) == before


def test_call_timeout_refusal_names_the_options(conn):
    with pytest.raises(TypeError) as info:
        conn.call("STFC_CONNECTION", {}, {"timeout": "soon"})
    assert str(info.value) == ("call() argument 'options': timeout must be a number of seconds or None, "
                               'got str "soon"')


@pytest.mark.parametrize("timeout", [0, -2, None, 0.0])
def test_config_timeout_that_switches_it_off(sim, timeout):
    c = lomra.Connection(logon(sim), {"timeout": timeout})
    assert c.call("Z_SIM_SLEEP", {"MILLIS": 50}, {}) == {"E_MILLIS": 50}
    c.close()


# --- handle numbers -------------------------------------------------------------------------

def test_handles_count_successful_constructions_only(sim):
    code = textwrap.dedent(f"""
        import lomra
        params = {{"ashost": "127.0.0.1", "port": "{sim.gateway}", "user": "{USER}", "passwd": "{PASSWORD}"}}
        a = lomra.Connection(params, {{}})
        for bad in ({{"port": "x"}}, dict(params, passwd="wrong")):
            try:
                lomra.Connection(bad, {{}})
            except lomra.RFCError:
                pass
        b = lomra.Connection(params, {{}})
        a.reopen()
        print(a.handle, b.handle)
    """)
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["1", "2"]
