#include "ext/convert.hpp"

#include <fmt/format.h>

#include <cstdint>

#include "ext/errors.hpp"
#include "proto/base/error.hpp"
#include "wire/utf.hpp"

namespace quib::ext {

using wire::AbapType;
using wire::Bytes;
using wire::RfcValue;

namespace {

// What refusals say the field wanted.
constexpr std::string_view kWantString = "a string";
constexpr std::string_view kWantDate = "a date or string";
constexpr std::string_view kWantTime = "a time or string";
constexpr std::string_view kWantFloat = "a float";
constexpr std::string_view kWantInteger = "an integer";
constexpr std::string_view kWantBytes = "bytes";
constexpr std::string_view kWantAny = "a string, integer or bytes";
constexpr std::string_view kWantNumber = "a number or string";
constexpr std::string_view kWantDict = "a dict";

constexpr const char* kDateFormat = "%Y%m%d";
constexpr const char* kTimeFormat = "%H%M%S";
constexpr std::size_t kDateDigits = 8;
constexpr std::size_t kTimeDigits = 6;

// The outcome of trying one way of reading an object: it fits, it does not
// fit (try the next way), or Python raised something that must propagate.
enum class Fit { Yes, No, Error };

// A failed protocol call that only says "not this kind of object" is a
// refusal; anything else Python raised (a failing __index__, a signalling
// NaN) propagates unchanged.
Fit refusal_or_error() {
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    return Fit::No;
  }
  return Fit::Error;
}

std::optional<std::string> utf8_of(PyObject* str) {
  std::string text;
  if (!str_to_utf8(str, text)) return std::nullopt;
  return text;
}

std::optional<RfcValue> text_of(PyObject* str) {
  std::string text;
  if (!str_to_utf8(str, text)) return std::nullopt;
  return std::optional<RfcValue>(std::in_place, RfcValue::text(std::move(text)));
}

// The str() of an object.
std::optional<std::string> str_of(PyObject* obj) {
  PyRef s(PyObject_Str(obj));
  if (!s) return std::nullopt;
  return utf8_of(s.get());
}

// The integer protocol (int, bool, __index__) into a signed 64-bit value.
Fit as_int64(PyObject* obj, std::int64_t& out) {
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return refusal_or_error();
  out = v;
  return Fit::Yes;
}

// Python's float conversion of a number (float, int, __float__, __index__).
Fit as_double(PyObject* obj, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return refusal_or_error();
  out = v;
  return Fit::Yes;
}

// A sequence of integers from 0 to 255 that is not a str.
Fit as_byte_sequence(PyObject* obj, Bytes& out) {
  if (PyUnicode_Check(obj)) return Fit::No;
  if (PyBytes_Check(obj)) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(obj, &p, &n) < 0) return Fit::Error;
    out.assign(p, p + n);
    return Fit::Yes;
  }
  if (PyByteArray_Check(obj)) {
    const char* p = PyByteArray_AsString(obj);
    const Py_ssize_t n = PyByteArray_Size(obj);
    if (!p || n < 0) return Fit::Error;
    out.assign(p, p + n);
    return Fit::Yes;
  }
  if (!PySequence_Check(obj)) return Fit::No;
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return refusal_or_error();
  out.clear();
  // No reservation from the length: a virtual sequence (a range) may claim
  // far more items than it is sensible to allocate for up front.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(obj, i));
    if (!item) return refusal_or_error();
    long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) return refusal_or_error();
    if (v < 0 || v > 255) return Fit::No;
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return Fit::Yes;
}

// 1 when `obj` is an instance of the cached class, 0 when not, -1 with the
// Python error set (the import failed, or the instance test raised).
int is_instance(PyObject* obj, PyObject* (*cls)()) {
  PyObject* type = cls();
  if (!type) return -1;
  return PyObject_IsInstance(obj, type);
}

