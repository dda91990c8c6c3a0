#!/usr/bin/env bash
# The README's second command: installs the Debian packages that the build
# and the example need (scripts/deps.sh; as root), builds the wheel and
# installs it into build/venv (scripts/venv.sh), then runs the example, which
# starts the simulated ABAP system and calls function modules on it. It needs
# nothing else to have run before.
set -euo pipefail
cd "$(dirname "$0")/.."
step() { printf '\n=== %s\n' "$*"; }

step "Debian packages for the build and the example"
bash scripts/deps.sh example
step "building the wheel and installing it into build/venv (the first build takes minutes)"
bash scripts/venv.sh
step "the example against the simulated ABAP system"
exec build/venv/bin/python examples/call_sim.py
