"""The message server of the simulated system: load-balanced logon.

A client asks for an application server of a logon group in one short
conversation of NI frames on a connection of its own:

  first   the 110-byte first packet; any frame back (the client discards it)
  second  the 354-byte second packet; any frame back (discarded as well)
  group   the 206-byte logon-group request, the group NUL-padded in bytes
          158..167; the reply names the application server

Every packet opens with "**MESSAGE**", a NUL and 04 00.  The reply to the
logon-group request opens the same way; the client finds the server in it by
scanning backwards for a dispatcher port (3200..3299, big-endian u16), a host
length (1..64, big-endian u16) and the host, so the reply below carries its
entries last:

  0..109   header: eyecatcher, 04 00, "MSG_SERVER" NUL-padded to 40 bytes,
           12 NULs, 02 01, "-", 39 blanks, two NULs
  110      "D", 00, 01
  113      the group, NUL-padded to 20 bytes
  133      number of entries (u16)
  135      per entry: server name NUL-padded to 20 bytes, IPv4 address (4
           bytes), port (u16), host length (u16), host
  ...      a status text ("OK" or "MSEUNKNOWN ...") NUL-padded to 32 bytes

An unknown group gets the same reply with no entry and the status
"MSEUNKNOWN"; the client then finds no application server.

The answers to the first two packets carry a decoy entry (host
"decoy-first.invalid" / "decoy-second.invalid"), so a client that read the
server from the wrong frame fails to resolve it.

Faults (--ms-fault ACTION=STEP[:ARG][@CONN] or "faults" in the scenario's
"msgserver" section) replace the answer at STEP (first, second, group):

  delay      wait ARG seconds, then answer
  close      close instead of answering
  midclose   send the first ARG bytes of the answer's frame (default half), then close
  garbage    an NI frame of ARG junk bytes (default 16): no eyecatcher
  noise      raw bytes that are no NI frame (an HTTP status line), then close
  hugelen    an NI length field of ARG (default 0xFFFFFFF0), nothing more, then close
  silence    no answer; the connection stays open
  trickle    the answer one byte every ARG seconds (default 0.2)
  empty      an empty NI frame
  short      the first ARG bytes of the answer (default 11: a cut eyecatcher)
  noentry    (group) the reply of an unknown group
"""

import struct
import time

from .faults import Fault, FaultError, Plan, int_arg, split_conn
from .link import Link, serve_link
from .server_base import LISTEN_HOST, TcpServer, listen

EYECATCHER = b"**MESSAGE**\x00"
HEAD = EYECATCHER + b"\x04\x00"
FIRST_SIZE = 110
SECOND_SIZE = 354
GROUP_SIZE = 206
GROUP_FIELD = slice(158, 168)

# Gateway ports whose dispatcher port (100 less) a reply may name.
GATEWAY_PORTS = range(3300, 3400)

STEPS = ("first", "second", "group")
ACTIONS = {"delay", "close", "midclose", "garbage", "noise", "hugelen", "silence", "trickle", "empty",
           "short", "noentry"}

# How long the server waits for the client to close after the reply.
LINGER = 30.0


# --- the client's packets ----------------------------------------------------


def _tail(code):
    """Bytes 66..109 of every packet: the code, "-", 39 blanks, two NULs."""
    return bytes(code) + b"-" + b" " * 39 + b"\x00\x00"


def first_packet():
    return HEAD + b"-" + b" " * 39 + bytes(12) + _tail(b"\x02\x08")


def second_packet():
    sel = b"-\x00NiSelSet\x00NiSelClear\x00NiSelClearSet\x00NiSe"
    codes = b"\x15\x00\x00\x00\x16\x14\x00\x28"
    odd = bytes.fromhex("C397C3A4C382C393C389C383") + b"@@@@" + b"    "
    body = (b"AD-EYECATCH\x00" + b"\x01\x01" + b" " * 8 + b"104" + b" " * 10 + b"2" + codes
            + b"PUBLIC".ljust(20, b" ") + bytes(76) + codes + odd + bytes(76))
    return HEAD + sel + bytes(12) + _tail(b"\x04\x05") + body


def group_request(group):
    """The logon-group request for `group` (bytes, at most 10)."""
    names = b"MSG_SERVER\x00MsRSndName\x00MsSnd2Name\x00MsRSnd2"
    body = b"D\x00\x01" + bytes(43) + b"\x00\x0a" + bytes(group).ljust(10, b"\x00") + bytes(30) + b"\x01" + bytes(7)
    return HEAD + names + bytes(12) + _tail(b"\x02\x01") + body