// obj.strftime(format), which must return a str.
std::optional<RfcValue> strftime_text(PyObject* obj, const char* format) {
  PyRef s(PyObject_CallMethod(obj, "strftime", "s", format));
  if (!s) return std::nullopt;
  if (!PyUnicode_Check(s.get())) {
    const std::string got = type_name_of(s.get());
    PyErr_Format(PyExc_TypeError, "strftime() returned %s, not str", got.c_str());
    return std::nullopt;
  }
  return text_of(s.get());
}

std::optional<RfcValue> date_or_time(std::string_view name, PyObject* obj,
                                     PyObject* (*cls)(), const char* format,
                                     std::string_view what) {
  if (PyUnicode_Check(obj)) return text_of(obj);
  const int is = is_instance(obj, cls);
  if (is < 0) return std::nullopt;
  if (is) return strftime_text(obj, format);
  conversion_error(what, name, obj);
  return std::nullopt;
}

std::optional<RfcValue> to_float(std::string_view name, PyObject* obj) {
  double d = 0;
  switch (as_double(obj, d)) {
    case Fit::Yes:
      return RfcValue::floating(d);
    case Fit::Error:
      return std::nullopt;
    case Fit::No:
      break;
  }
  auto text = number_or_string(name, obj);
  if (!text) return std::nullopt;
  if (auto parsed = wire::parse_double_text(*text)) return RfcValue::floating(*parsed);
  conversion_error(kWantFloat, name, obj);
  return std::nullopt;
}

// An int beyond 64 bits: refused with its value and the field it was for.
void out_of_range_error(std::string_view name, AbapType type, PyObject* obj) {
  auto shown = str_of(obj);
  if (!shown) PyErr_Clear();
  const std::string msg =
      fmt::format("integer {} is out of range for parameter {} of type {}",
                  shown ? *shown : std::string("?"), debug_quote(name), type.display());
  PyRef text(str_from_utf8(msg));
  if (text) PyErr_SetObject(PyExc_OverflowError, text.get());
}

std::optional<RfcValue> to_integer(std::string_view name, AbapType type, PyObject* obj) {
  std::int64_t v = 0;
  switch (as_int64(obj, v)) {
    case Fit::Yes:
      return RfcValue::integer(v);
    case Fit::Error:
      return std::nullopt;
    case Fit::No:
      break;
  }
  if (PyLong_Check(obj)) {
    // An int that as_int64 refused can only be one that does not fit.
    out_of_range_error(name, type, obj);
    return std::nullopt;
  }
  if (PyUnicode_Check(obj)) {
    auto text = utf8_of(obj);
    if (!text) return std::nullopt;
    if (auto parsed = wire::parse_int64_text(*text)) return RfcValue::integer(*parsed);
  }
  conversion_error(kWantInteger, name, obj);
  return std::nullopt;
}

// A byte sequence as a byte value; anything else is refused as not `what`.
std::optional<RfcValue> to_bytes(std::string_view name, PyObject* obj,
                                 std::string_view what = kWantBytes) {
  Bytes b;
  switch (as_byte_sequence(obj, b)) {
    case Fit::Yes:
      return RfcValue::bytes(std::move(b));
    case Fit::Error:
      return std::nullopt;
    case Fit::No:
      break;
  }
  conversion_error(what, name, obj);
  return std::nullopt;
}

// Utclong, the structured kinds and Unknown: a str, else an integer, else a
// byte sequence, each passed on as it is.
std::optional<RfcValue> to_any(std::string_view name, AbapType type, PyObject* obj) {
  if (PyUnicode_Check(obj)) return text_of(obj);
  std::int64_t v = 0;
  switch (as_int64(obj, v)) {
    case Fit::Yes:
      return RfcValue::integer(v);
    case Fit::Error:
      return std::nullopt;
    case Fit::No:
      break;
  }
  if (PyLong_Check(obj)) {
    out_of_range_error(name, type, obj);
    return std::nullopt;
  }
  return to_bytes(name, obj, kWantAny);
}

