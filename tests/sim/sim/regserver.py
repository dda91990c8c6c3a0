"""The gateway for registered servers of the simulated ABAP system.

A registered server connects, registers a program ID and then waits for the
calls the gateway forwards to it.  One thread per connection runs:

  register   one NI frame, the 64-byte registration record; one frame back
             (its content means nothing); the 512-byte information block;
             an 80-byte control record (request 0xD1)
  answer     accepted: an empty 80-byte record ("ack"), an 80-byte record
             followed by NUL bytes ("zeros"), nothing at all ("silence"), or
             the announcement of the first scripted call ("announce");
             refused (the program ID is not in the allow list): an 80-byte
             record followed by an "*ERR*" block; "garbage" and "close" are
             faults
  calls      for each queued call: the announcement (request 0xCF), the
             request record (0x03) and its continuations (0x09); then the
             reply pieces under the reply or exception header, and the three
             records that end the conversation
  detach     the 0xD0 record a server sends when it goes away
  faults     a call may carry a fault (CALL_FAULTS) that replaces or
             changes how its frames are sent: trickled, cut short, a
             hostile NI length, a junk frame, bytes that are no NI frame

Calls are queued through the control port (one JSON object per line, see
README.md) or scripted in the scenario ("reggateway": {"calls": [...]}).
Every reply is decoded and kept, logged as the event "reg-reply" and
answered to the control port's "result" request.
"""

import fnmatch
import json
import socket
import struct
import threading
import time

from . import appc
from .container import ContainerError, Rid, Writer, err_block, read_records
from .link import Link, PeerClosed, Shutdown
from .ni import NiLengthError
from .server_base import TcpServer, listen
from .values import from_utf16, ValueProblem

ANNOUNCEMENT = 0xCF
REQUEST = 0x03
CONTINUATION = 0x09
REPLY_PIECE = 0x08
CONVERSATION_END = 0x0B
SERVER_DETACH = 0xD0
SERVER_INFO = 0xD1
SERVER_END = 0xD2
CLOSE_RECORD = 0x0667
# Record ids of inbound calls that have no name in the client's table.
SYSTEM_ID = 0x0003
CALLER_HOST = 0x0002

# The faults of an inbound call, "ACTION" or "ACTION:ARG":
CALL_FAULTS = {
    "trickle",   # the call's frames one byte every ARG seconds (default 0.2), then on as usual
    "midclose",  # the first ARG bytes of the call's frames (default half), then the gateway closes
    "hugelen",   # an NI length field of ARG (default 0xFFFFFFFF) and nothing more; the gateway
                 # then waits for the server to close
    "noise",     # bytes that are no NI frame; the gateway then waits for the server to close
    "garbage",   # an NI frame of ARG junk bytes (default 16) in place of the call; the connection
                 # goes on with the next call
}

REGISTRATION_SIZE = 64
INFO_SIZE = 512
ANSWER_MODES = {"ack", "zeros", "silence", "announce", "garbage", "close"}

DEFAULTS = {
    # Program IDs that may register (fnmatch patterns); others are refused.
    "allow": ["*"],
    # How an allowed registration is answered, by program pattern (first match).
    "answers": {},
    "answer": "ack",
    # Calls sent on their own once a matching program has registered.
    "calls": [],
    # Conversation ids of inbound calls: this number plus the call number.
    "conversation_base": 80000000,
    # Seconds a call waits for the server's reply.
    "wait": 30.0,
    # Fill the header bytes a reader must ignore with a pattern.
    "header_junk": True,
}

# The caller of an inbound call, unless the call says otherwise.
CALLER = {
    "destination": "LOMRA_DEST",
    "user": "TESTER",
    "client": "001",
    "system_id": "QSI",
    "caller_host": "qsihost",
    "caller_program": "SAPLSIM",
}

H = bytes.fromhex


