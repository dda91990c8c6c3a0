#!/usr/bin/python3
"""Value conversion speed: one million scalar values each way, Python to
field value (py_to_value) and field value to Python (value_to_py), beside
the anchor measured in the same run: the same loop over the same values
with the plain C API calls that extract or build the same objects, without
the conversion's dispatch, trimming and parsing. Packed numbers are amounts
with two decimals, nearly every one distinct; their rate to Python is
printed beside the goal of 7 million a second.

The conversion code is not reachable one value at a time from Python, so
this script compiles a small helper module from ext/convert.cpp (with the
extension's py.cpp and errors.cpp) against the static libraries of a CMake
build, and times the loops inside it with a monotonic clock.

    QUIB_BUILD_DIR=build/<dir> /usr/bin/python3 bench/bench_convert.py [count]

The build directory needs libquib_wire.a, libquib_snc.a and libquib_proto.a
(any configuration; a Release build gives the meaningful figures).
"""

import datetime
import sys
from decimal import Decimal

import _native

# Packed decimals to Python, values a second (the goal of table rows,
# bench_table_rows.py; here one value at a time from its text).
GOAL_PACKED = 7e6

HELPER = r'''
namespace {

enum Kind { INT, CHAR, FLOAT, BCD, DATE, BYTE };

bool kind_of(const char* name, Kind& k, wire::AbapType& t) {
  struct Entry { const char* name; Kind kind; wire::AbapType type; };
  static const Entry table[] = {
      {"Int4", INT, wire::AbapType::Int4},   {"Char", CHAR, wire::AbapType::Char},
      {"Float", FLOAT, wire::AbapType::Float}, {"Bcd", BCD, wire::AbapType::Bcd},
      {"Date", DATE, wire::AbapType::Date},  {"Byte", BYTE, wire::AbapType::Byte}};
  for (const auto& e : table)
    if (std::strcmp(e.name, name) == 0) { k = e.kind; t = e.type; return true; }
  PyErr_SetString(PyExc_ValueError, "unknown kind");
  return false;
}

// The anchor of Python to field: the C API call that reads the object.
bool extract_plain(Kind k, PyObject* o, std::vector<wire::RfcValue>& out) {
  switch (k) {
    case INT: {
      long long v = PyLong_AsLongLong(o);
      if (v == -1 && PyErr_Occurred()) return false;
      out.push_back(wire::RfcValue::integer(v));
      return true;
    }
    case FLOAT: {
      double v = PyFloat_AsDouble(o);
      if (v == -1.0 && PyErr_Occurred()) return false;
      out.push_back(wire::RfcValue::floating(v));
      return true;
    }
    case CHAR: {
      Py_ssize_t n = 0;
      const char* p = PyUnicode_AsUTF8AndSize(o, &n);
      if (!p) return false;
      out.push_back(wire::RfcValue::text(std::string(p, n)));
      return true;
    }
    case BCD: {
      ext::PyRef s(PyObject_Str(o));
      Py_ssize_t n = 0;
      const char* p = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
      if (!p) return false;
      out.push_back(wire::RfcValue::text(std::string(p, n)));
      return true;
    }
    case DATE: {
      ext::PyRef s(PyObject_CallMethod(o, "strftime", "s", "%Y%m%d"));
      Py_ssize_t n = 0;
      const char* p = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
      if (!p) return false;
      out.push_back(wire::RfcValue::text(std::string(p, n)));
      return true;
    }
    case BYTE: {
      char* p = nullptr;
      Py_ssize_t n = 0;
      if (PyBytes_AsStringAndSize(o, &p, &n) < 0) return false;
      out.push_back(wire::RfcValue::bytes(wire::Bytes(p, p + n)));
      return true;
    }
  }
  return false;
}

// to_fields(kind, values, plain) -> seconds
PyObject* to_fields(PyObject*, PyObject* args) {
  const char* name;
  PyObject* list;
  int plain;
  if (!PyArg_ParseTuple(args, "sOp", &name, &list, &plain)) return nullptr;
  Kind k; wire::AbapType t;
  if (!kind_of(name, k, t)) return nullptr;
  const Py_ssize_t n = PyList_Size(list);
  std::vector<wire::RfcValue> out;
  out.reserve(n);
  const auto t0 = Clock::now();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = PyList_GetItem(list, i);
    if (plain) {
      if (!extract_plain(k, o, out)) return nullptr;
    } else {
      auto v = ext::py_to_value(module_state(), "FIELD", t, o);
      if (!v) return nullptr;
      out.push_back(std::move(*v));
    }
  }
  return PyFloat_FromDouble(since(t0));
}

// The ready value of each kind, as the reply decoder would hand it over,
// and the final Python object's content for the anchor.
wire::RfcValue field_value(Kind k, long i) {
  switch (k) {
    case INT: return wire::RfcValue::integer(i * 7919 - 123456);
    case FLOAT: return wire::RfcValue::floating(i * 0.25);
    case CHAR: return wire::RfcValue::text("NAME " + std::to_string(i % 100000) + "          ");
    case BCD: {  // an amount with two decimals, nearly every one distinct
      const long cents = (i * 7919L) % 1000000000L;
      const std::string c = std::to_string(100 + cents % 100);
      return wire::RfcValue::text(std::to_string(cents / 100) + "." + c.substr(1));
    }
    case DATE: return wire::RfcValue::text("20240517");
    case BYTE: return wire::RfcValue::bytes(wire::Bytes(16, static_cast<std::uint8_t>(i)));
  }
  return {};
}

PyObject* build_plain(Kind k, const wire::RfcValue& v) {
  switch (k) {
    case INT: return PyLong_FromLongLong(v.as_int());
    case FLOAT: return PyFloat_FromDouble(v.as_float());
    case CHAR: {  // the text as it ends up: without its trailing blanks
      const std::string& s = v.as_text();
      std::size_t end = s.find_last_not_of(' ') + 1;
      return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(end));
    }
    case BCD: {
      PyObject* cls = ext::decimal_type(module_state());
      ext::PyRef text(PyUnicode_FromStringAndSize(v.as_text().data(), v.as_text().size()));
      return cls && text ? PyObject_CallFunctionObjArgs(cls, text.get(), nullptr) : nullptr;
    }
    case DATE: {
      PyObject* cls = ext::datetime_date_type(module_state());
      return cls ? PyObject_CallFunction(cls, "iii", 2024, 5, 17) : nullptr;
    }
    case BYTE:
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.as_bytes().data()),
                                       static_cast<Py_ssize_t>(v.as_bytes().size()));
  }
  return nullptr;
}

// from_fields(kind, count, plain) -> (seconds, list)
PyObject* from_fields(PyObject*, PyObject* args) {
  const char* name;
  Py_ssize_t n;
  int plain;
  if (!PyArg_ParseTuple(args, "snp", &name, &n, &plain)) return nullptr;
  Kind k; wire::AbapType t;
  if (!kind_of(name, k, t)) return nullptr;
  std::vector<wire::RfcValue> values;
  values.reserve(n);
  for (Py_ssize_t i = 0; i < n; ++i) values.push_back(field_value(k, static_cast<long>(i)));
  ext::PyRef list(PyList_New(n));
  if (!list) return nullptr;
  const ext::ReadFlags flags{true, true};
  const auto t0 = Clock::now();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = plain ? build_plain(k, values[i]) : ext::value_to_py(module_state(), "FIELD", t, values[i], flags);
    if (!o || PyList_SetItem(list.get(), i, o) < 0) return nullptr;
  }
  const double seconds = since(t0);
  return Py_BuildValue("(dO)", seconds, list.get());
}

PyMethodDef methods[] = {
    {"to_fields", to_fields, METH_VARARGS, nullptr},
    {"from_fields", from_fields, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
'''


