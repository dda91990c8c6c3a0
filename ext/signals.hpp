// Python's signal handlers, run from inside a wait of the network layer.
//
// A blocking step runs with the interpreter lock released, so Python cannot
// run its signal handlers until the step ends. The waits of an operation
// (proto/net/waits.hpp) call a check between slices of every wait; this is
// that check: it takes the interpreter lock briefly and lets Python run
// its handlers. An exception a handler raises (KeyboardInterrupt) ends the
// operation, and is kept until the operation's thread, back in Python,
// raises it.
#pragma once

#include <utility>

#include "ext/py.hpp"

namespace quib::ext {

class SignalCatch {
 public:
  SignalCatch() = default;
  // Interpreter lock held, or nothing kept (clear() ran).
  ~SignalCatch() { clear(); }
  SignalCatch(const SignalCatch&) = delete;
  SignalCatch& operator=(const SignalCatch&) = delete;

  // The check of a wait, on the waiting thread, the interpreter lock
  // released: false when a handler raised (its exception is kept; only the
  // first one, later ones are dropped).
  bool look() {
    const PyGILState_STATE gil = ensure_gil();
    const bool go_on = PyErr_CheckSignals() == 0;
    if (!go_on) {
      if (type_ == nullptr) {
        PyErr_Fetch(&type_, &value_, &traceback_);
      } else {
        PyErr_Clear();
      }
    }
    PyGILState_Release(gil);
    return go_on;
  }

  // Interpreter lock held: sets the kept exception as the current Python
  // error; false when nothing was kept.
  bool restore() {
    if (type_ == nullptr) return false;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
    return true;
  }

  // Interpreter lock held: drops what was kept.
  void clear() {
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(traceback_);
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace quib::ext
