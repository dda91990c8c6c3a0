"""SNC on the simulated gateway: the SNC frames that carry GSS-API tokens
and wrapped messages inside CPIC data records, the client's SNC header
templates, and the acceptor side of the context exchange with Kerberos
(python3-gssapi, credentials from a keytab).

With SNC the conversation runs as usual up to Allocate (the Initialize
header carries 0x21 at byte 10); then the client sends InitiatorToken
frames, the first one announcing the exported partner name, and the
gateway answers with AcceptorToken frames until its context is complete.
From then on every non-empty data message of the client is a Wrapped frame
(followed by the 8-byte message trailer), and every reply record is one.

Frame layout (big-endian):

    0   8  "SNCFRAME"
    8   1  kind: 02 InitiatorToken, 04 AcceptorToken, 09 Wrapped
    9   1  06
    10  2  0x0096 with a partner announcement, else 0x0018
    12  4  token length T
    16  4  49 (the banner's length), 0 for Wrapped
    20  2  0x0003
    22  2  0x007A AcceptorToken, 0x0000 Wrapped, 0x007E otherwise
    with an announcement of A bytes: u32 1, u16 A + 2, u16 3, the A bytes
    the T token bytes, then (not for Wrapped) the 49-byte banner
"""

import struct

from . import appc, faults
from .container import split_trailer, with_trailer

# Faults may name the context exchange: "snc" is the gateway's answer to an
# InitiatorToken frame (close=snc, garbage=snc, delay=snc:0.5, ...).
faults.STEPS.add("snc")

MAGIC = b"SNCFRAME"
BANNER = b"Internal SNC-Adapter (Rev 1.1) to CommonCryptoLib"
INITIATOR_TOKEN = 0x02
ACCEPTOR_TOKEN = 0x04
WRAPPED = 0x09
KIND_NAMES = {INITIATOR_TOKEN: "InitiatorToken", ACCEPTOR_TOKEN: "AcceptorToken", WRAPPED: "Wrapped"}
WITH_ANNOUNCEMENT = 0x0096
WITHOUT_ANNOUNCEMENT = 0x0018
TAGS = {ACCEPTOR_TOKEN: 0x007A, WRAPPED: 0x0000}
INITIATOR_TAG = 0x007E
# Plain bytes per reply record, so that a wrapped record stays within
# the 28000 data bytes of a CPIC record (Kerberos adds about 60 bytes, the
# frame 24 and the trailer 8).
WRAP_ALLOWANCE = 256
# Rounds of the context exchange before the gateway gives up.
MAX_ROUNDS = 8

H = bytes.fromhex


def kind_name(kind):
    return KIND_NAMES.get(kind, f"Unknown({kind})")


class SncFrameError(Exception):
    pass


class Frame:
    __slots__ = ("kind", "token", "announcement", "problems")

    def __init__(self, kind, token, announcement, problems):
        self.kind = kind
        self.token = token
        self.announcement = announcement
        self.problems = problems


def write_frame(kind, token, announcement=None):
    head = MAGIC + bytes([kind, 0x06])
    head += struct.pack(">H", WITH_ANNOUNCEMENT if announcement is not None else WITHOUT_ANNOUNCEMENT)
    head += struct.pack(">II", len(token), 0 if kind == WRAPPED else len(BANNER))
    head += struct.pack(">HH", 0x0003, TAGS.get(kind, INITIATOR_TAG))
    if announcement is not None:
        head += struct.pack(">IHH", 1, len(announcement) + 2, 0x0003) + bytes(announcement)
    return head + bytes(token) + (b"" if kind == WRAPPED else BANNER)


