#!/usr/bin/python3
"""A small call's round trip over loopback against a canned-reply peer,
beside a raw socket that replays the same request bytes to the same peer,
measured in the same run.

The peer is a small C program (compiled at run time with the system's C
compiler): it serves a conversation recorded from the simulated ABAP system
(the set-up answers, then the reply of one call, again for every request),
reading the NI frames that arrive and writing the recorded ones without
looking at them. The simulator's own cost is thus out of both columns; what
remains is loopback, the peer's few system calls, and on our side the whole
call path: the Python arguments, the encoding, the NI transport, the reply's
reassembly and decoding, and the Python result.

Anchors, both on their own connection to the same peer:
  - raw C: the recorded request frame written and the reply frames read by
    the same C program, timed there (the cost of the bytes alone);
  - raw Python: the same from Python with a plain socket (the cost of the
    bytes plus Python's per-call overhead of sendall and recv).
The same call is also recorded with the simulated system offering basXML
for the function: a second peer serves that conversation, and a second
Connection makes the call as a basXML document (written, deflated, sent;
the reply inflated and parsed). Its anchor is the classic call of this
run: the price of the document route for a small call.

The four take turns in rounds of a block of calls each, and the whole
run (this process, the peers, the replays) stays on one CPU: where client
and peer land on two, each answer costs a cross-CPU wake-up, which on a
virtual machine is tens of microseconds and varies with the scheduler's
placement from one run to the next. Goals: ours ÷ raw at most 1.15
(printed against both anchors); basXML ÷ classic at most 1.2.

    QUIB_BUILD_DIR=build/<dir> /usr/bin/python3 bench/bench_call_roundtrip.py [calls]
    (lomra installed, or QUIB_BUILD_DIR naming a build configured with
    -DQUIB_PYTHON=ON; a Release build gives the meaningful figures)
"""

import os
import pathlib
import socket
import struct
import subprocess
import sys
import tempfile

import bench_python_calls as recorded

ROOT = pathlib.Path(__file__).resolve().parents[1]
GOAL = 1.15
BASXML_GOAL = 1.2
FUNCTION = "STFC_CONNECTION"
ARGS = {"REQUTEXT": "round trip"}
CALLS_RECORDED = 3
ROUNDS = 10

