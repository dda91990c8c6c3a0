#!/usr/bin/python3
"""Large tables: a million rows of ten fields (two each of CHAR, NUMC, INT4,
packed with decimals and DATS; the simulator's ZSIM_BULK, 188 bytes a row)
read as a server sends them (compressed content), each figure beside its
anchor measured in the same run:

  1. in memory: the reply the simulator sends for Z_SIM_ROWS, built by the
     simulator's own code in this process, decoded (records, inflate) and
     turned into a list of dicts; fields per second of the whole and of the
     conversion by kind (CHAR/NUMC/INT4, packed, DATS with and without
     dtime), each beside the floor: the same list of the same dicts built
     in C from ready values (PyDict_New and one PyDict_SetItem per field,
     or copies of a presized dict of the names as the conversion builds
     them, whichever is faster). The floor's dicts land in memory the
     process has already touched (its ready values keep the arenas of the
     dicts they were read from), so ours is timed alike, on the memory an
     earlier result leaves (one row in 64 of it kept); ours on fresh
     memory, where the kernel's first-touch page faults cost about as much
     again, is shown beside. Goal: at least 7 million fields a second and
     half the floor for CHAR/NUMC/INT4; at least 7 million packed fields
     a second. Last the whole reply to dicts the way Connection.call reads
     it: the table's content left compressed and its rows converted as they
     are expanded, a window at a time, so the expanded table is never held.
  2. through Connection.call from the simulator (its rows kept from a first
     call, so that the second costs it the sending only), fields per second
     beside the in-memory figure: warm (the best of two later calls in this
     process) and in a fresh process (its first call, where every page the
     result takes is new to the process). Goal: at least 7 million fields a
     second in the fresh process.
  3. peak RSS of that fresh process's call divided by the size of the
     resulting Python objects (goal at most 1.2), and the RSS they keep.
  4. 10k, 100k and 1M rows through Connection.call: time and peak memory per
     row, and the ratio of each size to the one ten times smaller (goal:
     linear, a ratio near 1).

The conversion is not reachable from Python without a server, so part 1
compiles a small helper module from the extension's sources against the
static libraries of a CMake build (bench/_native.py); parts 2 to 4 need the
module itself (lomra installed, or QUIB_BUILD_DIR naming a build configured
with -DQUIB_PYTHON=ON).

    QUIB_BUILD_DIR=build/<dir> /usr/bin/python3 bench/bench_large_tables.py [rows]
"""

import json
import os
import pathlib
import subprocess
import sys
import time

import _native

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIM_DIR = ROOT / "tests" / "sim"
sys.path.insert(0, str(SIM_DIR))
sys.path.insert(0, str(ROOT / "tests" / "py" / "support"))

FUNCTION = "Z_SIM_ROWS"
TABLE = "T_ROWS"
GOAL_FIELDS = 7e6
GOAL_FLOOR = 0.5
GOAL_RSS = 1.2

