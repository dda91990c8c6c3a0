"""The gateway of the simulated ABAP system, over NI.

One thread per connection runs the conversation in order:

  handshake   one NI frame (the 64-byte routing handshake packet), one frame back
  initialize  APPC Initialize record with its 373-byte body; Initialize back
              with the conversation id
  allocate    SetPartnerLuName and Allocate records; Allocate back
  logon       one data message (the logon container with its RFCPING); the
              system's attributes back, or a refusal
  session     data messages (function calls) answered by the registry;
              Cancel answered with Canceled; Deallocate counted

A data message is one Data record, or Chunk records closed by an empty
DataLast record.  Replies go out as Data records of at most `reply_piece`
bytes, or cut where a split fault says.
"""

import time

from . import appc
from . import snc as snc_layer
from .appc import AppcError, parse_record, server_record
from .container import ContainerError, Rid, err_block, has_header, read_records, split_trailer
from .faults import Plan, altered_container, int_arg, split_points
from .link import Link, PeerClosed, Shutdown
from .logon import STATUS_MALFORMED, accept_reply, authenticate, check_logon, refuse_reply
from .ni import NiLengthError
from .reply import AbapError, Cancelled, conversion_error, decode_import, error_container, reply_container
from .server_base import TcpServer
from . import basxml, values


class CloseNow(Exception):
    """The conversation ends here: close the connection."""


class Session:
    def __init__(self, conn_no, system):
        self.conn_no = conn_no
        self.system = system
        self.user = ""
        self.client = ""
        self.language = ""
        self.conversation = appc.BLANK_CONVERSATION
        self.logged_on = False


class CallContext:
    def __init__(self, gateway_conn, function, requested):
        self._conn = gateway_conn
        self.function = function
        self.registry = gateway_conn.server.registry
        self.session = gateway_conn.session
        self.config = gateway_conn.cfg
        self.requested = requested
        self.imports = {}
        self.raw = {}
        self.tables = {}

    def wait(self, seconds):
        """Sleeps; a Cancel record from the client ends the call (Cancelled)."""
        self._conn.wait(seconds, "call")

    def event(self, name, **fields):
        """Logs an event of this call (step `call`)."""
        self._conn.link.event("call", name, **fields)

    def check(self, problems):
        """Logs each deviation as a `check` event; True when they must fail
        the call (strict checks)."""
        return self._conn.check("call", problems)


class Request:
    def __init__(self):
        self.function = ""
        self.requested = []
        self.imports = []
        self.tables = []
        self.basxml = False
        # The BasxmlVersion, BasxmlPayload and BasxmlEnd records, in order.
        self.basxml_records = []
        self.problems = []