// ---------------------------------------------------------------- back to Python

// White space removal (the Unicode rule; the blanks that fill fixed-width
// fields are skipped without decoding).
std::string_view trim_end(std::string_view s) { return wire::trim_end_unicode(s); }
std::string_view trim(std::string_view s) { return wire::trim_unicode(s); }

PyObject* new_str(std::string_view s) { return str_from_utf8(s); }

PyObject* new_bytes(const Bytes& b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

bool all_ascii_digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int digits_value(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// What a value holds, for the refusal of one that cannot be converted.
std::string value_shown(const RfcValue& value) {
  switch (value.kind()) {
    case RfcValue::Kind::Text:
      return fmt::format("the text {}", debug_quote(value.as_text()));
    case RfcValue::Kind::Int:
      return fmt::format("the integer {}", value.as_int());
    case RfcValue::Kind::Float:
      return fmt::format("the float {}", wire::float_shortest_text(value.as_float()));
    case RfcValue::Kind::Bytes:
      return fmt::format("{} bytes", value.as_bytes().size());
    case RfcValue::Kind::Undecoded:
      return fmt::format("{} undecoded bytes", value.as_undecoded().bytes.size());
  }
  return "a value";
}

// Every value that cannot become the Python object of its type fails here,
// where it is read, instead of turning into an empty or zero value that
// looks genuine.
PyObject* raise_unconvertible(std::string_view name, AbapType type, const RfcValue& value) {
  return raise_external(fmt::format("field {} of type {} holds {}, which cannot be converted",
                                    debug_quote(name), type.display(), value_shown(value)));
}

PyObject* date_to_py(std::string_view name, AbapType type, const RfcValue& value, ReadFlags flags) {
  if (!value.is_text()) return raise_unconvertible(name, type, value);
  const std::string& text = value.as_text();
  if (!flags.dtime) return new_str(text);
  const std::string_view t = trim(text);
  if (t.empty()) Py_RETURN_NONE;
  // The initial date of ABAP: any number of zeros, blanks around them aside.
  if (t.find_first_not_of('0') == std::string_view::npos) Py_RETURN_NONE;
  if (t.size() != kDateDigits || !all_ascii_digits(t))
    return raise_external(
        fmt::format("{} value {} is not eight digits", "Date", debug_quote(text)));
  PyObject* cls = datetime_date_type();
  if (!cls) return nullptr;
  return PyObject_CallFunction(cls, "iii", digits_value(t.substr(0, 4)),
                               digits_value(t.substr(4, 2)), digits_value(t.substr(6, 2)));
}

PyObject* time_to_py(std::string_view name, AbapType type, const RfcValue& value, ReadFlags flags) {
  if (!value.is_text()) return raise_unconvertible(name, type, value);
  const std::string& text = value.as_text();
  if (!flags.dtime) return new_str(text);
  const std::string_view t = trim(text);
  if (t.empty()) Py_RETURN_NONE;
  if (t.size() != kTimeDigits || !all_ascii_digits(t))
    return raise_external(fmt::format("{} value {} is not six digits", "Time", debug_quote(text)));
  PyObject* cls = datetime_time_type();
  if (!cls) return nullptr;
  return PyObject_CallFunction(cls, "iii", digits_value(t.substr(0, 2)),
                               digits_value(t.substr(2, 2)), digits_value(t.substr(4, 2)));
}

PyObject* decimal_to_py(std::string_view name, AbapType type, const RfcValue& value) {
  std::string text;
  switch (value.kind()) {
    case RfcValue::Kind::Text: {
      const std::string_view t = trim(value.as_text());
      text = t.empty() ? std::string("0") : std::string(t);
      break;
    }
    case RfcValue::Kind::Int:
      text = std::to_string(value.as_int());
      break;
    case RfcValue::Kind::Float:
      text = wire::float_shortest_text(value.as_float());
      break;
    default:
      return raise_unconvertible(name, type, value);
  }
  PyObject* cls = decimal_type();
  if (!cls) return nullptr;
  PyRef arg(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!arg) return nullptr;
  PyObject* number = PyObject_CallFunctionObjArgs(cls, arg.get(), nullptr);
  // A text that is no number: the field's own refusal rather than
  // decimal's signal.
  if (!number && !PyErr_ExceptionMatches(PyExc_MemoryError) &&
      PyErr_ExceptionMatches(PyExc_ArithmeticError)) {
    PyErr_Clear();
    return raise_unconvertible(name, type, value);
  }
  return number;
}

}  // namespace

std::string type_name_of(PyObject* obj) {
  PyRef name(PyType_GetName(Py_TYPE(obj)));
  std::string out;
  if (!name || !str_to_utf8(name.get(), out)) {
    PyErr_Clear();
    return "?";
  }
  return out;
}

bool conversion_error(std::string_view what, std::string_view name, PyObject* obj) {
  const std::string msg =
      fmt::format("{} required for parameter {}, got {}", what, debug_quote(name), type_name_of(obj));
  PyRef text(str_from_utf8(msg));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return false;
}

std::optional<std::string> number_or_string(std::string_view name, PyObject* obj) {
  if (PyUnicode_Check(obj)) return utf8_of(obj);
  if (PyLong_Check(obj) || PyFloat_Check(obj)) return str_of(obj);
  const int is = is_instance(obj, decimal_type);
  if (is < 0) return std::nullopt;
  if (is) return str_of(obj);
  conversion_error(kWantNumber, name, obj);
  return std::nullopt;
}

std::optional<RfcValue> py_to_value(std::string_view name, AbapType type, PyObject* obj) {
  switch (type.kind) {
    case AbapType::Char:
    case AbapType::String:
      if (PyUnicode_Check(obj)) return text_of(obj);
      conversion_error(kWantString, name, obj);
      return std::nullopt;
    case AbapType::Date:
      return date_or_time(name, obj, datetime_date_type, kDateFormat, kWantDate);
    case AbapType::Time:
      return date_or_time(name, obj, datetime_time_type, kTimeFormat, kWantTime);
    case AbapType::Float:
      return to_float(name, obj);
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8:
      return to_integer(name, type, obj);
    case AbapType::Byte:
    case AbapType::XString:
      return to_bytes(name, obj);
    case AbapType::Numc:
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34: {
      auto text = number_or_string(name, obj);
      if (!text) return std::nullopt;
      return RfcValue::text(std::move(*text));
    }
    case AbapType::Utclong:
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
    case AbapType::Unknown:
      return to_any(name, type, obj);
  }
  return to_any(name, type, obj);
}

PyObject* value_to_py(std::string_view name, AbapType type, const RfcValue& value,
                      ReadFlags flags) {
  // A field the reply decoder could not read fails here, where it is read,
  // instead of turning into an empty or zero value that looks genuine.
  if (value.is_undecoded()) {
    const wire::UndecodedValue& u = value.as_undecoded();
    return raise_external(fmt::format("field {} of type {} could not be decoded ({} bytes)",
                                      debug_quote(name), u.ty.display(), u.bytes.size()));
  }
  switch (type.kind) {
    case AbapType::Char:
    case AbapType::Numc: {
      if (!value.is_text()) break;
      const std::string& text = value.as_text();
      return new_str(flags.rstrip ? trim_end(text) : std::string_view(text));
    }
    case AbapType::String:
    case AbapType::Utclong:
      if (!value.is_text()) break;
      return new_str(value.as_text());
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
    case AbapType::Unknown:
      // Without a layout a structure arrives as its raw image: hand it out as
      // bytes rather than dropping it.
      if (value.is_bytes()) return new_bytes(value.as_bytes());
      if (!value.is_text()) break;
      return new_str(value.as_text());
    case AbapType::Date:
      return date_to_py(name, type, value, flags);
    case AbapType::Time:
      return time_to_py(name, type, value, flags);
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34:
      return decimal_to_py(name, type, value);
    case AbapType::Float:
      if (value.is_float()) return PyFloat_FromDouble(value.as_float());
      if (value.is_int()) return PyFloat_FromDouble(static_cast<double>(value.as_int()));
      if (value.is_text())
        if (auto parsed = wire::parse_double_text(value.as_text()))
          return PyFloat_FromDouble(*parsed);
      break;
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8:
      if (value.is_int()) return PyLong_FromLongLong(value.as_int());
      if (value.is_text())
        if (auto parsed = wire::parse_int64_text(value.as_text()))
          return PyLong_FromLongLong(*parsed);
      break;
    case AbapType::Byte:
    case AbapType::XString:
      if (value.is_bytes()) return new_bytes(value.as_bytes());
      if (value.is_text()) {
        const std::string& t = value.as_text();
        return PyBytes_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
      }
      break;
  }
  return raise_unconvertible(name, type, value);
}

// ---------------------------------------------------------------- structures

std::optional<Bytes> dict_to_structure(const proto::StructureLayout& layout, PyObject* obj,
                                       std::string_view name) {
  if (!PyDict_Check(obj)) {
    conversion_error(kWantDict, name, obj);
    return std::nullopt;
  }
  // A snapshot: converting a value may run Python code that changes the dict.
  PyRef items(PyDict_Items(obj));
  if (!items) return std::nullopt;
  const Py_ssize_t n = PyList_Size(items.get());
  std::vector<proto::NamedValue> values;
  values.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    if (!key || !value) return std::nullopt;
    if (!PyUnicode_Check(key)) {
      const std::string got = type_name_of(key);
      PyErr_Format(PyExc_TypeError, "the dict for parameter %s must have str keys, got a key of type %s",
                   debug_quote(name).c_str(), got.c_str());
      return std::nullopt;
    }
    std::string k;
    if (!str_to_utf8(key, k)) return std::nullopt;
    const proto::FieldLayout* field = proto::find_field(layout, k);
    if (!field) {
      raise_invalid_parameter(fmt::format("{} has no field named {}", layout.name, debug_quote(k)));
      return std::nullopt;
    }
    auto v = py_to_value(field->name, field->abap_type, value);
    if (!v) return std::nullopt;
    values.emplace_back(field->name, std::move(*v));
  }
  auto image = proto::encode_structure(layout, values);
  if (!image) {
    raise_protocol_error(image.error());
    return std::nullopt;
  }
  return std::move(image).value();
}

