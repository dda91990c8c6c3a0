#!/usr/bin/python3
"""Peak resident memory and CPU time of one call against a hostile server,
for the amplification and quadratic cases, beside a plain STFC_CONNECTION
call measured the same way in the same run: a compressed table of about
1 MB that declares 0xFFFFFFFF bytes (1 GiB of blank rows), a basXML reply
of 16 million empty elements (a payload of about 65 KB) and a description
of 100000 parameters with 45000 values in the reply. Each call runs in a
fresh interpreter (tests/py/support/hostile_runner.py) against the extended
simulator; the figures are the client's own.

    /usr/bin/python3 bench/bench_hostile.py [PYTHON]

PYTHON is the interpreter whose lomra is measured (default: this one, with
lomra installed or found as the tests find it), so that two builds can be
compared on the same server.
"""

import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))
import hostile_runner  # noqa: E402
import simctl  # noqa: E402

GiB = 1 << 30
CASES = [
    ("plain STFC_CONNECTION", "STFC_CONNECTION", {"REQUTEXT": "x"}),
    ("compressed table declaring 0xFFFFFFFF", "Z_H_TABLE", {"MODE": "BLANK", "SIZE": str(GiB)}),
    ("basXML reply of 16M empty elements", "Z_SIM_SPLIT", {}),
    ("100000 parameters, 45000 values", "Z_H_WIDE", {}),
]


def main(argv):
    python = os.path.abspath(argv[1]) if len(argv) > 1 else sys.executable
    simctl.SIM_SCRIPT = str(ROOT / "tests" / "py" / "support" / "extsim.py")
    config = {"functions": {"Z_SIM_SPLIT": {"basxml": "X", "basxml_reply": "elements:16000000"},
                            "Z_H_WIDE": {"params_coding": "Z"}}}
    with simctl.Sim("--sysid", "QSI", config=config) as sim:
        params = {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER", "passwd": "secret",
                  "client": "001"}
        rows = []
        for name, function, imports in CASES:
            spec = {"params": params, "function": function, "imports": imports}
            env = dict(os.environ, **{hostile_runner.SPEC_VARIABLE: json.dumps(spec)})
            # Not from the source tree, whose lomra/ has no extension module.
            proc = subprocess.run([python, "-c", hostile_runner.RUNNER], capture_output=True, text=True,
                                  env=env, timeout=1800, cwd=str(ROOT / "tests"))
            if proc.returncode != 0:
                rows.append((name, None, None, "crashed: " + proc.stderr.strip().splitlines()[-1]))
                continue
            out = hostile_runner.outcome(proc.stdout)
            ended = f"{out['error']}: {out['message'][:70]}" if "error" in out else "returned"
            rows.append((name, out["rss_mb"], out["cpu"], ended))
    base_rss, base_cpu = rows[0][1], rows[0][2]
    print(f"{'case':40} {'peak RSS MB':>12} {'x plain':>8} {'CPU s':>8} {'x plain':>8}  outcome")
    for name, rss, cpu, ended in rows:
        if rss is None:
            print(f"{name:40} {'-':>12} {'-':>8} {'-':>8} {'-':>8}  {ended}")
            continue
        print(f"{name:40} {rss:12.1f} {rss / base_rss:8.2f} {cpu:8.2f} {cpu / max(base_cpu, 1e-3):8.1f}  {ended}")
    print("goal: memory within a bounded factor of what the server sent, CPU linear in the reply")


if __name__ == "__main__":
    main(sys.argv)
