"""Finding `lomra` for the binding's tests, the benchmarks and the examples.

The installed package when there is one; otherwise the package assembled in
a scratch directory from the source tree's lomra/__init__.py and the module
of a CMake build configured with -DQUIB_PYTHON=ON: the one $QUIB_BUILD_DIR
names or, where the caller allows it, the newest build below build/.

    lomra = find_lomra.load()          # raises LomraMissing
"""

import glob
import importlib
import os
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[3]
MODULE = pathlib.Path("python") / "lomra" / "_quib_lomra.abi3.so"


class LomraMissing(RuntimeError):
    pass


def installed():
    """The installed lomra with its module, or None (and nothing of a failed
    import left behind)."""
    try:
        module = importlib.import_module("lomra")
        importlib.import_module("lomra._quib_lomra")
        return module
    except ImportError:
        for name in ("lomra._quib_lomra", "lomra"):
            sys.modules.pop(name, None)
        return None


def built_module(any_build=False):
    """The module of $QUIB_BUILD_DIR; without that variable and with
    `any_build`, the newest module of the builds below build/."""
    build = os.environ.get("QUIB_BUILD_DIR")
    if build:
        path = pathlib.Path(build).resolve() / MODULE
        if not path.exists():
            raise LomraMissing(f"QUIB_BUILD_DIR={build} holds no {MODULE}")
        return path
    if any_build:
        found = sorted(glob.glob(str(ROOT / "build" / "*" / MODULE)), key=os.path.getmtime)
        if found:
            return pathlib.Path(found[-1])
        raise LomraMissing(f"lomra is not installed and no build holds {MODULE.name}")
    raise LomraMissing("lomra is not installed and QUIB_BUILD_DIR names no build")


def assemble(module):
    """lomra from a scratch package of symbolic links to the source tree's
    lomra/__init__.py and `module`."""
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="lomra-pkg-"))
    package = scratch / "lomra"
    package.mkdir()
    (package / "__init__.py").symlink_to(ROOT / "lomra" / "__init__.py")
    (package / MODULE.name).symlink_to(module)
    sys.path.insert(0, str(scratch))
    importlib.invalidate_caches()
    return importlib.import_module("lomra")


def load(any_build=False):
    """lomra, installed or assembled; raises LomraMissing."""
    return installed() or assemble(built_module(any_build))