def settings(cfg, args=None):
    """The scenario's "reggateway" settings over the defaults, and the
    command line's --regallow and --reganswer over both."""
    out = dict(DEFAULTS)
    out.update(cfg.get("reggateway") or {})
    allow = getattr(args, "regallow", None)
    if allow:
        out["allow"] = list(allow)
    # Patterns are tried in order: the command line's before the scenario's.
    answers = {}
    for item in getattr(args, "reganswer", None) or []:
        pattern, sep, mode = item.rpartition("=")
        if not sep:
            pattern, mode = "*", item
        if mode not in ANSWER_MODES:
            raise ValueError(f"unknown registration answer {mode!r}; known: {', '.join(sorted(ANSWER_MODES))}")
        answers[pattern] = mode
    for pattern, mode in out["answers"].items():
        answers.setdefault(pattern, mode)
    out["answers"] = answers
    for mode in list(answers.values()) + [out["answer"]]:
        if mode not in ANSWER_MODES:
            raise ValueError(f"unknown registration answer {mode!r}; known: {', '.join(sorted(ANSWER_MODES))}")
    return out


# --- the server's own records, as a reader of them expects them ----------


def server_control(request):
    """The 80-byte control record a registered server sends (0xD0, 0xD1)."""
    h = bytearray(80)
    h[0] = 0x06
    h[1] = request
    h[2:6] = H("0700FFFF")
    h[30] = 0x01
    h[40:48] = b"H0000001"
    h[48:52] = struct.pack(">I", 80)
    h[76:80] = H("FFFFFFFF")
    return bytes(h)


def server_end(conversation):
    h = bytearray(server_control(SERVER_END))
    h[40:48] = conversation
    h[76:80] = H("FFFF0004")
    return bytes(h)


def reply_header(conversation, length, exception):
    h = bytearray(80)
    h[0:8] = H("06080700FFFF0000")
    h[40:48] = conversation
    h[48:52] = struct.pack(">I", length)
    h[76:80] = H("FFFF0005" if exception else "FFFF0009")
    return bytes(h)


def conversation_end(conversation):
    h = bytearray(80)
    h[0:8] = H("060B0700FFFF0000")
    h[40:48] = conversation
    h[76:80] = H("FFFF0009")
    return bytes(h)


def expected_registration(program, host, address):
    """The 64 bytes a registration record must hold (cuts at whole UTF-8
    characters), for comparison."""
    def cut(text, limit):
        raw = text.encode("utf-8")
        while len(raw) > limit:
            text = text[:-1]
            raw = text.encode("utf-8")
        return raw

    r = bytearray(64)
    r[0:2] = H("020B")
    r[2:6] = address
    prog9 = cut(program, 9)
    r[10:20] = (prog9 + b"\x00").ljust(10, b" ")
    r[20:24] = b"1100"
    r[29] = 0x06
    r[30:38] = cut(host, 8).ljust(8, b" ")
    r[38:46] = cut(program, 8).ljust(8, b" ")
    r[46:54] = b" " * 8
    r[54:56] = H("06CB")
    r[56:58] = H("FFFF")
    return bytes(r)


def parse_info_block(block):
    """(host, program) of the 512-byte information block, and the
    deviations from its layout."""
    problems = []
    if len(block) != INFO_SIZE:
        problems.append(f"information block of {len(block)} bytes, expected {INFO_SIZE}")
        block = bytes(block).ljust(INFO_SIZE, b" ")[:INFO_SIZE]

    def field(start):
        raw = block[start : start + 128]
        end = raw.find(b"\x00")
        if end < 0:
            problems.append(f"information block field at {start} has no NUL")
            end = 127
        if any(b != 0x20 for b in raw[end + 1 :]):
            problems.append(f"information block field at {start} is not blank after its NUL")
        return raw[:end].decode("utf-8", "replace")

    host = field(0)
    program = field(128)
    if any(b != 0x20 for b in block[256:]):
        problems.append("information block bytes 256..511 are not blank")
    return host, program, problems


