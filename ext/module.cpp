// Module initialisation of _quib_lomra: the classes Connection, Throughput
// and Server, the function register_exceptions and __version__, added in
// that order. Nothing else is set up at import; the exception registration,
// the metadata cache, the trace switches and the cached Python types are
// filled on first use.
#include "ext/errors.hpp"
#include "ext/types.hpp"

#ifndef QUIB_VERSION
#error "QUIB_VERSION must be defined by the build (ext/CMakeLists.txt)"
#endif

namespace quib::ext {
namespace {

// The release number, given by the build from the file VERSION.
constexpr const char* kVersion = QUIB_VERSION;

PyMethodDef module_methods[] = {
    {"register_exceptions", as_cfunction(register_exceptions),
     METH_VARARGS | METH_KEYWORDS,
     "register_exceptions(classes)\n--\n\n"
     "Hands the exception classes defined in Python (a dict from class name to class)\n"
     "to the native layer. The first registration stays in force for the life of the\n"
     "process; later calls change nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quib_lomra", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool add_class(PyObject* module, const char* name, PyObject* (*create)()) {
  PyObject* type = create();
  if (!type) return false;
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

PyObject* init_module() {
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!add_class(module.get(), "Connection", create_connection_type) ||
      !add_class(module.get(), "Throughput", create_throughput_type) ||
      !add_class(module.get(), "Server", create_server_type))
    return nullptr;
  PyRef name(PyUnicode_FromString("_quib_lomra"));
  if (!name) return nullptr;
  PyRef fn(PyCFunction_NewEx(&module_methods[0], nullptr, name.get()));
  if (!fn || PyModule_AddObject(module.get(), "register_exceptions", fn.get()) < 0) return nullptr;
  fn.release();
  if (PyModule_AddStringConstant(module.get(), "__version__", kVersion) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace quib::ext

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quib_lomra() {
  return quib::ext::guarded<PyObject*>(nullptr, [] { return quib::ext::init_module(); });
}
