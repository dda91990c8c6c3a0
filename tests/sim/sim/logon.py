"""The logon container: checking it, descrambling the password, answering.

The client sends one container with the EBCDIC header: fixed records, the
identity (client, user, scrambled password, language), its addresses and
host, and a ping of RFCPING.  The scrambled password is the 32-bit seed
(little-endian) followed by the password bytes, each XORed with a byte of a
fixed key table and a value that depends on its position and the seed.
"""

import ipaddress
import struct

from . import values
from .container import Rid, Writer

KEY_TABLE = bytes.fromhex(
    "1f2e3d4c5b6a79880a0b0c0d0e0f10213243546576879809a1b2c3d4e5f60718293a4b5c6d7e8f90a0b0c0d0e0f010213243546576879800a1b2c3d4e5f60719"
)
MAX_PASSWORD = 40

STATUS_BAD_CREDENTIALS = 0x01
STATUS_BAD_CLIENT = 0x02
STATUS_MALFORMED = 0x03


def _start(seed):
    seed &= 0xFFFFFFFF
    return (((seed >> 5) ^ (seed << 1) ^ seed) & 0xFFFFFFFF) % 64


def _t(i, seed):
    return (i * (seed * i - 1)) & 0xFF


def scramble(password, seed):
    """The Password record value of a password (bytes) and a seed."""
    s = _start(seed)
    out = bytearray(struct.pack("<I", seed & 0xFFFFFFFF))
    for i, byte in enumerate(password):
        out.append(byte ^ KEY_TABLE[(s + i) % 64] ^ _t(i, seed))
    return bytes(out)


def descramble(value):
    """(password bytes, seed) of a Password record value."""
    if len(value) < 4:
        raise ValueError(f"a scrambled password needs 4 seed bytes, got {len(value)}")
    (seed,) = struct.unpack_from("<I", value, 0)
    s = _start(seed)
    password = bytes(b ^ KEY_TABLE[(s + i) % 64] ^ _t(i, seed) for i, b in enumerate(value[4:]))
    return password, seed


# The records of the logon container, in order: (id, name, fixed value or None).
LOGON_RECORDS = [
    (Rid.START, "Start", bytes.fromhex("0301010101010000")),
    (Rid.PROTOCOL_VERSION, "ProtocolVersion", bytes.fromhex("00000E0B")),
    (Rid.CAPABILITIES, "Capabilities", bytes.fromhex("0401000300 0A02000000 23".replace(" ", ""))),
    (Rid.SESSION_NONCE, "SessionNonce", None),
    (Rid.CLIENT, "Client", None),
    (Rid.USER, "User", None),
    (Rid.PASSWORD, "Password", None),
    (Rid.LANGUAGE, "Language", None),
    (Rid.LOGON_FLAG, "0x0501", b"\x01"),
    (Rid.CLIENT_ADDRESS, "ClientAddress", None),
    (Rid.PARTNER_SYSTEM, "PartnerSystem", None),
    (Rid.CONNECTION_TYPE, "ConnectionType", b"E"),
    (Rid.KERNEL_RELEASE, "KernelRelease", b"753"),
    (Rid.KERNEL_PATCH, "KernelPatch", b"753"),
    (Rid.PARTNER_HOST, "PartnerHost", None),
    (Rid.DESTINATION, "Destination", b"<unknown>"),
    (Rid.PROGRAM, "Program", None),
    (Rid.REQUEST_HEAD, "0x0502", b""),
    (Rid.KERNEL, "Kernel", b"753"),
    (Rid.FUNCTION, "Function", b"RFCPING"),
]


class LogonRequest:
    def __init__(self):
        self.fields = {}
        self.problems = []
        self.password = None
        self.seed = None

    def text(self, rid):
        return self.fields.get(rid, b"").decode("utf-8", "replace")


