// Small helpers over the limited C API shared by every file of the
// extension: an owning reference, the interpreter-lock release guard and the
// mutex wait that releases it, the slots of the heap types, str conversion,
// dict stores, debug quoting, and the guard that keeps C++ exceptions from
// unwinding into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "wire/quote.hpp"

namespace quib::ext {

// An owned (strong) reference; releases it when dropped.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* p) : p_(p) {}  // steals
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A thread that comes back for the interpreter lock while the interpreter
// shuts down (a daemon thread whose wait ended late) is ended by CPython
// with pthread_exit. Its unwinding would run into the noexcept frames of
// this module and abort the whole process; such a thread stops here
// instead, for good, holding nothing: the process is about to end.
[[noreturn]] inline void park_for_shutdown() noexcept {
  for (;;) ::pause();
}

// PyEval_RestoreThread, parking a thread that shutdown ends.
inline void take_gil_back(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_for_shutdown();
  }
}

// PyGILState_Ensure, parking a thread that shutdown ends.
inline PyGILState_STATE ensure_gil() noexcept {
  try {
    return PyGILState_Ensure();
  } catch (abi::__forced_unwind&) {
    park_for_shutdown();
  }
}

// Releases the interpreter lock for the life of the guard.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { restore(); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  // Takes the lock back before the guard ends.
  void restore() {
    if (state_) take_gil_back(std::exchange(state_, nullptr));
  }

 private:
  PyThreadState* state_;
};

// Runs `f` with the interpreter lock released and returns its result.
template <class F>
auto without_gil(F&& f) {
  AllowThreads guard;
  return f();
}

// Takes `m` without ever blocking while the interpreter lock is held: when
// the mutex is busy, the interpreter lock is released for the wait and taken
// back once the mutex is ours. The thread inside the mutex may need the
// interpreter lock to finish, so waiting with it held could wait forever.
template <class Mutex>
void lock_releasing_gil(Mutex& m) {
  if (m.try_lock()) return;
  AllowThreads nogil;
  m.lock();
}

// ---------------------------------------------------------------- classes

// A method of any signature as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A new instance of a heap type through its tp_alloc slot; null with the
// Python error set.
inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// The last step of a heap type's tp_dealloc: frees the instance through the
// tp_free slot and drops the reference to the type that the instance held.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- values

// A Python str from UTF-8 bytes; invalid sequences become U+FFFD so that
// server text never turns into a UnicodeDecodeError.
PyObject* str_from_utf8(std::string_view s);

// The UTF-8 text of a str into `out`; false with a Python error set.
bool str_to_utf8(PyObject* obj, std::string& out);

// The name of an object's type as messages show it ("int", "NoneType"), or
// "?" when it cannot be read.
std::string type_name_of(PyObject* obj);

// Stores `value` (a new reference, which this takes over; null fails) in
// `dict` under the str `key`. False with the Python error set.
inline bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  PyRef v(value);
  if (!v) return false;
  PyRef k(str_from_utf8(key));
  if (!k) return false;
  return PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

// Stores each text of `entries` in `dict` as a str under its key, in order.
// False with the Python error set.
bool set_texts(PyObject* dict,
               std::initializer_list<std::pair<std::string_view, std::string_view>> entries);

// Stores each number of `entries` in `dict` as an int under its key, in
// order. False with the Python error set.
bool set_numbers(PyObject* dict,
                 std::initializer_list<std::pair<std::string_view, std::uint64_t>> entries);

// str() of an object as UTF-8; nothing with the Python error set.
std::optional<std::string> str_of(PyObject* obj);

// Sets the Python error `type` (PyExc_TypeError, ...) with a UTF-8 message.
void set_error(PyObject* type, std::string_view message);
inline void set_type_error(std::string_view message) { set_error(PyExc_TypeError, message); }

// Names and values a caller typed are quoted as in every debug form.
using wire::char_literal;
using wire::debug_quote;

// Makes sure the calling thread's C++ exception state exists. The C++
// runtime keeps it in thread-local storage of its shared library, which was
// loaded with this module, after the interpreter started: the C library
// allocates such storage on a thread's first use of it and aborts the
// process when that allocation fails. Were the first use the throw of an
// allocation failure, running out of memory would kill the interpreter
// instead of raising MemoryError; touched on entry, the storage is
// allocated while there is memory to spare.
inline void prepare_thread_for_exceptions() noexcept {
  // Stored to a volatile: the function is declared const, and a call whose
  // result is unused could be left out.
  abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
  (void)globals;
}

// Guard for the body of every Python entry point: an unexpected C++
// exception becomes a Python RuntimeError (an allocation failure a
// MemoryError) instead of unwinding into the interpreter. `fail` is the
// entry point's failure value (NULL or -1).
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
  prepare_thread_for_exceptions();
  try {
    return body();
  } catch (const std::bad_alloc&) {
    // Memory ran out: Python's own error for it, never an internal error.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in lomra: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in lomra");
  }
  return fail;
}

}  // namespace quib::ext
