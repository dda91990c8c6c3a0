#!/usr/bin/python3
"""Peak resident memory and wall time of one call against a hostile
server, and how soon a time-out, cancel() and Ctrl-C end the decoding of a
long reply, for one or more builds of the module measured in the same run
against the same extended simulator.

Each call runs in a fresh interpreter (tests/py/support/hostile_runner.py);
the figures are the client's own, beside a plain STFC_CONNECTION call
measured the same way:

  - a compressed table declaring 0xFFFFFFFF bytes with 4 GiB of blank rows
    in about 4.2 MB;
  - three tables the function does not have, 700 MiB each of rows that
    deflate about 420-fold (1.65 MB each), declaring 700 MiB;
  - a basXML reply of 15.5 million empty elements beside 600 KB of random
    binary content (about 660 KB received);
  - a basXML reply of 16 million empty elements in about 65 KB;
  - a description of 100000 parameters with 45000 values in the reply.

Latency: a legitimate reply whose decoding takes a while (three tables of
300 MiB of keyed rows the function does not have, about 4 MB received,
expanded by the client; and one of 150 MiB under the function's own table,
whose rows become dicts), interrupted at a random moment after it has
arrived: by its `timeout`, by cancel() from another thread, by SIGINT. The
latency is the time from the interruption to the exception; the goal is
20 ms at the 99th percentile.

    /usr/bin/python3 bench/bench_hostile.py [BUILD ...] [--samples N]

Each BUILD is a CMake build directory configured with -DQUIB_PYTHON=ON
(default: the newest below build/); to compare with another revision,
build that one in a directory of its own and name both.
"""

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))
import find_lomra  # noqa: E402
import hostile_runner  # noqa: E402
import simctl  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30


def table(mode, size, **more):
    imports = {"MODE": mode, "SIZE": str(size)}
    imports.update({k.upper(): str(v) for k, v in more.items()})
    return {"function": "Z_H_TABLE", "imports": imports}


CASES = [
    ("plain STFC_CONNECTION", {"function": "STFC_CONNECTION", "imports": {"REQUTEXT": "x"}}),
    ("table declaring 0xFFFFFFFF, 4 GiB of blanks", table("BLANK", 4 * GiB, count=1)),
    ("three extra tables of 700 MiB, 1.65 MB each", table("SPARSE", 700 * MiB, count=0, extra=3,
                                                          declared=700 * MiB)),
    ("basXML 15.5M elements beside 600 KB filler", {"function": "Z_SIM_DEEP", "imports": {}}),
    ("basXML 16M empty elements in 65 KB", {"function": "Z_SIM_SPLIT", "imports": {}}),
    ("100000 parameters, 45000 values", {"function": "Z_H_WIDE", "imports": {}}),
]

# The long legitimate replies: expanded by the client only, and turned into
# rows of dicts as well.
LONG = {
    "expansion": table("KEYED", 300 * MiB, count=0, extra=3),
    "rows": table("KEYED", 150 * MiB),
}
KINDS = ("timeout", "cancel", "sigint")


def sim_config():
    return {"functions": {
        "Z_SIM_SPLIT": {"basxml": "X", "basxml_reply": "elements:16000000"},
        "Z_SIM_DEEP": {"basxml": "X", "basxml_reply": "filler:15500000:600000"},
        "Z_H_WIDE": {"params_coding": "Z"},
    }}


def package_of(build):
    """A directory holding `lomra` made of the source tree's package and the
    build's module (as the tests assemble it)."""
    module = pathlib.Path(build).resolve() / find_lomra.MODULE
    if not module.exists():
        sys.exit(f"{build} holds no {find_lomra.MODULE}")
    scratch = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / f"lomra-bench-{os.getpid()}-{abs(hash(build))}"
    package = scratch / "lomra"
    package.mkdir(parents=True, exist_ok=True)
    for name, target in (("__init__.py", ROOT / "lomra" / "__init__.py"), (module.name, module)):
        link = package / name
        if not link.exists():
            link.symlink_to(target)
    return str(scratch)


def run(package, spec):
    env = dict(os.environ, PYTHONPATH=package, **{hostile_runner.SPEC_VARIABLE: json.dumps(spec)})
    proc = subprocess.run([sys.executable, "-c", hostile_runner.RUNNER], capture_output=True, text=True,
                          env=env, timeout=1800, cwd=str(ROOT / "tests"))
    if proc.returncode != 0:
        return {"crashed": (proc.stderr.strip().splitlines() or ["?"])[-1]}
    return hostile_runner.outcome(proc.stdout)


