// Conversion between Python objects and scalar field values.
//
// Which conversion applies is decided by the field's ABAP type alone, never
// by the Python type of the object. Every function here runs on the calling
// thread with the interpreter lock held and touches no session: the caller
// converts before it takes the session lock, so Python code that a
// conversion runs (__str__, __index__, __float__, strftime) can never block
// a session.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ext/module_state.hpp"
#include "ext/py.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/structure.hpp"
#include "proto/metadata/describe.hpp"
#include "wire/bytes.hpp"
#include "wire/types.hpp"

namespace quib::ext {

// The flags of a conversion back to Python.
struct ReadFlags {
  bool rstrip = true;  // cut trailing white space of Char and Numc text
  bool dtime = false;  // Date and Time as datetime.date / datetime.time
};

// Where a value that a caller gave was: a parameter, a row of a table
// parameter (counted from 0, as the list is), a field of a structure or of
// a row. It becomes text ("I_ROW-NAME", "T_IN[3]", "T_IN[3]-NAME") only when
// a refusal names it, so that converting rows builds no text for it.
struct ValuePlace {
  std::string_view parameter;
  std::optional<std::size_t> row;
  std::string_view field;

  ValuePlace(std::string_view p) : parameter(p) {}    // NOLINT: implicit on purpose
  ValuePlace(const std::string& p) : parameter(p) {}  // NOLINT: implicit on purpose
  ValuePlace(const char* p) : parameter(p) {}         // NOLINT: implicit on purpose
  ValuePlace(std::string_view p, std::size_t r) : parameter(p), row(r) {}
  // The field `f` inside this place.
  ValuePlace with_field(std::string_view f) const {
    ValuePlace inner = *this;
    inner.field = f;
    return inner;
  }
  std::string text() const;
};

// Sets the TypeError of a refused object: "{what} required for parameter
// {place}, got {type} {value}" with the place in debug quoting and the
// value as shown_object shows it. Always false.
bool conversion_error(std::string_view what, const ValuePlace& where, PyObject* obj);

// How a refusal shows a Python object: a str as wire::shown_text shows a
// text, anything else as its repr, cut after wire::kShownCharacters
// characters.
std::string shown_object(PyObject* obj);

// The text of a str, an int, a float or a decimal.Decimal; nullopt with the
// Python error set otherwise.
std::optional<std::string> number_or_string(ModuleState& ms, const ValuePlace& where,
                                            PyObject* obj);

// The Python types of the conversions, imported on first use and kept in
// the module state (borrowed); null with the Python error set when the
// import or the lookup fails (the next use tries again).
PyObject* datetime_date_type(ModuleState& ms);
PyObject* datetime_time_type(ModuleState& ms);
PyObject* decimal_type(ModuleState& ms);

// The digits of a date (YYYYMMDD) and of a time (HHMMSS).
inline constexpr std::size_t kDateDigits = 8;
inline constexpr std::size_t kTimeDigits = 6;

// datetime.date of kDateDigits ASCII digits, datetime.time of kTimeDigits
// ones, and decimal.Decimal of a text or of an integer (which it reads
// faster): a new reference, or null with the Python error set (datetime
// refuses a month 13, decimal a text that is no number).
PyObject* date_from_digits(ModuleState& ms, std::string_view digits);
PyObject* time_from_digits(ModuleState& ms, std::string_view digits);
PyObject* decimal_from_text(ModuleState& ms, std::string_view text);
PyObject* decimal_from_integer(ModuleState& ms, long long value);

// The refusal of a parameter name that the function `function` lacks.
std::string no_such_parameter(std::string_view function, std::string_view key);

// The parameter of `d` that `key` names; null with ExternalRuntimeError
// RFC_INVALID_PARAMETER no_such_parameter(function, key) set when there is
// none.
const proto::ParameterDescription* named_parameter(const ModuleState& ms, std::string_view function,
                                                   const proto::FunctionDescription& d,
                                                   std::string_view key);

// A Python object as the value of a field of type `type`; nullopt with the
// Python error set (a TypeError for an object the field does not accept, or
// whatever Python raised while the object was read).
std::optional<wire::RfcValue> py_to_value(ModuleState& ms, const ValuePlace& where,
                                          wire::AbapType type, PyObject* obj);

// A field value as a new Python object, or null with the Python error set.
// `name` names the field in the error raised for a value the reply decoder
// could not read (Undecoded), and for dates and times that are no dates and
// times.
PyObject* value_to_py(ModuleState& ms, std::string_view name, wire::AbapType type,
                      const wire::RfcValue& value, ReadFlags flags);

// A dict as the image of one structure of `layout`: every key names a field
// (ignoring ASCII case) and its value is converted for that field and held
// to it (proto::encode_structure); fields no key names keep their ABAP
// initial value. `where` is where the dict was given (the parameter, or a
// row of a table parameter); every refusal names it, and the field inside
// it. Nothing, with the Python error set, on failure.
std::optional<wire::Bytes> dict_to_structure(ModuleState& ms, const proto::StructureLayout& layout,
                                             PyObject* obj, const ValuePlace& where);

// The name of a field as an interned str (a new reference; null with the
// Python error set), and the type its value converts by: that of the first
// field of the layout with the same name ignoring ASCII case (Char when
// none has it).
PyObject* field_key(const proto::FieldLayout& field);
wire::AbapType conversion_type(const proto::StructureLayout& layout,
                               const proto::FieldLayout& field);

// Reads images of one layout into dicts through field values: each image is
// decoded by the structure codec, then every value goes through
// value_to_py. The field names (as Python strings) and the type each field
// converts by are worked out once, when the reader is made. This is the
// reference reading: structure_to_py and table_to_py read rows directly
// from their bytes (ext/rows.hpp) and come here for a row they cannot read.
class StructureReader {
 public:
  StructureReader(ModuleState& ms, const proto::StructureLayout& layout, ReadFlags flags);
  // False with the Python error set when the names could not be built.
  bool ok() const { return ok_; }
  // One image as a new dict, or null with the Python error set.
  PyObject* read(wire::ByteView image);

