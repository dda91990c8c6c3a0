"""APPC headers of the CPIC records that travel inside NI frames.

A record is an 80-byte header and its data.  Byte 0 is the protocol version
(6), byte 1 the request type, bytes 40..47 the conversation id.  This module
holds the client's header templates (so that the simulator can check every
received header byte for byte) and the headers the simulator sends itself.
"""

import struct

HEADER_SIZE = 80
VERSION = 0x06

INITIALIZE = 0x01
ALLOCATE = 0x05
CHUNK = 0x08
DATA_LAST = 0x09
DEALLOCATE = 0x0B
SET_PARTNER_LU_NAME = 0x0F
DATA = 0xCB
CANCEL = 0xD5
CANCELED = 0xD6

REQUEST_NAMES = {
    INITIALIZE: "Initialize",
    ALLOCATE: "Allocate",
    CHUNK: "Chunk",
    DATA_LAST: "DataLast",
    DEALLOCATE: "Deallocate",
    SET_PARTNER_LU_NAME: "SetPartnerLuName",
    DATA: "Data",
    CANCEL: "Cancel",
    CANCELED: "Canceled",
}

BLANK_CONVERSATION = b" " * 8
CPIC_PIECE = 28000


def request_name(req):
    return REQUEST_NAMES.get(req, f"Unknown(0x{req:02x})")


class AppcError(Exception):
    pass


class Record:
    __slots__ = ("raw", "version", "request", "conversation", "header", "data")

    def __init__(self, raw):
        if len(raw) < HEADER_SIZE:
            raise AppcError(f"APPC record of {len(raw)} bytes is shorter than the 80-byte header")
        self.raw = raw
        self.header = raw[:HEADER_SIZE]
        self.data = raw[HEADER_SIZE:]
        self.version = raw[0]
        self.request = raw[1]
        self.conversation = raw[40:48]

    @property
    def name(self):
        return request_name(self.request)


def parse_record(raw):
    record = Record(bytes(raw))
    if record.version != VERSION:
        raise AppcError(f"APPC protocol version 0x{record.version:02x}, expected 0x06")
    return record


def _template(pairs, conversation=BLANK_CONVERSATION):
    header = bytearray(HEADER_SIZE)
    for offset, value in pairs:
        header[offset : offset + len(value)] = value
    header[40:48] = conversation
    return bytes(header)


H = bytes.fromhex

# The client's templates: every byte not listed is zero; 40..47 carry the
# conversation id.  Used to check received headers exactly.


def client_data(conv):
    return _template([(0, H("06CB0200FFFF0000")), (27, H("08")), (30, H("050C")), (76, H("FFFF0003"))], conv)


def client_chunk(conv, length):
    return _template([(0, H("06080200FFFF0000")), (48, struct.pack(">I", length)), (76, H("FFFF0008"))], conv)


def client_data_last(conv):
    return _template([(0, H("06090200FFFF0000")), (30, H("01")), (48, H("00006D60")), (76, H("FFFF0008"))], conv)


def client_deallocate(conv):
    return _template([(0, H("060B0200FFFF0000")), (76, H("FFFF0003"))], conv)


def client_cancel(conv):
    return _template([(0, H("06D50200FFFF0000")), (16, H("08")), (30, H("01")), (76, H("FFFF000A"))], conv)


def client_initialize(snc=False):
    return _template(
        [
            (0, H("06010200FFFF0000")),
            (10, bytes([0x21 if snc else 0x01])),
            (16, H("C0")),
            (21, H("04")),
            (26, H("0175")),
            (30, H("05")),
            (48, b"NWRFC   localhossapdp00 "),
            (72, H("490100000000FFFF")),
        ]
    )


def client_initialize_body(user_letters=None):
    body = bytearray(373)
    body[0:32] = b"NWRFC" + b" " * 27
    body[32:34] = H("0101")
    body[34:38] = b"CPIC"
    body[42:74] = b"6A7ADCFE6A7ADCFE6A7ADCFF6A7ADCFF"
    body[77] = 0x01
    body[78:86] = H("FFFFFFFEFFFFFFFE")
    body[86] = 0x02
    body[105:114] = b"localhost"
    body[249:261] = (user_letters or b"??") + b" " * 10
    body[309:316] = b"sapdp00"
    return bytes(body)


def client_set_partner(conv):
    return _template(
        [
            (0, H("060F0200FFFF0000")),
            (10, H("01")),
            (27, H("90")),
            (30, H("04")),
            (48, b"localhos"),
            (59, H("09")),
            (76, H("FFFF0003")),
        ],
        conv,
    )


def client_set_partner_body():
    return b"localhost".ljust(128, b" ") + bytes(16)


def client_allocate(conv):
    return _template([(0, H("06050200FFFF0000")), (30, H("01")), (76, H("FFFF0003"))], conv)


def client_handshake(host6=None):
    packet = bytearray(64)
    packet[0] = 0x02
    packet[1] = 0x03
    packet[2:6] = H("7F000001")
    packet[10:20] = b"nwrfc_stf\x00"
    packet[20:24] = b"1100"
    packet[29] = 0x06
    packet[30:38] = (host6 or b"??????") + b"  "
    packet[38:46] = b"nwrfc_st"
    packet[46:54] = b" " * 8
    packet[54:56] = H("06CB")
    packet[56:58] = H("FFFF")
    return bytes(packet)


def diff_bytes(got, expected, ignore=()):
    """Offsets at which two byte strings differ, except those in `ignore`."""
    skip = set()
    for start, end in ignore:
        skip.update(range(start, end))
    offsets = [i for i in range(max(len(got), len(expected))) if i not in skip and (i >= len(got) or i >= len(expected) or got[i] != expected[i])]
    return offsets


def describe_diff(got, expected, ignore=()):
    offsets = diff_bytes(got, expected, ignore)
    if not offsets:
        return None
    if len(got) != len(expected):
        return f"{len(got)} bytes, expected {len(expected)}"
    shown = ", ".join(f"{o}: {got[o]:02x} (expected {expected[o]:02x})" for o in offsets[:8])
    more = "" if len(offsets) <= 8 else f" and {len(offsets) - 8} more"
    return f"bytes differ at {shown}{more}"


def note_diff(problems, what, got, expected, ignore=()):
    """Adds "{what}: {how the bytes differ}" to `problems` when `got` is not
    `expected` (offsets in `ignore` aside)."""
    diff = describe_diff(got, expected, ignore)
    if diff:
        problems.append(f"{what}: {diff}")


# Headers the simulator sends.  Readers look at bytes 0, 1 and 40..47 only,
# so every other byte is filled with a fixed pattern that a reader must not
# interpret; bytes 48..51 carry the data length for the curious.

_JUNK = bytes(((i * 37 + 11) & 0xFF) for i in range(HEADER_SIZE))


def server_header(request, conversation, data_length=0, junk=True, version=VERSION):
    header = bytearray(_JUNK if junk else bytes(HEADER_SIZE))
    header[0] = version
    header[1] = request
    header[40:48] = conversation
    header[48:52] = struct.pack(">I", data_length & 0xFFFFFFFF)
    return bytes(header)


def server_record(request, conversation, data=b"", junk=True, version=VERSION):
    return server_header(request, conversation, len(data), junk, version) + bytes(data)


def is_blank_conversation(conv):
    return all((b & 0xDF) == 0 for b in conv)
