"""Calls as basXML documents from Python: the simulator's functions give the
same Python results on both routes, `basxml: "0"` keeps every call classic
(what travels is read back from the simulator's log), ABAP exceptions
arrive beside a document, hostile reply payloads end the call with an
error, and the basXML dumps show and store exactly the documents that
travelled."""

import datetime
import os
import textwrap
from decimal import Decimal

import pytest

from conftest import lomra, logon, run_python, simctl

BASXML_FUNCTIONS = ["Z_SIM_ECHO", "Z_SIM_STRUCT", "Z_SIM_TABLE", "Z_SIM_TTYP", "Z_SIM_RAISE",
                    "STFC_CONNECTION"]
SCENARIO = {"functions": {**{name: {"basxml": "X"} for name in BASXML_FUNCTIONS},
                          "Z_SIM_SPLIT": {"basxml": "X", "basxml_reply": "bomb"},
                          "Z_SIM_SLEEP": {"basxml": "X", "basxml_reply": "deep"},
                          "Z_SIM_FAULT": {"basxml": "X", "basxml_reply": "truncated"}},
            "basxml_piece": 100}

ROW = {"ID": 7, "NAME": "Grüße", "AMOUNT": Decimal("-12.34"), "DAY": "20240229", "SCORE": 2.5}

CALLS = [
    ("Z_SIM_ECHO", {"I_CHAR": "abc", "I_NUMC": "00001234", "I_DATS": datetime.date(2024, 1, 15),
                    "I_TIMS": datetime.time(23, 59, 58), "I_PACKED": Decimal("12.5"), "I_PACKED0": Decimal("-7"),
                    "I_FLOAT": 0.1, "I_INT1": 255, "I_INT2": -32768, "I_INT4": 7, "I_INT8": -(1 << 62),
                    "I_RAW": b"\x01\x02", "I_XSTRING": b"xyz", "I_STRING": " a string  ", "I_DF16": Decimal("1.5"),
                    "I_DF34": Decimal("-12345678901234567890.25"), "C_COUNTER": 4}),
    ("Z_SIM_ECHO", {}),
    ("Z_SIM_STRUCT", {"I_ROW": ROW}),
    ("Z_SIM_TABLE", {"ROW_COUNT": 40, "T_IN": [ROW, dict(ROW, ID=8, NAME="Zoë")]}),
    ("Z_SIM_TTYP", {}),
    ("STFC_CONNECTION", {"REQUTEXT": "über"}),
]


@pytest.fixture(scope="module")
def bsim():
    with simctl.Sim("--sysid", "BXL", config=SCENARIO) as s:
        yield s


def records_of(message):
    from sim.container import read_records, split_trailer  # the simulator's own reader

    records, _ = read_records(split_trailer(message)[0])
    return [rid for rid, _ in records]


@pytest.mark.parametrize("function, params", CALLS, ids=[f"{f}-{i}" for i, (f, _) in enumerate(CALLS)])
def test_both_routes_give_the_same_results(bsim, function, params):
    results = {}
    for mode in ("0", "1"):
        c = lomra.Connection(logon(bsim, basxml=mode), {})
        results[mode] = c.call(function, params, {})
        c.close()
    assert results["1"] == results["0"]
    assert results["1"]  # something came back
    # The last request of each mode: classic records, then a document.
    classic, document = bsim.messages(step="call", function=function)[-2:]
    assert 0x4002 not in records_of(classic)
    ids = records_of(document)
    assert ids[-3:] == [0x4000, 0x4002, 0x4004]
    assert 0x0201 not in ids and 0x0301 not in ids
    assert bsim.checks() == []


def test_the_document_names_what_the_call_gave(bsim):
    c = lomra.Connection(logon(bsim), {})
    c.call("Z_SIM_TABLE", {"ROW_COUNT": 1, "T_IN": [ROW]}, {})
    c.close()
    request = bsim.events("basxml-request", function="Z_SIM_TABLE")[-1]
    # The imports given, then every table parameter, the one not given as an
    # empty table.
    assert request["params"] == "ROW_COUNT,T_IN,T_OUT"
    reply = bsim.events("basxml-reply", function="Z_SIM_TABLE")[-1]
    assert set(reply["params"].split(",")) == {"E_ROWS", "E_SEEN", "T_OUT", "T_IN"}
    assert reply["records"] > 1  # 100-byte BasxmlPayload records


def test_abap_exceptions_beside_a_document(bsim):
    params = {"KEY": "SIM_ERROR", "TEXT": "it broke", "MSGID": "ZSIM", "MSGTY": "E", "MSGNO": "042",
              "MSGV1": "one", "MSGV4": "four"}
    raised = {}
    for mode in ("0", "1"):
        c = lomra.Connection(logon(bsim, basxml=mode), {})
        with pytest.raises(lomra.ABAPApplicationError) as info:
            c.call("Z_SIM_RAISE", params, {})
        e = info.value
        raised[mode] = (str(e), e.key, e.msg_class, e.msg_type, e.msg_number, e.msg_v1, e.msg_v2, e.msg_v4)
        # The connection stays usable.
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "after"}, {})["ECHOTEXT"] == "after"
        c.close()
    assert raised["1"] == raised["0"]
    assert raised["1"][1] == "SIM_ERROR" and raised["1"][5] == "one"
    assert bsim.events("basxml-reply", function="Z_SIM_RAISE")


