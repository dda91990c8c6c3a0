"""A hostile server against the binding: each case runs in a fresh
interpreter that makes one call, then checks that the connection still
answers, and reports how it ended together with its own peak resident
memory and CPU time (resource.getrusage). Every case must end as stated
and stay within its memory and CPU bound above a baseline run measured the
same way. The bounds are generous for a loaded machine, yet far below what
unbounded decoders use (gigabytes and a minute of CPU for the bomb and
wide cases).

A reply may make at most RATIO bytes per byte received and ALLOWANCE
beside, whatever it declares; the pairs marked "edge" put the reply's
budget just at and just below what its decoding makes."""

import json
import re

import hostile_runner
import pytest

from conftest import ExtSim, lomra, logon, run_python

RATIO = 256
ALLOWANCE = 32 << 20
EDGE = f"{RATIO}/{ALLOWANCE}"

BASXML_REPLIES = {
    # 16 million empty elements in 65 KB: a document the reply cannot pay for.
    "Z_SIM_SPLIT": "elements:16000000",
    # 12 million (48 MB of document) with the reply's budget just at and
    # just below it.
    "Z_SIM_SLEEP": f"edge:12000000:{EDGE}/under",
    "Z_SIM_FAULT": f"edge:12000000:{EDGE}/over",
    # 15.5 million empty elements beside 600 KB of random binary content
    # that pays for their document.
    "Z_SIM_DEEP": "filler:15500000:600000",
}


@pytest.fixture(scope="module")
def hsim():
    functions = {name: {"basxml": "X", "basxml_reply": knob} for name, knob in BASXML_REPLIES.items()}
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


def table(mode, size, **more):
    imports = {"MODE": mode, "SIZE": str(size)}
    imports.update({k.upper(): str(v) for k, v in more.items()})
    return {"function": "Z_H_TABLE", "imports": imports}


MiB = 1 << 20
ROW = 1024
COMPRESSED = "arrived compressed"

# (id, call, expected error class or None, text in the message or a check of the
# result, MB above the baseline's peak memory, CPU seconds above the baseline's)
CASES = [
    # Blank rows deflate about 1000-fold: 64 MiB of them in 65 KB are more
    # than the reply may make. Declaring 4 GiB changes nothing.
    ("table bomb 64 MiB", table("BLANK", 64 * MiB), "ExternalRuntimeError",
     f"table T_DATA {COMPRESSED}", 120, 10),
    # Two tables of 24 MiB share one budget: at the edge both expand, one
    # byte of budget less and the second stays compressed.
    ("two tables at the edge of the reply's budget", table("BLANK", 24 * MiB, count=2, edge=EDGE + "/under"),
     None, {"T_DATA": 24 * MiB // ROW, "T_DATA2": 24 * MiB // ROW}, 200, 10),
    ("two tables just past the reply's budget", table("BLANK", 24 * MiB, count=2, edge=EDGE + "/over"),
     "ExternalRuntimeError", f"table T_DATA2 {COMPRESSED}", 200, 10),
    # Three tables the function does not have, about 450-fold each, declaring
    # 700 MiB: each would pass a bound per table, together they pass the
    # reply's, which is all they may take.
    ("three extra tables", table("SPARSE", 150 * MiB, extra=3, declared=700 * MiB, count=0), None, {},
     420, 15),
    # Rows that carry a key and blanks stay far below the ratio.
    ("keyed padded rows, 20 MB", table("KEYED", 20000 * ROW), None, {"T_DATA": 20000}, 400, 20),
    ("basXML element bomb", {"function": "Z_SIM_SPLIT", "imports": {}}, "ExternalRuntimeError",
     "invalid basXML reply: inflating the reply: the reply would make more than", 120, 10),
    ("basXML document at the edge of the reply's budget", {"function": "Z_SIM_SLEEP", "imports": {}}, None,
     {}, 150, 10),
    ("basXML document just past the reply's budget", {"function": "Z_SIM_FAULT", "imports": {"MODE": ""}},
     "ExternalRuntimeError", "invalid basXML reply: inflating the reply: the reply would make more than",
     150, 10),
    # Elements that match no parameter cost nothing, whatever the filler
    # lets the document hold.
    ("basXML elements beside random filler", {"function": "Z_SIM_DEEP", "imports": {}}, None, {}, 150, 10),
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


# A legitimate reply whose decoding takes a while: 150 MiB of keyed rows in
# about 700 KB. The interruption comes once the reply is in, while it is
# expanded or its rows are made; the warm-up call has the simulator make
# the content and the client describe the function.
LONG = table("KEYED", 150 * MiB)
WARMUP = [["Z_H_TABLE", dict(LONG["imports"], COUNT="0")]]


@pytest.mark.parametrize("how, error, message, after", [
    ({"options": {"timeout": 0.1}}, "CommunicationError", "Z_H_TABLE did not answer within the timeout",
     "after"),
    ({"interrupt": {"kind": "cancel", "after": 0.1}}, "CommunicationError", "Z_H_TABLE was cancelled", "after"),
    ({"interrupt": {"kind": "sigint", "after": 0.1}}, "KeyboardInterrupt", "", "after"),
    ({"interrupt": {"kind": "close", "after": 0.1}}, "CommunicationError",
     "Z_H_TABLE was interrupted: the connection was closed", "ExternalRuntimeError: connection is closed"),
], ids=["timeout", "cancel", "sigint", "close"])
def test_a_long_decoding_ends_as_a_wait_would(hsim, how, error, message, after):
    out = run_case({"params": logon(hsim), "warmup": WARMUP, **LONG, **how})
    assert out.get("error") == error, out
    assert message in out["message"]
    # A hang guard only: the figures are bench/bench_hostile.py's.
    assert out["latency"] < 2, out
    assert out["after"] == after


@pytest.mark.parametrize("room_mb, error", [(40, None), (8, "MemoryError")])
def test_an_allocation_failure_is_a_memory_error(hsim, baseline, room_mb, error):
    # 60 MB of keyed rows expand within the ratio. Their rows are converted
    # as they are expanded, so 40 MB more than the process holds is room
    # enough for the call; in 8 MB its result does not fit: the call fails
    # with MemoryError, and the connection goes on.
    out = run_case({"params": logon(hsim), "address_space_mb": room_mb, **table("KEYED", 60000 * ROW)})
    assert out.get("error") == error, out
    if error is None:
        assert out["result"]["T_DATA"] == 60000
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
