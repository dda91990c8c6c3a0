"""One call against a hostile server in a fresh interpreter, as the
hostile-peer tests and bench/bench_hostile.py make it: the spec (JSON in
the environment variable QUIB_HOSTILE_SPEC) names the logon parameters,
the function and its imports (long tables as (count, row) under "rows"),
calls to make first on the same connection ("warmup": [function, imports]
pairs, so that descriptions are cached), connections to make the same call
on first ("before"), the call's options ("options"), something that
interrupts the call ("interrupt": {"kind": "cancel", "close" or "sigint",
"after": seconds from the call's start}), and optionally how many MB the address
space may still grow. With "watch_reply" the runner notes when the reply
has arrived (the connection's throughput counters show its bytes), and
an interruption's "after" then counts from that moment. The runner prints
one JSON line: the result (table row counts, texts, integers) or the
error's class and text, what STFC_CONNECTION answers afterwards on the
same connection, the call's duration, when its reply arrived
("reply_at"), for an interruption or a time-out the seconds from it to
the exception ("latency"), and the interpreter's peak resident memory
(MB) and CPU seconds."""

import json
import textwrap

SPEC_VARIABLE = "QUIB_HOSTILE_SPEC"

RUNNER = textwrap.dedent("""
    import json, os, resource, signal, sys, threading, time
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
    interrupted_at = []
    reply_at = []
    done = threading.Event()
    arrived = threading.Event()

    def watch(throughput, before):
        while not done.is_set():
            if throughput.stats["receivedBytes"] > before:
                reply_at.append(time.monotonic())
                arrived.set()
                return
            time.sleep(0.0002)

    def interrupt(how, at):
        if spec.get("watch_reply"):
            arrived.wait()
            at += reply_at[0] if reply_at else 0
        # Nothing once the call is over: the interruption is for the call.
        if done.wait(max(0.0, at - time.monotonic())):
            return
        interrupted_at.append(time.monotonic())
        if how == "cancel":
            c.cancel()
        elif how == "close":
            c.close()
        else:
            os.kill(os.getpid(), signal.SIGINT)

    try:
        c = lomra.Connection(spec["params"], {})
        for function, imports in spec.get("warmup", []):
            c.call(function, imports, {})
        for earlier in spec.get("before", []):
            lomra.Connection(earlier, {}).call(spec["function"], spec["imports"], {})
        options = spec.get("options", {})
        if spec.get("watch_reply"):
            throughput = lomra.Throughput()
            c.set_throughput(throughput)
            threading.Thread(target=watch, args=(throughput, throughput.stats["receivedBytes"]),
                             daemon=True).start()
        start = time.monotonic()
        how = spec.get("interrupt")
        if how:
            at = how["after"] + (0 if spec.get("watch_reply") else start)
            threading.Thread(target=interrupt, args=(how["kind"], at), daemon=True).start()
        try:
            result = c.call(spec["function"], spec["imports"], options)
        finally:
            ended = time.monotonic()
            done.set()
            arrived.set()
            out["elapsed"] = ended - start
            if reply_at:
                out["reply_at"] = reply_at[0] - start
            if interrupted_at:
                out["latency"] = ended - interrupted_at[0]
            elif options.get("timeout"):
                out["latency"] = ended - (start + options["timeout"])
        out["result"] = {k: (len(v) if isinstance(v, list) else v) for k, v in result.items()
                         if isinstance(v, (list, str, int))}
        out["keys"] = len(result)
    except BaseException as exc:
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
