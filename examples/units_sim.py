#!/usr/bin/python3
"""Transactional units: calls queued under one transaction ID run once on
the ABAP side, however often the unit is submitted; confirming the unit
releases its ID.

    build/venv/bin/python examples/units_sim.py
"""

import simenv


def main():
    lomra, Sim = simenv.setup()
    with Sim() as sim:
        conn = lomra.Connection(simenv.logon(sim), {})
        try:
            unit = conn.initialize_unit()
            simenv.section(f"unit {unit['id']}")
            calls = [("Z_SIM_ECHO", {"I_CHAR": "queued", "I_INT4": 1}), ("RFC_PING", {})]
            print("  calls submitted:", conn.fill_and_submit_unit(unit["id"], calls))
            conn.confirm_unit(unit["id"])
            print("  confirmed; the server ran:",
                  [e["function"] for e in sim.events("unit-call") if e["tid"] == unit["id"]])
        finally:
            conn.close()


if __name__ == "__main__":
    main()
