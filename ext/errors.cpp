#include "ext/errors.hpp"

#include <fmt/format.h>

#include "ext/args.hpp"
#include "proto/base/error.hpp"

namespace quib::ext {

PyRef make_python_exception(const ModuleState& ms, const ErrorSpec& spec) {
  if (!ms.exception_classes) {
    PyErr_SetString(PyExc_RuntimeError,
                    "lomra exception classes were never registered; import lomra, not "
                    "lomra._quib_lomra");
    return PyRef();
  }
  PyRef name(PyUnicode_FromString(spec.class_name));
  if (!name) return PyRef();
  PyObject* cls = PyObject_GetItem(ms.exception_classes, name.get());
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
      !set_texts(kwargs.get(), {{"key", spec.key}}))
    return PyRef();
  if (spec.abap) {
    const AbapRecord& a = *spec.abap;
    if (!set_texts(kwargs.get(), {{"msg_class", a.msg_class},
                                  {"msg_type", a.msg_type},
                                  {"msg_number", a.msg_number},
                                  {"msg_v1", a.msg_v1},
                                  {"msg_v2", a.msg_v2},
                                  {"msg_v3", a.msg_v3},
                                  {"msg_v4", a.msg_v4}}))
      return PyRef();
  }
  PyRef message(str_from_utf8(spec.message));
  if (!message) return PyRef();
  PyRef args(PyTuple_Pack(1, message.get()));
  if (!args) return PyRef();
  return PyRef(PyObject_Call(cls_ref.get(), args.get(), kwargs.get()));
}

std::nullptr_t raise_error(const ModuleState& ms, const ErrorSpec& spec) {
  PyRef exc = make_python_exception(ms, spec);
  if (!exc) return nullptr;  // the error that stands in for it is set
  if (PyExceptionInstance_Check(exc.get())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return nullptr;
}

PyObject* register_exceptions(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kNames[] = {"classes"};
    PyObject* classes = nullptr;
    if (!parse_arguments("register_exceptions", kNames, 1, args, nargs, kwnames, {&classes, 1}))
      return nullptr;
    if (!PyDict_Check(classes)) {
      const std::string got = type_name_of(classes);
      PyErr_Format(PyExc_TypeError, "argument 'classes': '%s' object cannot be converted to 'dict'",
                   got.c_str());
      return nullptr;
    }
    ModuleState& ms = *static_cast<ModuleState*>(PyModule_GetState(module));
    if (!ms.exception_classes) ms.exception_classes = Py_NewRef(classes);
    Py_RETURN_NONE;
  });
}

// ---------------------------------------------------------------- protocol errors

namespace {

// The RFC error of every kind of protocol error but an ABAP exception.
const RfcError& rfc_error_of(proto::ProtocolError::Kind kind) {
  using PE = proto::ProtocolError;
  switch (kind) {
    case PE::Io:
    case PE::Ni:
    case PE::Appc:
    case PE::Container:
    case PE::UnexpectedRecord:
    case PE::Snc:
    case PE::EmptyReply:
    case PE::ContainerDump:
      return rfc::kCommunicationFailure;
    case PE::ClosedByPeer:
      return rfc::kClosed;
    case PE::LogonRefused:
      return rfc::kLogonFailure;
    default:
      return rfc::kExternalFailure;
  }
}

}  // namespace

ErrorSpec protocol_error_spec(const proto::ProtocolError& error) {
  using PE = proto::ProtocolError;
  if (const auto* abap = error.get<PE::AbapExceptionInfo>()) {
    const bool runtime = abap->msg_type == "A" || abap->msg_type == "X";
    ErrorSpec spec;
    spec.class_name = runtime ? kAbapRuntimeError : kAbapApplicationError;
    spec.code = !runtime                  ? rfc::kAbapApplicationCode
                : abap->msg_class.empty() ? rfc::kAbapRuntimeCode
                                          : rfc::kAbapRuntimeMessageCode;
    spec.message = abap->msg_class.empty()
                       ? abap->message
                       : fmt::format("ID:{} Type:{} Number:{} {}", abap->msg_class, abap->msg_type,
                                     abap->msg_number, abap->message);
    spec.key = abap->key.empty() ? abap->message : abap->key;
    spec.abap = AbapRecord{abap->msg_class, abap->msg_type, abap->msg_number, abap->msg_v1,
                           abap->msg_v2,    abap->msg_v3,   abap->msg_v4};
    return spec;
  }
  return ErrorSpec::of(rfc_error_of(error.kind()), error.message());
}

std::nullptr_t raise_protocol_error(const ModuleState& ms, const proto::ProtocolError& error) {
  if (error.is(proto::ProtocolError::OutOfMemory)) {
    PyErr_SetString(PyExc_MemoryError, error.message().c_str());
    return nullptr;
  }
  return raise_error(ms, protocol_error_spec(error));
}

}  // namespace quib::ext
