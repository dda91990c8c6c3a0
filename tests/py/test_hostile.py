"""A hostile server against the binding: each case runs in a fresh
interpreter that makes one call, then checks that the connection still
answers, and reports how it ended together with its own peak resident
memory and CPU time (resource.getrusage). Every case must end as stated
and stay within its memory and CPU bound above a baseline run measured the
same way. The bounds are generous for a loaded machine, yet far below what
the unbounded decoders used (gigabytes and a minute of CPU for the bomb and
wide cases)."""

import json
import re

import hostile_runner
import pytest

from conftest import ExtSim, lomra, logon, run_python

BASXML_ELEMENTS = {"Z_SIM_SPLIT": 16_000_000, "Z_SIM_SLEEP": 1_000_000, "Z_SIM_FAULT": 1_500_000}


@pytest.fixture(scope="module")
def hsim():
    functions = {name: {"basxml": "X", "basxml_reply": f"elements:{n}"} for name, n in BASXML_ELEMENTS.items()}
    # 100000 PARAMS rows fit one container only compressed.
    functions["Z_H_WIDE"] = {"params_coding": "Z"}
    with ExtSim("--sysid", "QSI", config={"functions": functions}) as s:
        yield s


@pytest.fixture(scope="module")
def poison_sim():
    with ExtSim("--sysid", "QSI", config={"system": {"system_name": "POISON"}}) as s:
        yield s


@pytest.fixture(scope="module")
def err_sim():
    with ExtSim("--sysid", "QSI", "--fault", "err=logon:partner not reached") as s:
        yield s


def run_case(spec, timeout=300):
    proc = run_python(hostile_runner.RUNNER, env={hostile_runner.SPEC_VARIABLE: json.dumps(spec)},
                      timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return hostile_runner.outcome(proc.stdout)


@pytest.fixture(scope="module")
def baseline(hsim):
    return run_case({"params": logon(hsim), "function": "STFC_CONNECTION", "imports": {"REQUTEXT": "x"}})


def table(mode, size):
    return {"function": "Z_H_TABLE", "imports": {"MODE": mode, "SIZE": str(size)}}


MiB = 1 << 20
ALLOWANCE = 8 * MiB  # what any compressed table may expand to, whatever its ratio
ROW = 1024

# (id, call, expected error class or None, text in the message or a check of the
# result, MB above the baseline's peak memory, CPU seconds above the baseline's)
CASES = [
    # Blank rows deflate about 1000-fold: past the ratio a table expands only
    # to the allowance. Declaring 4 GiB changes nothing.
    ("table bomb 64 MiB", table("BLANK", 64 * MiB), "ExternalRuntimeError",
     "table T_DATA arrived compressed", 160, 10),
    ("blank table just under the allowance", table("BLANK", ALLOWANCE - ROW), None,
     {"T_DATA": ALLOWANCE // ROW - 1}, 120, 10),
    ("blank table just over the allowance", table("BLANK", ALLOWANCE + ROW), "ExternalRuntimeError",
     "table T_DATA arrived compressed", 120, 10),
    # Rows that carry a key and blanks stay far below the ratio.
    ("keyed padded rows, 20 MB", table("KEYED", 20000 * ROW), None, {"T_DATA": 20000}, 400, 20),
    # 16 million empty elements in 65 KB: more than the payload can carry.
    ("basXML element bomb", {"function": "Z_SIM_SPLIT", "imports": {}}, "ExternalRuntimeError",
     "invalid basXML reply: reply document: resource limit exceeded at", 250, 15),
    ("basXML elements just under the limit", {"function": "Z_SIM_SLEEP", "imports": {}}, None, {}, 150, 10),
    ("basXML elements just over the limit", {"function": "Z_SIM_FAULT", "imports": {"MODE": ""}},
     "ExternalRuntimeError", "more elements and attributes than the payload can carry", 150, 10),
    # 100000 parameters described, 45000 values returned: linear work.
    ("100000 parameters, 45000 values", {"function": "Z_H_WIDE", "imports": {}}, None, {"keys": 45000}, 600, 30),
    # A request the peer would refuse is never sent.
    ("request of more than 100000 records",
     {"function": "Z_SIM_TABLE", "imports": {"ROW_COUNT": 1}, "rows": {"T_IN": (100000, {"ID": 1})}},
     "ExternalRuntimeError", re.compile(r"^request holds 1000\d\d records, at most 100000$"), 200, 20),
]


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_hostile_peer(hsim, baseline, case):
    name, call, error, expected, rss_mb, cpu = case
    sent_before = len(hsim.messages(step="call", function=call["function"]))
    out = run_case({"params": logon(hsim), **call})
    if error:
        assert out.get("error") == error, out
        if isinstance(expected, str):
            assert expected in out["message"]
        else:
            assert expected.match(out["message"]), out["message"]
    else:
        assert "error" not in out, out
        for key, value in expected.items():
            assert (out["keys"] if key == "keys" else out["result"][key]) == value
    assert out["after"] == "after"
    assert out["rss_mb"] <= baseline["rss_mb"] + rss_mb, (out["rss_mb"], baseline["rss_mb"])
    assert out["cpu"] <= baseline["cpu"] + cpu, (out["cpu"], baseline["cpu"])
    if name.startswith("request of more"):
        assert len(hsim.messages(step="call", function=call["function"])) == sent_before


def test_an_allocation_failure_is_a_memory_error(hsim, baseline):
    # 60 MB of keyed rows expand within the ratio, but the process may not
    # grow by that much: the call fails with MemoryError, and the
    # connection goes on.
    out = run_case({"params": logon(hsim), "address_space_mb": 40, **table("KEYED", 60000 * ROW)})
    assert out.get("error") == "MemoryError", out
    assert out["after"] == "after"


def test_a_server_cannot_replace_what_another_destination_described(hsim, poison_sim):
    # The poisoning server claims the same system ID and describes E_VALUE
    # as an integer; the genuine server's Char comes back as text all the same.
    out = run_case({"params": logon(hsim), "before": [logon(poison_sim)], "function": "Z_H_KIND",
                    "imports": {}})
    assert "error" not in out, out
    assert out["result"]["E_VALUE"] == "abc"


def test_a_gateway_error_block_at_logon_names_its_text(err_sim):
    with pytest.raises(lomra.ExternalRuntimeError) as info:
        lomra.Connection(logon(err_sim), {})
    assert "partner not reached" in str(info.value)
    assert "offset 0" not in str(info.value)


@pytest.mark.parametrize("route", ["/H/127.0.0.1/S/1/P/pa/ss", "/H/127.0.0.1/S/1/W/a/b/c/H"])
def test_route_passwords_are_masked_whole(hsim, route):
    with pytest.raises(lomra.RFCError) as info:
        lomra.Connection(dict(logon(hsim), saprouter=route), {})
    message = str(info.value)
    for secret in ("pa", "ss", "/b", "/c"):
        assert secret not in message.replace("parameter", "")
    assert "***" in message
