"""The SAProuter of the simulated system.

A client opens a route with one NI frame, the NI_ROUTE request:

  0   "NI_ROUTE"          8  00   9  02   10  28   11  number of hops (low byte)
  12  hops - 1 (u32)      16  length of the hop list (u32)
  20  length of the first hop's entry (u32)
  24  per hop: host NUL service NUL password NUL

The router answers "NI_PONG" and NUL and from then on relays bytes to the
gateway, or answers an error text that starts with "NI_RTERR" and closes.
Every hop before the last is taken to be this router (its service must be
the router's port when target checks are on); the last hop must name the
gateway's port.  When a route password is configured, every router hop
must carry it.
"""

import select
import socket
import struct
import time

from .faults import Plan
from .link import Link, serve_link
from .server_base import TcpServer

PONG = b"NI_PONG\x00"


class RouteProblem(Exception):
    pass


def build_route_request(hops):
    """hops: (host, service, password) texts."""
    entries = [f"{h}\x00{s}\x00{p}\x00".encode("ascii") for h, s, p in hops]
    body = b"".join(entries)
    head = b"NI_ROUTE\x00\x02\x28" + bytes([len(hops) & 0xFF])
    head += struct.pack(">III", len(hops) - 1, len(body), len(entries[0]) if entries else 0)
    return head + body


def parse_route_request(data):
    """The hops of an NI_ROUTE request; raises RouteProblem."""
    if len(data) < 24 or data[:8] != b"NI_ROUTE":
        raise RouteProblem("not an NI_ROUTE request")
    if data[8:11] != b"\x00\x02\x28":
        raise RouteProblem(f"NI_ROUTE version bytes {data[8:11].hex()}, expected 000228")
    count = data[11]
    minus_one, list_len, first_len = struct.unpack_from(">III", data, 12)
    body = data[24:]
    if list_len != len(body):
        raise RouteProblem(f"hop list of {len(body)} bytes declared as {list_len}")
    fields = body.split(b"\x00")
    if fields[-1] != b"" or (len(fields) - 1) % 3:
        raise RouteProblem("the hop list is not host, service and password NUL-terminated per hop")
    hops = [tuple(f.decode("utf-8", "replace") for f in fields[i : i + 3]) for i in range(0, len(fields) - 1, 3)]
    if len(hops) & 0xFF != count or minus_one != len(hops) - 1:
        raise RouteProblem(f"{len(hops)} hops declared as {count} and {minus_one} + 1")
    first = sum(len(x.encode("utf-8")) for x in hops[0]) + 3 if hops else 0
    if first_len != first:
        raise RouteProblem(f"first hop entry of {first} bytes declared as {first_len}")
    if len(hops) < 2:
        raise RouteProblem("a route needs the router and a target")
    return hops


class RouterServer(TcpServer):
    name = "saprouter"
    # A relay: its sockets keep Nagle's algorithm on.
    nodelay = False

    def __init__(self, cfg, log, gateway_port, stopping):
        super().__init__(stopping)
        self.cfg = cfg
        self.log = log
        self.gateway_port = gateway_port

    def check_route(self, hops):
        password = self.cfg.get("routepass")
        for host, service, pw in hops[:-1]:
            if password is not None and pw != password:
                raise RouteProblem(f"route permission denied (wrong password for {host})")
            if self.cfg.get("route_check_target") and service != str(self.port):
                raise RouteProblem(f"{host}:{service} is not this router (port {self.port})")
        host, service, _ = hops[-1]
        if self.cfg.get("route_check_target") and service != str(self.gateway_port):
            raise RouteProblem(f"connection to {host}:{service} refused")

    def serve(self, sock, conn_no):
        link = Link(sock, self.log, "saprouter", conn_no, self.stopping, self.cfg["frame_limit"])
        serve_link(link, self._conversation, conn_no)

    def _conversation(self, link, conn_no):
        frame = link.next_frame("route", cpic=False)
        try:
            hops = parse_route_request(frame)
            link.event("route", "route", hops=["/".join(h[:2]) for h in hops])
            self.check_route(hops)
        except RouteProblem as exc:
            link.event("route", "route-refused", text=str(exc))
            link.send_frame(f"NI_RTERR {exc}".encode("utf-8"), "route", cpic=False)
            link.close("route")
            return
        plan = Plan([f for f in self.cfg["faults"] if f.matches("route", conn_no)])
        if plan.delay:
            time.sleep(plan.delay)
        if plan.action == "trickle":
            link.event("route", "fault", action=plan.action, arg=plan.arg)
            link.send_trickle([PONG], plan.arg, "route")
            self._relay(link)
            return
        if plan.action is not None:
            link.event("route", "fault", action=plan.action, arg=plan.arg)
            self._fault(link, plan)
            return
        link.send_frame(PONG, "route", cpic=False)
        self._relay(link)

    def _fault(self, link, plan):
        a, arg = plan.action, plan.arg
        if a == "close":
            link.close("route")
            return
        if a == "midclose":
            link.send_cut([PONG], arg, "route")
            link.close("route")
            return
        if a == "garbage":
            link.send_junk(arg, "route")
        elif a == "noise":
            link.send_noise("route")
        elif a == "hugelen":
            link.send_hugelen(arg, "route")
        elif a == "empty":
            link.send_frame(b"", "route", cpic=False)
        elif a == "err":
            link.send_frame(f"NI_RTERR {arg or 'route refused by fault'}".encode("utf-8"), "route", cpic=False)
            link.close("route")
            return
        while True:
            link.next_frame("route", cpic=False)

    def _relay(self, link):
        upstream = socket.create_connection(("127.0.0.1", self.gateway_port), timeout=10)
        upstream.settimeout(None)
        link.event("relay", "relay-open", gateway=self.gateway_port)
        pending = link.reader.take_pending()
        counts = {"up": 0, "down": 0}
        try:
            if pending:
                upstream.sendall(pending)
                counts["up"] += len(pending)
            client = link.sock
            peer = {client: upstream, upstream: client}
            name = {client: "up", upstream: "down"}
            open_ends = [client, upstream]
            while open_ends:
                readable, _, _ = select.select(open_ends, [], [], 0.2)
                if not readable and self.stopping.is_set():
                    break
                for s in readable:
                    data = s.recv(65536)
                    if not data:
                        # Pass the end of stream on, keep relaying the other way.
                        open_ends.remove(s)
                        try:
                            peer[s].shutdown(socket.SHUT_WR)
                        except OSError:
                            pass
                        continue
                    peer[s].sendall(data)
                    counts[name[s]] += len(data)
        except OSError:
            pass
        finally:
            link.event("relay", "relay-closed", up=counts["up"], down=counts["down"])
            upstream.close()
            link.abort()
