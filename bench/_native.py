"""The helper module of a Python benchmark: C++ that calls the extension's
conversion code directly (it is not reachable one value or one table at a
time from Python), compiled at run time (optimised as a Release build of
the extension is, -O3) against the static libraries of a CMake build and
imported.

A benchmark gives the body of its module: the functions it times, in an
anonymous namespace, and their table `PyMethodDef methods[]`. The body sees
ext/convert.hpp, ext/errors.hpp and ext/py.hpp, `using namespace quib`,
`Clock` (a monotonic clock), `since(t0)` (seconds since t0),
`module_state()` (the module state the conversions are given: the helper's
own, with no exception classes registered) and `dicts_of_ready_values`,
the floor of a rows-to-dicts conversion.
"""

import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]

PRELUDE = r'''
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ext/convert.hpp"
#include "ext/errors.hpp"
#include "ext/py.hpp"

using namespace quib;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

ext::ModuleState& module_state() {
  static ext::ModuleState state{};
  return state;
}

// The floor of a rows-to-dicts conversion: a list of dicts built from
// ready values (`values`, one tuple per row) under ready keys (`keys`, a
// tuple), with PyDict_New and one PyDict_SetItem per field or, with
// `copies`, as copies of a presized dict of the keys whose values are then
// set. The seconds it took; the list (a new reference) in `out`, which may
// be null. Negative with the Python error set on failure.
double dicts_of_ready_values(PyObject* keys, PyObject* values, bool copies, PyObject** out) {
  const Py_ssize_t n = PyList_Size(values);
  const Py_ssize_t k = PyTuple_Size(keys);
  ext::PyRef names(PyDict_New());
  for (Py_ssize_t j = 0; names && j < k; ++j)
    if (PyDict_SetItem(names.get(), PyTuple_GetItem(keys, j), Py_None) < 0) return -1;
  ext::PyRef presized(names ? PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                  "fromkeys", "O", names.get())
                            : nullptr);
  ext::PyRef list(presized ? PyList_New(n) : nullptr);
  if (!list) return -1;
  const auto t0 = Clock::now();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* row = PyList_GetItem(values, i);
    PyObject* d = copies ? PyDict_Copy(presized.get()) : PyDict_New();
    if (!d) return -1;
    PyList_SetItem(list.get(), i, d);
    for (Py_ssize_t j = 0; j < k; ++j)
      if (PyDict_SetItem(d, PyTuple_GetItem(keys, j), PyTuple_GetItem(row, j)) < 0) return -1;
  }
  const double seconds = since(t0);
  if (out) *out = list.release();
  return seconds;
}

}  // namespace
'''

MODULE = r'''
namespace {

PyModuleDef module = {PyModuleDef_HEAD_INIT, "@NAME@", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_@NAME@() {
  return PyModule_Create(&module);
}
'''

# The extension's sources the helper is built from, beside the libraries.
SOURCES = ("convert.cpp", "rows.cpp", "py.cpp", "errors.cpp", "args.cpp")


def build_dir(default):
    """$QUIB_BUILD_DIR, else build/<default> of the source tree."""
    return pathlib.Path(os.environ.get("QUIB_BUILD_DIR", ROOT / "build" / default)).resolve()


def load_helper(name, body, build):
    """Compiles `body` as the module `name` against the libraries in the
    build directory `build` and imports it; exits when a library is missing."""
    libs = [build / f"libquib_{n}.a" for n in ("proto", "snc", "wire")]
    for lib in libs:
        if not lib.exists():
            sys.exit(f"{lib} is missing: build the project in {build} first")
    with tempfile.TemporaryDirectory(prefix=f"{name.strip('_')}-") as tmp:
        work = pathlib.Path(tmp)
        src = work / f"{name.strip('_')}_helper.cpp"
        src.write_text(PRELUDE + body + MODULE.replace("@NAME@", name))
        out = work / f"{name}.so"
        cmd = ["g++", "-std=c++20", "-O3", "-shared", "-fPIC", "-fvisibility=hidden", "-DPy_LIMITED_API=0x030B0000",
               f"-I{sysconfig.get_paths()['include']}", f"-I{ROOT}", str(src),
               *(str(ROOT / "ext" / s) for s in SOURCES),
               *map(str, libs), "-lssl", "-lcrypto", "-ldl", "-lpthread", "-o", str(out)]
        subprocess.run(cmd, check=True)
        # Once loaded, the module no longer needs its file.
        found = importlib.util.spec_from_file_location(name, out)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    return module


def best(f, repeat=3):
    """The smallest of `repeat` results of f()."""
    return min(f() for _ in range(repeat))


# One row in this many of an earlier result is kept alive while the next
# conversion runs on the memory the rest of it left.
PIN_EVERY = 64


def fresh_and_reused(convert, repeat=3):
    """The best seconds of `repeat` runs of convert() -> (seconds, rows),
    on memory the process maps anew (first-touch page faults included) and
    on memory an earlier result left (one row in PIN_EVERY of it kept, as
    a floor built from ready values finds it)."""

    def fresh():
        seconds, rows = convert()
        del rows
        return seconds

    def reused():
        _, earlier = convert()
        pins = earlier[::PIN_EVERY]
        del earlier
        seconds, rows = convert()
        del rows, pins
        return seconds

    return best(fresh, repeat), best(reused, repeat)

