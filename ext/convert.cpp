#include "ext/convert.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <span>

#include "ext/args.hpp"
#include "ext/errors.hpp"
#include "proto/base/error.hpp"
#include "wire/ascii.hpp"
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
int is_instance(ModuleState& ms, PyObject* obj, PyObject* (*cls)(ModuleState&)) {
  PyObject* type = cls(ms);
  if (!type) return -1;
  return PyObject_IsInstance(obj, type);
}

// The attributes of a date (year, month, day) or a time (hour, minute,
// second) and the digits each takes.
struct DigitField {
  const char* attribute;
  int digits;
};
constexpr DigitField kDateFields[] = {{"year", 4}, {"month", 2}, {"day", 2}};
constexpr DigitField kTimeFields[] = {{"hour", 2}, {"minute", 2}, {"second", 2}};

// YYYYMMDD of a date, HHMMSS of a time, from its fields, each filled with
// zeros on the left: date(1, 1, 1) is 00010101 (strftime's %Y would give
// 10101 on this platform). A field that cannot be read as an int raises.
std::optional<RfcValue> digits_of(PyObject* obj, std::span<const DigitField> fields) {
  std::string text;
  for (const DigitField& f : fields) {
    PyRef v(PyObject_GetAttrString(obj, f.attribute));
    if (!v) return std::nullopt;
    const long n = PyLong_AsLong(v.get());
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    text += fmt::format("{:0{}d}", n, f.digits);
  }
  return RfcValue::text(std::move(text));
}

std::optional<RfcValue> date_or_time(ModuleState& ms, const ValuePlace& where, PyObject* obj,
                                     PyObject* (*cls)(ModuleState&),
                                     std::span<const DigitField> fields, std::string_view what) {
  if (PyUnicode_Check(obj)) return text_of(obj);
  const int is = is_instance(ms, obj, cls);
  if (is < 0) return std::nullopt;
  if (is) return digits_of(obj, fields);
  conversion_error(what, where, obj);
  return std::nullopt;
}

// Tries one way of reading `obj`: when the object fits, its value as the
// field value `make` gives; when Python raised, nothing (the error set);
// when it does not fit, whatever `otherwise()` gives.
template <class T, class Make, class Otherwise>
std::optional<RfcValue> first_fit(Fit (*read)(PyObject*, T&), PyObject* obj, Make make,
                                  Otherwise otherwise) {
  T v{};
  switch (read(obj, v)) {
    case Fit::Yes:
      return make(std::move(v));
    case Fit::Error:
      return std::nullopt;
    case Fit::No:
      break;
  }
  return otherwise();
}

std::optional<RfcValue> to_float(ModuleState& ms, const ValuePlace& where, PyObject* obj) {
  return first_fit(
      as_double, obj, [](double d) { return RfcValue::floating(d); },
      [&]() -> std::optional<RfcValue> {
        auto text = number_or_string(ms, where, obj);
        if (!text) return std::nullopt;
        if (auto parsed = wire::parse_double_text(*text)) return RfcValue::floating(*parsed);
        conversion_error(kWantFloat, where, obj);
        return std::nullopt;
      });
}

// An int beyond 64 bits: refused with its value and the field it was for.
void out_of_range_error(const ValuePlace& where, AbapType type, PyObject* obj) {
  auto shown = str_of(obj);
  if (!shown) PyErr_Clear();
  set_error(
      PyExc_OverflowError,
      fmt::format("integer {} is out of range for parameter {} of type {}",
                  shown ? *shown : std::string("?"), debug_quote(where.text()), type.display()));
}

// An integer of 64 bits as an integer value; an int beyond 64 bits is
// refused as out of range for the field, any other object goes to
// `otherwise()`.
template <class Otherwise>
std::optional<RfcValue> integer_or(const ValuePlace& where, AbapType type, PyObject* obj,
                                   Otherwise otherwise) {
  return first_fit(
      as_int64, obj, [](std::int64_t v) { return RfcValue::integer(v); },
      [&]() -> std::optional<RfcValue> {
        if (PyLong_Check(obj)) {
          // An int that as_int64 refused can only be one that does not fit.
          out_of_range_error(where, type, obj);
          return std::nullopt;
        }
        return otherwise();
      });
}

