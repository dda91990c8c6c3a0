"""Starting and stopping the simulated ABAP system from Python tests.

    from simctl import Sim

    with Sim("--saprouter", config={"functions": {"Z_SIM_ECHO": {"delay": 0.2}}}) as sim:
        ... connect to 127.0.0.1:sim.gateway ...
        sim.wait_for(event="closed")
        assert sim.messages("call", function="STFC_CONNECTION")

The simulator runs as a child process of /usr/bin/python3 with its standard
input on a pipe: it stops when the pipe closes, so a test process that dies
takes it down.  Its log is parsed on demand.
"""

import json
import os
import select
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIM_SCRIPT = os.path.join(HERE, "abapsim.py")
PYTHON = "/usr/bin/python3"


class SimError(RuntimeError):
    pass


class Sim:
    def __init__(self, *args, config=None, log=None, start_timeout=15.0, python=PYTHON):
        self._tmp = tempfile.TemporaryDirectory(prefix="abapsim-")
        self.log_path = log or os.path.join(self._tmp.name, "sim.log")
        cmd = [python, SIM_SCRIPT, "--log", self.log_path]
        if config is not None:
            path = os.path.join(self._tmp.name, "scenario.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(config, f)
            cmd += ["--config", path]
        cmd += [str(a) for a in args]
        self.cmd = cmd
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.ports = self._read_ports(start_timeout)
        self.gateway = self.ports["gateway"]
        self.saprouter = self.ports.get("saprouter")
        # With "--msgserver": the message server's port (the gateway then
        # listens on a port 3300..3399).
        self.msgserver = self.ports.get("msgserver")
        # With "--reggateway": the gateway for registered servers and its
        # control port (regctl.RegControl talks to it).
        self.reggateway = self.ports.get("reggateway")
        self.regcontrol = self.ports.get("regcontrol")
        # With "--wsrfc": the WebSocket RFC endpoint (TLS) and the paths of
        # the client certificate (DER) and its key (PKCS #8 DER) it accepts.
        self.wsrfc = self.ports.get("wsrfc")
        self.wsrfc_cert = self.ports.get("wsrfc_cert")
        self.wsrfc_key = self.ports.get("wsrfc_key")

    def _read_ports(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        fd = self.proc.stdout.fileno()
        while not line.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.stop()
                raise SimError(f"the simulator printed no ports line within {timeout} s: {self.cmd}")
            readable, _, _ = select.select([fd], [], [], remaining)
            if readable:
                chunk = os.read(fd, 4096)
                if not chunk:
                    code = self.proc.wait()
                    raise SimError(f"the simulator exited with {code} before printing its ports: {self.cmd}")
                line += chunk
        return json.loads(line.decode("utf-8"))

    # --- log ------------------------------------------------------------

    def log(self):
        """Every log line so far, parsed."""
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            try:
                entries.append(json.loads(line))
            except ValueError:
                break  # a line being written right now
        return entries

    @staticmethod
    def _matches(entry, filters):
        return all(entry.get(k) == v for k, v in filters.items() if v is not None)

    def entries(self, **filters):
        return [e for e in self.log() if self._matches(e, filters)]

    def events(self, event=None, **filters):
        return self.entries(dir="event", event=event, **filters)

    def frames(self, step=None, dir="recv", conn=None, server="gateway"):
        """Bytes of the logged NI frames (CPIC records with their header)."""
        return [bytes.fromhex(e["hex"]) for e in self.entries(kind="frame", step=step, dir=dir, conn=conn,
                                                             server=server)]

    def messages(self, step=None, dir="recv", conn=None, function=None):
        """Bytes of the logged data messages (reassembled requests, replies)."""
        return [bytes.fromhex(e["hex"]) for e in self.entries(kind="message", step=step, dir=dir, conn=conn,
                                                             function=function)]

    def checks(self):
        """Texts of every deviation from the client's templates the simulator saw."""
        return [e["text"] for e in self.events("check")]

    def wait_for(self, timeout=15.0, count=1, **filters):
        """Waits until `count` log entries match the filters; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.entries(**filters)
            if len(found) >= count:
                return found
            if time.monotonic() >= deadline:
                raise SimError(f"no {count} log entries matching {filters} within {timeout} s")
            time.sleep(0.02)

    # --- lifecycle ------------------------------------------------------

    def stop(self, timeout=15.0):
        """Stops the simulator (stdin closed, then SIGTERM, then SIGKILL) and
        returns its exit status.  The log is complete afterwards."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.terminate()
                try:
                    self.proc.wait(5)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        return self.proc.returncode

    def close(self):
        self.stop()
        self._tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def start(*args, **kw):
    return Sim(*args, **kw)


if __name__ == "__main__":
    # Handy by hand: python3 simctl.py --saprouter  (prints the ports, runs until Enter)
    with Sim(*sys.argv[1:]) as s:
        print(json.dumps(s.ports))
        sys.stdin.readline()