def parse_request(records):
    """The parts of a classic request, with every deviation from the
    client's layout in `problems`."""
    req = Request()
    head = [(Rid.REQUEST_HEAD, b""), (Rid.KERNEL, values.utf16("753")), (Rid.FUNCTION, None),
            (Rid.REQUEST_MARK, b"")]
    for index, (rid, fixed) in enumerate(head):
        if index >= len(records) or records[index][0] != rid:
            got = "nothing" if index >= len(records) else f"0x{records[index][0]:04x}"
            req.problems.append(f"record {index + 1} is {got}, expected 0x{rid:04x}")
            continue
        value = bytes(records[index][1])
        if fixed is not None and value != fixed:
            req.problems.append(f"record {index + 1} (0x{rid:04x}) holds {value.hex()}, expected {fixed.hex()}")
        if rid == Rid.FUNCTION:
            try:
                req.function = values.from_utf16(value)
            except values.ValueProblem as exc:
                req.problems.append(f"Function: {exc}")
    phase = 0  # 0 requested outputs, 1 parameters, 2 tables
    pending_name = None
    table = None
    for rid, value in records[len(head):]:
        value = bytes(value)
        if rid in (Rid.BASXML_VERSION, Rid.BASXML_PAYLOAD, Rid.BASXML_END):
            req.basxml = True
            req.basxml_records.append((rid, value))
            # Parameters travel inside the document only.
            phase = 3
            continue
        if rid == Rid.REQUESTED_OUTPUT:
            if phase > 0:
                req.problems.append("RequestedOutput after the parameters")
            req.requested.append(_text(value, req))
            continue
        if rid == Rid.PARAMETER_NAME:
            if phase > 1:
                req.problems.append("ParameterName after the tables")
            if pending_name is not None:
                req.problems.append(f"ParameterName {pending_name} without a value")
            phase = max(phase, 1)
            pending_name = _text(value, req)
            continue
        if rid == Rid.PARAMETER_VALUE:
            if pending_name is None:
                req.problems.append("ParameterValue without a name")
            else:
                req.imports.append((pending_name, value))
                pending_name = None
            continue
        if rid == Rid.TABLE_NAME:
            phase = 2
            table = {"name": _text(value, req), "number": None, "width": None, "count": None, "rows": []}
            req.tables.append(table)
            continue
        if table is None:
            req.problems.append(f"unexpected record 0x{rid:04x}")
            continue
        if rid == Rid.TABLE_ROW_COUNT:
            table["number"] = int.from_bytes(value, "big") if len(value) == 4 else None
            if table["number"] != len(req.tables):
                req.problems.append(f"table {table['name']} carries the number {value.hex()}, expected {len(req.tables)}")
        elif rid == Rid.TABLE_HEADER:
            if len(value) != 8:
                req.problems.append(f"table {table['name']} has a header of {len(value)} bytes")
            else:
                table["width"] = int.from_bytes(value[:4], "big")
                table["count"] = int.from_bytes(value[4:], "big")
        elif rid == Rid.TABLE_CONTENT:
            if table["width"] is not None and len(value) != table["width"]:
                req.problems.append(f"a row of table {table['name']} has {len(value)} bytes, not {table['width']}")
            table["rows"].append(value)
        else:
            req.problems.append(f"unexpected record 0x{rid:04x}")
    if pending_name is not None:
        req.problems.append(f"ParameterName {pending_name} without a value")
    if req.basxml and (req.imports or req.tables):
        req.problems.append("a basXML request with classic parameter or table records")
    for t in req.tables:
        if t["count"] is None:
            req.problems.append(f"table {t['name']} has no header")
        elif t["count"] != len(t["rows"]):
            req.problems.append(f"table {t['name']} declares {t['count']} rows and carries {len(t['rows'])}")
    return req


def unpack_request(message):
    """(records, None) of a request message, or (None, why it cannot be
    taken apart)."""
    container, trailer_ok = split_trailer(message)
    if not trailer_ok:
        return None, "a request without a valid 8-byte trailer"
    if has_header(container):
        return None, "a request with an EBCDIC header"
    try:
        return read_records(container)[0], None
    except ContainerError as exc:
        return None, f"an unreadable request container: {exc}"


def _text(value, req):
    try:
        return values.from_utf16(value)
    except values.ValueProblem as exc:
        req.problems.append(str(exc))
        return value.decode("latin-1")