def check_logon(records, had_header):
    """Reads the logon records; every deviation from the client's logon is
    listed in `problems`."""
    req = LogonRequest()
    if not had_header:
        req.problems.append("the logon container has no EBCDIC header")
    for index, (rid, name, fixed) in enumerate(LOGON_RECORDS):
        if index >= len(records):
            req.problems.append(f"record {index + 1} ({name}) is missing")
            continue
        got_id, value = records[index]
        if got_id != rid:
            req.problems.append(f"record {index + 1} is 0x{got_id:04x}, expected {name} (0x{rid:04x})")
            continue
        req.fields[rid] = bytes(value)
        if fixed is not None and value != fixed:
            req.problems.append(f"record {index + 1} ({name}) holds {bytes(value).hex()}, expected {fixed.hex()}")
    if len(records) > len(LOGON_RECORDS):
        req.problems.append(f"{len(records) - len(LOGON_RECORDS)} records after Function")
    nonce = req.fields.get(Rid.SESSION_NONCE)
    if nonce is not None and len(nonce) != 16:
        req.problems.append(f"SessionNonce holds {len(nonce)} bytes, expected 16")
    scrambled = req.fields.get(Rid.PASSWORD)
    if scrambled is not None:
        try:
            req.password, req.seed = descramble(scrambled)
        except ValueError as exc:
            req.problems.append(str(exc))
        else:
            if nonce is not None and len(nonce) >= 4 and struct.unpack_from("<I", nonce, 0)[0] != req.seed:
                req.problems.append("the password seed is not the low 32 bits of the SessionNonce")
            if len(req.password) > MAX_PASSWORD or any(b < 0x20 or b > 0x7E for b in req.password):
                req.problems.append("the descrambled password is not 0..40 printable ASCII bytes")
    language = req.fields.get(Rid.LANGUAGE)
    if language is not None and not language:
        req.problems.append("Language is empty")
    for rid, kind in ((Rid.CLIENT_ADDRESS, ipaddress.IPv4Address), (Rid.PARTNER_SYSTEM, ipaddress.IPv6Address)):
        value = req.fields.get(rid)
        if value is None:
            continue
        try:
            kind(value.decode("ascii"))
        except (UnicodeDecodeError, ValueError):
            req.problems.append(f"record 0x{rid:04x} holds {value!r}, not an {kind.__name__[:4]} address")
    return req


def authenticate(req, accounts):
    """None when the identity matches an account, else (status, text).
    User names compare without case, passwords and clients exactly."""
    client = req.text(Rid.CLIENT)
    user = req.text(Rid.USER)
    if not any(a["client"] == client for a in accounts):
        return STATUS_BAD_CLIENT, f"Client {client} is not available in this system"
    for a in accounts:
        if a["client"] == client and a["user"].upper() == user.upper() and req.password == a["password"].encode("utf-8"):
            return None
    return STATUS_BAD_CREDENTIALS, "Name or password is incorrect (repeat logon)"


def certificate_account(accounts, client, user):
    """(account, None) for the account of `client` whose user is `user`, the
    common name of the client's certificate (compared without case); else
    (None, (status, text))."""
    of_client = [a for a in accounts if a["client"] == client]
    account = next((a for a in of_client if a["user"].upper() == user.upper()), None)
    if not of_client:
        return None, (STATUS_BAD_CLIENT, f"Client {client} is not available in this system")
    if account is None:
        return None, (STATUS_BAD_CREDENTIALS, f"No user is mapped to the certificate CN={user}")
    return account, None


def _attribute_records(w, system):
    w.add(Rid.KERNEL_RELEASE, system["kernel_release"].encode("ascii"))
    w.add(Rid.SYSTEM_ID, values.utf16(system["system_id"].ljust(8)))
    w.add(Rid.SYSTEM_NAME, values.utf16(system["system_name"]))
    w.add(Rid.SYSTEM_NUMBER, values.utf16(system["system_number"]))
    w.add(Rid.SYSTEM_HOST, values.utf16(system["system_host"].ljust(32)))
    w.add(Rid.SYSTEM_CODE_PAGE, system["code_page"].encode("ascii"))


def accept_reply(system, user, header=True):
    """The answer to a successful logon: the system's attributes (identity
    texts in UTF-16LE, padded with blanks; release and code page in ASCII)
    and records a client ignores."""
    w = Writer(header=header)
    w.add(Rid.REQUEST_HEAD)
    _attribute_records(w, system)
    w.add(Rid.USER, values.utf16(user))
    w.add(0x0667, bytes.fromhex("00010203"))
    return w.finish()


def refuse_reply(system, status, text, encoding="utf-16le", header=True):
    w = Writer(header=header)
    _attribute_records(w, system)
    w.add(Rid.LOGON_STATUS, bytes([status]))
    w.add(Rid.ABAP_ERROR_MESSAGE, text.encode("utf-8") if encoding == "utf-8" else values.utf16(text))
    w.add(Rid.ABAP_EXCEPTION_KEY, values.utf16("RFC_ERROR_LOGON_FAILURE"))
    return w.finish()
