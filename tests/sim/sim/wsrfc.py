"""The WebSocket RFC endpoint of the simulated ABAP system, over TLS.

One thread per connection runs the conversation in order:

  tls         the TLS handshake; a client certificate signed by the
              simulator's throwaway CA is required
  upgrade     the HTTP upgrade request, checked byte for byte against the
              client's template; 101 Switching Protocols back
  logon       one WebSocket message: the WebSocket logon container (no
              EBCDIC header, no trailer, no user or password: the
              certificate's common name is the user); the system's
              attributes back, or a refusal
  session     WebSocket messages (function calls) answered by the registry

Every client frame must be masked; the masking keys of data frames follow
the client's sequence (a 32-bit linear congruential generator from
0x9E3779B9, key = state after each step, most significant byte first) and
a pong is masked with 00 00 00 00.  Replies go out unmasked, one binary
frame per message unless a split fault cuts them into fragments.

The certificates are made at start-up with the openssl command line in a
private temporary directory, removed when the server stops.
"""

import base64
import hashlib
import os
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time

from .container import ContainerError, Rid, has_header, read_records
from .faults import NOISE, altered_container, int_arg, junk, split_points
from .gateway import GatewayConnection, Session, parse_request, unpack_request
from .link import PeerClosed, Shutdown, trickle
from .logon import accept_reply, certificate_account, refuse_reply
from .server_base import SLICE, TcpServer

SUBPROTOCOL = "rfc.sap.com"
ACCEPT_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
MASK_SEED = 0x9E3779B9
HEAD_LIMIT = 65536
DEFAULT_PATH = "/sap/bc/rfc?sap-apc-stateful=true"

OP_CONTINUATION, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0, 1, 2, 8, 9, 10
OPCODE_NAMES = {0: "continuation", 1: "text", 2: "binary", 8: "close", 9: "ping", 10: "pong"}

# The WebSocket logon: (id, name, fixed value or None), then End.
LOGON_RECORDS = [
    (Rid.START, "Start", bytes.fromhex("0301010101010000")),
    (Rid.PROTOCOL_VERSION, "ProtocolVersion", bytes.fromhex("00000e0b")),
    (Rid.CAPABILITIES, "Capabilities", bytes.fromhex("04010003000a0200000023")),
    (Rid.SESSION_NONCE, "SessionNonce", bytes(16)),
    (Rid.CLIENT, "Client", None),
    (0x0163, "0x0163", b""),
    (Rid.LANGUAGE, "Language", None),
    (Rid.LOGON_FLAG, "0x0501", b"\x01"),
    (Rid.REQUEST_HEAD, "0x0502", b""),
    (Rid.FUNCTION, "Function", b"RFCPING"),
]


class CloseNow(Exception):
    """The conversation ends here: close the connection (no close frame)."""


class ClientClosed(Exception):
    """The client sent a close frame."""


# --- certificates -------------------------------------------------------------------------------


