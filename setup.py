"""Builds the native core through the project's one CMake build.

`pip install .` (here `pip install --no-build-isolation .`) runs CMake on
this tree with the extension switched on and the tests off, and places the
stable-ABI module lomra/_quib_lomra.abi3.so, stripped of its symbol table,
into the wheel, which is tagged cp311-abi3 so that it serves Python 3.11 and
later. The release number is
the file VERSION, which CMake reads as well.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent

# Commands of setuptools that make or describe a wheel, and so need the
# `wheel` package; an sdist does not.
WHEEL_COMMANDS = {"bdist_wheel", "dist_info", "editable_wheel"}

NO_WHEEL = """\
lomra: building a wheel needs the Python package `wheel`, which this Python ({python})
lacks (without it setuptools stops with "invalid command 'bdist_wheel'").
  Offline, in a venv: make it with `/usr/bin/python3 -m venv --system-site-packages DIR`
  after `apt-get install python3-wheel`, or install Debian's copy into the venv:
  `apt-get install python3-wheel-whl` then `DIR/bin/pip install /usr/share/python-wheels/wheel-*.whl`.
  With a package index: `pip install .` (without --no-build-isolation) brings it."""

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:
    if WHEEL_COMMANDS.intersection(sys.argv[1:]):
        sys.exit(NO_WHEEL.format(python=sys.executable))
    bdist_wheel = None  # an sdist or a plain build needs no wheel


def cmake_cache_value(build_dir, name):
    """The value of `name` in the CMake cache of `build_dir`, or None."""
    cache = build_dir / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text(encoding="utf-8", errors="replace").splitlines():
            key, sep, value = line.partition("=")
            if sep and key.split(":")[0] == name and value:
                return value
    return None


def strip_symbols(build_dir, module):
    """Drops the module's symbol table: the packaged module needs only its
    dynamic symbols (the one export PyInit__quib_lomra among them). The
    module a CMake build makes for development keeps it."""
    strip = cmake_cache_value(build_dir, "CMAKE_STRIP") or shutil.which("strip")
    if not strip:
        sys.exit("lomra: packaging the native core needs `strip` (on Debian, in binutils)")
    subprocess.run([strip, "--strip-all", str(module)], check=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not shutil.which("cmake"):
            sys.exit("lomra: building the native core needs cmake and a C++20 compiler "
                     "(on Debian, `bash scripts/deps.sh example` installs what the build needs)")
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        config = [
            "cmake",
            "-S", str(ROOT),
            "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUIB_PYTHON=ON",
            "-DQUIB_TESTS=OFF",
            # A user's compiler may warn where CI's does not; CI builds with -Werror.
            "-DQUIB_WERROR=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja"):
            config += ["-G", "Ninja"]
        subprocess.run(config, check=True)
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", "_quib_lomra",
             "-j", str(os.cpu_count() or 2)],
            check=True,
        )
        built = build_dir / "python" / "lomra" / "_quib_lomra.abi3.so"
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        strip_symbols(build_dir, target)

    def get_ext_filename(self, fullname):
        # The stable-ABI suffix, whatever interpreter runs the build.
        return os.path.join(*fullname.split(".")) + ".abi3.so"


cmdclass = {"build_ext": CMakeBuild}

if bdist_wheel is not None:

    class AbiWheel(bdist_wheel):
        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False
            self.py_limited_api = "cp311"

    cmdclass["bdist_wheel"] = AbiWheel

setup(
    version=(ROOT / "VERSION").read_text(encoding="ascii").strip(),
    packages=["lomra"],
    # The type stubs and the marker that says the package has them.
    package_data={"lomra": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("lomra._quib_lomra", sources=[], py_limited_api=True)],
    cmdclass=cmdclass,
)