 private:
  struct Column {
    const proto::FieldLayout* field;
    wire::AbapType type;  // of the first field of that name
    PyRef key;
  };
  ModuleState& ms_;
  const proto::StructureLayout& layout_;
  ReadFlags flags_;
  std::vector<Column> columns_;
  std::vector<wire::RfcValue> values_;
  bool ok_ = true;
};

// The image of one structure as a new dict, fields named as the layout
// spells them; null with the Python error set. (ext/rows.cpp)
PyObject* structure_to_py(ModuleState& ms, const proto::StructureLayout& layout,
                          wire::ByteView image, ReadFlags flags);

// Asked between stretches of a long conversion; false ends it: the
// conversion returns null without a Python error, for the caller to report
// why it asked to stop.
using KeepConverting = std::function<bool()>;

// The whole rows of a table (at most its row count) as a new list of dicts.
// On a long table the interpreter lock is handed to other threads once per
// switch interval, and `keep_going` (when given) is asked as often.
// (ext/rows.cpp)
PyObject* table_to_py(ModuleState& ms, const proto::StructureLayout& layout,
                      const proto::RfcTable& table, ReadFlags flags,
                      const KeepConverting& keep_going = {});
// The same for a table whose content the reply left compressed
// (proto::TableContent::LeftCompressed): its rows are converted as they
// are expanded, a window at a time, so the expanded table is never held
// whole; the expansion takes what it makes from `budget_left` (the
// reply's budget_left, shared by its tables). A table that cannot be read
// raises the protocol error that reading it expanded would. (ext/rows.cpp)
PyObject* left_compressed_table_to_py(ModuleState& ms, const proto::StructureLayout& layout,
                                      const proto::ReplyTable& table, std::uint64_t& budget_left,
                                      ReadFlags flags, const KeepConverting& keep_going = {});

}  // namespace quib::ext