# --- inbound calls ---------------------------------------------------------


class CallSpecError(ValueError):
    pass


def inbound_value(spec):
    """The bytes of one parameter value of an inbound call.  A str is sent
    one byte per character (Latin-1), an int as INT4, a float as FLOAT;
    {"hex": ..} is sent as given; {"type": letter, "value": ..} encodes by
    ABAP type (C N D T Latin-1, g UTF-8, I b s 8 integers, F float, P packed
    with no decimals, X y hex)."""
    if isinstance(spec, bool):
        raise CallSpecError("a boolean is no parameter value")
    if isinstance(spec, str):
        return spec.encode("latin-1")
    if isinstance(spec, int):
        return struct.pack("<i", spec)
    if isinstance(spec, float):
        return struct.pack("<d", spec)
    if isinstance(spec, dict):
        if "hex" in spec:
            return bytes.fromhex(spec["hex"])
        letter = spec.get("type")
        value = spec.get("value")
        if letter in ("C", "N", "D", "T"):
            raw = str(value).encode("latin-1")
            length = spec.get("length")
            return raw.ljust(length, b" ")[:length] if length else raw
        if letter == "g":
            return str(value).encode("utf-8")
        if letter in ("b", "s", "I", "8"):
            fmt = {"b": "<B", "s": "<h", "I": "<i", "8": "<q"}[letter]
            return struct.pack(fmt, int(value))
        if letter == "F":
            return struct.pack("<d", float(value))
        if letter == "P":
            return pack_bcd(int(value), int(spec.get("length", 8)))
        if letter in ("X", "y"):
            return bytes.fromhex(value)
        raise CallSpecError(f"unknown type letter {letter!r}")
    raise CallSpecError(f"cannot send {type(spec).__name__} as a parameter value")


def pack_bcd(number, length):
    digits = str(abs(number))
    nibbles = [int(d) for d in digits] + [0xD if number < 0 else 0xC]
    if len(nibbles) % 2:
        nibbles.insert(0, 0)
    raw = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2))
    if len(raw) > length:
        raise CallSpecError(f"{number} does not fit {length} packed bytes")
    return raw.rjust(length, b"\x00")