std::optional<RfcValue> to_integer(const ValuePlace& where, AbapType type, PyObject* obj) {
  return integer_or(where, type, obj, [&]() -> std::optional<RfcValue> {
    if (PyUnicode_Check(obj)) {
      auto text = utf8_of(obj);
      if (!text) return std::nullopt;
      if (auto parsed = wire::parse_int64_text(*text)) return RfcValue::integer(*parsed);
    }
    conversion_error(kWantInteger, where, obj);
    return std::nullopt;
  });
}

// A byte sequence as a byte value; anything else is refused as not `what`.
std::optional<RfcValue> to_bytes(const ValuePlace& where, PyObject* obj,
                                 std::string_view what = kWantBytes) {
  return first_fit(
      as_byte_sequence, obj, [](Bytes b) { return RfcValue::bytes(std::move(b)); },
      [&]() -> std::optional<RfcValue> {
        conversion_error(what, where, obj);
        return std::nullopt;
      });
}

// Utclong, the structured kinds and Unknown: a str, else an integer, else a
// byte sequence, each passed on as it is.
std::optional<RfcValue> to_any(const ValuePlace& where, AbapType type, PyObject* obj) {
  if (PyUnicode_Check(obj)) return text_of(obj);
  return integer_or(where, type, obj, [&] { return to_bytes(where, obj, kWantAny); });
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
PyObject* raise_unconvertible(ModuleState& ms, std::string_view name, AbapType type,
                              const RfcValue& value) {
  return raise_external(ms, fmt::format("field {} of type {} holds {}, which cannot be converted",
                                        debug_quote(name), type.display(), value_shown(value)));
}

// A Date (`date`) or Time field: its text as it is without dtime, else
// None for a blank one (and for the initial date, any number of zeros),
// else the datetime object of its digits.
PyObject* date_or_time_to_py(ModuleState& ms, std::string_view name, AbapType type,
                             const RfcValue& value, ReadFlags flags, bool date) {
  if (!value.is_text()) return raise_unconvertible(ms, name, type, value);
  const std::string& text = value.as_text();
  if (!flags.dtime) return new_str(text);
  const std::string_view t = trim(text);
  if (t.empty()) Py_RETURN_NONE;
  if (date && t.find_first_not_of('0') == std::string_view::npos) Py_RETURN_NONE;
  if (t.size() != (date ? kDateDigits : kTimeDigits) || !wire::all_digits(t))
    return raise_external(ms, fmt::format("{} value {} is not {} digits", date ? "Date" : "Time",
                                          debug_quote(text), date ? "eight" : "six"));
  return date ? date_from_digits(ms, t) : time_from_digits(ms, t);
}

PyObject* decimal_to_py(ModuleState& ms, std::string_view name, AbapType type,
                        const RfcValue& value) {
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
      return raise_unconvertible(ms, name, type, value);
  }
  PyObject* number = decimal_from_text(ms, text);
  // A text that is no number: the field's own refusal rather than
  // decimal's signal.
  if (!number && !PyErr_ExceptionMatches(PyExc_MemoryError) &&
      PyErr_ExceptionMatches(PyExc_ArithmeticError)) {
    PyErr_Clear();
    return raise_unconvertible(ms, name, type, value);
  }
  return number;
}

// Three numbers from digits, the first `a` of them, the next `b`, the rest,
// as the arguments of `cls` (date or time).
PyObject* from_digits(PyObject* cls, std::string_view d, std::size_t a, std::size_t b) {
  if (!cls) return nullptr;
  return PyObject_CallFunction(cls, "iii", digits_value(d.substr(0, a)),
                               digits_value(d.substr(a, b)), digits_value(d.substr(a + b)));
}

PyObject* cached_type(PyObject*& cell, const char* module, const char* attr) {
  if (cell) return cell;
  PyRef mod(PyImport_ImportModule(module));
  if (!mod) return nullptr;
  cell = PyObject_GetAttrString(mod.get(), attr);  // kept in the state
  return cell;
}

}  // namespace