def parse_frame(data):
    """The frame's parts; every deviation from the client's layout is in
    `problems`.  Raises SncFrameError when there is no frame to read."""
    data = bytes(data)
    if len(data) < 24 or data[:8] != MAGIC:
        raise SncFrameError("record does not begin with SNCFRAME")
    kind = data[8]
    problems = []
    if data[9] != 0x06:
        problems.append(f"SNC frame byte 9 is {data[9]:02x}, expected 06")
    marker, length, banner_len, field20, tag = struct.unpack_from(">HIIHH", data, 10)
    start = 24
    announcement = None
    if marker == WITH_ANNOUNCEMENT:
        if len(data) < 32:
            raise SncFrameError("SNC frame too short for its partner announcement")
        one, ann_len, three = struct.unpack_from(">IHH", data, 24)
        if one != 1 or three != 3 or ann_len < 2:
            problems.append(f"announcement head {data[24:32].hex()}")
        start = 30 + ann_len
        announcement = data[32:start]
        if len(data) < start:
            raise SncFrameError("SNC frame shorter than its partner announcement")
    elif marker != WITHOUT_ANNOUNCEMENT:
        problems.append(f"SNC frame bytes 10..11 are {marker:04x}")
    if len(data) - start < length:
        raise SncFrameError(f"SNC frame declares {length} token bytes but only {len(data) - start} are present")
    token = data[start:start + length]
    rest = data[start + length:]
    expected_banner = b"" if kind == WRAPPED else BANNER
    if banner_len != len(expected_banner):
        problems.append(f"SNC frame bytes 16..19 are {banner_len}, expected {len(expected_banner)}")
    if rest != expected_banner:
        problems.append(f"{len(rest)} bytes after the token, expected the {len(expected_banner)}-byte banner")
    if field20 != 0x0003:
        problems.append(f"SNC frame bytes 20..21 are {field20:04x}")
    if tag != TAGS.get(kind, INITIATOR_TAG):
        problems.append(f"SNC frame bytes 22..23 are {tag:04x} for {kind_name(kind)}")
    return Frame(kind, token, announcement, problems)


# --- the client's header templates ---------------------------------------

def client_snc_data(conv):
    return appc._template([(0, H("06CB0200FFFF0000")), (10, H("08")), (13, H("01")), (16, H("01FFFFFFFF02")),
                           (25, H("01")), (27, H("08")), (30, H("050C")), (50, H("85")), (55, H("02")),
                           (58, H("0526")), (63, H("01")), (69, b"4103"), (79, H("03"))], conv)


def client_snc_handshake(conv):
    return appc._template([(0, H("06CB0200FFFF0000")), (10, H("28")), (27, H("08")), (30, H("050C")),
                           (50, H("85")), (76, H("FFFF0003"))], conv)


# --- Kerberos ------------------------------------------------------------

class SncUnavailable(Exception):
    """The acceptor cannot be set up (no python3-gssapi, no keytab, ...)."""


class Acceptor:
    """One context exchange as the acceptor, as `service` ("name@host",
    host-based) with the keys of `keytab`."""

    def __init__(self, keytab, service):
        try:
            import gssapi
        except ImportError as exc:
            raise SncUnavailable(f"python3-gssapi is not installed: {exc}") from None
        self._gssapi = gssapi
        try:
            name = gssapi.Name(service, gssapi.NameType.hostbased_service)
            creds = gssapi.Credentials(name=name, usage="accept", store={"keytab": keytab})
            self.ctx = gssapi.SecurityContext(creds=creds, usage="accept")
        except gssapi.exceptions.GSSError as exc:
            raise SncUnavailable(f"no acceptor credentials for {service} in {keytab}: {exc}") from None

    @property
    def error_type(self):
        return self._gssapi.exceptions.GSSError

    @property
    def complete(self):
        return self.ctx.complete

    def step(self, token):
        return self.ctx.step(token)

    def initiator(self):
        return str(self.ctx.initiator_name)

    def flags(self):
        return int(self.ctx.actual_flags)

    def wrap(self, plain):
        return self.ctx.wrap(bytes(plain), True).message

    def unwrap(self, wrapped):
        return self.ctx.unwrap(bytes(wrapped)).message


