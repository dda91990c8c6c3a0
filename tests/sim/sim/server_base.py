"""What every simulated server does around its conversations: a listening
socket on the loopback address, one thread that accepts connections and one
thread per connection that serves it, and a stop that waits for them.

Accepts wait in short slices so that a stopping simulator notices.
"""

import socket
import threading
import time

LISTEN_HOST = "127.0.0.1"
SLICE = 0.2


def listen(port=0, host=LISTEN_HOST):
    """A listening TCP socket on host:port (port 0: one the system picks).
    Raises OSError when the port cannot be bound."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # Reuses ports left in TIME_WAIT by earlier runs; a port another
    # simulator listens on still refuses the bind.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind((host, port))
    except OSError:
        s.close()
        raise
    s.listen(64)
    s.settimeout(SLICE)
    return s


class TcpServer:
    """A server on one listening socket: each accepted connection is counted
    (1-based) and handed to `serve(sock, conn_no)` on a thread of its own,
    named "{name}-{conn_no}"."""

    name = "server"
    # Accepted sockets send small answers at once.
    nodelay = True

    def __init__(self, stopping):
        self.stopping = stopping
        self.listener = listen()
        self.port = self.listener.getsockname()[1]
        self.count = 0
        self.threads = []
        self._acceptors = []

    def serve(self, sock, conn_no):
        raise NotImplementedError

    def start(self):
        self.accept_on(self.listener, self.name, self._accepted)

    def accept_on(self, listener, name, handle):
        """Calls `handle(sock)` for every connection `listener` accepts, on a
        thread named `name`, until the simulator stops or the listener closes."""
        t = threading.Thread(target=self._accept_loop, args=(listener, handle), name=name, daemon=True)
        self._acceptors.append(t)
        t.start()

    def _accept_loop(self, listener, handle):
        while not self.stopping.is_set():
            try:
                sock, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            handle(sock)

    def _accepted(self, sock):
        if self.nodelay:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.count += 1
        self.spawn(self.serve, f"{self.name}-{self.count}", sock, self.count)

    def spawn(self, target, name, *args):
        """Runs target(*args) on a thread that stop() waits for."""
        t = threading.Thread(target=target, args=args, name=name, daemon=True)
        self.threads.append(t)
        t.start()

    def close_listeners(self):
        self.listener.close()

    def stop(self, grace=3.0):
        """Stops accepting and gives the connection threads `grace` seconds
        to end (they notice the stop within a slice of their reads)."""
        self.close_listeners()
        for t in self._acceptors:
            t.join(1.0)
        deadline = time.monotonic() + grace
        for t in list(self.threads):
            t.join(max(0.0, deadline - time.monotonic()))
