// The classes of the module and how the other files reach them.
#pragma once

#include <memory>

#include "ext/py.hpp"
#include "proto/base/throughput.hpp"

namespace quib::ext {

// Class factories, called in this order by the module initialisation; each
// returns a new reference to the class object or null with an error set.
PyObject* create_connection_type();
PyObject* create_throughput_type();
PyObject* create_server_type();

// The Throughput class once created (borrowed), and the counters of one of
// its instances; null when `obj` is not a Throughput.
PyTypeObject* throughput_type();
std::shared_ptr<proto::ThroughputCounters> throughput_counters(PyObject* obj);

}  // namespace quib::ext