class Credentials:
    """A throwaway CA, the server's certificate and one client certificate
    (common name `user`) signed by it.  The client's certificate and key are
    DER (the key PKCS #8), as a WebSocket RFC client reads them."""

    def __init__(self, user, openssl="openssl"):
        self.dir = tempfile.mkdtemp(prefix="abapsim-tls-")
        self._openssl = openssl
        try:
            self.ca_cert = self._path("ca.pem")
            ca_key = self._key("ca.key")
            self._run("req", "-x509", "-new", "-key", ca_key, "-subj", "/CN=abapsim throwaway CA", "-days", "2",
                      "-sha256", "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", self.ca_cert)
            self.server_key = self._key("server.key")
            self.server_cert = self._issue("server", self.server_key, "/CN=localhost",
                                           "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                           "extendedKeyUsage=serverAuth\n", ca_key)
            client_key = self._key("client.key")
            client_pem = self._issue("client", client_key, f"/CN={user}", "extendedKeyUsage=clientAuth\n", ca_key)
            self.client_cert_der = self._path("client.der")
            self._run("x509", "-in", client_pem, "-outform", "DER", "-out", self.client_cert_der)
            self.client_key_der = self._path("client.key.der")
            self._run("pkcs8", "-topk8", "-nocrypt", "-in", client_key, "-outform", "DER", "-out",
                      self.client_key_der)
        except BaseException:
            self.close()
            raise

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _run(self, *args):
        done = subprocess.run([self._openssl, *args], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise OSError(f"openssl {args[0]} failed: {done.stderr.strip()}")

    def _key(self, name):
        path = self._path(name)
        self._run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path)
        return path

    def _issue(self, name, key, subject, extensions, ca_key):
        csr, ext, cert = self._path(name + ".csr"), self._path(name + ".ext"), self._path(name + ".pem")
        with open(ext, "w", encoding="ascii") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n" + extensions)
        self._run("req", "-new", "-key", key, "-subj", subject, "-out", csr)
        serial = {"server": "2", "client": "3"}[name]
        self._run("x509", "-req", "-in", csr, "-CA", self.ca_cert, "-CAkey", ca_key, "-set_serial", serial,
                  "-days", "2", "-sha256", "-extfile", ext, "-out", cert)
        return cert

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


# --- frames -------------------------------------------------------------------------------------


class FrameTooLarge(Exception):
    def __init__(self, declared, limit):
        super().__init__(f"a frame declares {declared} bytes, more than {limit}")
        self.declared = declared
        self.limit = limit


class Frame:
    def __init__(self, fin, rsv, opcode, key, payload, shortest, size):
        self.fin = fin
        self.rsv = rsv
        self.opcode = opcode
        self.key = key  # None when unmasked
        self.payload = payload
        self.shortest = shortest
        self.size = size

    @property
    def name(self):
        return OPCODE_NAMES.get(self.opcode, f"opcode {self.opcode}")


def apply_mask(data, key):
    if not data:
        return b""
    n = len(data)
    pad = (bytes(key) * (n // 4 + 1))[:n]
    return (int.from_bytes(data, "big") ^ int.from_bytes(pad, "big")).to_bytes(n, "big")


def parse_frame(buf, limit):
    """(Frame) or None while incomplete.  Raises FrameTooLarge as soon as
    the length is known."""
    if len(buf) < 2:
        return None
    b0, b1 = buf[0], buf[1]
    length = b1 & 0x7F
    pos = 2
    form = 7
    if length == 126:
        if len(buf) < 4:
            return None
        (length,) = struct.unpack_from(">H", buf, 2)
        pos, form = 4, 16
    elif length == 127:
        if len(buf) < 10:
            return None
        (length,) = struct.unpack_from(">Q", buf, 2)
        pos, form = 10, 64
    if length > limit:
        raise FrameTooLarge(length, limit)
    key = None
    if b1 & 0x80:
        if len(buf) < pos + 4:
            return None
        key = bytes(buf[pos:pos + 4])
        pos += 4
    if len(buf) < pos + length:
        return None
    payload = bytes(buf[pos:pos + length])
    if key is not None:
        payload = apply_mask(payload, key)
    shortest = form == (7 if length <= 125 else 16 if length <= 0xFFFF else 64)
    return Frame(bool(b0 & 0x80), (b0 >> 4) & 7, b0 & 0x0F, key, payload, shortest, pos + length)


def build_frame(opcode, payload=b"", fin=True, key=None):
    head = bytearray([(0x80 if fin else 0) | (opcode & 0x0F)])
    mask_bit = 0x80 if key is not None else 0
    n = len(payload)
    if n <= 125:
        head.append(mask_bit | n)
    elif n <= 0xFFFF:
        head.append(mask_bit | 126)
        head += struct.pack(">H", n)
    else:
        head.append(mask_bit | 127)
        head += struct.pack(">Q", n)
    if key is not None:
        head += key
        payload = apply_mask(payload, key)
    return bytes(head) + bytes(payload)


def mask_keys(seed=MASK_SEED):
    """The client's masking keys, in order."""
    state = seed
    while True:
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        yield state.to_bytes(4, "big")


def accept_value(key):
    return base64.b64encode(hashlib.sha1((key + ACCEPT_GUID).encode("ascii")).digest()).decode("ascii")


# --- the upgrade request ------------------------------------------------------------------------

# (field or None, prefix, suffix): the lines of the client's upgrade request.
UPGRADE_LINES = [
    ("path", "GET ", " HTTP/1.1"),
    ("host", "host: ", ""),
    ("protocol", "sec-websocket-protocol: ", ""),
    (None, "sap-rfc-options: rfc-delta=off", ""),
    ("client", "sap-client: ", ""),
    ("language", "sap-language: ", ""),
    (None, "sap-rfc-subtype: sync", ""),
    (None, "sap-rfcpro-suppvers: 5-5", ""),
    (None, "sap-rfcser-suppvers: 2-3", ""),
    (None, "upgrade: websocket", ""),
    (None, "connection: Upgrade", ""),
    (None, "sec-websocket-version: 13", ""),
    ("key", "sec-websocket-key: ", ""),
]


def check_upgrade(head, port, token):
    """(fields, problems) of an upgrade request head (bytes, without the
    final empty line)."""
    problems = []
    fields = {}
    try:
        text = head.decode("ascii")
    except UnicodeDecodeError:
        return fields, ["the upgrade request is not ASCII"]
    lines = text.split("\r\n")
    if len(lines) != len(UPGRADE_LINES):
        problems.append(f"the upgrade request has {len(lines)} lines, expected {len(UPGRADE_LINES)}")
    for index, (field, prefix, suffix) in enumerate(UPGRADE_LINES):
        line = lines[index] if index < len(lines) else ""
        if field is None:
            if line != prefix:
                problems.append(f"line {index + 1} is {line!r}, expected {prefix!r}")
            continue
        if not line.startswith(prefix) or not line.endswith(suffix) or len(line) < len(prefix) + len(suffix):
            problems.append(f"line {index + 1} is {line!r}, expected {prefix + '...' + suffix!r}")
            continue
        fields[field] = line[len(prefix):len(line) - len(suffix)]
    path = fields.get("path")
    if path is not None and (not path.startswith("/") or " " in path):
        problems.append(f"request path {path!r}")
    host = fields.get("host")
    if host is not None:
        name, _, got_port = host.rpartition(":")
        if not name or got_port != str(port):
            problems.append(f"host {host!r} does not name this endpoint's port {port}")
    if "protocol" in fields and fields["protocol"] != token:
        problems.append(f"sec-websocket-protocol {fields['protocol']!r}, expected {token!r}")
    language = fields.get("language")
    if language is not None and not (1 <= len(language) <= 3 and language == language.upper()):
        problems.append(f"sap-language {language!r} is not the upper-cased first letter of a language")
    if fields.get("client") == "":
        problems.append("sap-client is empty")
    key = fields.get("key")
    if key is not None:
        try:
            nonce = base64.b64decode(key, validate=True)
        except ValueError:
            nonce = b""
        if len(key) != 24 or len(nonce) != 16:
            problems.append(f"sec-websocket-key {key!r} is not the Base64 text of 16 bytes")
    return fields, problems


# --- one connection -----------------------------------------------------------------------------


class WsLink:
    """The TLS stream of one connection: bytes in with a stoppable wait,
    frames and raw bytes out, everything logged."""

    def __init__(self, tls, log, conn_no, stopping, frame_limit):
        self.tls = tls
        self.log = log
        self.conn = conn_no
        self.stopping = stopping
        self.frame_limit = frame_limit
        self.buffer = bytearray()
        self.tls_end = "open"
        self.closed = False

    def event(self, step, event, **fields):
        self.log.write(server="wsrfc", conn=self.conn, dir="event", step=step, event=event, **fields)

    def log_bytes(self, direction, step, kind, data, **extra):
        self.log.write(server="wsrfc", conn=self.conn, dir=direction, step=step, kind=kind, len=len(data),
                       **extra, hex=data)

    def log_message(self, direction, step, message, **extra):
        self.log_bytes(direction, step, "message", message, **extra)

    def fill(self, deadline=None):
        """Reads once; False when the deadline passed first."""
        while True:
            wait = SLICE if deadline is None else max(0.001, min(SLICE, deadline - time.monotonic()))
            self.tls.settimeout(wait)
            try:
                data = self.tls.recv(65536)
            except socket.timeout:
                if self.stopping.is_set():
                    raise Shutdown() from None
                if deadline is not None and time.monotonic() >= deadline:
                    return False
                continue
            except ssl.SSLEOFError:
                self.tls_end = "eof"
                raise PeerClosed() from None
            except ssl.SSLError as exc:
                self.tls_end = "eof" if "UNEXPECTED_EOF" in str(exc) else f"tls error: {exc.reason}"
                raise PeerClosed() from None
            except OSError:
                self.tls_end = "reset"
                raise PeerClosed() from None
            if not data:
                self.tls_end = "close_notify"
                raise PeerClosed()
            self.buffer += data
            return True

    def read_head(self, step):
        """The bytes before the first CR LF CR LF; what follows stays buffered."""
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                head = bytes(self.buffer[:end])
                del self.buffer[:end + 4]
                self.log_bytes("recv", step, "head", head)
                return head
            if len(self.buffer) > HEAD_LIMIT:
                self.event(step, "check", text=f"no end of the upgrade request within {HEAD_LIMIT} bytes")
                raise CloseNow()
            self.fill()

    def next_frame(self, step, deadline=None):
        """The next frame (logged), or None at the deadline."""
        while True:
            try:
                frame = parse_frame(self.buffer, self.frame_limit)
            except FrameTooLarge as exc:
                self.event(step, "hostile-length", declared=exc.declared, limit=exc.limit)
                raise CloseNow() from None
            if frame is not None:
                del self.buffer[:frame.size]
                self.log.write(server="wsrfc", conn=self.conn, dir="recv", step=step, kind="frame",
                               opcode=frame.opcode, fin=frame.fin, masked=frame.key is not None,
                               key=frame.key or b"", len=len(frame.payload), hex=frame.payload)
                return frame
            if not self.fill(deadline):
                return None

    def send_raw(self, data, step, note):
        self.log.write(server="wsrfc", conn=self.conn, dir="send", step=step, kind="raw", note=note,
                       len=len(data), hex=data)
        self._send(data)

    def send_frame(self, opcode, payload, step, fin=True):
        self.log.write(server="wsrfc", conn=self.conn, dir="send", step=step, kind="frame", opcode=opcode,
                       fin=fin, len=len(payload), hex=payload)
        self._send(build_frame(opcode, payload, fin))

    def _send(self, data):
        try:
            self.tls.settimeout(30)
            self.tls.sendall(data)
        except OSError:
            raise PeerClosed() from None

    def close(self, drain=5.0):
        """Closes the TCP connection without a close frame or a TLS close
        alert, after reading what the client still sends."""
        if self.closed:
            return
        self.closed = True
        try:
            self.tls.settimeout(drain)
            socket.socket.shutdown(self.tls, socket.SHUT_WR)
            while self.tls.recv(65536):
                pass
        except (OSError, ValueError):
            pass
        finally:
            self.tls.close()

    def abort(self):
        if not self.closed:
            self.closed = True
            self.tls.close()


class WsConnection:
    """One client connection; shares the gateway's call handling."""

    # The fault plans, checks and call path of the gateway, unchanged: they
    # need `cfg`, `conn_no`, `server.registry`, `session`, `link.event` and
    # `wait` of the connection.
    plan = GatewayConnection.plan
    check = GatewayConnection.check
    logon_refusal = GatewayConnection.logon_refusal
    run_function = GatewayConnection.run_function
    read_basxml = GatewayConnection.read_basxml
    basxml_imports = GatewayConnection.basxml_imports
    basxml_reply = GatewayConnection.basxml_reply

    def __init__(self, server, sock, conn_no):
        self.server = server
        self.cfg = server.cfg
        self.raw = sock
        self.conn_no = conn_no
        self.session = Session(conn_no, self.cfg["system"])
        self.link = None
        self.log = server.log
        self.keys = mask_keys()
        self.upgrade_fields = {}
        self.peer_user = ""
        self.messages = 0
        self.calls = 0
        self.close_frame = False
        self.pending_pings = []

    def event(self, step, event, **fields):
        self.log.write(server="wsrfc", conn=self.conn_no, dir="event", step=step, event=event, **fields)

    def wait(self, seconds, step):
        """Sleeps; bytes the client sends meanwhile stay buffered, and a client
        that goes away ends the wait (PeerClosed)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.link.fill(deadline)

    # --- steps ----------------------------------------------------------

    def run(self):
        self.event("accept", "accepted")
        try:
            self.handshake()
            self.upgrade()
            self.logon()
            self.serve_calls()
        except CloseNow:
            self.event("close", "closing")
            if self.link:
                self.link.close()
        except ClientClosed:
            if self.link:
                self.link.close()
        except (PeerClosed, Shutdown):
            if self.link:
                self.link.abort()
        except Exception as exc:  # a fault of the simulator itself: log it, keep serving others
            self.event("internal", "internal-error", text=f"{type(exc).__name__}: {exc}")
            if self.link:
                self.link.abort()
            raise
        finally:
            if self.link is None:
                self.raw.close()
            self.event("closed", "closed", messages=self.messages, calls=self.calls,
                       logged_on=self.session.logged_on, close_frame=self.close_frame,
                       tls_end=self.link.tls_end if self.link else "none")

    def handshake(self):
        plan = self.plan("tls")
        if plan.action == "silence":
            self.event("tls", "fault", action=plan.action, arg=plan.arg)
            self.ignore_raw()
        self.raw.settimeout(30)
        try:
            tls = self.server.tls_context.wrap_socket(self.raw, server_side=True, suppress_ragged_eofs=False,
                                                      do_handshake_on_connect=False)
            tls.do_handshake()
        except (ssl.SSLError, OSError) as exc:
            self.event("tls", "tls-refused", text=str(exc))
            raise PeerClosed() from None
        self.link = WsLink(tls, self.log, self.conn_no, self.server.stopping, self.cfg["frame_limit"])
        peer = tls.getpeercert() or {}
        names = dict(item[0] for item in peer.get("subject", ()))
        self.peer_user = names.get("commonName", "")
        self.event("tls", "tls", version=tls.version(), cipher=tls.cipher()[0], peer_cn=self.peer_user,
                   sni=getattr(tls, "sim_sni", None) or "")

    def ignore_raw(self):
        """`silence` at `tls`: reads and drops what the client sends, never
        answers, until the client goes away."""
        self.raw.settimeout(SLICE)
        while True:
            try:
                data = self.raw.recv(65536)
            except socket.timeout:
                if self.server.stopping.is_set():
                    raise Shutdown() from None
                continue
            except OSError:
                raise PeerClosed() from None
            if not data:
                raise PeerClosed()

    def trickle_raw(self, data, arg, step):
        """`trickle`: `data` through TLS one byte every ARG seconds."""
        trickle(data, arg, self.server.stopping,
                lambda piece: self.link.send_raw(piece, step, "one byte of a trickled answer"))

    def upgrade(self):
        head = self.link.read_head("upgrade")
        fields, problems = check_upgrade(head, self.server.port, self.server.subprotocol)
        self.upgrade_fields = fields
        key = fields.get("key", "")
        with self.server.lock:
            other = self.server.keys.get(key)
            if key and other is None:
                self.server.keys[key] = self.conn_no
        if other is not None:
            problems.append(f"sec-websocket-key repeats the key of connection {other}")
        if self.check("upgrade", problems):
            self.refuse_upgrade(400, "Bad Request", "sim: malformed upgrade request: " + "; ".join(problems))
        plan = self.plan("handshake")
        if plan.action is not None:
            self.event("upgrade", "fault", action=plan.action, arg=plan.arg)
        if plan.delay:
            self.wait(plan.delay, "upgrade")
        accept = accept_value(key)
        a = plan.action
        if a == "refuse":
            self.refuse_upgrade(int_arg(plan.arg, 403), "Forbidden", "sim: upgrade refused")
        if a == "garbage":
            accept = accept[:-2] + ("A" if accept[-2] != "A" else "B") + accept[-1]
        response = ("HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\nconnection: Upgrade\r\n"
                    f"sec-websocket-accept: {accept}\r\nsec-websocket-protocol: {self.server.subprotocol}\r\n\r\n"
                    ).encode("ascii")
        if a == "close":
            raise CloseNow()
        if a == "silence":
            self.drain("upgrade")
        if a == "hugelen":
            size = int_arg(plan.arg, 70000)
            self.link.send_raw(b"HTTP/1.1 101 Switching Protocols\r\nx-filler: " + b"x" * size, "upgrade",
                               "a head without an end")
            self.drain("upgrade")
        if a == "midclose":
            self.link.send_raw(response[:int_arg(plan.arg, len(response) // 2)], "upgrade", "first part of the answer")
            raise CloseNow()
        if a == "noise":
            self.link.send_raw(NOISE, "upgrade", "no upgrade")
            self.drain("upgrade")
        if a == "trickle":
            self.trickle_raw(response, plan.arg, "upgrade")
        else:
            points = split_points(plan.split, len(response)) or [0, len(response)]
            for lo, hi in zip(points, points[1:]):
                self.link.send_raw(response[lo:hi], "upgrade", "upgrade response")
        self.event("upgrade", "upgrade-ok", path=fields.get("path", ""), host=fields.get("host", ""),
                   client=fields.get("client", ""), language=fields.get("language", ""), key=key)

    def refuse_upgrade(self, status, reason, text):
        body = text.encode("utf-8")
        self.link.send_raw(f"HTTP/1.1 {status} {reason}\r\ncontent-type: text/plain\r\ncontent-length: {len(body)}"
                           "\r\n\r\n".encode("ascii") + body, "upgrade", "refusal")
        raise CloseNow()

    # --- messages -------------------------------------------------------

    def read_message(self, step, deadline=None):
        """(message bytes, problems) of the next data message; pings are
        answered, pongs checked, a close frame ends the conversation.  None
        at the deadline."""
        problems = []
        parts = []
        opcode = None
        while True:
            frame = self.link.next_frame(step, deadline)
            if frame is None:
                return None
            if frame.key is None:
                problems.append(f"an unmasked {frame.name} frame")
            if frame.rsv:
                problems.append(f"a {frame.name} frame with reserved bits {frame.rsv:03b}")
            if not frame.shortest:
                problems.append(f"a {frame.name} frame of {len(frame.payload)} bytes without the shortest length form")
            if frame.opcode == OP_CLOSE:
                self.close_frame = True
                self.event(step, "close-frame", hex=frame.payload)
                raise ClientClosed()
            if frame.opcode == OP_PING:
                self.link.send_frame(OP_PONG, frame.payload, step)
                continue
            if frame.opcode == OP_PONG:
                expected = self.pending_pings.pop(0) if self.pending_pings else None
                pong_problems = []
                if frame.key not in (None, bytes(4)):
                    pong_problems.append(f"a pong masked with {frame.key.hex()}, expected 00000000")
                if expected is None:
                    pong_problems.append("a pong without a ping")
                elif frame.payload != expected:
                    pong_problems.append(f"a pong carrying {frame.payload.hex()}, expected {expected.hex()}")
                self.check(step, pong_problems)
                self.event(step, "pong", hex=frame.payload)
                continue
            if frame.opcode not in (OP_CONTINUATION, OP_TEXT, OP_BINARY):
                problems.append(f"a frame of {frame.name}")
                continue
            expected_key = next(self.keys)
            if frame.key is not None and frame.key != expected_key:
                problems.append(f"a {frame.name} frame masked with {frame.key.hex()}, expected {expected_key.hex()}")
            if frame.opcode == OP_CONTINUATION and opcode is None:
                problems.append("a continuation frame without a start frame")
            elif frame.opcode != OP_CONTINUATION:
                if opcode is not None:
                    problems.append("a new data frame inside a fragmented message")
                opcode = frame.opcode
                if frame.opcode != OP_BINARY:
                    problems.append(f"a {frame.name} message, expected binary")
            if not frame.fin:
                problems.append("a message in several fragments")
            parts.append(frame.payload)
            if frame.fin:
                message = b"".join(parts)
                self.messages += 1
                return message, problems

    def send_message(self, step, message, plan, function=None):
        """Sends a message, or what the plan's action puts in its place."""
        a, arg = plan.action, plan.arg
        message = altered_container(a, message)
        if a is not None:
            self.event(step, "fault", action=a, arg=arg)
        if a == "control":
            opcode = int_arg(arg, OP_CLOSE)
            payload = struct.pack(">H", 1000) + b"sim closes" if opcode == OP_CLOSE else b"sim"
            self.link.send_frame(opcode, payload, step)
            if opcode == OP_PING:
                self.pending_pings.append(payload)
            if opcode == OP_CLOSE:
                self.drain(step)
        elif a == "err":
            self.link.send_frame(OP_CLOSE, struct.pack(">H", 1011) + (arg or "sim: gateway failure").encode(), step)
            raise CloseNow()
        elif a == "close":
            raise CloseNow()
        elif a == "silence":
            return a
        elif a == "empty":
            self.link.log_message("send", step, b"", function=function)
            self.link.send_frame(OP_BINARY, b"", step)
            return a
        elif a == "garbage":
            data = junk(int_arg(arg, 16))
            self.link.log_message("send", step, data, function=function)
            self.link.send_frame(OP_BINARY, data, step)
            return a
        elif a == "hugelen":
            declared = int_arg(arg, 0x8000001)
            self.link.send_raw(bytes([0x82, 127]) + struct.pack(">Q", declared), step, "hostile WebSocket length")
            return a
        elif a == "noise":
            self.link.send_raw(NOISE, step, "not a WebSocket frame")
            return a
        self.link.log_message("send", step, message, function=function)
        opcode = int_arg(arg, OP_TEXT) if a == "wrongtype" else OP_BINARY
        points = split_points(plan.split, len(message)) or [0, len(message)]
        frames = []
        for index, (lo, hi) in enumerate(zip(points, points[1:])):
            last = index == len(points) - 2
            frames.append((opcode if index == 0 else OP_CONTINUATION, message[lo:hi], last))
        if a == "midclose":
            wire = b"".join(build_frame(op, data, fin) for op, data, fin in frames)
            self.link.send_raw(wire[:int_arg(arg, len(wire) // 2)], step, "first part of the answer")
            raise CloseNow()
        if a == "trickle":
            self.trickle_raw(b"".join(build_frame(op, data, fin) for op, data, fin in frames), arg, step)
            return None
        for op, data, fin in frames:
            self.link.send_frame(op, data, step, fin=fin)
        return None

    def drain(self, step):
        """After a fault or a refusal: read (and log) until the client goes."""
        while True:
            self.read_message(step)

    # --- logon and calls ------------------------------------------------

    def logon(self):
        message, problems = self.read_message("logon")
        self.link.log_message("recv", "logon", message)
        client_header = self.upgrade_fields.get("client", "")
        language_header = self.upgrade_fields.get("language", "")
        fields = {}
        if has_header(message):
            problems.append("the WebSocket logon starts with an EBCDIC header")
        try:
            records, end = read_records(message)
        except ContainerError as exc:
            records, end = [], len(message)
            problems.append(f"the logon container is unreadable: {exc}")
        if end != len(message):
            problems.append(f"{len(message) - end} bytes follow the End record")
        for index, (rid, name, fixed) in enumerate(LOGON_RECORDS):
            if index >= len(records):
                problems.append(f"record {index + 1} ({name}) is missing")
                continue
            got, value = records[index]
            if got != rid:
                problems.append(f"record {index + 1} is 0x{got:04x}, expected {name} (0x{rid:04x})")
                continue
            fields[rid] = bytes(value)
            if fixed is not None and value != fixed:
                problems.append(f"record {index + 1} ({name}) holds {bytes(value).hex()}, expected {fixed.hex()}")
        if len(records) > len(LOGON_RECORDS):
            problems.append(f"{len(records) - len(LOGON_RECORDS)} records after Function")
        client = fields.get(Rid.CLIENT, b"").decode("utf-8", "replace")
        language = fields.get(Rid.LANGUAGE, b"").decode("utf-8", "replace")
        if Rid.CLIENT in fields and client != client_header:
            problems.append(f"Client {client!r} differs from sap-client {client_header!r}")
        if Rid.LANGUAGE in fields and language != language_header:
            problems.append(f"Language {language!r} differs from sap-language {language_header!r}")

        system = self.cfg["system"]
        header = self.cfg["logon_reply_header"]
        plan = self.plan("logon")
        if plan.delay:
            self.wait(plan.delay, "logon")
        account, verdict = certificate_account(self.cfg["accounts"], client, self.peer_user)
        refused = self.logon_refusal(problems, plan, verdict)
        if refused is not None:
            status, text = refused
            self.event("logon", "logon-refused", status=status, text=text, user=self.peer_user, client=client)
            self.send_message("logon", refuse_reply(system, status, text, self.cfg["error_text_encoding"], header),
                              plan)
            self.drain("logon")
        self.session.user = account["user"]
        self.session.client = client
        self.session.language = language
        self.session.logged_on = True
        self.event("logon", "logon-ok", user=self.session.user, client=client, language=language)
        if self.send_message("logon", accept_reply(system, self.session.user, header), plan) is not None:
            self.drain("logon")

    def serve_calls(self):
        while True:
            message, problems = self.read_message("call")
            self.handle_call(message, problems)

    def handle_call(self, message, problems):
        self.calls += 1
        records, reason = unpack_request(message)
        if reason is not None:
            # What a gateway does with a request it cannot take apart.
            self.link.log_message("recv", "call", message)
            self.event("call", "check", text=reason)
            self.link.send_frame(OP_BINARY, b"", "call")
            return
        req = parse_request(records)
        name = req.function.strip().upper()
        self.link.log_message("recv", "call", message, function=name)
        req.problems = problems + req.problems
        plan = self.plan("call", name)
        if plan.delay:
            self.wait(plan.delay, "call")
        reply, action = self.run_function(name, req)
        plan.take(action)
        # Whatever replaced the reply, the next request is served as usual.
        self.send_message("call", reply, plan, function=name)


class WsRfcServer(TcpServer):
    """The WebSocket RFC endpoint: TLS with a required client certificate."""

    name = "wsrfc"

    def __init__(self, cfg, log, registry, stopping):
        self.cfg = cfg
        self.log = log
        self.registry = registry
        options = cfg.get("wsrfc") or {}
        self.subprotocol = options.get("subprotocol", SUBPROTOCOL)
        user = cfg["accounts"][0]["user"]
        self.credentials = Credentials(user)
        try:
            self.tls_context = self._context(options)
            super().__init__(stopping)
        except BaseException:
            self.credentials.close()
            raise
        self.keys = {}
        self.lock = threading.Lock()

    def _context(self, options):
        versions = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = versions[str(options.get("tls_min", "1.2"))]
        ctx.maximum_version = versions[str(options.get("tls_max", "1.3"))]
        ctx.load_cert_chain(self.credentials.server_cert, self.credentials.server_key)
        ctx.load_verify_locations(self.credentials.ca_cert)
        ctx.verify_mode = ssl.CERT_REQUIRED
        # A TCP end without a TLS close alert is told apart from one with it.
        ctx.options &= ~getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)

        def remember_name(tls, name, _ctx):
            tls.sim_sni = name
        ctx.sni_callback = remember_name
        return ctx

    @property
    def client_cert(self):
        return self.credentials.client_cert_der

    @property
    def client_key(self):
        return self.credentials.client_key_der

    def serve(self, sock, conn_no):
        WsConnection(self, sock, conn_no).run()

    def stop(self, grace=3.0):
        super().stop(grace)
        self.credentials.close()
