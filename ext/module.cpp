// Module initialisation of _quib_lomra: the classes Connection, Throughput
// and Server, the function register_exceptions and __version__, added in
// that order by the exec step. Nothing else is set up at import; the
// exception registration, the metadata cache, the trace switches and the
// cached Python types are filled on first use.
#include "ext/errors.hpp"
#include "ext/module_state.hpp"

#ifndef QUIB_VERSION
#error "QUIB_VERSION must be defined by the build (ext/CMakeLists.txt)"
#endif

namespace quib::ext {
namespace {

// The release number, given by the build from the file VERSION.
constexpr const char* kVersion = QUIB_VERSION;

// Null before the exec step has run (and for a module of another kind).
ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

PyMethodDef module_functions[] = {
    {"register_exceptions", as_cfunction(register_exceptions), METH_FASTCALL | METH_KEYWORDS,
     "register_exceptions(classes)\n--\n\n"
     "Hands the exception classes defined in Python (a dict from class name to class)\n"
     "to the native layer. The first registration stays in force for the life of the\n"
     "process; later calls change nothing."},
    {nullptr, nullptr, 0, nullptr},
};

// The classes in the order the module lists them, each with the member of
// the state that keeps it.
struct Class {
  const char* name;
  PyType_Spec* (*spec)();
  PyObject* ModuleState::*slot;
};
constexpr Class kClasses[] = {
    {"Connection", connection_spec, &ModuleState::connection_type},
    {"Throughput", throughput_spec, &ModuleState::throughput_type},
    {"Server", server_spec, &ModuleState::server_type},
};

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    ModuleState& ms = *state_of_module(module);
    for (const Class& c : kClasses) {
      PyObject* type = PyType_FromModuleAndSpec(module, c.spec(), nullptr);
      if (!type) return -1;
      ms.*c.slot = type;  // the state's reference
      if (PyModule_AddObjectRef(module, c.name, type) < 0) return -1;
    }
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
    return 0;
  });
}

// Every reference of the state, for the collector and for clearing it.
template <class F>
void each_reference(ModuleState& ms, F&& f) {
  for (PyObject** p :
       {&ms.connection_type, &ms.throughput_type, &ms.server_type, &ms.exception_classes,
        &ms.date_type, &ms.time_type, &ms.decimal_type, &ms.pause_function})
    f(*p);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* ms = state_of_module(module);
  if (!ms) return 0;
  int failed = 0;
  each_reference(*ms, [&](PyObject* p) {
    if (!failed && p) failed = visit(p, arg);
  });
  return failed;
}

int clear_module(PyObject* module) {
  ModuleState* ms = state_of_module(module);
  if (ms) each_reference(*ms, [](PyObject*& p) { Py_CLEAR(p); });
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quib_lomra",
    "",
    sizeof(ModuleState),
    nullptr,  // the functions follow the classes (exec_module)
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace quib::ext

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quib_lomra() {
  return PyModuleDef_Init(&quib::ext::module_def);
}