def python_values(kind, n):
    if kind == "Int4":
        return [i * 7919 - 123456 for i in range(n)]
    if kind == "Float":
        return [i * 0.25 for i in range(n)]
    if kind == "Char":
        return [f"NAME {i % 100000}" for i in range(n)]
    if kind == "Bcd":
        return [Decimal((i * 7919) % 1_000_000_000).scaleb(-2) for i in range(n)]
    if kind == "Date":
        day = datetime.date(2024, 5, 17)
        return [day] * n
    return [bytes([i & 0xFF]) * 16 for i in range(n)]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    helper = _native.load_helper("_bench_convert", HELPER, _native.build_dir("e1"))
    print(f"{n} values per run, best of 3; anchor = the plain C API calls on the same values")
    print(f"{'type':6} {'direction':16} {'ours ns/value':>14} {'anchor ns/value':>16} {'ratio':>7}")
    for kind in ("Int4", "Char", "Float", "Bcd", "Date", "Byte"):
        values = python_values(kind, n)
        ours = _native.best(lambda: helper.to_fields(kind, values, False))
        anchor = _native.best(lambda: helper.to_fields(kind, values, True))
        print(f"{kind:6} {'Python to field':16} {ours / n * 1e9:14.1f} {anchor / n * 1e9:16.1f} "
              f"{ours / anchor:7.2f}")
        del values
        ours = _native.best(lambda: helper.from_fields(kind, n, False)[0])
        anchor = _native.best(lambda: helper.from_fields(kind, n, True)[0])
        goal = ""
        if kind == "Bcd":
            goal = f"  {n / ours / 1e6:.1f} M/s, goal ≥ {GOAL_PACKED / 1e6:.0f}: {'met' if n / ours >= GOAL_PACKED else 'MISSED'}"
        print(f"{kind:6} {'field to Python':16} {ours / n * 1e9:14.1f} {anchor / n * 1e9:16.1f} "
              f"{ours / anchor:7.2f}{goal}")


if __name__ == "__main__":
    main()
