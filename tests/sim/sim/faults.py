"""Fault knobs: what the simulator does instead of (or besides) its normal
answer at one step of a connection.

A fault is written ACTION=STEP[/FUNCTION][:ARG][@CONN] on the command line,
or as {"action": .., "step": .., "function": .., "arg": .., "conn": ..} in a
scenario file.  STEP names the answer the fault replaces:

  route       the SAProuter's answer to NI_ROUTE
  tls         (WebSocket RFC) the TLS handshake
  handshake   the answer to the routing handshake (WebSocket RFC: the
              answer to the upgrade request)
  initialize  the answer to APPC initialize
  allocate    the answer to APPC allocate
  logon       the answer to the logon container
  call        the reply to a function call (FUNCTION narrows it to one function)

CONN, when given, limits the fault to the n-th connection of that server
(1-based), so that a client's reconnect can be served normally.
"""

from .container import Rid, has_header, record, with_trailer

# Actions that change how an answer is sent but still send it.
MODIFIERS = {"delay", "split"}

# Actions that replace the answer.
TERMINAL = {
    "close",      # close the connection without answering
    "midclose",   # send the first ARG bytes of the answer (default: half), then close
    "garbage",    # an NI frame of ARG junk bytes (default 16) instead of the answer
    "noise",      # raw bytes that are no NI frame (an HTTP status line)
    "hugelen",    # an NI length field of ARG (default 0xFFFFFFF0) and nothing more
    "silence",    # no answer; the connection stays open
    "deaf",       # no answer, and none to a Cancel either: a peer that has stopped (gateway)
    "trickle",    # the answer one byte every ARG seconds (default 0.2), then on as usual
    "empty",      # an empty data record (an empty NI frame at handshake and route)
    "err",        # an "*ERR*" block with ARG as text; the connection is closed afterwards
    "control",    # a control record of request type ARG (default 0x0B, Deallocate)
    "canceled",   # a Canceled record
    "short",      # an APPC record of 40 bytes
    "version",    # the answer with APPC version byte 0x05
    "wrongtype",  # the answer with request type ARG (default 0xCB, Data)
    "blankid",    # initialize: the answer without a conversation id
    "refuse",     # logon: refuse whatever the credentials; ARG is the status byte
    "tagmismatch",  # logon/call: a container whose first record closes with another id
    "badhead",    # logon/call: a first data record of 3 bytes
    "trailer",    # logon/call: the container followed by the 8-byte message trailer
}
ACTIONS = MODIFIERS | TERMINAL
STEPS = {"route", "tls", "handshake", "initialize", "allocate", "logon", "call"}

# The pause between two bytes of a trickled answer, by default.
TRICKLE_INTERVAL = 0.2

# What `noise` sends: an HTTP status line, no NI frame and no WebSocket frame.
NOISE = b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n"


def junk(n):
    """What `garbage` sends: n bytes that no reader takes for a header."""
    return (b"GARBAGE-" * (n // 8 + 1))[:n]


def altered_container(action, message):
    """The container `message` as the action `trailer` or `tagmismatch`
    sends it (unchanged for any other action)."""
    if action == "trailer":
        return with_trailer(message)
    if action == "tagmismatch":
        # A first record that opens as ParameterName and closes as ParameterValue.
        at = 12 if has_header(message) else 0
        return message[:at] + record(Rid.PARAMETER_NAME, b"A\x00")[:-2] + b"\x02\x03" + message[at:]
    return message


class FaultError(ValueError):
    pass


class Fault:
    """One fault knob.  Subclasses for other servers name their own actions,
    steps and kind (the word their error messages use)."""

    actions = ACTIONS
    steps = STEPS
    kind = "fault"

    def __init__(self, action, step, function=None, arg="", conn=None):
        action = str(action).lower()
        step = str(step).lower()
        if action not in self.actions:
            raise FaultError(f"unknown {self.kind} action {action!r}; known: {', '.join(sorted(self.actions))}")
        if step not in self.steps:
            raise FaultError(f"unknown {self.kind} step {step!r}; known: {', '.join(sorted(self.steps))}")
        self.action = action
        self.step = step
        self.function = function.upper() if function else None
        self.arg = "" if arg is None else str(arg)
        self.conn = int(conn) if conn not in (None, "") else None

    def matches(self, step, conn, function=None):
        if step != self.step:
            return False
        if self.conn is not None and conn != self.conn:
            return False
        if self.function is not None and (function or "").upper() != self.function:
            return False
        return True

    def __repr__(self):
        return f"Fault({self.action}={self.step}/{self.function}:{self.arg}@{self.conn})"


def split_conn(text, kind, form):
    """(ACTION, the rest, CONN or None) of a fault text ACTION=...[@CONN];
    `kind` and `form` name the fault and its grammar in error messages."""
    if "=" not in text:
        raise FaultError(f"{kind} {text!r} is not {form}")
    action, rest = text.split("=", 1)
    conn = None
    if "@" in rest:
        rest, conn = rest.rsplit("@", 1)
        if not conn.isdigit():
            raise FaultError(f"{kind} {text!r}: connection {conn!r} is not a number")
    return action, rest, conn


def parse_fault(text):
    """ACTION=STEP[/FUNCTION][:ARG][@CONN]"""
    action, rest, conn = split_conn(text, Fault.kind, "ACTION=STEP[/FUNCTION][:ARG][@CONN]")
    arg = ""
    if ":" in rest:
        rest, arg = rest.split(":", 1)
    function = None
    if "/" in rest:
        rest, function = rest.split("/", 1)
    return Fault(action, rest, function, arg, conn)


def fault_from_json(obj):
    if isinstance(obj, str):
        return parse_fault(obj)
    return Fault(obj["action"], obj["step"], obj.get("function"), obj.get("arg", ""), obj.get("conn"))


def float_arg(arg, default):
    if arg in (None, ""):
        return default
    return float(arg)


def int_arg(arg, default):
    if arg in (None, ""):
        return default
    return int(str(arg), 0)


class Plan:
    """What to do at one step: a total delay, a split and one terminal action."""

    def __init__(self, faults):
        self.delay = 0.0
        self.split = None
        self.action = None
        self.arg = ""
        for f in faults:
            if f.action == "delay":
                self.delay += float(f.arg or 0)
            elif f.action == "split":
                self.split = f.arg
            elif self.action is None:
                self.action, self.arg = f.action, f.arg

    def take(self, action):
        """Adds what a function asked for in its reply, (mode, arg, text) or
        None: a split where the plan has none, or an action in place of the
        plan's (`err` with its text as the argument)."""
        if action is None:
            return
        mode, arg, text = action
        if mode == "split":
            self.split = self.split or arg
        else:
            self.action = mode
            self.arg = text if mode == "err" else arg


def split_points(spec, length):
    """Piece boundaries of a message of `length` bytes.  spec is "N" (pieces
    of N bytes) or "a,b,c" (cut at these offsets)."""
    if spec in (None, ""):
        return None
    spec = str(spec)
    if "," in spec:
        cuts = sorted({int(x, 0) for x in spec.split(",") if x.strip()})
        cuts = [c for c in cuts if 0 < c < length]
    else:
        step = int(spec, 0)
        if step <= 0:
            return None
        cuts = list(range(step, length, step))
    return [0] + cuts + [length]