HELPER = r'''
#include <memory>

#include "proto/call/reply.hpp"
#include "proto/call/structure.hpp"
#include "wire/container.hpp"

namespace {

wire::Bytes g_reply;
std::unique_ptr<proto::CallReply> g_decoded;

wire::AbapType type_of(char letter) {
  switch (letter) {
    case 'C': return wire::AbapType::Char;
    case 'N': return wire::AbapType::Numc;
    case 'D': return wire::AbapType::Date;
    case 'T': return wire::AbapType::Time;
    case 'P': return wire::AbapType::Bcd;
    case 'F': return wire::AbapType::Float;
    case 'b': return wire::AbapType::Int1;
    case 's': return wire::AbapType::Int2;
    case 'I': return wire::AbapType::Int4;
    case '8': return wire::AbapType::Int8;
  }
  return wire::AbapType::unknown(letter);
}

// A layout from a list of (name, type letter, offset, width, decimals) and
// the image size.
bool layout_of(PyObject* spec, Py_ssize_t size, proto::StructureLayout& out) {
  out.name = "ZSIM_BULK";
  out.size = static_cast<std::uint64_t>(size);
  const Py_ssize_t n = PyList_Size(spec);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* name;
    const char* letter;
    Py_ssize_t offset, width, decimals;
    if (!PyArg_ParseTuple(PyList_GetItem(spec, i), "ssnnn", &name, &letter, &offset, &width, &decimals))
      return false;
    proto::FieldLayout f;
    f.name = name;
    f.abap_type = type_of(letter[0]);
    f.offset = static_cast<std::uint64_t>(offset);
    f.width = static_cast<std::uint64_t>(width);
    f.decimals = static_cast<std::uint64_t>(decimals);
    out.fields.push_back(std::move(f));
  }
  return true;
}

// decode(container) -> seconds: the records read and the classic reply
// decoded (the table's content inflated); the result is kept.
PyObject* decode(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &data, &size)) return nullptr;
  g_reply.assign(data, data + size);
  g_decoded.reset();
  const auto t0 = Clock::now();
  auto reader = wire::ContainerReader::create(g_reply);
  if (!reader) { PyErr_SetString(PyExc_RuntimeError, "container header"); return nullptr; }
  auto records = reader->read_all_records();
  if (!records) { PyErr_SetString(PyExc_RuntimeError, "container records"); return nullptr; }
  auto decoded = proto::decode_classic_reply(*records, nullptr, {});
  const double seconds = since(t0);
  if (!decoded) return ext::raise_protocol_error(module_state(), decoded.error());
  g_decoded = std::make_unique<proto::CallReply>(std::move(decoded).value());
  return PyFloat_FromDouble(seconds);
}

// convert(spec, size, table, rstrip, dtime) -> (seconds, list of dicts)
PyObject* convert(PyObject*, PyObject* args) {
  PyObject* spec;
  Py_ssize_t size;
  const char* table;
  int rstrip, dtime;
  if (!PyArg_ParseTuple(args, "O!nspp", &PyList_Type, &spec, &size, &table, &rstrip, &dtime)) return nullptr;
  proto::StructureLayout layout;
  if (!layout_of(spec, size, layout)) return nullptr;
  const proto::ReplyTable* t = g_decoded ? g_decoded->table(table) : nullptr;
  if (!t) { PyErr_SetString(PyExc_RuntimeError, "no such table decoded"); return nullptr; }
  auto rows = proto::reply_table_rows(*t);
  if (!rows) return ext::raise_protocol_error(module_state(), rows.error());
  const auto t0 = Clock::now();
  ext::PyRef list(ext::table_to_py(module_state(), layout, **rows, ext::ReadFlags{rstrip != 0, dtime != 0}));
  const double seconds = since(t0);
  if (!list) return nullptr;
  return Py_BuildValue("(dO)", seconds, list.get());
}

// streamed(spec, size, table, rstrip, dtime) -> (seconds, list of dicts):
// the records read, the reply decoded with its compressed content left
// compressed, and the table's rows converted as they are expanded (what
// Connection.call does), all timed.
PyObject* streamed(PyObject*, PyObject* args) {
  PyObject* spec;
  Py_ssize_t size;
  const char* table;
  int rstrip, dtime;
  if (!PyArg_ParseTuple(args, "O!nspp", &PyList_Type, &spec, &size, &table, &rstrip, &dtime)) return nullptr;
  proto::StructureLayout layout;
  if (!layout_of(spec, size, layout)) return nullptr;
  const auto t0 = Clock::now();
  auto reader = wire::ContainerReader::create(g_reply);
  if (!reader) { PyErr_SetString(PyExc_RuntimeError, "container header"); return nullptr; }
  auto records = reader->read_all_records();
  if (!records) { PyErr_SetString(PyExc_RuntimeError, "container records"); return nullptr; }
  wire::ExpansionBudget budget;
  auto decoded = proto::decode_classic_reply(*records, nullptr, {}, budget, proto::TableContent::LeftCompressed);
  if (!decoded) return ext::raise_protocol_error(module_state(), decoded.error());
  const proto::ReplyTable* t = decoded->table(table);
  if (!t || t->left_compressed.empty()) { PyErr_SetString(PyExc_RuntimeError, "no table left compressed"); return nullptr; }
  std::uint64_t left = decoded->budget_left;
  ext::PyRef list(ext::left_compressed_table_to_py(module_state(), layout, *t, left,
                                                   ext::ReadFlags{rstrip != 0, dtime != 0}));
  const double seconds = since(t0);
  if (!list) return nullptr;
  return Py_BuildValue("(dO)", seconds, list.get());
}

// floor(keys, values, copies) -> seconds: dicts_of_ready_values.
PyObject* floor_(PyObject*, PyObject* args) {
  PyObject* keys;
  PyObject* values;
  int copies;
  if (!PyArg_ParseTuple(args, "O!O!p", &PyTuple_Type, &keys, &PyList_Type, &values, &copies)) return nullptr;
  const double seconds = dicts_of_ready_values(keys, values, copies != 0, nullptr);
  return seconds < 0 ? nullptr : PyFloat_FromDouble(seconds);
}

PyMethodDef methods[] = {
    {"decode", decode, METH_VARARGS, nullptr},
    {"convert", convert, METH_VARARGS, nullptr},
    {"streamed", streamed, METH_VARARGS, nullptr},
    {"floor", floor_, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
'''