class GatewayConnection:
    def __init__(self, server, sock, conn_no):
        self.server = server
        self.cfg = server.cfg
        self.link = Link(sock, server.log, "gateway", conn_no, server.stopping, self.cfg["frame_limit"])
        self.session = Session(conn_no, self.cfg["system"])
        self.conn_no = conn_no
        self.deferred = []
        self.deallocates = 0
        self.calls = 0
        # SNC: asked for by the Initialize header; the established context.
        self.snc_requested = False
        self.protection = None

    # --- helpers --------------------------------------------------------

    @property
    def conv(self):
        return self.session.conversation

    def plan(self, step, function=None):
        return Plan([f for f in self.cfg["faults"] if f.matches(step, self.conn_no, function)])

    def check(self, step, problems):
        for p in problems:
            self.link.event(step, "check", text=p)
        return bool(problems) and self.cfg["strict"]

    def record(self, request, data=b""):
        return server_record(request, self.conv, data, self.cfg["header_junk"])

    def fail_setup(self, step, text, cpic=True):
        """A strict check failed during set-up: an "*ERR*" block, then close."""
        block = err_block(f"sim: {text}")
        self.link.send_frame(self.record(appc.DATA, block) if cpic else block, step, cpic=cpic)
        raise CloseNow()

    def wait(self, seconds, step):
        deadline = time.monotonic() + seconds
        while True:
            frame = self.link.next_frame(self.label(step), deadline=deadline)
            if frame is None:
                return
            if len(frame) >= 2 and frame[1] == appc.CANCEL:
                self.on_cancel(frame)
                raise Cancelled()
            self.deferred.append(frame)

    def label(self, step):
        def pick(frame):
            if len(frame) >= 2 and frame[1] == appc.CANCEL:
                return "cancel"
            if len(frame) >= 2 and frame[1] == appc.DEALLOCATE:
                return "deallocate"
            return step
        return pick

    def on_cancel(self, frame):
        problems = []
        if frame[:appc.HEADER_SIZE] != appc.client_cancel(self.conv) or len(frame) != appc.HEADER_SIZE:
            problems.append("Cancel record: " + (appc.describe_diff(frame, appc.client_cancel(self.conv)) or "?"))
        self.check("cancel", problems)
        self.link.event("cancel", "cancel", text="answered with Canceled")
        self.link.send_frame(self.record(appc.CANCELED), "cancel")

    def data_frames(self, message, spec):
        piece = self.cfg["reply_piece"] - (snc_layer.WRAP_ALLOWANCE if self.protection else 0)
        spec = spec if spec not in (None, "") else str(max(1, piece))
        points = split_points(spec, len(message)) or [0, len(message)]
        seal = self.protection.seal if self.protection else bytes
        return [self.record(appc.DATA, seal(message[a:b])) for a, b in zip(points, points[1:])] or [self.record(appc.DATA)]

    def opened(self, message):
        """A client's data message as sent before SNC wrapped it."""
        if self.protection is None:
            return message
        plain, problems = self.protection.open(message)
        self.message_problems += problems
        return plain

    def answer(self, step, frames, plan, cpic=True):
        """Sends the normal answer, or what the plan's action puts in its
        place.  Returns the action taken (None for the normal answer)."""
        a, arg = plan.action, plan.arg
        if a is not None:
            self.link.event(step, "fault", action=a, arg=arg)
        if a in (None, "split", "delay"):
            for f in frames:
                self.link.send_frame(f, step, cpic=cpic)
            return None
        if a == "trickle":
            self.link.send_trickle(frames, arg, step)
            return None
        if a == "close":
            raise CloseNow()
        if a == "midclose":
            self.link.send_cut(frames, arg, step)
            raise CloseNow()
        if a == "garbage":
            self.link.send_junk(arg, step)
        elif a == "noise":
            self.link.send_noise(step)
        elif a == "hugelen":
            self.link.send_hugelen(arg, step)
        elif a == "silence":
            pass
        elif a == "deaf":
            self.ignore(step)
        elif a == "empty":
            self.link.send_frame(self.record(appc.DATA) if cpic else b"", step, cpic=cpic)
        elif a == "err":
            block = err_block(arg or "sim: gateway failure", origin="sim gateway")
            self.link.send_frame(self.record(appc.DATA, block) if cpic else block, step, cpic=cpic)
            raise CloseNow()
        elif a == "control":
            self.link.send_frame(self.record(int_arg(arg, appc.DEALLOCATE)), step)
        elif a == "canceled":
            self.link.send_frame(self.record(appc.CANCELED), step)
        elif a in ("short", "version", "wrongtype", "blankid"):
            for f in frames:
                if a == "short":
                    f = f[:40]
                elif a == "version":
                    f = b"\x05" + f[1:]
                elif a == "wrongtype":
                    f = f[:1] + bytes([int_arg(arg, appc.DATA)]) + f[2:]
                else:
                    f = f[:40] + appc.BLANK_CONVERSATION + f[48:]
                self.link.send_frame(f, step, cpic=cpic)
        else:
            for f in frames:
                self.link.send_frame(f, step, cpic=cpic)
            return None
        return a

    def answer_message(self, step, message, plan, function=None):
        message = altered_container(plan.action, message)
        self.link.log_message("send", step, message, function=function)
        if plan.action == "badhead":
            frames = [self.record(appc.DATA, message[:3])] + self.data_frames(message[3:], plan.split)
        else:
            frames = self.data_frames(message, plan.split)
        return self.answer(step, frames, plan)

    def drain(self, step):
        """After a fault that leaves the conversation undefined: read and log
        whatever comes until the client closes; a Cancel is still answered."""
        while True:
            frame = self.link.next_frame(self.label(step))
            if len(frame) >= 2 and frame[1] == appc.CANCEL:
                self.on_cancel(frame)
            elif len(frame) >= 2 and frame[1] == appc.DEALLOCATE:
                self.deallocates += 1

    def ignore(self, step):
        """`deaf`: reads (and logs) whatever comes, a Cancel included, and
        answers nothing, until the client closes."""
        while True:
            self.link.next_frame(self.label(step))

    def read_record(self, step):
        frame = self.deferred.pop(0) if self.deferred else self.link.next_frame(self.label(step))
        try:
            return parse_record(frame)
        except AppcError as exc:
            self.link.event(step, "check", text=str(exc))
            return None

    def read_message(self, step):
        """(message, None) for a data message, (None, record) for a control
        record.  Header deviations are added to self.message_problems."""
        problems = []
        chunks = []
        while True:
            rec = self.read_record(step)
            if rec is None:
                problems.append("an unreadable APPC record")
                if chunks:
                    continue
                self.message_problems = problems
                return b"", None
            if rec.conversation != self.conv:
                problems.append(f"{rec.name} record carries the conversation id {rec.conversation!r}, "
                                f"expected {self.conv!r}")
            if rec.request == appc.DATA and not chunks:
                expected = (snc_layer.client_snc_data if self.protection else appc.client_data)(rec.conversation)
                appc.note_diff(problems, "Data header", rec.header, expected)
                self.message_problems = problems
                return self.opened(rec.data), None
            if rec.request == appc.CHUNK:
                expected = appc.client_chunk(rec.conversation, len(rec.data))
                appc.note_diff(problems, "Chunk header", rec.header, expected)
                if len(rec.data) > appc.CPIC_PIECE or not rec.data:
                    problems.append(f"a Chunk record carries {len(rec.data)} bytes")
                chunks.append(rec.data)
                continue
            if rec.request == appc.DATA_LAST:
                appc.note_diff(problems, "DataLast header", rec.header, appc.client_data_last(rec.conversation))
                if rec.data:
                    problems.append(f"the DataLast record carries {len(rec.data)} bytes")
                if not chunks:
                    problems.append("a DataLast record without Chunk records")
                self.message_problems = problems
                return self.opened(b"".join(chunks) + rec.data), None
            if chunks:
                problems.append(f"a {rec.name} record between Chunk records")
            self.message_problems = problems
            return None, rec

    # --- the steps ------------------------------------------------------

    def run(self):
        self.link.event("accept", "accepted")
        try:
            self.handshake()
            self.initialize()
            self.allocate()
            if self.snc_requested:
                self.protection = snc_layer.handshake(self)
            self.logon()
            self.serve_calls()
        except CloseNow:
            self.link.event("close", "closing")
            self.link.close()
        except PeerClosed:
            self.link.abort()
        except (Shutdown, NiLengthError):
            self.link.abort()
        except Cancelled:
            # A Cancel during a delayed set-up answer: it has been answered;
            # the conversation is over.
            try:
                self.drain("cancel")
            except (PeerClosed, Shutdown, NiLengthError):
                pass
            self.link.abort()
        except Exception as exc:  # a fault of the simulator itself: log it, keep serving others
            self.link.event("internal", "internal-error", text=f"{type(exc).__name__}: {exc}")
            self.link.abort()
            raise
        finally:
            if self.deallocates > 1:
                self.link.event("closed", "check", text=f"{self.deallocates} Deallocate records in one conversation")
            self.link.event("closed", "closed", deallocates=self.deallocates, calls=self.calls,
                            logged_on=self.session.logged_on)

    def setup_done(self, step, taken):
        if taken is not None:
            self.drain(step)

    def handshake(self):
        frame = self.link.next_frame("handshake", cpic=False)
        problems = []
        host = frame[30:36]
        if len(frame) != 64:
            problems.append(f"routing handshake of {len(frame)} bytes, expected 64")
        else:
            appc.note_diff(problems, "routing handshake", frame, appc.client_handshake(), ignore=[(30, 36)])
            if not host.isalpha():
                problems.append(f"routing handshake host name {host!r} is not six ASCII letters")
        if self.check("handshake", problems):
            self.fail_setup("handshake", problems[0], cpic=False)
        plan = self.plan("handshake")
        if plan.delay:
            self.wait(plan.delay, "handshake")
        reply = bytes([0x02, 0x04]) + frame[2:64].ljust(62, b"\x00")
        self.setup_done("handshake", self.answer("handshake", [reply], plan, cpic=False))

    def initialize(self):
        rec = self.read_record("initialize")
        problems = []
        snc = False
        if rec is None:
            problems.append("unreadable APPC Initialize record")
        elif rec.request != appc.INITIALIZE:
            problems.append(f"expected Initialize, got {rec.name}")
        else:
            snc = rec.header[10] == 0x21
            appc.note_diff(problems, "Initialize header", rec.header, appc.client_initialize(snc), ignore=[(10, 11)])
            if rec.header[10] not in (0x01, 0x21):
                problems.append(f"Initialize header byte 10 is {rec.header[10]:02x}")
            if len(rec.data) != 373:
                problems.append(f"Initialize body of {len(rec.data)} bytes, expected 373")
            else:
                appc.note_diff(problems, "Initialize body", rec.data, appc.client_initialize_body(), ignore=[(249, 251)])
                if not rec.data[249:251].isalpha():
                    problems.append(f"Initialize body user letters {rec.data[249:251]!r}")
        if self.check("initialize", problems):
            self.fail_setup("initialize", problems[0])
        if snc:
            # The context exchange follows Allocate (sim/snc.py).
            self.link.event("initialize", "snc-requested")
            self.snc_requested = True
        conv = self.cfg.get("conversation_id")
        if conv:
            conv = str(conv).encode("ascii")[:8].ljust(8)
        else:
            conv = f"{(self.cfg['conversation_base'] + self.conn_no) % 100000000:08d}".encode("ascii")
        self.session.conversation = conv
        self.link.event("initialize", "conversation", conversation=conv.decode("ascii"))
        plan = self.plan("initialize")
        if plan.delay:
            self.wait(plan.delay, "initialize")
        body = b"QSI simulated gateway".ljust(64, b" ")
        self.setup_done("initialize", self.answer("initialize", [self.record(appc.INITIALIZE, body)], plan))

    def allocate(self):
        problems = []
        partner = self.read_record("allocate")
        if partner is None or partner.request != appc.SET_PARTNER_LU_NAME:
            problems.append(f"expected SetPartnerLuName, got {partner.name if partner else 'an unreadable record'}")
        else:
            appc.note_diff(problems, "SetPartnerLuName header", partner.header, appc.client_set_partner(self.conv))
            appc.note_diff(problems, "SetPartnerLuName body", partner.data, appc.client_set_partner_body())
        alloc = self.read_record("allocate")
        if alloc is None or alloc.request != appc.ALLOCATE:
            problems.append(f"expected Allocate, got {alloc.name if alloc else 'an unreadable record'}")
        else:
            appc.note_diff(problems, "Allocate record", alloc.raw, appc.client_allocate(self.conv))
        if self.check("allocate", problems):
            self.fail_setup("allocate", problems[0])
        plan = self.plan("allocate")
        if plan.delay:
            self.wait(plan.delay, "allocate")
        self.setup_done("allocate", self.answer("allocate", [self.record(appc.ALLOCATE)], plan))

    def logon(self):
        message, control = self.read_message("logon")
        if control is not None:
            self.link.event("logon", "check", text=f"expected the logon, got a {control.name} record")
            if control.request == appc.CANCEL:
                self.on_cancel(control.raw)
            self.drain("logon")
        self.link.log_message("recv", "logon", message)
        problems = list(self.message_problems)
        container, trailer_ok = split_trailer(message)
        if not trailer_ok:
            problems.append("the logon has no valid 8-byte trailer")
        try:
            records, _ = read_records(container)
            had_header = has_header(container)
        except ContainerError as exc:
            records, had_header = [], False
            problems.append(f"the logon container is unreadable: {exc}")
        req = check_logon(records, had_header)
        problems += req.problems
        system = self.cfg["system"]
        header = self.cfg["logon_reply_header"]
        encoding = self.cfg["error_text_encoding"]
        plan = self.plan("logon")
        if plan.delay:
            self.wait(plan.delay, "logon")
        refused = self.logon_refusal(problems, plan, authenticate(req, self.cfg["accounts"]))
        if refused is not None:
            status, text = refused
            self.link.event("logon", "logon-refused", status=status, text=text, user=req.text(Rid.USER),
                            client=req.text(Rid.CLIENT))
            self.answer_message("logon", refuse_reply(system, status, text, encoding, header), plan)
            self.drain("logon")
        self.session.user = req.text(Rid.USER)
        self.session.client = req.text(Rid.CLIENT)
        self.session.language = req.text(Rid.LANGUAGE)
        self.session.logged_on = True
        self.link.event("logon", "logon-ok", user=self.session.user, client=self.session.client,
                        language=self.session.language)
        taken = self.answer_message("logon", accept_reply(system, self.session.user, header), plan)
        self.setup_done("logon", taken)

    def logon_refusal(self, problems, plan, verdict):
        """(status, text) of a refused logon, or None: a deviation under
        strict checks, else a `refuse` fault (used up here), else the
        `verdict` of the credentials."""
        if self.check("logon", problems):
            return STATUS_MALFORMED, "sim: malformed logon: " + "; ".join(problems)
        if plan.action == "refuse":
            plan.action = None
            return int_arg(plan.arg, 0x01), "Name or password is incorrect (repeat logon)"
        return verdict

    def serve_calls(self):
        while True:
            message, control = self.read_message("call")
            if control is not None:
                if control.request == appc.DEALLOCATE:
                    self.deallocates += 1
                    problems = []
                    appc.note_diff(problems, "Deallocate record", control.raw, appc.client_deallocate(self.conv))
                    self.check("deallocate", problems)
                    self.link.event("deallocate", "deallocate", count=self.deallocates)
                elif control.request == appc.CANCEL:
                    self.on_cancel(control.raw)
                else:
                    self.link.event("call", "check", text=f"unexpected {control.name} record")
                continue
            if self.deallocates:
                self.link.event("call", "check", text="a request after Deallocate")
            self.handle_call(message)

    def empty_reply(self, text, message):
        """What a gateway does with a request it cannot take apart: an empty
        data record."""
        self.link.log_message("recv", "call", message)
        self.link.event("call", "check", text=text)
        self.link.send_frame(self.record(appc.DATA), "call")

    def handle_call(self, message):
        self.calls += 1
        records, reason = unpack_request(message)
        if reason is not None:
            return self.empty_reply(reason, message)
        req = parse_request(records)
        name = req.function.strip().upper()
        self.link.log_message("recv", "call", message, function=name)
        req.problems = list(self.message_problems) + req.problems
        plan = self.plan("call", name)
        try:
            if plan.delay:
                self.wait(plan.delay, "call")
            reply_bytes, action = self.run_function(name, req)
        except Cancelled:
            self.link.event("call", "cancelled", function=name)
            return None
        plan.take(action)
        self.answer_message("call", reply_bytes, plan, function=name)
        return None

    def run_function(self, name, req):
        """(reply container, scenario action or None)."""
        encoding = self.cfg["error_text_encoding"]
        document, document_error = self.read_basxml(name, req) if req.basxml else (None, None)
        strict = self.check("call", req.problems)
        try:
            if strict:
                raise AbapError("SIM_BAD_REQUEST", "sim: " + "; ".join(req.problems), "ZSIM", "E", "001")
            if document_error:
                raise AbapError("SIM_BAD_REQUEST", "sim: basXML request: " + document_error, "ZSIM", "E", "002")
            fn = self.server.registry.get(name)
            if fn is None:
                raise AbapError("FUNCTION_NOT_FOUND", f'Function module "{name}" not found', "FL", "E", "046", name)
            ctx = CallContext(self, fn, [r.strip().upper() for r in req.requested])
            if document is not None:
                self.basxml_imports(fn, name, document, ctx)
            for pname, raw in req.imports:
                param = fn.interface.find(pname)
                if param is None or not param.is_input or param.direction == "T":
                    self.link.event("call", "unknown-parameter", function=name, parameter=pname)
                    continue
                ctx.imports[param.name] = decode_import(param, raw)
                ctx.raw[param.name] = raw
            for t in req.tables:
                param = fn.interface.find(t["name"])
                if param is None or param.direction != "T":
                    self.link.event("call", "unknown-parameter", function=name, parameter=t["name"])
                    continue
                ctx.tables[param.name] = t["rows"]
            try:
                reply = fn.handler(ctx)
            except values.ValueProblem as exc:
                # A table row or raw image the scenario cannot read is the
                # caller's data, never a fault of the connection thread.
                raise conversion_error(f"{name}: {exc}") from None
        except AbapError as err:
            self.link.event("call", "abap-error", function=name, key=err.key, text=err.message)
            container = error_container(err, encoding)
            if req.basxml:
                # The error records beside an empty document.
                container = self.basxml_reply(name, read_records(container)[0], [])
            return container, None
        if req.basxml:
            # A document carries every table parameter back, changed or not;
            # on the classic route the client keeps the tables it sent.
            returned = {t.name.upper() for t in reply.tables}
            for tname, rows in ctx.tables.items():
                param = fn.interface.find(tname)
                if tname.upper() not in returned:
                    reply.table(param.name, param.length, rows)
        wanted = set(ctx.requested)
        if wanted:
            reply.exports = [(n, v) for n, v in reply.exports if n.upper() in wanted]
            reply.tables = [t for t in reply.tables if t.name.upper() in wanted]
            reply.nested = [(n, v) for n, v in reply.nested if n.upper() in wanted]
        action = reply.action
        if reply.split and action is None:
            action = ("split", reply.split, "")
        if req.basxml:
            params = basxml.reply_params(fn, self.server.registry.dictionary, reply)
            return self.basxml_reply(name, reply.extra, params), action
        return reply_container(reply, self.cfg["table_compress_above"], self.cfg["table_piece"]), action

    # --- basXML ---------------------------------------------------------

    def read_basxml(self, name, req):
        """(parameter elements, None) of a basXML request, its deviations
        added to req.problems; (None, reason) when it cannot be read."""
        try:
            document, problems = basxml.request_payload(req.basxml_records)
            version, params, more = basxml.read_document(document)
        except basxml.BasxmlProblem as exc:
            return None, str(exc)
        if version != "1.0":
            problems.append(f"document version {version!r}, expected 1.0")
        req.problems += problems + more
        self.link.event("call", "basxml-request", function=name, params=[p.name for p in params],
                        bytes=len(document), document=document)
        return params, None

    def basxml_imports(self, fn, name, params, ctx):
        problems = []

        def unknown(pname):
            self.link.event("call", "unknown-parameter", function=name, parameter=pname)

        try:
            basxml.apply_request(fn, self.server.registry.dictionary, params, ctx, problems, unknown)
        except values.ValueProblem as exc:
            raise conversion_error(str(exc)) from None
        if self.check("call", problems):
            raise AbapError("SIM_BAD_REQUEST", "sim: " + "; ".join(problems), "ZSIM", "E", "001")

    def basxml_reply(self, name, before, params):
        """The reply container around a document of `params`, deflated into
        BasxmlPayload records of the function's `basxml_piece` bytes, or a
        hostile payload when its `basxml_reply` knob says so."""
        over = self.server.registry.overrides(name)
        piece = int(over.get("basxml_piece", self.cfg.get("basxml_piece", 0)))
        knob = over.get("basxml_reply")
        if knob:
            self.link.event("call", "fault", action="basxml_reply", arg=knob)
            payload = basxml.hostile_payload(knob)
            document = b""
        else:
            document = basxml.write_document(params)
            payload = basxml.deflate(document)
        self.link.event("call", "basxml-reply", function=name, params=[p.name for p in params],
                        bytes=len(document), records=-(-len(payload) // piece) if piece > 0 else 1,
                        document=document)
        return basxml.reply_container(payload, piece, before)


class GatewayServer(TcpServer):
    name = "gateway"

    def __init__(self, cfg, log, registry, stopping):
        super().__init__(stopping)
        self.cfg = cfg
        self.log = log
        self.registry = registry

    def serve(self, sock, conn_no):
        GatewayConnection(self, sock, conn_no).run()