class InboundCall:
    """One call to send, its state and, once the server answered, its result."""

    def __init__(self, number, program, spec, conversation_base):
        self.number = number
        self.program = program
        self.spec = spec
        self.function = str(spec.get("function", ""))
        self.conversation = b"%08d" % ((conversation_base + number) % 100000000)
        self.mode = spec.get("mode", "normal")
        if self.mode not in ("normal", "announce_only", "close_after_request"):
            raise CallSpecError(f"unknown call mode {self.mode!r}")
        self.fault, _, self.fault_arg = str(spec.get("fault") or "").partition(":")
        if self.fault and self.fault not in CALL_FAULTS:
            raise CallSpecError(f"unknown call fault {self.fault!r}; known: {', '.join(sorted(CALL_FAULTS))}")
        self.piece = int(spec.get("piece", 0))
        self.wait = float(spec.get("wait", 30.0))
        self.container = self._container()
        self.announced = False
        self.done = threading.Event()
        self.result = {"id": number, "program": program, "function": self.function, "status": "queued"}

    def _text(self, key):
        value = self.spec.get(key, CALLER.get(key, ""))
        return str(value).encode("utf-8")

    def _container(self):
        w = Writer()
        for rid, value in self.spec.get("records_before", []):
            w.add(int(rid), bytes.fromhex(value))
        w.add(Rid.FUNCTION, self.function.encode("utf-8"))
        w.add(Rid.DESTINATION, self._text("destination"))
        w.add(Rid.USER, self._text("user"))
        w.add(Rid.CLIENT, self._text("client"))
        w.add(SYSTEM_ID, self._text("system_id"))
        w.add(CALLER_HOST, self._text("caller_host"))
        w.add(Rid.PROGRAM, self._text("caller_program"))
        for name in self.spec.get("requested", []):
            w.add(Rid.REQUESTED_OUTPUT, str(name).encode("utf-8"))
        params = self.spec.get("params", {})
        pairs = params.items() if isinstance(params, dict) else params
        for name, value in pairs:
            w.add(Rid.PARAMETER_NAME, str(name).encode("utf-8"))
            w.add(Rid.PARAMETER_VALUE, inbound_value(value))
        for table in self.spec.get("tables", []):
            rows = [bytes.fromhex(r) for r in table.get("rows", [])]
            width = int(table.get("width", len(rows[0]) if rows else 0))
            w.add(Rid.TABLE_NAME, str(table["name"]).encode("utf-8"))
            w.add(Rid.TABLE_HEADER, struct.pack(">II", width, len(rows)))
            for row in rows:
                w.add(Rid.TABLE_CONTENT, row)
        for rid, value in self.spec.get("records_after", []):
            w.add(int(rid), bytes.fromhex(value))
        return w.finish()

    def records(self, junk):
        """The frames of the call: announcement, request, continuations."""
        frames = [appc.server_record(ANNOUNCEMENT, self.conversation, junk=junk)]
        data = self.container
        piece = self.piece if self.piece > 0 else max(1, len(data))
        pieces = [data[i : i + piece] for i in range(0, len(data), piece)] or [b""]
        for index, part in enumerate(pieces):
            header = bytearray(appc.server_header(REQUEST if index == 0 else CONTINUATION, self.conversation,
                                                  len(part), junk=junk))
            header[56:60] = struct.pack(">I", len(part))
            header[60:64] = struct.pack(">I", 1 if index == len(pieces) - 1 else 0)
            frames.append(bytes(header) + part)
        return frames

    def finish(self, **fields):
        self.result.update(fields)
        self.done.set()


def flat_result(result):
    """A call's result one level deep, for readers without a parser for
    nested values: exports as NAME=hex pairs, pieces as "n,...", the checks
    joined by " | "."""
    flat = {k: v for k, v in result.items() if isinstance(v, (str, int, bool)) or v is None}
    flat["exports"] = ",".join(f"{k}={v}" for k, v in result.get("exports", {}).items())
    flat["pieces"] = ",".join(str(p) for p in result.get("pieces", []))
    flat["checks"] = " | ".join(result.get("checks", []))
    return flat


