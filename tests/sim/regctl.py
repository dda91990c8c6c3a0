"""The control port of the simulator's gateway for registered servers.

    from simctl import Sim
    from regctl import RegControl

    with Sim("--reggateway") as sim, RegControl(sim.regcontrol) as ctl:
        ... register program ZPROG at 127.0.0.1:sim.reggateway ...
        call = ctl.call("ZPROG", "STFC_CONNECTION", params={"REQUTEXT": "hi"})
        ... let the server answer ...
        reply = ctl.result(call)
        assert reply["status"] == "reply"
        assert reply["export_texts"]["ECHOTEXT"] == "hi"

One JSON object per line each way; see tests/sim/README.md for the
requests and the fields of a result.
"""

import json
import socket


class RegControlError(RuntimeError):
    pass


class RegControl:
    def __init__(self, port, host="127.0.0.1", timeout=60.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.file = self.sock.makefile("rb")

    def request(self, **fields):
        """Sends one request and returns the answer; raises when it is not ok."""
        self.sock.sendall(json.dumps(fields).encode("utf-8") + b"\n")
        line = self.file.readline()
        if not line:
            raise RegControlError("the control port closed")
        answer = json.loads(line)
        if not answer.get("ok"):
            raise RegControlError(answer.get("error", repr(answer)))
        return answer

    def wait_registered(self, program, wait=10.0):
        return self.request(op="wait_registered", program=program, wait=wait)

    def registrations(self):
        programs = self.request(op="registrations")["programs"]
        return programs.split(",") if programs else []

    def call(self, program, function, params=None, **options):
        """Queues an inbound call; returns its id.  Options: requested (names),
        tables ([{"name", "width", "rows": [hex]}]), piece (bytes per request
        record), mode ("normal", "announce_only", "close_after_request"),
        wait (seconds for the reply), destination, user, client, system_id,
        caller_host, caller_program, records_before / records_after
        ([[id, hex]])."""
        answer = self.request(op="call", program=program, function=function, params=params or {}, **options)
        return answer["id"]

    def result(self, call_id, wait=30.0):
        """The decoded reply of a call, once it has finished."""
        return self.request(op="result", id=call_id, wait=wait)

    def close_registration(self, program):
        """The gateway closes the registered connection."""
        return self.request(op="close", program=program)

    def close(self):
        try:
            self.file.close()
        finally:
            self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
