"""scripts/check_sdist.py on small source distributions of its own: an sdist
passes when it holds only what its MANIFEST.in lists and the metadata
setuptools adds; a clone's .git, a virtual environment, build output or a
stray file fails it. scripts/venv.sh --sdist runs it on the real sdist."""

import io
import subprocess
import sys
import tarfile

import pytest

from conftest import ROOT

CHECK = ROOT / "scripts" / "check_sdist.py"

MANIFEST = """# what ships
include CMakeLists.txt setup.py MANIFEST.in
include README.md VERSION
graft wire
graft tests
global-exclude *.so *.py[cod]
"""

# A sdist that passes: the listed files and folders, and setuptools' metadata.
GOOD = ["CMakeLists.txt", "setup.py", "MANIFEST.in", "README.md", "VERSION", "wire/appc.cpp",
        "tests/py/conftest.py", "tests/sim/sim/appc.py", "PKG-INFO", "setup.cfg",
        "lomra.egg-info/SOURCES.txt"]


def sdist(tmp_path, entries, manifest=MANIFEST):
    path = tmp_path / "lomra-1.0.0.tar.gz"
    with tarfile.open(path, "w:gz") as tar:
        for name in ["MANIFEST.in"] + [e for e in entries if e != "MANIFEST.in"]:
            data = manifest.encode() if name == "MANIFEST.in" else b"x"
            info = tarfile.TarInfo("lomra-1.0.0/" + name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return path


def run(path):
    proc = subprocess.run([sys.executable, str(CHECK), str(path)], capture_output=True, text=True,
                          timeout=60)
    return proc.returncode, proc.stdout.splitlines()


def test_the_listed_set_passes(tmp_path):
    assert run(sdist(tmp_path, GOOD)) == (0, [])


@pytest.mark.parametrize("entry, reason", [
    (".git/config", "left behind"),
    ("tests/.git/HEAD", "left behind"),
    (".venv/bin/python", "left behind"),
    ("tests/venv/pyvenv.cfg", "left behind"),
    ("tests/env/lib/python3.11/site-packages/pytest/__init__.py", "left behind"),
    ("build/release/CMakeCache.txt", "left behind"),
    ("wire/CMakeFiles/quib_wire.dir/appc.cpp.o", "left behind"),
    ("tests/py/__pycache__/conftest.cpython-311.pyc", "left behind"),
    ("wire/_quib_lomra.abi3.so", "left behind"),
    ("dist/lomra-1.0.0-cp311-abi3-linux_x86_64.whl", "left behind"),
    ("notes.txt", "not listed in MANIFEST.in"),
    ("scripts/check.sh", "not in a listed folder"),
])
def test_what_must_not_ship_fails(tmp_path, entry, reason):
    rc, lines = run(sdist(tmp_path, GOOD + [entry]))
    assert rc == 1
    assert lines == [f"lomra-1.0.0/{entry}: {reason}" + (
        " by a clone, a venv, a build or a test run" if reason == "left behind" else "")]


def test_a_manifest_that_grafts_the_whole_tree_fails(tmp_path):
    rc, lines = run(sdist(tmp_path, GOOD, MANIFEST + "graft .\n"))
    assert rc == 1
    assert lines == ["MANIFEST.in:7: `graft .` ships the whole tree"]