def decode_reply(container, program, problems):
    """The result fields of a reply container."""
    out = {"exports": {}, "export_texts": {}}
    try:
        records, _ = read_records(container)
    except ContainerError as exc:
        problems.append(f"reply container: {exc}")
        return out
    head = [(Rid.START, H("0301010504010003")), (Rid.PROTOCOL_VERSION, H("00000E0B")),
            (Rid.CAPABILITIES, H("04010003000A0200000023")),
            (Rid.CLIENT_ADDRESS, "127.0.0.1".encode("utf-16-le")), (Rid.PARTNER_SYSTEM, "::1".encode("utf-16-le")),
            (Rid.CONNECTION_TYPE, "E".encode("utf-16-le")), (Rid.KERNEL_RELEASE, "753".encode("utf-16-le")),
            (Rid.KERNEL_PATCH, "793 127.0.0.1".encode("utf-16-le")), (Rid.PROGRAM, program.encode("utf-16-le"))]
    for index, (rid, value) in enumerate(head):
        if index >= len(records) or records[index][0] != rid:
            got = "nothing" if index >= len(records) else f"0x{records[index][0]:04x}"
            problems.append(f"reply record {index + 1} is {got}, expected 0x{rid:04x}")
        elif bytes(records[index][1]) != value:
            problems.append(f"reply record 0x{rid:04x} holds {bytes(records[index][1]).hex()}, expected {value.hex()}")
    rest = records[len(head):]
    if not rest or rest[-1][0] != CLOSE_RECORD or bytes(rest[-1][1]) != bytes(8):
        problems.append("the reply does not end with record 0x0667 holding 8 zero bytes")
    else:
        rest = rest[:-1]
    pending = None
    texts = {Rid.ABAP_EXCEPTION_KEY: "key", Rid.ABAP_MESSAGE_CLASS: "msg_class", Rid.ABAP_MESSAGE_TYPE: "msg_type",
             Rid.ABAP_MESSAGE_NUMBER: "msg_number", Rid.ABAP_MESSAGE_V1: "msg_v1", Rid.ABAP_MESSAGE_V2: "msg_v2",
             Rid.ABAP_MESSAGE_V3: "msg_v3", Rid.ABAP_MESSAGE_V4: "msg_v4", Rid.ABAP_ERROR_MESSAGE: "error_message"}
    for rid, value in rest:
        value = bytes(value)
        try:
            text = from_utf16(value)
        except ValueProblem:
            text = None
        if rid == Rid.PARAMETER_NAME:
            if pending is not None:
                problems.append(f"ParameterName {pending} without a value")
            pending = text if text is not None else value.hex()
        elif rid == Rid.PARAMETER_VALUE:
            if pending is None:
                problems.append("ParameterValue without a name")
                continue
            out["exports"][pending] = value.hex()
            # As ABAP reads a CHAR: trailing blanks carry nothing (the hex
            # keeps them).
            out["export_texts"][pending] = text.rstrip(" ") if text is not None else None
            pending = None
        elif rid in texts:
            if text is None:
                problems.append(f"record 0x{rid:04x} is not UTF-16LE: {value.hex()}")
            out[texts[rid]] = text if text is not None else value.hex()
        else:
            problems.append(f"unexpected reply record 0x{rid:04x}")
    if pending is not None:
        problems.append(f"ParameterName {pending} without a value")
    return out


# --- one registered connection ---------------------------------------------


