#!/usr/bin/python3
"""The simulated ABAP system: a gateway over NI and, on request, a SAProuter.

Listens on 127.0.0.1 on ports it picks, prints one line of JSON with them to
standard output ({"gateway": 40123, "saprouter": 40124}; "saprouter" is null
without --saprouter) and serves until SIGTERM or until standard input closes.
See README.md beside this file for the options, faults and functions.
"""

import argparse
import json
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import config  # noqa: E402
from sim.dictionary import standard_dictionary  # noqa: E402
from sim.faults import FaultError  # noqa: E402
from sim.functions import standard_registry  # noqa: E402
from sim.gateway import GatewayServer  # noqa: E402
from sim.log import SimLog  # noqa: E402
from sim.router import RouterServer  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description="Simulated ABAP system (gateway over NI, SAProuter)")
    p.add_argument("--config", help="JSON scenario file")
    p.add_argument("--log", help="JSON-lines log of every frame, message and event")
    p.add_argument("--saprouter", action="store_true", help="also run a SAProuter")
    p.add_argument("--routepass", help="password every router hop must carry")
    p.add_argument("--fault", action="append", metavar="ACTION=STEP[/FUNCTION][:ARG][@CONN]",
                   help="a fault knob; may be repeated")
    p.add_argument("--user", help="user of the default account")
    p.add_argument("--password", help="password of the default account")
    p.add_argument("--client", help="client of the default account")
    p.add_argument("--sysid", help="system id reported by the logon")
    p.add_argument("--lenient", action="store_true", help="log deviations from the client's templates only")
    p.add_argument("--no-stdin-watch", action="store_true", help="do not stop when standard input closes")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    try:
        cfg = config.load(args.config, args)
    except (FaultError, OSError, ValueError, KeyError) as exc:
        print(f"abapsim: {exc}", file=sys.stderr)
        return 2
    log = SimLog(args.log, cfg["log_hex_limit"])
    stopping = threading.Event()
    registry = standard_registry(standard_dictionary(), cfg)
    gateway = GatewayServer(cfg, log, registry, stopping)
    router = RouterServer(cfg, log, gateway.port, stopping) if args.saprouter else None
    gateway.start()
    if router:
        router.start()
    ports = {"gateway": gateway.port, "saprouter": router.port if router else None}
    log.write(dir="event", step="start", event="started", gateway=gateway.port,
              saprouter=router.port if router else 0, faults=[repr(f) for f in cfg["faults"]])
    sys.stdout.write(json.dumps(ports) + "\n")
    sys.stdout.flush()

    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    signal.signal(signal.SIGINT, lambda *_: stopping.set())
    if not args.no_stdin_watch:
        def watch_stdin():
            try:
                while sys.stdin.buffer.read1(4096) if hasattr(sys.stdin.buffer, "read1") else sys.stdin.buffer.read(1):
                    pass
            except (OSError, ValueError):
                pass
            stopping.set()
        threading.Thread(target=watch_stdin, name="stdin", daemon=True).start()

    while not stopping.wait(0.1):
        pass
    gateway.stop()
    if router:
        router.stop()
    log.write(dir="event", step="stop", event="stopped", connections=gateway.count,
              router_connections=router.count if router else 0)
    log.close()
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