# --- the simulator's reply, built in this process ---------------------------------------


class _Ctx:
    def __init__(self, registry, n):
        self.registry = registry
        self.function = registry.get(FUNCTION)
        self.imports = {"ROW_COUNT": n}


def simulator_reply(n):
    """(container bytes, layout spec, image size) of the reply the simulator
    sends for Z_SIM_ROWS with ROW_COUNT n."""
    from sim import config, reply, tables
    from sim.dictionary import standard_dictionary
    from sim.functions import standard_registry

    cfg = config.load()
    registry = standard_registry(standard_dictionary(), cfg)
    container = reply.reply_container(tables.bulk_scenario(_Ctx(registry, n)), cfg["table_compress_above"],
                                      cfg["table_piece"])
    layout = registry.dictionary.lookup("ZSIM_BULK")
    spec = [(f.name, f.inttype, f.offset, f.intlen, f.decimals) for f in layout.fields]
    return container, spec, layout.size


KINDS = [
    # (label, type letters, dtime)
    ("all ten fields", "CNIPD", False),
    ("CHAR, NUMC, INT4", "CNI", False),
    ("packed (2 and 5 decimals)", "P", False),
    ("DATS as text", "D", False),
    ("DATS with dtime", "D", True),
]
# The best of this many runs of each conversion and floor.
REPEAT = 5


