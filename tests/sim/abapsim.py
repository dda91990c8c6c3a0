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
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sim import config  # noqa: E402
from sim.dictionary import standard_dictionary  # noqa: E402
from sim.faults import FaultError  # noqa: E402
from sim.functions import standard_registry  # noqa: E402
from sim.gateway import GatewayServer  # noqa: E402
from sim.log import SimLog  # noqa: E402
from sim.msgserver import MsgServer, move_gateway_into_range  # noqa: E402
from sim.router import RouterServer  # noqa: E402
from sim.regserver import RegGatewayServer  # noqa: E402
from sim.wsrfc import WsRfcServer  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description="Simulated ABAP system (gateway over NI, SAProuter)")
    p.add_argument("--config", help="JSON scenario file")
    p.add_argument("--log", help="JSON-lines log of every frame, message and event")
    p.add_argument("--saprouter", action="store_true", help="also run a SAProuter")
    p.add_argument("--routepass", help="password every router hop must carry")
    p.add_argument("--msgserver", action="store_true",
                   help="also run a message server; the gateway then listens on a port 3300..3399")
    p.add_argument("--ms-fault", action="append", metavar="ACTION=STEP[:ARG][@CONN]",
                   help="a message-server fault knob (steps first, second, group); may be repeated")
    p.add_argument("--fault", action="append", metavar="ACTION=STEP[/FUNCTION][:ARG][@CONN]",
                   help="a fault knob; may be repeated")
    p.add_argument("--user", help="user of the default account")
    p.add_argument("--password", help="password of the default account")
    p.add_argument("--client", help="client of the default account")
    p.add_argument("--sysid", help="system id reported by the logon")
    p.add_argument("--lenient", action="store_true", help="log deviations from the client's templates only")
    p.add_argument("--no-stdin-watch", action="store_true", help="do not stop when standard input closes")
    p.add_argument("--snc", nargs=2, metavar=("KEYTAB", "SERVICE"),
                   help="accept SNC: Kerberos acceptor SERVICE (service@host) with the keys of KEYTAB")
    p.add_argument("--reggateway", action="store_true",
                   help="also run a gateway for registered servers (and its control port)")
    p.add_argument("--regallow", action="append", metavar="PATTERN",
                   help="program IDs the registered-server gateway accepts (fnmatch); may be repeated")
    p.add_argument("--reganswer", action="append", metavar="[PATTERN=]MODE",
                   help="how an accepted registration is answered: ack, zeros, silence, announce, garbage, close")
    p.add_argument("--wsrfc", action="store_true",
                   help="also run a WebSocket RFC endpoint over TLS (throwaway certificates made at start)")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    try:
        cfg = config.load(args.config, args)
    except (FaultError, OSError, ValueError, KeyError) as exc:
        print(f"abapsim: {exc}", file=sys.stderr)
        return 2
    if args.snc:
        cfg["snc"] = {"keytab": args.snc[0], "service": args.snc[1]}
    log = SimLog(args.log, cfg["log_hex_limit"])
    stopping = threading.Event()
    registry = standard_registry(standard_dictionary(), cfg)
    gateway = GatewayServer(cfg, log, registry, stopping)
    msgserver = None
    if args.msgserver:
        try:
            move_gateway_into_range(gateway)
            msgserver = MsgServer(cfg, log, gateway.port, stopping, args.ms_fault or [])
        except (FaultError, OSError, ValueError) as exc:
            print(f"abapsim: {exc}", file=sys.stderr)
            return 2
    router = RouterServer(cfg, log, gateway.port, stopping) if args.saprouter else None
    try:
        reggateway = RegGatewayServer(cfg, log, stopping, args) if args.reggateway else None
    except ValueError as exc:
        print(f"abapsim: {exc}", file=sys.stderr)
        return 2
    try:
        wsrfc = WsRfcServer(cfg, log, registry, stopping) if args.wsrfc else None
    except (OSError, ValueError, subprocess.SubprocessError) as exc:
        print(f"abapsim: {exc}", file=sys.stderr)
        return 2
    servers = [s for s in (gateway, wsrfc, reggateway, router, msgserver) if s]
    for server in servers:
        server.start()
    ports = {"gateway": gateway.port, "saprouter": router.port if router else None}
    if msgserver:
        ports["msgserver"] = msgserver.port
    log.write(dir="event", step="start", event="started", gateway=gateway.port,
              saprouter=router.port if router else 0, faults=[repr(f) for f in cfg["faults"]])
    if reggateway:
        ports["reggateway"] = reggateway.port
        ports["regcontrol"] = reggateway.control_port
    if wsrfc:
        ports.update(wsrfc=wsrfc.port, wsrfc_cert=wsrfc.client_cert, wsrfc_key=wsrfc.client_key)
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
    for server in servers:
        server.stop()
    log.write(dir="event", step="stop", event="stopped", connections=gateway.count,
              router_connections=router.count if router else 0)
    log.close()
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
