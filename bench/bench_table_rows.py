#!/usr/bin/python3
"""Table rows to Python: one million rows of a five-field structure (INT4,
CHAR 20, packed 8 bytes with 2 decimals, DATS, FLOAT; 80 bytes a row) turned
into a list of dicts by table_to_py, from a classic reply held in memory,
beside the anchors measured in the same run:

  - C anchor: the same number of dicts built with PyDict_New and one
    PyDict_SetItem per field from ready key and value objects (no decoding,
    no object creation): the floor of any rows-to-dicts conversion;
  - Python anchor: the same dicts built by dict(zip(keys, values)) from
    ready tuples of ready values.

It also shows the time to decode the reply's records into the table's rows
(decode_classic_reply: the rows arrive as compressed content, since a
container holds at most 100000 records), which happens before the
conversion.

The conversion is not reachable from Python without a server, so this script
compiles a small helper module from ext/convert.cpp (with the extension's
py.cpp and errors.cpp) against the static libraries of a CMake build, and
times the work inside it with a monotonic clock.

    QUIB_BUILD_DIR=build/<dir> /usr/bin/python3 bench/bench_table_rows.py [rows]

The build directory needs libquib_wire.a, libquib_snc.a and libquib_proto.a
(a Release build gives the meaningful figures).
"""

import sys
import time
from decimal import Decimal

import _native

