#!/usr/bin/python3
"""A registered server: lomra.Server registers a program ID at the
simulator's gateway for registered servers and answers the calls sent to it
through Python callbacks.

The simulator plays the ABAP side: its control port (tests/sim/regctl.py)
queues an inbound call of Z_SIM_ECHO, and reports what the server answered.

    build/venv/bin/python examples/server_sim.py
"""

import simenv


def echo(context, **params):
    """The callback of Z_SIM_ECHO: `context` names the caller, `params` are
    the call's imports; the returned dict holds the exports to send."""
    print(f"  callback: {context['function']} from {context['user']}@{context['system_id']}: {params}")
    return {"E_CHAR": params.get("I_CHAR", "").upper(), "E_INT4": params.get("I_INT4", 0) + 1}


def main():
    lomra, Sim = simenv.setup()
    from regctl import RegControl

    with Sim("--reggateway", "--regallow", "LOMRA*") as sim, RegControl(sim.regcontrol) as ctl:
        server_params = {"program_id": "LOMRA_EXAMPLE", "gwhost": "127.0.0.1", "gwserv": str(sim.reggateway)}
        # The client session that reads the functions' interfaces.
        client_params = {k: v for k, v in simenv.logon(sim).items() if k in ("ashost", "user", "passwd", "client")}
        client_params["sysnr"] = str((sim.gateway - 3300) % 65536)  # the gateway port is 3300 + sysnr
        server = lomra.Server(server_params, client_params)
        try:
            simenv.section(f"registered as {server.program_id}; one inbound call of Z_SIM_ECHO")
            call = ctl.call(server.program_id, "Z_SIM_ECHO", {"I_CHAR": "hello", "I_INT4": 41})
            print("  served:", server.serve_one({"Z_SIM_ECHO": echo}, timeout=10))
            reply = ctl.result(call)
            print(f"  the caller got: E_CHAR={reply['export_texts']['E_CHAR']!r} ({reply['status']})")
            simenv.section("nothing arrives: serve_one gives None once its timeout is up")
            print("  served:", server.serve_one({}, timeout=1))
        finally:
            server.close()


if __name__ == "__main__":
    main()
