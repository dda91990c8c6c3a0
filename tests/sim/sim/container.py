"""RFC data containers: records of (id, length, value, id), closed by FFFF.

Integers are big-endian.  A value of 65535 bytes or more is written with the
length FF FF followed by a 32-bit length.  A container may start with the
12-byte EBCDIC header; a message on the wire may end with an 8-byte trailer
(the container length and 00 00 85 00).
"""

import struct

EBCDIC_HEADER = bytes.fromhex("D9C6C3F0F0F0F0F0F0F0F0F0")
END_RECORD = bytes.fromhex("FFFF0000FFFF")
TRAILER_TAG = bytes.fromhex("00008500")
RECORD_LIMIT = 100000


class Rid:
    DESTINATION = 0x0006
    CLIENT_ADDRESS = 0x0007
    PARTNER_HOST = 0x0008
    KERNEL = 0x000B
    CONNECTION_TYPE = 0x0011
    KERNEL_RELEASE = 0x0012
    KERNEL_PATCH = 0x0013
    SYSTEM_CODE_PAGE = 0x0016
    PARTNER_SYSTEM = 0x0018
    START = 0x0101
    FUNCTION = 0x0102
    PROTOCOL_VERSION = 0x0103
    CAPABILITIES = 0x0106
    USER = 0x0111
    CLIENT = 0x0114
    LANGUAGE = 0x0115
    PASSWORD = 0x0117
    PROGRAM = 0x0130
    LOGON_STATUS = 0x0161
    PARAMETER_NAME = 0x0201
    PARAMETER_VALUE = 0x0203
    REQUESTED_OUTPUT = 0x0205
    TABLE_NAME = 0x0301
    TABLE_HEADER = 0x0302
    TABLE_CONTENT = 0x0303
    TABLE_COMPRESSED = 0x0304
    TABLE_COMPRESSED_CHUNK = 0x0305
    TABLE_ROW_COUNT = 0x0330
    TABLE_SECTION_BEGIN = 0x0331
    ABAP_EXCEPTION_KEY = 0x0401
    ABAP_ERROR_MESSAGE = 0x0402
    ABAP_T100_TEXT = 0x0404
    ABAP_MESSAGE_V1 = 0x0411
    ABAP_MESSAGE_V2 = 0x0412
    ABAP_MESSAGE_V3 = 0x0413
    ABAP_MESSAGE_V4 = 0x0414
    ABAP_MESSAGE_CLASS = 0x0415
    ABAP_MESSAGE_TYPE = 0x0416
    ABAP_MESSAGE_NUMBER = 0x0417
    SYSTEM_ID = 0x0450
    SYSTEM_NAME = 0x0451
    SYSTEM_NUMBER = 0x0452
    SYSTEM_HOST = 0x0453
    LOGON_FLAG = 0x0501
    REQUEST_HEAD = 0x0502
    REQUEST_MARK = 0x0512
    SESSION_NONCE = 0x0514
    DEEP_SECTION = 0x3C02
    DEEP_CONTENT = 0x3C05
    BASXML_VERSION = 0x4000
    BASXML_PAYLOAD = 0x4002
    BASXML_END = 0x4004
    END = 0xFFFF


class ContainerError(Exception):
    def __init__(self, kind, offset=None, detail=""):
        text = kind if offset is None else f"{kind} at offset {offset}"
        super().__init__(text + (f": {detail}" if detail else ""))
        self.kind = kind
        self.offset = offset


def record(rid, value):
    value = bytes(value)
    if len(value) >= 0xFFFF:
        head = struct.pack(">HHI", rid, 0xFFFF, len(value))
    else:
        head = struct.pack(">HH", rid, len(value))
    return head + value + struct.pack(">H", rid)


class Writer:
    def __init__(self, header=False):
        self._parts = [EBCDIC_HEADER] if header else []

    def add(self, rid, value=b""):
        self._parts.append(record(rid, value))
        return self

    def add_raw(self, data):
        self._parts.append(bytes(data))
        return self

    def finish(self):
        return b"".join(self._parts) + END_RECORD


def with_trailer(container):
    return container + struct.pack(">I", len(container)) + TRAILER_TAG


def split_trailer(message):
    """(container, trailer_ok): a message whose last 8 bytes are a trailer
    that states the length of everything before it."""
    if len(message) >= 8 and message[-4:] == TRAILER_TAG:
        (declared,) = struct.unpack_from(">I", message, len(message) - 8)
        if declared == len(message) - 8:
            return message[:-8], True
    return message, False


def has_header(data):
    return len(data) >= 12 and data[:3] == EBCDIC_HEADER[:3]


def read_records(data, limit=RECORD_LIMIT):
    """Records up to the end record, as (id, value) pairs, plus the offset
    just after the end record.  Raises ContainerError."""
    pos = 12 if has_header(data) else 0
    records = []
    total = len(data)
    while True:
        if pos == total:
            raise ContainerError("missing end", pos)
        if pos + 4 > total:
            raise ContainerError("truncated", pos)
        rid, length = struct.unpack_from(">HH", data, pos)
        start = pos + 4
        if length == 0xFFFF:
            if pos + 8 > total:
                raise ContainerError("truncated", pos)
            (length,) = struct.unpack_from(">I", data, pos + 4)
            start = pos + 8
        end = start + length
        if end + 2 > total:
            raise ContainerError("truncated", pos)
        (closing,) = struct.unpack_from(">H", data, end)
        if closing != rid:
            raise ContainerError("tag mismatch", pos, f"0x{rid:04x} closed with 0x{closing:04x}")
        pos = end + 2
        if rid == Rid.END:
            return records, pos
        records.append((rid, data[start:end]))
        if len(records) >= limit:
            raise ContainerError("too many records", pos)


def err_block(message, origin="sim", code="1"):
    """An "*ERR*" block as a gateway sends it instead of a container."""
    fields = [b"*ERR*", code.encode(), message.encode("utf-8"), b"", origin.encode("utf-8"), b"*ERR*"]
    return b"\x00".join(fields) + b"\x00"


def parse_err_block(data):
    """(message, origin) of an "*ERR*" block, or None."""
    if len(data) < 6 or not data.startswith(b"*ERR*"):
        return None
    fields = [f.decode("utf-8", "replace").strip() for f in data.split(b"\x00")]
    message = fields[2] if len(fields) >= 3 else ""
    origin = next((f for f in reversed(fields) if f and f != "*ERR*"), "")
    return message, origin