PEER = r'''
/* canned_peer SCRIPT serve     -- prints the port, serves until killed
   canned_peer SCRIPT replay PORT CALLS -- replays the client side, prints
                                           one latency in ns per call

   SCRIPT: u32 steps, then per step: u32 frames the client sends, u32 frames
   the server answers, then the client's frames and the server's frames,
   each a u32 length and the payload. The last step is the call, repeated. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

typedef struct { uint32_t in, out; unsigned char *cbytes, *sbytes; size_t clen, slen; } Step;

static Step *steps;
static uint32_t nsteps;

static uint32_t be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static unsigned char *frames(unsigned char **p, uint32_t n, size_t *len) {
  unsigned char *start = *p;
  for (uint32_t i = 0; i < n; ++i) *p += 4 + be32(*p);
  *len = (size_t)(*p - start);
  return start;
}

static void load(const char *path) {
  FILE *f = fopen(path, "rb");
  if (!f) { perror(path); exit(2); }
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char *data = malloc((size_t)size);
  if (fread(data, 1, (size_t)size, f) != (size_t)size) { perror("read"); exit(2); }
  fclose(f);
  unsigned char *p = data;
  nsteps = be32(p);
  p += 4;
  steps = calloc(nsteps, sizeof *steps);
  for (uint32_t i = 0; i < nsteps; ++i) {
    steps[i].in = be32(p);
    steps[i].out = be32(p + 4);
    p += 8;
    steps[i].cbytes = frames(&p, steps[i].in, &steps[i].clen);
    steps[i].sbytes = frames(&p, steps[i].out, &steps[i].slen);
  }
}

static int read_n(int fd, unsigned char *buf, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, buf, n, 0);
    if (r <= 0) return 0;
    buf += r;
    n -= (size_t)r;
  }
  return 1;
}

static unsigned char scratch[1 << 20];

/* Reads n NI frames and drops them. */
static int read_frames(int fd, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    unsigned char len[4];
    if (!read_n(fd, len, 4)) return 0;
    uint32_t left = be32(len);
    while (left > 0) {
      uint32_t chunk = left < sizeof scratch ? left : sizeof scratch;
      if (!read_n(fd, scratch, chunk)) return 0;
      left -= chunk;
    }
  }
  return 1;
}

static int write_all(int fd, const unsigned char *p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return 0;
    p += w;
    n -= (size_t)w;
  }
  return 1;
}

static void serve_one(int fd) {
  for (uint32_t i = 0;; i = i + 1 < nsteps ? i + 1 : nsteps - 1) {
    if (!read_frames(fd, steps[i].in) || !write_all(fd, steps[i].sbytes, steps[i].slen)) break;
  }
  close(fd);
}

static int nodelay(int fd) {
  int one = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  load(argv[1]);
  signal(SIGCHLD, SIG_IGN);
  if (strcmp(argv[2], "serve") == 0) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr *)&a, sizeof a) || listen(s, 8)) { perror("listen"); return 1; }
    socklen_t al = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &al);
    printf("%d\n", ntohs(a.sin_port));
    fflush(stdout);
    for (;;) {
      int c = accept(s, NULL, NULL);
      if (c < 0) continue;
      nodelay(c);
      if (fork() == 0) {
        close(s);
        serve_one(c);
        _exit(0);
      }
      close(c);
    }
  }
  if (strcmp(argv[2], "replay") == 0 && argc == 5) {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)atoi(argv[3]));
    if (connect(c, (struct sockaddr *)&a, sizeof a)) { perror("connect"); return 1; }
    nodelay(c);
    long calls = atol(argv[4]);
    for (uint32_t i = 0; i + 1 < nsteps; ++i)
      if (!write_all(c, steps[i].cbytes, steps[i].clen) || !read_frames(c, steps[i].out)) return 1;
    const Step *call = &steps[nsteps - 1];
    for (long k = 0; k < calls; ++k) {
      struct timespec t0, t1;
      clock_gettime(CLOCK_MONOTONIC, &t0);
      if (!write_all(c, call->cbytes, call->clen) || !read_frames(c, call->out)) return 1;
      clock_gettime(CLOCK_MONOTONIC, &t1);
      printf("%lld\n", (long long)(t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec));
    }
    close(c);
    return 0;
  }
  return 2;
}
'''


def framed(payloads):
    return b"".join(struct.pack(">I", len(p)) + p for p in payloads)


def script(setup, request, reply):
    """The peer's script: each run of client frames and the server frames
    that answer it, then the call."""
    steps = []
    for direction, _, payload in setup:
        if direction == "c2s" and (not steps or steps[-1][1]):
            steps.append(([], []))
        steps[-1][0 if direction == "c2s" else 1].append(payload)
    steps.append((request, reply))
    out = struct.pack(">I", len(steps))
    for c2s, s2c in steps:
        out += struct.pack(">II", len(c2s), len(s2c)) + framed(c2s) + framed(s2c)
    return out


