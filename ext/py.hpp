// Small helpers over the limited C API shared by every file of the
// extension: an owning reference, the interpreter-lock release guard, and
// the guard that keeps C++ exceptions from unwinding into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

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

// Releases the interpreter lock for the life of the guard.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { restore(); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  // Takes the lock back before the guard ends.
  void restore() {
    if (state_) PyEval_RestoreThread(std::exchange(state_, nullptr));
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

// A Python str from UTF-8 bytes; invalid sequences become U+FFFD so that
// server text never turns into a UnicodeDecodeError.
PyObject* str_from_utf8(std::string_view s);

// The UTF-8 text of a str, or nullopt with a Python error set.
bool str_to_utf8(PyObject* obj, std::string& out);

// Debug quoting for names and values a caller typed: in double quotes, with
// backslash escapes for quotes, backslashes and non-printable characters.
std::string debug_quote(std::string_view text);

// Guard for the body of every Python entry point: an unexpected C++
// exception becomes a Python RuntimeError instead of unwinding into the
// interpreter. `fail` is the entry point's failure value (NULL or -1).
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in lomra: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in lomra");
  }
  return fail;
}

}  // namespace quib::ext
