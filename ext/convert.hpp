// Conversion between Python objects and scalar field values.
//
// Which conversion applies is decided by the field's ABAP type alone, never
// by the Python type of the object. Every function here runs on the calling
// thread with the interpreter lock held and touches no session: the caller
// converts before it takes the session lock, so Python code that a
// conversion runs (__str__, __index__, __float__, strftime) can never block
// a session.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ext/py.hpp"
#include "wire/types.hpp"

namespace quib::ext {

// The flags of a conversion back to Python.
struct ReadFlags {
  bool rstrip = true;  // cut trailing white space of Char and Numc text
  bool dtime = false;  // Date and Time as datetime.date / datetime.time
};

// The name of an object's type as messages show it ("int", "NoneType"), or
// "?" when it cannot be read.
std::string type_name_of(PyObject* obj);

// Sets the TypeError of a refused object: "{what} required for parameter
// {name}, got {type}" with the name in debug quoting. Always false.
bool conversion_error(std::string_view what, std::string_view name, PyObject* obj);

// The text of a str, an int, a float or a decimal.Decimal; nullopt with the
// Python error set otherwise.
std::optional<std::string> number_or_string(std::string_view name, PyObject* obj);

// A Python object as the value of a field of type `type`; nullopt with the
// Python error set (a TypeError for an object the field does not accept, or
// whatever Python raised while the object was read).
std::optional<wire::RfcValue> py_to_value(std::string_view name, wire::AbapType type,
                                          PyObject* obj);

// A field value as a new Python object, or null with the Python error set.
// `name` names the field in the error raised for a value the reply decoder
// could not read (Undecoded), and for dates and times that are no dates and
// times.
PyObject* value_to_py(std::string_view name, wire::AbapType type, const wire::RfcValue& value,
                      ReadFlags flags);

}  // namespace quib::ext