PyObject* datetime_date_type(ModuleState& ms) {
  return cached_type(ms.date_type, "datetime", "date");
}

PyObject* datetime_time_type(ModuleState& ms) {
  return cached_type(ms.time_type, "datetime", "time");
}

PyObject* decimal_type(ModuleState& ms) {
  return cached_type(ms.decimal_type, "decimal", "Decimal");
}

PyObject* date_from_digits(ModuleState& ms, std::string_view digits) {
  return from_digits(datetime_date_type(ms), digits, 4, 2);
}

PyObject* time_from_digits(ModuleState& ms, std::string_view digits) {
  return from_digits(datetime_time_type(ms), digits, 2, 2);
}

namespace {

// decimal.Decimal(arg). Reading a table makes millions of them, so the
// call goes straight to the type's tp_new when the type has no __init__
// of its own: calling the type would do just that and then run
// object.__init__, which does nothing.
PyObject* new_decimal(ModuleState& ms, PyObject* arg) {
  PyObject* cls = decimal_type(ms);
  if (!cls) return nullptr;
  PyRef args(PyTuple_Pack(1, arg));
  if (!args) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  static void* const object_init = PyType_GetSlot(&PyBaseObject_Type, Py_tp_init);
  auto* tp_new = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
  if (tp_new && PyType_GetSlot(type, Py_tp_init) == object_init)
    return tp_new(type, args.get(), nullptr);
  return PyObject_Call(cls, args.get(), nullptr);
}

}  // namespace

PyObject* decimal_from_text(ModuleState& ms, std::string_view text) {
  PyRef arg(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!arg) return nullptr;
  return new_decimal(ms, arg.get());
}

PyObject* decimal_from_integer(ModuleState& ms, long long value) {
  PyRef arg(PyLong_FromLongLong(value));
  if (!arg) return nullptr;
  return new_decimal(ms, arg.get());
}

std::string no_such_parameter(std::string_view function, std::string_view key) {
  return fmt::format("{} has no parameter named {}", function, debug_quote(key));
}

const proto::ParameterDescription* named_parameter(const ModuleState& ms, std::string_view function,
                                                   const proto::FunctionDescription& d,
                                                   std::string_view key) {
  const proto::ParameterDescription* p = d.find_parameter(key);
  if (!p) raise_invalid_parameter(ms, no_such_parameter(function, key));
  return p;
}

std::string shown_object(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    std::string text;
    if (str_to_utf8(obj, text)) return wire::shown_text(text);
    PyErr_Clear();
    return "?";
  }
  // repr() runs the object's own code, which may fail: the refusal is
  // raised all the same, with "?" for the value.
  PyRef repr(PyObject_Repr(obj));
  std::string text;
  if (!repr || !str_to_utf8(repr.get(), text)) {
    PyErr_Clear();
    return "?";
  }
  std::size_t pos = 0, characters = 0;
  while (pos < text.size() && characters < wire::kShownCharacters) {
    (void)wire::next_utf8(text, pos);
    ++characters;
  }
  if (pos < text.size()) text = text.substr(0, pos) + "...";
  return text;
}

bool conversion_error(std::string_view what, const ValuePlace& where, PyObject* obj) {
  const std::string shown = shown_object(obj);
  set_type_error(fmt::format("{} required for parameter {}, got {} {}", what,
                             debug_quote(where.text()), type_name_of(obj), shown));
  return false;
}

std::optional<std::string> number_or_string(ModuleState& ms, const ValuePlace& where,
                                            PyObject* obj) {
  if (PyUnicode_Check(obj)) return utf8_of(obj);
  if (PyLong_Check(obj) || PyFloat_Check(obj)) return str_of(obj);
  const int is = is_instance(ms, obj, decimal_type);
  if (is < 0) return std::nullopt;
  if (is) return str_of(obj);
  conversion_error(kWantNumber, where, obj);
  return std::nullopt;
}