@pytest.mark.parametrize("function, text", [
    # More than 64 MiB of document in some 65 KB: past what the reply may make.
    ("Z_SIM_SPLIT", "inflating the reply: the reply would make more than"),
    ("Z_SIM_SLEEP", "element nesting depth"),
    ("Z_SIM_FAULT", "reply document: token stream ended mid-token"),
])
def test_hostile_reply_payloads_are_refused(bsim, function, text):
    c = lomra.Connection(logon(bsim), {})
    params = {"MODE": ""} if function == "Z_SIM_FAULT" else {}
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        c.call(function, params, {})
    assert text in str(info.value)
    assert info.value.key == "RFC_EXTERNAL_FAILURE"
    assert c.call("STFC_CONNECTION", {"REQUTEXT": "still"}, {})["ECHOTEXT"] == "still"
    c.close()


def test_mode_zero_sends_nothing_as_basxml():
    with simctl.Sim("--sysid", "BXZ", config=SCENARIO) as sim:
        c = lomra.Connection(logon(sim, basxml="0"), {})
        for function, params in CALLS:
            c.call(function, params, {})
        c.close()
        assert sim.events("basxml-request") == []
        assert all(0x4002 not in records_of(m) for m in sim.messages(step="call"))


def test_an_unconvertible_value_is_refused_before_sending(bsim):
    c = lomra.Connection(logon(bsim), {})
    before = len(bsim.messages(step="call", function="Z_SIM_ECHO"))
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        c.call("Z_SIM_ECHO", {"I_DATS": "2024/01/15"}, {})
    assert str(info.value).startswith('I_DATS "2024/01/15": an ABAP Date takes 8 digits YYYYMMDD')
    assert len(bsim.messages(step="call", function="Z_SIM_ECHO")) == before
    c.close()


# --- dumps, each setting in a process of its own --------------------------------------------------

DUMP_CALL = """
import lomra
c = lomra.Connection({{"ashost": "127.0.0.1", "port": "{port}", "user": "TESTER", "passwd": "secret"}}, {{}})
print(c.call("Z_SIM_ECHO", {{"I_CHAR": "dumped", "I_INT4": 5}}, {{}})["E_INT4"])
"""


def dump_run(sim, env):
    """The dumping call in a fresh interpreter with exactly these dump
    settings; its output as bytes (the documents hold control bytes that a
    text reader would translate)."""
    base = {k: v for k, v in os.environ.items() if not k.startswith("QUIB_DUMP")}
    return run_python(textwrap.dedent(DUMP_CALL.format(port=sim.gateway)), env, text=False, base_env=base)


def last_documents(sim):
    request = bytes.fromhex(sim.events("basxml-request", function="Z_SIM_ECHO")[-1]["document"])
    reply = bytes.fromhex(sim.events("basxml-reply", function="Z_SIM_ECHO")[-1]["document"])
    return request, reply


def test_dump_to_standard_error(bsim):
    proc = dump_run(bsim, {"QUIB_DUMP_BASXML": ""})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [b"5"]
    request, reply = last_documents(bsim)
    expected = b"".join(b"--- basXML %s for Z_SIM_ECHO ---\n%s\n--- end ---\n"
                        % (kind, doc.decode("utf-8", "replace").encode("utf-8"))
                        for kind, doc in ((b"request", request), (b"reply", reply)))
    assert expected in proc.stderr


def test_dump_to_files_holds_the_documents_that_travelled(bsim, tmp_path):
    proc = dump_run(bsim, {"QUIB_DUMP_BASXML_DIR": str(tmp_path)})
    assert proc.returncode == 0, proc.stderr
    assert b"--- basXML" not in proc.stderr
    request, reply = last_documents(bsim)
    assert (tmp_path / "z_sim_echo.request.bxml").read_bytes() == request
    assert (tmp_path / "z_sim_echo.reply.bxml").read_bytes() == reply
    assert request.startswith(b"BXML") and b"dumped" in request


def test_dump_directory_that_cannot_be_written(bsim, tmp_path):
    missing = tmp_path / "absent"
    proc = dump_run(bsim, {"QUIB_DUMP_BASXML_DIR": str(missing)})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [b"5"]
    lines = [line.decode() for line in proc.stderr.splitlines()
             if line.startswith(b"QUIB_DUMP_BASXML_DIR: cannot write")]
    assert [str(missing / name) in line for line, name in
            zip(lines, ("z_sim_echo.request.bxml", "z_sim_echo.reply.bxml"))] == [True, True]


def test_basxml_over_websocket_rfc():
    with simctl.Sim("--wsrfc", "--sysid", "BXW", config=SCENARIO) as sim:
        params = {"wshost": "127.0.0.1", "wsport": str(sim.wsrfc), "tls_client_cert": sim.wsrfc_cert,
                  "tls_client_key": sim.wsrfc_key, "client": "001", "lang": "EN"}
        results = {}
        for mode in ("0", "1"):
            c = lomra.Connection(dict(params, basxml=mode), {})
            results[mode] = c.call("Z_SIM_TABLE", {"ROW_COUNT": 3, "T_IN": [ROW]}, {})
            c.close()
        assert results["1"] == results["0"] and len(results["1"]["T_OUT"]) == 4
        assert [e["server"] for e in sim.events("basxml-request", function="Z_SIM_TABLE")] == ["wsrfc"]
        assert sim.checks() == []
