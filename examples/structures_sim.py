#!/usr/bin/python3
"""Structures, tables, time-outs and refused values against the simulated
ABAP system.

A structure parameter is a dict of its fields, a table parameter a list of
such dicts; fields left out get ABAP's initial values. A value that its
field cannot hold is refused before anything is sent, naming where it was.

    build/venv/bin/python examples/structures_sim.py
"""

import contextlib
import datetime
from decimal import Decimal

import simenv


def main():
    lomra, Sim = simenv.setup()
    with Sim() as sim, contextlib.closing(lomra.Connection(simenv.logon(sim), {"dtime": True})) as conn:
        simenv.section("a structure: Z_SIM_STRUCT echoes I_ROW as E_ROW")
        row = {"ID": 7, "NAME": "Grüße", "AMOUNT": Decimal("-12.34"), "DAY": datetime.date(2024, 2, 29)}
        result = conn.call("Z_SIM_STRUCT", {"I_ROW": row}, {})
        print("  E_ROW ", result["E_ROW"])   # SCORE, left out, came back as 0.0
        print("  seen  ", result["E_SEEN"])

        simenv.section("a table: Z_SIM_TABLE sends ROW_COUNT rows, then the rows of T_IN")
        rows = [{"ID": 100, "NAME": "first"}, {"ID": 101, "DAY": "20240102", "AMOUNT": "1.5"}]
        for r in conn.call("Z_SIM_TABLE", {"ROW_COUNT": 1, "T_IN": rows}, {})["T_OUT"]:
            print("  ", r)

        simenv.section("values refused before anything is sent")
        for params in ({"I_ROW": {"NAME": "x" * 30}},            # NAME holds 20 characters
                       {"I_ROW": {"DAY": "2024-02-29"}},          # a date is YYYYMMDD
                       {"I_ROW": {"AMOUNT": "1.234"}}):           # two decimal places
            try:
                conn.call("Z_SIM_STRUCT", params, {})
            except lomra.ExternalRuntimeError as e:
                print(f"  {type(e).__name__}: {e}")
        try:
            conn.call("Z_SIM_TABLE", {"T_IN": [{"ID": 1}, {"ID": "two"}]}, {})
        except TypeError as e:
            print(f"  TypeError: {e}")

        simenv.section("a call past its timeout is cancelled; the next call opens a new session")
        try:
            conn.call("Z_SIM_SLEEP", {"MILLIS": 5000}, {"timeout": 0.5})
        except lomra.CommunicationError as e:
            print(f"  {type(e).__name__}: {e} (code {e.code}, key {e.key})")
        print("  next call:", conn.call("STFC_CONNECTION", {"REQUTEXT": "again"}, {})["ECHOTEXT"])
    # contextlib.closing closed the connection on the way out, as it would
    # on an exception.


if __name__ == "__main__":
    main()
