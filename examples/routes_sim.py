#!/usr/bin/python3
"""The other ways of reaching an ABAP system: load-balanced logon through a
message server (mshost, msserv, group), and WebSocket RFC over TLS with a
client certificate (wshost, wsport, tls_client_cert, tls_client_key).

    build/venv/bin/python examples/routes_sim.py
"""

import simenv


def main():
    lomra, Sim = simenv.setup()
    with Sim("--msgserver", "--wsrfc") as sim:
        simenv.section("through the message server")
        conn = lomra.Connection({"mshost": "127.0.0.1", "msserv": str(sim.msgserver), "group": "PUBLIC",
                                 "user": "TESTER", "passwd": "secret", "client": "001"}, {})
        attributes = conn.connection_attributes()
        print(f"  logged on to {attributes['host']}, system {attributes['sysId']}")
        conn.close()

        simenv.section("WebSocket RFC (the simulator made the certificate and key, DER)")
        conn = lomra.Connection({"wshost": "127.0.0.1", "wsport": str(sim.wsrfc), "client": "001",
                                 "tls_client_cert": sim.wsrfc_cert, "tls_client_key": sim.wsrfc_key}, {})
        print("  ", conn.call("STFC_CONNECTION", {"REQUTEXT": "over TLS"}, {})["RESPTEXT"])
        conn.close()


if __name__ == "__main__":
    main()