def in_memory(helper, n):
    container, spec, size = simulator_reply(n)
    decode = _native.best(lambda: helper.decode(container), REPEAT)
    print(f"\n1. in memory: {n} rows, {len(spec)} fields, {size} bytes a row; "
          f"reply {len(container) / 1e6:.1f} MB compressed; best of {REPEAT}; M fields/s")
    print(f"   {'':28} {'ours':>7} {'fresh':>7} {'floor':>7} {'ours/floor':>10} {'fresh/floor':>11}  goal")
    print(f"   {'decode + inflate':28} {decode:6.3f}s")
    rates = {}
    for label, letters, dtime in KINDS:
        part = [f for f in spec if f[1] in letters]
        fields = n * len(part)

        def convert():
            return helper.convert(part, size, TABLE, True, dtime)

        _, got = convert()
        keys = tuple(got[0])
        ready = [tuple(r.values()) for r in got]
        del got

        cold, ours = _native.fresh_and_reused(convert, REPEAT)
        floor = min(_native.best(lambda: helper.floor(keys, ready, False), REPEAT),
                    _native.best(lambda: helper.floor(keys, ready, True), REPEAT))
        del ready
        rates[label] = fields / ours
        rates[label + ", fresh"] = fields / cold
        goal = ""
        if letters == "CNI":
            goal = (f"≥ {GOAL_FIELDS / 1e6:.0f}: {'met' if fields / ours >= GOAL_FIELDS else 'MISSED'}, "
                    f"≥ {GOAL_FLOOR} × floor: {'met' if floor / ours >= GOAL_FLOOR else 'MISSED'}")
        elif letters == "P":
            goal = f"≥ {GOAL_FIELDS / 1e6:.0f}: {'met' if fields / ours >= GOAL_FIELDS else 'MISSED'}"
        print(f"   {label:28} {fields / ours / 1e6:7.2f} {fields / cold / 1e6:7.2f} {fields / floor / 1e6:7.2f} "
              f"{floor / ours:10.2f} {floor / cold:11.2f}  {goal}")
    convert_all = n * len(spec) / rates["all ten fields"]
    whole = n * len(spec) / (decode + convert_all)
    whole_cold = n * len(spec) / (decode + n * len(spec) / rates["all ten fields, fresh"])
    print(f"   {'reply to dicts, all fields':28} {whole / 1e6:7.2f} {whole_cold / 1e6:7.2f}  "
          "(decode, inflate and conversion: the table expanded whole, then converted)")
    cold, ours = _native.fresh_and_reused(lambda: helper.streamed(spec, size, TABLE, True, False), REPEAT)
    print(f"   {'  rows as they are expanded':28} {n * len(spec) / ours / 1e6:7.2f} {n * len(spec) / cold / 1e6:7.2f}  "
          f"(the same, converted a window of rows at a time, as Connection.call does)")
    print(f"   ours: on memory an earlier result left (1 row in {_native.PIN_EVERY} of it kept), as the floor's dicts are;"
          " fresh: on memory\n   the process maps anew (first-touch page faults included); floor: the same"
          " dicts of ready values\n   built in C (PyDict_New and a PyDict_SetItem per field, or copies of a"
          " presized dict, the faster)")
    return whole


# --- through Connection.call ---------------------------------------------------------------

CALLER = r'''
import json, os, sys, time
sys.path[:0] = json.loads(os.environ["BENCH_PATH"])
import find_lomra
lomra = find_lomra.load()

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

def reset_peak():
    # The high-water mark of the resident set starts again from what is
    # resident now.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

def object_size(rows):
    seen = set()
    total = sys.getsizeof(rows)
    for row in rows:
        total += sys.getsizeof(row)
        for value in row.values():
            if id(value) not in seen:
                seen.add(id(value))
                total += sys.getsizeof(value)
    return total

port, n, calls = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
conn = lomra.Connection({"ashost": "127.0.0.1", "port": str(port), "user": "TESTER", "passwd": "secret"}, {})
conn.function_description("Z_SIM_ROWS")
before = status("VmRSS")
reset_peak()
times = []
for i in range(calls):
    t0 = time.perf_counter()
    result = conn.call("Z_SIM_ROWS", {"ROW_COUNT": n}, {})
    times.append(time.perf_counter() - t0)
    rows = result["T_ROWS"]
    assert len(rows) == n
    if i + 1 < calls:
        del result, rows
peak = status("VmHWM")
kept = status("VmRSS") - before
print(json.dumps({"seconds": min(times), "peak": peak - before, "kept": kept, "objects": object_size(rows),
                  "first": {k: str(v) for k, v in rows[0].items()}}))
'''


def call_in_fresh_process(port, n, calls):
    env = dict(os.environ, BENCH_PATH=json.dumps([str(SIM_DIR), str(ROOT / "tests" / "py" / "support")]))
    # -P: not from the working directory, where a source tree's lomra/ (no
    # extension module) would shadow the installed package.
    out = subprocess.run([sys.executable, "-P", "-c", CALLER, str(port), str(n), str(calls)], env=env,
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"the caller process failed ({out.returncode}):\n{out.stderr}")
    return json.loads(out.stdout)


