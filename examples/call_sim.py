#!/usr/bin/python3
"""Calls function modules on the simulated ABAP system through lomra.

Starts the simulator of tests/sim on a free loopback port, logs on with its
default account, and prints what comes back: the system's identity, a
function interface, an echo of values of several ABAP types, a table of
more rows than one container has records (sent compressed, as a server
sends large tables), an ABAP exception, a call cancelled from another
thread, and the throughput counters of it all.

    bash scripts/example.sh                 # builds lomra into build/venv and runs this
    build/venv/bin/python examples/call_sim.py

The other examples of this folder: structures_sim.py (structures, tables,
time-outs, refused values), server_sim.py (a registered server),
units_sim.py (transactional units), routes_sim.py (message-server logon and
WebSocket RFC).
"""

import datetime
import threading
import time
from decimal import Decimal
from pprint import pprint

import simenv
from simenv import section


def main():
    lomra, Sim = simenv.setup()

    with Sim() as sim:
        params = simenv.logon(sim)
        print(f"lomra {lomra.__version__}; simulated gateway on 127.0.0.1:{sim.gateway}")
        conn = lomra.Connection(params, {"dtime": True})
        counters = lomra.Throughput()
        conn.set_throughput(counters)

        section("connection_attributes()")
        pprint(conn.connection_attributes(), sort_dicts=False)

        section("call STFC_CONNECTION")
        pprint(conn.call("STFC_CONNECTION", {"REQUTEXT": "Hello from lomra"}, {}), sort_dicts=False)

        section("function_description('Z_SIM_SLEEP')")
        pprint(conn.function_description("Z_SIM_SLEEP"), sort_dicts=False)

        section("call Z_SIM_ECHO with values of several ABAP types")
        sent = {"I_CHAR": "Grüße", "I_NUMC": "00000042", "I_DATS": datetime.date(2024, 5, 17),
                "I_TIMS": datetime.time(12, 30, 5), "I_PACKED": Decimal("1234.5"), "I_FLOAT": 2.75,
                "I_INT4": -42, "I_INT8": 2**40, "I_RAW": b"\x01\x02", "I_STRING": "free text",
                "I_XSTRING": b"\xca\xfe", "I_DF34": Decimal("3.14159265358979323846"),
                "I_UTCLONG": "2024-05-17 10:00:00.1234567"}
        result = conn.call("Z_SIM_ECHO", sent, {})
        for name, value in result.items():
            if name != "E_SEEN":
                print(f"  {name:10} {value!r}")
        print("  the server decoded:")
        for line in result["E_SEEN"].splitlines():
            print("   ", line)

        section("a table of 200000 generated rows (Z_SIM_ROWS)")
        t0 = time.perf_counter()
        rows = conn.call("Z_SIM_ROWS", {"ROW_COUNT": 200000}, {})["T_ROWS"]
        seconds = time.perf_counter() - t0
        print(f"  {len(rows)} rows of {len(rows[0])} fields in {seconds:.2f} s "
              "(the simulator makes and compresses them first)")
        for row in (rows[0], rows[-1]):
            print("  ", row)
        del rows

        section("an ABAP exception")
        try:
            conn.call("Z_SIM_RAISE", {"KEY": "NOT_FOUND", "TEXT": "No such order", "MSGID": "ZORD",
                                      "MSGTY": "E", "MSGNO": "042", "MSGV1": "4711"}, {})
        except lomra.ABAPApplicationError as e:
            print(f"  {type(e).__name__}: {e} (code {e.code}, key {e.key}, msg_v1 {e.msg_v1})")

        section("cancel() from another thread during a 30-second call")
        def cancel_once_it_runs():
            sim.wait_for(kind="message", step="call", function="Z_SIM_SLEEP")
            conn.cancel()

        canceller = threading.Thread(target=cancel_once_it_runs)
        canceller.start()
        try:
            conn.call("Z_SIM_SLEEP", {"MILLIS": 30000}, {})
        except lomra.CommunicationError as e:
            print(f"  {type(e).__name__}: {e} (code {e.code}, key {e.key})")
        canceller.join()
        print("  still usable:", conn.call("STFC_CONNECTION", {"REQUTEXT": "after cancel"}, {})["ECHOTEXT"])

        section("throughput")
        pprint(counters.stats, sort_dicts=False)
        conn.close()


if __name__ == "__main__":
    main()
