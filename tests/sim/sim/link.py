"""One TCP connection of a simulated server: NI frames in and out, every
frame logged, and a clean way to stop.

Reads wait in short slices so that a stopping simulator notices; once it is
stopping, whatever the peer has already sent is still read and logged before
the connection is given up.
"""

import select
import socket
import time

from . import appc
from .faults import NOISE, TRICKLE_INTERVAL, float_arg, int_arg, junk
from .ni import FrameReader, NiLengthError, ni_frame, ni_length_header

SLICE = 0.2


class PeerClosed(Exception):
    pass


class Shutdown(Exception):
    pass


def trickle(data, arg, stopping, send):
    """Sends `data` through send(piece) one byte at a time, ARG seconds
    (default TRICKLE_INTERVAL) before each byte; a stopping simulator ends
    it (Shutdown)."""
    interval = float_arg(arg, TRICKLE_INTERVAL)
    for i in range(len(data)):
        if stopping.wait(interval):
            raise Shutdown()
        send(data[i:i + 1])


def serve_link(link, conversation, *args):
    """Runs conversation(link, *args) between the `accepted` and `closed`
    events.  A peer that goes away, a stopping simulator or a hostile length
    ends it quietly; a fault of the simulator itself is logged
    (`internal-error`) and ends only this connection, never hangs its peer."""
    link.event("accept", "accepted")
    try:
        conversation(link, *args)
    except (PeerClosed, Shutdown, NiLengthError):
        link.abort()
    except Exception as exc:
        link.event("error", "internal-error", text=repr(exc))
        link.abort()
    finally:
        link.event("closed", "closed")


class Link:
    def __init__(self, sock, log, server, conn_no, stopping, frame_limit):
        self.sock = sock
        self.log = log
        self.server = server
        self.conn = conn_no
        self.stopping = stopping
        self.reader = FrameReader(frame_limit)
        self.queue = []
        self.closed = False
        self.received_bytes = 0

    # --- logging --------------------------------------------------------

    def event(self, step, event, **fields):
        self.log.write(server=self.server, conn=self.conn, dir="event", step=step, event=event, **fields)

    def _log_frame(self, direction, step, payload, cpic, **extra):
        fields = {}
        if cpic and len(payload) >= 2:
            fields["appc"] = appc.request_name(payload[1])
            fields["data_len"] = max(0, len(payload) - appc.HEADER_SIZE)
        self.log.write(server=self.server, conn=self.conn, dir=direction, step=step, kind="frame",
                       len=len(payload), **fields, **extra, hex=payload)

    def log_message(self, direction, step, message, **extra):
        self.log.write(server=self.server, conn=self.conn, dir=direction, step=step, kind="message",
                       len=len(message), **extra, hex=message)

    # --- receiving ------------------------------------------------------

    def _fill(self, deadline):
        """Reads once from the socket.  False when the deadline passed."""
        while True:
            wait = SLICE
            if deadline is not None:
                wait = min(wait, max(0.0, deadline - time.monotonic()))
            readable, _, _ = select.select([self.sock], [], [], wait)
            if readable:
                try:
                    data = self.sock.recv(65536)
                except (ConnectionResetError, OSError):
                    data = b""
                if not data:
                    raise PeerClosed()
                self.received_bytes += len(data)
                self.reader.push(data)
                return True
            if self.stopping.is_set():
                raise Shutdown()
            if deadline is not None and time.monotonic() >= deadline:
                return False

    def next_frame(self, step, cpic=True, deadline=None):
        """The next NI payload (logged with `step`), or None at the deadline.
        Raises PeerClosed, Shutdown or NiLengthError."""
        if self.queue:
            return self.queue.pop(0)
        while True:
            try:
                frame = self.reader.next_frame()
            except NiLengthError as exc:
                self.event("frame" if callable(step) else step, "hostile-length", declared=exc.declared, limit=exc.limit)
                raise
            if frame is not None:
                self._log_frame("recv", step(frame) if callable(step) else step, frame, cpic)
                return frame
            if not self._fill(deadline):
                return None

    def push_back(self, frame):
        self.queue.insert(0, frame)

    # --- sending --------------------------------------------------------

    def send_frame(self, payload, step, cpic=True, **extra):
        self._log_frame("send", step, payload, cpic, **extra)
        self._send(ni_frame(payload))

    def send_raw(self, data, step, note):
        self.log.write(server=self.server, conn=self.conn, dir="send", step=step, kind="raw", note=note,
                       len=len(data), hex=data)
        self._send(data)

    def _send(self, data):
        try:
            self.sock.sendall(data)
        except OSError:
            raise PeerClosed() from None

    # --- answers that faults put in place of the normal one ------------

    def send_cut(self, frames, arg, step):
        """`midclose`: the first ARG bytes (default half) of `frames` as NI frames."""
        wire = b"".join(ni_frame(f) for f in frames)
        self.send_raw(wire[: int_arg(arg, len(wire) // 2)], step, "first part of the answer")

    def send_junk(self, arg, step):
        """`garbage`: an NI frame of ARG junk bytes (default 16)."""
        self.send_frame(junk(int_arg(arg, 16)), step, cpic=False)

    def send_noise(self, step):
        """`noise`: bytes that are no NI frame."""
        self.send_raw(NOISE, step, "not an NI frame")

    def send_trickle(self, frames, arg, step):
        """`trickle`: the NI frames of the answer, one byte every ARG seconds."""
        trickle(b"".join(ni_frame(f) for f in frames), arg, self.stopping,
                lambda piece: self.send_raw(piece, step, "one byte of a trickled answer"))

    def send_hugelen(self, arg, step):
        """`hugelen`: an NI length field of ARG (default 0xFFFFFFF0) and nothing more."""
        self.send_raw(ni_length_header(int_arg(arg, 0xFFFFFFF0)), step, "hostile NI length")

    # --- closing --------------------------------------------------------

    def close(self, step="close", drain=5.0):
        """Closes our side and reads (and logs) what the peer still sends
        until it closes too, so that the peer sees an orderly end of stream."""
        if self.closed:
            return
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        deadline = time.monotonic() + drain
        try:
            while time.monotonic() < deadline:
                frame = self.next_frame(step, deadline=deadline)
                if frame is None:
                    break
        except (PeerClosed, Shutdown, NiLengthError):
            pass
        finally:
            self.sock.close()

    def abort(self):
        if not self.closed:
            self.closed = True
            self.sock.close()
