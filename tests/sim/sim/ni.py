"""NI framing: a 4-byte big-endian payload length, then the payload."""

import struct

# The largest payload the simulator accepts from a peer.  Requests of the
# client never come close; anything larger is a hostile or broken peer.
DEFAULT_LIMIT = 64 << 20


class NiLengthError(Exception):
    def __init__(self, declared, limit):
        super().__init__(f"NI frame declares {declared} bytes, limit {limit}")
        self.declared = declared
        self.limit = limit


def ni_frame(payload):
    return struct.pack(">I", len(payload)) + bytes(payload)


def ni_length_header(length):
    """Only the length field: used to send hostile lengths."""
    return struct.pack(">I", length & 0xFFFFFFFF)


class FrameReader:
    """Cuts NI frames out of a byte stream pushed in arbitrary pieces."""

    def __init__(self, limit=DEFAULT_LIMIT):
        self._buf = bytearray()
        self.limit = limit

    def push(self, data):
        self._buf += data

    def pending(self):
        return len(self._buf)

    def take_pending(self):
        data = bytes(self._buf)
        self._buf.clear()
        return data

    def next_frame(self):
        """The next complete payload, or None.  The length is checked against
        the limit as soon as its four bytes are there, before any payload."""
        if len(self._buf) < 4:
            return None
        (length,) = struct.unpack_from(">I", self._buf, 0)
        if length > self.limit:
            raise NiLengthError(length, self.limit)
        if len(self._buf) < 4 + length:
            return None
        payload = bytes(self._buf[4 : 4 + length])
        del self._buf[: 4 + length]
        return payload