PyObject* field_key(const proto::FieldLayout& field) {
  PyObject* key = str_from_utf8(field.name);
  if (key) PyUnicode_InternInPlace(&key);
  return key;
}

AbapType conversion_type(const proto::StructureLayout& layout, const proto::FieldLayout& field) {
  const proto::FieldLayout* first = proto::find_field(layout, field.name);
  return first ? first->abap_type : AbapType(AbapType::Char);
}

StructureReader::StructureReader(const proto::StructureLayout& layout, ReadFlags flags)
    : layout_(layout), flags_(flags) {
  columns_.reserve(layout.fields.size());
  for (const proto::FieldLayout& f : layout.fields) {
    if (f.width == 0) continue;
    PyRef key(field_key(f));
    if (!key) {
      ok_ = false;
      return;
    }
    columns_.push_back(Column{&f, conversion_type(layout, f), std::move(key)});
  }
  values_.reserve(columns_.size());
}

PyObject* StructureReader::read(wire::ByteView image) {
  if (auto decoded = proto::decode_structure_values(layout_, image, values_); !decoded)
    return raise_protocol_error(decoded.error());
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    PyRef v(value_to_py(c.field->name, c.type, values_[i], flags_));
    if (!v || PyDict_SetItem(dict.get(), c.key.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace quib::ext