std::optional<RfcValue> py_to_value(ModuleState& ms, const ValuePlace& where, AbapType type,
                                    PyObject* obj) {
  switch (type.kind) {
    case AbapType::Char:
    case AbapType::String:
      if (PyUnicode_Check(obj)) return text_of(obj);
      conversion_error(kWantString, where, obj);
      return std::nullopt;
    case AbapType::Date:
      return date_or_time(ms, where, obj, datetime_date_type, kDateFields, kWantDate);
    case AbapType::Time:
      return date_or_time(ms, where, obj, datetime_time_type, kTimeFields, kWantTime);
    case AbapType::Float:
      return to_float(ms, where, obj);
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8:
      return to_integer(where, type, obj);
    case AbapType::Byte:
    case AbapType::XString:
      return to_bytes(where, obj);
    case AbapType::Numc:
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34: {
      auto text = number_or_string(ms, where, obj);
      if (!text) return std::nullopt;
      return RfcValue::text(std::move(*text));
    }
    case AbapType::Utclong:
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
    case AbapType::Unknown:
      return to_any(where, type, obj);
  }
  return to_any(where, type, obj);
}

PyObject* value_to_py(ModuleState& ms, std::string_view name, AbapType type, const RfcValue& value,
                      ReadFlags flags) {
  // A field the reply decoder could not read fails here, where it is read,
  // instead of turning into an empty or zero value that looks genuine.
  if (value.is_undecoded()) {
    const wire::UndecodedValue& u = value.as_undecoded();
    return raise_external(ms, fmt::format("field {} of type {} could not be decoded ({} bytes)",
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
      return date_or_time_to_py(ms, name, type, value, flags, true);
    case AbapType::Time:
      return date_or_time_to_py(ms, name, type, value, flags, false);
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34:
      return decimal_to_py(ms, name, type, value);
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
  return raise_unconvertible(ms, name, type, value);
}

// ---------------------------------------------------------------- structures

std::optional<Bytes> dict_to_structure(ModuleState& ms, const proto::StructureLayout& layout,
                                       PyObject* obj, const ValuePlace& where) {
  if (!PyDict_Check(obj)) {
    conversion_error(kWantDict, where, obj);
    return std::nullopt;
  }
  std::vector<proto::NamedValue> values;
  values.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
  const bool converted = for_each_item_with(
      obj,
      [&](PyObject* key) {
        refuse_key_type(fmt::format("the dict for parameter {}", debug_quote(where.text())), key);
      },
      [&](std::string key, PyObject* value) {
        const proto::FieldLayout* field = proto::find_field(layout, key);
        if (!field) {
          raise_invalid_parameter(ms, fmt::format("{}: {} has no field named {}", where.text(),
                                                  layout.name, debug_quote(key)));
          return false;
        }
        auto v = py_to_value(ms, where.with_field(field->name), field->abap_type, value);
        if (!v) return false;
        values.emplace_back(field->name, std::move(*v));
        return true;
      });
  if (!converted) return std::nullopt;
  auto image = proto::encode_structure(layout, values);
  if (!image) {
    // A value its field refuses: named inside the place of the dict.
    if (const wire::ValueError* refused = image.error().get<wire::ValueError>()) {
      wire::ValueError located = *refused;
      raise_protocol_error(ms, proto::ProtocolError(std::move(located.inside(where.text()))));
    } else {
      raise_protocol_error(ms, image.error());
    }
    return std::nullopt;
  }
  return std::move(image).value();
}

std::string ValuePlace::text() const {
  std::string out(parameter);
  if (row) out += fmt::format("[{}]", *row);
  if (!field.empty()) out += fmt::format("-{}", field);
  return out;
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

StructureReader::StructureReader(ModuleState& ms, const proto::StructureLayout& layout,
                                 ReadFlags flags)
    : ms_(ms), layout_(layout), flags_(flags) {
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
    return raise_protocol_error(ms_, decoded.error());
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    PyRef v(value_to_py(ms_, c.field->name, c.type, values_[i], flags_));
    if (!v || PyDict_SetItem(dict.get(), c.key.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace quib::ext