HELPER = r'''
#include "proto/call/reply.hpp"
#include "proto/call/structure.hpp"
#include "wire/container.hpp"
#include "wire/deflate.hpp"

namespace {

proto::FieldLayout field(const char* name, wire::AbapType t, std::uint64_t off, std::uint64_t w,
                         std::uint64_t dec = 0) {
  proto::FieldLayout f;
  f.name = name;
  f.abap_type = t;
  f.offset = off;
  f.width = w;
  f.decimals = dec;
  return f;
}

const proto::StructureLayout& layout() {
  static const proto::StructureLayout l{
      "ZBENCH_ROW",
      {field("ID", wire::AbapType::Int4, 0, 4), field("NAME", wire::AbapType::Char, 4, 40),
       field("AMOUNT", wire::AbapType::Bcd, 44, 8, 2), field("DAY", wire::AbapType::Date, 52, 16),
       field("SCORE", wire::AbapType::Float, 72, 8)},
      80};
  return l;
}

std::string name_of(long i) { return "ROW " + std::to_string(100000 + i % 900000); }

// The reply of a call whose table T_OUT holds n rows, decoded. A reply of
// that many rows arrives as compressed content (a container holds at most
// 100000 records): the rows are deflated and framed as the server frames
// them, the bit stream led by a two-bit skip count of 0.
std::vector<std::uint8_t> g_reply;
proto::CallReply g_decoded;

wire::Bytes compressed_content(const wire::Bytes& rows) {
  const wire::Bytes stream = wire::deflate_raw(rows);
  wire::Bytes shifted;
  shifted.reserve(stream.size() + 1);
  unsigned carry = 0;  // the skip count: two zero bits in front
  for (std::uint8_t b : stream) {
    shifted.push_back(static_cast<std::uint8_t>((b << 2) | carry));
    carry = b >> 6;
  }
  shifted.push_back(static_cast<std::uint8_t>(carry));
  wire::Bytes out = {0x7B, 0x02, 0x01, 0xEA};
  wire::append_be32(out, static_cast<std::uint32_t>(shifted.size() + 16));
  wire::append_le32(out, static_cast<std::uint32_t>(rows.size()));
  for (std::uint8_t b : {0x12, 0x1F, 0x9D, 0x01}) out.push_back(b);
  out.insert(out.end(), shifted.begin(), shifted.end());
  return out;
}

// make_reply(n) -> (bytes of the reply, seconds to decode it)
PyObject* make_reply(PyObject*, PyObject* args) {
  Py_ssize_t n;
  if (!PyArg_ParseTuple(args, "n", &n)) return nullptr;
  wire::Bytes rows;
  rows.reserve(static_cast<std::size_t>(n) * 80);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::vector<proto::NamedValue> values = {
        {"ID", wire::RfcValue::integer(i)},
        {"NAME", wire::RfcValue::text(name_of(static_cast<long>(i)))},
        {"AMOUNT", wire::RfcValue::text(std::to_string(i % 100000) + "." + std::to_string(10 + i % 90))},
        {"DAY", wire::RfcValue::text("20240517")},
        {"SCORE", wire::RfcValue::floating(static_cast<double>(i) / 4)}};
    auto image = proto::encode_structure(layout(), values);
    if (!image) return ext::raise_protocol_error(module_state(), image.error());
    rows.insert(rows.end(), image->begin(), image->end());
  }
  wire::ContainerWriter w;
  w.put_record(wire::RecordId::TableName, wire::encode_utf16le("T_OUT"));
  wire::Bytes header;
  wire::append_be32(header, 80);
  wire::append_be32(header, static_cast<std::uint32_t>(n));
  w.put_record(wire::RecordId::TableHeader, header);
  w.put_record(wire::RecordId::TableCompressed, compressed_content(rows));
  auto container = std::move(w).finish_container();
  if (!container) { PyErr_SetString(PyExc_RuntimeError, "container"); return nullptr; }
  g_reply = std::move(container).value();
  auto reader = wire::ContainerReader::create(g_reply);
  if (!reader) { PyErr_SetString(PyExc_RuntimeError, "reader"); return nullptr; }
  auto records = reader->read_all_records();
  if (!records) { PyErr_SetString(PyExc_RuntimeError, "records"); return nullptr; }
  const auto t0 = Clock::now();
  auto decoded = proto::decode_classic_reply(*records, nullptr, {});
  const double seconds = since(t0);
  if (!decoded) return ext::raise_protocol_error(module_state(), decoded.error());
  g_decoded = std::move(decoded).value();
  auto table = proto::reply_table_rows(g_decoded.tables.at(0));
  if (!table) return ext::raise_protocol_error(module_state(), table.error());
  if ((*table)->row_count() != static_cast<std::uint64_t>(n) || (*table)->bytes() != rows) {
    PyErr_SetString(PyExc_RuntimeError, "the decoded rows differ from the rows sent");
    return nullptr;
  }
  return Py_BuildValue("(nd)", static_cast<Py_ssize_t>(g_reply.size()), seconds);
}

// ours() -> (seconds, list of dicts)
PyObject* ours(PyObject*, PyObject*) {
  auto rows = proto::reply_table_rows(g_decoded.tables.at(0));
  if (!rows) return ext::raise_protocol_error(module_state(), rows.error());
  const auto t0 = Clock::now();
  ext::PyRef list(ext::table_to_py(module_state(), layout(), **rows, ext::ReadFlags{true, false}));
  const double seconds = since(t0);
  if (!list) return nullptr;
  return Py_BuildValue("(dO)", seconds, list.get());
}

// anchor(keys, values) -> (seconds, list of dicts): values is a list of
// tuples of ready objects, one tuple per row.
PyObject* anchor(PyObject*, PyObject* args) {
  PyObject* keys;
  PyObject* values;
  if (!PyArg_ParseTuple(args, "OO", &keys, &values)) return nullptr;
  PyObject* list = nullptr;
  const double seconds = dicts_of_ready_values(keys, values, false, &list);
  if (seconds < 0) return nullptr;
  ext::PyRef owned(list);
  return Py_BuildValue("(dO)", seconds, list);
}

PyMethodDef methods[] = {
    {"make_reply", make_reply, METH_VARARGS, nullptr},
    {"ours", ours, METH_NOARGS, nullptr},
    {"anchor", anchor, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
'''


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    helper = _native.load_helper("_bench_table_rows", HELPER, _native.build_dir("release"))
    size, decode = helper.make_reply(n)

    # The dicts ours builds are the ones the anchors build.
    _, got = helper.ours()
    keys = tuple(got[0])
    ready = [tuple(row.values()) for row in got]
    assert got[1] == {"ID": 1, "NAME": "ROW 100001", "AMOUNT": Decimal("1.11"), "DAY": "20240517",
                      "SCORE": 0.25}, got[1]
    del got

    ours = _native.best(lambda: helper.ours()[0])
    c_anchor = _native.best(lambda: helper.anchor(keys, ready)[0])

    def python_anchor():
        t0 = time.perf_counter()
        rows = [dict(zip(keys, values)) for values in ready]
        elapsed = time.perf_counter() - t0
        del rows
        return elapsed

    py_anchor = _native.best(python_anchor)
    print(f"{n} rows of 80 bytes ({size / 1e6:.1f} MB compressed reply), 5 fields, best of 3")
    print(f"{'step':44} {'seconds':>8} {'ns/row':>8} {'ratio':>7}")
    print(f"{'reply to table rows (decode, inflate)':44} {decode:8.3f} {decode / n * 1e9:8.0f}")
    print(f"{'table_to_py: rows to dicts (ours)':44} {ours:8.3f} {ours / n * 1e9:8.0f} {1.0:7.2f}")
    print(f"{'C anchor: dicts of ready values':44} {c_anchor:8.3f} {c_anchor / n * 1e9:8.0f} "
          f"{ours / c_anchor:7.2f}")
    print(f"{'Python anchor: dict(zip(keys, ready tuple))':44} {py_anchor:8.3f} {py_anchor / n * 1e9:8.0f} "
          f"{ours / py_anchor:7.2f}")


if __name__ == "__main__":
    main()