def through_call(sim, conn, n, in_memory_rate):
    from sim.tables import bulk_row

    t0 = time.perf_counter()
    rows = conn.call(FUNCTION, {"ROW_COUNT": n}, {})[TABLE]
    first = time.perf_counter() - t0
    for i in (0, n // 2, n - 1):
        assert rows[i] == {k: v.rstrip() if isinstance(v, str) else v for k, v in bulk_row(i + 1).items()}, i
    del rows
    seconds = []
    for _ in range(2):
        t0 = time.perf_counter()
        rows = conn.call(FUNCTION, {"ROW_COUNT": n}, {})[TABLE]
        seconds.append(time.perf_counter() - t0)
        del rows
    fields = n * 10
    best = min(seconds)
    print(f"\n2. through Connection.call from the simulator: {n} rows "
          f"(first call {first:.1f} s while the simulator made and compressed them)")
    print(f"   warm:  {best:.3f} s, {fields / best / 1e6:.2f} M fields/s; in memory {in_memory_rate / 1e6:.2f} M fields/s; "
          f"ratio {fields / best / in_memory_rate:.2f}")
    fresh = call_in_fresh_process(sim.gateway, n, 1)
    rate = fields / fresh["seconds"]
    print(f"   fresh: {fresh['seconds']:.3f} s, {rate / 1e6:.2f} M fields/s, the first call of a new process "
          f"(goal ≥ {GOAL_FIELDS / 1e6:.0f}: {'met' if rate >= GOAL_FIELDS else 'MISSED'})")
    return fresh


def memory_and_scaling(sim, conn, n, big):
    print(f"\n3. peak RSS of the call (fresh process, {n} rows) ÷ the size of the resulting objects")
    ratio = big["peak"] / big["objects"]
    print(f"   peak growth {big['peak'] / 1e6:.0f} MB, objects {big['objects'] / 1e6:.0f} MB (sys.getsizeof), "
          f"kept after the call {big['kept'] / 1e6:.0f} MB")
    print(f"   peak ÷ objects {ratio:.2f} (goal ≤ {GOAL_RSS}: {'met' if ratio <= GOAL_RSS else 'MISSED'}); "
          f"peak ÷ kept {big['peak'] / big['kept']:.2f}")

    print("\n4. growth with the row count (fresh process per size; time best of 3 calls, peak RSS growth)")
    print(f"   {'rows':>9} {'seconds':>8} {'us/row':>8} {'ratio':>6} {'peak MB':>8} {'B/row':>7} {'ratio':>6}")
    previous = None
    for size in [s for s in (n // 100, n // 10, n) if s > 0]:
        conn.call(FUNCTION, {"ROW_COUNT": size}, {})  # the simulator makes and keeps the rows
        r = call_in_fresh_process(sim.gateway, size, 3)
        per_row, per_byte = r["seconds"] / size, r["peak"] / size
        time_ratio = f"{per_row / previous[0]:6.2f}" if previous else f"{'':6}"
        byte_ratio = f"{per_byte / previous[1]:6.2f}" if previous else f"{'':6}"
        print(f"   {size:9d} {r['seconds']:8.3f} {per_row * 1e6:8.2f} {time_ratio} {r['peak'] / 1e6:8.0f} "
              f"{per_byte:7.0f} {byte_ratio}")
        previous = (per_row, per_byte)
    print("   (ratio: the per-row figure ÷ that of the size ten times smaller; linear growth gives 1)")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    helper = _native.load_helper("_bench_large_tables", HELPER, _native.build_dir("release"))
    rate = in_memory(helper, n)
    del helper

    import find_lomra
    from simctl import Sim

    try:
        lomra = find_lomra.load()
    except find_lomra.LomraMissing as exc:
        sys.exit(f"{exc}: install lomra, or set QUIB_BUILD_DIR to a CMake build configured with -DQUIB_PYTHON=ON")
    with Sim() as sim:
        conn = lomra.Connection({"ashost": "127.0.0.1", "port": str(sim.gateway), "user": "TESTER",
                                 "passwd": "secret"}, {})
        fresh = through_call(sim, conn, n, rate)
        memory_and_scaling(sim, conn, n, fresh)
        conn.close()
        if sim.checks():
            print("simulator deviations:", sim.checks()[:3])


if __name__ == "__main__":
    main()