class Registration:
    def __init__(self, server, sock, conn_no):
        self.server = server
        self.cfg = server.settings
        self.link = Link(sock, server.log, "reggateway", conn_no, server.stopping, server.frame_limit)
        self.conn = conn_no
        self.program = ""
        self.host = ""
        self.address = ""
        self.queue = []
        self.cond = threading.Condition()
        self.detaches = 0
        self.calls = 0
        self.registered = False
        self.closing = False

    def check(self, step, text):
        self.link.event(step, "check", text=text)

    # --- registration ------------------------------------------------

    def register(self):
        link = self.link
        record = link.next_frame("register", cpic=False)
        if len(record) != REGISTRATION_SIZE:
            self.check("register", f"registration record of {len(record)} bytes, expected {REGISTRATION_SIZE}")
            record = bytes(record).ljust(REGISTRATION_SIZE, b"\x00")[:REGISTRATION_SIZE]
        self.address = ".".join(str(b) for b in record[2:6])
        link.send_frame(record, "register", cpic=False)
        info = link.next_frame("register", cpic=False)
        self.host, self.program, problems = parse_info_block(info)
        for p in problems:
            self.check("register", p)
        expected = expected_registration(self.program, self.host, record[2:6])
        diff = appc.describe_diff(record, expected)
        if diff:
            self.check("register", f"registration record: {diff}")
        control = link.next_frame("register")
        diff = appc.describe_diff(control, server_control(SERVER_INFO))
        if diff:
            self.check("register", f"registration control record: {diff}")

    def allowed(self):
        return any(fnmatch.fnmatchcase(self.program, p) for p in self.cfg["allow"])

    def answer_mode(self):
        for pattern, mode in self.cfg["answers"].items():
            if fnmatch.fnmatchcase(self.program, pattern):
                return mode
        return self.cfg["answer"]

    def answer(self):
        """Answers the registration; False when the connection ends here."""
        link = self.link
        junk = self.cfg["header_junk"]
        if not self.allowed():
            text = f"registration of tp {self.program} from host {self.host} not allowed"
            link.event("answer", "registration-refused", program=self.program, host=self.host, text=text)
            link.send_frame(appc.server_record(SERVER_INFO, b"H0000001", err_block(text, "sim reggateway"), junk),
                            "answer")
            return False
        mode = self.answer_mode()
        if mode not in ANSWER_MODES:
            raise ValueError(f"unknown registration answer {mode!r}")
        link.event("answer", "registered", program=self.program, host=self.host, address=self.address,
                   answer=mode)
        if mode == "ack":
            link.send_frame(appc.server_record(SERVER_INFO, b"H0000001", b"", junk), "answer")
        elif mode == "zeros":
            link.send_frame(appc.server_record(SERVER_INFO, b"H0000001", bytes(32), junk), "answer")
        elif mode == "garbage":
            link.send_frame(appc.server_record(SERVER_INFO, b"H0000001", b"HELLO\x01WORLD", junk), "answer")
            return False
        elif mode == "close":
            return False
        elif mode == "announce":
            # The first scripted call's announcement is the answer itself.
            with self.cond:
                if not self.queue:
                    raise ValueError("registration answer 'announce' needs a scripted call")
                self.queue[0].announced = True
        return True

    # --- calls -------------------------------------------------------

    def enqueue(self, call):
        with self.cond:
            self.queue.append(call)
            self.cond.notify_all()

    def next_call(self):
        with self.cond:
            if self.queue:
                return self.queue.pop(0)
        return None

    def run_call(self, call):
        link = self.link
        junk = self.cfg["header_junk"]
        self.calls += 1
        frames = call.records(junk)
        call.result["conversation"] = call.conversation.decode("ascii")
        call.result["status"] = "sent"
        link.event("call", "reg-call", id=call.number, function=call.function, conversation=call.result["conversation"])
        if call.fault:
            self.run_fault(call, frames)
            return
        # An announced call's announcement is the registration answer.
        link.send_frame(frames[0], "answer" if call.announced else "call")
        if call.mode == "announce_only":
            call.finish(status="announced")
            return
        for frame in frames[1:]:
            link.send_frame(frame, "call")
        if call.mode == "close_after_request":
            call.finish(status="closed-by-gateway")
            raise PeerClosed()
        self.await_reply(call)

    def run_fault(self, call, frames):
        """Sends the call as its fault says (CALL_FAULTS)."""
        link = self.link
        action, arg = call.fault, call.fault_arg
        link.event("call", "reg-fault", id=call.number, fault=action, arg=arg)
        if action == "trickle":
            link.send_trickle(frames, arg, "call")
            self.await_reply(call)
            return
        if action == "garbage":
            link.send_junk(arg, "call")
            call.finish(status="garbage-sent")
            return
        if action == "midclose":
            link.send_cut(frames, arg, "call")
            call.finish(status="closed-by-gateway")
            raise PeerClosed()
        if action == "hugelen":
            link.send_hugelen(arg or "0xFFFFFFFF", "call")
        else:
            link.send_noise("call")
        # Nothing sensible can follow: what the server does now (close, and
        # whether it still sends a detach) is what the test looks at.
        self.drain_detach("call", wait=call.wait)
        call.finish(status="closed-by-gateway")
        raise PeerClosed()

    def await_reply(self, call):
        link = self.link
        deadline = time.monotonic() + call.wait
        problems = []
        pieces = []
        kinds = set()
        data = b""
        stage = "pieces"
        end_expected = [conversation_end(call.conversation), server_end(call.conversation),
                        server_control(SERVER_INFO)]
        ends = 0
        while True:
            try:
                frame = link.next_frame("reply", deadline=deadline)
            except PeerClosed:
                call.finish(status="closed", checks=problems)
                raise
            if frame is None:
                call.finish(status="timeout", checks=problems, pieces=pieces)
                return
            if len(frame) >= 2 and frame[1] == SERVER_DETACH and not pieces:
                self.detaches += 1
                link.event("reply", "detached", count=self.detaches)
                call.finish(status="detached", checks=problems)
                return
            if stage == "pieces" and len(frame) >= 80 and frame[1] == REPLY_PIECE:
                exception = frame[79] == 0x05
                kinds.add("exception" if exception else "normal")
                part = frame[80:]
                expected = reply_header(call.conversation, len(part), exception)
                appc.note_diff(problems, f"reply piece {len(pieces) + 1} header", frame[:80], expected)
                if len(part) > appc.CPIC_PIECE:
                    problems.append(f"reply piece of {len(part)} bytes")
                pieces.append(len(part))
                data += part
                continue
            stage = "end"
            if ends >= len(end_expected):
                problems.append(f"unexpected record after the end of the conversation: {frame[:2].hex()}")
                continue
            appc.note_diff(problems, f"end-of-conversation record {ends + 1}", frame, end_expected[ends])
            ends += 1
            if ends == len(end_expected):
                break
        if len(kinds) > 1:
            problems.append("reply pieces under both the reply and the exception header")
        link.log_message("recv", "reply", data, function=call.function)
        kind = "exception" if "exception" in kinds else "normal"
        fields = decode_reply(data, self.program, problems)
        for p in problems:
            self.check("reply", p)
        status = "exception" if kind == "exception" else "reply"
        call.finish(status=status, kind=kind, pieces=pieces, checks=problems, **fields)
        flat = flat_result(call.result)
        del flat["program"]
        link.event("reply", "reg-reply", **flat, program=self.program)

    def drain_detach(self, step, wait=5.0):
        """Reads what the server still sends after a refusal (its detach
        record), until it closes or `wait` passes."""
        deadline = time.monotonic() + wait
        try:
            while True:
                frame = self.link.next_frame(step, deadline=deadline)
                if frame is None:
                    return
                if len(frame) >= 2 and frame[1] == SERVER_DETACH:
                    self.detaches += 1
                    self.link.event(step, "detached", count=self.detaches)
        except PeerClosed:
            return

    # --- the connection ------------------------------------------------

    def run(self):
        link = self.link
        link.event("accept", "accepted")
        try:
            self.register()
            for spec in self.server.scripted_for(self.program):
                self.enqueue(self.server.new_call(self.program, spec))
            if not self.answer():
                self.drain_detach("answer")
                link.close("answer")
                return
            self.registered = True
            self.server.add_registration(self)
            while True:
                if self.closing:
                    link.event("idle", "closing")
                    link.close("idle", drain=0.5)
                    return
                call = self.next_call()
                if call is not None:
                    self.run_call(call)
                    continue
                frame = link.next_frame("idle", deadline=time.monotonic() + 0.05)
                if frame is None:
                    continue
                if len(frame) >= 2 and frame[1] == SERVER_DETACH:
                    self.detaches += 1
                    link.event("idle", "detached", count=self.detaches)
                else:
                    self.check("idle", f"unexpected frame of {len(frame)} bytes: {frame[:2].hex()}")
        except (PeerClosed, Shutdown, NiLengthError):
            link.abort()
        except (ValueError, CallSpecError) as exc:
            link.event("internal", "internal-error", text=str(exc))
            link.abort()
        finally:
            self.server.remove_registration(self)
            with self.cond:
                pending = list(self.queue)
                self.queue.clear()
            for call in pending:
                call.finish(status="closed")
            link.event("closed", "closed", detaches=self.detaches, calls=self.calls, registered=self.registered,
                       program=self.program)


