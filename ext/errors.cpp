#include "ext/errors.hpp"

#include <fmt/format.h>

#include "proto/base/error.hpp"

namespace quib::ext {

namespace {

// The dict of the first successful registration; never replaced. All access
// happens with the interpreter lock held.
PyObject* g_exception_classes = nullptr;

bool set_str(PyObject* dict, const char* key, std::string_view v) {
  return set_item(dict, key, str_from_utf8(v));
}

PyObject* cached_type(PyObject*& cell, const char* module, const char* attr) {
  if (cell) return cell;
  PyRef mod(PyImport_ImportModule(module));
  if (!mod) return nullptr;
  PyObject* type = PyObject_GetAttrString(mod.get(), attr);
  if (!type) return nullptr;
  cell = type;  // kept for the life of the process
  return cell;
}

PyObject* g_date = nullptr;
PyObject* g_time = nullptr;
PyObject* g_decimal = nullptr;

}  // namespace

PyRef make_python_exception(const ErrorSpec& spec) {
  if (!g_exception_classes) {
    PyErr_SetString(PyExc_RuntimeError,
                    "lomra exception classes were never registered; import lomra, not "
                    "lomra._quib_lomra");
    return PyRef();
  }
  PyRef name(PyUnicode_FromString(spec.class_name));
  if (!name) return PyRef();
  PyObject* cls = PyObject_GetItem(g_exception_classes, name.get());
  if (!cls) {
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_RuntimeError, "no such class %s", spec.class_name);
    }
    return PyRef();
  }
  PyRef cls_ref(cls);
  PyRef kwargs(PyDict_New());
  if (!kwargs) return PyRef();
  if (!set_item(kwargs.get(), "code", PyLong_FromLong(spec.code)) ||
      !set_str(kwargs.get(), "key", spec.key))
    return PyRef();
  if (spec.abap) {
    const AbapRecord& a = *spec.abap;
    if (!set_str(kwargs.get(), "msg_class", a.msg_class) ||
        !set_str(kwargs.get(), "msg_type", a.msg_type) ||
        !set_str(kwargs.get(), "msg_number", a.msg_number) ||
        !set_str(kwargs.get(), "msg_v1", a.msg_v1) || !set_str(kwargs.get(), "msg_v2", a.msg_v2) ||
        !set_str(kwargs.get(), "msg_v3", a.msg_v3) || !set_str(kwargs.get(), "msg_v4", a.msg_v4))
      return PyRef();
  }
  PyRef message(str_from_utf8(spec.message));
  if (!message) return PyRef();
  PyRef args(PyTuple_Pack(1, message.get()));
  if (!args) return PyRef();
  return PyRef(PyObject_Call(cls_ref.get(), args.get(), kwargs.get()));
}

std::nullptr_t raise_error(const ErrorSpec& spec) {
  PyRef exc = make_python_exception(spec);
  if (!exc) return nullptr;  // the error that stands in for it is set
  if (PyExceptionInstance_Check(exc.get())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return nullptr;
}

std::nullptr_t raise_invalid_parameter(std::string message) {
  return raise_error({kExternalRuntimeError, std::move(message), 20, "RFC_INVALID_PARAMETER", {}});
}

std::nullptr_t raise_canceled(std::string message) {
  return raise_error({kCommunicationError, std::move(message), 7, "RFC_CANCELED", {}});
}

std::nullptr_t raise_external(std::string message) {
  return raise_error({kExternalRuntimeError, std::move(message), 17, "RFC_EXTERNAL_FAILURE", {}});
}

PyObject* register_exceptions(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"classes", nullptr};
    PyObject* classes = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:register_exceptions",
                                     const_cast<char**>(keywords), &classes))
      return nullptr;
    if (!PyDict_Check(classes)) {
      PyRef tname(PyType_GetName(Py_TYPE(classes)));
      std::string n = "object";
      if (!tname || !str_to_utf8(tname.get(), n)) PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument 'classes': '%s' object cannot be converted to 'dict'",
                   n.c_str());
      return nullptr;
    }
    if (!g_exception_classes) {
      Py_INCREF(classes);
      g_exception_classes = classes;
    }
    Py_RETURN_NONE;
  });
}

PyObject* datetime_date_type() { return cached_type(g_date, "datetime", "date"); }
PyObject* datetime_time_type() { return cached_type(g_time, "datetime", "time"); }
PyObject* decimal_type() { return cached_type(g_decimal, "decimal", "Decimal"); }

}  // namespace quib::ext

// ---------------------------------------------------------------------------
// Protocol errors


namespace quib::ext {

ErrorSpec protocol_error_spec(const proto::ProtocolError& error) {
  using PE = proto::ProtocolError;
  if (const auto* abap = error.get<PE::AbapExceptionInfo>()) {
    const bool runtime = abap->msg_type == "A" || abap->msg_type == "X";
    ErrorSpec spec;
    spec.class_name = runtime ? kAbapRuntimeError : kAbapApplicationError;
    spec.code = runtime ? (abap->msg_class.empty() ? 3 : 4) : 5;
    spec.message = abap->msg_class.empty()
                       ? abap->message
                       : fmt::format("ID:{} Type:{} Number:{} {}", abap->msg_class,
                                     abap->msg_type, abap->msg_number, abap->message);
    spec.key = abap->key.empty() ? abap->message : abap->key;
    spec.abap = AbapRecord{abap->msg_class, abap->msg_type, abap->msg_number, abap->msg_v1,
                           abap->msg_v2,    abap->msg_v3,   abap->msg_v4};
    return spec;
  }
  const char* cls = kExternalRuntimeError;
  const char* key = "RFC_EXTERNAL_FAILURE";
  long code = 17;
  switch (error.kind()) {
    case PE::Io:
    case PE::Ni:
    case PE::Appc:
    case PE::Container:
    case PE::UnexpectedRecord:
    case PE::Snc:
    case PE::EmptyReply:
    case PE::ContainerDump:
      cls = kCommunicationError;
      key = "RFC_COMMUNICATION_FAILURE";
      code = 1;
      break;
    case PE::ClosedByPeer:
      cls = kCommunicationError;
      key = "RFC_CLOSED";
      code = 13;
      break;
    case PE::LogonRefused:
      cls = kLogonError;
      key = "RFC_LOGON_FAILURE";
      code = 2;
      break;
    default:
      break;
  }
  return ErrorSpec{cls, error.message(), code, key, {}};
}

std::nullptr_t raise_protocol_error(const proto::ProtocolError& error) {
  if (error.is(proto::ProtocolError::OutOfMemory)) {
    PyErr_SetString(PyExc_MemoryError, error.message().c_str());
    return nullptr;
  }
  return raise_error(protocol_error_spec(error));
}

}  // namespace quib::ext
