"""scripts/check_includes.py on small trees of its own: an include between
folders passes only along an edge its table allows, whatever the order of
the folders, and a cycle between modules is refused. The real tree passes
(scripts/check.sh runs it there)."""

import subprocess
import sys

import pytest

from conftest import ROOT

CHECK = ROOT / "scripts" / "check_includes.py"


def check(tmp_path, files):
    """Writes `files` (path -> the paths it includes) under tmp_path and runs
    the checker there; returns its exit code and the lines it printed."""
    for path, includes in files.items():
        f = tmp_path / path
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_text("".join(f'#include "{inc}"\n' for inc in includes))
    proc = subprocess.run([sys.executable, str(CHECK), str(tmp_path)], capture_output=True, text=True,
                          timeout=60)
    return proc.returncode, proc.stdout.splitlines()


# (the including file, the included file, allowed)
EDGES = [
    ("proto/server/registered_server.cpp", "proto/transport/transport.hpp", True),
    ("proto/server/registered_server.cpp", "wire/appc.hpp", True),
    ("proto/invoke/invoke.cpp", "proto/metadata/dictionary.hpp", True),
    ("ext/server.cpp", "proto/server/registered_server.hpp", True),
    ("ext/connection/call.cpp", "proto/invoke/invoke.hpp", True),
    ("proto/call/exchange.cpp", "proto/session/connection.hpp", True),
    # Later in the order of the folders, but no edge of the table.
    ("proto/server/registered_server.cpp", "proto/invoke/invoke.hpp", False),
    ("proto/server/registered_server.cpp", "proto/metadata/dictionary.hpp", False),
    ("proto/server/registered_server.cpp", "proto/session/connection.hpp", False),
    ("proto/session/connection.cpp", "proto/server/registered_server.hpp", False),
    # Upward.
    ("wire/appc.cpp", "snc/frame.hpp", False),
    ("proto/base/error.cpp", "proto/net/socket.hpp", False),
    ("proto/metadata/dictionary.cpp", "proto/invoke/invoke.hpp", False),
    ("proto/invoke/invoke.cpp", "ext/convert.hpp", False),
]


@pytest.mark.parametrize("source, target, allowed", EDGES)
def test_edges_between_folders(tmp_path, source, target, allowed):
    rc, lines = check(tmp_path, {source: [target], target: []})
    if allowed:
        assert (rc, lines) == (0, [])
    else:
        assert rc == 1
        assert len(lines) == 1 and lines[0].startswith(f"include not allowed: {source} ("), lines
        assert f"includes {target} (" in lines[0]


def test_includes_within_a_folder_and_of_unknown_files_pass(tmp_path):
    rc, lines = check(tmp_path, {
        "proto/server/a.cpp": ["proto/server/a.hpp", "fmt/format.h"],
        "proto/server/a.hpp": ["proto/server/b.hpp"],
        "proto/server/b.hpp": [],
    })
    assert (rc, lines) == (0, [])


def test_a_cycle_between_modules_is_refused(tmp_path):
    rc, lines = check(tmp_path, {
        "wire/a.cpp": ["wire/a.hpp"],
        "wire/a.hpp": ["wire/b.hpp"],
        "wire/b.hpp": ["wire/c.hpp"],
        "wire/c.cpp": ["wire/a.hpp"],
        "wire/c.hpp": [],
    })
    assert rc == 1
    assert lines == ["include cycle: wire/a <-> wire/b <-> wire/c"]
