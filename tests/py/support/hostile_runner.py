"""One call against a hostile server in a fresh interpreter, as the
hostile-peer tests and bench/bench_hostile.py make it: the spec (JSON in
the environment variable QUIB_HOSTILE_SPEC) names the logon parameters,
the function and its imports (long tables as (count, row) under "rows"),
connections to make the same call on first ("before"), and optionally how
many MB the address space may still grow. The runner prints one JSON line:
the result (table row counts, texts, integers) or the error's class and
text, what STFC_CONNECTION answers afterwards on the same connection, and
the interpreter's peak resident memory (MB) and CPU seconds."""

import json
import textwrap

SPEC_VARIABLE = "QUIB_HOSTILE_SPEC"

RUNNER = textwrap.dedent("""
    import json, os, resource, sys
    import lomra

    spec = json.loads(os.environ['QUIB_HOSTILE_SPEC'])
    if spec.get("address_space_mb"):
        # Room for this much more than the interpreter holds now.
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
        limit = (vm + spec["address_space_mb"] * 1024) * 1024
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    # Long tables are made here: they would not fit a command line.
    for name, (count, row) in spec.get("rows", {}).items():
        spec["imports"][name] = [row] * count
    out = {}
    c = None
    try:
        c = lomra.Connection(spec["params"], {})
        for earlier in spec.get("before", []):
            lomra.Connection(earlier, {}).call(spec["function"], spec["imports"], {})
        result = c.call(spec["function"], spec["imports"], {})
        out["result"] = {k: (len(v) if isinstance(v, list) else v) for k, v in result.items()
                         if isinstance(v, (list, str, int))}
        out["keys"] = len(result)
    except Exception as exc:
        out["error"] = type(exc).__name__
        out["message"] = str(exc)
    if spec.get("address_space_mb"):
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    if c is not None:
        try:
            out["after"] = c.call("STFC_CONNECTION", {"REQUTEXT": "after"}, {})["ECHOTEXT"]
        except Exception as exc:
            out["after"] = type(exc).__name__ + ": " + str(exc)
    usage = resource.getrusage(resource.RUSAGE_SELF)
    out["rss_mb"] = usage.ru_maxrss / 1024
    out["cpu"] = usage.ru_utime + usage.ru_stime
    print(json.dumps(out))
""")


def outcome(stdout):
    """The JSON line a runner printed."""
    return json.loads(stdout.strip().splitlines()[-1])
