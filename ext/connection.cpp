#include "ext/errors.hpp"
#include "ext/types.hpp"

namespace quib::ext {
namespace {
PyType_Slot connection_slots[] = {
    {Py_tp_doc, const_cast<char*>("Connection(params, config)\n--\n\nA live RFC connection.\n\nThe connection owns a socket and a stateful ABAP session, so it belongs to\nthe thread that opened it.")},
    {0, nullptr},
};
PyType_Spec connection_spec = {
    "lomra._quib_lomra.Connection", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, connection_slots,
};
}  // namespace
PyObject* create_connection_type() { return PyType_FromSpec(&connection_spec); }
}  // namespace quib::ext