def stats(latencies_ns):
    s = sorted(latencies_ns)
    return sum(s) / len(s) / 1e3, s[len(s) // 2] / 1e3, s[min(len(s) - 1, len(s) * 99 // 100)] / 1e3


def record(lomra, tmp, tag, functions):
    """The conversation of CALLS_RECORDED calls, recorded from the simulator
    offering `functions`, as the peer's script: the set-up, the description
    lookups of the first call, then the call. Descriptions are cached per
    destination, so the peer (another port) is asked for the description
    again and answers it from the recording. Returns the script's path,
    the set-up frames, the request and the reply."""
    from simctl import Sim

    config = {"conversation_id": recorded.CONVERSATION, "log_hex_limit": 1 << 20, "functions": functions}
    with Sim(config=config) as sim:
        params = {"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER", "passwd": "secret"}
        conn = lomra.Connection(params, {})
        conn_no = sim.events("logon-ok")[-1]["conn"]
        for _ in range(CALLS_RECORDED):
            conn.call(FUNCTION, ARGS, {})
        frames = recorded.frames_of(sim, conn_no)
        conn.close()
    exchanges = recorded.exchanges(frames)
    request, reply = exchanges[-1]
    setup = [f for f in frames if f[1] in recorded.SETUP_STEPS]
    for lookup_request, lookup_reply in exchanges[:-CALLS_RECORDED]:
        setup += [("c2s", "call", p) for p in lookup_request] + [("s2c", "call", p) for p in lookup_reply]
    path = tmp / f"script-{tag}"
    path.write_bytes(script(setup, request, reply))
    return path, setup, request, reply


def serve(peer, path):
    """The canned peer serving `path`, and its port."""
    server = subprocess.Popen([str(peer), str(path), "serve"], stdout=subprocess.PIPE, text=True)
    return server, int(server.stdout.readline())


def connect(lomra, port):
    return lomra.Connection({"ashost": "127.0.0.1", "port": str(port), "user": "TESTER", "passwd": "secret"}, {})


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    warmup = max(100, calls // 20)
    cpu = max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})  # inherited by every process started below
    lomra = recorded.import_lomra()

    with tempfile.TemporaryDirectory(prefix="canned-") as tmp:
        tmp = pathlib.Path(tmp)
        peer = tmp / "canned_peer"
        (tmp / "canned_peer.c").write_text(PEER)
        subprocess.run(["cc", "-O2", "-o", str(peer), str(tmp / "canned_peer.c")], check=True)

        script_path, setup, request, reply = record(lomra, tmp, "classic", {})
        basxml_path, _, basxml_request, basxml_reply = record(
            lomra, tmp, "basxml", {FUNCTION: {"basxml": "X"}})

        servers = []
        try:
            server, port = serve(peer, script_path)
            servers.append(server)
            server, basxml_port = serve(peer, basxml_path)
            servers.append(server)
            conn = connect(lomra, port)
            basxml_conn = connect(lomra, basxml_port)
            for _ in range(warmup):
                conn.call(FUNCTION, ARGS, {})
                basxml_conn.call(FUNCTION, ARGS, {})
            raw = recorded.RawReplay(port, setup)
            for _ in range(warmup):
                raw.call(request, len(reply))

            # The four take turns, a block of calls each per round, so that
            # a drift of the machine's speed lands on all of them alike.
            ours, basxml, raw_py, raw_c = [], [], [], []
            block = max(1, calls // ROUNDS)
            for _ in range(ROUNDS):
                ours += recorded.latencies(lambda: conn.call(FUNCTION, ARGS, {}), block)
                basxml += recorded.latencies(lambda: basxml_conn.call(FUNCTION, ARGS, {}), block)
                raw_py += recorded.latencies(lambda: raw.call(request, len(reply)), block)
                out = subprocess.run([str(peer), str(script_path), "replay", str(port), str(block + warmup)],
                                     capture_output=True, text=True, check=True).stdout.split()
                raw_c += [int(x) for x in out[warmup:]]
            conn.close()
            basxml_conn.close()
            raw.close()
        finally:
            for server in servers:
                server.kill()
                server.wait()

    o, b, p, c = stats(ours), stats(basxml), stats(raw_py), stats(raw_c)
    print(f"{calls} calls of {FUNCTION} over loopback to a canned-reply peer (request {len(framed(request))} bytes, "
          f"reply {len(framed(reply))} bytes), all on CPU {cpu}, in {ROUNDS} rounds")
    print(f"{'':22} {'mean us':>9} {'p50 us':>9} {'p99 us':>9}")
    print(f"{'lomra Connection.call':22} {o[0]:9.1f} {o[1]:9.1f} {o[2]:9.1f}")
    print(f"{'lomra, basXML':22} {b[0]:9.1f} {b[1]:9.1f} {b[2]:9.1f}   "
          f"(request {len(framed(basxml_request))} bytes, reply {len(framed(basxml_reply))} bytes)")
    print(f"{'raw socket, C':22} {c[0]:9.1f} {c[1]:9.1f} {c[2]:9.1f}")
    print(f"{'raw socket, Python':22} {p[0]:9.1f} {p[1]:9.1f} {p[2]:9.1f}")
    for name, a in (("C", c), ("Python", p)):
        ratio = o[1] / a[1]
        print(f"lomra ÷ raw {name}: p50 {ratio:.2f}, mean {o[0] / a[0]:.2f}, p99 {o[2] / a[2]:.2f}   "
              f"(goal ≤ {GOAL}: {'met' if ratio <= GOAL else 'MISSED'} at p50)")
    ratio = b[1] / o[1]
    print(f"lomra basXML ÷ classic: p50 {ratio:.2f}, mean {b[0] / o[0]:.2f}, p99 {b[2] / o[2]:.2f}   "
          f"(goal ≤ {BASXML_GOAL}: {'met' if ratio <= BASXML_GOAL else 'MISSED'} at p50)")


if __name__ == "__main__":
    main()
