// The state of the module _quib_lomra, its classes, and how the other files
// reach them.
//
// The module is initialised in phases: PyInit__quib_lomra hands CPython the
// module definition, and the module's exec step fills a new module object.
// Each module object has a state of its own (ModuleState) holding what the
// binding keeps between calls; the classes are created for the module
// object, so a method reaches the state through the class that defined it,
// and an instance through its type (the classes cannot be subclassed).
#pragma once

#include <cstdint>
#include <type_traits>

#include "ext/py.hpp"

namespace quib::ext {

// What one module object keeps. Every PyObject* is a strong reference or
// null, touched with the interpreter lock held only. CPython allocates the
// state zero-filled and the module's clear step drops the references, so
// every user copes with a null: a class that is gone refuses its instances,
// a type that is gone is imported again.
struct ModuleState {
  // The classes, as created by the exec step.
  PyObject* connection_type;
  PyObject* throughput_type;
  PyObject* server_type;
  // The dict of the first successful register_exceptions on this module
  // object; never replaced (ext/errors.cpp).
  PyObject* exception_classes;
  // Python types the conversions use, imported on first use.
  PyObject* date_type;     // datetime.date
  PyObject* time_type;     // datetime.time
  PyObject* decimal_type;  // decimal.Decimal
  // A Python function that does nothing, made on first use (ext/rows.cpp).
  PyObject* pause_function;
  // Connections opened so far; each new one takes the next number as its
  // handle.
  std::uint64_t connections_opened;
};
static_assert(std::is_trivial_v<ModuleState> && std::is_standard_layout_v<ModuleState>,
              "CPython allocates the module state as zero-filled bytes");

// The state of the module that defined `cls`, one of the module's classes.
inline ModuleState& module_state(PyTypeObject* cls) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(cls));
}

// The state of the module of an instance of one of the module's classes.
inline ModuleState& module_state_of(PyObject* instance) { return module_state(Py_TYPE(instance)); }

// The type specs of the classes, created by the exec step in this order.
PyType_Spec* connection_spec();
PyType_Spec* throughput_spec();
PyType_Spec* server_spec();

}  // namespace quib::ext