class Protection:
    """An established context on a gateway connection: wraps the gateway's
    reply records and unwraps the client's data messages."""

    def __init__(self, acceptor):
        self.acceptor = acceptor

    def seal(self, piece):
        """The data of one reply record: the wrapped piece as a Wrapped
        frame with its trailer."""
        return with_trailer(write_frame(WRAPPED, self.acceptor.wrap(piece)))

    def open(self, message):
        """(plain message, problems) of a client's data message."""
        if not message:
            return message, []
        frame_bytes, trailer_ok = split_trailer(message)
        problems = [] if trailer_ok else ["a wrapped message without a valid 8-byte trailer"]
        try:
            frame = parse_frame(frame_bytes)
        except SncFrameError as exc:
            return b"", problems + [f"SNC: {exc}"]
        problems += frame.problems
        if frame.kind != WRAPPED:
            return b"", problems + [f"expected a Wrapped frame, got {kind_name(frame.kind)}"]
        if frame.announcement is not None:
            problems.append("a Wrapped frame with a partner announcement")
        try:
            return self.acceptor.unwrap(frame.token), problems
        except self.acceptor.error_type as exc:
            return b"", problems + [f"gss_unwrap failed: {exc}"]


def exported_name_text(exported):
    """The text of an exported GSS-API name, or None when it does not import
    (or python3-gssapi is missing)."""
    try:
        import gssapi
    except ImportError:
        return None
    try:
        return str(gssapi.Name(bytes(exported), gssapi.NameType.export))
    except (gssapi.exceptions.GSSError, ValueError, TypeError):
        return None


def handshake(conn):
    """The context exchange on a gateway connection after Allocate; returns
    the Protection of the established context.  Failures end the set-up
    with an "*ERR*" block (conn.fail_setup); a fault planned for the step
    "snc" replaces the answer to an InitiatorToken frame."""
    step = "snc"
    settings = conn.cfg.get("snc")
    acceptor = None
    for round_no in range(1, MAX_ROUNDS + 1):
        rec = conn.read_record(step)
        problems = []
        if rec is None:
            conn.fail_setup(step, "an unreadable record during the SNC handshake")
        if rec.request != appc.DATA:
            conn.fail_setup(step, f"expected a Data record with an SNC frame, got {rec.name}")
        appc.note_diff(problems, "SNC handshake header", rec.header, client_snc_handshake(conn.conv))
        frame_bytes, trailer_ok = split_trailer(rec.data)
        if not trailer_ok:
            problems.append("an SNC handshake frame without a valid 8-byte trailer")
        try:
            frame = parse_frame(frame_bytes)
        except SncFrameError as exc:
            conn.fail_setup(step, f"SNC: {exc}")
        problems += frame.problems
        if frame.kind != INITIATOR_TOKEN:
            problems.append(f"expected an InitiatorToken frame, got {kind_name(frame.kind)}")
        if round_no == 1:
            if frame.announcement is None:
                problems.append("the first SNC frame carries no partner announcement")
            else:
                name = exported_name_text(frame.announcement)
                conn.link.event(step, "snc-announcement", name=name or "", hex=frame.announcement)
        elif frame.announcement is not None:
            problems.append(f"SNC frame {round_no} carries a partner announcement")
        if conn.check(step, problems):
            conn.fail_setup(step, problems[0])
        plan = conn.plan(step)
        if plan.delay:
            conn.wait(plan.delay, step)
        if plan.action not in (None, "split", "delay"):
            conn.setup_done(step, conn.answer(step, [], plan))
        if not settings:
            conn.fail_setup(step, "SNC is not configured: start the simulator with --snc KEYTAB SERVICE")
        if acceptor is None:
            try:
                acceptor = Acceptor(settings["keytab"], settings["service"])
            except SncUnavailable as exc:
                conn.fail_setup(step, f"SNC: {exc}")
        try:
            token = acceptor.step(frame.token)
        except acceptor.error_type as exc:
            conn.link.event(step, "snc-refused", text=str(exc))
            conn.fail_setup(step, f"SNC: gss_accept_sec_context failed: {exc}")
        if token:
            reply = conn.record(appc.DATA, with_trailer(write_frame(ACCEPTOR_TOKEN, token)))
            conn.setup_done(step, conn.answer(step, [reply], plan))
        if acceptor.complete:
            conn.link.event(step, "snc-established", initiator=acceptor.initiator(), flags=acceptor.flags(),
                            rounds=round_no)
            return Protection(acceptor)
    conn.fail_setup(step, f"the SNC context did not establish within {MAX_ROUNDS} rounds")
    return None