def _differences(got, expected, skip=()):
    """Offsets where `got` differs from `expected`, as a short text."""
    if len(got) != len(expected):
        return [f"{len(got)} bytes, expected {len(expected)}"]
    bad = [i for i in range(len(got)) if got[i] != expected[i] and not any(i in s for s in skip)]
    if not bad:
        return []
    shown = ", ".join(f"{i}: {got[i]:02x} (expected {expected[i]:02x})" for i in bad[:8])
    return [f"{len(bad)} bytes differ from the template: {shown}{' ...' if len(bad) > 8 else ''}"]


def check_first(data):
    return _differences(data, first_packet())


def check_second(data):
    return _differences(data, second_packet())


def parse_group_request(data):
    """(group bytes, problems) of a logon-group request."""
    problems = _differences(data, group_request(b""), skip=(range(158, 168),))
    if len(data) != GROUP_SIZE:
        return b"", problems
    field = bytes(data[GROUP_FIELD])
    group = field.rstrip(b"\x00")
    if b"\x00" in group:
        problems.append(f"group field {field.hex()} has a NUL before its last character")
    return group, problems


# --- the server's answers ----------------------------------------------------


def _reply_head(code):
    return HEAD + b"MSG_SERVER".ljust(40, b"\x00") + bytes(12) + _tail(code)


def entry(host, port, name=b"", address=b"\x7f\x00\x00\x01", length=None):
    """One application-server entry; `length` overrides the declared host length."""
    host = host if isinstance(host, bytes) else str(host).encode("utf-8")
    declared = len(host) if length is None else length
    return (bytes(name)[:20].ljust(20, b"\x00") + bytes(address)[:4].ljust(4, b"\x00")
            + struct.pack(">HH", port & 0xFFFF, declared & 0xFFFF) + host)


def group_reply(group, entries, status):
    """The reply to a logon-group request: header, group, entries, status."""
    body = b"D\x00\x01" + bytes(group)[:20].ljust(20, b"\x00") + struct.pack(">H", len(entries))
    body += b"".join(entries)
    body += status.encode("ascii", "replace")[:32].ljust(32, b"\x00")
    return _reply_head(b"\x02\x01") + body


def decoy_reply(code, name):
    """An answer to the first or second packet, holding an entry a client must not use."""
    return _reply_head(code) + b"D\x00\x01" + entry(f"decoy-{name}.invalid", 3298, b"DECOY") + bytes(8)


# --- configuration -----------------------------------------------------------


class MsFault(Fault):
    """A message-server fault: ACTION=STEP[:ARG][@CONN], no function."""

    actions = ACTIONS
    steps = STEPS
    kind = "message-server fault"

    def __init__(self, action, step, arg="", conn=None):
        super().__init__(action, step, None, arg, conn)

    def __repr__(self):
        return f"MsFault({self.action}={self.step}:{self.arg}@{self.conn})"


def parse_ms_fault(text):
    """ACTION=STEP[:ARG][@CONN]"""
    if isinstance(text, dict):
        return MsFault(text["action"], text["step"], text.get("arg", ""), text.get("conn"))
    action, rest, conn = split_conn(text, MsFault.kind, "ACTION=STEP[:ARG][@CONN]")
    step, _, arg = rest.partition(":")
    return MsFault(action, step, arg, conn)


def settings(cfg, extra_faults=()):
    """The "msgserver" section of a scenario with its defaults.

      groups   {name: [{"host", "port", "name", "length"}, ...]}; a port of
               null is the gateway's dispatcher port, a host of null
               "127.0.0.1".  Default: PUBLIC with the gateway alone.
      faults   fault texts or objects, see above
      strict   compare the client's packets byte for byte (default: the
               scenario's "strict"); a deviation closes the connection
    """
    section = dict(cfg.get("msgserver") or {})
    groups = section.get("groups")
    if groups is None:
        groups = {"PUBLIC": [{}]}
    out = {
        "groups": {str(k): list(v) for k, v in groups.items()},
        "faults": [parse_ms_fault(f) for f in section.get("faults", [])] + [parse_ms_fault(f) for f in extra_faults],
        "strict": section.get("strict", cfg.get("strict", True)),
    }
    for name, entries in out["groups"].items():
        for e in entries:
            if not isinstance(e, dict):
                raise ValueError(f"msgserver group {name}: entries are objects, got {e!r}")
    return out


