#!/usr/bin/env bash
# Builds and installs lomra (scripts/venv.sh), then runs the example: it
# starts the simulated ABAP system and calls function modules on it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/venv.sh
exec build/venv/bin/python examples/call_sim.py