def ended(out):
    if "crashed" in out:
        return "crashed: " + out["crashed"]
    if "error" in out:
        return f"{out['error']}: {out['message'][:60]}"
    return "returned"


def memory_table(builds, params):
    print(f"{'case':46} {'build':>8} {'peak RSS MB':>12} {'wall s':>8}  outcome")
    for name, call in CASES:
        for label, package in builds:
            out = run(package, {"params": params, **call})
            rss = f"{out['rss_mb']:12.1f}" if "rss_mb" in out else f"{'-':>12}"
            wall = f"{out['elapsed']:8.2f}" if "elapsed" in out else f"{'-':>8}"
            print(f"{name:46} {label:>8} {rss} {wall}  {ended(out)}", flush=True)


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(q * (len(ordered) - 1)))]


def latency_samples(package, params, workload, kind, samples):
    """Latencies (ms) of `kind` interruptions at random moments of the
    decoding of `workload`, once its reply is in (until the call ended,
    whether it raised or returned), how many calls returned although
    interrupted, how many samples missed that phase (the decoding had
    ended, or a time-out came before the reply), and the uninterrupted
    run."""
    call = LONG[workload]
    warmup = [["Z_H_TABLE", dict(call["imports"], COUNT="0", EXTRA="0")]]
    base = {"params": params, "warmup": warmup, "watch_reply": True, **call}
    # The shortest of three uninterrupted decodings: the interruptions fall
    # within it.
    calms = [run(package, base) for _ in range(3)]
    calm = min(calms, key=lambda c: c.get("elapsed", 1e9) - c.get("reply_at", 0))
    if "error" in calm or "reply_at" not in calm:
        return [], 0, samples, calm
    decoding = calm["elapsed"] - calm["reply_at"]
    rng = random.Random(f"{workload} {kind}")
    latencies, returned, missed = [], 0, 0
    for _ in range(samples):
        delay = rng.uniform(0.02, 0.8) * decoding
        if kind == "timeout":
            spec = dict(base, options={"timeout": calm["reply_at"] + delay})
        else:
            spec = dict(base, interrupt={"kind": kind, "after": delay})
        out = run(package, spec)
        in_phase = "latency" in out and out.get("reply_at", 1e9) < out["elapsed"] - out["latency"]
        if in_phase:
            latencies.append(out["latency"] * 1000)
            returned += "error" not in out
        else:
            missed += 1
    return latencies, returned, missed, calm


def latency_table(builds, params, samples):
    print()
    print(f"{'decoding interrupted by':28} {'build':>8} {'decoding s':>10} {'n':>4} {'p50 ms':>8} "
          f"{'p99 ms':>8} {'max ms':>8}  goal p99 <= 20 ms")
    for workload in LONG:
        for kind in KINDS:
            for label, package in builds:
                latencies, returned, missed, calm = latency_samples(package, params, workload, kind,
                                                                   samples)
                name = f"{kind} ({workload})"
                decoding = (calm["elapsed"] - calm["reply_at"]) if "reply_at" in calm else float("nan")
                if not latencies:
                    print(f"{name:28} {label:>8} {decoding:10.2f} {0:4d}  no sample in the decoding: "
                          f"{ended(calm)}", flush=True)
                    continue
                p50, p99 = statistics.median(latencies), percentile(latencies, 0.99)
                notes = [f"{returned} returned regardless"] if returned else []
                notes += [f"{missed} missed"] if missed else []
                print(f"{name:28} {label:>8} {decoding:10.2f} {len(latencies):4d} {p50:8.1f} {p99:8.1f} "
                      f"{max(latencies):8.1f}  {'ok' if p99 <= 20 else 'over'}"
                      + (f" ({', '.join(notes)})" if notes else ""), flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", help="CMake build directories (default: the newest)")
    parser.add_argument("--samples", type=int, default=30, help="interruptions per kind and build")
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args(argv[1:])
    builds = args.builds or [str(find_lomra.built_module(any_build=True).parents[2])]
    labelled = [(f"#{i + 1}" if len(builds) > 1 else "this", package_of(b)) for i, b in enumerate(builds)]
    for (label, _), build in zip(labelled, builds):
        print(f"build {label}: {build}")
    simctl.SIM_SCRIPT = str(ROOT / "tests" / "py" / "support" / "extsim.py")
    with simctl.Sim("--sysid", "QSI", config=sim_config()) as sim:
        params = {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER", "passwd": "secret",
                  "client": "001"}
        if not args.skip_memory:
            memory_table(labelled, params)
        latency_table(labelled, params, args.samples)


if __name__ == "__main__":
    main(sys.argv)
