// Throughput: the Python view of one shared block of throughput counters.
// Its getters and reset() touch the block directly, without any connection
// lock, so they may run while a call is in progress on another thread.
#include "ext/throughput.hpp"

#include <new>

namespace quib::ext {

namespace {

using proto::SecondsNanos;
using proto::ThroughputCounters;

struct ThroughputObject {
  PyObject ob_base;  // PyObject_HEAD
  std::shared_ptr<ThroughputCounters> counters;
};

ThroughputObject* as_throughput(PyObject* self) {
  return reinterpret_cast<ThroughputObject*>(self);
}

PyObject* throughput_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Throughput", const_cast<char**>(keywords)))
      return nullptr;
    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    new (&as_throughput(self)->counters)
        std::shared_ptr<ThroughputCounters>(ThroughputCounters::create());
    return self;
  });
}

void throughput_dealloc(PyObject* self) {
  as_throughput(self)->counters.~shared_ptr();
  free_instance(self);
}

std::uint64_t millis(SecondsNanos t) { return t.seconds * 1000 + t.nanos / 1000000; }
std::uint64_t nanos(SecondsNanos t) { return t.seconds * 1000000000ull + t.nanos; }

// The counters as a dict; `ns` selects nanoseconds and the two network
// phases, otherwise milliseconds rounded down and seven entries.
PyObject* stats_dict(PyObject* self, bool ns) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const proto::ThroughputSnapshot s = as_throughput(self)->counters->snapshot();
    auto time = [&](SecondsNanos t) { return ns ? nanos(t) : millis(t); };
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    const bool ok = set_numbers(d.get(), {{"numberOfCalls", s.numberOfCalls},
                                          {"sentBytes", s.sentBytes},
                                          {"receivedBytes", s.receivedBytes},
                                          {"applicationTime", time(s.applicationTime)},
                                          {"totalTime", time(s.totalTime)},
                                          {"serializationTime", time(s.serializationTime)},
                                          {"deserializationTime", time(s.deserializationTime)}}) &&
                    (!ns || set_numbers(d.get(), {{"networkWriteTime", time(s.networkWriteTime)},
                                                  {"replyWaitTime", time(s.replyWaitTime)}}));
    return ok ? d.release() : nullptr;
  });
}

PyObject* get_stats(PyObject* self, void*) { return stats_dict(self, false); }
PyObject* get_stats_ns(PyObject* self, void*) { return stats_dict(self, true); }

PyObject* throughput_reset(PyObject* self, PyObject*) {
  as_throughput(self)->counters->reset();
  Py_RETURN_NONE;
}

PyGetSetDef throughput_getset[] = {
    {"stats", get_stats, nullptr, "The seven call counters, in milliseconds.", nullptr},
    {"stats_ns", get_stats_ns, nullptr,
     "The same counters in nanoseconds, unrounded, plus the two network-phase counters\n"
     "(networkWriteTime, replyWaitTime) that stats leaves out. There is no serverTime\n"
     "entry: that value is reported by ABAP inside the reply and its record is not\n"
     "identified.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef throughput_methods[] = {
    {"reset", throughput_reset, METH_NOARGS,
     "reset($self)\n--\n\nZeroes the counters, leaving the object attached wherever it is."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot throughput_slots[] = {
    {Py_tp_doc, const_cast<char*>("Throughput()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(throughput_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(throughput_dealloc)},
    {Py_tp_getset, throughput_getset},
    {Py_tp_methods, throughput_methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "lomra._quib_lomra.Throughput",
    sizeof(ThroughputObject),
    0,
    Py_TPFLAGS_DEFAULT,
    throughput_slots,
};

}  // namespace

PyType_Spec* throughput_spec() { return &spec; }

std::shared_ptr<ThroughputCounters> throughput_counters(const ModuleState& ms, PyObject* obj) {
  auto* type = reinterpret_cast<PyTypeObject*>(ms.throughput_type);
  if (!type || !PyObject_TypeCheck(obj, type)) return nullptr;
  return as_throughput(obj)->counters;
}

}  // namespace quib::ext
