// Server: registers a program ID at a gateway and serves inbound calls.
// The registered-server route is not available in this build yet: the class
// exists so that the module has its full surface, and constructing it says
// so.
#include "ext/errors.hpp"
#include "ext/types.hpp"

namespace quib::ext {
namespace {

PyObject* server_new(PyTypeObject*, PyObject*, PyObject*) {
  return raise_external("the registered server is not available in this build");
}

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>("Server(server_params, client_params)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {0, nullptr},
};

PyType_Spec server_spec = {
    "lomra._quib_lomra.Server", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, server_slots,
};

}  // namespace

PyObject* create_server_type() { return PyType_FromSpec(&server_spec); }

}  // namespace quib::ext