def listen_in_range(ports, host=LISTEN_HOST):
    """A listening socket on the first free port of `ports`."""
    for port in ports:
        try:
            return listen(port, host), port
        except OSError:
            continue
    raise OSError(f"no free port in {ports.start}..{ports.stop - 1} on {host}")


def move_gateway_into_range(gateway):
    """Rebinds a not yet started gateway to a port 3300..3399, so that the
    dispatcher port a reply names (100 less) leads a client to it."""
    listener, port = listen_in_range(GATEWAY_PORTS)
    gateway.listener.close()
    gateway.listener = listener
    gateway.port = port
    return port


# --- the server --------------------------------------------------------------


class MsgServer(TcpServer):
    name = "msgserver"

    def __init__(self, cfg, log, gateway_port, stopping, extra_faults=()):
        self.cfg = cfg
        self.ms = settings(cfg, extra_faults)
        self.log = log
        self.gateway_port = gateway_port
        super().__init__(stopping)

    # --- one lookup -----------------------------------------------------

    def entries_of(self, group):
        """The reply entries of a group, or None when the group is unknown."""
        configured = self.ms["groups"].get(group)
        if configured is None:
            return None
        out = []
        for e in configured:
            port = e.get("port")
            if port is None:
                port = self.gateway_port - 100
            host = e.get("host")
            out.append(entry("127.0.0.1" if host is None else host, int(port), str(e.get("name", "qsihost_QSI")).encode(),
                             length=e.get("length")))
        return out

    def serve(self, sock, conn_no):
        link = Link(sock, self.log, "msgserver", conn_no, self.stopping, self.cfg["frame_limit"])
        serve_link(link, self._conversation, conn_no)

    def _conversation(self, link, conn_no):
        strict = self.ms["strict"]
        steps = (("first", check_first, b"\x02\x08"), ("second", check_second, b"\x04\x05"))
        for step, check, code in steps:
            data = link.next_frame(step, cpic=False)
            problems = check(data)
            for p in problems:
                link.event(step, "check", text=p)
            if problems and strict:
                link.close(step)
                return
            if not self._answer(link, step, conn_no, decoy_reply(code, step)):
                return

        data = link.next_frame("group", cpic=False)
        group_bytes, problems = parse_group_request(data)
        for p in problems:
            link.event("group", "check", text=p)
        if problems and strict:
            link.close("group")
            return
        group = group_bytes.decode("utf-8", "replace")
        entries = self.entries_of(group)
        link.event("group", "lookup", group=group, known=entries is not None,
                   entries=0 if entries is None else len(entries))
        if entries is None:
            reply = group_reply(group_bytes, [], f"MSEUNKNOWN logon group {group} unknown")
        else:
            reply = group_reply(group_bytes, entries, "OK")
        if not self._answer(link, "group", conn_no, reply):
            return

        # The client closes once it has the reply; whatever it sends first is a deviation.
        deadline = time.monotonic() + LINGER
        while time.monotonic() < deadline:
            frame = link.next_frame("after", cpic=False, deadline=deadline)
            if frame is None:
                break
            link.event("after", "check", text=f"a frame of {len(frame)} bytes after the reply")
        link.close("close")

    def _answer(self, link, step, conn_no, answer):
        """Sends the answer of `step` or what a fault puts in its place; False
        when the conversation ends here."""
        plan = Plan([f for f in self.ms["faults"] if f.matches(step, conn_no)])
        if plan.delay:
            time.sleep(plan.delay)
        a, arg = plan.action, plan.arg
        if a is None:
            link.send_frame(answer, step, cpic=False)
            return True
        link.event(step, "fault", action=a, arg=arg)
        if a == "close":
            link.close(step)
            return False
        if a == "midclose":
            link.send_cut([answer], arg, step)
            link.close(step)
            return False
        if a == "garbage":
            link.send_junk(arg, step)
            return True
        if a == "noise":
            link.send_noise(step)
            link.close(step)
            return False
        if a == "hugelen":
            link.send_hugelen(arg, step)
            link.close(step)
            return False
        if a == "silence":
            while True:
                link.next_frame(step, cpic=False)
        if a == "trickle":
            link.send_trickle([answer], arg, step)
            return True
        if a == "empty":
            link.send_frame(b"", step, cpic=False)
            return True
        if a == "short":
            link.send_frame(answer[: int_arg(arg, 11)], step, cpic=False)
            return True
        if a == "noentry":
            link.send_frame(group_reply(b"", [], "MSEUNKNOWN no entry (fault)"), step, cpic=False)
            return True
        raise FaultError(f"message-server fault {a} is not handled")
