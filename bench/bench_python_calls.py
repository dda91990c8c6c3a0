#!/usr/bin/python3
"""Calls per second from Python over loopback, with p50 and p99 latency,
beside the anchor measured in the same run against the same simulated
ABAP system: a raw socket that replays, byte for byte, the frames the
binding sent for the same call and reads the same number of reply frames.
The difference is what the binding costs per call (Python arguments in,
request encoding, reply decoding, Python result out, the interpreter-lock
hand-offs); the simulator's own time is in both.

    /usr/bin/python3 bench/bench_python_calls.py [calls]
    (lomra installed, or QUIB_BUILD_DIR=build/<dir> pointing at a CMake
    build configured with -DQUIB_PYTHON=ON; a Release build gives the
    meaningful figures)
"""

import datetime
import pathlib
import socket
import struct
import sys
import time
from decimal import Decimal

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))
import find_lomra  # noqa: E402

SETUP_STEPS = ("handshake", "initialize", "allocate", "logon")
# One fixed conversation id for every connection, so that recorded frames
# replay unchanged on a connection of their own.
CONVERSATION = "12345678"

WORKLOADS = {
    "STFC_CONNECTION": {"REQUTEXT": "benchmark"},
    "Z_SIM_ECHO": {
        "I_CHAR": "Grüße", "I_NUMC": "00000042", "I_DATS": datetime.date(2024, 5, 17),
        "I_TIMS": datetime.time(12, 30, 5), "I_PACKED": Decimal("1234.5"), "I_FLOAT": 2.75, "I_INT1": 7,
        "I_INT2": -7, "I_INT4": -42, "I_INT8": 2**40, "I_RAW": b"\x01\x02", "I_STRING": "free text",
        "I_XSTRING": b"\xca\xfe", "I_DF16": Decimal("1.5"), "I_DF34": Decimal("3.14159265358979323846"),
        "I_UTCLONG": "2024-05-17 10:00:00.1234567", "I_PACKED0": 9,
    },
}


def import_lomra():
    try:
        return find_lomra.load()
    except find_lomra.LomraMissing as exc:
        sys.exit(f"{exc}: install lomra, or set QUIB_BUILD_DIR to a CMake build configured with -DQUIB_PYTHON=ON")


def latencies(f, calls):
    """The time of each of `calls` runs of f(), in nanoseconds."""
    out = []
    for _ in range(calls):
        t0 = time.perf_counter_ns()
        f()
        out.append(time.perf_counter_ns() - t0)
    return out


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(p / 100 * len(sorted_values)))]


def summary(latencies_ns):
    s = sorted(latencies_ns)
    total = sum(s) / 1e9
    return len(s) / total, percentile(s, 50) / 1e3, percentile(s, 99) / 1e3


def frames_of(sim, conn):
    """(direction, step, payload) of every NI frame of one gateway
    connection, in order; direction "c2s" or "s2c"."""
    out = []
    for e in sim.entries(kind="frame", server="gateway", conn=conn):
        direction = "c2s" if e["dir"] == "recv" else "s2c"
        out.append((direction, e["step"], bytes.fromhex(e["hex"])))
    return out


def exchanges(frames):
    """The call frames cut into request/reply exchanges."""
    groups = []
    for direction, step, payload in frames:
        if step != "call":
            continue
        if direction == "c2s" and (not groups or groups[-1][1]):
            groups.append(([], []))
        if groups:
            groups[-1][0 if direction == "c2s" else 1].append(payload)
    return groups


class RawReplay:
    def __init__(self, port, setup):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for direction, _, payload in setup:
            if direction == "c2s":
                self.send([payload])
            else:
                self.read(1)

    def send(self, payloads):
        self.sock.sendall(b"".join(struct.pack(">I", len(p)) + p for p in payloads))

    def _exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise ConnectionError("the simulator closed the replay connection")
            buf += chunk
        return bytes(buf)

    def read(self, count):
        for _ in range(count):
            (length,) = struct.unpack(">I", self._exact(4))
            self._exact(length)

    def call(self, request, reply_frames):
        self.send(request)
        self.read(reply_frames)

    def close(self):
        self.sock.close()


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    warmup = max(50, calls // 20)
    lomra = import_lomra()
    from simctl import Sim

    config = {"conversation_id": CONVERSATION, "log_hex_limit": 1 << 20}
    with Sim(config=config) as sim:
        params = {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER", "passwd": "secret"}
        print(f"{calls} calls per workload over loopback to the simulated ABAP system "
              f"(a Python server: its own time is in both columns)")
        print(f"{'workload':16} {'':8} {'calls/s':>9} {'p50 us':>9} {'p99 us':>9}")
        for name, args in WORKLOADS.items():
            conn = lomra.Connection(params, {})
            conn_no = sim.events("logon-ok")[-1]["conn"]
            conn.function_description(name)
            for _ in range(warmup):
                conn.call(name, args, {})
            # The frames of the last warm-up call, and the set-up of the connection.
            recorded = frames_of(sim, conn_no)
            request, reply = exchanges(recorded)[-1]
            setup = [f for f in recorded if f[1] in SETUP_STEPS]

            ours = latencies(lambda: conn.call(name, args, {}), calls)
            conn.close()

            raw = RawReplay(sim.gateway, setup)
            for _ in range(warmup):
                raw.call(request, len(reply))
            anchor = latencies(lambda: raw.call(request, len(reply)), calls)
            raw.close()

            o, a = summary(ours), summary(anchor)
            print(f"{name:16} {'lomra':8} {o[0]:9.0f} {o[1]:9.1f} {o[2]:9.1f}")
            print(f"{'':16} {'raw':8} {a[0]:9.0f} {a[1]:9.1f} {a[2]:9.1f}")
            print(f"{'':16} {'ratio':8} {a[0] / o[0]:9.2f} {o[1] / a[1]:9.2f} {o[2] / a[2]:9.2f}"
                  "   (raw/lomra throughput; lomra/raw latency)")
        if sim.checks():
            print("simulator deviations:", sim.checks()[:3])


if __name__ == "__main__":
    main()