# --- the server and its control port -----------------------------------------


class RegGatewayServer(TcpServer):
    name = "reggateway"

    def __init__(self, cfg, log, stopping, args=None):
        self.settings = settings(cfg, args)
        self.log = log
        self.frame_limit = cfg.get("frame_limit", 64 << 20)
        super().__init__(stopping)
        self.control = listen()
        self.control_port = self.control.getsockname()[1]
        self.lock = threading.Condition()
        self.registrations = {}
        self.calls = {}
        self.call_count = 0

    def start(self):
        super().start()
        self.accept_on(self.control, "regcontrol",
                       lambda sock: self.spawn(self._control_session, "regcontrol-session", sock))

    def close_listeners(self):
        self.listener.close()
        self.control.close()

    def serve(self, sock, conn_no):
        Registration(self, sock, conn_no).run()

    # --- registrations and calls ---------------------------------------

    def add_registration(self, reg):
        with self.lock:
            self.registrations[reg.program] = reg
            self.lock.notify_all()

    def remove_registration(self, reg):
        with self.lock:
            if self.registrations.get(reg.program) is reg:
                del self.registrations[reg.program]
            self.lock.notify_all()

    def wait_registration(self, program, wait):
        deadline = time.monotonic() + wait
        with self.lock:
            while program not in self.registrations:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.lock.wait(left)
            return self.registrations[program]

    def new_call(self, program, spec):
        with self.lock:
            self.call_count += 1
            call = InboundCall(self.call_count, program, spec, self.settings["conversation_base"])
            call.wait = float(spec.get("wait", self.settings["wait"]))
            self.calls[call.number] = call
            return call

    def scripted_for(self, program):
        return [s for s in self.settings["calls"] if fnmatch.fnmatchcase(program, s.get("program", "*"))]

    # --- control port ----------------------------------------------------

    def _control_session(self, sock):
        sock.settimeout(0.2)
        buffer = b""
        try:
            while not self.stopping.is_set():
                try:
                    chunk = sock.recv(65536)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                buffer += chunk
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    if not line.strip():
                        continue
                    answer = self.handle(line)
                    sock.sendall(json.dumps(answer).encode("utf-8") + b"\n")
        except OSError:
            pass
        finally:
            sock.close()

    def handle(self, line):
        try:
            request = json.loads(line)
            op = request.get("op")
            self.log.write(server="regcontrol", dir="event", step="control", event="control", op=str(op))
            if op == "call":
                return self._op_call(request)
            if op == "result":
                return self._op_result(request)
            if op == "wait_registered":
                reg = self.wait_registration(request["program"], float(request.get("wait", 10.0)))
                if reg is None:
                    return {"ok": False, "error": f"no registration of {request['program']}"}
                return {"ok": True, "program": reg.program, "host": reg.host, "address": reg.address,
                        "conn": reg.conn}
            if op == "registrations":
                with self.lock:
                    return {"ok": True, "programs": ",".join(sorted(self.registrations))}
            if op == "close":
                reg = self.wait_registration(request["program"], float(request.get("wait", 10.0)))
                if reg is None:
                    return {"ok": False, "error": f"no registration of {request['program']}"}
                reg.closing = True
                return {"ok": True}
            return {"ok": False, "error": f"unknown op {op!r}"}
        except (ValueError, KeyError, TypeError) as exc:
            return {"ok": False, "error": f"{type(exc).__name__}: {exc}"}

    def _op_call(self, request):
        program = request["program"]
        reg = self.wait_registration(program, float(request.get("wait_registered", 10.0)))
        if reg is None:
            return {"ok": False, "error": f"no registration of {program}"}
        call = self.new_call(program, request)
        reg.enqueue(call)
        return {"ok": True, "id": call.number, "conversation": call.conversation.decode("ascii")}

    def _op_result(self, request):
        call = self.calls.get(int(request["id"]))
        if call is None:
            return {"ok": False, "error": f"no call {request['id']}"}
        if not call.done.wait(float(request.get("wait", 30.0))):
            return {"ok": False, "error": f"call {call.number} has not finished", "status": call.result["status"]}
        result = dict(call.result)
        result["ok"] = True
        return flat_result(result) if request.get("flat") else result
